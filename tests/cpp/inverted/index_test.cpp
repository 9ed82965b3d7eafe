#include "inverted/index.hpp"

#include <gtest/gtest.h>

#include <random>

#include "inverted/index_fixture.hpp"
#include "test_bytes.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::doc;
using index_testing::plain;
using index_testing::PlainIndex;
using index_testing::quiet_config;
using index_testing::read_bytes;
using index_testing::write_bytes;
using test_support::bytes;
using Positions = std::vector<uint32_t>;

class IndexManagerTest : public ::testing::Test {
 protected:
  fs::path index_dir() const { return dir_.path() / "index"; }
  fs::path index_log() const { return index_dir() / "index"; }
  fs::path meta_log() const { return index_dir() / "meta"; }
  const fs::path& dir() const { return dir_.path(); }
  // Record `n` of meta log bytes.
  static LogMeta read_meta(const std::string& meta, size_t n) {
    return LogMeta::decode(reinterpret_cast<const uint8_t*>(meta.data()) + n * kLogMetaSize);
  }

  utils::Result<IndexManager, IndexManagerError> load() {
    return IndexManager::load(dir_.path(), config_, clock_.clock());
  }
  IndexManager open() {
    auto index = load();
    EXPECT_TRUE(index.ok());
    return std::move(*index);
  }
  // The error of a load that must fail.
  IndexManagerError load_error() {
    auto index = load();
    EXPECT_FALSE(index.ok());
    return index.ok() ? IndexManagerError{ClockError{}} : index.error();
  }
  // The log-reading error of a load that must fail with one, as its kind and text.
  std::pair<LogReadError::Kind, std::string> log_read_failure() {
    const IndexManagerError error = load_error();
    const LogReadError* read = index_testing::log_read_error(error);
    EXPECT_NE(read, nullptr);
    if (!read) return {LogReadError::Kind::Io, ""};
    const auto* decode = std::get_if<storage::DecodeError>(&read->detail);
    return {read->kind(), decode ? decode->to_string() : ""};
  }

  void insert(IndexManager& index, uint32_t token_id, uint128 doc_id, const Positions& positions) {
    EXPECT_TRUE(index.insert(token_id, doc_id, positions, tokens_).ok());
  }
  IndexManager::Status remove(IndexManager& index, TokenIdSet token_ids, utils::IdSet doc_ids) {
    return index.delete_postings(token_ids, doc_ids, tokens_,
                                 [this](const std::string& text) { freed_.push_back(text); });
  }
  void flush(IndexManager& index) { EXPECT_TRUE(index.flush(tokens_).ok()); }

  // Writes hand-made records through the real writer, bypassing the index's own bookkeeping.
  void write_records(const std::vector<std::pair<LogHeader, uint128>>& records) {
    fs::create_directories(index_dir());
    write_bytes(index_log(), "");
    write_bytes(meta_log(), "");
    LogBuffer buffer(index_dir());
    const uint32_t positions[] = {1};
    for (const auto& [header, doc_id] : records) {
      if (header.operation == LogOperation::Insert) {
        buffer.append_insert(header, doc_id, positions);
      } else {
        buffer.append_delete(header, doc_id);
      }
    }
    ASSERT_TRUE(buffer.flush().ok());
  }

  index_testing::TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = quiet_config();
  inverted::TokenHasher tokens_ = *inverted::TokenHasher::load(dir_.path(), config_, clock_.clock());
  std::vector<std::string> freed_;  // texts handed to the trie
};

LogHeader ins(uint32_t token_id, uint32_t count) { return {token_id, count, LogOperation::Insert}; }
LogHeader del(uint32_t token_id, uint32_t count) { return {token_id, count, LogOperation::Delete}; }

TEST_F(IndexManagerTest, MissingDirectoryGetsBothLogsAndAnEmptyIndex) {
  fs::remove_all(index_dir());
  IndexManager index = open();
  EXPECT_TRUE(index.index().empty());
  EXPECT_EQ(read_bytes(index_log()), "");
  EXPECT_EQ(read_bytes(meta_log()), "");
}

