"""One measurement, run by bench/run.py in a fresh interpreter; prints one JSON object.

    measure.py time WORKLOAD CONFIG ITERATIONS   # CPU and wall time of one profiled run
    measure.py cost WORKLOAD CONFIG ITERATIONS   # the same, without counting the trace's records
    measure.py count WORKLOAD ITERATIONS         # call-or-return events, and how many vesk records
    measure.py memory RECORDS                    # buffered record memory, building and saving
    measure.py check ITERATIONS                  # the pure-Python recorder writes the engine's records
"""

from __future__ import annotations

import importlib.machinery
import importlib.util
import json
import os
import shutil
import sys
import tempfile
import threading
import time

import msgpack

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pure_recorder  # noqa: E402
import workloads  # noqa: E402

# Made from a spec, as an imported module is: the interpreter's module lookup takes a slow path (an
# AttributeError raised and dropped) for a module whose spec lacks the "_initializing" flag.
NIL_SERIALISER = importlib.util.module_from_spec(importlib.machinery.ModuleSpec("vesk.serialize", None))
NIL_SERIALISER.__spec__._initializing = False
NIL_SERIALISER.dump_msgpack = lambda value: b"\xc0"
NIL_SERIALISER.dump_msgpack_lightweight_repr = lambda value: b"\xc0"


class Host:
    """The host object the engine is built from, as the host package's own profiler provides it."""

    def __init__(self, config: dict, db_path: str = "bench.sqlite3") -> None:
        self.config = config
        self.db_path = db_path
        self.one_trace_per_test = False
        self.trace_id = "trc_" + pure_recorder.ulid_text()
        self.source = "bench"

    def __call__(self, *args):
        return None


def _preload_host() -> None:
    # The engine imports these by name while recording; a first import must not land in a timing.
    import vesk.db  # noqa: F401
    import vesk.git  # noqa: F401
    import vesk.plugins  # noqa: F401
    import vesk.serialize  # noqa: F401
    import vesk.version  # noqa: F401


def _stop_profiling() -> None:
    sys.setprofile(None)
    threading.setprofile(None)


def count_records(document: bytes) -> int:
    """Records in a trace document, without decoding them."""
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, max_buffer_size=len(document) + 1)
    unpacker.feed(document)
    total = 0

    def skip_array() -> int:
        length = unpacker.read_array_header()
        for _ in range(length):
            unpacker.skip()
        return length

    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                unpacker.skip()
                total += skip_array()
        elif key == "frames_of_interest":
            total += skip_array()
        else:
            unpacker.skip()
    return total


# --- configurations: each returns (start, stop, records) callables ---------------------------------


def _vesk(config: dict, nil_serialiser: bool = False):
    from vesk import _vesk

    _preload_host()
    if nil_serialiser:
        sys.modules["vesk.serialize"] = NIL_SERIALISER
    host = Host(config)

    def stop():
        _vesk.register_noop_profiler()  # where sys.monitoring carries the events, setprofile does not reach them
        _stop_profiling()

    return (lambda: _vesk.register_profiler(host), stop, lambda: host.rust_profiler.build_trace())


def _floor(threaded: bool):
    from vesk import _vesk

    def start():
        if threaded:
            # The engine's own threading hook works the same way: a thread's first event installs
            # the native function.
            threading.setprofile(lambda *args: _vesk.register_noop_profiler())
        _vesk.register_noop_profiler()

    return start, _stop_profiling, None


def _cprofile(threaded: bool):
    import cProfile

    profilers = [cProfile.Profile()]

    def per_thread(*args):
        profiler = cProfile.Profile()
        profilers.append(profiler)
        profiler.enable()

    def start():
        if threaded:
            threading.setprofile(per_thread)
        profilers[0].enable()

    def stop():
        profilers[0].disable()
        threading.setprofile(None)

    return start, stop, None


def _viztracer(**options):
    from viztracer import VizTracer

    tracer = VizTracer(verbose=0, **options)
    return tracer.start, tracer.stop, None


def _yappi():
    import yappi

    def stop():
        yappi.stop()
        threading.setprofile(None)

    return lambda: yappi.start(builtins=False, profile_threads=True), stop, None


def _pure(config: dict, nil_serialiser: bool = False):
    _preload_host()
    if nil_serialiser:
        sys.modules["vesk.serialize"] = NIL_SERIALISER
    recorder = pure_recorder.PureRecorder(config)
    return recorder.start, recorder.stop, recorder.build_trace


def configuration(name: str, threaded: bool):
    recorder_config = {"threading": True}
    if name == "none":
        return (lambda: None), (lambda: None), None
    if name == "floor":
        return _floor(threaded)
    if name == "vesk":
        return _vesk(dict(recorder_config))
    if name == "vesk-nil":
        return _vesk(dict(recorder_config), nil_serialiser=True)
    if name == "vesk-capped":
        # Every function past its first call: what volume control costs for calls it leaves out.
        return _vesk(dict(recorder_config, limits={"calls_per_function": 1}))
    if name == "vesk-light":
        return _vesk(dict(recorder_config, lightweight_repr=True))
    if name == "cprofile":
        return _cprofile(threaded)
    if name == "viztracer":
        return _viztracer()
    if name == "viztracer-args":
        return _viztracer(log_func_args=True, log_func_retval=True)
    if name == "yappi":
        return _yappi()
    if name == "pure":
        return _pure(dict(recorder_config))
    if name == "pure-nil":
        return _pure(dict(recorder_config), nil_serialiser=True)
    raise SystemExit(f"unknown configuration {name!r}")


# --- modes ----------------------------------------------------------------------------------------


