#include "analysis/word_segmenter.hpp"

#include <unicode/ucptrie.h>

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "analysis/word_properties.hpp"

namespace tarnwick::analysis {

namespace {

constexpr Wb class_of(uint8_t value) { return static_cast<Wb>(value & kClassMask); }

constexpr uint32_t bit(Wb c) { return uint32_t{1} << c; }
constexpr bool in(Wb c, uint32_t set) { return (bit(c) & set) != 0; }

constexpr uint32_t kAHLetter = bit(kALetter) | bit(kHebrewLetter);
constexpr uint32_t kMidNumLetQ = bit(kMidNumLet) | bit(kSingleQuote);
constexpr uint32_t kLineBreaks = bit(kCR) | bit(kLF) | bit(kNewline);
constexpr uint32_t kIgnorable = bit(kExtend) | bit(kFormat) | bit(kZWJ);

// On valid arguments the ICU calls made here fail only for lack of memory.
void require(UErrorCode status) {
  if (status == U_MEMORY_ALLOCATION_ERROR) throw std::bad_alloc();
  if (U_FAILURE(status)) std::abort();
}

struct TrieDeleter {
  void operator()(UCPTrie* trie) const { ucptrie_close(trie); }
};

// The table, as make_word_table wrote it when tarnwick was built.
#include "analysis/word_table.inc"

// Class and flags of every code point, in a trie whose lookup ICU fuses with UTF-8 decoding.
// Ill-formed UTF-8 reads as the error value, that of U+FFFD: Other, without flags. Read in place
// from kWordTable.
std::unique_ptr<UCPTrie, TrieDeleter> open_table() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCPTrie, TrieDeleter> opened(
      ucptrie_openFromBinary(UCPTRIE_TYPE_FAST, UCPTRIE_VALUE_BITS_8, kWordTable,
                             static_cast<int32_t>(sizeof kWordTable), nullptr, &status));
  require(status);
  return opened;
}

const UCPTrie* table() {
  static const std::unique_ptr<UCPTrie, TrieDeleter> opened = open_table();
  return opened.get();
}

// Reads the character at `p` and moves `p` past it.
// REQUIRES: p != end.
[[gnu::always_inline]] inline uint8_t next_value(const UCPTrie* trie, const uint8_t*& p,
                                                const uint8_t* end) {
  uint8_t value;
  UCPTRIE_FAST_U8_NEXT(trie, UCPTRIE_8, p, end, value);
  return value;
}

// The class of the first character from `p` on that WB4 would not absorb; kEot if none.
Wb next_significant(const UCPTrie* trie, const uint8_t* p, const uint8_t* end) {
  while (p != end) {
    const Wb c = class_of(next_value(trie, p, end));
    if (!in(c, kIgnorable)) return c;
  }
  return kEot;
}

// The fast path for ASCII. Most text is ASCII, and among ASCII characters the rules come down to
// a few cases that the walk decides from the bytes themselves, without decoding: a run of letters,
// digits and underscores, punctuation that joins two letters or two digits, a run of spaces. Every
// other case, and any byte past U+007F, goes through decide(). No ASCII character is ignorable
// (WB4) or Extended_Pictographic (WB3c).

// Reads the character of the ASCII byte `byte`.
inline uint8_t ascii_value(const UCPTrie* trie, uint8_t byte) {
  return UCPTRIE_ASCII_GET(trie, UCPTRIE_8, byte);
}

// The word characters of ASCII: letters, digits and the underscore.
constexpr uint32_t kWordCharacters = bit(kALetter) | bit(kNumeric) | bit(kExtendNumLet);
// After these, a word character always joins (WB5, WB8, WB9, WB10, WB13a, WB13b)...
constexpr uint32_t kJoinsWordCharacters = kAHLetter | bit(kNumeric) | bit(kExtendNumLet);
// ...and only after these can an ASCII word character join at all (WB7, WB11, WB13a).
constexpr uint32_t kWordContext = kJoinsWordCharacters | bit(kKatakana) | bit(kMidLetter) |
                                  bit(kMidNum) | kMidNumLetQ;

// Runs of word characters are crossed eight bytes at a time, tested at once as the bytes of a
// 64-bit integer.
constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kHighBits = kOnes * 0x80;

// The high bit of each byte of `bytes`, all below 0x80, that lies in [lo, hi].
constexpr uint64_t in_range(uint64_t bytes, uint8_t lo, uint8_t hi) {
  return (bytes + kOnes * (0x80 - lo)) & ~(bytes + kOnes * (0x7F - hi)) & kHighBits;
}

// Moves `p` past the ASCII letters, digits and underscores from it on, and sets `alphanumeric`
// if it passes a letter or digit.
inline const uint8_t* cross_word_characters(const uint8_t* p, const uint8_t* end,
                                            bool& alphanumeric) {
  for (;; p += 8) {
    uint64_t bytes = 0;  // past the end: NUL, no word character
    std::memcpy(&bytes, p, end - p >= 8 ? 8 : static_cast<size_t>(end - p));
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    const uint64_t ascii = ~bytes & kHighBits;
    const uint64_t low = bytes & ~kHighBits;
    const uint64_t letters_digits =
        (in_range(low | kOnes * 0x20, 'a', 'z') | in_range(low, '0', '9')) & ascii;
    const uint64_t word = (letters_digits | in_range(low, '_', '_')) & ascii;
    const uint64_t stops = ~word & kHighBits;
    // The bits below the first stop: the bytes crossed.
    const uint64_t crossed = stops == 0 ? ~uint64_t{0} : (stops & (0 - stops)) - 1;
    alphanumeric |= (letters_digits & crossed) != 0;
    if (stops != 0) return p + std::countr_zero(stops) / 8;
  }
}

// Whether the rules join `middle` to the letter or digit `before` and to `after` (WB6, WB7,
// WB11, WB12), `after` being the character right behind `middle`.
constexpr bool joins_across(Wb before, Wb middle, Wb after) {
  if (in(before, kAHLetter)) {
    return after == kALetter && in(middle, bit(kMidLetter) | kMidNumLetQ);
  }
  return before == kNumeric && after == kNumeric && in(middle, bit(kMidNum) | kMidNumLetQ);
}

enum class Step { kBreak, kJoin, kAbsorb };

// The walk's memory of the text before the boundary being decided.
struct Context {
  Wb raw = kSot;          // the character just before the boundary, as it is
  Wb prev = kSot;         // the last character WB4 did not absorb...
  // ...and the one before that, which only the rules for a letter or digit after punctuation
  // (WB7, WB7c, WB11) read. The fast path, which crosses runs of ASCII and takes in only the
  // last character of each, leaves it wrong where `prev` is no such punctuation.
  Wb before_prev = kSot;
  bool odd_ri = false;    // `prev` ends a run of an odd number of regional indicators

