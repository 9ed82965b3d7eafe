// Names and sizes of the segment files, shared by their writers and readers. The byte layouts
// are described at the top of segment.cpp.
#pragma once

#include <cstddef>
#include <cstdint>


namespace tarnwick::storage {

using uint128 = unsigned __int128;

inline constexpr char kDataFileName[] = "data";
inline constexpr char kSegmentMetaFileName[] = "meta";
inline constexpr char kDeletionFileName[] = "del";
// A segment that a merge removes is first renamed to its name followed by this, which is no
// segment name: a crash while its files go leaves no half-empty segment, and the writer's next
// opening removes what is left.
inline constexpr char kRemovalSuffix[] = ".removed";

// A meta entry: an 8-byte big-endian record size, then the record.
inline constexpr size_t kMetaHeaderSize = 8;
// A deletion entry: 16 id bytes, then the document's length as 8 bytes big-endian.
inline constexpr size_t kIdSize = 16;
inline constexpr size_t kDeletionEntrySize = kIdSize + 8;

inline void put_be64(uint8_t* out, uint64_t value) {
  for (size_t i = 8; i-- > 0;) {
    out[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

inline uint64_t get_be64(const uint8_t* in) {
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = (value << 8) | in[i];
  return value;
}

}  // namespace tarnwick::storage
