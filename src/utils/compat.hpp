// The only place that looks at the interpreter version.
#pragma once

#include <Python.h>

namespace vesk::utils {

// Whether the interpreter has begun shutting down. Safe to call without the interpreter lock.
inline bool interpreter_is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace vesk::utils
