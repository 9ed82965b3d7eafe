#include "utils/automaton.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "utils/edit_distance.hpp"

namespace tarnwick::utils {
namespace {

using testing::levenshtein;
using testing::random_word;

AutomatonState run(const LevenshteinAutomaton& automaton, std::u32string_view candidate) {
  AutomatonState state = automaton.start();
  for (char32_t c : candidate) state = automaton.step(c, state);
  return state;
}

TEST(LevenshteinDfaTest, StateCountsIncludeTheDeadState) {
  EXPECT_EQ(LevenshteinDfa(0).state_count(), 2u);
  EXPECT_EQ(LevenshteinDfa(1).state_count(), 6u);
  EXPECT_EQ(LevenshteinDfa(2).state_count(), 55u);
}

TEST(LevenshteinDfaTest, DistanceOneStatesAreNumberedInDiscoveryOrder) {
  const LevenshteinDfa dfa(1);
  const std::vector<std::vector<Position>> expected = {
      {},
      {{0, 1}},
      {{0, 0}, {1, 0}, {2, 0}},
      {{0, 0}, {1, 0}},
      {{0, 0}},
      {{0, 0}, {2, 0}},
  };
  ASSERT_EQ(dfa.state_count(), expected.size());
  for (uint32_t id = 0; id < expected.size(); ++id) {
    const auto state = dfa.state(id);
    EXPECT_EQ(std::vector<Position>(state.begin(), state.end()), expected[id]) << "state " << id;
  }
  // From the start state: a match at the window's first term character keeps it and moves on;
  // otherwise the spans of the targets are those of states 3 and 2.
  for (uint32_t mask = 0; mask < dfa.mask_count(); ++mask) {
    const Transition* t = dfa.transition(1, mask);
    ASSERT_NE(t, nullptr);
    const bool match = (mask & 1) != 0;
    const bool second = (mask & 2) != 0;
    EXPECT_EQ(t->next, match ? 1u : second ? 2u : 3u) << "mask " << mask;
    EXPECT_EQ(t->shift, match ? 1u : 0u) << "mask " << mask;
    EXPECT_EQ(t->span, match ? 1 : second ? 2 : 1) << "mask " << mask;
  }
}

TEST(LevenshteinDfaTest, ExactTableAcceptsOnlyMatches) {
  const LevenshteinDfa dfa(0);
  ASSERT_EQ(dfa.mask_count(), 2u);
  const Transition match = *dfa.transition(1, 1);
  EXPECT_EQ(match.next, 1u);
  EXPECT_EQ(match.shift, 1u);
  EXPECT_EQ(dfa.transition(1, 0)->next, 0u);
}

TEST(LevenshteinDfaTest, EveryStateIsNormalizedAndFullyConnected) {
  for (uint8_t n = 0; n <= kMaxAutomatonDistance; ++n) {
    const LevenshteinDfa dfa(n);
    const uint32_t width = 2u * n + 1;
    EXPECT_EQ(dfa.mask_count(), 1u << width);
    EXPECT_TRUE(dfa.state(0).empty());
    EXPECT_EQ(dfa.transition(dfa.state_count(), 0), nullptr);
    EXPECT_EQ(dfa.transition(0, dfa.mask_count()), nullptr);
    for (uint32_t id = 0; id < dfa.state_count(); ++id) {
      const auto state = dfa.state(id);
      if (id != 0) {
        ASSERT_FALSE(state.empty()) << "n=" << int{n} << " state " << id;
        EXPECT_EQ(state.front().consumed, 0u);
        EXPECT_TRUE(std::is_sorted(state.begin(), state.end()));
        EXPECT_EQ(std::adjacent_find(state.begin(), state.end()), state.end());
        for (const Position& p : state) {
          EXPECT_LT(p.consumed, width);
          EXPECT_GE(p.budget, 0);
          EXPECT_LE(p.budget, n);
        }
      }
      for (uint32_t mask = 0; mask < dfa.mask_count(); ++mask) {
        const Transition* t = dfa.transition(id, mask);
        ASSERT_NE(t, nullptr);
        ASSERT_LT(t->next, dfa.state_count());
        if (id == 0) {
          EXPECT_EQ(t->next, 0u);
          EXPECT_EQ(t->shift, 0u);
          EXPECT_EQ(t->span, 0);
        }
        int32_t span = 0;
        for (const Position& p : dfa.state(t->next)) {
          span = std::max(span, static_cast<int32_t>(p.consumed) + p.budget);
        }
        EXPECT_EQ(t->span, span) << "n=" << int{n} << " state " << id << " mask " << mask;
      }
    }
  }
}

struct Case {
  uint8_t n;
  std::u32string term;
  std::u32string candidate;
  bool accepts;
  uint16_t distance;  // when accepted
};

TEST(LevenshteinAutomatonTest, KnownPairs) {
  const Case cases[] = {
      {1, U"cat", U"car", true, 1},
      {1, U"cat", U"cart", true, 1},
      {1, U"cat", U"cat", true, 0},
      {1, U"cat", U"act", false, 0},
      {2, U"cat", U"act", true, 2},
      {0, U"cat", U"cat", true, 0},
      {0, U"cat", U"ca", false, 0},
      {0, U"cat", U"cats", false, 0},
      {2, U"", U"", true, 0},
      {2, U"", U"x", true, 1},
      {2, U"", U"xy", true, 2},
      {2, U"", U"xyz", false, 0},
      {1, U"aab", U"ab", true, 1},
      {2, U"aaab", U"b", false, 0},
      {1, U"abc", U"xbc", true, 1},  // 'x' is not in the term: mask 0
      {1, U"a\U0001F600b", U"ab", true, 1},
      {2, U"\U0001F600\U0001F601", U"\U0001F601\U0001F600", true, 2},
  };
  for (const Case& c : cases) {
    const LevenshteinAutomatonBuilder builder(c.n);
    const LevenshteinAutomaton automaton = builder.get(std::u32string_view(c.term));
    const AutomatonState state = run(automaton, c.candidate);
    const std::string label = testing::to_utf8(c.term) + " / " + testing::to_utf8(c.candidate);
    EXPECT_EQ(automaton.is_accepting(state), c.accepts) << label << " n=" << int{c.n};
    if (c.accepts) {
      EXPECT_EQ(automaton.match_distance(state), c.distance) << label;
    }
  }
}

TEST(LevenshteinAutomatonTest, Utf8TermIsCountedInCharacters) {
  const LevenshteinAutomatonBuilder builder(1);
  const LevenshteinAutomaton automaton = builder.get(std::string_view("\xC3\xA9t\xC3\xA9"));
  EXPECT_EQ(automaton.query_length(), 3u);
  const AutomatonState state = run(automaton, U"\u00E9t");
  EXPECT_TRUE(automaton.is_accepting(state));
  EXPECT_EQ(automaton.match_distance(state), 1);
}

TEST(LevenshteinAutomatonTest, UnreachableStatesStepToDead) {
  const LevenshteinAutomatonBuilder builder(2);
  const LevenshteinAutomaton automaton = builder.get(std::u32string_view(U"ab"));
  const AutomatonState dead{};
  EXPECT_EQ(automaton.step(U'a', AutomatonState{0, 2, 55}), dead);
  EXPECT_EQ(automaton.step(U'a', AutomatonState{3, 2, 1}), dead);
  EXPECT_EQ(automaton.step(U'a', dead), dead);
  EXPECT_FALSE(automaton.is_accepting(dead));
  EXPECT_EQ(automaton.match_distance(dead), 3);
}

// Acceptance and distance agree with the dynamic-programming distance, and a state that dies
// never revives, so every candidate extending a dead prefix is too far away.
TEST(LevenshteinAutomatonTest, AgreesWithDynamicProgrammingOnRandomPairs) {
  std::mt19937 rng(20240611);
  constexpr std::u32string_view kAlphabet = U"abc\U0001F600";
  for (uint8_t n = 0; n <= kMaxAutomatonDistance; ++n) {
    const LevenshteinAutomatonBuilder builder(n);
    for (int round = 0; round < 4000; ++round) {
      const std::u32string term = random_word(rng, kAlphabet, 0, 7);
      // Half the candidates are near the term, so that every distance up to n comes up often.
      const std::u32string candidate = round % 2 == 0 ? random_word(rng, kAlphabet, 0, 9)
                                                      : testing::mutate(rng, term, kAlphabet, 3);
      const LevenshteinAutomaton automaton = builder.get(std::u32string_view(term));
      const size_t expected = levenshtein(term, candidate);
      AutomatonState state = automaton.start();
      bool died = false;
      for (char32_t c : candidate) {
        state = automaton.step(c, state);
        ASSERT_LE(state.offset, term.size());
        if (state.state_id == 0) died = true;
        ASSERT_FALSE(died && state.state_id != 0);
      }
      const std::string label = "n=" + std::to_string(n) + " " + testing::to_utf8(term) +
                                " / " + testing::to_utf8(candidate);
      ASSERT_EQ(automaton.is_accepting(state), expected <= n) << label;
      if (expected <= n) {
        ASSERT_EQ(automaton.match_distance(state), expected) << label;
      } else {
        ASSERT_GT(automaton.match_distance(state), n) << label;
      }
    }
  }
}

// A long term with many distinct characters gets no mask table; its masks are read off the term.
TEST(LevenshteinAutomatonTest, LongTermsWithManyCharactersAgreeWithDynamicProgramming) {
  std::mt19937 rng(99);
  std::u32string alphabet;
  for (char32_t c = 0x4E00; c < 0x4E00 + 280; ++c) alphabet += c;
  for (uint8_t n = 0; n <= kMaxAutomatonDistance; ++n) {
    const LevenshteinAutomatonBuilder builder(n);
    for (int round = 0; round < 40; ++round) {
      std::u32string term = alphabet;
      std::shuffle(term.begin(), term.end(), rng);
      term += term.substr(0, 20);  // repeats too
      const std::u32string candidate = testing::mutate(rng, term, alphabet, 3);
      const LevenshteinAutomaton automaton = builder.get(std::u32string_view(term));
      const size_t expected = levenshtein(term, candidate);
      const AutomatonState state = run(automaton, candidate);
      ASSERT_EQ(automaton.is_accepting(state), expected <= n) << "round " << round;
      if (expected <= n) {
        ASSERT_EQ(automaton.match_distance(state), expected);
      }
    }
  }
}

}  // namespace
}  // namespace tarnwick::utils
