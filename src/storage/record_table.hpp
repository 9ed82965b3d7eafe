// The record table: the live documents' records as they stood when the segments' meta and
// deletion files had the sizes it names, in one file, `dir`/records, sorted by id and laid out as
// rows the store reads in place. Opening maps it and reads only the entries appended after it,
// instead of decoding every meta entry and keeping every record in memory.
//
// The segment files stay the store's record; the table is derived from them and never overrides
// them. It covers a prefix of each segment's meta and deletion files, recognised by their sizes
// and by a checksum of each prefix's ends (utils::ends_checksum). A table that is missing,
// damaged, or whose files were cut, removed or written anew is not used, and opening reads every
// meta entry as before. Written only by the writer, whole, beside the old one and renamed over it
// (utils/replace_file.hpp).
//
// A row holds no token ids: the record's entry in its meta file, which the row locates, does.
//
// Layout, little-endian (the host's order, which the magic records):
//   header, 80 bytes: magic (8), number of segments s (8), number of rows n (8), the totals
//     (largest id 16, low half first; posting sum 8; total tokens 8), reserved 0 (16), checksum
//     of the header's first 72 bytes and the segments (8);
//   s segments: name length (8), meta size (8), deletion size (8), their ends checksums (8 + 8),
//     deleted bytes (8), then the name, padded with zeros to a multiple of 16;
//   n rows of 48 bytes (TableRow), in strictly ascending id;
//   the rows' checksum (8), chained over groups of 16,384 rows (each group's seeding the next).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "absl/functional/function_ref.h"
#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/mmap.hpp"
#include "utils/replace_file.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

using uint128 = unsigned __int128;

inline constexpr char kRecordTableFileName[] = "records";

// One live document: its record without the token ids, and where its meta entry is.
struct TableRow {
  uint128 id = 0;
  uint64_t offset = 0;       // of the document's block in its segment's data file
  uint64_t meta_offset = 0;  // of its entry in its segment's meta file
  uint32_t length = 0;       // of the block
  uint32_t segment = 0;      // its segment's place in the table's list of segments
  uint32_t total_tokens = 0;
  uint32_t token_count = 0;  // distinct tokens: the number of the record's token ids
};
static_assert(sizeof(TableRow) == 48);

// What the table covers of one segment.
struct CoveredSegment {
  std::string name;  // of the segment's directory
  uint64_t meta_size = 0;
  uint64_t deletions_size = 0;
  uint64_t meta_ends = 0;       // ends_checksum of the first meta_size bytes of the meta file
  uint64_t deletions_ends = 0;  // the same for the deletion file
  uint64_t deleted_bytes = 0;   // the segment's deleted bytes, as those prefixes count them

  bool operator==(const CoveredSegment&) const = default;
};

// What opening needs of all the rows without walking them.
struct TableTotals {
  uint128 largest_id = 0;     // of every covered entry, deleted documents' included
  uint64_t posting_sum = 0;   // of utils::posting_hash over the rows' (id, token id) pairs
  uint64_t total_tokens = 0;  // of the rows' total_tokens

  bool operator==(const TableTotals&) const = default;
};

// The stamp of the segment directory `segment` as its files stand now: `deleted_bytes` and the
// sizes and ends checksums of its meta and deletion files.
utils::Result<CoveredSegment, utils::IoError> stamp_segment(const std::filesystem::path& segment,
                                                            uint64_t deleted_bytes);

// Whether the files of `segment` still begin with what `covered` names.
bool still_covers(const std::filesystem::path& segment, const CoveredSegment& covered);

// Writes the table of `row_count` rows, which `next_row` gives in strictly ascending id, to
// `dir`/records.
utils::Status<utils::ReplaceFileError> write_record_table(
    const std::filesystem::path& dir, std::span<const CoveredSegment> segments,
    const TableTotals& totals, uint64_t row_count, absl::FunctionRef<TableRow()> next_row);

// A table read back; `rows` lie in `file`.
struct RecordTable {
  // Rows between fence posts: a lookup reads the posts, which stay in memory, and then the rows
  // of one stretch, which lie on a page or two, rather than pages all over the file.
  static constexpr size_t kFenceStride = 64;

  std::shared_ptr<const utils::MappedFile> file;
  std::vector<CoveredSegment> segments;
  TableTotals totals;
  std::span<const TableRow> rows;
  std::vector<uint128> fence;  // the id of every kFenceStride-th row, from the first

  // The row of `id`, or null.
  const TableRow* find(uint128 id) const;
  // The same, searching from row `from` on when the row before it is below `id` (from the
  // start otherwise); `from` is left at the row found, or where `id` would be. For ids asked in
  // ascending order.
  const TableRow* find(uint128 id, size_t& from) const;
};

// The table in `dir` when there is one and it is whole: its checksums hold, its rows ascend and
// name its segments. Whether the segments still begin with what it covers is the caller's to ask.
std::optional<RecordTable> read_record_table(const std::filesystem::path& dir);

}  // namespace tarnwick::storage
