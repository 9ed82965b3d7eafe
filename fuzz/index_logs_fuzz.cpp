// Feeds arbitrary pairs of index logs to the index load, and arbitrary token stores to the
// dictionary's load; neither may crash, read outside its files or allocate beyond what the
// bytes justify. The first two input bytes give the meta log's length in 28-byte records
// (plus one byte past them when odd, a tail cut short); the rest of the input after the meta log
// is the index log.
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>

#include "inverted/index.hpp"
#include "inverted/token_hasher.hpp"

namespace {

namespace fs = std::filesystem;

// An engine directory for the whole run, removed at exit.
struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/tarnwick-index-fuzz-XXXXXX";
    path = ::mkdtemp(pattern);
    fs::create_directories(path / "index");
    // Most token stores print the decode warning; the fuzzer reports on standard error.
    std::freopen("/dev/null", "w", stdout);
  }
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  fs::path path;
};

const fs::path& scratch() {
  static const Scratch dir;
  return dir.path;
}

void write(const fs::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const size_t wanted = (size_t{data[0]} << 7 | data[1] >> 1) * tarnwick::inverted::kLogMetaSize +
                        (data[1] & 1);
  const std::string_view rest = input.substr(2);
  const std::string_view meta = rest.substr(0, std::min(wanted, rest.size()));
  const fs::path index_dir = scratch() / "index";
  write(index_dir / "meta", meta);
  write(index_dir / "index", rest.substr(meta.size()));
  write(index_dir / "tokens", rest);
  auto config = std::make_shared<const tarnwick::Config>();
  // Read-only: the same decoding, without cutting torn tails into lost+found on every input.
  (void)tarnwick::inverted::IndexManager::load(scratch(), config, tarnwick::utils::system_time_nanos,
                                           tarnwick::utils::Access::ReadOnly);
  (void)tarnwick::inverted::TokenHasher::load(scratch(), config);
  return 0;
}
