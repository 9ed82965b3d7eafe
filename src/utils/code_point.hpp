// Decoding one character of a UTF-8 byte string that may be ill-formed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include <unicode/utf8.h>

namespace tarnwick::utils {

struct CodePoint {
  UChar32 code;  // U+FFFD for an ill-formed sequence
  size_t next;   // offset of the following character
};

// The character starting at byte `at`. An ill-formed sequence reads as one U+FFFD spanning its
// maximal well-formed prefix (at least one byte), so every byte string decodes without gaps.
// REQUIRES: at < text.size().
inline CodePoint code_point_at(std::string_view text, size_t at) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  UChar32 c;
  U8_NEXT(bytes, at, text.size(), c);
  return {c < 0 ? 0xFFFD : c, at};
}

}  // namespace tarnwick::utils
