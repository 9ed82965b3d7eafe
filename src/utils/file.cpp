#include "utils/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tarnwick::utils {

namespace {

// `path` relative to the directory `at` (AT_FDCWD: the working directory).
Result<File, IoError> open_file(const std::filesystem::path& path, int flags, int at = AT_FDCWD) {
  int fd;
  do {
    fd = ::openat(at, path.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(IoError::from_errno(errno, path));
  return File(fd);
}

}  // namespace

Result<File, IoError> File::open_read(const std::filesystem::path& path) {
  return open_file(path, O_RDONLY);
}

Result<File, IoError> File::open_append(const std::filesystem::path& path) {
  return open_file(path, O_WRONLY | O_APPEND);
}

Result<File, IoError> File::create(const std::filesystem::path& path) {
  return open_file(path, O_WRONLY | O_CREAT | O_TRUNC);
}

Result<File, IoError> File::create_new(const std::filesystem::path& path) {
  return open_file(path, O_WRONLY | O_CREAT | O_EXCL);
}

Result<File, IoError> File::open_directory(const std::filesystem::path& path) {
  return open_file(path, O_RDONLY | O_DIRECTORY);
}

Result<File, IoError> File::open_read_at(const File& directory, const std::filesystem::path& name) {
  return open_file(name, O_RDONLY, directory.fd_);
}

Status<IoError> File::sync() const {
  if (::fsync(fd_) != 0) return fail(IoError::from_errno(errno));
  return {};
}

Status<IoError> sync_path(const std::filesystem::path& path) {
  auto file = open_file(path, O_RDONLY);
  if (!file) return fail(std::move(file.error()));
  if (auto s = file->sync(); !s) return fail(std::move(s.error()).with_path(path));
  return {};
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<uint64_t, IoError> File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return fail(IoError::from_errno(errno));
  return static_cast<uint64_t>(st.st_size);
}

Result<uint64_t, IoError> File::position() const {
  off_t offset = ::lseek(fd_, 0, SEEK_CUR);
  if (offset < 0) return fail(IoError::from_errno(errno));
  return static_cast<uint64_t>(offset);
}

Result<size_t, IoError> File::read_some(std::span<uint8_t> out) {
  for (;;) {
    ssize_t n = ::read(fd_, out.data(), out.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return fail(IoError::from_errno(errno));
  }
}

Status<IoError> File::read_exact_at(std::span<uint8_t> out, uint64_t offset) const {
  size_t done = 0;
  while (done < out.size()) {
    ssize_t n = ::pread(fd_, out.data() + done, out.size() - done, offset + done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(IoError::from_errno(errno));
    }
    if (n == 0) return fail(IoError::unexpected_eof());
    done += static_cast<size_t>(n);
  }
  return {};
}

Status<IoError> File::write_all(std::span<const uint8_t> bytes, size_t* written) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (written) *written = done;
      return fail(IoError::from_errno(errno));
    }
    done += static_cast<size_t>(n);
  }
  if (written) *written = done;
  return {};
}

Result<std::string, IoError> read_file(const std::filesystem::path& path) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  std::string bytes;
  uint8_t chunk[65536];
  for (;;) {
    auto n = file->read_some(chunk);
    if (!n) return fail(std::move(n.error()).with_path(path));
    if (*n == 0) return bytes;
    bytes.append(reinterpret_cast<const char*>(chunk), *n);
  }
}

}  // namespace tarnwick::utils
