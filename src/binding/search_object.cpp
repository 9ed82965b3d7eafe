// The Python class Search: one engine over one directory. Every method runs to completion on the
// calling thread, holding the interpreter lock, behind the object's borrow flag.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/borrow.hpp"
#include "engine/search.hpp"
#include "binding/document_object.hpp"
#include "binding/errors.hpp"
#include "binding/module.hpp"
#include "binding/py_ref.hpp"
#include "utils/ulid.hpp"

namespace tarnwick {

namespace {

struct SearchObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::unique_ptr<engine::Search> engine;  // null once closed, which released the writer lock
  std::filesystem::path dir;             // as given to the constructor, for repr
  bool read_only;
};

SearchObject* as_search(PyObject* self) { return reinterpret_cast<SearchObject*>(self); }

PyObject* raise_search_error(const engine::SearchError& error) {
  return std::visit([](const auto& detail) { return raise(detail); }, error.detail);
}

PyObject* search_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static const char* keywords[] = {"dir", "config", nullptr};
    PyObject* dir_value;
    PyObject* config_value;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Search", const_cast<char**>(keywords),
                                     &dir_value, &config_value)) {
      return nullptr;
    }
    auto dir = path_argument(dir_value, "dir");
    if (!dir) return nullptr;
    std::optional<std::filesystem::path> config_path;
    if (config_value != Py_None) {
      config_path = path_argument(config_value, "config");
      if (!config_path) return nullptr;
    }
    auto engine = engine::Search::open(*dir, config_path);
    if (!engine) return raise_search_error(engine.error());

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_search(self)->borrow) BorrowFlag();
    new (&as_search(self)->engine) std::unique_ptr<engine::Search>(std::move(*engine));
    new (&as_search(self)->dir) std::filesystem::path(std::move(*dir));
    as_search(self)->read_only = as_search(self)->engine->read_only();
    return self;
  });
}

void search_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_search(self)->dir.~path();
  as_search(self)->engine.~unique_ptr();
  as_search(self)->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

// Parses a method's required arguments, by position or keyword.
template <class... Values>
bool parse(PyObject* args, PyObject* kwargs, const char* format, const char* const* names,
           Values**... values) {
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(names), values...);
}

PyObject* raise_closed() {
  PyErr_SetString(PyExc_ValueError, "Cannot operate on a closed Search.");
  return nullptr;
}

// Takes the borrow a method needs and runs it, releasing the borrow on every path. Arguments are
// converted inside the body, under the borrow, since converting may run Python code.
template <class F>
PyObject* with_borrow(PyObject* self, bool exclusive, F&& body) {
  return guarded([&]() -> PyObject* {
    BorrowFlag& flag = as_search(self)->borrow;
    auto attempt = exclusive ? flag.exclusive() : flag.shared();
    if (!attempt.guard) {
      PyErr_SetString(PyExc_RuntimeError, BorrowFlag::message(attempt.conflict));
      return nullptr;
    }
    return body(*as_search(self));
  });
}

// The same, for a method of the open engine.
template <class F>
PyObject* borrowed(PyObject* self, bool exclusive, F&& body) {
  return with_borrow(self, exclusive, [&](SearchObject& search) -> PyObject* {
    if (!search.engine) return raise_closed();
    return body(*search.engine);
  });
}

// A document id given as text.
std::optional<utils::uint128> id_argument(PyObject* value) {
  auto text = str_argument(value, "id");
  if (!text) return std::nullopt;
  auto id = utils::ulid_from_string(*text);
  if (!id) {
    raise(id.error());
    return std::nullopt;
  }
  return *id;
}

// The 26-character text of a document id, as a new str.
PyObject* id_text(utils::uint128 id) {
  const std::string rendered = utils::ulid_to_string(id);
  return PyUnicode_FromStringAndSize(rendered.data(), static_cast<Py_ssize_t>(rendered.size()));
}

