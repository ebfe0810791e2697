"""What recording a program's values costs, per value, each figure beside its target.

    python bench/values.py [--size tiny|small] [--rounds N] [--only texts,kinds,objects,show] [--vesk PATH]...

  texts    a function called with a 1,000-character SQL-like text full of "=" against one of 1,000 "a"s,
           every call recorded (calls_per_function = 0): CPU µs per recorded call over plain python and
           callgrind instructions per call; target: the "=" text within 3x of the plain one
  kinds    a function called with an int, or a vector with __slots__, as a dataclass or plain, every
           call recorded: callgrind instructions per recorded call (its call and return records), for
           each build side by side
  objects  the ray tracer of bench/values_workload.py (vectors as __slots__ classes, dataclasses and plain
           classes, as arguments, locals and return values), every call recorded: callgrind instructions
           per recorded call, against the engine alone per recorded call on bench/run.py's all-user-code
           workload (target: at most 4x); a call past its function's limit (calls_per_function = 1)
           against a do-nothing profile function written in Python (target: below it; the engine's own
           do-nothing function in C beside it); bytes stored per record
  show     `vesk show` of a trace of that workload of 675k records (about what the default trace_bytes
           held before it cut the trace): CPU s (target under 10 s) and µs per record, and the bytes
           stored per record against the 400 B of before (target: a third); with two builds, their ratios

Every program runs in a fresh interpreter under `vesk run` (or plain python, or a do-nothing profile
function) in a temporary project folder of its own. Costs per call are differences between runs of N
and 2N calls over the difference in calls, so that start-up and the trace's fixed costs cancel: CPU
times are medians over interleaved rounds (user + system, GNU time), instructions come from callgrind
(one run each: they do not depend on the machine's load). `--vesk PATH` (as in bench/suites.py: a
checkout set up by scripts/setup, a site folder or a wheel) may be given several times to compare
builds side by side; plain python and the floor run with the first one on the path.
"""

from __future__ import annotations

import argparse
import dataclasses
import json
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import hotspots  # noqa: E402
import scale  # noqa: E402
import suites  # noqa: E402
from workloads import ITERATIONS  # noqa: E402

WORKLOAD = os.path.join(HERE, "values_workload.py")
PARTS = ("texts", "kinds", "objects", "show")
KINDS = ("int", "slots", "dataclass", "plain")
EVERY_CALL = "[limits]\ncalls_per_function = 0\n"
PAST_LIMIT = "[limits]\ncalls_per_function = 1\n"
# The program runs under a profile function that does nothing, as bench/scale.py's floor does.
FLOOR = (
    "import runpy, sys\n"
    "from vesk import _vesk\n"
    "_vesk.register_noop_profiler()\n"
    "sys.argv = sys.argv[1:]\n"
    "runpy.run_path(sys.argv[0], run_name='__main__')\n"
)
# The yardstick for a call past its limit: the cheapest profile function written in Python.
PYTHON_FLOOR = (
    "import runpy, sys\n"
    "sys.argv = sys.argv[1:]\n"
    "sys.setprofile(lambda *event: None)\n"
    "runpy.run_path(sys.argv[0], run_name='__main__')\n"
)
TRACE_SUMMARY = (
    "import json, sys\n"
    "try:\n"
    "    from vesk.storage import open_store\n"
    "    listed = open_store(sys.argv[1]).list_traces()\n"
    "except ImportError:  # a build from before the storage package\n"
    "    from vesk import db\n"
    "    listed = db.list_traces(sys.argv[1])\n"
    "print(json.dumps([[t.trace_id, t.frame_count, t.size] for t in listed][:1]))\n"
)
SHOW_RECORDS = 675_000


@dataclasses.dataclass(frozen=True)
class Size:
    text_calls: int        # N of the CPU runs (2N beside)
    text_instruction_calls: int
    pixels: int            # N of the callgrind runs of the ray tracer
    show_records: int
    rounds: int


SIZES = {
    "tiny": Size(text_calls=200, text_instruction_calls=50, pixels=5, show_records=20_000, rounds=1),
    "small": Size(text_calls=4000, text_instruction_calls=400, pixels=40, show_records=SHOW_RECORDS, rounds=5),
}

