// Saves of the token dictionary while a collection grows: the changes appended to the changes
// file, against the store written whole at every save (as a save did before the changes file,
// forced here by removing that file before each save). Each save follows `kPerSave` new words;
// the dictionary ends with `kSaves` * `kPerSave` words of 6 to 16 letters, and the opening of the
// result is timed too.
//
//   token_saves_bench
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "base/config.hpp"
#include "inverted/token_hasher.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tarnwick::inverted::TokenHasher;

constexpr int kSaves = 200;
constexpr int kPerSave = 500;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string random_word(std::mt19937& random) {
  std::string word(6 + random() % 11, 'a');
  for (char& c : word) c = static_cast<char>('a' + random() % 26);
  return word;
}

// Adds the words and saves after each `kPerSave`; gives the seconds the saves took.
double grow(const fs::path& dir, bool whole) {
  fs::remove_all(dir);
  auto config = std::make_shared<tarnwick::Config>();
  config->index_save_after_operations = UINT64_MAX;
  config->index_save_after_seconds = UINT64_MAX;
  auto tokens = TokenHasher::load(dir, config);
  if (!tokens) return -1;
  std::mt19937 random(1);
  double saving = 0;
  for (int save = 0; save < kSaves; ++save) {
    for (int i = 0; i < kPerSave; ++i) (void)tokens->add(random_word(random));
    if (whole) fs::remove(dir / "index" / tarnwick::inverted::kTokenChangesFileName);
    const auto start = Clock::now();
    if (!tokens->flush()) return -1;
    saving += seconds_since(start);
  }
  return saving;
}

}  // namespace

int main() {
  const fs::path dir = fs::temp_directory_path() / "tarnwick-token-saves-bench";
  for (bool whole : {true, false}) {
    const double saving = grow(dir, whole);
    if (saving < 0) return 1;
    const auto start = Clock::now();
    auto config = std::make_shared<tarnwick::Config>();
    auto reopened = TokenHasher::load(dir, config);
    const double opening = seconds_since(start);
    if (!reopened) return 1;
    std::printf("%-34s %d saves: %8.1f ms in all, %6.2f ms each; store %5.1f MB, changes %4.0f KB,"
                " opening %5.2f ms\n",
                whole ? "store written whole at every save" : "changes appended", kSaves,
                saving * 1e3, saving * 1e3 / kSaves,
                static_cast<double>(fs::file_size(dir / "index" / "tokens")) / 1e6,
                static_cast<double>(fs::file_size(
                    dir / "index" / tarnwick::inverted::kTokenChangesFileName)) / 1e3,
                opening * 1e3);
  }
  fs::remove_all(dir);
  return 0;
}
