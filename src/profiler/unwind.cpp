// What an unwind record says of the exception that ended its call.
#include "profiler/unwind.hpp"

#include <algorithm>
#include <array>

#include "profiler/profiler.hpp"
#include "profiler/python_type.hpp"
#include "utils/compat.hpp"
#include "utils/interned.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::PyRef;
using utils::Result;

namespace {

// "module.Qualname", or the bare name for a built-in exception, as a traceback names it.
Result<PyRef> type_name(PyTypeObject* type) noexcept {
    auto qualname = checked(PyType_GetQualName(type));
    VESK_TRY(qualname);
    auto module = checked(PyObject_GetAttr(reinterpret_cast<PyObject*>(type), utils::interned().dunder_module));
    if (!module) {
        return qualname;  // a type without a module is named by its qualified name alone
    }
    if (!PyUnicode_Check(module->get()) || PyUnicode_CompareWithASCIIString(module->get(), "builtins") == 0) {
        return qualname;
    }
    return checked(PyUnicode_FromFormat("%U.%U", module->get(), qualname->get()));
}

// Whether `type` turns itself into text with one of the interpreter's own exception __str__
// functions, which read only the exception's arguments.
bool has_native_str(PyTypeObject* type) noexcept {
    static const std::array<reprfunc, 6> native = {
        reinterpret_cast<PyTypeObject*>(PyExc_BaseException)->tp_str,
        reinterpret_cast<PyTypeObject*>(PyExc_OSError)->tp_str,
        reinterpret_cast<PyTypeObject*>(PyExc_KeyError)->tp_str,
        reinterpret_cast<PyTypeObject*>(PyExc_ImportError)->tp_str,
        reinterpret_cast<PyTypeObject*>(PyExc_SyntaxError)->tp_str,
        reinterpret_cast<PyTypeObject*>(PyExc_StopIteration)->tp_str,
    };
    return std::find(native.begin(), native.end(), type->tp_str) != native.end();
}

bool is_plain_scalar(PyObject* value) noexcept {
    return PyUnicode_CheckExact(value) || PyLong_CheckExact(value) || PyFloat_CheckExact(value) ||
           PyBool_Check(value) || value == Py_None;
}

// The exception's text: its one text argument as it stands, or what its native __str__ makes of
// arguments that are plain texts and numbers; None where only the program's code could say.
Result<PyRef> message_of(PyObject* exception) noexcept {
    PyObject* args = reinterpret_cast<PyBaseExceptionObject*>(exception)->args;
    if (args == nullptr || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) {
        return PyRef::borrow(Py_None);
    }
    if (PyTuple_GET_SIZE(args) == 1 && PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0))) {
        return PyRef::borrow(PyTuple_GET_ITEM(args, 0));
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        if (!is_plain_scalar(PyTuple_GET_ITEM(args, i))) {
            return PyRef::borrow(Py_None);
        }
    }
    if (!has_native_str(Py_TYPE(exception))) {
        return PyRef::borrow(Py_None);
    }
    return checked(PyObject_Str(exception));
}

utils::Status set(PyObject* dict, PyObject* key, PyObject* value) noexcept {
    if (PyDict_SetItem(dict, key, value) < 0) {
        return utils::PyError::fetch();
    }
    return {};
}

// The interpreter has let go of the frame by now: the reference held for the record may be the last,
// and releasing it the moment its generator locals are finalized (a generator closed, its finally
// blocks run). That is the program's code, and recorded as such rather than hidden as the tracer's.
void release_as_the_program(PyRef frame, PyRef thrown) noexcept {
    PyThreadState* thread = PyThreadState_Get();
    PyThreadState_LeaveTracing(thread);
    frame.reset();
    thrown.reset();
    PyThreadState_EnterTracing(thread);
}

// Installed for one event after a recorded unwind or a throw() into a recorded generator, then
// removed: a trace function is told each exception as it reaches a frame, the profile function not.
int exception_trace(PyObject* owner, PyFrameObject*, int what, PyObject* arg) noexcept {
    PyRef keep_owner = PyRef::borrow(owner);  // removing the trace function releases its reference
    PyEval_SetTrace(nullptr, nullptr);
    PyObject* exception = nullptr;
    if (what == PyTrace_EXCEPTION && PyTuple_Check(arg) && PyTuple_GET_SIZE(arg) == 3) {
        exception = PyTuple_GET_ITEM(arg, 1);
    }
    Profiler* profiler = profiler_in(owner);
    return profiler != nullptr ? profiler->exception_seen(owner, exception) : 0;
}

}  // namespace

