#include "matching/mis.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <compare>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "matching/test_candidate.hpp"

namespace tarnwick::matching {
namespace {

// A document written as letters, one kept word each, and a query as one string per query token
// listing the letters matching it; the n-th letter of a query token is at edit distance n.
TestCandidate from_letters(const std::string& document, const std::vector<std::string>& query) {
  std::vector<uint32_t> words(document.begin(), document.end());
  Groups groups;
  for (const std::string& alternatives : query) {
    auto& group = groups.emplace_back();
    for (size_t i = 0; i < alternatives.size(); ++i) {
      group.push_back({static_cast<uint32_t>(alternatives[i]), static_cast<uint16_t>(i)});
    }
  }
  return TestCandidate(words, std::move(groups));
}

struct Found {
  std::vector<MatchedTerm> terms;
  uint32_t slop;

  bool operator==(const Found&) const = default;
};

std::vector<Found> drain(MinimalIntervalSemanticMatch& matcher) {
  std::vector<Found> found;
  while (auto interval = matcher.next()) {
    found.push_back({{interval->terms.begin(), interval->terms.end()}, interval->slop});
  }
  return found;
}

std::vector<Found> match(std::span<const TermPositions> terms, uint32_t group_count,
                         uint8_t proximity) {
  MinimalIntervalSemanticMatch matcher;
  matcher.reset(terms, group_count, proximity);
  return drain(matcher);
}

struct Picks {
  std::vector<uint32_t> positions;
  uint32_t slop;

  bool operator==(const Picks&) const = default;
};

std::vector<Picks> picks(const std::vector<Found>& found) {
  std::vector<Picks> out;
  for (const Found& f : found) {
    auto& p = out.emplace_back(Picks{{}, f.slop});
    for (const MatchedTerm& t : f.terms) p.positions.push_back(t.position);
  }
  return out;
}

struct Case {
  std::string document;
  std::vector<std::string> query;
  uint8_t proximity;
  std::vector<Picks> want;
};

void expect_matches(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.document + " / proximity " + std::to_string(c.proximity));
    const TestCandidate candidate = from_letters(c.document, c.query);
    EXPECT_EQ(picks(match(candidate.terms(), candidate.group_count(), c.proximity)), c.want);
  }
}

TEST(MinimalIntervalMatch, TermsMatchInQueryOrderWithinTheProximity) {
  expect_matches({
      {"ab", {"a", "b"}, 0, {{{0, 1}, 0}}},
      {"axb", {"a", "b"}, 0, {}},
      {"axb", {"a", "b"}, 1, {{{0, 2}, 1}}},
      {"ba", {"a", "b"}, 99, {}},
      {"axbxc", {"a", "b", "c"}, 2, {{{0, 2, 4}, 2}}},
      {"axbxc", {"a", "b", "c"}, 1, {}},
      // Slop accumulates over the whole chain.
      {"axbxxc", {"a", "b", "c"}, 2, {}},
      {"axbxxc", {"a", "b", "c"}, 3, {{{0, 2, 5}, 3}}},
      // The earliest continuation is picked, also where a later one has the same slop.
      {"abbc", {"a", "b", "c"}, 1, {{{0, 1, 3}, 1}}},
  });
}

TEST(MinimalIntervalMatch, EveryFirstTermOccurrenceStartsItsOwnChain) {
  expect_matches({
      {"abab", {"a", "b"}, 0, {{{0, 1}, 0}, {{2, 3}, 0}}},
      {"aab", {"a", "b"}, 0, {{{1, 2}, 0}}},
      // Nested intervals both come out: the outer one is not dropped for the inner one.
      {"aab", {"a", "b"}, 1, {{{0, 2}, 1}, {{1, 2}, 0}}},
      // A chain given up for its slop does not stop later chains.
      {"axxbab", {"a", "b"}, 0, {{{4, 5}, 0}}},
      // A first occurrence with nothing after it ends matching.
      {"aba", {"a", "b"}, 0, {{{0, 1}, 0}}},
  });
}

