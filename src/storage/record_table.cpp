#include "storage/record_table.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <tuple>
#include <vector>

#include "storage/segment_format.hpp"
#include "utils/checksum.hpp"
#include "utils/chunk_writer.hpp"
#include "utils/file.hpp"
#include "utils/gallop.hpp"
#include "utils/little_endian.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::checksum64;
using utils::fail;
using utils::get_le;
using utils::put_le;

namespace {

static_assert(std::endian::native == std::endian::little,
              "the table holds its rows as a little-endian host lays them out");

// "TWRECS" and the format's version.
constexpr uint8_t kMagic[8] = {'T', 'W', 'R', 'E', 'C', 'S', 0, 1};
constexpr size_t kHeaderSize = 80;
constexpr size_t kChecksummedHeader = 72;
constexpr size_t kSegmentFields = 48;
// The rows' checksum, after them.
constexpr size_t kTrailerSize = 8;
// The rows are checksummed in groups of this many, each group's checksum seeding the next one's.
constexpr size_t kRowsPerChecksum = 16384;
// Rows start at a multiple of this, so that their 128-bit ids are aligned in the mapping.
constexpr size_t kRowAlignment = alignof(TableRow);

uint64_t aligned(uint64_t size) { return (size + kRowAlignment - 1) & ~uint64_t{kRowAlignment - 1}; }

std::span<const uint8_t> row_bytes(std::span<const TableRow> rows) {
  return {reinterpret_cast<const uint8_t*>(rows.data()), rows.size_bytes()};
}

// The checksum of a group of at most kRowsPerChecksum rows, chained from the one before.
uint64_t group_checksum(std::span<const TableRow> group, uint64_t before) {
  return checksum64(row_bytes(group), before);
}

std::string segments_section(std::span<const CoveredSegment> segments) {
  std::string out;
  for (const CoveredSegment& segment : segments) {
    for (uint64_t field : {uint64_t{segment.name.size()}, segment.meta_size,
                           segment.deletions_size, segment.meta_ends, segment.deletions_ends,
                           segment.deleted_bytes}) {
      put_le(out, field, 8);
    }
    out += segment.name;
    out.resize(aligned(out.size()), '\0');
  }
  return out;
}

// The header without its closing checksum.
std::string header_fields(uint64_t segment_count, uint64_t row_count, const TableTotals& totals) {
  std::string out(std::begin(kMagic), std::end(kMagic));
  for (uint64_t field :
       {segment_count, row_count, static_cast<uint64_t>(totals.largest_id),
        static_cast<uint64_t>(totals.largest_id >> 64), totals.posting_sum, totals.total_tokens,
        uint64_t{0}, uint64_t{0}}) {
    put_le(out, field, 8);
  }
  return out;
}

uint64_t header_checksum(std::span<const uint8_t> header, std::span<const uint8_t> segments) {
  return checksum64(segments, checksum64(header.first(kChecksummedHeader)));
}

// The ends checksum of the first `size` bytes of `file`.
utils::Result<uint64_t, utils::IoError> prefix_ends(const utils::File& file, uint64_t size) {
  const uint64_t length = std::min(size, utils::kStampEnds);
  std::vector<uint8_t> head(length);
  std::vector<uint8_t> tail(length);
  if (auto s = file.read_exact_at(head, 0); !s) return fail(std::move(s.error()));
  if (auto s = file.read_exact_at(tail, size - length); !s) return fail(std::move(s.error()));
  return utils::ends_checksum(head, tail);
}

// Whether the file `path` begins with the `size` bytes whose ends checksum is `ends`.
bool begins_with(const fs::path& path, uint64_t size, uint64_t ends) {
  auto file = utils::File::open_read(path);
  if (!file) return false;
  auto found = prefix_ends(*file, size);
  return found && *found == ends;
}

// Parses the segments section `bytes` into `segments`; false when it does not hold `count`.
bool parse_segments(std::span<const uint8_t> bytes, uint64_t count,
                    std::vector<CoveredSegment>& segments) {
  uint64_t at = 0;
  for (uint64_t i = 0; i < count; ++i) {
    if (bytes.size() - at < kSegmentFields) return false;
    const uint8_t* fields = bytes.data() + at;
    const uint64_t name_size = get_le(fields, 8);
    at += kSegmentFields;
    if (name_size > bytes.size() - at) return false;
    CoveredSegment& segment = segments.emplace_back();
    segment.name.assign(reinterpret_cast<const char*>(bytes.data() + at), name_size);
    segment.meta_size = get_le(fields + 8, 8);
    segment.deletions_size = get_le(fields + 16, 8);
    segment.meta_ends = get_le(fields + 24, 8);
    segment.deletions_ends = get_le(fields + 32, 8);
    segment.deleted_bytes = get_le(fields + 40, 8);
    at = aligned(at + name_size);
    if (at > bytes.size()) return false;
  }
  return at == bytes.size();
}

}  // namespace

