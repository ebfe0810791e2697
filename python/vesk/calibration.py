"""What recording costs a program beyond what the recorder times itself, measured once per process.

The engine times its own work on each event and adds the interpreter's cost of handing it an event
(measured with a profiler that does nothing); readers take that out of durations. What neither sees
stays in: the callback's way in and out around its clock reads, and the caches and branch predictors
its work disturbed, which on calls of a few tens of nanoseconds is as much as the program's own time.
So, like the standard library profiler's `calibrate`, the host measures it on this machine: a module
of small user-like functions runs without a profiler and under a throw-away one built from the same
configuration, whose documents are built and dropped. What the profiled runs took beyond the plain
ones and the recorder's own time, per event, is the estimate the engine then counts per event:

- `recorder_time_per_event_ns`: each event the recorder decides on, measured where every call is
  left out (past its function's first), as most events of a long loop are;
- `recorder_time_per_record_ns`: on top of that, each event it records, measured with no limit;
- `recorder_time_per_dropped_ns`: each call or return of library code, which it lets pass at the
  first look: measured where the program's functions call into library code, as most of a program
  built on libraries does. Without it, a loop spending its time in the standard library's own
  Python code was reported a fifth longer than it ran.

The fastest of a few runs is taken (a busy machine only ever adds time); an estimate is never
negative. The whole measurement takes a few tens of milliseconds, most of what a short `vesk run`
adds to the program's start-up, so its results are kept beside the database (`calibration.txt`) and
used again for a week by processes of the same interpreter, vesk build, machine and configuration.
One measurement is at the mercy of the moment: on a shared machine, a process that ran while a
neighbour was busy measured three times the cost of a quiet one, and that figure stood for the
week. So the first `SAMPLES` processes each measure once, and every process counts at the median of
the measurements kept (lines: what they depend on, when the first was taken, then the two values of
each and whether they were steady; no json, which a program that needs nothing should not pay the
import of).

Beside a busy neighbour, identical runs took up to several times as long as each other, and no
quantile of them told the recorder's cost from the neighbour's: traces of one loop reported its
duration at a third and at twice its time without vesk. A measurement whose identical runs differ by
more than `UNSTEADY` is kept as unsteady; processes measure again until `SAMPLES` are steady (keeping
at most twice as many), count at the median of the steady ones, and while none is steady count at
the median of all and say so in the trace (`unsteady()`): wrong durations are not reported silently.
"""

from __future__ import annotations

import math
import os
import sys
import time
import types

from vesk import utils
from vesk.version import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable

# Compiled under a name no filter drops, so the engine treats it as the program's code.
FILENAME = "<vesk calibration>"
SOURCE = """
class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def moved(self, dx):
        return Point(self.x + dx, self.y)


def clamp(value, low, high):
    if value < low:
        return low
    return high if value > high else value


def label(word, n):
    size = len(word)
    return word[:n].upper() if size > n else word


def depth(n, acc):
    if n == 0:
        return acc
    return depth(n - 1, acc + n % 7)


def step(i, point):
    value = clamp(i * 3, 10, 90)
    point = point.moved(value % 5)
    name = label("calibration", i % 8)
    return point, value + len(name) + depth(i % 6, 0)


def run(iterations):
    point = Point(0, 0)
    total = 0
    for i in range(iterations):
        point, value = step(i, point)
        total += value
    return total
"""
# Library code as a program calls it: compiled under a path of an installed package's, which vesk
# drops. It calls no built-in function, so each event it makes is a call or return let pass.
LIBRARY_FILENAME = "<vesk calibration>/site-packages/vesk_calibration_library.py"
LIBRARY_SOURCE = """
class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def moved(self, dx):
        return Point(self.x + dx, self.y)


def clamp(value, low, high):
    if value < low:
        return low
    return high if value > high else value


def depth(n, acc):
    if n == 0:
        return acc
    return depth(n - 1, acc + n % 7)


def step(i, point):
    value = clamp(i * 3, 10, 90)
    return point.moved(value % 5), value + depth(i % 6, 0)
"""
LIBRARY_CALLER = """
def run(iterations):
    point = library.Point(0, 0)
    total = 0
    for i in range(iterations):
        point, value = library.step(i, point)
        total += value
    return total
"""
RUNS = 5
# Per estimate: the limit of recorded calls per function (none: every event recorded; one: all but
# each function's first call left out), the iterations of `run` measured, and those of the first run
# under the throw-away profiler, which warms the recorder up: the average decision cost it counts at
# settles over the first thousands of events. Recorded events cost microseconds each: fewer of them.
RECORDED = (0, 20, 20)
LEFT_OUT = (1, 300, 1000)
DROPPED = (0, 300, 300)

_estimates: dict[str, float] | None = None

