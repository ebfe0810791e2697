"""vesk serve on a big trace: how soon a never-opened trace shows, against indexing it whole.

    python bench/serve.py [--records N] [--before DIR]

Records a trace of about N frame records (default 1,000,000) with `vesk run` of a loop of user-code
calls (volume control off), serves its database with `vesk serve` in a process of its own, and times,
from the first request for the trace:

  first paint    the summary answered, the thread's top level and the first call's children read
                 (what the trace page shows first), while the rest is indexed in the background
  whole index    until the summary says the index is complete
  index CPU      the viewer process's CPU time over the same span (on a shared machine, steadier
                 than the wall-clock time)
  open again     the same three requests once the trace is indexed
  big call       the first page of children of the call with the most (the loop's 500,000 steps)
  grown          one more document saved into the trace: until the index has it too
  flame graph    the main thread's flame graph, answered from the complete index
  functions      the table of every function by own time, the same

With --before DIR (a directory holding another version's `vesk` package, for instance the python/
directory of `git worktree add --detach DIR COMMIT`), the same trace is served by that version
first, then by this one, and each figure is printed for both with their ratio: before and after in
one run, on one trace. The trace's documents are saved for that version by its own code, into a
database of its own, as older versions store them differently.

It also prints first paint and growth against the whole index, whose time is what a page waited
before it could show anything when a trace was indexed whole first. Wall-clock times on a shared
machine: the ratios matter more than the seconds. The temporary project is removed afterwards.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from scale import LOOP_PROGRAM, VOLUME_OFF, child_environment, make_project, newest_trace

FIRST_PAINT_TARGET = 1.0  # seconds
POLL = 0.02  # seconds between requests while waiting


def progress(text: str) -> None:
    print(f"  {text}", file=sys.stderr, flush=True)


def record_trace(records: int, scratch: str, environment: dict) -> tuple[str, str]:
    """The database and trace id of a new recording of about `records` frame records."""
    project = make_project(scratch, "serve", VOLUME_OFF + f"trace_bytes = {max(256 << 20, records * 1024)}\n")
    with open(os.path.join(project, "loop.py"), "w") as handle:
        handle.write(LOOP_PROGRAM)
    progress(f"recording a trace of about {records:,} records")
    subprocess.run([sys.executable, "-m", "vesk", "run", "loop.py", str(records)], cwd=project, env=environment,
                   stdout=subprocess.DEVNULL, check=True)
    return os.path.join(project, ".vesk", "db.sqlite3"), newest_trace(project).trace_id


class Viewer:
    """`vesk serve` of the database, in a process of its own, as a user starts it."""

    def __init__(self, database: str, environment: dict) -> None:
        shutil.rmtree(database + ".index", ignore_errors=True)  # a never-opened trace for each version
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vesk", "serve", "--db", database, "--port", "0"], env=environment,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
        )
        line = self.process.stdout.readline()
        self.url = line.split(" at ")[1].split(" ")[0].rstrip("/")

    def get(self, path: str) -> tuple[int, dict]:
        try:
            with urllib.request.urlopen(self.url + path, timeout=120) as response:
                return response.status, json.loads(response.read())
        except urllib.error.HTTPError as error:
            return error.code, json.loads(error.read())

    def answer(self, path: str) -> dict:
        """The answer once it is not "still indexing, ask again" (202)."""
        while True:
            status, body = self.get(path)
            if status != 202:
                if status != 200:
                    raise RuntimeError(f"{path}: {status} {body}")
                return body
            time.sleep(POLL)

    def first_paint(self, trace_id: str) -> dict:
        """What the trace page reads before it shows anything: the summary, then the first thread's
        top level and the children of its first call."""
        summary = self.answer(f"/api/trace/{trace_id}")
        roots = self.answer(f"/api/trace/{trace_id}/children?thread=1&limit=200")
        if roots["nodes"]:
            self.answer(f"/api/trace/{trace_id}/children?node={roots['nodes'][0]['node']}&limit=200")
        return summary

    def biggest_call(self, trace_id: str) -> None:
        """Opens the call with the most children (the loop's), as a click on it does."""
        roots = self.answer(f"/api/trace/{trace_id}/children?thread=1&limit=200")["nodes"]
        calls = self.answer(f"/api/trace/{trace_id}/children?node={roots[0]['node']}&limit=200")["nodes"]
        biggest = max(calls, key=lambda call: call["children"] or 0)
        self.answer(f"/api/trace/{trace_id}/children?node={biggest['node']}&limit=200")

    def wait_until_indexed(self, trace_id: str) -> dict:
        while (summary := self.answer(f"/api/trace/{trace_id}"))["indexing"]:
            time.sleep(0.25)
        return summary

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=30)


# Run by the version measured before, with its own package first on the path: the documents saved
# through whichever storage it has.
_SAVE_AS_BEFORE = """
import sys
database, trace_id, *paths = sys.argv[1:]
try:
    from vesk.storage import open_store
    store = open_store(database)
    save = lambda data: store.save(trace_id, data, timeout=30)
except ImportError:
    from vesk import db
    save = lambda data: db.save_trace_in_sqlite(database, trace_id, timeout=30, msgpack=data)
for path in paths:
    with open(path, "rb") as handle:
        save(handle.read())
"""


