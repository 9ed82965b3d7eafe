// The value the word segmenter's property table holds for each code point: its Word_Break class
// as the rules distinguish them, and two flags. Shared by the segmenter and by make_word_table,
// which builds the table from the linked ICU when tarnwick is built.
#pragma once

#include <cstdint>

namespace tarnwick::analysis {

// The Word_Break classes the rules distinguish. The values ICU still defines for the emoji
// classes that Unicode 11 retired have no characters and read as Other.
enum Wb : uint8_t {
  kOther,
  kALetter,
  kHebrewLetter,
  kNumeric,
  kKatakana,
  kExtendNumLet,
  kMidLetter,
  kMidNum,
  kMidNumLet,
  kSingleQuote,
  kDoubleQuote,
  kRegionalIndicator,
  kCR,
  kLF,
  kNewline,
  kExtend,
  kFormat,
  kZWJ,
  kWSegSpace,
  kSot,  // no character: what precedes the first one
  kEot,  // no character: what follows the last one
};

// One byte per code point in the table: the class, and two flags.
inline constexpr uint8_t kClassMask = 0x1F;
inline constexpr uint8_t kExtendedPictographic = 0x20;
inline constexpr uint8_t kAlphanumeric = 0x40;

}  // namespace tarnwick::analysis
