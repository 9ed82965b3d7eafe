#include "inverted/snapshot.hpp"

#include <algorithm>
#include <bit>
#include <string>
#include <vector>

#include "utils/checksum.hpp"
#include "utils/chunk_writer.hpp"
#include "utils/file.hpp"
#include "utils/little_endian.hpp"

namespace tarnwick::inverted {

namespace fs = std::filesystem;
using utils::checksum64;
using utils::get_le;
using utils::put_le;

namespace {

static_assert(std::endian::native == std::endian::little,
              "the snapshot holds the lists' arrays as a little-endian host lays them out");

// "TWPOSTS" and the format's version.
constexpr uint8_t kMagic[8] = {'T', 'W', 'P', 'O', 'S', 'T', 'S', 4};
constexpr size_t kHeaderSize = 80;
constexpr size_t kChecksummedHeader = 72;
constexpr size_t kDirectoryEntrySize = 20;
// Where a list's last entry keeps the end of its position bytes: their size.
constexpr size_t kEntryEnd = 16;

// How much of a list is read from the file at a time to be checked: whole entries, about 64 KB.
constexpr size_t kReadChunk = (size_t{64} << 10) / PostingList::kEntrySize * PostingList::kEntrySize;

uint64_t padded(uint64_t size) { return (size + 3) & ~uint64_t{3}; }

// Where the entries of the list of directory entry `entry` end in the file.
uint64_t entries_end(const uint8_t* entry) {
  return get_le(entry + 8, 8) + get_le(entry + 4, 4) * PostingList::kEntrySize;
}

// Where the room of the list of entry `i` of `directory` ends: where the next list begins, or for
// the last one the end of the file, of `file_size` bytes.
uint64_t room_end(std::span<const uint8_t> directory, uint64_t i, uint64_t file_size) {
  const uint64_t next = (i + 1) * kDirectoryEntrySize;
  return next < directory.size() ? get_le(directory.data() + next + 8, 8) : file_size;
}

// The size of a list's position bytes, as the last of its entries, which end at `end` in
// `bytes`, says. REQUIRES: the entries lie within `bytes`.
uint64_t stated_positions_size(std::span<const uint8_t> bytes, uint64_t end) {
  return get_le(bytes.data() + end - PostingList::kEntrySize + kEntryEnd, 4);
}

// The bounds of a list of `postings` postings with `positions_size` bytes of positions, in
// `room`, the bytes from the end of its entries to the next list; empty when they pass it
// (damage, which the list's checksum then tells).
std::span<const uint8_t> bounds_bytes(std::span<const uint8_t> room, uint64_t positions_size,
                                      uint64_t postings) {
  const uint64_t begin = padded(positions_size);
  const uint64_t size = PostingList::bounds_size(postings);
  if (begin > room.size() || size > room.size() - begin) return {};
  return room.subspan(begin, size);
}

// The checksum that closes the header: of its first bytes, then of the directory.
uint64_t header_checksum(std::span<const uint8_t> header, std::span<const uint8_t> directory) {
  return checksum64(directory, checksum64(header.first(kChecksummedHeader)));
}

// The header and the directory of `lists`, in ascending token id.
std::string header_and_directory(std::span<const SnapshotList> lists, const IndexTotals& totals,
                                 const LogsStamp& stamp) {
  std::string out(std::begin(kMagic), std::end(kMagic));
  for (uint64_t field : {stamp.meta_size, stamp.index_size, stamp.meta_ends, stamp.index_ends,
                         uint64_t{lists.size()}, totals.posting_sum,
                         static_cast<uint64_t>(totals.largest_doc_id),
                         static_cast<uint64_t>(totals.largest_doc_id >> 64)}) {
    put_le(out, field, 8);
  }
  std::string directory;
  directory.reserve(lists.size() * kDirectoryEntrySize);
  uint64_t offset = kHeaderSize + lists.size() * kDirectoryEntrySize;
  for (const SnapshotList& list : lists) {
    put_le(directory, list.token_id, 4);
    put_le(directory, list.postings, 4);
    put_le(directory, offset, 8);
    put_le(directory, list.checksum, 4);
    offset += padded(list.entries_size() + list.positions_size()) + list.bounds.size();
  }
  put_le(out, header_checksum(utils::as_bytes(out), utils::as_bytes(directory)), 8);
  return out + directory;
}

}  // namespace

uint32_t list_checksum(const SnapshotList::Parts& entries, const SnapshotList::Parts& positions,
                       std::span<const std::span<const uint8_t>> bounds) {
  utils::Checksum64 of_entries;
  for (const auto& part : entries) of_entries.add(part);
  utils::Checksum64 of_rest(of_entries.finish());
  for (const auto& part : positions) of_rest.add(part);
  for (const auto& part : bounds) of_rest.add(part);
  return static_cast<uint32_t>(of_rest.finish());
}

LogsStamp LogsStamp::of(std::span<const uint8_t> meta, uint64_t meta_size,
                        std::span<const uint8_t> index, uint64_t index_size) {
  auto ends = [](std::span<const uint8_t> log, uint64_t size) {
    const uint64_t length = std::min(size, utils::kStampEnds);
    return utils::ends_checksum(log.first(length), log.subspan(size - length, length));
  };
  return {meta_size, index_size, ends(meta, meta_size), ends(index, index_size)};
}

utils::Status<utils::ReplaceFileError> write_snapshot(const fs::path& index_dir,
                                                      std::span<const SnapshotList> lists,
                                                      const IndexTotals& totals,
                                                      const LogsStamp& stamp,
                                                      const utils::MappedFile* read_from) {
  const std::string head = header_and_directory(lists, totals, stamp);
  // The lists come in the order of the file they are read from.
  utils::ReleaseBehind release(read_from);
  return utils::replace_file_with(
      index_dir / kSnapshotFileName,
      [&](utils::File& file, size_t& written) -> utils::Status<utils::IoError> {
        // Queries and changes read a list here and there.
        utils::ChunkWriter out(file, written, utils::ChunkWriter::kSparseReads);
        if (auto s = out.add(utils::as_bytes(head)); !s) return s;
        static constexpr uint8_t kZeros[4] = {};
        for (const SnapshotList& list : lists) {
          const uint64_t size = list.entries_size() + list.positions_size();
          const auto bounds = list.bounds.parts();
          for (auto bytes : {list.entries[0], list.entries[1], list.positions[0], list.positions[1],
                             std::span<const uint8_t>(kZeros, padded(size) - size), bounds[0],
                             bounds[1], bounds[2], bounds[3]}) {
            if (auto s = out.add(bytes); !s) return s;
            release.read(bytes);
          }
        }
        return out.write_out();
      });
}

uint32_t Snapshot::token_id(size_t i) const {
  return static_cast<uint32_t>(get_le(directory_.data() + i * kDirectoryEntrySize, 4));
}

std::optional<size_t> Snapshot::find(uint32_t token_id) const {
  size_t low = 0;
  size_t high = count_;
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (this->token_id(middle) < token_id) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low < count_ && this->token_id(low) == token_id) return low;
  return std::nullopt;
}

