// The snapshot of the lists: opening reads it and the records after it, and gives the very index
// a replay of the whole logs gives; a snapshot that is damaged or no longer matches the logs is
// passed over.
#include "inverted/snapshot.hpp"

#include <gtest/gtest.h>

#include <random>

#include "inverted/index.hpp"
#include "inverted/index_fixture.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::doc;
using index_testing::plain;
using index_testing::PlainIndex;
using index_testing::read_bytes;
using index_testing::write_bytes;

class SnapshotTest : public ::testing::Test {
 protected:
  fs::path index_dir() const { return dir_.path() / kIndexDirName; }
  fs::path snapshot() const { return index_dir() / kSnapshotFileName; }
  fs::path meta_log() const { return index_dir() / kIndexMetaLogName; }
  fs::path index_log() const { return index_dir() / kIndexLogName; }

  IndexManager open() {
    auto index = IndexManager::load(dir_.path(), config_, clock_.clock());
    EXPECT_TRUE(index.ok());
    return std::move(*index);
  }
  // What opening gives without the snapshot: the replay of the whole logs.
  PlainIndex replayed() {
    const std::string kept = read_bytes(snapshot());
    fs::remove(snapshot());
    PlainIndex out = plain(open().index());
    write_bytes(snapshot(), kept);
    return out;
  }
  // The totals the index keeps are those of its postings (the largest id may be one deleted since).
  static void expect_totals_hold(const IndexManager& index, size_t length = 0) {
    IndexTotals walked;
    index.index().for_each([&](uint32_t token_id, const PostingList& list) {
      for (size_t i = 0; i < list.size(); ++i) walked.add(list.doc_id(i), token_id);
    });
    EXPECT_EQ(index.totals().posting_sum, walked.posting_sum) << length;
    EXPECT_TRUE(index.totals().largest_doc_id >= walked.largest_doc_id) << length;
  }
  static size_t borrowed_lists(const IndexManager& index) {
    size_t count = 0;
    index.index().for_each(
        [&](uint32_t, const PostingList& list) { count += list.borrowed(); });
    return count;
  }

  // Random inserts and deletes over documents first to first + count - 1, under tokens 0 to 7;
  // a deleted posting is sometimes inserted again, in the middle of its list.
  void churn(IndexManager& index, int first, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    for (int n = first; n < first + count; ++n) {
      for (uint32_t t = 0; t < 8; ++t) {
        if (rng() % 3 == 0) insert(index, t, doc(n), {uint32_t(rng() % 50), 60});
      }
      if (rng() % 4 != 0) continue;
      const uint32_t t = rng() % 8;
      const int victim = 1 + int(rng() % n);
      ASSERT_TRUE(index.delete_postings({t}, {doc(victim)}, tokens_, [](const std::string&) {}).ok());
      if (rng() % 2) insert(index, t, doc(victim), {7});
    }
  }
  void insert(IndexManager& index, uint32_t token_id, uint128 doc_id,
              const std::vector<uint32_t>& positions) {
    ASSERT_TRUE(index.insert(token_id, doc_id, positions, tokens_).ok());
  }
  void flush(IndexManager& index) { ASSERT_TRUE(index.flush(tokens_).ok()); }

  // Index buffers of 2048 bytes; what the lists may own in memory with them.
  size_t small_buffers() {
    config_->index_buffer_size = 2048;
    return 2048 * kOwnedListsBuffers;
  }
  // Documents 1 to 1000, each under tokens 0 to kFilled - 1, then a snapshot of them.
  static constexpr uint32_t kFilled = 40;
  void fill_and_snapshot(IndexManager& index) {
    for (int n = 1; n <= 1000; ++n) {
      for (uint32_t t = 0; t < kFilled; ++t) insert(index, t, doc(n), {t, 100, 200});
    }
    flush(index);
    ASSERT_TRUE(index.write_snapshot());
  }
  // Inserts a posting at a time into token 0, from document 1001 on, far fewer bytes than the
  // buffers allow, until a save of the logs writes a snapshot; the lists then own next to
  // nothing, and the snapshot opens as the logs replay.
  void expect_a_snapshot_soon(IndexManager& index, size_t budget) {
    const auto before = fs::last_write_time(snapshot());
    for (int n = 1001; fs::last_write_time(snapshot()) == before; ++n) {
      ASSERT_LT(n, 1500) << "no snapshot came";
      insert(index, 0, doc(n), {1});
    }
    EXPECT_LT(index.index().owned_bytes(), budget / 4);
    flush(index);
    EXPECT_EQ(plain(open().index()), replayed());
  }

