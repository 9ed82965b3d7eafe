#include "storage/codec/coding_errors.hpp"

#include "utils/overloaded.hpp"

namespace tarnwick::storage {

namespace {

const char* integer_type_name(IntegerType type) {
  switch (type) {
    case IntegerType::U32: return "U32";
    case IntegerType::U64: return "U64";
    case IntegerType::U128: return "U128";
    case IntegerType::Usize: return "Usize";
    case IntegerType::Reserved: return "Reserved";
  }
  return "Reserved";
}

std::string utf8_error_text(const utils::Utf8Error& error) {
  std::string len = error.error_len ? "Some(" + std::to_string(*error.error_len) + ")" : "None";
  return "Utf8Error { valid_up_to: " + std::to_string(error.valid_up_to) + ", error_len: " + len +
         " }";
}

}  // namespace

std::string DecodeError::to_string() const {
  return std::visit(
      utils::Overloaded{
          [](const UnexpectedEnd& e) {
            return "UnexpectedEnd { additional: " + std::to_string(e.additional) + " }";
          },
          [](const InvalidIntegerType& e) {
            return std::string("InvalidIntegerType { expected: ") + integer_type_name(e.expected) +
                   ", found: " + integer_type_name(e.found) + " }";
          },
          [](const UnexpectedVariant& e) {
            return "UnexpectedVariant { type_name: \"core::option::Option<alloc::string::String>\", "
                   "allowed: Range { min: 0, max: 1 }, found: " +
                   std::to_string(e.found) + " }";
          },
          [](const DecodeIo& e) {
            return "Io { inner: " + e.inner.debug_string() +
                   ", additional: " + std::to_string(e.additional) + " }";
          },
          [](const InvalidUtf8& e) { return "Utf8 { inner: " + utf8_error_text(e.inner) + " }"; },
      },
      detail_);
}

std::string EncodeError::to_string() const {
  return std::visit(
      utils::Overloaded{
          [](const EncodeUnexpectedEnd&) { return std::string("UnexpectedEnd"); },
          [](const InvalidPathCharacters&) { return std::string("InvalidPathCharacters"); },
          [](const EncodeIo& e) {
            return "Io { inner: " + e.inner.debug_string() +
                   ", index: " + std::to_string(e.index) + " }";
          },
      },
      detail_);
}

}  // namespace tarnwick::storage
