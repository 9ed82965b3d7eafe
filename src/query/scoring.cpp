#include "query/scoring.hpp"

#include <algorithm>
#include <cmath>

namespace tarnwick::query {

namespace {

// The norm of a document of `doc_len` tokens: >= 0.25, or +inf when dl / avgdl overflows, which
// makes every tfpart 0. An average without meaning makes it 1.
double norm(uint32_t doc_len, double avg_doc_len) {
  return avg_doc_len > 0 ? doc_len / avg_doc_len * kB + (1 - kB) : 1.0;
}

double tfpart(uint64_t tf, double norm) {
  const double count = static_cast<double>(tf);
  return count * (kK1 + 1) / (count + kK1 * norm);
}

}  // namespace

Scorer::Scorer(uint64_t live_count, double avg_doc_len)
    : live_count_(live_count), avg_doc_len_(avg_doc_len) {}

double Scorer::idf(uint64_t df) {
  for (const Known& known : recent_) {
    if (known.df == df) return known.idf;
  }
  auto [it, added] = idfs_.try_emplace(df, 0.0);
  if (added) {
    const double absent = live_count_ > df ? static_cast<double>(live_count_ - df) : 0.0;
    const double docs = static_cast<double>(df);
    it->second = std::log((absent + 0.5) / (docs + 0.5) + 1);
  }
  recent_[next_recent_++ % recent_.size()] = {df, it->second};
  return it->second;
}

double Scorer::weight(uint16_t distance) {
  if (distance >= weights_.size()) return std::pow(kFuzzyWeight, distance);
  if (weights_[distance] == 0) weights_[distance] = std::pow(kFuzzyWeight, distance);
  return weights_[distance];
}

double Scorer::bm25(uint32_t doc_len, const matching::Interval& interval) {
  if (live_count_ == 0) return 0;
  const double n = norm(doc_len, avg_doc_len_);
  double sum = 0;
  for (const matching::MatchedTerm& term : interval.terms) {
    sum += tfpart(term.tf, n) * idf(term.df) * weight(term.distance);
  }
  return sum / (static_cast<double>(interval.slop) + 1);
}

double Scorer::max_bm25(uint32_t doc_len, std::span<const matching::TermCount> candidate) {
  if (live_count_ == 0) return 0;
  const double n = norm(doc_len, avg_doc_len_);
  double sum = 0;
  double best = 0;  // of the current group
  for (size_t k = 0; k < candidate.size(); ++k) {
    const matching::TermCount& term = candidate[k];
    best = std::max(best, tfpart(term.max_tf, n) * idf(term.df) * weight(term.distance));
    if (k + 1 == candidate.size() || candidate[k + 1].group != term.group) {
      sum += best;
      best = 0;
    }
  }
  return sum;
}

double Scorer::max_block_term(uint64_t df, uint16_t distance, float min_ratio, uint32_t max_tf) {
  if (live_count_ == 0 || max_tf == 0) return 0;
  const double per_tf = 1.0 / max_tf;
  // As norm() has it, over tf.
  const double norm_per_tf =
      avg_doc_len_ > 0 ? min_ratio / avg_doc_len_ * kB + (1 - kB) * per_tf : per_tf;
  const double most = (kK1 + 1) / (1 + kK1 * norm_per_tf);
  constexpr double kRoundingRoom = 1 + 1e-9;
  return most * idf(df) * weight(distance) * kRoundingRoom;
}

}  // namespace tarnwick::query
