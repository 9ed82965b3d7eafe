// Reference answers for the automaton and trie tests, and the trie benchmark's scan: the textbook
// dynamic-programming Levenshtein distance, random words over a small alphabet, UTF-8 encoding.
#pragma once

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::utils::testing {

// Insertions, deletions and substitutions cost 1 each. `row` is scratch, kept between calls by a
// caller that wants no allocation per call.
inline size_t levenshtein(std::u32string_view a, std::u32string_view b, std::vector<size_t>& row) {
  row.resize(b.size() + 1);
  std::iota(row.begin(), row.end(), size_t{0});
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t substitute = diagonal + (a[i - 1] == b[j - 1] ? 0 : 1);
      diagonal = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, substitute});
    }
  }
  return row[b.size()];
}

inline size_t levenshtein(std::u32string_view a, std::u32string_view b) {
  std::vector<size_t> row;
  return levenshtein(a, b, row);
}

// A word of `min_length` to `max_length` characters drawn from `alphabet`.
inline std::u32string random_word(std::mt19937& rng, std::u32string_view alphabet,
                                  size_t min_length, size_t max_length) {
  std::uniform_int_distribution<size_t> length(min_length, max_length);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::u32string word(length(rng), U'\0');
  for (char32_t& c : word) c = alphabet[pick(rng)];
  return word;
}

// `word` after up to `edits` random insertions, deletions and substitutions from `alphabet`.
inline std::u32string mutate(std::mt19937& rng, std::u32string word, std::u32string_view alphabet,
                             size_t edits) {
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  for (size_t e = std::uniform_int_distribution<size_t>(0, edits)(rng); e > 0; --e) {
    const size_t at = std::uniform_int_distribution<size_t>(0, word.size())(rng);
    switch (std::uniform_int_distribution<int>(0, 2)(rng)) {
      case 0:
        word.insert(word.begin() + at, alphabet[pick(rng)]);
        break;
      case 1:
        if (at < word.size()) word.erase(at, 1);
        break;
      default:
        if (at < word.size()) word[at] = alphabet[pick(rng)];
    }
  }
  return word;
}

inline std::string to_utf8(std::u32string_view text) {
  std::string out;
  for (char32_t c : text) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace tarnwick::utils::testing
