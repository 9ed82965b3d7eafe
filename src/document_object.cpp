// The Python class Document: a copy of one stored document's record. Python code never builds
// one; the engine hands them out.
#include <Python.h>

#include "module.hpp"

namespace tarnwick {

namespace {

struct DocumentObject {
  PyObject_HEAD
};

void document_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot document_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(document_dealloc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec document_spec = {
    "tarnwick.native.Document",
    sizeof(DocumentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    document_slots,
};

}  // namespace tarnwick
