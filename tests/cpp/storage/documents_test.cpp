#include "storage/documents.hpp"

#include <gtest/gtest.h>

#include "store_fixture.hpp"
#include "utils/ulid.hpp"

namespace tarnwick::storage {
namespace {

namespace fs = std::filesystem;
using testing::be64;
using testing::block_of;
using testing::describe;
using testing::read_bytes;
using testing::id;
using testing::text;

class DocumentsStore : public testing::StoreTest {};

TEST_F(DocumentsStore, OpeningMissingDirectoryCreatesOneEmptySegmentNamedByNanoseconds) {
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path segment = dir() / "1700000000000000000";
  EXPECT_EQ(store->current(), segment);
  ASSERT_EQ(store->segments().size(), 1u);
  const Segment& info = store->segments().at(segment.native());
  EXPECT_TRUE(info.timestamp == utils::uint128{test_support::TestClock::kStartSeconds} * utils::kNanosPerSecond);
  EXPECT_EQ(info.size, 0u);
  for (const char* name : {"data", "meta", "del"}) EXPECT_EQ(read_bytes(segment / name), "");
  EXPECT_TRUE(live(*store).empty());
}

TEST_F(DocumentsStore, WrittenDocumentsSurviveReopen) {
  std::vector<Document> written;
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int n = 0; n < 5; ++n) write(*store, n);
    flush(*store);
    for (int n = 0; n < 5; ++n) written.push_back(live(*store).at(id(n)));
  }
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_EQ(live(*store).size(), 5u);
  for (int n = 0; n < 5; ++n) {
    EXPECT_EQ(live(*store).at(id(n)), written[n]);
    EXPECT_EQ(content_of(*store, n), text(n));
    // The records of one segment share one copy of its path, loaded or written.
    EXPECT_EQ(&live(*store).at(id(n)).segment.str(), &live(*store).at(id(0)).segment.str());
  }
  write(*store, 5);
  EXPECT_EQ(&live(*store).at(id(5)).segment.str(), &live(*store).at(id(0)).segment.str());
}

TEST_F(DocumentsStore, FilesHoldBlocksAndMetaEntriesEndToEnd) {
  auto store = open();
  ASSERT_TRUE(store);
  write(*store, 1);
  flush(*store);
  write(*store, 2);  // buffered after one block on disk
  write(*store, 3);
  flush(*store);
  std::string data, meta;
  uint64_t offset = 0;
  for (int n = 1; n <= 3; ++n) {
    const Document record = live(*store).at(id(n));
    const std::string block = block_of(text(n));
    EXPECT_EQ(record.offset, offset) << n;
    EXPECT_EQ(record.length, block.size()) << n;
    EXPECT_EQ(record.segment, store->current());
    EXPECT_EQ(record.id, utils::ulid_to_bytes(id(n)));
    EXPECT_FALSE(record.content);
    EXPECT_EQ(record.total_tokens, uint32_t(n));
    EXPECT_EQ(record.token_ids, (std::vector<uint32_t>{uint32_t(n), 1000}));
    offset += block.size();
    data += block;
    std::string encoded;
    ASSERT_TRUE(encode_document(record, encoded).ok());
    meta += be64(encoded.size()) + encoded;
  }
  EXPECT_EQ(read_bytes(store->current() / "data"), data);
  EXPECT_EQ(read_bytes(store->current() / "meta"), meta);
  EXPECT_EQ(store->segments().at(store->current().native()).size, data.size());
}

TEST_F(DocumentsStore, WritesStayBufferedUntilTheSaveIntervalHasPassed) {
  set_config([](Config& c) { c.documents_save_after_seconds = 5; });
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path data = store->current() / "data";
  write(*store, 1);
  clock_.advance_seconds(4);
  write(*store, 2);
  EXPECT_EQ(read_bytes(data), "");
  EXPECT_EQ(content_of(*store, 1), "<unreadable>");  // still only in the buffer
  clock_.advance_seconds(1);
  write(*store, 3);  // finds 5 seconds passed; goes out with the flush
  EXPECT_EQ(read_bytes(data), block_of(text(1)) + block_of(text(2)) + block_of(text(3)));
  EXPECT_EQ(content_of(*store, 1), text(1));
  clock_.advance_seconds(4);
  write(*store, 4);  // the interval restarted at the flush
  EXPECT_EQ(read_bytes(data).size(), live(*store).at(id(4)).offset);
}

