// The bounds a snapshot keeps of each block of postings and of each posting: a block wholly
// borrowed is bounded by the counts of its postings and the lengths of their documents, and a
// posting borrowed by a floor of its document's length, whether carried over from the snapshot
// before or computed for postings added since.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "inverted/index.hpp"
#include "inverted/index_fixture.hpp"

namespace tarnwick::inverted {
namespace {

namespace fs = std::filesystem;
using index_testing::doc;
using index_testing::read_bytes;
using index_testing::write_bytes;

// The length of document n, as index_testing::doc numbers them; that of document 170 is not
// known.
uint32_t length_of(uint128 id) {
  const auto n = static_cast<uint32_t>((id >> 80) - 1'700'000'000'000);
  return n == 170 ? 0 : 10 + n % 50;
}

// The bound of postings [begin, end) of `list`, from their counts and length_of.
PostingList::BlockBound bound_of(const PostingList& list, size_t begin, size_t end) {
  PostingList::BlockBound bound = PostingList::kNoPostings;
  for (size_t i = begin; i < end; ++i) bound.add(list.position_count(i), length_of(list.doc_id(i)));
  return bound;
}

class BlockBoundsTest : public ::testing::Test {
 protected:
  IndexManager open() {
    auto index = IndexManager::load(dir_.path(), config_, clock_.clock());
    EXPECT_TRUE(index.ok());
    index->set_document_lengths([](uint128 id, size_t&) { return length_of(id); });
    return std::move(*index);
  }
  // Postings of documents first to last under `token_id`, of 1 to 4 positions, as many for
  // runs of 16 documents.
  void add(IndexManager& index, uint32_t token_id, int first, int last) {
    for (int n = first; n <= last; ++n) {
      std::vector<uint32_t> positions;
      for (int p = 0; p <= n / 16 % 4; ++p) positions.push_back(static_cast<uint32_t>(p * 3));
      ASSERT_TRUE(index.insert(token_id, doc(n), positions, tokens_).ok());
    }
  }
  void save(IndexManager& index, bool snapshot) {
    ASSERT_TRUE(index.flush(tokens_).ok());
    if (snapshot) {
      ASSERT_TRUE(index.write_snapshot());
    }
  }

  index_testing::TempDir dir_;
  index_testing::TestClock clock_;
  std::shared_ptr<Config> config_ = index_testing::quiet_config();
  TokenHasher tokens_ = *TokenHasher::load(dir_.path(), config_, clock_.clock());
};

TEST_F(BlockBoundsTest, EveryWhollyBorrowedBlockIsBoundedByItsPostings) {
  {
    IndexManager index = open();
    add(index, 1, 1, 150);  // two blocks and part of a third
    add(index, 2, 1, 40);
    save(index, true);
    // The third block completed, two more begun, then postings the next opening replays.
    add(index, 1, 151, 300);
    save(index, true);
    add(index, 1, 301, 310);
    save(index, false);
  }
  IndexManager index = open();
  const PostingList& list = *index.postings(1);
  ASSERT_EQ(list.size(), 310u);
  ASSERT_EQ(list.borrowed_size(), 300u);
  for (size_t i = 0; i < list.size(); ++i) {
    const size_t begin = i / PostingList::kBlockSize * PostingList::kBlockSize;
    const size_t end = std::min(list.size(), begin + PostingList::kBlockSize);
    const PostingList::Block block = list.block(i);
    SCOPED_TRACE(i);
    EXPECT_EQ(block.end, end);
    if (end <= list.borrowed_size()) {
      ASSERT_NE(block.bound, nullptr);
      EXPECT_EQ(*block.bound, bound_of(list, begin, end));
    } else {
      EXPECT_EQ(block.bound, nullptr);  // its last postings are not borrowed
    }
    const uint32_t length = length_of(list.doc_id(i));
    EXPECT_EQ(list.min_length(i),
              i < list.borrowed_size() ? PostingList::length_floor(PostingList::length_code(length)) : 0);
  }
  const PostingList& short_list = *index.postings(2);
  ASSERT_NE(short_list.block(39).bound, nullptr);
  EXPECT_EQ(*short_list.block(0).bound, bound_of(short_list, 0, 40));
}

TEST(LengthCode, StandsForAFloorWithinASixteenthOfTheLength) {
  uint32_t previous = 0;
  for (uint64_t length = 0; length <= UINT32_MAX; length += 1 + length / 97) {
    const uint8_t code = PostingList::length_code(static_cast<uint32_t>(length));
    const uint32_t floor = PostingList::length_floor(code);
    SCOPED_TRACE(length);
    ASSERT_LE(floor, length);
    ASSERT_GE(floor, std::min<uint64_t>(length - length / 16, PostingList::length_floor(255)));
    ASSERT_GE(floor, previous);
    previous = floor;
  }
  for (unsigned code = 0; code < 256; ++code) {
    const uint8_t c = static_cast<uint8_t>(code);
    EXPECT_EQ(PostingList::length_code(PostingList::length_floor(c)), c) << code;
  }
}

TEST_F(BlockBoundsTest, DamagedBoundsAreNotBorrowed) {
  {
    IndexManager index = open();
    add(index, 1, 1, 20);
    add(index, 2, 1, 70);
    save(index, true);
  }
  // The last bytes of the file: the bound of the last block of token 2's list.
  const fs::path snapshot = dir_.path() / kIndexDirName / kSnapshotFileName;
  std::string bytes = read_bytes(snapshot);
  bytes[bytes.size() - 2] = static_cast<char>(bytes[bytes.size() - 2] ^ 4);
  write_bytes(snapshot, bytes);
  IndexManager index = open();
  ASSERT_NE(index.postings(2), nullptr);
  EXPECT_FALSE(index.postings(2)->borrowed());
  EXPECT_EQ(index.postings(2)->size(), 70u);
}

}  // namespace
}  // namespace tarnwick::inverted