KEPT_FILE = "calibration.txt"
KEPT_FOR = 7 * 24 * 3600  # seconds
SAMPLES = 5
NAMES = ("recorder_time_per_event_ns", "recorder_time_per_record_ns", "recorder_time_per_dropped_ns")
# How much slower than the fastest the median of identical runs may be in a steady measurement.
UNSTEADY = 0.25
COLUMNS = (*NAMES, "unsteady")
_unsteady = False


class _ThrowAwayHost:
    """A host object whose recording is only measured: its documents are built and dropped."""

    def __init__(self, config: dict[str, Any]) -> None:
        self.config = config
        self.db_path = os.devnull
        self.one_trace_per_test = False
        self.trace_id = utils.new_trace_id()
        self.source = "calibration"
        self.rust_profiler = None

    def __call__(self, *args: Any) -> None:
        return None


def estimates(engine: Any, config: dict[str, Any], directory: str | None = None) -> dict[str, float]:
    """The engine config entries of the recorder's untimed cost, found at the first call in this
    process with `config` (the engine config of the recording about to start): the median of the
    steady measurements kept in `directory` by earlier processes, measured once more while they are
    fewer than `SAMPLES`."""
    global _estimates, _unsteady
    if _estimates is None:
        key = _key(engine, config)
        measured_at, samples = _kept(directory, key)
        steady = [sample for sample in samples if not sample["unsteady"]]
        if len(steady) < SAMPLES and len(samples) < 2 * SAMPLES:
            samples.append({"unsteady": 0.0, **measure(engine, config)})
            _keep(directory, key, measured_at, samples)
            steady = [sample for sample in samples if not sample["unsteady"]]
        _unsteady = not steady
        _estimates = {name: _median([sample[name] for sample in steady or samples]) for name in NAMES}
    return dict(_estimates)


def unsteady() -> bool:
    """Whether the estimates in use come from no steady measurement: the durations may be off."""
    return _unsteady


def _median(values: list[float]) -> float:
    ordered = sorted(values)
    middle = len(ordered) // 2
    return ordered[middle] if len(ordered) % 2 else (ordered[middle - 1] + ordered[middle]) / 2


def _key(engine: Any, config: dict[str, Any]) -> str:
    """What the estimates depend on: the interpreter, the engine's build, the machine, the event
    mechanism and the configuration."""
    engine_file = getattr(engine, "__file__", "")
    try:
        built = os.stat(engine_file).st_mtime_ns
    except OSError:
        built = 0
    facts = {
        "python": [sys.executable, sys.version],
        "vesk": [__version__, engine_file, built],
        "machine": os.uname().nodename,
        "profile_function": os.environ.get("VESK_PROFILE_FUNCTION", ""),
        "config": {name: value for name, value in config.items() if name not in NAMES},
    }
    return repr(facts)  # one line: repr escapes line breaks


def _kept(directory: str | None, key: str) -> tuple[float, list[dict[str, float]]]:
    """When the kept measurements were begun and the measurements; none when there are none for
    `key` from the last week (or the file is not one this wrote)."""
    now = time.time()
    if directory is None:
        return now, []
    try:
        with open(os.path.join(directory, KEPT_FILE), encoding="utf-8") as handle:
            kept_key, measured_at, *lines = handle.read().splitlines()
        samples = [dict(zip(COLUMNS, map(float, line.split()), strict=True)) for line in lines[: 2 * SAMPLES]]
        begun = float(measured_at)
    except (OSError, ValueError, UnicodeDecodeError):
        return now, []
    values = [value for sample in samples for value in sample.values()]
    if kept_key != key or not 0 <= now - begun < KEPT_FOR or not all(math.isfinite(v) and v >= 0 for v in values):
        return now, []
    return begun, samples


