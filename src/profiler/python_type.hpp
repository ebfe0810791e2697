// The Python face of the profiler: the VeskProfiler type, its instances and the profile callback.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include "utils/result.hpp"

namespace vesk::profiler {

// Builds a profiler from the host profiler object's configuration and returns a new VeskProfiler
// object holding it (creating the type on first use). Construction failures propagate unchanged;
// a failed allocation is an internal error.
[[nodiscard]] utils::Result<utils::PyRef> new_profiler_object(PyObject* host) noexcept;

class Profiler;

// The profiler a VeskProfiler object holds; null for any other object.
[[nodiscard]] Profiler* profiler_in(PyObject* object) noexcept;

// Requires the interpreter lock, outside any event. Makes `profiler` (a VeskProfiler object) the
// calling thread's profile function.
void install_profile_callback(PyObject* profiler) noexcept;

// The interpreter-level profile function; `profiler` is the VeskProfiler object it was installed with.
int profile_callback(PyObject* profiler, PyFrameObject* frame, int what, PyObject* arg) noexcept;

}  // namespace vesk::profiler
