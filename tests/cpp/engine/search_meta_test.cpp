#include "engine/search_meta.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "inverted/index_fixture.hpp"
#include "storage/codec/encoder.hpp"

namespace tarnwick::engine {
namespace {

using index_testing::TestClock;
using index_testing::read_bytes;
using index_testing::TempDir;
using index_testing::write_bytes;
using Kind = BincodePersistenceError::Kind;

std::string encoded(double value) {
  std::string out;
  storage::Encoder(out).f64(value);
  return out;
}

class SearchMetaTest : public ::testing::Test {
 protected:
  std::filesystem::path path() const { return dir_.path() / "meta"; }

  SearchMeta open() {
    auto meta = SearchMeta::open(dir_.path(), config_, clock_.clock());
    EXPECT_TRUE(meta.ok());
    return std::move(*meta);
  }

  TempDir dir_;
  TestClock clock_;
  std::shared_ptr<Config> config_ = std::make_shared<Config>();
};

TEST_F(SearchMetaTest, OpensWhatTheFileHolds) {
  EXPECT_EQ(open().avg_doc_len(), 1.0);
  EXPECT_EQ(read_bytes(path()), "");  // created empty
  write_bytes(path(), encoded(3.25));
  EXPECT_EQ(open().avg_doc_len(), 3.25);
  write_bytes(path(), encoded(4.5) + "tail");
  EXPECT_EQ(open().avg_doc_len(), 4.5);
  // Values no mean length can take, and files too short to hold one.
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), -2.0,
                     std::numeric_limits<double>::infinity()}) {
    write_bytes(path(), encoded(bad));
    EXPECT_EQ(open().avg_doc_len(), 1.0) << bad;
  }
  for (size_t size = 1; size < 8; ++size) {
    write_bytes(path(), encoded(2.0).substr(0, size));
    EXPECT_EQ(open().avg_doc_len(), 1.0) << size;
  }
}

TEST_F(SearchMetaTest, RecomputedMeanReportsOnlyRealChanges) {
  SearchMeta meta = open();
  EXPECT_TRUE(meta.recompute(4, 10));
  EXPECT_EQ(meta.avg_doc_len(), 2.5);
  EXPECT_FALSE(meta.recompute(4, 10));
  EXPECT_TRUE(meta.recompute(0, 0));
  EXPECT_EQ(meta.avg_doc_len(), 1.0);  // an empty collection's mean
  // A mean kept up by updates differs from the recomputed one only by rounding.
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(meta.update_avg_doc_len(i, i + 1, 3 * i + 1).ok());
  EXPECT_FALSE(meta.recompute(7, 1 + 4 + 7 + 10 + 13 + 16 + 19));
}

TEST_F(SearchMetaTest, ClockBeforeTheEpochFailsTheOpening) {
  clock_.set_before_epoch();
  auto meta = SearchMeta::open(dir_.path(), config_, clock_.clock());
  ASSERT_FALSE(meta.ok());
  EXPECT_EQ(meta.error().kind(), Kind::Clock);
}

TEST_F(SearchMetaTest, SavesAfterEnoughUpdatesOrSeconds) {
  config_->metadata_save_after_operations = 3;
  config_->metadata_save_after_seconds = 10;
  SearchMeta meta = open();
  ASSERT_TRUE(meta.update_avg_doc_len(0, 1, 4).ok());
  ASSERT_TRUE(meta.update_avg_doc_len(1, 2, 6).ok());
  EXPECT_EQ(read_bytes(path()), "");
  ASSERT_TRUE(meta.update_avg_doc_len(2, 3, 2).ok());
  EXPECT_EQ(read_bytes(path()), encoded(4.0));
  clock_.advance_seconds(9);
  ASSERT_TRUE(meta.update_avg_doc_len(3, 4, 8).ok());
  EXPECT_EQ(read_bytes(path()), encoded(4.0));
  clock_.advance_seconds(1);
  ASSERT_TRUE(meta.update_avg_doc_len(4, 5, 0).ok());
  EXPECT_EQ(read_bytes(path()), encoded(4.0));  // (4 * 5 + 0) / 5, due by the clock
  ASSERT_TRUE(meta.update_avg_doc_len(5, 4, -20).ok());
  EXPECT_EQ(meta.avg_doc_len(), 0.0);
  ASSERT_TRUE(meta.save().ok());
  EXPECT_EQ(read_bytes(path()), encoded(0.0));
  EXPECT_FALSE(std::filesystem::exists(path().string() + ".tmp"));
}

TEST_F(SearchMetaTest, MeanStaysTheMeanOfWhatItCovers) {
  // Random additions and removals, including removing everything: the running mean follows
  // the recomputed one, and an empty collection falls back to 1.0.
  config_->metadata_save_after_operations = UINT32_MAX;
  config_->metadata_save_after_seconds = UINT64_MAX;
  SearchMeta meta = open();
  std::mt19937 random(5);
  std::vector<int64_t> lengths;
  for (int step = 0; step < 2000; ++step) {
    const uint64_t before = lengths.size();
    if (lengths.empty() || random() % 3 != 0) {
      lengths.push_back(random() % 50);
      ASSERT_TRUE(meta.update_avg_doc_len(before, before + 1, lengths.back()).ok());
    } else {
      const size_t removed = 1 + random() % lengths.size();
      int64_t sum = 0;
      for (size_t i = 0; i < removed; ++i) {
        sum += lengths.back();
        lengths.pop_back();
      }
      ASSERT_TRUE(meta.update_avg_doc_len(before, lengths.size(), -sum).ok());
    }
    if (lengths.empty()) {
      ASSERT_EQ(meta.avg_doc_len(), 1.0);
      continue;
    }
    double mean = 0;
    for (int64_t l : lengths) mean += static_cast<double>(l);
    mean /= static_cast<double>(lengths.size());
    ASSERT_NEAR(meta.avg_doc_len(), mean, 1e-6 * (1 + mean)) << step;
    ASSERT_GE(meta.avg_doc_len(), 0.0);
  }
}

TEST_F(SearchMetaTest, FailedSaveKeepsTheMeanAndRetries) {
  config_->metadata_save_after_operations = 1;
  SearchMeta meta = open();
  std::filesystem::remove(path());
  std::filesystem::create_directory(path());
  auto failed = meta.update_avg_doc_len(0, 1, 7);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().kind(), Kind::Io);
  EXPECT_EQ(meta.avg_doc_len(), 7.0);
  std::filesystem::remove(path());
  ASSERT_TRUE(meta.update_avg_doc_len(1, 2, 1).ok());
  EXPECT_EQ(read_bytes(path()), encoded(4.0));
}

}  // namespace
}  // namespace tarnwick::engine