utils::Result<CoveredSegment, utils::IoError> stamp_segment(const fs::path& segment,
                                                            uint64_t deleted_bytes) {
  CoveredSegment covered{segment.filename().native(), 0, 0, 0, 0, deleted_bytes};
  for (auto [name, size, ends] :
       {std::tuple{kSegmentMetaFileName, &covered.meta_size, &covered.meta_ends},
        std::tuple{kDeletionFileName, &covered.deletions_size, &covered.deletions_ends}}) {
    auto file = utils::File::open_read(segment / name);
    if (!file) return fail(std::move(file.error()));
    auto file_size = file->size();
    if (!file_size) return fail(std::move(file_size.error()));
    auto found = prefix_ends(*file, *file_size);
    if (!found) return fail(std::move(found.error()));
    *size = *file_size;
    *ends = *found;
  }
  return covered;
}

bool still_covers(const fs::path& segment, const CoveredSegment& covered) {
  return begins_with(segment / kSegmentMetaFileName, covered.meta_size, covered.meta_ends) &&
         begins_with(segment / kDeletionFileName, covered.deletions_size, covered.deletions_ends);
}

utils::Status<utils::ReplaceFileError> write_record_table(
    const fs::path& dir, std::span<const CoveredSegment> segments, const TableTotals& totals,
    uint64_t row_count, absl::FunctionRef<TableRow()> next_row) {
  const std::string section = segments_section(segments);
  std::string header = header_fields(segments.size(), row_count, totals);
  put_le(header, header_checksum(utils::as_bytes(header), utils::as_bytes(section)), 8);
  std::vector<TableRow> rows;
  rows.reserve(std::min<uint64_t>(row_count, kRowsPerChecksum));
  return utils::replace_file_with(
      dir / kRecordTableFileName,
      [&](utils::File& file, size_t& written) -> utils::Status<utils::IoError> {
        // Every opening reads the table whole, to check it.
        utils::ChunkWriter out(file, written, utils::ChunkWriter::kWholeReads);
        if (auto s = out.add(utils::as_bytes(header)); !s) return s;
        if (auto s = out.add(utils::as_bytes(section)); !s) return s;
        uint64_t rows_checksum = 0;
        for (uint64_t done = 0; done < row_count;) {
          rows.clear();
          while (done < row_count && rows.size() < kRowsPerChecksum) {
            rows.push_back(next_row());
            ++done;
          }
          rows_checksum = group_checksum(rows, rows_checksum);
          if (auto s = out.add(row_bytes(rows)); !s) return s;
        }
        std::string trailer;
        put_le(trailer, rows_checksum, kTrailerSize);
        if (auto s = out.add(utils::as_bytes(trailer)); !s) return s;
        return out.write_out();
      });
}

const TableRow* RecordTable::find(uint128 id) const {
  size_t from = 0;
  return find(id, from);
}