PyObject* search_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"doc", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:add", names, &value)) return nullptr;
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto text = str_argument(value, "doc");
    if (!text) return nullptr;
    auto id = engine.add(*text);
    if (!id) return raise_search_error(id.error());
    return id_text(*id);
  });
}

PyObject* search_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:get", names, &value)) return nullptr;
  return borrowed(self, false, [&](engine::Search& engine) -> PyObject* {
    auto id = id_argument(value);
    if (!id) return nullptr;
    const std::optional<storage::Document> document = engine.get(*id);
    if (!document) {
      return raise_message(PyExc_KeyError,
                           "Document with id: " + utils::ulid_to_string(*id) + " does not exist");
    }
    return new_document(*module_state(Py_TYPE(self)), engine.documents().readable_copy(*document));
  });
}

PyObject* search_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:delete", names, &value)) return nullptr;
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto id = id_argument(value);
    if (!id) return nullptr;
    if (auto deleted = engine.delete_document(*id); !deleted) {
      return raise_search_error(deleted.error());
    }
    Py_RETURN_TRUE;
  });
}

// The texts a list of hits carries, read together when it is made: those of the best
// kHitTexts hits, up to kHitTextBytes of text, best hits first; the others are read when asked
// for. Hits are there to be shown, and their texts are read from the data files the store keeps
// open, a system call a text, where reading one later opens its file (4 system calls a text); a
// long list, more often counted than shown, would pay for texts nobody reads.
constexpr size_t kHitTexts = 100;
constexpr uint64_t kHitTextBytes = uint64_t{1} << 20;

// The hits as a list of new Result objects, in their order.
PyObject* result_list(PyTypeObject* search_type, const engine::Search& engine,
                      std::vector<engine::Hit>& hits) {
  ModuleState& state = *module_state(search_type);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  std::vector<storage::Document> with_texts;
  for (size_t i = 0; i < std::min(hits.size(), kHitTexts); ++i) {
    with_texts.push_back(engine.documents().readable_copy(hits[i].document));
  }
  engine.documents().read_contents(with_texts, kHitTextBytes);
  const std::shared_ptr<const StopWords> stop_words = engine.stop_words();
  for (size_t i = 0; i < hits.size(); ++i) {
    PyObject* result = new_result(state,
                                  i < with_texts.size()
                                      ? std::move(with_texts[i])
                                      : engine.documents().readable_copy(hits[i].document),
                                  hits[i].score, std::move(hits[i].positions), stop_words);
    if (!result) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result);
  }
  return list.release();
}

PyObject* search_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "top_k", nullptr};
  PyObject* query_value;
  PyObject* top_k_value;
  if (!parse(args, kwargs, "OO:search", names, &query_value, &top_k_value)) return nullptr;
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto query = str_argument(query_value, "query");
    if (!query) return nullptr;
    auto top_k = u32_argument(top_k_value, "top_k");
    if (!top_k) return nullptr;
    auto hits = engine.search(std::string(*query), *top_k);
    if (!hits) return raise_message(PyExc_ValueError, hits.error().message);
    return result_list(Py_TYPE(self), engine, *hits);
  });
}

PyObject* search_search_page(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "offset", "limit", nullptr};
  PyObject* query_value;
  PyObject* offset_value;
  PyObject* limit_value;
  if (!parse(args, kwargs, "OOO:search_page", names, &query_value, &offset_value, &limit_value)) {
    return nullptr;
  }
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto query = str_argument(query_value, "query");
    if (!query) return nullptr;
    auto offset = u32_argument(offset_value, "offset");
    if (!offset) return nullptr;
    auto limit = u32_argument(limit_value, "limit");
    if (!limit) return nullptr;
    auto hits = engine.search_page(std::string(*query), *offset, *limit);
    if (!hits) return raise_message(PyExc_ValueError, hits.error().message);
    return result_list(Py_TYPE(self), engine, *hits);
  });
}

