// IoError: a failed file-system operation, keeping the operating system's error number so that
// the module boundary can pick the matching OSError subclass, and the path it concerned when one
// is known.
#pragma once

#include <filesystem>
#include <optional>
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
  // The file or directory that the failed operation opened, created, listed or renamed. It takes
  // no part in the texts below; the module boundary hands it to Python as OSError.filename.
  std::optional<std::filesystem::path> path = std::nullopt;

  // From errno.
  static IoError from_errno(int code);
  // From errno, for an operation on `path`.
  static IoError from_errno(int code, const std::filesystem::path& path);
  // A read that met the end of the file before it was satisfied.
  static IoError unexpected_eof();
  // Bytes that should have been UTF-8 text but were not.
  static IoError invalid_utf8();

  // The same error, concerning `where`.
  IoError with_path(const std::filesystem::path& where) &&;

  // "No such file or directory (os error 2)", or the error's own text.
  std::string to_string() const;
  // The nested form used inside decoding and encoding error texts.
  std::string debug_string() const;
};

const char* io_error_kind_name(IoErrorKind kind);

}  // namespace tarnwick::utils
