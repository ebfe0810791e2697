// Modules looked up by name at each use, so that a replaced sys.modules entry takes effect at once.
#pragma once

#include <Python.h>

#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

// CAUTION: may run Python code (an import, the first time). The module named `name` (an interned
// str): straight from sys.modules when it is there, through the import machinery otherwise.
[[nodiscard]] Result<PyRef> import_module(PyObject* name) noexcept;

// The attribute `attribute` of the module named `module`.
[[nodiscard]] Result<PyRef> module_attribute(PyObject* module, PyObject* attribute) noexcept;

}  // namespace vesk::utils
