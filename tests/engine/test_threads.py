"""Profiled threads: the threading hook, many threads against trace builds, and interpreter exit."""

import os
import pathlib
import subprocess
import sys
import threading

from engine_support import Host, decode, profiling

import sample.helpers

PROGRAMS = pathlib.Path(__file__).parent / "programs"


def run_program(name, *arguments, timeout=120):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join([str(PROGRAMS.parent), *sys.path]))
    return subprocess.run([sys.executable, str(PROGRAMS / name), *map(str, arguments)], capture_output=True,
                          text=True, timeout=timeout, env=environment)


class Worker(threading.Thread):
    def run(self):
        sample.helpers.double(7)


def test_a_new_thread_is_profiled_from_its_second_event(host_modules):
    host = Host(config={"threading": True})
    with profiling(host) as profiler:
        worker = Worker()
        worker.start()
        worker.join()
    records = decode(profiler.build_trace())["frames"][worker.native_id]
    calls = [("double", "call"), ("double", "return"), ("run", "return")]
    if sys.version_info >= (3, 12):
        # The hook is first called for the return of the threading module's own sys.setprofile call
        # (with this thread profiled, 3.12 reports it), so the native callback sees run's call too.
        calls.insert(0, ("run", "call"))
    assert [(r["co_name"], r["event"]) for r in records] == calls
    # Without its call, run's return has no frame id; with it, the two share one.
    assert records[-1]["frame_id"] == (records[0]["frame_id"] if sys.version_info >= (3, 12) else None)


def test_threads_already_running_are_not_profiled(host_modules):
    started, release = threading.Event(), threading.Event()

    def waiting():
        started.set()
        release.wait()
        sample.helpers.double(1)

    early = threading.Thread(target=waiting)
    early.start()
    started.wait()
    host = Host(config={"threading": True})
    with profiling(host) as profiler:
        release.set()
        early.join()
    assert decode(profiler.build_trace())["frames"] == {}


def test_many_threads_against_repeated_builds():
    done = run_program("stress.py", 6, 2000)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok "), done.stdout


def test_exit_with_profiled_daemon_threads_does_not_hang_or_crash(tmp_path):
    for _ in range(3):
        done = run_program("daemon_exit.py", tmp_path / "db.sqlite3", timeout=60)
        assert done.returncode == 0, done.stderr
        assert "main exiting" in done.stdout