  // Takes in a character that WB4 did not absorb.
  void push(Wb c) {
    odd_ri = c == kRegionalIndicator && !(prev == kRegionalIndicator && odd_ri);
    before_prev = prev;
    prev = raw = c;
  }
};

// The rules in the annex's order, for the boundary before a character of value `value`; `rest`
// is the text after it, which WB6, WB7b and WB12 look into.
[[gnu::always_inline]] inline Step decide(const Context& at, uint8_t value, const UCPTrie* trie,
                                          const uint8_t* rest, const uint8_t* end) {
  const Wb c = class_of(value);
  if (at.raw == kCR && c == kLF) return Step::kJoin;                              // WB3
  if (in(at.raw, kLineBreaks) || in(c, kLineBreaks)) return Step::kBreak;        // WB3a, WB3b
  if (at.raw == kZWJ && (value & kExtendedPictographic)) return Step::kJoin;     // WB3c
  if (at.raw == kWSegSpace && c == kWSegSpace) return Step::kJoin;               // WB3d
  if (in(c, kIgnorable)) return Step::kAbsorb;                                   // WB4

  // From here on the rules see the text with absorbed characters removed.
  const Wb prev = at.prev;
  bool join = false;
  switch (c) {
    case kALetter:
    case kHebrewLetter:
      join = in(prev, kAHLetter) ||                                                // WB5
             (in(prev, bit(kMidLetter) | kMidNumLetQ) && in(at.before_prev, kAHLetter)) ||  // WB7
             (c == kHebrewLetter && prev == kDoubleQuote &&
              at.before_prev == kHebrewLetter) ||                                   // WB7c
             prev == kNumeric ||                                                    // WB10
             prev == kExtendNumLet;                                                 // WB13b
      break;
    case kNumeric:
      join = prev == kNumeric ||                                                   // WB8
             in(prev, kAHLetter) ||                                                // WB9
             (in(prev, bit(kMidNum) | kMidNumLetQ) && at.before_prev == kNumeric) ||  // WB11
             prev == kExtendNumLet;                                                // WB13b
      break;
    case kKatakana:
      join = prev == kKatakana || prev == kExtendNumLet;                           // WB13, WB13b
      break;
    case kExtendNumLet:
      join = in(prev, kAHLetter | bit(kNumeric) | bit(kKatakana) | bit(kExtendNumLet));  // WB13a
      break;
    case kMidLetter:
    case kMidNumLet:
    case kSingleQuote:
    case kMidNum:
      if (c == kSingleQuote && prev == kHebrewLetter) {
        join = true;  // WB7a
      } else if (in(prev, kAHLetter) && c != kMidNum) {
        join = in(next_significant(trie, rest, end), kAHLetter);  // WB6
      } else if (prev == kNumeric && c != kMidLetter) {
        join = next_significant(trie, rest, end) == kNumeric;  // WB12
      }
      break;
    case kDoubleQuote:
      join = prev == kHebrewLetter &&
             next_significant(trie, rest, end) == kHebrewLetter;  // WB7b
      break;
    case kRegionalIndicator:
      join = prev == kRegionalIndicator && at.odd_ri;  // WB15, WB16
      break;
    default:
      break;
  }
  return join ? Step::kJoin : Step::kBreak;  // WB999
}

template <bool kWordsOnly>
void walk(std::string_view text, bool ascii_fast_path,
          absl::FunctionRef<void(std::string_view)> visit) {
  const UCPTrie* const trie = table();
  const auto* const begin = reinterpret_cast<const uint8_t*>(text.data());
  const auto* const end = begin + text.size();
  const uint8_t* segment = begin;
  bool alphanumeric = false;
  auto emit = [&](const uint8_t* until) {
    if (!kWordsOnly || alphanumeric) {
      visit(text.substr(static_cast<size_t>(segment - begin),
                        static_cast<size_t>(until - segment)));
    }
    segment = until;
    alphanumeric = false;
  };

  Context context;
  const uint8_t* p = begin;
  auto is_ascii = [&](const uint8_t* at) { return at != end && *at < 0x80; };
  auto ascii_class = [&](uint8_t byte) { return class_of(ascii_value(trie, byte)); };

  // The fast path: crosses the run of ASCII that starts at `p` and moves `p` past it, or returns
  // false with the character at `p` left to decide().
  auto cross_ascii = [&] {
    const Wb c = ascii_class(*p);
    if (c == kWSegSpace) {
      if (context.raw != kWSegSpace) emit(p);  // WB3d
      do ++p; while (is_ascii(p) && ascii_class(*p) == kWSegSpace);
      context.push(c);
      return true;
    }
    if (!in(c, kWordCharacters)) return false;
    if (!in(context.prev, kJoinsWordCharacters)) {
      if (in(context.prev, kWordContext)) return false;
      emit(p);
    }
    // The run: word characters, and the punctuation that joins two of them.
    for (;;) {  // at a word character, which the crossing starts after so as to move on
      alphanumeric |= (ascii_value(trie, *p) & kAlphanumeric) != 0;
      p = cross_word_characters(p + 1, end, alphanumeric);
      if (!is_ascii(p) || !is_ascii(p + 1) ||
          !joins_across(ascii_class(p[-1]), ascii_class(*p), ascii_class(p[1]))) {
        break;
      }
      ++p;
    }
    context.push(ascii_class(p[-1]));
    return true;
  };

  if (p != end) {  // WB1: no boundary before the first character
    const uint8_t value = next_value(trie, p, end);
    alphanumeric = (value & kAlphanumeric) != 0;
    context.push(class_of(value));
  }
  while (p != end) {
    if (ascii_fast_path && *p < 0x80 && cross_ascii()) continue;
    const uint8_t* const at = p;
    const uint8_t value = next_value(trie, p, end);
    const Step step = decide(context, value, trie, p, end);
    if (step == Step::kBreak) emit(at);
    alphanumeric |= (value & kAlphanumeric) != 0;
    if (step == Step::kAbsorb) {
      context.raw = class_of(value);
    } else {
      context.push(class_of(value));
    }
  }
  if (segment != end) emit(end);  // WB2
}

}  // namespace

WordSegmenter::WordSegmenter(Ascii ascii) : ascii_(ascii) { (void)table(); }

void WordSegmenter::for_each_segment(std::string_view text,
                                     absl::FunctionRef<void(std::string_view)> visit) const {
  walk<false>(text, ascii_ == Ascii::kFastPath, visit);
}

void WordSegmenter::for_each_word(std::string_view text,
                                  absl::FunctionRef<void(std::string_view)> visit) const {
  walk<true>(text, ascii_ == Ascii::kFastPath, visit);
}

}  // namespace tarnwick::analysis
