// The record table: a store opened through it holds exactly what reading every meta entry gives,
// and a table that is damaged, stale or contradicted by the entries after it is passed over.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "storage/documents.hpp"
#include "storage/record_table.hpp"
#include "storage/segment_format.hpp"
#include "store_fixture.hpp"

namespace tarnwick::storage {
namespace {

namespace fs = std::filesystem;
using testing::id;
using testing::StoreTest;

// What loading gives, as the store exposes it.
struct Loaded {
  DocumentMap live;
  std::map<std::string, std::pair<uint64_t, uint64_t>> segments;  // size, deleted bytes
  uint128 largest = 0;
  uint64_t count = 0;
  uint64_t posting_sum = 0;
  uint64_t total_tokens = 0;

  bool operator==(const Loaded&) const = default;
};

class RecordTableTest : public StoreTest {
 protected:
  fs::path table() const { return dir() / kRecordTableFileName; }

  Loaded loaded(const DocumentsManager& store) const {
    Loaded state{live(store), {}, store.largest_stored_id(), store.live_count(),
                 store.live_posting_sum(), store.live_total_tokens()};
    for (const auto& [path, segment] : store.segments()) {
      state.segments[path] = {segment.size, segment.deleted_bytes};
    }
    return state;
  }

  // The state opening gives with the table, then without it (from every meta entry); the table
  // is put back. Read-only opening through the table must agree too.
  std::pair<Loaded, Loaded> with_and_without_table() {
    std::pair<Loaded, Loaded> states;
    auto reader = DocumentsManager::load(dir(), config_, clock_.clock(), utils::Access::ReadOnly);
    EXPECT_TRUE(reader.ok());
    auto through = open();
    EXPECT_TRUE(through);
    if (through) states.first = loaded(*through);
    if (reader.ok()) {
      EXPECT_EQ(loaded(*reader), states.first);
    }
    const fs::path aside = tmp_.path() / "records.aside";
    const bool had_table = fs::exists(table());
    if (had_table) fs::rename(table(), aside);
    auto whole = open();
    EXPECT_TRUE(whole);
    if (whole) states.second = loaded(*whole);
    if (had_table) fs::rename(aside, table());
    return states;
  }

  // A store of `count` documents, some deleted, flushed, with a table of them.
  DocumentsManager tabled_store(int count) {
    auto store = open();
    EXPECT_TRUE(store);
    for (int n = 0; n < count; ++n) write(*store, n);
    for (int n = 0; n < count; n += 7) EXPECT_TRUE(store->delete_document(id(n)).ok());
    flush(*store);
    store->save_table(true);
    EXPECT_TRUE(fs::exists(table()));
    return std::move(*store);
  }
};

TEST_F(RecordTableTest, OpeningThroughTheTableMatchesReadingEveryEntry) {
  // Small segments, so that there are several and merges remove some.
  set_config([](Config& c) {
    c.segment_size = 40'000;
    c.merge_deleted_ratio = 0.3;
  });
  std::mt19937 random(7);
  auto store = open();
  ASSERT_TRUE(store);
  int next = 0;
  std::vector<int> live_numbers;
  int checks_through_table = 0;
  for (int step = 0; step < 3000; ++step) {
    const int roll = static_cast<int>(random() % 100);
    if (roll < 60 || live_numbers.empty()) {
      write(*store, next);
      live_numbers.push_back(next++);
    } else if (roll < 85) {
      const size_t at = random() % live_numbers.size();
      ASSERT_TRUE(store->delete_document(id(live_numbers[at])).ok());
      live_numbers.erase(live_numbers.begin() + static_cast<ptrdiff_t>(at));
    } else if (roll < 92) {
      const int n = live_numbers[random() % live_numbers.size()];
      ASSERT_TRUE(store->set_token_ids(id(n), {uint32_t(step), 7}).ok());
    } else if (roll < 96) {
      ASSERT_TRUE(store->merge().ok());
    } else {
      flush(*store);
      store->save_table(roll == 99);
    }
    if (step % 250 == 249) {
      SCOPED_TRACE(step);
      flush(*store);
      const Loaded expected = loaded(*store);
      auto [through, whole] = with_and_without_table();
      EXPECT_EQ(through, expected);
      EXPECT_EQ(whole, expected);
      checks_through_table += fs::exists(table());
      store.reset();
      store = open();
      ASSERT_TRUE(store);
    }
  }
  EXPECT_GE(checks_through_table, 8);
}

TEST_F(RecordTableTest, OnlyTheEntriesAfterTheTableAreRead) {
  {
    DocumentsManager store = tabled_store(300);
    for (int n = 300; n < 310; ++n) write(store, n);
    ASSERT_TRUE(store.delete_document(id(3)).ok());
    flush(store);
  }
  // Damage the size prefix of an entry in the middle of what the table covers, away from the
  // ends its stamp checks: a load that reads that entry fails.
  const fs::path meta = segment_paths(*open()).front() / kSegmentMetaFileName;
  std::string bytes = testing::read_bytes(meta);
  size_t at = 0;
  for (int n = 0; n < 150; ++n) at += kMetaHeaderSize + testing::get_be64_of(bytes, at);
  bytes.replace(at, kMetaHeaderSize, testing::be64(uint64_t{1} << 40));
  testing::write_bytes(meta, bytes);
  {
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(store->live_count(), 310u - 43 - 1);
    EXPECT_FALSE(store->locate(id(3)));
    EXPECT_EQ(content_of(*store, 309), testing::text(309));
    EXPECT_EQ(content_of(*store, 1), testing::text(1));
  }
  fs::remove(table());
  EXPECT_FALSE(load().ok());
}

// The records written since the table are held in memory until one holds them; many of them
// call for it at an automatic save, with no flush, so that memory stays within the buffers.
TEST_F(RecordTableTest, ManyRecordsWrittenGoToATableWithoutAFlush) {
  set_config([](Config& c) { c.documents_buffer_size = 4096; });
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int n = 0; n < 600; ++n) write(*store, n);
    EXPECT_TRUE(fs::exists(table()));
    flush(*store);
  }
  const auto [through, whole] = with_and_without_table();
  EXPECT_EQ(through, whole);
  EXPECT_EQ(through.count, 600u);
}

