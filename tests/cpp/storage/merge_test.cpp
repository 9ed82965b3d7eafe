#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "storage/documents.hpp"
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

const std::string kSameText = "every document of this test has the very same text";

class SegmentMerge : public testing::StoreTest {
 protected:
  static void merge(DocumentsManager& store) {
    auto status = store.merge();
    EXPECT_TRUE(status.ok()) << describe(status.error());
  }

  // Writes documents from `first` on until the current segment rolls over; gives the segment
  // they went to and the first unused number.
  static std::pair<fs::path, int> fill_segment(DocumentsManager& store, int first) {
    const fs::path segment = store.current();
    int n = first;
    while (store.current() == segment && n < first + 1000) write(store, n++);
    return {segment, n};
  }

  static void delete_all(DocumentsManager& store, int first, int end) {
    for (int n = first; n < end; ++n) ASSERT_TRUE(store.delete_document(id(n)).ok());
  }

  // Fills a segment with merge_deleted_ratio 0, then appends to its meta file a last record
  // whose block lies far past the data file's end, so that a merge of it stops after copying
  // every live document. Gives the segment, the first unused number and its meta file as it was.
  std::tuple<fs::path, int, std::string> segment_whose_merge_stops() {
    set_config([](Config& c) {
      c.segment_size = 500;
      c.merge_deleted_ratio = 0;
    });
    auto store = open();
    EXPECT_TRUE(store);
    if (!store) return {};
    auto [old, end] = fill_segment(*store, 0);
    flush(*store);
    const std::string old_meta = read_bytes(old / "meta");
    WriteBuffer bad;
    EXPECT_TRUE(bad.write_meta({utils::ulid_to_bytes(id(end)), std::nullopt, SegmentPath(old), 0,
                                uint64_t{1} << 60, 1, {}})
                    .ok());
    testing::write_bytes(old / "meta", old_meta + bad.meta);
    return {old, end, old_meta};
  }

  // The stored block of each live document, by number.
  static std::map<int, std::string> blocks(const DocumentsManager& store, int end) {
    std::map<int, std::string> out;
    for (int n = 0; n < end; ++n) {
      auto record = store.locate(id(n));
      if (!record) continue;
      const std::string data = read_bytes(fs::path(record->segment.str()) / "data");
      out[n] = data.substr(record->offset, record->length);
    }
    return out;
  }
};

// 100 documents of one block length L in one old segment, `deleted` of them deleted.
class MergeThreshold : public SegmentMerge {
 protected:
  void SetUp() override {
    static uint64_t length;
    length = block_of(kSameText).size();
    set_config([](Config& c) {
      c.segment_size = 100 * length - 1;  // the 100th document rolls over
      c.merge_deleted_ratio = 0.3;
    });
  }

  std::optional<DocumentsManager> old_segment_with_deleted(int deleted) {
    auto store = open();
    if (!store) return store;
    old_ = store->current();
    for (int n = 0; n < 100; ++n) EXPECT_TRUE(store->write(id(n), 1, {}, kSameText).ok());
    EXPECT_NE(store->current(), old_);
    for (int n = 0; n < deleted; ++n) EXPECT_TRUE(store->delete_document(id(n)).ok());
    return store;
  }

  fs::path old_;
};

TEST_F(MergeThreshold, DeletedShareEqualToTheRatioIsCompacted) {
  auto store = old_segment_with_deleted(30);
  ASSERT_TRUE(store);
  const auto before = blocks(*store, 100);
  const uint64_t length = block_of(kSameText).size();
  merge(*store);
  EXPECT_FALSE(fs::exists(old_));
  EXPECT_FALSE(store->segments().contains(old_.native()));
  EXPECT_EQ(store->segments().size(), 1u);
  // Every live block was copied as it was, end to end, into the current segment.
  EXPECT_EQ(read_bytes(store->current() / "data").size(), 70 * length);
  EXPECT_EQ(blocks(*store, 100), before);
  for (const auto& [n, block] : before) {
    EXPECT_EQ(live(*store).at(id(n)).segment, store->current());
  }
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live(*reopened), live(*store));
}

TEST_F(MergeThreshold, DeletedShareBelowTheRatioIsLeftAlone) {
  auto store = old_segment_with_deleted(29);
  ASSERT_TRUE(store);
  merge(*store);
  EXPECT_TRUE(fs::exists(old_));
  EXPECT_TRUE(store->segments().contains(old_.native()));
  EXPECT_EQ(read_bytes(store->current() / "data"), "");
}

