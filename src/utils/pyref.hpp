// Owning references to interpreter objects.
//
// The one rule: a raw `PyObject*` is always borrowed. Anything owned is a `PyRef`, made either by
// `PyRef::steal` (take over a new reference an API call returned) or `PyRef::borrow` (add a reference
// of our own). There is no implicit conversion back to `PyObject*`, so an owned reference cannot reach
// a `Py_DECREF` by accident; `get()` lends it out and `release()` hands it back to the caller.
#pragma once

#include <Python.h>

#include <utility>

#include "utils/checks.hpp"

namespace vesk::utils {

class PyRef {
public:
    PyRef() noexcept = default;

    // Takes over a reference the caller owns (typically a "new reference" result). May be null.
    [[nodiscard]] static PyRef steal(PyObject* owned) noexcept { return PyRef(owned); }

    // Adds a reference of our own to a borrowed object. May be null.
    [[nodiscard]] static PyRef borrow(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return PyRef(borrowed);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyRef old(std::exchange(ptr_, std::exchange(other.ptr_, nullptr)));
        return *this;
    }
    // CAUTION: dropping the last reference may run arbitrary Python code (__del__, weakref callbacks).
    ~PyRef() {
        may_release(ptr_);
        Py_XDECREF(ptr_);
    }

    // A second owning reference to the same object; the only way to copy.
    [[nodiscard]] PyRef clone() const noexcept { return borrow(ptr_); }

    // Lends the object out; the result is borrowed and valid while this PyRef holds it.
    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }

    // Hands the reference to the caller, who now owns it.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

    void reset() noexcept { PyRef old(std::exchange(ptr_, nullptr)); }

    explicit operator bool() const noexcept { return ptr_ != nullptr; }

private:
    explicit PyRef(PyObject* p) noexcept : ptr_(p) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace vesk::utils
