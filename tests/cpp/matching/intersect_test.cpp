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
      // The counts that bound a candidate are those of the positions the matcher reads.
      const std::vector<TermCount> counts(intersection->counts().begin(),
                                          intersection->counts().end());
      const auto terms = intersection->terms();
      EXPECT_EQ(counts.size(), terms.size());
      for (size_t k = 0; k < std::min(counts.size(), terms.size()); ++k) {
        EXPECT_EQ(counts[k].group, terms[k].group);
        EXPECT_EQ(counts[k].distance, terms[k].distance);
        EXPECT_EQ(counts[k].df, terms[k].df);
        EXPECT_EQ(counts[k].tf, terms[k].positions.size());
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

TEST_F(IntersectionTest, YieldsExactlyTheDocumentsMatchingEveryQueryToken) {
  std::mt19937 random(20261207);
  build(random, 300);
  const std::vector<std::string> terms = {"cat", "cot", "card", "dog", "dug", "elk",
                                          "bird", "ox", "ix", "zebra"};
  for (int round = 0; round < 400; ++round) {
    analysis::TokenizedQuery query;
    const size_t count = 1 + random() % 3;
    for (size_t i = 0; i < count; ++i) {
      query.tokens.push_back(
          {terms[random() % terms.size()], static_cast<uint8_t>(random() % 3)});
    }
    const auto want = expected(query);
    const int asked = trie_asked_;
    const auto got = actual(query);
    ASSERT_EQ(got, want) << "round " << round;
    // Exact tokens are looked up in the dictionary alone.
    const bool fuzzy = std::any_of(query.tokens.begin(), query.tokens.end(),
                                   [](const analysis::Token& t) { return t.fuzziness > 0; });
    if (!fuzzy) {
      EXPECT_EQ(trie_asked_, asked) << "round " << round;
    }
  }
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
