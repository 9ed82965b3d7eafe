// ChunkWriter: writes a large file's bytes through a buffer, for contents built piece by piece
// and too large to hold whole (replace_file_with's writers).
//
// The buffer's size is the size of the writes, which matters to whoever maps the file later:
// the page cache may keep a file's pages in pieces as large as the writes that made them, and
// touching one byte of a mapping maps the whole piece. A file read here and there wants small
// pieces, so that a touch maps little (kSparseReads); one read whole wants large ones, which map
// and unmap fastest (kWholeReads). bench/mapped_by_touch.py measures what a touch maps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

class ChunkWriter {
 public:
  // No more than the kernel's usual read-around maps for a touch.
  static constexpr size_t kSparseReads = size_t{64} << 10;
  static constexpr size_t kWholeReads = size_t{1} << 20;

  // Writes `chunk` bytes at a time; adds to `written` what reaches `file`.
  ChunkWriter(File& file, size_t& written, size_t chunk)
      : file_(file), written_(written), chunk_size_(chunk) {
    chunk_.reserve(chunk_size_);
  }

  Status<IoError> add(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const size_t taken = std::min(bytes.size(), chunk_size_ - chunk_.size());
      chunk_.append(reinterpret_cast<const char*>(bytes.data()), taken);
      bytes = bytes.subspan(taken);
      if (chunk_.size() == chunk_size_) {
        if (auto s = write_out(); !s) return s;
      }
    }
    return {};
  }

  // Writes out what the buffer holds; call once the last bytes are added.
  Status<IoError> write_out() {
    size_t done = 0;
    auto s = file_.write_all(as_bytes(chunk_), &done);
    written_ += done;
    chunk_.clear();
    return s;
  }

 private:
  File& file_;
  size_t& written_;
  size_t chunk_size_;
  std::string chunk_;
};

}  // namespace tarnwick::utils
