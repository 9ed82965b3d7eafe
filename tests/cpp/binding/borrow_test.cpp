#include "binding/borrow.hpp"

#include <gtest/gtest.h>

namespace tarnwick {
namespace {

TEST(BorrowFlag, SharedBorrowsStackAndBlockExclusive) {
  BorrowFlag flag;
  auto first = flag.shared();
  auto second = flag.shared();
  ASSERT_TRUE(first.guard && second.guard);
  auto writer = flag.exclusive();
  EXPECT_FALSE(writer.guard);
  EXPECT_STREQ(BorrowFlag::message(writer.conflict), "Already borrowed");
  first.guard.reset();
  EXPECT_FALSE(flag.exclusive().guard);  // one shared borrow is still held
  second.guard.reset();
  EXPECT_TRUE(flag.exclusive().guard);
}

TEST(BorrowFlag, ExclusiveBorrowBlocksEveryOtherRequest) {
  BorrowFlag flag;
  auto writer = flag.exclusive();
  ASSERT_TRUE(writer.guard);
  auto reader = flag.shared();
  EXPECT_FALSE(reader.guard);
  EXPECT_STREQ(BorrowFlag::message(reader.conflict), "Already mutably borrowed");
  EXPECT_FALSE(flag.exclusive().guard);
  writer.guard.reset();
  EXPECT_TRUE(flag.shared().guard);
}

TEST(BorrowFlag, ReleasedOnEveryPathOut) {
  BorrowFlag flag;
  auto run = [&](bool early) -> bool {
    auto attempt = flag.exclusive();
    if (!attempt.guard) return false;
    if (early) return true;
    throw 1;
  };
  EXPECT_TRUE(run(true));
  EXPECT_THROW(run(false), int);
  EXPECT_TRUE(flag.exclusive().guard);
  BorrowFlag::Attempt moved = flag.shared();
  { auto holder = std::move(moved); }
  EXPECT_TRUE(flag.exclusive().guard);
}

}  // namespace
}  // namespace tarnwick
