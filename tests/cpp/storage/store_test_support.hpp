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
#include "test_clock.hpp"
#include "test_files.hpp"
#include "utils/clock.hpp"
#include "utils/file.hpp"

namespace tarnwick::storage::testing {

namespace fs = std::filesystem;

using test_support::TempDir;

using test_support::TestClock;
using test_support::read_bytes;
using test_support::write_bytes;

inline std::shared_ptr<const Config> config_with(void (*adjust)(Config&)) {
  auto config = std::make_shared<Config>();
  adjust(*config);
  return config;
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
