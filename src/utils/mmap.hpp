// MappedFile: a whole file mapped read-only into memory, unmapped when the object goes. The file
// descriptor is closed as soon as the mapping exists.
//
// REQUIRES: nothing shrinks the file while it is mapped; reading a page past the file's new end
// would raise SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

class MappedFile {
 public:
  // Maps the whole of an existing file. An empty file gives an empty mapping without mmap. A
  // failure names `path`.
  static Result<MappedFile, IoError> open(const std::filesystem::path& path);

  MappedFile(MappedFile&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = {}; }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const uint8_t> bytes() const { return bytes_; }

 private:
  explicit MappedFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  void unmap();

  std::span<const uint8_t> bytes_;
};

}  // namespace tarnwick::utils
