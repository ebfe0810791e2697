"""Faults injected into everything the recorder depends on: the profiled program's own results must be
those of an unprofiled run every time, and the recorder must neither crash nor hang."""

import collections.abc
import logging
import os
import random
import signal
import sys
import threading
import time

import msgpack
import pytest

import workload
from harness import FakeHost, Host, all_records, decode, dump_value, profiling, run_program, scaled, stop_profiling

pytestmark = pytest.mark.reliability

EXPECTED = workload.run()
WORKLOAD_FILE = os.path.basename(workload.__file__)


@pytest.fixture
def fake(monkeypatch):
    return FakeHost().install(monkeypatch)


@pytest.fixture
def warnings(caplog):
    caplog.set_level(logging.WARNING, logger="vesk")
    return lambda: [record for record in caplog.records if record.name == "vesk"]


def workload_records(profiler):
    """The records of the workload's frames and every plugin record (those have no path)."""
    return [r for r in all_records(decode(profiler.build_trace()))
            if r.get("type") != "frame" or WORKLOAD_FILE in r["path"]]


def plugin(co_name, **fields):
    return {"co_names": [co_name], "path_fragment": WORKLOAD_FILE, "call_type": f"{co_name}_call",
            "return_type": f"{co_name}_return", **fields}


class Progress:
    """A profiled thread that keeps calling user code until stopped, counting its calls: a recorder
    that holds a lock of its own while running Python code stops it, and `advances` then says so."""

    def __init__(self):
        self.calls = 0
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)

    def run(self):
        while not self.stop.is_set():
            workload.fibonacci(5)
            self.calls += 1

    def advances(self, timeout=5.0):
        start = self.calls
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.calls > start + 2:
                return True
            time.sleep(0.001)
        return False

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join(10)
        assert not self.thread.is_alive()


# -- the serialiser ---------------------------------------------------------------------------------

class SequenceRaisingMidway:
    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 1:
            raise LookupError("gone while reading")
        if index > 2:
            raise IndexError(index)
        return 0x90


def raise_value_error(value):
    raise ValueError("cannot serialise")


SERIALISER_FAULTS = {
    "raises": raise_value_error,
    "returns text": lambda value: "\x90",
    "returns None": lambda value: None,
    "returns an int": lambda value: 0x90,
    "returns a byte out of range": lambda value: [256],
    "returns nothing": lambda value: b"",
    "returns a sequence failing midway": lambda value: SequenceRaisingMidway(),
}


class RandomlyFailing:
    """The host serialiser, failing one value in three in the given way (only on `thread` if given)."""

    def __init__(self, failure, seed, thread=None):
        self.failure = failure
        self.random = random.Random(seed)
        self.thread = thread
        self.failed = 0

    def __call__(self, value):
        if self.thread in (None, threading.current_thread()) and self.random.random() < 1 / 3:
            self.failed += 1
            return self.failure(value)
        return dump_value(value)


@pytest.mark.parametrize("fault", list(SERIALISER_FAULTS))
def test_a_randomly_failing_serialiser(fake, warnings, fault):
    serialiser = RandomlyFailing(SERIALISER_FAULTS[fault], seed=len(fault))
    fake.serialize.dump_msgpack = serialiser
    with profiling(Host(config={"threading": True})) as profiler:
        result = workload.run()
    assert result == EXPECTED
    assert serialiser.failed > 10
    # Every failure drops one event and is logged once; what is kept decodes whole.
    assert len(warnings()) == serialiser.failed
    kept = workload_records(profiler)
    assert kept and all(isinstance(record["locals"], dict) for record in kept if record.get("type") == "frame")


def endless():
    return endless()


def deepest(depth=0):
    try:
        return deepest(depth + 1)
    except RecursionError:
        return depth


