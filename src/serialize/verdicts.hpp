// Answers the Python serialiser gave about an object, remembered by the object's identity. A frame's
// locals dict is keyed by its code object's own interned names, so the same few str objects come back
// at every call of a function, and the same few types hold the objects a program passes around;
// looking them up here costs a pointer comparison instead of a call into Python. The slots hold
// their objects, so an address cannot be reused by another object while it is remembered.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>

#include "utils/pyref.hpp"

namespace vesk::serialize {

template <class Answer>
class ByIdentity {
public:
    [[nodiscard]] std::optional<Answer> find(PyObject* object) const noexcept {
        const Slot& slot = slots_[index(object)];
        if (slot.object.get() == object) {
            return slot.answer;
        }
        return std::nullopt;
    }
    // Replaces whatever the slot held. Releasing a str runs no Python code; releasing the last
    // reference to a type may (its weak references' callbacks), as dropping any type would.
    void remember(PyObject* object, Answer answer) noexcept {
        Slot& slot = slots_[index(object)];
        // The slot is emptied first and the object it held released only once the slot is whole
        // again: code run by the release may look answers up (and remember others).
        utils::PyRef previous = std::move(slot.object);
        slot.answer = answer;
        slot.object = utils::PyRef::borrow(object);
    }
    // Every answer depends on the configured settings: forgotten when they change.
    void clear() noexcept {
        for (Slot& slot : slots_) {
            slot.object.reset();
        }
    }

private:
    static constexpr size_t SLOTS = 256;
    struct Slot {
        utils::PyRef object;
        Answer answer{};
    };
    static size_t index(PyObject* object) noexcept {
        // Fibonacci hashing of the address: its low bits are alignment, the top bits of the product
        // mix all of it.
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(object) * 0x9E3779B97F4A7C15ULL) >> 56);
    }
    std::array<Slot, SLOTS> slots_;
};

// Whether a name is secret (vesk.serialize._is_secret).
using NameVerdicts = ByIdentity<bool>;

// How a type's instances are shown, as vesk.serialize._native_kind numbers it.
enum class Kind : uint8_t {
    identity = 0,
    by_dict = 1,
    as_tuple = 2,
    by_value = 3,
    ask_python = 4,
    interpreter_repr = 5,  // functions, generators, frames...: the repr the interpreter writes in C
};
using TypeKinds = ByIdentity<Kind>;

}  // namespace vesk::serialize
