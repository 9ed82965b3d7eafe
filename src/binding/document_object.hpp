// Building the module's value objects from engine records.
#pragma once

#include <Python.h>

#include "binding/module.hpp"
#include "storage/document.hpp"

namespace tarnwick {

// A new Document object holding a copy of `record`, or nullptr with an exception set.
PyObject* new_document(ModuleState& state, storage::Document record);

// A new Result object for one hit, or nullptr with an exception set.
PyObject* new_result(ModuleState& state, storage::Document record, double score);

}  // namespace tarnwick
