#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_bytes.hpp"
#include "storage/codec/block.hpp"
#include "utils/file.hpp"

namespace tarnwick::storage {
namespace {

using test_support::bytes;

utils::Result<std::string, DecompressError> decompress(std::string_view block) {
  return decompress_block(utils::as_bytes(block));
}

std::string compress(std::string_view text) {
  std::string out;
  EXPECT_TRUE(compress_block(text, out).ok());
  return out;
}

TEST(Block, RoundTripsEmptyRepetitiveAndIncompressibleTexts) {
  std::mt19937 random(7);
  std::string noise(100000, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  std::string repetitive;
  for (int i = 0; i < 5000; ++i) repetitive += "the quick brown fox " + std::to_string(i % 7);
  for (const std::string& text : {std::string(), std::string("a"), repetitive, noise}) {
    const std::string block = compress(text);
    const uint32_t n = static_cast<uint8_t>(block[0]) | static_cast<uint8_t>(block[1]) << 8 |
                       static_cast<uint8_t>(block[2]) << 16 | static_cast<uint8_t>(block[3]) << 24;
    EXPECT_EQ(n, text.size());
    EXPECT_LE(block.size(), 4 + text.size() * 110 / 100 + 20);
    auto back = decompress(block);
    ASSERT_TRUE(back.ok()) << back.error().message;
    EXPECT_EQ(*back, text);
  }
  EXPECT_LT(compress(repetitive).size(), repetitive.size() / 10);
  EXPECT_EQ(compress("").substr(0, 4), bytes({0, 0, 0, 0}));
}

TEST(Block, AppendsAfterWhatTheBufferHolds) {
  std::string out = "xyz";
  ASSERT_TRUE(compress_block("hello", out).ok());
  EXPECT_EQ(out.substr(0, 3), "xyz");
  EXPECT_EQ(*decompress(std::string_view(out).substr(3)), "hello");
}

TEST(Block, DamagedBlocksFailWithTheirTexts) {
  struct Case {
    std::string block;
    const char* message;
  };
  const std::vector<Case> cases = {
      {bytes({}), "expected another byte, found none"},
      {bytes({5, 0, 0}), "expected another byte, found none"},
      {bytes({10, 0, 0, 0}), "expected another byte, found none"},
      {bytes({10, 0, 0, 0, 0x50, 'a', 'b'}), "literal is out of bounds of the input"},
      {bytes({10, 0, 0, 0, 0x10, 'a', 0x00, 0x00}),
       "the offset to copy is not contained in the decompressed buffer"},
      {bytes({10, 0, 0, 0, 0x10, 'a', 0x02, 0x00}),
       "the offset to copy is not contained in the decompressed buffer"},
      {bytes({10, 0, 0, 0, 0x10, 'a', 0x01}), "expected another byte, found none"},
      {bytes({10, 0, 0, 0, 0xF0}), "expected another byte, found none"},
      {bytes({3, 0, 0, 0, 0x50, 'a', 'b', 'c', 'd', 'e'}),
       "provided output is too small for the decompressed data, actual 3, expected 5"},
      {bytes({3, 0, 0, 0, 0x1F, 'a', 0x01, 0x00, 0x00}),
       "provided output is too small for the decompressed data, actual 3, expected 20"},
  };
  for (const auto& c : cases) {
    auto result = decompress(c.block);
    ASSERT_FALSE(result.ok()) << c.message;
    EXPECT_EQ(result.error().message, c.message);
  }
}

TEST(Block, EveryProperPrefixOfARealBlockFailsOrGivesAShorterText) {
  // A cut that falls just after a literal run is itself a well-formed, shorter block.
  const std::string text = "abcabcabcabcabcabcabcabc the end of a text";
  const std::string block = compress(text);
  int failures = 0;
  for (size_t n = 0; n < block.size(); ++n) {
    auto result = decompress(std::string_view(block).substr(0, n));
    if (!result.ok()) {
      ++failures;
      continue;
    }
    EXPECT_LT(result->size(), text.size()) << n;
    EXPECT_EQ(text.substr(0, result->size()), *result) << n;
  }
  EXPECT_GT(failures, static_cast<int>(block.size()) / 2);
}

TEST(Block, ShortOutputIsReturnedWithoutError) {
  EXPECT_EQ(*decompress(bytes({10, 0, 0, 0, 0x30, 'a', 'b', 'c'})), "abc");
}

TEST(Block, OverlappingMatchAtTheVeryEndStillDecodes) {
  // One literal, a nine-byte match at offset 1, then an empty last sequence: a valid block even
  // though the match ends inside the last bytes of the output.
  EXPECT_EQ(*decompress(bytes({10, 0, 0, 0, 0x15, 'a', 0x01, 0x00, 0x00})), "aaaaaaaaaa");
}

TEST(Block, PrefixBeyondAnyPossibleExpansionIsRefusedBeforeAllocating) {
  auto result = decompress(bytes({0xFF, 0xFF, 0xFF, 0xFF, 0x00}));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error().message,
            "provided output is too small for the decompressed data, actual 271, expected "
            "4294967295");
}

}  // namespace
}  // namespace tarnwick::storage
