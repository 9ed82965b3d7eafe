// The Python class Result: one search hit, a document record and its score, and where the
// document matched. Python code never builds one; search hands them out.
#include <new>
#include <string>

#include "analysis/word_spans.hpp"
#include "binding/arguments.hpp"
#include "binding/document_object.hpp"
#include "binding/py_ref.hpp"
#include "utils/ulid.hpp"

namespace tarnwick {

namespace {

struct ResultObject {
  PyObject_HEAD
  storage::Document record;  // its text, once read for `matches`, kept in `content`
  double score;
  std::vector<uint32_t> positions;  // of the matched words, one per query token
  std::shared_ptr<const StopWords> stop_words;  // the engine's, to number the words again
};

ResultObject* as_result(PyObject* self) { return reinterpret_cast<ResultObject*>(self); }

void result_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_result(self)->record.~Document();
  as_result(self)->positions.~vector();
  as_result(self)->stop_words.~shared_ptr();
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

// [(start, end), ...] in characters of the text, one per query token: its positions found again
// by numbering the words of the text as the tokenizer did.
PyObject* result_matches(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    ResultObject& result = *as_result(self);
    PyRef text = PyRef::steal(record_text(result.record));
    if (!text) return nullptr;
    const auto spans =
        analysis::word_spans(*result.record.content, *result.stop_words, result.positions);
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& span : spans) {
      if (!span) continue;  // a text that no longer has that many words
      PyRef pair = PyRef::steal(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(span->char_begin),
                                              static_cast<Py_ssize_t>(span->char_end)));
      if (!pair || PyList_Append(list.get(), pair.get()) != 0) return nullptr;
    }
    return list.release();
  });
}

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
PyDoc_STRVAR(matches_doc,
             "Where the document matched: (start, end) in characters of its text for each query\n"
             "term that counts (stop words do not), in query order: the words of the place in the\n"
             "text that gave the score. Reads the text like Document.content.");

PyGetSetDef result_getset[] = {
    {"document", result_document, nullptr, document_doc, nullptr},
    {"score", result_score, nullptr, score_doc, nullptr},
    {"matches", result_matches, nullptr, matches_doc, nullptr},
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

PyObject* new_result(ModuleState& state, storage::Document record, double score,
                     std::vector<uint32_t> positions, std::shared_ptr<const StopWords> stop_words) {
  PyObject* self = state.result_type->tp_alloc(state.result_type, 0);
  if (!self) return nullptr;
  new (&as_result(self)->record) storage::Document(std::move(record));
  as_result(self)->score = score;
  new (&as_result(self)->positions) std::vector<uint32_t>(std::move(positions));
  new (&as_result(self)->stop_words) std::shared_ptr<const StopWords>(std::move(stop_words));
  return self;
}

}  // namespace tarnwick
