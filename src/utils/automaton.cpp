#include "utils/automaton.hpp"

#include <algorithm>
#include <cassert>
#include <limits>
#include <string>

#include "utils/code_point.hpp"

namespace tarnwick::utils {

namespace {

// Every mask of `width` bits, in the order that fixes the state ids: starting from the vectors
// [true], [false], each round replaces every vector v, in order, by v + [true] and v + [false].
// For width 3 that is 111, 110, 101, 100, 011, 010, 001, 000 (first element first), bit j of a
// mask standing for element j.
std::vector<uint32_t> characteristic_masks(uint32_t width) {
  std::vector<uint32_t> masks = {1, 0};
  for (uint32_t bit = 1; bit < width; ++bit) {
    std::vector<uint32_t> wider;
    wider.reserve(masks.size() * 2);
    for (uint32_t mask : masks) {
      wider.push_back(mask | (1u << bit));
      wider.push_back(mask);
    }
    masks = std::move(wider);
  }
  return masks;
}

struct Normalized {
  uint32_t shift = 0;
  int32_t span = 0;
  std::vector<Position> positions;
};

// Rebases a position list on its smallest `consumed` and sorts it; the empty list is the dead
// state.
Normalized normalize(std::vector<Position> positions) {
  if (positions.empty()) return {};
  Normalized out;
  out.shift = std::min_element(positions.begin(), positions.end(),
                               [](const Position& a, const Position& b) {
                                 return a.consumed < b.consumed;
                               })
                  ->consumed;
  out.span = std::numeric_limits<int32_t>::min();
  for (Position& p : positions) {
    p.consumed -= out.shift;
    out.span = std::max(out.span, static_cast<int32_t>(p.consumed) + p.budget);
  }
  std::sort(positions.begin(), positions.end());
  out.positions = std::move(positions);
  return out;
}

// The positions that `state` moves to when the candidate character's occurrences among the next
// term characters are `mask`, before normalizing.
std::vector<Position> advance(std::span<const Position> state, uint32_t mask, uint32_t width) {
  std::vector<Position> out;
  auto add = [&out](uint32_t consumed, int32_t budget) {
    const Position p{consumed, budget};
    if (budget < 0 || std::find(out.begin(), out.end(), p) != out.end()) return;
    out.push_back(p);
  };
  for (const Position& p : state) {
    // A normalized state keeps every `consumed` below the width, so the window is never overrun.
    assert(p.consumed < width);
    uint32_t j = 0;
    while (p.consumed + j < width && (mask >> (p.consumed + j) & 1) == 0) ++j;
    if (p.consumed + j == width) {
      // No later term character matches: the candidate character is extra, or replaces one.
      add(p.consumed, p.budget - 1);
      add(p.consumed + 1, p.budget - 1);
    } else if (j == 0) {
      add(p.consumed + 1, p.budget);
    } else {
      // Extra; replacing; or the j term characters before the match are missing.
      add(p.consumed, p.budget - 1);
      add(p.consumed + 1, p.budget - 1);
      add(p.consumed + j + 1, p.budget - static_cast<int32_t>(j));
    }
  }
  return out;
}

}  // namespace

LevenshteinDfa::LevenshteinDfa(uint8_t distance)
    : distance_(distance), mask_count_(1u << (2 * distance + 1)) {
  assert(distance <= kMaxAutomatonDistance);
  const uint32_t width = 2u * distance + 1;
  const std::vector<uint32_t> masks = characteristic_masks(width);

  // A set's id is 0 for the dead state, else one more than the number of sets registered before.
  absl::flat_hash_map<std::vector<Position>, uint32_t> registry;
  states_.emplace_back();  // the dead state, never registered
  auto state_id = [&](std::vector<Position>&& positions) -> uint32_t {
    if (positions.empty()) return 0;
    auto [it, inserted] =
        registry.try_emplace(positions, static_cast<uint32_t>(registry.size() + 1));
    if (inserted) states_.push_back(std::move(positions));
    return it->second;
  };

  // A state has its row once it has been pushed for exploration; rows are filled when popped.
  std::vector<bool> has_row;
  std::vector<uint32_t> stack;
  auto discover = [&](uint32_t id) {
    if (id >= has_row.size()) has_row.resize(id + 1, false);
    if (has_row[id]) return;
    has_row[id] = true;
    stack.push_back(id);
  };

  Normalized start = normalize({Position{0, distance}});
  discover(state_id(std::move(start.positions)));
  while (!stack.empty()) {
    const uint32_t id = stack.back();
    stack.pop_back();
    std::vector<Transition> row(mask_count_);
    for (uint32_t mask : masks) {
      Normalized next = normalize(advance(states_[id], mask, width));
      const uint32_t next_id = state_id(std::move(next.positions));
      discover(next_id);
      row[mask] = Transition{next.shift, next.span, next_id};
    }
    if (transitions_.size() < states_.size() * size_t{mask_count_}) {
      transitions_.resize(states_.size() * size_t{mask_count_});
    }
    std::copy(row.begin(), row.end(), transitions_.begin() + size_t{id} * mask_count_);
  }
  assert(transitions_.size() == states_.size() * size_t{mask_count_});
}

LevenshteinAutomaton::LevenshteinAutomaton(const LevenshteinDfa& dfa, std::u32string_view term)
    : dfa_(&dfa), term_(term), query_length_(static_cast<uint32_t>(term.size())) {
  const uint32_t width = 2u * dfa.distance() + 1;
  const size_t row = size_t{query_length_} + 1;
  std::u32string distinct = term_;
  std::sort(distinct.begin(), distinct.end());
  const size_t distinct_count =
      static_cast<size_t>(std::unique(distinct.begin(), distinct.end()) - distinct.begin());
  if ((distinct_count + 1) * row > kMaxMaskTable) return;
  masks_.reserve((distinct_count + 1) * row);
  masks_.assign(row, 0);
  for (char32_t c : term) {
    const uint32_t start = static_cast<uint32_t>(masks_.size());
    if (c < ascii_rows_.size()) {
      if (ascii_rows_[c] != 0) continue;
      ascii_rows_[c] = start;
    } else if (!vectors_.try_emplace(c, start).second) {
      continue;
    }
    masks_.resize(masks_.size() + row, 0);
    uint32_t* masks = masks_.data() + start;
    for (size_t k = 0; k < term.size(); ++k) {
      if (term[k] != c) continue;
      // Occurrence k shows as bit k - j in the masks of offsets j = k - width + 1 ... k.
      for (uint32_t bit = 0; bit < width && bit <= k; ++bit) masks[k - bit] |= 1u << bit;
    }
  }
}

uint32_t LevenshteinAutomaton::window_mask(char32_t c, uint32_t offset) const {
  const uint32_t width = 2u * dfa_->distance() + 1;
  uint32_t mask = 0;
  for (uint32_t bit = 0; bit < width && size_t{offset} + bit < term_.size(); ++bit) {
    if (term_[offset + bit] == c) mask |= 1u << bit;
  }
  return mask;
}

AutomatonState LevenshteinAutomaton::start() const {
  return {0, static_cast<int32_t>(dfa_->distance()), 1};
}

bool LevenshteinAutomaton::is_accepting(AutomatonState state) const {
  return state.state_id != 0 &&
         int64_t{query_length_} - int64_t{state.offset} <= int64_t{state.span};
}

uint16_t LevenshteinAutomaton::match_distance(AutomatonState state) const {
  const int64_t n = dfa_->distance();
  if (state.state_id == 0 || state.state_id >= dfa_->state_count() ||
      state.offset > query_length_) {
    return static_cast<uint16_t>(n + 1);
  }
  int64_t best = std::numeric_limits<int64_t>::max();
  const int64_t left = int64_t{query_length_} - state.offset;
  for (const Position& p : dfa_->state(state.state_id)) {
    best = std::min(best, (n - p.budget) + std::max<int64_t>(0, left - p.consumed));
  }
  return static_cast<uint16_t>(std::min<int64_t>(best, std::numeric_limits<uint16_t>::max()));
}

LevenshteinAutomatonBuilder::LevenshteinAutomatonBuilder(uint8_t distance)
    : dfa_(std::make_unique<const LevenshteinDfa>(distance)) {}

LevenshteinAutomaton LevenshteinAutomatonBuilder::get(std::u32string_view term) const {
  return LevenshteinAutomaton(*dfa_, term);
}

LevenshteinAutomaton LevenshteinAutomatonBuilder::get(std::string_view term) const {
  std::u32string chars;
  for (size_t at = 0; at < term.size();) {
    const CodePoint c = code_point_at(term, at);
    chars.push_back(static_cast<char32_t>(c.code));
    at = c.next;
  }
  return get(std::u32string_view(chars));
}

}  // namespace tarnwick::utils
