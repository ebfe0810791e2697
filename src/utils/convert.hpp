// Conversions of Python values into plain native values, with the engine's one wording for each
// failure. Configuration and plugin descriptions are converted once, at construction, through these.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "utils/result.hpp"

namespace vesk::utils {

// The UTF-8 text of a str (or str subclass); 'PyString' conversion error otherwise. The view is
// valid while `value` lives.
[[nodiscard]] Result<std::string_view> string_view_of(PyObject* value) noexcept;
[[nodiscard]] Result<std::string> string_of(PyObject* value) noexcept;

// A sequence of str that is not itself a str: "Can't extract `str` to `Vec`" for a str, a 'Sequence'
// conversion error for a non-sequence, a 'PyString' one for a non-str element.
[[nodiscard]] Result<std::vector<std::string>> string_list_of(PyObject* value) noexcept;

// A non-negative integer (or an object with __index__) that fits 64 bits; the interpreter's own
// TypeError or OverflowError otherwise.
[[nodiscard]] Result<uint64_t> u64_of(PyObject* value) noexcept;

// Strictly a bool (a NumPy boolean scalar through its truth value); 'PyBool' conversion error otherwise.
[[nodiscard]] Result<bool> bool_of(PyObject* value) noexcept;

}  // namespace vesk::utils
