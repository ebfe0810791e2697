// The only place that looks at the interpreter version.
#pragma once

#include <Python.h>
#include <opcode.h>

#include <cstdint>
#include <optional>

namespace vesk::utils {

// sys.monitoring (events per code location, switched off where a tool does not want them).
inline constexpr bool HAS_MONITORING = PY_VERSION_HEX >= 0x030C0000;

// The thread's innermost Python frame: a frame the interpreter pushes takes it for its caller.
inline struct _PyInterpreterFrame*& current_frame_slot(PyThreadState* thread) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return thread->current_frame;
#else
    return thread->cframe->current_frame;
#endif
}

// Whether the interpreter is tearing down (after the exit functions ran): modules are going away.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Per-code-object storage for tools (the code object's "extra" slots).
inline Py_ssize_t request_code_extra_index(freefunc free) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Eval_RequestCodeExtraIndex(free);
#else
    return _PyEval_RequestCodeExtraIndex(free);
#endif
}

// Extra slot `index` of a code object, read where it lies: the interpreter's getter is a call that
// checks the type again, on every event. The slots' layout (their count, then the pointers) is the
// same on every version supported here.
inline void* code_extra_in_place(PyCodeObject* code, Py_ssize_t index) noexcept {
    struct Extras {
        Py_ssize_t size;
        void* slots[1];
    };
    const auto* extras = static_cast<const Extras*>(code->co_extra);
    return extras != nullptr && index >= 0 && index < extras->size ? extras->slots[index] : nullptr;
}

inline int set_code_extra(PyObject* code, Py_ssize_t index, void* extra) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_SetExtra(code, index, extra);
#else
    return _PyCode_SetExtra(code, index, extra);
#endif
}

// A number that changes whenever `dict` changes, so that what was read from it can be kept until
// then. The interpreter still keeps it on every version supported here, though it is deprecated
// for extensions from 3.12 (dict watchers replace it, but they count the changes of all watched
// dicts together and cost a call at each): absent where it is gone.
inline std::optional<uint64_t> dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030E0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return std::nullopt;
#endif
}

// Whether the weak reference `reference` still refers to `object`. Only the addresses are compared,
// so the referent needs no strong reference of its own beyond this call.
inline bool weakref_refers_to(PyObject* reference, PyObject* object) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(reference, &referent) < 0) {
        PyErr_Clear();  // Intended: only a non-weakref fails here, and that refers to nothing.
        return false;
    }
    bool same = referent == object;
    Py_XDECREF(referent);
    return same;
#else
    return PyWeakref_GetObject(reference) == object;
#endif
}

struct Instruction {
    int op = -1;  // -1 where the code cannot be read
    int offset = -1;
};

// The instruction the frame stands at, read from the code without the interpreter's specialisations
// and instrumentation.
inline Instruction instruction_at_lasti(PyFrameObject* frame) noexcept {
    PyCodeObject* code = PyFrame_GetCode(frame);
    PyObject* instructions = PyCode_GetCode(code);  // kept on the code object after the first time
    Py_DECREF(code);
    if (instructions == nullptr) {
        PyErr_Clear();  // Intended: an unreadable instruction is no particular one.
        return {};
    }
    Instruction at{-1, PyFrame_GetLasti(frame)};
    if (at.offset >= 0 && at.offset < PyBytes_GET_SIZE(instructions)) {
        at.op = static_cast<unsigned char>(PyBytes_AS_STRING(instructions)[at.offset]);
    }
    Py_DECREF(instructions);
    return at;
}

// Whether frames of `code` can be suspended and resumed: a generator's, a coroutine's.
inline bool may_suspend(PyObject* code) noexcept {
    constexpr int resumable = CO_GENERATOR | CO_COROUTINE | CO_ASYNC_GENERATOR;
    return (reinterpret_cast<PyCodeObject*>(code)->co_flags & resumable) != 0;
}

// Whether a frame that is being left is a generator's or coroutine's suspending at a yield (or an
// await), to be resumed later, rather than finishing. 3.13 reports the yield with the frame already
// at the instruction it resumes at; only a start stands at a RESUME at the very beginning.
inline bool suspending_at_yield(PyFrameObject* frame, PyObject* code) noexcept {
    if (!may_suspend(code)) {
        return false;
    }
    const Instruction at = instruction_at_lasti(frame);
    return at.op == YIELD_VALUE || (at.op == RESUME && at.offset > 0);
}

#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
// Whether the frame stands at an instruction that leaves it with a value: a return or a yield.
inline bool at_return_or_yield(PyFrameObject* frame) noexcept {
    const int op = instruction_at_lasti(frame).op;
    return op == -1 || op == RETURN_VALUE || op == RETURN_CONST || op == YIELD_VALUE;
}
#endif

// Whether a resumption of a generator or coroutine frame that a profile function is told of is a
// throw() into it (close() throws GeneratorExit): 3.11 reports it with the frame still at its yield,
// an ordinary resumption at the RESUME after it.
inline bool resumed_by_throw(PyFrameObject* frame, PyObject* code) noexcept {
    if (!may_suspend(code)) {
        return false;
    }
    return instruction_at_lasti(frame).op == YIELD_VALUE;
}

// Whether the calling thread has a trace function (a debugger's, a coverage tool's).
inline bool trace_function_set() noexcept { return PyThreadState_Get()->c_tracefunc != nullptr; }

// Whether a profile function's return event, with `arg` as the interpreter passed it, is the frame
// being left by an exception. The interpreter passes no value then; 3.12 (3.12.1 at least) passes
// None instead, so there a None is a value only when the frame stands at a return or a yield.
inline bool leaving_by_exception(PyFrameObject* frame, PyObject* arg) noexcept {
#if PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
    if (arg == Py_None) {
        return !at_return_or_yield(frame);
    }
#else
    (void)frame;
#endif
    return arg == nullptr;
}

}  // namespace vesk::utils
