// Interpreter strings and objects the engine needs on every event, created once when the module is
// initialised (a failure fails the import) and deliberately never freed: their destructors would run
// after the interpreter is gone.
#pragma once

#include <Python.h>

#include "utils/result.hpp"

namespace vesk::utils {

// X(field, "text"): one interned str per row. Add a row here rather than building a name per use.
#define VESK_INTERNED_NAMES(X)                                        \
    /* host profiler object and its configuration */                  \
    X(config, "config")                                               \
    X(db_path, "db_path")                                             \
    X(one_trace_per_test, "one_trace_per_test")                       \
    X(trace_id, "trace_id")                                           \
    X(source, "source")                                               \
    X(rust_profiler, "rust_profiler")                                 \
    X(filters, "filters")                                             \
    X(include_frames, "include_frames")                               \
    X(ignore_frames, "ignore_frames")                                 \
    X(sqlite_busy_timeout, "sqlite_busy_timeout")                     \
    X(threading, "threading")                                         \
    X(lightweight_repr, "lightweight_repr")                           \
    X(recorder_time, "recorder_time")                                 \
    X(recorder_time_per_event_ns, "recorder_time_per_event_ns")       \
    X(recorder_time_per_record_ns, "recorder_time_per_record_ns")     \
    X(recorder_time_per_dropped_ns, "recorder_time_per_dropped_ns")   \
    X(limits, "limits")                                               \
    X(buffer_bytes, "buffer_bytes")                                   \
    X(calls_per_function, "calls_per_function")                       \
    X(trace_bytes, "trace_bytes")                                     \
    /* threading */                                                   \
    X(main_thread, "main_thread")                                     \
    X(current_thread, "current_thread")                               \
    X(native_id, "native_id")                                         \
    X(name, "name")                                                   \
    X(setprofile, "setprofile")                                       \
    X(register_threading_profiler, "register_threading_profiler")     \
    /* frames and code objects */                                     \
    X(f_back, "f_back")                                               \
    X(f_code, "f_code")                                               \
    X(f_globals, "f_globals")                                         \
    X(f_locals, "f_locals")                                           \
    X(f_lineno, "f_lineno")                                           \
    X(co_filename, "co_filename")                                     \
    X(co_name, "co_name")                                             \
    X(co_qualname, "co_qualname")                                     \
    X(dunder_module, "__module__")                                    \
    X(dunder_qualname, "__qualname__")                                \
    X(dunder_name, "__name__")                                        \
    X(dunder_repr, "__repr__")                                        \
    X(dunder_builtins, "__builtins__")                                \
    X(enum_name, "_name_")                                            \
    X(enum_value, "_value_")                                          \
    X(getattr_static, "getattr_static")                               \
    X(property, "property")                                           \
    X(fget, "fget")                                                   \
    X(self, "self")                                                   \
    X(cls, "cls")                                                     \
    /* host package */                                                \
    X(dump_msgpack, "dump_msgpack")                                   \
    X(dump_msgpack_lightweight_repr, "dump_msgpack_lightweight_repr") \
    X(load_plugin_data, "load_plugin_data")                           \
    X(save_trace_in_sqlite, "save_trace_in_sqlite")                   \
    X(timeout, "timeout")                                             \
    X(msgpack, "msgpack")                                             \
    X(dunder_version, "__version__")                                  \
    X(commit_sha, "COMMIT_SHA")                                       \
    X(argv, "argv")                                                   \
    /* plugin descriptions and plugin records */                      \
    X(co_names, "co_names")                                           \
    X(build_context, "build_context")                                 \
    X(path_fragment, "path_fragment")                                 \
    X(call_type, "call_type")                                         \
    X(return_type, "return_type")                                     \
    X(subtype, "subtype")                                             \
    X(call, "call")                                                   \
    X(process, "process")                                             \
    X(events, "events")                                               \
    X(frame_id, "frame_id")                                           \
    X(timestamp, "timestamp")                                         \
    X(thread, "thread")                                               \
    X(thread_native_id, "thread_native_id")                           \
    X(user_code_call_site, "user_code_call_site")                     \
    X(call_frame_id, "call_frame_id")                                 \
    X(line_number, "line_number")                                     \
    X(type, "type")                                                   \
    X(message, "message")                                             \
    X(line, "line")                                                   \
    X(mapping, "Mapping")                                             \
    X(event_call, "call")                                             \
    X(event_return, "return")                                         \
    /* modules */                                                     \
    X(module_vesk_serialize, "vesk.serialize")                        \
    X(module_vesk_db, "vesk.db")                                      \
    X(module_vesk_version, "vesk.version")                            \
    X(module_vesk_git, "vesk.git")                                    \
    X(module_vesk_plugins, "vesk.plugins")                            \
    X(module_sys, "sys")                                              \
    X(module_logging, "logging")                                      \
    X(module_inspect, "inspect")                                      \
    X(module_builtins, "builtins")                                    \
    X(module_collections_abc, "collections.abc")                      \
    /* logging */                                                     \
    X(get_logger, "getLogger")                                        \
    X(warning, "warning")                                             \
    X(exc_info, "exc_info")                                           \
    X(vesk, "vesk")                                                   \
    X(log_template,                                                   \
      "Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n    frame locals: %s\n")

struct Interned {
#define VESK_DECLARE_NAME(field, text) PyObject* field;
    VESK_INTERNED_NAMES(VESK_DECLARE_NAME)
#undef VESK_DECLARE_NAME
    // The engine's internal-error exception type, "vesk._vesk.InternalError", a BaseException subclass.
    PyObject* internal_error_type;
};

// Fills the table once per process; later calls return at once. Requires the interpreter lock.
[[nodiscard]] Status init_interned() noexcept;

// The table; valid only after a successful `init_interned`.
[[nodiscard]] const Interned& interned() noexcept;

}  // namespace vesk::utils
