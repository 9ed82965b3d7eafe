// Leapfrogging over the lists as the snapshot lays them out (20-byte entries: a 128-bit document
// id and the end of the posting's positions, searched by PostingList::lower_bound) against the
// same ids in two arrays of 64-bit halves, and against arrays of 32-bit document numbers (a
// document's rank among all the snapshot's), each searched the same way: what laying ids out
// otherwise, or numbering documents densely, would save a phrase's intersection.
//
//   leapfrog_bench [documents]
//
// Each row intersects lists drawn at the given shares of the documents, the shortest leading,
// over kSets distinct sets of lists so that, at a million documents, the entries of all the sets
// exceed the processor's last cache, as a large index's do. All three layouts find the same
// documents.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "inverted/posting_list.hpp"
#include "utils/gallop.hpp"

namespace {

using tarnwick::inverted::PostingList;
using uint128 = unsigned __int128;
using Clock = std::chrono::steady_clock;

constexpr size_t kSets = 8;
constexpr int kPasses = 5;

// The last of every whole run of kSkipRun values: what a search gallops over first.
template <class T>
std::vector<T> run_lasts(const std::vector<T>& values) {
  constexpr size_t kRun = PostingList::kSkipRun;
  std::vector<T> lasts;
  for (size_t last = kRun - 1; last < values.size(); last += kRun) lasts.push_back(values[last]);
  return lasts;
}

// The same galloping as PostingList::lower_bound, over numbers: over the last number of every
// run of kSkipRun, then within the run.
struct NumberList {
  std::vector<uint32_t> numbers;
  std::vector<uint32_t> skips;

  explicit NumberList(std::vector<uint32_t> from)
      : numbers(std::move(from)), skips(run_lasts(numbers)) {}
  size_t size() const { return numbers.size(); }
  uint32_t key(size_t i) const { return numbers[i]; }
  size_t lower_bound(uint32_t target, size_t from) const {
    return tarnwick::utils::gallop_runs([&](size_t i) { return numbers[i] < target; },
                                        [&](size_t r) { return skips[r] < target; }, from,
                                        numbers.size(), skips.size(), PostingList::kSkipRun);
  }
};

// The same ids cut into their high and low halves, each half an array of its own, and galloped
// over by the high halves (with skips of them), the low half read only where the high ones tie:
// a layout that needs no numbering, at 8 bytes a posting read where numbers take 4.
struct HalvesList {
  std::vector<uint64_t> highs;
  std::vector<uint64_t> lows;
  std::vector<uint64_t> skips;

  HalvesList(const std::vector<uint128>& ids, const std::vector<uint32_t>& numbers) {
    for (const uint32_t n : numbers) {
      highs.push_back(static_cast<uint64_t>(ids[n] >> 64));
      lows.push_back(static_cast<uint64_t>(ids[n]));
    }
    skips = run_lasts(highs);
  }
  size_t size() const { return highs.size(); }
  uint128 key(size_t i) const { return uint128{highs[i]} << 64 | lows[i]; }
  size_t lower_bound(uint128 target, size_t from) const {
    const auto high = static_cast<uint64_t>(target >> 64);
    const auto low = static_cast<uint64_t>(target);
    // The first whose high half is not below, then on over the ties of the low half.
    size_t i = tarnwick::utils::gallop_runs([&](size_t j) { return highs[j] < high; },
                                            [&](size_t r) { return skips[r] < high; }, from,
                                            highs.size(), skips.size(), PostingList::kSkipRun);
    while (i < highs.size() && highs[i] == high && lows[i] < low) ++i;
    return i;
  }
};

// A list laid out as the snapshot holds it, with one position byte a posting. It borrows from its
// own arrays, which a move keeps in place and a copy would not.
struct EntryList {
  std::vector<uint8_t> entries;
  std::vector<uint8_t> positions;
  PostingList list;