# Targets
TEXT_RATIO = 3.0
OBJECTS_OVER_ENGINE = 4.0
SHOW_SECONDS = 10.0
# Bytes stored per record on the ray tracer when the target of a third of it was set: 275 MB for the
# 680k records of 340k calls.
BYTES_BEFORE = 400


def progress(text: str) -> None:
    print(f"  {text}", file=sys.stderr, flush=True)


# --- running the workload ----------------------------------------------------------------------------


def environment_for(build: suites.Build) -> dict:
    environment = {key: value for key, value in os.environ.items() if not key.startswith("VESK_")}
    environment["PYTHONPATH"] = build.site
    environment["PYTHONHASHSEED"] = "0"
    return environment


def make_project(scratch: str, config: str | None) -> str:
    folder = tempfile.mkdtemp(prefix="values-", dir=scratch)
    os.mkdir(os.path.join(folder, ".vesk"))
    with open(os.path.join(folder, ".vesk", "config.toml"), "w") as handle:
        handle.write(config or "")
    return folder


def command(how: str, workload: list) -> list:
    """python ARGUMENTS that run the workload plain, under the floor or under `vesk run`."""
    if how == "python":
        return [WORKLOAD, *workload]
    if how == "floor":
        return ["-c", FLOOR, WORKLOAD, *workload]
    if how == "python-floor":
        return ["-c", PYTHON_FLOOR, WORKLOAD, *workload]
    return ["-m", "vesk", "run", WORKLOAD, *workload]


def newest_trace(build: suites.Build, folder: str) -> tuple | None:
    """(trace id, frame records, stored bytes) of the project's newest trace."""
    done = subprocess.run([sys.executable, "-c", TRACE_SUMMARY, os.path.join(folder, ".vesk", "db.sqlite3")],
                          capture_output=True, text=True, env=environment_for(build))
    if done.returncode != 0 or not json.loads(done.stdout or "[]"):
        progress(f"no trace in {folder}: {done.stderr.strip().splitlines()[-1:]}")
        return None
    return tuple(json.loads(done.stdout)[0])


def cpu_of(how: str, build: suites.Build, workload: list, config: str | None, scratch: str) -> float | None:
    folder = make_project(scratch, config)
    try:
        run = scale.timed(command(how, workload), folder, environment_for(build))
        if run.status != 0:
            progress(f"failed: {how} {' '.join(workload)}: {run.problem}")
            return None
        return run.cpu
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def instructions_of(how: str, build: suites.Build, workload: list, config: str | None, scratch: str) -> tuple:
    """(instructions, frame records of the trace or None) of one run under callgrind."""
    folder = make_project(scratch, config)
    try:
        total = hotspots.collected([sys.executable, *command(how, workload)], environment_for(build), cwd=folder)
        trace = newest_trace(build, folder) if how == "vesk" else None
        return total, trace[1] if trace else None
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def calls_in(workload: list) -> int:
    done = subprocess.run([sys.executable, WORKLOAD, *workload, "--count"], check=True, capture_output=True,
                          text=True)
    return int(done.stdout)


# --- texts -------------------------------------------------------------------------------------------


def measure_texts(builds: list, size: Size, rounds: int, scratch: str, shuffle: random.Random) -> dict:
    n = size.text_calls
    jobs = [(kind, how, build.label, calls) for kind in ("equals", "plain") for calls in (n, 2 * n)
            for how, build in [("python", builds[0])] + [("vesk", build) for build in builds]]
    by_label = {build.label: build for build in builds}
    cpu: dict = {}
    for round_index in range(rounds):
        shuffle.shuffle(jobs)
        for kind, how, label, calls in jobs:
            progress(f"texts round {round_index + 1}/{rounds}: {kind}, {how} [{label}], {calls} calls")
            value = cpu_of(how, by_label[label], ["text", kind, str(calls)], EVERY_CALL, scratch)
            cpu.setdefault((kind, how, label, calls), []).append(value)
    results = {"cpu": cpu, "instructions": {}}
    m = size.text_instruction_calls
    for kind in ("equals", "plain"):
        for how, build in [("python", builds[0])] + [("vesk", build) for build in builds]:
            progress(f"texts under callgrind: {kind}, {how} [{build.label}]")
            counts = [instructions_of(how, build, ["text", kind, str(calls)], EVERY_CALL, scratch)[0]
                      for calls in (m, 2 * m)]
            results["instructions"][(kind, how, build.label)] = (counts[1] - counts[0]) / m
    return results


