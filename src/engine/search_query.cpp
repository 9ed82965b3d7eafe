// The query pipeline: parse, tokenize, intersect the posting lists of the query tokens' matches,
// then score each live candidate by its best interval. `search_page` keeps the best
// `offset + limit` in a min-heap, each with the positions of its best interval; `count` only asks
// whether a candidate has an interval.
//
// Once the heap is full, a candidate is weighed in steps, each dearer than the one before and
// each taken only when the one before lets it through: the bounds of the blocks its postings lie
// in, which pass over whole runs of documents, and with one query token the floors of their
// documents' lengths, which pass over the postings of long documents; its bound from its counts
// alone; for a query of more than one token, whether it has an interval at all, and its bound
// divided as its least slop divides every interval's score; then its bound with its length once
// its record is looked up; then its intervals' scores.
#include <algorithm>
#include <limits>
#include <optional>

#include "engine/search.hpp"
#include "matching/intersect.hpp"
#include "query/parser.hpp"
#include "query/scoring.hpp"

namespace tarnwick::engine {

namespace {

struct ScoredId {
  uint128 id;
  double score;
  uint32_t slot;  // of its best interval's positions
};

// The ranking: higher score first, then lower id. Being total, it makes the best n hits the first
// n of the whole ranking for every n, which is what lets pages be cut from it.
bool ranks_before(const ScoredId& a, const ScoredId& b) {
  return a.score > b.score || (a.score == b.score && a.id < b.id);
}

// Room reserved up front; a larger limit lets the heap grow as hits come.
constexpr size_t kReservedHits = 4096;

// The order of the two tests a candidate of more than one query token takes before its record
// is looked up, once a floor is set: its bound, and whether it has an interval. Each rejects a
// share that depends on the query (the bound most candidates of an exact phrase, hardly any of a
// loose proximity's, whose intervals score less), so the one that has rejected more for its
// cost so far goes first. Either order passes the same candidates.
class TestOrder {
 public:
  template <class Bound, class Interval>
  bool both_pass(Bound bound, Interval interval) {
    if (bound_first()) return tally(bound_, bound()) && tally(interval_, interval());
    return tally(interval_, interval()) && tally(bound_, bound());
  }

 private:
  struct Tally {
    uint64_t tried = 0;
    uint64_t rejected = 0;
  };
  static bool tally(Tally& tally, bool passed) {
    ++tally.tried;
    tally.rejected += !passed;
    return passed;
  }
  // Finding an interval decodes positions: it costs about half as much again as the bound.
  bool bound_first() const {
    return 3 * bound_.rejected * interval_.tried >= 2 * interval_.rejected * bound_.tried;
  }

