// Where an event happened: thread identity, the user-code call site and the source position.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "utils/ids.hpp"
#include "utils/pyref.hpp"
#include "utils/result.hpp"

namespace vesk::utils {

struct ThreadInfo {
    std::string name;
    std::optional<uint64_t> native_id;
};

// One recorded call still open on a thread.
struct CallFrame {
    PyRef frame;
    FrameId id;
    // The line of each of its code's instructions where the recorder keeps them (empty: not kept),
    // and its code's filename: owned by the code object, which the frame keeps alive.
    std::span<const int32_t> lines;
    std::string_view filename;
};

// The frame's current line from its code's kept `lines`; negative where they do not say.
[[nodiscard]] inline int kept_line(std::span<const int32_t> lines, PyObject* frame) noexcept {
    if (lines.empty()) {
        return -1;
    }
    const int offset = PyFrame_GetLasti(reinterpret_cast<PyFrameObject*>(frame));
    const auto unit = static_cast<size_t>(offset) / 2;
    return offset >= 0 && unit < lines.size() ? lines[unit] : -1;
}

struct CallSite {
    FrameId call_frame_id;
    int32_t line_number;
};

// CAUTION: runs Python code (threading.current_thread). Requires the interpreter lock.
[[nodiscard]] Result<ThreadInfo> current_thread() noexcept;

// The recorded frame that called the current one, and the line it is executing. `call_frames` is the
// thread's stack of open recorded calls (oldest first) as it was before this event; only its last two
// entries are examined. `current` is this event's frame id, if any.
// The caller's line comes from its kept lines where it has them, otherwise from the interpreter.
[[nodiscard]] Result<std::optional<CallSite>> user_code_call_site(std::span<const CallFrame> call_frames,
                                                                  const FrameId* current) noexcept;

// CAUTION: may run Python code (a class body's own mapping). The frame's local variables as a dict:
// the one the interpreter hands out, or a snapshot where it hands out another mapping (a function
// frame's proxy from 3.13, a class body's namespace from __prepare__).
[[nodiscard]] Result<PyRef> frame_locals(PyObject* frame) noexcept;

// CAUTION: as `frame_locals`. The same, always through the interpreter's API (what `frame_locals`
// reads from the frame where it can).
[[nodiscard]] Result<PyRef> interpreter_frame_locals(PyObject* frame) noexcept;

// A frame's locals where they lie: the names, and the values (null where unbound), in the order
// `frame_locals` would hold them. Valid until the frame runs again.
struct LocalsView {
    PyObject* const* names;
    PyObject* const* values;
    Py_ssize_t count;
};

// The view, for a frame whose every variable is a plain local and whose locals dict would hold
// exactly the bound ones in the code's order (on 3.11 and 3.12: no dict of them made yet, and not a
// generator's or coroutine's frame, whose dict keeps the order of earlier reads); else nothing.
[[nodiscard]] std::optional<LocalsView> plain_locals_view(PyObject* frame) noexcept;

// CAUTION: may run Python code (attribute reads on `frame`). Requires the interpreter lock.
// Requires the interpreter lock. Lets `filename_with_lineno` keep the working directory between
// events instead of asking the system each time; a change through os.chdir or os.fchdir shows at the
// next event.
[[nodiscard]] Status watch_working_directory() noexcept;

// Requires the interpreter lock. A number that changes whenever the working directory may have
// changed (every event, when it is not watched): texts built with `relative_path` stay valid while
// it stays the same.
[[nodiscard]] Result<uint64_t> working_directory_generation() noexcept;

// The path part of `filename_with_lineno` for a code filename.
[[nodiscard]] Result<std::string> relative_path(PyObject* filename) noexcept;

// "<path>:<line>", the path relative to the current working directory when it lies below it; the
// whole path while the working directory cannot be read (removed under the program).
[[nodiscard]] Result<std::string> filename_with_lineno(PyObject* frame) noexcept;

// A caller's "f_lineno" value as a call-site line number (exposed for tests: real frames cannot
// carry a line outside the 32-bit range).
[[nodiscard]] Result<int32_t> line_number_from(PyObject* f_lineno) noexcept;

}  // namespace vesk::utils
