// Recording through sys.monitoring (3.12 and later), the profile function's successor: the
// interpreter reports only the events asked for, and code whose every event is dropped is switched
// off at its first event (it then runs at full speed), which no profile function can do.
//
// The tool's callbacks are process-wide, so the profiler of an event is looked up per thread: each
// thread that registered one has its own, and with "threading" the threads started after that
// registration share it.
#pragma once

#include <Python.h>

#include "utils/result.hpp"

namespace vesk::profiler {

// Requires the interpreter lock. Events of the calling thread go to `profiler`, a VeskProfiler
// object, through sys.monitoring. False where sys.monitoring cannot serve: before 3.12, when the
// environment asks for the profile function ("VESK_PROFILE_FUNCTION"), or when another tool holds the
// profiler's tool id (said on stderr once).
[[nodiscard]] utils::Result<bool> monitor_calling_thread(PyObject* profiler) noexcept;

// Requires the interpreter lock, after `monitor_calling_thread` took this thread. Threads started
// from now on record into `profiler` too, until the calling thread stops.
void monitor_threads_started_later(PyObject* profiler) noexcept;

// Requires the interpreter lock. The calling thread's events go to no profiler any more, nor do those
// of threads that shared its profiler; once no thread records, sys.monitoring is let go of. Whether
// the thread was recorded through sys.monitoring.
[[nodiscard]] utils::Result<bool> stop_monitoring_calling_thread() noexcept;

// Requires the interpreter lock. The profiler recording the calling thread through sys.monitoring,
// borrowed, or null.
[[nodiscard]] PyObject* monitoring_profiler() noexcept;

}  // namespace vesk::profiler
