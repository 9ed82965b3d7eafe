// The Python class Result: one search hit, a document record and its score. Python code never
// builds one; search hands them out.
#include <new>
#include <string>

#include "binding/arguments.hpp"
#include "binding/document_object.hpp"
#include "binding/py_ref.hpp"
#include "utils/ulid.hpp"

namespace tarnwick {

namespace {

struct ResultObject {
  PyObject_HEAD
  storage::Document record;
  double score;
};

ResultObject* as_result(PyObject* self) { return reinterpret_cast<ResultObject*>(self); }

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_result(self)->record.~Document();
  type->tp_free(self);
  Py_DECREF(type);
}

// A fresh Document on every access.
PyObject* result_document(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    ModuleState* state = module_state(Py_TYPE(self));
    if (!state) return nullptr;
    return new_document(*state, as_result(self)->record);
  });
}

PyObject* result_score(PyObject* self, void*) { return PyFloat_FromDouble(as_result(self)->score); }

// <tarnwick.Result score=... id='...'>; the text stays unread.
PyObject* result_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const std::string id = utils::ulid_to_string(as_result(self)->record.id_value());
    PyRef score = PyRef::steal(PyFloat_FromDouble(as_result(self)->score));
    if (!score) return nullptr;
    return PyUnicode_FromFormat("<tarnwick.Result score=%R id='%s'>", score.get(), id.c_str());
  });
}

PyDoc_STRVAR(result_doc, "One search hit: a document and its score. Search.search hands them out.");
PyDoc_STRVAR(document_doc, "A new copy of the hit's document on every access.");
PyDoc_STRVAR(score_doc, "The hit's score, positive; higher is better.");

PyGetSetDef result_getset[] = {
    {"document", result_document, nullptr, document_doc, nullptr},
    {"score", result_score, nullptr, score_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(result_dealloc)},
    {Py_tp_getset, result_getset},
    {Py_tp_repr, reinterpret_cast<void*>(result_repr)},
    {Py_tp_doc, const_cast<char*>(result_doc)},
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

PyObject* new_result(ModuleState& state, storage::Document record, double score) {
  PyObject* self = state.result_type->tp_alloc(state.result_type, 0);
  if (!self) return nullptr;
  new (&as_result(self)->record) storage::Document(std::move(record));
  as_result(self)->score = score;
  return self;
}

}  // namespace tarnwick
