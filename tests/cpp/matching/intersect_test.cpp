#include "matching/intersect.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "inverted/index_fixture.hpp"
#include "utils/edit_distance.hpp"

namespace tarnwick::matching {
namespace {

using index_testing::doc;
using index_testing::quiet_config;
using index_testing::TempDir;

const std::vector<std::string> kVocabulary = {"cat", "cart", "card", "dog", "dig",
                                              "elk", "bird", "ox",   "ax"};

// The words here are ASCII, one character per byte.
size_t levenshtein(const std::string& a, const std::string& b) {
  return utils::testing::levenshtein(std::u32string(a.begin(), a.end()),
                                     std::u32string(b.begin(), b.end()));
}

// One candidate as the intersection reports it: per query token, its matching token ids with
// their distances and positions.
using Group = std::map<uint32_t, std::pair<uint16_t, std::vector<uint32_t>>>;
using Candidate = std::pair<uint128, std::vector<Group>>;

// A random collection: per document, per token, its positions.
class IntersectionTest : public ::testing::Test {
 protected:
  void build(std::mt19937& random, int documents) {
    auto tokens = inverted::TokenHasher::load(dir_.path(), quiet_config());
    ASSERT_TRUE(tokens.ok());
    tokens_.emplace(std::move(*tokens));
    for (const auto& word : kVocabulary) {
      ASSERT_TRUE(tokens_->add(word).ok());
      trie_.add(word);
    }
    for (int d = 0; d < documents; ++d) {
      auto& postings = docs_[doc(d)];
      for (const auto& word : kVocabulary) {
        if (random() % 3 != 0) continue;
        std::vector<uint32_t> positions;
        for (uint32_t p = 0; p < 12; ++p) {
          if (random() % 4 == 0) positions.push_back(p);
        }
        if (positions.empty()) continue;
        const uint32_t id = *tokens_->id_of(word);
        ASSERT_TRUE(index_[id].append(doc(d), positions));
        postings[id] = positions;
      }
    }
  }

  std::vector<Candidate> expected(const analysis::TokenizedQuery& query) const {
    std::vector<std::map<uint32_t, uint16_t>> alternatives;
    for (const auto& token : query.tokens) {
      std::map<uint32_t, uint16_t> found;
      for (const auto& word : kVocabulary) {
        const size_t distance = levenshtein(token.text, word);
        const bool long_enough =
            token.fuzziness < word.size() && token.fuzziness < token.text.size();
        if (distance <= token.fuzziness && (word == token.text || long_enough)) {
          found[*tokens_->id_of(word)] = static_cast<uint16_t>(distance);
        }
      }
      alternatives.push_back(found);
    }
    std::vector<Candidate> out;
    for (const auto& [id, postings] : docs_) {
      std::vector<Group> groups;
      for (const auto& found : alternatives) {
        Group group;
        for (const auto& [token, distance] : found) {
          if (auto it = postings.find(token); it != postings.end()) {
            group[token] = {distance, it->second};
          }
        }
        if (group.empty()) break;
        groups.push_back(group);
      }
      if (groups.size() == alternatives.size()) out.emplace_back(id, groups);
    }
    return out;
  }

  std::vector<Candidate> actual(const analysis::TokenizedQuery& query) const {
    std::vector<Candidate> out;
    const inverted::LayeredIndex layered(index_);
    auto intersection = PostingListIntersection::create(query, layered, *tokens_, trie());
    if (!intersection) return out;
    while (intersection->next()) {
      // The counts that bound a candidate bound those of the positions the matcher reads.
      const std::vector<TermCount> counts(intersection->counts().begin(),
                                          intersection->counts().end());
      const auto terms = intersection->terms();
      EXPECT_EQ(counts.size(), terms.size());
      for (size_t k = 0; k < std::min(counts.size(), terms.size()); ++k) {
        EXPECT_EQ(counts[k].group, terms[k].group);
        EXPECT_EQ(counts[k].distance, terms[k].distance);
        EXPECT_EQ(counts[k].df, terms[k].df);
        EXPECT_GE(counts[k].max_tf, terms[k].positions.size());
      }
      std::vector<Group> groups(intersection->group_count());
      for (const TermPositions& term : terms) {
        EXPECT_EQ(term.df, index_.at(term.token_id).size());
        groups[term.group][term.token_id] = {
            term.distance, std::vector<uint32_t>(term.positions.begin(), term.positions.end())};
      }
      out.emplace_back(intersection->doc_id(), groups);
    }
    return out;
  }

