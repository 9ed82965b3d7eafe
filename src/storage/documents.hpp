// DocumentsManager: the document store. It owns the records of all documents and their
// compressed texts (in segment directories under the engine directory; see segment.cpp). The
// records live in the segments' meta files; the store keeps in memory only those the record
// table (record_table.hpp) lacks, and reads the others through the table's mapped rows.
// New documents go through the write buffer into the current segment, the one with the largest
// timestamp; when that segment grows past `segment_size` a new one is started. Deletions are
// appended to the document's segment at once. `merge` compacts one segment with many deletions.
// A live document's block may be copied (by merge and set_token_ids); the copy's meta entry comes
// later in the files, a load keeps it, and the old block counts as deleted bytes of its segment.
//
// Invariants: a document is live when `documents_` holds its record, or the table has a row of
// it that is not in `gone_` (never both); `gone_` names only rows of the table. Every live and
// pending record names a segment directory, and once the buffer is flushed its block lies within
// that segment's data file; a document is never both live and pending; `segments` has an entry
// for `current` (unless read-only with no segment); the sums count exactly the live records.
//
// No file stays open between calls (the table stays mapped). Nothing is saved when the store is
// dropped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/functional/function_ref.h"
#include "base/config.hpp"
#include "base/error_kinds.hpp"
#include "storage/buffer.hpp"
#include "storage/data_files.hpp"
#include "storage/document.hpp"
#include "storage/record_table.hpp"
#include "storage/segment.hpp"
#include "utils/access.hpp"
#include "utils/clock.hpp"
#include "utils/file.hpp"
#include "utils/ids.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

using DocumentMap = utils::IdMap<Document>;

// Keyed by the segment directory's path, as the string it was built as.
using SegmentMap = absl::flat_hash_map<std::string, Segment>;

class DocumentsManager {
 public:
  using Status = utils::Status<DocumentsManagerError>;

  // Opens the store in `dir`, creating `dir` and a first segment when there is no segment. Every
  // record in memory names the segment directory it was read from, wherever `dir` was when it was
  // written. A meta or deletion entry cut short at the end of its file (an append interrupted by
  // a crash) is ignored and cut off the file, the bytes cut kept in lost+found; any other damage
  // fails the load and changes nothing on disk. A meta entry counts as cut short only when its
  // bytes can be the start of one (see read_meta_entries): a damaged size prefix, which would
  // make the rest of the file look cut short, is a Decode error naming the meta file and the
  // entry's offset. A segment directory that lacks one of its files and holds no byte in the
  // others was left half-made by a crash, and is passed over.
  //
  // A record table that covers a prefix of the segments' files is used: only the entries after
  // it are read. One that does not (or that a later entry contradicts) is passed over.
  //
  // Read-only, nothing on disk changes: torn entries are left out in memory only, and with no
  // segment the store is empty and has no current segment (it is never written).
  static utils::Result<DocumentsManager, DocumentsManagerError> load(
      const std::filesystem::path& dir, std::shared_ptr<const Config> config,
      utils::Clock clock = utils::system_time_nanos,
      utils::Access access = utils::Access::ReadWrite);

  // Buffers the document's compressed text and meta entry for the current segment and records it
  // among the live ones. May save the buffer (by its size or elapsed time) and start a new segment.
  // Fails only before the meta entry is buffered, and then the document is not written (a
  // buffered block without an entry is never read). Once the entry is buffered the document is
  // live and will reach the files: a failed automatic save leaves its bytes in the buffer, and
  // the next flush writes them or reports the error.
  Status write(uint128 id, uint32_t total_tokens, std::vector<uint32_t> token_ids,
               std::string_view content);

  // `write`, given the size-prefixed block of the content (compress_block's) rather than the
  // content, for texts compressed ahead.
  Status write_block(uint128 id, uint32_t total_tokens, std::vector<uint32_t> token_ids,
                     std::string_view block);

  // Moves a live document's record, read in full, to `deleted_documents`, after appending its
  // deletion entry to its segment. An id that is not live changes nothing. On failure nothing
  // changes.
  Status delete_document(uint128 id);

  // Appends the buffer to the current segment's files and syncs them, together with the
  // deletion files and directories changed since the last flush: data files before the meta
  // files whose records point into them, then deletion files, then segment directories, then the
  // engine directory. When it returns, every document written and deleted so far is durable. On
  // failure the unwritten bytes stay in the buffer.
  Status flush();

  // Syncs the deletion files appended to since the last sync, so that a purge which frees the
  // deleted documents' token ids never reaches the disk before the deletions.
  utils::Status<utils::IoError> sync_deletions();

