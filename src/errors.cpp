#include "errors.hpp"

#include <array>
#include <string>


namespace tarnwick {

namespace {

constexpr size_t kExceptionTypes = 8;
std::array<PyObject*, kExceptionTypes> exception_types{};  // never released: process lifetime

PyObject* raise_as(ExceptionType type, const std::string& message) {
  PyObject* cls = exception_type(type);
  if (cls) PyErr_SetString(cls, message.c_str());
  return nullptr;
}

PyObject* os_error_class(utils::IoErrorKind kind) {
  using K = utils::IoErrorKind;
  switch (kind) {
    case K::NotFound: return PyExc_FileNotFoundError;
    case K::PermissionDenied: return PyExc_PermissionError;
    case K::AlreadyExists: return PyExc_FileExistsError;
    case K::WouldBlock: return PyExc_BlockingIOError;
    case K::Interrupted: return PyExc_InterruptedError;
    case K::TimedOut: return PyExc_TimeoutError;
    case K::IsADirectory: return PyExc_IsADirectoryError;
    case K::NotADirectory: return PyExc_NotADirectoryError;
    case K::BrokenPipe: return PyExc_BrokenPipeError;
    case K::ConnectionRefused: return PyExc_ConnectionRefusedError;
    case K::ConnectionReset: return PyExc_ConnectionResetError;
    case K::ConnectionAborted: return PyExc_ConnectionAbortedError;
    case K::UnexpectedEof:
    case K::InvalidData:
    case K::Other: return PyExc_OSError;
  }
  return PyExc_OSError;
}

PyObject* raise_clock() {
  PyErr_SetString(PyExc_SystemError, "second time provided was later than self");
  return nullptr;
}

// One kind's detail to its exception; the enumerations share their kinds' details.
struct RaiseDetail {
  PyObject* operator()(const ClockError&) const { return raise_clock(); }
  PyObject* operator()(const storage::CompressError& e) const {
    return raise_as(ExceptionType::CompressException, e.message);
  }
  PyObject* operator()(const TryFromSliceError&) const {
    return raise_as(ExceptionType::TryFromSliceException, "could not convert slice to array");
  }
  PyObject* operator()(const UnknownLogOperationError& e) const {
    return raise_as(ExceptionType::UnknownLogOperation, std::to_string(e.operation));
  }
  PyObject* operator()(const TomlError& e) const {
    return raise_as(ExceptionType::TomlDeserializeException, e.message);
  }
  PyObject* operator()(const LogReadError& e) const { return std::visit(*this, e.detail); }
  template <class E>
  PyObject* operator()(const E& e) const {
    return raise(e);
  }
};

}  // namespace

const char* exception_name(ExceptionType type) {
  switch (type) {
    case ExceptionType::BincodeDecodeError: return "BincodeDecodeError";
    case ExceptionType::BincodeEncodeError: return "BincodeEncodeError";
    case ExceptionType::CompressException: return "CompressException";
    case ExceptionType::TryFromSliceException: return "TryFromSliceException";
    case ExceptionType::UlidDecodeError: return "UlidDecodeError";
    case ExceptionType::UlidMonotonicError: return "UlidMonotonicError";
    case ExceptionType::UnknownLogOperation: return "UnknownLogOperation";
    case ExceptionType::TomlDeserializeException: return "TomlDeserializeException";
  }
  return "";
}

PyObject* exception_type(ExceptionType type) {
  PyObject*& slot = exception_types[static_cast<size_t>(type)];
  if (!slot) {
    const std::string qualified = std::string("crate.") + exception_name(type);
    slot = PyErr_NewException(qualified.c_str(), PyExc_Exception, nullptr);
  }
  return slot;
}

PyObject* raise(const utils::IoError& error) {
  PyErr_SetString(os_error_class(error.kind), error.to_string().c_str());
  return nullptr;
}

PyObject* raise(const storage::DecodeError& error) {
  return raise_as(ExceptionType::BincodeDecodeError, error.to_string());
}

PyObject* raise(const storage::EncodeError& error) {
  return raise_as(ExceptionType::BincodeEncodeError, error.to_string());
}

PyObject* raise(const BincodePersistenceError& error) {
  return std::visit(RaiseDetail{}, error.detail);
}
PyObject* raise(const DocumentsManagerError& error) {
  return std::visit(RaiseDetail{}, error.detail);
}
PyObject* raise(const IndexManagerError& error) { return std::visit(RaiseDetail{}, error.detail); }
PyObject* raise(const ConfigError& error) { return std::visit(RaiseDetail{}, error.detail); }

PyObject* raise(const UlidError& error) {
  const auto type = error.kind() == UlidError::Kind::Decode ? ExceptionType::UlidDecodeError
                                                            : ExceptionType::UlidMonotonicError;
  return raise_as(type, error.to_string());
}

}  // namespace tarnwick
