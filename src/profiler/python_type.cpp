// The VeskProfiler type: instances wrap a native Profiler; the interpreter reaches it through the
// profile callback, the threading hook and the two trace methods.
#include "profiler/python_type.hpp"

#include <memory>
#include <new>

#include "profiler/calibration.hpp"
#include "profiler/profiler.hpp"
#include "profiler/thread_stores.hpp"
#include "utils/arguments.hpp"
#include "utils/compat.hpp"
#include "utils/convert.hpp"
#include "utils/entry.hpp"
#include "utils/interned.hpp"

namespace vesk::profiler {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

struct ProfilerObject {
    PyObject_HEAD
    // Constructed in place after allocation and destroyed in dealloc; never null once visible.
    std::unique_ptr<Profiler> profiler;
};

// Created on first use and kept for the rest of the process.
PyTypeObject* profiler_type = nullptr;

Profiler& profiler_of(PyObject* self) noexcept { return *reinterpret_cast<ProfilerObject*>(self)->profiler; }

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

void dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    // Dropping the profiler releases frames, plugin contexts and callables.
    reinterpret_cast<ProfilerObject*>(self)->profiler.~unique_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return profiler_of(self).traverse(visit, arg);
}

PyObject* save_request_in_db(PyObject* self, PyObject*) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        VESK_TRY(profiler_of(self).save_in_db());
        return utils::none();
    });
}

PyObject* build_trace(PyObject* self, PyObject*) noexcept {
    return utils::object_entry([&] { return profiler_of(self).build_trace(); });
}

PyObject* start_forked_trace(PyObject* self, PyObject* trace_id) noexcept {
    return utils::object_entry([&]() -> Result<PyRef> {
        auto text = utils::string_of(trace_id);
        VESK_TRY(text);
        profiler_of(self).start_forked_trace(std::move(*text));
        return utils::none();
    });
}

PyObject* recording_totals(PyObject* self, PyObject*) noexcept {
    return utils::object_entry([&] { return profiler_of(self).recording_totals(); });
}

// Installed by the threading module as the first profile function of each new thread: replaces
// itself with the native callback, so recording starts at the thread's next event.
PyObject* register_threading_profiler(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) noexcept {
    static constexpr const char* names[] = {"_frame", "_event", "_arg"};
    return utils::object_entry([&]() -> Result<PyRef> {
        PyObject* parsed[3];
        VESK_TRY(utils::parse_arguments("register_threading_profiler", names, args, nargs, kwnames, parsed));
        PyEval_SetProfile(profile_callback, self);
        return utils::none();
    });
}

int handle_call_or_return(PyObject* object, PyFrameObject* frame, utils::Event event, PyObject* arg) noexcept;

// The profiler as the Python-level profile function that `sys.setprofile(sys.getprofile())` makes of
// it (code that saves and restores the profile function does that): it puts the native callback back
// on the thread and records the event it was called for, so recording goes on as before.
PyObject* call_as_profile_function(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* frame = nullptr;
    PyObject* event = nullptr;
    PyObject* arg = nullptr;
    static const char* names[] = {"frame", "event", "arg", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!UO:VeskProfiler", const_cast<char**>(names), &PyFrame_Type,
                                     &frame, &event, &arg)) {
        return nullptr;
    }
    PyEval_SetProfile(profile_callback, self);
    const bool call = PyUnicode_CompareWithASCIIString(event, "call") == 0;
    if (call || PyUnicode_CompareWithASCIIString(event, "return") == 0) {
        if (handle_call_or_return(self, reinterpret_cast<PyFrameObject*>(frame),
                                  call ? utils::Event::Call : utils::Event::Return, arg) < 0) {
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"save_request_in_db", save_request_in_db, METH_NOARGS, "save_request_in_db($self)\n--\n\n"},
    {"build_trace", build_trace, METH_NOARGS, "build_trace($self)\n--\n\n"},
    {"start_forked_trace", start_forked_trace, METH_O,
     "start_forked_trace($self, trace_id, /)\n--\n\nIn a forked child: record on under a trace of its own."},
    {"recording_totals", recording_totals, METH_NOARGS,
     "recording_totals($self)\n--\n\nWhat the recording saved, left out and lost so far."},
    {"register_threading_profiler",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_threading_profiler)),
     METH_FASTCALL | METH_KEYWORDS, "register_threading_profiler($self, _frame, _event, _arg)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_methods, methods},
    {Py_tp_call, reinterpret_cast<void*>(call_as_profile_function)},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesk._vesk.VeskProfiler", sizeof(ProfilerObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, slots,
};

