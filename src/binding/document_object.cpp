// The Python class Document: a copy of one stored document's record. Python code never builds
// one; the engine hands them out. Each object caches its own text once read.
#include "binding/document_object.hpp"

#include <new>

#include "binding/arguments.hpp"
#include "binding/borrow.hpp"
#include "binding/errors.hpp"
#include "binding/py_ref.hpp"
#include "utils/overloaded.hpp"
#include "utils/ulid.hpp"

namespace tarnwick {

namespace {

struct DocumentObject {
  PyObject_HEAD
  BorrowFlag borrow;
  storage::Document record;
};

DocumentObject* as_document(PyObject* self) { return reinterpret_cast<DocumentObject*>(self); }

void document_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_document(self)->record.~Document();
  as_document(self)->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* document_id(PyObject* self, void*) {
  return guarded([&] {
    const std::string text = utils::ulid_to_string(as_document(self)->record.id_value());
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* raise_content_error(const storage::ContentError& error) {
  return std::visit(utils::Overloaded{
                        [](const utils::IoError& e) { return raise(e); },
                        [](const storage::DecompressError& e) {
                          return raise_message(PyExc_ValueError,
                                               "Failed to decompress document content: " +
                                                   e.message);
                        },
                    },
                    error.detail);
}

PyObject* document_content(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    DocumentObject& document = *as_document(self);
    auto attempt = document.borrow.exclusive();
    if (!attempt.guard) {
      PyErr_SetString(PyExc_RuntimeError, BorrowFlag::message(attempt.conflict));
      return nullptr;
    }
    return record_text(document.record);
  });
}

// Longest piece of the text that repr shows.
constexpr Py_ssize_t kReprExcerpt = 40;

// <tarnwick.Document id='...' content='...'>, the text cut short; a text that cannot be read
// (not saved yet, damaged) is said so instead of raising.
PyObject* document_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    PyRef id = PyRef::steal(document_id(self, nullptr));
    if (!id) return nullptr;
    PyRef content = PyRef::steal(document_content(self, nullptr));
    if (!content) {
      if (!PyErr_ExceptionMatches(PyExc_OSError) && !PyErr_ExceptionMatches(PyExc_ValueError)) {
        return nullptr;
      }
      PyErr_Clear();
      return PyUnicode_FromFormat("<tarnwick.Document id=%R content not readable>", id.get());
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(content.get());
    if (length <= kReprExcerpt) {
      return PyUnicode_FromFormat("<tarnwick.Document id=%R content=%R>", id.get(), content.get());
    }
    PyRef excerpt = PyRef::steal(PyUnicode_Substring(content.get(), 0, kReprExcerpt));
    if (!excerpt) return nullptr;
    return PyUnicode_FromFormat("<tarnwick.Document id=%R content=%R...>", id.get(),
                                excerpt.get());
  });
}

PyDoc_STRVAR(document_doc,
             "A copy of one stored document, handed out by Search.get and Result.document.");
PyDoc_STRVAR(id_doc, "The document id: 26 characters of Crockford base32.");
PyDoc_STRVAR(content_doc,
             "The document text. A saved text is read from the engine directory on first\n"
             "access and cached; one not saved yet, or of a search's best hits, came with the\n"
             "document.");

PyGetSetDef document_getset[] = {
    {"id", document_id, nullptr, id_doc, nullptr},
    {"content", document_content, nullptr, content_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot document_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(document_dealloc)},
    {Py_tp_getset, document_getset},
    {Py_tp_repr, reinterpret_cast<void*>(document_repr)},
    {Py_tp_doc, const_cast<char*>(document_doc)},
    {0, nullptr},
};

}  // namespace

PyObject* record_text(storage::Document& record) {
  if (!record.content) {
    auto text = storage::read_content(record);
    if (!text) return raise_content_error(text.error());
    // Cached only once it is known to be text.
    PyObject* decoded =
        PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "strict");
    if (decoded) record.content = std::move(*text);
    return decoded;
  }
  const std::string& content = *record.content;
  return PyUnicode_DecodeUTF8(content.data(), static_cast<Py_ssize_t>(content.size()), "strict");
}

PyType_Spec document_spec = {
    "tarnwick.native.Document",
    sizeof(DocumentObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    document_slots,
};

PyObject* new_document(ModuleState& state, storage::Document record) {
  PyObject* self = state.document_type->tp_alloc(state.document_type, 0);
  if (!self) return nullptr;
  new (&as_document(self)->borrow) BorrowFlag();
  new (&as_document(self)->record) storage::Document(std::move(record));
  return self;
}

}  // namespace tarnwick
