// Recording and interpreter exit.
//
// When the interpreter shuts down, a daemon thread that next waits for the interpreter lock is ended
// on the spot by a forced unwind of its stack. If that happens while the thread is inside an event
// that runs Python code (a plugin, the serialiser, logging), the unwind reaches the engine's frames
// and the process aborts instead of exiting. So once the interpreter's exit functions run, only the
// exiting thread still records, and the exit waits (briefly, with the interpreter lock released) for
// the events other threads have under way.
#pragma once

#include <optional>

#include "utils/result.hpp"

namespace vesk::profiler {

// Held while an event may run Python code. Empty when recording on this thread has stopped for
// the interpreter's exit.
class EventInFlight {
public:
    [[nodiscard]] static std::optional<EventInFlight> enter() noexcept;
    EventInFlight(EventInFlight&& other) noexcept;
    EventInFlight(const EventInFlight&) = delete;
    EventInFlight& operator=(const EventInFlight&) = delete;
    EventInFlight& operator=(EventInFlight&&) = delete;
    ~EventInFlight();

private:
    EventInFlight() noexcept = default;
    bool counted_ = true;
};

// Requires the interpreter lock. Stops recording on every thread but the calling one and waits, for
// a bounded time, until no other thread is inside an event.
void stop_other_threads_for_exit() noexcept;

// Registers `stop_other_threads_for_exit` with the interpreter's exit functions (module "atexit").
[[nodiscard]] utils::Status register_exit_hook() noexcept;

// `stop_other_threads_for_exit` as a module function, for a host that knows the program is over
// before the exit functions run: its daemon threads then stop recording (and saving through the
// host, which finalisation could end with engine frames on their stacks) before its last save.
[[nodiscard]] PyMethodDef* exit_hook_definition() noexcept;

}  // namespace vesk::profiler