TEST_F(IndexManagerTest, AnOrphanedLogIsSetAsideAndBothStartEmpty) {
  {
    IndexManager index = open();
    insert(index, 0, doc(1), {0});
    flush(index);
  }
  const std::string orphan = read_bytes(index_log());
  fs::remove(meta_log());
  IndexManager index = open();
  EXPECT_TRUE(index.index().empty());
  EXPECT_EQ(read_bytes(index_log()), "");
  EXPECT_EQ(read_bytes(meta_log()), "");
  EXPECT_EQ(read_bytes(dir() / "lost+found" / "index.index@0"), orphan);
}

TEST_F(IndexManagerTest, PostingsReloadInIdOrderWhateverTheRecordOrder) {
  IndexManager index = open();
  insert(index, 4, doc(3), {1});
  insert(index, 4, doc(7), {2});
  insert(index, 4, doc(5), {3});  // a document indexed again after newer ones
  insert(index, 6, doc(5), {4});
  const PlainIndex expected{{4, {{doc(3), {1}}, {doc(5), {3}}, {doc(7), {2}}}}, {6, {{doc(5), {4}}}}};
  EXPECT_EQ(plain(index.index()), expected);
  flush(index);
  EXPECT_EQ(plain(open().index()), expected);
}

TEST_F(IndexManagerTest, ThreePostingsOfOneTokenReloadInTheirOrder) {
  IndexManager index = open();
  insert(index, 4, doc(1), {0, 5});
  insert(index, 4, doc(2), {});
  insert(index, 4, doc(3), {2, 300, 70000});
  flush(index);
  EXPECT_EQ(plain(open().index()),
            (PlainIndex{{4, {{doc(1), {0, 5}}, {doc(2), {}}, {doc(3), {2, 300, 70000}}}}}));
}

TEST_F(IndexManagerTest, DeletingOneOfThreeWritesOneDeleteRecordWithCountTwo) {
  IndexManager index = open();
  for (int n = 1; n <= 3; ++n) insert(index, 4, doc(n), {uint32_t(n)});
  ASSERT_TRUE(remove(index, {4}, {doc(2)}).ok());
  flush(index);
  const std::string meta = read_bytes(meta_log());
  ASSERT_EQ(meta.size(), 4 * kLogMetaSize);
  const std::string log = read_bytes(index_log());
  EXPECT_EQ(log.substr(log.size() - kLogHeaderSize), bytes({0, 0, 0, 0, 4, 0, 0, 0, 2}));
  EXPECT_EQ(LogMeta::decode(reinterpret_cast<const uint8_t*>(meta.data()) + 3 * kLogMetaSize).length,
            kLogHeaderSize);
  EXPECT_EQ(plain(open().index()), (PlainIndex{{4, {{doc(1), {1}}, {doc(3), {3}}}}}));
  EXPECT_TRUE(freed_.empty());
}

TEST_F(IndexManagerTest, DeletingTheOnlyDocumentFreesTheTokenInDictionaryAndTrie) {
  IndexManager index = open();
  auto apple = tokens_.add("apple");
  ASSERT_TRUE(apple.ok());
  insert(index, *apple, doc(1), {0});
  ASSERT_TRUE(remove(index, {*apple}, {doc(1)}).ok());
  EXPECT_EQ(index.postings(*apple), nullptr);
  EXPECT_FALSE(tokens_.id_of("apple").has_value());
  EXPECT_EQ(freed_, (std::vector<std::string>{"apple"}));
  flush(index);
  EXPECT_TRUE(open().index().empty());
}

TEST_F(IndexManagerTest, DeletingNothingChangesNothingAndWritesNothing) {
  IndexManager index = open();
  EXPECT_TRUE(remove(index, {1}, {doc(1)}).ok());  // empty index
  insert(index, 1, doc(1), {0});
  flush(index);
  const std::string log = read_bytes(index_log());
  EXPECT_TRUE(remove(index, {1}, {}).ok());
  EXPECT_TRUE(remove(index, {1, 2}, {doc(9)}).ok());
  flush(index);
  EXPECT_EQ(read_bytes(index_log()), log);
  EXPECT_EQ(plain(index.index()), (PlainIndex{{1, {{doc(1), {0}}}}}));
}

