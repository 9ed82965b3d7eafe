// SearchMeta: the engine's statistics, the mean length of the stored documents, kept in memory
// and saved to `dir`/meta as one little-endian IEEE-754 double (an empty file means 1.0).
//
// The mean covers every document whose postings are in the index: live documents and deleted
// ones whose postings have not been purged yet. Counting the pending ones keeps the mean a true
// mean of the lengths it sums, so it never goes negative however additions, deletions and purges
// interleave. It is always finite and non-negative; an empty collection has the mean 1.0, the
// value a fresh engine starts from.
//
// The file is rewritten whole and atomically, after `metadata_save_after_operations` updates or
// once `metadata_save_after_seconds` have passed since the last save, and on `save`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "base/config.hpp"
#include "base/error_kinds.hpp"
#include "utils/access.hpp"
#include "utils/clock.hpp"
#include "utils/result.hpp"

namespace tarnwick::engine {

// The statistics file of the engine directory.
inline constexpr char kStatisticsFileName[] = "meta";

class SearchMeta {
 public:
  using Status = utils::Status<BincodePersistenceError>;

  // Reads `dir`/meta, creating it empty when missing (read-only: 1.0, nothing created); bytes
  // past the first 8 are ignored. A file too short to hold a value, or a value that is not a
  // finite non-negative number, gives 1.0: the mean is derived, and the engine recomputes it from
  // the live records at open. Fails with Io or Clock.
  static utils::Result<SearchMeta, BincodePersistenceError> open(
      const std::filesystem::path& dir, std::shared_ptr<const Config> config,
      utils::Clock clock = utils::system_time_nanos,
      utils::Access access = utils::Access::ReadWrite);

  // The mean over `old_count` documents becomes the mean over `new_count` after their summed
  // length changed by `change`. Counts one update and saves when a save is due; a failed save
  // keeps the new mean in memory and the counters as they were.
  Status update_avg_doc_len(uint64_t old_count, uint64_t new_count, int64_t change);

  // Sets the mean to that of `count` documents holding `total` tokens in all: at open, from the
  // live records, since a crash can leave the saved mean out of step with them. Gives whether it
  // moved by more than rounding, when it is worth saving.
  bool recompute(uint64_t count, uint64_t total);

  // Rewrites the file, unless it holds the mean already; the save counters are left alone.
  Status save();

  double avg_doc_len() const { return avg_doc_len_; }

 private:
  SearchMeta(std::filesystem::path path, std::shared_ptr<const Config> config, utils::Clock clock,
             double avg_doc_len, uint64_t now)
      : path_(std::move(path)),
        config_(std::move(config)),
        clock_(std::move(clock)),
        avg_doc_len_(avg_doc_len),
        last_save_(now) {}

  std::filesystem::path path_;
  std::shared_ptr<const Config> config_;
  utils::Clock clock_;
  double avg_doc_len_;
  // The mean the file holds, as read or last saved; nothing when it holds none.
  std::optional<double> saved_;
  uint64_t last_save_;
  uint32_t operations_ = 0;
};

}  // namespace tarnwick::engine
