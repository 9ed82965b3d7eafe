// ParseError: why a query string did not parse, as the one message the caller shows (the engine
// raises it as ValueError unchanged), plus the pieces that message is built from.
//
// The message is "Following query is invalid: '<query>'\n, " followed by one line per recorded
// error, joined with "\n". A line is either a fuzziness error,
//   "Fuzziness must be less or equal to 2, but it is 7. at 3..5"
// or the grammar error that stopped the parse,
//   "found ''~'' at 6..7 expected digit, whitespace, or end of input".
// Spans are byte offsets into the lower-cased query, end exclusive.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include <unicode/umachine.h>

namespace tarnwick::query {

struct ParseError {
  std::string message;
};

// An item the grammar could have accepted where it stopped.
enum class Expected {
  kWordCharacter,  // written "something else": a word character is no single character
  kTilde,
  kQuote,
  kWhitespace,
  kDigit,
  kEndOfInput,
};

// The line for an explicit fuzziness above 2, whose suffix spans [begin, end).
std::string fuzziness_error_line(unsigned value, size_t begin, size_t end);

// The line for a parse that stopped at byte `at` of `query` (which may be query.size()), where
// any of `expected` would have let it continue.
// REQUIRES: at <= query.size() and `at` starts a character.
std::string grammar_error_line(std::string_view query, size_t at,
                               std::span<const Expected> expected);

// The error carrying `lines` for `query`. REQUIRES: !lines.empty().
ParseError invalid_query(std::string_view query, std::span<const std::string> lines);

// A character as a quoted literal: 'x', with \0 \t \r \n \' \\ for those characters and \u{hex}
// for characters that are not printable or that extend a grapheme.
std::string char_literal(UChar32 c);

}  // namespace tarnwick::query
