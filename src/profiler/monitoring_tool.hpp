// Callbacks registered with sys.monitoring for one tool id: the one way the engine does it, for the
// recording tool and for measuring what the interpreter's delivery of an event costs.
#pragma once

#include <Python.h>

#include <span>

#include "utils/result.hpp"

namespace vesk::profiler {

struct ToolCallback {
    const char* event;   // its name in sys.monitoring.events
    PyObject* function;  // borrowed
};

// Requires the interpreter lock, with `tool_id` held. Registers each callback for its event, then
// turns on exactly those events for the tool (`monitoring` is the sys.monitoring module).
[[nodiscard]] utils::Status start_tool_events(PyObject* monitoring, int tool_id,
                                              std::span<const ToolCallback> callbacks) noexcept;

// Requires the interpreter lock. Turns the tool's events off, then unregisters its callbacks of
// `events`.
[[nodiscard]] utils::Status stop_tool_events(PyObject* monitoring, int tool_id,
                                             std::span<const char* const> events) noexcept;

}  // namespace vesk::profiler