TEST(MinimalIntervalMatch, RepeatedQueryTokenPicksSuccessiveOccurrences) {
  expect_matches({
      {"aa", {"a", "a"}, 0, {{{0, 1}, 0}}},
      {"aaa", {"a", "a"}, 0, {{{0, 1}, 0}, {{1, 2}, 0}}},
      {"a", {"a", "a"}, 5, {}},
  });
}

TEST(MinimalIntervalMatch, SingleQueryTokenYieldsEveryOccurrenceOfItsAlternatives) {
  expect_matches({
      {"bxaxb", {"ab"}, 0, {{{0}, 0}, {{2}, 0}, {{4}, 0}}},
      {"xx", {"a"}, 0, {}},
  });
}

TEST(MinimalIntervalMatch, QueryTokenWithoutPositionsYieldsNothing) {
  expect_matches({
      {"ab", {"a", "c"}, 9, {}},
      {"ab", {"c", "b"}, 9, {}},
      // An alternative absent from the document is skipped; the others still match.
      {"ab", {"a", "cb"}, 0, {{{0, 1}, 0}}},
  });
  EXPECT_EQ(match({}, 2, 9), std::vector<Found>{});
  EXPECT_EQ(match({}, 0, 9), std::vector<Found>{});
}

TEST(MinimalIntervalMatch, IntervalCarriesThePickedAlternatives) {
  const TestCandidate candidate = from_letters("bcab", {"ab", "bc"});
  // b at 0 (distance 1, tf 2) is followed by c at 1 (distance 1, tf 1); a at 2 (distance 0, tf 1)
  // by b at 3 (distance 0, tf 2); b at 3 has no follower.
  const std::vector<Found> want = {
      {{{2, 1, 'b', 0, 1}, {1, 1, 'c', 1, 1}}, 0},
      {{{1, 1, 'a', 2, 0}, {2, 1, 'b', 3, 0}}, 0},
  };
  EXPECT_EQ(match(candidate.terms(), 2, 0), want);
}

TEST(MinimalIntervalMatch, FarApartTermsNeverFitTheProximity) {
  const std::vector<uint32_t> first = {0};
  const std::vector<uint32_t> far = {0x80000001};  // a gap of 2^31 positions
  const std::vector<uint32_t> last = {0xFFFFFFFF};
  const std::vector<TermPositions> apart = {{0, 1, 0, 1, first}, {1, 2, 0, 1, far}};
  EXPECT_EQ(match(apart, 2, 99), std::vector<Found>{});

  const std::vector<uint32_t> before_last = {0xFFFFFFFE};
  const std::vector<TermPositions> at_end = {{0, 1, 0, 1, before_last}, {1, 2, 0, 1, last}};
  EXPECT_EQ(picks(match(at_end, 2, 0)), (std::vector<Picks>{{{0xFFFFFFFE, 0xFFFFFFFF}, 0}}));
}

TEST(MinimalIntervalMatch, EndedMatcherStaysEnded) {
  const TestCandidate candidate = from_letters("aba", {"a", "b"});
  MinimalIntervalSemanticMatch matcher;
  matcher.reset(candidate.terms(), 2, 0);
  EXPECT_TRUE(matcher.next().has_value());
  EXPECT_FALSE(matcher.next().has_value());
  EXPECT_FALSE(matcher.next().has_value());
}

