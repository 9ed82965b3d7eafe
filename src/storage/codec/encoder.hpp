// Encoder: writes values in the record encoding, appending to a byte buffer.
//
// The encoding is not self-describing; a reader must know which record it reads.
//   unsigned integer (32, 64, 128 bits), length, count: varint, little-endian:
//     0..=250             the value as one byte
//     251..=65535         0xFB, 2 bytes
//     ..=2^32-1           0xFC, 4 bytes
//     ..=2^64-1           0xFD, 8 bytes
//     ..=2^128-1          0xFE, 16 bytes
//     (0xFF is reserved and never written; the shortest form is always written)
//   byte:               itself
//   f64:                IEEE-754 bits, 8 bytes little-endian
//   fixed array of N:   the N bytes
//   string, file path:  varint byte length, then the UTF-8 bytes
//   optional value:     0 when absent; 1 then the value
//   sequence, map:      varint count, then the elements (a map: key then value per entry)
//   record:             its fields in declared order, nothing between them
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "storage/codec/coding_errors.hpp"
#include "utils/file.hpp"
#include "utils/result.hpp"

namespace tarnwick::storage {

using uint128 = unsigned __int128;

// The most a varint takes, and the most that of a 32-bit value does.
inline constexpr size_t kMaxVarintSize = 17;
inline constexpr size_t kMaxVarint32Size = 5;
// Writes the varint of a value above 250 at `out`, which has room for kMaxVarintSize bytes, and
// gives the varint's size; the bytes after it, up to kMaxVarintSize, may be written too.
size_t put_wide_varint(uint8_t* out, uint128 value);
// The same for any value.
inline size_t put_varint(uint8_t* out, uint128 value) {
  if (value <= 250) {
    *out = static_cast<uint8_t>(value);
    return 1;
  }
  return put_wide_varint(out, value);
}

class Encoder {
 public:
  // Appends to `out`, which the encoder does not own.
  explicit Encoder(std::string& out) : out_(out) {}

  void u8(uint8_t value) { out_.push_back(static_cast<char>(value)); }
  // Inline for the one-byte values that most are (positions, lengths, counts).
  void varint(uint128 value) {
    if (value <= 250) {
      u8(static_cast<uint8_t>(value));
    } else {
      wide_varint(value);
    }
  }
  void f64(double value);
  void bytes(std::span<const uint8_t> bytes) {
    out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  void string(std::string_view text) {
    varint(text.size());
    out_.append(text);
  }
  void optional_string(const std::optional<std::string>& text);
  // Fails with InvalidPathCharacters when the path is not valid UTF-8; nothing is appended then.
  utils::Status<EncodeError> path(const std::filesystem::path& path);

 private:
  // The varint of a value above 250.
  void wide_varint(uint128 value) {
    uint8_t bytes[kMaxVarintSize];
    out_.append(reinterpret_cast<const char*>(bytes), put_wide_varint(bytes, value));
  }

  std::string& out_;
};

// Writes encoded bytes straight to a file; a failed write is the Io kind, with the bytes written.
utils::Status<EncodeError> write_encoded(utils::File& file, std::string_view encoded);

}  // namespace tarnwick::storage
