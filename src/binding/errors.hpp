// The module's own exception types and the one table that turns every engine error into a
// Python exception. Each `raise` sets the Python error indicator and returns nullptr, so a method
// can `return raise(error);`.
#pragma once

#include <Python.h>

#include <string_view>

#include "base/error_kinds.hpp"

namespace tarnwick {

enum class ExceptionType {
  BincodeDecodeError,
  BincodeEncodeError,
  CompressException,
  TryFromSliceException,
  UlidDecodeError,
  UlidMonotonicError,
  UnknownLogOperation,
  TomlDeserializeException,
};

// The exception class "crate.<name>", a direct subclass of Exception, created on first use and
// kept for the life of the process. A borrowed reference, or nullptr with an exception set.
PyObject* exception_type(ExceptionType type);
const char* exception_name(ExceptionType type);

// Raises `type` with the whole of `message` as its one argument, NUL characters included; bytes
// that are not UTF-8 show as U+FFFD.
PyObject* raise_message(PyObject* type, std::string_view message);

PyObject* raise(const utils::IoError& error);
PyObject* raise(const storage::DecodeError& error);
PyObject* raise(const storage::EncodeError& error);
PyObject* raise(const BincodePersistenceError& error);
PyObject* raise(const DocumentsManagerError& error);
PyObject* raise(const IndexManagerError& error);
PyObject* raise(const ConfigError& error);
PyObject* raise(const UlidError& error);

}  // namespace tarnwick
