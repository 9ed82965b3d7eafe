// Building the module's value objects from engine records.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "base/config.hpp"
#include "binding/module.hpp"
#include "storage/document.hpp"

namespace tarnwick {

// A new Document object holding a copy of `record`, or nullptr with an exception set.
PyObject* new_document(ModuleState& state, storage::Document record);

// The text of `record` as a new str: its `content`, or else its block read from the data file,
// then kept in `content`. On failure nullptr, with the exceptions of Document.content raised.
PyObject* record_text(storage::Document& record);

// A new Result object for one hit, or nullptr with an exception set.
PyObject* new_result(ModuleState& state, storage::Document record, double score,
                     std::vector<uint32_t> positions, std::shared_ptr<const StopWords> stop_words);

}  // namespace tarnwick
