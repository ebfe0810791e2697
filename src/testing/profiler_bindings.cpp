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

PyMethodDef methods[] = {
    {"new_profiler", new_profiler, METH_O, nullptr},
    {"call_profile_callback", call_profile_callback, METH_VARARGS, nullptr},
    {"install_profile_callback", install_profile_callback, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_profiler_bindings(PyObject* module) { return PyModule_AddFunctions(module, methods); }

}  // namespace vesk::testing
