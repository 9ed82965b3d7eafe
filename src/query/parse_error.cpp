#include "query/parse_error.hpp"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdio>

#include "utils/code_point.hpp"

namespace tarnwick::query {

namespace {

std::string span(size_t begin, size_t end) {
  return std::to_string(begin) + ".." + std::to_string(end);
}

// Separators other than the plain blank, controls, format characters, surrogates, private-use
// and unassigned code points have no glyph of their own.
bool printable(UChar32 c) {
  return c == ' ' || (U_GET_GC_MASK(c) & (U_GC_C_MASK | U_GC_Z_MASK)) == 0;
}

// A character as an error line shows it: its literal within apostrophes, ''x''.
std::string shown(UChar32 c) {
  std::string out = "'";
  out += char_literal(c);
  out += '\'';
  return out;
}

std::string item(Expected expected) {
  switch (expected) {
    case Expected::kWordCharacter:
      return "something else";
    case Expected::kTilde:
      return shown('~');
    case Expected::kQuote:
      return shown('"');
    case Expected::kWhitespace:
      return "whitespace";
    case Expected::kDigit:
      return "digit";
    case Expected::kEndOfInput:
      return "end of input";
  }
  return "something else";
}

// "something else" for none, "A" for one, "A, B, or C" for several.
std::string item_list(std::span<const Expected> expected) {
  if (expected.empty()) return "something else";
  std::string out;
  for (size_t i = 0; i + 1 < expected.size(); ++i) out += item(expected[i]) + ", ";
  if (expected.size() > 1) out += "or ";
  return out + item(expected.back());
}

}  // namespace

std::string char_literal(UChar32 c) {
  std::string literal = "'";
  switch (c) {
    case 0:
      literal += "\\0";
      break;
    case '\t':
      literal += "\\t";
      break;
    case '\r':
      literal += "\\r";
      break;
    case '\n':
      literal += "\\n";
      break;
    case '\'':
      literal += "\\'";
      break;
    case '\\':
      literal += "\\\\";
      break;
    default:
      if (!printable(c) || u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
        literal += hex;
      } else {
        char utf8[U8_MAX_LENGTH];
        size_t length = 0;
        U8_APPEND_UNSAFE(utf8, length, c);
        literal.append(utf8, length);
      }
  }
  literal += '\'';
  return literal;
}

std::string fuzziness_error_line(unsigned value, size_t begin, size_t end) {
  return "Fuzziness must be less or equal to 2, but it is " + std::to_string(value) + ". at " +
         span(begin, end);
}

std::string grammar_error_line(std::string_view query, size_t at,
                               std::span<const Expected> expected) {
  std::string line = "found ";
  if (at == query.size()) {
    line += "end of input at " + span(at, at);
  } else {
    const utils::CodePoint found = utils::code_point_at(query, at);
    line += shown(found.code) + " at " + span(at, found.next);
  }
  return line + " expected " + item_list(expected);
}

ParseError invalid_query(std::string_view query, std::span<const std::string> lines) {
  std::string message = "Following query is invalid: '";
  message.append(query);
  message += "'\n, ";
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) message += '\n';
    message += lines[i];
  }
  return {std::move(message)};
}

}  // namespace tarnwick::query
