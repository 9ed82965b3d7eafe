#include "engine/search.hpp"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "inverted/compaction.hpp"
#include "utils/file.hpp"

namespace tarnwick::engine {

using inverted::IndexManager;

using inverted::TokenIdSet;
using inverted::recover_index_compaction;

namespace fs = std::filesystem;
using utils::fail;

namespace {

// A purge is due once the pending documents are both many and a fair share of the live ones.
constexpr size_t kPurgeAtPending = 1001;
constexpr size_t kPurgeShareDivisor = 20;

// A reader whose load failed (a merge removed a segment as it was listed, say) tries again,
// waiting 2, 4, 8 and 16 ms between tries: a load that keeps failing is damage, not a race.
constexpr int kReaderAttempts = 5;

// The writer lock of `dir`; nothing when held elsewhere. A missing `dir` is created, with its
// missing parents, and each new directory's entry is synced in its parent, so that a power loss
// cannot take a new engine whose first flush returned.
utils::Result<std::optional<WriterLock>, utils::IoError> lock_directory(const fs::path& dir) {
  std::error_code code;
  std::vector<fs::path> missing;
  for (fs::path d = dir; !d.empty() && !fs::exists(d, code) && !code; d = d.parent_path()) {
    missing.push_back(d);
    if (d == d.parent_path()) break;
  }
  if (!code && !missing.empty()) fs::create_directories(dir, code);
  if (code) return fail(utils::IoError::from_errno(code.value(), dir));
  for (const fs::path& created : missing) {
    const fs::path parent = created.has_parent_path() ? created.parent_path() : ".";
    if (auto s = utils::sync_path(parent); !s) return fail(std::move(s.error()));
  }
  return WriterLock::try_acquire(dir);
}

}  // namespace

Search::Search(fs::path dir, std::optional<WriterLock> lock, std::optional<int64_t> writer_pid,
               std::shared_ptr<const Config> config, inverted::TokenHasher tokens,
               IndexManager index, SearchMeta meta, storage::DocumentsManager documents,
               utils::UlidGenerator generator)
    : dir_(std::move(dir)),
      lock_(std::move(lock)),
      writer_pid_(writer_pid),
      config_(std::move(config)),
      tokens_(std::move(tokens)),
      index_(std::move(index)),
      meta_(std::move(meta)),
      documents_(std::move(documents)),
      tokenizer_(std::shared_ptr<const StopWords>(config_, &config_->stop_words)),
      generator_(std::move(generator)) {
  // A document not yet saved (one being added) is not known: its postings are bounded without
  // its length.
  index_.set_document_lengths([this](uint128 id, size_t& cursor) {
    return documents_.live_token_count(id, cursor).value_or(0);
  });
}

utils::Result<std::unique_ptr<Search>, SearchError> Search::open(
    const fs::path& dir, const std::optional<fs::path>& config_path, utils::Clock clock,
    utils::RandomBits random) {
  auto loaded = Config::load(config_path);
  if (!loaded) return fail(SearchError{std::move(loaded.error())});
  auto config = std::make_shared<const Config>(std::move(*loaded));
  auto lock = lock_directory(dir);
  if (!lock) return fail(SearchError{std::move(lock.error())});
  if (*lock) return load(dir, std::move(config), std::move(*lock), std::nullopt, clock, random);
  const std::optional<int64_t> holder = WriterLock::holder(dir);
  for (int attempt = 1;; ++attempt) {
    auto engine = load(dir, config, std::nullopt, holder, clock, random);
    if (engine || attempt == kReaderAttempts) return engine;
    std::this_thread::sleep_for(std::chrono::milliseconds(1 << attempt));
  }
}

utils::Result<std::unique_ptr<Search>, SearchError> Search::load(
    const fs::path& dir, std::shared_ptr<const Config> config, std::optional<WriterLock> lock,
    std::optional<int64_t> writer_pid, utils::Clock clock, utils::RandomBits random) {
  const auto access = lock ? utils::Access::ReadWrite : utils::Access::ReadOnly;
  if (lock) {
    if (auto s = recover_index_compaction(dir); !s) return fail(SearchError{std::move(s.error())});
  }
  auto stores = lock ? load_index_stores(dir, config, clock) : load_index_stores_read_only(dir, config, clock);
  if (!stores) return fail(std::move(stores.error()));
  auto meta = SearchMeta::open(dir, config, clock, access);
  if (!meta) return fail(SearchError{std::move(meta.error())});
  auto documents = storage::DocumentsManager::load(dir, config, clock, access);
  if (!documents) return fail(SearchError{std::move(documents.error())});
  // New ids go above every stored one, whatever the clock says.
  const uint128 largest =
      std::max(documents->largest_stored_id(), stores->index.totals().largest_doc_id);
  std::unique_ptr<Search> engine(new Search(
      dir, std::move(lock), writer_pid, std::move(config),
      std::move(stores->tokens), std::move(stores->index), std::move(*meta),
      std::move(*documents), utils::UlidGenerator(std::move(clock), std::move(random), largest)));
  if (engine->read_only()) {
    engine->meta_.recompute(engine->documents_.live_count(),
                            engine->documents_.live_total_tokens());
  } else {
    if (auto s = engine->repair(); !s) return fail(std::move(s.error()));
    // What opening had to read the long way is saved for the next one: a snapshot or record
    // table that is missing, stale or far behind is written again.
    engine->index_.snapshot_if_due();
    engine->documents_.save_table();
  }
  return engine;
}

utils::Result<Search::IndexStores, SearchError> Search::load_index_stores_read_only(
    const fs::path& dir, const std::shared_ptr<const Config>& config, const utils::Clock& clock) {
  // A reader reads the logs before the token store, while a writer may be saving both. The writer
  // saves the token store before it appends log records that use new ids, so the store read
  // later names every id of the logs read earlier, except ids freed meanwhile: those are freed
  // only once every document with a posting under them is deleted, and the deletions, on disk
  // before the purge, leave such postings out of every result.
  auto index = IndexManager::load(dir, config, clock, utils::Access::ReadOnly);
  if (!index) return fail(SearchError{std::move(index.error())});
  auto tokens = inverted::TokenHasher::load(dir, config, clock, utils::Access::ReadOnly);
  if (!tokens) return fail(SearchError{std::move(tokens.error())});
  return IndexStores{std::move(*tokens), std::move(*index)};
}

Search::Status Search::check_writer() const {
  if (lock_) return {};
  return fail(SearchError{held_elsewhere(dir_, writer_pid_)});
}

uint64_t Search::indexed_count() const {
  return documents_.live_count() + documents_.deleted_documents().size();
}

utils::Result<uint128, SearchError> Search::add(std::string_view text) {
  if (auto s = check_writer(); !s) return fail(std::move(s.error()));
  PreparedText prepared{text, tokenizer_.tokenize_doc(text), std::nullopt};
  return add_prepared(prepared, tokenizer_.stem_generation());
}

utils::Result<uint128, SearchError> Search::add_prepared(const PreparedText& prepared,
                                                         uint64_t stem_generation) {
  const analysis::DocumentTokens& document = prepared.document;
  auto id = generator_.generate();
  if (!id) return fail(SearchError{std::move(id.error())});
  const uint64_t count = indexed_count();
  if (auto s = meta_.update_avg_doc_len(count, count + 1, document.length); !s) {
    return fail(SearchError{std::move(s.error())});
  }
  known_stems_.follow(stem_generation);
  auto token_ids = insert_postings(*id, document, &known_stems_);
  if (!token_ids) return fail(std::move(token_ids.error()));
  auto written =
      prepared.block
          ? documents_.write_block(*id, document.length, std::move(*token_ids), *prepared.block)
          : documents_.write(*id, document.length, std::move(*token_ids), prepared.text);
  if (!written) return fail(SearchError{std::move(written.error())});
  return *id;
}

utils::Result<std::vector<uint32_t>, SearchError> Search::insert_postings(
    uint128 id, const analysis::DocumentTokens& document, StemTokenIds* known) {
  std::vector<uint32_t> token_ids;
  token_ids.reserve(document.stems.size());
  // Its length: the number of its token ids, one a stem.
  index_.note_length(id, static_cast<uint32_t>(document.stems.size()));
  for (const analysis::DocumentStem& stem : document.stems) {
    std::optional<uint32_t> token_id = known ? known->find(stem.stem_id) : std::nullopt;
    if (!token_id) {
      if (trie_ && !tokens_.id_of(stem.text)) trie_->add(stem.text);
      auto added = tokens_.add(stem.text);
      if (!added) return fail(SearchError{std::move(added.error())});
      token_id = *added;
      if (known) known->remember(stem.stem_id, *token_id);
    }
    index_.prefetch(*token_id);
    token_ids.push_back(*token_id);
  }
  const auto now = index_.now();
  for (size_t i = 0; i < token_ids.size(); ++i) {
    const auto positions = document.positions_of(document.stems[i]);
    if (auto s = index_.insert(token_ids[i], id, positions, tokens_, now); !s) {
      return fail(SearchError{std::move(s.error())});
    }
  }
  return token_ids;
}

const utils::Trie& Search::trie() {
  if (!trie_) {
    trie_.emplace();
    tokens_.for_each_token([this](std::string_view token, uint32_t) { trie_->add(token); });
  }
  return *trie_;
}

std::optional<storage::Document> Search::get(uint128 id) const { return documents_.locate(id); }

Search::Status Search::delete_document(uint128 id) {
  if (auto s = check_writer(); !s) return s;
  if (auto s = as_search_error(documents_.delete_document(id)); !s) return s;
  const size_t pending = documents_.deleted_documents().size();
  if (pending >= kPurgeAtPending &&
      pending > documents_.live_count() / kPurgeShareDivisor) {
    return as_search_error(force_delete());
  }
  return {};
}

utils::Status<BincodePersistenceError> Search::force_delete() {
  if (documents_.deleted_documents().empty()) return {};
  // The purge may save the token store with the deleted documents' tokens freed: their deletions
  // must be on disk first, or a power loss could bring the documents back without their words.
  if (auto s = documents_.sync_deletions(); !s) {
    return fail(BincodePersistenceError{std::move(s.error())});
  }
  TokenIdSet token_ids;
  utils::IdSet ids;
  int64_t removed_length = 0;
  for (const auto& [id, document] : documents_.deleted_documents()) {
    ids.insert(id);
    token_ids.insert(document.token_ids.begin(), document.token_ids.end());
    removed_length += document.total_tokens;
  }
  documents_.clear_deleted_documents();
  const uint64_t live = documents_.live_count();
  if (auto s = meta_.update_avg_doc_len(live + ids.size(), live, -removed_length); !s) return s;
  return index_.delete_postings(token_ids, ids, tokens_,
                                [this](const std::string& token) { forget_word(token); });
}

Search::Status Search::flush() {
  if (auto s = check_writer(); !s) return s;
  if (auto s = as_search_error(force_delete()); !s) return s;
  if (auto s = as_search_error(documents_.flush()); !s) return s;
  if (auto s = as_search_error(index_.flush(tokens_)); !s) return s;
  if (auto s = as_search_error(index_.sync()); !s) return s;
  if (auto s = as_search_error(tokens_.flush()); !s) return s;
  if (auto s = as_search_error(meta_.save()); !s) return s;
  index_.snapshot_if_due();
  documents_.save_table();
  return {};
}

Search::Status Search::merge() {
  if (auto s = flush(); !s) return s;
  if (auto s = as_search_error(documents_.merge()); !s) return s;
  if (tokens_.trim_free_tail()) {
    if (auto s = as_search_error(tokens_.flush()); !s) return s;
  }
  if (auto s = as_search_error(index_.compact_if_due(tokens_, config_->merge_deleted_ratio)); !s) {
    return s;
  }
  index_.snapshot_if_due();
  return {};
}

}  // namespace tarnwick::engine
