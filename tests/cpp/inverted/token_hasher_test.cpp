#include "inverted/token_hasher.hpp"

#include <gtest/gtest.h>

#include "inverted/index_fixture.hpp"
#include "test_bytes.hpp"

namespace tarnwick::inverted {

using utils::Access;
using utils::IoError;
namespace {

using index_testing::quiet_config;
using index_testing::read_bytes;
using index_testing::write_bytes;
using test_support::bytes;
using Kind = BincodePersistenceError::Kind;

class TokenHasherTest : public ::testing::Test {
 protected:
  std::filesystem::path store_path() const { return dir_.path() / "index" / "tokens"; }

  TokenHasher open() {
    auto hasher = TokenHasher::load(dir_.path(), config_, clock_.clock());
    EXPECT_TRUE(hasher.ok());
    return std::move(*hasher);
  }

  // Loads the store file as it is, capturing what the load printed.
  std::pair<TokenHasher, std::string> open_capturing_output(Access access = Access::ReadWrite) {
    ::testing::internal::CaptureStdout();
    auto hasher = TokenHasher::load(dir_.path(), config_, clock_.clock(), access);
    EXPECT_TRUE(hasher.ok());
    return {std::move(*hasher), ::testing::internal::GetCapturedStdout()};
  }

  uint32_t add(TokenHasher& hasher, std::string_view token) {
    auto id = hasher.add(token);
    EXPECT_TRUE(id.ok());
    return id.ok() ? *id : UINT32_MAX;
  }

