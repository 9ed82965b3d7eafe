#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "storage/codec/decoder.hpp"
#include "storage/codec/encoder.hpp"
#include "test_bytes.hpp"

namespace tarnwick::storage {
namespace {

using test_support::bytes;

std::string encode_varint(uint128 value) {
  std::string out;
  Encoder(out).varint(value);
  return out;
}

uint128 pow2(int n) { return uint128{1} << n; }

TEST(Varint, BoundaryValuesTakeTheShortestForm) {
  struct Case {
    uint128 value;
    std::string encoded;
  };
  const std::vector<Case> cases = {
      {0, bytes({0x00})},
      {250, bytes({0xFA})},
      {251, bytes({0xFB, 0xFB, 0x00})},
      {300, bytes({0xFB, 0x2C, 0x01})},
      {65535, bytes({0xFB, 0xFF, 0xFF})},
      {65536, bytes({0xFC, 0x00, 0x00, 0x01, 0x00})},
      {4294967295u, bytes({0xFC, 0xFF, 0xFF, 0xFF, 0xFF})},
      {4294967296u, bytes({0xFD, 0, 0, 0, 0, 1, 0, 0, 0})},
      {UINT64_MAX, bytes({0xFD, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {pow2(64), bytes({0xFE, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0})},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encode_varint(c.value), c.encoded);
    uint8_t in_place[kMaxVarintSize];
    const size_t size = put_varint(in_place, c.value);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(in_place), size), c.encoded);
    SliceDecoder decoder{SliceSource(c.encoded)};
    auto decoded = decoder.u128();
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(*decoded == c.value);
  }
}

TEST(Varint, WideValuesRoundTripInEveryField) {
  for (int shift = 0; shift < 128; ++shift) {
    for (uint128 value : {pow2(shift) - 1, pow2(shift), pow2(shift) + 1}) {
      const std::string encoded = encode_varint(value);
      SliceDecoder decoder{SliceSource(encoded)};
      auto decoded = decoder.u128();
      ASSERT_TRUE(decoded.ok());
      EXPECT_TRUE(*decoded == value) << shift;
      if (value <= UINT32_MAX) {
        SliceDecoder narrow{SliceSource(encoded)};
        EXPECT_EQ(*narrow.u32(), static_cast<uint32_t>(value));
      }
    }
  }
}

TEST(Varint, LongerFormThanNeededIsAccepted) {
  const std::string three = bytes({0xFB, 0x05, 0x00});
  SliceDecoder a{SliceSource(three)};
  EXPECT_EQ(*a.u32(), 5u);
  const std::string five = bytes({0xFC, 0x05, 0, 0, 0});
  SliceDecoder b{SliceSource(five)};
  EXPECT_EQ(*b.u64(), 5u);
}

TEST(Varint, MarkerWiderThanFieldIsInvalidIntegerType) {
  struct Case {
    std::string input;
    IntegerType field;
    const char* text;
  };
  const std::vector<Case> cases = {
      {bytes({0xFD}), IntegerType::U32, "InvalidIntegerType { expected: U32, found: U64 }"},
      {bytes({0xFE}), IntegerType::U32, "InvalidIntegerType { expected: U32, found: U128 }"},
      {bytes({0xFF}), IntegerType::U32, "InvalidIntegerType { expected: U32, found: Reserved }"},
      {bytes({0xFE}), IntegerType::U64, "InvalidIntegerType { expected: U64, found: U128 }"},
      {bytes({0xFE}), IntegerType::Usize, "InvalidIntegerType { expected: Usize, found: U128 }"},
      {bytes({0xFF}), IntegerType::U128, "InvalidIntegerType { expected: U128, found: Reserved }"},
  };
  for (const auto& c : cases) {
    SliceDecoder decoder{SliceSource(c.input)};
    std::string text;
    switch (c.field) {
      case IntegerType::U32: text = decoder.u32().error().to_string(); break;
      case IntegerType::U64: text = decoder.u64().error().to_string(); break;
      case IntegerType::Usize: text = decoder.length().error().to_string(); break;
      default: text = decoder.u128().error().to_string(); break;
    }
    EXPECT_EQ(text, c.text);
  }
}

// A record of every value kind, as the stores use them.
struct Sample {
  std::array<uint8_t, 16> id;
  std::optional<std::string> content;
  std::filesystem::path segment;
  uint64_t offset;
  uint32_t total;
  std::vector<uint32_t> token_ids;
  double average;
  uint128 posting_id;

