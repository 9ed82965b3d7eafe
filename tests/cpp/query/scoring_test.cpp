#include "query/scoring.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "inverted/posting_list.hpp"
#include "matching/test_candidate.hpp"

namespace tarnwick::query {
namespace {

using matching::Interval;
using matching::MatchedTerm;
using matching::TermCount;
using matching::TermPositions;

struct Term {
  uint64_t tf;
  uint64_t df;
  uint16_t distance = 0;
};

double score(uint64_t live_count, uint32_t doc_len, double avg_doc_len,
             const std::vector<Term>& terms, uint32_t slop = 0) {
  std::vector<MatchedTerm> matched;
  for (const Term& t : terms) matched.push_back({t.tf, t.df, 7, 0, t.distance});
  return Scorer(live_count, avg_doc_len).bm25(doc_len, Interval{matched, slop});
}

TEST(Bm25, TermScoresFollowTheFormula) {
  struct Case {
    uint64_t live_count;
    Term term;
    uint32_t doc_len;
    double avg_doc_len;
    double want;
  };
  const std::vector<Case> cases = {
      // ln(9.5 / 1.5 + 1) with tfpart 1 at average length.
      {10, {1, 1}, 5, 5.0, 1.992430},
      {10, {1, 1, 1}, 5, 5.0, 1.593944},
      {10, {1, 1, 2}, 5, 5.0, 1.275155},
      // Twice the average length: tfpart = 2.5 / (1 + 1.5 * 1.75).
      {10, {1, 1}, 10, 5.0, 1.374090},
      // An empty document: tfpart = 2.5 / (1 + 1.5 * 0.25).
      {10, {1, 1}, 0, 5.0, 3.622600},
      // tfpart = 7.5 / 4.5.
      {10, {3, 1}, 5, 5.0, 3.320717},
      // df above the live count counts as N - df = 0: ln(0.5 / 5.5 + 1).
      {2, {1, 5}, 5, 5.0, 0.087011},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_NEAR(score(c.live_count, c.doc_len, c.avg_doc_len, {c.term}), c.want, 1e-6);
  }
}

TEST(Bm25, IntervalScoreIsItsTermsSumOverSlopPlusOne) {
  const Term a = {1, 1};
  const Term b = {2, 3, 1};
  const double tight = score(10, 5, 5.0, {a, b});
  EXPECT_DOUBLE_EQ(tight, score(10, 5, 5.0, {a}) + score(10, 5, 5.0, {b}));
  EXPECT_DOUBLE_EQ(score(10, 5, 5.0, {a, b}, 3), tight / 4);
  EXPECT_EQ(score(10, 5, 5.0, {}), 0.0);
}

TEST(Bm25, EmptyCollectionScoresZero) {
  EXPECT_EQ(score(0, 5, 5.0, {{1, 1}}), 0.0);
  const std::vector<TermCount> candidate = {{0, 0, 1, 1}};
  EXPECT_EQ(Scorer(0, 5.0).max_bm25(5, candidate), 0.0);
}

TEST(Bm25, AverageLengthWithoutMeaningCountsAsAverageDocument) {
  const double at_average = score(10, 5, 5.0, {{2, 1}});
  const std::vector<TermCount> candidate = {{0, 0, 1, 2}};
  for (double avg : {0.0, -0.0, -0.5, -1e300, std::nan("")}) {
    SCOPED_TRACE(avg);
    EXPECT_DOUBLE_EQ(score(10, 5, avg, {{2, 1}}), at_average);
    EXPECT_DOUBLE_EQ(Scorer(10, avg).max_bm25(5, candidate), at_average);
  }
  // Extreme but positive averages stay finite and non-negative.
  for (double avg : {std::numeric_limits<double>::infinity(), 1e-320}) {
    SCOPED_TRACE(avg);
    const double s = score(10, 5, avg, {{2, 1}});
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_GE(s, 0.0);
  }
}

TEST(MaxBm25, SumsTheBestAlternativeOfEachQueryToken) {
  // Query token 0: a fuzzy alternative scoring 0.8 x 1.992430, then an exact one scoring
  // 1.992430. Query token 1: tf 2, df 5 of 10: ln 2 x 5 / 3.5.
  const std::vector<TermCount> candidate = {{0, 1, 1, 1}, {0, 0, 1, 1}, {1, 0, 5, 2}};
  EXPECT_NEAR(Scorer(10, 5.0).max_bm25(5, candidate), 2.982640, 1e-6);
}

TEST(Bm25, TermScoreIsMonotoneInEachStatistic) {
  std::mt19937 rng(7);
  auto in = [&rng](uint64_t lo, uint64_t hi) {
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
  };
  for (int round = 0; round < 20000; ++round) {
    const uint64_t n = in(1, 1000);
    const Term t = {in(1, 50), in(0, 1500), static_cast<uint16_t>(in(0, 3))};
    const auto dl = static_cast<uint32_t>(in(0, 200));
    const double avg = std::uniform_real_distribution<double>(0.5, 100)(rng);
    const uint32_t slop = static_cast<uint32_t>(in(0, 99));
    const uint64_t step = in(1, 100);
    const double base = score(n, dl, avg, {t}, slop);
    SCOPED_TRACE(round);
    ASSERT_GT(base, 0.0);
    ASSERT_GE(score(n, dl, avg, {{t.tf + step, t.df, t.distance}}, slop), base);
    ASSERT_LE(score(n, dl, avg, {{t.tf, t.df + step, t.distance}}, slop), base);
    ASSERT_LE(score(n, dl + static_cast<uint32_t>(step), avg, {t}, slop), base);
    ASSERT_LE(score(n, dl, avg, {{t.tf, t.df, static_cast<uint16_t>(t.distance + 1)}}, slop), base);
    ASSERT_GE(score(n + step, dl, avg, {t}, slop), base);
    ASSERT_LE(score(n, dl, avg, {t}, slop + 1), base);
  }
}

// The interval of `pick`, taking alternative pick[g] of every query token g.
std::vector<MatchedTerm> interval_of(std::span<const TermPositions> candidate,
                                     const std::vector<size_t>& pick) {
  std::vector<MatchedTerm> terms;
  for (size_t entry : pick) {
    const TermPositions& t = candidate[entry];
    terms.push_back({t.positions.size(), t.df, t.token_id, 0, t.distance});
  }
  return terms;
}

TEST(MaxBm25, BoundsEveryIntervalOfTheCandidate) {
  std::mt19937 rng(11);
  auto in = [&rng](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  const double averages[] = {0.0, -0.5, std::nan(""), 0.3, 2.0, 6.5, 40.0};
  matching::MinimalIntervalSemanticMatch matcher;
  for (int round = 0; round < 5000; ++round) {
    const auto candidate = matching::TestCandidate::random(rng);
    const uint64_t n = in(0, 30);  // df reaches 20, so it may exceed the live count
    const uint32_t dl = in(0, 12);
    const double avg = averages[in(0, std::size(averages) - 1)];
    Scorer scorer(n, avg);
    const double bound = scorer.max_bm25(dl, candidate.counts());
    SCOPED_TRACE(round);
    ASSERT_TRUE(std::isfinite(bound));

    matcher.reset(candidate.terms(), candidate.group_count(), static_cast<uint8_t>(in(0, 3)));
    while (auto interval = matcher.next()) ASSERT_LE(scorer.bm25(dl, *interval), bound);

    // Any one alternative per query token, present in the document or not, at any slop.
    std::vector<size_t> pick;
    const auto terms = candidate.terms();
    for (size_t k = 0; k < terms.size(); ++k) {
      const bool group_starts = k == 0 || terms[k - 1].group != terms[k].group;
      if (group_starts) pick.push_back(k);
      else if (in(0, 1) == 0) pick.back() = k;
    }
    const auto chosen = interval_of(terms, pick);
    ASSERT_LE(scorer.bm25(dl, Interval{chosen, in(0, 3)}), bound);
  }
}

TEST(MaxBlockTerm, BoundsTheTermOfEveryPostingOfTheBlock) {
  std::mt19937 rng(13);
  auto in = [&rng](uint32_t lo, uint32_t hi) {
    return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
  };
  const double averages[] = {0.0,  -0.5, std::nan(""), 1e-320, 0.3,
                             2.0,  6.5,  40.0,         std::numeric_limits<double>::infinity()};
  for (int round = 0; round < 3000; ++round) {
    const uint64_t n = in(0, 50);
    const uint64_t df = in(1, 60);
    const auto distance = static_cast<uint16_t>(in(0, 2));
    const double avg = averages[in(0, std::size(averages) - 1)];
    std::vector<Term> block(in(1, 64));
    std::vector<uint32_t> lengths(block.size());
    inverted::PostingList::BlockBound bound = inverted::PostingList::kNoPostings;
    for (size_t i = 0; i < block.size(); ++i) {
      block[i] = {in(0, 9), df, distance};
      lengths[i] = in(0, 40);
      bound.add(static_cast<uint32_t>(block[i].tf), lengths[i]);
    }
    const double most = Scorer(n, avg).max_block_term(df, distance, bound.min_ratio, bound.max_tf);
    SCOPED_TRACE(round);
    ASSERT_TRUE(std::isfinite(most));
    for (size_t i = 0; i < block.size(); ++i) {
      ASSERT_LE(score(n, lengths[i], avg, {block[i]}), most) << i;
    }
    // A block of one posting is bounded by its own term, bar the float its ratio is kept in.
    if (block.size() == 1) {
      EXPECT_NEAR(most, score(n, lengths[0], avg, {block[0]}), most * 1e-6);
    }
  }
}

}  // namespace
}  // namespace tarnwick::query
