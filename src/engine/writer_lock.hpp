// WriterLock: what makes one Search the writer of its engine directory: an exclusive flock(2) on
// the directory itself, taken without waiting when the engine opens and held until the engine is
// closed or released.
//
// A flock belongs to the open file description, so two Search objects of one process contend
// for it as two processes do (a POSIX record lock would not: it belongs to the process, and
// closing any descriptor of the file drops it). The kernel drops the lock when the process dies,
// so a crash never leaves a stale lock. The descriptor is close-on-exec, so a program the writer
// starts does not inherit the lock; a child made by fork alone shares it while it lives.
//
// The directory's descriptor is the one file handle an engine keeps between calls: the lock
// lasts exactly as long as the descriptor stays open.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "utils/file.hpp"
#include "utils/io_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::engine {

class WriterLock {
 public:
  // Locks the existing directory `dir`; nothing when another open file description holds it.
  static utils::Result<std::optional<WriterLock>, utils::IoError> try_acquire(
      const std::filesystem::path& dir);

  // The process holding the lock on `dir`, as the kernel's lock table (/proc/locks) tells it;
  // nothing when it cannot be known.
  static std::optional<int64_t> holder(const std::filesystem::path& dir);

 private:
  explicit WriterLock(utils::File directory) : directory_(std::move(directory)) {}

  utils::File directory_;
};

// The error of a write to an engine that another writer holds (BlockingIOError in Python): it
// names `dir`, and the holder's process when known.
utils::IoError held_elsewhere(const std::filesystem::path& dir, std::optional<int64_t> holder);

}  // namespace tarnwick::engine