TEST_F(IndexManagerTest, DeletedDocumentDoesNotComeBackOnReload) {
  IndexManager index = open();
  for (uint32_t t : {1u, 2u}) {
    insert(index, t, doc(1), {t});
    insert(index, t, doc(2), {t + 1});
  }
  ASSERT_TRUE(remove(index, {1, 2}, {doc(1)}).ok());
  flush(index);
  EXPECT_EQ(plain(open().index()), (PlainIndex{{1, {{doc(2), {2}}}}, {2, {{doc(2), {3}}}}}));
}

TEST_F(IndexManagerTest, ReloadRebuildsWhatMemoryHeldAfterRandomInsertsAndDeletes) {
  std::mt19937 rng(7);
  IndexManager index = open();
  for (int n = 1; n <= 300; ++n) {
    for (uint32_t t = 0; t < 8; ++t) {
      if (rng() % 3 == 0) insert(index, t, doc(n), {uint32_t(rng() % 50), 60});
    }
    if (rng() % 4 == 0) {
      TokenIdSet tokens;
      for (uint32_t t = 0; t < 8; ++t) {
        if (rng() % 2) tokens.insert(t);
      }
      ASSERT_TRUE(remove(index, tokens, {doc(1 + int(rng() % n)), doc(n)}).ok());
    }
  }
  flush(index);
  EXPECT_EQ(plain(open().index()), plain(index.index()));
}

TEST_F(IndexManagerTest, EveryMetaLogPrefixReloadsTheIndexAsItWasAfterThoseRecords) {
  std::vector<PlainIndex> after;  // after[k]: the index once k records were written
  {
    IndexManager index = open();
    after.push_back(plain(index.index()));
    const auto step = [&](auto&& change) {
      change(index);
      after.push_back(plain(index.index()));
    };
    for (int n = 1; n <= 3; ++n) {
      step([&](IndexManager& i) { insert(i, 1, doc(n), {uint32_t(n)}); });
      step([&](IndexManager& i) { insert(i, 2, doc(n), {uint32_t(n), 9}); });
    }
    step([&](IndexManager& i) { ASSERT_TRUE(remove(i, {1}, {doc(2)}).ok()); });
    step([&](IndexManager& i) { ASSERT_TRUE(remove(i, {2}, {doc(1)}).ok()); });
    step([&](IndexManager& i) { insert(i, 1, doc(4), {}); });
    flush(index);
  }
  const std::string log = read_bytes(index_log());
  const std::string meta = read_bytes(meta_log());
  ASSERT_EQ(meta.size(), (after.size() - 1) * kLogMetaSize);
  for (size_t length = 0; length <= meta.size(); ++length) {
    write_bytes(index_log(), log);
    write_bytes(meta_log(), meta.substr(0, length));
    const size_t records = length / kLogMetaSize;
    EXPECT_EQ(plain(open().index()), after[records]) << length;
    EXPECT_EQ(fs::file_size(meta_log()), records * kLogMetaSize) << "torn tail cut off";
    // Index-log bytes that no kept meta record reaches were cut off as well.
    const uint64_t reached = records == 0 ? 0 : read_meta(meta, records - 1).offset +
                                                    read_meta(meta, records - 1).length;
    EXPECT_EQ(fs::file_size(index_log()), reached) << length;
  }
}

