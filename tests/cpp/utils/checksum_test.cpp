#include "utils/checksum.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace tarnwick::utils {
namespace {

// Handed over in parts of every size, the bytes check as they do laid end to end.
TEST(Checksum64, PartsCheckAsTheirConcatenation) {
  std::mt19937 random(3);
  std::vector<uint8_t> bytes(300);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  for (size_t size : {size_t{0}, size_t{7}, size_t{31}, size_t{32}, size_t{33}, size_t{300}}) {
    const std::span<const uint8_t> all(bytes.data(), size);
    const uint64_t whole = checksum64(all, 9);
    for (int trial = 0; trial < 50; ++trial) {
      Checksum64 parts(9);
      for (size_t at = 0; at < size;) {
        const size_t part = std::min<size_t>(size - at, random() % 40);
        parts.add(all.subspan(at, part));
        at += part;
      }
      ASSERT_EQ(parts.finish(), whole) << size;
    }
    EXPECT_NE(checksum64(all, 8), whole) << "the seed counts";
  }
}

}  // namespace
}  // namespace tarnwick::utils