PyObject* search_count(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", nullptr};
  PyObject* query_value;
  if (!parse(args, kwargs, "O:count", names, &query_value)) return nullptr;
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto query = str_argument(query_value, "query");
    if (!query) return nullptr;
    auto matching = engine.count(std::string(*query));
    if (!matching) return raise_message(PyExc_ValueError, matching.error().message);
    return PyLong_FromUnsignedLongLong(*matching);
  });
}

// Figures about the engine's contents, for tools and curious users.
PyObject* search_stats(PyObject* self, PyObject*) {
  return borrowed(self, false, [&](engine::Search& engine) -> PyObject* {
    const auto& documents = engine.documents();
    PyRef writer_pid = engine.writer_pid() ? PyRef::steal(PyLong_FromLongLong(*engine.writer_pid()))
                                           : PyRef::borrow(Py_None);
    if (!writer_pid) return nullptr;
    return Py_BuildValue("{s:n,s:n,s:n,s:n,s:d,s:O,s:O}", "documents",
                         static_cast<Py_ssize_t>(documents.live_count()), "pending_deletions",
                         static_cast<Py_ssize_t>(documents.deleted_documents().size()), "tokens",
                         static_cast<Py_ssize_t>(engine.tokens().size()), "segments",
                         static_cast<Py_ssize_t>(documents.segments().size()), "avg_doc_len",
                         engine.avg_doc_len(), "read_only",
                         engine.read_only() ? Py_True : Py_False, "writer_pid", writer_pid.get());
  });
}

// A method without arguments whose engine operation gives nothing but success or an error.
template <auto operation>
PyObject* saving(PyObject* self, PyObject*) {
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    if (auto done = (engine.*operation)(); !done) return raise_search_error(done.error());
    Py_RETURN_NONE;
  });
}

// Flushes (the writer), then releases the engine and with it the writer lock. A failed flush is
// raised and leaves the engine open, so that nothing pending is lost. Closing again does nothing.
PyObject* search_close(PyObject* self, PyObject*) {
  return with_borrow(self, true, [&](SearchObject& search) -> PyObject* {
    std::unique_ptr<engine::Search>& engine = search.engine;
    if (!engine) Py_RETURN_NONE;
    if (!engine->read_only()) {
      if (auto done = engine->flush(); !done) return raise_search_error(done.error());
    }
    engine.reset();
    Py_RETURN_NONE;
  });
}

PyObject* search_read_only(PyObject* self, void*) {
  return Py_NewRef(as_search(self)->read_only ? Py_True : Py_False);
}

// `with Search(...) as engine:` closes when the block ends. When the block raised, a failing
// flush must not replace that exception: the flush error is attached to it as a note instead.
PyObject* search_enter(PyObject* self, PyObject*) {
  if (!as_search(self)->engine) return raise_closed();
  return Py_NewRef(self);
}

// The exception being raised, taken out of the error indicator.
PyRef take_raised_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject* type;
  PyObject* value;
  PyObject* traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
#endif
}

PyObject* search_exit(PyObject* self, PyObject* args) {
  PyObject* type;
  PyObject* raised;
  PyObject* traceback;
  if (!PyArg_UnpackTuple(args, "__exit__", 3, 3, &type, &raised, &traceback)) return nullptr;
  PyRef closed = PyRef::steal(search_close(self, nullptr));
  if (closed) Py_RETURN_FALSE;
  if (raised == Py_None) return nullptr;  // the flush error is the only one
  PyRef failure = take_raised_exception();
  PyRef note =
      PyRef::steal(PyUnicode_FromFormat("flushing on exit also failed: %R", failure.get()));
  if (!note) return nullptr;
  PyRef added = PyRef::steal(PyObject_CallMethod(raised, "add_note", "O", note.get()));
  if (!added) return nullptr;
  Py_RETURN_FALSE;
}