  std::string encode() const {
    std::string out;
    Encoder encoder(out);
    encoder.bytes(id);
    encoder.optional_string(content);
    EXPECT_TRUE(encoder.path(segment).ok());
    encoder.varint(offset);
    encoder.varint(total);
    encoder.varint(token_ids.size());
    for (uint32_t t : token_ids) encoder.varint(t);
    encoder.f64(average);
    encoder.varint(posting_id);
    return out;
  }

  template <class Source>
  static DecodeResult<Sample> decode(Decoder<Source>& d) {
    Sample s;
    auto id = d.template fixed<16>();
    if (!id) return utils::fail(id.error());
    s.id = *id;
    auto content = d.optional_string();
    if (!content) return utils::fail(content.error());
    s.content = *content;
    auto segment = d.path();
    if (!segment) return utils::fail(segment.error());
    s.segment = *segment;
    auto offset = d.u64();
    if (!offset) return utils::fail(offset.error());
    s.offset = *offset;
    auto total = d.u32();
    if (!total) return utils::fail(total.error());
    s.total = *total;
    auto ids = d.template sequence<uint32_t>([](auto& inner) { return inner.u32(); });
    if (!ids) return utils::fail(ids.error());
    s.token_ids = *ids;
    auto average = d.f64();
    if (!average) return utils::fail(average.error());
    s.average = *average;
    auto posting_id = d.u128();
    if (!posting_id) return utils::fail(posting_id.error());
    s.posting_id = *posting_id;
    return s;
  }

