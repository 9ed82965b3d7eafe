// Fixed-width little-endian integers, for the derived files the engine maps in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarnwick::utils {

inline void put_le(std::string& out, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
}

inline uint64_t get_le(const uint8_t* in, size_t width) {
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | in[i];
  return value;
}

}  // namespace tarnwick::utils
