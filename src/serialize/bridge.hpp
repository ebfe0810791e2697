// The bridge to the host package's value serialiser ("vesk.serialize", found by src/host): its
// functions called, and called without Python where they are the engine's own serialiser's methods.
#pragma once

#include <Python.h>

#include <string_view>

#include "serialize/serializer.hpp"
#include "utils/bytes.hpp"
#include "utils/frames.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

enum class Serializer {
    Full,             // vesk.serialize.dump_msgpack
    LightweightRepr,  // vesk.serialize.dump_msgpack_lightweight_repr
};

// One value as the host serialiser encoded it: the bytes object it returned, read in place, or a
// copy of another byte sequence it returned, or the bytes the engine's serialiser wrote into the
// caller's buffer.
class Serialized {
public:
    [[nodiscard]] std::string_view view() const noexcept;

private:
    friend utils::Result<Serialized> serialized_from(utils::PyRef result, Serializer serializer) noexcept;
    friend Serialized written_into(const utils::ByteBuffer& out) noexcept;
    utils::PyRef bytes_;
    utils::ByteBuffer converted_;
    const utils::ByteBuffer* written_ = nullptr;
};

// The host's serialiser function for one variant, as the engine calls it: the function the host
// names, and the engine's own serialiser where the function is one of its methods.
struct SerializerHandle {
    utils::PyRef function;
    NativeSerializer* native = nullptr;
};

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. The MessagePack bytes of
// `value`, or the error the serialiser raised. `scratch` takes the bytes the engine's serialiser
// writes; the result reads them there.
[[nodiscard]] utils::Result<Serialized> serialize_with(const SerializerHandle& handle, PyObject* value,
                                                       Serializer serializer, utils::ByteBuffer& scratch) noexcept;

// The same for a frame's argument and locals, one record for the engine's serialiser (a text
// redacted in the locals is redacted in the argument too); only for a handle with `native` set.
struct FrameValues {
    Serialized arg;
    Serialized locals;
};
[[nodiscard]] utils::Result<FrameValues> serialize_frame_values(const SerializerHandle& handle, PyObject* arg,
                                                                const RecordValue& locals, Serializer serializer,
                                                                utils::ByteBuffer& arg_scratch,
                                                                utils::ByteBuffer& locals_scratch) noexcept;

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. The MessagePack bytes of one
// value in a buffer of its own, or the error the serialiser raised.
[[nodiscard]] utils::Result<utils::ByteBuffer> dump_with(const SerializerHandle& handle, PyObject* value,
                                                         Serializer serializer) noexcept;

// CAUTION: may run Python code (iteration, __len__, __index__). Requires the interpreter lock.
// Converts a serialiser result into bytes: a bytes-like sequence of integers 0-255 (not a str).
[[nodiscard]] utils::Result<utils::ByteBuffer> bytes_from_sequence(PyObject* result) noexcept;

}  // namespace vesk::serialize
