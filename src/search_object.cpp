// The Python class Search: one engine over one directory. Every method runs to completion on the
// calling thread, holding the interpreter lock, behind the object's borrow flag.
#include <Python.h>

#include <memory>
#include <new>

#include "arguments.hpp"
#include "borrow.hpp"
#include "config.hpp"
#include "errors.hpp"
#include "module.hpp"

namespace tarnwick {

namespace {

// What an open engine holds so far: its directory and configuration.
struct Engine {
  std::filesystem::path dir;
  std::shared_ptr<const Config> config;
};

struct SearchObject {
  PyObject_HEAD
  BorrowFlag borrow;
  std::unique_ptr<Engine> engine;
};

SearchObject* as_search(PyObject* self) { return reinterpret_cast<SearchObject*>(self); }

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
    auto config = Config::load(config_path);
    if (!config) return raise(config.error());
    auto engine = std::make_unique<Engine>(
        Engine{std::move(*dir), std::make_shared<const Config>(std::move(*config))});

    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_search(self)->borrow) BorrowFlag();
    new (&as_search(self)->engine) std::unique_ptr<Engine>(std::move(engine));
    return self;
  });
}

void search_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
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

// Takes the borrow a method needs and runs it, releasing the borrow on every path.
template <class F>
PyObject* borrowed(PyObject* self, bool exclusive, F&& body) {
  return guarded([&]() -> PyObject* {
    BorrowFlag& flag = as_search(self)->borrow;
    auto attempt = exclusive ? flag.exclusive() : flag.shared();
    if (!attempt.guard) {
      PyErr_SetString(PyExc_RuntimeError, BorrowFlag::message(attempt.conflict));
      return nullptr;
    }
    return body(*as_search(self)->engine);
  });
}

PyObject* not_built(Engine&) {
  PyErr_SetString(PyExc_NotImplementedError, "the engine does not support this operation yet");
  return nullptr;
}

PyObject* search_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"doc", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:add", names, &value) || !str_argument(value, "doc")) {
    return nullptr;
  }
  return borrowed(self, true, not_built);
}

PyObject* search_get(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:get", names, &value) || !str_argument(value, "id")) {
    return nullptr;
  }
  return borrowed(self, false, not_built);
}

PyObject* search_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"id", nullptr};
  PyObject* value;
  if (!parse(args, kwargs, "O:delete", names, &value) || !str_argument(value, "id")) {
    return nullptr;
  }
  return borrowed(self, true, not_built);
}

PyObject* search_search(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"query", "top_k", nullptr};
  PyObject* query;
  PyObject* top_k;
  if (!parse(args, kwargs, "OO:search", names, &query, &top_k) ||
      !str_argument(query, "query") || !u32_argument(top_k, "top_k")) {
    return nullptr;
  }
  return borrowed(self, true, not_built);
}

PyObject* search_flush(PyObject* self, PyObject*) { return borrowed(self, true, not_built); }

PyObject* search_merge(PyObject* self, PyObject*) { return borrowed(self, true, not_built); }

PyDoc_STRVAR(search_doc, "Search(dir, config)\n--\n\n");
PyDoc_STRVAR(add_doc, "add($self, doc)\n--\n\n");
PyDoc_STRVAR(get_doc, "get($self, id)\n--\n\n");
PyDoc_STRVAR(delete_doc, "delete($self, id)\n--\n\n");
PyDoc_STRVAR(search_search_doc, "search($self, query, top_k)\n--\n\n");
PyDoc_STRVAR(flush_doc, "flush($self)\n--\n\n");
PyDoc_STRVAR(merge_doc, "merge($self)\n--\n\n");

PyMethodDef search_methods[] = {
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_add)),
     METH_VARARGS | METH_KEYWORDS, add_doc},
    {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_get)),
     METH_VARARGS | METH_KEYWORDS, get_doc},
    {"delete", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_delete)),
     METH_VARARGS | METH_KEYWORDS, delete_doc},
    {"search", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(search_search)),
     METH_VARARGS | METH_KEYWORDS, search_search_doc},
    {"flush", search_flush, METH_NOARGS, flush_doc},
    {"merge", search_merge, METH_NOARGS, merge_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot search_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(search_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_dealloc)},
    {Py_tp_methods, search_methods},
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
