#include "inverted/token_changes.hpp"

#include <gtest/gtest.h>

#include <random>

#include "inverted/index_fixture.hpp"
#include "inverted/token_hasher.hpp"

namespace tarnwick::inverted {
namespace {

using utils::Access;
using index_testing::read_bytes;
using index_testing::write_bytes;
namespace fs = std::filesystem;

std::string word(uint64_t n) {
  std::string word = "word";
  word += std::to_string(n);
  return word;
}

// What a dictionary holds, as a save must keep it: its slots and its free ids in order.
struct Held {
  std::vector<std::optional<std::string>> slots;
  std::vector<uint32_t> free_ids;

  static Held of(const TokenHasher& hasher) { return {hasher.id_to_token(), hasher.free_ids()}; }
  bool operator==(const Held&) const = default;
};

class TokenChangesTest : public index_testing::DictionaryTest {
 protected:
  fs::path changes_path() const { return index_dir() / kTokenChangesFileName; }
  fs::path store_path() const { return index_dir() / kTokensFileName; }

  // Random adds (of words old and new) and deletes, then a save.
  void change_and_save(TokenHasher& hasher, std::mt19937& random, int changes) {
    for (int i = 0; i < changes; ++i) {
      if (random() % 3 == 0 && hasher.size() > 0) {
        ASSERT_TRUE(hasher.delete_token(static_cast<uint32_t>(random() % (hasher.size() + 4))).ok());
      } else {
        ASSERT_TRUE(hasher.add(word(random() % 400)).ok());
      }
    }
    ASSERT_TRUE(hasher.flush().ok());
  }
};

TEST_F(TokenChangesTest, SavesAppendTheChangesAndReopeningTakesThemIn) {
  std::mt19937 random(7);
  TokenHasher hasher = open();
  change_and_save(hasher, random, 50);
  const std::string store = read_bytes(store_path());
  for (int save = 0; save < 20; ++save) {
    change_and_save(hasher, random, 1 + static_cast<int>(random() % 12));
    // Small beside the least the changes file may hold: the store is left as it is.
    EXPECT_EQ(read_bytes(store_path()), store);
    EXPECT_EQ(Held::of(open(Access::ReadOnly)), Held::of(hasher)) << save;
    if (save % 5 == 4) hasher = open();
  }
  EXPECT_GT(fs::file_size(changes_path()), kTokenChangesHeaderSize);
}

TEST_F(TokenChangesTest, TheStoreIsWrittenWholeOnceTheChangesOutgrowTheirShare) {
  TokenHasher hasher = open();
  int rewrites = 0;
  std::string store = read_bytes(store_path());
  for (int save = 0; save < 100; ++save) {
    for (int i = 0; i < 300; ++i) {
      ASSERT_TRUE(hasher.add(word(save * 1000 + i)).ok());
    }
    ASSERT_TRUE(hasher.flush().ok());
    if (read_bytes(store_path()) != store) {
      ++rewrites;
      store = read_bytes(store_path());
      EXPECT_EQ(fs::file_size(changes_path()), kTokenChangesHeaderSize) << save;
    }
    EXPECT_LE(fs::file_size(changes_path()), std::max<uint64_t>(64 << 10, store.size() / 8));
  }
  EXPECT_EQ(Held::of(open()), Held::of(hasher));
  // The first save, and then each time the changes pass 64 KiB or an eighth of the store.
  EXPECT_GT(rewrites, 2);
  EXPECT_LT(rewrites, 20);
}

TEST_F(TokenChangesTest, ABatchCutShortIsPassedOverAndTheWriterKeepsItAside) {
  std::mt19937 random(3);
  TokenHasher hasher = open();
  change_and_save(hasher, random, 20);
  std::vector<std::pair<uint64_t, Held>> saves{{fs::file_size(changes_path()), Held::of(hasher)}};
  for (int save = 0; save < 4; ++save) {
    change_and_save(hasher, random, 6);
    saves.emplace_back(fs::file_size(changes_path()), Held::of(hasher));
  }
  const std::string whole = read_bytes(changes_path());
  for (uint64_t length = kTokenChangesHeaderSize; length <= whole.size(); ++length) {
    SCOPED_TRACE(length);
    fs::remove_all(dir_.path() / "lost+found");
    write_bytes(changes_path(), whole.substr(0, length));
    // The last save whose batch is whole.
    auto last = std::prev(std::upper_bound(saves.begin(), saves.end(), length,
                                           [](uint64_t l, const auto& s) { return l < s.first; }));
    EXPECT_EQ(Held::of(open(Access::ReadOnly)), last->second);
    EXPECT_EQ(fs::file_size(changes_path()), length);  // a reader cuts nothing
    TokenHasher writer = open();
    EXPECT_EQ(Held::of(writer), last->second);
    EXPECT_EQ(fs::file_size(changes_path()), last->first);
    if (length > last->first) {
      EXPECT_EQ(read_bytes(dir_.path() / "lost+found" /
                           ("index.token-changes@" + std::to_string(last->first))),
                whole.substr(last->first, length - last->first));
    }
    // Saves go on from there.
    ASSERT_TRUE(writer.add("after").ok());
    ASSERT_TRUE(writer.flush().ok());
    EXPECT_EQ(Held::of(open(Access::ReadOnly)), Held::of(writer));
  }
  // A whole batch whose bytes were damaged, or zeros where a power loss left the file longer
  // than what reached it, is passed over the same way.
  const uint64_t last_batch = saves[saves.size() - 2].first;
  std::string damaged = whole;
  damaged[last_batch + 14] ^= 0x20;
  for (const std::string& bytes : {damaged, whole + std::string(40, '\0')}) {
    write_bytes(changes_path(), bytes);
    EXPECT_EQ(Held::of(open(Access::ReadOnly)), saves[bytes == damaged ? saves.size() - 2 : saves.size() - 1].second);
  }
}

TEST_F(TokenChangesTest, ChangesThatFollowAnotherStoreArePassedOver) {
  std::mt19937 random(5);
  TokenHasher hasher = open();
  change_and_save(hasher, random, 30);
  change_and_save(hasher, random, 5);
  const std::string old_changes = read_bytes(changes_path());
  // The store written whole (a dictionary trimmed or compacted), its changes file not yet
  // started afresh when a crash came: the old one names the old store.
  ASSERT_TRUE(hasher.delete_token(static_cast<uint32_t>(hasher.id_to_token().size() - 1)).ok());
  hasher.trim_free_tail();
  ASSERT_TRUE(hasher.flush().ok());
  EXPECT_EQ(fs::file_size(changes_path()), kTokenChangesHeaderSize);
  write_bytes(changes_path(), old_changes);
  EXPECT_EQ(Held::of(open()), Held::of(hasher));

  // A damaged header is another store's too.
  std::string damaged = old_changes;
  damaged[9] ^= 1;
  write_bytes(changes_path(), damaged);
  EXPECT_EQ(Held::of(open()), Held::of(hasher));

  // So is a file whose store is gone: the next save writes the store whole.
  fs::remove(changes_path());
  TokenHasher reopened = open();
  ASSERT_TRUE(reopened.add("fresh").ok());
  const std::string store = read_bytes(store_path());
  ASSERT_TRUE(reopened.flush().ok());
  EXPECT_NE(read_bytes(store_path()), store);
  EXPECT_EQ(Held::of(open()), Held::of(reopened));
}

TEST_F(TokenChangesTest, ABatchRoundTripsThroughItsBytes) {
  const std::vector<TokenChange> changes{{0, "apple"}, {3, std::nullopt}, {3, "é"}, {70000, ""}};
  TokenHasher hasher = open();
  ASSERT_TRUE(start_token_changes(changes_path(), {5, 9}).ok());
  const std::string batch = encode_token_changes(changes);
  auto appended = append_token_changes(changes_path(), kTokenChangesHeaderSize, batch);
  ASSERT_TRUE(appended.ok() && *appended);
  // Only onto the size its writer left.
  appended = append_token_changes(changes_path(), kTokenChangesHeaderSize, batch);
  ASSERT_TRUE(appended.ok());
  EXPECT_FALSE(*appended);
  auto read = read_token_changes(changes_path(), {5, 9});
  ASSERT_TRUE(read.ok() && read->has_value());
  EXPECT_EQ((*read)->changes, changes);
  EXPECT_EQ((*read)->read_size, (*read)->file_size);
  read = read_token_changes(changes_path(), {5, 10});
  ASSERT_TRUE(read.ok());
  EXPECT_FALSE(read->has_value());
}

}  // namespace
}  // namespace tarnwick::inverted
