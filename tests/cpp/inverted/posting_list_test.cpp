#include "inverted/posting_list.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

namespace tarnwick::inverted {
namespace {

using Positions = std::vector<uint32_t>;

uint128 id(uint64_t n) { return uint128{n} << 64 | n; }

Positions positions_of(const PostingList& list, size_t i) {
  Positions out{99};  // replaced, not appended to
  list.decode_positions(i, out);
  return out;
}

TEST(PostingListTest, PositionsRoundTripAcrossEveryVarintWidth) {
  const Positions cases[] = {
      {},
      {0},
      {127, 128, 255, 16383, 16384},
      {0, 2097151, 2097152, 268435455, 268435456, UINT32_MAX},
      {UINT32_MAX, 0, 5, 3},  // not ascending: the differences wrap around
  };
  PostingList list;
  for (size_t i = 0; i < std::size(cases); ++i) ASSERT_TRUE(list.append(id(i), cases[i]));
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(positions_of(list, i), cases[i]) << i;
    EXPECT_EQ(list.position_count(i), cases[i].size()) << i;
    EXPECT_TRUE(list.doc_id(i) == id(i)) << i;
  }
}

TEST(PostingListTest, LowerBoundFindsTheFirstIdNotBelow) {
  PostingList list;
  for (uint64_t n : {2, 4, 6, 8}) ASSERT_TRUE(list.append(id(n), Positions{1}));
  EXPECT_EQ(list.lower_bound(id(1)), 0u);
  EXPECT_EQ(list.lower_bound(id(4)), 1u);
  EXPECT_EQ(list.lower_bound(id(5)), 2u);
  EXPECT_EQ(list.lower_bound(id(2), 2), 2u);
  EXPECT_EQ(list.lower_bound(id(9)), 4u);

  // From anywhere, to near and far targets, across the borrowed postings and the list's own.
  std::mt19937 rng(5);
  PostingList first;
  uint64_t n = 0;
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(first.append(id(n += 1 + rng() % 3), Positions{1}));
  auto both = PostingList::borrowing(first.entry_parts()[1], first.position_parts()[1]);
  ASSERT_TRUE(both);
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(both->append(id(n += 1 + rng() % 3), Positions{1}));
  for (int round = 0; round < 5000; ++round) {
    const size_t from = rng() % (both->size() + 1);
    const uint64_t target = rng() % 2 ? rng() % (n + 2) : (from < both->size() ? 0 : n) + rng() % 9;
    size_t expected = from;
    while (expected < both->size() && both->doc_id(expected) < id(target)) ++expected;
    ASSERT_EQ(both->lower_bound(id(target), from), expected) << from << " " << target;
  }
}

TEST(PostingListTest, RemoveIfKeepsTheOthersInOrderWithTheirPositions) {
  std::mt19937 rng(3);
  std::vector<std::pair<uint128, Positions>> model;
  PostingList list;
  for (uint64_t n = 0; n < 200; ++n) {
    Positions positions(rng() % 4);
    for (uint32_t& p : positions) p = rng() % 100000;
    ASSERT_TRUE(list.append(id(n), positions));
    model.emplace_back(id(n), positions);
  }
  std::vector<uint128> removed;
  list.remove_if([](uint128 doc_id) { return static_cast<uint64_t>(doc_id) % 3 == 1; },
                 [&](uint128 doc_id) { removed.push_back(doc_id); });
  std::erase_if(model, [](const auto& p) { return static_cast<uint64_t>(p.first) % 3 == 1; });
  ASSERT_EQ(list.size(), model.size());
  ASSERT_EQ(removed.size(), 200 - model.size());
  for (size_t k = 0; k < removed.size(); ++k) EXPECT_TRUE(removed[k] == id(3 * k + 1));
  for (size_t i = 0; i < model.size(); ++i) {
    EXPECT_TRUE(list.doc_id(i) == model[i].first);
    EXPECT_EQ(positions_of(list, i), model[i].second);
  }
  ASSERT_TRUE(list.append(id(500), Positions{7}));  // appending continues after compaction
  EXPECT_EQ(positions_of(list, list.size() - 1), Positions{7});
}

TEST(PostingListTest, ReversedHoldsThePostingsBackToFront) {
  PostingList list;
  ASSERT_TRUE(list.append(id(1), Positions{1, 2}));
  ASSERT_TRUE(list.append(id(2), Positions{}));
  ASSERT_TRUE(list.append(id(3), Positions{300}));
  const PostingList back = list.reversed();
  ASSERT_EQ(back.size(), 3u);
  EXPECT_TRUE(back.doc_id(0) == id(3) && back.doc_id(2) == id(1));
  EXPECT_EQ(positions_of(back, 0), Positions{300});
  EXPECT_EQ(positions_of(back, 1), Positions{});
  EXPECT_EQ(positions_of(back, 2), (Positions{1, 2}));
}

TEST(PostingListTest, InsertKeepsIdOrderWhereverThePostingGoes) {
  std::mt19937 rng(11);
  std::vector<uint64_t> order(60);
  for (size_t n = 0; n < order.size(); ++n) order[n] = n;
  std::shuffle(order.begin(), order.end(), rng);
  PostingList list;
  for (uint64_t n : order) ASSERT_TRUE(list.insert(id(n), Positions(n % 4, static_cast<uint32_t>(n) * 200)));
  ASSERT_EQ(list.size(), order.size());
  EXPECT_TRUE(list.is_sorted());
  for (uint64_t n = 0; n < order.size(); ++n) {
    EXPECT_TRUE(list.doc_id(n) == id(n));
    EXPECT_EQ(positions_of(list, n), Positions(n % 4, static_cast<uint32_t>(n) * 200)) << n;
  }
}

TEST(PostingListTest, SortedPutsPostingsInIdOrderWithTheirPositions) {
  PostingList list;
  ASSERT_TRUE(list.append(id(5), Positions{50}));
  ASSERT_TRUE(list.append(id(2), Positions{20, 21}));
  ASSERT_TRUE(list.append(id(9), Positions{}));
  ASSERT_TRUE(list.append(id(1), Positions{10}));
  EXPECT_FALSE(list.is_sorted());
  const PostingList sorted = list.sorted();
  ASSERT_EQ(sorted.size(), 4u);
  EXPECT_TRUE(sorted.is_sorted());
  const std::pair<uint64_t, Positions> expected[] = {{1, {10}}, {2, {20, 21}}, {5, {50}}, {9, {}}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_TRUE(sorted.doc_id(i) == id(expected[i].first));
    EXPECT_EQ(positions_of(sorted, i), expected[i].second);
  }
}

// The parts of an array laid end to end.
std::vector<uint8_t> joined(const PostingList::Parts& parts) {
  std::vector<uint8_t> out(parts[0].begin(), parts[0].end());
  out.insert(out.end(), parts[1].begin(), parts[1].end());
  return out;
}

void expect_same_postings(const PostingList& list, const PostingList& expected, const char* name) {
  ASSERT_EQ(list.size(), expected.size()) << name;
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(list.doc_id(i) == expected.doc_id(i)) << name << i;
    EXPECT_EQ(positions_of(list, i), positions_of(expected, i)) << name << i;
    EXPECT_EQ(list.position_count(i), expected.position_count(i)) << name << i;
  }
  for (uint64_t n = 0; n < 12; ++n) {
    for (size_t from = 0; from <= expected.size(); ++from) {
      EXPECT_EQ(list.lower_bound(id(n), from), expected.lower_bound(id(n), from)) << name << n;
    }
  }
}

