#include "analysis/word_spans.hpp"

#include <algorithm>

#include "analysis/tokenizer.hpp"
#include "analysis/word_segmenter.hpp"

namespace tarnwick::analysis {

namespace {

// Code points among `bytes`: the bytes that do not continue a UTF-8 sequence. The texts are a
// Python str's UTF-8, so well formed.
size_t code_points(std::string_view bytes) {
  return static_cast<size_t>(std::count_if(bytes.begin(), bytes.end(), [](char c) {
    return (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::vector<std::optional<WordSpan>> word_spans(std::string_view text,
                                                const StopWords& stop_words,
                                                std::span<const uint32_t> positions) {
  std::vector<std::optional<WordSpan>> spans(positions.size());
  if (positions.empty()) return spans;
  // The wanted positions in text order, each with its place in `positions`.
  std::vector<std::pair<uint32_t, size_t>> wanted;
  for (size_t i = 0; i < positions.size(); ++i) wanted.emplace_back(positions[i], i);
  std::sort(wanted.begin(), wanted.end());
  auto next = wanted.begin();
  uint32_t position = 0;
  size_t counted_bytes = 0;  // code points are counted up to here
  size_t counted_chars = 0;
  WordSegmenter().for_each_word(text, [&](std::string_view word) {
    if (next == wanted.end() || !takes_position(word, stop_words)) return;
    const auto begin = static_cast<size_t>(word.data() - text.data());
    counted_chars += code_points(text.substr(counted_bytes, begin - counted_bytes));
    const size_t chars = code_points(word);
    for (; next != wanted.end() && next->first == position; ++next) {
      spans[next->second] =
          WordSpan{begin, begin + word.size(), counted_chars, counted_chars + chars};
    }
    counted_bytes = begin;
    ++position;
  });
  return spans;
}

}  // namespace tarnwick::analysis
