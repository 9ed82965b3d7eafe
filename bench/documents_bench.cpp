// Document store throughput: 100,000 documents of about 1 KB of English text written through the
// store and flushed, against the same texts compressed block by block with liblz4 alone, and
// the memory the store's records take.
//
//   documents_bench [token ids per document [text files...]]
//
// The default is 100 token ids (the distinct stems of a 1 KB English text, roughly) and the
// license texts in /usr/share/common-licenses.
#include <lz4.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "storage/documents.hpp"
#include "text_corpus.hpp"
#include "utils/file.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kDocuments = 100'000;
constexpr size_t kDocumentSize = 1024;

std::string corpus(int argc, char** argv) {
  return tarnwick::bench::joined_text(
      argc, argv, 2, "/usr/share/common-licenses", [](const fs::path&) { return true; }, false);
}

// 1 KB windows at scattered offsets, so that no two documents are alike.
std::vector<std::string> documents(const std::string& text) {
  std::vector<std::string> out;
  out.reserve(kDocuments);
  const size_t span = text.size() - kDocumentSize;
  for (size_t i = 0; i < kDocuments; ++i) {
    out.push_back(text.substr(i * 7919 % span, kDocumentSize));
  }
  return out;
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int tokens_per_document = argc > 1 ? std::atoi(argv[1]) : 100;
  const std::string text = corpus(argc, argv);
  if (text.size() < 2 * kDocumentSize) {
    std::fprintf(stderr, "not enough text\n");
    return 1;
  }
  const std::vector<std::string> docs = documents(text);
  const double megabytes = double(kDocuments) * kDocumentSize / 1e6;

  // Compression alone, best of three runs, as the yardstick.
  std::vector<char> out(LZ4_compressBound(kDocumentSize));
  size_t compressed = 0;
  double lz4_seconds = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    compressed = 0;
    for (const auto& doc : docs) {
      compressed += LZ4_compress_default(doc.data(), out.data(), int(doc.size()), int(out.size()));
    }
    lz4_seconds = std::min(lz4_seconds, seconds_since(start));
  }

  // The store's own block form into a buffer emptied at 1 MiB: compression plus buffering, without
  // records or files.
  double blocks_seconds = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto start = Clock::now();
    std::string buffer;
    for (const auto& doc : docs) {
      if (!tarnwick::storage::compress_block(doc, buffer)) return 1;
      if (buffer.size() > (1 << 20)) buffer.clear();
    }
    blocks_seconds = std::min(blocks_seconds, seconds_since(start));
  }

  std::string dir_template = (fs::temp_directory_path() / "tarnwick-bench-XXXXXX").string();
  const fs::path dir = ::mkdtemp(dir_template.data());
  const long rss_before = rss_kib();
  const auto start = Clock::now();
  auto store = tarnwick::storage::DocumentsManager::load(dir / "engine",
                                                         std::make_shared<tarnwick::Config>());
  if (!store) return 1;
  for (int i = 0; i < kDocuments; ++i) {
    std::vector<uint32_t> token_ids(tokens_per_document);
    for (int t = 0; t < tokens_per_document; ++t) token_ids[t] = uint32_t(i + t * 389) % 50'000;
    const auto id = (static_cast<unsigned __int128>(1'700'000'000'000 + i) << 80) | i;
    if (!store->write(id, 200, std::move(token_ids), docs[i])) return 1;
  }
  const double write_seconds = seconds_since(start);
  const auto flush_start = Clock::now();
  if (!store->flush()) return 1;
  const double flush_seconds = seconds_since(flush_start);
  const double store_seconds = seconds_since(start);
  const long rss_after = rss_kib();

  std::printf("texts: %d x %zu bytes, %.1f MB, compressed by liblz4 to %.1f MB\n", kDocuments,
              kDocumentSize, megabytes, compressed / 1e6);
  std::printf("liblz4 alone:      %.3f s  %.0f MB/s\n", lz4_seconds, megabytes / lz4_seconds);
  std::printf("blocks buffered:   %.3f s  %.0f MB/s  (%.2fx liblz4)\n", blocks_seconds,
              megabytes / blocks_seconds, blocks_seconds / lz4_seconds);
  std::printf("store (all):       %.3f s  %.0f MB/s  (%.2fx liblz4)\n", store_seconds,
              megabytes / store_seconds, store_seconds / lz4_seconds);
  std::printf("  writes:          %.3f s  (%.2fx liblz4)\n", write_seconds,
              write_seconds / lz4_seconds);
  std::printf("  final flush:     %.3f s  (append and fsync)\n", flush_seconds);
  std::printf("segments: %zu; RSS growth with %d records of %d token ids: %.1f MiB\n",
              store->segments().size(), kDocuments, tokens_per_document,
              (rss_after - rss_before) / 1024.0);
  fs::remove_all(dir);
  return 0;
}
