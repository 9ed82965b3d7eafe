// Inverted index: memory per posting and per position, inserts per second and load throughput,
// over the postings of 100,000 documents of about 1 KB of English text.
//
//   index_bench [text files...]
//
// The default corpus is every distinct copyright file under /usr/share/doc. Heap use is read from
// the allocator (mallinfo2), so hash-table and array slack and allocator overhead all count.
#include <malloc.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "analysis/tokenizer.hpp"
#include "inverted/index.hpp"
#include "inverted/token_hasher.hpp"
#include "text_corpus.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDocuments = 100'000;
constexpr size_t kDocumentSize = 1024;

std::string corpus(int argc, char** argv) {
  return tarnwick::bench::joined_text(
      argc, argv, 1, "/usr/share/doc",
      [](const fs::path& path) { return path.filename() == "copyright"; }, true);
}

size_t heap_bytes() { return mallinfo2().uordblks; }

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarnwick;
  const std::string text = corpus(argc, argv);
  if (text.size() <= kDocumentSize) return std::fprintf(stderr, "corpus too small\n"), 1;
  char pattern[] = "/tmp/tarnwick-index-bench-XXXXXX";
  const fs::path dir = ::mkdtemp(pattern);
  auto config = std::make_shared<const Config>();

  // Tokenize every document and give its stems ids first, so that only the index is measured.
  analysis::Tokenizer tokenizer(std::make_shared<const StopWords>(config->stop_words));
  auto tokens = inverted::TokenHasher::load(dir, config);
  if (!tokens) return 1;
  std::vector<std::vector<std::pair<uint32_t, std::vector<uint32_t>>>> documents(kDocuments);
  size_t postings = 0, positions = 0;
  const size_t span = text.size() - kDocumentSize;
  for (size_t d = 0; d < kDocuments; ++d) {
    auto doc = tokenizer.tokenize_doc(text.substr(d * 7919 % span, kDocumentSize));
    for (const auto& stem : doc.stems) {
      const auto where = doc.positions_of(stem);
      documents[d].emplace_back(*tokens->add(stem.text),
                                std::vector<uint32_t>(where.begin(), where.end()));
      ++postings;
      positions += documents[d].back().second.size();
    }
  }

  const size_t before = heap_bytes();
  auto index = inverted::IndexManager::load(dir, config);
  if (!index) return 1;
  const auto start = Clock::now();
  for (size_t d = 0; d < kDocuments; ++d) {
    const inverted::uint128 id = (inverted::uint128{1'700'000'000'000} + d) << 80 | d;
    for (const auto& [token_id, where] : documents[d]) {
      if (!index->insert(token_id, id, where, *tokens)) return 1;
    }
  }
  if (!index->flush(*tokens)) return 1;
  const double insert_seconds = seconds_since(start);
  const size_t inserted_heap = heap_bytes() - before;

  const uint64_t log_bytes =
      fs::file_size(dir / "index" / "index") + fs::file_size(dir / "index" / "meta");
  const size_t before_load = heap_bytes();
  const auto load_start = Clock::now();
  auto loaded = inverted::IndexManager::load(dir, config);
  if (!loaded) return 1;
  const double load_seconds = seconds_since(load_start);
  const size_t loaded_heap = heap_bytes() - before_load;

  std::printf("documents %d, tokens %zu, postings %zu, positions %zu\n", kDocuments,
              tokens->token_to_id().size(), postings, positions);
  std::printf("after inserting: %.1f MB, %.2f bytes per posting all told, budget (24/posting + "
              "2/position) %.1f MB\n",
              inserted_heap / 1e6, double(inserted_heap) / postings,
              (24.0 * postings + 2.0 * positions) / 1e6);
  std::printf("after loading:   %.1f MB, %.2f bytes per posting all told\n", loaded_heap / 1e6,
              double(loaded_heap) / postings);
  std::printf("inserts: %.0f per second (saving by the default thresholds included)\n",
              postings / insert_seconds);
  std::printf("load: %.1f MB of logs in %.3f s, %.0f MB/s\n", log_bytes / 1e6, load_seconds,
              log_bytes / 1e6 / load_seconds);
  fs::remove_all(dir);
  return 0;
}
