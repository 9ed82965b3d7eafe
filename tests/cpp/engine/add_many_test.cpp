// add_many against a loop of add: under the same clock and random bits, the same ids and the same
// files, byte for byte; and a failure part way keeps the documents before it.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/search.hpp"
#include "temp_dir.hpp"
#include "utils/file.hpp"
#include "inverted/token_hasher.hpp"

namespace tarnwick::engine {
namespace {

namespace fs = std::filesystem;

constexpr uint128 kStart = uint128{1'700'000'000} * 1'000'000'000;

// Every reading `step` nanoseconds after the one before.
utils::Clock stepping_clock(uint128 step) {
  auto now = std::make_shared<uint128>(kStart);
  return [now, step]() -> std::optional<uint128> { return *now += step; };
}

utils::RandomBits counting_random() {
  auto drawn = std::make_shared<uint128>(0);
  return [drawn] { return ++*drawn * 0x9E3779B97F4A7C15u; };
}

// Texts of common words and words met once, enough of those for the tokenizer to number its stems
// afresh part way, and enough texts for several chunks.
std::vector<std::string> texts() {
  std::vector<std::string> out;
  for (int n = 0; n < 3000; ++n) {
    std::string text = "The running fox " + std::to_string(n % 17) + " jumps over lazy dogs";
    for (int i = 0; i < 12; ++i) text += " word" + std::to_string(n * 12 + i);
    out.push_back(n % 500 == 7 ? "" : text);
  }
  return out;
}

// Path relative to `root` to file bytes, for every file under it.
std::map<std::string, std::string> files_under(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    auto bytes = utils::read_file(entry.path());
    EXPECT_TRUE(bytes.ok()) << entry.path();
    files[fs::relative(entry.path(), root).string()] = bytes.ok() ? *bytes : "";
  }
  return files;
}

class AddMany : public ::testing::Test {
 protected:
  // Small buffers and segments, so that saves and new segments happen along the way.
  std::optional<fs::path> config() const {
    const fs::path path = tmp_ / "config.toml";
    std::ofstream(path) << "documents_buffer_size = 4096\nindex_buffer_size = 8192\n"
                           "segment_size = 150000\nindex_save_after_operations = 5000\n";
    return path;
  }

  std::unique_ptr<Search> open(uint128 clock_step) {
    auto engine = Search::open(dir(), config(), stepping_clock(clock_step), counting_random());
    EXPECT_TRUE(engine.ok());
    return engine.ok() ? std::move(*engine) : nullptr;
  }

  fs::path dir() const { return tmp_ / "engine"; }

  test_support::TempDir tmp_;
};

TEST_F(AddMany, LeavesTheFilesALoopOfAddLeaves) {
  const std::vector<std::string> owned = texts();
  const std::vector<std::string_view> views(owned.begin(), owned.end());
  std::vector<uint128> loop_ids;
  {
    auto engine = open(1'000'000);
    ASSERT_TRUE(engine);
    for (std::string_view text : views) {
      auto id = engine->add(text);
      ASSERT_TRUE(id.ok());
      loop_ids.push_back(*id);
    }
    ASSERT_TRUE(engine->flush().ok());
  }
  fs::rename(dir(), tmp_ / "by_add");
  {
    auto engine = open(1'000'000);
    ASSERT_TRUE(engine);
    auto added = engine->add_many(views);
    ASSERT_TRUE(added.status.ok());
    EXPECT_TRUE(added.ids == loop_ids);
    ASSERT_TRUE(engine->flush().ok());
    EXPECT_GT(engine->documents().segments().size(), 2u);
  }
  auto expected = files_under(tmp_ / "by_add");
  auto actual = files_under(dir());
  ASSERT_EQ(actual.size(), expected.size());
  // The token store lists its words in hash-table order, which differs from table to table: it
  // is compared by what it holds.
  const auto words = [](const fs::path& root) {
    auto tokens = inverted::TokenHasher::load(root, std::make_shared<const Config>());
    EXPECT_TRUE(tokens.ok());
    return tokens.ok() ? tokens->id_to_token() : std::vector<std::optional<std::string>>{};
  };
  EXPECT_EQ(words(dir()), words(tmp_ / "by_add"));
  expected.erase("index/tokens");
  for (const auto& [path, bytes] : expected) {
    ASSERT_TRUE(actual.contains(path)) << path;
    EXPECT_TRUE(actual.at(path) == bytes) << path;
  }
}

TEST_F(AddMany, AFailureKeepsTheDocumentsBeforeIt) {
  // A clock that stands still and random bits all ones: the second id of the millisecond
  // overflows.
  auto engine = Search::open(dir(), std::nullopt, stepping_clock(0),
                             [] { return (uint128{1} << 80) - 1; });
  ASSERT_TRUE(engine.ok());
  const std::vector<std::string_view> batch = {"first text", "second text", "third text"};
  auto added = (*engine)->add_many(batch);
  ASSERT_FALSE(added.status.ok());
  EXPECT_TRUE(std::holds_alternative<UlidError>(added.status.error().detail));
  ASSERT_EQ(added.ids.size(), 1u);
  EXPECT_TRUE((*engine)->get(added.ids[0]).has_value());
  EXPECT_EQ((*engine)->documents().live_count(), 1u);
  auto hits = (*engine)->search("first", 0);
  ASSERT_TRUE(hits.ok());
  EXPECT_EQ(hits->size(), 1u);
}

}  // namespace
}  // namespace tarnwick::engine
