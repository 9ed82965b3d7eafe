#include "analysis/word_spans.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analysis/tokenizer.hpp"

namespace tarnwick::analysis {
namespace {

// Code points in well-formed UTF-8: every byte that does not continue a sequence starts one.
size_t chars_in(std::string_view bytes) {
  size_t count = 0;
  for (char c : bytes) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// Every position tokenize_doc hands out is found again on a word whose stem is the one at that
// position, at the right code point offsets.
TEST(WordSpans, FindTheWordsTokenizeDocNumbered) {
  const StopWords stop_words = {"the", "of", "a"};
  const std::vector<std::string> texts = {
      "The history of Running, the 3.14 runs of École",
      "THE cat's e-mail: user@example.com; snake_case x86_64 don’t",
      "東京タワー and Ünïcode 😀 text, the end",
      "a a a word a",
      "  leading space\n\tand tabs\r\n",
      "",
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    Tokenizer tokenizer(std::make_shared<const StopWords>(stop_words));
    const DocumentTokens doc = tokenizer.tokenize_doc(text);
    for (const DocumentStem& stem : doc.stems) {
      const auto at = doc.positions_of(stem);
      const auto spans = word_spans(text, stop_words, at);
      ASSERT_EQ(spans.size(), at.size());
      for (size_t i = 0; i < at.size(); ++i) {
        ASSERT_TRUE(spans[i]) << stem.text << " at " << at[i];
        const std::string_view word =
            std::string_view(text).substr(spans[i]->byte_begin,
                                          spans[i]->byte_end - spans[i]->byte_begin);
        const DocumentTokens alone = tokenizer.tokenize_doc(word);
        ASSERT_EQ(alone.stems.size(), 1u) << word;
        EXPECT_EQ(alone.stems[0].text, stem.text) << word;
        EXPECT_EQ(spans[i]->char_begin, chars_in(text.substr(0, spans[i]->byte_begin)));
        EXPECT_EQ(spans[i]->char_end, spans[i]->char_begin + chars_in(word));
      }
    }
  }
}

TEST(WordSpans, PositionsInAnyOrderRepeatedOrPastTheEnd) {
  const std::string text = "Ünïcode 東京 the fox";  // kept: Ünïcode 東 京 fox
  const std::vector<uint32_t> positions = {3, 0, 3, 4, 2};
  const auto spans = word_spans(text, {"the"}, positions);
  ASSERT_EQ(spans.size(), 5u);
  ASSERT_TRUE(spans[0] && spans[1] && spans[2] && spans[4]);
  EXPECT_EQ(spans[0]->char_begin, 15u);  // fox: after "Ünïcode 東京 the "
  EXPECT_EQ(spans[0]->char_end, 18u);
  EXPECT_EQ(spans[1]->char_begin, 0u);
  EXPECT_EQ(spans[1]->char_end, 7u);
  EXPECT_EQ(spans[1]->byte_end, 9u);  // Ü and ï take two bytes each
  EXPECT_EQ(spans[2]->char_begin, 15u);
  EXPECT_FALSE(spans[3]);  // there is no fifth word
  EXPECT_EQ(spans[4]->char_begin, 9u);  // 京
  EXPECT_EQ(spans[4]->byte_end, spans[4]->byte_begin + 3);
}

// A stop word is recognised as written with A to Z lower-cased, as the tokenizer does.
TEST(WordSpans, StopWordsAreMatchedAfterAsciiLowerCasing) {
  const auto spans = word_spans("THE Über the über", {"the", "über"}, std::vector<uint32_t>{0, 1});
  ASSERT_TRUE(spans[0]);
  EXPECT_EQ(spans[0]->char_begin, 4u);  // Über is no stop word: Ü is not folded
  EXPECT_FALSE(spans[1]);
}

}  // namespace
}  // namespace tarnwick::analysis
