// The Python class Result: one search hit, a document record and its score. Python code never
// builds one; search hands them out.
#include <Python.h>

#include "module.hpp"

namespace tarnwick {

namespace {

struct ResultObject {
  PyObject_HEAD
};

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec result_spec = {
    "tarnwick.native.Result",
    sizeof(ResultObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    result_slots,
};

}  // namespace tarnwick
