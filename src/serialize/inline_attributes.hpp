// An instance's attributes read where the interpreter keeps them, without asking for its __dict__.
// On 3.11 and 3.12 an instance of an ordinary class keeps its attributes in the object itself until
// something asks for its dict; the dict then made replaces them for good, and every later attribute
// access of that object takes a slower path (about twice as slow in a loop of attribute reads). A
// snapshot of the program's values must not change how fast the program runs afterwards.
#pragma once

#include <Python.h>

#include <array>

namespace vesk::serialize {

// Read for every instance walked: the first `count` entries only are set, the rest left as they are
// rather than cleared at each read.
struct InlineAttributes {
    // The interpreter keeps at most this many attributes in the object itself.
    static constexpr size_t MOST = 30;
    std::array<PyObject*, MOST> names;  // borrowed from the object and its type
    std::array<PyObject*, MOST> values;
    Py_ssize_t count = 0;
};

// Requires the interpreter lock. Reads into `into` the attributes `object` keeps in itself, in the
// order its dict would list them; false when it has a dict already, keeps none this way, or the
// interpreter does not slow down for a dict made (3.13 and later), where asking for the dict is as
// good.
[[nodiscard]] bool read_inline_attributes(PyObject* object, InlineAttributes& into) noexcept;

}  // namespace vesk::serialize
