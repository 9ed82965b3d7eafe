// Loading beside a writer changes nothing on disk, and a segment a crash left half-made is
// passed over.
#include <gtest/gtest.h>

#include <fstream>

#include "storage/documents.hpp"
#include "store_fixture.hpp"

namespace tarnwick::storage {
namespace {

namespace fs = std::filesystem;
using testing::describe;
using testing::read_bytes;
using testing::id;
using testing::text;

class ReadOnlyStore : public testing::StoreTest {
 protected:
  utils::Result<DocumentsManager, DocumentsManagerError> load_read_only() {
    return DocumentsManager::load(dir(), config_, clock_.clock(), utils::Access::ReadOnly);
  }
};

TEST_F(ReadOnlyStore, MissingDirectoryIsAnEmptyStoreAndStaysMissing) {
  auto store = load_read_only();
  ASSERT_TRUE(store) << describe(store.error());
  EXPECT_TRUE(live(*store).empty());
  EXPECT_TRUE(store->segments().empty());
  EXPECT_FALSE(fs::exists(dir()));
}

TEST_F(ReadOnlyStore, TornTailsAreLeftOutInMemoryAndLeftOnDisk) {
  fs::path segment;
  {
    auto store = open();
    ASSERT_TRUE(store);
    for (int n = 0; n < 3; ++n) write(*store, n);
    flush(*store);
    ASSERT_TRUE(store->delete_document(id(1)));
    segment = store->current();
  }
  std::ofstream(segment / "meta", std::ios::app) << std::string(3, '\0');
  std::ofstream(segment / "del", std::ios::app) << "\x01\x02";
  const std::string meta = read_bytes(segment / "meta");
  const std::string deletions = read_bytes(segment / "del");

  auto store = load_read_only();
  ASSERT_TRUE(store) << describe(store.error());
  EXPECT_EQ(live(*store).size(), 2u);
  EXPECT_EQ(content_of(*store, 2), text(2));
  EXPECT_EQ(read_bytes(segment / "meta"), meta);
  EXPECT_EQ(read_bytes(segment / "del"), deletions);

  auto writer = open();  // the writer cuts both tails
  ASSERT_TRUE(writer);
  EXPECT_EQ(read_bytes(segment / "meta").size(), meta.size() - 3);
  EXPECT_EQ(read_bytes(segment / "del").size(), deletions.size() - 2);
}

TEST_F(ReadOnlyStore, HalfMadeSegmentsArePassedOver) {
  {
    auto store = open();
    ASSERT_TRUE(store);
    write(*store, 0);
    flush(*store);
  }
  // What a crash left between creating a segment's directory and its files, and part way
  // through creating them.
  fs::create_directory(dir() / "1800000000000000000");
  fs::create_directory(dir() / "1800000000000000001");
  std::ofstream(dir() / "1800000000000000001" / "data");
  for (const auto access : {utils::Access::ReadOnly, utils::Access::ReadWrite}) {
    auto store = DocumentsManager::load(dir(), config_, clock_.clock(), access);
    ASSERT_TRUE(store) << describe(store.error());
    EXPECT_EQ(content_of(*store, 0), text(0));
    EXPECT_EQ(store->segments().size(), 1u);
  }
  // A segment missing a file but holding bytes is damage, not a half-made segment.
  std::ofstream(dir() / "1800000000000000001" / "data") << "x";
  EXPECT_FALSE(load());
}

TEST_F(ReadOnlyStore, NewSegmentsAppearWholeUnderTheirName) {
  auto store = open();
  ASSERT_TRUE(store);
  for (const auto& entry : fs::directory_iterator(dir())) {
    EXPECT_EQ(entry.path().extension(), "") << entry.path();
    for (const char* name : {"data", "meta", "del"}) {
      EXPECT_TRUE(fs::is_regular_file(entry.path() / name)) << entry.path();
    }
  }
}

}  // namespace
}  // namespace tarnwick::storage
