// Stored bytes that decode but contradict each other (an id that points at the wrong slot, a
// count that its records do not bear out). They are reported as a decoding error whose text
// says what is wrong: Io { inner: Error { kind: InvalidData, message: "..." }, additional: 0 }.
#pragma once

#include <string>

#include "storage/codec/coding_errors.hpp"
#include "utils/io_error.hpp"

namespace tarnwick::storage {

inline DecodeError corrupt_data(std::string what) {
  return DecodeIo{utils::IoError{utils::IoErrorKind::InvalidData, 0, std::move(what)}, 0};
}

}  // namespace tarnwick::storage
