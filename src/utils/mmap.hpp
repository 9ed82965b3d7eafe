// MappedFile: a whole file mapped read-only into memory, unmapped when the object goes. A file
// opened by name has its descriptor closed as soon as the mapping exists.
//
// REQUIRES: nothing shrinks the file while it is mapped; reading a page past the file's new end
// would raise SIGBUS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>

#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

class MappedFile {
 public:
  // Whether the pages are read in when the file is mapped (for a file read whole), or when they
  // are first touched (for a file of which little is read).
  enum class Pages { Populate, OnDemand };

  // Maps the whole of an existing file. An empty file gives an empty mapping without mmap. A
  // failure names `path`.
  static Result<MappedFile, IoError> open(const std::filesystem::path& path,
                                          Pages pages = Pages::Populate);
  // The same for the file `name` of the open directory `directory` (File::open_directory): the
  // one in that directory even when another has been renamed into its place since it was opened.
  // A failure names `name`.
  static Result<MappedFile, IoError> open_at(const File& directory,
                                             const std::filesystem::path& name,
                                             Pages pages = Pages::Populate);

  // Maps the whole of the open `file`; failures name `path`.
  static Result<MappedFile, IoError> map(const File& file, const std::filesystem::path& path,
                                         Pages pages = Pages::Populate);

  MappedFile(MappedFile&& other) noexcept : bytes_(other.bytes_) { other.bytes_ = {}; }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  std::span<const uint8_t> bytes() const { return bytes_; }
  // Gives the kernel back the whole pages of `part`, when it is a range of bytes(): they leave
  // the process's memory, and reading them again reads the file. Any other range is left alone.
  void release(std::span<const uint8_t> part) const;

 private:
  explicit MappedFile(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  void unmap();

  std::span<const uint8_t> bytes_;
};

// Gives back the pages of a mapping read from front to back, some megabytes at a time: what lies
// before the furthest byte read so far. Parts outside the mapping are ignored.
class ReleaseBehind {
 public:
  explicit ReleaseBehind(const MappedFile* file) : file_(file) {}

  void read(std::span<const uint8_t> part);

 private:
  static constexpr size_t kStep = size_t{16} << 20;

  const MappedFile* file_;
  size_t released_ = 0;
  size_t read_ = 0;
};

}  // namespace tarnwick::utils
