#include "matching/intersect.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tarnwick::matching {

namespace {

// Orders a heap's cursors so that the smallest document id is on top.
struct LaterDocument {
  template <class Cursor>
  bool operator()(const Cursor& a, const Cursor& b) const {
    return a.doc_id > b.doc_id;
  }
};

// Leapfrogging over `count` lists, led by list 0: each other list in turn skips to the lead's
// document; one that skips past it has the lead skip after it, and the others start again from
// list 1. advance(k, target) moves list k to its first document at or above `target`, false when
// it has none; doc_id(k) is the document list k is on. Where lists 0 and 1 agree and more lists
// follow, first_two_may_match() tells whether the document may hold a match, before the others
// are searched: the lead skips past it when not. False when some list ends first.
template <class Advance, class DocId, class MayMatch>
[[gnu::always_inline]] inline bool leapfrog(size_t count, Advance advance, DocId doc_id,
                                            MayMatch first_two_may_match) {
  uint128 target = doc_id(0);
  for (size_t k = 1; k < count;) {
    if (!advance(k, target)) return false;
    const uint128 doc = doc_id(k);
    if (doc == target) {
      if (++k != 2 || count == 2 || first_two_may_match()) continue;
      if (target == ~uint128{0} || !advance(0, target + 1)) return false;
    } else if (!advance(0, doc)) {
      return false;
    }
    target = doc_id(0);
    k = 1;
  }
  return true;
}

// A found token stands for a query token with fuzziness `fuzziness` when it is the query token
// itself, or when both are longer than the fuzziness in bytes.
bool accepted(std::string_view found, std::string_view query, uint8_t fuzziness) {
  return found == query || (fuzziness < found.size() && fuzziness < query.size());
}

}  // namespace

std::optional<PostingListIntersection> PostingListIntersection::create(
    const analysis::TokenizedQuery& query, const inverted::LayeredIndex& index,
    const inverted::TokenHasher& tokens, absl::FunctionRef<const utils::Trie&()> trie) {
  if (query.tokens.empty() || tokens.size() == 0) return std::nullopt;
  PostingListIntersection intersection;
  intersection.proximity_ = query.proximity;
  intersection.heaps_.resize(query.tokens.size());
  intersection.current_.resize(query.tokens.size());
  for (size_t i = 0; i < query.tokens.size(); ++i) {
    const analysis::Token& token = query.tokens[i];
    Heap& heap = intersection.heaps_[i];
    auto take = [&](std::string_view text, uint16_t distance) {
      const auto id = tokens.id_of(text);
      if (!id) return;
      const inverted::PostingList* list = index.find(*id);
      if (list == nullptr || list->empty()) return;
      heap.alternatives.push_back({list, *id, distance});
      push(heap, static_cast<uint32_t>(heap.alternatives.size() - 1));
    };
    if (token.fuzziness == 0) {
      // What the trie would find at distance 0: the token itself, when the dictionary holds it
      // (the trie holds every word of the dictionary).
      take(token.text, 0);
    } else {
      for (const auto& match : trie().search(token.text, token.fuzziness)) {
        if (accepted(match.token, token.text, token.fuzziness)) take(match.token, match.distance);
      }
    }
    if (heap.cursors.empty()) return std::nullopt;
  }
  // The heaps by their postings in all, fewest first.
  std::vector<size_t> postings(query.tokens.size());
  for (size_t i = 0; i < postings.size(); ++i) {
    for (const Alternative& alternative : intersection.heaps_[i].alternatives) {
      postings[i] += alternative.postings->size();
    }
    intersection.order_.push_back(static_cast<uint32_t>(i));
  }
  std::ranges::stable_sort(intersection.order_,
                           [&](uint32_t a, uint32_t b) { return postings[a] < postings[b]; });
  auto lone = [](const Heap& heap) { return heap.alternatives.size() == 1; };
  if (std::ranges::all_of(intersection.heaps_, lone)) {
    for (uint32_t i : intersection.order_) {
      intersection.lone_.push_back({intersection.heaps_[i].alternatives[0].postings, 0, 0});
    }
  }
  return intersection;
}