  // Compacts the oldest segment other than `current` whose deleted bytes are at least
  // `merge_deleted_ratio` of its data file: its live blocks are copied unchanged into the current
  // segment, the buffer is flushed, then the old directory is removed. When no other segment
  // qualifies, `current` is compacted the same way if it qualifies and has deleted bytes (so that
  // a store written to one segment gives back the space of its deletions): the buffer is appended
  // to it, a new segment is started and becomes `current`, the live blocks are copied there (none
  // when all are deleted: the new segment stays empty), the buffer is flushed, then the old
  // directory is removed. At most one segment per call. A call that compacts makes durable what
  // flush does before the old directory goes, so the copies are on disk before their originals
  // are removed. On failure the documents already copied stay copied and the old segment stays
  // (no longer current, if it was): a load then finds such documents twice and keeps the copy in
  // the newer segment, counting the older one as deleted bytes of its segment.
  Status merge();

  // Gives the live document `id` the record `token_ids` instead of its own: its block is copied
  // unchanged through the buffer into the current segment with a meta entry carrying the new
  // token ids, which a load keeps over the old one; the old block counts as deleted bytes of its
  // segment. Like write, nothing is durable until the next flush (a crash before it leaves the old
  // record), and it fails only before the new entry is buffered, changing nothing then (a block
  // still in the buffer is appended to the current segment's files first, as a save would).
  // REQUIRES: id is live; an id that is not live changes nothing.
  Status set_token_ids(uint128 id, std::vector<uint32_t> token_ids);

  // After a document of the current segment was buffered, `size` being the segment's new size:
  // flushes when the buffer holds more than `documents_buffer_size` or
  // `documents_save_after_seconds` have passed, then starts a new segment when `size` exceeds
  // `segment_size`. `last_save` moves before a timed or sized flush is tried; a failed flush
  // leaves the unwritten bytes in the buffer and no new segment.
  Status save_buffer(uint64_t size);

  // A copy of `record` (live or pending) whose text can be read: a block not yet (or, after an
  // append that failed part way, not wholly) in the data file is decompressed into the copy's
  // `content`; any other copy reads its text from the data file. The store keeps no text.
  Document readable_copy(const Document& record) const;
  // Reads the texts of `records` (readable copies) as storage::read_contents does, from the data
  // files this store keeps open.
  void read_contents(std::span<Document> records, uint64_t budget) const {
    storage::read_contents(records, budget, data_files_);
  }

  uint64_t live_count() const;
  // The number of token ids in the record of the live document `id`, or nothing when it is not
  // live. Cheap: the query asks it of every candidate. `cursor` (0 at first) carries where the
  // last id was found, to the next, larger one.
  std::optional<uint32_t> live_token_count(uint128 id, size_t& cursor) const;
  // The record of the live document `id` without its token ids (all that reading its text
  // needs), or nothing.
  std::optional<Document> locate(uint128 id) const;
  // The record of the live document `id` in full, or nothing; a record the table holds is read
  // from its meta entry.
  utils::Result<std::optional<Document>, DocumentsManagerError> read_record(uint128 id) const;
  // Every live record in full, reading the meta entries of those the table holds.
  utils::Result<DocumentMap, DocumentsManagerError> live_records() const;
  // Over the live records: the sum (modulo 2^64) of utils::posting_hash of every (id, token id)
  // pair, and the sum of their total_tokens.
  uint64_t live_posting_sum() const { return posting_sum_; }
  uint64_t live_total_tokens() const { return total_tokens_; }

  // Writes the record table of the live records, when `always` or when the records it would add
  // or drop are many and at least an eighth of the table's rows or enough to slow opening
  // whatever their share, and only when every record written so far is flushed. The table is
  // derived: a failure to write it leaves the old one, which loading passes over once it is
  // stale, and is not reported.
  void save_table(bool always = false);

  const DocumentMap& deleted_documents() const { return deleted_documents_; }
  // The engine has removed the deleted documents' postings.
  void clear_deleted_documents();
  const SegmentMap& segments() const { return segments_; }
  // The largest document id in the segment files, deleted documents included: an id issued again
  // while a deletion entry names it would be dead at the next load.
  uint128 largest_stored_id() const { return largest_id_; }
  const std::filesystem::path& current() const { return current_; }

 private:
  // A live record the table does not hold (or holds an older copy of), and where its meta entry
  // is in its segment's meta file.
  struct LiveRecord {
    Document record;
    uint64_t meta_offset = 0;
  };
  // A segment directory found by listing, before its records are read.
  struct Listed {
    std::filesystem::path path;
    Segment segment;
  };
  // Of a deleted document met more than once while loading, the copy met last.
  struct DeadCopy {
    std::string segment;
    uint64_t length = 0;
  };
  using DeadCopies = utils::IdMap<DeadCopy>;

  DocumentsManager(std::filesystem::path dir, std::shared_ptr<const Config> config,
                   utils::Clock clock);

