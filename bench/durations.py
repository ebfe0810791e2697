"""How true the durations a trace reports are: the top-level call's duration under `vesk run`, as
recorded (raw) and with the recorder's own time taken out (as the readers report it), against the
same call without vesk.

    python bench/durations.py [--size tiny|small|full] [--rounds N] [--python PATH ...]
                              [--pythonpath X.Y=PATH ...] [--busy N]

Each round runs every workload on every interpreter with and without vesk, in a shuffled order; the
figures are medians over the rounds. Target: the reported (corrected) duration within 25% of the
unprofiled one, or the trace saying its durations may be off ("said off": in how many rounds).
`--busy N` keeps N CPU-bound neighbour processes running for the whole run, so that plain and
profiled runs alike compete with them, as on a shared machine.
"""

from __future__ import annotations

import argparse
import contextlib
import os
import random
import sqlite3
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from versions import default_pythons, version_of  # noqa: E402
from workloads import ITERATIONS  # noqa: E402

WORKLOADS = ("library-heavy", "user-heavy", "mixed", "recursion")

PROGRAM = """
import sys, time
sys.path.insert(0, {bench!r})
import workloads

def main(name, iterations):
    return workloads.WORKLOADS[name](iterations)

started = time.perf_counter()
main(sys.argv[1], int(sys.argv[2]))
print(time.perf_counter() - started)
"""

READ_BACK = """
import sqlite3, sys
import msgpack
path = sys.argv[1]
try:
    from vesk.storage import open_store

    documents = open_store(path).iter_documents
except ImportError:  # a build from before the storage package
    from vesk import db

    documents = lambda trace_id: db.iter_documents(path, trace_id)  # noqa: E731
trace_id = sqlite3.connect(path).execute("SELECT trace_id FROM traces ORDER BY rowid DESC LIMIT 1").fetchone()[0]
started, flagged = {}, 0
for document in documents(trace_id):
    decoded = msgpack.unpackb(document, strict_map_key=False)
    lists = {"frames_of_interest": decoded["frames_of_interest"], **decoded["frames"]}
    seconds = {r["list"]: r["seconds"] for r in decoded["frames_of_interest"] if r.get("type") == "recorder_time"}
    flagged |= any(r.get("type") == "durations_unsteady" for records in lists.values() for r in records)
    for key, records in lists.items():
        for record, recorder in zip(records, seconds.get(key, [])):
            if record.get("type") == "frame" and record["co_name"] == "main":
                if record["event"] == "call":
                    started[record["frame_id"]] = (record["timestamp"], recorder)
                else:
                    timestamp, before = started[record["frame_id"]]
                    raw = record["timestamp"] - timestamp
                    measured = (raw, raw - (recorder - before))
print(*measured, int(flagged))
"""


def run_once(python: str, env: dict, directory: str, workload: str, iterations: int, profiled: bool) -> tuple:
    program = os.path.join(directory, "program.py")
    command = [python, "-m", "vesk", "run", program] if profiled else [python, program]
    done = subprocess.run([*command, workload, str(iterations)], capture_output=True, text=True, cwd=directory,
                          env=env, check=True)
    if not profiled:
        return float(done.stdout.split()[-1]), None, None
    read = subprocess.run([python, "-c", READ_BACK, os.path.join(directory, ".vesk", "db.sqlite3")],
                          capture_output=True, text=True, cwd=directory, env=env, check=True)
    raw, corrected, flagged = map(float, read.stdout.split())
    return raw, corrected, flagged


@contextlib.contextmanager
def neighbours(count: int):
    spinning = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
    try:
        yield
    finally:
        for process in spinning:
            process.kill()
            process.wait()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(ITERATIONS), default="small")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--python", action="append")
    parser.add_argument("--pythonpath", action="append", metavar="X.Y=PATH")
    parser.add_argument("--busy", type=int, default=0, metavar="N", help="CPU-bound neighbours to run beside")
    arguments = parser.parse_args()
    paths = dict(entry.split("=", 1) for entry in arguments.pythonpath or [])
    pythons = {python: version_of(python) for python in arguments.python or default_pythons()}
    results: dict = {}
    with tempfile.TemporaryDirectory() as directory, neighbours(arguments.busy):
        with open(os.path.join(directory, "program.py"), "w") as program:
            program.write(PROGRAM.format(bench=HERE))
        jobs = [(python, workload, profiled) for python in pythons for workload in WORKLOADS for profiled in (False, True)]
        for round_number in range(arguments.rounds):
            print(f"round {round_number + 1} of {arguments.rounds}", file=sys.stderr, flush=True)
            random.shuffle(jobs)
            for python, workload, profiled in jobs:
                version = pythons[python]
                env = dict(os.environ)
                env.pop("PYTHONPATH", None)
                if version in paths:
                    env["PYTHONPATH"] = os.path.abspath(paths[version])
                measured = run_once(python, env, directory, workload, ITERATIONS[arguments.size][workload], profiled)
                results.setdefault((version, workload, profiled), []).append(measured)
    print()
    if arguments.busy:
        print(f"beside {arguments.busy} CPU-bound neighbour process(es)")
    print(f"{'Python':8}{'workload':16}{'plain ms':>10}{'raw':>8}{'reported':>10}{'said off':>10}{'held':>8}"
          "  (x plain; held: rounds with reported <= 1.25x, or the trace saying durations may be off)")
    for version in dict.fromkeys(pythons.values()):
        for workload in WORKLOADS:
            plain = statistics.median(m[0] for m in results[version, workload, False])
            raw = statistics.median(m[0] for m in results[version, workload, True])
            reported = statistics.median(m[1] for m in results[version, workload, True])
            profiled = results[version, workload, True]
            said = sum(m[2] for m in profiled)
            held = sum(1 for m in profiled if m[1] <= 1.25 * plain or m[2])
            print(f"{version:8}{workload:16}{plain * 1e3:>10.1f}{raw / plain:>7.2f}x{reported / plain:>9.2f}x"
                  f"{f'{said:.0f} of {len(profiled)}':>10}{f'{held} of {len(profiled)}':>8}")


if __name__ == "__main__":
    main()
