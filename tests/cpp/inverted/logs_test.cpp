#include "inverted/log_reader.hpp"
#include "inverted/log_writer.hpp"

#include <gtest/gtest.h>

#include "inverted/index_fixture.hpp"
#include "test_bytes.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::doc;
using index_testing::quiet_config;
using index_testing::read_bytes;
using index_testing::write_bytes;
using test_support::bytes;

// The 16 bytes of `id`, most significant first.
std::string big_endian(uint128 id) {
  std::string out;
  for (int i = 15; i >= 0; --i) out.push_back(static_cast<char>(static_cast<uint8_t>(id >> (8 * i))));
  return out;
}

std::string little_endian(uint128 id) {
  std::string out = big_endian(id);
  return {out.rbegin(), out.rend()};
}

class IndexLogsTest : public ::testing::Test {
 protected:
  IndexLogsTest() {
    fs::create_directories(index_dir());
    write_bytes(index_log(), "");
    write_bytes(meta_log(), "");
  }

  fs::path index_dir() const { return dir_.path() / "index"; }
  fs::path index_log() const { return index_dir() / "index"; }
  fs::path meta_log() const { return index_dir() / "meta"; }

  inverted::TokenHasher tokens() {
    auto hasher = inverted::TokenHasher::load(dir_.path(), config_, clock_.clock());
    EXPECT_TRUE(hasher.ok());
    return std::move(*hasher);
  }
  LogsManager manager() { return LogsManager(index_dir(), config_, clock_.clock(), 1'700'000'000); }

  // Every entry the reader yields, newest first, or the error that stopped it.
  utils::Result<std::vector<LogEntry>, LogReadError> read_all() {
    auto reader = LogsReader::open(index_dir());
    if (!reader) return utils::fail(reader.error());
    std::vector<LogEntry> entries;
    for (;;) {
      auto entry = reader->next();
      if (!entry) return utils::fail(entry.error());
      if (!*entry) return entries;
      entries.push_back(**entry);
      entries.back().positions = {};  // views the reader's storage
    }
  }

  LogReadError::Kind read_error_kind() {
    auto entries = read_all();
    EXPECT_FALSE(entries.ok());
    return entries.ok() ? LogReadError::Kind::Io : entries.error().kind();
  }

  // One Delete record of token 2 and its meta record, hand-made; `meta_length` as given.
  void write_delete_record(uint32_t meta_length, uint8_t operation = 0) {
    write_bytes(index_log(), bytes({operation, 0, 0, 0, 2, 0, 0, 0, 0}) + "pad");
    write_bytes(meta_log(), big_endian(doc(1)) + bytes({0, 0, 0, 0, 0, 0, 0, 0}) +
                                bytes({0, 0, 0, static_cast<int>(meta_length)}));
  }

  index_testing::TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = quiet_config();
};

TEST_F(IndexLogsTest, InsertAndDeleteRecordsHaveTheirExactBytes) {
  write_bytes(index_log(), "xyz");  // bytes no meta record points at
  LogBuffer buffer(index_dir());
  // Positions of every varint width, the widest last, where the room left is least.
  const uint32_t positions[] = {0, 3, 300, 70000, UINT32_MAX};
  buffer.append_insert({5, 1, LogOperation::Insert}, doc(1), positions);
  buffer.append_delete({5, 0, LogOperation::Delete}, doc(1));
  ASSERT_TRUE(buffer.flush().ok());
  const std::string posting = bytes({0xFE}) + little_endian(doc(1)) +
                              bytes({5, 0, 3, 0xFB, 0x2C, 0x01, 0xFC, 0x70, 0x11, 0x01, 0x00,
                                     0xFC, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(read_bytes(index_log()), "xyz" + bytes({1, 0, 0, 0, 5, 0, 0, 0, 1}) + posting +
                                         bytes({0, 0, 0, 0, 5, 0, 0, 0, 0}));
  EXPECT_EQ(read_bytes(meta_log()),
            big_endian(doc(1)) + bytes({0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 42}) +
                big_endian(doc(1)) + bytes({0, 0, 0, 0, 0, 0, 0, 45, 0, 0, 0, 9}));
  EXPECT_TRUE(buffer.empty());
}

TEST_F(IndexLogsTest, FailedOpenLosesNothingAndOffsetsFollowTheFileAtTheNextFlush) {
  LogBuffer buffer(index_dir());
  buffer.append_delete({1, 0, LogOperation::Delete}, doc(1));
  fs::remove(index_log());
  auto failed = buffer.flush();
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind, utils::IoErrorKind::NotFound);
  EXPECT_EQ(read_bytes(meta_log()), "");

  write_bytes(index_log(), "ab");
  buffer.append_delete({2, 0, LogOperation::Delete}, doc(2));
  ASSERT_TRUE(buffer.flush().ok());
  EXPECT_EQ(read_bytes(index_log()),
            "ab" + bytes({0, 0, 0, 0, 1, 0, 0, 0, 0}) + bytes({0, 0, 0, 0, 2, 0, 0, 0, 0}));
  EXPECT_EQ(read_bytes(meta_log()),
            big_endian(doc(1)) + bytes({0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 9}) +
                big_endian(doc(2)) + bytes({0, 0, 0, 0, 0, 0, 0, 11, 0, 0, 0, 9}));
}

TEST_F(IndexLogsTest, SaveStoppedBetweenTheFilesDoesNotAppendTheIndexLogTwice) {
  LogBuffer buffer(index_dir());
  buffer.append_delete({1, 0, LogOperation::Delete}, doc(1));
  fs::remove(meta_log());
  fs::create_directory(meta_log());  // the meta log cannot be opened for writing
  ASSERT_FALSE(buffer.flush().ok());
  const std::string index_bytes = read_bytes(index_log());
  EXPECT_EQ(index_bytes.size(), kLogHeaderSize);

  buffer.append_delete({3, 0, LogOperation::Delete}, doc(3));
  fs::remove(meta_log());
  write_bytes(meta_log(), "");
  ASSERT_TRUE(buffer.flush().ok());
  EXPECT_EQ(read_bytes(index_log()), index_bytes + bytes({0, 0, 0, 0, 3, 0, 0, 0, 0}));
  auto entries = read_all();
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 2u);
  EXPECT_EQ((*entries)[0].header.token_id, 3u);
  EXPECT_EQ((*entries)[1].header.token_id, 1u);
}

TEST_F(IndexLogsTest, OnlyPendingIndexLogBytesCountAgainstTheBufferSize) {
  config_->index_buffer_size = 9;
  auto hasher = tokens();
  LogsManager logs = manager();
  ASSERT_TRUE(logs.write(doc(1), {1, 0, LogOperation::Delete}, hasher).ok());
  EXPECT_EQ(read_bytes(index_log()), "");  // 9 bytes pending is not more than 9
  ASSERT_TRUE(logs.write(doc(2), {2, 0, LogOperation::Delete}, hasher).ok());
  EXPECT_EQ(read_bytes(index_log()).size(), 18u);
  EXPECT_EQ(read_bytes(meta_log()).size(), 2 * kLogMetaSize);
}

TEST_F(IndexLogsTest, BufferSizeZeroSavesEveryRecord) {
  config_->index_buffer_size = 0;
  auto hasher = tokens();
  LogsManager logs = manager();
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(logs.write(doc(i), {1, 0, LogOperation::Delete}, hasher).ok());
    EXPECT_EQ(read_bytes(meta_log()).size(), i * kLogMetaSize);
  }
}

TEST_F(IndexLogsTest, SavesOnceTheIntervalHasPassed) {
  config_->index_save_after_seconds = 5;
  auto hasher = tokens();
  LogsManager logs = manager();
  clock_.advance_seconds(4);
  ASSERT_TRUE(logs.write(doc(1), {1, 0, LogOperation::Delete}, hasher).ok());
  EXPECT_EQ(read_bytes(index_log()), "");
  clock_.advance_seconds(1);
  ASSERT_TRUE(logs.write(doc(2), {1, 0, LogOperation::Delete}, hasher).ok());
  EXPECT_EQ(read_bytes(index_log()).size(), 18u);
}

TEST_F(IndexLogsTest, ClockBeforeTheEpochLeavesTheRecordPending) {
  auto hasher = tokens();
  LogsManager logs = manager();
  clock_.set_before_epoch();
  auto written = logs.write(doc(1), {1, 0, LogOperation::Delete}, hasher);
  ASSERT_FALSE(written.ok());
  EXPECT_EQ(written.error().kind(), BincodePersistenceError::Kind::Clock);
  EXPECT_EQ(logs.buffer().pending_log_bytes(), kLogHeaderSize);
}

TEST_F(IndexLogsTest, SavingTheLogsSavesUnsavedTokensFirst) {
  auto hasher = tokens();
  ASSERT_TRUE(hasher.add("apple").ok());
  LogsManager logs = manager();
  logs.buffer().append_delete({0, 0, LogOperation::Delete}, doc(1));

  fs::create_directory(index_dir() / "tokens.tmp");  // the token store cannot be saved
  auto failed = logs.flush(hasher);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), BincodePersistenceError::Kind::Io);
  EXPECT_EQ(read_bytes(index_log()), "");  // the records wait for the dictionary

  fs::remove(index_dir() / "tokens.tmp");
  ASSERT_TRUE(logs.flush(hasher).ok());
  EXPECT_FALSE(hasher.has_unsaved_changes());
  EXPECT_EQ(read_bytes(index_log()).size(), kLogHeaderSize);
  EXPECT_EQ(tokens().id_of("apple"), 0u);
}

