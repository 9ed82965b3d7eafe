#include "binding/errors.hpp"

#include <array>
#include <string>

#include "binding/py_ref.hpp"

namespace tarnwick {

namespace {

constexpr size_t kExceptionTypes = 8;
std::array<PyObject*, kExceptionTypes> exception_types{};  // never released: process lifetime

// The whole text as a str. Bytes that are not UTF-8 become U+FFFD rather than a second error.
PyRef text_object(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

PyObject* raise_as(ExceptionType type, std::string_view message) {
  PyObject* cls = exception_type(type);
  return cls ? raise_message(cls, message) : nullptr;
}

// Sets `name` on `exception`, stealing `value`; false with an exception set on failure.
bool set_attribute(PyObject* exception, const char* name, PyRef value) {
  return value && PyObject_SetAttrString(exception, name, value.get()) == 0;
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

PyObject* raise_message(PyObject* type, std::string_view message) {
  PyRef text = text_object(message);
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

// args stays the one message; an error from the operating system also fills in errno, strerror
// (the same message, so that str() still shows it) and, when the path is known, filename as
// os.fsdecode gives it.
PyObject* raise(const utils::IoError& error) {
  PyObject* cls = os_error_class(error.kind);
  const std::string message = error.to_string();
  if (error.os_code == 0) return raise_message(cls, message);
  PyRef text = text_object(message);
  if (!text) return nullptr;
  PyRef exception = PyRef::steal(PyObject_CallOneArg(cls, text.get()));
  if (!exception) return nullptr;
  if (!set_attribute(exception.get(), "errno", PyRef::steal(PyLong_FromLong(error.os_code))) ||
      !set_attribute(exception.get(), "strerror", std::move(text))) {
    return nullptr;
  }
  if (error.path) {
    const std::string& path = error.path->native();
    PyRef filename = PyRef::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!set_attribute(exception.get(), "filename", std::move(filename))) return nullptr;
  }
  PyErr_SetObject(cls, exception.get());
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