void PostingListIntersection::push(Heap& heap, uint32_t alternative) {
  const inverted::PostingList& postings = *heap.alternatives[alternative].postings;
  heap.cursors.push_back({.doc_id = postings.doc_id(0), .index = 0, .alternative = alternative});
  std::push_heap(heap.cursors.begin(), heap.cursors.end(), LaterDocument{});
}

void PostingListIntersection::move_top(Heap& heap, size_t index) {
  std::vector<Cursor>& cursors = heap.cursors;
  Cursor& top = cursors.front();
  const inverted::PostingList& postings = *heap.alternatives[top.alternative].postings;
  if (index >= postings.size()) {
    std::pop_heap(cursors.begin(), cursors.end(), LaterDocument{});
    cursors.pop_back();
    return;
  }
  const uint128 doc_id = postings.doc_id(index);
  // A query token of one alternative, as every token of a phrase without fuzziness, has no
  // order to restore: its cursor moves in place.
  if (cursors.size() == 1) {
    top.doc_id = doc_id;
    top.index = static_cast<uint32_t>(index);
    return;
  }
  Cursor moved = top;
  moved.doc_id = doc_id;
  moved.index = static_cast<uint32_t>(index);
  // Down from the top, in the layout of std::push_heap: the children of i at 2i + 1 and 2i + 2.
  size_t hole = 0;
  for (size_t child = 1; child < cursors.size(); child = 2 * hole + 1) {
    if (child + 1 < cursors.size() && cursors[child + 1].doc_id < cursors[child].doc_id) ++child;
    if (!(cursors[child].doc_id < moved.doc_id)) break;
    cursors[hole] = cursors[child];
    hole = child;
  }
  cursors[hole] = moved;
}

void PostingListIntersection::find_block(const Heap& heap, Cursor& cursor, BlockScore score) {
  if (cursor.index < cursor.block_end) return;
  const Alternative& alternative = heap.alternatives[cursor.alternative];
  const inverted::PostingList& postings = *alternative.postings;
  const inverted::PostingList::Block block = postings.block(cursor.index);
  cursor.block_end = static_cast<uint32_t>(block.end);
  cursor.block_bound = block.bound;
  cursor.block_score = block.bound != nullptr
                           ? score(*block.bound, postings.size(), alternative.distance)
                           : std::numeric_limits<double>::infinity();
}

