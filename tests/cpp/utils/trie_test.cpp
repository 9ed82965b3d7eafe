#include "utils/trie.hpp"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

#include "utils/edit_distance.hpp"

namespace tarnwick::utils {
namespace {

using testing::levenshtein;
using testing::to_utf8;
using Matches = std::vector<TrieMatch>;

Trie trie_of(std::initializer_list<std::string_view> tokens) {
  Trie trie;
  for (std::string_view token : tokens) trie.add(token);
  return trie;
}

// Every fuzzy result at every distance, for comparing whole tries.
std::vector<Matches> all_results(const Trie& trie, std::initializer_list<std::string_view> terms) {
  std::vector<Matches> out;
  for (std::string_view term : terms) {
    for (uint8_t n = 0; n <= kMaxAutomatonDistance; ++n) out.push_back(trie.search(term, n));
  }
  return out;
}

TEST(TrieTest, FuzzySearchReturnsCodePointOrderWithDistances) {
  const Trie trie = trie_of({"cat", "cart", "car", "dog"});
  EXPECT_EQ(trie.search("cat", 1), (Matches{{"car", 1}, {"cart", 1}, {"cat", 0}}));
  EXPECT_EQ(trie.search("cat", 2), (Matches{{"car", 1}, {"cart", 1}, {"cat", 0}}));
  EXPECT_EQ(trie.search("dot", 1), (Matches{{"dog", 1}}));
  EXPECT_EQ(trie.search("", 2), Matches{});
  EXPECT_EQ(trie.search("ca", 1), (Matches{{"car", 1}, {"cat", 1}}));
}

TEST(TrieTest, DistanceZeroIsExactLookup) {
  const Trie trie = trie_of({"cat", "cart", "car"});
  EXPECT_EQ(trie.search("cart", 0), (Matches{{"cart", 0}}));
  EXPECT_EQ(trie.search("ca", 0), Matches{});
  EXPECT_EQ(trie.search("carts", 0), Matches{});
  EXPECT_EQ(trie.search("dog", 0), Matches{});
}

TEST(TrieTest, DistanceWithoutBuilderFindsNothing) {
  const Trie trie = trie_of({"cat"});
  EXPECT_EQ(trie.search("cat", 3), Matches{});
  EXPECT_EQ(trie.search("cat", 255), Matches{});
}

TEST(TrieTest, DeletingATokenKeepsItsExtensions) {
  Trie trie = trie_of({"car", "cart"});
  const size_t nodes = trie.node_count();
  trie.delete_token("car");
  EXPECT_EQ(trie.search("car", 1), (Matches{{"cart", 1}}));
  EXPECT_EQ(trie.search("cart", 0), (Matches{{"cart", 0}}));
  EXPECT_EQ(trie.node_count(), nodes);
  EXPECT_EQ(trie.size(), 1u);
}

TEST(TrieTest, DeletingPrunesNodesLeftEmpty) {
  Trie trie = trie_of({"dog", "cat", "cart"});
  ASSERT_EQ(trie.node_count(), 1u + 3 + 5);  // d o g, c a t r t
  trie.delete_token("dog");
  EXPECT_EQ(trie.node_count(), 1u + 5);
  EXPECT_EQ(trie.search("dog", 2), Matches{});
  trie.delete_token("cart");
  EXPECT_EQ(trie.node_count(), 1u + 3);
  EXPECT_EQ(trie.search("cat", 1), (Matches{{"cat", 0}}));
  trie.delete_token("cat");
  EXPECT_EQ(trie.node_count(), 1u);
  EXPECT_EQ(trie.size(), 0u);
}

TEST(TrieTest, DeletingWhatIsNotStoredChangesNothing) {
  Trie trie = trie_of({"cart", "care", "dog"});
  const auto before = all_results(trie, {"car", "cart", "ca", "do"});
  const size_t nodes = trie.node_count();
  for (std::string_view absent : {"car", "c", "carts", "cat", "x", "", "dogs"}) {
    trie.delete_token(absent);
  }
  EXPECT_EQ(all_results(trie, {"car", "cart", "ca", "do"}), before);
  EXPECT_EQ(trie.node_count(), nodes);
  EXPECT_EQ(trie.size(), 3u);
}

TEST(TrieTest, AddingTwiceOrEmptyChangesNothing) {
  Trie trie = trie_of({"cart", "car"});
  const auto before = all_results(trie, {"car", "cart"});
  trie.add("cart");
  trie.add("car");
  trie.add("");
  EXPECT_EQ(all_results(trie, {"car", "cart"}), before);
  EXPECT_EQ(trie.node_count(), 1u + 4);
  EXPECT_EQ(trie.size(), 2u);
}

TEST(TrieTest, AstralCharactersAreOneCharacterEach) {
  // U+1F600 and U+1F601 are four bytes each; U+00E9 two.
  Trie trie = trie_of({"\U0001F600", "\U0001F600a", "a\U0001F601", "\u00E9\U0001F600"});
  EXPECT_EQ(trie.search("\U0001F600", 0), (Matches{{"\U0001F600", 0}}));
  EXPECT_EQ(trie.search("\U0001F601", 1), (Matches{{"a\U0001F601", 1}, {"\U0001F600", 1}}));
  EXPECT_EQ(trie.search("a", 1), (Matches{{"a\U0001F601", 1}, {"\U0001F600", 1},
                                          {"\U0001F600a", 1}}));
  EXPECT_EQ(trie.search("\U0001F600", 1),
            (Matches{{"\u00E9\U0001F600", 1}, {"\U0001F600", 0}, {"\U0001F600a", 1}}));
  EXPECT_EQ(trie.node_count(), 1u + 2 + 2 + 2);
  trie.delete_token("\U0001F600");
  EXPECT_EQ(trie.search("\U0001F600", 0), Matches{});
  EXPECT_EQ(trie.search("\U0001F600a", 0), (Matches{{"\U0001F600a", 0}}));
  trie.delete_token("\u00E9\U0001F600");
  EXPECT_EQ(trie.node_count(), 1u + 2 + 2);
}

TEST(TrieTest, IllFormedUtf8IsNeverAToken) {
  Trie trie = trie_of({"\uFFFD", "ab"});
  trie.add("a\xFF");
  trie.add("\xED\xA0\x80");  // a surrogate
  EXPECT_EQ(trie.size(), 2u);
  EXPECT_EQ(trie.node_count(), 1u + 1 + 2);
  trie.delete_token("\xFF");  // would read as U+FFFD if decoded leniently
  EXPECT_EQ(trie.search("\uFFFD", 0), (Matches{{"\uFFFD", 0}}));
  EXPECT_EQ(trie.search("a\xFF", 2), Matches{});
}

TEST(TrieTest, VeryLongTokenNeedsNoDeepStack) {
  const std::string long_token(300000, 'a');
  Trie trie;
  trie.add(long_token);
  trie.add(long_token + "b");
  trie.add("ab");
  EXPECT_EQ(trie.search(long_token, 1),
            (Matches{{long_token, 0}, {long_token + "b", 1}}));
  trie.delete_token(long_token + "b");
  EXPECT_EQ(trie.node_count(), 1u + 300000 + 1);
  trie.delete_token(long_token);
  EXPECT_EQ(trie.node_count(), 1u + 2);
  EXPECT_EQ(trie.search("ab", 0), (Matches{{"ab", 0}}));
}

// Compares a trie with the set of tokens it should hold: their number, exact pruning (one node
// per distinct prefix), and the fuzzy results for `term` against a brute-force scan.
void expect_holds(const Trie& trie, const std::set<std::u32string>& model,
                  const std::u32string& term, const std::string& context) {
  ASSERT_EQ(trie.size(), model.size()) << context;
  std::set<std::u32string> prefixes;
  for (const std::u32string& token : model) {
    for (size_t k = 1; k <= token.size(); ++k) prefixes.insert(token.substr(0, k));
  }
  ASSERT_EQ(trie.node_count(), prefixes.size() + 1) << context;
  for (uint8_t n = 0; n <= kMaxAutomatonDistance; ++n) {
    Matches expected;  // the set iterates in code-point order, which is UTF-8 byte order too
    for (const std::u32string& token : model) {
      const size_t d = levenshtein(term, token);
      if (d <= n) expected.push_back({to_utf8(token), static_cast<uint16_t>(d)});
    }
    ASSERT_EQ(trie.search(to_utf8(term), n), expected)
        << context << " term " << to_utf8(term) << " n=" << int{n};
  }
}

// Random adds and deletes over a small alphabet, deep and narrow, checked as they go.
TEST(TrieTest, RandomEditsMatchASetAndBruteForceSearch) {
  std::mt19937 rng(7);
  constexpr std::u32string_view kAlphabet = U"ab\u00E9\U0001F600";
  std::set<std::u32string> model;
  Trie trie;
  for (int step = 0; step < 3000; ++step) {
    const std::u32string word = testing::random_word(rng, kAlphabet, 1, 5);
    if (!model.empty() && rng() % 5 < 2) {
      // Mostly a stored token, sometimes one that may not be.
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      const std::u32string victim = rng() % 4 == 0 ? word : *it;
      trie.delete_token(to_utf8(victim));
      model.erase(victim);
    } else {
      trie.add(to_utf8(word));
      model.insert(word);
    }
    const std::u32string term = testing::random_word(rng, kAlphabet, 0, 5);
    expect_holds(trie, model, term, "step " + std::to_string(step));
  }
}

// Wide nodes: hundreds of children per node grow their arrays, shrink them again as most tokens
// go, and reuse the space they gave up.
TEST(TrieTest, WideNodesGrowShrinkAndRegrow) {
  std::mt19937 rng(11);
  std::u32string alphabet;
  for (char32_t c = 0x3041; c < 0x3041 + 300; ++c) alphabet += c;
  std::set<std::u32string> model;
  Trie trie;
  auto round = [&](int adds, int deletes, const std::string& phase) {
    for (int k = 0; k < adds; ++k) {
      const std::u32string word = testing::random_word(rng, alphabet, 1, 3);
      trie.add(to_utf8(word));
      model.insert(word);
    }
    for (int k = 0; k < deletes && !model.empty(); ++k) {
      auto it = model.begin();
      std::advance(it, rng() % model.size());
      trie.delete_token(to_utf8(*it));
      model.erase(it);
    }
    for (int probe = 0; probe < 5; ++probe) {
      const std::u32string term = testing::random_word(rng, alphabet, 1, 3);
      expect_holds(trie, model, term, phase);
    }
  };
  round(3000, 0, "grown");
  round(0, 2800, "shrunk");
  round(2000, 500, "regrown");
  round(0, 100000, "emptied");
  EXPECT_EQ(trie.node_count(), 1u);
}

}  // namespace
}  // namespace tarnwick::utils
