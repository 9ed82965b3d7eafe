// Token trie: fuzzy lookup latency at distances 1 and 2 against a brute-force scan that computes
// the Levenshtein distance to every token, over the same tokens in the same run; also build time
// and heap use of the trie.
//
//   cmake -S bench -B build/bench -G Ninja && cmake --build build/bench --target trie_bench
//   build/bench/trie_bench [word list]
//
// The default word list is /usr/share/dict/words (Debian package wamerican), lower-cased by ASCII
// rules and deduplicated. Query terms are words of the list, half of them with one letter replaced,
// as typed queries are. Heap use is read from the allocator (mallinfo2), so arena slack and the
// automaton tables count.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "utils/code_point.hpp"
#include "utils/edit_distance.hpp"
#include "utils/trie.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarnwick::utils::testing::levenshtein;

constexpr int kQueries = 200;

std::vector<std::string> load_words(const char* path) {
  std::ifstream in(path);
  std::set<std::string> distinct;
  for (std::string line; std::getline(in, line);) {
    for (char& c : line) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    if (!line.empty()) distinct.insert(line);
  }
  return {distinct.begin(), distinct.end()};
}

std::u32string decode(std::string_view text) {
  std::u32string out;
  for (size_t at = 0; at < text.size();) {
    const tarnwick::utils::CodePoint c = tarnwick::utils::code_point_at(text, at);
    out.push_back(static_cast<char32_t>(c.code));
    at = c.next;
  }
  return out;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double micros_since(Clock::time_point start) {
  return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/usr/share/dict/words";
  const std::vector<std::string> words = load_words(path);
  if (words.empty()) {
    std::fprintf(stderr, "no words in %s\n", path);
    return 1;
  }

  // The engine adds the dictionary's tokens in hash-map order, so no order of the list is kept.
  std::mt19937 rng(42);
  std::vector<std::string> shuffled = words;
  std::shuffle(shuffled.begin(), shuffled.end(), rng);
  // Large blocks come straight from mmap and show in hblkhd, not uordblks.
  auto heap = [] { return mallinfo2().uordblks + mallinfo2().hblkhd; };
  const size_t heap_before = heap();
  const auto build_start = Clock::now();
  tarnwick::utils::Trie trie;
  for (const std::string& word : shuffled) trie.add(word);
  const double build_ms = micros_since(build_start) / 1000;
  const size_t heap_bytes = heap() - heap_before;
  std::printf("%zu tokens, %zu nodes, built in %.1f ms, %.1f MB heap (%.1f bytes/token)\n",
              trie.size(), trie.node_count(), build_ms, heap_bytes / 1e6,
              static_cast<double>(heap_bytes) / trie.size());

  std::vector<std::u32string> decoded;
  decoded.reserve(words.size());
  for (const std::string& word : words) decoded.push_back(decode(word));

  std::vector<std::string> queries;
  for (int q = 0; q < kQueries; ++q) {
    std::string term = words[rng() % words.size()];
    if (q % 2 == 1 && term.size() > 1) {
      char& letter = term[rng() % term.size()];
      if (static_cast<unsigned char>(letter) < 0x80) letter = static_cast<char>('a' + rng() % 26);
    }
    queries.push_back(term);
  }

  // Each way runs all its queries in a row, then the other way does, so that neither runs with
  // the caches the other just filled; the interleaved line shows the trie right after a scan.
  std::vector<size_t> row;
  auto scan = [&](const std::string& term, uint8_t n) {
    const std::u32string chars = decode(term);
    size_t hits = 0;
    for (const std::u32string& token : decoded) hits += levenshtein(chars, token, row) <= n;
    return hits;
  };
  for (uint8_t n : {uint8_t{1}, uint8_t{2}}) {
    std::vector<double> trie_us, scan_us, cold_us;
    size_t trie_hits = 0;
    size_t scan_hits = 0;
    for (const std::string& term : queries) {
      const auto start = Clock::now();
      trie_hits += trie.search(term, n).size();
      trie_us.push_back(micros_since(start));
    }
    for (const std::string& term : queries) {
      const auto start = Clock::now();
      scan_hits += scan(term, n);
      scan_us.push_back(micros_since(start));
    }
    for (size_t q = 0; q < queries.size() / 4; ++q) {
      scan(queries[q], n);
      const auto start = Clock::now();
      (void)trie.search(queries[q], n);
      cold_us.push_back(micros_since(start));
    }
    const double trie_median = median(trie_us);
    const double scan_median = median(scan_us);
    std::printf("distance %d: trie %.1f us, scan %.1f us (median of %d), %.0fx faster; "
                "trie right after a scan %.1f us; %zu hits%s\n",
                n, trie_median, scan_median, kQueries, scan_median / trie_median,
                median(cold_us), trie_hits, trie_hits == scan_hits ? "" : " (SCAN DISAGREES)");
  }
}
