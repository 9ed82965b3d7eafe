// The size-prefixed block: the stored form of one document's text.
//
//   offset 0, 4 bytes   n, the text's byte length, unsigned little-endian
//   offset 4, the rest  the text compressed as one raw LZ4 block (no frame, no checksum)
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "utils/result.hpp"

namespace tarnwick::storage {

struct CompressError {
  std::string message;
};

struct DecompressError {
  std::string message;
};

// Appends the size-prefixed block of `text` to `out`. Fails only for texts too large for one
// LZ4 block; `out` is unchanged then.
utils::Status<CompressError> compress_block(std::string_view text, std::string& out);

// The text of a size-prefixed block. A block that yields fewer bytes than its prefix declares
// gives the shorter text. A prefix that declares more than the block could ever expand to is
// refused before anything that large is allocated.
utils::Result<std::string, DecompressError> decompress_block(std::span<const uint8_t> block);

}  // namespace tarnwick::storage