uint16_t PostingListIntersection::find_long_code(Alternative& alternative, uint32_t tf,
                                                 BlockScore score, double floor) {
  using inverted::PostingList;
  if (floor > alternative.long_floor) {
    alternative.long_floor = floor;
    alternative.fresh = 0;
  }
  uint16_t& code = alternative.long_codes[tf];
  if (alternative.fresh & (1u << tf)) return code;
  alternative.fresh |= 1u << tf;
  // A document of at least the code's length floor has at least this ratio of length to tf;
  // rounded down to a float, as a block keeps its own.
  auto beats = [&](uint32_t below) {
    const double ratio =
        static_cast<double>(PostingList::length_floor(static_cast<uint8_t>(below))) / tf;
    float kept = static_cast<float>(ratio);
    if (kept > ratio) kept = std::nextafter(kept, 0.0f);
    return score({kept, tf}, alternative.postings->size(), alternative.distance) > floor;
  };
  // Lengths grow with their codes: the first code whose floor scores no more than `floor`. No
  // code from the last one found on beats a lower floor, and the floor often stays where it was.
  uint32_t low = 0;
  uint32_t high = code;
  if (high > 0 && beats(high - 1)) low = high;
  while (low < high) {
    const uint32_t middle = (low + high) / 2;
    if (beats(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  code = static_cast<uint16_t>(low);
  return code;
}

size_t PostingListIntersection::first_may_beat(Heap& heap, const Cursor& top, BlockScore score,
                                               double floor) {
  if (floor == -std::numeric_limits<double>::infinity()) return top.index;
  Alternative& alternative = heap.alternatives[top.alternative];
  const inverted::PostingList& postings = *alternative.postings;
  // The block's largest tf first, which needs no decoding; then the posting's own.
  const uint32_t max_tf = top.block_bound != nullptr ? top.block_bound->max_tf : kLongCodeTfs;
  const uint16_t block_code =
      max_tf < kLongCodeTfs ? long_code(alternative, max_tf, score, floor) : kNoLongCode;
  for (size_t i = top.index; i < top.block_end; ++i) {
    const uint8_t length = postings.min_length_code(i);
    if (length >= block_code) continue;
    const uint32_t tf = postings.position_count(i);
    if (tf >= kLongCodeTfs || length < long_code(alternative, tf, score, floor)) return i;
  }
  return top.block_end;
}

void PostingListIntersection::pass_low_blocks(Heap& heap, BlockScore score, double floor) {
  while (!heap.cursors.empty()) {
    Cursor& top = heap.cursors.front();
    find_block(heap, top, score);
    if (!(top.block_score > floor)) {
      move_top(heap, top.block_end);
      continue;
    }
    const size_t next = first_may_beat(heap, top, score, floor);
    if (next == top.index) return;
    move_top(heap, next);
  }
}

bool PostingListIntersection::passed_low_run(BlockScore score, double floor) {
  double sum = 0;
  for (Heap& heap : heaps_) {
    double best = 0;
    for (Cursor& cursor : heap.cursors) {
      find_block(heap, cursor, score);
      best = std::max(best, cursor.block_score);
    }
    sum += best;
  }
  if (!(sum <= floor)) return false;
  uint128 end = ~uint128{0};  // the last document of the first block to end
  for (const Heap& heap : heaps_) {
    for (const Cursor& cursor : heap.cursors) {
      const inverted::PostingList& postings = *heap.alternatives[cursor.alternative].postings;
      end = std::min(end, postings.doc_id(cursor.block_end - 1));
    }
  }
  for (Heap& heap : heaps_) {
    if (end == ~uint128{0}) {
      heap.cursors.clear();  // no document comes after
    } else {
      advance(heap, end + 1);
    }
  }
  return true;
}

bool PostingListIntersection::next(BlockScore score, double floor) {
  // Until the floor rises, no block can be passed over.
  if (floor == -std::numeric_limits<double>::infinity()) return next();
  if (heaps_.size() == 1) {
    pass_low_blocks(heaps_[0], score, floor);
  } else {
    auto exhausted = [](const Heap& heap) { return heap.cursors.empty(); };
    while (std::none_of(heaps_.begin(), heaps_.end(), exhausted) &&
           passed_low_run(score, floor)) {
    }
  }
  return next();
}

void PostingListIntersection::advance_many(Heap& heap, uint128 target) {
  while (!heap.cursors.empty() && heap.cursors.front().doc_id < target) {
    const Cursor& top = heap.cursors.front();
    const inverted::PostingList& postings = *heap.alternatives[top.alternative].postings;
    const size_t found = postings.lower_bound(target, top.index + 1);
    // The next target is most often a few postings on: their entries are on their way meanwhile
    // (measured 8-15% off three-word phrases at 1,000,000 documents, bench/phrase_pass.py).
    postings.prefetch(found + 16);
    move_top(heap, found);
  }
}

void PostingListIntersection::next_docs_many(Heap& heap, std::vector<Cursor>& group) {
  group.clear();
  while (!heap.cursors.empty() &&
         (group.empty() || heap.cursors.front().doc_id == group.front().doc_id)) {
    group.push_back(heap.cursors.front());
    move_top(heap, group.back().index + 1);
  }
}

bool PostingListIntersection::first_two_may_match() {
  for (size_t k = 0; k < 2; ++k) lone_[k].postings->decode_positions(lone_[k].index, pair_[k]);
  const bool ordered = order_[0] < order_[1];
  const std::vector<uint32_t>& first = pair_[ordered ? 0 : 1];
  const std::vector<uint32_t>& second = pair_[ordered ? 1 : 0];
  // Picks of query tokens d apart in the query are at least d positions apart, and at most d
  // plus the proximity: the positions skipped between them count against it.
  const uint64_t least = ordered ? order_[1] - order_[0] : order_[0] - order_[1];
  const uint64_t most = least + proximity_;
  size_t j = 0;
  for (const uint32_t position : first) {
    while (j < second.size() && second[j] < position + least) ++j;
    if (j == second.size()) return false;
    if (second[j] <= position + most) return true;
  }
  return false;
}

bool PostingListIntersection::leapfrog_lone() {
  for (size_t k = 0; k < lone_.size(); ++k) {
    const std::vector<Cursor>& cursors = heaps_[order_[k]].cursors;
    if (cursors.empty()) return false;
    lone_[k].doc_id = cursors.front().doc_id;
    lone_[k].index = cursors.front().index;
  }
  auto advance = [this](size_t k, uint128 target) { return advance_lone(lone_[k], target); };
  auto doc_id = [this](size_t k) { return lone_[k].doc_id; };
  auto may_match = [this] { return first_two_may_match(); };
  const bool found = leapfrog(lone_.size(), advance, doc_id, may_match);
  // A list that ended leaves its cursor where it was: the next call ends there again.
  for (size_t k = 0; k < lone_.size(); ++k) {
    Cursor& cursor = heaps_[order_[k]].cursors.front();
    cursor.doc_id = lone_[k].doc_id;
    cursor.index = lone_[k].index;
  }
  return found;
}

bool PostingListIntersection::next() {
  decoded_ = false;
  // Led by the query token with the fewest postings, the shorter lists first: a longer list,
  // whose entries are dearer to reach, is thus searched only for documents every shorter one
  // holds.
  if (!lone_.empty()) {
    if (!leapfrog_lone()) return false;
  } else {
    if (heaps_[order_[0]].cursors.empty()) return false;
    auto advance_heap = [this](size_t k, uint128 target) {
      Heap& heap = heaps_[order_[k]];
      advance(heap, target);
      return !heap.cursors.empty();
    };
    auto doc_id = [this](size_t k) { return heaps_[order_[k]].cursors.front().doc_id; };
    if (!leapfrog(order_.size(), advance_heap, doc_id, [] { return true; })) return false;
  }
  for (size_t i = 0; i < heaps_.size(); ++i) next_docs(heaps_[i], current_[i]);
  return true;
}

std::span<const TermPositions> PostingListIntersection::terms() {
  if (decoded_) return terms_;
  decoded_ = true;
  terms_.clear();
  size_t used = 0;
  for (uint32_t group = 0; group < current_.size(); ++group) {
    for (const Cursor& cursor : current_[group]) {
      const Alternative& alternative = heaps_[group].alternatives[cursor.alternative];
      if (used == positions_.size()) positions_.emplace_back();
      std::vector<uint32_t>& positions = positions_[used++];
      alternative.postings->decode_positions(cursor.index, positions);
      terms_.push_back({group, alternative.token_id, alternative.distance,
                        alternative.postings->size(), positions});
    }
  }
  return terms_;
}

std::span<const TermCount> PostingListIntersection::counts() {
  counts_.clear();
  min_length_ = 0;
  for (uint32_t group = 0; group < current_.size(); ++group) {
    for (const Cursor& cursor : current_[group]) {
      const Alternative& alternative = heaps_[group].alternatives[cursor.alternative];
      const inverted::PostingList& postings = *alternative.postings;
      counts_.push_back(
          {group, alternative.distance, postings.size(), postings.position_bytes(cursor.index)});
      min_length_ = std::max(min_length_, postings.min_length(cursor.index));
    }
  }
  return counts_;
}

}  // namespace tarnwick::matching