TEST_F(SegmentMerge, NothingHappensToACurrentSegmentWithNothingDeleted) {
  set_config([](Config& c) { c.merge_deleted_ratio = 0; });
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path current = store->current();
  write(*store, 1);
  write(*store, 2);
  merge(*store);
  EXPECT_EQ(store->current(), current);
  EXPECT_EQ(read_bytes(current / "data"), "");  // not even flushed
  EXPECT_EQ(store->segments().size(), 1u);
}

TEST_F(SegmentMerge, CurrentSegmentBelowTheRatioIsLeftAlone) {
  set_config([](Config& c) { c.merge_deleted_ratio = 0.5; });
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path current = store->current();
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(store->write(id(n), 1, {}, kSameText).ok());
  delete_all(*store, 0, 4);
  merge(*store);
  EXPECT_EQ(store->current(), current);
  EXPECT_EQ(segment_paths(*store), std::vector<fs::path>{current});
  EXPECT_EQ(read_bytes(current / "data"), "");
}

// The total size of the files of every segment directory.
// The bytes of the segments' files, leaving out the record table beside them.
uint64_t segment_bytes(const fs::path& dir) {
  uint64_t total = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (entry.is_regular_file() && entry.path().parent_path() != dir) total += entry.file_size();
  }
  return total;
}

TEST_F(SegmentMerge, CurrentSegmentIsCompactedIntoANewOne) {
  // One segment for everything, as with the default size.
  auto store = open();
  ASSERT_TRUE(store);
  const fs::path old = store->current();
  for (int n = 0; n < 300; ++n) {
    write(*store, n);
    if (n == 150) flush(*store);  // some on disk, some in the buffer
  }
  for (int n = 0; n < 300; ++n) {
    if (n % 10 != 3) {
      ASSERT_TRUE(store->delete_document(id(n)).ok());
    }
  }
  ASSERT_EQ(store->segments().size(), 1u);
  merge(*store);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_FALSE(fs::exists(dir() / (old.filename().string() + ".removed")));
  EXPECT_NE(store->current(), old);
  EXPECT_EQ(segment_paths(*store), std::vector<fs::path>{store->current()});
  // Each live document's block copied as it was, its record otherwise the same.
  ASSERT_EQ(live(*store).size(), 30u);
  uint64_t live_bytes = 0;
  std::string meta;
  for (int n = 3; n < 300; n += 10) {
    const Document record = live(*store).at(id(n));
    EXPECT_EQ(record.segment, store->current()) << n;
    EXPECT_EQ(record.total_tokens, uint32_t(n));
    EXPECT_EQ(record.token_ids, (std::vector<uint32_t>{uint32_t(n), 1000}));
    EXPECT_EQ(record.length, block_of(text(n)).size());
    EXPECT_EQ(content_of(*store, n), text(n));
    live_bytes += record.length;
    std::string encoded;
    ASSERT_TRUE(encode_document(record, encoded).ok());
    meta += be64(encoded.size()) + encoded;
  }
  const auto after = blocks(*store, 300);
  for (const auto& [n, block] : after) EXPECT_EQ(block, block_of(text(n))) << n;
  // The disk holds what the live documents need, and no more.
  EXPECT_EQ(read_bytes(store->current() / "data").size(), live_bytes);
  EXPECT_EQ(read_bytes(store->current() / "meta"), meta);
  EXPECT_EQ(read_bytes(store->current() / "del"), "");
  EXPECT_EQ(segment_bytes(dir()), live_bytes + meta.size());
  const Segment& current = store->segments().at(store->current().native());
  EXPECT_EQ(current.size, live_bytes);
  EXPECT_EQ(current.deleted_bytes, 0u);
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live(*reopened), live(*store));
  EXPECT_EQ(reopened->current(), store->current());
}

TEST_F(SegmentMerge, RoundsOfAddingAndDeletingEverythingLeaveNothingOnDisk) {
  auto store = open();
  ASSERT_TRUE(store);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const fs::path old = store->current();
    const int first = round * 300;
    for (int n = first; n < first + 300; ++n) write(*store, n);
    if (round == 1) flush(*store);  // else some stay buffered
    delete_all(*store, first, first + 300);
    merge(*store);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_EQ(segment_paths(*store), std::vector<fs::path>{store->current()});
    EXPECT_TRUE(live(*store).empty());
    EXPECT_EQ(segment_bytes(dir()), 0u);  // a fresh, empty segment
    const Segment& current = store->segments().at(store->current().native());
    EXPECT_EQ(current.size, 0u);
    EXPECT_EQ(current.deleted_bytes, 0u);
  }
  merge(*store);  // nothing more to do
  write(*store, 5000);
  flush(*store);
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live(*reopened).size(), 1u);
  EXPECT_EQ(content_of(*reopened, 5000), text(5000));
  EXPECT_EQ(segment_paths(*reopened), std::vector<fs::path>{store->current()});
}