  EntryList(const std::vector<uint128>& ids, const std::vector<uint32_t>& numbers)
      : entries(numbers.size() * PostingList::kEntrySize), positions(numbers.size(), 0) {
    for (size_t i = 0; i < numbers.size(); ++i) {
      const uint32_t end = static_cast<uint32_t>(i + 1);
      std::memcpy(&entries[i * PostingList::kEntrySize], &ids[numbers[i]], 16);
      std::memcpy(&entries[i * PostingList::kEntrySize + 16], &end, 4);
    }
    auto borrowed = PostingList::borrowing(entries, positions);
    if (!borrowed) std::abort();
    list = std::move(*borrowed);
  }
  EntryList(const EntryList&) = delete;
  EntryList(EntryList&&) = default;
  size_t size() const { return list.size(); }
  uint128 key(size_t i) const { return list.doc_id(i); }
  size_t lower_bound(uint128 target, size_t from) const { return list.lower_bound(target, from); }
};

// Leapfrogging as the intersection does it: the others skip to the lead's document (the first
// list's), and the lead to any one of them skips past it. The number of documents in all.
template <class List>
size_t intersect(const std::vector<List>& lists) {
  std::vector<size_t> at(lists.size(), 0);
  size_t found = 0;
  const List& lead = lists[0];
  while (at[0] < lead.size()) {
    auto target = lead.key(at[0]);
    size_t k = 1;
    while (k < lists.size()) {
      at[k] = lists[k].lower_bound(target, at[k]);
      if (at[k] == lists[k].size()) return found;
      const auto other = lists[k].key(at[k]);
      if (other == target) {
        ++k;
        continue;
      }
      at[0] = lead.lower_bound(other, at[0]);
      if (at[0] == lead.size()) return found;
      target = lead.key(at[0]);
      k = 1;
    }
    ++found;
    ++at[0];
  }
  return found;
}

// One pass over every set of lists: seconds taken, and documents found in all.
template <class List>
std::pair<double, size_t> pass(const std::vector<std::vector<List>>& sets) {
  const auto start = Clock::now();
  size_t found = 0;
  for (const auto& set : sets) found += intersect(set);
  return {std::chrono::duration<double>(Clock::now() - start).count(), found};
}

}  // namespace

int main(int argc, char** argv) {
  const size_t documents = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
  std::mt19937_64 random(1);
  // Ascending ids as the generator gives them while documents are added at 25 a millisecond:
  // each millisecond's first has fresh random bits below the clock's, the others the last plus 1.
  std::vector<uint128> ids(documents);
  uint128 id = 0;
  for (size_t i = 0; i < documents; ++i) {
    const uint128 millisecond = uint128{0x0190'0000'0000} + i / 25;
    const uint128 bits = (uint128{random()} << 64 | random()) & ((uint128{1} << 80) - 1);
    id = i % 25 == 0 ? millisecond << 80 | bits : id + 1;
    ids[i] = id;
  }
  const std::vector<std::vector<double>> rows = {{0.01, 0.1}, {0.1, 0.3}, {0.01, 0.1, 0.3}};
  std::printf("%zu documents, %zu sets of lists a row; microseconds an intersection, best of %d\n",
              documents, kSets, kPasses);
  std::printf("%-22s %8s %9s %9s %9s %7s %7s\n", "shares", "found", "entries", "halves",
              "numbers", "halves", "numbers");
  for (const auto& shares : rows) {
    std::vector<std::vector<EntryList>> entry_sets(kSets);
    std::vector<std::vector<HalvesList>> halves_sets(kSets);
    std::vector<std::vector<NumberList>> number_sets(kSets);
    for (size_t s = 0; s < kSets; ++s) {
      for (const double share : shares) {
        std::vector<uint32_t> numbers;
        std::bernoulli_distribution in(share);
        for (uint32_t n = 0; n < documents; ++n) {
          if (in(random)) numbers.push_back(n);
        }
        entry_sets[s].emplace_back(ids, numbers);
        halves_sets[s].emplace_back(ids, numbers);
        number_sets[s].emplace_back(std::move(numbers));
      }
    }
    // Best time of each layout, and the documents it found.
    std::pair<double, size_t> best[3] = {{1e18, 0}, {1e18, 0}, {1e18, 0}};
    auto keep = [](std::pair<double, size_t>& kept, std::pair<double, size_t> run) {
      kept = {std::min(kept.first, run.first), run.second};
    };
    for (int run = 0; run < kPasses; ++run) {
      keep(best[0], pass(entry_sets));
      keep(best[1], pass(halves_sets));
      keep(best[2], pass(number_sets));
    }
    if (best[1].second != best[0].second || best[2].second != best[0].second) {
      std::fprintf(stderr, "the layouts disagree: %zu, %zu and %zu\n", best[0].second,
                   best[1].second, best[2].second);
      return 1;
    }
    char name[64] = "";
    for (const double share : shares) {
      std::snprintf(name + std::strlen(name), sizeof name - std::strlen(name), "%s%g",
                    name[0] ? " & " : "", share);
    }
    std::printf("%-22s %8zu %9.1f %9.1f %9.1f %6.2fx %6.2fx\n", name, best[0].second / kSets,
                best[0].first / kSets * 1e6, best[1].first / kSets * 1e6,
                best[2].first / kSets * 1e6, best[0].first / best[1].first,
                best[0].first / best[2].first);
  }
}
