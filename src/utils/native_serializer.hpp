// The host's native serialiser reached without a Python call. Its module ("vesk._serialize") puts
// this table in a capsule; the engine uses it where the serialiser it found by name is one of that
// module's own functions, and calls the function found through Python otherwise.
#pragma once

#include <Python.h>

#include "utils/bytes.hpp"

namespace vesk::utils {

inline constexpr const char* NATIVE_SERIALIZER_CAPSULE = "vesk._serialize._native_api";

struct NativeSerializerApi {
    // The functions the table stands in for, told apart by their C implementation.
    PyCFunction full;   // dump_msgpack
    PyCFunction light;  // dump_msgpack_lightweight_repr

    // CAUTION: runs Python code (reprs, the serialiser's own rules). `module` is the functions' own
    // module object. Each returns 1 with the value's bytes appended to `out`; 0 with `*result` set to
    // what the function would have returned otherwise (a new reference, the Python serialiser's
    // result); -1 with an exception set, as the function would have raised it.
    int (*dump)(PyObject* module, PyObject* value, bool light, ByteBuffer& out, PyObject** result) noexcept;
    // The same for a dict holding the pairs (names[i], values[i]) whose value is set, in that order,
    // without the dict: a frame's plain locals read where they lie.
    int (*dump_named_values)(PyObject* module, PyObject* const* names, PyObject* const* values, Py_ssize_t count,
                             bool light, ByteBuffer& out, PyObject** result) noexcept;
};

}  // namespace vesk::utils
