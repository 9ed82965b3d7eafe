// PyRef: an owned reference to a Python object, released when the PyRef goes.
#pragma once

#include <Python.h>

#include <utility>

namespace tarnwick {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (null allowed, e.g. from a failed call).
  static PyRef steal(PyObject* object) { return PyRef(object); }
  // Adds a reference to an object owned elsewhere.
  static PyRef borrow(PyObject* object) { return PyRef(Py_XNewRef(object)); }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    Py_XSETREF(object_, std::exchange(other.object_, nullptr));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  // Hands the reference to the caller, e.g. to an API that steals it.
  PyObject* release() { return std::exchange(object_, nullptr); }

 private:
  explicit PyRef(PyObject* object) : object_(object) {}

  PyObject* object_ = nullptr;
};

}  // namespace tarnwick
