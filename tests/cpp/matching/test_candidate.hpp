// A candidate document for matcher and scorer tests, built the way the index would see it: the
// document is its kept words as token ids, and every query token lists the indexed tokens
// matching it.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include "matching/mis.hpp"

namespace tarnwick::matching {

struct Alternative {
  uint32_t token_id = 0;
  uint16_t distance = 0;
  uint64_t df = 1;
};

using Groups = std::vector<std::vector<Alternative>>;

class TestCandidate {
 public:
  TestCandidate(const std::vector<uint32_t>& words, Groups groups) : groups_(std::move(groups)) {
    for (uint32_t p = 0; p < words.size(); ++p) positions_[words[p]].push_back(p);
    for (uint32_t g = 0; g < groups_.size(); ++g) {
      for (const Alternative& a : groups_[g]) {
        terms_.push_back(TermPositions{g, a.token_id, a.distance, a.df, positions_[a.token_id]});
        counts_.push_back(TermCount{g, a.distance, a.df, positions_[a.token_id].size()});
      }
    }
  }
  TestCandidate(const TestCandidate&) = delete;  // terms_ views positions_

  // Up to 12 words over 5 tokens; 1 to 4 query tokens of 1 or 2 distinct alternatives each.
  static TestCandidate random(std::mt19937& rng) {
    auto below = [&rng](uint32_t n) {
      return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng);
    };
    auto alternative = [&below](uint32_t token_id) {
      return Alternative{token_id, static_cast<uint16_t>(below(3)), 1 + below(20)};
    };
    std::vector<uint32_t> words(below(13));
    for (uint32_t& w : words) w = below(5);
    Groups groups(1 + below(4));
    for (auto& group : groups) {
      const uint32_t first = below(5);
      group.push_back(alternative(first));
      if (below(2) == 0) group.push_back(alternative((first + 1 + below(4)) % 5));
    }
    return TestCandidate(words, std::move(groups));
  }

  std::span<const TermPositions> terms() const { return terms_; }
  std::span<const TermCount> counts() const { return counts_; }
  uint32_t group_count() const { return static_cast<uint32_t>(groups_.size()); }

 private:
  Groups groups_;
  std::map<uint32_t, std::vector<uint32_t>> positions_;  // nodes stay put as the map grows
  std::vector<TermPositions> terms_;
  std::vector<TermCount> counts_;
};

}  // namespace tarnwick::matching