  index_testing::TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = quiet_config();
};

TEST_F(TokenHasherTest, MissingIndexDirectoryIsCreatedWithEmptyStore) {
  TokenHasher hasher = open();
  EXPECT_TRUE(std::filesystem::is_directory(dir_.path() / "index"));
  EXPECT_EQ(read_bytes(store_path()), "");
  EXPECT_EQ(add(hasher, "apple"), 0u);
}

TEST_F(TokenHasherTest, KnownTokenKeepsItsIdAndNeverSaves) {
  config_->index_save_after_operations = 1;
  TokenHasher hasher = open();
  EXPECT_EQ(add(hasher, "apple"), 0u);
  // Put in place as saves put the store, by a rename: the dictionary reads the saved one in place.
  write_bytes(dir_.path() / "sentinel", "sentinel");
  std::filesystem::rename(dir_.path() / "sentinel", store_path());
  EXPECT_EQ(add(hasher, "apple"), 0u);
  EXPECT_EQ(add(hasher, "apple"), 0u);
  EXPECT_EQ(read_bytes(store_path()), "sentinel");
  EXPECT_FALSE(hasher.has_unsaved_changes());
}

TEST_F(TokenHasherTest, FreedIdsAreReusedMostRecentlyFreedFirst) {
  TokenHasher hasher = open();
  for (int i = 0; i < 10; ++i) {
    std::string token = "t";
    token += std::to_string(i);
    EXPECT_EQ(add(hasher, token), uint32_t(i));
  }
  auto freed3 = hasher.delete_token(3);
  auto freed7 = hasher.delete_token(7);
  ASSERT_TRUE(freed3.ok() && freed7.ok());
  EXPECT_EQ(*freed3, "t3");
  EXPECT_EQ(*freed7, "t7");
  EXPECT_EQ(hasher.free_ids(), (std::vector<uint32_t>{3, 7}));
  EXPECT_FALSE(hasher.id_of("t3").has_value());
  EXPECT_EQ(add(hasher, "new1"), 7u);
  EXPECT_EQ(add(hasher, "new2"), 3u);
  EXPECT_EQ(add(hasher, "new3"), 10u);
  EXPECT_EQ(hasher.id_to_token()[7], "new1");
}

TEST_F(TokenHasherTest, TrimmingDropsOnlyTheFreeSlotsAfterTheLastFilledOne) {
  TokenHasher hasher = open();
  for (const char* token : {"a", "b", "c", "d", "e"}) add(hasher, token);
  for (uint32_t id : {4u, 1u, 3u}) ASSERT_TRUE(hasher.delete_token(id).ok());
  EXPECT_TRUE(hasher.trim_free_tail());
  EXPECT_EQ(hasher.id_to_token().size(), 3u);  // "c" keeps id 2
  EXPECT_EQ(hasher.free_ids(), std::vector<uint32_t>{1});
  EXPECT_FALSE(hasher.trim_free_tail());
  ASSERT_TRUE(hasher.flush().ok());
  TokenHasher reopened = open();
  EXPECT_EQ(reopened.id_of("c"), 2u);
  EXPECT_EQ(add(reopened, "f"), 1u);
  EXPECT_EQ(add(reopened, "g"), 3u);
  for (uint32_t id : {0u, 1u, 2u, 3u}) ASSERT_TRUE(reopened.delete_token(id).ok());
  EXPECT_TRUE(reopened.trim_free_tail());
  EXPECT_TRUE(reopened.id_to_token().empty() && reopened.free_ids().empty());
}

TEST_F(TokenHasherTest, DeletingOutOfRangeOrFreeIdReturnsNothingAndCountsNoChange) {
  config_->index_save_after_operations = 3;
  TokenHasher hasher = open();
  add(hasher, "a");
  ASSERT_TRUE(hasher.delete_token(0).ok());  // second change
  for (uint32_t id : {0u, 1u, 99u}) {
    auto freed = hasher.delete_token(id);
    ASSERT_TRUE(freed.ok());
    EXPECT_EQ(*freed, std::nullopt);
  }
  EXPECT_EQ(read_bytes(store_path()), "");  // a counted no-op would have reached the third change
  add(hasher, "b");
  EXPECT_NE(read_bytes(store_path()), "");
}

TEST_F(TokenHasherTest, ZeroByteStoreIsEmptyDictionary) {
  std::filesystem::create_directories(dir_.path() / "index");
  write_bytes(store_path(), "");
  auto [hasher, output] = open_capturing_output();
  EXPECT_EQ(output, "");
  EXPECT_EQ(add(hasher, "apple"), 0u);
}

TEST_F(TokenHasherTest, SavingEveryOperationRoundTripsThroughReopen) {
  config_->index_save_after_operations = 1;
  TokenHasher hasher = open();
  for (std::string_view token : {"apple", "pear", "plum", "fig"}) add(hasher, token);
  ASSERT_TRUE(hasher.delete_token(1).ok());
  ASSERT_TRUE(hasher.delete_token(3).ok());
  add(hasher, "kiwi");  // takes id 3
  TokenHasher reopened = open();
  EXPECT_EQ(reopened.id_to_token(), hasher.id_to_token());
  EXPECT_EQ(reopened.id_to_token(), hasher.id_to_token());
  EXPECT_EQ(reopened.free_ids(), (std::vector<uint32_t>{1}));
  EXPECT_EQ(add(reopened, "grape"), 1u);
}

TEST_F(TokenHasherTest, StoreBytesFollowTheRecordEncoding) {
  Words words;
  words.put(1, "ab");
  const std::vector<uint32_t> free_ids{0};
  EXPECT_EQ(encode_tokens_store(words, free_ids).bytes,
            bytes({1, 2, 'a', 'b', 1, /* slots */ 2, 0, 1, 2, 'a', 'b', /* free */ 1, 0}));
}

TEST_F(TokenHasherTest, SavesOnceTheIntervalHasPassed) {
  config_->index_save_after_seconds = 5;
  TokenHasher hasher = open();
  add(hasher, "a");
  clock_.advance_seconds(4);
  add(hasher, "b");
  EXPECT_EQ(read_bytes(store_path()), "");
  EXPECT_TRUE(hasher.has_unsaved_changes());
  clock_.advance_seconds(1);
  add(hasher, "c");
  EXPECT_FALSE(hasher.has_unsaved_changes());
  EXPECT_EQ(open().size(), 3u);
}

TEST_F(TokenHasherTest, UndecodableStorePrintsOneWarningAndStartsEmptyAndDamaged) {
  const struct {
    std::string bytes;
    std::string text;
  } cases[] = {
      {bytes({1}), "Io { inner: Error { kind: UnexpectedEof, message: \"failed to fill whole "
                   "buffer\" }, additional: 1 }"},
      {bytes({0, 1, 2}),
       "UnexpectedVariant { type_name: \"core::option::Option<alloc::string::String>\", allowed: "
       "Range { min: 0, max: 1 }, found: 2 }"},
      {bytes({0, 0, 1, 0xFD}), "InvalidIntegerType { expected: U32, found: U64 }"},
      // Decodes, but the free id names a filled slot.
      {bytes({1, 1, 'a', 0, 1, 1, 1, 'a', 1, 0}),
       "Io { inner: Error { kind: InvalidData, message: \"free id 0 is not a free slot\" }, "
       "additional: 0 }"},
      // Decodes, but the slot's text maps to another id.
      {bytes({1, 1, 'a', 1, 1, 1, 1, 'a', 0}),
       "Io { inner: Error { kind: InvalidData, message: \"slot 0 disagrees with token_to_id\" }, "
       "additional: 0 }"},
      // Decodes, but a text is in two slots.
      {bytes({1, 1, 'a', 0, 2, 1, 1, 'a', 1, 1, 'a', 0}),
       "Io { inner: Error { kind: InvalidData, message: \"a token is in two slots\" }, "
       "additional: 0 }"},
      // Decodes, but token_to_id has a text no slot holds.
      {bytes({2, 1, 'a', 0, 1, 'b', 1, 1, 1, 1, 'a', 0}),
       "Io { inner: Error { kind: InvalidData, message: \"token_to_id names ids without a "
       "slot\" }, additional: 0 }"},
  };
  std::filesystem::create_directories(dir_.path() / "index");
  for (const auto& c : cases) {
    write_bytes(store_path(), c.bytes);
    // The writer's engine rebuilds the index; a reader goes on without the dictionary.
    for (Access access : {Access::ReadWrite, Access::ReadOnly}) {
      auto [hasher, output] = open_capturing_output(access);
      EXPECT_EQ(output, "Warning tokens decode error: " + c.text +
                            (access == Access::ReadWrite
                                 ? "; rebuilding the index from the stored documents\n"
                                 : "\n"));
      EXPECT_TRUE(hasher.damaged());
      EXPECT_TRUE(hasher.size() == 0);
      EXPECT_TRUE(hasher.id_to_token().empty());
      EXPECT_EQ(read_bytes(store_path()), c.bytes);
    }
  }
}

TEST_F(TokenHasherTest, EveryPrefixOfAStoreLoadsWithoutCrashing) {
  config_->index_save_after_operations = 1;
  TokenHasher hasher = open();
  for (std::string_view token : {"apple", "pear", "plum"}) add(hasher, token);
  ASSERT_TRUE(hasher.delete_token(1).ok());
  const std::string whole = read_bytes(store_path());
  for (size_t length = 0; length < whole.size(); ++length) {
    write_bytes(store_path(), whole.substr(0, length));
    auto [prefix, output] = open_capturing_output();
    EXPECT_EQ(output.empty(), length == 0) << length;
    EXPECT_TRUE(prefix.size() == 0) << length;
  }
  write_bytes(store_path(), whole);
  EXPECT_EQ(open().id_to_token(), hasher.id_to_token());
}

TEST_F(TokenHasherTest, FailedSaveKeepsWhatWasSavedAndTheChangesPending) {
  const std::filesystem::path index_dir = dir_.path() / "index";
  // A save appends to the changes file while it can, and writes the store whole when that file
  // is gone; each fails here on a directory in the way.
  struct Case {
    const char* name;
    const char* blocked;
    bool changes_kept;
  };
  for (const Case& c : {Case{"appending", kTokenChangesFileName, true},
                        Case{"rewriting", "tokens.tmp", false}}) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(index_dir);
    config_->index_save_after_operations = 1;
    TokenHasher hasher = open();
    add(hasher, "apple");
    const std::string saved = read_bytes(store_path());
    if (!c.changes_kept) std::filesystem::remove(index_dir / kTokenChangesFileName);
    std::filesystem::remove(index_dir / c.blocked);
    std::filesystem::create_directory(index_dir / c.blocked);
    auto id = hasher.add("pear");
    ASSERT_FALSE(id.ok());
    EXPECT_EQ(id.error().kind(), Kind::Io);
    EXPECT_EQ(std::get<IoError>(id.error().detail).kind, utils::IoErrorKind::IsADirectory);
    EXPECT_EQ(std::get<IoError>(id.error().detail).path, index_dir / c.blocked);
    EXPECT_EQ(hasher.id_of("pear"), 1u);  // assigned in memory all the same
    EXPECT_TRUE(hasher.has_unsaved_changes());
    EXPECT_EQ(read_bytes(store_path()), saved);

    std::filesystem::remove(index_dir / c.blocked);
    ASSERT_TRUE(hasher.flush().ok());
    EXPECT_FALSE(hasher.has_unsaved_changes());
    EXPECT_FALSE(std::filesystem::exists(index_dir / "tokens.tmp"));
    EXPECT_EQ(open().id_to_token(), hasher.id_to_token());
  }
}

TEST_F(TokenHasherTest, ClockBeforeTheEpochFailsLoadAddAndDeleteAfterTheChange) {
  clock_.set_before_epoch();
  auto failed = TokenHasher::load(dir_.path(), config_, clock_.clock());
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), Kind::Clock);

  clock_.set_seconds(1'700'000'000);
  TokenHasher hasher = open();
  clock_.set_before_epoch();
  auto id = hasher.add("apple");
  ASSERT_FALSE(id.ok());
  EXPECT_EQ(id.error().kind(), Kind::Clock);
  EXPECT_EQ(add(hasher, "apple"), 0u);  // known now, so no clock reading
  auto freed = hasher.delete_token(0);
  ASSERT_FALSE(freed.ok());
  EXPECT_EQ(freed.error().kind(), Kind::Clock);
  EXPECT_EQ(hasher.free_ids(), (std::vector<uint32_t>{0}));
}

}  // namespace
}  // namespace tarnwick::inverted
