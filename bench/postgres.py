"""A PostgreSQL store against an SQLite file, side by side in one run, on a throw-away server on loopback.

    python bench/postgres.py [--records N] [--rounds R] [--writers W] [--tests T] [--skip-writers]

  save           the documents of one trace of about N frame records (default 1,000,000, recorded
                 once with `vesk run`) saved into a new store of each kind, in turns, R rounds
                 (default 3); the median of each and their ratio
  first paint    `vesk serve` of each store: the never-opened trace's summary, its main thread's top
                 level and its first call's children (bench/serve.py's first paint)
  writers        W concurrent `pytest --vesk` sessions (default 8) of T tests each (default 200)
                 saving into one store of each kind, with retention keeping fewer traces than they
                 save: the wall time, and whether every session saved all its traces and the store
                 holds exactly the retention limit

Wall-clock times on a shared machine: the ratios matter more than the seconds. The server runs with
its default durability (fsync on), as SQLite's saves sync their log.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from postgres_cluster import Cluster
from scale import child_environment
from serve import Viewer, record_trace

TARGET = 1.5  # PostgreSQL's time over SQLite's


def progress(text: str) -> None:
    print(f"  {text}", file=sys.stderr, flush=True)


def save_copy(documents: list[bytes], location: str) -> float:
    """Seconds to save the documents as one trace into a new store at `location`."""
    from vesk.storage import open_store

    store = open_store(location)
    store.prepare(max_traces=0, max_bytes=0)
    started = time.perf_counter()
    for document in documents:
        store.save("trc_bench", document, timeout=60)
    return time.perf_counter() - started


def first_paint(location: str, environment: dict) -> float:
    viewer = Viewer(location, environment)
    try:
        started = time.perf_counter()
        viewer.first_paint("trc_bench")
        return time.perf_counter() - started
    finally:
        viewer.stop()


SUITE = """
import pytest

def square(value):
    return value * value

@pytest.mark.parametrize("n", range({tests}))
def test_square(n):
    assert square(n) == n * n
"""


def writers(location: str, count: int, tests: int, scratch: str, environment: dict) -> tuple[float, bool]:
    """Seconds for `count` concurrent sessions to finish, and whether every trace was saved and the
    store holds exactly what retention keeps."""
    from vesk.storage import open_store

    kept = count * tests // 2
    sessions = []
    started = time.perf_counter()
    for number in range(count):
        folder = tempfile.mkdtemp(prefix="runner-", dir=scratch)
        os.mkdir(os.path.join(folder, ".vesk"))
        with open(os.path.join(folder, ".vesk", "config.toml"), "w") as handle:
            handle.write(f'db_path = "{location}"\n[retention]\nmax_traces = {kept}\n')
        with open(os.path.join(folder, f"test_suite{number}.py"), "w") as handle:
            handle.write(SUITE.format(tests=tests))
        sessions.append(subprocess.Popen(
            [sys.executable, "-m", "pytest", "--vesk", "-q", "-p", "no:cacheprovider"], cwd=folder, env=environment,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        ))
    outputs = [session.communicate()[0] for session in sessions]
    elapsed = time.perf_counter() - started
    complete = all(f"vesk: {tests} test traces saved" in output and "cannot save" not in output for output in outputs)
    return elapsed, complete and len(open_store(location).list_traces()) == kept


def ratio_line(name: str, sqlite: float, postgres: float) -> str:
    ratio = postgres / sqlite
    return (f"  {name:<12}{sqlite:10.3f}s{postgres:10.3f}s{ratio:10.3f}   "
            f"target {TARGET}x: {'met' if ratio <= TARGET else 'MISSED'}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--writers", type=int, default=8)
    parser.add_argument("--tests", type=int, default=200)
    parser.add_argument("--skip-writers", action="store_true")
    options = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="vesk-bench-postgres-")
    environment = dict(child_environment("tiny"), XDG_CACHE_HOME=os.path.join(scratch, "cache"))
    os.environ["XDG_CACHE_HOME"] = environment["XDG_CACHE_HOME"]
    cluster = Cluster()
    try:
        from vesk.storage import open_store

        recorded, trace_id = record_trace(options.records, scratch, environment)
        documents = list(open_store(recorded).iter_documents(trace_id))
        frames = open_store(recorded).trace_summary(trace_id).frame_count
        size = sum(len(document) for document in documents)
        times: dict[str, list[float]] = {"sqlite": [], "postgres": []}
        locations: dict[str, str] = {}
        for round_number in range(options.rounds):
            # In turns, the first kind alternating: neither always runs on a machine warmed by the other.
            kinds = ["sqlite", "postgres"] if round_number % 2 == 0 else ["postgres", "sqlite"]
            for kind in kinds:
                location = (cluster.new_database() if kind == "postgres"
                            else os.path.join(tempfile.mkdtemp(dir=scratch), "db.sqlite3"))
                progress(f"round {round_number + 1}: saving into {kind}")
                times[kind].append(save_copy(documents, location))
                locations[kind] = location
        paints = {kind: first_paint(location, environment) for kind, location in locations.items()}
        writer_figures = {}
        if not options.skip_writers:
            for kind in ("sqlite", "postgres"):
                location = (cluster.new_database() if kind == "postgres"
                            else os.path.join(tempfile.mkdtemp(dir=scratch), "db.sqlite3"))
                progress(f"{options.writers} pytest --vesk sessions of {options.tests} tests into {kind}")
                writer_figures[kind] = writers(location, options.writers, options.tests, scratch, environment)
    finally:
        cluster.stop()
        shutil.rmtree(scratch, ignore_errors=True)

    print(f"PostgreSQL (loopback) against SQLite: a trace of {frames:,} frame records, {len(documents)} documents,"
          f" {size / (1 << 20):.0f} MiB")
    print(f"  {'':<12}{'sqlite':>11}{'postgres':>11}{'ratio':>10}")
    medians = {kind: statistics.median(values) for kind, values in times.items()}
    lines = [ratio_line(f"save (x{options.rounds})", medians["sqlite"], medians["postgres"]),
             ratio_line("first paint", paints["sqlite"], paints["postgres"])]
    met = medians["postgres"] / medians["sqlite"] <= TARGET and paints["postgres"] / paints["sqlite"] <= TARGET
    if writer_figures:
        (sqlite_time, sqlite_ok), (postgres_time, postgres_ok) = writer_figures["sqlite"], writer_figures["postgres"]
        lines.append(f"  {'writers':<12}{sqlite_time:10.3f}s{postgres_time:10.3f}s{postgres_time / sqlite_time:10.3f}"
                     f"   every trace saved, retention held: sqlite {sqlite_ok}, postgres {postgres_ok}")
        met = met and sqlite_ok and postgres_ok
    print("\n".join(lines))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
