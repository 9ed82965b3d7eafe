// IndexManager: the inverted index. It holds, for every token id, the posting list of that token
// (one posting per document containing it, with the token's positions there), and writes every
// change of a list as a record to the index logs (log_format.hpp). Opening reads the lists from
// the snapshot and the records after it, or else rebuilds them from the logs (replay.hpp); the
// lists of the snapshot are read when first asked for (layered_index.hpp).
//
// Invariants: a list holds at most one posting per document, in ascending document id; after a
// delete or a load no token id maps to an empty list. The logs replayed from disk, followed by the pending
// log records, give exactly the lists in memory.
//
// Saves of the logs happen when a record is written and the pending index-log bytes exceed
// `index_buffer_size`, or `index_save_after_seconds` have passed since the last save; and on
// flush. Every save of the logs first saves the token store when it has unsaved changes. Nothing
// is saved when the index is dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "absl/container/flat_hash_set.h"
#include "absl/functional/function_ref.h"
#include "base/config.hpp"
#include "base/error_kinds.hpp"
#include "inverted/layered_index.hpp"
#include "inverted/log_writer.hpp"
#include "inverted/posting_list.hpp"
#include "inverted/replay.hpp"
#include "inverted/snapshot.hpp"
#include "inverted/token_hasher.hpp"
#include "utils/access.hpp"
#include "utils/clock.hpp"
#include "utils/ids.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

using TokenIdSet = absl::flat_hash_set<uint32_t>;

// The least growth of the meta log, in bytes, that calls for a new snapshot, the share of what
// the last one covers that it must also reach, and the growth that calls for one whatever that
// share: the records opening replays after the snapshot stay within a bounded time.
inline constexpr uint64_t kSnapshotMinTail = 1 << 20;
inline constexpr uint64_t kSnapshotTailShare = 8;
inline constexpr uint64_t kSnapshotMaxTail = 8 << 20;
// The most bytes that lists hold in memory rather than read in place from the snapshot, in units
// of `index_buffer_size`: past it, the save of the logs that an insert brings on writes a new
// snapshot, which the lists are read from again. Memory while indexing stays within what the
// buffers allow, whatever the size of the collection.
inline constexpr uint64_t kOwnedListsBuffers = 64;

class IndexManager {
 public:
  using Status = utils::Status<BincodePersistenceError>;

  // Opens the index of the engine directory `dir`. When `dir`/index or either log is missing,
  // the directory is created and both logs are created empty (an existing log is set aside in
  // lost+found first; the engine then indexes its documents again). A
  // meta log that ends in a record cut short has that tail cut off. Read-only, the index is
  // empty in those cases and nothing is created or cut. Fails with Io, Clock or a log-reading
  // error; no partial index is returned.
  static utils::Result<IndexManager, IndexManagerError> load(
      const std::filesystem::path& dir, std::shared_ptr<const Config> config,
      utils::Clock clock = utils::system_time_nanos,
      utils::Access access = utils::Access::ReadWrite);

  // Appends the posting (doc_id, positions) to the list of `token_id`, creating the list when
  // absent, and writes its Insert record. Once the record is pending the posting is in memory:
  // a Clock or save failure is returned but undoes neither. A list whose position bytes would
  // pass PostingList::kMaxPositionBytes refuses the posting (Encode, UnexpectedEnd) and nothing
  // is written; the list then exists, possibly empty.
  Status insert(uint32_t token_id, uint128 doc_id, std::span<const uint32_t> positions,
                inverted::TokenHasher& tokens) {
    return insert(token_id, doc_id, positions, tokens, now());
  }
  // The same by the clock's reading `now`, taken from `now()` for several postings: those of a
  // document, inserted within microseconds, share one.
  using Now = utils::Result<uint64_t, BincodePersistenceError>;
  Status insert(uint32_t token_id, uint128 doc_id, std::span<const uint32_t> positions,
                inverted::TokenHasher& tokens, const Now& now);
  // The clock's reading, in whole seconds; Clock when it reads before the epoch.
  Now now() const { return logs_.now(); }

