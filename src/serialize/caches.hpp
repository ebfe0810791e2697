// Answers remembered by an object's identity. A frame's locals dict is keyed by its code object's own
// interned names, the same few types hold the objects a program passes around, and the same str
// objects are recorded again and again (a parser's source text at every call): looking an answer up
// here costs a pointer comparison instead of working it out again. A slot holds its object, so the
// address cannot be reused by another object while the answer is remembered.
#pragma once

#include <Python.h>

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "serialize/secrets.hpp"
#include "utils/pyref.hpp"

namespace vesk::serialize {

// The slot of `object` among `SLOTS`: Fibonacci hashing of the address, whose low bits are alignment;
// the top bits of the product mix all of it.
template <size_t SLOTS>
size_t slot_of(const PyObject* object) noexcept {
    static_assert(SLOTS > 1 && (SLOTS & (SLOTS - 1)) == 0, "a power of two: the index is the product's top bits");
    constexpr int INDEX_BITS = std::countr_zero(SLOTS);
    return static_cast<size_t>((reinterpret_cast<uintptr_t>(object) * 0x9E3779B97F4A7C15ULL) >> (64 - INDEX_BITS));
}

template <class Answer, size_t SLOTS = 256>
class ByIdentity {
public:
    // The answer remembered for `object`, or null. Valid until the next `remember` or `clear`, which
    // the caller must not run (nor any Python code, which may) while it reads it.
    [[nodiscard]] const Answer* find(PyObject* object) const noexcept {
        const Slot& slot = slots_[index(object)];
        return slot.object.get() == object ? &slot.answer : nullptr;
    }
    // Replaces whatever the slot held. Releasing a str runs no Python code; releasing the last
    // reference to a type may (its weak references' callbacks), as dropping any type would.
    void remember(PyObject* object, Answer answer) noexcept {
        Slot& slot = slots_[index(object)];
        // The slot is made whole first and what it held released only then: code run by the release
        // may look answers up (and remember others).
        [[maybe_unused]] utils::PyRef previous = std::move(slot.object);
        [[maybe_unused]] Answer previous_answer = std::exchange(slot.answer, std::move(answer));
        slot.object = utils::PyRef::borrow(object);
    }
    // Every answer depends on the configured settings: forgotten when they change.
    void clear() noexcept {
        for (Slot& slot : slots_) {
            [[maybe_unused]] utils::PyRef object = std::move(slot.object);
            [[maybe_unused]] Answer answer = std::exchange(slot.answer, Answer{});
        }
    }
    int traverse(visitproc visit, void* arg) const noexcept {
        for (const Slot& slot : slots_) {
            Py_VISIT(slot.object.get());
            if constexpr (std::is_same_v<Answer, utils::PyRef>) {
                Py_VISIT(slot.answer.get());
            }
        }
        return 0;
    }

private:
    struct Slot {
        utils::PyRef object;
        Answer answer{};
    };
    static size_t index(PyObject* object) noexcept { return slot_of<SLOTS>(object); }
    std::array<Slot, SLOTS> slots_;
};

// Bytes written for an object, remembered by its address without a reference to it: a cache must not
// keep a program's functions alive (and through their globals, a module a test expects to be
// collected). Each entry holds the two objects its bytes were made from and is found only where the
// caller gives those same two again, so an object later made at the same address is answered for
// only where its bytes would be the same.
template <size_t SLOTS>
class ByAddress {
public:
    // The bytes remembered for `object` made from `first` and `second`, or nothing. Valid as
    // `ByIdentity::find`'s answer.
    [[nodiscard]] std::optional<std::string_view> written_for(PyObject* object, PyObject* first,
                                                              PyObject* second) const noexcept {
        const Slot& slot = slots_[index(object)];
        if (slot.address != object || PyTuple_GET_ITEM(slot.entry.get(), 0) != first ||
            PyTuple_GET_ITEM(slot.entry.get(), 1) != second) {
            return std::nullopt;
        }
        PyObject* bytes = PyTuple_GET_ITEM(slot.entry.get(), 2);
        return std::string_view{PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes))};
    }
    // Out of memory for the copy: not remembered, written again next time.
    void remember(PyObject* object, PyObject* first, PyObject* second, std::string_view written) noexcept {
        utils::PyRef bytes =
            utils::PyRef::steal(PyBytes_FromStringAndSize(written.data(), static_cast<Py_ssize_t>(written.size())));
        utils::PyRef entry = bytes ? utils::PyRef::steal(PyTuple_Pack(3, first, second, bytes.get())) : utils::PyRef();
        if (!entry) {
            PyErr_Clear();
            return;
        }
        Slot& slot = slots_[index(object)];
        [[maybe_unused]] utils::PyRef previous = std::exchange(slot.entry, std::move(entry));
        slot.address = object;
    }
    void clear() noexcept {
        for (Slot& slot : slots_) {
            slot.address = nullptr;
            [[maybe_unused]] utils::PyRef entry = std::move(slot.entry);
        }
    }
    int traverse(visitproc visit, void* arg) const noexcept {
        for (const Slot& slot : slots_) {
            Py_VISIT(slot.entry.get());
        }
        return 0;
    }

private:
    struct Slot {
        const PyObject* address = nullptr;  // never dereferenced: the object may be gone
        utils::PyRef entry;                 // (first, second, bytes); set whenever `address` is
    };
    static size_t index(PyObject* object) noexcept { return slot_of<SLOTS>(object); }
    std::array<Slot, SLOTS> slots_;
};

struct Caches {
    // A name's kind: the names of a program's fields, keys and variables run to thousands.
    ByIdentity<NameKind, 4096> names;
    ByIdentity<utils::PyRef> plans;  // a type's plan, as vesk.serialize._plan made it
    // A text's (or bytes') searched part with its secrets replaced; null where it holds none.
    ByIdentity<utils::PyRef> redacted;
    // The bytes written for an immutable standard-library object shown by its repr (a compiled
    // pattern's repr is its whole pattern, searched for secrets at every record of its holder).
    ByIdentity<utils::PyRef, 1024> reprs;
    // A function's repr, made from its qualified name. Its repr is its qualified name and
    // address: a function later made at the address with the same name object has the same repr. A
    // template engine's environment holds a hundred filters and tests in every record of its
    // methods: at 256 slots a third of them pushed each other out, each miss a repr and a search for
    // secrets.
    ByAddress<4096> function_reprs;
    // An enum member's text, made from its type's qualified name and its own name or number: a
    // tokenizer's tokens each hold one, at every record of its parser.
    ByAddress<1024> enum_texts;
    // A class's name, made from its qualified name and module: every object shown by its fields
    // starts with it.
    ByAddress<1024> type_names;

    void clear() noexcept {
        names.clear();
        plans.clear();
        redacted.clear();
        reprs.clear();
        function_reprs.clear();
        enum_texts.clear();
        type_names.clear();
    }
    int traverse(visitproc visit, void* arg) const noexcept {
        if (int visited = plans.traverse(visit, arg); visited != 0) {
            return visited;
        }
        if (int visited = redacted.traverse(visit, arg); visited != 0) {
            return visited;
        }
        if (int visited = reprs.traverse(visit, arg); visited != 0) {
            return visited;
        }
        if (int visited = function_reprs.traverse(visit, arg); visited != 0) {
            return visited;
        }
        if (int visited = enum_texts.traverse(visit, arg); visited != 0) {
            return visited;
        }
        if (int visited = type_names.traverse(visit, arg); visited != 0) {
            return visited;
        }
        return names.traverse(visit, arg);
    }
};

}  // namespace vesk::serialize
