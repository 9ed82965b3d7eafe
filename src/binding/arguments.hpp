// Conversion of Python arguments for the module's methods, and the wrapper every method body
// runs in so that no C++ exception reaches the interpreter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <string_view>

namespace tarnwick {

// Runs `body`, which returns a new reference or nullptr with an exception set. Memory exhaustion
// becomes MemoryError, any other escaping exception SystemError.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error in tarnwick.native");
    return nullptr;
  }
}

// A str, or a path-like object whose os.fspath is a str; errors name `argument`.
std::optional<std::filesystem::path> path_argument(PyObject* value, const char* argument);

// A str's UTF-8 text, valid while `value` lives; bytes and other types are refused.
std::optional<std::string_view> str_argument(PyObject* value, const char* argument);

// An int, or an object with __index__ (whose code runs here), in 0..=4294967295.
std::optional<uint32_t> u32_argument(PyObject* value, const char* argument);

}  // namespace tarnwick
