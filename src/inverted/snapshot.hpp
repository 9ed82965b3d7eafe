// The snapshot of the index: every posting list as it stood when the two logs (log_format.hpp) had
// the sizes the snapshot records, in one file, `dir`/index/postings, laid out as PostingList keeps
// its arrays, so that opening maps it and the lists read their postings in place. Opening then
// replays only the log records written after it.
//
// The logs stay the index's record; the snapshot is derived from them and never overrides them.
// It covers a prefix of both logs, recognised by its sizes and by a checksum of the first and
// the last bytes of each prefix. A snapshot that is missing, damaged, or whose logs were cut, rewritten or set
// aside is not used, and opening replays the whole logs as before. Written only by the writer,
// whole, beside the old one and renamed over it (utils/replace_file.hpp).
//
// Layout, little-endian (the host's order, which the magic records):
//   header, 80 bytes: magic (8), meta-log size (8), index-log size (8), checksums of the first and
//     last utils::kStampEnds bytes below those sizes (8 + 8), number of lists n (8), the IndexTotals of
//     the lists (posting sum 8, largest document id 16, low half first), checksum of the header's
//     first 72 bytes and the directory (8);
//   directory, n × 20 bytes, in ascending token id: token id (4), postings (4), offset of the
//     list's entries in the file (8, a multiple of 4), checksum of the entries and the position
//     bytes (4: enough to tell damage, which is all it is for);
//   each list: its entries (PostingList::kEntrySize bytes a posting), then its position bytes
//     right after them (as many as its last entry's end says), padded with zeros to a multiple
//     of 4, then its bounds (PostingList::bounds_size): the bound of each of its blocks
//     (PostingList::BlockBound: the smallest ratio as a 32-bit float, the largest tf 4), then the
//     length code of each posting (1), padded with zeros to a multiple of 4.
// Reading checks the header and the directory whole (each list's place within the file, in
// ascending token id); a list is checked when first read: its checksum, and that its entries make
// a list (PostingList::borrowing).
//
// The bounds are derived from the documents' lengths, which the index does not hold: they are
// carried over from the snapshot a list borrows from, and those of postings added since are
// computed from the lengths the writer is given.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "inverted/index_type.hpp"
#include "inverted/posting_list.hpp"
#include "utils/file.hpp"
#include "utils/mmap.hpp"
#include "utils/replace_file.hpp"
#include "utils/result.hpp"

namespace tarnwick::inverted {

inline constexpr char kSnapshotFileName[] = "postings";

// What a snapshot covers: the first `meta_size` bytes of the meta log and the first `index_size`
// of the index log, recognised by checksums of their first and last bytes. The logs only grow by
// appends; a log cut back, set aside or rewritten by compaction no longer begins with the bytes
// the stamp names.
struct LogsStamp {
  uint64_t meta_size = 0;
  uint64_t index_size = 0;
  uint64_t meta_ends = 0;
  uint64_t index_ends = 0;

  // The stamp of the first `meta_size` and `index_size` bytes of the logs `meta` and `index`.
  // REQUIRES: both sizes within their logs.
  static LogsStamp of(std::span<const uint8_t> meta, uint64_t meta_size,
                      std::span<const uint8_t> index, uint64_t index_size);

  bool operator==(const LogsStamp&) const = default;
};

// The bounds of a list that changed (PostingList::bounds_size), in the parts a snapshot writes
// one after the other: those of the blocks it borrowed whole and its borrowed length codes, as
// they lie in the snapshot it borrows from, each followed by the others, computed.
struct ListBounds {
  std::span<const uint8_t> borrowed_blocks;
  std::vector<uint8_t> blocks;
  std::span<const uint8_t> borrowed_codes;
  std::vector<uint8_t> codes;  // padded with zeros