  // Loading (documents_load.cpp): the records of `listed`, oldest first, through `table`, which
  // gives false when the table does not cover them (the store is then left to forget_records).
  utils::Result<bool, DocumentsManagerError> load_through_table(RecordTable table,
                                                                const std::vector<Listed>& listed,
                                                                utils::Access access);
  // The records of `listed`, oldest first, read whole.
  Status load_all(const std::vector<Listed>& listed, utils::Access access);
  // Reads the deletion entries of `entry` from `from` on into `deleted` and its deleted bytes; the
  // writer cuts off a torn last entry.
  Status read_deleted(const Listed& entry, uint64_t from, utils::IdSet& deleted,
                      utils::Access access);
  // Reads the meta entries of `entry` from `from` on into the live records; false when one names
  // a document the table dropped. The writer cuts off a torn last entry.
  utils::Result<bool, DocumentsManagerError> read_entries(const Listed& entry, uint64_t from,
                                                          const utils::IdSet& deleted,
                                                          DeadCopies& dead, utils::Access access);
  void forget_records();

  // The table's row of `id` when that document is live through it; else null.
  const TableRow* live_row(uint128 id) const;
  // The record of `row` without its token ids.
  Document located(const TableRow& row) const;
  // The record of `row` in full, from its meta entry in `meta` (its segment's meta file).
  utils::Result<Document, DocumentsManagerError> read_row(const TableRow& row,
                                                          std::span<const uint8_t> meta) const;
  utils::Result<Document, DocumentsManagerError> read_row(const TableRow& row) const;
  // The meta file of the table's segment `segment`, mapped.
  utils::Result<utils::MappedFile, utils::IoError> map_meta(uint32_t segment) const;
  // Adds `record` to the sums (`sign` 1) or takes it off them (-1).
  void count(const Document& record, int sign);
  // Makes `record`, whose entry lies at `meta_offset` of its meta file, the live record of its
  // id, in place of `old`, the id's live record in full, if any.
  void replace_live(const Document* old, Document&& record, uint64_t meta_offset);
  // Takes the live document of `id`, whose record in full is `record`, out of the live ones.
  void drop_live(const Document& record);
  // Takes the live record of `id` out of the live ones, in full; nothing when it is not live.
  utils::Result<std::optional<Document>, DocumentsManagerError> take_live(uint128 id);
  // Drops the table, once no row of it is live.
  void forget_table();
  // Whether the table lacks enough records to be written again (save_table).
  bool table_due() const;
  // Whether the records held in memory outside the table take more than the buffers allow.
  bool loose_records_full() const;

  utils::Result<uint64_t, DocumentsManagerError> now_seconds() const;
  // The rest of a write, once the document's block is in the buffer from `start` on.
  Status record_buffered(uint128 id, uint32_t total_tokens, std::vector<uint32_t> token_ids,
                         size_t start);
  // Appends the buffer without syncing.
  Status write_out();
  // Where an unsynced path comes in the order flush syncs: data 0, meta 1, deletions 2, a
  // segment directory 3, the engine directory 4.
  static constexpr int kDeletionsRank = 2;
  int sync_rank(const std::string& path) const;
  // Syncs, in that order, the unsynced paths whose rank is `chosen`.
  utils::Status<utils::IoError> sync_unsynced(absl::FunctionRef<bool(int rank)> chosen);
  Status start_segment();
  // Whether `segment` has data and deleted bytes of at least `merge_deleted_ratio` of it.
  bool worth_compacting(const Segment& segment) const;
  // Copies the live documents of `path` into the buffer, flushes, then removes `path`.
  // REQUIRES: path != current_.
  Status compact(const std::filesystem::path& path);
  // Copies the live documents of `path` into the buffer; REQUIRES: path != current_.
  Status copy_live_documents(const std::filesystem::path& path);
  // Copies the block of `document`, the live record of its id in full as it lies in `data` (the
  // data file of `document.segment`, `data_size` bytes), into the buffer with a meta entry for
  // `document` pointing at the copy, with `token_ids` in place of its own when given; the copy
  // becomes the live record, and the old block counts as deleted bytes of its segment. Gives the
  // current segment's size with the copy, for save_buffer. On failure the records are unchanged
  // (a block buffered without its entry is never read).
  utils::Result<uint64_t, DocumentsManagerError> copy_document(
      const Document& document, const utils::File& data, uint64_t data_size,
      std::optional<std::vector<uint32_t>> token_ids = std::nullopt);
  Status remove_segment(const std::filesystem::path& path);

  WriteBuffer buffer_;
  std::filesystem::path dir_;
  std::filesystem::path current_;
  SegmentPath current_path_;  // current_, shared by the records written to it
  std::optional<RecordTable> table_;
  std::vector<SegmentPath> table_paths_;  // of the table's segments, in its order
  utils::IdSet gone_;                     // rows of the table that are no longer live
  utils::IdMap<LiveRecord> documents_;    // the live records the table lacks
  DocumentMap deleted_documents_;
  uint64_t posting_sum_ = 0;
  uint64_t total_tokens_ = 0;
  SegmentMap segments_;
  std::shared_ptr<const Config> config_;
  utils::Clock clock_;
  uint64_t last_save_ = 0;
  uint128 largest_id_ = 0;
  // Deletion files and directories changed since the last flush; flush syncs them.
  absl::flat_hash_set<std::string> unsynced_;
  // Kept open by reads of texts, which change nothing of the store.
  mutable DataFiles data_files_;
};

}  // namespace tarnwick::storage
