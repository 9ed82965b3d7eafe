#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "base/config.hpp"

namespace tarnwick {
namespace {

std::string toml_message(std::string_view text) {
  auto config = Config::parse(text);
  EXPECT_FALSE(config.ok()) << text;
  if (config.ok()) return "";
  EXPECT_EQ(config.error().kind(), ConfigError::Kind::Toml);
  return std::get<TomlError>(config.error().detail).message;
}

void expect_defaults(const Config& c) {
  EXPECT_EQ(c.segment_size, 52428800u);
  EXPECT_EQ(c.documents_buffer_size, 1048576u);
  EXPECT_EQ(c.documents_save_after_seconds, 5u);
  EXPECT_EQ(c.merge_deleted_ratio, 0.3);
  EXPECT_EQ(c.metadata_save_after_operations, 100000u);
  EXPECT_EQ(c.metadata_save_after_seconds, 10u);
  EXPECT_EQ(c.index_buffer_size, 1048576u);
  EXPECT_EQ(c.index_save_after_operations, 100000u);
  EXPECT_EQ(c.index_save_after_seconds, 5u);
  EXPECT_EQ(c.stop_words, default_stop_words());
}

TEST(Config, NoFileCommentsAndUnknownKeysAllGiveTheDefaults) {
  expect_defaults(*Config::load(std::nullopt));
  expect_defaults(*Config::parse(""));
  expect_defaults(*Config::parse("# only a comment\n\n"));
  expect_defaults(*Config::parse("colour = \"blue\"\n[extra]\nsegment_size = \"x\"\n"));
  EXPECT_EQ(default_stop_words().size(), 35u);
  EXPECT_TRUE(default_stop_words().contains("www"));
}

TEST(Config, EveryKeyIsRead) {
  auto c = Config::parse(
      "segment_size = 1\ndocuments_buffer_size = 2\ndocuments_save_after_seconds = 3\n"
      "merge_deleted_ratio = 0.5\nmetadata_save_after_operations = 4294967295\n"
      "metadata_save_after_seconds = 6\nindex_buffer_size = 7\n"
      "index_save_after_operations = 9223372036854775807\nindex_save_after_seconds = 0\n"
      "stop_words = [\"x\", \"Y\", \"x\"]\n");
  ASSERT_TRUE(c.ok()) << std::get<TomlError>(c.error().detail).message;
  EXPECT_EQ(c->segment_size, 1u);
  EXPECT_EQ(c->documents_buffer_size, 2u);
  EXPECT_EQ(c->documents_save_after_seconds, 3u);
  EXPECT_EQ(c->merge_deleted_ratio, 0.5);
  EXPECT_EQ(c->metadata_save_after_operations, 4294967295u);
  EXPECT_EQ(c->metadata_save_after_seconds, 6u);
  EXPECT_EQ(c->index_buffer_size, 7u);
  EXPECT_EQ(c->index_save_after_operations, 9223372036854775807u);
  EXPECT_EQ(c->index_save_after_seconds, 0u);
  EXPECT_EQ(c->stop_words, (StopWords{"x", "Y"}));
}

TEST(Config, IntegerRatioAndEmptyStopWords) {
  auto c = Config::parse("merge_deleted_ratio = 1\nstop_words = []\n");
  ASSERT_TRUE(c.ok());
  EXPECT_EQ(c->merge_deleted_ratio, 1.0);
  EXPECT_TRUE(c->stop_words.empty());
}

TEST(Config, Toml11EscapesAreReadInStopWords) {
  // \xHH is a code point, so \xe9 is the two UTF-8 bytes of U+00E9, not the byte 0xE9.
  auto c = Config::parse("stop_words = [\"\\e[0m\", \"\\x41b\", 'caf\\x', \"caf\\xe9\"]\n");
  ASSERT_TRUE(c.ok()) << std::get<TomlError>(c.error().detail).message;
  EXPECT_EQ(c->stop_words, (StopWords{"\x1b[0m", "Ab", "caf\\x", "caf\xc3\xa9"}));
}

TEST(Config, Toml11InlineTablesAndTimesAreReadUnderUnknownKeys) {
  const char* texts[] = {
      "extra = {\n  a = 1,\n  b = { c = [2, 3], },  # a comment\n}\nsegment_size = 7\n",
      "extra = {a = 1,}\nsegment_size = 7\n",
      "extra = {\n}\nsegment_size = 7\n",
      "alarm = 07:32\nsegment_size = 7\n",
      "when = 1979-05-27 07:32\nsegment_size = 7\n",
      "when = 1979-05-27T07:32-07:00\nsegment_size = 7\n",
      "segment_size = 7\n[extra]\nwhen = 1979-05-27T07:32Z\nmotd = \"\\e[1m\\x21\"\n",
  };
  for (const char* text : texts) {
    auto c = Config::parse(text);
    ASSERT_TRUE(c.ok()) << text << std::get<TomlError>(c.error().detail).message;
    EXPECT_EQ(c->segment_size, 7u) << text;
    EXPECT_EQ(c->stop_words, default_stop_words()) << text;
  }
}

TEST(Config, MalformedToml11FormsAreStillSyntaxErrors) {
  for (const char* text : {"a = \"\\x4\"\n", "a = \"\\xg0\"\n", "a = {b = 1,,}\n", "a = {,}\n",
                           "a = 07:\n", "a = 7:32\n"}) {
    const std::string message = toml_message(text);
    EXPECT_EQ(message.rfind("TOML parse error at line 1", 0), 0u) << text << message;
  }
}

TEST(Config, OutOfRangeAndMistypedValuesNameTheKeyAndPlace) {
  struct Case {
    const char* text;
    const char* start;
    const char* detail;
  };
  const std::vector<Case> cases = {
      {"metadata_save_after_operations = 4294967296\n", "TOML parse error at line 1, column 34",
       "invalid value: integer `4294967296`, expected u32 for key `metadata_save_after_operations`"},
      {"\nsegment_size = -1\n", "TOML parse error at line 2, column 16",
       "invalid value: integer `-1`, expected u64 for key `segment_size`"},
      {"segment_size = \"big\"\n", "TOML parse error at line 1, column 16",
       "invalid type: string \"big\", expected u64 for key `segment_size`"},
      {"merge_deleted_ratio = true\n", "TOML parse error at line 1, column 23",
       "invalid type: boolean `true`, expected f64 for key `merge_deleted_ratio`"},
      {"stop_words = [\"a\", 1]\n", "TOML parse error at line 1, column 20",
       "invalid type: integer `1`, expected a string for key `stop_words`"},
      {"stop_words = \"a\"\n", "TOML parse error at line 1, column 14",
       "invalid type: string \"a\", expected a sequence for key `stop_words`"},
      {"index_buffer_size = 1.5\n", "TOML parse error at line 1, column 21",
       "expected u64 for key `index_buffer_size`"},
  };
  for (const auto& c : cases) {
    const std::string message = toml_message(c.text);
    EXPECT_EQ(message.rfind(c.start, 0), 0u) << message;
    EXPECT_NE(message.find(c.detail), std::string::npos) << message;
  }
}

TEST(Config, SyntaxErrorsAndRepeatedKeysAreTomlErrors) {
  for (const char* text : {"segment_size = \n", "segment_size = 1\nsegment_size = 2\n", "[[[",
                           "a = \"unterminated\n"}) {
    const std::string message = toml_message(text);
    EXPECT_EQ(message.rfind("TOML parse error at line ", 0), 0u) << message;
  }
  const std::string repeated = toml_message("segment_size = 1\nsegment_size = 2\n");
  EXPECT_EQ(repeated.rfind("TOML parse error at line 2", 0), 0u) << repeated;
}

TEST(Config, FileProblemsAreIoErrors) {
  const auto dir = std::filesystem::temp_directory_path() / "tarnwick_config_test";
  std::filesystem::create_directories(dir);
  auto missing = Config::load(dir / "missing.toml");
  ASSERT_FALSE(missing.ok());
  ASSERT_EQ(missing.error().kind(), ConfigError::Kind::Io);
  EXPECT_EQ(std::get<utils::IoError>(missing.error().detail).kind, utils::IoErrorKind::NotFound);
  EXPECT_EQ(std::get<utils::IoError>(missing.error().detail).path, dir / "missing.toml");

  auto directory = Config::load(dir);
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(std::get<utils::IoError>(directory.error().detail).kind,
            utils::IoErrorKind::IsADirectory);
  EXPECT_EQ(std::get<utils::IoError>(directory.error().detail).path, dir);

  std::ofstream(dir / "latin1.toml") << "stop_words = [\"caf\xe9\"]\n";
  auto latin1 = Config::load(dir / "latin1.toml");
  ASSERT_FALSE(latin1.ok());
  EXPECT_EQ(std::get<utils::IoError>(latin1.error().detail).kind, utils::IoErrorKind::InvalidData);

  std::ofstream(dir / "good.toml") << "segment_size = 10\n";
  EXPECT_EQ(Config::load(dir / "good.toml")->segment_size, 10u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace tarnwick
