// The token dictionary: the cost of opening it, and of looking a word up, read in place from a
// saved store (a binary search over its word list) against held in memory (a hash), over the
// stems of 1 KB documents of English cut from one long text.
//
//   words_bench [text files...]
//
// The default text is every distinct copyright file under /usr/share/doc. Each figure is the
// best of five runs.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "analysis/tokenizer.hpp"
#include "inverted/stored_words.hpp"
#include "inverted/token_hasher.hpp"
#include "text_corpus.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tarnwick::inverted::TokenHasher;

constexpr size_t kDocuments = 20'000;
constexpr size_t kDocumentSize = 1024;
constexpr int kRuns = 5;

template <class F>
double best_seconds(F&& run) {
  double best = 1e30;
  for (int i = 0; i < kRuns; ++i) {
    const auto start = Clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  return best;
}

// Looks up every stem of the stream; gives the sum of the ids, so that nothing is optimised away.
uint64_t look_up(const TokenHasher& tokens, const std::vector<std::string>& stems) {
  uint64_t sum = 0;
  for (const std::string& stem : stems) sum += tokens.id_of(stem).value_or(0);
  return sum;
}

// The same through add, as a writer adding documents looks its words up.
uint64_t add_again(TokenHasher& tokens, const std::vector<std::string>& stems) {
  uint64_t sum = 0;
  for (const std::string& stem : stems) {
    auto id = tokens.add(stem);
    sum += id ? *id : 0;
  }
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick;
  const std::string text = bench::joined_text(
      argc, argv, 1, "/usr/share/doc",
      [](const fs::path& path) { return path.filename() == "copyright"; }, true);
  if (text.size() <= kDocumentSize) return std::fprintf(stderr, "corpus too small\n"), 1;
  char pattern[] = "/tmp/tarnwick-words-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  auto quiet = std::make_shared<Config>();
  quiet->index_save_after_operations = UINT64_MAX;
  quiet->index_save_after_seconds = UINT64_MAX;
  const std::shared_ptr<const Config> config = quiet;

  analysis::Tokenizer tokenizer(std::make_shared<const StopWords>(config->stop_words));
  std::vector<std::string> stems;
  const size_t span = text.size() - kDocumentSize;
  for (size_t d = 0; d < kDocuments; ++d) {
    for (const auto& stem : tokenizer.tokenize_doc(text.substr(d * 7919 % span, kDocumentSize)).stems) {
      stems.push_back(stem.text);
    }
  }
  auto tokens = TokenHasher::load(dir, config);
  if (!tokens) return 1;
  for (const std::string& stem : stems) {
    if (!tokens->add(stem)) return 1;
  }
  const double in_memory = best_seconds([&] { (void)look_up(*tokens, stems); });
  if (!tokens->flush()) return 1;
  const double stored = best_seconds([&] { (void)look_up(*tokens, stems); });
  const auto start = Clock::now();
  (void)add_again(*tokens, stems);
  const double adding_first = std::chrono::duration<double>(Clock::now() - start).count();
  const double adding = best_seconds([&] { (void)add_again(*tokens, stems); });
  const double open_listed = best_seconds([&] { (void)TokenHasher::load(dir, config); });
  const double open_sorting = best_seconds([&] {
    fs::remove(dir / "index" / inverted::kWordListFileName);
    (void)TokenHasher::load(dir, config, utils::system_time_nanos, utils::Access::ReadOnly);
  });

  const double lookups = static_cast<double>(stems.size());
  std::printf("%zu words, store %.1f MB; %zu lookups\n", tokens->size(),
              static_cast<double>(fs::file_size(dir / "index" / "tokens")) / 1e6, stems.size());
  std::printf("lookup, words in memory       %6.1f ns\n", in_memory / lookups * 1e9);
  std::printf("lookup, words read in place   %6.1f ns\n", stored / lookups * 1e9);
  std::printf("add of a known word, in place %6.1f ns first pass, %.1f ns after\n",
              adding_first / lookups * 1e9, adding / lookups * 1e9);
  std::printf("open with the word list       %6.2f ms\n", open_listed * 1e3);
  std::printf("open sorting the store        %6.2f ms\n", open_sorting * 1e3);
  fs::remove_all(dir);
  return 0;
}
