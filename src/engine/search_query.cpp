// Search::search: the query pipeline. Parse, tokenize, intersect the posting lists of the query
// tokens' matches, then score each candidate document by its best interval and keep the best
// `top_k` in a min-heap.
#include <algorithm>

#include "engine/search.hpp"
#include "matching/intersect.hpp"
#include "query/parser.hpp"
#include "query/scoring.hpp"

namespace tarnwick::engine {

namespace {

struct ScoredId {
  uint128 id;
  double score;
};

// Puts the smallest score on top of the heap.
bool higher_score(const ScoredId& a, const ScoredId& b) { return a.score > b.score; }

// Room reserved up front; a larger limit lets the heap grow as hits come.
constexpr size_t kReservedHits = 4096;

}  // namespace

utils::Result<std::vector<Hit>, query::ParseError> Search::search(std::string text,
                                                                 uint32_t top_k) {
  auto parsed = query::Query::parse(text);
  if (!parsed) return utils::fail(std::move(parsed.error()));
  const analysis::TokenizedQuery tokenized = tokenizer_.tokenize_query(parsed->tokens(), parsed->proximity);
  auto intersection =
      matching::PostingListIntersection::create(tokenized, index_.index(), tokens_, trie_);
  if (!intersection) return std::vector<Hit>{};

  const storage::DocumentMap& live = documents_.documents();
  const storage::DocumentMap& pending = documents_.deleted_documents();
  const uint64_t live_count = live.size();
  const double avg_doc_len = meta_.avg_doc_len();
  const size_t limit = top_k == 0 ? SIZE_MAX : top_k;
  std::vector<ScoredId> heap;
  heap.reserve(std::min<size_t>({limit, live_count, kReservedHits}));
  auto full = [&] { return heap.size() == limit; };

  while (intersection->next()) {
    const uint128 id = intersection->doc_id();
    if (pending.contains(id)) continue;
    const auto document = live.find(id);
    if (document == live.end()) continue;
    const auto doc_len = static_cast<uint32_t>(document->second.token_ids.size());
    const auto terms = intersection->terms();
    const double bound = query::max_bm25(live_count, doc_len, avg_doc_len, terms);
    if (full() && heap.front().score >= bound) continue;

    double score = 0.0;
    matcher_.reset(terms, intersection->group_count(), tokenized.proximity);
    while (auto interval = matcher_.next()) {
      score = std::max(score, query::bm25(live_count, doc_len, avg_doc_len, *interval));
    }
    if (!(score > 0.0)) continue;
    if (full()) {
      if (score <= heap.front().score) continue;
      std::pop_heap(heap.begin(), heap.end(), higher_score);
      heap.pop_back();
    }
    heap.push_back({id, score});
    std::push_heap(heap.begin(), heap.end(), higher_score);
  }

  std::sort_heap(heap.begin(), heap.end(), higher_score);
  std::vector<Hit> hits;
  hits.reserve(heap.size());
  for (const ScoredId& scored : heap) {
    if (auto document = live.find(scored.id); document != live.end()) {
      hits.push_back({&document->second, scored.score});
    }
  }
  return hits;
}

}  // namespace tarnwick::engine
