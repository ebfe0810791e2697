// What an unwind record says of the exception that ended its call.
#pragma once

#include <Python.h>

#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::profiler {

// Requires the interpreter lock. The exception leaving a frame at `line`, as the value an unwind
// record holds in place of a returned one: {"type": qualified type name, "message": its text or None,
// "line": line}. The text is read only where that runs none of the program's code (an exception's
// own __str__ could do anything, in the middle of an event); None for anything but an exception.
[[nodiscard]] utils::Result<utils::PyRef> exception_description(PyObject* exception, int line) noexcept;

}  // namespace vesk::profiler
