// Document tokenization against plain word segmentation by ICU's own word iterator, over real
// English text, one document per file; each figure is the best of five passes.
//
//   tokenizer_bench [directory of .txt files]
//
// Rows: ICU's word BreakIterator walking every boundary (the yardstick); the system's own
// WordSegmenter visiting every segment; Tokenizer::tokenize_doc with the default stop words.
// Stems per second of the stemmer alone: build/bench/stemmer_bench.
#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/utext.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "analysis/tokenizer.hpp"
#include "analysis/word_segmenter.hpp"
#include "text_corpus.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using tarnwick::bench::Corpus;

constexpr int kPasses = 5;

struct Figure {
  double megabytes_per_second;
  size_t count;  // what the pass counted, which also keeps its work from being optimised away
};

// The best of kPasses runs of `pass`, which goes over every document of `corpus`.
template <class Pass>
Figure measure(const Corpus& corpus, Pass pass) {
  double best = 1e9;
  size_t count = 0;
  for (int run = 0; run < kPasses; ++run) {
    const auto start = Clock::now();
    count = pass();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return {corpus.bytes / 1e6 / best, count};
}

void print(const char* name, Figure figure, const char* counted, double yardstick) {
  std::printf("%-26s %7.1f MB/s  %.2fx ICU  %10zu %s\n", name, figure.megabytes_per_second,
              figure.megabytes_per_second / yardstick, figure.count, counted);
}

}  // namespace

int main(int argc, char** argv) {
  const Corpus corpus =
      tarnwick::bench::load_corpus(argc > 1 ? argv[1] : tarnwick::bench::kDefaultCorpus);
  if (corpus.documents.empty()) return 1;
  std::printf("%zu documents, %.1f MB\n", corpus.documents.size(), corpus.bytes / 1e6);

  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> words(
      icu::BreakIterator::createWordInstance(icu::Locale::getEnglish(), status));
  if (U_FAILURE(status)) return 1;
  const Figure icu = measure(corpus, [&] {
    size_t boundaries = 0;
    for (const std::string& document : corpus.documents) {
      UText text = UTEXT_INITIALIZER;
      utext_openUTF8(&text, document.data(), static_cast<int64_t>(document.size()), &status);
      words->setText(&text, status);  // keeps a shallow clone of `text`
      utext_close(&text);
      for (int32_t at = words->first(); at != icu::BreakIterator::DONE; at = words->next()) {
        ++boundaries;
      }
    }
    return boundaries;
  });
  if (U_FAILURE(status)) return 1;
  const double yardstick = icu.megabytes_per_second;
  print("ICU word BreakIterator", icu, "boundaries", yardstick);

  tarnwick::analysis::WordSegmenter segmenter;
  print("WordSegmenter", measure(corpus, [&] {
    size_t segments = 0;
    for (const std::string& document : corpus.documents) {
      segmenter.for_each_segment(document, [&](std::string_view) { ++segments; });
    }
    return segments;
  }), "segments", yardstick);

  // A new tokenizer for each pass, as an engine opened over a new directory has: its memo of
  // spellings starts empty.
  const auto stop_words =
      std::make_shared<const tarnwick::StopWords>(tarnwick::default_stop_words());
  print("Tokenizer::tokenize_doc", measure(corpus, [&] {
    tarnwick::analysis::Tokenizer tokenizer(stop_words);
    size_t kept = 0;
    for (const std::string& document : corpus.documents) {
      kept += tokenizer.tokenize_doc(document).length;
    }
    return kept;
  }), "kept words", yardstick);
  return 0;
}
