#include "analysis/word_segmenter.hpp"

#include <gtest/gtest.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::analysis {
namespace {

std::vector<std::string> segments(const WordSegmenter& segmenter, std::string_view text) {
  std::vector<std::string> out;
  segmenter.for_each_segment(text, [&](std::string_view s) { out.emplace_back(s); });
  return out;
}

std::vector<std::string> words(const WordSegmenter& segmenter, std::string_view text) {
  std::vector<std::string> out;
  segmenter.for_each_word(text, [&](std::string_view s) { out.emplace_back(s); });
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

using Segments = std::vector<std::string>;

// The rules that look past the next character, over runs longer than the conformance file's.
TEST(WordSegmenter, LooksAcrossIgnorablesAndStopsAtTheEnd) {
  WordSegmenter segmenter;
  // WB6, WB7 and WB11, WB12 across several absorbed marks, format characters and joiners.
  EXPECT_EQ(segments(segmenter, "a\u0308\u00ad'\u200d\u0301b"),
            (Segments{"a\u0308\u00ad'\u200d\u0301b"}));
  EXPECT_EQ(segments(segmenter, "1\u00ad,\u00ad\u00ad2"), (Segments{"1\u00ad,\u00ad\u00ad2"}));
  // With nothing after the middle character, or only marks, it stands alone.
  EXPECT_EQ(segments(segmenter, "a'"), (Segments{"a", "'"}));
  EXPECT_EQ(segments(segmenter, "1.\u0308\u0308"), (Segments{"1", ".\u0308\u0308"}));
  EXPECT_EQ(segments(segmenter, "a'\n"), (Segments{"a", "'", "\n"}));
  // WB7b, WB7c: a double quote only between Hebrew letters.
  EXPECT_EQ(segments(segmenter, "\u05d0\"\u05d1 a\"b"),
            (Segments{"\u05d0\"\u05d1", " ", "a", "\"", "b"}));
  // A mark right after a line break is not absorbed, and the next letter breaks from it.
  EXPECT_EQ(segments(segmenter, "\n\u0308\u0308a"), (Segments{"\n", "\u0308\u0308", "a"}));
}

TEST(WordSegmenter, RegionalIndicatorsPairFromTheStartOfTheirRun) {
  WordSegmenter segmenter;
  const std::string a = "\U0001F1E6", c = "\U0001F1E8";
  EXPECT_EQ(segments(segmenter, a + c + a + c + a + c + a),
            (Segments{a + c, a + c, a + c, a}));
  // Absorbed marks do not count; any other character starts a new run.
  EXPECT_EQ(segments(segmenter, a + "\u0308" + c + a + "x" + a + c + a),
            (Segments{a + "\u0308" + c, a, "x", a + c, a}));
}

TEST(WordSegmenter, WordsAreTheSegmentsHoldingAnAlphanumeric) {
  WordSegmenter segmenter;
  auto words = [&](std::string_view text) { return analysis::words(segmenter, text); };
  EXPECT_EQ(words("Hi, 3.14 \u2014 \U0001F600 \u6771\u3000\u00bd_ x_1 \u216b"),
            (Segments{"Hi", "3.14", "\u6771", "\u00bd", "x_1", "\u216b"}));
  // U+0345 is an Alphabetic combining mark: absorbed into the blank before it, it makes that
  // segment a word.
  EXPECT_EQ(words("a \u0345"), (Segments{"a", " \u0345"}));
  EXPECT_EQ(words("\u0301 \xef\xbf\xbd \xff . \u00a0"), Segments{});
  EXPECT_TRUE(words("").empty());
}

TEST(WordSegmenter, IllFormedUtf8ReadsAsOneReplacementPerBadSequence) {
  WordSegmenter segmenter;
  // Each bad sequence is a character of class Other: "\xe2\x82" is one (a truncated
  // three-byte sequence), "\xff\xfe" two, and an encoded surrogate three.
  EXPECT_EQ(segments(segmenter, "ab\xff\xfe" "cd\xe2\x82 \xc3"),
            (Segments{"ab", "\xff", "\xfe", "cd", "\xe2\x82", " ", "\xc3"}));
  EXPECT_EQ(segments(segmenter, "a\xed\xa0\x80z"), (Segments{"a", "\xed", "\xa0", "\x80", "z"}));
  EXPECT_TRUE(segments(segmenter, "").empty());
}

// The ASCII fast path against the full rules read character by character.
void expect_same_cuts(std::string_view text) {
  static const WordSegmenter fast(WordSegmenter::Ascii::kFastPath);
  static const WordSegmenter decoded(WordSegmenter::Ascii::kDecodeAll);
  EXPECT_EQ(segments(fast, text), segments(decoded, text)) << text;
  EXPECT_EQ(words(fast, text), words(decoded, text)) << text;
}

// Texts strung together from pieces that the fast path decides on its own (ASCII letters,
// digits, underscores, spaces, the punctuation that joins letters or digits) and pieces that
// need the full rules: other ASCII, line breaks, and beyond ASCII letters, digits, punctuation,
// marks and joiners of every class the rules tell apart, emoji, ideographs, ill-formed bytes.
TEST(WordSegmenter, AsciiFastPathCutsAsTheFullRulesOnRandomText) {
  constexpr std::string_view kAscii[] = {
      "a", "Z", "q", "7", "0", "_", " ", " ", "'", ".", ",", ":", ";", "\"", "-", "@", "\t",
      "\n", "\r", "\v",
  };
  constexpr std::string_view kOthers[] = {
      "\u00e9",          // é: a letter of two bytes
      "\u0301",          // combining acute accent: Extend
      "\u00ad",          // soft hyphen: Format
      "\u200d",          // zero-width joiner
      "\u05d0",          // Hebrew letter alef
      "\u0663",          // Arabic-Indic digit three: Numeric
      "\u2019",          // right single quotation mark: MidNumLet
      "\u00b7",          // middle dot: MidLetter
      "\u066c",          // Arabic thousands separator: MidNum
      "\u203f",          // undertie: ExtendNumLet
      "\u3000",          // ideographic space: WSegSpace
      "\u00a0",          // no-break space: Other
      "\u0085",          // next line: Newline
      "\u2764",          // heavy black heart: Extended_Pictographic
      "\U0001F1E6",      // regional indicator A
      "\u6771",          // an ideograph
      "\u30ab",          // Katakana ka
      "\u0345",          // an Alphabetic combining mark
      "\u00bd",          // vulgar fraction one half: a number, not Numeric
      "\xff",            // ill-formed
      "\xe2\x82",        // a truncated sequence
  };
  std::mt19937 random(29);
  // Mostly ASCII, as real text is, so that ASCII runs meet the other pieces at both ends.
  std::bernoulli_distribution ascii(0.8);
  std::uniform_int_distribution<size_t> length(0, 24), ascii_piece(0, std::size(kAscii) - 1),
      other_piece(0, std::size(kOthers) - 1);
  for (int i = 0; i < 100000; ++i) {
    std::string text;
    for (size_t n = length(random); n > 0; --n) {
      text += ascii(random) ? kAscii[ascii_piece(random)] : kOthers[other_piece(random)];
    }
    expect_same_cuts(text);
    if (HasFailure()) return;  // one text is enough to see a fault
  }
}

// Every pair of ASCII characters, between letters, digits, spaces and characters beyond ASCII.
TEST(WordSegmenter, AsciiFastPathCutsAsTheFullRulesOnEveryAsciiPair) {
  for (const std::string_view before : {"a", "1", "_", " ", "\u00e9", "\u0301"}) {
    for (const std::string_view after : {"b", "2", " ", "\u0663", ""}) {
      for (int first = 0; first < 0x80; ++first) {
        for (int second = 0; second < 0x80; ++second) {
          std::string text(before);
          text += static_cast<char>(first);
          text += static_cast<char>(second);
          expect_same_cuts(text.append(after));
          if (HasFailure()) return;
        }
      }
    }
  }
}

// Prose, markup and code of the project's own files.
TEST(WordSegmenter, AsciiFastPathCutsAsTheFullRulesOnRealText) {
  const std::filesystem::path root = std::filesystem::path(TARNWICK_TEST_DATA) / ".." / "..";
  for (const char* name : {"README.md", "src/analysis/word_segmenter.cpp",
                           "tests/data/WordBreakTest-17.0.txt"}) {
    std::ifstream file(root / name, std::ios::binary);
    ASSERT_TRUE(file) << name;
    std::ostringstream text;
    text << file.rdbuf();
    expect_same_cuts(text.str());
  }
}

}  // namespace
}  // namespace tarnwick::analysis
