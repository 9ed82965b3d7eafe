// Galloping search over sorted items, for searches that mostly find their target a few items
// on: the cost is the logarithm of the distance to the target rather than of the range.
#pragma once

#include <algorithm>
#include <cstddef>

namespace tarnwick::utils {

// The first i in [from, size) for which below(i) is false, or size; below must be true up to some
// index and false from there on. Steps of 1, 2, 4... from `from` until one lands on an item not
// below, then a binary search within the last step. Always inlined: its callers search in
// their inner loops, and a call costs as much as a short search.
template <class Below>
[[gnu::always_inline]] inline size_t gallop(Below below, size_t from, size_t size) {
  size_t low = from;
  size_t high = from;
  for (size_t step = 1; high < size && below(high); step *= 2) {
    low = high + 1;
    high = std::min(size, high + step);
  }
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (below(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

// The items look_ahead counts.
inline constexpr size_t kLookAhead = 8;

// Whether the first i from `from` on for which below(i) is false lies among the kLookAhead items
// from `from` on, counted without a branch: `from` is then set to it; else it is moved past them,
// or left when fewer are left. A search of a list about as dense as the one leading lands among
// them most of the time, where each of galloping's probes is a branch that goes either way
// (measured 10-25% off phrases at 1,000,000 documents, bench/README.md).
template <class Below>
[[gnu::always_inline]] inline bool look_ahead(Below below, size_t& from, size_t size) {
  if (from + kLookAhead > size) return false;
  size_t count = 0;
  for (size_t k = 0; k < kLookAhead; ++k) count += below(from + k);
  from += count;
  return count < kLookAhead;
}

// gallop, after look_ahead.
template <class Below>
[[gnu::always_inline]] inline size_t gallop_ahead(Below below, size_t from, size_t size) {
  return look_ahead(below, from, size) ? from : gallop(below, from, size);
}

// The same over items in runs of `run` (the last may be shorter), for each of which
// run_below(r), for r < runs, tells whether its last item is below: a target past the run `from`
// lies in is galloped to over the runs first, then searched for within its run, reading few
// items of a long way. look_ahead goes first.
template <class Below, class RunBelow>
[[gnu::always_inline]] inline size_t gallop_runs(Below below, RunBelow run_below, size_t from,
                                                 size_t size, size_t runs, size_t run) {
  if (look_ahead(below, from, size)) return from;
  const size_t first = from / run;
  if (first < runs && run_below(first)) {
    const size_t found = gallop(run_below, first + 1, runs);
    from = found * run;
    if (found < runs) return gallop(below, from, from + run);
  }
  return gallop(below, from, size);
}

}  // namespace tarnwick::utils
