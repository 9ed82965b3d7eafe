// Throughput of SnowballStemmer::stem, each word stemmed from a fresh copy, over two inputs: a
// mix of English word shapes that exercises every step, and every word of real English text as
// the tokenizer would hand it over (segmented, lower-cased, stop words removed; the tokenizer
// itself stems each distinct spelling once, see tokenizer_bench). Prints stems per second.
//
//   stemmer_bench [directory of .txt files]
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "analysis/stemmer.hpp"
#include "analysis/word_segmenter.hpp"
#include "base/config.hpp"
#include "text_corpus.hpp"

namespace {

// Stems every word of `words`, `rounds` times over, and prints the rate.
template <class Words>
void measure(const char* name, const Words& words, int rounds) {
  tarnwick::analysis::SnowballStemmer stemmer;
  size_t checksum = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < rounds; ++round) {
    for (std::string_view word : words) checksum += stemmer.stem(std::string(word)).size();
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double stems = static_cast<double>(rounds) * static_cast<double>(std::size(words));
  std::printf("%-22s %6.2f M stems/s  %5.1f ns/stem  (%.0f stems, checksum %zu)\n", name,
              stems / elapsed.count() / 1e6, elapsed.count() * 1e9 / stems, stems, checksum);
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::string_view kWords[] = {
      "the",        "running",     "searches",    "engine",      "documents",   "indexed",
      "quickly",    "relational",  "happiness",   "generously",  "university",  "community",
      "adjustment", "information", "controlled",  "hopefulness", "sensitivity", "archaeology",
      "caresses",   "ponies",      "agreed",      "proceeding",  "dying",       "evening",
      "possibly",   "electricity", "demonstrative", "effective", "computer",    "metallic",
      "word",       "segment",     "positions",   "token",       "queries",     "ranking",
      "café",       "can't",       "john's",      "a",           "of",          "skies"};
  measure("word-shape mix", kWords, 200000);

  const tarnwick::bench::Corpus corpus =
      tarnwick::bench::load_corpus(argc > 1 ? argv[1] : tarnwick::bench::kDefaultCorpus);
  if (corpus.documents.empty()) return 1;
  const tarnwick::StopWords stop_words = tarnwick::default_stop_words();
  std::vector<std::string> words;
  const tarnwick::analysis::WordSegmenter segmenter;
  for (const std::string& document : corpus.documents) {
    segmenter.for_each_word(document, [&](std::string_view segment) {
      std::string word(segment);
      for (char& c : word) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
      }
      if (!stop_words.contains(word)) words.push_back(std::move(word));
    });
  }
  std::printf("%zu words of %zu documents (%.1f MB)\n", words.size(), corpus.documents.size(),
              corpus.bytes / 1e6);
  measure("document words", words, 3);
  return 0;
}
