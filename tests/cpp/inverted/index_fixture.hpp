// Helpers for the tests of the token dictionary and the inverted index: a scratch engine
// directory, a clock driven by hand, whole-file reads and writes for checking and damaging what
// the stores wrote, and the in-memory index as plain values for comparison.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/config.hpp"
#include "temp_dir.hpp"
#include "test_clock.hpp"
#include "test_files.hpp"
#include "inverted/index.hpp"
#include "utils/clock.hpp"
#include "inverted/token_hasher.hpp"

namespace tarnwick::index_testing {

namespace fs = std::filesystem;
using uint128 = unsigned __int128;

using test_support::TempDir;

using test_support::read_bytes;
using test_support::TestClock;
using test_support::write_bytes;

// Distinct ids in increasing order, shaped like generated ones (at least 2^64).
inline uint128 doc(int n) { return (uint128{1'700'000'000'000} + n) << 80 | uint128(n * 7919); }

// Settings that save only when a test asks for it.
inline std::shared_ptr<Config> quiet_config() {
  auto config = std::make_shared<Config>();
  config->index_buffer_size = UINT64_MAX;
  config->index_save_after_operations = UINT64_MAX;
  config->index_save_after_seconds = UINT64_MAX;
  return config;
}

using PlainPosting = std::pair<uint128, std::vector<uint32_t>>;
using PlainIndex = std::map<uint32_t, std::vector<PlainPosting>>;

inline void add_plain(PlainIndex& out, uint32_t token_id, const inverted::PostingList& list) {
  std::vector<uint32_t> positions;
  auto& postings = out[token_id];
  for (size_t i = 0; i < list.size(); ++i) {
    list.decode_positions(i, positions);
    postings.emplace_back(list.doc_id(i), positions);
  }
}

inline PlainIndex plain(const inverted::Index& index) {
  PlainIndex out;
  for (const auto& [token_id, list] : index) add_plain(out, token_id, list);
  return out;
}

inline PlainIndex plain(const inverted::LayeredIndex& index) {
  PlainIndex out;
  index.for_each([&](uint32_t token_id, const inverted::PostingList& list) {
    add_plain(out, token_id, list);
  });
  return out;
}

// A scratch engine directory, a clock, settings that save only when a test asks, and the token
// dictionary of the directory as loading finds it.
class DictionaryTest : public ::testing::Test {
 protected:
  fs::path index_dir() const { return dir_.path() / inverted::kIndexDirName; }

  inverted::TokenHasher open(utils::Access access = utils::Access::ReadWrite) {
    auto hasher = inverted::TokenHasher::load(dir_.path(), config_, clock_.clock(), access);
    EXPECT_TRUE(hasher.ok());
    return std::move(*hasher);
  }

  TempDir dir_;
  TestClock clock_;
  std::shared_ptr<Config> config_ = quiet_config();
};

// The log-reading error inside an index error, or null.
inline const LogReadError* log_read_error(const IndexManagerError& error) {
  return std::get_if<LogReadError>(&error.detail);
}

}  // namespace tarnwick::index_testing
