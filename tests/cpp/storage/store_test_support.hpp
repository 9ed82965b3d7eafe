// Helpers for tests of the document store: a scratch directory, a clock driven by hand, and
// whole-file reads and writes for checking and damaging what the store wrote.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "base/config.hpp"
#include "temp_dir.hpp"
#include "utils/clock.hpp"
#include "utils/file.hpp"

namespace tarnwick::storage::testing {

namespace fs = std::filesystem;

using test_support::TempDir;

// Starts at a fixed instant and moves only when told to, except that every reading advances one
// nanosecond so that segments created in a row get distinct names.
class FakeClock {
 public:
  static constexpr utils::uint128 kStart = utils::uint128{1'700'000'000} * utils::kNanosPerSecond;

  utils::Clock clock() const {
    return [state = state_]() -> std::optional<utils::uint128> {
      if (!state->now) return std::nullopt;
      return (*state->now)++;
    };
  }
  void advance_seconds(uint64_t seconds) { *state_->now += seconds * utils::kNanosPerSecond; }
  void set_before_epoch() { state_->now.reset(); }

 private:
  struct State {
    std::optional<utils::uint128> now = kStart;
  };
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

inline std::shared_ptr<const Config> config_with(void (*adjust)(Config&)) {
  auto config = std::make_shared<Config>();
  adjust(*config);
  return config;
}

inline std::string file_bytes(const fs::path& path) {
  auto bytes = utils::read_file(path);
  EXPECT_TRUE(bytes.ok()) << path;
  return bytes.ok() ? *bytes : std::string();
}

inline void put_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string be64(uint64_t value) {
  std::string out(8, '\0');
  for (int i = 7; i >= 0; --i, value >>= 8) out[i] = static_cast<char>(value & 0xFF);
  return out;
}

inline uint64_t get_be64_of(const std::string& bytes, size_t at) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = (value << 8) | static_cast<uint8_t>(bytes.at(at + i));
  return value;
}

}  // namespace tarnwick::storage::testing
