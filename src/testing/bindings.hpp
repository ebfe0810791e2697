// Each area of the engine adds its test-only functions to the module `_vesk_testing`.
#pragma once

#include <Python.h>

#include <array>
#include <string_view>

#include "utils/arguments.hpp"
#include "utils/result.hpp"

namespace vesk::testing {

// Each returns 0, or -1 with an exception set.
int add_utils_bindings(PyObject* module);
int add_filters_bindings(PyObject* module);
int add_plugins_bindings(PyObject* module);
int add_profiler_bindings(PyObject* module);

// The arguments of a METH_FASTCALL | METH_KEYWORDS test function, all required, by position or name.
template <size_t N>
utils::Result<std::array<PyObject*, N>> arguments(std::string_view function, const std::array<const char*, N>& names,
                                                  PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, N> out{};
    VESK_TRY(utils::parse_arguments(function, names, args, nargs, kwnames, out));
    return out;
}

}  // namespace vesk::testing
