// Which names were found secret, remembered by identity. A frame's locals dict is keyed by its code
// object's own interned names, so the same few str objects come back at every call of a function;
// looking them up here costs a pointer comparison instead of a dict lookup. The slots hold their
// names, so an address cannot be reused by another str while it is remembered.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>

#include "utils/pyref.hpp"

namespace vesk::serialize {

class NameVerdicts {
public:
    [[nodiscard]] std::optional<bool> find(PyObject* name) const noexcept {
        const Slot& slot = slots_[index(name)];
        if (slot.name.get() == name) {
            return slot.secret;
        }
        return std::nullopt;
    }
    // Replaces whatever the slot held; releasing a str runs no Python code.
    void remember(PyObject* name, bool secret) noexcept {
        Slot& slot = slots_[index(name)];
        slot.name = utils::PyRef::borrow(name);
        slot.secret = secret;
    }
    // Every verdict depends on the configured secret names: forgotten when they change.
    void clear() noexcept {
        for (Slot& slot : slots_) {
            slot.name.reset();
        }
    }

private:
    static constexpr size_t SLOTS = 256;
    struct Slot {
        utils::PyRef name;
        bool secret = false;
    };
    static size_t index(PyObject* name) noexcept {
        // Fibonacci hashing of the address: its low bits are alignment, the top bits of the product
        // mix all of it.
        return static_cast<size_t>((reinterpret_cast<uintptr_t>(name) * 0x9E3779B97F4A7C15ULL) >> 56);
    }
    std::array<Slot, SLOTS> slots_;
};

}  // namespace vesk::serialize
