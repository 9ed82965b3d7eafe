#include "storage/codec/block.hpp"

#include <lz4.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace tarnwick::storage {

namespace {

constexpr size_t kPrefixSize = 4;

// One LZ4 input byte yields at most 255 output bytes (a length-extension byte of 0xFF), so no
// honest block of b bytes declares more than this.
uint64_t max_expansion(uint64_t block_size) { return 255 * block_size + 16; }

// The compressor's state, one a thread, set up once: a block compressed from a fresh state
// clears its 16 KB table first, which for a text of a few hundred bytes cost more than the
// compression. Reset before every block, it keeps no dictionary from one block to the next.
LZ4_stream_t* compressor() {
  thread_local LZ4_stream_t state;
  thread_local LZ4_stream_t* ready = LZ4_initStream(&state, sizeof state);
  LZ4_resetStream_fast(ready);
  return ready;
}

std::string too_small(uint64_t actual, uint64_t expected) {
  return "provided output is too small for the decompressed data, actual " +
         std::to_string(actual) + ", expected " + std::to_string(expected);
}

const char kEndOfInput[] = "expected another byte, found none";
const char kOutputTooSmall[] =
    "output is too small for the compressed data, use get_maximum_output_size to reserve enough "
    "space";

// A plain LZ4 block decoder. liblz4 is the fast path; this one runs only when liblz4 refuses a
// block, to decode what liblz4's stricter end-of-block rules reject and otherwise to say why the
// block is broken. Returns the number of bytes written to `out`.
utils::Result<size_t, DecompressError> decode_slowly(std::span<const uint8_t> in,
                                                     std::span<uint8_t> out) {
  size_t ip = 0;
  size_t op = 0;
  auto extend = [&](size_t& length) -> bool {
    for (;;) {
      if (ip >= in.size()) return false;
      const uint8_t b = in[ip++];
      length += b;
      if (b != 255) return true;
    }
  };
  for (;;) {
    if (ip >= in.size()) return utils::fail(DecompressError{kEndOfInput});
    const uint8_t token = in[ip++];
    size_t literals = token >> 4;
    if (literals == 15 && !extend(literals)) return utils::fail(DecompressError{kEndOfInput});
    if (literals > in.size() - ip) {
      return utils::fail(DecompressError{"literal is out of bounds of the input"});
    }
    if (literals > out.size() - op) {
      return utils::fail(DecompressError{too_small(out.size(), op + literals)});
    }
    std::memcpy(out.data() + op, in.data() + ip, literals);
    ip += literals;
    op += literals;
    if (ip == in.size()) return op;  // the last sequence holds literals only
    if (in.size() - ip < 2) return utils::fail(DecompressError{kEndOfInput});
    const size_t offset = in[ip] | (size_t{in[ip + 1]} << 8);
    ip += 2;
    if (offset == 0 || offset > op) {
      return utils::fail(
          DecompressError{"the offset to copy is not contained in the decompressed buffer"});
    }
    size_t match = token & 15;
    if (match == 15 && !extend(match)) return utils::fail(DecompressError{kEndOfInput});
    match += 4;
    if (match > out.size() - op) {
      return utils::fail(DecompressError{too_small(out.size(), op + match)});
    }
    for (size_t i = 0; i < match; ++i, ++op) out[op] = out[op - offset];  // may overlap
  }
}

}  // namespace

utils::Status<CompressError> compress_block(std::string_view text, std::string& out) {
  if (text.size() > LZ4_MAX_INPUT_SIZE) {
    return utils::fail(CompressError{kOutputTooSmall});
  }
  const size_t start = out.size();
  const auto n = static_cast<uint32_t>(text.size());
  for (size_t i = 0; i < kPrefixSize; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
  const uint64_t worst = std::min<uint64_t>(uint64_t{n} * 110 / 100 + 20, INT_MAX);
  out.resize(start + kPrefixSize + worst);
  const int written =
      LZ4_compress_fast_continue(compressor(), text.data(), out.data() + start + kPrefixSize,
                                 static_cast<int>(n), static_cast<int>(worst), 1);
  if (written <= 0) {
    out.resize(start);
    return utils::fail(CompressError{kOutputTooSmall});
  }
  out.resize(start + kPrefixSize + static_cast<size_t>(written));
  return {};
}

utils::Result<std::string, DecompressError> decompress_block(std::span<const uint8_t> block) {
  if (block.size() < kPrefixSize) return utils::fail(DecompressError{kEndOfInput});
  const uint64_t n = block[0] | (uint64_t{block[1]} << 8) | (uint64_t{block[2]} << 16) |
                     (uint64_t{block[3]} << 24);
  const auto body = block.subspan(kPrefixSize);
  const uint64_t bound = max_expansion(body.size());
  if (n > bound) return utils::fail(DecompressError{too_small(bound, n)});
  std::string text(n, '\0');
  auto* out = reinterpret_cast<uint8_t*>(text.data());
  int produced = -1;
  if (body.size() <= INT_MAX && n <= INT_MAX) {
    produced = LZ4_decompress_safe(reinterpret_cast<const char*>(body.data()), text.data(),
                                   static_cast<int>(body.size()), static_cast<int>(n));
  }
  if (produced >= 0) {
    text.resize(static_cast<size_t>(produced));
    return text;
  }
  auto slow = decode_slowly(body, {out, text.size()});
  if (!slow) return utils::fail(std::move(slow.error()));
  text.resize(*slow);
  return text;
}

}  // namespace tarnwick::storage
