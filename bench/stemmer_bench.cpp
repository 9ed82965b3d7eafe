// Throughput of SnowballStemmer::stem over a mix of English word shapes, each stemmed from a
// fresh copy as the tokenizer hands it over. Prints nanoseconds per word.
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "analysis/stemmer.hpp"

int main() {
  constexpr std::string_view kWords[] = {
      "the",        "running",     "searches",    "engine",      "documents",   "indexed",
      "quickly",    "relational",  "happiness",   "generously",  "university",  "community",
      "adjustment", "information", "controlled",  "hopefulness", "sensitivity", "archaeology",
      "caresses",   "ponies",      "agreed",      "proceeding",  "dying",       "evening",
      "possibly",   "electricity", "demonstrative", "effective", "computer",    "metallic",
      "word",       "segment",     "positions",   "token",       "queries",     "ranking",
      "café",       "can't",       "john's",      "a",           "of",          "skies"};
  constexpr int kRounds = 200000;
  tarnwick::analysis::SnowballStemmer stemmer;
  size_t checksum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < kRounds; ++round) {
    for (std::string_view word : kWords) checksum += stemmer.stem(std::string(word)).size();
  }
  const std::chrono::duration<double, std::nano> elapsed =
      std::chrono::steady_clock::now() - start;
  const double words = static_cast<double>(kRounds) * std::size(kWords);
  std::printf("%.1f ns/word (%.0f words, checksum %zu)\n", elapsed.count() / words, words,
              checksum);
}