// A borrowed list reads another list's arrays in place. Appends go after them, to the list's own
// arrays, and any other change copies them first: the arrays it borrowed stay as they were. Both
// parts laid end to end make the list again, as a snapshot writes it.
TEST(PostingListTest, BorrowedListReadsInPlaceAndAppendsBesideIt) {
  PostingList source;
  for (uint64_t n : {2, 4, 6}) ASSERT_TRUE(source.append(id(n), Positions{uint32_t(n), 300}));
  const std::vector<uint8_t> entries = joined(source.entry_parts());
  const std::vector<uint8_t> positions = joined(source.position_parts());
  using Change = void (*)(PostingList&);
  const std::tuple<const char*, Change, bool> changes[] = {
      {"append", [](PostingList& l) { ASSERT_TRUE(l.append(id(8), Positions{1, 900})); }, true},
      {"two appends", [](PostingList& l) {
         ASSERT_TRUE(l.insert(id(8), Positions{1}));
         ASSERT_TRUE(l.append(id(9), Positions{}));
       }, true},
      {"insert", [](PostingList& l) { ASSERT_TRUE(l.insert(id(3), Positions{1})); }, false},
      {"append, then insert", [](PostingList& l) {
         ASSERT_TRUE(l.append(id(10), Positions{7}));
         ASSERT_TRUE(l.insert(id(5), Positions{1}));
       }, false},
      {"remove", [](PostingList& l) { l.remove_if([](uint128 d) { return d == id(4); }, [](uint128) {}); }, false},
  };
  for (const auto& [name, change, still_borrowed] : changes) {
    auto list = PostingList::borrowing(entries, positions);
    ASSERT_TRUE(list.has_value()) << name;
    EXPECT_TRUE(list->borrowed());
    EXPECT_EQ(list->entry_parts()[0].data(), entries.data()) << name;
    PostingList expected = source;
    change(expected);
    change(*list);
    EXPECT_EQ(list->borrowed(), still_borrowed) << name;
    expect_same_postings(*list, expected, name);
    expect_same_postings(PostingList(*list), expected, name);
    const std::vector<uint8_t> laid_entries = joined(list->entry_parts());
    const std::vector<uint8_t> laid_positions = joined(list->position_parts());
    auto laid = PostingList::borrowing(laid_entries, laid_positions);
    ASSERT_TRUE(laid.has_value()) << name;
    expect_same_postings(*laid, expected, name);
    EXPECT_EQ(joined(source.entry_parts()), entries) << name;
  }
}