// The UTF-8 texts of an iterable of str, and what holds them: they stay valid while `holder`
// lives. A str or bytes given whole is refused rather than taken as a sequence of characters.
struct TextsArgument {
  PyRef holder;
  std::vector<std::string_view> texts;
};

std::optional<TextsArgument> texts_argument(PyObject* value) {
  if (PyUnicode_Check(value) || PyBytes_Check(value)) {
    PyErr_Format(PyExc_TypeError, "argument 'texts': expected an iterable of str, not %.100s",
                 Py_TYPE(value)->tp_name);
    return std::nullopt;
  }
  TextsArgument argument{
      PyRef::steal(PySequence_Fast(value, "argument 'texts': expected an iterable of str")), {}};
  if (!argument.holder) return std::nullopt;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(argument.holder.get());
  argument.texts.reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PySequence_Fast_GET_ITEM(argument.holder.get(), i);
    if (!PyUnicode_Check(item)) {
      PyErr_Format(PyExc_TypeError, "argument 'texts': item %zd is %.100s, not str", i,
                   Py_TYPE(item)->tp_name);
      return std::nullopt;
    }
    auto text = str_argument(item, "texts");
    if (!text) return std::nullopt;
    argument.texts.push_back(*text);
  }
  return argument;
}

// Adds to the exception being raised a note of how many texts add_many added before it.
void note_added(size_t added) {
  PyRef raised = take_raised_exception();
  PyRef note = PyRef::steal(
      PyUnicode_FromFormat("add_many added the first %zu of the texts before this error", added));
  if (note) Py_XDECREF(PyObject_CallMethod(raised.get(), "add_note", "O", note.get()));
  PyErr_Clear();  // a note that cannot be added leaves the error as it was
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.get())), raised.get());
}

PyObject* search_add_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"texts", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:add_many", names, &value)) return nullptr;
  return borrowed(self, true, [&](engine::Search& engine) -> PyObject* {
    auto argument = texts_argument(value);
    if (!argument) return nullptr;
    engine::Search::AddedMany added = engine.add_many(argument->texts);
    if (!added.status) {
      raise_search_error(added.status.error());
      note_added(added.ids.size());
      return nullptr;
    }
    PyRef ids = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(added.ids.size())));
    if (!ids) return nullptr;
    for (size_t i = 0; i < added.ids.size(); ++i) {
      PyObject* id = id_text(added.ids[i]);
      if (!id) return nullptr;
      PyList_SET_ITEM(ids.get(), static_cast<Py_ssize_t>(i), id);
    }
    return ids.release();
  });
}

// <tarnwick.Search dir='...' read_only=False documents=N>; the count is left out while a call
// holds the engine, and once it is closed.
PyObject* search_repr(PyObject* self) {
  return guarded([&]() -> PyObject* {
    const SearchObject& search = *as_search(self);
    PyRef dir = PyRef::steal(PyUnicode_DecodeFSDefault(search.dir.c_str()));
    if (!dir) return nullptr;
    const char* read_only = search.read_only ? "True" : "False";
    if (!search.engine) {
      return PyUnicode_FromFormat("<tarnwick.Search dir=%R read_only=%s closed>", dir.get(),
                                  read_only);
    }
    auto attempt = as_search(self)->borrow.shared();
    if (!attempt.guard) {
      return PyUnicode_FromFormat("<tarnwick.Search dir=%R read_only=%s>", dir.get(), read_only);
    }
    return PyUnicode_FromFormat("<tarnwick.Search dir=%R read_only=%s documents=%zu>", dir.get(),
                                read_only, search.engine->documents().live_count());
  });
}

PyDoc_STRVAR(search_doc, "Search(dir, config)\n--\n\n");
PyDoc_STRVAR(add_doc, "add($self, doc)\n--\n\n");
PyDoc_STRVAR(add_many_doc,
             "add_many($self, texts)\n--\n\n"
             "Adds every str of the iterable `texts` as add would, in order, and returns their\n"
             "ids in that order; faster than calling add for each, and leaving the same state.\n"
             "Every item is checked before any is added. Should adding fail part way, the texts\n"
             "before the failing one stay added, and a note on the exception counts them.");
