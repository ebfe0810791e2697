// Errors are values: inside the engine every fallible operation returns a `Result<T>` holding either
// its value or the interpreter exception that occurred. Only the Python-callable entry points turn a
// `Result` back into the interpreter's "NULL/-1 with an exception set" convention (see entry.hpp).
#pragma once

#include <Python.h>

#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "utils/pyref.hpp"

namespace vesk::utils {

// One owned, normalised interpreter exception (the instance carries its traceback).
class PyError {
public:
    // Takes the pending exception of this thread. With none pending (a broken C-API contract) it
    // yields SystemError "attempted to fetch exception but none was set", as the interpreter would.
    [[nodiscard]] static PyError fetch() noexcept;

    // A fresh exception of `type` carrying `message`.
    [[nodiscard]] static PyError make(PyObject* type, std::string_view message) noexcept;
    [[nodiscard]] static PyError type_error(std::string_view message) noexcept {
        return make(PyExc_TypeError, message);
    }

    PyError(PyError&&) noexcept = default;
    PyError& operator=(PyError&&) noexcept = default;

    // Sets this exception as the pending exception of the calling thread.
    void restore() && noexcept;
    // Hands this exception to sys.unraisablehook, naming `context` as the object it concerns.
    void discard_as_unraisable(PyObject* context) && noexcept;

    [[nodiscard]] PyObject* value() const noexcept { return value_.get(); }
    [[nodiscard]] bool matches(PyObject* exception_type) const noexcept {
        return PyErr_GivenExceptionMatches(value_.get(), exception_type) != 0;
    }
    // "<type name>: <str(value)>", the form used when one error is described inside another.
    [[nodiscard]] std::string describe() const noexcept;

private:
    explicit PyError(PyRef value) noexcept : value_(std::move(value)) {}
    PyRef value_;
};

// The engine's internal-error exception (a BaseException subclass): an invariant broke. `text` is one
// of the fixed messages naming the expectation; `cause`, when given, is appended as ": <description>".
[[nodiscard]] PyError internal_error(std::string_view text) noexcept;
[[nodiscard]] PyError internal_error(std::string_view text, const PyError& cause) noexcept;

template <class T>
class [[nodiscard]] Result : public std::expected<T, PyError> {
    using Base = std::expected<T, PyError>;

public:
    using Base::Base;
    Result(PyError error) noexcept : Base(std::unexpect, std::move(error)) {}  // NOLINT: implicit by design
};

using Status = Result<void>;

// Forwards a failure: when the `Result` (or `Status`) named or made by the argument holds an error,
// the enclosing function returns that error (to its own `Result`, whatever its value type); otherwise
// execution goes on, and a named result can then be read. A statement macro, because C++ has no
// operator that returns from the caller: `VESK_TRY(set_item(...));`, or `auto x = f(); VESK_TRY(x);`.
// Variadic so that braces or template arguments with commas pass through whole.
#define VESK_TRY(...)                                                   \
    do {                                                                \
        if (auto&& vesk_try_result = (__VA_ARGS__); !vesk_try_result) { \
            return std::move(vesk_try_result.error());                  \
        }                                                               \
    } while (false)

// The pending exception as an error value, for C-API calls that just reported failure.
[[nodiscard]] inline PyError fetch_error() noexcept { return PyError::fetch(); }

// Turns a new reference from a C-API call into a Result: null means the call raised.
[[nodiscard]] inline Result<PyRef> checked(PyObject* new_reference) noexcept {
    if (new_reference == nullptr) {
        return PyError::fetch();
    }
    return PyRef::steal(new_reference);
}

// The qualified name of `object`'s type, or "<failed to extract type name>".
[[nodiscard]] std::string type_qualname(PyObject* object) noexcept;

// "'<type name>' object cannot be converted to '<target>'", the engine's one wording for a failed
// conversion of a Python value to the kind of value it needs.
[[nodiscard]] PyError conversion_error(PyObject* value, std::string_view target) noexcept;

}  // namespace vesk::utils
