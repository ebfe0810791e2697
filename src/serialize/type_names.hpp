// Names of types as the Python serialiser writes them in markers and identity texts: the qualified
// name, prefixed by the module unless that is "builtins" or not a str.
#pragma once

#include <Python.h>

#include "serialize/output.hpp"
#include "serialize/settings.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::serialize {

// `type.__module__` read through type's own descriptor, as `_type_module` does: no metaclass
// attribute lookup runs. Fails with AttributeError for a heap type whose "__module__" was deleted.
[[nodiscard]] utils::Result<utils::PyRef> type_module(PyTypeObject* type, const Hooks& hooks) noexcept;

// Appends the type's name, surrogates escaped. A type whose module or qualified name is not an exact
// str gets its name from the Python serialiser's `_type_name`, formatted as an f-string would.
// CAUTION: runs Python code in that case (a str subclass's or another object's methods).
[[nodiscard]] utils::Status append_type_name(Output& out, PyTypeObject* type, const Hooks& hooks) noexcept;

}  // namespace vesk::serialize
