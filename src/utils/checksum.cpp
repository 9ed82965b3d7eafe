#include "utils/checksum.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tarnwick::utils {

namespace {

constexpr uint64_t kOdd1 = 0x9E3779B97F4A7C15u;
constexpr uint64_t kOdd2 = 0xBF58476D1CE4E5B9u;
constexpr uint64_t kOdd3 = 0x94D049BB133111EBu;

uint64_t word_at(const uint8_t* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
  return word;
}

uint64_t fold(uint64_t lane, uint64_t word) { return std::rotl((lane ^ word) * kOdd1, 29); }

// splitmix64's finaliser: every input bit reaches every output bit.
uint64_t finish_mix(uint64_t h) {
  h = (h ^ (h >> 30)) * kOdd2;
  h = (h ^ (h >> 27)) * kOdd3;
  return h ^ (h >> 31);
}

}  // namespace

Checksum64::Checksum64(uint64_t seed) : lanes_{seed ^ kOdd1, seed ^ kOdd2, seed ^ kOdd3, seed} {}

Checksum64& Checksum64::add(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return *this;  // whose data() may be null, which memcpy may not take
  size_ += bytes.size();
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
  if (buffered_ > 0) {
    const size_t taken = std::min(left, sizeof block_ - buffered_);
    std::memcpy(block_ + buffered_, p, taken);
    buffered_ += taken;
    p += taken;
    left -= taken;
    if (buffered_ < sizeof block_) return *this;
    for (int i = 0; i < 4; ++i) lanes_[i] = fold(lanes_[i], word_at(block_ + 8 * i));
    buffered_ = 0;
  }
  for (; left >= 32; p += 32, left -= 32) {
    for (int i = 0; i < 4; ++i) lanes_[i] = fold(lanes_[i], word_at(p + 8 * i));
  }
  std::memcpy(block_, p, left);
  buffered_ = left;
  return *this;
}

uint64_t Checksum64::finish() const {
  uint64_t lanes[4] = {lanes_[0], lanes_[1], lanes_[2], lanes_[3]};
  const uint8_t* p = block_;
  size_t left = buffered_;
  for (int i = 0; left >= 8; p += 8, left -= 8, ++i) lanes[i] = fold(lanes[i], word_at(p));
  uint8_t tail[8] = {};
  if (left > 0) std::memcpy(tail, p, left);
  uint64_t h = finish_mix(lanes[0] ^ word_at(tail));
  for (int i = 1; i < 4; ++i) h = finish_mix(h ^ lanes[i]);
  return finish_mix(h ^ size_);
}

uint64_t checksum64(std::span<const uint8_t> bytes, uint64_t seed) {
  return Checksum64(seed).add(bytes).finish();
}

}  // namespace tarnwick::utils
