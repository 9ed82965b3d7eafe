// ChunkWriter: writes a large file's bytes through a buffer of 64 KB, for contents built piece by
// piece and too large to hold whole (replace_file_with's writers), and read later through a
// mapping, a little here and there.
//
// The size matters to that reading. The page cache may keep a file's pages in pieces as large as
// the writes that made them, and touching one byte of a mapping maps the whole piece: over a file
// written in 1 MB chunks, reading one small posting list mapped a megabyte of the process's
// memory. At 64 KB a touch maps no more than the kernel's usual read-around does
// (bench/mapped_by_touch.py).
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
  static constexpr size_t kChunk = size_t{64} << 10;

  // Adds to `written` what reaches `file`.
  ChunkWriter(File& file, size_t& written) : file_(file), written_(written) {
    chunk_.reserve(kChunk);
  }

  Status<IoError> add(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const size_t taken = std::min(bytes.size(), kChunk - chunk_.size());
      chunk_.append(reinterpret_cast<const char*>(bytes.data()), taken);
      bytes = bytes.subspan(taken);
      if (chunk_.size() == kChunk) {
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
  std::string chunk_;
};

}  // namespace tarnwick::utils
