// Building a profiler from the host package's profiler object: the configuration is read here, once.
#include "profiler/profiler.hpp"

#include <cmath>
#include <tuple>

#include "utils/convert.hpp"
#include "utils/ids.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::interned;
using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

// The dict's own lookup (no overridden methods of a subclass run). A raising lookup is an internal
// error whose message names the key: `config.get("<key>" should not raise.`
Result<PyObject*> config_get(PyObject* config, PyObject* key, const char* key_text) noexcept {
    PyObject* value = PyDict_GetItemWithError(config, key);
    if (value == nullptr && PyErr_Occurred()) {
        std::string text = std::string("config.get(\"") + key_text + "\" should not raise.";
        return utils::internal_error(text, PyError::fetch());
    }
    return value;
}

// One fragment list under "filters": a missing key, or a "filters" value that cannot be indexed at
// all, means an empty list.
Result<std::vector<filters::Finder>> fragment_finders(PyObject* filters_value, PyObject* key) noexcept {
    PyRef fragments = PyRef::steal(PyObject_GetItem(filters_value, key));
    if (!fragments) {
        PyErr_Clear();  // Only the absence of a list is meant here; a present list is validated below.
        return std::vector<filters::Finder>{};
    }
    auto texts = utils::string_list_of(fragments.get());
    VESK_TRY(texts);
    return filters::build_finders(std::move(*texts));
}

Result<filters::FrameFilters> read_filters(PyObject* config) noexcept {
    auto filters_value = config_get(config, interned().filters, "filters");
    VESK_TRY(filters_value);
    if (*filters_value == nullptr) {
        return filters::FrameFilters{};
    }
    PyRef held = PyRef::borrow(*filters_value);  // the dict may drop it while we call into Python
    auto include = fragment_finders(held.get(), interned().include_frames);
    VESK_TRY(include);
    auto ignore = fragment_finders(held.get(), interned().ignore_frames);
    VESK_TRY(ignore);
    return filters::FrameFilters{std::move(*include), std::move(*ignore)};
}

Result<std::optional<uint64_t>> main_thread_native_id() noexcept {
    auto threading = utils::import_module(interned().threading);
    VESK_TRY(threading);
    auto main_thread = checked(PyObject_CallMethodNoArgs(threading->get(), interned().main_thread));
    VESK_TRY(main_thread);
    PyRef native_id = PyRef::steal(PyObject_GetAttr(main_thread->get(), interned().native_id));
    if (!native_id) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return PyError::fetch();
        }
        PyErr_Clear();  // A platform without native thread ids: the id is simply absent.
        return std::nullopt;
    }
    if (native_id.get() == Py_None) {
        return std::nullopt;
    }
    auto id = utils::u64_of(native_id.get());
    VESK_TRY(id);
    return *id;
}

Result<uint64_t> read_busy_timeout(PyObject* config) noexcept {
    auto value = config_get(config, interned().sqlite_busy_timeout, "sqlite_busy_timeout");
    VESK_TRY(value);
    if (*value == nullptr) {
        return uint64_t{60};
    }
    return utils::u64_of(*value);
}

// Lenient: an absent value, or one that is not a boolean, is false.
Result<bool> read_flag(PyObject* config, PyObject* key, const char* key_text) noexcept {
    auto value = config_get(config, key, key_text);
    VESK_TRY(value);
    if (*value == nullptr) {
        return false;
    }
    // A value that is not a boolean counts as false: its conversion error is dropped by design.
    return utils::bool_of(*value).value_or(false);
}

// Absent means none; otherwise a non-negative number of nanoseconds.
Result<double> read_nanoseconds(PyObject* config, PyObject* key, const char* key_text) noexcept {
    auto value = config_get(config, key, key_text);
    VESK_TRY(value);
    if (*value == nullptr) {
        return 0.0;
    }
    const double nanoseconds = PyFloat_AsDouble(*value);
    if (nanoseconds == -1.0 && PyErr_Occurred()) {
        return PyError::fetch();
    }
    if (!std::isfinite(nanoseconds) || nanoseconds < 0) {
        return utils::conversion_error(*value, "non-negative nanoseconds");
    }
    return nanoseconds;
}

// One bound of the "limits" table: absent, or a non-negative integer where 0 means no bound.
Result<std::optional<uint64_t>> read_limit(PyObject* limits, PyObject* key, const char* key_text) noexcept {
    auto value = config_get(limits, key, key_text);
    VESK_TRY(value);
    if (*value == nullptr || *value == Py_None) {
        return std::optional<uint64_t>{};
    }
    auto bound = utils::u64_of(*value);
    VESK_TRY(bound);
    return *bound == 0 ? std::optional<uint64_t>{} : std::optional<uint64_t>{*bound};
}

