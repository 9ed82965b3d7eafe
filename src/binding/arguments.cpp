#include "binding/arguments.hpp"

#include "binding/py_ref.hpp"

namespace tarnwick {

std::optional<std::filesystem::path> path_argument(PyObject* value, const char* argument) {
  PyRef text = PyRef::steal(PyOS_FSPath(value));
  if (!text) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "argument '%s': expected str or os.PathLike object returning str, not %.100s",
                   argument, Py_TYPE(value)->tp_name);
    }
    return std::nullopt;
  }
  if (!PyUnicode_Check(text.get())) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': expected str or os.PathLike object returning str, not %.100s",
                 argument, Py_TYPE(text.get())->tp_name);
    return std::nullopt;
  }
  // The file-system encoding with surrogateescape, as os.fsencode does.
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(text.get()));
  if (!encoded) return std::nullopt;
  char* bytes;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(encoded.get(), &bytes, &size) != 0) return std::nullopt;
  if (std::string_view(bytes, size).find('\0') != std::string_view::npos) {
    PyErr_Format(PyExc_ValueError, "argument '%s': embedded null byte", argument);
    return std::nullopt;
  }
  return std::filesystem::path(std::string(bytes, size));
}

std::optional<std::string_view> str_argument(PyObject* value, const char* argument) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': expected str, not %.100s", argument,
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) return std::nullopt;
  return std::string_view(text, size);
}

std::optional<uint32_t> u32_argument(PyObject* value, const char* argument) {
  if (!PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "argument '%s': '%.100s' object cannot be interpreted as an integer", argument,
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  const PyRef index = PyRef::steal(PyNumber_Index(value));
  if (!index) return std::nullopt;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (number == -1 && PyErr_Occurred()) return std::nullopt;
  if (overflow < 0 || (overflow == 0 && number < 0)) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': can't convert negative int to unsigned",
                 argument);
    return std::nullopt;
  }
  if (overflow > 0 || number > UINT32_MAX) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert to u32", argument);
    return std::nullopt;
  }
  return static_cast<uint32_t>(number);
}

}  // namespace tarnwick