SnapshotList Snapshot::stored(size_t i) const {
  const uint8_t* entry = directory_.data() + i * kDirectoryEntrySize;
  const uint64_t postings = get_le(entry + 4, 4);
  const uint64_t offset = get_le(entry + 8, 8);
  const uint64_t end = entries_end(entry);
  const auto bytes = file_->bytes();
  const uint64_t limit = room_end(directory_, i, bytes.size());
  return {static_cast<uint32_t>(get_le(entry, 4)), static_cast<uint32_t>(postings),
          {bytes.subspan(offset, end - offset), {}},
          {bytes.subspan(end, limit - end), {}},
          static_cast<uint32_t>(get_le(entry + 16, 4)),
          {}};
}

std::optional<PostingList> Snapshot::list(size_t i, Check check) const {
  SnapshotList stored = this->stored(i);
  if (check == Check::FromFile) return read_checked(stored);
  // Its position bytes are as many as its last entry says. Beyond the room before the next list,
  // that is damage: the list then fails its checksum.
  const auto room = stored.positions[0];
  const uint64_t end = entries_end(directory_.data() + i * kDirectoryEntrySize);
  stored.positions[0] = room.first(std::min(stated_positions_size(file_->bytes(), end), room.size()));
  const auto bounds = bounds_bytes(room, stored.positions[0].size(), stored.postings);
  const std::span<const uint8_t> parts[] = {bounds};
  if (list_checksum(stored.entries, stored.positions, parts) != stored.checksum) return std::nullopt;
  return PostingList::borrowing(stored.entries[0], stored.positions[0], bounds);
}

