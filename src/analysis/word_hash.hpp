// Hashing and comparing words, for the tokenizer's memo of spellings: one lookup a word of every
// document added. Words are short, and absl's string hash and memcmp are calls out of line that
// cost as much as the lookup itself; these read the bytes eight (or four) at a time, inline.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tarnwick::analysis {

namespace word_hash_detail {

inline uint64_t load64(const char* p) {
  uint64_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

inline uint32_t load32(const char* p) {
  uint32_t value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The two halves of the 128-bit product, folded: every bit of either factor reaches every bit.
inline uint64_t mix(uint64_t a, uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline constexpr uint64_t kSeed1 = 0xa0761d6478bd642fu;
inline constexpr uint64_t kSeed2 = 0xe7037ed1a0b428dbu;

}  // namespace word_hash_detail

// Transparent: a memo keyed by std::string is searched with string_views.
struct WordHash {
  using is_transparent = void;
  size_t operator()(std::string_view word) const {
    using namespace word_hash_detail;
    const char* p = word.data();
    const size_t n = word.size();
    uint64_t a = 0;
    uint64_t b = 0;
    if (n >= 8) {
      // The first eight bytes, any whole eights between, and the last eight (which may overlap).
      a = load64(p);
      for (size_t i = 8; i + 8 < n; i += 8) a = mix(a ^ kSeed1, load64(p + i) ^ kSeed2);
      b = load64(p + n - 8);
    } else if (n >= 4) {
      a = load32(p);
      b = load32(p + n - 4);
    } else if (n > 0) {
      auto byte = [p](size_t i) { return uint64_t{static_cast<uint8_t>(p[i])}; };
      a = byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1);
    }
    return mix(a ^ kSeed1, b ^ kSeed2 ^ n);
  }
};

struct WordEq {
  using is_transparent = void;
  bool operator()(std::string_view x, std::string_view y) const {
    using namespace word_hash_detail;
    const size_t n = x.size();
    if (n != y.size()) return false;
    const char* p = x.data();
    const char* q = y.data();
    if (n >= 8) {
      for (size_t i = 0; i + 8 < n; i += 8) {
        if (load64(p + i) != load64(q + i)) return false;
      }
      return load64(p + n - 8) == load64(q + n - 8);
    }
    if (n >= 4) return load32(p) == load32(q) && load32(p + n - 4) == load32(q + n - 4);
    for (size_t i = 0; i < n; ++i) {
      if (p[i] != q[i]) return false;
    }
    return true;
  }
};

}  // namespace tarnwick::analysis