TEST_F(DocumentsStore, BufferHoldingMoreThanItsLimitIsFlushed) {
  static uint64_t limit;
  limit = block_of(text(1)).size() + block_of(text(2)).size();
  set_config([](Config& c) { c.documents_buffer_size = limit; });
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path data = store->current() / "data";
  write(*store, 1);
  write(*store, 2);  // exactly at the limit: kept
  EXPECT_EQ(read_bytes(data), "");
  write(*store, 3);
  EXPECT_EQ(read_bytes(data).size(), limit + block_of(text(3)).size());
}

TEST_F(DocumentsStore, SegmentRollsOverAfterTheWriteThatExceedsItsSize) {
  static uint64_t limit;
  limit = block_of(text(1)).size() + 1;
  set_config([](Config& c) { c.segment_size = limit; });
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path first = store->current();
  write(*store, 1);  // size not above the limit yet
  EXPECT_EQ(store->current(), first);
  write(*store, 2);  // exceeds it, still goes into the first segment
  EXPECT_EQ(live(*store).at(id(2)).segment, first);
  const fs::path second = store->current();
  EXPECT_NE(second, first);
  EXPECT_GT(std::stoull(second.filename().string()), std::stoull(first.filename().string()));
  EXPECT_EQ(read_bytes(first / "data"), block_of(text(1)) + block_of(text(2)));
  write(*store, 3);
  EXPECT_EQ(live(*store).at(id(3)).segment, second);
  EXPECT_EQ(live(*store).at(id(3)).offset, 0u);
  flush(*store);
  for (int n = 1; n <= 3; ++n) EXPECT_EQ(content_of(*store, n), text(n));
}

TEST_F(DocumentsStore, DeletionEntryIsOnDiskBeforeDeleteReturns) {
  auto store = open();
  ASSERT_TRUE(store);
  write(*store, 1);
  write(*store, 2);
  flush(*store);
  const uint64_t length = live(*store).at(id(1)).length;
  ASSERT_TRUE(store->delete_document(id(1)).ok());
  const auto id_bytes = utils::ulid_to_bytes(id(1));
  const std::string entry = std::string(id_bytes.begin(), id_bytes.end()) + be64(length);
  EXPECT_EQ(read_bytes(store->current() / "del"), entry);
  EXPECT_FALSE(live(*store).contains(id(1)));
  EXPECT_TRUE(store->deleted_documents().contains(id(1)));
  EXPECT_EQ(store->segments().at(store->current().native()).deleted_bytes, length);
  // Twice, or an id never written: nothing more.
  ASSERT_TRUE(store->delete_document(id(1)).ok());
  ASSERT_TRUE(store->delete_document(id(99)).ok());
  EXPECT_EQ(read_bytes(store->current() / "del"), entry);
  EXPECT_EQ(live(*store).size(), 1u);
  store->clear_deleted_documents();
  EXPECT_TRUE(store->deleted_documents().empty());
}

TEST_F(DocumentsStore, DeletionsSurviveReopenWhetherOrNotTheDocumentWasFlushed) {
  uint64_t deleted_bytes;
  {
    auto store = open();
    ASSERT_TRUE(store);
    write(*store, 1);
    flush(*store);
    write(*store, 2);
    write(*store, 3);
    ASSERT_TRUE(store->delete_document(id(1)).ok());  // on disk
    ASSERT_TRUE(store->delete_document(id(2)).ok());  // still buffered
    flush(*store);
    deleted_bytes = store->segments().at(store->current().native()).deleted_bytes;
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).size(), 1u);
  EXPECT_EQ(content_of(*store, 3), text(3));
  EXPECT_EQ(store->segments().at(store->current().native()).deleted_bytes, deleted_bytes);
  EXPECT_TRUE(store->deleted_documents().empty());
}

