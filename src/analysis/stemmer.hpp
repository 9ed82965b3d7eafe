// SnowballStemmer: reduces a lower-cased English word to its stem (Porter2 with this system's own
// additions: extra R1 prefixes, the step 2 suffix "ogist", protected "ing"/"eed" words, and
// "past" as a short syllable).
//
// Words of fewer than 3 bytes, a few invariant words and any word holding a byte above 0x7F come
// back unchanged, so the stemmer is safe on arbitrary bytes; the rules themselves see ASCII only.
//
// Thread safety: stem() keeps the word's regions R1 and R2 in the object while it runs, so one
// stemmer serves one call at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "absl/container/flat_hash_map.h"

namespace tarnwick::analysis {

class SnowballStemmer {
 public:
  // Builds the special-word, step 2 and step 3 maps.
  SnowballStemmer();

  // `word` is already lower-cased (ASCII rules); the result may equal the input.
  std::string stem(std::string word);

  // The short-syllable test on the first n bytes of `text` (all of it when shorter): "past", a
  // vowel then a non-vowel as the whole of two bytes, or a non-vowel, a vowel and a last byte
  // other than a, e, i, o, u, w, x and 'Y'.
  static bool ends_with_short_syllabe(std::string_view text, size_t n);

 private:
  using Map = absl::flat_hash_map<std::string, std::string>;

  void mark_regions(std::string_view word);
  void step_1b(std::string& word) const;
  void step_2(std::string& word) const;
  void step_3(std::string& word) const;
  void step_4(std::string& word) const;
  void step_5(std::string& word) const;

  Map special_words_;
  Map step_2_map_;
  Map step_3_map_;
  // Start offsets of R1 and R2 in the word being stemmed; meaningless between calls.
  size_t r1_ = 0;
  size_t r2_ = 0;
};

}  // namespace tarnwick::analysis
