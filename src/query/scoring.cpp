#include "query/scoring.hpp"

#include <algorithm>
#include <cmath>

namespace tarnwick::query {

namespace {

double idf(uint64_t live_count, uint64_t df) {
  const double absent = live_count > df ? static_cast<double>(live_count - df) : 0.0;
  const double docs = static_cast<double>(df);
  return std::log((absent + 0.5) / (docs + 0.5) + 1);
}

// What a term's score depends on besides its own tf, df and distance.
class TermScorer {
 public:
  TermScorer(uint64_t live_count, uint32_t doc_len, double avg_doc_len)
      : live_count_(live_count),
        norm_(avg_doc_len > 0 ? doc_len / avg_doc_len * kB + (1 - kB) : 1.0) {}

  double operator()(uint64_t tf, uint64_t df, uint16_t distance) const {
    const double count = static_cast<double>(tf);
    const double tfpart = count * (kK1 + 1) / (count + kK1 * norm_);
    return tfpart * idf(live_count_, df) * std::pow(kFuzzyWeight, distance);
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

double max_block_term(uint64_t live_count, double avg_doc_len, uint64_t df, uint16_t distance,
                      float min_ratio, uint32_t max_tf) {
  if (live_count == 0 || max_tf == 0) return 0;
  const double per_tf = 1.0 / max_tf;
  // An average without meaning makes every norm 1 (TermScorer).
  const double norm_per_tf =
      avg_doc_len > 0 ? min_ratio / avg_doc_len * kB + (1 - kB) * per_tf : per_tf;
  const double tfpart = (kK1 + 1) / (1 + kK1 * norm_per_tf);
  constexpr double kRoundingRoom = 1 + 1e-9;
  return tfpart * idf(live_count, df) * std::pow(kFuzzyWeight, distance) * kRoundingRoom;
}

}  // namespace tarnwick::query
