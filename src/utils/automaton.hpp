// Levenshtein automata: decide, one candidate character at a time, whether a candidate string is
// within edit distance n of a query term, and at which distance. Insertions, deletions and
// substitutions cost 1 each; there is no transposition move, so a swap of neighbours costs 2.
//
// The automaton is parametric (Schulz and Mihov, "Fast string correction with Levenshtein
// automata", IJDAR 2002). For each n, one table of parametric states and their transitions is
// built once, independent of any query: a state is a set of positions relative to a moving offset
// into the term, and it reacts to a candidate character only through the characteristic mask of
// that character, the bits of where it occurs among the next 2n + 1 term characters. A query adds
// just those masks, per distinct term character and offset, so preparing a term costs
// (distinct characters) x (length + 1) and a step costs two lookups and an addition.
//
// LevenshteinDfa is the table for one n; LevenshteinAutomatonBuilder owns one and hands out a
// LevenshteinAutomaton per term, which borrows the table. A built table never changes again.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "absl/container/flat_hash_map.h"

namespace tarnwick::utils {

// The largest edit distance a table is built for. The query language allows no more, and the
// table grows steeply with n: 2, 6 and 55 states for n = 0, 1, 2, but 2^(2n+1) masks per state.
inline constexpr uint8_t kMaxAutomatonDistance = 2;

// One element of a parametric state.
struct Position {
  uint32_t consumed = 0;  // term characters consumed beyond the state's offset
  int32_t budget = 0;     // edits still allowed: n minus the edits used so far

  bool operator==(const Position&) const = default;
  auto operator<=>(const Position&) const = default;

  template <class H>
  friend H AbslHashValue(H h, const Position& p) {
    return H::combine(std::move(h), p.consumed, p.budget);
  }
};

struct Transition {
  uint32_t shift = 0;  // added to the automaton's offset
  int32_t span = 0;    // of the target: largest consumed + budget over its positions; 0 when dead
  uint32_t next = 0;   // target state id
};

// The parametric DFA for one n. State 0 is the dead state (no positions), state 1 the start
// state {(0, n)}, and the others are numbered 2, 3, ... in the order a depth-first exploration
// first meets them, which fixes every id. Every state has one transition per mask in
// [0, mask_count()). A state's positions are distinct, sorted, and the smallest `consumed` is 0;
// positions are not reduced by subsumption.
class LevenshteinDfa {
 public:
  // REQUIRES: distance <= kMaxAutomatonDistance.
  explicit LevenshteinDfa(uint8_t distance);

  uint8_t distance() const { return distance_; }
  uint32_t mask_count() const { return mask_count_; }
  // Dead state included.
  uint32_t state_count() const { return static_cast<uint32_t>(states_.size()); }

  // REQUIRES: state_id < state_count().
  std::span<const Position> state(uint32_t state_id) const { return states_[state_id]; }

  // None when state_id or mask is out of range.
  const Transition* transition(uint32_t state_id, uint32_t mask) const {
    if (state_id >= state_count() || mask >= mask_count_) return nullptr;
    return &transitions_[size_t{state_id} * mask_count_ + mask];
  }

 private:
  uint8_t distance_;
  uint32_t mask_count_;
  std::vector<std::vector<Position>> states_;  // by id
  std::vector<Transition> transitions_;        // row of mask_count_ entries per state id
};

// Where an automaton stands after some candidate characters.
struct AutomatonState {
  uint32_t offset = 0;    // term characters consumed by the whole state
  int32_t span = 0;       // as in Transition
  uint32_t state_id = 0;  // 0 = dead

  bool operator==(const AutomatonState&) const = default;
};

// The automaton of one query term. Borrows the table of the builder that made it.
class LevenshteinAutomaton {
 public:
  // (offset 0, span n, state 1).
  AutomatonState start() const;

  // The state after candidate character `c`. A state this automaton cannot have reached (offset
  // past the term, unknown id) steps to the dead state (0, 0, 0), which stays dead. Inline, with
  // ASCII rows found without hashing: that took a distance-2 trie lookup over 100k English words
  // from 206 to 119 us.
  AutomatonState step(char32_t c, AutomatonState state) const {
    if (state.offset > query_length_) return {};
    const uint32_t mask = masks_.empty() ? window_mask(c, state.offset)
                                         : masks_[row_of(c) + state.offset];
    const Transition* t = dfa_->transition(state.state_id, mask);
    if (t == nullptr) return {};
    return {state.offset + t->shift, t->span, t->next};
  }

  // True when the candidate read so far is within distance n of the term.
  bool is_accepting(AutomatonState state) const;

  // The Levenshtein distance between the term and the candidate read so far when `state`
  // accepts; above n otherwise (n + 1 for the dead state).
  uint16_t match_distance(AutomatonState state) const;

  uint32_t query_length() const { return query_length_; }
  uint8_t distance() const { return dfa_->distance(); }

 private:
  friend class LevenshteinAutomatonBuilder;
  LevenshteinAutomaton(const LevenshteinDfa& dfa, std::u32string_view term);

  // The characteristic mask of `c` at `offset`, read off the term.
  uint32_t window_mask(char32_t c, uint32_t offset) const;
  // Where the masks of `c` start in `masks_`.
  uint32_t row_of(char32_t c) const {
    if (c < ascii_rows_.size()) return ascii_rows_[c];
    const auto it = vectors_.find(c);
    return it == vectors_.end() ? 0 : it->second;
  }

  const LevenshteinDfa* dfa_;
  std::u32string term_;
  // Rows of query_length_ + 1 masks, one per distinct term character, mask k of a row covering
  // term characters k ... k + 2n. Row 0 is all zeros, the row of every character absent from the
  // term. A character's row is found in `ascii_rows_` below U+0080, in `vectors_` above. The table
  // grows with (distinct characters) x (length), so a term for which it would pass
  // kMaxMaskTable entries has none, and its masks are read off `term_` at each step instead.
  static constexpr size_t kMaxMaskTable = size_t{1} << 16;
  std::vector<uint32_t> masks_;
  std::array<uint32_t, 128> ascii_rows_{};
  absl::flat_hash_map<char32_t, uint32_t> vectors_;
  uint32_t query_length_;
};

// Owns the table for one n and makes automata for query terms.
class LevenshteinAutomatonBuilder {
 public:
  // Builds the table. REQUIRES: distance <= kMaxAutomatonDistance.
  explicit LevenshteinAutomatonBuilder(uint8_t distance);

  // The automaton for `term`, counted in characters: UTF-8 decoded, an ill-formed sequence read
  // as one U+FFFD. The table is borrowed, not copied.
  // REQUIRES: the term has fewer than 2^31 characters; the automaton is dropped before the
  // builder (moving the builder keeps the table where it is).
  LevenshteinAutomaton get(std::string_view term) const;
  LevenshteinAutomaton get(std::u32string_view term) const;

  uint8_t distance() const { return dfa_->distance(); }
  const LevenshteinDfa& dfa() const { return *dfa_; }

 private:
  std::unique_ptr<const LevenshteinDfa> dfa_;
};

}  // namespace tarnwick::utils
