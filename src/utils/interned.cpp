#include "utils/interned.hpp"

namespace vesk::utils {

namespace {
// Filled once under the interpreter lock, then only read; never freed (see the header).
Interned table;
bool table_ready = false;

Result<PyObject*> make_name(const char* text) noexcept {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) {
        return PyError::fetch();
    }
    return name;
}
}  // namespace

Status init_interned() noexcept {
    if (table_ready) {
        return {};
    }
    Interned fresh{};
#define VESK_MAKE_NAME(field, text)           \
    if (auto made = make_name(text); !made) { \
        return std::move(made.error());       \
    } else {                                  \
        fresh.field = *made;                  \
    }
    VESK_INTERNED_NAMES(VESK_MAKE_NAME)
#undef VESK_MAKE_NAME
    fresh.internal_error_type = PyErr_NewExceptionWithDoc(
        "vesk._vesk.InternalError",
        "An invariant of the vesk engine broke; derived from BaseException so that the profiled "
        "program's `except Exception` handlers do not swallow it.",
        PyExc_BaseException, nullptr);
    if (fresh.internal_error_type == nullptr) {
        return PyError::fetch();
    }
    table = fresh;
    table_ready = true;
    return {};
}

const Interned& interned() noexcept { return table; }

}  // namespace vesk::utils