def per_call_cpu(cpu: dict, kind: str, how: str, label: str, n: int, python_label: str) -> list:
    """Per round: (CPU at 2N - CPU at N) over N, less plain python's, in seconds."""
    values = []
    for a, b, p, q in zip(cpu[(kind, how, label, n)], cpu[(kind, how, label, 2 * n)],
                          cpu[(kind, "python", python_label, n)], cpu[(kind, "python", python_label, 2 * n)]):
        if None not in (a, b, p, q):
            values.append(((b - a) - (q - p)) / n)
    return values


def print_texts(results: dict, builds: list, size: Size, targets: scale.Targets) -> None:
    n = size.text_calls
    print()
    print(f"Recording a call with a 1,000-character text argument, every call recorded "
          f"({n:,} and {2 * n:,} calls; CPU medians of the per-round differences, range)")
    print(f"  {'':24}{'CPU µs per call':>24}{'instructions per call':>24}")
    plain_python = results["instructions"][("plain", "python", builds[0].label)]
    for build in builds:
        per_kind = {}
        for kind in ("equals", "plain"):
            values = per_call_cpu(results["cpu"], kind, "vesk", build.label, n, builds[0].label)
            per_kind[kind] = statistics.median(values) if values else None
            spread = f" ({min(values) * 1e6:.1f}-{max(values) * 1e6:.1f})" if len(values) > 1 else ""
            extra = results["instructions"][(kind, "vesk", build.label)] - results["instructions"][
                (kind, "python", builds[0].label)]
            cell = "failed" if per_kind[kind] is None else f"{per_kind[kind] * 1e6:.1f}{spread}"
            print(f"  {'text of ' + ('=' if kind == 'equals' else 'a') + 's, ' + tag(build, builds):24}"
                  f"{cell:>24}{extra:>24,.0f}")
        ratio = None
        if per_kind["equals"] is not None and per_kind["plain"]:
            ratio = per_kind["equals"] / per_kind["plain"]
        instruction_ratio = ((results["instructions"][("equals", "vesk", build.label)]
                              - results["instructions"][("equals", "python", builds[0].label)])
                             / (results["instructions"][("plain", "vesk", build.label)] - plain_python))
        print(f"  {'':24}{'ratio ' + ('-' if ratio is None else f'{ratio:.2f}'):>24}{f'ratio {instruction_ratio:.2f}':>24}")
        targets.judge(f"texts: \"=\" text / plain text, CPU per recorded call{label_suffix(build, builds)}",
                      ratio, TEXT_RATIO, "")
        targets.judge(f"texts: \"=\" text / plain text, instructions per call{label_suffix(build, builds)}",
                      instruction_ratio, TEXT_RATIO, "")


def tag(build: suites.Build, builds: list) -> str:
    return f"vesk [{build.label}]" if len(builds) > 1 else "vesk"


def label_suffix(build: suites.Build, builds: list) -> str:
    return f" [{build.label}]" if len(builds) > 1 else ""


# --- kinds -------------------------------------------------------------------------------------------


def measure_kinds(builds: list, size: Size, scratch: str) -> dict:
    m = size.text_instruction_calls
    extra = {}
    for kind in KINDS:
        for how, build in [("python", builds[0])] + [("vesk", build) for build in builds]:
            progress(f"kinds under callgrind: {kind}, {how} [{build.label}]")
            counts = [instructions_of(how, build, ["kind", kind, str(calls)], EVERY_CALL, scratch)[0]
                      for calls in (m, 2 * m)]
            extra[(kind, how, build.label)] = counts[1] - counts[0]
    return {"calls": m, "extra": extra}


