// The two append-only logs that keep the inverted index on disk, in `dir`/index:
//   the index log, one record per change of a posting list (a LogHeader, then for an insert the
//   encoded posting), and
//   the meta log, one fixed-size LogMeta per index-log record, in the same order, saying which
//   document the record concerns and where it lies in the index log.
// The meta log is the table of contents: the reader (log_reader.hpp) walks it from its end and
// reads from the index log only what the meta records point at; the writer (log_writer.hpp)
// appends the index log before the meta log. This header holds what both share: file names,
// sizes, byte order and the record headers; the byte layouts are at the top of log_format.cpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

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
// Eight bytes at a time: a record's 16-byte id went through 128-bit shifts byte by byte.
inline void put_be(uint8_t* out, uint128 value, size_t width) {
  uint64_t halves[2] = {static_cast<uint64_t>(value >> 64), static_cast<uint64_t>(value)};
  if constexpr (std::endian::native == std::endian::little) {
    halves[0] = __builtin_bswap64(halves[0]);
    halves[1] = __builtin_bswap64(halves[1]);
  }
  uint8_t bytes[16];
  std::memcpy(bytes, halves, sizeof bytes);
  std::memcpy(out, bytes + sizeof bytes - width, width);
}

template <class T>
T get_be(const uint8_t* in) {
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<T>((value << 8) | in[i]);
  return value;
}

struct LogHeader {
  uint32_t token_id = 0;
  uint32_t count = 0;  // the posting list's length after the operation
  LogOperation operation = LogOperation::Delete;

  // Appends exactly kLogHeaderSize bytes.
  void encode_into_vec(std::string& out) const;
  // Writes them at `out`; the end of what was written.
  uint8_t* encode_to(uint8_t* out) const;
};

struct LogMeta {
  uint128 doc_id = 0;
  uint64_t offset = 0;  // of the record's header in the index log
  uint32_t length = 0;  // of the whole record

  // Appends exactly kLogMetaSize bytes.
  void encode_into_vec(std::string& out) const;
  // REQUIRES: `bytes` holds at least kLogMetaSize bytes.
  static LogMeta decode(const uint8_t* bytes);
};

}  // namespace tarnwick::inverted
