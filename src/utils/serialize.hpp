// The bridge to the host package's value serialiser ("vesk.serialize").
#pragma once

#include <Python.h>

#include <string_view>

#include "utils/bytes.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

enum class Serializer {
    Full,             // vesk.serialize.dump_msgpack
    LightweightRepr,  // vesk.serialize.dump_msgpack_lightweight_repr
};

// One value as the host serialiser encoded it: the bytes object it returned, read in place, or a
// copy of another byte sequence it returned.
class Serialized {
public:
    [[nodiscard]] std::string_view view() const noexcept;

private:
    friend Result<Serialized> serialized_from(PyRef result, Serializer serializer) noexcept;
    PyRef bytes_;
    ByteBuffer converted_;
};

// The host's serialiser function, found by name ("vesk.serialize" in sys.modules, then the
// attribute) and kept while neither sys.modules nor the module's namespace changes, so that a
// replaced module or attribute takes effect at the next event. Requires the interpreter lock.
class SerializerLookup {
public:
    // CAUTION: may run Python code (an import). The function for `serializer`.
    [[nodiscard]] Result<PyRef> function(Serializer serializer) noexcept;
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    struct Found {
        PyRef function;
        PyRef module;
        uint64_t modules_version = 0;
        uint64_t namespace_version = 0;
    };
    Found found_[2];
};

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. `function`'s MessagePack
// bytes for `value`, or the error it raised.
[[nodiscard]] Result<Serialized> serialize_with(PyObject* function, PyObject* value, Serializer serializer) noexcept;

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. Returns the MessagePack bytes
// of one value as produced by the host serialiser, or the error it raised.
[[nodiscard]] Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept;

// CAUTION: may run Python code (iteration, __len__, __index__). Requires the interpreter lock.
// Converts a serialiser result into bytes: a bytes-like sequence of integers 0-255 (not a str).
[[nodiscard]] Result<ByteBuffer> bytes_from_sequence(PyObject* result) noexcept;

}  // namespace vesk::utils
