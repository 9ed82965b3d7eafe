// Names, sizes and byte order of the two index logs, shared by their writer and their reader. The
// byte layouts are described at the top of index_logs.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnwick::inverted {

using uint128 = unsigned __int128;

// Files in `dir`/index.
inline constexpr char kIndexLogName[] = "index";
inline constexpr char kIndexMetaLogName[] = "meta";

enum class LogOperation : uint8_t { Delete = 0, Insert = 1 };

// operation (1 byte), token_id (4), count (4).
inline constexpr size_t kLogHeaderSize = 9;
// doc_id (16), offset (8), length (4).
inline constexpr size_t kLogMetaSize = 28;

// Writes the low `width` bytes of `value`, most significant first.
inline void put_be(uint8_t* out, uint128 value, size_t width) {
  for (size_t i = width; i-- > 0;) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

template <class T>
T get_be(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | in[i]);
  return value;
}

}  // namespace tarnwick::inverted
