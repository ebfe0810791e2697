// Each area of the engine adds its test-only functions to the module `_vesk_testing`.
#pragma once

#include <Python.h>

namespace vesk::testing {

// Each returns 0, or -1 with an exception set.
int add_utils_bindings(PyObject* module);
int add_filters_bindings(PyObject* module);
int add_plugins_bindings(PyObject* module);
int add_profiler_bindings(PyObject* module);

}  // namespace vesk::testing
