// Tokenizes arbitrary bytes as a document. Besides not crashing: the segments are non-empty and
// tile the input, the visited words are some of those segments in order, every position below
// the document's length belongs to exactly one stem (ascending within it), and a tokenizer that
// has met earlier inputs returns what a new one does.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "analysis/tokenizer.hpp"
#include "analysis/word_segmenter.hpp"

namespace {

using tarnwick::analysis::DocumentStem;
using tarnwick::analysis::DocumentTokens;
using tarnwick::analysis::Tokenizer;
using tarnwick::analysis::WordSegmenter;

void check_segments(std::string_view text) {
  const WordSegmenter segmenter;
  std::vector<std::string_view> segments;
  size_t covered = 0;
  segmenter.for_each_segment(text, [&](std::string_view segment) {
    if (segment.empty() || segment.data() != text.data() + covered) __builtin_trap();
    covered += segment.size();
    segments.push_back(segment);
  });
  if (covered != text.size()) __builtin_trap();
  size_t next = 0;
  segmenter.for_each_word(text, [&](std::string_view word) {
    while (next < segments.size() && segments[next].data() != word.data()) ++next;
    if (next == segments.size() || segments[next].size() != word.size()) __builtin_trap();
    ++next;
  });
}

void check_positions(const DocumentTokens& doc) {
  std::vector<bool> seen(doc.length);
  for (const DocumentStem& stem : doc.stems) {
    const auto positions = doc.positions_of(stem);
    if (stem.text.empty() || positions.empty()) __builtin_trap();
    for (size_t i = 0; i < positions.size(); ++i) {
      const uint32_t at = positions[i];
      if (at >= doc.length || seen[at] || (i > 0 && positions[i - 1] >= at)) __builtin_trap();
      seen[at] = true;
    }
  }
  for (const bool taken : seen) {
    if (!taken) __builtin_trap();
  }
}

// The same stems in the same order with the same positions; the numbers of the stems are each
// tokenizer's own.
bool same_stems(const DocumentTokens& a, const DocumentTokens& b) {
  if (a.length != b.length || a.positions != b.positions || a.stems.size() != b.stems.size()) {
    return false;
  }
  for (size_t i = 0; i < a.stems.size(); ++i) {
    if (a.stems[i].text != b.stems[i].text || a.stems[i].first != b.stems[i].first ||
        a.stems[i].count != b.stems[i].count) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  static const auto stop_words =
      std::make_shared<const tarnwick::StopWords>(tarnwick::default_stop_words());
  static Tokenizer remembering(stop_words);  // keeps its memo of spellings from input to input

  check_segments(text);
  Tokenizer fresh(stop_words);
  const DocumentTokens doc = fresh.tokenize_doc(text);
  check_positions(doc);
  const DocumentTokens again = remembering.tokenize_doc(text);
  if (!same_stems(again, doc)) __builtin_trap();
  return 0;
}
