// The bridge to the host package's value serialiser ("vesk.serialize").
#pragma once

#include <Python.h>

#include <string_view>

#include "utils/bytes.hpp"
#include "utils/frames.hpp"
#include "utils/native_serializer.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

enum class Serializer {
    Full,             // vesk.serialize.dump_msgpack
    LightweightRepr,  // vesk.serialize.dump_msgpack_lightweight_repr
};

// One value as the host serialiser encoded it: the bytes object it returned, read in place, or a
// copy of another byte sequence it returned, or the bytes its native table wrote into the caller's
// buffer.
class Serialized {
public:
    [[nodiscard]] std::string_view view() const noexcept;

private:
    friend Result<Serialized> serialized_from(PyRef result, Serializer serializer) noexcept;
    friend Result<Serialized> written_natively(int done, PyObject* result, const ByteBuffer& out,
                                               Serializer serializer) noexcept;
    PyRef bytes_;
    ByteBuffer converted_;
    const ByteBuffer* written_ = nullptr;
};

// The serialiser function found, and the native serialiser's table where the function is one of its
// own (called then without Python).
struct SerializerFunction {
    PyRef function;
    const NativeSerializerApi* native = nullptr;
};

// The host's serialiser function, found by name ("vesk.serialize" in sys.modules, then the
// attribute) and kept while neither sys.modules nor the module's namespace changes, so that a
// replaced module or attribute takes effect at the next event. Requires the interpreter lock.
class SerializerLookup {
public:
    // CAUTION: may run Python code (an import). The function for `serializer`.
    [[nodiscard]] Result<SerializerFunction> function(Serializer serializer) noexcept;
    int traverse(visitproc visit, void* arg) const noexcept;

private:
    struct Found {
        PyRef function;
        const NativeSerializerApi* native = nullptr;
        PyRef module;
        uint64_t modules_version = 0;
        uint64_t namespace_version = 0;
    };
    Found found_[2];
};

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. `function`'s MessagePack
// bytes for `value`, or the error it raised. `scratch` takes the bytes a native serialiser writes;
// the result reads them there.
[[nodiscard]] Result<Serialized> serialize_with(const SerializerFunction& function, PyObject* value,
                                                Serializer serializer, ByteBuffer& scratch) noexcept;

// The same for the dict a frame's plain locals would make, read where they lie: only for a native
// serialiser (`function.native` set).
[[nodiscard]] Result<Serialized> serialize_locals_with(const SerializerFunction& function, const LocalsView& locals,
                                                       Serializer serializer, ByteBuffer& scratch) noexcept;

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. Returns the MessagePack bytes
// of one value as produced by the host serialiser, or the error it raised.
[[nodiscard]] Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept;

// CAUTION: may run Python code (iteration, __len__, __index__). Requires the interpreter lock.
// Converts a serialiser result into bytes: a bytes-like sequence of integers 0-255 (not a str).
[[nodiscard]] Result<ByteBuffer> bytes_from_sequence(PyObject* result) noexcept;

}  // namespace vesk::utils
