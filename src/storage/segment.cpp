// The files of one segment, `dir`/T, where T is the segment's creation time in nanoseconds since
// the UNIX epoch in decimal (written without sign or leading zeros; read also with a leading '+'
// or zeros). No file has a header, version or checksum.
//
// `dir`/T/data: size-prefixed blocks end to end, in the order written. Each block is
//   offset 0, 4 bytes   the text's byte length, unsigned little-endian
//   offset 4, the rest  the text as one raw LZ4 block
// Readers reach blocks only through records (offset and length); bytes that no record refers to
// may lie between them.
//
// `dir`/T/meta: one entry per document written to the segment, in the order written:
//   offset 0, 8 bytes   N, unsigned big-endian
//   offset 8, N bytes   one Document record in the record encoding (see document.cpp)
//
// `dir`/T/del: one entry per deleted document of the segment, in the order deleted, 24 bytes:
//   offset 0, 16 bytes  the document's id, most significant byte first
//   offset 16, 8 bytes  the document's block length, unsigned big-endian
//
// A crash during an append can leave the last entry of a meta or deletion file cut short; the
// scans below report how many bytes are whole entries, and the store cuts the rest off (keeping
// it in lost+found). A meta file's tail counts as cut short only when it can be: what follows its
// last size prefix is too short for the record that prefix announces and is the start of one
// (see read_meta_entries). Other damage, such as a wrong size in an earlier entry, which would
// otherwise make the whole rest of the file look cut short, fails the scan.
#include "storage/segment.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <variant>

#include "storage/codec/corruption.hpp"
#include "utils/file.hpp"
#include "utils/lost_found.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;
using utils::IoError;

namespace {

std::string decimal(uint128 value) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  } while (value != 0);
  return digits;
}

uint128 read_id(const uint8_t* bytes) {
  std::array<uint8_t, kIdSize> id;
  std::copy(bytes, bytes + kIdSize, id.begin());
  return utils::ulid_from_bytes(id);
}

// The load error for the meta file `file` whose entry at byte `offset` is damaged.
DocumentsManagerError damaged_entry(const fs::path& file, uint64_t offset,
                                    const std::string& what) {
  return {storage::corrupt_data("damaged meta file " + file.string() + ": the entry at offset " +
                              std::to_string(offset) + ": " + what)};
}

// The record of the entry at `at` of the meta file `file`, `record` being the bytes its size
// prefix names.
utils::Result<Document, DocumentsManagerError> decode_entry(const fs::path& file, uint64_t at,
                                                            std::span<const uint8_t> record) {
  uint64_t used = 0;
  auto document = decode_document(record, &used);
  if (!document) {
    return fail(damaged_entry(file, at,
                              "its record of " + std::to_string(record.size()) +
                                  " bytes does not decode: " + document.error().to_string()));
  }
  if (used != record.size()) {
    return fail(damaged_entry(file, at,
                              "its size says " + std::to_string(record.size()) +
                                  " bytes, but its record takes " + std::to_string(used)));
  }
  return std::move(*document);
}

// A torn append leaves a size prefix that is right and, after it, a proper prefix of its record,
// which cannot decode for lack of bytes and, read as far as it goes, needs no more bytes than
// the size says. Says why `rest`, the bytes after a prefix of `record_size` > rest.size(), are
// not such a tail; nullopt when they may be.
std::optional<std::string> not_a_torn_record(std::span<const uint8_t> rest,
                                             uint64_t record_size) {
  const std::string says = "its size says " + std::to_string(record_size) +
                           " bytes, more than the " + std::to_string(rest.size()) +
                           " left in the file, ";
  uint64_t used = 0;
  auto document = decode_document(rest, &used);
  if (document) return says + "but a whole record of " + std::to_string(used) + " bytes follows";
  const auto* end = std::get_if<UnexpectedEnd>(&document.error().detail());
  if (!end) return says + "and they do not decode: " + document.error().to_string();
  if (end->additional > record_size - rest.size()) {
    return says + "but the record begun there needs more";
  }
  return std::nullopt;
}

}  // namespace

IoError io_error_of(const std::error_code& code, const fs::path& path) {
  return IoError::from_errno(code.value(), path);
}

