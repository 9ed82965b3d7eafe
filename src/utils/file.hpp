// File: an open file descriptor, closed when the object goes. Files are opened inside one
// operation and closed before it returns; nothing keeps a File between calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>

#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::utils {

class File {
 public:
  // Opening errors name `path`; a File does not know its path, so the errors of the methods below
  // name nothing.
  //
  // Existing file, read only.
  static Result<File, IoError> open_read(const std::filesystem::path& path);
  // Existing file, writes go to its end; the file is not created.
  static Result<File, IoError> open_append(const std::filesystem::path& path);
  // Created with mode 0o666 (before the umask) when missing, truncated when present.
  static Result<File, IoError> create(const std::filesystem::path& path);
  // Created with mode 0o666 (before the umask); AlreadyExists when present.
  static Result<File, IoError> create_new(const std::filesystem::path& path);
  // Existing directory, for opening files relative to it (below) and for sync.
  static Result<File, IoError> open_directory(const std::filesystem::path& path);
  // Existing file `name` of the open directory `directory`, read only; the error names `name`. The
  // file is looked up in the directory that the descriptor holds, even when that directory has
  // been renamed, or another renamed into its place, since it was opened.
  static Result<File, IoError> open_read_at(const File& directory,
                                            const std::filesystem::path& name);

  explicit File(int fd) : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  Result<uint64_t, IoError> size() const;
  // The offset the next read_some or write_all starts at.
  Result<uint64_t, IoError> position() const;

  // Reads up to out.size() bytes at the current position; 0 means the end of the file.
  Result<size_t, IoError> read_some(std::span<uint8_t> out);

  // Fills `out` from `offset` with positioned reads, retrying short ones; reaching the end of the
  // file first is IoError::unexpected_eof(). The file position does not move.
  Status<IoError> read_exact_at(std::span<uint8_t> out, uint64_t offset) const;

  // Writes all of `bytes`; on failure `written` (if given) holds what reached the file.
  Status<IoError> write_all(std::span<const uint8_t> bytes, size_t* written = nullptr);

  // fsync(2). A failure is not worth retrying: the kernel may have dropped the pages.
  Status<IoError> sync() const;

  // The descriptor, still owned by the File.
  int descriptor() const { return fd_; }

 private:
  int fd_;
};

// The whole file's bytes. A failure names `path`.
Result<std::string, IoError> read_file(const std::filesystem::path& path);

// fsync of a file, or of a directory, which makes its entries durable. A failure names `path`.
Status<IoError> sync_path(const std::filesystem::path& path);

inline std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace tarnwick::utils
