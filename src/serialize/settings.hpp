// What a walk needs besides the value: the limits set by `vesk.serialize.configure`, and the Python
// objects it defers to for the rare cases whose exact rules live in the Python serialiser.
#pragma once

#include <Python.h>

#include "serialize/verdicts.hpp"

namespace vesk::serialize {

struct Limits {
    Py_ssize_t max_string = 1000;
    Py_ssize_t max_items = 100;
    Py_ssize_t max_depth = 8;
    Py_ssize_t max_total = 5000;
};

// Borrowed from the module state, which holds them from `setup` on and outlives every walk (a
// walk runs inside a call of the module's functions, which hold the module).
struct Hooks {
    PyObject* is_secret = nullptr;        // vesk.serialize._is_secret, for names not yet cached
    PyObject* secret_cache = nullptr;     // its cache: dict[str, bool]
    PyObject* type_name = nullptr;        // vesk.serialize._type_name, for types with unusual names
    PyObject* object_text = nullptr;      // the full variant's text for one object, as an ExtType
    PyObject* lazy_prefixes = nullptr;    // modules whose objects are shown by type and identity only
    PyObject* object_repr = nullptr;      // object.__repr__
    PyObject* module_getter = nullptr;    // type.__dict__["__module__"]
    PyObject* qualname_getter = nullptr;  // type.__dict__["__qualname__"]
    NameVerdicts* verdicts = nullptr;     // in front of `secret_cache`
};

struct Settings {
    Limits limits;
    Hooks hooks;
};

}  // namespace vesk::serialize
