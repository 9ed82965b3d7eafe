// The extension module tarnwick.native: multi-phase initialisation registering Result, Search
// and Document, then the seven exception types, in that order. Nothing else runs at import.
#include "binding/module.hpp"

#include <array>

#include "binding/errors.hpp"
#include "binding/py_ref.hpp"

namespace tarnwick {

namespace {

int add_type(PyObject* module, PyType_Spec* spec, PyTypeObject*& slot) {
  PyRef type = PyRef::steal(PyType_FromModuleAndSpec(module, spec, nullptr));
  if (!type || PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type.get())) != 0) {
    return -1;
  }
  slot = reinterpret_cast<PyTypeObject*>(type.release());
  return 0;
}

int exec_module(PyObject* module) {
  // The exception types are cached for the whole process, so only one interpreter may use them.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError,
                    "module tarnwick.native does not support loading in subinterpreters");
    return -1;
  }
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (add_type(module, &result_spec, state->result_type) != 0 ||
      add_type(module, &search_spec, state->search_type) != 0 ||
      add_type(module, &document_spec, state->document_type) != 0) {
    return -1;
  }
  constexpr std::array kExported = {
      ExceptionType::BincodeDecodeError,    ExceptionType::BincodeEncodeError,
      ExceptionType::CompressException,     ExceptionType::TryFromSliceException,
      ExceptionType::UlidDecodeError,       ExceptionType::UlidMonotonicError,
      ExceptionType::UnknownLogOperation,
  };
  for (ExceptionType type : kExported) {
    PyObject* cls = exception_type(type);
    if (!cls || PyModule_AddObjectRef(module, exception_name(type), cls) != 0) return -1;
  }
  // Created now, though never placed in the module.
  return exception_type(ExceptionType::TomlDeserializeException) ? 0 : -1;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  Py_VISIT(state->result_type);
  Py_VISIT(state->search_type);
  Py_VISIT(state->document_type);
  return 0;
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  Py_CLEAR(state->result_type);
  Py_CLEAR(state->search_type);
  Py_CLEAR(state->document_type);
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "native",
    nullptr,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace

ModuleState* module_state(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
}

}  // namespace tarnwick

PyMODINIT_FUNC PyInit_native() { return PyModuleDef_Init(&tarnwick::module_def); }