def test_a_program_at_the_recursion_limit(fake, warnings, monkeypatch):
    """At the interpreter's recursion limit the recorder's own Python calls (the serialiser, logging)
    fail; the program must still reach the depth it reaches unprofiled."""
    # A failed report goes to the unraisable hook, which must run no Python code of its own there
    # (from 3.12 the serialiser's calls do reach the limit, and pytest's hook cannot format them).
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    expected = deepest()
    with profiling(Host()):
        depth = deepest()
    assert depth == expected
    assert all(isinstance(report.exc_value, RecursionError) for report in unraisable)


# -- plugin callables -------------------------------------------------------------------------------

class RaisingMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        raise RuntimeError("cannot iterate")

    def __len__(self):
        return 1


class UnhashableKeys(collections.abc.Mapping):
    def __getitem__(self, key):
        return 1

    def __iter__(self):
        return iter([["a", "list"]])

    def __len__(self):
        return 1


class bool_:  # named like NumPy's boolean scalar type, with a truth value that fails
    __module__ = "numpy"

    def __bool__(self):
        raise ValueError("ambiguous")


def raising(exception):
    def callable_(*args):
        raise exception

    return callable_


MISBEHAVING_PLUGINS = {
    "predicate raises": {"call": raising(RuntimeError("predicate down"))},
    "predicate returns 1": {"call": lambda *args: 1},
    "predicate returns None": {"call": lambda *args: None},
    "predicate's truth value raises": {"call": lambda *args: bool_()},
    "process raises": {"process": raising(ZeroDivisionError("process down"))},
    "process returns a list": {"process": lambda *args: [("a", 1)]},
    "process returns None": {"process": lambda *args: None},
    "process returns a non-text type": {"process": lambda *args: {"type": 5}},
    "process returns a failing mapping": {"process": lambda *args: RaisingMapping()},
    "process returns an unhashable key": {"process": lambda *args: UnhashableKeys()},
    "process recurses without end": {"process": lambda *args: endless()},
}


@pytest.mark.parametrize("fault", list(MISBEHAVING_PLUGINS))
def test_misbehaving_plugin_callables(fake, warnings, fault):
    fake.plugin_data = [plugin("execute", **MISBEHAVING_PLUGINS[fault]), plugin("execute")]
    with profiling(Host()) as profiler:
        result = workload.run()
    assert result == EXPECTED
    records = workload_records(profiler)
    # The well-behaved plugin beside the broken one still records every call and return.
    executes = 9  # three queries in each of the three cases
    assert [r["type"] for r in records].count("execute_call") == executes
    assert [r["type"] for r in records].count("execute_return") == executes
    # The frames themselves are recorded too.
    assert sum(1 for r in records if r.get("co_name") == "execute") == 2 * executes
    # Each fault is reported at every event it happens in (the predicate runs at calls and returns).
    assert len(warnings()) == 2 * executes


def test_a_plugin_that_uninstalls_the_profiler_midway(fake):
    """A plugin callable that drops every reference to the profiler while an event is being handled:
    the event must finish on an object that is still alive."""
    host = Host()

    def uninstall(frame, event, arg, context):
        stop_profiling()
        if hasattr(host, "rust_profiler"):
            del host.rust_profiler
        return {}

    fake.plugin_data = [plugin("execute", process=uninstall)]
    with profiling(host):
        result = workload.run()
    assert result == EXPECTED
    assert not hasattr(host, "rust_profiler")


# -- storage ----------------------------------------------------------------------------------------

def per_test_host(fake, **fields):
    fake.plugin_data = [plugin("start_case", call_type="start_test", events=["call"]),
                        plugin("end_case", return_type="end_test", events=["return"]), *fake.plugin_data]
    return Host(one_trace_per_test=True, **fields)


def test_a_raising_storage_function(fake, warnings):
    attempts = []

    def refuse(db_path, trace_id, timeout, msgpack):
        attempts.append(trace_id)
        raise OSError("database is locked")

    fake.db.save_trace_in_sqlite = refuse
    with profiling(per_test_host(fake)) as profiler:
        result = workload.run()
        with pytest.raises(OSError):
            profiler.save_request_in_db()
    assert result == EXPECTED
    assert len(attempts) == 4 and len(set(attempts[:3])) == 3
    assert len(warnings()) == 3
    # A failed save keeps its records: the last test's are still there to build.
    names = [r.get("co_name") for r in workload_records(profiler)]
    assert "start_case" in names and "end_case" in names