  // The trie, counting the times the intersection asks for it.
  std::function<const utils::Trie&()> trie() const {
    return [this]() -> const utils::Trie& {
      ++trie_asked_;
      return trie_;
    };
  }

  TempDir dir_;
  std::optional<inverted::TokenHasher> tokens_;
  utils::Trie trie_;
  mutable int trie_asked_ = 0;
  inverted::Index index_;
  std::map<uint128, std::map<uint32_t, std::vector<uint32_t>>> docs_;
};

// Whether a document holds picks of one position per query token, ascending in query order, that
// skip at most `proximity` positions in all: an interval.
bool has_interval(const std::vector<Group>& groups, uint8_t proximity) {
  std::function<bool(size_t, int64_t, int64_t)> pick = [&](size_t g, int64_t previous,
                                                           int64_t skipped) {
    if (g == groups.size()) return true;
    for (const auto& [token, found] : groups[g]) {
      for (const uint32_t position : found.second) {
        const int64_t more = g == 0 ? 0 : position - previous - 1;
        if (more >= 0 && skipped + more <= proximity && pick(g + 1, position, skipped + more)) {
          return true;
        }
      }
    }
    return false;
  };
  return pick(0, -1, 0);
}

TEST_F(IntersectionTest, YieldsTheDocumentsMatchingEveryQueryTokenThatMayHoldAnInterval) {
  std::mt19937 random(20261207);
  build(random, 300);
  const std::vector<std::string> terms = {"cat", "cot", "card", "dog", "dug", "elk",
                                          "bird", "ox", "ix", "zebra"};
  size_t passed_over = 0;  // documents matching every token of a phrase, without an interval
  for (int round = 0; round < 600; ++round) {
    analysis::TokenizedQuery query;
    const size_t count = 1 + random() % 4;
    for (size_t i = 0; i < count; ++i) {
      // Exact two times in three, so that a good share of queries are phrases of exact words.
      const auto fuzziness = static_cast<uint8_t>(random() % 3 != 0 ? 0 : 1 + random() % 2);
      query.tokens.push_back({terms[random() % terms.size()], fuzziness});
    }
    query.proximity = static_cast<uint8_t>(random() % 4);
    const auto every_token = expected(query);
    const int asked = trie_asked_;
    const auto got = actual(query);
    // What is yielded matches every query token, and is yielded whole; nothing with an interval
    // is missed.
    ASSERT_TRUE(std::includes(every_token.begin(), every_token.end(), got.begin(), got.end()))
        << "round " << round;
    for (const Candidate& candidate : every_token) {
      if (has_interval(candidate.second, query.proximity)) {
        EXPECT_TRUE(std::binary_search(got.begin(), got.end(), candidate))
            << "round " << round << " document " << static_cast<uint64_t>(candidate.first);
      }
    }
    passed_over += every_token.size() - got.size();
    // Exact tokens are looked up in the dictionary alone.
    const bool fuzzy = std::any_of(query.tokens.begin(), query.tokens.end(),
                                   [](const analysis::Token& t) { return t.fuzziness > 0; });
    if (!fuzzy) {
      EXPECT_EQ(trie_asked_, asked) << "round " << round;
    }
  }
  // Phrases of three words or more pass over some documents that hold them all apart.
  EXPECT_GT(passed_over, 0u);
}

TEST_F(IntersectionTest, NothingWithoutQueryTokensOrMatches) {
  std::mt19937 random(7);
  build(random, 20);
  EXPECT_FALSE(PostingListIntersection::create({}, inverted::LayeredIndex(index_), *tokens_, trie()));
  analysis::TokenizedQuery query;
  query.tokens = {{"cat", 0}, {"zebra", 2}};
  EXPECT_FALSE(PostingListIntersection::create(query, inverted::LayeredIndex(index_), *tokens_, trie()));
  // A token the dictionary knows but without postings is no match either.
  index_.erase(*tokens_->id_of("elk"));
  query.tokens = {{"elk", 0}};
  EXPECT_FALSE(PostingListIntersection::create(query, inverted::LayeredIndex(index_), *tokens_, trie()));
}

}  // namespace
}  // namespace tarnwick::matching
