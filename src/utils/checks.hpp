// The engine's locking rules, checked where debug and test builds compile them in (VESK_CHECKS) and
// compiled to nothing in release builds:
// - the interpreter lock is held wherever the engine touches interpreter objects;
// - no engine lock is held while Python code may run (that code may wait for another profiled
//   thread, which may be waiting for the same engine lock);
// - no thread waits for an engine lock while holding the interpreter lock: every engine lock is taken
//   and released under the interpreter lock with no Python code in between, so it is never found
//   taken, and a wait would mean a holder that could need the interpreter lock to let go;
// - engine locks are taken in one order (their `LockRank`), and never twice by one thread.
// A broken rule ends the process with a fatal error naming the rule, as a failed assertion would.
#pragma once

#include <Python.h>

#include <cstdint>

namespace vesk::utils {

// The engine's locks, in the only order in which one thread may hold several of them.
enum class LockRank : uint8_t {
    TraceId,
    FramesOfInterest,  // the main thread's record buffer
    Frames,            // the other threads' record buffers
    Accounting,
    Totals,
};

#if VESK_CHECKS

inline constexpr bool CHECKS = true;

[[noreturn]] inline void broken_rule(const char* rule) noexcept { Py_FatalError(rule); }

namespace checks {
// The ranks of the engine locks the calling thread holds, one bit each.
inline thread_local uint32_t held_ranks = 0;

constexpr uint32_t bit_of(LockRank rank) noexcept { return uint32_t{1} << static_cast<unsigned>(rank); }
}  // namespace checks

inline void requires_interpreter_lock() noexcept {
    if (PyGILState_Check() == 0) {
        broken_rule("vesk: the interpreter lock is held here");
    }
}

// Where Python code may run: the interpreter lock is held, and no engine lock.
inline void may_run_python() noexcept {
    requires_interpreter_lock();
    if (checks::held_ranks != 0) {
        broken_rule("vesk: no engine lock is held while Python code may run");
    }
}

// A reference about to be released: dropping the last one may run Python code (__del__, weakref
// callbacks).
inline void may_release(PyObject* object) noexcept {
    if (object != nullptr && Py_REFCNT(object) == 1) {
        may_run_python();
    }
}

// Taking the lock of `rank`: after any lock of a lower rank, never after one of the same or higher.
inline void taking_engine_lock(LockRank rank) noexcept {
    requires_interpreter_lock();
    if (checks::held_ranks >= checks::bit_of(rank)) {
        broken_rule("vesk: engine locks are taken in their rank order, each once");
    }
    checks::held_ranks |= checks::bit_of(rank);
}

inline void released_engine_lock(LockRank rank) noexcept { checks::held_ranks &= ~checks::bit_of(rank); }

// The engine lock was found taken: its holder let the interpreter lock go while holding it.
[[noreturn]] inline void engine_lock_contended() noexcept {
    broken_rule("vesk: no thread waits for an engine lock while holding the interpreter lock");
}

#else

inline constexpr bool CHECKS = false;

inline void requires_interpreter_lock() noexcept {}
inline void may_run_python() noexcept {}
inline void may_release(PyObject*) noexcept {}
inline void taking_engine_lock(LockRank) noexcept {}
inline void released_engine_lock(LockRank) noexcept {}
inline void engine_lock_contended() noexcept {}

#endif

}  // namespace vesk::utils
