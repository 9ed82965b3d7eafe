#include "inverted/replay.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "absl/container/flat_hash_set.h"
#include "absl/hash/hash.h"
#include "storage/codec/corruption.hpp"
#include "utils/ids.hpp"

namespace tarnwick::inverted {

using utils::fail;

namespace {

// A token's list while the logs are read.
struct Replayed {
  uint32_t count = 0;        // final length, from the token's newest record
  PostingList newest_first;  // surviving postings, newest first
};

// A (document, token) pair whose Delete record has not yet met its Insert.
struct Pair {
  uint128 doc_id;
  uint32_t token_id;

  bool operator==(const Pair&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Pair& p) {
    return H::combine(std::move(h), static_cast<uint64_t>(p.doc_id >> 64),
                      static_cast<uint64_t>(p.doc_id), p.token_id);
  }
};

LogReadError disagreement(uint32_t token_id, const char* what) {
  return {storage::corrupt_data("token " + std::to_string(token_id) + ": " + what)};
}

}  // namespace

utils::Result<Index, LogReadError> replay_logs(LogsReader& reader) {
  absl::flat_hash_map<uint32_t, Replayed> lists;
  absl::flat_hash_set<Pair> deleted;
  // Each posting of a final list comes from its own record, so the final counts of logs that
  // agree with themselves add up to at most the number of records. Reserving up to that total
  // saves regrowing the lists, yet a count that lies costs no more than the file bears out.
  uint64_t reservable = reader.kept_meta_size() / kLogMetaSize;
  for (;;) {
    auto next = reader.next();
    if (!next) return fail(std::move(next.error()));
    if (!*next) break;
    const LogEntry& entry = **next;
    const uint32_t token_id = entry.header.token_id;
    const bool insert = entry.header.operation == LogOperation::Insert;
    auto [it, newest] = lists.try_emplace(token_id);
    Replayed& list = it->second;
    if (newest) {
      // Only this record (when it is an Insert) and the older ones can fill the list.
      if (entry.header.count > entry.record + (insert ? 1 : 0)) {
        return fail(disagreement(token_id, "count exceeds the records before it"));
      }
      list.count = entry.header.count;
      const uint64_t reserved = std::min<uint64_t>(list.count, reservable);
      list.newest_first.reserve(reserved);
      reservable -= reserved;
    }
    if (!insert) {
      deleted.insert({entry.doc_id, token_id});
      continue;
    }
    if (deleted.erase(Pair{entry.doc_id, token_id}) != 0) continue;
    if (list.newest_first.size() == list.count) {
      return fail(disagreement(token_id, "more postings than its count"));
    }
    if (!list.newest_first.append(entry.posting_doc_id, entry.positions)) {
      return fail(disagreement(token_id, "positions exceed what one list holds"));
    }
  }
  Index index;
  for (auto& [token_id, list] : lists) {
    if (list.newest_first.size() != list.count) {
      return fail(disagreement(token_id, "fewer postings than its count"));
    }
    if (list.count == 0) continue;
    // Lists are kept in id order; a document indexed again after newer ones were added has its
    // Insert record after theirs.
    PostingList postings = list.newest_first.reversed();
    if (!postings.is_sorted()) postings = postings.sorted();
    index.emplace(token_id, std::move(postings));
    list.newest_first = PostingList();
  }
  return index;
}

namespace {

// Consecutive Delete records of one token, applied together: a purge writes a token's Delete
// records one after the other, and removing them one by one would move a long list once each.
class PendingDeletes {
 public:
  // Takes the Delete record of `doc_id` under `token_id` whose count is `count`.
  utils::Status<LogReadError> add(LayeredIndex& index, IndexTotals& totals, uint32_t token_id,
                                  uint128 doc_id, uint32_t count) {
    if (!doc_ids_.empty() && token_id != token_id_) {
      if (auto s = apply(index, totals); !s) return s;
    }
    if (doc_ids_.empty()) {
      token_id_ = token_id;
      const PostingList* list = index.find(token_id);
      length_ = list == nullptr ? 0 : list->size();
    }
    if (!doc_ids_.insert(doc_id).second || length_ < doc_ids_.size() ||
        count != length_ - doc_ids_.size()) {
      return fail(disagreement(token_id, "a Delete record does not fit its list"));
    }
    return {};
  }

  // Removes the postings taken so far from their list.
  utils::Status<LogReadError> apply(LayeredIndex& index, IndexTotals& totals) {
    if (doc_ids_.empty()) return {};
    size_t removed = 0;
    if (PostingList* list = index.change(token_id_, false)) {
      list->remove_if([this](uint128 doc_id) { return doc_ids_.contains(doc_id); },
                      [&](uint128 doc_id) {
                        ++removed;
                        totals.remove(doc_id, token_id_);
                      });
      if (list->empty()) index.erase(token_id_);
    }
    const bool all_found = removed == doc_ids_.size();
    doc_ids_.clear();
    if (!all_found) return fail(disagreement(token_id_, "a Delete record names no posting"));
    return {};
  }

 private:
  uint32_t token_id_ = 0;
  size_t length_ = 0;  // of the list before the run
  utils::IdSet doc_ids_;
};

}  // namespace

utils::Status<LogReadError> replay_tail(LogsReader& reader, uint64_t from_record,
                                        LayeredIndex& index, IndexTotals& totals) {
  PendingDeletes deletes;
  const uint64_t records = reader.kept_meta_size() / kLogMetaSize;
  for (uint64_t record = from_record; record < records; ++record) {
    auto entry = reader.read(record);
    if (!entry) return fail(std::move(entry.error()));
    const uint32_t token_id = entry->header.token_id;
    if (entry->header.operation == LogOperation::Delete) {
      if (auto s = deletes.add(index, totals, token_id, entry->doc_id, entry->header.count); !s) {
        return s;
      }
      continue;
    }
    if (auto s = deletes.apply(index, totals); !s) return s;
    PostingList& list = *index.change(token_id, true);
    const uint128 doc_id = entry->posting_doc_id;
    const size_t place =
        list.empty() || list.last_doc_id() < doc_id ? list.size() : list.lower_bound(doc_id);
    if ((place < list.size() && list.doc_id(place) == doc_id) ||
        !list.insert(doc_id, entry->positions) ||
        list.size() != entry->header.count) {
      return fail(disagreement(token_id, "an Insert record does not fit its list"));
    }
    totals.add(doc_id, token_id);
  }
  return deletes.apply(index, totals);
}

}  // namespace tarnwick::inverted
