// Search: the engine behind one Python Search object. It owns every store of one engine
// directory (the token dictionary and trie, the inverted index, the statistics, the document
// store) with the tokenizer and the id generator, and runs each operation across them in a fixed
// order.
//
// Opening loads, in order: the configuration, the writer lock, the dictionary, the index, the
// statistics file and the document store. The trie of the dictionary's words, with its automata,
// is built at the first fuzzy query, and kept in step with the dictionary from then on.
// The writer then brings the index in step with the live documents (see search_repair.cpp), and
// writes the index snapshot and the record table again when they are missing or far behind; the
// id generator starts above every stored id.
//
// One engine at a time is the writer of a directory: the one holding its WriterLock. An engine
// that finds the lock held opens read-only: it reads the state saved when it opened, changes
// nothing on disk, and every write (add, delete, flush, merge) fails with held_elsewhere. It never
// becomes the writer by itself, since its view may be stale: it must be opened again.
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
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "absl/functional/function_ref.h"
#include "analysis/tokenizer.hpp"
#include "base/config.hpp"
#include "inverted/index.hpp"
#include "engine/search_meta.hpp"
#include "engine/writer_lock.hpp"
#include "base/error_kinds.hpp"
#include "engine/stem_token_ids.hpp"
#include "matching/intersect.hpp"
#include "matching/mis.hpp"
#include "query/parse_error.hpp"
#include "query/scoring.hpp"
#include "storage/documents.hpp"
#include "utils/clock.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/result.hpp"
#include "utils/trie.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::engine {

using uint128 = unsigned __int128;

struct SearchError {
  std::variant<ConfigError, BincodePersistenceError, IndexManagerError, DocumentsManagerError,
               UlidError, utils::IoError>
      detail;
};

// A store's status as the engine's.
template <class E>
utils::Status<SearchError> as_search_error(utils::Status<E> status) {
  if (status) return {};
  return utils::fail(SearchError{std::move(status.error())});
}

// One search result: a live document's record and its score, which is positive.
struct Hit {
  storage::Document document;  // its record, without the token ids
  double score;
  // Where the document matched: the positions of the words of its best-scoring interval (the
  // first of equal ones), one per query token, in query order.
  std::vector<uint32_t> positions;
};

class Search {
 public:
  using Status = utils::Status<SearchError>;

  // Stays where it was made: its index asks it for documents' lengths.
  Search(const Search&) = delete;
  Search& operator=(const Search&) = delete;

  // Opens the engine of `dir` with the configuration file `config_path`, or the defaults; the
  // writer creates `dir` when missing. A reader retries a load that fails (a writer may be
  // changing the files meanwhile) a few times before giving up.
  static utils::Result<std::unique_ptr<Search>, SearchError> open(
      const std::filesystem::path& dir, const std::optional<std::filesystem::path>& config_path,
      utils::Clock clock = utils::system_time_nanos,
      utils::RandomBits random = utils::os_random_bits);

  // Stores `text` as a new document and gives its id.
  utils::Result<uint128, SearchError> add(std::string_view text);

  // A text made ready for adding: tokenized, and by add_many compressed as well.
  struct PreparedText {
    std::string_view text;
    analysis::DocumentTokens document;
    std::optional<std::string> block;  // the size-prefixed block of `text`, when made ahead
  };

  // What add_many did: the ids of the texts added, in order, and the failure that stopped it.
  struct AddedMany {
    std::vector<uint128> ids;
    Status status;
  };
  // Adds each text as `add` would, in order, leaving the same state behind as that many calls of
  // `add`. A failure stops it at the text that failed: the texts before it stay added. The texts
  // are tokenized ahead on a second thread, which only this call uses and which ends with it.
  AddedMany add_many(std::span<const std::string_view> texts);

  // The record of the live document `id` without its token ids, or nothing.
  std::optional<storage::Document> get(uint128 id) const;

  // Deletes a live document; an id that is not live changes nothing.
  Status delete_document(uint128 id);

  // Purges the postings of the pending documents from the index, after syncing their deletions.
  utils::Status<BincodePersistenceError> force_delete();

  // Purges pending documents, then saves every store. When it returns, every document added and
  // deleted so far is durable, saved in this order: the deletion files (before the purge may
  // save a token store that frees their words), the document store (texts, then records, then
  // deletions, then directories), the token store and the index logs (the index log synced
  // before its meta log), the token store once more, and the statistics file; each rewritten file
  // is synced and renamed into place, then its directory synced. On failure what was saved stays
  // saved and the rest stays pending.
  Status flush();

  // Flushes, then compacts at most one segment, drops the dictionary's trailing free slots, and
  // compacts the index logs when the records of purged postings are at least
  // `merge_deleted_ratio` of them; a failed flush is returned before compacting.
  Status merge();

  // The best `top_k` live documents matching `query` (0: all), best first; equal scores rank by
  // ascending id. Fails only when the query does not parse.
  utils::Result<std::vector<Hit>, query::ParseError> search(std::string query, uint32_t top_k);

  // The hits that `search` ranks `offset` to `offset + limit - 1` (limit 0: all from `offset`
  // on), at the cost of finding the best `offset + limit`. Since the ranking is total, pages cut
  // from one state of the engine neither overlap nor skip a hit.
  utils::Result<std::vector<Hit>, query::ParseError> search_page(std::string query,
                                                                 uint32_t offset, uint32_t limit);

