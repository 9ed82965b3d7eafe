#include "analysis/tokenizer.hpp"

#include <unicode/uchar.h>

#include <cassert>
#include <limits>
#include <utility>

#include "utils/code_point.hpp"

namespace tarnwick::analysis {

namespace {

constexpr uint32_t kMaxLength = std::numeric_limits<uint32_t>::max();

bool is_ascii_alphanumeric(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// An ASCII letter or digit, or above U+007F a character that is Alphabetic or a number (Nd, Nl,
// No). An ill-formed sequence (U+FFFD) is neither.
bool has_alphanumeric(std::string_view segment) {
  for (size_t i = 0; i < segment.size();) {
    const auto byte = static_cast<unsigned char>(segment[i]);
    if (byte < 0x80) {
      if (is_ascii_alphanumeric(byte)) return true;
      ++i;
      continue;
    }
    const utils::CodePoint c = utils::code_point_at(segment, i);
    if (u_hasBinaryProperty(c.code, UCHAR_ALPHABETIC) || (U_GET_GC_MASK(c.code) & U_GC_N_MASK)) {
      return true;
    }
    i = c.next;
  }
  return false;
}

std::string ascii_lower(std::string_view word) {
  std::string lower(word);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace

Tokenizer::Tokenizer(std::shared_ptr<const StopWords> stop_words)
    : stop_words_(std::move(stop_words)) {
  assert(stop_words_ != nullptr);
}

bool Tokenizer::is_stop_word(std::string_view word) const {
  // This build of absl has a string_view of its own, distinct from std::string_view.
  return !stop_words_->empty() &&
         stop_words_->contains(absl::string_view(word.data(), word.size()));
}

DocumentTokens Tokenizer::tokenize_doc(std::string_view text) {
  DocumentTokens doc;
  segmenter_.for_each_segment(text, [&](std::string_view segment) {
    if (!has_alphanumeric(segment)) return;
    // The one copy of the word: lower-cased, then moved into the stemmer, whose result becomes
    // the map key. Most words fit the string's inline buffer and allocate nothing.
    std::string word = ascii_lower(segment);
    if (is_stop_word(word) || doc.length == kMaxLength) return;
    doc.tokens[stemmer_.stem(std::move(word))].push_back(doc.length++);
  });
  return doc;
}

TokenizedQuery Tokenizer::tokenize_query(query::Query query) {
  TokenizedQuery tokenized{{}, query.proximity};
  tokenized.tokens.reserve(query.terms.size());
  for (const query::Term& term : query.terms) {
    if (is_stop_word(term.text)) continue;
    tokenized.tokens.push_back({stemmer_.stem(std::string(term.text)), term.fuzziness});
  }
  return tokenized;
}

}  // namespace tarnwick::analysis
