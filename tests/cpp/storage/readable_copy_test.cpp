// Copies of records handed out for reading: a text still in the write buffer comes with the copy,
// a saved one is read from its data file, and either way the copy yields the document's text.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "storage/documents.hpp"
#include "store_fixture.hpp"

namespace tarnwick::storage {
namespace {

using testing::id;
using testing::text;

class ReadableCopy : public testing::StoreTest {
 protected:
  // Documents `first`..`last` read through readable_copy give their texts, and carry them in
  // `content` exactly when `buffered`. The store's own records never hold a text.
  static void expect_readable(const DocumentsManager& store, int first, int last, bool buffered) {
    for (int n = first; n <= last; ++n) {
      SCOPED_TRACE(n);
      const DocumentMap records = live(store);
      const DocumentMap& map = records.contains(id(n)) ? records : store.deleted_documents();
      const Document& record = map.at(id(n));
      EXPECT_FALSE(record.content);
      const Document copy = store.readable_copy(record);
      EXPECT_EQ(copy.content.has_value(), buffered);
      auto content = read_content(copy);
      ASSERT_TRUE(content.ok());
      EXPECT_EQ(*content, text(n));
    }
  }
};

TEST_F(ReadableCopy, BufferedTextsComeWithTheCopyAndSavedOnesFromTheFile) {
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 1; n <= 3; ++n) write(*store, n);
  expect_readable(*store, 1, 3, true);
  flush(*store);
  for (int n = 4; n <= 6; ++n) write(*store, n);  // behind three blocks on disk
  expect_readable(*store, 1, 3, false);
  expect_readable(*store, 4, 6, true);
  ASSERT_TRUE(store->delete_document(id(5)).ok());  // pending, its block still buffered
  expect_readable(*store, 5, 5, true);
  flush(*store);
  expect_readable(*store, 1, 6, false);
}

TEST_F(ReadableCopy, OlderSegmentsAreReadFromTheirFiles) {
  set_config([](Config& c) { c.segment_size = 200; });
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 1; n <= 8; ++n) write(*store, n);
  ASSERT_GT(store->segments().size(), 2u);
  // A rollover saves the segment it closes; what went into the current one since is buffered.
  for (int n = 1; n <= 8; ++n) {
    const bool in_current = live(*store).at(id(n)).segment == store->current().native();
    expect_readable(*store, n, n, in_current);
  }
}

TEST_F(ReadableCopy, ARecordRewrittenThroughTheBufferPointsAtItsCopy) {
  auto store = open();
  ASSERT_TRUE(store);
  for (int n = 1; n <= 3; ++n) write(*store, n);
  flush(*store);
  write(*store, 4);
  ASSERT_TRUE(store->set_token_ids(id(2), {7, 8}).ok());
  const Document rewritten = live(*store).at(id(2));
  EXPECT_GT(rewritten.offset, live(*store).at(id(3)).offset);
  expect_readable(*store, 2, 2, true);
  // The buffered block of document 4 was saved before the copy was made.
  expect_readable(*store, 1, 1, false);
  expect_readable(*store, 3, 4, false);
}

// Hits read together: the blocks that fit the budget, taken in the records' order, from several
// segments, and of those the texts that fit it too; the others, and those whose blocks are
// damaged, keep no content and are read (or fail) one by one as before.
TEST_F(ReadableCopy, ReadContentsFillsTheTextsThatFitTheBudget) {
  set_config([](Config& c) { c.segment_size = 600; });
  auto store = open();
  ASSERT_TRUE(store);
  // Texts that do not compress, so that each block is a little longer than its text.
  std::mt19937 random(7);
  auto noise = [&](int n) {
    std::string out = std::to_string(n) + ":";
    while (out.size() < 200) out += static_cast<char>('a' + random() % 26);
    return out;
  };
  std::vector<std::string> texts = {std::string(100'000, 'a')};  // a block far shorter than its text
  for (int n = 1; n <= 9; ++n) texts.push_back(noise(n));
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(store->write(id(n), static_cast<uint32_t>(n), {1}, texts[n]).ok());
  flush(*store);
  ASSERT_GT(store->segments().size(), 2u);
  const DocumentMap records = live(*store);
  std::vector<Document> hits;
  for (int n = 0; n < 10; ++n) hits.push_back(records.at(id(n)));
  std::ranges::shuffle(hits.begin() + 1, hits.end(), random);  // not in file order
  hits[1].offset = 1 << 30;           // past the end of its data file
  hits[2].length -= 1;                // cut short: does not decompress
  hits[3].content = "already known";  // kept as it is
  // The blocks of hits 0 to 6 fit (hit 3 needs no reading), and then the texts of 4 to 6.
  uint64_t budget = hits[0].length / 2;
  for (int i : {0, 1, 2, 4, 5, 6}) budget += hits[i].length;
  ASSERT_LT(budget, texts[0].size());
  store->read_contents(hits, budget);
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    if (i == 3) continue;
    EXPECT_EQ(hits[i].content.has_value(), i >= 4 && i <= 6);
    auto content = read_content(hits[i]);
    ASSERT_EQ(content.ok(), i != 1 && i != 2);
    if (content.ok()) {
      EXPECT_EQ(*content, texts[hits[i].total_tokens]);
    }
  }
  EXPECT_EQ(hits[3].content, "already known");
}

// The data files of the store's segments that a descriptor of this process is open on, removed
// ones included (their link then ends in " (deleted)").
std::vector<std::string> open_data_files(const std::filesystem::path& dir) {
  std::vector<std::string> open;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code code;
    std::string target = std::filesystem::read_symlink(entry.path(), code).native();
    if (target.ends_with(" (deleted)")) target.resize(target.size() - 10);
    if (!code && target.starts_with(dir.native()) && target.ends_with("/data")) {
      open.push_back(target);
    }
  }
  return open;
}

// The store keeps the data files it reads texts from open, a few at most: blocks appended after
// a file was measured are read all the same, and the file of a segment a merge removes is
// closed, its space not held.
TEST_F(ReadableCopy, ReadContentsFollowsTheDataFilesAsTheyGrowAndGo) {
  set_config([](Config& c) { c.segment_size = 600; });
  auto store = open();
  ASSERT_TRUE(store);
  auto read_all = [&](int first, int last) {
    std::vector<Document> hits;
    const DocumentMap records = live(*store);
    for (int n = first; n <= last; ++n) hits.push_back(store->readable_copy(records.at(id(n))));
    store->read_contents(hits, uint64_t{1} << 20);
    for (int n = first; n <= last; ++n) EXPECT_EQ(hits[n - first].content, text(n)) << n;
  };
  write(*store, 1);
  flush(*store);
  read_all(1, 1);
  for (int n = 2; n <= 40; ++n) write(*store, n);
  flush(*store);
  ASSERT_GT(store->segments().size(), 5u);
  read_all(1, 40);
  EXPECT_LE(open_data_files(dir()).size(), 4u);
  // The segment of the last text read, merged away once most of its documents are deleted.
  const std::string segment = live(*store).at(id(40)).segment.str();
  int kept = 0;
  for (const auto& [n, record] : live(*store)) {
    if (record.segment == segment && kept++ > 0) {
      ASSERT_TRUE(store->delete_document(n).ok());
    }
  }
  for (int call = 0; call < 10 && store->segments().contains(segment); ++call) {
    ASSERT_TRUE(store->merge().ok());
  }
  ASSERT_FALSE(store->segments().contains(segment));
  for (const std::string& file : open_data_files(dir())) {
    EXPECT_FALSE(file.starts_with(segment)) << file;
  }
}

}  // namespace
}  // namespace tarnwick::storage
