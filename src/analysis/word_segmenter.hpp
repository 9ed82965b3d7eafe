// WordSegmenter: cuts UTF-8 text at the default word boundaries of Unicode Standard Annex #29
// (rules WB1 to WB999 as the annex writes them: no locale tailoring, and no dictionary-based
// segmentation of scripts written without spaces, so each Han or Thai letter stands alone).
//
// The rules are walked by hand, one character at a time, over the Word_Break and
// Extended_Pictographic properties of the linked ICU (so the boundaries follow ICU's Unicode
// version). ICU's own word iterator is no substitute: it tailors the annex (':' never joins
// letters, '@' is a letter) and sends CJK and Southeast Asian scripts to dictionaries.
//
// Ill-formed UTF-8 reads as U+FFFD per maximal ill-formed subsequence, so every byte string is
// covered without gaps.
//
// Thread safety: a segmenter changes nothing of its own, and the property table it reads is built
// into the library and never changed, so any number of calls may run at once.
#pragma once

#include <string_view>

#include "absl/functional/function_ref.h"

namespace tarnwick::analysis {

class WordSegmenter {
 public:
  // How the walk reads ASCII text. Both cut the same segments: kFastPath crosses runs of ASCII
  // without decoding them wherever the rules allow; kDecodeAll sends every character through the
  // full rules, the reference the fast path is tested against.
  enum class Ascii { kFastPath, kDecodeAll };

  // Opens the process's property table on first use, in place (a few microseconds).
  explicit WordSegmenter(Ascii ascii = Ascii::kFastPath);

  // Calls `visit` with each segment of `text` in order; the segments are non-empty and
  // concatenate to `text`. The views point into `text`.
  void for_each_segment(std::string_view text,
                        absl::FunctionRef<void(std::string_view)> visit) const;

  // As for_each_segment, but visits only the segments holding at least one alphanumeric
  // character: an ASCII letter or digit, or above U+007F a character that is Alphabetic or of
  // General Category Nd, Nl or No. U+FFFD read for ill-formed bytes is neither.
  void for_each_word(std::string_view text,
                     absl::FunctionRef<void(std::string_view)> visit) const;

 private:
  Ascii ascii_;
};

}  // namespace tarnwick::analysis