  bool operator==(const Sample&) const = default;
};

Sample sample() {
  Sample s;
  for (int i = 0; i < 16; ++i) s.id[i] = static_cast<uint8_t>(0xF0 + i);
  s.content = "caf\xc3\xa9 au lait";
  s.segment = "/tmp/engine/1733000000000000000";
  s.offset = 70000;
  s.total = 251;
  s.token_ids = {0, 250, 251, 65536, 4294967295u};
  s.average = 12.625;
  s.posting_id = pow2(100) + 7;
  return s;
}

TEST(Record, RoundTripsAndIgnoresTrailingBytes) {
  const Sample original = sample();
  const std::string encoded = original.encode() + "trailing";
  SliceDecoder decoder{SliceSource(encoded)};
  auto decoded = Sample::decode(decoder);
  ASSERT_TRUE(decoded.ok()) << decoded.error().to_string();
  EXPECT_EQ(*decoded, original);
  EXPECT_EQ(decoder.source().remaining(), 8u);
}

TEST(Record, EveryProperPrefixFailsWithUnexpectedEnd) {
  const std::string encoded = sample().encode();
  for (size_t n = 0; n < encoded.size(); ++n) {
    SliceDecoder decoder{SliceSource(std::string_view(encoded).substr(0, n))};
    auto decoded = Sample::decode(decoder);
    ASSERT_FALSE(decoded.ok()) << n;
    EXPECT_TRUE(std::holds_alternative<UnexpectedEnd>(decoded.error().detail())) << n;
  }
}

TEST(Record, FromFileMatchesFromBytesAndShortFileIsIo) {
  const std::string encoded = sample().encode();
  const auto path = std::filesystem::temp_directory_path() / "tarnwick_encoding_test.bin";
  for (size_t n : {encoded.size(), size_t{20}, size_t{0}}) {
    {
      auto file = utils::File::create(path);
      ASSERT_TRUE(file.ok());
      ASSERT_TRUE(write_encoded(*file, std::string_view(encoded).substr(0, n)).ok());
    }
    auto file = utils::File::open_read(path);
    ASSERT_TRUE(file.ok());
    auto source = FileSource::open(*file);
    ASSERT_TRUE(source.ok());
    FileDecoder decoder{std::move(*source)};
    auto decoded = Sample::decode(decoder);
    if (n == encoded.size()) {
      ASSERT_TRUE(decoded.ok());
      EXPECT_EQ(*decoded, sample());
    } else {
      ASSERT_FALSE(decoded.ok());
      EXPECT_TRUE(std::holds_alternative<DecodeIo>(decoded.error().detail()));
    }
  }
  auto file = utils::File::open_read(path);
  auto source = FileSource::open(*file);
  FileDecoder decoder{std::move(*source)};
  EXPECT_EQ(decoder.u32().error().to_string(),
            "Io { inner: Error { kind: UnexpectedEof, message: \"failed to fill whole buffer\" }, "
            "additional: 1 }");
  std::filesystem::remove(path);
}

TEST(Strings, EmptyAbsentAndPresentForms) {
  std::string out;
  Encoder encoder(out);
  encoder.string("");
  encoder.optional_string(std::nullopt);
  encoder.optional_string(std::string());
  encoder.varint(0);  // an empty sequence or map is its zero count
  EXPECT_EQ(out, bytes({0x00, 0x00, 0x01, 0x00, 0x00}));
}

TEST(Strings, DecodingErrorsHaveTheirTextForms) {
  struct Case {
    std::string input;
    bool optional;
    const char* text;
  };
  const std::vector<Case> cases = {
      {bytes({5, 'a', 'b'}), false, "UnexpectedEnd { additional: 3 }"},
      {bytes({2}), true,
       "UnexpectedVariant { type_name: \"core::option::Option<alloc::string::String>\", "
       "allowed: Range { min: 0, max: 1 }, found: 2 }"},
      {bytes({4, 'a', 'b', 'c', 0xFF}), false,
       "Utf8 { inner: Utf8Error { valid_up_to: 3, error_len: Some(1) } }"},
      {bytes({3, 'a', 0xE2, 0x82}), false,
       "Utf8 { inner: Utf8Error { valid_up_to: 1, error_len: None } }"},
      {bytes({3, 0xED, 0xA0, 0x80}), false,
       "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(1) } }"},
      {bytes({3, 0xE2, 0x82, 'x'}), false,
       "Utf8 { inner: Utf8Error { valid_up_to: 0, error_len: Some(2) } }"},
      {bytes({0xFD, 1, 0, 0, 0, 0, 0, 0, 0}), false, "UnexpectedEnd { additional: 1 }"},
  };
  for (const auto& c : cases) {
    SliceDecoder decoder{SliceSource(c.input)};
    auto text = c.optional ? decoder.optional_string().error().to_string()
                           : decoder.string().error().to_string();
    EXPECT_EQ(text, c.text);
  }
}

TEST(FixedArrays, ShortInputReportsBytesMissing) {
  const std::string ten(10, 'x');
  SliceDecoder decoder{SliceSource(ten)};
  EXPECT_EQ(decoder.fixed<16>().error().to_string(), "UnexpectedEnd { additional: 6 }");
}

TEST(Sequences, HugeDeclaredCountFailsWithoutReserving) {
  // A count of 2^60 elements in a 10-byte input must end at the first missing element.
  std::string input = bytes({0xFD, 0, 0, 0, 0, 0, 0, 0, 0x10, 1});
  SliceDecoder decoder{SliceSource(input)};
  auto items = decoder.sequence<uint32_t>([](auto& d) { return d.u32(); });
  ASSERT_FALSE(items.ok());
  EXPECT_EQ(items.error().to_string(), "UnexpectedEnd { additional: 1 }");
}

TEST(Paths, NonUtf8PathCannotBeEncoded) {
  std::string out;
  auto status = Encoder(out).path(std::filesystem::path("bad\xff"));
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().to_string(), "InvalidPathCharacters");
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace tarnwick::storage