TEST_F(IndexManagerTest, TornTailsAreKeptInLostAndFoundAndLeftAloneByAReader) {
  {
    IndexManager index = open();
    insert(index, 1, doc(1), {0, 1});
    insert(index, 2, doc(2), {4});
    flush(index);
  }
  const std::string log = read_bytes(index_log());
  const std::string meta = read_bytes(meta_log());
  // A power loss kept the meta log's append of a third record, and only part of its bytes in
  // the index log.
  std::string third;
  LogMeta{doc(3), log.size(), 9}.encode_into_vec(third);
  write_bytes(meta_log(), meta + third + "torn");
  write_bytes(index_log(), log + "partial");
  const std::string grown_log = read_bytes(index_log());
  const std::string grown_meta = read_bytes(meta_log());
  auto reader = IndexManager::load(dir(), config_, clock_.clock(), utils::Access::ReadOnly);
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader->index().size(), 2u);
  EXPECT_EQ(read_bytes(index_log()), grown_log);
  EXPECT_EQ(read_bytes(meta_log()), grown_meta);
  EXPECT_FALSE(fs::exists(dir() / "lost+found"));

  EXPECT_EQ(open().index().size(), 2u);
  EXPECT_EQ(read_bytes(index_log()), log);
  EXPECT_EQ(read_bytes(meta_log()), meta);
  EXPECT_EQ(read_bytes(dir() / "lost+found" / ("index.meta@" + std::to_string(meta.size()))),
            third + "torn");
  EXPECT_EQ(read_bytes(dir() / "lost+found" / ("index.index@" + std::to_string(log.size()))),
            "partial");
}

TEST_F(IndexManagerTest, EveryIndexLogPrefixLoadsTheRecordsItHoldsWhole) {
  {
    IndexManager index = open();
    insert(index, 1, doc(1), {0, 1});
    insert(index, 1, doc(2), {4});
    ASSERT_TRUE(remove(index, {1}, {doc(1)}).ok());
    insert(index, 2, doc(3), {7});
    flush(index);
  }
  const std::string log = read_bytes(index_log());
  const std::string meta = read_bytes(meta_log());
  for (size_t length = 0; length <= log.size(); ++length) {
    write_bytes(index_log(), log.substr(0, length));
    write_bytes(meta_log(), meta);
    size_t whole = 0;  // records lying wholly within the prefix
    while (whole < meta.size() / kLogMetaSize) {
      const LogMeta record = read_meta(meta, whole);
      if (record.offset + record.length > length) break;
      ++whole;
    }
    open();
    EXPECT_EQ(fs::file_size(meta_log()), whole * kLogMetaSize) << length;
  }
  EXPECT_EQ(open().index().size(), 2u);
}

TEST_F(IndexManagerTest, DamagedRecordsGiveTheirLogReadingErrorKind) {
  write_records({{ins(1, 1), doc(1)}});
  std::string log = read_bytes(index_log());
  log[0] = 7;
  write_bytes(index_log(), log);
  EXPECT_EQ(log_read_failure().first, LogReadError::Kind::UnknownLogOperation);
  log[0] = 0;  // a Delete whose record is an Insert's length
  write_bytes(index_log(), log);
  EXPECT_EQ(log_read_failure().first, LogReadError::Kind::TryFromSlice);
  log[0] = 1;
  log[9] = static_cast<char>(0xFF);  // the posting's document id
  write_bytes(index_log(), log);
  EXPECT_EQ(log_read_failure(), std::pair(LogReadError::Kind::Decode,
                                          std::string("InvalidIntegerType { expected: U128, "
                                                      "found: Reserved }")));
}