def copy_for(before: dict, database: str, trace_id: str, scratch: str) -> str:
    """A database holding the trace as the version measured before saves it."""
    from vesk.storage import open_store

    store = open_store(database)
    paths = []
    for number, data in enumerate(store.iter_documents(trace_id)):
        paths.append(os.path.join(scratch, f"document-{number}"))
        with open(paths[-1], "wb") as handle:
            handle.write(data)
    copy = os.path.join(scratch, "before", ".vesk", "db.sqlite3")
    os.makedirs(os.path.dirname(copy))
    subprocess.run([sys.executable, "-c", _SAVE_AS_BEFORE, copy, trace_id, *paths], env=before, check=True)
    for path in paths:
        os.unlink(path)
    return copy


def cpu_seconds(pid: int) -> float:
    """The process's CPU time so far (user and system), from /proc."""
    with open(f"/proc/{pid}/stat") as handle:
        fields = handle.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def grow(database: str, trace_id: str) -> None:
    """Saves one more document into the trace: a copy of its second one (records of the same loop)."""
    from vesk.storage import open_store

    store = open_store(database)
    store.save(trace_id, store.read_document(trace_id, 1), timeout=30)


def timed(work) -> tuple[float, object]:
    started = time.perf_counter()
    result = work()
    return time.perf_counter() - started, result


def measure(database: str, trace_id: str, environment: dict) -> dict:
    """The figures of one version of the viewer, from a never-opened trace; the trace is left as it
    was (the document `grown` adds is removed again by the caller's copy)."""
    viewer = Viewer(database, environment)
    figures: dict = {}
    try:
        progress("opening the trace for the first time")
        started, cpu = time.perf_counter(), cpu_seconds(viewer.process.pid)
        figures["first paint"], summary = timed(lambda: viewer.first_paint(trace_id))
        figures["indexed then"] = summary["indexing"]["indexed"] if summary["indexing"] else None
        summary = viewer.wait_until_indexed(trace_id)
        figures["whole index"] = time.perf_counter() - started
        figures["index CPU"] = cpu_seconds(viewer.process.pid) - cpu
        figures["records"] = summary["summary"]["records"]
        figures["open again"], _ = timed(lambda: viewer.first_paint(trace_id))
        figures["big call"] = timed(lambda: viewer.biggest_call(trace_id))[0]
        for name, path in (("flame graph", "flame?thread=1"), ("functions", "functions?sort=self&limit=500")):
            status, _ = viewer.get(f"/api/trace/{trace_id}/{path}")  # not in a version without them
            figures[name] = timed(lambda: viewer.get(f"/api/trace/{trace_id}/{path}"))[0] if status == 200 else None
        figures["index bytes"] = sum(entry.stat().st_size for entry in os.scandir(database + ".index/traces"))
    finally:
        viewer.stop()
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--before", metavar="DIR", help="a directory holding another version's vesk package")
    options = parser.parse_args()
    environment = child_environment("tiny")
    scratch = tempfile.mkdtemp(prefix="vesk-bench-serve-")
    try:
        database, trace_id = record_trace(options.records, scratch, environment)
        versions = {}
        if options.before:
            before = {**environment, "PYTHONPATH": os.path.abspath(options.before)}
            progress(f"the viewer from {options.before}")
            versions["before"] = measure(copy_for(before, database, trace_id, scratch), trace_id, before)
        progress("this viewer")
        versions["after"] = measure(database, trace_id, environment)
        viewer = Viewer(database, environment)
        try:
            viewer.wait_until_indexed(trace_id)
            grow(database, trace_id)
            progress("one more document saved into the trace")
            grown, _ = timed(lambda: viewer.wait_until_indexed(trace_id))
        finally:
            viewer.stop()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    after = versions["after"]
    print(f"vesk serve, a never-opened trace of {after['records']:,} records"
          f" (index {after['index bytes'] / (1 << 20):.0f} MiB):")
    names = list(versions)
    print(f"  {'':<14}" + "".join(f"{name:>10}" for name in names) + ("   after/before" if len(names) > 1 else ""))
    for figure in ("first paint", "whole index", "index CPU", "open again", "big call", "flame graph", "functions"):
        values = [versions[name][figure] for name in names]
        row = "".join(f"{value:9.3f}s" if value is not None else f"{'-':>10}" for value in values)
        ratio = f"   {values[1] / values[0]:.3f}" if len(values) > 1 and None not in values and values[0] else ""
        print(f"  {figure:<14}{row}{ratio}")
    first_paint = after["first paint"]
    print(f"  first paint target {FIRST_PAINT_TARGET:.0f} s: {'met' if first_paint <= FIRST_PAINT_TARGET else 'MISSED'}"
          f" (documents indexed by then: {after['indexed then']})")
    print(f"  grown by one document: indexed in {grown:.2f} s, {grown / after['whole index']:.3f} of the whole index")
    return 0 if first_paint <= FIRST_PAINT_TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
