// WordSegmenter: cuts UTF-8 text at the default word boundaries of Unicode Standard Annex #29
// (rules WB1 to WB999 as the annex writes them: no locale tailoring, and no dictionary-based
// segmentation of scripts written without spaces, so each Han or Thai letter stands alone).
//
// ICU's own word rules tailor the annex (for instance ':' never joins letters and '@' is a
// letter) and send CJK and Southeast Asian scripts to dictionaries, so the annex's rules are
// compiled here, once per process, into an ICU rule-based break iterator; each segmenter owns a
// clone of it, which it reuses for every text.
//
// ICU offsets are 32-bit, so longer text is handed to the iterator in pieces of at most `window`
// bytes, each cut just after a line feed, after which the annex always breaks. Only a piece of
// `window` bytes without a line feed is cut elsewhere, at a character boundary.
//
// Ill-formed UTF-8 reads as U+FFFD per bad sequence.
//
// Thread safety: one call at a time; the iterator keeps the text being segmented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>

#include <unicode/uversion.h>

#include "absl/functional/function_ref.h"

U_NAMESPACE_BEGIN
class RuleBasedBreakIterator;
U_NAMESPACE_END

namespace tarnwick::analysis {

class WordSegmenter {
 public:
  static constexpr size_t kMaxWindow = std::numeric_limits<int32_t>::max();

  // REQUIRES: 4 <= window <= kMaxWindow (a window holds at least one character).
  explicit WordSegmenter(size_t window = kMaxWindow);
  ~WordSegmenter();
  WordSegmenter(WordSegmenter&&) noexcept;
  WordSegmenter& operator=(WordSegmenter&&) noexcept;

  // Calls `visit` with each segment of `text` in order; the segments are non-empty and
  // concatenate to `text`. The views point into `text`.
  void for_each_segment(std::string_view text, absl::FunctionRef<void(std::string_view)> visit);

 private:
  void segment_piece(std::string_view piece, absl::FunctionRef<void(std::string_view)> visit);

  std::unique_ptr<icu::RuleBasedBreakIterator> iterator_;
  size_t window_;
};

}  // namespace tarnwick::analysis
