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

// Writes the low `width` bytes of `value`, least significant first, at `out`, which has room for
// 16: the bytes past `width` may be written too.
void put_le(uint8_t* out, uint128 value, size_t width) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &value, sizeof value);
  } else {
    for (size_t i = 0; i < width; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

}  // namespace

size_t put_wide_varint(uint8_t* out, uint128 value) {
  // A marker, then the value in the fewest of 2, 4, 8 or 16 bytes.
  size_t width = 16;
  uint8_t marker = kMarker128;
  if (value <= UINT16_MAX) {
    width = 2;
    marker = kMarker16;
  } else if (value <= UINT32_MAX) {
    width = 4;
    marker = kMarker32;
  } else if (value <= UINT64_MAX) {
    width = 8;
    marker = kMarker64;
  }
  out[0] = marker;
  put_le(out + 1, value, width);
  return 1 + width;
}

void Encoder::f64(double value) {
  uint8_t bytes[16];
  put_le(bytes, std::bit_cast<uint64_t>(value), 8);
  out_.append(reinterpret_cast<const char*>(bytes), 8);
}

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
