// A document store over a scratch engine directory with a hand-driven clock, for the store's
// tests.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "storage/documents.hpp"
#include "store_test_support.hpp"
#include "utils/overloaded.hpp"

namespace tarnwick::storage::testing {

inline std::string describe(const DocumentsManagerError& error) {
  return std::visit(utils::Overloaded{
                        [](const utils::IoError& e) { return "Io: " + e.to_string(); },
                        [](const ClockError&) { return std::string("Clock"); },
                        [](const DecodeError& e) { return "Decode: " + e.to_string(); },
                        [](const EncodeError& e) { return "Encode: " + e.to_string(); },
                        [](const CompressError& e) { return "Compress: " + e.message; },
                    },
                    error.detail);
}

inline std::optional<utils::IoErrorKind> io_kind(const DocumentsManagerError& error) {
  if (auto* io = std::get_if<utils::IoError>(&error.detail)) return io->kind;
  return std::nullopt;
}

// Distinct ids in increasing order, shaped like generated ones.
inline uint128 id(int n) { return (uint128{1'700'000'000'000} + n) << 80 | uint128(n * 7919); }

// Distinct, somewhat compressible texts.
inline std::string text(int n) {
  std::string out = "Document " + std::to_string(n) + ": ";
  for (int i = 0; i <= n % 7; ++i) {
    out += "the quick brown fox jumps over the lazy dog " + std::to_string(i);
  }
  return out;
}

// The size-prefixed block the store writes for `content`.
inline std::string block_of(const std::string& content) {
  std::string block;
  EXPECT_TRUE(compress_block(content, block).ok());
  return block;
}

class StoreTest : public ::testing::Test {
 protected:
  fs::path dir() const { return tmp_ / "engine"; }

  utils::Result<DocumentsManager, DocumentsManagerError> load() {
    return DocumentsManager::load(dir(), config_, clock_.clock());
  }

  // The store, or nullopt after reporting the error as a test failure.
  std::optional<DocumentsManager> open() {
    auto store = load();
    if (!store) {
      ADD_FAILURE() << describe(store.error());
      return std::nullopt;
    }
    return std::move(*store);
  }

  // Writes document n with two token ids.
  static void write(DocumentsManager& store, int n) {
    auto status = store.write(id(n), static_cast<uint32_t>(n), {uint32_t(n), 1000}, text(n));
    EXPECT_TRUE(status.ok()) << describe(status.error());
  }

  static void flush(DocumentsManager& store) {
    auto status = store.flush();
    EXPECT_TRUE(status.ok()) << describe(status.error());
  }

  // The live records in full, as a map.
  static DocumentMap live(const DocumentsManager& store) {
    auto records = store.live_records();
    EXPECT_TRUE(records.ok()) << describe(records.error());
    return records.ok() ? std::move(*records) : DocumentMap{};
  }

  static std::string content_of(const DocumentsManager& store, int n) {
    auto record = store.locate(id(n));
    if (!record) return "<not live>";
    auto content = read_content(*record);
    return content.ok() ? *content : "<unreadable>";
  }

  static std::vector<fs::path> segment_paths(const DocumentsManager& store) {
    std::vector<fs::path> paths;
    for (const auto& [path, segment] : store.segments()) paths.push_back(path);
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  void set_config(void (*adjust)(Config&)) { config_ = config_with(adjust); }

  TempDir tmp_;
  TestClock clock_;
  std::shared_ptr<const Config> config_ = std::make_shared<Config>();
};

}  // namespace tarnwick::storage::testing
