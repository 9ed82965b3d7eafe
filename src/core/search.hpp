// Search: the engine behind one Python Search object. It owns every store of one engine
// directory (the token dictionary and trie, the inverted index, the statistics, the document
// store) with the tokenizer and the id generator, and runs each operation across them in a fixed
// order.
//
// Opening loads, in order: the trie's automata, the configuration, the dictionary (whose tokens
// fill the trie), the index, the statistics file and the document store.
//
// A deleted document is at once invisible and its deletion on disk, but its postings stay in the
// index ("pending") until `force_delete` purges them: when the pending documents reach 1001 and
// more than a twentieth of the live ones, and on every flush.
//
// Nothing is rolled back when an operation fails half-way: what the earlier steps changed stays
// in memory and may be saved later. Nothing is saved when the engine is dropped; data reaches the
// disk through the stores' automatic saves, `flush` and `merge`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "analysis/tokenizer.hpp"
#include "config.hpp"
#include "core/index.hpp"
#include "core/search_meta.hpp"
#include "error_kinds.hpp"
#include "matching/mis.hpp"
#include "query/parse_error.hpp"
#include "storage/documents.hpp"
#include "utils/clock.hpp"
#include "utils/hasher.hpp"
#include "utils/result.hpp"
#include "utils/trie.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::core {

struct SearchError {
  std::variant<ConfigError, BincodePersistenceError, IndexManagerError, DocumentsManagerError,
               UlidError>
      detail;
};

// One search result: a live document's record and its score, which is positive.
struct Hit {
  const storage::Document* document;
  double score;
};

class Search {
 public:
  using Status = utils::Status<SearchError>;

  // Opens the engine of `dir` with the configuration file `config_path`, or the defaults.
  static utils::Result<std::unique_ptr<Search>, SearchError> open(
      const std::filesystem::path& dir, const std::optional<std::filesystem::path>& config_path,
      utils::Clock clock = utils::system_time_nanos,
      utils::RandomBits random = utils::os_random_bits);

  // Stores `text` as a new document and gives its id.
  utils::Result<uint128, SearchError> add(std::string_view text);

  // The live document `id`, or null.
  const storage::Document* get(uint128 id) const;

  // Deletes a live document; an id that is not live changes nothing.
  Status delete_document(uint128 id);

  // Purges the postings of the pending documents from the index.
  utils::Status<BincodePersistenceError> force_delete();

  // Purges pending documents, then saves every store.
  Status flush();

  // Flushes (a failure of which does not stop it), then compacts at most one segment.
  Status merge();

  // The best `top_k` live documents matching `query` (0: all), best first. Fails only when the
  // query does not parse.
  utils::Result<std::vector<Hit>, query::ParseError> search(std::string query, uint32_t top_k);

  const storage::DocumentsManager& documents() const { return documents_; }
  const utils::TokenHasher& tokens() const { return tokens_; }
  const IndexManager& index() const { return index_; }
  double avg_doc_len() const { return meta_.avg_doc_len(); }

 private:
  Search(std::shared_ptr<const Config> config, utils::Trie trie, utils::TokenHasher tokens,
         IndexManager index, SearchMeta meta, storage::DocumentsManager documents,
         utils::UlidGenerator generator);

  // Documents whose lengths the mean covers: the live ones and the pending ones.
  uint64_t indexed_count() const;

  std::shared_ptr<const Config> config_;
  utils::Trie trie_;
  utils::TokenHasher tokens_;
  IndexManager index_;
  SearchMeta meta_;
  storage::DocumentsManager documents_;
  analysis::Tokenizer tokenizer_;
  utils::UlidGenerator generator_;
  matching::MinimalIntervalSemanticMatch matcher_;
};

}  // namespace tarnwick::core