  // The number of hits `search(query, 0)` gives, found without ranking them: each live candidate
  // is matched only until its first interval.
  utils::Result<uint64_t, query::ParseError> count(std::string query);

  const storage::DocumentsManager& documents() const { return documents_; }
  const inverted::TokenHasher& tokens() const { return tokens_; }
  const inverted::IndexManager& index() const { return index_; }
  double avg_doc_len() const { return meta_.avg_doc_len(); }
  // The stop words the engine's tokenizer drops, shared for as long as the holder needs them.
  std::shared_ptr<const StopWords> stop_words() const { return {config_, &config_->stop_words}; }

  // Whether another engine held the writer lock when this one opened.
  bool read_only() const { return !lock_; }
  // Read-only: the process that held the lock then, when it could be known.
  std::optional<int64_t> writer_pid() const { return writer_pid_; }

 private:
  Search(std::filesystem::path dir, std::optional<WriterLock> lock,
         std::optional<int64_t> writer_pid, std::shared_ptr<const Config> config,
         inverted::TokenHasher tokens, inverted::IndexManager index, SearchMeta meta,
         storage::DocumentsManager documents, utils::UlidGenerator generator);

  // Loads every store, as the writer when `lock` holds the lock, else read-only.
  static utils::Result<std::unique_ptr<Search>, SearchError> load(
      const std::filesystem::path& dir, std::shared_ptr<const Config> config,
      std::optional<WriterLock> lock, std::optional<int64_t> writer_pid, utils::Clock clock,
      utils::RandomBits random);

  struct IndexStores {
    inverted::TokenHasher tokens;
    inverted::IndexManager index;
  };
  // The writer's dictionary and index. When the dictionary does not decode, the logs do not
  // read, or they name token ids the dictionary lacks, the three files are set aside (kept in
  // lost+found) and both stores start empty, for repair to fill.
  static utils::Result<IndexStores, SearchError> load_index_stores(
      const std::filesystem::path& dir, const std::shared_ptr<const Config>& config,
      const utils::Clock& clock);
  static utils::Result<IndexStores, SearchError> load_index_stores_read_only(
      const std::filesystem::path& dir, const std::shared_ptr<const Config>& config,
      const utils::Clock& clock);

  // Brings the writer's index in step with the live documents as it opens (search_repair.cpp),
  // and flushes when it changed anything.
  Status repair();
  // The exact search for what is out of step, and its mending.
  Status bring_in_step();
  // Indexes the live document of `record` again from its stored text.
  Status reindex(const storage::Document& record);

  // Gives each stem of `document` its token id (a new word goes into the trie too) and inserts
  // the posting of `id` under it; the token ids, in that order. The ids of stems in `known` are
  // taken from it, and those found are added to it. On failure the postings inserted so far stay.
  utils::Result<std::vector<uint32_t>, SearchError> insert_postings(
      uint128 id, const analysis::DocumentTokens& document, StemTokenIds* known = nullptr);

  // A live document holding a match of every query token. Its positions are decoded when
  // `terms` is first asked for.
  struct Candidate {
    uint128 id;
    uint32_t doc_len;  // the number of its record's token ids
    // As max_bm25 takes them; empty when no floor was set, which nothing is bounded by.
    std::span<const matching::TermCount> counts;
    uint32_t group_count;
    uint8_t proximity;
    matching::PostingListIntersection* intersection;

    // As the interval matcher takes them; valid while the candidate is visited.
    std::span<const matching::TermPositions> terms() const { return intersection->terms(); }
  };
  // Parses and tokenizes `query`, then hands `visit` its live candidates in ascending id, but
  // those whose score is bound to be at most what `floor` gives at the time: they are passed
  // over as early as their bounds tell, before their records are looked up. Fails only when the
  // query does not parse.
  utils::Status<query::ParseError> for_each_candidate(
      std::string query, query::Scorer& scorer, absl::FunctionRef<double()> floor,
      absl::FunctionRef<void(const Candidate&)> visit);

  // `add` of a prepared text, tokenized in the stem generation `stem_generation`, once the
  // engine is known to be the writer.
  utils::Result<uint128, SearchError> add_prepared(const PreparedText& prepared,
                                                   uint64_t stem_generation);

  // Fails a write of a read-only engine.
  Status check_writer() const;

  // Documents whose lengths the mean covers: the live ones and the pending ones.
  uint64_t indexed_count() const;

  // The trie of the dictionary's words, built from the dictionary on first use.
  const utils::Trie& trie();
  // Keeps a built trie, and the ids of stems, in step with a word that left the dictionary.
  void forget_word(const std::string& token) {
    if (trie_) trie_->delete_token(token);
    known_stems_.forget();
  }

  std::filesystem::path dir_;
  std::optional<WriterLock> lock_;
  std::optional<int64_t> writer_pid_;
  std::shared_ptr<const Config> config_;
  // Built when first needed (trie()); until then, words come and go in the dictionary alone.
  std::optional<utils::Trie> trie_;
  inverted::TokenHasher tokens_;
  inverted::IndexManager index_;
  SearchMeta meta_;
  storage::DocumentsManager documents_;
  analysis::Tokenizer tokenizer_;
  // Saves adds dictionary lookups of stems met before.
  StemTokenIds known_stems_;
  utils::UlidGenerator generator_;
  matching::MinimalIntervalSemanticMatch matcher_;
};

}  // namespace tarnwick::engine
