// MinimalIntervalSemanticMatch: the places in one candidate document where the query's tokens
// occur in query order and close together.
//
// The input lists, per query token (a "group"), the indexed tokens matching it that occur in the
// document, each with its positions there. Each interval picks one occurrence per group, at
// strictly increasing positions from the first group to the last, with a total slop (positions
// skipped between consecutive picks) of at most the query's proximity.
//
// Every occurrence of the first group, in position order, starts one chain; the chain takes for
// each later group its first occurrence after the previous pick and is given up as soon as its slop
// exceeds the proximity. Each completed chain is one interval. So an occurrence of the first group
// yields at most one interval, and intervals may nest: for first-group occurrences at 0 and 1 and a
// second-group occurrence at 2, proximity 1 gives (0, 2) with slop 1 and then (1, 2) with slop 0.
// With one group every occurrence is an interval of slop 0. Matching ends when some group has no
// occurrence after the previous pick, since no later chain can pick one either.
//
// One matcher is meant to be reused across candidates: `reset` keeps its buffers, so matching
// allocates only while a query is longer, or its groups wider, than any seen before.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tarnwick::matching {

// One indexed token matching query token `group`, with its posting for the candidate document.
struct TermPositions {
  uint32_t group = 0;                   // query token index
  uint32_t token_id = 0;
  uint16_t distance = 0;                // edit distance to the query token
  uint64_t df = 0;                      // documents whose postings hold the token
  std::span<const uint32_t> positions;  // strictly ascending; tf is its size
};

// What bounds the score of one indexed token matching query token `group` in a candidate: its
// counts, which the posting's entry gives without its positions being read.
struct TermCount {
  uint32_t group = 0;
  uint16_t distance = 0;
  uint64_t df = 0;
  uint64_t max_tf = 0;  // at least the token's tf in the candidate
};

// One pick of an interval.
struct MatchedTerm {
  uint64_t tf = 0;
  uint64_t df = 0;
  uint32_t token_id = 0;
  uint32_t position = 0;
  uint16_t distance = 0;

  bool operator==(const MatchedTerm&) const = default;
};

struct Interval {
  std::span<const MatchedTerm> terms;  // one per group, in query order
  uint32_t slop = 0;                   // never above the proximity
};

class MinimalIntervalSemanticMatch {
 public:
  // Starts matching a candidate with `group_count` query tokens. A group without any position
  // yields no interval.
  // REQUIRES: `terms` ordered by `group`, every group < `group_count`, the tokens of one group
  // distinct; `terms` and the positions they view outlive the matching.
  void reset(std::span<const TermPositions> terms, uint32_t group_count, uint8_t proximity);

  // The next interval, or nothing when matching has ended. The interval's terms stay valid until
  // the next call of `next` or `reset`.
  std::optional<Interval> next();

  // Nothing when `reset` with the same arguments would yield no interval; else a floor of the
  // slop of every interval it would yield. With one token per query token, as a phrase without
  // fuzziness has, the floor is the least slop, and the chains are followed without heaps, which
  // finds out several times faster; with alternatives it is 0, since the least would take every
  // interval. Matching a candidate takes a `reset` after it.
  // REQUIRES: as `reset`.
  std::optional<uint32_t> slop_floor(std::span<const TermPositions> terms, uint32_t group_count,
                                     uint8_t proximity);

 private:
  // One cursor's current position; a group's entries form a min-heap by position. The
  // alternatives of a query token are distinct tokens, so they never share a position.
  struct Entry {
    uint32_t position;
    uint32_t cursor;
  };
  // A group's heap is entries_[heap_begin, heap_begin + heap_size); its top is the group's pick
  // in the current chain.
  struct Group {
    uint32_t heap_begin;
    uint32_t heap_size;
    uint32_t slop;  // slop of the current chain up to this group's pick
  };

  const Entry& top(const Group& group) const { return entries_[group.heap_begin]; }
  // Moves the top cursor of `group` to its first position above `bound`, dropping it when it has
  // none.
  void reseat_top(Group& group, uint32_t bound);
  // Extends the current chain to group `i`; false when the group has no occurrence after the
  // previous pick.
  bool pick_after_previous(uint32_t i);
  void build_interval();

  std::span<const TermPositions> terms_;
  std::vector<uint32_t> next_;  // per input entry: index of its cursor's next unread position
  std::vector<Entry> entries_;
  std::vector<Group> groups_;
  std::vector<MatchedTerm> interval_;
  uint8_t proximity_ = 0;
  bool done_ = true;
};

}  // namespace tarnwick::matching
