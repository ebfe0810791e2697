// Per-thread bookkeeping of the event handler, kept inside the profiler and keyed by thread.
#pragma once

#include <Python.h>

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

// What the handler reads from the event's code object once per event.
struct EventCode {
    utils::PyRef code;  // keeps the filename and name below alive
    PyObject* filename;
    PyObject* name;
    std::string_view filename_text;
    std::string_view name_text;
};

struct ThreadState {
    std::optional<utils::ThreadInfo> info;                   // cached at the thread's first need
    std::vector<utils::CallFrame> call_frames;               // recorded calls still open, oldest first
    utils::PyRef left_out_call;                               // the call whose whole subtree is left out
    utils::ByteBuffer spare_record;                           // the last frame record's allocation, reused
    std::string scratch_path;                                 // the "path" text being written, reused
};

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
    [[nodiscard]] ThreadState& current();

    int traverse(visitproc visit, void* arg) const noexcept;

    // Requires the interpreter lock. In a forked child: drops every entry but the calling thread's
    // (the other threads do not exist there). CAUTION: releasing their frames may run Python code.
    void drop_other_threads();

private:
    struct Entry {
        ThreadState state;
        std::shared_ptr<const std::atomic<bool>> alive;  // cleared when the OS thread exits
    };
    [[nodiscard]] std::vector<std::unique_ptr<Entry>> take_finished();

    const uint64_t serial_;  // tells these stores from any others, even at the same address
    std::unordered_map<uint64_t, std::unique_ptr<Entry>> entries_;
};

}  // namespace vesk::profiler
