// The extension module `vesk._vesk`: switching profiling on for the calling thread.
#include <Python.h>
#include <frameobject.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "profiler/code_cache.hpp"
#include "profiler/monitoring.hpp"
#include "profiler/python_type.hpp"
#include "profiler/shutdown.hpp"
#include "serialize/serializer.hpp"
#include "utils/arguments.hpp"
#include "utils/compat.hpp"
#include "utils/convert.hpp"
#include "utils/entry.hpp"
#include "utils/frames.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::module {

using utils::checked;
using utils::interned;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

// Process-wide: the module is created once and then handed out again, and only the interpreter that
// first imported it may use it (the engine keeps process-wide state shared by all its objects).
PyObject* cached_module = nullptr;
std::atomic<int64_t> owner_interpreter{-1};

int noop_profile(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

PyObject* register_noop_profiler(PyObject*, PyObject*) noexcept {
    return utils::object_entry([]() -> Result<PyRef> {
        auto monitored = profiler::stop_monitoring_calling_thread();
        VESK_TRY(monitored);
        if (!*monitored) {
            PyEval_SetProfile(noop_profile, nullptr);
        }
        return utils::none();
    });
}

Result<bool> threading_requested(PyObject* host) noexcept {
    auto config = checked(PyObject_GetAttr(host, interned().config));
    VESK_TRY(config);
    PyRef value = PyRef::steal(PyObject_GetItem(config->get(), interned().threading));
    if (!value) {
        PyErr_Clear();  // A missing or unreadable "threading" entry means no threading hook, by design.
        return false;
    }
    // Only `True` itself asks for the hook; any other value is false, its conversion error dropped.
    return utils::bool_of(value.get()).value_or(false);
}

// Makes every thread the threading module starts from now on install the profile callback.
Status install_threading_hook(PyObject* profiler) noexcept {
    auto threading = utils::import_module(interned().threading);
    VESK_TRY(threading);
    auto hook = checked(PyObject_GetAttr(profiler, interned().register_threading_profiler));
    VESK_TRY(hook);
    auto setprofile = checked(PyObject_GetAttr(threading->get(), interned().setprofile));
    VESK_TRY(setprofile);
    auto done = checked(PyObject_CallOneArg(setprofile->get(), hook->get()));
    VESK_TRY(done);
    return {};
}

Result<PyRef> register_profiler_impl(PyObject* host) noexcept {
    if (!PyCallable_Check(host)) {
        return PyError::type_error("profiler object is not callable");
    }
    auto profiler = profiler::new_profiler_object(host);
    VESK_TRY(profiler);
    if (PyObject_SetAttr(host, interned().rust_profiler, profiler->get()) < 0) {
        return PyError::fetch();
    }
    auto monitored = profiler::monitor_calling_thread(profiler->get());
    VESK_TRY(monitored);
    if (*monitored) {
        PyEval_SetProfile(nullptr, nullptr);  // a profile function of an earlier registration would see the same events
    } else {
        profiler::install_profile_callback(profiler->get());
    }
    auto threading = threading_requested(host);
    VESK_TRY(threading);
    if (*threading && *monitored) {
        profiler::monitor_threads_started_later(profiler->get());
    } else if (*threading) {
        VESK_TRY(install_threading_hook(profiler->get()));
    }
    return utils::none();
}

PyObject* register_profiler(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr const char* names[] = {"profiler"};
    return utils::object_entry([&]() -> Result<PyRef> {
        PyObject* host = nullptr;
        VESK_TRY(utils::parse_arguments("register_profiler", names, args, nargs, kwnames, {&host, 1}));
        return register_profiler_impl(host);
    });
}

// Runs the program's module code as the first frame of its thread, as python runs a script: its
// f_back is None, and a warning's stacklevel, inspect.stack() or a traceback walked up from it meet
// none of vesk's frames. The interpreter takes a pushed frame's caller from the thread's innermost
// frame and puts nothing back there when that frame ends, so hiding the caller frames for the call
// and restoring them after it is all it takes; an exception leaves the same way.
PyObject* exec_program(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static constexpr const char* names[] = {"code", "globals"};
    return utils::object_entry([&]() -> Result<PyRef> {
        PyObject* parsed[2] = {nullptr, nullptr};
        VESK_TRY(utils::parse_arguments("exec_program", names, args, nargs, kwnames, parsed));
        if (!PyCode_Check(parsed[0])) {
            return utils::conversion_error(parsed[0], "code");
        }
        if (!PyDict_Check(parsed[1])) {
            return utils::conversion_error(parsed[1], "dict");
        }
        PyThreadState* thread = PyThreadState_Get();
        struct _PyInterpreterFrame* callers = std::exchange(utils::current_frame_slot(thread), nullptr);
        PyObject* result = PyEval_EvalCode(parsed[0], parsed[1], parsed[1]);
        utils::current_frame_slot(PyThreadState_Get()) = callers;
        return result != nullptr ? PyRef::steal(result) : Result<PyRef>(PyError::fetch());
    });
}

PyMethodDef exec_program_def = {"exec_program",
                                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(exec_program)),
                                METH_FASTCALL | METH_KEYWORDS, "exec_program(code, globals)\n--\n\n"};
