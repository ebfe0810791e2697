// The dotted "module.qualified.name" of the function a frame runs.
#pragma once

#include <Python.h>

#include <optional>
#include <string>

#include "utils/result.hpp"

namespace vesk::utils {

// CAUTION: may run Python code (attribute access, str()). Requires the interpreter lock.
// Absent when no name can be determined; an error only from the direct (co_qualname/<module>) path.
[[nodiscard]] Result<std::optional<std::string>> get_qualname(PyObject* frame) noexcept;

// CAUTION: may run Python code, like `get_qualname`.
// The heuristic reconstruction for code objects without "co_qualname". Exposed for tests, which run
// it against stand-in frames on interpreters that do have "co_qualname".
[[nodiscard]] Result<std::optional<std::string>> get_qualname_inner(PyObject* frame, PyObject* co_name) noexcept;

}  // namespace vesk::utils
