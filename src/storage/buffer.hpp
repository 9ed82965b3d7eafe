// WriteBuffer: the pending appends to the current segment's data and meta files.
//
// Invariant: the bytes on disk followed by the bytes in `data` (or `meta`) are exactly what the
// data (or meta) file is meant to hold. Records in the buffer locate their blocks by
// `cached_size` + their place in `data`, so a failed append must never leave bytes on disk that
// are still in the buffer too.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>

#include "storage/codec/coding_errors.hpp"
#include "storage/document.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

struct WriteBuffer {
  // The current data file's size on disk; absent until asked after loading or after a flush.
  std::optional<uint64_t> cached_size;
  // The same for the current meta file.
  std::optional<uint64_t> cached_meta_size;
  std::string data;  // bytes to append to the current data file
  std::string meta;  // bytes to append to the current meta file

  // Appends one meta entry for `document`; on failure nothing is appended.
  utils::Status<EncodeError> write_meta(const Document& document);

  // The size of `segment`/"data" on disk: `cached_size`, or else measured (the file is opened for
  // appending, without create) and cached. On failure nothing is cached.
  utils::Result<uint64_t, utils::IoError> segment_size(const std::filesystem::path& segment);

  // Where in `segment`/"meta" the next entry buffered goes: its size on disk (`cached_meta_size`,
  // or else measured and cached) plus `meta`'s. On failure nothing is cached.
  utils::Result<uint64_t, utils::IoError> next_meta_offset(const std::filesystem::path& segment);

  // Of the `length` bytes at `offset` of the current data file, the tail not appended yet, as it
  // lies in `data`: all of them, some (when an append failed part way through them) or none.
  std::span<const uint8_t> unsaved_tail(uint64_t offset, uint64_t length) const;

  // Appends `data` to `segment`/"data", then `meta` to `segment`/"meta", both opened before
  // either is written, and empties the buffer, leaving both cached sizes absent. On failure, what
  // reached a file is taken off the front of its buffer (and added to its present cached size),
  // so the next attempt appends only the rest and every record keeps pointing at its own bytes.
  utils::Status<utils::IoError> append_to(const std::filesystem::path& segment);
};

}  // namespace tarnwick::storage