PyDoc_STRVAR(get_doc, "get($self, id)\n--\n\n");
PyDoc_STRVAR(delete_doc, "delete($self, id)\n--\n\n");
PyDoc_STRVAR(search_search_doc, "search($self, query, top_k)\n--\n\n");
PyDoc_STRVAR(search_page_doc,
             "search_page($self, query, offset, limit)\n--\n\n"
             "The hits that search ranks from `offset` on, at most `limit` of them (0: no\n"
             "limit), for the cost of a search of the best offset + limit. Equal scores rank by\n"
             "id, so consecutive pages of an unchanged engine neither overlap nor skip a hit.");
PyDoc_STRVAR(count_doc,
             "count($self, query)\n--\n\n"
             "The number of documents matching `query`: len(search(query, 0)), without\n"
             "ranking them or building their results.");
PyDoc_STRVAR(flush_doc, "flush($self)\n--\n\n");
PyDoc_STRVAR(merge_doc, "merge($self)\n--\n\n");
PyDoc_STRVAR(stats_doc,
             "stats($self)\n--\n\n"
             "Counts of the engine's contents: live documents, deletions not yet purged from the\n"
             "index, distinct tokens, segments, and the average document length in tokens; and\n"
             "whether it is read-only, with the process that held the writer lock when it opened.");
PyDoc_STRVAR(close_doc,
             "close($self)\n--\n\n"
             "Flushes, then releases the engine and its writer lock; later calls raise\n"
             "ValueError. A failed flush raises and leaves the engine open. Closing a closed\n"
             "engine does nothing.");
PyDoc_STRVAR(read_only_doc,
             "True when another Search held the directory's writer lock as this one opened:\n"
             "then it reads what was saved at that moment, and add, delete, flush and merge\n"
             "raise BlockingIOError.");
PyDoc_STRVAR(enter_doc, "__enter__($self, /)\n--\n\nReturns the engine itself.");
PyDoc_STRVAR(exit_doc,
             "__exit__($self, exc_type, exc_value, traceback, /)\n--\n\n"
             "Closes. An exception raised in the block still propagates; if the flush fails\n"
             "as well, its error is added to that exception as a note.");

PyMethodDef search_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_add)),
     METH_VARARGS | METH_KEYWORDS, add_doc},
    {"add_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_add_many)),
     METH_VARARGS | METH_KEYWORDS, add_many_doc},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_get)),
     METH_VARARGS | METH_KEYWORDS, get_doc},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_delete)),
     METH_VARARGS | METH_KEYWORDS, delete_doc},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_search)),
     METH_VARARGS | METH_KEYWORDS, search_search_doc},
    {"search_page",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_search_page)),
     METH_VARARGS | METH_KEYWORDS, search_page_doc},
    {"count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_count)),
     METH_VARARGS | METH_KEYWORDS, count_doc},
    {"flush", saving<&engine::Search::flush>, METH_NOARGS, flush_doc},
    {"merge", saving<&engine::Search::merge>, METH_NOARGS, merge_doc},
    {"stats", search_stats, METH_NOARGS, stats_doc},
    {"close", search_close, METH_NOARGS, close_doc},
    {"__enter__", search_enter, METH_NOARGS, enter_doc},
    {"__exit__", search_exit, METH_VARARGS, exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef search_getset[] = {
    {"read_only", search_read_only, nullptr, read_only_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot search_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_methods, search_methods},
    {Py_tp_getset, search_getset},
    {Py_tp_repr, reinterpret_cast<void*>(search_repr)},
    {Py_tp_doc, const_cast<char*>(search_doc)},
    {0, nullptr},
};

}  // namespace

PyType_Spec search_spec = {
    "tarnwick.native.Search",
    sizeof(SearchObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    search_slots,
};

}  // namespace tarnwick
