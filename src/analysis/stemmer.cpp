#include "analysis/stemmer.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

namespace tarnwick::analysis {
namespace {

using Words = std::span<const std::string_view>;

// Returned untouched, tested before a leading apostrophe is dropped.
constexpr std::array<std::string_view, 7> kInvariantWords = {
    "sky", "news", "howe", "bias", "atlas", "andes", "cosmos"};

// A word beginning with one of these has R1 just after it. Every prefix but "past" is longer than
// 4 bytes, so testing the prefixes alone also gives the 4-byte word "past" its R1 of 4.
constexpr std::array<std::string_view, 8> kR1Prefixes = {
    "gener", "commun", "arsen", "past", "univers", "later", "emerg", "organ"};

// A byte loop from the end: the suffixes are a few bytes long, and a memcmp call per candidate
// cost more than the comparison itself.
constexpr bool ends_with(std::string_view word, std::string_view suffix) {
  if (suffix.size() > word.size()) return false;
  for (size_t i = 1; i <= suffix.size(); ++i) {
    if (word[word.size() - i] != suffix[suffix.size() - i]) return false;
  }
  return true;
}

// A suffix list in test order: the first suffix the word ends with is the one that acts, which
// makes it the longest wherever two of them overlap. The suffixes are kept grouped by last byte,
// in test order within a group, so a word is compared only with the suffixes ending as it does;
// scanning whole lists took 40% of the stemming time.
template <size_t N>
class SuffixTable {
 public:
  static_assert(N < 256);

  constexpr explicit SuffixTable(const std::array<std::string_view, N>& suffixes) {
    for (std::string_view suffix : suffixes) ++group_start_[last_byte(suffix) + 1];
    for (size_t byte = 1; byte < group_start_.size(); ++byte) {
      group_start_[byte] += group_start_[byte - 1];
    }
    std::array<uint8_t, 256> next{};
    std::copy_n(group_start_.begin(), next.size(), next.begin());
    for (std::string_view suffix : suffixes) grouped_[next[last_byte(suffix)]++] = suffix;
  }

  // The first suffix that `word` ends with; empty when there is none.
  constexpr std::string_view first_match(std::string_view word) const {
    if (word.empty()) return {};
    const size_t byte = last_byte(word);
    for (size_t i = group_start_[byte]; i < group_start_[byte + 1]; ++i) {
      if (ends_with(word, grouped_[i])) return grouped_[i];
    }
    return {};
  }

 private:
  static constexpr size_t last_byte(std::string_view text) {
    return static_cast<unsigned char>(text.back());
  }