// The "limits" table; without it nothing is bounded, as a recording always was.
Result<Limits> read_limits(PyObject* config) noexcept {
    auto table = config_get(config, interned().limits, "limits");
    VESK_TRY(table);
    if (*table == nullptr) {
        return Limits{};
    }
    if (!PyDict_Check(*table)) {
        return utils::conversion_error(*table, "PyDict");
    }
    PyRef held = PyRef::borrow(*table);  // the config dict may drop it while we call into Python
    Limits limits;
    for (auto [field, key, text] :
         {std::tuple{&Limits::buffer_bytes, interned().buffer_bytes, "buffer_bytes"},
          std::tuple{&Limits::calls_per_function, interned().calls_per_function, "calls_per_function"},
          std::tuple{&Limits::trace_bytes, interned().trace_bytes, "trace_bytes"}}) {
        auto bound = read_limit(held.get(), key, text);
        VESK_TRY(bound);
        limits.*field = *bound;
    }
    return limits;
}

Result<PyRef> attribute(PyObject* host, PyObject* name) noexcept { return checked(PyObject_GetAttr(host, name)); }

Result<std::string> str_attribute(PyObject* host, PyObject* name) noexcept {
    auto value = attribute(host, name);
    VESK_TRY(value);
    return utils::string_of(value->get());
}

Result<std::string> db_path_of(PyObject* host) noexcept {
    auto value = attribute(host, interned().db_path);
    VESK_TRY(value);
    auto text = checked(PyObject_Str(value->get()));
    VESK_TRY(text);
    return utils::string_of(text->get());
}

}  // namespace

Result<std::unique_ptr<Profiler>> new_from_python(PyObject* host) noexcept {
    auto config_object = attribute(host, interned().config);
    VESK_TRY(config_object);
    PyObject* config_dict = config_object->get();
    if (!PyDict_Check(config_dict)) {
        return utils::conversion_error(config_dict, "PyDict");
    }
    Config config;
    auto frame_filters = read_filters(config_dict);
    VESK_TRY(frame_filters);
    config.filters = std::move(*frame_filters);
    auto main_thread_id = main_thread_native_id();
    VESK_TRY(main_thread_id);
    config.main_thread_id = *main_thread_id;
    auto busy_timeout = read_busy_timeout(config_dict);
    VESK_TRY(busy_timeout);
    config.sqlite_busy_timeout = *busy_timeout;
    auto threading = read_flag(config_dict, interned().threading, "threading");
    VESK_TRY(threading);
    config.threading = *threading;
    auto lightweight_repr = read_flag(config_dict, interned().lightweight_repr, "lightweight_repr");
    VESK_TRY(lightweight_repr);
    config.lightweight_repr = *lightweight_repr;
    auto recorder_time = read_flag(config_dict, interned().recorder_time, "recorder_time");
    VESK_TRY(recorder_time);
    config.recorder_time = *recorder_time;
    for (auto [field, key, text] : {std::tuple{&Config::untimed_ns_per_event, interned().recorder_time_per_event_ns,
                                               "recorder_time_per_event_ns"},
                                    std::tuple{&Config::untimed_ns_per_record, interned().recorder_time_per_record_ns,
                                               "recorder_time_per_record_ns"},
                                    std::tuple{&Config::untimed_ns_per_dropped, interned().recorder_time_per_dropped_ns,
                                               "recorder_time_per_dropped_ns"}}) {
        auto nanoseconds = read_nanoseconds(config_dict, key, text);
        VESK_TRY(nanoseconds);
        config.*field = *nanoseconds;
    }
    auto limits = read_limits(config_dict);
    VESK_TRY(limits);
    config.limits = *limits;
    host::Host services;
    auto plugin_table = plugins::load_plugins(services, config_dict);
    VESK_TRY(plugin_table);
    auto db_path = db_path_of(host);
    VESK_TRY(db_path);
    config.db_path = std::move(*db_path);
    auto one_trace_per_test = attribute(host, interned().one_trace_per_test);
    VESK_TRY(one_trace_per_test);
    auto per_test = utils::bool_of(one_trace_per_test->get());
    VESK_TRY(per_test);
    config.one_trace_per_test = *per_test;
    auto trace_id = str_attribute(host, interned().trace_id);
    VESK_TRY(trace_id);
    auto source = str_attribute(host, interned().source);
    VESK_TRY(source);
    config.source = std::move(*source);
    auto start = utils::timestamp();
    VESK_TRY(start);
    config.start_timestamp = *start;
    return std::make_unique<Profiler>(std::move(config), std::move(services), std::move(*plugin_table),
                                      std::move(*trace_id));
}

}  // namespace vesk::profiler
