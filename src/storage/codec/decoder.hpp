// Decoder: reads values of the record encoding (see encoder.hpp for the byte forms) from a
// Source, which is either a byte range (SliceSource, WholeFileSource) or an open file (FileSource).
//
// Every read is bounds-checked: bytes that came from a file never trip an assertion, and a
// declared length or count never reserves more memory than the remaining input could hold.
// A failed decode yields no value.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "storage/codec/coding_errors.hpp"
#include "storage/codec/encoder.hpp"
#include "utils/file.hpp"
#include "utils/result.hpp"
#include "utils/utf8.hpp"

namespace tarnwick::storage {

template <class T>
using DecodeResult = utils::Result<T, DecodeError>;

// A byte range. Running out of bytes is UnexpectedEnd with the number of bytes missing; or, for
// the bytes of a whole file read into memory (`kWholeFile`), what FileSource reports at the end of
// the file, so that a file decodes alike, error for error, from memory or through FileSource.
template <bool kWholeFile>
class BasicSliceSource {
 public:
  explicit BasicSliceSource(std::span<const uint8_t> bytes) : rest_(bytes) {}
  explicit BasicSliceSource(std::string_view bytes) : rest_(utils::as_bytes(bytes)) {}

  uint64_t remaining() const { return rest_.size(); }
  // The bytes not yet read, in place.
  std::span<const uint8_t> peek() const { return rest_; }
  // Inline: records are decoded a byte or a few at a time, and a call per read cost more than
  // the decoding itself.
  utils::Status<DecodeError> read(std::span<uint8_t> out) {
    if (out.size() > rest_.size()) [[unlikely]] {
      return utils::fail(shortfall(out.size()));
    }
    std::memcpy(out.data(), rest_.data(), out.size());
    rest_ = rest_.subspan(out.size());
    return {};
  }
  // The next `size` bytes, in place. REQUIRES: size <= remaining()
  std::string_view take(uint64_t size) {
    const std::string_view taken(reinterpret_cast<const char*>(rest_.data()), size);
    rest_ = rest_.subspan(size);
    return taken;
  }
  // The error for wanting `wanted` bytes when fewer remain.
  DecodeError shortfall(uint64_t wanted) const {
    if constexpr (kWholeFile) {
      return DecodeIo{utils::IoError::unexpected_eof(), wanted};
    } else {
      return UnexpectedEnd{wanted - rest_.size()};
    }
  }

 private:
  std::span<const uint8_t> rest_;
};

using SliceSource = BasicSliceSource<false>;
using WholeFileSource = BasicSliceSource<true>;

// An open file read from its current position through a buffer; a failed read or the end of the
// file is the Io kind, carrying the number of bytes that read asked for.
class FileSource {
 public:
  // REQUIRES: `file` outlives the source and is not read by anything else meanwhile.
  static utils::Result<FileSource, DecodeError> open(utils::File& file);

  uint64_t remaining() const { return remaining_; }
  utils::Status<DecodeError> read(std::span<uint8_t> out);
  DecodeError shortfall(uint64_t wanted) const {
    return DecodeIo{utils::IoError::unexpected_eof(), wanted};
  }

 private:
  FileSource(utils::File& file, uint64_t remaining) : file_(&file), remaining_(remaining) {}

  utils::File* file_;
  uint64_t remaining_;  // bytes of the file not yet handed out
  std::vector<uint8_t> buffer_ = std::vector<uint8_t>(64 * 1024);
  size_t begin_ = 0;
  size_t end_ = 0;
};

template <class Source>
class Decoder {
 public:
  explicit Decoder(Source source) : source_(std::move(source)) {}

  Source& source() { return source_; }

  DecodeResult<uint8_t> u8() {
    uint8_t byte = 0;
    if (auto s = source_.read({&byte, 1}); !s) return utils::fail(std::move(s.error()));
    return byte;
  }
  DecodeResult<uint32_t> u32() { return varint<uint32_t>(IntegerType::U32); }
  DecodeResult<uint64_t> u64() { return varint<uint64_t>(IntegerType::U64); }
  DecodeResult<uint128> u128() { return varint<uint128>(IntegerType::U128); }
  // A length or a count.
  DecodeResult<uint64_t> length() { return varint<uint64_t>(IntegerType::Usize); }

  DecodeResult<double> f64() {
    std::array<uint8_t, 8> raw;
    if (auto s = source_.read(raw); !s) return utils::fail(std::move(s.error()));
    uint64_t bits = 0;
    for (size_t i = 0; i < 8; ++i) bits |= uint64_t{raw[i]} << (8 * i);
    return std::bit_cast<double>(bits);
  }

