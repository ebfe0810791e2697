"""`pytest --vesk` on a small sample suite: one trace per test, each holding only its own test."""

from __future__ import annotations

import importlib.metadata
import subprocess
import sys
import textwrap

from host_support import load_trace, needs_engine, records, subprocess_env

from vesk.storage import open_store

pytestmark = needs_engine

SUITE = """
import threading
import pytest

def helper(value):
    return value + 1

@pytest.fixture
def resource():
    yield {"opened": helper(0)}

def test_one():
    assert helper(1) == 2

def test_two_with_fixture(resource):
    assert helper(resource["opened"]) == 2

def test_fails():
    assert helper(0) == 5

def test_thread():
    results = []
    worker = threading.Thread(target=lambda: results.append(helper(10)), name="test-worker")
    worker.start()
    worker.join()
    assert results == [11]

@pytest.mark.skip(reason="not today")
def test_skipped():
    helper(99)
"""


def plugin_arguments() -> list[str]:
    # Installed, the plugin comes through its pytest11 entry point; in a development tree it does not.
    installed = any(ep.value == "vesk.pytest_plugin" for ep in importlib.metadata.entry_points(group="pytest11"))
    return [] if installed else ["-p", "vesk.pytest_plugin"]


def run_pytest(project, *args: str):
    return subprocess.run(
        [sys.executable, "-m", "pytest", *plugin_arguments(), "-p", "no:cacheprovider", *args],
        cwd=project.root,
        env=subprocess_env(),
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_one_trace_per_test_each_with_only_its_own_frames(project):
    project.write("pytest.ini", "[pytest]\n")
    project.write("test_sample.py", SUITE)
    done = run_pytest(project, "--vesk", "-q", "test_sample.py")
    assert done.returncode == 1, done.stdout + done.stderr  # test_fails fails
    assert "vesk: 5 test traces saved in .vesk/db.sqlite3" in done.stdout

    summaries = {s.label: s for s in open_store(str(project.db)).list_traces()}
    assert set(summaries) == {
        f"test_sample.py::{name}"
        for name in ("test_one", "test_two_with_fixture", "test_fails", "test_thread", "test_skipped")
    }
    assert len({s.trace_id for s in summaries.values()}) == 5
    assert {s.source for s in summaries.values()} == {"pytest"}

    def trace_of(name):
        trace = load_trace(str(project.db), summaries[f"test_sample.py::{name}"].trace_id)
        found = [r for d in trace.documents for r in records(d)]
        return found, {r["co_name"] for r in found if r.get("type") == "frame"}

    test_names = {"test_one", "test_two_with_fixture", "test_fails", "test_thread", "test_skipped"}
    for name in ("test_one", "test_two_with_fixture", "test_fails", "test_thread"):
        found, functions = trace_of(name)
        assert functions & test_names == {name}
        assert [r["type"] for r in found if r["type"] != "frame"][:1] == ["start_test"]
        end = [r for r in found if r["type"] == "end_test"]
        assert len(end) == 1 and end[0]["test"] == f"test_sample.py::{name}"
        assert end[0]["outcome"] == ("failed" if name == "test_fails" else "passed")
        if name == "test_fails":
            line = textwrap.dedent(SUITE).splitlines().index("    assert helper(0) == 5") + 1
            assert "assert 1 == 5" in end[0]["error"] and end[0]["raised_at"] == f"test_sample.py:{line}"
            assert end[0]["traceback"][-1] == [f"test_sample.py:{line}", "test_fails"]
            test_call = [r for r in found if r.get("co_name") == "test_fails"]
            assert [r["event"] for r in test_call] == ["call", "unwind"]
        else:
            assert end[0]["error"] is None

    _, functions = trace_of("test_two_with_fixture")
    assert "resource" in functions  # fixture setup and teardown belong to the test

    found, _ = trace_of("test_thread")
    assert any(r.get("thread") == "test-worker" and r.get("co_name") == "<lambda>" for r in found)

    found, functions = trace_of("test_skipped")
    assert "helper" not in functions
    assert [r["outcome"] for r in found if r["type"] == "end_test"] == ["skipped"]


def test_without_the_option_nothing_is_recorded(project):
    project.write("pytest.ini", "[pytest]\n")
    project.write("test_sample.py", SUITE)
    done = run_pytest(project, "-q", "test_sample.py", "-k", "one")
    assert done.returncode == 0, done.stdout + done.stderr
    assert not (project.root / ".vesk").exists()


def test_a_bad_configuration_stops_the_session_with_one_message(project):
    project.write("pytest.ini", "[pytest]\n")
    project.write("test_sample.py", SUITE)
    project.write(".vesk/config.toml", "threading = 'no'\n")
    done = run_pytest(project, "--vesk", "-q", "test_sample.py")
    assert done.returncode != 0
    assert '"threading" must be true or false' in done.stderr
    assert "Traceback" not in done.stderr


def test_each_test_trace_keeps_the_first_calls_of_each_function_the_tests_limit_allows(project):
    project.write("pytest.ini", "[pytest]\n")
    project.write("test_many.py", "def helper(i):\n    return i\n\n" + "".join(
        f"def test_{n}():\n    for i in range(30):\n        helper(i)\n\n" for n in ("a", "b")))
    for config, recorded in [("", 10), ("[limits]\ncalls_per_function_in_tests = 3\n", 3)]:
        project.write(".vesk/config.toml", config)
        done = run_pytest(project, "--vesk", "-q", "test_many.py")
        assert done.returncode == 0, done.stdout + done.stderr
        assert f"{2 * (30 - recorded)} calls not recorded" in done.stdout
        assert f"first {recorded} calls per trace are (limits.calls_per_function_in_tests" in done.stdout
        for summary in open_store(str(project.db)).list_traces()[:2]:
            found = [r for d in load_trace(str(project.db), summary.trace_id).documents for r in records(d)]
            assert sum(r.get("co_name") == "helper" and r["event"] == "call" for r in found) == recorded