  // An index whose snapshot covers a first churn and whose logs hold a second one after it; token
  // 9 has one posting, from before the snapshot only.
  PlainIndex build() {
    IndexManager index = open();
    insert(index, 9, doc(1), {3});
    churn(index, 1, 200, 1);
    flush(index);
    EXPECT_TRUE(index.write_snapshot());
    churn(index, 201, 100, 2);
    flush(index);
    expect_totals_hold(index);
    return plain(index.index());
  }

  index_testing::TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = index_testing::quiet_config();
  TokenHasher tokens_ = *TokenHasher::load(dir_.path(), config_, clock_.clock());
};

TEST_F(SnapshotTest, OpeningReadsTheSnapshotAndTheRecordsAfterIt) {
  const PlainIndex expected = build();
  IndexManager index = open();
  EXPECT_EQ(plain(index.index()), expected);
  expect_totals_hold(index);
  // The list the records after the snapshot left alone is read in place.
  ASSERT_NE(index.postings(9), nullptr);
  EXPECT_TRUE(index.postings(9)->borrowed());
  EXPECT_EQ(replayed(), expected);
}

// Opening reads no list of the snapshot: one whose bytes are damaged costs nothing until it is
// asked for, and then it comes from the logs, while the lists read before it stay in place.
TEST_F(SnapshotTest, AListIsCheckedWhenFirstAskedFor) {
  {
    IndexManager index = open();
    insert(index, 9, doc(1), {3});
    insert(index, 10, doc(2), {4, 5});
    insert(index, 10, doc(3), {1});
    flush(index);
    ASSERT_TRUE(index.write_snapshot());
  }
  // The directory entry of token 10, the last: its list's offset.
  std::string bytes = read_bytes(snapshot());
  uint64_t offset = 0;
  for (size_t i = 8; i-- > 0;) offset = offset << 8 | static_cast<uint8_t>(bytes[80 + 20 + 8 + i]);
  ASSERT_EQ(static_cast<uint8_t>(bytes[80 + 20]), 10);
  bytes[offset + 3] = static_cast<char>(bytes[offset + 3] ^ 1);
  write_bytes(snapshot(), bytes);
  IndexManager index = open();
  ASSERT_NE(index.postings(9), nullptr);
  EXPECT_TRUE(index.postings(9)->borrowed());
  const PostingList* list = index.postings(10);
  ASSERT_NE(list, nullptr);
  EXPECT_FALSE(list->borrowed());
  PlainIndex read;
  index_testing::add_plain(read, 10, *list);
  EXPECT_EQ(read, (PlainIndex{{10, {{doc(2), {4, 5}}, {doc(3), {1}}}}}));
  EXPECT_TRUE(index.postings(9)->borrowed());
  EXPECT_EQ(plain(index.index()), replayed());
}

