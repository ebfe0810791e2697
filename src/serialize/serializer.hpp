// The engine's value serialiser: the object `vesk._vesk.serializer`, whose methods vesk.serialize
// takes as its own `dump_msgpack` and `dump_msgpack_lightweight_repr` (and its secret rules), and
// which the engine, finding one of those methods there, calls without going through Python. It
// writes the very bytes the Python serialiser writes, and hands a record to it whenever it cannot go
// on (see walk.hpp). vesk.serialize calls `setup` once and `configure` with every new set of
// settings.
#pragma once

#include <Python.h>

#include <span>

#include "utils/bytes.hpp"
#include "utils/frames.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

class NativeSerializer;

// The serialiser object the module exposes as "serializer".
[[nodiscard]] utils::Result<utils::PyRef> new_serializer_object() noexcept;

// The engine's serialiser behind `function`, when it is that object's dump_msgpack (or, `light`,
// its dump_msgpack_lightweight_repr); else null.
[[nodiscard]] NativeSerializer* native_serializer_of(PyObject* function, bool light) noexcept;

// One value of a record: an object, or a frame's plain locals read where they lie (the dict they
// would make).
struct RecordValue {
    PyObject* object = nullptr;
    const utils::LocalsView* locals = nullptr;
};

// CAUTION: runs Python code (plans, reprs, the Python serialiser for what the walk cannot take on).
// Requires the interpreter lock. The values of one record, each into its own buffer (emptied
// first): a text redacted by name in one of them is redacted in all.
[[nodiscard]] utils::Status dump_record(NativeSerializer& serializer, std::span<const RecordValue> values, bool light,
                                        std::span<utils::ByteBuffer* const> outs) noexcept;

}  // namespace vesk::serialize
