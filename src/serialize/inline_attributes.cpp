// Reading an instance's inline values needs the interpreter's layout of them, which only its internal
// headers state; those of 3.12 cannot be included from C++ (they open the C atomics inside a C
// linkage block), so the few parts read are written out here as 3.11 and 3.12 lay them out.
#include "serialize/inline_attributes.hpp"

#include <cstdint>

namespace vesk::serialize {

#if PY_VERSION_HEX < 0x030D0000

namespace {

// The header of the shared keys of a class's instances; the hash indices follow it, then the entries
// that hold the names.
struct SharedKeys {
    Py_ssize_t refcount;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t entry_count;
};

struct UnicodeEntry {
    PyObject* key;
    PyObject* value;
};

const UnicodeEntry* entries_of(const SharedKeys* keys) noexcept {
    const char* indices = reinterpret_cast<const char*>(keys) + sizeof(SharedKeys);
    return reinterpret_cast<const UnicodeEntry*>(indices + (size_t{1} << keys->log2_index_bytes));
}

struct InlineValues {
    PyObject* values[1];
};

// The values kept in the object itself, or null when it has a dict (or has neither). Before the
// object's header: on 3.12 one word holding the dict, or the values' address less one (odd, so told
// apart from a dict's); on 3.11 the dict, and before it the values.
InlineValues* values_of(PyObject* object) noexcept {
    auto* const* before = reinterpret_cast<void* const*>(object);
#if PY_VERSION_HEX >= 0x030C0000
    const auto held = reinterpret_cast<uintptr_t>(before[-3]);
    return (held & 1U) != 0 ? reinterpret_cast<InlineValues*>(held + 1) : nullptr;
#else
    return before[-3] == nullptr ? static_cast<InlineValues*>(before[-4]) : nullptr;
#endif
}

}  // namespace

bool read_inline_attributes(PyObject* object, InlineAttributes& into) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) == 0 || (type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) {
        return false;
    }
    const auto* keys = reinterpret_cast<const SharedKeys*>(reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys);
    InlineValues* values = values_of(object);
    if (keys == nullptr || values == nullptr) {
        return false;
    }
    // The order the attributes were set in: a count, then the values' indices, stored just before
    // the values (as the interpreter's own dict of them lists them).
    const auto* order = reinterpret_cast<const uint8_t*>(values);
    const uint8_t count = order[-2];
    if (count > InlineAttributes::MOST) {
        return false;
    }
    into.count = 0;
    const UnicodeEntry* entries = entries_of(keys);
    for (uint8_t i = 0; i < count; ++i) {
        const uint8_t index = order[-3 - i];
        if (index >= keys->entry_count || values->values[index] == nullptr) {
            return false;  // not the layout this reads: the dict, as the interpreter makes it
        }
        into.names[static_cast<size_t>(into.count)] = entries[index].key;
        into.values[static_cast<size_t>(into.count)] = values->values[index];
        ++into.count;
    }
    return true;
}

#else

bool read_inline_attributes(PyObject*, InlineAttributes&) noexcept { return false; }

#endif

}  // namespace vesk::serialize