Result<PyTypeObject*> get_profiler_type() noexcept {
    if (profiler_type == nullptr) {
        PyObject* type = PyType_FromSpec(&spec);
        if (type == nullptr) {
            return PyError::fetch();
        }
        profiler_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return profiler_type;
}

// The profile callback's misuse cases: the pending exception, or SystemError if there is none.
int fail_with_pending_error() noexcept {
    PyError::fetch().restore();
    return -1;
}

}  // namespace

Profiler* profiler_in(PyObject* object) noexcept {
    if (profiler_type == nullptr || !PyObject_TypeCheck(object, profiler_type)) {
        return nullptr;
    }
    return &profiler_of(object);
}

void install_profile_callback(PyObject* profiler) noexcept {
    // Measured before the callback is in place: the measurement replaces the profile function.
    profiler_of(profiler).set_event_delivery_ns(profile_function_delivery_ns());
    PyEval_SetProfile(profile_callback, profiler);
}

Result<PyRef> new_profiler_object(PyObject* host) noexcept {
    auto profiler = new_from_python(host);
    VESK_TRY(profiler);
    auto type = get_profiler_type();
    VESK_TRY(type);
    PyRef object = PyRef::steal((*type)->tp_alloc(*type, 0));
    if (!object) {
        return utils::internal_error("Allocating a VeskProfiler object failed", PyError::fetch());
    }
    new (&reinterpret_cast<ProfilerObject*>(object.get())->profiler) std::unique_ptr<Profiler>(std::move(*profiler));
    return object;
}

namespace {

[[gnu::noinline]] int handle_call_or_return(PyObject* object, PyFrameObject* frame, utils::Event event,
                                            PyObject* arg) noexcept {
    if (object == nullptr) {
        return fail_with_pending_error();
    }
    if (profiler_type == nullptr || !PyObject_TypeCheck(object, profiler_type)) {
        utils::conversion_error(object, "VeskProfiler").restore();
        return -1;
    }
    if (frame == nullptr) {
        return fail_with_pending_error();
    }
    const EventArg event_arg{arg == nullptr ? Py_None : arg,
                             event == utils::Event::Return && utils::leaving_by_exception(frame, arg)};
    Profiler& profiler = profiler_of(object);
    auto* frame_object = reinterpret_cast<PyObject*>(frame);
    if constexpr (!utils::HAS_MONITORING) {
        // Only 3.11 can learn the exception this way: a trace function on 3.12 would have every
        // code object instrumented for line events.
        if (event_arg.raised && profiler.defer_unwind(object, frame_object)) {
            return 0;
        }
        if (event == utils::Event::Call) {
            profiler.watch_throw(object, frame_object);
        } else if (!event_arg.raised && profiler.holds_thrown()) {
            profiler.forget_thrown(frame_object);
        }
    }
    return profiler.deliver(object, frame_object, event, event_arg);
}

}  // namespace

int profile_callback(PyObject* object, PyFrameObject* frame, int what, PyObject* arg) noexcept {
    // Most events are calls and returns of built-in functions: they leave at the first comparison,
    // before any stack frame of the handler is set up.
    switch (what) {
        case PyTrace_CALL:
            return handle_call_or_return(object, frame, utils::Event::Call, arg);
        case PyTrace_RETURN:
            return handle_call_or_return(object, frame, utils::Event::Return, arg);
        default:
            passed_events += 1;
            return 0;
    }
}

}  // namespace vesk::profiler