  std::array<std::span<const uint8_t>, 4> parts() const {
    return {borrowed_blocks, blocks, borrowed_codes, codes};
  }
  uint64_t size() const {
    return borrowed_blocks.size() + blocks.size() + borrowed_codes.size() + codes.size();
  }
};

// One list as a snapshot holds it: its arrays, each in parts laid end to end
// (PostingList::entry_parts and position_parts), its bounds, and their checksum (list_checksum).
// A list copied as stored has its padding and bounds at the end of its positions, and no
// `bounds`.
struct SnapshotList {
  using Parts = PostingList::Parts;

  uint32_t token_id = 0;
  uint32_t postings = 0;
  Parts entries;
  Parts positions;
  uint32_t checksum = 0;
  ListBounds bounds;

  uint64_t entries_size() const { return entries[0].size() + entries[1].size(); }
  uint64_t positions_size() const { return positions[0].size() + positions[1].size(); }
};

uint32_t list_checksum(const SnapshotList::Parts& entries, const SnapshotList::Parts& positions,
                       std::span<const std::span<const uint8_t>> bounds);

// Writes the snapshot of `lists` (in strictly ascending token id, none empty), whose totals are
// `totals`, covering logs stamped `stamp`, to `index_dir`/postings. Parts of lists that lie in
// `read_from` (the snapshot being replaced, if any) are released from memory once written
// (MappedFile::release), so that copying a large snapshot does not hold all of it in memory.
utils::Status<utils::ReplaceFileError> write_snapshot(const std::filesystem::path& index_dir,
                                                      std::span<const SnapshotList> lists,
                                                      const IndexTotals& totals,
                                                      const LogsStamp& stamp,
                                                      const utils::MappedFile* read_from = nullptr);

// A snapshot read back: its header and directory, checked whole; each list is checked when it is
// first read (list), so that opening costs the directory, not the lists.
class Snapshot {
 public:
  size_t size() const { return count_; }
  const IndexTotals& totals() const { return totals_; }
  const LogsStamp& stamp() const { return stamp_; }
  // The token id of list `i`, in ascending order.
  uint32_t token_id(size_t i) const;
  // The place of `token_id`'s list, if any.
  std::optional<size_t> find(uint32_t token_id) const;
  // List `i` as the snapshot holds it, unchecked, its position bytes followed by the zeros that
  // pad them: for copying into the next snapshot, whose readers check it against the same
  // checksum. Read from the directory alone: copying touches each list once, in file order.
  SnapshotList stored(size_t i) const;
  // How a list is checked as it is read: through the mapping, for a list whose postings are read
  // next; or by reading the file, for one about to change, whose postings are not read again
  // until the next snapshot copies them. A touch of a mapping maps pages around it too, and
  // those of the many small lists a stream of adds changes would add up in the process's memory.
  enum class Check { InPlace, FromFile };
  // List `i`, borrowing its arrays from the mapping, which `file` keeps; nothing when its bytes
  // fail their checksum or do not make a list, or the file does not read.
  std::optional<PostingList> list(size_t i, Check check = Check::InPlace) const;
  // The mapping the lists borrow from.
  const std::shared_ptr<const utils::MappedFile>& file() const { return file_; }

 private:
  friend std::optional<Snapshot> read_snapshot(const utils::File&, std::span<const uint8_t>,
                                               std::span<const uint8_t>);
  // The list `stored` gives, checked by reading the file (Check::FromFile).
  std::optional<PostingList> read_checked(const SnapshotList& stored) const;

  std::shared_ptr<const utils::MappedFile> file_;
  utils::File source_{-1};  // the file mapped
  std::span<const uint8_t> directory_;
  size_t count_ = 0;
  IndexTotals totals_;
  LogsStamp stamp_;
};

// The snapshot in the open directory `index_dir`, when there is one, its header and directory are
// whole, and the logs `meta` and `index` (mapped from the same directory) begin with what it
// covers; else nothing.
std::optional<Snapshot> read_snapshot(const utils::File& index_dir, std::span<const uint8_t> meta,
                                      std::span<const uint8_t> index);

}  // namespace tarnwick::inverted