bool Profiler::defer_unwind(PyObject* owner, PyObject* frame) noexcept {
    if (utils::trace_function_set()) {
        return false;
    }
    try {
        ThreadState& thread = threads_.current();
        if (thread.call_frames.empty() || thread.call_frames.back().frame.get() != frame) {
            return false;  // not a recorded call: nothing to name
        }
        thread.unwinding = PyRef::borrow(frame);
    } catch (const std::bad_alloc&) {
        return false;
    }
    PyEval_SetTrace(exception_trace, owner);
    return true;
}

void Profiler::watch_suspended_throw(PyObject* owner, PyObject* frame) noexcept {
    if (!suspended_calls_.contains(frame) || utils::trace_function_set()) {
        return;
    }
    PyRef code = PyRef::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(frame))));
    if (!utils::resumed_by_throw(reinterpret_cast<PyFrameObject*>(frame), code.get())) {
        return;
    }
    try {
        threads_.current().awaiting_throw = PyRef::borrow(frame);
    } catch (const std::bad_alloc&) {
        return;
    }
    PyEval_SetTrace(exception_trace, owner);
}

PyRef Profiler::take_thrown(ThreadState& thread) noexcept {
    if (!thread.thrown_into) {
        return PyRef();
    }
    thread.thrown_into.reset();
    threads_holding_thrown_ -= 1;
    return std::move(thread.thrown);
}

void Profiler::forget_thrown(PyObject* frame) noexcept {
    try {
        ThreadState& thread = threads_.current();
        if (thread.thrown_into.get() == frame) {
            PyRef released = take_thrown(thread);
        }
    } catch (const std::bad_alloc&) {
        return;  // kept until that frame ends or another throw replaces it
    }
}

int Profiler::exception_seen(PyObject* owner, PyObject* exception) noexcept {
    ThreadState* found = nullptr;
    try {
        found = &threads_.current();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    ThreadState& thread = *found;
    if (thread.awaiting_throw) {
        PyRef replaced = take_thrown(thread);
        thread.thrown_into = std::move(thread.awaiting_throw);
        thread.thrown = PyRef::borrow(exception);
        threads_holding_thrown_ += 1;
        return 0;
    }
    PyRef frame = std::move(thread.unwinding);
    if (!frame) {
        return 0;
    }
    PyRef thrown = thread.thrown_into.get() == frame.get() ? take_thrown(thread) : PyRef();
    PyObject* leaving = exception != nullptr ? exception : thrown.get();
    const int delivered = deliver(owner, frame.get(), utils::Event::Return,
                                  EventArg{Py_None, true, Leaving::Finishing, leaving});
    release_as_the_program(std::move(frame), std::move(thrown));
    // The release may have closed generators whose unwinds now wait in turn; a finalizer called
    // their close(), so no caller will see their exception, and this event goes on to the profile
    // function next: they are delivered first.
    if (delivered == 0 && thread.unwinding) {
        PyEval_SetTrace(nullptr, nullptr);
        return exception_seen(owner, nullptr);
    }
    return delivered;
}

Result<PyRef> exception_description(PyObject* exception, int line) noexcept {
    if (exception == nullptr || !PyExceptionInstance_Check(exception)) {
        return PyRef::borrow(Py_None);
    }
    auto name = type_name(Py_TYPE(exception));
    VESK_TRY(name);
    auto message = message_of(exception);
    VESK_TRY(message);
    auto number = checked(PyLong_FromLong(line));
    VESK_TRY(number);
    auto described = checked(PyDict_New());
    VESK_TRY(described);
    VESK_TRY(set(described->get(), utils::interned().type, name->get()));
    VESK_TRY(set(described->get(), utils::interned().message, message->get()));
    VESK_TRY(set(described->get(), utils::interned().line, number->get()));
    return described;
}

}  // namespace vesk::profiler