TEST_F(SegmentMerge, OnlyTheLiveCopyOfARewrittenRecordIsCopied) {
  set_config([](Config& c) { c.merge_deleted_ratio = 0; });
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 1; n <= 3; ++n) write(*store, n);
  flush(*store);
  ASSERT_TRUE(store->set_token_ids(id(2), {42}).ok());  // its copy goes into the same segment
  const fs::path old = store->current();
  merge(*store);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(read_bytes(store->current() / "data"),
            block_of(text(1)) + block_of(text(3)) + block_of(text(2)));
  EXPECT_EQ(live(*store).at(id(2)).token_ids, std::vector<uint32_t>{42});
  auto reopened = open();
  ASSERT_TRUE(reopened);
  EXPECT_EQ(live(*reopened), live(*store));
  EXPECT_EQ(reopened->segments().at(reopened->current().native()).deleted_bytes, 0u);
}

TEST_F(SegmentMerge, StoppedMergeOfTheCurrentSegmentIsFinishedAsAnOlderOne) {
  set_config([](Config& c) { c.merge_deleted_ratio = 0; });
  fs::path old;
  std::string old_meta;
  {
    auto store = open();
    ASSERT_TRUE(store);
    old = store->current();
    for (int n = 0; n < 5; ++n) write(*store, n);
    flush(*store);
    old_meta = read_bytes(old / "meta");
    // A last record whose block lies far past the data file's end stops the copying there.
    WriteBuffer bad;
    ASSERT_TRUE(bad.write_meta({utils::ulid_to_bytes(id(5)), std::nullopt, SegmentPath(old), 0,
                                uint64_t{1} << 60, 1, {}})
                    .ok());
    testing::write_bytes(old / "meta", old_meta + bad.meta);
  }
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_TRUE(store->delete_document(id(0)).ok());
    auto status = store->merge();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(describe(status.error()), "Io: failed to fill whole buffer");
    EXPECT_TRUE(fs::exists(old));
    EXPECT_NE(store->current(), old);
    flush(*store);
  }
  testing::write_bytes(old / "meta", old_meta);
  {
    // The copies win; the old segment is an older one now, and all of it counts as deleted.
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(live(*store).size(), 4u);
    for (int n = 1; n < 5; ++n) EXPECT_NE(live(*store).at(id(n)).segment, old) << n;
    const Segment& stale = store->segments().at(old.native());
    EXPECT_EQ(stale.deleted_bytes, stale.size);
    merge(*store);
    EXPECT_FALSE(fs::exists(old));
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(live(*store).size(), 4u);
  for (int n = 1; n < 5; ++n) EXPECT_EQ(content_of(*store, n), text(n));
}

TEST_F(SegmentMerge, SegmentWithAnEmptyDataFileIsNeverCompacted) {
  set_config([](Config& c) { c.merge_deleted_ratio = 0; });
  fs::create_directories(dir() / "5");
  for (const char* name : {"data", "meta"}) testing::write_bytes(dir() / "5" / name, "");
  testing::write_bytes(dir() / "5" / "del", std::string(16, 'x') + be64(1000));
  fs::create_directories(dir() / "9");
  for (const char* name : {"data", "meta", "del"}) testing::write_bytes(dir() / "9" / name, "");
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_EQ(store->segments().at((dir() / "5").native()).deleted_bytes, 1000u);
  merge(*store);
  EXPECT_TRUE(fs::exists(dir() / "5"));
  EXPECT_EQ(store->segments().size(), 2u);
}

TEST_F(SegmentMerge, OnlyTheOldestQualifyingSegmentPerCall) {
  set_config([](Config& c) {
    c.segment_size = 500;
    c.merge_deleted_ratio = 0.5;
  });
  auto store = open();
  ASSERT_TRUE(store);
  const auto [first, next] = fill_segment(*store, 0);
  const auto [second, end] = fill_segment(*store, next);
  delete_all(*store, 0, next);
  delete_all(*store, next, end);
  write(*store, end);
  const fs::path current = store->current();
  ASSERT_TRUE(store->delete_document(id(end)).ok());  // the current one qualifies too
  merge(*store);
  EXPECT_FALSE(fs::exists(first));
  EXPECT_TRUE(fs::exists(second));
  merge(*store);
  EXPECT_FALSE(fs::exists(second));
  EXPECT_TRUE(fs::exists(current));
  // Then the current one, whose only document is deleted: a fresh segment takes its place.
  merge(*store);
  EXPECT_FALSE(fs::exists(current));
  ASSERT_EQ(store->segments().size(), 1u);
  EXPECT_NE(store->current(), current);
  EXPECT_EQ(read_bytes(store->current() / "data"), "");
  const fs::path fresh = store->current();
  merge(*store);
  EXPECT_EQ(segment_paths(*store), std::vector<fs::path>{fresh});
}