TEST_F(IndexLogsTest, ReaderYieldsNewestFirstWithDecodedPostings) {
  LogBuffer buffer(index_dir());
  const uint32_t first[] = {4, 300, 70000};
  buffer.append_insert({7, 1, LogOperation::Insert}, doc(1), first);
  buffer.append_insert({7, 2, LogOperation::Insert}, doc(2), {});
  buffer.append_delete({7, 1, LogOperation::Delete}, doc(1));
  ASSERT_TRUE(buffer.flush().ok());

  auto reader = LogsReader::open(index_dir());
  ASSERT_TRUE(reader.ok());
  const struct {
    uint64_t record;
    uint128 doc_id;
    uint32_t count;
    LogOperation operation;
    std::vector<uint32_t> positions;
  } expected[] = {
      {2, doc(1), 1, LogOperation::Delete, {}},
      {1, doc(2), 2, LogOperation::Insert, {}},
      {0, doc(1), 1, LogOperation::Insert, {4, 300, 70000}},
  };
  for (const auto& e : expected) {
    auto entry = reader->next();
    ASSERT_TRUE(entry.ok() && entry->has_value());
    const LogEntry& got = **entry;
    EXPECT_EQ(got.record, e.record);
    EXPECT_TRUE(got.doc_id == e.doc_id);
    EXPECT_EQ(got.header.token_id, 7u);
    EXPECT_EQ(got.header.count, e.count);
    EXPECT_EQ(got.header.operation, e.operation);
    if (e.operation == LogOperation::Insert) {
      EXPECT_TRUE(got.posting_doc_id == e.doc_id);
    }
    EXPECT_EQ(std::vector<uint32_t>(got.positions.begin(), got.positions.end()), e.positions);
  }
  auto end = reader->next();
  ASSERT_TRUE(end.ok());
  EXPECT_FALSE(end->has_value());
}

