#include "host/host.hpp"

#include "utils/checks.hpp"
#include "utils/compat.hpp"
#include "utils/convert.hpp"
#include "utils/interned.hpp"
#include "utils/modules.hpp"

namespace vesk::host {

using utils::checked;
using utils::dict_version;
using utils::interned;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

std::optional<uint64_t> namespace_version(PyObject* module) noexcept {
    return PyModule_Check(module) ? dict_version(PyModule_GetDict(module)) : std::nullopt;
}

Result<PyRef> text_object(std::string_view text) noexcept {
    PyObject* object = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (object == nullptr) {
        return utils::internal_error("Python API call failed", PyError::fetch());
    }
    return PyRef::steal(object);
}

// The keywords of the storage call, "timeout" before "msgpack".
Result<PyRef> storage_keywords(uint64_t timeout, PyObject* document) noexcept {
    PyRef keywords = PyRef::steal(PyDict_New());
    PyRef timeout_object = PyRef::steal(PyLong_FromUnsignedLongLong(timeout));
    if (!keywords || !timeout_object) {
        return utils::internal_error("Python API call failed", PyError::fetch());
    }
    if (PyDict_SetItem(keywords.get(), interned().timeout, timeout_object.get()) < 0 ||
        PyDict_SetItem(keywords.get(), interned().msgpack, document) < 0) {
        return utils::internal_error("a string is always a valid dict key", PyError::fetch());
    }
    return keywords;
}

}  // namespace

bool Name::still_valid() noexcept {
    if (!module_) {
        return false;
    }
    const std::optional<uint64_t> modules_version = dict_version(PyImport_GetModuleDict());
    if (!modules_version || namespace_version(module_.get()) != namespace_version_) {
        return false;
    }
    if (*modules_version == modules_version_) {
        return true;
    }
    // Another import changed sys.modules: still ours if the entry is the same module object (held
    // here, so no other object can have taken its address).
    PyObject* entry = PyDict_GetItemWithError(PyImport_GetModuleDict(), module_name_);
    if (entry != module_.get()) {
        PyErr_Clear();  // Intended: a failed look-up only means the name is looked up afresh.
        return false;
    }
    modules_version_ = *modules_version;
    return true;
}

Result<PyRef> Name::get() noexcept {
    utils::requires_interpreter_lock();
    if (still_valid()) {
        return value_.clone();
    }
    module_.reset();
    value_.reset();
    utils::may_run_python();
    auto module = utils::import_module(module_name_);
    VESK_TRY(module);
    auto value = checked(PyObject_GetAttr(module->get(), attribute_name_));
    VESK_TRY(value);
    // Versions read after the look-up, which may itself have imported and so changed sys.modules. A
    // stand-in object that is no module, or an interpreter without versions: looked up at each use.
    const std::optional<uint64_t> modules_version = dict_version(PyImport_GetModuleDict());
    const std::optional<uint64_t> own_version = namespace_version(module->get());
    if (modules_version && own_version) {
        modules_version_ = *modules_version;
        namespace_version_ = *own_version;
        module_ = std::move(*module);
        value_ = value->clone();
    }
    return value;
}

int Name::traverse(visitproc visit, void* arg) const noexcept {
    Py_VISIT(module_.get());
    Py_VISIT(value_.get());
    return 0;
}

Host::Host() noexcept
    : full_serializer_(interned().module_vesk_serialize, interned().dump_msgpack),
      light_serializer_(interned().module_vesk_serialize, interned().dump_msgpack_lightweight_repr),
      version_(interned().module_vesk_version, interned().dunder_version),
      commit_sha_(interned().module_vesk_git, interned().commit_sha),
      save_trace_(interned().module_vesk_db, interned().save_trace_in_sqlite) {}

Result<serialize::SerializerHandle> Host::serializer(serialize::Serializer serializer) noexcept {
    const bool light = serializer == serialize::Serializer::LightweightRepr;
    auto function = (light ? light_serializer_ : full_serializer_).get();
    VESK_TRY(function);
    // A function written in Python (a stand-in serialiser) is never the engine's own: said without the
    // subtype test that a type check of anything but a built-in function makes.
    serialize::NativeSerializer* native =
        PyFunction_Check(function->get()) ? nullptr : serialize::native_serializer_of(function->get(), light);
    return serialize::SerializerHandle{std::move(*function), native};
}

Result<utils::ByteBuffer> Host::dump_msgpack(PyObject* value, serialize::Serializer serializer) noexcept {
    auto handle = this->serializer(serializer);
    VESK_TRY(handle);
    return serialize::dump_with(*handle, value, serializer);
}

Result<PyRef> Host::load_plugin_data(PyObject* config) noexcept {
    // Once per profiler: imported afresh, nothing kept.
    utils::may_run_python();
    auto module = utils::import_module(interned().module_vesk_plugins);
    if (!module) {
        return utils::internal_error("vesk.plugins should always be importable", module.error());
    }
    auto loader = checked(PyObject_GetAttr(module->get(), interned().load_plugin_data));
    if (!loader) {
        return utils::internal_error("load_plugin_data should exist", loader.error());
    }
    auto descriptions = checked(PyObject_CallOneArg(loader->get(), config));
    if (!descriptions) {
        return utils::internal_error("load_plugin_data should be callable", descriptions.error());
    }
    if (!PyList_Check(descriptions->get())) {
        return utils::internal_error("load_plugin_data should return a list",
                                     utils::conversion_error(descriptions->get(), "PyList"));
    }
    return descriptions;
}

Result<std::string> Host::version() noexcept {
    auto version = version_.get();
    VESK_TRY(version);
    return utils::string_of(version->get());
}

Result<std::optional<std::string>> Host::commit_sha() noexcept {
    auto commit_sha = commit_sha_.get();
    VESK_TRY(commit_sha);
    if (commit_sha->get() == Py_None) {
        return std::nullopt;
    }
    auto text = utils::string_of(commit_sha->get());
    VESK_TRY(text);
    return std::optional<std::string>(std::move(*text));
}

Status Host::save_trace(std::string_view db_path, std::string_view trace_id, uint64_t timeout,
                        PyObject* document) noexcept {
    auto keywords = storage_keywords(timeout, document);
    VESK_TRY(keywords);
    auto path = text_object(db_path);
    VESK_TRY(path);
    auto id = text_object(trace_id);
    VESK_TRY(id);
    auto save = save_trace_.get();
    VESK_TRY(save);
    auto arguments = checked(PyTuple_Pack(2, path->get(), id->get()));
    VESK_TRY(arguments);
    utils::may_run_python();
    auto result = checked(PyObject_Call(save->get(), arguments->get(), keywords->get()));
    VESK_TRY(result);
    return {};
}

int Host::traverse(visitproc visit, void* arg) const noexcept {
    for (const Name* name : {&full_serializer_, &light_serializer_, &version_, &commit_sha_, &save_trace_}) {
        if (int visited = name->traverse(visit, arg); visited != 0) {
            return visited;
        }
    }
    return 0;
}

}  // namespace vesk::host