TEST_F(SegmentMerge, FullyDeletedSegmentIsRemovedAndTheBufferStillFlushed) {
  set_config([](Config& c) { c.segment_size = 500; });
  auto store = open();
  ASSERT_TRUE(store);
  const auto [old, end] = fill_segment(*store, 0);
  delete_all(*store, 0, end);
  write(*store, end);  // buffered in the current segment
  merge(*store);
  EXPECT_FALSE(fs::exists(old));
  EXPECT_EQ(read_bytes(store->current() / "data"), block_of(text(end)));
  EXPECT_EQ(live(*store).size(), 1u);
}

TEST_F(SegmentMerge, CopiesThatFillTheCurrentSegmentRollOver) {
  set_config([](Config& c) { c.segment_size = 2000; });
  int end;
  {
    auto store = open();
    ASSERT_TRUE(store);
    end = fill_segment(*store, 0).second;
    delete_all(*store, 0, 3);
    flush(*store);
  }
  set_config([](Config& c) {
    c.segment_size = 300;
    c.merge_deleted_ratio = 0;
  });
  auto store = open();
  ASSERT_TRUE(store);
  const auto before = blocks(*store, end);
  const size_t segments_before = store->segments().size();
  merge(*store);
  EXPECT_GT(store->segments().size(), segments_before);  // one removed, at least two started
  EXPECT_EQ(blocks(*store, end), before);
  for (int n = 3; n < end; ++n) EXPECT_EQ(content_of(*store, n), text(n));
}

TEST_F(SegmentMerge, StoppedMergeKeepsTheOldSegmentAndLaterDeletionsHold) {
  const auto [old, end, old_meta] = segment_whose_merge_stops();
  {
    auto store = open();
    ASSERT_TRUE(store);
    auto status = store->merge();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(describe(status.error()), "Io: failed to fill whole buffer");
    EXPECT_TRUE(fs::exists(old));
    EXPECT_TRUE(store->segments().contains(old.native()));
    EXPECT_NE(live(*store).at(id(0)).segment, old);  // the copy
    flush(*store);
    EXPECT_EQ(content_of(*store, 0), text(0));
    // Its deletion goes to the copy's segment; the old entry must not come back.
    ASSERT_TRUE(store->delete_document(id(0)).ok());
  }
  testing::write_bytes(old / "meta", old_meta);
  {
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_FALSE(live(*store).contains(id(0)));
    merge(*store);
    EXPECT_FALSE(fs::exists(old));
    EXPECT_FALSE(live(*store).contains(id(0)));
    for (int n = 1; n < end; ++n) EXPECT_EQ(content_of(*store, n), text(n));
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(live(*store).contains(id(0)));
  EXPECT_EQ(live(*store).size(), size_t(end - 1));
}

TEST_F(SegmentMerge, AfterAStoppedMergeTheNewerCopyIsTheLiveOneAcrossReopening) {
  const auto [old, end, old_meta] = segment_whose_merge_stops();
  {
    auto store = open();
    ASSERT_TRUE(store);
    ASSERT_FALSE(store->merge().ok());  // every live document copied, the old segment kept
    flush(*store);
  }
  testing::write_bytes(old / "meta", old_meta);
  {
    // Every document is found twice: the copies win, and the old ones count as deleted.
    auto store = open();
    ASSERT_TRUE(store);
    EXPECT_EQ(live(*store).size(), size_t(end));
    for (int n = 0; n < end; ++n) EXPECT_NE(live(*store).at(id(n)).segment, old) << n;
    const Segment& stale = store->segments().at(old.native());
    EXPECT_EQ(stale.deleted_bytes, stale.size);
    const std::string old_deletions = read_bytes(old / "del");
    ASSERT_TRUE(store->delete_document(id(1)).ok());
    EXPECT_EQ(read_bytes(old / "del"), old_deletions);
    merge(*store);
    EXPECT_FALSE(fs::exists(old));
  }
  auto store = open();
  ASSERT_TRUE(store);
  EXPECT_FALSE(live(*store).contains(id(1)));
  EXPECT_EQ(live(*store).size(), size_t(end - 1));
  for (int n = 0; n < end; ++n) {
    if (n != 1) {
      EXPECT_EQ(content_of(*store, n), text(n));
    }
  }
}

}  // namespace
}  // namespace tarnwick::storage
