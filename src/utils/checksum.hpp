// checksum64: a 64-bit checksum of a byte string, for telling a derived file written whole from
// one damaged or cut short. Four lanes each fold in every fourth 8-byte word by a multiply, which
// keeps the loop at several bytes a cycle; the lanes, the tail and the length are mixed at the
// end. Not cryptographic, but the same on every run and every build (absl's hash is seeded per
// process, so it cannot be stored).
#pragma once

#include <cstdint>
#include <span>

namespace tarnwick::utils {

uint64_t checksum64(std::span<const uint8_t> bytes, uint64_t seed = 0);

// checksum64 of bytes handed over in parts: the same as of the parts laid end to end.
class Checksum64 {
 public:
  explicit Checksum64(uint64_t seed = 0);
  Checksum64& add(std::span<const uint8_t> bytes);
  uint64_t finish() const;

 private:
  uint64_t lanes_[4];
  uint8_t block_[32];  // the bytes of a block not yet folded in
  size_t buffered_ = 0;
  uint64_t size_ = 0;
};

// Bytes at each end of a file's prefix that a stamp checks.
inline constexpr uint64_t kStampEnds = 4096;

// The stamp of an append-only file's prefix: a checksum of its first and last kStampEnds bytes
// (`head` and `tail`, which overlap in a short prefix). A prefix cut back, or a file written anew,
// no longer begins with the bytes a stamp taken earlier names.
inline uint64_t ends_checksum(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  return checksum64(tail, checksum64(head));
}

}  // namespace tarnwick::utils
