// The module's per-interpreter state: the classes it registers, for the methods that build
// instances of them.
#pragma once

#include <Python.h>

namespace tarnwick {

struct ModuleState {
  PyTypeObject* result_type;
  PyTypeObject* search_type;
  PyTypeObject* document_type;
};

// The state of the module that defined `type`, or nullptr with an exception set.
ModuleState* module_state(PyTypeObject* type);

// Type specs of the three classes, defined beside each class.
extern PyType_Spec result_spec;
extern PyType_Spec search_spec;
extern PyType_Spec document_spec;

}  // namespace tarnwick
