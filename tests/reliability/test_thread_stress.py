"""Many profiled threads against trace builds, saves and per-test cuts, in a child interpreter with a
time limit: no deadlock, no crash, no record lost, filed twice or out of order."""

import importlib.abc
import importlib.util
import json
import sys
import threading
import time

import pytest

from harness import SANITIZED, FakeHost, Host, decode, figures, profiling, run_program, scaled

pytestmark = pytest.mark.reliability

WORKERS = 16


def test_sixteen_threads_against_builds_saves_and_test_cuts(figures):
    calls = scaled(3000, 300)
    done = run_program("thread_stress.py", WORKERS, calls, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    summary = json.loads(done.stdout.splitlines()[-1])
    assert summary["problems"] == []
    # The run really interleaved: tests were cut, and documents came from builds, saves and test ends.
    assert summary["tests"] >= 2 and summary["documents"] > summary["tests"]
    assert summary["discarded"] < summary["events"]
    figures(threads=WORKERS, events=summary["events"], discarded_by_start_test=summary["discarded"],
            documents=summary["documents"], tests=summary["tests"], seconds=summary["seconds"])
    if not SANITIZED:
        assert summary["seconds"] < 60


class SlowImport(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    """Imports one module slowly: its code sleeps before it defines anything, letting other threads
    run while the module sits half-initialised in sys.modules."""

    def __init__(self, name, fill):
        self.name = name
        self.fill = fill
        self.started = threading.Event()

    def find_spec(self, name, path=None, target=None):
        return importlib.util.spec_from_loader(name, self) if name == self.name else None

    def create_module(self, spec):
        return None

    def exec_module(self, module):
        self.started.set()
        time.sleep(0.3)
        self.fill(module)


@pytest.mark.parametrize("name, fill", [
    ("vesk.git", lambda module: setattr(module, "COMMIT_SHA", None)),
    ("vesk.version", lambda module: setattr(module, "__version__", "9.9")),
])
def test_a_host_module_imported_by_two_threads_at_once(monkeypatch, name, fill):
    """The first trace build imports the host's modules; one built meanwhile by another thread must
    wait for that import to finish, not use the half-made module."""
    FakeHost().install(monkeypatch)
    slow = SlowImport(name, fill)
    monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(sys, "meta_path", [slow, *sys.meta_path])
    with profiling(Host()) as profiler:
        pass
    first = []
    builder = threading.Thread(target=lambda: first.append(profiler.build_trace()))
    builder.start()
    assert slow.started.wait(10)
    second = profiler.build_trace()
    builder.join()
    assert decode(second)["trace_id"] == decode(first[0])["trace_id"]
