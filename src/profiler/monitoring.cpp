// The sys.monitoring tool: process-wide callbacks that find the calling thread's profiler.
#include "profiler/monitoring.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "profiler/calibration.hpp"
#include "profiler/monitoring_tool.hpp"
#include "profiler/profiler.hpp"
#include "profiler/python_type.hpp"
#include "utils/compat.hpp"
#include "utils/convert.hpp"
#include "utils/ids.hpp"
#include "utils/pyref.hpp"

namespace vesk::profiler {

using utils::checked;
using utils::Event;
using utils::PyError;
using utils::PyRef;
using utils::Result;
using utils::Status;

namespace {

// Ids sys.monitoring assigns to no kind of tool. Not PROFILER_ID: cProfile takes that one and fails
// when it is held, so a program profiling itself would stop working under vesk.
constexpr std::array<int, 2> TOOL_IDS = {3, 4};
constexpr const char* TOOL_NAME = "vesk";

// Who records which thread. Process-wide, reached through `registry()` under the interpreter lock;
// changed only by registering and stopping, never while an event runs.
struct Registry {
    std::unordered_map<uint64_t, PyRef> by_thread;  // thread state id -> VeskProfiler object
    PyRef started_later;                            // for threads whose state id is above `started_after`
    uint64_t started_after = 0;
    uint64_t started_later_by = 0;              // the thread that registered it, whose stop ends it
    uint64_t generation = 1;                    // renewed at every change: each thread's cached look-up is then stale
    PyRef monitoring;                           // the sys.monitoring module while our tool id is in use
    int tool_id = TOOL_IDS[0];                  // the id held while `monitoring` is set
    PyRef disable;                              // sys.monitoring.DISABLE
    std::optional<std::string> disabled_under;  // the drop key of the profilers that switched code off
    double delivery_ns = 0;                     // the interpreter's cost of handing a callback one event
};

// Never destroyed: its references must not be released after the interpreter is gone.
Registry& the_registry = *new Registry;

Registry& registry() noexcept {
    utils::requires_interpreter_lock();
    return the_registry;
}

// One look-up per thread and registry generation; keyed by the thread state's id, which the
// interpreter never reuses (an OS thread may hold several thread states in turn).
struct CachedLookup {
    uint64_t generation = 0;
    uint64_t thread_id = 0;
    PyObject* profiler = nullptr;  // borrowed from the registry, which keeps it while `generation` holds
};

thread_local CachedLookup cached_lookup;

uint64_t calling_thread_id() noexcept { return PyThreadState_GetID(PyThreadState_Get()); }

PyObject* profiler_of_calling_thread() noexcept {
    const uint64_t thread_id = calling_thread_id();
    CachedLookup& cached = cached_lookup;
    if (cached.generation == registry().generation && cached.thread_id == thread_id) {
        return cached.profiler;
    }
    PyObject* found = nullptr;
    if (auto own = registry().by_thread.find(thread_id); own != registry().by_thread.end()) {
        found = own->second.get();
    } else if (registry().started_later && thread_id > registry().started_after) {
        found = registry().started_later.get();
    }
    cached = {registry().generation, thread_id, found};
    return found;
}

// How each event the tool asks for reaches the profiler: a start or resumption as a call, a return,
// yield or unwind as a return. Switching off is possible for the events tied to one code location.
enum class Monitored { Start, Throw, Return, Yield, Unwind };

EventArg event_arg(Monitored what, PyObject* value) noexcept {
    switch (what) {
        case Monitored::Return:
            return {value, false, Leaving::Finishing};
        case Monitored::Yield:
            return {value, false, Leaving::Suspending};
        case Monitored::Unwind:
            return {Py_None, true, Leaving::Finishing, value};
        default:
            return {Py_None, false, Leaving::Unknown};
    }
}

PyObject* on_event(PyObject* const* args, Py_ssize_t nargs, Monitored what) noexcept {
    PyObject* owner = profiler_of_calling_thread();
    if (owner == nullptr || nargs < 2 || !PyCode_Check(args[0]) || utils::interpreter_finalizing()) {
        Py_RETURN_NONE;  // the callbacks stay set while the interpreter tears down the modules they need
    }
    // Stopping releases the registry's reference, and a plugin or a finalizer may stop mid-event.
    PyRef keep_owner = PyRef::borrow(owner);
    Profiler& profiler = *profiler_in(owner);
    // A verdict that cannot be decided switches nothing off: the event goes on to the handler, which
    // meets the same failure and reports it.
    auto dropped = profiler.drops_every_event(args[0]);
    if (dropped && *dropped) {
        const bool per_location = what != Monitored::Throw && what != Monitored::Unwind;
        return Py_NewRef(per_location ? registry().disable.get() : Py_None);
    }
    // Fetching the frame is counted with the interpreter's handing over, which is measured apart.
    PyObject* frame = reinterpret_cast<PyObject*>(PyEval_GetFrame());
    if (frame == nullptr) {
        Py_RETURN_NONE;
    }
    const Event event = what == Monitored::Start || what == Monitored::Throw ? Event::Call : Event::Return;
    const EventArg arg = event_arg(what, nargs > 2 ? args[2] : Py_None);
    if (profiler.deliver(owner, frame, event, arg) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

template <Monitored What>
PyObject* callback(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return on_event(args, nargs, What);
}

struct Callback {
    const char* event;  // the name in sys.monitoring.events
    PyMethodDef def;
};

Callback callbacks[] = {
    {"PY_START",
     {"vesk_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Start>)),
      METH_FASTCALL, nullptr}},
    {"PY_RESUME",
     {"vesk_resume", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Start>)),
      METH_FASTCALL, nullptr}},
    {"PY_THROW",
     {"vesk_throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Throw>)),
      METH_FASTCALL, nullptr}},
    {"PY_RETURN",
     {"vesk_return", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Return>)),
      METH_FASTCALL, nullptr}},
    {"PY_YIELD",
     {"vesk_yield", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Yield>)),
      METH_FASTCALL, nullptr}},
    {"PY_UNWIND",
     {"vesk_unwind", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(callback<Monitored::Unwind>)),
      METH_FASTCALL, nullptr}},
};

