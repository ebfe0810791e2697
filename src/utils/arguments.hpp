// Argument parsing for METH_FASTCALL | METH_KEYWORDS functions whose parameters are all required and
// may be given by position or by keyword. Written here because the interpreter's own fast parser is
// private API whose layout changes between versions.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

#include "utils/result.hpp"

namespace vesk::utils {

// Fills `out` (one borrowed object per name in `names`) or fails with the interpreter's usual
// TypeError wording for a missing, surplus, unexpected or doubled argument of `function`.
[[nodiscard]] Status parse_arguments(std::string_view function, std::span<const char* const> names,
                                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                     std::span<PyObject*> out) noexcept;

}  // namespace vesk::utils
