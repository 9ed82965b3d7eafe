// LayeredIndex: the posting lists of the index over a snapshot (snapshot.hpp). The lists changed
// since the snapshot are held in memory; every other list is read from the snapshot the first
// time it is asked for, checked then, and kept. Opening thus costs the snapshot's directory, and
// memory holds what changed and what queries read. Without a snapshot every list is in memory.
//
// A list of the snapshot that fails its check is not guessed at: the snapshot is dropped, and the
// lists not read in are read again from the logs it was derived from (the `replay` set), or, with
// none set yet (while opening replays the records after the snapshot), the index is `damaged`.
//
// Not for concurrent use, even through its const methods: a read may read a list in. A list
// returned stays where it is until it changes, or the index is moved or dropped.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/functional/function_ref.h"
#include "inverted/index_type.hpp"
#include "inverted/log_reader.hpp"
#include "inverted/snapshot.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

// The number of distinct tokens of document `id`, or 0 when it is not known; `cursor` is the
// caller's, for ids asked in ascending order.
using DocumentLengths = std::function<uint32_t(uint128 id, size_t& cursor)>;

// The bounds of `list` as a snapshot keeps them: those it borrowed as they are, the others (and
// that of a borrowed block its own postings complete) from its postings and `lengths`.
ListBounds list_bounds(const PostingList& list, const DocumentLengths& lengths);

class LayeredIndex {
 public:
  // Every list, as the logs alone give them.
  using Replay = std::function<utils::Result<Index, LogReadError>()>;

  LayeredIndex() = default;
  // Every list in memory.
  explicit LayeredIndex(Index lists) : changed_(std::move(lists)) {}
  explicit LayeredIndex(Snapshot snapshot);

  void set_replay(Replay replay) { replay_ = std::move(replay); }
  // A list of the snapshot failed its check and could not be read from the logs: lists are
  // missing.
  bool damaged() const { return damaged_; }
  // How many times lists were read from the logs, which then own their postings in memory.
  uint64_t logs_reads() const { return logs_reads_; }

  // The list of `token_id`, or null.
  const PostingList* find(uint32_t token_id) const;
  // The list of `token_id`, to be changed: created empty when there is none and `create`, else
  // null then. A list emptied by changes must be erased.
  PostingList* change(uint32_t token_id, bool create);
  void erase(uint32_t token_id) { changed_.erase(token_id); }
  // Starts bringing into the caches where `change` finds the list of `token_id` when it has
  // changed: a document's lists, asked for all at once, then wait for memory together.
  void prefetch(uint32_t token_id) const { changed_.prefetch(token_id); }

  // The number of lists.
  size_t size() const;
  bool empty() const { return size() == 0; }
  // The bytes the lists hold in memory rather than read in place from the snapshot.
  size_t owned_bytes() const;
  // Whether `token_id` has a list, reading none.
  bool contains(uint32_t token_id) const;
  // The largest token id with a list, reading none; nothing without lists.
  std::optional<uint32_t> largest_token_id() const;
  // The number of postings, from the lists' lengths alone.
  uint64_t posting_count() const;
  // Hands every list to `visit`, reading in those not read yet, in no order.
  void for_each(absl::FunctionRef<void(uint32_t, const PostingList&)> visit) const;
  // Every list in ascending token id, as a new snapshot writes them: those unchanged since the
  // snapshot as it holds them (checked by the next reader against the same checksums). The
  // bounds of blocks with postings added since come from `lengths`.
  std::vector<SnapshotList> snapshot_lists(const DocumentLengths& lengths) const;
  // Gives back every page of the snapshot read so far (utils::MappedFile::release): reading them
  // again reads the file.
  void release_pages() const {
    if (file_) file_->release(file_->bytes());
  }
  // The snapshot's mapping, which lists may borrow from; null without a snapshot.
  const utils::MappedFile* file() const { return file_.get(); }

 private:
  // Gives back the pages of the list's borrowed postings (utils::MappedFile::release).
  void release(const PostingList& list) const;

  // find, checking a list read from the snapshot as `check` says.
  const PostingList* find(uint32_t token_id, Snapshot::Check check) const;
  // List `i` of the snapshot, read in; when it fails its check, every list not in memory is read
  // from the logs instead, and whatever they give for `token_id`.
  const PostingList* read(size_t i, uint32_t token_id,
                          Snapshot::Check check = Snapshot::Check::InPlace) const;
  // Replaces the snapshot by the lists the logs give.
  void read_logs() const;

  Index changed_;  // the lists changed since the snapshot (every list, without one)
  // Lists of the snapshot read in, unchanged; each on the heap, to stay where it is as others
  // come in.
  mutable absl::flat_hash_map<uint32_t, std::unique_ptr<PostingList>> read_;
  mutable std::optional<Snapshot> snapshot_;
  // Token ids whose list in the snapshot no longer holds: changed, or emptied.
  absl::flat_hash_set<uint32_t> shadowed_;
  Replay replay_;
  mutable bool damaged_ = false;
  mutable uint64_t logs_reads_ = 0;
  // The snapshot's mapping, which lists read in borrow from until they change.
  std::shared_ptr<const utils::MappedFile> file_;
};

}  // namespace tarnwick::inverted
