#include "inverted/token_changes.hpp"

#include <algorithm>
#include <cerrno>

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "utils/checksum.hpp"
#include "utils/file.hpp"
#include "utils/little_endian.hpp"
#include "utils/mmap.hpp"

namespace tarnwick::inverted {

namespace fs = std::filesystem;
using utils::checksum64;
using utils::fail;
using utils::get_le;
using utils::IoError;
using utils::put_le;

namespace {

// "TWTOKCH" and the format's version.
constexpr uint8_t kMagic[8] = {'T', 'W', 'T', 'O', 'K', 'C', 'H', 1};
constexpr size_t kBatchHeaderSize = 12;

std::string header_bytes(StoreStamp store) {
  std::string header(std::begin(kMagic), std::end(kMagic));
  put_le(header, store.size, 8);
  put_le(header, store.checksum, 8);
  put_le(header, checksum64(utils::as_bytes(header)), 8);
  return header;
}

// The changes of one batch's payload; nothing when it does not decode whole.
std::optional<std::vector<TokenChange>> decode_batch(std::span<const uint8_t> payload) {
  storage::SliceDecoder d{storage::SliceSource(payload)};
  std::vector<TokenChange> changes;
  while (d.source().remaining() > 0) {
    auto id = d.u32();
    if (!id) return std::nullopt;
    auto put = d.u8();
    if (!put || *put > 1) return std::nullopt;
    TokenChange change{*id, std::nullopt};
    if (*put == 1) {
      auto word = d.string();
      if (!word) return std::nullopt;
      change.word = std::move(*word);
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

}  // namespace

utils::Result<std::optional<ReadTokenChanges>, IoError> read_token_changes(const fs::path& path,
                                                                         StoreStamp store) {
  auto mapped = utils::MappedFile::open(path);
  if (!mapped) {
    if (mapped.error().os_code == ENOENT) return std::optional<ReadTokenChanges>();
    return fail(std::move(mapped.error()));
  }
  const std::span<const uint8_t> file = mapped->bytes();
  const std::string expected = header_bytes(store);
  if (file.size() < kTokenChangesHeaderSize ||
      !std::equal(expected.begin(), expected.end(), file.begin(),
                  [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; })) {
    return std::optional<ReadTokenChanges>();
  }
  ReadTokenChanges read{{}, kTokenChangesHeaderSize, file.size()};
  while (file.size() - read.read_size >= kBatchHeaderSize) {
    const uint8_t* at = file.data() + read.read_size;
    const uint64_t size = get_le(at, 4);
    if (size > file.size() - read.read_size - kBatchHeaderSize) break;
    const std::span<const uint8_t> payload(at + kBatchHeaderSize, size);
    if (get_le(at + 4, 8) != checksum64(payload)) break;
    auto changes = decode_batch(payload);
    if (!changes) break;
    std::move(changes->begin(), changes->end(), std::back_inserter(read.changes));
    read.read_size += kBatchHeaderSize + size;
  }
  return std::optional(std::move(read));
}

std::string encode_token_changes(std::span<const TokenChange> changes) {
  std::string payload;
  storage::Encoder e(payload);
  for (const TokenChange& change : changes) {
    e.varint(change.id);
    e.u8(change.word.has_value());
    if (change.word) e.string(*change.word);
  }
  std::string batch;
  batch.reserve(kBatchHeaderSize + payload.size());
  put_le(batch, payload.size(), 4);
  put_le(batch, checksum64(utils::as_bytes(payload)), 8);
  batch += payload;
  return batch;
}

utils::Status<utils::ReplaceFileError> start_token_changes(const fs::path& path, StoreStamp store) {
  return utils::replace_file(path, header_bytes(store));
}

utils::Result<bool, IoError> append_token_changes(const fs::path& path, uint64_t size,
                                                  std::string_view batch) {
  auto file = utils::File::open_append(path);
  if (!file) {
    if (file.error().os_code == ENOENT) return false;
    return fail(std::move(file.error()));
  }
  auto found = file->size();
  if (!found) return fail(std::move(found.error()).with_path(path));
  if (*found != size) return false;
  if (auto s = file->write_all(utils::as_bytes(batch)); !s) {
    return fail(std::move(s.error()).with_path(path));
  }
  if (auto s = file->sync(); !s) return fail(std::move(s.error()).with_path(path));
  return true;
}

}  // namespace tarnwick::inverted