  template <size_t N>
  DecodeResult<std::array<uint8_t, N>> fixed() {
    std::array<uint8_t, N> out{};
    if (auto s = source_.read(out); !s) return utils::fail(std::move(s.error()));
    return out;
  }

  DecodeResult<std::string> string() {
    auto len = length();
    if (!len) return utils::fail(std::move(len.error()));
    if (*len > source_.remaining()) return utils::fail(source_.shortfall(*len));
    std::string text(*len, '\0');
    auto s = source_.read({reinterpret_cast<uint8_t*>(text.data()), text.size()});
    if (!s) return utils::fail(std::move(s.error()));
    if (auto bad = utils::check_utf8(text)) return utils::fail(DecodeError(InvalidUtf8{*bad}));
    return text;
  }

  // A string read in place, from a source of bytes in memory; valid while they are.
  DecodeResult<std::string_view> string_view()
    requires requires(Source source) { source.take(0); }
  {
    auto len = length();
    if (!len) return utils::fail(std::move(len.error()));
    if (*len > source_.remaining()) return utils::fail(source_.shortfall(*len));
    const std::string_view text = source_.take(*len);
    if (auto bad = utils::check_utf8(text)) return utils::fail(DecodeError(InvalidUtf8{*bad}));
    return text;
  }

  DecodeResult<std::optional<std::string>> optional_string() {
    auto tag = u8();
    if (!tag) return utils::fail(std::move(tag.error()));
    if (*tag == 0) return std::optional<std::string>();
    if (*tag != 1) return utils::fail(DecodeError(UnexpectedVariant{*tag}));
    auto text = string();
    if (!text) return utils::fail(std::move(text.error()));
    return std::optional<std::string>(std::move(*text));
  }

  DecodeResult<std::filesystem::path> path() {
    auto text = string();
    if (!text) return utils::fail(std::move(text.error()));
    return std::filesystem::path(std::move(*text));
  }

  // A count followed by that many elements, each read by `element(*this)`.
  template <class T, class F>
  DecodeResult<std::vector<T>> sequence(F&& element) {
    auto count = length();
    if (!count) return utils::fail(std::move(count.error()));
    std::vector<T> items;
    // Every element takes at least one byte, so the input bounds what a count may reserve.
    items.reserve(std::min<uint64_t>(*count, source_.remaining()));
    for (uint64_t i = 0; i < *count; ++i) {
      auto item = element(*this);
      if (!item) return utils::fail(std::move(item.error()));
      items.push_back(std::move(*item));
    }
    return items;
  }

 private:
  template <class T>
  DecodeResult<T> varint(IntegerType type) {
    if constexpr (requires(const Source source) { source.peek(); }) {
      // From bytes in memory, a well-formed value whose bytes are all there is read in place:
      // decoding many records spends its time here.
      const std::span<const uint8_t> ahead = source_.peek();
      if (!ahead.empty() && ahead[0] <= 250) {
        source_.take(1);
        return static_cast<T>(ahead[0]);
      }
      if (!ahead.empty() && ahead[0] >= 0xFB && ahead[0] <= 0xFE) {
        const size_t width = width_after(ahead[0]);
        if (width <= sizeof(T) && width < ahead.size()) {
          source_.take(1 + width);
          return little_endian<T>(ahead.data() + 1, width);
        }
      }
    }
    auto marker = u8();
    if (!marker) return utils::fail(std::move(marker.error()));
    const uint8_t b = *marker;
    if (b <= 250) return static_cast<T>(b);
    if (b == 0xFF) return utils::fail(DecodeError(InvalidIntegerType{type, IntegerType::Reserved}));
    const size_t width = width_after(b);
    if (width > sizeof(T)) {
      auto found = b == 0xFD ? IntegerType::U64 : IntegerType::U128;
      return utils::fail(DecodeError(InvalidIntegerType{type, found}));
    }
    std::array<uint8_t, 16> raw{};  // zeroed: g++ 16 cannot see that `read` fills it on success
    if (auto s = source_.read({raw.data(), width}); !s) return utils::fail(std::move(s.error()));
    return little_endian<T>(raw.data(), width);
  }

  // The bytes of a value after its marker `b`: 0xFB..0xFE give 2, 4, 8, 16.
  static size_t width_after(uint8_t b) { return size_t{2} << (b - 0xFB); }

  // The value held little-endian in the `width` bytes at `bytes`.
  template <class T>
  static T little_endian(const uint8_t* bytes, size_t width) {
    T value = 0;
    for (size_t i = 0; i < width; ++i) value |= static_cast<T>(bytes[i]) << (8 * i);
    return value;
  }

  Source source_;
};

using SliceDecoder = Decoder<SliceSource>;
using FileDecoder = Decoder<FileSource>;
using WholeFileDecoder = Decoder<WholeFileSource>;

}  // namespace tarnwick::storage