std::optional<PostingList> Snapshot::read_checked(const SnapshotList& stored) const {
  const auto entries = stored.entries[0];
  const auto room = stored.positions[0];
  std::vector<uint8_t> chunk(std::min(kReadChunk, std::max(entries.size(), room.size())));
  // Hands `part` of the mapping to `use` a chunk at a time, read from the file.
  auto read = [&](std::span<const uint8_t> part, auto&& use) {
    const uint64_t offset = static_cast<uint64_t>(part.data() - file_->bytes().data());
    for (uint64_t done = 0; done < part.size();) {
      const auto piece = std::span(chunk).first(std::min<uint64_t>(chunk.size(), part.size() - done));
      if (!source_.read_exact_at(piece, offset + done)) return false;
      use(std::span<const uint8_t>(piece));
      done += piece.size();
    }
    return true;
  };
  PostingList::EntryCheck check;
  utils::Checksum64 of_entries;
  if (!read(entries, [&](std::span<const uint8_t> bytes) {
        of_entries.add(bytes);
        check.add(bytes);
      })) {
    return std::nullopt;
  }
  // As list() trims them, and checksummed as list_checksum does.
  const auto positions = room.first(std::min<uint64_t>(check.last_end(), room.size()));
  const auto bounds = bounds_bytes(room, positions.size(), stored.postings);
  utils::Checksum64 of_rest(of_entries.finish());
  auto add = [&](std::span<const uint8_t> bytes) { of_rest.add(bytes); };
  if (!read(positions, add) || !read(bounds, add) ||
      static_cast<uint32_t>(of_rest.finish()) != stored.checksum) {
    return std::nullopt;
  }
  return PostingList::borrowing(entries, positions, bounds, check);
}

std::optional<Snapshot> read_snapshot(const utils::File& index_dir, std::span<const uint8_t> meta,
                                      std::span<const uint8_t> index) {
  // Mapped without reading every page in: opening reads the directory, and each list only when
  // a query or a change first asks for it.
  auto source = utils::File::open_read_at(index_dir, kSnapshotFileName);
  if (!source) return std::nullopt;
  auto mapped = utils::MappedFile::map(*source, kSnapshotFileName, utils::MappedFile::Pages::OnDemand);
  if (!mapped) return std::nullopt;
  auto file = std::make_shared<const utils::MappedFile>(std::move(*mapped));
  const std::span<const uint8_t> bytes = file->bytes();
  if (bytes.size() < kHeaderSize || !std::equal(std::begin(kMagic), std::end(kMagic), bytes.data())) {
    return std::nullopt;
  }
  const uint8_t* header = bytes.data();
  const LogsStamp stamp{get_le(header + 8, 8), get_le(header + 16, 8), get_le(header + 24, 8),
                        get_le(header + 32, 8)};
  if (stamp.meta_size > meta.size() || stamp.index_size > index.size() ||
      LogsStamp::of(meta, stamp.meta_size, index, stamp.index_size) != stamp) {
    return std::nullopt;
  }
  const uint64_t count = get_le(header + 40, 8);
  if (count > (bytes.size() - kHeaderSize) / kDirectoryEntrySize) return std::nullopt;
  const auto directory = bytes.subspan(kHeaderSize, count * kDirectoryEntrySize);
  if (header_checksum(bytes, directory) != get_le(header + kChecksummedHeader, 8)) {
    return std::nullopt;
  }
  // Every list's entries lie within the file, after the directory and before the next list, in
  // ascending token id. Its position bytes, whose size its last entry holds, and its bounds are
  // bounded when it is read; those of the last list here, so that a file cut short is not
  // read at all.
  const uint64_t data_start = kHeaderSize + directory.size();
  int64_t previous_token = -1;
  for (uint64_t i = 0; i < count; ++i) {
    const uint8_t* entry = directory.data() + i * kDirectoryEntrySize;
    const auto token_id = static_cast<uint32_t>(get_le(entry, 4));
    const uint64_t entries_size = get_le(entry + 4, 4) * PostingList::kEntrySize;
    const uint64_t offset = get_le(entry + 8, 8);
    const uint64_t limit = room_end(directory, i, bytes.size());
    if (token_id <= previous_token || entries_size == 0 || offset < data_start ||
        limit > bytes.size() || offset > limit || entries_size > limit - offset) {
      return std::nullopt;
    }
    previous_token = token_id;
  }
  if (count > 0) {
    const uint8_t* last = directory.data() + (count - 1) * kDirectoryEntrySize;
    const uint64_t end = entries_end(last);
    if (bounds_bytes(bytes.subspan(end), stated_positions_size(bytes, end), get_le(last + 4, 4)).empty()) {
      return std::nullopt;
    }
  }
  Snapshot snapshot;
  snapshot.file_ = std::move(file);
  snapshot.source_ = std::move(*source);
  snapshot.directory_ = directory;
  snapshot.count_ = count;
  snapshot.totals_ = {get_le(header + 48, 8),
                      uint128{get_le(header + 64, 8)} << 64 | get_le(header + 56, 8)};
  snapshot.stamp_ = stamp;
  return snapshot;
}

}  // namespace tarnwick::inverted