TEST_F(IndexManagerTest, CountOfBillionsFailsTheLoadWithoutReservingIt) {
  for (LogHeader header : {ins(1, 4'000'000'000u), del(1, UINT32_MAX)}) {
    write_records({{header, doc(1)}});
    const auto [kind, text] = log_read_failure();
    EXPECT_EQ(kind, LogReadError::Kind::Decode);
    EXPECT_NE(text.find("token 1: count exceeds the records before it"), std::string::npos);
  }
}

TEST_F(IndexManagerTest, CountsThatDisagreeWithTheirRecordsFailTheLoad) {
  const struct {
    std::vector<std::pair<LogHeader, uint128>> records;
    const char* what;
  } cases[] = {
      {{{ins(1, 1), doc(1)}, {ins(1, 1), doc(2)}}, "more postings than its count"},
      {{{del(9, 0), doc(1)}, {ins(1, 2), doc(2)}}, "fewer postings than its count"},
      {{{ins(1, 1), doc(1)}, {del(1, 0), doc(2)}}, "more postings than its count"},
      {{{ins(1, 1), doc(1)}, {ins(1, 2), doc(2)}, {del(1, 1), doc(3)}},
       "more postings than its count"},
      {{{ins(1, 1), doc(1)}, {del(1, 1), doc(1)}}, "fewer postings than its count"},
  };
  for (const auto& c : cases) {
    write_records(c.records);
    const auto [kind, text] = log_read_failure();
    EXPECT_EQ(kind, LogReadError::Kind::Decode);
    EXPECT_NE(text.find(c.what), std::string::npos) << text;
  }
}

TEST_F(IndexManagerTest, FailedSaveKeepsThePostingWithItsPendingRecord) {
  config_->index_buffer_size = 0;
  IndexManager index = open();
  fs::remove(index_log());
  auto inserted = index.insert(3, doc(1), Positions{2}, tokens_);
  ASSERT_FALSE(inserted.ok());
  EXPECT_EQ(inserted.error().kind(), BincodePersistenceError::Kind::Io);
  ASSERT_NE(index.postings(3), nullptr);
  EXPECT_EQ(index.postings(3)->size(), 1u);

  write_bytes(index_log(), "");
  insert(index, 3, doc(2), {5});
  EXPECT_EQ(plain(open().index()), plain(index.index()));
}

TEST_F(IndexManagerTest, DeleteStoppedByAFailedSaveReloadsWhatMemoryHeld) {
  IndexManager index = open();
  TokenIdSet all;
  for (uint32_t t = 0; t < 6; ++t) {
    insert(index, t, doc(1), {t});
    insert(index, t, doc(2), {t});
    all.insert(t);
  }
  flush(index);
  const std::string log = read_bytes(index_log());
  config_->index_buffer_size = 0;
  fs::remove(index_log());
  auto removed = remove(index, all, {doc(1)});
  ASSERT_FALSE(removed.ok());
  EXPECT_EQ(removed.error().kind(), BincodePersistenceError::Kind::Io);
  size_t untouched = 0;  // the token ids after the failing one keep doc(1)
  for (uint32_t t = 0; t < 6; ++t) untouched += index.postings(t)->size() == 2;
  EXPECT_EQ(untouched, 5u);

  write_bytes(index_log(), log);
  flush(index);
  EXPECT_EQ(plain(open().index()), plain(index.index()));
}

TEST_F(IndexManagerTest, SavedPostingsAlwaysFindTheirTokensInTheSavedDictionary) {
  config_->index_buffer_size = 0;
  IndexManager index = open();
  auto apple = tokens_.add("apple");
  ASSERT_TRUE(apple.ok());
  insert(index, *apple, doc(1), {0});
  // Dropped without a flush: both stores reopen from disk.
  auto reopened = inverted::TokenHasher::load(dir_.path(), config_, clock_.clock());
  ASSERT_TRUE(reopened.ok());
  EXPECT_EQ(reopened->id_of("apple"), *apple);
  EXPECT_EQ(open().postings(*apple)->size(), 1u);
}

TEST_F(IndexManagerTest, ClockBeforeTheEpochFailsLoadAndInsertKeepsThePosting) {
  clock_.set_before_epoch();
  EXPECT_EQ(load_error().kind(), IndexManagerError::Kind::Clock);
  clock_.set_seconds(1'700'000'000);
  IndexManager index = open();
  clock_.set_before_epoch();
  auto inserted = index.insert(1, doc(1), Positions{0}, tokens_);
  ASSERT_FALSE(inserted.ok());
  EXPECT_EQ(inserted.error().kind(), BincodePersistenceError::Kind::Clock);
  EXPECT_EQ(index.postings(1)->size(), 1u);
}

}  // namespace
}  // namespace tarnwick::inverted
