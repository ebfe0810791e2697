#include <new>
#include <string_view>

#include "profiler/profiler.hpp"
#include "profiler/python_type.hpp"
#include "testing/bindings.hpp"
#include "utils/entry.hpp"
#include "utils/result.hpp"

namespace vesk::testing {

namespace {

PyObject* or_null(PyObject* value) { return value == Py_None ? nullptr : value; }

// call_profile_callback(obj, frame, what, arg): the callback's result and the exception it set (or
// None), with None standing for a null pointer. `frame` may be any object, to break the interpreter's
// own guarantees on purpose.
PyObject* call_profile_callback(PyObject*, PyObject* args) {
    PyObject* object = nullptr;
    PyObject* frame = nullptr;
    int what = 0;
    PyObject* arg = nullptr;
    if (!PyArg_ParseTuple(args, "OOiO", &object, &frame, &what, &arg)) {
        return nullptr;
    }
    int result = profiler::profile_callback(or_null(object), reinterpret_cast<PyFrameObject*>(or_null(frame)), what,
                                            or_null(arg));
    if (result == 0) {
        return Py_BuildValue("(iO)", result, Py_None);
    }
    utils::PyError error = utils::PyError::fetch();
    return Py_BuildValue("(iO)", result, error.value());
}

// install_profile_callback(obj): the engine's profile callback with any object, as a misbehaving
// embedder could install it.
PyObject* install_profile_callback(PyObject*, PyObject* object) {
    PyEval_SetProfile(profiler::profile_callback, object);
    Py_RETURN_NONE;
}

// new_profiler(host): a profiler of this module's own engine copy, not installed anywhere.
PyObject* new_profiler(PyObject*, PyObject* host) {
    return utils::object_entry([&] { return profiler::new_profiler_object(host); });
}

// settle_failure(profiler, frame, failure): the profile callback's result and the exception it left
// (or None) when the event's handler fails with `failure`: "bad_alloc" (thrown), or the name of a
// built-in exception (returned as the error).
PyObject* settle_failure(PyObject*, PyObject* args) {
    PyObject* object = nullptr;
    PyObject* frame = nullptr;
    const char* failure = nullptr;
    if (!PyArg_ParseTuple(args, "OOs", &object, &frame, &failure)) {
        return nullptr;
    }
    profiler::Profiler* profiler = profiler::profiler_in(object);
    if (profiler == nullptr) {
        return utils::conversion_error(object, "VeskProfiler").restore(), nullptr;
    }
    auto fail = [](void* context) -> utils::Status {
        const std::string_view name = static_cast<const char*>(context);
        if (name == "bad_alloc") {
            throw std::bad_alloc();
        }
        PyObject* type = PyDict_GetItemString(PyEval_GetBuiltins(), static_cast<const char*>(context));
        return utils::PyError::make(type != nullptr ? type : PyExc_LookupError, "failed on purpose");
    };
    int result = profiler->settle(object, frame, utils::Event::Call, fail, const_cast<char*>(failure));
    if (!PyErr_Occurred()) {
        return Py_BuildValue("(iO)", result, Py_None);
    }
    utils::PyError error = utils::PyError::fetch();
    return Py_BuildValue("(iO)", result, error.value());
}

PyMethodDef methods[] = {
    {"settle_failure", settle_failure, METH_VARARGS, nullptr},
    {"new_profiler", new_profiler, METH_O, nullptr},
    {"call_profile_callback", call_profile_callback, METH_VARARGS, nullptr},
    {"install_profile_callback", install_profile_callback, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_profiler_bindings(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vesk::testing