  Tally bound_;
  Tally interval_;
};

}  // namespace

utils::Status<query::ParseError> Search::for_each_candidate(
    std::string text, query::Scorer& scorer, absl::FunctionRef<double()> floor,
    absl::FunctionRef<void(const Candidate&)> visit) {
  auto parsed = query::Query::parse(text);
  if (!parsed) return utils::fail(std::move(parsed.error()));
  const analysis::TokenizedQuery tokenized = tokenizer_.tokenize_query(parsed->tokens(), parsed->proximity);
  auto intersection =
      matching::PostingListIntersection::create(tokenized, index_.index(), tokens_,
                                                [this]() -> const utils::Trie& { return trie(); });
  if (!intersection) return {};
  auto block_score = [&](const inverted::PostingList::BlockBound& bound, uint64_t df,
                         uint16_t distance) {
    return scorer.max_block_term(df, distance, bound.min_ratio, bound.max_tf);
  };
  const uint32_t groups = intersection->group_count();
  size_t cursor = 0;  // candidates come in ascending id
  TestOrder order;
  while (intersection->next(block_score, floor())) {
    const double low = floor();
    // Before its length is known, a candidate is bounded as if it were as short as it can be.
    // Until a floor is set nothing is bounded, and no count is taken.
    std::span<const matching::TermCount> counts;
    double bound = 0;
    auto within_bound = [&] {
      counts = intersection->counts();
      bound = scorer.max_bm25(intersection->min_length(), counts);
      return bound > low;
    };
    // A candidate without an interval scores nothing: with more than one query token many have
    // none, and finding out costs less than a lookup. With one, every occurrence is one.
    uint32_t slop = 0;
    auto has_interval = [&] {
      const std::optional<uint32_t> least =
          matcher_.slop_floor(intersection->terms(), groups, tokenized.proximity);
      slop = least.value_or(0);
      return least.has_value();
    };
    bool passed;
    if (low == -std::numeric_limits<double>::infinity()) {
      passed = groups == 1 || has_interval();
    } else if (groups == 1) {
      passed = within_bound();
    } else {
      // An interval's score is divided by its slop plus one, as bm25 has it: with the least
      // slop known, the bound of a loose proximity's candidate tightens.
      passed = order.both_pass(within_bound, has_interval) &&
               bound / (static_cast<double>(slop) + 1) > low;
    }
    if (!passed) continue;
    const uint128 id = intersection->doc_id();
    const std::optional<uint32_t> doc_len = documents_.live_token_count(id, cursor);
    if (!doc_len) continue;
    visit(Candidate{id, *doc_len, counts, groups, tokenized.proximity, &*intersection});
  }
  return {};
}

utils::Result<std::vector<Hit>, query::ParseError> Search::search(std::string text,
                                                                 uint32_t top_k) {
  return search_page(std::move(text), 0, top_k);
}

utils::Result<std::vector<Hit>, query::ParseError> Search::search_page(std::string text,
                                                                      uint32_t offset,
                                                                      uint32_t limit) {
  const uint64_t live_count = documents_.live_count();
  query::Scorer scorer(live_count, meta_.avg_doc_len());
  const size_t wanted = limit == 0 ? SIZE_MAX : size_t{offset} + limit;
  // The worst of the best `wanted` so far is on top.
  std::vector<ScoredId> heap;
  heap.reserve(std::min<size_t>({wanted, live_count, kReservedHits}));
  auto full = [&] { return heap.size() == wanted; };
  // The positions of each kept hit's best interval, `groups` a slot; a hit pushed out of the
  // heap leaves its slot to the one that took its place.
  size_t groups = 0;
  std::vector<uint32_t> picks;
  std::vector<uint32_t> best;

  // Ids come in ascending order, so a candidate whose bound only ties the worst kept hit cannot
  // rank before it.
  auto floor = [&] {
    return full() ? heap.front().score : -std::numeric_limits<double>::infinity();
  };
  auto visited = for_each_candidate(std::move(text), scorer, floor, [&](const Candidate& candidate) {
    const uint32_t doc_len = candidate.doc_len;
    // Counts left empty (no floor was set) bound the score by 0, above a floor of -inf.
    if (!(scorer.max_bm25(doc_len, candidate.counts) > floor())) return;
    groups = candidate.group_count;
    best.resize(groups);
    double score = 0.0;
    matcher_.reset(candidate.terms(), candidate.group_count, candidate.proximity);
    while (auto interval = matcher_.next()) {
      const double interval_score = scorer.bm25(doc_len, *interval);
      if (!(interval_score > score)) continue;
      score = interval_score;
      for (size_t g = 0; g < groups; ++g) best[g] = interval->terms[g].position;
    }
    if (!(score > 0.0)) return;
    uint32_t slot = static_cast<uint32_t>(heap.size());
    if (full()) {
      if (score <= heap.front().score) return;
      std::pop_heap(heap.begin(), heap.end(), ranks_before);
      slot = heap.back().slot;
      heap.pop_back();
    } else {
      picks.resize((size_t{slot} + 1) * groups);
    }
    std::copy(best.begin(), best.end(), picks.begin() + static_cast<ptrdiff_t>(slot * groups));
    heap.push_back({candidate.id, score, slot});
    std::push_heap(heap.begin(), heap.end(), ranks_before);
  });
  if (!visited) return utils::fail(std::move(visited.error()));

  std::sort_heap(heap.begin(), heap.end(), ranks_before);
  std::vector<Hit> hits;
  if (heap.size() <= offset) return hits;
  hits.reserve(heap.size() - offset);
  for (auto scored = heap.begin() + offset; scored != heap.end(); ++scored) {
    if (auto document = documents_.locate(scored->id)) {
      const auto first = picks.begin() + static_cast<ptrdiff_t>(scored->slot * groups);
      hits.push_back({std::move(*document), scored->score,
                      std::vector<uint32_t>(first, first + static_cast<ptrdiff_t>(groups))});
    }
  }
  return hits;
}

utils::Result<uint64_t, query::ParseError> Search::count(std::string text) {
  query::Scorer scorer(documents_.live_count(), meta_.avg_doc_len());
  uint64_t matching = 0;
  auto none = [] { return -std::numeric_limits<double>::infinity(); };
  auto visited = for_each_candidate(std::move(text), scorer, none, [&](const Candidate& candidate) {
    matcher_.reset(candidate.terms(), candidate.group_count, candidate.proximity);
    while (auto interval = matcher_.next()) {
      // The test `search` applies to a candidate's best score.
      if (scorer.bm25(candidate.doc_len, *interval) > 0.0) {
        ++matching;
        return;
      }
    }
  });
  if (!visited) return utils::fail(std::move(visited.error()));
  return matching;
}

}  // namespace tarnwick::engine
