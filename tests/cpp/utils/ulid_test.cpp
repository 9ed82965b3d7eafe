#include "utils/ulid.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace tarnwick::utils {
namespace {

constexpr uint128 kMax = ~uint128{0};
constexpr char kAlphabet[] = "0123456789ABCDEFGHJKMNPQRSTVWXYZ";

std::optional<UlidError::DecodeReason> reason_of(const Result<uint128, UlidError>& parsed) {
  if (parsed.ok()) return std::nullopt;
  return std::get<UlidError::DecodeReason>(parsed.error().detail);
}

TEST(UlidText, RendersFiveBitGroupsMostSignificantFirst) {
  EXPECT_EQ(ulid_to_string(0), "00000000000000000000000000");
  EXPECT_EQ(ulid_to_string(1), "00000000000000000000000001");
  EXPECT_EQ(ulid_to_string(32), "00000000000000000000000010");
  // The first character holds only the top 3 bits.
  EXPECT_EQ(ulid_to_string(uint128{7} << 125), "70000000000000000000000000");
  EXPECT_EQ(ulid_to_string(kMax), "7ZZZZZZZZZZZZZZZZZZZZZZZZZ");
}

TEST(UlidText, EveryDigitRoundTripsInEveryPosition) {
  for (int digit = 0; digit < 32; ++digit) {
    for (int position = 0; position < 25; ++position) {
      const uint128 id = uint128(digit) << (5 * position);
      const std::string text = ulid_to_string(id);
      EXPECT_EQ(text[25 - position], kAlphabet[digit]);
      std::string lower = text;
      for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (const auto& form : {text, lower}) {
        auto parsed = ulid_from_string(form);
        ASSERT_TRUE(parsed.ok()) << form;
        EXPECT_TRUE(*parsed == id) << form;
      }
    }
  }
}

TEST(UlidText, AFirstDigitAboveSevenLosesItsTopBits) {
  auto eight = ulid_from_string("80000000000000000000000001");
  ASSERT_TRUE(eight.ok());
  EXPECT_TRUE(*eight == 1);
  auto all_z = ulid_from_string("ZZZZZZZZZZZZZZZZZZZZZZZZZZ");
  ASSERT_TRUE(all_z.ok());
  EXPECT_TRUE(*all_z == kMax);
}

TEST(UlidText, WrongByteLengthIsInvalidLength) {
  for (const std::string text : {"", "0000000000000000000000000", "000000000000000000000000000",
                                 "!!!"}) {
    EXPECT_EQ(reason_of(ulid_from_string(text)), UlidError::DecodeReason::InvalidLength) << text;
  }
  EXPECT_EQ(UlidError{UlidError::DecodeReason::InvalidLength}.to_string(), "invalid length");
}

TEST(UlidText, NonDigitIsInvalidCharacter) {
  std::vector<std::string> texts = {std::string(26, '!')};
  // Crockford's look-alike letters are not digits here, in either case.
  for (char c : std::string("ILOUilou-_ \x7f")) {
    texts.push_back(std::string(25, '0') + c);
  }
  texts.push_back("\xC3\xA9" + std::string(24, '0'));  // 26 bytes, one of them not ASCII
  for (const auto& text : texts) {
    EXPECT_EQ(reason_of(ulid_from_string(text)), UlidError::DecodeReason::InvalidCharacter)
        << text;
  }
}

TEST(UlidBytes, StoredMostSignificantByteFirst) {
  const uint128 id = (uint128{0x0102030405060708} << 64) | 0x090A0B0C0D0E0F10;
  const std::array<uint8_t, 16> expected = {1, 2, 3, 4, 5, 6, 7, 8,
                                            9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(ulid_to_bytes(id), expected);
  EXPECT_TRUE(ulid_from_bytes(expected) == id);
}

// A generator over a clock and random source set by hand.
struct Scripted {
  std::shared_ptr<std::optional<uint128>> now_ms = std::make_shared<std::optional<uint128>>(0);
  std::shared_ptr<uint128> random = std::make_shared<uint128>(0);

  UlidGenerator generator(uint128 after = 0) const {
    return UlidGenerator(
        [now = now_ms]() -> std::optional<uint128> {
          if (!*now) return std::nullopt;
          return **now * kNanosPerMilli + 999'999;  // the sub-millisecond part is dropped
        },
        [random = random] { return *random; }, after);
  }
};

constexpr uint128 kRandomMask = (uint128{1} << 80) - 1;

TEST(UlidGenerator, NewMillisecondTakesTimestampAndFreshRandomBits) {
  Scripted script;
  auto generator = script.generator();
  *script.now_ms = 1'700'000'000'123;
  *script.random = kMax;  // bits above the low 80 are ignored
  auto id = generator.generate();
  ASSERT_TRUE(id.ok());
  EXPECT_TRUE(*id == ((uint128{1'700'000'000'123} << 80) | kRandomMask));
  *script.now_ms = 1'700'000'000'124;
  *script.random = 5;
  auto next = generator.generate();
  ASSERT_TRUE(next.ok());
  EXPECT_TRUE(*next == ((uint128{1'700'000'000'124} << 80) | 5));
}

TEST(UlidGenerator, SameMillisecondOrClockGoneBackAddsOne) {
  Scripted script;
  auto generator = script.generator();
  *script.now_ms = 1000;
  *script.random = 41;
  const uint128 first = *generator.generate();
  *script.random = 7;  // not used: the millisecond did not advance
  EXPECT_TRUE(*generator.generate() == first + 1);
  *script.now_ms = 999;
  EXPECT_TRUE(*generator.generate() == first + 2);
}

TEST(UlidGenerator, IdsStayAboveTheLargestStoredOneWhenTheClockIsBehindIt) {
  Scripted script;
  const uint128 stored = (uint128{2'000'000} << 80) | 77;
  auto generator = script.generator(stored);
  *script.now_ms = 1'000'000;  // a clock stepped back, or a directory from a clock ahead
  EXPECT_TRUE(*generator.generate() == stored + 1);
  *script.now_ms = 2'000'001;
  *script.random = 3;
  EXPECT_TRUE(*generator.generate() == ((uint128{2'000'001} << 80) | 3));
}

TEST(UlidGenerator, ClockBeforeEpochCountsAsMillisecondZero) {
  Scripted script;
  script.now_ms->reset();
  auto generator = script.generator();
  // The generator starts from zero, so the zero millisecond is not new: the id is 0 + 1.
  EXPECT_TRUE(*generator.generate() == 1);
  EXPECT_TRUE(*generator.generate() == 2);
}

TEST(UlidGenerator, RandomOverflowFailsAndKeepsLastId) {
  Scripted script;
  auto generator = script.generator();
  *script.now_ms = 1000;
  *script.random = kRandomMask;
  const uint128 first = *generator.generate();
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto overflow = generator.generate();
    ASSERT_FALSE(overflow.ok());
    EXPECT_EQ(overflow.error().kind(), UlidError::Kind::Monotonic);
    EXPECT_EQ(overflow.error().to_string(), "Ulid random bits would overflow");
  }
  *script.now_ms = 1001;
  *script.random = 0;
  auto later = generator.generate();
  ASSERT_TRUE(later.ok());
  EXPECT_TRUE(*later == (uint128{1001} << 80));
  EXPECT_TRUE(*later > first);
}

TEST(UlidRandom, BitsStayWithinEightyAndVaryAcrossPoolRefills) {
  std::vector<uint128> seen;
  for (int i = 0; i < 100; ++i) {
    const uint128 bits = os_random_bits();
    EXPECT_TRUE(bits <= kRandomMask);
    for (uint128 earlier : seen) EXPECT_FALSE(earlier == bits);
    seen.push_back(bits);
  }
}

}  // namespace
}  // namespace tarnwick::utils
