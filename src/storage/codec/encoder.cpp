#include "storage/codec/encoder.hpp"

#include <bit>
#include <cstring>

#include "utils/utf8.hpp"

namespace tarnwick::storage {

namespace {

constexpr uint8_t kMarker16 = 0xFB;
constexpr uint8_t kMarker32 = 0xFC;
constexpr uint8_t kMarker64 = 0xFD;
constexpr uint8_t kMarker128 = 0xFE;

// Appended in one piece: the index log writes a 16-byte document id per posting.
void put_le(std::string& out, uint128 value, size_t width) {
  char bytes[16];
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(bytes, &value, sizeof bytes);
  } else {
    for (size_t i = 0; i < width; ++i) {
      bytes[i] = static_cast<char>(static_cast<uint8_t>(value >> (8 * i)));
    }
  }
  out.append(bytes, width);
}

}  // namespace

size_t varint_size(uint128 value) {
  if (value <= 250) return 1;
  if (value <= UINT16_MAX) return 3;
  if (value <= UINT32_MAX) return 5;
  if (value <= UINT64_MAX) return 9;
  return 17;
}

void Encoder::wide_varint(uint128 value) {
  if (value <= UINT16_MAX) {
    u8(kMarker16);
    put_le(out_, value, 2);
  } else if (value <= UINT32_MAX) {
    u8(kMarker32);
    put_le(out_, value, 4);
  } else if (value <= UINT64_MAX) {
    u8(kMarker64);
    put_le(out_, value, 8);
  } else {
    u8(kMarker128);
    put_le(out_, value, 16);
  }
}

void Encoder::f64(double value) { put_le(out_, std::bit_cast<uint64_t>(value), 8); }

void Encoder::optional_string(const std::optional<std::string>& text) {
  if (!text) {
    u8(0);
    return;
  }
  u8(1);
  string(*text);
}

utils::Status<EncodeError> Encoder::path(const std::filesystem::path& path) {
  const std::string& native = path.native();
  if (utils::check_utf8(native)) return utils::fail(EncodeError(InvalidPathCharacters{}));
  string(native);
  return {};
}

utils::Status<EncodeError> write_encoded(utils::File& file, std::string_view encoded) {
  size_t written = 0;
  auto status = file.write_all(utils::as_bytes(encoded), &written);
  if (!status) return utils::fail(EncodeError(EncodeIo{std::move(status.error()), written}));
  return {};
}

}  // namespace tarnwick::storage
