// Copies of records handed out for reading: a text still in the write buffer comes with the copy,
// a saved one is read from its data file, and either way the copy yields the document's text.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tarnwick::storage
