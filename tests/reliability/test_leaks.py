"""Memory and references. Recording about a million events across threads and building traces over and
over must give all memory back, and every object handed to the engine (host object, configuration
values, plugin contexts and callables, frames, event arguments) must have its starting reference count
once the profiler is dropped. The engine's own allocations are invisible to tracemalloc, so memory is
read from the C allocator (bytes in use) and the interpreter's object allocator (blocks in use)."""

import gc
import os
import sys
import threading
import time

import pytest

from harness import SANITIZED, FakeHost, Host, figures, heap_bytes_in_use, record_counts, scaled, stop_profiling
from vesk import _vesk

pytestmark = pytest.mark.reliability

THIS_FILE = os.path.basename(__file__)
THREADS = 4
TARGET_EVENTS = 1_000_000
TIME_BUDGET = 10.0  # seconds of recording; fewer events are recorded on a slow (debug) build
# A leak of 8 bytes per event would put 8 MB on top after a million events, and one of an object per
# thousand events a thousand blocks.
MEMORY_BOUND = 6 * 1024 * 1024
BLOCKS_BOUND = 1000

# The serialiser's every result (one MessagePack value): a leaked reference shows in its count. Not a
# one-byte string, which the interpreter keeps as a shared singleton.
RESULT = bytes([0x91, 0xC0])


def work(value):
    return value


def worker(calls, value):
    for _ in range(calls):
        work(value)


def memory_in_use():
    """C heap bytes and interpreter object blocks in use, once garbage is collected."""
    gc.collect()
    return heap_bytes_in_use(), sys.getallocatedblocks()


class Recording:
    """One profiler recording `work` calls on the main thread and THREADS new threads per cycle, with a
    plugin record at every call and return, and a trace built after each cycle."""

    def __init__(self, monkeypatch, payload, context):
        fake = FakeHost([{
            "co_names": ["work"], "path_fragment": THIS_FILE, "call_type": "work_call",
            "return_type": "work_return", "build_context": lambda config: context,
            "call": lambda frame, event, arg, context: True,
            "process": lambda frame, event, arg, context: {"payload": payload},
        }])
        fake.serialize.dump_msgpack = lambda value: RESULT
        fake.install(monkeypatch)
        self.host = Host(config={"threading": True})
        _vesk.register_profiler(self.host)
        self.profiler = self.host.rust_profiler
        self.records = 0

    def cycle(self, calls, value):
        threads = [threading.Thread(target=worker, args=(calls, value)) for _ in range(THREADS)]
        for thread in threads:
            thread.start()
        worker(calls, value)
        for thread in threads:
            thread.join()
        document = self.profiler.build_trace()
        counts = record_counts(document)
        # Each call: the call and return records and the plugin's record at each.
        assert counts["main"] >= 4 * calls
        assert sorted(n for key, n in counts.items() if key != "main")[-THREADS:] == [4 * calls + 2] * THREADS
        self.records += sum(counts.values())
        return 2 * calls * (THREADS + 1)  # events of `work`

    def stop(self):
        stop_profiling()
        del self.host.rust_profiler
        del self.profiler


