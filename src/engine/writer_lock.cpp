#include "engine/writer_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <charconv>
#include <fstream>
#include <sstream>
#include <string>

namespace tarnwick::engine {

namespace fs = std::filesystem;
using utils::fail;
using utils::IoError;

utils::Result<std::optional<WriterLock>, IoError> WriterLock::try_acquire(const fs::path& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return fail(IoError::from_errno(errno, dir));
  utils::File directory(fd);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return std::optional<WriterLock>();
    return fail(IoError::from_errno(errno, dir));
  }
  return std::optional<WriterLock>(WriterLock(std::move(directory)));
}

// A line of /proc/locks reads "1: FLOCK  ADVISORY  WRITE 4242 fd:01:131077 0 EOF": the lock's
// kind, the holder's process id as this process's namespace sees it (0 or less when it cannot),
// and the file as device major and minor in hex and inode in decimal. Lines whose second field
// is "->" are requests waiting for a lock, not holders.
std::optional<int64_t> WriterLock::holder(const fs::path& dir) {
  struct stat status;
  if (::stat(dir.c_str(), &status) != 0) return std::nullopt;
  std::ifstream table("/proc/locks");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string number, kind, mode, access, pid, file;
    fields >> number >> kind >> mode >> access >> pid >> file;
    if (kind != "FLOCK") continue;
    unsigned device_major = 0, device_minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(file.c_str(), "%x:%x:%llu", &device_major, &device_minor, &inode) != 3) {
      continue;
    }
    if (device_major != major(status.st_dev) || device_minor != minor(status.st_dev) ||
        inode != status.st_ino) {
      continue;
    }
    int64_t value = 0;
    const auto [end, error] = std::from_chars(pid.data(), pid.data() + pid.size(), value);
    if (error == std::errc() && end == pid.data() + pid.size() && value > 0) return value;
  }
  return std::nullopt;
}

IoError held_elsewhere(const fs::path& dir, std::optional<int64_t> holder) {
  std::string message = dir.string() + " is open for writing elsewhere";
  if (holder) message += ", by process " + std::to_string(*holder);
  return {utils::IoErrorKind::WouldBlock, EWOULDBLOCK, std::move(message), dir};
}

}  // namespace tarnwick::engine