TEST_F(DocumentsStore, ListingKeepsOnlyRealDirectoriesWithNumericNames) {
  { ASSERT_TRUE(open()); }
  const fs::path real = dir() / "1700000000000000000";
  auto make_segment = [&](const std::string& name) {
    fs::create_directory(dir() / name);
    for (const char* file : {"data", "meta", "del"}) testing::write_bytes(dir() / name / file, "");
  };
  for (const char* name : {"index", "abc", "+", "-5", "12a", "1 2", "0x10",
                           "340282366920938463463374607431768211456"}) {
    make_segment(name);  // looks like a segment, but its name is not a 128-bit number
  }
  make_segment("+17");
  make_segment("340282366920938463463374607431768211455");
  testing::write_bytes(dir() / "99", "a file");
  testing::write_bytes(dir() / "meta", "the engine's statistics file");
  fs::create_directory_symlink(real, dir() / "1800000000000000000");
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(segment_paths(*store),
            (std::vector<fs::path>{dir() / "+17", real,
                                   dir() / "340282366920938463463374607431768211455"}));
  EXPECT_TRUE(store->segments().at((dir() / "+17").native()).timestamp == 17);
  EXPECT_EQ(store->current(), dir() / "340282366920938463463374607431768211455");
}

TEST_F(DocumentsStore, AmongEqualTimestampsTheLastListedIsCurrent) {
  fs::create_directories(dir());
  for (const char* name : {"17", "+17", "017", "0017"}) {
    fs::create_directory(dir() / name);
    for (const char* file : {"data", "meta", "del"}) testing::write_bytes(dir() / name / file, "");
  }
  fs::path last_listed;
  for (const auto& entry : fs::directory_iterator(dir())) last_listed = entry.path();
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->current(), last_listed);
}

// Writes document n into its own engine directory and moves that segment into dir()/name.
void make_segment_with(const fs::path& dir, const std::string& name, int n,
                       const std::string& content) {
  testing::TempDir other;
  testing::TestClock clock;
  auto store = DocumentsManager::load(other / "e", std::make_shared<Config>(), clock.clock());
  ASSERT_TRUE(store.ok());
  ASSERT_TRUE(store->write(id(n), 1, {}, content).ok());
  ASSERT_TRUE(store->flush().ok());
  fs::create_directories(dir);
  fs::rename(store->current(), dir / name);
}

TEST_F(DocumentsStore, SameIdInTwoSegmentsTheLastListedRecordIsLive) {
  make_segment_with(dir(), "100", 1, "first version");
  make_segment_with(dir(), "200", 1, "second version");
  fs::path last_listed;
  for (const auto& entry : fs::directory_iterator(dir())) last_listed = entry.path();
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_EQ(live(*store).size(), 1u);
  EXPECT_EQ(live(*store).at(id(1)).segment, last_listed);
  EXPECT_EQ(content_of(*store, 1),
            last_listed.filename() == "100" ? "first version" : "second version");
}

TEST_F(DocumentsStore, AnIdDeletedInAnySegmentIsNotLoaded) {
  // A merge that stopped part way leaves a document in two segments; its deletion went to one.
  make_segment_with(dir(), "100", 1, "copy in the old segment");
  make_segment_with(dir(), "200", 1, "copy in the new segment");
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->delete_document(id(1)).ok());
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_TRUE(live(*store).empty());
}

TEST_F(DocumentsStore, RecordsPointAtTheSegmentTheyWereReadFrom) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    write(*store, 1);
    write(*store, 2);
    flush(*store);
  }
  const fs::path moved = tmp_ / "moved";
  fs::rename(dir(), moved);
  auto store = DocumentsManager::load(moved, config_, clock_.clock());
  ASSERT_TRUE(store.ok());
  const fs::path segment = moved / "1700000000000000000";
  EXPECT_EQ(live(*store).at(id(1)).segment, segment);
  EXPECT_EQ(content_of(*store, 1), text(1));
  ASSERT_TRUE(store->delete_document(id(2)).ok());
  EXPECT_EQ(read_bytes(segment / "del").size(), 24u);
  // The stored path stays as written.
  EXPECT_NE(read_bytes(segment / "meta").find(dir().string()), std::string::npos);
}

