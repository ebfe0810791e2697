// The boundary between the engine and the interpreter: Python-callable entry points run their body
// through one of these, so a `Result` becomes the interpreter's convention in one place and nothing
// C++ (std::bad_alloc included) crosses the C boundary.
#pragma once

#include <Python.h>

#include <new>

#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

// For functions returning an object: the new reference, or null with the exception set.
template <class Body>
PyObject* object_entry(Body&& body) noexcept {
    try {
        Result<PyRef> result = body();
        if (!result) {
            std::move(result.error()).restore();
            return nullptr;
        }
        return result->release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// For functions returning a status code: 0, or -1 with the exception set.
template <class Body>
int status_entry(Body&& body) noexcept {
    try {
        Status status = body();
        if (!status) {
            std::move(status.error()).restore();
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return -1;
    }
}

[[nodiscard]] inline Result<PyRef> none() noexcept { return PyRef::borrow(Py_None); }

}  // namespace vesk::utils