// Arrays that do not make a list are refused, so that a borrowed list never reads outside them.
TEST(PostingListTest, BorrowingRefusesArraysThatAreNoList) {
  PostingList source;
  for (uint64_t n : {2, 4}) ASSERT_TRUE(source.append(id(n), Positions{1, 2}));
  const std::vector<uint8_t> entries = joined(source.entry_parts());
  const std::vector<uint8_t> positions = joined(source.position_parts());
  ASSERT_TRUE(PostingList::borrowing(entries, positions).has_value());
  const auto swapped = [&] {  // the two entries in the wrong order
    std::vector<uint8_t> out(entries.begin() + 20, entries.end());
    out.insert(out.end(), entries.begin(), entries.begin() + 20);
    return out;
  }();
  std::vector<uint8_t> longer = positions;
  longer.push_back(0);
  std::vector<uint8_t> misaligned(entries.size() + 1);
  std::copy(entries.begin(), entries.end(), misaligned.begin() + 1);
  const std::pair<const char*, std::pair<std::span<const uint8_t>, std::span<const uint8_t>>>
      cases[] = {
          {"no entries", {{}, {}}},
          {"a part entry", {std::span(entries).first(30), positions}},
          {"bytes after the last end", {entries, longer}},
          {"positions short of the last end", {entries, std::span(positions).first(3)}},
          {"ids not ascending", {swapped, positions}},
          {"entries not 4-aligned", {std::span(misaligned).subspan(1), positions}},
      };
  for (const auto& [name, arrays] : cases) {
    EXPECT_FALSE(PostingList::borrowing(arrays.first, arrays.second).has_value()) << name;
  }
}

// Entries checked from a copy given a piece at a time make the list borrowing them; damage in
// any piece, or a check of other entries than those borrowed, refuses it.
TEST(PostingListTest, ACheckOfACopyInPiecesDecidesAsBorrowingDoes) {
  PostingList source;
  for (uint64_t n = 1; n <= 5; ++n) ASSERT_TRUE(source.append(id(2 * n), Positions{uint32_t(n), 9}));
  const std::vector<uint8_t> entries = joined(source.entry_parts());
  const std::vector<uint8_t> positions = joined(source.position_parts());
  std::vector<uint8_t> repeated = entries;  // entry 4 with the id of entry 3, its end kept
  std::copy(entries.begin() + 40, entries.begin() + 56, repeated.begin() + 60);
  auto check_of = [](std::span<const uint8_t> copy, size_t piece) {
    PostingList::EntryCheck check;
    for (size_t at = 0; at < copy.size(); at += piece) {
      check.add(copy.subspan(at, std::min(piece, copy.size() - at)));
    }
    return check;
  };
  for (size_t piece : {size_t{20}, size_t{40}, size_t{60}, entries.size()}) {
    auto list = PostingList::borrowing(entries, positions, {}, check_of(entries, piece));
    ASSERT_TRUE(list.has_value()) << piece;
    EXPECT_EQ(list->size(), 5u);
    EXPECT_EQ(list->last_doc_id(), id(10));
    EXPECT_EQ(positions_of(*list, 4), (Positions{5, 9}));
    EXPECT_FALSE(PostingList::borrowing(entries, positions, {}, check_of(repeated, piece))) << piece;
  }
  EXPECT_FALSE(PostingList::borrowing(entries, positions, {},
                                      check_of(std::span(entries).first(80), 20)));
}

}  // namespace
}  // namespace tarnwick::inverted