  // Removes from the lists of `token_ids` (in the set's order) every posting of a document in
  // `doc_ids`, writing one Delete record per posting removed. A list left empty leaves the index,
  // its id is freed in `tokens`, and `on_token_freed` gets the token's text (for the trie).
  // A failed save does not stop the removal: the token being processed is finished, the latest
  // error is returned, and the remaining token ids are left untouched. Their records stay pending.
  Status delete_postings(const TokenIdSet& token_ids, const utils::IdSet& doc_ids,
                         inverted::TokenHasher& tokens,
                         absl::FunctionRef<void(const std::string&)> on_token_freed);

  // Saves the token store when it has unsaved changes, then the pending log records.
  Status flush(inverted::TokenHasher& tokens) { return logs_.flush(tokens); }

  // Syncs both logs, so that what this engine wrote to them survives a power loss; nothing when
  // it wrote nothing since the last sync.
  Status sync();

  // Writes a new snapshot of the lists (snapshot.hpp) when the meta log has grown past what the
  // last one covers by kSnapshotMinTail bytes and by a kSnapshotTailShare-th of what it covers, or
  // by kSnapshotMaxTail bytes, so that opening replays a bounded tail and, below that, rewriting
  // the snapshot costs a bounded share of the writes. The snapshot being derived, a failure to
  // write it is not reported: the logs hold everything, and the next call tries again.
  // REQUIRES: a successful flush since the last change.
  void snapshot_if_due() {
    if (snapshot_due()) write_snapshot();
  }
  // A new snapshot, due or not; whether one now covers the logs.
  bool write_snapshot();
  // Where snapshots take the documents' lengths from, for the bounds of blocks of postings; until
  // it is set, every length is unknown, which bounds nothing.
  void set_document_lengths(DocumentLengths lengths) { lengths_ = std::move(lengths); }
  // The length of document `id`, whose postings are about to be inserted: the next snapshot takes
  // it from here, which is cheaper than asking, and knows it before the document is saved.
  void note_length(uint128 id, uint32_t length) { noted_lengths_.insert_or_assign(id, length); }

  // Rewrites both logs to hold only the postings in memory (index_compaction.hpp) when the
  // records that no list holds any more are at least `dead_ratio` of those in the meta log.
  // REQUIRES: a successful flush since the last change.
  Status compact_if_due(const inverted::TokenHasher& tokens, double dead_ratio);

  // Of the lists about to take postings (LayeredIndex::prefetch).
  void prefetch(uint32_t token_id) const { index_.prefetch(token_id); }

  // Read by the query side. A token id without a list has no postings.
  const LayeredIndex& index() const { return index_; }
  // Of the postings of `index()`.
  const IndexTotals& totals() const { return totals_; }
  // The list of `token_id`, or null.
  const PostingList* postings(uint32_t token_id) const { return index_.find(token_id); }

 private:
  // Whether a snapshot is due (snapshot_if_due).
  bool snapshot_due() const;

  IndexManager(LogsManager logs, LayeredIndex index)
      : logs_(std::move(logs)), index_(std::move(index)) {
    count_owned();
  }

  // Whether the lists own more than `budget` bytes of memory. Counting walks every list, so it is
  // done only once the last count and what changes added since pass the budget.
  bool owned_over(uint64_t budget);
  // Counts what the lists own, walking them all; returns it.
  uint64_t count_owned();
  // Takes in what a change of a list added to the memory it owns, from `before` to `after`.
  void owned_grew(size_t before, size_t after) {
    if (after > before) owned_ += after - before;
  }

  LogsManager logs_;
  LayeredIndex index_;
  // What the lists owned at the last count (index_.owned_bytes()), plus what inserts and
  // deletions added to them since. Lists read in place own nothing; those a damaged snapshot sends
  // to the logs own theirs, and are counted at the next save.
  uint64_t owned_ = 0;
  uint64_t counted_logs_reads_ = 0;
  DocumentLengths lengths_ = [](uint128, size_t&) { return uint32_t{0}; };
  utils::IdMap<uint32_t> noted_lengths_;  // of the documents added since the last snapshot
  IndexTotals totals_;
  // What the snapshot covers (all zero when the logs have none: the next due snapshot covers
  // them from the start).
  LogsStamp covered_;
};

}  // namespace tarnwick::inverted