def test_a_storage_function_that_blocks_does_not_stop_other_threads(fake):
    """Saving may wait on the database while the program's other threads go on recording."""
    verdicts = []

    def slow_save(db_path, trace_id, timeout, msgpack):
        verdicts.append(progress.advances())
        fake.saved.append((trace_id, msgpack))

    fake.db.save_trace_in_sqlite = slow_save
    with profiling(per_test_host(fake, config={"threading": True})):
        with Progress() as progress:
            result = workload.run()
    assert result == EXPECTED
    assert verdicts == [True, True, True]
    documents = [decode(document) for _, document in fake.saved]
    assert all(any(r.get("co_name") == "end_case" for r in all_records(d)) for d in documents)


# -- logging ----------------------------------------------------------------------------------------

class RaisingHandler(logging.Handler):
    def __init__(self, exception):
        super().__init__()
        self.exception = exception
        self.calls = 0

    def emit(self, record):
        self.calls += 1
        raise self.exception

    def handleError(self, record):
        raise  # a handler configured to let its errors out


@pytest.mark.parametrize("exception", [RuntimeError("handler down"), OSError("disk full"),
                                       RecursionError("deep")], ids=lambda e: type(e).__name__)
def test_a_raising_logging_handler(fake, monkeypatch, exception):
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    fake.serialize.dump_msgpack = RandomlyFailing(raise_value_error, seed=3)
    handler = RaisingHandler(exception)
    logger = logging.getLogger("vesk")
    logger.addHandler(handler)
    try:
        with profiling(Host()):
            result = workload.run()
    finally:
        logger.removeHandler(handler)
    assert result == EXPECTED
    assert handler.calls > 10
    assert len(unraisable) == handler.calls
    assert all(type(u.exc_value) is type(exception) for u in unraisable)


def test_a_logging_handler_that_waits_for_another_thread(fake, monkeypatch):
    """Reporting a failure runs the program's logging handlers, which may wait for its other threads."""
    fake.serialize.dump_msgpack = RandomlyFailing(raise_value_error, seed=5, thread=threading.current_thread())
    verdicts = []
    progress = Progress()

    class Waiting(logging.Handler):
        def emit(self, record):
            if len(verdicts) < 3 and progress.thread.is_alive():
                verdicts.append(progress.advances())

    handler = Waiting()
    logger = logging.getLogger("vesk")
    logger.addHandler(handler)
    try:
        with profiling(Host(config={"threading": True})):
            with progress:
                result = workload.run()
    finally:
        logger.removeHandler(handler)
    assert result == EXPECTED
    assert verdicts == [True, True, True]


# -- values whose repr waits for another thread -----------------------------------------------------

