// What a walk needs besides the value: the limits and names set by `vesk.serialize.configure`, and
// the Python objects it defers to for the cases whose exact rules live in the Python serialiser.
#pragma once

#include <Python.h>

#include "serialize/secrets.hpp"
#include "utils/pyref.hpp"

namespace vesk::serialize {

struct Limits {
    Py_ssize_t max_string = 1000;
    Py_ssize_t max_items = 20;
    Py_ssize_t max_depth = 8;
    Py_ssize_t max_total = 5000;
    Py_ssize_t max_object_depth = 2;    // objects shown by their fields inside one another
    Py_ssize_t max_nested_fields = 12;  // the most fields of an object shown by them inside another
};

// Borrowed from the serialiser's state, which holds them from `setup` on (set once) and outlives
// every walk (a walk runs inside a call of the serialiser's methods, which hold it).
struct Hooks {
    PyObject* type_name = nullptr;        // vesk.serialize._type_name, for types with unusual names
    PyObject* plan = nullptr;             // _plan: how a type's instances are shown
    PyObject* object_parts = nullptr;     // _object_parts: an ExtType, a text, or (type name, fields dict)
    PyObject* key_text = nullptr;         // _key_text: a key MessagePack cannot hold, as an ExtType
    PyObject* dict_name = nullptr;        // "__dict__", interned
    PyObject* module_getter = nullptr;    // type.__dict__["__module__"]
    PyObject* qualname_getter = nullptr;  // type.__dict__["__qualname__"]
};

struct Settings {
    Limits limits;
    Hooks hooks;
    SecretRules names;         // the secret names and the table of vesk.redaction.RULES
    utils::PyRef environment;  // the process environment's str entries, as a dict
};

}  // namespace vesk::serialize