TEST_F(IndexLogsTest, EmptyMetaLogYieldsNothingWhateverTheIndexLogHolds) {
  write_bytes(index_log(), bytes({1, 0, 0, 0, 1, 0, 0, 0, 9, 0xFF}));
  auto entries = read_all();
  ASSERT_TRUE(entries.ok());
  EXPECT_TRUE(entries->empty());
}

TEST_F(IndexLogsTest, MetaRecordCutShortIsSkipped) {
  write_delete_record(9);
  write_bytes(meta_log(), read_bytes(meta_log()) + std::string(27, '\x01'));
  auto reader = LogsReader::open(index_dir());
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader->kept_meta_size(), kLogMetaSize);
  EXPECT_EQ(reader->meta_size(), 2 * kLogMetaSize - 1);
  auto entries = read_all();
  ASSERT_TRUE(entries.ok());
  ASSERT_EQ(entries->size(), 1u);
  EXPECT_EQ((*entries)[0].header.token_id, 2u);
}

TEST_F(IndexLogsTest, UnknownOperationByteIsUnknownLogOperationCarryingIt) {
  write_delete_record(9, 7);
  auto entries = read_all();
  ASSERT_FALSE(entries.ok());
  ASSERT_EQ(entries.error().kind(), LogReadError::Kind::UnknownLogOperation);
  EXPECT_EQ(std::get<UnknownLogOperationError>(entries.error().detail).operation, 7);
}