TEST_F(DocumentsStore, ClockBeforeEpochFailsTheLoadButNotABufferedWrite) {
  auto store = open();
  ASSERT_TRUE(store);
  clock_.set_before_epoch();
  // The save that the write could not time is left to the next flush.
  ASSERT_TRUE(store->write(id(1), 1, {}, "text").ok());
  EXPECT_EQ(content_of(*store, 1), "<unreadable>");
  flush(*store);
  EXPECT_EQ(content_of(*store, 1), "text");
  auto reopened = load();
  ASSERT_FALSE(reopened.ok());
  EXPECT_EQ(reopened.error().kind(), DocumentsManagerError::Kind::Clock);
}

TEST_F(DocumentsStore, SetTokenIdsCopiesTheBlockWithTheNewRecordDurableAfterFlush) {
  static uint64_t limit;
  limit = block_of(text(1)).size() + 1;
  set_config([](Config& c) { c.segment_size = limit; });
  fs::path old;
  Document before;
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int n = 1; n <= 3; ++n) write(*store, n);  // 1 and 2 in a first segment, 3 in the next
    flush(*store);
    before = live(*store).at(id(1));
    old = before.segment.str();
    ASSERT_NE(store->current(), old);
    ASSERT_EQ(store->segments().at(before.segment.str()).deleted_bytes, 0u);
    const std::string old_data = read_bytes(store->current() / "data");
    ASSERT_TRUE(store->set_token_ids(id(1), {7, 8, 9}).ok());
    const Document record = live(*store).at(id(1));
    EXPECT_EQ(record.token_ids, (std::vector<uint32_t>{7, 8, 9}));
    EXPECT_EQ(record.total_tokens, before.total_tokens);
    EXPECT_EQ(record.length, before.length);
    EXPECT_EQ(record.segment, store->current());
    EXPECT_EQ(record.offset, old_data.size());
    EXPECT_EQ(store->segments().at(old.native()).deleted_bytes, before.length);
    EXPECT_EQ(read_bytes(store->current() / "data"), old_data);  // in the buffer until saved
    flush(*store);
    EXPECT_EQ(read_bytes(store->current() / "data"), old_data + block_of(text(1)));
    EXPECT_EQ(content_of(*store, 1), text(1));
  }
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_EQ(live(*store).size(), 3u);
  const Document record = live(*store).at(id(1));
  EXPECT_EQ(record.token_ids, (std::vector<uint32_t>{7, 8, 9}));
  EXPECT_EQ(record.total_tokens, before.total_tokens);
  EXPECT_EQ(record.segment, store->current());
  EXPECT_EQ(content_of(*store, 1), text(1));
  EXPECT_EQ(store->segments().at(old.native()).deleted_bytes, before.length);
  for (int n = 2; n <= 3; ++n) {
    EXPECT_EQ(live(*store).at(id(n)).token_ids, (std::vector<uint32_t>{uint32_t(n), 1000}));
    EXPECT_EQ(content_of(*store, n), text(n));
  }
}

