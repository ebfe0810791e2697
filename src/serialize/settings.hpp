// What a walk needs besides the value: the limits set by `vesk.serialize.configure`, and the Python
// objects it defers to for the cases whose exact rules live in the Python serialiser.
#pragma once

#include <Python.h>

#include "serialize/verdicts.hpp"

namespace vesk::serialize {

struct Limits {
    Py_ssize_t max_string = 1000;
    Py_ssize_t max_items = 100;
    Py_ssize_t max_depth = 8;
    Py_ssize_t max_total = 5000;
    Py_ssize_t max_object_depth = 2;  // objects shown by their fields inside one another
};

// Borrowed from the module state, which holds them from `setup` on and outlives every walk (a
// walk runs inside a call of the module's functions, which hold the module).
struct Hooks {
    PyObject* is_secret = nullptr;        // vesk.serialize._is_secret, for names not yet cached
    PyObject* secret_cache = nullptr;     // its cache: dict[str, bool]
    PyObject* type_name = nullptr;        // vesk.serialize._type_name, for types with unusual names
    PyObject* native_kind = nullptr;      // _native_kind: how a type's instances are shown
    PyObject* object_parts = nullptr;     // _object_parts: an ExtType, or (type name, fields dict)
    PyObject* key_text = nullptr;         // _key_text: a key MessagePack cannot hold, as an ExtType
    PyObject* redact_text = nullptr;      // _redact_text: a text with secrets found by shape replaced
    PyObject* dict_name = nullptr;        // "__dict__", interned
    PyObject* module_getter = nullptr;    // type.__dict__["__module__"]
    PyObject* qualname_getter = nullptr;  // type.__dict__["__qualname__"]
    NameVerdicts* verdicts = nullptr;     // in front of `secret_cache`
    TypeKinds* kinds = nullptr;           // in front of `native_kind`
};

struct Settings {
    Limits limits;
    Hooks hooks;
};

}  // namespace vesk::serialize
