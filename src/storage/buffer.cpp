// The buffer writes meta entries in the layout of segment.cpp: N as 8 bytes big-endian, then the
// N bytes of one Document record.
#include "storage/buffer.hpp"

#include <algorithm>

#include "storage/segment_format.hpp"
#include "utils/file.hpp"

namespace tarnwick::storage {

namespace fs = std::filesystem;
using utils::fail;

namespace {

// Appends `pending` to `file`; what was written leaves `pending`.
utils::Status<utils::IoError> append_taking(utils::File& file, std::string& pending,
                                            size_t& written) {
  written = 0;
  auto status = file.write_all(utils::as_bytes(pending), &written);
  pending.erase(0, written);
  return status;
}

// `cached`, or else the size of the file `name` of `segment` (opened for appending, without
// create), then cached. Its path is made only then: asked for every document written.
utils::Result<uint64_t, utils::IoError> measured(std::optional<uint64_t>& cached,
                                                 const fs::path& segment, const char* name) {
  if (cached) return *cached;
  auto file = utils::File::open_append(segment / name);
  if (!file) return fail(std::move(file.error()));
  auto size = file->size();
  if (!size) return fail(std::move(size.error()));
  cached = *size;
  return *size;
}

}  // namespace

utils::Status<EncodeError> WriteBuffer::write_meta(const Document& document) {
  const size_t start = meta.size();
  meta.append(kMetaHeaderSize, '\0');
  if (auto s = encode_document(document, meta); !s) {
    meta.resize(start);
    return s;
  }
  put_be64(reinterpret_cast<uint8_t*>(meta.data() + start),
           meta.size() - start - kMetaHeaderSize);
  return {};
}

utils::Result<uint64_t, utils::IoError> WriteBuffer::segment_size(const fs::path& segment) {
  return measured(cached_size, segment, kDataFileName);
}

utils::Result<uint64_t, utils::IoError> WriteBuffer::next_meta_offset(const fs::path& segment) {
  auto size = measured(cached_meta_size, segment, kSegmentMetaFileName);
  if (!size) return size;
  return *size + meta.size();
}

std::span<const uint8_t> WriteBuffer::unsaved_tail(uint64_t offset, uint64_t length) const {
  // Bytes enter `data` only once `cached_size` is measured, and leave it only by being appended,
  // which adds them to a present `cached_size`.
  if (!cached_size || length > UINT64_MAX - offset || offset + length <= *cached_size) return {};
  const uint64_t start = std::max(offset, *cached_size) - *cached_size;
  const uint64_t size = offset + length - std::max(offset, *cached_size);
  if (start > data.size() || size > data.size() - start) return {};
  return {reinterpret_cast<const uint8_t*>(data.data()) + start, size};
}

utils::Status<utils::IoError> WriteBuffer::append_to(const fs::path& segment) {
  auto data_file = utils::File::open_append(segment / kDataFileName);
  if (!data_file) return fail(std::move(data_file.error()));
  auto meta_file = utils::File::open_append(segment / kSegmentMetaFileName);
  if (!meta_file) return fail(std::move(meta_file.error()));
  size_t written = 0;
  auto status = append_taking(*data_file, data, written);
  if (cached_size) *cached_size += written;
  if (!status) return status;
  status = append_taking(*meta_file, meta, written);
  if (cached_meta_size) *cached_meta_size += written;
  if (!status) return status;
  cached_size.reset();
  cached_meta_size.reset();
  return {};
}

}  // namespace tarnwick::storage
