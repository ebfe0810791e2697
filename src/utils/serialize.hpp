// The bridge to the host package's value serialiser ("vesk.serialize").
#pragma once

#include <Python.h>

#include "utils/bytes.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

enum class Serializer {
    Full,             // vesk.serialize.dump_msgpack
    LightweightRepr,  // vesk.serialize.dump_msgpack_lightweight_repr
};

// CAUTION: runs arbitrary Python code. Requires the interpreter lock. Returns the MessagePack bytes
// of one value as produced by the host serialiser, or the error it raised.
[[nodiscard]] Result<ByteBuffer> dump_msgpack(PyObject* value, Serializer serializer) noexcept;

// CAUTION: may run Python code (iteration, __len__, __index__). Requires the interpreter lock.
// Converts a serialiser result into bytes: a bytes-like sequence of integers 0-255 (not a str).
[[nodiscard]] Result<ByteBuffer> bytes_from_sequence(PyObject* result) noexcept;

}  // namespace vesk::utils