Result<PyRef> call_method(PyObject* object, const char* name, const char* format, auto... args) noexcept {
    return checked(PyObject_CallMethod(object, name, format, args...));
}

bool profile_function_requested() noexcept {
    const char* value = std::getenv("VESK_PROFILE_FUNCTION");
    return value != nullptr && *value != '\0';
}

void say_once_that_the_ids_are_taken(PyObject* holder) noexcept {
    static bool said = false;
    if (std::exchange(said, true)) {
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(holder));
    const char* name = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (name == nullptr) {
        PyErr_Clear();  // Intended: the line names no holder then.
        name = "another tool";
    }
    PySys_WriteStderr(
        "vesk: sys.monitoring's free tool ids are held by %.200s; recording through the profile function\n", name);
}

// Each event's own callback, made for one registration.
Status start_callbacks(PyObject* monitoring) noexcept {
    constexpr size_t count = std::size(callbacks);
    std::array<PyRef, count> functions;
    std::array<ToolCallback, count> registered;
    for (size_t i = 0; i < count; ++i) {
        auto function = checked(PyCFunction_New(&callbacks[i].def, nullptr));
        VESK_TRY(function);
        functions[i] = std::move(*function);
        registered[i] = ToolCallback{callbacks[i].event, functions[i].get()};
    }
    return start_tool_events(monitoring, registry().tool_id, registered);
}

Status stop_callbacks(PyObject* monitoring) noexcept {
    std::array<const char*, std::size(callbacks)> events;
    std::transform(std::begin(callbacks), std::end(callbacks), events.begin(),
                   [](const Callback& callback) { return callback.event; });
    return stop_tool_events(monitoring, registry().tool_id, events);
}

bool is_our_name(PyObject* holder) noexcept {
    return PyUnicode_Check(holder) && PyUnicode_CompareWithASCIIString(holder, TOOL_NAME) == 0;
}

// The first of our ids free or left to us, or nothing with the holder of the last one taken.
Result<std::optional<int>> usable_tool_id(PyObject* monitoring, PyRef& last_holder) noexcept {
    for (int id : TOOL_IDS) {
        auto holder = call_method(monitoring, "get_tool", "i", id);
        VESK_TRY(holder);
        if (holder->get() == Py_None) {
            return std::optional<int>(id);
        }
        if (is_our_name(holder->get())) {
            // Left behind by a stop that failed half-way: ours to take again.
            VESK_TRY(call_method(monitoring, "free_tool_id", "i", id));
            return std::optional<int>(id);
        }
        last_holder = std::move(*holder);
    }
    return std::optional<int>();
}