// The least slop of a candidate's intervals, asked of a matcher that has just matched another to
// its end: nothing read of the other's positions carries over.
TEST(MinimalIntervalMatch, SlopFloorStartsAfreshAfterAnotherCandidate) {
  const TestCandidate before = from_letters("abab", {"a", "b"});
  MinimalIntervalSemanticMatch matcher;
  matcher.reset(before.terms(), 2, 0);
  EXPECT_EQ(drain(matcher).size(), 2u);
  const struct {
    const char* document;
    std::vector<std::string> query;
    uint8_t proximity;
    std::optional<uint32_t> floor;
  } cases[] = {
      {"abb", {"a", "b"}, 0, 0},
      {"bab", {"a", "b"}, 0, 0},
      {"ba", {"a", "b"}, 3, std::nullopt},
      {"axxb", {"a", "b"}, 1, std::nullopt},
      {"axxb", {"a", "b"}, 2, 2},
      {"axxbaxb", {"a", "b"}, 3, 1},  // the least slop comes later
      {"axbxc", {"a", "b", "c"}, 1, std::nullopt},
      {"axbxc", {"a", "b", "c"}, 2, 2},
      {"acb", {"ac", "b"}, 0, 0},  // two tokens for the first query token
      {"axxcb", {"ac", "b"}, 3, 0},  // the same: a floor, not the least
  };
  for (const auto& c : cases) {
    const TestCandidate candidate = from_letters(c.document, c.query);
    EXPECT_EQ(matcher.slop_floor(candidate.terms(), candidate.group_count(), c.proximity),
              c.floor)
        << c.document << " " << int{c.proximity};
  }
}

// Of all picks at strictly increasing positions continuing each first-token occurrence, the one
// with the least slop and, among those, the earliest positions.
std::vector<Found> brute_force(std::span<const TermPositions> terms, uint32_t group_count,
                               uint8_t proximity) {
  struct Occurrence {
    uint32_t position;
    uint32_t entry;
    auto operator<=>(const Occurrence&) const = default;
  };
  std::vector<std::vector<Occurrence>> occurrences(group_count);
  for (uint32_t k = 0; k < terms.size(); ++k) {
    for (uint32_t p : terms[k].positions) occurrences[terms[k].group].push_back({p, k});
  }
  std::sort(occurrences[0].begin(), occurrences[0].end());

  auto slop = [](const std::vector<Occurrence>& chain) {
    return chain.back().position - chain.front().position - (chain.size() - 1);
  };
  std::vector<Found> found;
  for (const Occurrence& start : occurrences[0]) {
    std::optional<std::vector<Occurrence>> best;
    std::vector<Occurrence> chain = {start};
    auto extend = [&](auto& self) -> void {
      if (chain.size() == group_count) {
        if (!best || slop(chain) < slop(*best) || (slop(chain) == slop(*best) && chain < *best)) {
          best = chain;
        }
        return;
      }
      for (const Occurrence& o : occurrences[chain.size()]) {
        if (o.position <= chain.back().position) continue;
        chain.push_back(o);
        self(self);
        chain.pop_back();
      }
    };
    extend(extend);
    if (!best || slop(*best) > proximity) continue;
    Found& f = found.emplace_back(Found{{}, static_cast<uint32_t>(slop(*best))});
    for (const Occurrence& o : *best) {
      const TermPositions& t = terms[o.entry];
      f.terms.push_back({t.positions.size(), t.df, t.token_id, o.position, t.distance});
    }
  }
  return found;
}

TEST(MinimalIntervalMatch, AgreesWithBruteForceOnRandomDocuments) {
  std::mt19937 rng(20240611);
  MinimalIntervalSemanticMatch matcher;  // reused, as across the candidates of one query
  for (int round = 0; round < 5000; ++round) {
    const TestCandidate candidate = TestCandidate::random(rng);
    const auto proximity = static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 3)(rng));
    SCOPED_TRACE(round);
    const auto expected = brute_force(candidate.terms(), candidate.group_count(), proximity);
    // With one token a query token the floor is the least slop; with alternatives, any floor.
    const std::optional<uint32_t> floor =
        matcher.slop_floor(candidate.terms(), candidate.group_count(), proximity);
    ASSERT_EQ(floor.has_value(), !expected.empty());
    if (floor) {
      const uint32_t least = std::ranges::min(expected, {}, &Found::slop).slop;
      if (candidate.terms().size() == candidate.group_count()) {
        EXPECT_EQ(*floor, least);
      } else {
        EXPECT_LE(*floor, least);
      }
    }
    matcher.reset(candidate.terms(), candidate.group_count(), proximity);
    ASSERT_EQ(drain(matcher), expected);
  }
}

}  // namespace
}  // namespace tarnwick::matching
