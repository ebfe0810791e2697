// The host package's services, as the engine uses them: the only place that knows the names of the
// host's modules and attributes ("vesk.serialize", "vesk.plugins", "vesk.version", "vesk.git",
// "vesk.db"). Everything else in the engine is handed a `Host` and calls typed operations on it.
//
// A name is looked up once and kept while it still means the same object: the module is the object
// sys.modules holds under its name, and the module's namespace is unchanged. So a module replaced in
// sys.modules, or an attribute replaced in it, is honoured at the next use, exactly as an import at
// each use would, without the import machinery's cost on every event.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <string_view>

#include "serialize/bridge.hpp"
#include "utils/bytes.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::host {

// One attribute of one host module, both names interned strings.
class Name {
public:
    Name(PyObject* module, PyObject* attribute) noexcept : module_name_(module), attribute_name_(attribute) {}

    // CAUTION: may run Python code (an import, the first time or after sys.modules changed it; a
    // module's __getattr__). Requires the interpreter lock.
    [[nodiscard]] utils::Result<utils::PyRef> get() noexcept;
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    [[nodiscard]] bool still_valid() noexcept;

    PyObject* module_name_;
    PyObject* attribute_name_;
    utils::PyRef module_;  // null: nothing kept (not yet looked up, or not a module with versions)
    utils::PyRef value_;
    uint64_t modules_version_ = 0;
    uint64_t namespace_version_ = 0;
};

// Requires the interpreter lock for every operation; each may run Python code (the host's own).
class Host {
public:
    Host() noexcept;
    Host(Host&&) noexcept = default;

    // "vesk.serialize" . "dump_msgpack" / "dump_msgpack_lightweight_repr".
    [[nodiscard]] utils::Result<serialize::SerializerHandle> serializer(serialize::Serializer serializer) noexcept;
    // One value through that serialiser, in a buffer of its own.
    [[nodiscard]] utils::Result<utils::ByteBuffer> dump_msgpack(PyObject* value,
                                                                serialize::Serializer serializer) noexcept;

    // "vesk.plugins" . "load_plugin_data"(config): the plugin descriptions, a list. Its failures are
    // internal errors: the host always provides it.
    [[nodiscard]] utils::Result<utils::PyRef> load_plugin_data(PyObject* config) noexcept;

    // "vesk.version" . "__version__", a str.
    [[nodiscard]] utils::Result<std::string> version() noexcept;
    // "vesk.git" . "COMMIT_SHA", a str or None.
    [[nodiscard]] utils::Result<std::optional<std::string>> commit_sha() noexcept;

    // "vesk.db" . "save_trace_in_sqlite"(db_path, trace_id, timeout=..., msgpack=document).
    [[nodiscard]] utils::Status save_trace(std::string_view db_path, std::string_view trace_id, uint64_t timeout,
                                           PyObject* document) noexcept;

    int traverse(visitproc visit, void* arg) const noexcept;

private:
    Name full_serializer_;
    Name light_serializer_;
    Name version_;
    Name commit_sha_;
    Name save_trace_;
};

}  // namespace vesk::host
