// A recorded frame's locals, read straight from the interpreter's frame where that gives the very
// dict its own API would. The API does more than a snapshot needs: on 3.11 and 3.12 it raises and
// clears a KeyError for every variable not yet bound (and 3.12 builds a second dict for comprehension
// variables each time); from 3.13 it hands out a proxy that a snapshot then copies key by key, each
// key found again by a scan of the names. Reading the interpreter's frame needs its internal layout,
// so this file alone is built against the internal headers, and anything outside the plain case
// (cells, free and hidden variables, class and module bodies, variables written through the proxy)
// takes the API.
#include <Python.h>

#define Py_BUILD_CORE
#include <internal/pycore_code.h>
#include <internal/pycore_frame.h>
#undef Py_BUILD_CORE

#include "utils/frames.hpp"

namespace vesk::utils {

namespace {

PyCodeObject* code_of(_PyInterpreterFrame* frame) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return _PyFrame_GetCode(frame);
#else
    return frame->f_code;
#endif
}

// A function's frame whose every variable is a plain local: its values are the frame's slots as
// they stand, with nothing to dereference or leave out.
bool holds_plain_locals_only(PyFrameObject* frame, PyCodeObject* code) noexcept {
    if ((code->co_flags & CO_OPTIMIZED) == 0) {
        return false;
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (frame->f_extra_locals != nullptr) {
        return false;
    }
#else
    (void)frame;
#endif
#if PY_VERSION_HEX >= 0x030C0000
    constexpr int unusual = CO_FAST_CELL | CO_FAST_FREE | CO_FAST_HIDDEN;
#else
    constexpr int unusual = CO_FAST_CELL | CO_FAST_FREE;
#endif
    const char* kinds = PyBytes_AS_STRING(code->co_localspluskinds);
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if ((kinds[i] & unusual) != 0) {
            return false;
        }
    }
    return true;
}

// The bound variables in the code's order, in a dict of their own: what the API hands out from 3.13,
// and what it would put in a frame's dict made at this read before.
Result<PyRef> snapshot_locals(PyFrameObject* frame, PyCodeObject* code) noexcept {
    auto snapshot = checked(PyDict_New());
    if (!snapshot) {
        return snapshot;
    }
    PyObject* const* values = frame->f_frame->localsplus;
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        if (values[i] != nullptr &&
            PyDict_SetItem(snapshot->get(), PyTuple_GET_ITEM(code->co_localsplusnames, i), values[i]) < 0) {
            return PyError::fetch();
        }
    }
    return snapshot;
}

#if PY_VERSION_HEX >= 0x030D0000

Result<PyRef> plain_locals(PyFrameObject* frame, PyCodeObject* code) noexcept { return snapshot_locals(frame, code); }

#else

// A frame that has no locals dict is not given one: the frame would keep it, and with it every value
// it held, until the frame ends, so a generator or coroutine that deleted a variable would still hold
// its value (an exception it caught would outlive its `del`). A dict the program made is brought up to
// date in place, as the interpreter does it: bound variables set, unbound ones taken out.
Result<PyRef> plain_locals(PyFrameObject* frame, PyCodeObject* code) noexcept {
    PyObject* locals = frame->f_frame->f_locals;
    if (locals == nullptr) {
        return snapshot_locals(frame, code);
    }
    for (int i = 0; i < code->co_nlocalsplus; ++i) {
        PyObject* name = PyTuple_GET_ITEM(code->co_localsplusnames, i);
        PyObject* value = frame->f_frame->localsplus[i];
        if (value != nullptr) {
            if (PyDict_SetItem(locals, name, value) < 0) {
                return PyError::fetch();
            }
            continue;
        }
        const int present = PyDict_GET_SIZE(locals) == 0 ? 0 : PyDict_Contains(locals, name);
        if (present < 0 || (present == 1 && PyDict_DelItem(locals, name) < 0)) {
            return PyError::fetch();
        }
    }
    frame->f_fast_as_locals = 1;
    return PyRef::borrow(locals);
}

#endif

// Whether the frame's locals dict would hold its bound variables in the code's order: from 3.13 a
// snapshot is made afresh at each read; before, until the program makes the frame's dict, whose order
// is that of the reads made since.
bool dict_order_is_code_order(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    (void)frame;
    return true;
#else
    return frame->f_frame->f_locals == nullptr;
#endif
}

// The API's locals, without leaving on a frame that had no locals dict the one the API makes before
// 3.13 (for the reason plain_locals gives).
Result<PyRef> unretained_interpreter_locals(PyFrameObject* frame) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return interpreter_frame_locals(reinterpret_cast<PyObject*>(frame));
#else
    const bool fresh = frame->f_frame->f_locals == nullptr;
    const char fast_as_locals = frame->f_fast_as_locals;
    auto locals = interpreter_frame_locals(reinterpret_cast<PyObject*>(frame));
    if (fresh) {
        Py_CLEAR(frame->f_frame->f_locals);
        frame->f_fast_as_locals = fast_as_locals;
    }
    return locals;
#endif
}

}  // namespace

Result<PyRef> interpreter_frame_locals(PyObject* frame) noexcept {
    auto locals = checked(PyFrame_GetLocals(reinterpret_cast<PyFrameObject*>(frame)));
    if (!locals || PyDict_Check(locals->get())) {
        return locals;
    }
    auto snapshot = checked(PyDict_New());
    if (snapshot && PyDict_Update(snapshot->get(), locals->get()) < 0) {
        return PyError::fetch();
    }
    return snapshot;
}

std::optional<LocalsView> plain_locals_view(PyObject* frame) noexcept {
    auto* object = reinterpret_cast<PyFrameObject*>(frame);
    PyCodeObject* code = code_of(object->f_frame);
    if (!dict_order_is_code_order(object) || !holds_plain_locals_only(object, code)) {
        return std::nullopt;
    }
    auto* names = reinterpret_cast<PyTupleObject*>(code->co_localsplusnames);
    return LocalsView{names->ob_item, object->f_frame->localsplus, code->co_nlocalsplus};
}

Result<PyRef> frame_locals(PyObject* frame) noexcept {
    auto* object = reinterpret_cast<PyFrameObject*>(frame);
    PyCodeObject* code = code_of(object->f_frame);
    if (!holds_plain_locals_only(object, code)) {
        return unretained_interpreter_locals(object);
    }
    return plain_locals(object, code);
}

}  // namespace vesk::utils
