#include "matching/mis.hpp"

#include <algorithm>
#include <cassert>

namespace tarnwick::matching {

namespace {

// Orders a heap range so that its smallest position is on top.
struct Later {
  template <class E>
  bool operator()(const E& a, const E& b) const {
    return a.position > b.position;
  }
};

}  // namespace

void MinimalIntervalSemanticMatch::reset(std::span<const TermPositions> terms,
                                         uint32_t group_count, uint8_t proximity) {
  terms_ = terms;
  proximity_ = proximity;
  groups_.assign(group_count, Group{0, 0, 0});
  next_.resize(terms.size());
  entries_.resize(terms.size());
  interval_.resize(group_count);

  for (uint32_t k = 0; k < terms.size(); ++k) {
    const TermPositions& term = terms[k];
    assert(term.group < group_count);
    assert(k == 0 || terms[k - 1].group <= term.group);
    Group& group = groups_[term.group];
    if (k == 0 || terms[k - 1].group != term.group) group.heap_begin = k;
    if (term.positions.empty()) continue;
    entries_[group.heap_begin + group.heap_size++] = Entry{term.positions.front(), k};
    next_[k] = 1;
  }
  done_ = group_count == 0;
  for (Group& group : groups_) {
    Entry* heap = entries_.data() + group.heap_begin;
    std::make_heap(heap, heap + group.heap_size, Later{});
    if (group.heap_size == 0) done_ = true;
  }
}

std::optional<Interval> MinimalIntervalSemanticMatch::next() {
  const uint32_t n = static_cast<uint32_t>(groups_.size());
  while (!done_) {
    uint32_t i = 1;
    for (; i < n; ++i) {
      if (!pick_after_previous(i)) {
        done_ = true;
        return std::nullopt;
      }
      // The slop cannot overflow: it is at most the distance from the first pick to this one. It
      // is compared unsigned, so a gap of 2^31 or more exceeds the proximity like any other.
      const uint32_t gap = top(groups_[i]).position - top(groups_[i - 1]).position - 1;
      const uint32_t slop = groups_[i - 1].slop + gap;
      if (slop > proximity_) break;
      groups_[i].slop = slop;
    }
    const bool complete = i == n;
    if (complete) build_interval();

    Group& first = groups_[0];
    reseat_top(first, top(first).position);
    if (first.heap_size == 0) done_ = true;
    if (complete) return Interval{interval_, groups_[n - 1].slop};
  }
  return std::nullopt;
}

std::optional<uint32_t> MinimalIntervalSemanticMatch::slop_floor(
    std::span<const TermPositions> terms, uint32_t group_count, uint8_t proximity) {
  bool one_each = terms.size() == group_count && group_count > 0;
  for (uint32_t k = 0; one_each && k < group_count; ++k) one_each = terms[k].group == k;
  if (!one_each) {
    reset(terms, group_count, proximity);
    return next().has_value() ? std::optional<uint32_t>(0) : std::nullopt;
  }
  // The chains of `next`, one per position of the first token, each the least slop of an
  // interval from there. A later chain's pick of a token is never before an earlier one's, so
  // each token's next unread position only moves forward.
  std::optional<uint32_t> least;
  next_.assign(group_count, 0);
  for (const uint32_t first : terms[0].positions) {
    uint32_t previous = first;
    uint32_t slop = 0;
    uint32_t i = 1;
    for (; i < group_count; ++i) {
      const std::span<const uint32_t> positions = terms[i].positions;
      uint32_t& unread = next_[i];
      while (unread < positions.size() && positions[unread] <= previous) ++unread;
      if (unread == positions.size()) return least;
      // As in `next`, which cannot overflow either.
      slop += positions[unread] - previous - 1;
      if (slop > proximity) break;
      previous = positions[unread];
    }
    if (i == group_count && (!least || slop < *least)) {
      least = slop;
      if (slop == 0) break;
    }
  }
  return least;
}

void MinimalIntervalSemanticMatch::reseat_top(Group& group, uint32_t bound) {
  Entry* heap = entries_.data() + group.heap_begin;
  std::pop_heap(heap, heap + group.heap_size, Later{});
  Entry& moved = heap[group.heap_size - 1];
  const std::span<const uint32_t> positions = terms_[moved.cursor].positions;
  uint32_t& next = next_[moved.cursor];
  const auto found = std::upper_bound(positions.begin() + next, positions.end(), bound);
  if (found == positions.end()) {
    --group.heap_size;
    return;
  }
  moved.position = *found;
  next = static_cast<uint32_t>(found - positions.begin()) + 1;
  std::push_heap(heap, heap + group.heap_size, Later{});
}

bool MinimalIntervalSemanticMatch::pick_after_previous(uint32_t i) {
  const uint32_t previous = top(groups_[i - 1]).position;
  Group& group = groups_[i];
  while (group.heap_size > 0 && top(group).position <= previous) reseat_top(group, previous);
  return group.heap_size > 0;
}

void MinimalIntervalSemanticMatch::build_interval() {
  for (size_t j = 0; j < groups_.size(); ++j) {
    const Entry& pick = top(groups_[j]);
    const TermPositions& term = terms_[pick.cursor];
    interval_[j] = MatchedTerm{term.positions.size(), term.df, term.token_id, pick.position,
                               term.distance};
  }
}

}  // namespace tarnwick::matching
