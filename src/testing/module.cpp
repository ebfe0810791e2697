#include <Python.h>

#include "profiler/code_cache.hpp"
#include "testing/bindings.hpp"
#include "utils/frames.hpp"
#include "utils/interned.hpp"

namespace {

PyModuleDef testing_module = {
    PyModuleDef_HEAD_INIT,
    "_vesk_testing",
    "Engine internals for vesk's own tests. Never shipped.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int add_internal_error_type(PyObject* module) {
    PyObject* type = vesk::utils::interned().internal_error_type;
    return PyModule_AddObjectRef(module, "InternalError", type);
}

}  // namespace

PyMODINIT_FUNC PyInit__vesk_testing() {
    if (auto ready = vesk::utils::init_interned(); !ready) {
        std::move(ready.error()).restore();
        return nullptr;
    }
    vesk::profiler::reserve_code_slot();
    (void)vesk::utils::watch_working_directory();  // without it the directory is read at every event
    vesk::utils::PyRef module = vesk::utils::PyRef::steal(PyModule_Create(&testing_module));
    if (!module) {
        return nullptr;
    }
    using namespace vesk::testing;
    if (add_internal_error_type(module.get()) < 0 || add_utils_bindings(module.get()) < 0 ||
        add_filters_bindings(module.get()) < 0 || add_plugins_bindings(module.get()) < 0 ||
        add_profiler_bindings(module.get()) < 0) {
        return nullptr;
    }
    return module.release();
}