PyMethodDef register_noop_profiler_def = {"register_noop_profiler", register_noop_profiler, METH_NOARGS,
                                          "register_noop_profiler()\n--\n\n"};
PyMethodDef register_profiler_def = {"register_profiler",
                                     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(register_profiler)),
                                     METH_FASTCALL | METH_KEYWORDS, "register_profiler(profiler)\n--\n\n"};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_vesk", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

Result<PyRef> module_all(PyObject* module) noexcept {
    static PyObject* all_name = PyUnicode_InternFromString("__all__");
    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_name));
    if (all) {
        return all;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return PyError::fetch();
    }
    PyErr_Clear();  // No __all__ yet: this is the first function added.
    auto fresh = checked(PyList_New(0));
    if (!fresh) {
        return fresh;
    }
    if (PyObject_SetAttr(module, all_name, fresh->get()) < 0) {
        return PyError::fetch();
    }
    return fresh;
}

// Adds one function to the module and to its __all__.
Status add_function(PyObject* module, PyMethodDef* def) noexcept {
    auto module_name = checked(PyModule_GetNameObject(module));
    VESK_TRY(module_name);
    auto function = checked(PyCMethod_New(def, module, module_name->get(), nullptr));
    VESK_TRY(function);
    auto name = checked(PyObject_GetAttr(function->get(), interned().dunder_name));
    VESK_TRY(name);
    if (!PyUnicode_Check(name->get())) {
        return utils::conversion_error(name->get(), "PyString");
    }
    auto all = module_all(module);
    VESK_TRY(all);
    if (PyList_Append(all->get(), name->get()) < 0 || PyObject_SetAttr(module, name->get(), function->get()) < 0) {
        return PyError::fetch();
    }
    return {};
}

Result<PyRef> create_module() noexcept {
    auto module = checked(PyModule_Create2(&module_def, 1013));
    if (!module) {
        return module;
    }
    VESK_TRY(add_function(module->get(), &register_noop_profiler_def));
    VESK_TRY(add_function(module->get(), &register_profiler_def));
    VESK_TRY(add_function(module->get(), profiler::exit_hook_definition()));
    VESK_TRY(add_function(module->get(), &exec_program_def));
    // The value serialiser: vesk.serialize takes its methods as its own, where the engine finds them.
    auto serializer = serialize::new_serializer_object();
    VESK_TRY(serializer);
    if (PyModule_AddObjectRef(module->get(), "serializer", serializer->get()) < 0) {
        return PyError::fetch();
    }
    return module;
}

Status claim_interpreter() noexcept {
    int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        return PyError::fetch();
    }
    int64_t expected = -1;
    if (!owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        return PyError::make(PyExc_ImportError,
                             "vesk._vesk does not support sub-interpreters: it was already initialised "
                             "by another interpreter of this process");
    }
    return {};
}

Result<PyRef> init_module() noexcept {
    VESK_TRY(claim_interpreter());
    if (cached_module != nullptr) {
        return PyRef::borrow(cached_module);
    }
    VESK_TRY(utils::init_interned());
    auto module = create_module();
    if (!module) {
        return module;
    }
    VESK_TRY(profiler::register_exit_hook());
    profiler::reserve_code_slot();
    // Refused only by an audit hook of the program's own; the directory is then read at every event.
    (void)utils::watch_working_directory();
    cached_module = module->clone().release();  // kept for the rest of the process
    return module;
}

}  // namespace

}  // namespace vesk::module

PyMODINIT_FUNC PyInit__vesk() {
    return vesk::utils::object_entry([] { return vesk::module::init_module(); });
}
