// BM25 scores of a candidate document: `bm25` scores one matched interval, `max_bm25` bounds
// every interval of a candidate from above so that hopeless candidates are skipped before any
// position work.
//
// Okapi BM25 with k1 = 1.5 and b = 0.75, where the idf adds one inside the logarithm, over:
//   norm      = (dl / avgdl) * b + (1 - b)
//   idf(df)   = ln((max(N - df, 0) + 0.5) / (df + 0.5) + 1)
//   tfpart    = tf * (k1 + 1) / (tf + k1 * norm)
//   weight    = 0.8 ^ distance             (fuzzy matches count less per edit)
//   term      = tfpart * idf * weight
//   bm25      = (sum of the interval's terms) / (slop + 1)
//   max_bm25  = sum over query tokens of the largest term among that token's alternatives
//
// N is the live document count. df counts postings still in the index, those of deleted
// documents not yet purged included, so it can exceed N; N - df is then taken as 0, which keeps
// the idf positive and falling as df grows. dl is the document's number of distinct kept tokens
// and avgdl the collection's mean kept-token count.
//
// Every score is finite and non-negative whatever the statistics: an average that is not a
// positive number (an empty collection, or a statistic gone wrong) has no length to normalise
// against, so every document then counts as of average length (norm = 1); a collection without
// live documents scores 0.
//
// Soundness of the bound: each term is computed by the same expression in both functions and is
// never negative, rounding is monotone, and dividing by slop + 1 >= 1 never increases a sum, so
// bm25 of any interval of a candidate never exceeds max_bm25 of that candidate. Nor does a
// shorter dl ever lower a term (norm grows with dl, tfpart falls with norm, and rounding keeps
// both so), so max_bm25 of a floor of dl bounds a candidate whose length is only known from
// below; nor does a smaller tf ever raise one (tfpart grows with tf), so a tf known only from
// above bounds it too.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "absl/container/flat_hash_map.h"
#include "matching/mis.hpp"

namespace tarnwick::query {

constexpr double kK1 = 1.5;
constexpr double kB = 0.75;
constexpr double kFuzzyWeight = 0.8;

// The scores of one query's candidates. They share N and avgdl, and each term's idf and fuzzy
// weight, which are computed once for the query rather than for every candidate.
class Scorer {
 public:
  Scorer(uint64_t live_count, double avg_doc_len);

  double bm25(uint32_t doc_len, const matching::Interval& interval);
  // `candidate` lists every query token's alternatives present in the document, ordered by
  // group, as handed to the interval matcher.
  double max_bm25(uint32_t doc_len, std::span<const matching::TermCount> candidate);

  // Bounds the term of a token of `df` postings at edit distance `distance` in every document
  // where its tf is at most `max_tf` and the document's length is at least `min_ratio` times its
  // tf: what a posting of a block (inverted::PostingList::BlockBound) can add to a score.
  //
  // With norm / tf = (dl / tf) * b / avgdl + (1 - b) / tf, which is at least
  // min_ratio * b / avgdl + (1 - b) / max_tf, tfpart = (k1 + 1) / (1 + k1 * norm / tf) is at
  // most what that gives. It is computed by another expression than the terms it bounds, so it
  // is raised by far more than their rounding can differ by.
  double max_block_term(uint64_t df, uint16_t distance, float min_ratio, uint32_t max_tf);

 private:
  double idf(uint64_t df);
  double weight(uint16_t distance);

  uint64_t live_count_;
  double avg_doc_len_;
  absl::flat_hash_map<uint64_t, double> idfs_;  // by df
  // The idfs last taken from idfs_, replaced in turn: a query of a few tokens bounds every
  // candidate by the same few, which a look at these finds without hashing.
  struct Known {
    uint64_t df = UINT64_MAX;  // no list is that long
    double idf = 0;
  };
  std::array<Known, 4> recent_{};
  uint32_t next_recent_ = 0;
  std::array<double, 4> weights_{};  // by distance; 0 until computed
};

}  // namespace tarnwick::query
