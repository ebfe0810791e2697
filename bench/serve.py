"""vesk serve on a big trace: how soon a never-opened trace shows, against indexing it whole.

    python bench/serve.py [--records N]

Records a trace of about N frame records (default 1,000,000) with `vesk run` of a loop of user-code
calls (volume control off), serves its database with `vesk serve` in a process of its own, and times,
from the first request for the trace:

  first paint    the summary answered, the thread's top level and the first call's children read
                 (what the trace page shows first), while the rest is indexed in the background
  whole index    until the summary says the index is complete
  open again     the same three requests once the trace is indexed
  grown          one more document saved into the trace: until the index has it too

and prints first paint and growth against the whole index, whose time is what a page waited before it
could show anything when a trace was indexed whole first. Wall-clock times on a shared machine: the
ratios matter more than the seconds. The temporary project is removed afterwards.
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

FIRST_PAINT_TARGET = 2.0  # seconds
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

    def wait_until_indexed(self, trace_id: str) -> dict:
        while (summary := self.answer(f"/api/trace/{trace_id}"))["indexing"]:
            time.sleep(0.25)
        return summary

    def stop(self) -> None:
        self.process.terminate()
        self.process.wait(timeout=30)


def grow(database: str, trace_id: str) -> None:
    """Saves one more document into the trace: a copy of its second one (records of the same loop)."""
    from vesk.storage import open_store

    store = open_store(database)
    store.save(trace_id, store.read_document(trace_id, 1), timeout=30)


def timed(work) -> tuple[float, object]:
    started = time.perf_counter()
    result = work()
    return time.perf_counter() - started, result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    options = parser.parse_args()
    environment = child_environment("tiny")
    scratch = tempfile.mkdtemp(prefix="vesk-bench-serve-")
    try:
        database, trace_id = record_trace(options.records, scratch, environment)
        viewer = Viewer(database, environment)
        try:
            progress("opening the trace for the first time")
            started = time.perf_counter()
            first_paint, summary = timed(lambda: viewer.first_paint(trace_id))
            indexed_then = summary["indexing"]["indexed"] if summary["indexing"] else None
            summary = viewer.wait_until_indexed(trace_id)
            whole = time.perf_counter() - started
            again, _ = timed(lambda: viewer.first_paint(trace_id))
            grow(database, trace_id)
            progress("one more document saved into the trace")
            grown, _ = timed(lambda: viewer.wait_until_indexed(trace_id))
        finally:
            viewer.stop()
        index_bytes = sum(entry.stat().st_size for entry in os.scandir(database + ".index/traces"))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"vesk serve, a never-opened trace of {summary['summary']['records']:,} records"
          f" (index {index_bytes / (1 << 20):.0f} MiB):")
    print(f"  first paint   {first_paint:6.2f} s   (target {FIRST_PAINT_TARGET:.0f} s: "
          f"{'met' if first_paint <= FIRST_PAINT_TARGET else 'MISSED'}; documents indexed by then: {indexed_then})")
    print(f"  whole index   {whole:6.2f} s   (what the page waited for when a trace was indexed whole first)")
    print(f"  first paint / whole index: {first_paint / whole:.3f}")
    print(f"  open again    {again:6.3f} s")
    print(f"  grown by one document: indexed in {grown:.2f} s, {grown / whole:.3f} of the whole index")
    return 0 if first_paint <= FIRST_PAINT_TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
