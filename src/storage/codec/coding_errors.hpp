// The errors of the record encoding. Each has a text form, which is what the user finally sees:
// the kind's name, then its fields as "{ name: value, ... }", nested values shown the same way.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <variant>

#include "utils/io_error.hpp"
#include "utils/utf8.hpp"

namespace tarnwick::storage {

// The width a varint was read for, or the width its marker announced.
enum class IntegerType { U32, U64, U128, Usize, Reserved };

struct UnexpectedEnd {
  uint64_t additional;  // bytes missing
};
struct InvalidIntegerType {
  IntegerType expected;
  IntegerType found;
};
// The marker byte of an optional string was neither 0 nor 1.
struct UnexpectedVariant {
  uint32_t found;
};
struct DecodeIo {
  utils::IoError inner;
  uint64_t additional;  // bytes the failed read asked for
};
struct InvalidUtf8 {
  utils::Utf8Error inner;
};

class DecodeError {
 public:
  using Detail = std::variant<UnexpectedEnd, InvalidIntegerType, UnexpectedVariant, DecodeIo,
                              InvalidUtf8>;
  template <class D>
    requires std::is_constructible_v<Detail, D>
  DecodeError(D detail) : detail_(std::move(detail)) {}

  const Detail& detail() const { return detail_; }
  // "UnexpectedEnd { additional: 6 }", "InvalidIntegerType { expected: U32, found: U64 }", ...
  std::string to_string() const;

 private:
  Detail detail_;
};

struct EncodeUnexpectedEnd {};
struct InvalidPathCharacters {};
struct EncodeIo {
  utils::IoError inner;
  uint64_t index;  // bytes written before the failure
};

class EncodeError {
 public:
  using Detail = std::variant<EncodeUnexpectedEnd, InvalidPathCharacters, EncodeIo>;
  template <class D>
    requires std::is_constructible_v<Detail, D>
  EncodeError(D detail) : detail_(std::move(detail)) {}

  const Detail& detail() const { return detail_; }
  std::string to_string() const;

 private:
  Detail detail_;
};

}  // namespace tarnwick::storage
