// Bringing the writer's index in step with the stored documents when it opens.
//
// The stored texts and their records are the source of truth. The token store, the index logs
// and the statistics are derived from them and saved on schedules of their own, so a crash, a
// power loss or damage can leave them out of step; opening, in the writer, finds and mends that:
//  - a token store or index logs that cannot be read, or logs naming token ids the store lacks:
//    all three files are set aside in lost+found and every live document is indexed again;
//  - postings of documents that are not live (deleted while their purge was pending, or whose
//    records never reached the disk) are purged;
//  - a live document whose postings are missing or differ from its record's token ids (they
//    never reached the disk) loses the postings it has and is indexed again from its stored
//    text; a document that then gets other token ids than its record holds is stored again
//    with the new ones;
//  - dictionary words that no posting uses are freed;
//  - the mean document length is recomputed from the live records.
// What was mended is flushed before the engine is handed out.
//
// Checking compares the sum of a hash of every (document, token) pair over the live records,
// which the document store keeps, with the same sum over the postings, which the index keeps
// (IndexTotals): equal sums mean the index holds exactly the records' pairs, unless two 64-bit
// sums collide. Only a disagreement pays for the exact search.
#include <algorithm>
#include <vector>

#include "engine/search.hpp"
#include "utils/lost_found.hpp"

namespace tarnwick::engine {

using inverted::IndexManager;

using inverted::TokenIdSet;
using inverted::kIndexLogName;
using inverted::kIndexMetaLogName;

namespace fs = std::filesystem;
using utils::fail;

namespace {

// Sets aside the token store, its changes and both index logs, keeping what they hold in
// lost+found; the stores then load empty.
utils::Status<utils::IoError> set_aside_index(const fs::path& dir) {
  const fs::path index_dir = dir / inverted::kIndexDirName;
  for (const char* name : {inverted::kTokensFileName, inverted::kTokenChangesFileName,
                           kIndexMetaLogName, kIndexLogName}) {
    std::error_code code;
    const auto size = fs::file_size(index_dir / name, code);
    if (code || size == 0) continue;
    if (auto s = utils::cut_keeping_tail(dir, index_dir / name, 0); !s) return s;
  }
  return {};
}

// Whether every token id with postings has its word in the dictionary. A dictionary just loaded
// lacks exactly the ids from its slot count on and its free ones: the index is asked about those
// rather than walked whole.
bool names_known_tokens(const IndexManager& index, const inverted::TokenHasher& tokens) {
  const inverted::LayeredIndex& lists = index.index();
  if (const auto largest = lists.largest_token_id(); largest && !tokens.has_token(*largest)) {
    return false;
  }
  return std::none_of(tokens.free_ids().begin(), tokens.free_ids().end(),
                      [&](uint32_t token_id) { return lists.contains(token_id); });
}

// One live document's share of the index, as found and as its record says.
struct Tally {
  uint64_t found = 0;
  uint64_t expected = 0;
};

}  // namespace

utils::Result<Search::IndexStores, SearchError> Search::load_index_stores(
    const fs::path& dir, const std::shared_ptr<const Config>& config, const utils::Clock& clock) {
  auto load = [&]() -> utils::Result<IndexStores, SearchError> {
    auto tokens = inverted::TokenHasher::load(dir, config, clock);
    if (!tokens) return fail(SearchError{std::move(tokens.error())});
    auto index = IndexManager::load(dir, config, clock);
    if (!index) return fail(SearchError{std::move(index.error())});
    return IndexStores{std::move(*tokens), std::move(*index)};
  };
  auto stores = load();
  if (stores && !stores->tokens.damaged() && names_known_tokens(stores->index, stores->tokens)) {
    return stores;
  }
  // Logs that do not read are set aside like a damaged dictionary; any other failure stands.
  if (!stores) {
    const auto* index_error = std::get_if<IndexManagerError>(&stores.error().detail);
    if (!index_error || index_error->kind() != IndexManagerError::Kind::LogRead) return stores;
  }
  if (auto s = set_aside_index(dir); !s) return fail(SearchError{std::move(s.error())});
  return load();
}

Search::Status Search::repair() {
  const uint64_t live_count = documents_.live_count();
  const uint64_t total_tokens = documents_.live_total_tokens();
  const bool in_step = index_.totals().posting_sum == documents_.live_posting_sum() &&
                       tokens_.size() == index_.index().size();
  if (in_step) {
    if (meta_.recompute(live_count, total_tokens)) return as_search_error(meta_.save());
    return {};
  }
  if (auto s = bring_in_step(); !s) return s;
  meta_.recompute(live_count, total_tokens);
  return flush();
}

Search::Status Search::bring_in_step() {
  auto records = documents_.live_records();
  if (!records) return fail(SearchError{std::move(records.error())});
  const storage::DocumentMap& live = *records;
  utils::IdMap<Tally> tallies;
  for (const auto& [id, record] : live) {
    Tally& tally = tallies[id];
    for (uint32_t token_id : record.token_ids) tally.expected += utils::posting_hash(id, token_id);
  }
  // The documents whose postings go: those not live, and the live ones out of step.
  utils::IdSet stale;
  index_.index().for_each([&](uint32_t token_id, const inverted::PostingList& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      const uint128 doc_id = list.doc_id(i);
      auto it = tallies.find(doc_id);
      if (it == tallies.end()) {
        stale.insert(doc_id);
      } else {
        it->second.found += utils::posting_hash(doc_id, token_id);
      }
    }
  });
  std::vector<uint128> again;
  for (const auto& [id, tally] : tallies) {
    if (tally.found != tally.expected) again.push_back(id);
  }
  stale.insert(again.begin(), again.end());
  TokenIdSet touched;
  index_.index().for_each([&](uint32_t token_id, const inverted::PostingList& list) {
    for (size_t i = 0; i < list.size(); ++i) {
      if (stale.contains(list.doc_id(i))) {
        touched.insert(token_id);
        break;
      }
    }
  });
  auto on_freed = [this](const std::string& token) { forget_word(token); };
  if (auto s = index_.delete_postings(touched, stale, tokens_, on_freed); !s) {
    return fail(SearchError{std::move(s.error())});
  }
  // Words that no posting uses, left by a purge whose dictionary was saved and logs were not.
  std::vector<uint32_t> unused;
  tokens_.for_each_token([&](std::string_view, uint32_t token_id) {
    if (index_.postings(token_id) == nullptr) unused.push_back(token_id);
  });
  for (uint32_t token_id : unused) {
    auto freed = tokens_.delete_token(token_id);
    if (!freed) return fail(SearchError{std::move(freed.error())});
    if (*freed) forget_word(**freed);
  }
  std::sort(again.begin(), again.end());
  for (uint128 id : again) {
    if (auto s = reindex(live.at(id)); !s) return s;
  }
  return {};
}

Search::Status Search::reindex(const storage::Document& record) {
  const uint128 id = record.id_value();
  // A text that cannot be read leaves its document unfound, as it leaves it unreadable.
  auto text = storage::read_content(record);
  if (!text) return {};
  auto token_ids = insert_postings(id, tokenizer_.tokenize_doc(*text));
  if (!token_ids) return fail(std::move(token_ids.error()));
  std::vector<uint32_t> recorded = record.token_ids;
  std::sort(recorded.begin(), recorded.end());
  std::vector<uint32_t> sorted = *token_ids;
  std::sort(sorted.begin(), sorted.end());
  if (sorted == recorded) return {};
  return as_search_error(documents_.set_token_ids(id, std::move(*token_ids)));
}

}  // namespace tarnwick::engine
