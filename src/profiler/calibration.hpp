// What the recorder cannot time itself: the interpreter's own work of handing it an event, done
// before the recorder runs. Measured once per process and mechanism, so that the recorder's share of
// a duration can include it.
#pragma once

#include <Python.h>

namespace vesk::profiler {

// Requires the interpreter lock, outside any profile event. Nanoseconds per event that a profile
// function costs the interpreter when it does nothing; 0 when it cannot be measured.
[[nodiscard]] double profile_function_delivery_ns() noexcept;

// Requires the interpreter lock, outside any profile event, with `tool_id` held and no event set for
// it. The same through sys.monitoring (`monitoring` is the module).
[[nodiscard]] double monitoring_delivery_ns(PyObject* monitoring, int tool_id) noexcept;

}  // namespace vesk::profiler
