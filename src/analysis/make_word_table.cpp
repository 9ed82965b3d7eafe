// make_word_table: writes the word segmenter's property table, built from the linked ICU, as a
// C++ array for word_segmenter.cpp to include. Run when tarnwick is built: ICU takes about 5 ms
// to compute the properties behind the table, which every process would otherwise pay on its
// first segmentation. The table follows the Unicode version of the ICU built against, the same
// ICU the library links.
//
// Usage: make_word_table OUTPUT
#include <unicode/uchar.h>
#include <unicode/ucpmap.h>
#include <unicode/ucptrie.h>
#include <unicode/umutablecptrie.h>
#include <unicode/uset.h>
#include <unicode/uversion.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "analysis/word_properties.hpp"

namespace {

using namespace tarnwick::analysis;

Wb from_icu(int32_t value) {
  switch (value) {
    case U_WB_ALETTER: return kALetter;
    case U_WB_HEBREW_LETTER: return kHebrewLetter;
    case U_WB_NUMERIC: return kNumeric;
    case U_WB_KATAKANA: return kKatakana;
    case U_WB_EXTENDNUMLET: return kExtendNumLet;
    case U_WB_MIDLETTER: return kMidLetter;
    case U_WB_MIDNUM: return kMidNum;
    case U_WB_MIDNUMLET: return kMidNumLet;
    case U_WB_SINGLE_QUOTE: return kSingleQuote;
    case U_WB_DOUBLE_QUOTE: return kDoubleQuote;
    case U_WB_REGIONAL_INDICATOR: return kRegionalIndicator;
    case U_WB_CR: return kCR;
    case U_WB_LF: return kLF;
    case U_WB_NEWLINE: return kNewline;
    case U_WB_EXTEND: return kExtend;
    case U_WB_FORMAT: return kFormat;
    case U_WB_ZWJ: return kZWJ;
    case U_WB_WSEGSPACE: return kWSegSpace;
    default: return kOther;
  }
}

bool failed(UErrorCode status) {
  if (U_FAILURE(status)) std::fprintf(stderr, "make_word_table: %s\n", u_errorName(status));
  return U_FAILURE(status);
}

struct MutableTrieDeleter {
  void operator()(UMutableCPTrie* trie) const { umutablecptrie_close(trie); }
};
struct TrieDeleter {
  void operator()(UCPTrie* trie) const { ucptrie_close(trie); }
};
struct SetDeleter {
  void operator()(USet* set) const { uset_close(set); }
};

// Sets `flag` on every code point of `set`, keeping the values already there.
bool add_flag(UMutableCPTrie* trie, const USet* set, uint8_t flag) {
  UErrorCode status = U_ZERO_ERROR;
  for (int32_t i = 0, n = uset_getRangeCount(set); i < n; ++i) {
    UChar32 start, end;
    uset_getItem(set, i, &start, &end, nullptr, 0, &status);
    if (failed(status)) return false;
    while (start <= end) {
      uint32_t value;
      const UChar32 run_end = std::min(
          umutablecptrie_getRange(trie, start, UCPMAP_RANGE_NORMAL, 0, nullptr, nullptr, &value),
          end);
      umutablecptrie_setRange(trie, start, run_end, value | flag, &status);
      if (failed(status)) return false;
      start = run_end + 1;
    }
  }
  return true;
}

// Class and flags of every code point, in a trie whose lookup ICU fuses with UTF-8 decoding.
// Ill-formed UTF-8 reads as the error value, that of U+FFFD: Other, without flags.
std::unique_ptr<UCPTrie, TrieDeleter> build_table() {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UMutableCPTrie, MutableTrieDeleter> table(
      umutablecptrie_open(kOther, kOther, &status));
  if (failed(status)) return nullptr;

  const UCPMap* word_break = u_getIntPropertyMap(UCHAR_WORD_BREAK, &status);
  if (failed(status)) return nullptr;
  uint32_t value;
  for (UChar32 start = 0, end;
       (end = ucpmap_getRange(word_break, start, UCPMAP_RANGE_NORMAL, 0, nullptr, nullptr,
                              &value)) >= 0;
       start = end + 1) {
    umutablecptrie_setRange(table.get(), start, end, from_icu(static_cast<int32_t>(value)),
                            &status);
    if (failed(status)) return nullptr;
  }

  const USet* pictographic = u_getBinaryPropertySet(UCHAR_EXTENDED_PICTOGRAPHIC, &status);
  if (failed(status) || !add_flag(table.get(), pictographic, kExtendedPictographic)) {
    return nullptr;
  }

  std::unique_ptr<USet, SetDeleter> alphanumeric(uset_openEmpty());
  uset_applyIntPropertyValue(alphanumeric.get(), UCHAR_GENERAL_CATEGORY_MASK, U_GC_N_MASK,
                             &status);
  if (failed(status)) return nullptr;
  uset_addAll(alphanumeric.get(), u_getBinaryPropertySet(UCHAR_ALPHABETIC, &status));
  if (failed(status) || !add_flag(table.get(), alphanumeric.get(), kAlphanumeric)) return nullptr;

  std::unique_ptr<UCPTrie, TrieDeleter> built(umutablecptrie_buildImmutable(
      table.get(), UCPTRIE_TYPE_FAST, UCPTRIE_VALUE_BITS_8, &status));
  if (failed(status)) return nullptr;
  return built;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_word_table OUTPUT\n");
    return 2;
  }
  const auto table = build_table();
  if (!table) return 1;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t size = ucptrie_toBinary(table.get(), nullptr, 0, &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && failed(status)) return 1;
  std::vector<uint8_t> bytes(static_cast<size_t>(size));
  status = U_ZERO_ERROR;
  ucptrie_toBinary(table.get(), bytes.data(), size, &status);
  if (failed(status)) return 1;

  // Written beside the output and renamed over it, so that a failed run leaves none behind.
  const std::string written = std::string(argv[1]) + ".part";
  std::FILE* out = std::fopen(written.c_str(), "w");
  if (out == nullptr) {
    std::perror(written.c_str());
    return 1;
  }
  std::fprintf(out, "// Written by make_word_table from ICU %s (Unicode %s).\n",
               U_ICU_VERSION, U_UNICODE_VERSION);
  std::fprintf(out, "alignas(8) constexpr uint8_t kWordTable[] = {");
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::fprintf(out, "%s0x%02x,", i % 16 == 0 ? "\n    " : " ", bytes[i]);
  }
  std::fprintf(out, "\n};\n");
  if (std::fclose(out) != 0 || std::rename(written.c_str(), argv[1]) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