TEST_F(DocumentsStore, SetTokenIdsOfABufferedDocumentCopiesItWithinItsSegment) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    write(*store, 1);
    write(*store, 2);  // both still buffered
    const uint64_t length = live(*store).at(id(1)).length;
    ASSERT_TRUE(store->set_token_ids(id(1), {}).ok());
    EXPECT_EQ(store->segments().at(store->current().native()).deleted_bytes, length);
    flush(*store);
    EXPECT_EQ(read_bytes(store->current() / "data"),
              block_of(text(1)) + block_of(text(2)) + block_of(text(1)));
    EXPECT_EQ(live(*store).at(id(1)).offset, length + block_of(text(2)).size());
  }
  auto store = open();
  ASSERT_TRUE(store);
  ASSERT_EQ(live(*store).size(), 2u);
  EXPECT_EQ(live(*store).at(id(1)).token_ids, std::vector<uint32_t>{});
  EXPECT_EQ(content_of(*store, 1), text(1));
  EXPECT_EQ(content_of(*store, 2), text(2));
  EXPECT_EQ(store->segments().at(store->current().native()).deleted_bytes,
            block_of(text(1)).size());
  // Deleting it leaves no copy live, and both copies count as deleted, then and after reopening.
  ASSERT_TRUE(store->delete_document(id(1)).ok());
  const uint64_t deleted_bytes = store->segments().at(store->current().native()).deleted_bytes;
  EXPECT_EQ(deleted_bytes, 2 * block_of(text(1)).size());
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live(*reopened).size(), 1u);
  EXPECT_FALSE(live(*reopened).contains(id(1)));
  EXPECT_EQ(reopened->segments().at(store->current().native()).deleted_bytes, deleted_bytes);
}

TEST_F(DocumentsStore, OlderCopiesOfADeletedDocumentCountAsDeletedAfterReopening) {
  static uint64_t limit;
  limit = block_of(text(1)).size() + 1;
  set_config([](Config& c) { c.segment_size = limit; });
  fs::path older, copies;
  {
    auto store = open();
    ASSERT_TRUE(store);
    older = store->current();
    write(*store, 1);
    write(*store, 2);  // both in the first segment, then a new one starts
    ASSERT_NE(store->current(), older);
    ASSERT_TRUE(store->set_token_ids(id(1), {5}).ok());  // copied into the new segment
    ASSERT_TRUE(store->set_token_ids(id(1), {6}).ok());  // and again, within it
    copies = live(*store).at(id(1)).segment.str();
    ASSERT_NE(copies, older);
    ASSERT_TRUE(store->delete_document(id(1)).ok());  // the deletion goes to the newest copy
    flush(*store);
  }
  auto store = open();
  ASSERT_TRUE(store);
  const uint64_t length = block_of(text(1)).size();
  EXPECT_EQ(live(*store).size(), 1u);
  EXPECT_EQ(store->segments().at(older.native()).deleted_bytes, length);
  EXPECT_EQ(store->segments().at(copies.native()).deleted_bytes, 2 * length);
  EXPECT_EQ(store->segments().at(copies.native()).size, 2 * length);
}

TEST_F(DocumentsStore, SetTokenIdsIsNotDurableBeforeTheNextFlush) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    write(*store, 1);
    flush(*store);
    ASSERT_TRUE(store->set_token_ids(id(1), {5}).ok());
  }  // dropped without a flush
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).at(id(1)).token_ids, (std::vector<uint32_t>{1, 1000}));
  EXPECT_EQ(store->segments().at(store->current().native()).deleted_bytes, 0u);
}

TEST_F(DocumentsStore, SetTokenIdsOfAnIdNotLiveChangesNothing) {
  auto store = open();
  ASSERT_TRUE(store);
  write(*store, 1);
  flush(*store);
  ASSERT_TRUE(store->delete_document(id(1)).ok());
  const DocumentMap documents = live(*store);
  ASSERT_TRUE(store->set_token_ids(id(1), {5}).ok());
  ASSERT_TRUE(store->set_token_ids(id(99), {5}).ok());
  flush(*store);
  EXPECT_EQ(live(*store), documents);
  EXPECT_EQ(read_bytes(store->current() / "data"), block_of(text(1)));
}

size_t open_descriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(DocumentsStore, NoFileStaysOpenBetweenCalls) {
  set_config([](Config& c) {
    c.segment_size = 300;
    c.merge_deleted_ratio = 0;
  });
  const size_t before = open_descriptors();
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 0; n < 10; ++n) write(*store, n);  // rolls over several times
  ASSERT_TRUE(store->delete_document(id(0)).ok());
  ASSERT_TRUE(store->merge().ok());
  EXPECT_EQ(content_of(*store, 5), text(5));
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace tarnwick::storage
