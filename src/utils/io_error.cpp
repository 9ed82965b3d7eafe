#include "utils/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <utility>

namespace tarnwick::utils {

namespace {

IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EPERM:
    case EACCES: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EAGAIN: return IoErrorKind::WouldBlock;
    case EINTR: return IoErrorKind::Interrupted;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EISDIR: return IoErrorKind::IsADirectory;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EPIPE: return IoErrorKind::BrokenPipe;
    case ECONNREFUSED: return IoErrorKind::ConnectionRefused;
    case ECONNRESET: return IoErrorKind::ConnectionReset;
    case ECONNABORTED: return IoErrorKind::ConnectionAborted;
    default: return IoErrorKind::Other;
  }
}

}  // namespace

IoError IoError::from_errno(int code) {
  return {kind_of_errno(code), code, std::strerror(code)};
}

IoError IoError::from_errno(int code, const std::filesystem::path& path) {
  return from_errno(code).with_path(path);
}

IoError IoError::with_path(const std::filesystem::path& where) && {
  path = where;
  return std::move(*this);
}

IoError IoError::unexpected_eof() {
  return {IoErrorKind::UnexpectedEof, 0, "failed to fill whole buffer"};
}

IoError IoError::invalid_utf8() {
  return {IoErrorKind::InvalidData, 0, "stream did not contain valid UTF-8"};
}

std::string IoError::to_string() const {
  if (os_code == 0) return message;
  return message + " (os error " + std::to_string(os_code) + ")";
}

std::string IoError::debug_string() const {
  if (os_code == 0) {
    return std::string("Error { kind: ") + io_error_kind_name(kind) + ", message: \"" + message +
           "\" }";
  }
  return "Os { code: " + std::to_string(os_code) + ", kind: " + io_error_kind_name(kind) +
         ", message: \"" + message + "\" }";
}

const char* io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::IsADirectory: return "IsADirectory";
    case IoErrorKind::NotADirectory: return "NotADirectory";
    case IoErrorKind::BrokenPipe: return "BrokenPipe";
    case IoErrorKind::ConnectionRefused: return "ConnectionRefused";
    case IoErrorKind::ConnectionReset: return "ConnectionReset";
    case IoErrorKind::ConnectionAborted: return "ConnectionAborted";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::Other: return "Other";
  }
  return "Other";
}

}  // namespace tarnwick::utils