def time_one(workload_name: str, config_name: str, iterations: int, count: bool = True) -> dict:
    workload = workloads.WORKLOADS[workload_name]
    # A short run first: imports, compiled regular expressions and the interpreter's caches are
    # then warm for every configuration alike.
    workload(max(1, iterations // 10))
    start, stop, build = configuration(config_name, workload_name == "threads")
    cpu0, wall0 = time.process_time(), time.perf_counter()
    start()
    workload(iterations)
    stop()
    cpu1, wall1 = time.process_time(), time.perf_counter()
    result = {"cpu": cpu1 - cpu0, "wall": wall1 - wall0}
    if build is not None:
        # The document is built either way (it is the recorder's work); only counting its records,
        # a cost of this benchmark, can be left out.
        document = build()
        if count:
            result["records"] = count_records(document)
    return result


def count_events(workload_name: str, iterations: int) -> dict:
    workload = workloads.WORKLOADS[workload_name]
    workload(max(1, iterations // 10))
    counts = {"events": 0, "recorded": 0}
    lock = threading.Lock()

    def counter(frame, event, arg):
        if event == "call" or event == "return":
            recorded = pure_recorder.should_record(frame)
            with lock:
                counts["events"] += 1
                counts["recorded"] += recorded

    threading.setprofile(counter)
    sys.setprofile(counter)
    workload(iterations)
    _stop_profiling()
    return counts


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory(records: int) -> dict:
    """Buffered records against their encoded size; building and saving them against SQLite alone."""
    import sqlite3

    from vesk import _vesk, db, storage

    _preload_host()
    iterations = records // 10  # user_heavy records ten events per iteration
    workloads.user_heavy(iterations)  # the allocator reaches its steady state before measuring
    directory = tempfile.mkdtemp(prefix="vesk-bench-")
    host = Host({"threading": True}, db_path=os.path.join(directory, "traces.sqlite3"))
    storage.open_store(host.db_path).prepare()
    _vesk.register_profiler(host)
    fixed = len(host.rust_profiler.build_trace())
    before = resident_bytes()
    workloads.user_heavy(iterations)
    after = resident_bytes()
    _stop_profiling()
    started = time.perf_counter()
    document = host.rust_profiler.build_trace()
    built = time.perf_counter()
    db.save_trace_in_sqlite(host.db_path, host.trace_id, timeout=60, msgpack=document)
    saved = time.perf_counter()
    encoded = len(document) - fixed
    recorded = count_records(document)

    # The same number of bytes as one blob in a fresh database with the host's journal mode.
    blob_path = os.path.join(directory, "blob.sqlite3")
    connection = sqlite3.connect(blob_path)
    connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("CREATE TABLE documents (trace_id TEXT PRIMARY KEY, msgpack BLOB)")
    connection.commit()
    connection.close()
    blob_started = time.perf_counter()
    connection = sqlite3.connect(blob_path)
    with connection:
        connection.execute("INSERT INTO documents VALUES (?, ?)", (host.trace_id, document))
    connection.close()
    blob_done = time.perf_counter()
    shutil.rmtree(directory, ignore_errors=True)
    return {
        "records": recorded,
        "encoded": encoded,
        "growth": after - before,
        "build": built - started,
        "save": saved - built,
        "sqlite_blob": blob_done - blob_started,
    }


def check(iterations: int) -> dict:
    """Records the mixed workload with the engine and with the pure-Python recorder; compares them."""
    from vesk import _vesk

    _preload_host()
    host = Host({"threading": True})
    _vesk.register_profiler(host)
    workloads.mixed(iterations)
    _stop_profiling()
    engine = msgpack.unpackb(host.rust_profiler.build_trace(), strict_map_key=False)
    recorder = pure_recorder.PureRecorder({"threading": True})
    recorder.start()
    workloads.mixed(iterations)
    recorder.stop()
    pure = msgpack.unpackb(recorder.build_trace(), strict_map_key=False)
    engine_records, pure_records = _comparable(engine), _comparable(pure)
    difference = None
    if len(engine_records) != len(pure_records):
        difference = f"{len(engine_records)} records from the engine, {len(pure_records)} from the pure recorder"
    else:
        for index, (a, b) in enumerate(zip(engine_records, pure_records)):
            if a != b:
                difference = f"record {index}: engine {a!r} / pure recorder {b!r}"
                break
    if difference is None and sorted(engine) != sorted(pure):
        difference = f"document keys differ: {sorted(engine)} / {sorted(pure)}"
    return {"records": len(engine_records), "difference": difference}


def _comparable(document: dict) -> list:
    """The workload's records with ids numbered in order of appearance and times left out."""
    ids: dict = {}
    result = []
    for record in document["frames_of_interest"]:
        if "workloads.py:" not in record["path"]:
            continue  # the recorders' own start and stop frames differ
        record = dict(record)
        record.pop("timestamp")
        record["frame_id"] = ids.setdefault(record["frame_id"], len(ids))
        site = record["user_code_call_site"]
        if site is not None:
            record["user_code_call_site"] = dict(site, call_frame_id=ids.setdefault(site["call_frame_id"], len(ids)))
        result.append((list(record), record))
    return result


def main(argv: list) -> None:
    mode = argv[0]
    if mode == "time":
        result = time_one(argv[1], argv[2], int(argv[3]))
    elif mode == "cost":
        result = time_one(argv[1], argv[2], int(argv[3]), count=False)
    elif mode == "count":
        result = count_events(argv[1], int(argv[2]))
    elif mode == "memory":
        result = memory(int(argv[1]))
    elif mode == "check":
        result = check(int(argv[1]))
    else:
        raise SystemExit(__doc__)
    print(json.dumps(result))


if __name__ == "__main__":
    main(sys.argv[1:])
