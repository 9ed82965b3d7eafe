#include "engine/writer_lock.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "temp_dir.hpp"

namespace tarnwick::engine {
namespace {

using test_support::TempDir;

TEST(WriterLock, TwoLocksOfOneProcessContendUntilTheHolderGoes) {
  TempDir dir;
  auto first = WriterLock::try_acquire(dir.path());
  ASSERT_TRUE(first.ok());
  ASSERT_TRUE(first->has_value());
  auto second = WriterLock::try_acquire(dir.path());
  ASSERT_TRUE(second.ok());
  EXPECT_FALSE(second->has_value());
  EXPECT_EQ(WriterLock::holder(dir.path()), ::getpid());

  *first = std::nullopt;  // closes the directory's descriptor
  EXPECT_EQ(WriterLock::holder(dir.path()), std::nullopt);
  auto third = WriterLock::try_acquire(dir.path());
  ASSERT_TRUE(third.ok());
  EXPECT_TRUE(third->has_value());
}

TEST(WriterLock, AMovedLockStaysHeld) {
  TempDir dir;
  auto taken = WriterLock::try_acquire(dir.path());
  ASSERT_TRUE(taken.ok() && taken->has_value());
  std::optional<WriterLock> moved = std::move(*taken);
  taken->reset();
  auto again = WriterLock::try_acquire(dir.path());
  ASSERT_TRUE(again.ok());
  EXPECT_FALSE(again->has_value());
}

TEST(WriterLock, OnlyAnExistingDirectoryCanBeLocked) {
  TempDir dir;
  auto missing = WriterLock::try_acquire(dir / "missing");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind, utils::IoErrorKind::NotFound);
  EXPECT_EQ(missing.error().path, dir / "missing");

  std::ofstream(dir / "file") << "x";
  auto file = WriterLock::try_acquire(dir / "file");
  ASSERT_FALSE(file.ok());
  EXPECT_EQ(file.error().kind, utils::IoErrorKind::NotADirectory);
  EXPECT_EQ(WriterLock::holder(dir / "missing"), std::nullopt);
}

TEST(WriterLock, HeldElsewhereNamesTheDirectoryAndTheHolderWhenKnown) {
  const auto known = held_elsewhere("/srv/engine", 4242);
  EXPECT_EQ(known.kind, utils::IoErrorKind::WouldBlock);
  EXPECT_EQ(known.to_string(),
            "/srv/engine is open for writing elsewhere, by process 4242 (os error 11)");
  EXPECT_EQ(known.path, std::filesystem::path("/srv/engine"));
  EXPECT_EQ(held_elsewhere("/srv/engine", std::nullopt).message,
            "/srv/engine is open for writing elsewhere");
}

}  // namespace
}  // namespace tarnwick::engine