  std::array<std::string_view, N> grouped_{};
  // Suffixes ending in byte b are grouped_[group_start_[b], group_start_[b + 1]).
  std::array<uint8_t, 257> group_start_{};
};

constexpr SuffixTable kStep0Suffixes(std::array<std::string_view, 3>{"'s'", "'s", "'"});
constexpr SuffixTable kStep1aSuffixes(
    std::array<std::string_view, 6>{"sses", "ied", "ies", "us", "ss", "s"});
constexpr SuffixTable kStep1bSuffixes1(std::array<std::string_view, 2>{"eedly", "eed"});
constexpr SuffixTable kStep1bSuffixes2(
    std::array<std::string_view, 4>{"ingly", "edly", "ing", "ed"});
constexpr SuffixTable kStep2Suffixes(std::array<std::string_view, 25>{
    "ization", "ational", "fulness", "ousness", "iveness", "tional", "biliti",
    "lessli",  "entli",   "ation",   "alism",   "aliti",   "ousli",  "iviti",
    "ogist",   "fulli",   "enci",    "anci",    "abli",    "izer",   "ator",
    "alli",    "bli",     "ogi",     "li"});
constexpr SuffixTable kStep3Suffixes(std::array<std::string_view, 9>{
    "ational", "tional", "alize", "icate", "iciti", "ative", "ical", "ness", "ful"});
constexpr SuffixTable kStep4Suffixes(std::array<std::string_view, 18>{
    "ement", "ance", "ence", "able", "ible", "ment", "ant", "ent", "ism",
    "ate",   "iti",  "ous",  "ive",  "ize",  "ion",  "al",  "er",  "ic"});

// Words keeping "eed"/"eedly" (proceed, exceed, succeed and their kin).
constexpr std::array<std::string_view, 3> kEedKeepingPrefixes = {"proc", "exc", "succ"};
// Stems before "ing" that keep it: inning, outing, canning, herring, earring, evening.
constexpr std::array<std::string_view, 6> kIngKeepingStems = {
    "inn", "out", "cann", "herr", "earr", "even"};
constexpr std::array<std::string_view, 3> kEndingsRegainingE = {"at", "bl", "iz"};
constexpr std::array<std::string_view, 9> kDoubles = {
    "bb", "dd", "ff", "gg", "mm", "nn", "pp", "rr", "tt"};

// 'y' counts as a vowel; 'Y' (a y marked as a consonant) does not.
constexpr bool is_vowel(char c) {
  switch (c) {
    case 'a': case 'e': case 'i': case 'o': case 'u': case 'y':
      return true;
    default:
      return false;
  }
}

// The letters after which a final "li" is removed in step 2.
constexpr bool is_li_ending(char c) {
  return std::string_view("cdeghkmnrt").find(c) != std::string_view::npos;
}

bool contains_vowel(std::string_view text) {
  return std::any_of(text.begin(), text.end(), is_vowel);
}

bool is_one_of(std::string_view text, Words words) {
  return std::any_of(words.begin(), words.end(), [text](std::string_view word) {
    return word.size() == text.size() && ends_with(text, word);
  });
}

bool starts_with_one_of(std::string_view text, Words prefixes) {
  return std::any_of(prefixes.begin(), prefixes.end(),
                     [text](std::string_view prefix) { return text.starts_with(prefix); });
}

// This build of absl has a string_view of its own, distinct from std::string_view; it is what
// the maps' heterogeneous lookup accepts.
absl::string_view as_key(std::string_view text) { return {text.data(), text.size()}; }

// REQUIRES: `word` ends with `suffix`.
bool in_region(std::string_view word, std::string_view suffix, size_t region_start) {
  return word.size() - suffix.size() >= region_start;
}

// REQUIRES: `word` ends with `suffix`.
void replace_suffix(std::string& word, std::string_view suffix, std::string_view replacement) {
  word.replace(word.size() - suffix.size(), suffix.size(), replacement);
}

// Just after the first non-vowel that follows a vowel at or after `from`; the length if none.
size_t region_start(std::string_view word, size_t from) {
  for (size_t i = from + 1; i < word.size(); ++i) {
    if (is_vowel(word[i - 1]) && !is_vowel(word[i])) return i + 1;
  }
  return word.size();
}

bool is_ascii(std::string_view word) {
  return std::all_of(word.begin(), word.end(),
                     [](char c) { return static_cast<unsigned char>(c) <= 0x7F; });
}

// Marks consonant y's as 'Y': a leading y, and every y after a vowel or after a y (marked or
// not) that itself followed a vowel. REQUIRES: `word` is not empty.
void mark_consonant_ys(std::string& word) {
  if (word.front() == 'y') word.front() = 'Y';
  bool after_vowel = false;
  for (char& c : word) {
    if (c == 'y' && after_vowel) {
      c = 'Y';  // the flag stays set, so "ayy" becomes "aYY"
    } else {
      after_vowel = is_vowel(c);
    }
  }
}

void step_0(std::string& word) {
  word.resize(word.size() - kStep0Suffixes.first_match(word).size());
}

// "us" and "ss" match and change nothing, which keeps "s" from acting on them.
void step_1a(std::string& word) {
  const std::string_view suffix = kStep1aSuffixes.first_match(word);
  if (suffix == "sses") {
    replace_suffix(word, suffix, "ss");
  } else if (suffix == "ied" || suffix == "ies") {
    replace_suffix(word, suffix, word.size() - suffix.size() > 1 ? "i" : "ie");
  } else if (suffix == "s") {
    // The letter just before the "s" does not count.
    if (word.size() > 2 && contains_vowel(std::string_view(word).substr(0, word.size() - 2))) {
      word.pop_back();
    }
  }
}

void step_1c(std::string& word) {
  const size_t n = word.size();
  if (n > 2 && (word[n - 1] == 'y' || word[n - 1] == 'Y') && !is_vowel(word[n - 2])) {
    word[n - 1] = 'i';
  }
}

}  // namespace

SnowballStemmer::SnowballStemmer()
    : special_words_({{"skis", "ski"},     {"skies", "sky"},    {"idly", "idl"},
                      {"gently", "gentl"}, {"ugly", "ugli"},    {"early", "earli"},
                      {"only", "onli"},    {"singly", "singl"}, {"sky", "sky"},
                      {"news", "news"},    {"howe", "howe"}}),
      step_2_map_({{"ization", "ize"}, {"ational", "ate"}, {"fulness", "ful"},
                   {"ousness", "ous"}, {"iveness", "ive"}, {"tional", "tion"},
                   {"biliti", "ble"},  {"lessli", "less"}, {"entli", "ent"},
                   {"ation", "ate"},   {"alism", "al"},    {"aliti", "al"},
                   {"ousli", "ous"},   {"iviti", "ive"},   {"ogist", "og"},
                   {"fulli", "ful"},   {"enci", "ence"},   {"anci", "ance"},
                   {"abli", "able"},   {"izer", "ize"},    {"ator", "ate"},
                   {"alli", "al"},     {"bli", "ble"},     {"ogi", "og"},
                   {"li", ""}}),
      step_3_map_({{"ational", "ate"}, {"tional", "tion"}, {"alize", "al"},
                   {"icate", "ic"},    {"iciti", "ic"},     {"ical", "ic"},
                   {"ness", ""},       {"ful", ""},         {"ative", ""}}) {}

std::string SnowballStemmer::stem(std::string word) {
  // The rules below see ASCII only, and every word reaching them has at least 2 bytes.
  if (word.size() < 3 || is_one_of(word, kInvariantWords) || !is_ascii(word)) return word;
  if (word.front() == '\'') word.erase(0, 1);
  if (const auto it = special_words_.find(as_key(word)); it != special_words_.end()) {
    return it->second;
  }

  mark_consonant_ys(word);
  mark_regions(word);
  step_0(word);
  step_1a(word);
  step_1b(word);
  step_1c(word);
  step_2(word);
  step_3(word);
  step_4(word);
  step_5(word);
  std::replace(word.begin(), word.end(), 'Y', 'y');
  return word;
}

bool SnowballStemmer::ends_with_short_syllabe(std::string_view text, size_t n) {
  text = text.substr(0, n);
  if (text == "past") return true;
  if (text.size() < 2) return false;
  if (text.size() == 2) return is_vowel(text[0]) && !is_vowel(text[1]);
  const char c1 = text[text.size() - 3];
  const char c2 = text[text.size() - 2];
  const char c3 = text[text.size() - 1];
  return !is_vowel(c1) && is_vowel(c2) &&
         std::string_view("aeiouwxY").find(c3) == std::string_view::npos;
}

// Both regions are at least 2 bytes in (the word has at least 2 bytes and a region ends just
// after a vowel-consonant pair), so a suffix in R1 or R2 always has a byte before it.
void SnowballStemmer::mark_regions(std::string_view word) {
  const auto prefix = std::find_if(kR1Prefixes.begin(), kR1Prefixes.end(),
                                   [word](std::string_view p) { return word.starts_with(p); });
  r1_ = prefix != kR1Prefixes.end() ? prefix->size() : region_start(word, 0);
  r2_ = region_start(word, r1_);
}

void SnowballStemmer::step_1b(std::string& word) const {
  if (const std::string_view suffix = kStep1bSuffixes1.first_match(word); !suffix.empty()) {
    if (in_region(word, suffix, r1_) && !starts_with_one_of(word, kEedKeepingPrefixes)) {
      replace_suffix(word, suffix, "ee");
    }
    return;
  }
  const std::string_view suffix = kStep1bSuffixes2.first_match(word);
  if (suffix.empty()) return;
  const size_t stem_size = word.size() - suffix.size();
  const std::string_view stem = std::string_view(word).substr(0, stem_size);
  if (suffix == "ing") {
    if (word.size() == 5 && word[1] == 'y' && !is_vowel(word[0])) {
      word.replace(1, std::string::npos, "ie");  // dying -> die
      return;
    }
    if (is_one_of(stem, kIngKeepingStems)) return;
  }
  if (!contains_vowel(stem)) return;

  word.resize(stem_size);
  if (word.size() >= 2) {
    const std::string_view tail = std::string_view(word).substr(word.size() - 2);
    if (is_one_of(tail, kEndingsRegainingE)) {
      word.push_back('e');
      return;
    }
    // "add", "egg", "ebb" and the like keep their double letter.
    const bool keeps_double =
        word.size() == 3 && (word[0] == 'a' || word[0] == 'e' || word[0] == 'o');
    if (is_one_of(tail, kDoubles) && !keeps_double) {
      word.pop_back();
      return;
    }
  }
  if (word.size() <= r1_ && ends_with_short_syllabe(word, word.size())) word.push_back('e');
}

// Only the first matching suffix is tried; when it fails a test the step ends.
void SnowballStemmer::step_2(std::string& word) const {
  const std::string_view suffix = kStep2Suffixes.first_match(word);
  if (suffix.empty() || !in_region(word, suffix, r1_)) return;
  const char before = word[word.size() - suffix.size() - 1];
  if (suffix == "ogi" && before != 'l') return;
  if (suffix == "li" && !is_li_ending(before)) return;
  // Every suffix of the table has an entry in the map.
  replace_suffix(word, suffix, step_2_map_.find(as_key(suffix))->second);
}

void SnowballStemmer::step_3(std::string& word) const {
  const std::string_view suffix = kStep3Suffixes.first_match(word);
  if (suffix.empty() || !in_region(word, suffix, r1_)) return;
  if (suffix == "ative" && !in_region(word, suffix, r2_)) return;
  // Every suffix of the table has an entry in the map.
  replace_suffix(word, suffix, step_3_map_.find(as_key(suffix))->second);
}

void SnowballStemmer::step_4(std::string& word) const {
  const std::string_view suffix = kStep4Suffixes.first_match(word);
  if (suffix.empty() || !in_region(word, suffix, r2_)) return;
  const size_t start = word.size() - suffix.size();
  if (suffix == "ion" && !(word.size() > 3 && (word[start - 1] == 's' || word[start - 1] == 't'))) {
    return;
  }
  word.resize(start);
}

void SnowballStemmer::step_5(std::string& word) const {
  if (word.ends_with('e')) {
    const size_t e = word.size() - 1;
    if (e >= r2_ || (e >= r1_ && !ends_with_short_syllabe(word, e))) word.pop_back();
  } else if (word.ends_with("ll") && word.size() - 1 >= r2_) {
    word.pop_back();
  }
}

}  // namespace tarnwick::analysis
