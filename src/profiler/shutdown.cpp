#include "profiler/shutdown.hpp"

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace vesk::profiler {

namespace {

std::atomic<int> events_in_flight{0};
// This thread's share of the count. In a forked child only the forking thread lives on, and the
// events the other threads had under way never end there: the child's count is this share alone.
// Initial-exec: read at every event, and a general-dynamic variable costs a call per access.
[[gnu::tls_model("initial-exec")]] thread_local int events_in_flight_here = 0;
std::atomic<bool> exiting{false};
std::atomic<unsigned long> exiting_thread{0};

// A thread inside an event normally finishes it within microseconds; one that is still busy after
// this long (a plugin waiting on something) is left to its fate rather than delaying exit further.
constexpr auto MAX_WAIT_FOR_EVENTS = std::chrono::seconds(2);

}  // namespace

std::optional<EventInFlight> EventInFlight::enter() noexcept {
    // Counted before looking at the flag, so that the exit either sees this event or the event
    // sees the flag.
    events_in_flight.fetch_add(1);
    if (exiting.load() && PyThread_get_thread_ident() != exiting_thread.load()) {
        events_in_flight.fetch_sub(1);
        return std::nullopt;
    }
    ++events_in_flight_here;
    return EventInFlight();
}

EventInFlight::EventInFlight(EventInFlight&& other) noexcept : counted_(std::exchange(other.counted_, false)) {}

EventInFlight::~EventInFlight() {
    if (counted_) {
        --events_in_flight_here;
        events_in_flight.fetch_sub(1);
    }
}

void stop_other_threads_for_exit() noexcept {
    exiting_thread.store(PyThread_get_thread_ident());
    exiting.store(true);
    const auto deadline = std::chrono::steady_clock::now() + MAX_WAIT_FOR_EVENTS;
    while (events_in_flight.load() > 0 && std::chrono::steady_clock::now() < deadline) {
        Py_BEGIN_ALLOW_THREADS;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        Py_END_ALLOW_THREADS;
    }
}

namespace {

PyObject* at_exit(PyObject*, PyObject*) noexcept {
    stop_other_threads_for_exit();
    Py_RETURN_NONE;
}

PyMethodDef at_exit_def = {"stop_other_threads_for_exit", at_exit, METH_NOARGS,
                           "stop_other_threads_for_exit()\n--\n\nOnly the calling thread records from now on."};

// Without this a child's exit would wait out the whole bound for events that ended with their threads.
void forget_other_threads_events() noexcept { events_in_flight.store(events_in_flight_here); }

}  // namespace

PyMethodDef* exit_hook_definition() noexcept { return &at_exit_def; }

utils::Status register_exit_hook() noexcept {
    auto atexit = utils::checked(PyImport_ImportModule("atexit"));
    VESK_TRY(atexit);
    auto hook = utils::checked(PyCFunction_New(&at_exit_def, nullptr));
    VESK_TRY(hook);
    auto registered = utils::checked(PyObject_CallMethod(atexit->get(), "register", "O", hook->get()));
    VESK_TRY(registered);
    if (int failed = pthread_atfork(nullptr, nullptr, forget_other_threads_events); failed != 0) {
        return utils::PyError::make(PyExc_OSError, "registering the engine's fork handler failed");
    }
    return {};
}

}  // namespace vesk::profiler
