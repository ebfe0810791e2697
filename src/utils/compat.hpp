// The only place that looks at the interpreter version.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace vesk::utils {

// Per-code-object storage for tools (the code object's "extra" slots).
inline Py_ssize_t request_code_extra_index(freefunc free) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Eval_RequestCodeExtraIndex(free);
#else
    return _PyEval_RequestCodeExtraIndex(free);
#endif
}

inline int get_code_extra(PyObject* code, Py_ssize_t index, void** extra) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_GetExtra(code, index, extra);
#else
    return _PyCode_GetExtra(code, index, extra);
#endif
}

inline int set_code_extra(PyObject* code, Py_ssize_t index, void* extra) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return PyUnstable_Code_SetExtra(code, index, extra);
#else
    return _PyCode_SetExtra(code, index, extra);
#endif
}

// A number that changes whenever `dict` changes, so that what was read from it can be kept until
// then; absent where the interpreter keeps none for extensions to read.
inline std::optional<uint64_t> dict_version(PyObject* dict) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
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

}  // namespace vesk::utils
