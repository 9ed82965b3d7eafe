// IoError: a failed file-system operation, keeping the operating system's error number so that
// the module boundary can pick the matching OSError subclass.
#pragma once

#include <string>

namespace tarnwick::utils {

// What went wrong, independent of the platform's error numbers.
enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  Interrupted,
  TimedOut,
  IsADirectory,
  NotADirectory,
  BrokenPipe,
  ConnectionRefused,
  ConnectionReset,
  ConnectionAborted,
  UnexpectedEof,
  InvalidData,
  Other,
};

struct IoError {
  IoErrorKind kind;
  int os_code;          // errno, or 0 when the error did not come from the operating system
  std::string message;  // the operating system's text, or the error's own text

  // From errno.
  static IoError from_errno(int code);
  // A read that met the end of the file before it was satisfied.
  static IoError unexpected_eof();
  // Bytes that should have been UTF-8 text but were not.
  static IoError invalid_utf8();

  // "No such file or directory (os error 2)", or the error's own text.
  std::string to_string() const;
  // The nested form used inside decoding and encoding error texts.
  std::string debug_string() const;
};

const char* io_error_kind_name(IoErrorKind kind);

}  // namespace tarnwick::utils
