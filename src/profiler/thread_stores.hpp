// Per-thread bookkeeping of the event handler, kept inside the profiler and keyed by thread.
#pragma once

#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "utils/bytes.hpp"
#include "utils/frames.hpp"
#include "utils/ids.hpp"
#include "utils/pyref.hpp"

namespace vesk::profiler {

struct CodeFacts;

// What the handler reads from the event's code object once per event.
struct EventCode {
    utils::PyRef code;  // keeps the filename and name below alive
    PyObject* filename;
    PyObject* name;
    std::string_view filename_text;
    std::string_view name_text;
    CodeFacts* facts = nullptr;  // kept on the code object (see code_cache.hpp), once there are any
};

// Events of this OS thread let pass at the first look (library code, built-in functions) since its
// last event that went further: each still cost the interpreter a call of the profile function,
// which is counted into the recorder's time. Trivially constructed and in the static TLS block, so
// that counting is one increment, not a call to find the variable.
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t passed_events = 0;
// Of those, the calls and returns of library code: each went further than the others (its code
// object's verdict read), which no clock read sees, so each also counts at the host's estimate.
[[gnu::tls_model("initial-exec")]] inline thread_local uint64_t dropped_frame_events = 0;

struct ThreadState {
    std::optional<utils::ThreadInfo> info;      // cached at the thread's first need
    std::vector<utils::CallFrame> call_frames;  // recorded calls still open, oldest first
    utils::PyRef left_out_call;                 // the call whose whole subtree is left out
    utils::ByteBuffer spare_record;             // the last frame record's allocation, reused
    std::string scratch_path;                   // the "path" text being written, reused
    // 3.11, where the profile function is not told which exception leaves a frame: the recorded
    // frame whose unwind waits for the next event to name it; the generator frame resumed by a
    // throw() whose exception the next event names, and then that frame and what was thrown into
    // it (close()'s GeneratorExit, which no caller sees).
    utils::PyRef unwinding;
    utils::PyRef awaiting_throw;
    utils::PyRef thrown_into;
    utils::PyRef thrown;
    utils::ByteBuffer serialized_arg;  // what the native serialiser wrote, reused
    utils::ByteBuffer serialized_locals;
    // The recorder's own time on this thread, so that readers can take it out of durations: the
    // events that reached the recorder so far and the time it spent on them, and where the current
    // event started and took its record's timestamp.
    uint64_t events = 0;
    int64_t recorder_ns = 0;
    int64_t event_started_ns = 0;
    int64_t record_clock_ns = 0;
    // The decisions whether to record that were timed, and the time of those that make the average
    // and that average (DecisionTime).
    int64_t decisions_timed = 0;
    int64_t decisions_ns = 0;
    int64_t decisions_averaged = 0;
    int64_t decision_average_ns = 0;
    uint32_t decisions_since_timed = 0;
    // The interpreter's share is an average per event. Where it would make the program's own time
    // (clock minus recorder) run backwards between two records, the record shows the program's time
    // standing still and the rest is counted at the next records that leave room for it: dropping it
    // for good would take out less than was spent, most of all where records follow each other closely.
    int64_t program_ns = 0;  // on the timestamps' clock, less the recorder's time
    // The host's estimate of what the recorder cost beyond the work it timed, summed over the events
    // it decided on and recorded (fractions of a nanosecond each add up over many events).
    double untimed_ns = 0;

    // The recorder's time on this thread up to the current record's timestamp, in seconds, with
    // `delivery_ns` for the interpreter's handing over of each event and the untimed estimate. Never
    // lets the program's own time run backwards.
    [[nodiscard]] double recorder_seconds_at_record(double delivery_ns) noexcept {
        const auto timed = static_cast<double>(recorder_ns + (record_clock_ns - event_started_ns));
        const auto estimated = static_cast<int64_t>(timed + static_cast<double>(events) * delivery_ns + untimed_ns);
        const int64_t recorder = std::min(estimated, record_clock_ns - program_ns);
        program_ns = record_clock_ns - recorder;
        return static_cast<double>(recorder) / 1e9;
    }
};

// The entry this thread last used, and whose stores it is in: one comparison finds it again. An
// entry lives as long as its stores do while its thread runs. Trivially constructed and in the static
// TLS block, so that reaching it at every event costs no call.
struct LastUsedStore {
    uint64_t stores;
    ThreadState* state;
};
[[gnu::tls_model("initial-exec")]] inline thread_local LastUsedStore last_used_store{0, nullptr};

// One entry per OS thread that produced an event. Threads are told apart by a serial number that is
// never reused, so a new thread never inherits a finished thread's name, stack or frame ids; the
// entries of finished threads are dropped when a new thread arrives.
//
// No engine lock: each thread only touches its own entry, and the map itself changes only inside
// `current`, which runs no Python code while it changes it, under the interpreter lock.
class ThreadStores {
public:
    ThreadStores() noexcept;

    // Requires the interpreter lock. The calling thread's entry, created on first use. CAUTION:
    // creating an entry may drop finished threads' entries, which releases their frames.
    [[nodiscard]] ThreadState& current() {
        return last_used_store.stores == serial_ ? *last_used_store.state : find_or_add();
    }

    int traverse(visitproc visit, void* arg) const noexcept;

    // Requires the interpreter lock. In a forked child: drops every entry but the calling thread's
    // (the other threads do not exist there). CAUTION: releasing their frames may run Python code.
    void drop_other_threads();

private:
    [[nodiscard]] ThreadState& find_or_add();

    struct Entry {
        ThreadState state;
        std::shared_ptr<const std::atomic<bool>> alive;  // cleared when the OS thread exits
    };
    [[nodiscard]] std::vector<std::unique_ptr<Entry>> take_finished();

    const uint64_t serial_;  // tells these stores from any others, even at the same address
    std::unordered_map<uint64_t, std::unique_ptr<Entry>> entries_;
};

}  // namespace vesk::profiler