def test_a_value_whose_repr_takes_a_lock_another_thread_holds(fake):
    """The host serialiser shows unknown objects by their repr; a repr that takes a lock which another
    profiled thread holds while it calls functions must not hang the program."""
    fake.serialize.dump_msgpack = lambda value: msgpack.packb(value, default=repr)
    lock = threading.Lock()
    timeouts = []

    class Shared:
        def __repr__(self):
            if not lock.acquire(timeout=1):
                timeouts.append("repr")
                return "Shared(?)"
            try:
                return "Shared()"
            finally:
                lock.release()

    def holder(rounds):
        while rounds and not timeouts:
            rounds -= 1
            if not lock.acquire(timeout=1):
                timeouts.append("holder")
                continue
            try:
                workload.fibonacci(3)
            finally:
                lock.release()

    def user(value, rounds):
        while rounds and not timeouts:
            rounds -= 1
            workload.execute("SELECT", value)

    rounds = scaled(200, 25)
    with profiling(Host(config={"threading": True})):
        threads = [threading.Thread(target=holder, args=(rounds,)),
                   threading.Thread(target=user, args=(Shared(), rounds))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    assert timeouts == []


# -- interrupts -------------------------------------------------------------------------------------

def interruptible(rounds=300):
    """The program's own handling of an interrupt or an exit request: it stops where one arrives."""
    done = 0
    try:
        for _ in range(rounds):
            workload.start_case("interruptible")
            workload.execute("SELECT", done)
            workload.end_case("interruptible", "passed")
            done += 1
    except KeyboardInterrupt:
        return "interrupted"
    except SystemExit:
        return "exited"
    return "finished"


class SignalOnce:
    """Sends a signal to this process at its n-th call. The signal's Python handler then runs inside
    the recorder's own Python call, as it does whenever a signal arrives while the recorder works
    (most of a recorded program's time)."""

    def __init__(self, signum, then, after=20):
        self.signum = signum
        self.then = then
        self.after = after
        self.calls = 0

    def __call__(self, *args, **keywords):
        self.calls += 1
        if self.calls == self.after:
            signal.raise_signal(self.signum)
        return self.then(*args, **keywords)


@pytest.fixture
def exit_on_sigusr1():
    """A termination handler as servers install them: the signal becomes SystemExit."""
    previous = signal.signal(signal.SIGUSR1, lambda signum, frame: sys.exit(0))
    yield
    signal.signal(signal.SIGUSR1, previous)


INTERRUPTED_PLACES = ["serialiser", "plugin callable", "storage function", "logging handler"]
SIGNALS = {"SIGINT": (signal.SIGINT, "interrupted"), "SIGUSR1 handler calling sys.exit": (signal.SIGUSR1, "exited")}


@pytest.mark.parametrize("place", INTERRUPTED_PLACES)
@pytest.mark.parametrize("sent", list(SIGNALS))
def test_an_interrupt_inside_the_recorder_reaches_the_program(fake, exit_on_sigusr1, place, sent):
    """Ctrl-C or a termination request must stop the program as it would unprofiled, even when the
    signal's handler runs inside a Python call the recorder makes."""
    signum, outcome = SIGNALS[sent]
    sender = SignalOnce(signum, then=lambda *args, **keywords: None)
    handler = None
    if place == "serialiser":
        sender.then = dump_value
        fake.serialize.dump_msgpack = sender
    elif place == "plugin callable":
        sender.then = lambda *args: {}
        fake.plugin_data = [plugin("execute", process=sender)]
    elif place == "storage function":
        sender.then, sender.after = fake.save, 3
        fake.db.save_trace_in_sqlite = sender
    else:
        fake.serialize.dump_msgpack = RandomlyFailing(raise_value_error, seed=11)

        class Sending(logging.Handler):
            def emit(self, record):
                sender()

        handler = Sending()
        logging.getLogger("vesk").addHandler(handler)
    try:
        with profiling(per_test_host(fake)):
            result = interruptible()
    finally:
        if handler is not None:
            logging.getLogger("vesk").removeHandler(handler)
    assert sender.calls >= sender.after
    assert result == outcome


# -- the working directory --------------------------------------------------------------------------

def test_the_working_directory_removed_during_the_run(fake, warnings, tmp_path):
    doomed = tmp_path / "doomed"
    doomed.mkdir()
    here = os.getcwd()
    try:
        with profiling(Host(config={"threading": True})) as profiler:
            os.chdir(doomed)
            os.rmdir(doomed)
            result = workload.run()
            os.chdir(here)
            after = workload.run(cases=1)
    finally:
        os.chdir(here)
    assert result == EXPECTED
    assert after == workload.run(cases=1)
    # Nothing is lost or reported: paths are recorded whole while the directory is gone.
    assert not warnings()
    starts = [r["path"] for r in workload_records(profiler) if r.get("co_name") == "start_case"]
    assert any(path.startswith(os.sep) for path in starts) and any(not path.startswith(os.sep) for path in starts)


# -- fork -------------------------------------------------------------------------------------------

def test_fork_while_recording():
    done = run_program("fork_recording.py", timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "fork ok" in done.stdout, done.stdout
