// Timing a short loop of calls to an empty Python function with and without a profiler that does
// nothing. The fastest of a few runs is taken: a busy machine only ever adds time.
#include "profiler/calibration.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "profiler/monitoring_tool.hpp"
#include "utils/ids.hpp"
#include "utils/pyref.hpp"

namespace vesk::profiler {

using utils::PyRef;

namespace {

constexpr long CALLS = 2000;
constexpr int RUNS = 3;
// Each call of `f` is two events; the loop's own call and return two more.
constexpr double EVENTS = 2.0 * CALLS + 2.0;

constexpr const char* SOURCE = "def f():\n"
                               "    pass\n"
                               "def loop(n):\n"
                               "    for _ in range(n):\n"
                               "        f()\n";

PyRef calibration_loop() noexcept {
    PyRef globals = PyRef::steal(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) {
        PyErr_Clear();  // Intended: no loop, no measurement.
        return {};
    }
    PyRef code = PyRef::steal(Py_CompileString(SOURCE, "<vesk calibration>", Py_file_input));
    PyRef done = code ? PyRef::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get())) : PyRef();
    PyObject* loop = done ? PyDict_GetItemString(globals.get(), "loop") : nullptr;
    if (loop == nullptr) {
        PyErr_Clear();  // Intended: as above.
        return {};
    }
    return PyRef::borrow(loop);
}

// The fastest run of the loop, in nanoseconds; negative if it failed.
double fastest_run(PyObject* loop) noexcept {
    PyRef count = PyRef::steal(PyLong_FromLong(CALLS));
    if (!count) {
        PyErr_Clear();
        return -1;
    }
    int64_t fastest = std::numeric_limits<int64_t>::max();
    for (int run = 0; run < RUNS; ++run) {
        const int64_t started = utils::nanoseconds_of(utils::read_clock());
        PyRef result = PyRef::steal(PyObject_CallOneArg(loop, count.get()));
        const int64_t elapsed = utils::nanoseconds_of(utils::read_clock()) - started;
        if (!result) {
            PyErr_Clear();  // Intended: a loop that failed measures nothing.
            return -1;
        }
        fastest = std::min(fastest, elapsed);
    }
    return static_cast<double>(fastest);
}

template <class Install, class Remove>
double delivery_ns(Install&& install, Remove&& remove) noexcept {
    PyRef loop = calibration_loop();
    if (!loop) {
        return 0;
    }
    const double plain = fastest_run(loop.get());
    if (!install()) {
        return 0;
    }
    const double profiled = fastest_run(loop.get());
    remove();
    if (plain < 0 || profiled < 0) {
        return 0;
    }
    return std::max(0.0, profiled - plain) / EVENTS;
}

int do_nothing(PyObject*, PyFrameObject*, int, PyObject*) noexcept { return 0; }

// Fetches the frame, as the engine's own callback does before its handling is timed.
PyObject* do_nothing_callback(PyObject*, PyObject* const*, Py_ssize_t) noexcept {
    static_cast<void>(PyEval_GetFrame());
    Py_RETURN_NONE;
}

PyMethodDef do_nothing_callback_def = {"vesk_calibration",
                                       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_nothing_callback)),
                                       METH_FASTCALL, nullptr};

constexpr const char* CALIBRATED_EVENTS[] = {"PY_START", "PY_RETURN"};

bool start_calibration_events(PyObject* monitoring, int tool_id, PyObject* callback) noexcept {
    const ToolCallback callbacks[] = {{CALIBRATED_EVENTS[0], callback}, {CALIBRATED_EVENTS[1], callback}};
    // Intended: a failure (dropped with the status) means no measurement.
    return static_cast<bool>(start_tool_events(monitoring, tool_id, callbacks));
}

void stop_calibration_events(PyObject* monitoring, int tool_id) noexcept {
    // Intended: a failure (dropped with the status) leaves callbacks that the tool's own registration
    // replaces.
    static_cast<void>(stop_tool_events(monitoring, tool_id, CALIBRATED_EVENTS));
}

}  // namespace

double profile_function_delivery_ns() noexcept {
    static const double measured = delivery_ns(
        [] {
            PyEval_SetProfile(do_nothing, nullptr);
            return true;
        },
        [] { PyEval_SetProfile(nullptr, nullptr); });
    return measured;
}

double monitoring_delivery_ns(PyObject* monitoring, int tool_id) noexcept {
    static const double measured = [&] {
        PyRef callback = PyRef::steal(PyCFunction_New(&do_nothing_callback_def, nullptr));
        if (!callback) {
            PyErr_Clear();
            return 0.0;
        }
        return delivery_ns([&] { return start_calibration_events(monitoring, tool_id, callback.get()); },
                           [&] { stop_calibration_events(monitoring, tool_id); });
    }();
    return measured;
}

}  // namespace vesk::profiler