def _keep(directory: str | None, key: str, measured_at: float, samples: list[dict[str, float]]) -> None:
    if directory is None or not os.path.isdir(directory):
        return
    lines = [key, repr(measured_at), *(" ".join(repr(float(sample[name])) for name in COLUMNS) for sample in samples)]
    # Written whole under a name of this process's, then put in place: a reader never sees half of it.
    written = os.path.join(directory, f".{KEPT_FILE}.{os.getpid()}")
    try:
        descriptor = os.open(written, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
        with open(descriptor, "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines) + "\n")
        os.replace(written, os.path.join(directory, KEPT_FILE))
    except OSError:
        pass  # not kept: the next process measures again


def measure(engine: Any, config: dict[str, Any]) -> dict[str, float]:
    """The estimates, measured now, and whether the measurement was unsteady (1.0) or not (0.0)."""
    run = _calibration_function()
    (per_event, unsteady_events), (per_recorded_event, unsteady_records) = (
        _untimed_ns(engine, config, run, shape) for shape in (LEFT_OUT, RECORDED)
    )
    per_dropped, unsteady_dropped = _untimed_ns(
        engine, config, _library_caller(), DROPPED, events=2 * library_calls(DROPPED[1])
    )
    return {
        "recorder_time_per_event_ns": per_event,
        "recorder_time_per_record_ns": max(0.0, per_recorded_event - per_event),
        "recorder_time_per_dropped_ns": per_dropped,
        "unsteady": float(unsteady_events or unsteady_records or unsteady_dropped),
    }


def _untimed_ns(engine: Any, config: dict[str, Any], run: Callable, shape: tuple[int, int, int],
                events: int | None = None) -> tuple[float, bool]:
    """Per event the recorder decided on (or per one of `events`): what the profiled runs took
    beyond the plain ones; and whether identical runs, plain or profiled, differed too much for that
    to be trusted."""
    _, iterations, _ = shape
    plain = [_plain_ns(run, iterations) for _ in range(1 + RUNS)][1:]  # the first one warms up
    profiled = _profiled(engine, config, run, shape)
    programs = [program for program, _ in profiled]
    if events is None:
        events = profiled[0][1]
    estimate = max(0.0, (min(programs) - min(plain)) / events) if events else 0.0
    return estimate, _spread(plain) > UNSTEADY or _spread(programs) > UNSTEADY


def library_calls(iterations: int) -> int:
    """The library code's calls in a run of `LIBRARY_CALLER`'s `run`: the first Point, then per
    iteration step, clamp, moved, the Point it makes and depth's i % 6 + 1 calls."""
    return 1 + sum(4 + i % 6 + 1 for i in range(iterations))


def _spread(times: list[float]) -> float:
    """How much slower than the fastest of identical runs their median was, as a fraction."""
    fastest = min(times)
    return _median(times) / fastest - 1 if fastest > 0 else math.inf


def _calibration_function() -> Callable[[int], int]:
    namespace = {"__name__": "vesk_calibration"}
    exec(compile(SOURCE, FILENAME, "exec"), namespace)  # noqa: S102 - our own fixed source
    return namespace["run"]


def _library_caller() -> Callable[[int], int]:
    library = types.ModuleType("vesk_calibration_library")
    exec(compile(LIBRARY_SOURCE, LIBRARY_FILENAME, "exec"), library.__dict__)  # noqa: S102 - as above
    namespace = {"__name__": "vesk_calibration", "library": library}
    exec(compile(LIBRARY_CALLER, FILENAME, "exec"), namespace)  # noqa: S102 - as above
    return namespace["run"]


def _plain_ns(run: Callable[[int], int], iterations: int) -> int:
    started = time.perf_counter_ns()
    run(iterations)
    return time.perf_counter_ns() - started


def _profiled(engine: Any, config: dict[str, Any], run: Callable, shape: tuple[int, int, int]) -> list[tuple]:
    """Per profiled run after the one that warms the recorder up: the program's own time in
    nanoseconds, as readers report it, and the number of events the recorder decided on meanwhile.

    Each run calls `run` through a code object of its own, whose call the engine records whatever
    the limit of recorded calls per function; the functions it calls keep theirs."""
    limit, iterations, warm_up = shape
    throw_away = dict(config, threading=False, limits={**config.get("limits", {}), "calls_per_function": limit})
    host = _ThrowAwayHost(throw_away)
    measured = []
    engine.register_profiler(host)
    try:
        for count in (warm_up, *[iterations] * RUNS):
            types.FunctionType(run.__code__.replace(), run.__globals__)(count)
            measured.append(_program_time(host.rust_profiler.build_trace(), run.__code__.co_name))
    finally:
        engine.register_noop_profiler()
        sys.setprofile(None)
    return measured[1:]


def _program_time(document: bytes, name: str) -> tuple[float, int]:
    import msgpack

    from vesk.reading import records as reading

    # Only `run`'s own records and the count of calls left out are decoded: the others are most of
    # the document and would make reading it dearer than the runs.
    marks = (b"\xa7co_name" + msgpack.packb(name), b"calls_left_out")
    parsed = reading.Document(document, reading.Decoding())
    left_out, found = 0, None
    for section in parsed.sections():
        if not reading.is_array(parsed.next_byte()):
            parsed.skip()
            continue
        seconds = parsed.recorder_times.get(section, [])
        calls = []
        for position, raw in enumerate(parsed.raw_records()):
            data = bytes(raw)
            if not any(mark in data for mark in marks):
                continue
            record = msgpack.unpackb(data, strict_map_key=False)
            if record.get("type") == "calls_left_out":
                left_out += sum(function["count"] for function in record["functions"])
            elif record.get("co_name") == name and position < len(seconds):
                calls.append((position, record["timestamp"], seconds[position]))
        if len(calls) == 2:
            found = calls
    if found is None:
        return 0.0, 0
    (call, started, recorder_before), (ret, ended, recorder_after) = found
    # The records between, the calls left out with their returns, and the edges of `run`'s own.
    return ((ended - started) - (recorder_after - recorder_before)) * 1e9, (ret - call - 1) + 2 * left_out + 1