// A list a change takes over is checked by reading the file, a piece at a time: damage in any
// piece of a long list sends it to the logs, and an undamaged one is appended to in place.
TEST_F(SnapshotTest, AListTakenOverForAChangeIsCheckedWhole) {
  constexpr int kPostings = 8000;  // 160,000 bytes of entries
  PlainIndex expected;
  {
    IndexManager index = open();
    for (int n = 1; n <= kPostings; ++n) {
      const std::vector<uint32_t> positions{uint32_t(n % 300), 400};
      insert(index, 5, doc(n), positions);
      expected[5].emplace_back(doc(n), positions);
    }
    flush(index);
    ASSERT_TRUE(index.write_snapshot());
  }
  expected[5].emplace_back(doc(kPostings + 1), std::vector<uint32_t>{1});
  const std::string kept = read_bytes(snapshot());
  const std::string meta = read_bytes(meta_log());
  const std::string log = read_bytes(index_log());
  // The list's entries begin where its directory entry, the only one, says.
  uint64_t offset = 0;
  for (size_t i = 8; i-- > 0;) offset = offset << 8 | static_cast<uint8_t>(kept[80 + 8 + i]);
  for (const uint64_t damaged_at : {uint64_t{0}, offset + 100'000, kept.size() - 8}) {
    std::string bytes = kept;
    if (damaged_at != 0) bytes[damaged_at] = static_cast<char>(bytes[damaged_at] ^ 0x10);
    write_bytes(snapshot(), bytes);
    write_bytes(meta_log(), meta);
    write_bytes(index_log(), log);
    IndexManager index = open();
    insert(index, 5, doc(kPostings + 1), {1});
    ASSERT_NE(index.postings(5), nullptr);
    EXPECT_EQ(index.postings(5)->borrowed(), damaged_at == 0) << damaged_at;
    EXPECT_EQ(plain(index.index()), expected) << damaged_at;
  }
}

// Cut anywhere, the meta log loads as the replay of what is left: past the snapshot from it,
// short of it from the logs alone.
TEST_F(SnapshotTest, EveryMetaLogPrefixLoadsWhatTheWholeReplayLoads) {
  build();
  const std::string meta = read_bytes(meta_log());
  const std::string log = read_bytes(index_log());
  const std::string kept_snapshot = read_bytes(snapshot());
  uint64_t covered = 0;  // the meta-log size in the snapshot's header
  for (size_t i = 16; i-- > 8;) covered = covered << 8 | static_cast<uint8_t>(kept_snapshot[i]);
  ASSERT_LT(covered, meta.size());
  std::vector<size_t> lengths = {0, meta.size()};
  for (size_t length = 1; length < meta.size(); length += 101) lengths.push_back(length);
  for (size_t length = covered - 29; length <= covered + 29; ++length) lengths.push_back(length);
  for (size_t length : lengths) {
    write_bytes(meta_log(), meta.substr(0, length));
    write_bytes(index_log(), log);
    write_bytes(snapshot(), kept_snapshot);
    IndexManager index = open();
    // Past the snapshot, it is read (token 9 keeps its list from it).
    if (length >= covered) {
      EXPECT_GT(borrowed_lists(index), 0u) << length;
    }
    // Opening cut the torn tail; the replay reads the same logs.
    EXPECT_EQ(plain(index.index()), replayed()) << length;
    expect_totals_hold(index, length);
  }
}

// Whatever byte of the snapshot is damaged (every fifth is tried), and wherever it is cut, opening
// gives the same index.
TEST_F(SnapshotTest, ADamagedOrCutSnapshotNeverChangesWhatOpeningGives) {
  const PlainIndex expected = build();
  const std::string kept = read_bytes(snapshot());
  size_t passed_over = 0;
  size_t tried = 0;
  for (size_t at = 0; at < kept.size(); at += 5, ++tried) {
    std::string damaged = kept;
    damaged[at] = static_cast<char>(damaged[at] ^ (1 << (at % 8)));
    write_bytes(snapshot(), damaged);
    IndexManager index = open();
    EXPECT_EQ(plain(index.index()), expected) << at;
    passed_over += borrowed_lists(index) == 0;
  }
  // Only the padding after the lists is not checked.
  EXPECT_GT(passed_over, tried * 9 / 10);
  // The last list ends the file with its block bounds.
  for (size_t length : {size_t{0}, size_t{8}, size_t{63}, size_t{64}, kept.size() / 2, kept.size() - 4}) {
    write_bytes(snapshot(), kept.substr(0, length));
    IndexManager index = open();
    EXPECT_EQ(plain(index.index()), expected) << length;
    EXPECT_EQ(borrowed_lists(index), 0u) << length;
  }
}

// Logs emptied and written again past the sizes the snapshot covers are not what it covers.
TEST_F(SnapshotTest, LogsWrittenAnewAreNotTakenForTheOnesItCovers) {
  build();
  const std::string kept = read_bytes(snapshot());
  const uint64_t covered = fs::file_size(meta_log());
  write_bytes(meta_log(), "");
  write_bytes(index_log(), "");
  PlainIndex expected;
  {
    IndexManager index = open();
    churn(index, 1000, 400, 3);
    flush(index);
    expected = plain(index.index());
  }
  ASSERT_GT(fs::file_size(meta_log()), covered);
  write_bytes(snapshot(), kept);
  IndexManager index = open();
  EXPECT_EQ(plain(index.index()), expected);
  EXPECT_EQ(borrowed_lists(index), 0u);
}

// Only a flush that finds the logs grown by the due share writes a snapshot.
// Inserting new documents appends to the lists read in place without copying them, and once the
// lists hold more in memory than the buffers allow, the save of the logs writes a snapshot that
// they are read from again: memory stays bounded however many documents come.
TEST_F(SnapshotTest, ListsHeldInMemoryStayWithinTheBuffers) {
  const size_t budget = small_buffers();
  std::mt19937 rng(5);
  size_t most = 0;
  {
    IndexManager index = open();
    for (int n = 1; n <= 6000; ++n) {
      for (uint32_t t = 0; t < 8; ++t) {
        if (rng() % 2 == 0) insert(index, t, doc(n), {uint32_t(rng() % 90), 100, 200});
      }
      most = std::max(most, index.index().owned_bytes());
    }
    // Lists taken over from a snapshot and appended to still read their first postings in place.
    EXPECT_GT(borrowed_lists(index), 0u);
    flush(index);
    expect_totals_hold(index);
    EXPECT_EQ(plain(index.index()), replayed());
  }
  EXPECT_LE(most, budget + budget / 2);
  EXPECT_TRUE(fs::exists(snapshot()));
  EXPECT_EQ(plain(open().index()), replayed());
}

// A deletion copies the list it takes over from the snapshot into memory: that counts against the
// buffers as inserts do, and the next save that an insert brings on writes a snapshot.
TEST_F(SnapshotTest, ListsCopiedByDeletionsCountAgainstTheBuffers) {
  const size_t budget = small_buffers();
  IndexManager index = open();
  fill_and_snapshot(index);
  ASSERT_LT(index.index().owned_bytes(), budget / 4);
  for (uint32_t t = 0; t < kFilled; ++t) {
    ASSERT_TRUE(index.delete_postings({t}, {doc(1)}, tokens_, [](const std::string&) {}).ok());
  }
  ASSERT_GT(index.index().owned_bytes(), budget);
  expect_a_snapshot_soon(index, budget);
}

// A damaged list sends every list not read yet to the logs, and they are then all in memory: the
// next save that an insert brings on writes a sound snapshot, which they are read from again.
TEST_F(SnapshotTest, ListsReadFromTheLogsCountAgainstTheBuffers) {
  const size_t budget = small_buffers();
  {
    IndexManager index = open();
    fill_and_snapshot(index);
  }
  // The last directory entry: the list of the last token, and where it begins.
  std::string bytes = read_bytes(snapshot());
  const size_t entry = 80 + 20 * (kFilled - 1);
  ASSERT_EQ(static_cast<uint8_t>(bytes[entry]), kFilled - 1);
  uint64_t offset = 0;
  for (size_t i = 8; i-- > 0;) offset = offset << 8 | static_cast<uint8_t>(bytes[entry + 8 + i]);
  bytes[offset + 3] = static_cast<char>(bytes[offset + 3] ^ 1);
  write_bytes(snapshot(), bytes);
  IndexManager index = open();
  ASSERT_NE(index.postings(kFilled - 1), nullptr);
  ASSERT_GT(index.index().owned_bytes(), budget);
  expect_a_snapshot_soon(index, budget);
  EXPECT_FALSE(index.index().damaged());
}

TEST_F(SnapshotTest, SnapshotIsWrittenWhenTheLogsHaveGrownEnough) {
  IndexManager index = open();
  churn(index, 1, 100, 4);
  flush(index);
  index.snapshot_if_due();
  EXPECT_FALSE(fs::exists(snapshot()));
  // About 28 bytes of meta log a record.
  for (int n = 0; fs::file_size(meta_log()) < kSnapshotMinTail; n += 1000) {
    churn(index, 1000 + n, 1000, 5 + n);
    flush(index);
  }
  index.snapshot_if_due();
  ASSERT_TRUE(fs::exists(snapshot()));
  EXPECT_EQ(plain(open().index()), plain(index.index()));
}

}  // namespace
}  // namespace tarnwick::inverted
