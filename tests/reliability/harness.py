"""Shared by the reliability tests and the programs they run in child interpreters: a host profiler
object, stand-in host modules, memory readings and trace-document counting."""

import contextlib
import ctypes
import os
import pathlib
import subprocess
import sys
import threading
import types

import msgpack
import pytest

HERE = pathlib.Path(__file__).resolve().parent
PROGRAMS = HERE / "programs"

# Set by scripts/sanitize: the instrumented engine is several times slower and its allocator keeps
# freed memory in quarantine, so loops shrink and resident-memory bounds mean nothing there.
SANITIZED = bool(os.environ.get("VESK_SANITIZED"))


def scaled(count, minimum=1):
    """A loop count, cut down under the sanitizers."""
    return max(minimum, count // 8) if SANITIZED else count


class Host:
    """The host profiler object: callable, with the attributes the engine reads once."""

    def __init__(self, config=None, db_path="traces.sqlite3", one_trace_per_test=False,
                 trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", source="reliability"):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args):
        return None


def dump_value(value):
    # Never the object's own __repr__: recording must not run the program's code.
    return msgpack.packb(value, default=lambda inner: f"<{type(inner).__name__}>")


class FakeHost:
    """Stand-ins for vesk.serialize, vesk.db and vesk.plugins. The engine imports them by name at
    each use, so replacing an attribute takes effect at the next event."""

    def __init__(self, plugin_data=()):
        self.saved = []
        self.serialize = types.ModuleType("vesk.serialize")
        self.serialize.dump_msgpack = dump_value
        self.serialize.dump_msgpack_lightweight_repr = dump_value
        self.db = types.ModuleType("vesk.db")
        self.db.save_trace_in_sqlite = self.save
        self.plugins = types.ModuleType("vesk.plugins")
        self.plugin_data = list(plugin_data)
        self.plugins.load_plugin_data = lambda config: self.plugin_data

    def save(self, db_path, trace_id, timeout, msgpack):
        self.saved.append((trace_id, msgpack))

    def modules(self):
        return {f"vesk.{name}": getattr(self, name) for name in ("serialize", "db", "plugins")}

    def install(self, monkeypatch=None):
        for name, module in self.modules().items():
            if monkeypatch is None:
                sys.modules[name] = module
            else:
                monkeypatch.setitem(sys.modules, name, module)
        return self


def stop_profiling():
    """Removes the engine from the calling thread and from threads started later, as the host does
    (where sys.monitoring carries the events, taking the profile function away does not reach them)."""
    from vesk import _vesk

    _vesk.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)


@contextlib.contextmanager
def profiling(host):
    from vesk import _vesk

    _vesk.register_profiler(host)
    try:
        yield host.rust_profiler
    finally:
        stop_profiling()


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def heap_bytes_in_use():
    """What the C allocator has handed out and not had back, over all its per-thread heaps. Unlike the
    resident set, it does not move with which heap a new thread happens to be given, nor with how
    high each heap once grew."""
    mallinfo2 = ctypes.CDLL("libc.so.6").mallinfo2
    mallinfo2.restype = _MallocInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def record_counts(document):
    """Records per buffer of a trace document, without decoding the records: {"main": n, thread_id: n}."""
    unpacker = msgpack.Unpacker(None, strict_map_key=False)
    unpacker.feed(document)
    counts = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key == "frames":
            for _ in range(unpacker.read_map_header()):
                thread_id = unpacker.unpack()
                counts[thread_id] = unpacker.read_array_header()
                for _ in range(counts[thread_id]):
                    unpacker.skip()
        elif key == "frames_of_interest":
            counts["main"] = unpacker.read_array_header()
            for _ in range(counts["main"]):
                unpacker.skip()
        else:
            unpacker.skip()
    return counts


def decode(document):
    return msgpack.unpackb(document, strict_map_key=False)


def all_records(document):
    """Every record of a decoded document: the main buffer's, then each thread's."""
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return records


def run_program(name, *arguments, timeout=60, env=None):
    """Runs tests/reliability/programs/<name> in a child interpreter with this one's import path."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([str(HERE), *sys.path]), **(env or {}))
    return subprocess.run([sys.executable, "-X", "faulthandler", str(PROGRAMS / name), *map(str, arguments)],
                          capture_output=True, text=True, timeout=timeout, env=environment)


class _FiguresReport:
    """Prints the figures the tests measured in a section of their own at the end of the run."""

    def __init__(self):
        self.figures = []

    def pytest_terminal_summary(self, terminalreporter):
        terminalreporter.section("reliability figures")
        for name, values in self.figures:
            terminalreporter.write_line(f"{name}: " + ", ".join(f"{key} {value}" for key, value in values.items()))


@pytest.fixture
def figures(request):
    """report(**values): figures of this test (events, memory, wall time, examples) for the summary."""
    manager = request.config.pluginmanager
    report = manager.get_plugin("reliability-figures")
    if report is None:
        report = _FiguresReport()
        manager.register(report, "reliability-figures")
    return lambda **values: report.figures.append((request.node.name, values))