TEST_F(RecordTableTest, AFlushBoundsTheEntriesOpeningReadsWhateverTheirShare) {
  constexpr int kRows = 72000;  // an eighth of them is more than the entries allowed after it
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 0; n < kRows; ++n) write(*store, n);
  flush(*store);
  store->save_table(true);
  const std::string first = testing::read_bytes(table());
  int written = kRows;
  for (; written < kRows + 4000; ++written) write(*store, written);
  flush(*store);
  store->save_table();  // many records, but few for the table
  EXPECT_EQ(testing::read_bytes(table()), first);
  for (; written < kRows + 8200; ++written) write(*store, written);
  flush(*store);
  store->save_table();
  EXPECT_NE(testing::read_bytes(table()), first);
  const auto [through, whole] = with_and_without_table();
  EXPECT_EQ(through, whole);
  EXPECT_EQ(through.count, static_cast<uint64_t>(written));
}

TEST_F(RecordTableTest, DamagedOrStaleTablesArePassedOver) {
  {
    DocumentsManager store = tabled_store(300);
    for (int n = 300; n < 320; ++n) write(store, n);
    flush(store);
  }
  const std::string good = testing::read_bytes(table());
  const auto [expected, whole] = with_and_without_table();
  ASSERT_EQ(expected, whole);
  auto expect_whole = [&](const std::string& what) {
    SCOPED_TRACE(what);
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(loaded(*store), expected);
  };
  for (size_t at = 0; at < good.size(); at += 13) {
    std::string damaged = good;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x20);
    testing::write_bytes(table(), damaged);
    expect_whole("byte " + std::to_string(at));
  }
  for (size_t size : {size_t{0}, size_t{40}, good.size() / 2, good.size() - 1}) {
    testing::write_bytes(table(), good.substr(0, size));
    expect_whole("cut to " + std::to_string(size));
  }
  // A table of more than the files hold: its segment's meta file cut back below what it covers
  // (the cut entries' documents are then gone, as without the table).
  const fs::path meta = segment_paths(*open()).front() / kSegmentMetaFileName;
  testing::write_bytes(table(), good);
  const std::string entries = testing::read_bytes(meta);
  {
    auto store = open();
    ASSERT_TRUE(store);
    store->save_table(true);  // covers all 320
  }
  const std::string later = testing::read_bytes(table());
  testing::write_bytes(meta, entries.substr(0, entries.size() / 2));
  fs::remove(table());
  const Loaded shorter = loaded(*open());
  testing::write_bytes(meta, entries.substr(0, entries.size() / 2));
  testing::write_bytes(table(), later);
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(loaded(*store), shorter);
  EXPECT_LT(shorter.count, expected.count);
}

