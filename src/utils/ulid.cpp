#include "utils/ulid.hpp"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace tarnwick::utils {

namespace {

constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";
constexpr int kRandomBits = 80;
constexpr uint128 kRandomMask = (uint128{1} << kRandomBits) - 1;
constexpr uint64_t kTimestampMask = (uint64_t{1} << 48) - 1;

// The value of a base32 digit of either case, or -1.
constexpr std::array<int8_t, 256> make_digit_values() {
  std::array<int8_t, 256> values{};
  for (auto& v : values) v = -1;
  for (int i = 0; i < 32; ++i) {
    const char c = kAlphabet[i];
    values[static_cast<uint8_t>(c)] = static_cast<int8_t>(i);
    if (c >= 'A' && c <= 'Z') values[static_cast<uint8_t>(c - 'A' + 'a')] = static_cast<int8_t>(i);
  }
  return values;
}

constexpr std::array<int8_t, 256> kDigitValues = make_digit_values();

UlidError decode_error(UlidError::DecodeReason reason) { return UlidError{reason}; }

}  // namespace

std::string ulid_to_string(uint128 id) {
  std::string text(kUlidTextLength, '0');
  for (size_t i = kUlidTextLength; i-- > 0;) {
    text[i] = kAlphabet[static_cast<size_t>(id & 31)];
    id >>= 5;
  }
  return text;
}

Result<uint128, UlidError> ulid_from_string(std::string_view text) {
  if (text.size() != kUlidTextLength) {
    return fail(decode_error(UlidError::DecodeReason::InvalidLength));
  }
  uint128 id = 0;
  for (char c : text) {
    const int8_t digit = kDigitValues[static_cast<uint8_t>(c)];
    if (digit < 0) return fail(decode_error(UlidError::DecodeReason::InvalidCharacter));
    id = (id << 5) | static_cast<uint128>(digit);  // the shift drops the 2 bits above 128
  }
  return id;
}

std::array<uint8_t, 16> ulid_to_bytes(uint128 id) {
  std::array<uint8_t, 16> bytes;
  for (size_t i = 16; i-- > 0;) {
    bytes[i] = static_cast<uint8_t>(id);
    id >>= 8;
  }
  return bytes;
}

uint128 ulid_from_bytes(const std::array<uint8_t, 16>& bytes) {
  uint128 id = 0;
  for (uint8_t b : bytes) id = (id << 8) | b;
  return id;
}

uint128 os_random_bits() {
  // One getrandom() call serves 25 ids.
  thread_local std::array<uint8_t, 250> pool;
  thread_local size_t used = pool.size();
  constexpr size_t kTake = kRandomBits / 8;
  if (used + kTake > pool.size()) {
    size_t filled = 0;
    while (filled < pool.size()) {
      const ssize_t n = ::getrandom(pool.data() + filled, pool.size() - filled, 0);
      if (n > 0) {
        filled += static_cast<size_t>(n);
      } else if (n < 0 && errno != EINTR) {
        // The id enumeration has no kind for this, and getrandom() on a supported kernel only
        // fails for bad arguments; the method wrapper turns it into SystemError.
        throw std::system_error(errno, std::generic_category(), "getrandom");
      }
    }
    used = 0;
  }
  uint128 bits = 0;
  for (size_t i = 0; i < kTake; ++i) bits = (bits << 8) | pool[used + i];
  used += kTake;
  return bits;
}

Result<uint128, UlidError> UlidGenerator::generate() {
  // Milliseconds past 48 bits (after the year 10889) cannot be stored; cut to 48 bits they read as
  // a clock gone back, so ids still increase.
  const uint64_t now =
      static_cast<uint64_t>(clock_().value_or(0) / kNanosPerMilli) & kTimestampMask;
  const auto last_timestamp = static_cast<uint64_t>(last_ >> kRandomBits);
  if (now > last_timestamp) {
    last_ = (static_cast<uint128>(now) << kRandomBits) | (random_() & kRandomMask);
  } else {
    if ((last_ & kRandomMask) == kRandomMask) return fail(UlidError{UlidError::Monotonic{}});
    ++last_;
  }
  return last_;
}

}  // namespace tarnwick::utils
