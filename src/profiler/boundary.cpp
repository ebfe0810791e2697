// The profile callback's one error boundary, for events from the profile function and from
// sys.monitoring alike. As the interpreter's own profiler engine does, the callback never raises
// into the program: whatever the recorder meets is reported and the event dropped.
#include <new>

#include "profiler/profiler.hpp"

namespace vesk::profiler {

using utils::Event;
using utils::PyError;
using utils::PyRef;
using utils::Status;

namespace {

// The code whose event failed, for the report; a frame that is none (a broken invariant) names none.
EventCode reported_code(PyObject* frame) noexcept {
    if (!Py_IS_TYPE(frame, &PyFrame_Type)) {
        return EventCode{PyRef(), Py_None, Py_None, {}, {}};
    }
    PyCodeObject* code = PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame));
    return EventCode{PyRef::steal(reinterpret_cast<PyObject*>(code)), code->co_filename, code->co_name, {}, {}};
}

PyError no_memory() noexcept {
    PyErr_NoMemory();
    return PyError::fetch();
}

}  // namespace

// One boundary for both ways in, inlined into each: `deliver` calls the handler directly, since an
// indirect call on every event costs as much as the rest of the boundary.
template <class Body>
int Profiler::settled(PyObject* owner, PyObject* frame, Event event, Body&& body) noexcept {
    Status handled = [&]() noexcept -> Status {
        try {
            return body();
        } catch (const std::bad_alloc&) {
            return no_memory();
        }
    }();
    return handled ? 0 : settle_failure(owner, frame, event, std::move(handled.error()));
}

int Profiler::deliver(PyObject* owner, PyObject* frame, Event event, EventArg arg) noexcept {
    return settled(owner, frame, event, [&] { return profile(owner, frame, event, arg); });
}

int Profiler::settle(PyObject* owner, PyObject* frame, Event event, Status (*body)(void* context),
                     void* context) noexcept {
    return settled(owner, frame, event, [&] { return body(context); });
}

int Profiler::settle_failure(PyObject* owner, PyObject* frame, Event event, PyError error) noexcept {
    // Reporting runs Python code, which may drop the interpreter's own reference to the profiler.
    PyRef keep_owner = PyRef::borrow(owner);
    Status reported = report_failure(std::move(error), frame, event, reported_code(frame));
    if (reported) {
        return 0;
    }
    // A KeyboardInterrupt or SystemExit a signal handler raised while the event's Python code ran:
    // the program's own, handed back to it.
    std::move(reported.error()).restore();
    return -1;
}

}  // namespace vesk::profiler
