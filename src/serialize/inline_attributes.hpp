// An instance's attributes read where the interpreter keeps them, without asking for its __dict__.
// On 3.11 and 3.12 an instance of an ordinary class keeps its attributes in the object itself until
// something asks for its dict; the dict then made replaces them for good, and every later attribute
// access of that object takes a slower path (about twice as slow in a loop of attribute reads). A
// snapshot of the program's values must not change how fast the program runs afterwards.
#pragma once

#include <Python.h>

#include <array>
#include <optional>

namespace vesk::serialize {

struct InlineAttributes {
    // The interpreter keeps at most this many attributes in the object itself.
    static constexpr size_t MOST = 30;
    std::array<PyObject*, MOST> names{};  // borrowed from the object and its type
    std::array<PyObject*, MOST> values{};
    Py_ssize_t count = 0;
};

// Requires the interpreter lock. The attributes `object` keeps in itself, in the order its dict
// would list them; nothing when it has a dict already, keeps none this way, or the interpreter does
// not slow down for a dict made (3.13 and later), where asking for the dict is as good.
[[nodiscard]] std::optional<InlineAttributes> inline_attributes(PyObject* object) noexcept;

}  // namespace vesk::serialize
