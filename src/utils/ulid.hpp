// Document ids: 128-bit ULIDs. The top 48 bits are milliseconds since the UNIX epoch, the low 80
// bits random. The text form is 26 characters of Crockford base32, most significant 5-bit group
// first, so the first character carries only the top 3 bits.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "utils/clock.hpp"
#include "utils/result.hpp"
#include "utils/ulid_error.hpp"

namespace tarnwick::utils {

constexpr size_t kUlidTextLength = 26;

// Always upper case, always 26 characters.
std::string ulid_to_string(uint128 id);

// Exactly 26 base32 digits of either case (I, L, O and U are not digits), else "invalid length" or
// "invalid character". The 130 decoded bits are cut to the low 128: a first digit above '7' loses
// its top bits.
Result<uint128, UlidError> ulid_from_string(std::string_view text);

// The stored form: 16 bytes, most significant first.
std::array<uint8_t, 16> ulid_to_bytes(uint128 id);
uint128 ulid_from_bytes(const std::array<uint8_t, 16>& bytes);

// 80 random bits in the low bits of the value; higher bits are ignored.
using RandomBits = std::function<uint128()>;

// Random bits from the operating system's cryptographic source, buffered per thread.
uint128 os_random_bits();

// Issues strictly increasing ids, all above `after` (the largest id already stored, so that ids
// keep increasing across sessions whatever the clock says). A new millisecond starts a fresh
// random part; within the same millisecond, or when the clock went back, the next id is the last
// one plus 1.
class UlidGenerator {
 public:
  explicit UlidGenerator(Clock clock = system_time_nanos, RandomBits random = os_random_bits,
                         uint128 after = 0)
      : clock_(std::move(clock)), random_(std::move(random)), last_(after) {}

  // Fails with the Monotonic kind when the last id's random bits are all ones; the last id stays
  // unchanged then.
  Result<uint128, UlidError> generate();

 private:
  Clock clock_;
  RandomBits random_;
  uint128 last_;  // the last id issued, or `after`
};

}  // namespace tarnwick::utils