def print_kinds(results: dict, builds: list) -> None:
    m, extra = results["calls"], results["extra"]
    print()
    print(f"Recording a call with one argument of each kind, every call recorded ({m:,} and {2 * m:,} calls); "
          "instructions per recorded call over plain python (callgrind)")
    print(f"  {'':24}" + "".join(f"{tag(build, builds):>20}" for build in builds))
    for kind in KINDS:
        python = extra[(kind, "python", builds[0].label)]
        print(f"  {kind:24}" + "".join(f"{(extra[(kind, 'vesk', build.label)] - python) / m:>20,.0f}"
                                       for build in builds))


# --- objects -----------------------------------------------------------------------------------------


def engine_alone(build: suites.Build) -> dict:
    """bench/run.py's engine figure: user-heavy, nil serialiser, instructions over no profiler."""
    iterations = max(1, ITERATIONS["small"]["user-heavy"] // 6)
    environment = environment_for(build)
    counted = subprocess.run([sys.executable, hotspots.MEASURE, "count", "user-heavy", str(iterations)],
                             check=True, capture_output=True, text=True, env=environment)
    counts = json.loads(counted.stdout)
    base = hotspots.instructions("user-heavy", "none", iterations, environment)
    nil = hotspots.instructions("user-heavy", "vesk-nil", iterations, environment)
    return {"per_recorded_event": (nil - base) / counts["recorded"], "events": counts["events"],
            "recorded": counts["recorded"]}


def measure_objects(builds: list, size: Size, scratch: str) -> dict:
    n = size.pixels
    calls = {pixels: calls_in(["objects", str(pixels)]) for pixels in (n, 2 * n)}
    results: dict = {"calls": calls, "totals": {}, "records": {}, "engine": {}}
    runs = [("python", builds[0], None), ("floor", builds[0], None), ("python-floor", builds[0], None)]
    runs += [(how, build, config) for build in builds for how, config in (("capped", PAST_LIMIT), ("vesk", EVERY_CALL))]
    for how, build, config in runs:
        for pixels in (n, 2 * n):
            progress(f"objects under callgrind: {how} [{build.label}], {pixels} pixels")
            total, records = instructions_of("vesk" if how in ("capped", "vesk") else how, build,
                                             ["objects", str(pixels)], config, scratch)
            results["totals"][(how, build.label, pixels)] = total
            results["records"][(how, build.label, pixels)] = records
    for build in builds:
        progress(f"engine alone under callgrind (bench/run.py's user-heavy, nil serialiser) [{build.label}]")
        results["engine"][build.label] = engine_alone(build)
    return results


def print_objects(results: dict, builds: list, size: Size, targets: scale.Targets) -> None:
    n = size.pixels
    calls = results["calls"][2 * n] - results["calls"][n]
    totals = results["totals"]

    def over_python(how, label):
        extra = totals[(how, label, 2 * n)] - totals[(how, label, n)]
        return extra - (totals[("python", builds[0].label, 2 * n)] - totals[("python", builds[0].label, n)])

    print()
    print(f"The ray tracer, vectors as objects ({n} and {2 * n} pixels per vector class: {calls:,} more Python "
          "calls); instructions over plain python (callgrind)")
    floor = over_python("floor", builds[0].label) / calls
    python_floor = over_python("python-floor", builds[0].label) / calls
    print(f"  {'do-nothing profile function, per call':58}{floor:>12,.0f}")
    print(f"  {'do-nothing profile function written in Python, per call':58}{python_floor:>12,.0f}")
    for build in builds:
        suffix = label_suffix(build, builds)
        capped = over_python("capped", build.label) / calls
        records = results["records"]
        recorded_records = None
        if records[("vesk", build.label, 2 * n)] is not None and records[("vesk", build.label, n)] is not None:
            recorded_records = records[("vesk", build.label, 2 * n)] - records[("vesk", build.label, n)]
        recorded_calls = recorded_records / 2 if recorded_records else None  # a record at the call, one at the return
        per_recorded = over_python("vesk", build.label) / recorded_calls if recorded_calls else None
        engine = results["engine"][build.label]["per_recorded_event"]
        print(f"  {'a call past its limit (calls_per_function = 1)' + suffix + ', per call':58}{capped:>12,.0f}"
              f"   {capped / floor:.2f}x the floor, {capped / python_floor:.2f}x the Python one")
        print(f"  {'every call recorded' + suffix + ', per recorded call':58}"
              f"{'-' if per_recorded is None else f'{per_recorded:,.0f}':>12}"
              f"   ({recorded_calls or 0:,.0f} recorded calls of {calls:,})")
        print(f"  {'engine alone, per recorded event (run.py user-heavy, nil ser.)' + suffix:58}{engine:>12,.0f}"
              f"   per recorded call (2 events) {2 * engine:,.0f}")
        ratio = per_recorded / (2 * engine) if per_recorded else None
        if ratio is not None:
            print(f"  {'':58}{'':12}   recorded call / engine's call {ratio:.1f}x "
                  f"(/ engine's event {per_recorded / engine:.1f}x)")
        targets.judge(f"objects: instructions per recorded call / engine alone's per call{suffix}", ratio,
                      OBJECTS_OVER_ENGINE, "")
        targets.judge(f"objects: a call past its limit / do-nothing Python profile function{suffix}",
                      capped / python_floor, 1.0, "")


# --- show --------------------------------------------------------------------------------------------


def pixels_for(records: int) -> int:
    per_pixel = calls_in(["objects", "100"]) / 100
    return max(1, round(records / 2 / per_pixel))


def measure_show(builds: list, size: Size, rounds: int, scratch: str, shuffle: random.Random) -> dict:
    pixels = pixels_for(size.show_records)
    # trace_bytes raised so that a build storing more per record still keeps the whole run.
    config = EVERY_CALL + "trace_bytes = 4294967296\n"
    results: dict = {"pixels": pixels, "traces": {}, "show": {}}
    folders = {}
    try:
        for build in builds:
            progress(f"show: recording {pixels:,} pixels of the ray tracer [{build.label}]")
            folder = make_project(scratch, config)
            folders[build.label] = folder
            run = scale.timed(command("vesk", ["objects", str(pixels)]), folder, environment_for(build))
            trace = newest_trace(build, folder) if run.status == 0 else None
            results["traces"][build.label] = {"run": run, "trace": trace}
        jobs = [build for build in builds if results["traces"][build.label]["trace"]]
        for round_index in range(rounds):
            shuffle.shuffle(jobs)
            for build in jobs:
                progress(f"show round {round_index + 1}/{rounds}: vesk show [{build.label}]")
                trace_id = results["traces"][build.label]["trace"][0]
                folder = folders[build.label]
                output = os.path.join(folder, "shown")
                run = scale.timed(["-m", "vesk", "show", trace_id], folder, environment_for(build), stdout_path=output)
                os.remove(output)
                results["show"].setdefault(build.label, []).append(run)
    finally:
        for folder in folders.values():
            shutil.rmtree(folder, ignore_errors=True)
    return results


def print_show(results: dict, builds: list, targets: scale.Targets) -> None:
    print()
    print(f"The ray tracer recorded whole ({results['pixels']:,} pixels per vector class, every call recorded), "
          "then `vesk show` of its trace")
    for build in builds:
        suffix = label_suffix(build, builds)
        recorded = results["traces"][build.label]
        if recorded["trace"] is None:
            print(f"  recording{suffix} failed: {recorded['run'].problem}")
            targets.judge(f"show: vesk show of the trace, CPU s{suffix}", None, SHOW_SECONDS, "")
            continue
        _, frames, stored = recorded["trace"]
        runs = [run for run in results["show"].get(build.label, []) if run.status == 0]
        cpu = statistics.median(run.cpu for run in runs) if runs else None
        print(f"  trace{suffix}: {frames:,} records, {stored / 1e6:.1f} MB stored, {stored / frames:.0f} B per record; "
              f"recording took {recorded['run'].cpu:.1f} s CPU")
        if cpu is not None:
            spread = f" ({min(r.cpu for r in runs):.1f}-{max(r.cpu for r in runs):.1f})" if len(runs) > 1 else ""
            print(f"  vesk show{suffix}: {cpu:.1f} s CPU{spread}, {cpu / frames * 1e6:.1f} µs per record, "
                  f"peak {statistics.median(r.peak for r in runs) / scale.MB:.0f} MB")
        targets.judge(f"show: vesk show of {frames:,} records, CPU s{suffix}", cpu, SHOW_SECONDS, "")
        targets.judge(f"objects: bytes stored per record{suffix}", stored / frames, BYTES_BEFORE // 3, "B",
                      shown=f"{stored / frames:.0f} B ({stored / frames / BYTES_BEFORE:.2f} of {BYTES_BEFORE} B)")
        first = results["traces"][builds[0].label]["trace"]
        first_runs = [run for run in results["show"].get(builds[0].label, []) if run.status == 0]
        if build is not builds[0] and first and first_runs and cpu is not None:
            first_cpu = statistics.median(run.cpu for run in first_runs)
            print(f"  [{build.label}] / [{builds[0].label}]: vesk show {cpu / frames / (first_cpu / first[1]):.2f}x "
                  f"the CPU per record, {(stored / frames) / (first[2] / first[1]):.2f}x the bytes per record")


# -----------------------------------------------------------------------------------------------------


def run(arguments: argparse.Namespace) -> int:
    if not os.access(scale.GNU_TIME, os.X_OK):
        print(f"{scale.GNU_TIME} is missing: install the Debian package 'time' (scripts/setup does)", file=sys.stderr)
        return 2
    parts = arguments.only or list(PARTS)
    if {"texts", "kinds", "objects"} & set(parts) and not shutil.which("valgrind"):
        print("valgrind is missing: install the Debian package 'valgrind' (scripts/setup does)", file=sys.stderr)
        return 2
    size = SIZES[arguments.size]
    rounds = arguments.rounds or size.rounds
    scratch = tempfile.mkdtemp(prefix="vesk-values-")
    started = time.perf_counter()
    shuffle = random.Random(arguments.seed)
    targets = scale.Targets()
    try:
        builds = [suites.snapshot("ABCDEFGH"[index], path, scratch) for index, path in enumerate(arguments.vesk or [None])]
        print(f"vesk values benchmark: size {arguments.size}, {rounds} round(s), {', '.join(parts)}; "
              f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}; Python {sys.version.split()[0]}")
        for build in builds:
            print(f"  [{build.label}] {build.description}")
        sys.stdout.flush()
        if "texts" in parts:
            print_texts(measure_texts(builds, size, rounds, scratch, shuffle), builds, size, targets)
            sys.stdout.flush()
        if "kinds" in parts:
            print_kinds(measure_kinds(builds, size, scratch), builds)
            sys.stdout.flush()
        if "objects" in parts:
            print_objects(measure_objects(builds, size, scratch), builds, size, targets)
            sys.stdout.flush()
        if "show" in parts:
            print_show(measure_show(builds, size, rounds, scratch, shuffle), builds, targets)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    targets.print(arguments.size)
    print(f"\n{time.perf_counter() - started:.0f} s in all; load {os.getloadavg()[0]:.1f} at the end.")
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=list(SIZES), default="small")
    parser.add_argument("--rounds", type=int, help="rounds of the CPU-time measurements (default: 1 tiny, 5 small)")
    parser.add_argument("--only", type=lambda text: text.split(","), help=f"comma-separated: {', '.join(PARTS)}")
    parser.add_argument("--vesk", action="append", metavar="PATH",
                        help="a vesk build: a checkout set up by scripts/setup, a site folder or a wheel (repeatable)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the order within a round")
    arguments = parser.parse_args()
    unknown = set(arguments.only or ()) - set(PARTS)
    if unknown:
        parser.error(f"unknown part: {', '.join(sorted(unknown))} (known: {', '.join(PARTS)})")
    if arguments.rounds is not None and arguments.rounds < 1:
        parser.error("--rounds must be at least 1")
    return run(arguments)


if __name__ == "__main__":
    sys.exit(main())
