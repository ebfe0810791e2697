#include <new>

#include "plugins/processor.hpp"
#include "utils/convert.hpp"
#include "utils/interned.hpp"

namespace vesk::plugins {

using utils::PyError;
using utils::PyRef;
using utils::Result;

namespace {

// The description's own lookup of an optional key: absent and `None` both give an empty PyRef. A
// lookup that raises (a key object with a hostile __eq__) breaks what the host promises.
Result<PyRef> optional_entry(PyObject* description, PyObject* key) noexcept {
    PyObject* value = PyDict_GetItemWithError(description, key);
    if (value == nullptr && PyErr_Occurred()) {
        return utils::internal_error("a string is always a valid dict key", PyError::fetch());
    }
    if (value == Py_None) {
        return PyRef();
    }
    return PyRef::borrow(value);
}

// The plugin's context: what "build_context" makes from the config, or a fresh empty dict.
Result<PyRef> build_context(PyObject* description, PyObject* config) noexcept {
    auto builder = optional_entry(description, utils::interned().build_context);
    VESK_TRY(builder);
    if (!*builder) {
        return utils::checked(PyDict_New());
    }
    auto context = utils::checked(PyObject_CallOneArg(builder->get(), config));
    if (!context) {
        return context;
    }
    if (!PyDict_Check(context->get())) {
        return utils::conversion_error(context->get(), "PyDict");
    }
    return context;
}

Result<std::string> required_string(PyObject* description, PyObject* key) noexcept {
    auto value = utils::checked(PyObject_GetItem(description, key));
    VESK_TRY(value);
    return utils::string_of(value->get());
}

// One processor built from `description`, sharing `context` with the description's other names.
Result<PluginProcessor> build_processor(PyObject* description, const PyRef& context) {
    const auto& names = utils::interned();
    auto path_fragment = required_string(description, names.path_fragment);
    VESK_TRY(path_fragment);
    auto call_type = required_string(description, names.call_type);
    VESK_TRY(call_type);
    auto return_type = required_string(description, names.return_type);
    VESK_TRY(return_type);

    // A present subtype must be text: unlike the callables, `None` is not "absent" here.
    std::optional<std::string> subtype;
    PyObject* subtype_value = PyDict_GetItemWithError(description, names.subtype);
    if (subtype_value == nullptr && PyErr_Occurred()) {
        return utils::internal_error("a string is always a valid dict key", PyError::fetch());
    }
    if (subtype_value != nullptr) {
        auto text = utils::string_of(subtype_value);
        VESK_TRY(text);
        subtype = std::move(*text);
    }

    auto call = optional_entry(description, names.call);
    VESK_TRY(call);
    auto process = optional_entry(description, names.process);
    VESK_TRY(process);
    auto events_value = optional_entry(description, names.events);
    VESK_TRY(events_value);
    std::optional<std::vector<std::string>> events;
    if (*events_value) {
        auto texts = utils::string_list_of(events_value->get());
        VESK_TRY(texts);
        events = std::move(*texts);
    }

    return PluginProcessor{
        .path_fragment = filters::Finder(std::move(*path_fragment)),
        .call_type = std::move(*call_type),
        .return_type = std::move(*return_type),
        .subtype = std::move(subtype),
        .events = std::move(events),
        .context = context.clone(),
        .frame_ids_by_address = {},
        .call = std::move(*call),
        .process = std::move(*process),
    };
}

// Adds one processor per name of the description's "co_names" to `table`.
utils::Status load_description(PluginTable& table, PyObject* description, PyObject* config) {
    if (!PyDict_Check(description)) {
        return utils::conversion_error(description, "PyDict");
    }
    auto co_names = utils::checked(PyObject_GetItem(description, utils::interned().co_names));
    VESK_TRY(co_names);
    auto context = build_context(description, config);
    VESK_TRY(context);
    auto iterator = utils::checked(PyObject_GetIter(co_names->get()));
    VESK_TRY(iterator);
    // The other keys are read once per name, so a description without names is never validated.
    while (PyRef name = PyRef::steal(PyIter_Next(iterator->get()))) {
        auto name_text = utils::string_of(name.get());
        VESK_TRY(name_text);
        auto processor = build_processor(description, *context);
        VESK_TRY(processor);
        table.add(std::move(*name_text), std::move(*processor));
    }
    if (PyErr_Occurred()) {
        return PyError::fetch();
    }
    return {};
}

Result<PluginTable> load(host::Host& host, PyObject* config) {
    auto descriptions = host.load_plugin_data(config);
    VESK_TRY(descriptions);

    PyObject* list = descriptions->get();
    const Py_ssize_t initial_length = PyList_GET_SIZE(list);
    PluginTable table;
    table.reserve(static_cast<size_t>(initial_length));
    // Python code runs between elements ("build_context") and may shorten the list: stop at whichever
    // end comes first, holding each element while it is read.
    for (Py_ssize_t index = 0; index < initial_length && index < PyList_GET_SIZE(list); ++index) {
        PyRef description = PyRef::borrow(PyList_GET_ITEM(list, index));
        VESK_TRY(load_description(table, description.get(), config));
    }
    return table;
}

}  // namespace

Result<PluginTable> load_plugins(host::Host& host, PyObject* config) noexcept {
    try {
        return load(host, config);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return PyError::fetch();
    }
}

}  // namespace vesk::plugins
