// UTF-8 validation that reports where and how a byte string stops being UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick::utils {

struct Utf8Error {
  size_t valid_up_to;                // length of the longest valid prefix
  std::optional<uint8_t> error_len;  // bytes of the bad sequence; none when the text ends inside one
};

// None when `bytes` is valid UTF-8 (no surrogates, no overlong forms, nothing above U+10FFFF).
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// `bytes` with every ill-formed sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace tarnwick::utils
