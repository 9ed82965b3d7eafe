// Where a document's positions lie in its text: the words that tokenize_doc numbered, found again
// by cutting the text the same way, for showing why a document matched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "base/config.hpp"

namespace tarnwick::analysis {

// A word's place in a text, in bytes and in code points (the characters of a Python str).
struct WordSpan {
  size_t byte_begin = 0;
  size_t byte_end = 0;
  size_t char_begin = 0;
  size_t char_end = 0;
};

// The span of the word at each of `positions` (in any order), as tokenize_doc with `stop_words`
// numbers the words of `text`; nothing for a position past its last word. One pass over the text.
std::vector<std::optional<WordSpan>> word_spans(std::string_view text,
                                                const StopWords& stop_words,
                                                std::span<const uint32_t> positions);

}  // namespace tarnwick::analysis
