#include "query/parser.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <cassert>
#include <optional>

#include "utils/code_point.hpp"

namespace tarnwick::query {

namespace {

// A grammar failure: where the parse could not go on.
struct Stop {
  size_t at;
};

template <class T>
using Step = utils::Result<T, Stop>;

struct Terms {
  std::vector<Term> terms;
  std::vector<std::string> fuzziness_errors;  // lines, in the order the terms were parsed
  size_t end = 0;
};

struct Run {
  Terms terms;  // of the alternative that matched
  uint8_t proximity = 0;
  std::optional<size_t> failed_at;  // set when the grammar failed
};

uint8_t automatic_fuzziness(size_t bytes) {
  if (bytes > 5) return 2;
  if (bytes >= 3) return 1;
  return 0;
}

// One pass of the grammar over the lower-cased query.
//
// Error positions: the reported position is where the parse failed, the furthest of the two
// alternatives when both failed. Its expected items are everything any attempt could have
// accepted at exactly that position, including attempts given up later, such as a whitespace run
// that no term followed. An optional part that failed further on contributes nothing: '"a"~'
// stops at the '~', not at the missing digit after it.
//
// The position is known only once the pass ends, so a failed parse is run a second time with
// `watched` set to it; that pass collects the expected items, in the order they were tried.
class Grammar {
 public:
  Grammar(std::string_view input, std::optional<size_t> watched)
      : input_(input), watched_(watched) {}

  Run query() {
    Run run;
    Step<size_t> phrase = phrase_query(run);
    if (!phrase) {
      run = Run();
      Step<size_t> unquoted = terms(0, run.terms);
      if (!unquoted) {
        run.failed_at = std::max(phrase.error().at, unquoted.error().at);
        return run;
      }
    }
    const size_t end = whitespace(run.terms.end);
    if (end != input_.size()) {
      expect(end, Expected::kEndOfInput);
      run.failed_at = end;
    }
    return run;
  }

  std::span<const Expected> expected() const { return expected_; }

 private:
  std::optional<utils::CodePoint> at(size_t pos) const {
    if (pos >= input_.size()) return std::nullopt;
    return utils::code_point_at(input_, pos);
  }
  bool is(size_t pos, char c) const { return pos < input_.size() && input_[pos] == c; }
  bool is_digit(size_t pos) const {
    return pos < input_.size() && input_[pos] >= '0' && input_[pos] <= '9';
  }

  void expect(size_t pos, Expected item) {
    if (pos != watched_ || std::find(expected_.begin(), expected_.end(), item) != expected_.end())
      return;
    expected_.push_back(item);
  }

  // The end of the longest whitespace run from `pos`.
  size_t whitespace(size_t pos) {
    for (auto c = at(pos); c && u_isUWhiteSpace(c->code); c = at(pos)) pos = c->next;
    expect(pos, Expected::kWhitespace);
    return pos;
  }

  // The end of the longest word from `pos`; `pos` itself when there is none.
  size_t word(size_t pos) {
    for (auto c = at(pos); c && c->code != '~' && c->code != '"' && !u_isUWhiteSpace(c->code);
         c = at(pos)) {
      pos = c->next;
    }
    expect(pos, Expected::kWordCharacter);
    return pos;
  }

  // Up to two digits from `pos`: their end, and their value in `value`.
  size_t digits(size_t pos, unsigned& value) {
    const size_t begin = pos;
    value = 0;
    while (pos - begin < 2 && is_digit(pos)) value = value * 10 + (input_[pos++] - '0');
    if (pos - begin < 2) expect(pos, Expected::kDigit);
    return pos;
  }

  Step<size_t> term(size_t pos, Terms& out) {
    const size_t end = word(pos);
    if (end == pos) return utils::fail(Stop{pos});
    Term term{input_.substr(pos, end - pos)};
    if (!is(end, '~')) {
      expect(end, Expected::kTilde);
      out.terms.push_back(term);
      return end;
    }
    unsigned value;
    const size_t suffix_end = digits(end + 1, value);
    if (suffix_end == end + 1) {
      term.fuzziness = automatic_fuzziness(term.text.size());
    } else {
      if (value > 2) out.fuzziness_errors.push_back(fuzziness_error_line(value, end, suffix_end));
      term.fuzziness = static_cast<uint8_t>(value);
    }
    out.terms.push_back(term);
    return suffix_end;
  }

  // A run of whitespace not followed by a term is left unconsumed.
  Step<size_t> terms(size_t pos, Terms& out) {
    Step<size_t> first = term(pos, out);
    if (!first) return first;
    out.end = *first;
    for (;;) {
      const size_t next = whitespace(out.end);
      if (next == out.end) break;
      Step<size_t> more = term(next, out);
      if (!more) break;
      out.end = *more;
    }
    return out.end;
  }

  Step<size_t> phrase_query(Run& run) {
    const size_t open = whitespace(0);
    if (!is(open, '"')) {
      expect(open, Expected::kQuote);
      return utils::fail(Stop{open});
    }
    Step<size_t> close = terms(open + 1, run.terms);
    if (!close) return close;
    if (!is(*close, '"')) {
      expect(*close, Expected::kQuote);
      return utils::fail(Stop{*close});
    }
    size_t end = *close + 1;
    if (!is(end, '~')) {
      expect(end, Expected::kTilde);
    } else {
      unsigned value;
      const size_t digits_end = digits(end + 1, value);
      // '~' without a digit is not part of the query; the end-of-input test meets it.
      if (digits_end != end + 1) {
        run.proximity = static_cast<uint8_t>(value);
        end = digits_end;
      }
    }
    run.terms.end = end;
    return end;
  }

  std::string_view input_;
  std::optional<size_t> watched_;
  std::vector<Expected> expected_;
};

}  // namespace

utils::Result<Query, ParseError> Query::parse(std::string& query) {
  for (char& c : query) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  Run run = Grammar(query, std::nullopt).query();
  // A run ends with a result or with the position where the grammar stopped, never with
  // neither: both alternatives either read at least one term or fail. So a parse never fails
  // as "Failed to parse query, the output is empty", the message for a grammar that yields
  // nothing without an error.
  if (!run.failed_at && run.terms.fuzziness_errors.empty()) {
    assert(!run.terms.terms.empty());
    return Query{std::move(run.terms.terms), run.proximity};
  }
  std::vector<std::string> lines = std::move(run.terms.fuzziness_errors);
  if (run.failed_at) {
    Grammar watching(query, *run.failed_at);
    (void)watching.query();
    lines.push_back(grammar_error_line(query, *run.failed_at, watching.expected()));
  }
  return utils::fail(invalid_query(query, lines));
}

std::vector<analysis::Token> Query::tokens() const {
  std::vector<analysis::Token> out;
  out.reserve(terms.size());
  for (const Term& term : terms) out.push_back({std::string(term.text), term.fuzziness});
  return out;
}

}  // namespace tarnwick::query
