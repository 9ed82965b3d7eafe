#include "query/scoring.hpp"

#include <algorithm>
#include <cmath>

namespace tarnwick::query {

namespace {

// What a term's score depends on besides its own tf, df and distance.
class TermScorer {
 public:
  TermScorer(uint64_t live_count, uint32_t doc_len, double avg_doc_len)
      : live_count_(live_count),
        norm_(avg_doc_len > 0 ? doc_len / avg_doc_len * kB + (1 - kB) : 1.0) {}

  double operator()(uint64_t tf, uint64_t df, uint16_t distance) const {
    const double absent = live_count_ > df ? static_cast<double>(live_count_ - df) : 0.0;
    const double docs = static_cast<double>(df);
    const double idf = std::log((absent + 0.5) / (docs + 0.5) + 1);
    const double count = static_cast<double>(tf);
    const double tfpart = count * (kK1 + 1) / (count + kK1 * norm_);
    return tfpart * idf * std::pow(kFuzzyWeight, distance);
  }

 private:
  uint64_t live_count_;
  double norm_;  // >= 0.25, or +inf when dl / avgdl overflows, which makes every tfpart 0
};

}  // namespace

double bm25(uint64_t live_count, uint32_t doc_len, double avg_doc_len,
            const matching::Interval& interval) {
  if (live_count == 0) return 0;
  const TermScorer score(live_count, doc_len, avg_doc_len);
  double sum = 0;
  for (const matching::MatchedTerm& term : interval.terms) {
    sum += score(term.tf, term.df, term.distance);
  }
  return sum / (static_cast<double>(interval.slop) + 1);
}

double max_bm25(uint64_t live_count, uint32_t doc_len, double avg_doc_len,
                std::span<const matching::TermCount> candidate) {
  if (live_count == 0) return 0;
  const TermScorer score(live_count, doc_len, avg_doc_len);
  double sum = 0;
  double best = 0;  // of the current group
  for (size_t k = 0; k < candidate.size(); ++k) {
    const matching::TermCount& term = candidate[k];
    best = std::max(best, score(term.tf, term.df, term.distance));
    if (k + 1 == candidate.size() || candidate[k + 1].group != term.group) {
      sum += best;
      best = 0;
    }
  }
  return sum;
}

}  // namespace tarnwick::query