def run_a_million_events(recording, calls):
    """The growth of memory in use over cycles of recording, after a warm-up, and the events, cycles and
    seconds it took."""
    try:
        started = time.perf_counter()
        # Warm-up: the buffers' and the interpreter's high water.
        events = recording.cycle(calls, 7) + recording.cycle(calls, 7)
        per_cycle_seconds = (time.perf_counter() - started) / 2
        baseline = memory_in_use()
        budget = TIME_BUDGET if not SANITIZED else TIME_BUDGET / 2
        cycles = max(3, min(TARGET_EVENTS // events * 2 - 2, int(budget / per_cycle_seconds)))
        for _ in range(cycles):
            events += recording.cycle(calls, 7)
        wall = time.perf_counter() - started
        (heap, blocks), (heap_before, blocks_before) = memory_in_use(), baseline
        return (heap - heap_before, blocks - blocks_before), events, cycles, wall
    finally:
        recording.stop()


def test_memory_returns_after_a_million_events(monkeypatch, figures):
    payload, context = object(), {}
    references = (sys.getrefcount(RESULT), sys.getrefcount(payload), sys.getrefcount(context))
    recording = Recording(monkeypatch, payload, context)
    calls = scaled(10_000, 500)
    (heap_delta, blocks_delta), events, cycles, wall = run_a_million_events(recording, calls)
    monkeypatch.undo()  # the stand-in modules held the plugin description
    gc.collect()
    counts = (sys.getrefcount(RESULT), sys.getrefcount(payload), sys.getrefcount(context))
    assert counts == references
    figures(events=events, records=recording.records, cycles=cycles + 2, seconds=round(wall, 1),
            heap_delta_kib=heap_delta // 1024, blocks_delta=blocks_delta)
    assert recording.records >= 2 * events
    assert blocks_delta < BLOCKS_BOUND, f"{blocks_delta} more objects after {events} events"
    if not SANITIZED:  # the sanitizer's allocator keeps its own books
        assert heap_delta < MEMORY_BOUND, f"{heap_delta} bytes more after {events} events"


class Path:
    """A path-like host attribute: the engine keeps its text form, not the object."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


def open_call(holder):
    """Records its own call but never its return: the engine keeps this frame on the thread's stack."""
    holder.append(sys._getframe())
    stop_profiling()


def test_references_come_back_when_the_profiler_is_dropped(monkeypatch):
    # Built here, so that nothing but this test and the engine holds them.
    payload, argument, result_value = object(), object(), object()
    context = {"calls": 0}
    fragment, ignored = "".join([THIS_FILE]), "".join(["nowhere", "-at-all"])

    def build_context(config):
        return context

    def call(frame, event, arg, context):
        context["calls"] += 1
        return True

    def process(frame, event, arg, context):
        return {"payload": payload, "argument": arg}

    description = {"co_names": ["work", "open_call"], "path_fragment": fragment, "call_type": "c",
                   "return_type": "r", "subtype": "".join(["sub", "type"]), "events": ["call", "return"],
                   "build_context": build_context, "call": call, "process": process}
    descriptions = [description]
    # The timeout is built from text: a literal would be a constant the module's other code shares.
    config = {"filters": {"include_frames": [fragment], "ignore_frames": [ignored]},
              "sqlite_busy_timeout": int("".join(["1", "0000"])), "threading": True, "lightweight_repr": False,
              "unrelated": object()}
    host = Host(config=config, db_path=Path("".join(["db", ".sqlite3"])),
                trace_id="".join(["trc_", "01ARZ3NDEKTSV4RRFFQ69G5FAV"]), source="".join(["re", "fs"]))
    fake = FakeHost(descriptions)
    fake.plugins.load_plugin_data = lambda config: descriptions
    fake.install(monkeypatch)

    tracked = {"host": host, "config": config, "filters": config["filters"],
               "include list": config["filters"]["include_frames"], "fragment": fragment, "ignored": ignored,
               "timeout": config["sqlite_busy_timeout"], "unrelated": config["unrelated"], "db_path": host.db_path,
               "trace_id": host.trace_id, "source": host.source, "descriptions": descriptions,
               "description": description, "subtype": description["subtype"], "events": description["events"],
               "context": context, "build_context": build_context, "call": call, "process": process,
               "payload": payload, "argument": argument, "result": result_value}
    before = {name: sys.getrefcount(value) for name, value in tracked.items()}

    unprofiled = []
    open_call(unprofiled)
    frame_baseline = sys.getrefcount(unprofiled[0])

    def calls():
        for _ in range(scaled(200, 20)):
            work(argument)
            assert work(result_value) is result_value

    _vesk.register_profiler(host)
    threads = [threading.Thread(target=calls) for _ in range(3)]
    for thread in threads:
        thread.start()
    calls()
    for thread in threads:
        thread.join()
    host.rust_profiler.build_trace()
    calls()
    host.rust_profiler.save_request_in_db()
    calls()  # left in the buffers: dropped with the profiler
    held = []
    open_call(held)
    # Counted outside the assert statements, whose rewriting keeps the operands in temporaries.
    while_open = sys.getrefcount(held[0])
    assert while_open > frame_baseline  # the engine keeps it while the call is open

    assert context["calls"] > 0 and len(fake.saved) == 1
    profiler = host.rust_profiler
    del host.rust_profiler
    gc.collect()
    holders = sys.getrefcount(profiler) - 1
    assert holders == 1, "something besides this test still holds the profiler"
    del profiler
    gc.collect()
    after_drop = sys.getrefcount(held[0])
    assert after_drop == frame_baseline
    after = {name: sys.getrefcount(value) for name, value in tracked.items()}
    assert after == before
