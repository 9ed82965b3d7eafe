#include "query/parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarnwick::query {
namespace {

struct Parsed {
  std::vector<Term> terms;
  uint8_t proximity;
};

void expect_parses(const std::vector<std::pair<std::string, Parsed>>& cases) {
  for (const auto& [text, want] : cases) {
    SCOPED_TRACE(text);
    std::string query = text;
    auto parsed = Query::parse(query);
    ASSERT_TRUE(parsed.ok()) << parsed.error().message;
    EXPECT_EQ(parsed->terms, want.terms);
    EXPECT_EQ(parsed->proximity, want.proximity);
  }
}

// Each case is a lower-case query and the error lines its message carries after the query.
void expect_fails(const std::vector<std::pair<std::string, std::string>>& cases) {
  for (const auto& [text, lines] : cases) {
    SCOPED_TRACE(text);
    std::string query = text;
    auto parsed = Query::parse(query);
    ASSERT_FALSE(parsed.ok());
    EXPECT_EQ(parsed.error().message, "Following query is invalid: '" + text + "'\n, " + lines);
  }
}

TEST(QueryParse, TermsAreLowerCasedAndSplitAtWhitespace) {
  expect_parses({
      {"Quick Brown", {{{"quick", 0}, {"brown", 0}}, 0}},
      {"hello, world!", {{{"hello,", 0}, {"world!", 0}}, 0}},
      {"quick brown   ", {{{"quick", 0}, {"brown", 0}}, 0}},
      {"a\tb\r\nc", {{{"a", 0}, {"b", 0}, {"c", 0}}, 0}},
      // Non-ASCII capitals are not folded.
      {"ÉCOLE École", {{{"École", 0}, {"École", 0}}, 0}},
      // White_Space beyond ASCII separates terms: NEL, no-break space, ideographic space.
      {"a\u0085b\u00a0c\u3000d", {{{"a", 0}, {"b", 0}, {"c", 0}, {"d", 0}}, 0}},
      // A zero-width space is not White_Space, so it belongs to the word.
      {"a\u200bb", {{{"a\u200bb", 0}}, 0}},
  });
}

TEST(QueryParse, FuzzinessSuffixSetsTheEditDistance) {
  expect_parses({
      {"brown", {{{"brown", 0}}, 0}},
      {"brown~2", {{{"brown", 2}}, 0}},
      {"brown~0", {{{"brown", 0}}, 0}},
      {"brown~00", {{{"brown", 0}}, 0}},
      {"brown~02", {{{"brown", 2}}, 0}},
      {"quick~2 brown~", {{{"quick", 2}, {"brown", 1}}, 0}},
  });
}

TEST(QueryParse, BareTildeDerivesFuzzinessFromByteLength) {
  expect_parses({
      {"a~", {{{"a", 0}}, 0}},
      {"ox~", {{{"ox", 0}}, 0}},
      {"abc~", {{{"abc", 1}}, 0}},
      {"brown~", {{{"brown", 1}}, 0}},
      {"tokens~", {{{"tokens", 2}}, 0}},
      // Bytes, not characters: "été" is 5 bytes, "ééé" 6.
      {"été~", {{{"été", 1}}, 0}},
      {"ééé~", {{{"ééé", 2}}, 0}},
  });
}

TEST(QueryParse, QuotedQueryTakesProximity) {
  expect_parses({
      {"\"quick brown\"", {{{"quick", 0}, {"brown", 0}}, 0}},
      {"\"quick brown\"~5", {{{"quick", 0}, {"brown", 0}}, 5}},
      {"\"quick brown\"~42", {{{"quick", 0}, {"brown", 0}}, 42}},
      {"\"quick brown\"~07", {{{"quick", 0}, {"brown", 0}}, 7}},
      {"\"quick brown\"~99", {{{"quick", 0}, {"brown", 0}}, 99}},
      {"\"quick~1 brown\"~3", {{{"quick", 1}, {"brown", 0}}, 3}},
      {"  \"quick brown\"  ", {{{"quick", 0}, {"brown", 0}}, 0}},
      {"\u3000\"a\"~1\u3000", {{{"a", 0}}, 1}},
  });
}

TEST(QueryParse, FuzzinessAboveTwoIsReportedWithItsSpan) {
  expect_fails({
      {"brown~3", "Fuzziness must be less or equal to 2, but it is 3. at 5..7"},
      {"quick~05", "Fuzziness must be less or equal to 2, but it is 5. at 5..8"},
      {"a~3 b c~99",
       "Fuzziness must be less or equal to 2, but it is 3. at 1..3\n"
       "Fuzziness must be less or equal to 2, but it is 99. at 7..10"},
  });
}

TEST(QueryParse, FuzzinessErrorsPrecedeTheGrammarError) {
  expect_fails({
      // Two digits at most: "12" is the fuzziness, the "3" stops the parse.
      {"brown~123",
       "Fuzziness must be less or equal to 2, but it is 12. at 5..8\n"
       "found ''3'' at 8..9 expected whitespace, or end of input"},
      {"\"quick~5 brown\" x",
       "Fuzziness must be less or equal to 2, but it is 5. at 6..8\n"
       "found ''x'' at 16..17 expected whitespace, or end of input"},
  });
}

TEST(QueryParse, AbandonedQuotedFormDropsItsFuzzinessErrors) {
  expect_fails({
      {"\"quick~5 brown",
       "found end of input at 14..14 expected something else, ''~'', whitespace, or ''\"''"},
  });
}

TEST(QueryParse, MisplacedTildeFailsAtTheTilde) {
  expect_fails({
      {"quick~~", "found ''~'' at 6..7 expected digit, whitespace, or end of input"},
      {"quick ~1", "found ''~'' at 6..7 expected whitespace, something else, or end of input"},
      // A tilde without digits after the closing quote is not a proximity.
      {"\"quick brown\"~", "found ''~'' at 13..14 expected whitespace, or end of input"},
      {"\"quick brown\"~123", "found ''3'' at 16..17 expected whitespace, or end of input"},
  });
}

TEST(QueryParse, QuotesMayOnlyEncloseTheWholeQuery) {
  expect_fails({
      {"quick \"brown\"",
       "found ''\"'' at 6..7 expected whitespace, something else, or end of input"},
      {"\"quick\" brown", "found ''b'' at 8..9 expected whitespace, or end of input"},
      {"\"a\"é", "found ''é'' at 3..5 expected ''~'', whitespace, or end of input"},
  });
}

TEST(QueryParse, WhitespaceIsRejectedBeforeTheFirstTermAndInsideQuotes) {
  expect_fails({
      {" quick brown", "found ''q'' at 1..2 expected whitespace, or ''\"''"},
      // U+00A0 is two bytes of whitespace.
      {"\u00a0quick", "found ''q'' at 2..3 expected whitespace, or ''\"''"},
      {"\" quick\"", "found '' '' at 1..2 expected something else"},
      {"\"quick \"", "found '' '' at 6..7 expected something else, ''~'', or ''\"''"},
  });
}

TEST(QueryParse, EmptyOrBlankQueryFailsAtEndOfInput) {
  expect_fails({
      {"", "found end of input at 0..0 expected whitespace, ''\"'', or something else"},
      {"   ", "found end of input at 3..3 expected whitespace, or ''\"''"},
      {"\"", "found end of input at 1..1 expected something else"},
  });
}

TEST(QueryParse, FoundCharacterIsEscapedLikeACharLiteral) {
  const std::string after_quote = " at 3..4 expected ''~'', whitespace, or end of input";
  expect_fails({
      {"\"\tq\"", "found ''\\t'' at 1..2 expected something else"},
      {"\"\nq\"", "found ''\\n'' at 1..2 expected something else"},
      {"\"\u3000q\"", "found ''\\u{3000}'' at 1..4 expected something else"},
      // A combining mark extends a grapheme.
      {"\"a\"\u0301", "found ''\\u{301}'' at 3..5 expected ''~'', whitespace, or end of input"},
      {"\"a\"'", "found ''\\'''" + after_quote},
      {"\"a\"\\", "found ''\\\\''" + after_quote},
      {std::string("\"a\"\0", 4), "found ''\\0''" + after_quote},
      // An ill-formed byte reads as U+FFFD.
      {"\"a\"\xff", "found ''\uFFFD''" + after_quote},
  });
}

TEST(QueryParse, MessageShowsTheQueryLowerCased) {
  std::string query = "QUICK \"Brown\"";
  auto parsed = Query::parse(query);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message,
            "Following query is invalid: 'quick \"brown\"'\n, "
            "found ''\"'' at 6..7 expected whitespace, something else, or end of input");
}

TEST(QueryParse, LowerCasesTheCallersStringAndPointsIntoIt) {
  std::string query = "Quick~ BROWN";
  auto parsed = Query::parse(query);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(query, "quick~ brown");
  ASSERT_EQ(parsed->terms.size(), 2u);
  EXPECT_EQ(parsed->terms[0].text.data(), query.data());
  EXPECT_EQ(parsed->terms[1].text.data(), query.data() + 7);
}

TEST(QueryParse, IllFormedUtf8IsAWordCharacter) {
  expect_parses({{"\xff\xc3 b", {{{"\xff\xc3", 0}, {"b", 0}}, 0}}});
}

TEST(QueryParse, LongQueriesParseAndFailInLinearTime) {
  std::string many;
  for (int i = 0; i < 200000; ++i) many += "w~1 ";
  auto parsed = Query::parse(many);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->terms.size(), 200000u);
  EXPECT_EQ(parsed->terms.back(), (Term{"w", 1}));

  std::string blank(1000000, ' ');
  auto failed = Query::parse(blank);
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().message.ends_with(
      "found end of input at 1000000..1000000 expected whitespace, or ''\"''"));
}

}  // namespace
}  // namespace tarnwick::query