// Takes a tool id and sets the events; false when other tools hold every id we may use.
Result<bool> start_monitoring() noexcept {
    PyObject* found = PySys_GetObject("monitoring");
    if (found == nullptr) {
        return false;
    }
    auto monitoring = Result<PyRef>(PyRef::borrow(found));
    PyRef holder;
    auto id = usable_tool_id(monitoring->get(), holder);
    VESK_TRY(id);
    if (!*id) {
        say_once_that_the_ids_are_taken(holder.get());
        return false;
    }
    auto disable = checked(PyObject_GetAttrString(monitoring->get(), "DISABLE"));
    VESK_TRY(disable);
    VESK_TRY(call_method(monitoring->get(), "use_tool_id", "is", **id, TOOL_NAME));
    registry().tool_id = **id;
    registry().delivery_ns = monitoring_delivery_ns(monitoring->get(), **id);
    VESK_TRY(start_callbacks(monitoring->get()));
    registry().monitoring = std::move(*monitoring);
    registry().disable = std::move(*disable);
    return true;
}

// Code switched off under other filters or plugins may be code this profiler records: all of it
// reports its events again.
Status renew_switched_off_code(const std::string& drop_key) noexcept {
    if (registry().disabled_under == drop_key) {
        return {};
    }
    if (registry().disabled_under) {
        VESK_TRY(call_method(registry().monitoring.get(), "restart_events", nullptr));
    }
    registry().disabled_under = drop_key;
    return {};
}

std::unordered_set<uint64_t> live_thread_ids() {
    std::unordered_set<uint64_t> ids;
    for (PyThreadState* state = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); state != nullptr;
         state = PyThreadState_Next(state)) {
        ids.insert(PyThreadState_GetID(state));
    }
    return ids;
}

uint64_t newest_thread_id() {
    uint64_t newest = 0;
    for (uint64_t id : live_thread_ids()) {
        newest = std::max(newest, id);
    }
    return newest;
}

// The registry's entries of threads that have ended, taken out (released by the caller, after the
// registry is consistent again: releasing a profiler may run Python code).
std::vector<PyRef> take_ended_threads() {
    const std::unordered_set<uint64_t> live = live_thread_ids();
    std::vector<PyRef> ended;
    for (auto entry = registry().by_thread.begin(); entry != registry().by_thread.end();) {
        if (live.contains(entry->first)) {
            ++entry;
        } else {
            ended.push_back(std::move(entry->second));
            entry = registry().by_thread.erase(entry);
        }
    }
    return ended;
}

Status stop_monitoring() noexcept {
    PyRef monitoring = std::move(registry().monitoring);
    VESK_TRY(stop_callbacks(monitoring.get()));
    VESK_TRY(call_method(monitoring.get(), "free_tool_id", "i", registry().tool_id));
    return {};
}

}  // namespace

Result<bool> monitor_calling_thread(PyObject* profiler) noexcept {
    if constexpr (!utils::HAS_MONITORING) {
        return false;
    }
    if (profile_function_requested()) {
        return false;
    }
    if (!registry().monitoring) {
        auto started = start_monitoring();
        if (!started || !*started) {
            return started;
        }
    }
    VESK_TRY(renew_switched_off_code(profiler_in(profiler)->drop_key()));
    profiler_in(profiler)->set_event_delivery_ns(registry().delivery_ns);
    std::vector<PyRef> released = take_ended_threads();
    const uint64_t thread_id = calling_thread_id();
    released.push_back(std::exchange(registry().by_thread[thread_id], PyRef::borrow(profiler)));
    registry().generation += 1;
    return true;
}

void monitor_threads_started_later(PyObject* profiler) noexcept {
    PyRef released = std::exchange(registry().started_later, PyRef::borrow(profiler));
    registry().started_after = newest_thread_id();
    registry().started_later_by = calling_thread_id();
    registry().generation += 1;
}

Result<bool> stop_monitoring_calling_thread() noexcept {
    if (!registry().monitoring) {
        return false;
    }
    std::vector<PyRef> released = take_ended_threads();
    const uint64_t thread_id = calling_thread_id();
    auto own = registry().by_thread.find(thread_id);
    const bool monitored = own != registry().by_thread.end();
    if (monitored) {
        released.push_back(std::move(own->second));
        registry().by_thread.erase(own);
    }
    if (registry().started_later && registry().started_later_by == thread_id) {
        released.push_back(std::move(registry().started_later));
    }
    registry().generation += 1;
    if (registry().by_thread.empty() && !registry().started_later) {
        VESK_TRY(stop_monitoring());
    }
    return monitored;
}

PyObject* monitoring_profiler() noexcept { return registry().monitoring ? profiler_of_calling_thread() : nullptr; }

}  // namespace vesk::profiler