std::optional<uint128> parse_segment_name(std::string_view name) {
  if (!name.empty() && name.front() == '+') name.remove_prefix(1);
  if (name.empty()) return std::nullopt;
  constexpr uint128 kMax = ~uint128{0};
  uint128 value = 0;
  for (char c : name) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint128>(c - '0');
    if (value > (kMax - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  return value;
}

utils::Result<std::pair<fs::path, Segment>, DocumentsManagerError> create_segment(
    const fs::path& dir, const utils::Clock& clock) {
  const auto now = clock();
  if (!now) return fail(ClockError{});
  fs::path path = dir / decimal(*now);
  fs::path building = path;
  building += ".new";
  if (::mkdir(building.c_str(), 0777) != 0) return fail(IoError::from_errno(errno, building));
  for (const char* name : {kDataFileName, kSegmentMetaFileName, kDeletionFileName}) {
    auto file = utils::File::create(building / name);
    if (!file) return fail(std::move(file.error()));
  }
  // rename(2) would replace an empty directory of the same name.
  std::error_code code;
  if (fs::exists(path, code) || code) {
    return fail(code ? io_error_of(code, path) : IoError::from_errno(EEXIST, path));
  }
  if (::rename(building.c_str(), path.c_str()) != 0) return fail(IoError::from_errno(errno, path));
  return std::pair{std::move(path), Segment{*now, 0, 0}};
}

namespace {

// The bytes of `path` from `from` on, and the file's size; a file shorter than `from` is
// IoError::unexpected_eof().
utils::Result<std::pair<std::string, uint64_t>, IoError> read_from(const fs::path& path,
                                                                   uint64_t from) {
  auto file = utils::File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()).with_path(path));
  if (*size < from) return fail(IoError::unexpected_eof().with_path(path));
  std::string bytes(*size - from, '\0');
  if (auto s = file->read_exact_at({reinterpret_cast<uint8_t*>(bytes.data()), bytes.size()}, from);
      !s) {
    return fail(std::move(s.error()).with_path(path));
  }
  return std::pair{std::move(bytes), *size};
}

}  // namespace

utils::Result<Deletions, IoError> read_deletions(const fs::path& segment, uint64_t from) {
  auto read = read_from(segment / kDeletionFileName, from);
  if (!read) return fail(std::move(read.error()));
  const auto& [bytes, size] = *read;
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  Deletions deletions;
  deletions.scan.file_size = size;
  deletions.scan.whole = from + bytes.size() - bytes.size() % kDeletionEntrySize;
  for (uint64_t at = 0; from + at < deletions.scan.whole; at += kDeletionEntrySize) {
    deletions.ids.insert(read_id(data + at));
    deletions.bytes += get_be64(data + at + kIdSize);
  }
  return deletions;
}

utils::Result<EntryScan, DocumentsManagerError> read_meta_entries(
    const fs::path& segment,
    absl::FunctionRef<utils::Status<DocumentsManagerError>(Document&&, uint64_t at)> on_document,
    uint64_t from) {
  const fs::path file = segment / kSegmentMetaFileName;
  auto read = read_from(file, from);
  if (!read) return fail(std::move(read.error()));
  // Only the bytes from `from` on are read; offsets count from the start of the file.
  const auto tail = utils::as_bytes(read->first);
  EntryScan scan{from, read->second};
  auto bytes_at = [&](uint64_t at) { return tail.subspan(at - from); };
  while (scan.file_size - scan.whole >= kMetaHeaderSize) {
    const uint64_t at = scan.whole;
    const uint64_t record_size = get_be64(bytes_at(at).data());
    const auto rest = bytes_at(at + kMetaHeaderSize);
    if (record_size > rest.size()) {
      if (auto why = not_a_torn_record(rest, record_size)) {
        return fail(damaged_entry(file, at, *why));
      }
      break;  // the last entry was cut short
    }
    auto document = decode_entry(file, at, rest.first(record_size));
    if (!document) return fail(std::move(document.error()));
    if (auto s = on_document(std::move(*document), at); !s) return fail(std::move(s.error()));
    scan.whole = at + kMetaHeaderSize + record_size;
  }
  return scan;
}

utils::Result<Document, DocumentsManagerError> meta_entry_at(const fs::path& segment,
                                                             std::span<const uint8_t> meta,
                                                             uint64_t at) {
  const fs::path file = segment / kSegmentMetaFileName;
  if (at > meta.size() || meta.size() - at < kMetaHeaderSize) {
    return fail(damaged_entry(file, at, "the file ends before it"));
  }
  const uint64_t record_size = get_be64(meta.data() + at);
  if (record_size > meta.size() - at - kMetaHeaderSize) {
    return fail(damaged_entry(file, at, "its size goes past the end of the file"));
  }
  return decode_entry(file, at, meta.subspan(at + kMetaHeaderSize, record_size));
}

utils::Status<IoError> append_deletion(const fs::path& segment, uint128 id, uint64_t length) {
  const fs::path path = segment / kDeletionFileName;
  auto file = utils::File::open_append(path);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  if (const uint64_t torn = *size % kDeletionEntrySize; torn != 0) {
    // An earlier append failed part way; entries must stay aligned.
    if (auto s = utils::cut_keeping_tail(segment.parent_path(), path, *size - torn); !s) return s;
  }
  std::array<uint8_t, kDeletionEntrySize> entry;
  const auto id_bytes = utils::ulid_to_bytes(id);
  std::copy(id_bytes.begin(), id_bytes.end(), entry.begin());
  put_be64(entry.data() + kIdSize, length);
  return file->write_all(entry);
}

}  // namespace tarnwick::storage
