// Tokenizer: turns a document's text, or a parsed query, into index terms.
//
// The two paths differ on purpose. A document is cut into words at the default word boundaries
// of Unicode Standard Annex #29; a word is kept when it holds a letter or number, lower-cased by
// ASCII rules only ("ÉCOLE" becomes "École"), dropped if it is a stop word, and stemmed. A query
// term is taken whole as the parser produced it (the query was lower-cased the same way before
// parsing), so "hello," stays "hello," and matches no document word.
//
// Positions count kept words only: a stop word or a segment without letters or numbers takes
// none, so the words around a stop word have consecutive positions.
//
// Owns one stemmer and one word segmenter; shares the read-only stop-word set with the engine.
// Remembers the stem of each document word it has met, and numbers the stems (about 8 MB at most,
// see kMaxSpellings and kMaxStems).
// Thread safety: stemming and that memory change the tokenizer on every call, so one call at a
// time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "analysis/stemmer.hpp"
#include "analysis/word_hash.hpp"
#include "analysis/word_segmenter.hpp"
#include "base/config.hpp"

namespace tarnwick::analysis {

// One distinct stem of a document.
struct DocumentStem {
  std::string text;
  // The tokenizer's number for the stem: the same in every document it tokenizes while its
  // stem_generation() stays the same.
  uint32_t stem_id = 0;
  uint32_t first = 0;  // the stem's positions are DocumentTokens::positions[first, first + count)
  uint32_t count = 0;
};

// A tokenized document, in two arrays rather than a list per stem: a document has a few dozen
// stems, and allocating each its own list cost more than tokenizing it.
struct DocumentTokens {
  // Kept words, which is also the number of positions handed out.
  uint32_t length = 0;
  // Each distinct stem once, in the order of its first word.
  std::vector<DocumentStem> stems;
  // The positions of each stem's words in turn, ascending within a stem; every position in
  // [0, length) occurs once.
  std::vector<uint32_t> positions;

  std::span<const uint32_t> positions_of(const DocumentStem& stem) const {
    return {positions.data() + stem.first, stem.count};
  }
};

struct Token {
  std::string text;       // the stemmed term
  uint8_t fuzziness = 0;  // edit distance allowed when matching, 0 to 2

  bool operator==(const Token&) const = default;
};

struct TokenizedQuery {
  std::vector<Token> tokens;  // in query order, stop words removed
  uint8_t proximity = 0;      // as parsed
};

// Whether a word of a document, as the word segmenter cuts it, takes a position: unless its
// spelling with A to Z lower-cased is one of `stop_words`. The rule tokenize_doc applies.
bool takes_position(std::string_view word, const StopWords& stop_words);

class Tokenizer {
 public:
  // REQUIRES: stop_words != nullptr.
  explicit Tokenizer(std::shared_ptr<const StopWords> stop_words);

  // `text` is UTF-8. A document of more than 4294967295 kept words keeps the first 4294967295.
  DocumentTokens tokenize_doc(std::string_view text);

  // Changes whenever the tokenizer numbers its stems afresh (see kMaxStems).
  uint64_t stem_generation() const { return stem_generation_; }

  // A query's `terms` as written (lower-cased, with their fuzziness): drops those whose text is a
  // stop word, stems the rest.
  TokenizedQuery tokenize_query(std::span<const Token> terms, uint8_t proximity);

 private:
  // Spellings remembered before the memo is emptied, at the start of the next document. Just
  // below what a hash table of 32,768 slots holds; memo and stems then take about 3 MB. The
  // Python documentation (11 MB) holds about 54,000 distinct spellings, identifiers included;
  // a memo twice as large made tokenizing it no faster.
  static constexpr size_t kMaxSpellings = 28000;
  // Stems numbered before they are all forgotten and numbered afresh, at the start of the next
  // document. The numbers outlive the spellings: the engine keeps the token id of each number,
  // which forgetting the spellings alone leaves right. About 5 MB at most.
  static constexpr size_t kMaxStems = 65536;

  bool is_stop_word(std::string_view word) const;
  // The id of the stem of `word` as written in a document, or kStopWord (tokenizer.cpp) when it
  // is a stop word.
  uint32_t stem_id(std::string_view word);
  // The same for a spelling the memo lacks, which it then remembers.
  uint32_t remember(std::string_view word);

  SnowballStemmer stemmer_;
  std::shared_ptr<const StopWords> stop_words_;
  WordSegmenter segmenter_;

  // The memo of document words. A word's stem id depends only on its bytes, so each spelling is
  // lower-cased, tested against the stop words and stemmed once, however many documents it
  // occurs in. Invariants: every value of spellings_ is kStopWord or an index of stems_;
  // stem_ids_ maps each stem of stems_ (a deque, whose elements never move) to its index;
  // slot_of_stem_ has an entry for every stem (spare ones may follow), all kNoSlot between calls.
  absl::flat_hash_map<std::string, uint32_t, WordHash, WordEq> spellings_;
  std::deque<std::string> stems_;
  absl::flat_hash_map<absl::string_view, uint32_t> stem_ids_;
  std::vector<uint32_t> slot_of_stem_;  // the stem's entry in the current document
  std::string word_;                    // scratch: the word being lower-cased
  std::vector<uint32_t> slot_stems_;    // scratch: the stem id of each entry of a document
  std::vector<uint32_t> word_slots_;    // scratch: the entry of each kept word, by position
  uint64_t stem_generation_ = 0;        // how many times the memo was emptied
};

}  // namespace tarnwick::analysis
