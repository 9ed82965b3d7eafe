#include "analysis/word_segmenter.hpp"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::analysis {
namespace {

std::vector<std::string> segments(WordSegmenter& segmenter, std::string_view text) {
  std::vector<std::string> out;
  segmenter.for_each_segment(text, [&](std::string_view s) { out.emplace_back(s); });
  return out;
}

void append_utf8(std::string& out, UChar32 c) {
  char buffer[U8_MAX_LENGTH];
  size_t length = 0;
  U8_APPEND_UNSAFE(buffer, length, c);
  out.append(buffer, length);
}

// One line of the conformance file: "÷ 0041 × 0308 ÷ 0020 ÷ # comment", where ÷ marks a
// boundary and × its absence. Returns the expected segments.
std::vector<std::string> expected_segments(const std::string& line) {
  std::istringstream fields(line.substr(0, line.find('#')));
  std::vector<std::string> out;
  std::string field, current;
  while (fields >> field) {
    if (field == "÷") {
      if (!current.empty()) out.push_back(current);
      current.clear();
    } else if (field != "×") {
      append_utf8(current, static_cast<UChar32>(std::stoul(field, nullptr, 16)));
    }
  }
  return out;
}

TEST(WordSegmenter, PassesTheUnicodeConformanceTestOfItsVersion) {
  const auto path = std::filesystem::path(TARNWICK_TEST_DATA) /
                    ("WordBreakTest-" + std::string(U_UNICODE_VERSION) + ".txt");
  std::ifstream file(path);
  if (!file) GTEST_SKIP() << "no conformance file for Unicode " << U_UNICODE_VERSION;
  WordSegmenter segmenter;
  int cases = 0;
  for (std::string line; std::getline(file, line);) {
    if (line.empty() || line[0] == '#') continue;
    const std::vector<std::string> want = expected_segments(line);
    std::string text;
    for (const auto& s : want) text += s;
    EXPECT_EQ(segments(segmenter, text), want) << line;
    ++cases;
  }
  EXPECT_GT(cases, 1000);
}

TEST(WordSegmenter, FollowsTheAnnexWhereIcuTailorsIt) {
  WordSegmenter segmenter;
  // A colon is MidLetter, '@' is no letter, Han, Hiragana and Thai letters stand alone.
  EXPECT_EQ(segments(segmenter, "a:b"), (std::vector<std::string>{"a:b"}));
  EXPECT_EQ(segments(segmenter, "a@b"), (std::vector<std::string>{"a", "@", "b"}));
  EXPECT_EQ(segments(segmenter, "東京都"), (std::vector<std::string>{"東", "京", "都"}));
  EXPECT_EQ(segments(segmenter, "ひらがな"), (std::vector<std::string>{"ひ", "ら", "が", "な"}));
  EXPECT_EQ(segments(segmenter, "ไทย"), (std::vector<std::string>{"ไ", "ท", "ย"}));
  // Katakana runs stay together (WB13).
  EXPECT_EQ(segments(segmenter, "カタカナ"), (std::vector<std::string>{"カタカナ"}));
}

TEST(WordSegmenter, KeepsWordInternalPunctuationOfTheAnnex) {
  WordSegmenter segmenter;
  EXPECT_EQ(segments(segmenter, "can't 3.14 e-mail"),
            (std::vector<std::string>{"can't", " ", "3.14", " ", "e", "-", "mail"}));
  EXPECT_EQ(segments(segmenter, "don\u2019t"), (std::vector<std::string>{"don\u2019t"}));
}

TEST(WordSegmenter, PiecesOfLongTextAreCutAfterLineFeeds) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "can't wait, 3.14\r\né\u0301cole 🇫🇷🇩🇪\n";
  WordSegmenter whole;
  WordSegmenter windowed(64);
  EXPECT_EQ(segments(windowed, text), segments(whole, text));
}

TEST(WordSegmenter, TextWithoutLineFeedIsCutAtCharacterStarts) {
  std::string text;
  for (int i = 0; i < 100; ++i) text += "éé€😀 ";
  WordSegmenter windowed(7);
  std::string joined;
  for (const auto& s : segments(windowed, text)) {
    EXPECT_FALSE(s.empty());
    // Every segment starts at a character: no piece begins inside a sequence.
    EXPECT_NE(static_cast<uint8_t>(s[0]) & 0xC0, 0x80) << s;
    joined += s;
  }
  EXPECT_EQ(joined, text);
}

TEST(WordSegmenter, IllFormedUtf8IsCoveredWithoutGaps) {
  WordSegmenter segmenter;
  const std::string text = "ab\xff\xfe" "cd\xe2\x82 \xc3";
  std::string joined;
  for (const auto& s : segments(segmenter, text)) joined += s;
  EXPECT_EQ(joined, text);
  EXPECT_TRUE(segments(segmenter, "").empty());
}

}  // namespace
}  // namespace tarnwick::analysis
