#include "profiler/thread_stores.hpp"

namespace vesk::profiler {

namespace {

std::atomic<uint64_t> next_thread_serial{1};
std::atomic<uint64_t> next_stores_serial{1};

// Lives in each OS thread's storage; holds no Python reference (its destructor runs at thread exit
// without the interpreter lock).
struct ThisThread {
    uint64_t serial = next_thread_serial.fetch_add(1, std::memory_order_relaxed);
    std::shared_ptr<std::atomic<bool>> alive = std::make_shared<std::atomic<bool>>(true);
    ~ThisThread() { alive->store(false, std::memory_order_release); }
};

thread_local ThisThread this_thread;

}  // namespace

ThreadStores::ThreadStores() noexcept : serial_(next_stores_serial.fetch_add(1, std::memory_order_relaxed)) {}

ThreadState& ThreadStores::find_or_add() {
    if (auto found = entries_.find(this_thread.serial); found != entries_.end()) {
        last_used_store = {serial_, &found->second->state};
        return found->second->state;
    }
    // Dropped only after the map is consistent again: releasing their frames may run Python code.
    std::vector<std::unique_ptr<Entry>> finished = take_finished();
    auto entry = std::make_unique<Entry>();
    entry->alive = this_thread.alive;
    ThreadState& state = entry->state;
    entries_.emplace(this_thread.serial, std::move(entry));
    last_used_store = {serial_, &state};
    return state;
}

std::vector<std::unique_ptr<ThreadStores::Entry>> ThreadStores::take_finished() {
    std::vector<std::unique_ptr<Entry>> finished;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second->alive->load(std::memory_order_acquire)) {
            ++it;
        } else {
            finished.push_back(std::move(it->second));
            it = entries_.erase(it);
        }
    }
    return finished;
}

void ThreadStores::drop_other_threads() {
    std::vector<std::unique_ptr<Entry>> others;
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first == this_thread.serial) {
            ++it;
        } else {
            others.push_back(std::move(it->second));
            it = entries_.erase(it);
        }
    }
    // Released here, once the map is consistent again.
}

int ThreadStores::traverse(visitproc visit, void* arg) const noexcept {
    for (const auto& [serial, entry] : entries_) {
        for (const auto& call : entry->state.call_frames) {
            Py_VISIT(call.frame.get());
        }
        Py_VISIT(entry->state.left_out_call.get());
    }
    return 0;
}

}  // namespace vesk::profiler