const TableRow* RecordTable::find(uint128 id, size_t& from) const {
  size_t low = std::min(from, rows.size());
  if (low > 0 && rows[low - 1].id >= id) low = 0;  // not ahead of `from`: search it all
  // Ids asked in ascending order mostly lie a few rows on, in the stretch of `low` or a few posts
  // on: both are galloped over from there, not halved from the middle, so that a run of lookups
  // reads the table front to back rather than probing all over it.
  size_t stretch = low / kFenceStride;
  if (stretch + 1 < fence.size() && fence[stretch + 1] <= id) {
    stretch = utils::gallop([&](size_t post) { return fence[post] <= id; }, stretch + 2,
                            fence.size()) - 1;
    low = stretch * kFenceStride;
  }
  const size_t high = std::min(rows.size(), (stretch + 1) * kFenceStride);
  from = utils::gallop([&](size_t row) { return rows[row].id < id; }, low, high);
  return from < rows.size() && rows[from].id == id ? &rows[from] : nullptr;
}

std::optional<RecordTable> read_record_table(const fs::path& dir) {
  // Read whole to be checked, and let go of as it is: the writer adding documents seldom looks a
  // row up, and memory then does not grow with the table. Lookups read their pages back.
  auto mapped = utils::MappedFile::open(dir / kRecordTableFileName, utils::MappedFile::Pages::OnDemand);
  if (!mapped) return std::nullopt;
  auto file = std::make_shared<const utils::MappedFile>(std::move(*mapped));
  const std::span<const uint8_t> bytes = file->bytes();
  if (bytes.size() < kHeaderSize + kTrailerSize || !std::equal(std::begin(kMagic), std::end(kMagic), bytes.data())) {
    return std::nullopt;
  }
  const uint8_t* header = bytes.data();
  const uint64_t segment_count = get_le(header + 8, 8);
  const uint64_t row_count = get_le(header + 16, 8);
  if (row_count > (bytes.size() - kHeaderSize - kTrailerSize) / sizeof(TableRow)) {
    return std::nullopt;
  }
  const uint64_t rows_start = bytes.size() - kTrailerSize - row_count * sizeof(TableRow);
  if (rows_start % kRowAlignment != 0) return std::nullopt;
  const auto section = bytes.subspan(kHeaderSize, rows_start - kHeaderSize);
  if (header_checksum(bytes, section) != get_le(header + kChecksummedHeader, 8)) return std::nullopt;

  RecordTable table;
  if (segment_count > section.size() / kSegmentFields ||
      !parse_segments(section, segment_count, table.segments)) {
    return std::nullopt;
  }
  const auto* first = reinterpret_cast<const TableRow*>(bytes.data() + rows_start);
  table.rows = {first, row_count};
  table.fence.reserve((row_count + RecordTable::kFenceStride - 1) / RecordTable::kFenceStride);
  // Group by group, each checked while its rows are in the cache.
  uint64_t checksum = 0;
  utils::ReleaseBehind release(file.get());
  for (size_t at = 0; at < row_count; at += kRowsPerChecksum) {
    const auto group = table.rows.subspan(at, std::min<size_t>(kRowsPerChecksum, row_count - at));
    checksum = group_checksum(group, checksum);
    release.read({reinterpret_cast<const uint8_t*>(group.data()), group.size_bytes()});
    for (size_t i = 0; i < group.size(); ++i) {
      if ((at + i > 0 && table.rows[at + i - 1].id >= group[i].id) ||
          group[i].segment >= segment_count) {
        return std::nullopt;
      }
      if ((at + i) % RecordTable::kFenceStride == 0) table.fence.push_back(group[i].id);
    }
  }
  if (checksum != get_le(bytes.data() + bytes.size() - kTrailerSize, 8)) return std::nullopt;
  file->release(bytes);
  table.totals = {uint128{get_le(header + 32, 8)} << 64 | get_le(header + 24, 8),
                  get_le(header + 40, 8), get_le(header + 48, 8)};
  table.file = std::move(file);
  return table;
}

}  // namespace tarnwick::storage
