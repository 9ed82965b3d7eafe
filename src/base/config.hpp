// Config: every tunable of an engine, loaded once when a Search opens and then shared read-only
// (as std::shared_ptr<const Config>) by every store.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "absl/container/flat_hash_set.h"
#include "base/error_kinds.hpp"
#include "utils/result.hpp"

namespace tarnwick {

// Words the tokenizer drops; membership is exact, case-sensitive byte equality.
using StopWords = absl::flat_hash_set<std::string>;

// The 35 built-in stop words.
StopWords default_stop_words();

// `count` buffers of `buffer` bytes, or UINT64_MAX when that many bytes do not fit: a bound on
// memory in units of a configured buffer.
inline uint64_t buffers(uint64_t buffer, uint64_t count) {
  return count != 0 && buffer > UINT64_MAX / count ? UINT64_MAX : buffer * count;
}

struct Config {
  uint64_t segment_size = 52428800;
  uint64_t documents_buffer_size = 1048576;
  uint64_t documents_save_after_seconds = 5;
  double merge_deleted_ratio = 0.3;
  uint32_t metadata_save_after_operations = 100000;
  uint64_t metadata_save_after_seconds = 10;
  uint64_t index_buffer_size = 1048576;
  uint64_t index_save_after_operations = 100000;
  uint64_t index_save_after_seconds = 5;
  StopWords stop_words = default_stop_words();

  // The defaults without a path; otherwise the TOML file at `path`, whose absent keys keep their
  // defaults and whose unknown keys are ignored.
  static utils::Result<Config, ConfigError> load(const std::optional<std::filesystem::path>& path);

  // Maps a TOML document onto the defaults.
  static utils::Result<Config, ConfigError> parse(std::string_view text);
};

}  // namespace tarnwick