TEST_F(RecordTableTest, AnEntryOfADocumentDeletedBeforeTheTableKeepsItDead) {
  std::string entry;
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int n = 0; n < 20; ++n) write(*store, n);
    flush(*store);
    const fs::path meta = fs::path(store->current()) / kSegmentMetaFileName;
    const std::string bytes = testing::read_bytes(meta);
    entry = bytes.substr(0, kMetaHeaderSize + testing::get_be64_of(bytes, 0));
    ASSERT_TRUE(store->delete_document(id(0)).ok());
    flush(*store);
    store->save_table(true);
    // The entry again after the table, as a merge that stopped part way can leave a copy.
    testing::write_bytes(meta, bytes + entry);
  }
  auto [through, whole] = with_and_without_table();
  EXPECT_EQ(through, whole);
  EXPECT_FALSE(through.live.contains(id(0)));
  EXPECT_EQ(through.count, 19u);
}

TEST(RecordTableFile, RowsThatDoNotAscendOrNameNoSegmentAreRefused) {
  testing::TempDir tmp;
  const std::vector<CoveredSegment> segments = {{"17", 10, 0, 1, 2, 0}, {"18", 20, 24, 3, 4, 9}};
  const TableTotals totals{uint128{5} << 70, 42, 99};
  auto write = [&](std::vector<TableRow> rows) {
    size_t next = 0;
    return write_record_table(tmp.path(), segments, totals, rows.size(),
                              [&] { return rows[next++]; })
        .ok();
  };
  ASSERT_TRUE(write({{1, 0, 0, 5, 0, 3, 2}, {uint128{1} << 100, 5, 9, 6, 1, 4, 1}}));
  auto table = read_record_table(tmp.path());
  ASSERT_TRUE(table);
  EXPECT_EQ(table->segments, segments);
  EXPECT_EQ(table->totals, totals);
  ASSERT_EQ(table->rows.size(), 2u);
  EXPECT_EQ(table->rows[1].id, uint128{1} << 100);
  EXPECT_EQ(table->find(uint128{1} << 100), &table->rows[1]);
  EXPECT_EQ(table->find(2), nullptr);

  ASSERT_TRUE(write({{2, 0, 0, 5, 0, 3, 2}, {2, 5, 9, 6, 1, 4, 1}}));
  EXPECT_FALSE(read_record_table(tmp.path()));
  ASSERT_TRUE(write({{1, 0, 0, 5, 2, 3, 2}}));
  EXPECT_FALSE(read_record_table(tmp.path()));
}

TEST(RecordTableFile, ACursorFindsWhatASearchFromTheStartFinds) {
  testing::TempDir tmp;
  std::mt19937 random(11);
  std::vector<TableRow> rows;
  for (uint128 id = 1; rows.size() < 5000; id += 1 + random() % 4) rows.push_back({id << 64});
  size_t next = 0;
  const std::vector<CoveredSegment> segments = {{"17", 0, 0, 0, 0, 0}};
  ASSERT_TRUE(write_record_table(tmp.path(), segments, {}, rows.size(),
                                 [&] { return rows[next++]; })
                  .ok());
  auto table = read_record_table(tmp.path());
  ASSERT_TRUE(table);
  // Ascending runs of ids, present or not, with the cursor sometimes ahead of the next id.
  size_t cursor = 0;
  uint128 id = 0;
  for (int i = 0; i < 20000; ++i) {
    id = random() % 50 == 0 ? (uint128{random() % 25000} << 64) : id + (uint128{random() % 9} << 64);
    auto it = std::lower_bound(table->rows.begin(), table->rows.end(), id,
                               [](const TableRow& row, uint128 value) { return row.id < value; });
    const TableRow* expected = it != table->rows.end() && it->id == id ? &*it : nullptr;
    EXPECT_EQ(table->find(id, cursor), expected) << i;
    if (expected != nullptr) {
      EXPECT_EQ(&table->rows[cursor], expected);
    }
  }
}

}  // namespace
}  // namespace tarnwick::storage
