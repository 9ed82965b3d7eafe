// Real English prose for the text-analysis benchmarks: every .txt file under a directory, one
// document per file, in sorted path order so that runs are comparable. The default directory
// holds the reStructuredText sources of the Python documentation (Debian's python3.11-doc),
// about 11 MB in 500 files of mostly ASCII text with some Unicode.
#pragma once

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tarnwick::bench {

inline constexpr const char* kDefaultCorpus = "/usr/share/doc/python3.11/html/_sources";

struct Corpus {
  std::vector<std::string> documents;
  size_t bytes = 0;
};

// The documents under `root`; an empty corpus, with a message, when there are none.
inline Corpus load_corpus(const std::filesystem::path& root) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_regular_file() && it->path().extension() == ".txt") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  Corpus corpus;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    corpus.bytes += bytes.str().size();
    corpus.documents.push_back(std::move(bytes).str());
  }
  if (corpus.documents.empty()) {
    std::fprintf(stderr, "no .txt files under %s (apt-get install python3.11-doc)\n",
                 root.c_str());
  }
  return corpus;
}

// The text of `files` joined end to end, each distinct content once (in sorted content order
// when `distinct`), for the benchmarks that cut 1 KB documents out of a long English text: the
// files given on the command line from argv[first], else those under `root` that `wanted` takes.
inline std::string joined_text(int argc, char** argv, int first, const std::filesystem::path& root,
                               bool (*wanted)(const std::filesystem::path&), bool distinct) {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  for (int i = first; i < argc; ++i) files.emplace_back(argv[i]);
  if (files.empty()) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file() && wanted(it->path())) files.push_back(it->path());
    }
  }
  std::vector<std::string> texts;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    texts.push_back(std::move(bytes).str());
  }
  if (distinct) {
    std::sort(texts.begin(), texts.end());
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
  }
  std::string text;
  for (const std::string& t : texts) text += t;
  return text;
}

}  // namespace tarnwick::bench
