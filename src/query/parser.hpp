// Query: a parsed query string, the terms to match with the edit distance each may be matched
// within, and the proximity written after a quoted query.
//
// The language, over Unicode characters (offsets are bytes of the UTF-8 text):
//
//   query        = (phrase-query | terms-query) whitespace* end
//   phrase-query = whitespace* '"' terms '"' ('~' digit digit?)?
//   terms-query  = terms
//   terms        = term (whitespace+ term)*
//   term         = word ('~' digit? digit?)?
//   word         = word-character+
//
// whitespace is any White_Space character, a digit is ASCII 0-9, and a word character is anything
// but whitespace, '~' and '"'. The phrase form is tried first and, once it matched, never given
// up for the other, so nothing but whitespace may follow the closing quote or its proximity.
//
// A term's suffix sets its fuzziness: none gives 0, a bare '~' gives 0, 1 or 2 for terms of 1-2,
// 3-5 or more than 5 bytes, and '~' with digits gives their value, which must not exceed 2.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/tokenizer.hpp"
#include "query/parse_error.hpp"
#include "utils/result.hpp"

namespace tarnwick::query {

struct Term {
  std::string_view text;  // into the lower-cased query string
  uint8_t fuzziness = 0;  // 0, 1 or 2

  bool operator==(const Term&) const = default;
};

struct Query {
  std::vector<Term> terms;  // never empty, in query order
  uint8_t proximity = 0;    // 0 to 99; 0 unless written after a quoted query

  // Lower-cases `query` in place (ASCII letters only, so no length changes) and parses it. An
  // explicit fuzziness above 2 does not stop the parse: every such error is reported, followed
  // by the grammar error if the grammar failed too.
  // REQUIRES: `query` outlives the result and is not modified while the result is in use.
  static utils::Result<Query, ParseError> parse(std::string& query);

  // The terms as the tokenizer takes them, their texts copied.
  std::vector<analysis::Token> tokens() const;
};

}  // namespace tarnwick::query
