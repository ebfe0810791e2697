#include "profiler/monitoring_tool.hpp"

#include "utils/checks.hpp"
#include "utils/pyref.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

// The bit sys.monitoring.events gives the event `name`.
Result<PyRef> event_bit(PyObject* monitoring, const char* name) noexcept {
    auto events = checked(PyObject_GetAttrString(monitoring, "events"));
    VESK_TRY(events);
    return checked(PyObject_GetAttrString(events->get(), name));
}

Status register_callback(PyObject* monitoring, int tool_id, PyObject* bit, PyObject* function) noexcept {
    VESK_TRY(checked(PyObject_CallMethod(monitoring, "register_callback", "iOO", tool_id, bit, function)));
    return {};
}

Status set_events(PyObject* monitoring, int tool_id, unsigned long long mask) noexcept {
    VESK_TRY(checked(PyObject_CallMethod(monitoring, "set_events", "iK", tool_id, mask)));
    return {};
}

}  // namespace

Status start_tool_events(PyObject* monitoring, int tool_id, std::span<const ToolCallback> callbacks) noexcept {
    utils::may_run_python();
    unsigned long long mask = 0;
    for (const ToolCallback& callback : callbacks) {
        auto bit = event_bit(monitoring, callback.event);
        VESK_TRY(bit);
        const unsigned long long value = PyLong_AsUnsignedLongLong(bit->get());
        if (PyErr_Occurred()) {
            return PyError::fetch();
        }
        VESK_TRY(register_callback(monitoring, tool_id, bit->get(), callback.function));
        mask |= value;
    }
    return set_events(monitoring, tool_id, mask);
}

Status stop_tool_events(PyObject* monitoring, int tool_id, std::span<const char* const> events) noexcept {
    utils::may_run_python();
    VESK_TRY(set_events(monitoring, tool_id, 0));
    for (const char* event : events) {
        auto bit = event_bit(monitoring, event);
        VESK_TRY(bit);
        VESK_TRY(register_callback(monitoring, tool_id, bit->get(), Py_None));
    }
    return {};
}

}  // namespace vesk::profiler