TEST_F(IndexLogsTest, DeleteRecordOfAnyLengthButNineIsTryFromSlice) {
  for (uint32_t length : {1u, 8u, 10u, 12u}) {
    write_delete_record(length);
    EXPECT_EQ(read_error_kind(), LogReadError::Kind::TryFromSlice) << length;
  }
}

// A meta record of `length` bytes at `offset` of the index log, for document 1.
std::string meta_record(uint64_t offset, uint32_t length) {
  std::string out = big_endian(doc(1));
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<char>(offset >> (8 * i)));
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>(length >> (8 * i)));
  return out;
}

TEST_F(IndexLogsTest, MetaRecordOutsideTheIndexLogOrTooShortIsDecodeError) {
  write_bytes(index_log(), bytes({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}));  // 11 bytes, an Insert
  const struct {
    uint64_t offset;
    uint32_t length;
  } cases[] = {{0, 0}, {11, 9}, {UINT64_MAX, 9}, {0, 12}, {0, UINT32_MAX}, {0, 5}};
  for (const auto& c : cases) {
    // Followed by a record that lies within the index log, so that it is no torn tail.
    write_bytes(meta_log(), meta_record(c.offset, c.length) + meta_record(0, 11));
    EXPECT_EQ(read_error_kind(), LogReadError::Kind::Decode) << c.offset << " " << c.length;
  }
}

TEST_F(IndexLogsTest, MetaRecordsPastTheEndOfTheIndexLogAtTheEndAreATornTail) {
  write_bytes(index_log(), bytes({1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0}) + "orphan");
  for (const auto& [offset, length] : {std::pair<uint64_t, uint32_t>{11, 9}, {UINT64_MAX, 9},
                                       {0, 18}, {0, UINT32_MAX}}) {
    write_bytes(meta_log(), meta_record(0, 11) + meta_record(offset, length) +
                                meta_record(offset, length) + "torn");
    auto reader = LogsReader::open(index_dir());
    ASSERT_TRUE(reader.ok());
    EXPECT_EQ(reader->kept_meta_size(), kLogMetaSize);
    EXPECT_EQ(reader->kept_index_size(), 11u);
    auto entries = read_all();
    ASSERT_TRUE(entries.ok());
    ASSERT_EQ(entries->size(), 1u) << offset << " " << length;
  }
  write_bytes(meta_log(), meta_record(20, 9));
  auto reader = LogsReader::open(index_dir());
  ASSERT_TRUE(reader.ok());
  EXPECT_EQ(reader->kept_meta_size(), 0u);
  EXPECT_EQ(reader->kept_index_size(), 0u);
}

TEST_F(IndexLogsTest, PostingBodyThatDoesNotDecodeIsDecodeErrorWithItsText) {
  const struct {
    std::string body;
    std::string text;
  } cases[] = {
      {bytes({0xFF}), "InvalidIntegerType { expected: U128, found: Reserved }"},
      {bytes({5}), "UnexpectedEnd { additional: 1 }"},
      {bytes({5, 3, 1}), "UnexpectedEnd { additional: 1 }"},
      {bytes({5, 1, 0xFD, 0, 0, 0, 0, 0, 0, 0, 0}),
       "InvalidIntegerType { expected: U32, found: U64 }"},
      {bytes({5, 1, 0xFC, 1}), "UnexpectedEnd { additional: 3 }"},
  };
  for (const auto& c : cases) {
    write_bytes(index_log(), bytes({1, 0, 0, 0, 1, 0, 0, 0, 1}) + c.body);
    write_bytes(meta_log(), big_endian(5) + bytes({0, 0, 0, 0, 0, 0, 0, 0}) +
                                bytes({0, 0, 0, 9 + static_cast<int>(c.body.size())}));
    auto entries = read_all();
    ASSERT_FALSE(entries.ok());
    ASSERT_EQ(entries.error().kind(), LogReadError::Kind::Decode);
    EXPECT_EQ(std::get<storage::DecodeError>(entries.error().detail).to_string(), c.text);
  }
}

TEST_F(IndexLogsTest, MissingLogIsIoError) {
  fs::remove(meta_log());
  EXPECT_EQ(read_error_kind(), LogReadError::Kind::Io);
  write_bytes(meta_log(), "");
  fs::remove(index_log());
  EXPECT_EQ(read_error_kind(), LogReadError::Kind::Io);
}

}  // namespace
}  // namespace tarnwick::inverted
