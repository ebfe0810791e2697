"""vesk at scale: memory of long recordings, reading big traces, a large test suite, trace retention.

    python bench/scale.py [--size tiny|small|full] [--rounds N] [--only memory,readers,suite,retention]

Four measurements, each printed against its target:

  memory     peak resident memory of `vesk run` of a loop of user-code calls (two events each, with list
             and dict locals) against the same program under plain python, at growing event counts,
             with volume control on (the default) and off; memory must stay flat as the count grows
  readers    `vesk show` and `vesk export --format chrome` of traces of growing record counts: peak
             memory, and CPU time per record, which must not grow with the trace (from 200k records,
             below the readers' bounded tables, to the largest)
  suite      the generator-heavy suite in bench/scale_suite under plain pytest, pytest --vesk and
             vesk run -m pytest: the same outcomes, peak memory and CPU time against plain pytest;
             beside them pytest under a profile function that does nothing, the interpreter's floor
  retention  pytest --vesk over 1,000 trivial tests: the database keeps at most [retention] max_traces
             traces, the newest ones, and stays within max_bytes

Every command runs in a fresh interpreter in a temporary project directory of its own (its own
.vesk/), under GNU time for its peak resident size and CPU time, with its address space capped so
that a recorder that keeps everything fails its run instead of exhausting the machine. A round runs
every configuration once, in a shuffled order, so that a slow minute on a shared machine spreads over
all of them; figures are medians over the rounds. Temporary projects and databases are removed as
soon as their measurement is done.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import random
import re
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SUITE = os.path.join(HERE, "scale_suite")
GNU_TIME = "/usr/bin/time"
MB = 1_000_000
GiB = 1 << 30
# Far above what any of these runs should need, well below what would starve the other users of the
# machine: a recorder that buffers a whole long run hits it and fails that run.
ADDRESS_SPACE_CAP = 3584 << 20

LOOP_PROGRAM = '''\
import sys

NUMBERS = list(range(16))
TABLE = {"alpha": 1, "beta": 2, "gamma": 3, "delta": 4, "epsilon": 5, "zeta": 6}


def step(i, numbers, table):
    window = numbers[i % 8 : i % 8 + 8]
    picked = {"index": i, "first": window[0]}
    return window[-1] + picked["first"] + table["gamma"]


def main(events):
    total = 0
    for i in range(events // 2):  # a call and a return per step
        total += step(i, NUMBERS, TABLE)
    print(total)


main(int(sys.argv[1]))
'''

TRIVIAL_TESTS = '''\
import pytest


@pytest.mark.parametrize("number", range({count}))
def test_trivial(number):
    assert number + 1 > number
'''


@dataclasses.dataclass(frozen=True)
class Size:
    events: tuple            # event counts of the memory runs
    raised_cap_events: int | None  # one volume-control-off run with trace_bytes raised, at this count
    records: tuple           # record counts of the traces read back
    suite: str               # VESK_SCALE_SUITE
    rounds: int


SIZES = {
    "tiny": Size(events=(100_000, 300_000), raised_cap_events=None, records=(20_000, 40_000), suite="tiny", rounds=1),
    "small": Size(events=(1_000_000, 10_000_000), raised_cap_events=10_000_000,
                  records=(200_000, 1_000_000, 2_000_000), suite="small", rounds=2),
    "full": Size(events=(1_000_000, 10_000_000, 50_000_000), raised_cap_events=10_000_000,
                 records=(200_000, 1_000_000, 2_000_000, 4_000_000), suite="full", rounds=3),
}
PARTS = ("memory", "readers", "suite", "retention")
RETENTION_TESTS = 1000
RAISED_TRACE_BYTES = 2 * GiB
DISK_HEADROOM = 6 * GiB

VOLUME_OFF = "[limits]\ncalls_per_function = 0\n"
MEMORY_CONFIGS = {
    "python": ("python (no profiler)", None),
    "vesk": ("vesk run, volume control on", ""),
    "vesk-off": ("vesk run, volume control off", VOLUME_OFF),
    "vesk-off-raised": (f"vesk run, off, trace_bytes {RAISED_TRACE_BYTES // GiB} GiB (1 run)",
                        VOLUME_OFF + f"trace_bytes = {RAISED_TRACE_BYTES}\n"),
}
# pytest with a profile function that does nothing, on every thread: what the interpreter itself
# costs once any profile function is set (from 3.12 vesk records through sys.monitoring instead).
# The engine module is loaded without importing the vesk package: pytest warns about a plugin's
# package imported before it could rewrite its asserts, which suites that turn warnings into errors
# refuse to start with.
DO_NOTHING_PROFILER = (
    "import glob, importlib.util, os, sys, threading, pytest\n"
    "package = importlib.util.find_spec('vesk').submodule_search_locations[0]\n"
    "(path,) = glob.glob(os.path.join(package, '_vesk.*.so'))\n"
    "spec = importlib.util.spec_from_file_location('vesk._vesk', path)\n"
    "_vesk = importlib.util.module_from_spec(spec)\n"
    "spec.loader.exec_module(_vesk)\n"
    "_vesk.register_noop_profiler()\n"
    "threading.setprofile(lambda *event: _vesk.register_noop_profiler())\n"
    "sys.exit(pytest.main(sys.argv[1:]))\n"
)
SUITE_RUNS = {
    "plain": ("pytest", ["-m", "pytest"]),
    "floor": ("do-nothing profiler", ["-c", DO_NOTHING_PROFILER]),
    "pytest-vesk": ("pytest --vesk", ["-m", "pytest", "--vesk"]),
    "vesk-run": ("vesk run -m pytest", ["-m", "vesk", "run", "-m", "pytest"]),
}
# Reference rows: measured beside the others, judged against no target.
SUITE_REFERENCES = ("plain", "floor")
PYTEST_OPTIONS = ["-q", "-p", "no:cacheprovider"]

# Targets
MEMORY_OVER_PYTHON = 256 * MB
FLAT_GROWTH = 64 * MB
READER_PEAK = 200 * MB
LINEAR_RATIO = 1.3
SUITE_MEMORY_OVER_PLAIN = 512 * MB
SUITE_TIME_RATIO = 3.0


@dataclasses.dataclass
class Run:
    status: int
    peak: int         # bytes
    wall: float
    cpu: float
    problem: str | None = None  # the last line of stderr of a failed run


def progress(text: str) -> None:
    print(f"  {text}", file=sys.stderr, flush=True)


def median(values) -> float | None:
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else None


# --- running one command ------------------------------------------------------------------------


def _cap_address_space() -> None:
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_CAP, ADDRESS_SPACE_CAP))
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def child_environment(suite_size: str) -> dict:
    environment = dict(os.environ, VESK_SCALE_SUITE=suite_size)
    # Children run in the temporary projects: a relative entry of the search path would point elsewhere.
    if environment.get("PYTHONPATH"):
        environment["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in environment["PYTHONPATH"].split(os.pathsep) if entry)
    return environment


def timed(arguments: list, cwd: str, environment: dict, stdout_path: str = os.devnull,
          python: str = sys.executable, scratch: str | None = None, timeout: float | None = None) -> Run:
    """Runs `python ARGUMENTS` in `cwd` under GNU time: exit status, peak resident size, wall and CPU time
    (user + system of the whole process tree it waited for). Its own files go to `scratch` (default `cwd`);
    past `timeout` seconds the run is killed and reported as failed."""
    timing = os.path.join(scratch or cwd, ".timing")
    errors = os.path.join(scratch or cwd, ".stderr")
    command = [GNU_TIME, "-o", timing, "-f", "%M %e %U %S", python, *arguments]
    started = time.perf_counter()
    with open(stdout_path, "wb") as out, open(errors, "wb") as err:
        # A session of its own when a time limit applies: the whole tree is then killed at once.
        process = subprocess.Popen(command, cwd=cwd, env=environment, stdout=out, stderr=err,
                                   preexec_fn=_cap_address_space, start_new_session=timeout is not None)
        try:
            status = process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
            os.remove(errors)
            return Run(-signal.SIGKILL, 0, time.perf_counter() - started, float("nan"),
                       problem=f"killed after {timeout:.0f} s")
    with open(timing) as handle:
        peak_kib, wall, user, system = handle.read().split()[-4:]
    run = Run(status, int(peak_kib) * 1024, float(wall), float(user) + float(system))
    if status != 0:
        with open(errors, errors="replace") as handle:
            lines = [line.strip() for line in handle if line.strip()]
        run.problem = lines[-1] if lines else f"exit status {status}"
    os.remove(timing)
    os.remove(errors)
    return run


def make_project(parent: str, name: str, config: str | None) -> str:
    path = tempfile.mkdtemp(prefix=f"{name}-", dir=parent)
    os.mkdir(os.path.join(path, ".vesk"))
    if config:
        with open(os.path.join(path, ".vesk", "config.toml"), "w") as handle:
            handle.write(config)
    return path


def newest_trace(project: str):
    """The summary of the project's newest trace, or None when it cannot be read."""
    from vesk.storage import open_store

    try:
        traces = open_store(os.path.join(project, ".vesk", "db.sqlite3")).list_traces()
    except Exception as exc:  # noqa: BLE001 - a benchmark reports what the reader says and goes on
        progress(f"cannot list the traces of {project}: {exc}")
        return None
    return traces[0] if traces else None


def database_bytes(project: str) -> int:
    base = os.path.join(project, ".vesk", "db.sqlite3")
    return sum(os.path.getsize(base + suffix) for suffix in ("", "-wal") if os.path.exists(base + suffix))


def free_disk(path: str) -> int:
    return shutil.disk_usage(path).free


# --- memory of long recordings --------------------------------------------------------------------


def memory_jobs(size: Size, scratch: str) -> list:
    jobs = [(config, events) for config in ("python", "vesk", "vesk-off") for events in size.events]
    if size.raised_cap_events:
        if free_disk(scratch) > RAISED_TRACE_BYTES + DISK_HEADROOM:
            jobs.append(("vesk-off-raised", size.raised_cap_events))
        else:
            progress(f"not enough free disk for a {RAISED_TRACE_BYTES // GiB} GiB trace: that run is left out")
    return jobs


def run_memory_job(config: str, events: int, scratch: str, environment: dict) -> dict:
    project = make_project(scratch, f"memory-{config}", MEMORY_CONFIGS[config][1])
    try:
        with open(os.path.join(project, "loop.py"), "w") as handle:
            handle.write(LOOP_PROGRAM)
        prefix = [] if config == "python" else ["-m", "vesk", "run"]
        run = timed([*prefix, "loop.py", str(events)], project, environment)
        trace = None if config == "python" else newest_trace(project)
        return {"run": run, "frames": trace.frame_count if trace else None, "db": database_bytes(project)}
    finally:
        shutil.rmtree(project, ignore_errors=True)


# --- reading big traces -------------------------------------------------------------------------


def make_reader_trace(records: int, scratch: str, environment: dict) -> tuple:
    """A project holding one trace of about `records` frame records, all recorded (volume control off)."""
    trace_bytes = max(256 << 20, records * 1024)
    project = make_project(scratch, f"readers-{records}", VOLUME_OFF + f"trace_bytes = {trace_bytes}\n")
    with open(os.path.join(project, "loop.py"), "w") as handle:
        handle.write(LOOP_PROGRAM)
    run = timed(["-m", "vesk", "run", "loop.py", str(records)], project, environment)
    trace = newest_trace(project) if run.status == 0 else None
    return project, run, trace


# The reading commands measured: `vesk show` as a user first types it, the whole call tree printed,
# and the Chrome export (written to a file).
READERS = {
    "show": ("vesk show", ["show"]),
    "show-all": ("vesk show --limit 0", ["show", "--limit", "0"]),
    "export": ("vesk export chrome", ["export", "--format", "chrome", "-o", "output"]),
}


def run_reader_job(command: str, project: str, trace_id: str, environment: dict) -> dict:
    output = os.path.join(project, "output")
    arguments = ["-m", "vesk", *READERS[command][1], trace_id]
    if command == "export":
        run = timed(arguments, project, environment)
    else:
        run = timed(arguments, project, environment, stdout_path=output)
    written = os.path.getsize(output) if os.path.exists(output) else 0
    if run.status == 0 and command == "export" and not looks_like_chrome_json(output):
        run.status, run.problem = -1, "the export is not a Chrome trace-event JSON object"
    if os.path.exists(output):
        os.remove(output)
    return {"run": run, "written": written}


def looks_like_chrome_json(path: str) -> bool:
    """The ends of the file only: parsing a gigabyte of JSON here would cost more than the export."""
    with open(path, "rb") as handle:
        head = handle.read(64)
        handle.seek(max(0, os.path.getsize(path) - 64))
        tail = handle.read()
    return head.lstrip().startswith(b"{") and b"traceEvents" in head and tail.rstrip().endswith(b"}")


# --- the test suite -------------------------------------------------------------------------------


SUMMARY = re.compile(r"(\d+) (passed|failed|skipped|xfailed|xpassed|errors?|deselected)\b")


def outcome_counts(stdout_path: str) -> dict | None:
    """pytest's final summary line as {outcome: count}, warnings left out; None if there is none."""
    with open(stdout_path, errors="replace") as handle:
        lines = [line for line in handle if SUMMARY.search(line) and " in " in line]
    if not lines:
        return None
    return {("error" if outcome.startswith("error") else outcome): int(count)
            for count, outcome in SUMMARY.findall(lines[-1])}


def run_suite_job(name: str, scratch: str, environment: dict) -> dict:
    project = make_project(scratch, f"suite-{name}", None)
    try:
        shutil.copytree(SUITE, project, dirs_exist_ok=True, ignore=shutil.ignore_patterns("__pycache__"))
        stdout = os.path.join(project, ".stdout")
        run = timed([*SUITE_RUNS[name][1], *PYTEST_OPTIONS], project, environment, stdout_path=stdout)
        counts = outcome_counts(stdout)
        if counts is None and run.problem is None:
            run.problem = "no pytest summary line"
        return {"run": run, "outcomes": counts, "db": database_bytes(project)}
    finally:
        shutil.rmtree(project, ignore_errors=True)


# --- retention ------------------------------------------------------------------------------------


def run_retention(scratch: str, environment: dict) -> dict:
    from vesk import config as vesk_config

    project = make_project(scratch, "retention", None)
    try:
        with open(os.path.join(project, "test_trivial.py"), "w") as handle:
            handle.write(TRIVIAL_TESTS.format(count=RETENTION_TESTS))
        with open(os.path.join(project, "pytest.ini"), "w") as handle:
            handle.write("[pytest]\n")
        run = timed(["-m", "pytest", "--vesk", *PYTEST_OPTIONS], project, environment)
        retention = vesk_config.load(project).get("retention", {})
        kept = listed_traces(project)
        return {
            "run": run,
            "max_traces": retention.get("max_traces", 500),
            "max_bytes": retention.get("max_bytes", 2 * GiB),
            "kept": None if kept is None else len(kept),
            "newest_kept": None if kept is None else kept_are_newest(kept),
            "db": database_bytes(project),
        }
    finally:
        shutil.rmtree(project, ignore_errors=True)


def listed_traces(project: str):
    from vesk.storage import open_store

    try:
        return open_store(os.path.join(project, ".vesk", "db.sqlite3")).list_traces()
    except Exception as exc:  # noqa: BLE001
        progress(f"cannot list the traces of {project}: {exc}")
        return None


def kept_are_newest(summaries: list) -> bool:
    """Whether the traces kept are those of the last tests run, which are numbered in run order."""
    numbers = sorted(int(re.search(r"\[(\d+)\]", summary.label or "[-1]").group(1)) for summary in summaries)
    return numbers == list(range(RETENTION_TESTS - len(numbers), RETENTION_TESTS))


# --- output ---------------------------------------------------------------------------------------


def megabytes(value: float | None) -> str:
    return "-" if value is None else f"{value / MB:.1f}" if value < 10 * MB else f"{value / MB:.0f}"


def events_text(count: int) -> str:
    return f"{count // 1_000_000}M" if count % 1_000_000 == 0 else f"{count // 1000}k"


def median_run(runs: list, field: str) -> float | None:
    return median([getattr(run, field) for run in runs if run.status == 0])


def failed(runs: list) -> bool:
    return not runs or any(run.status != 0 for run in runs)


def cell(runs: list, field: str, scale=lambda value: f"{value / MB:.0f}") -> str:
    value = median_run(runs, field)
    if value is None:
        return "failed" if runs else "-"
    return scale(value) + ("!" if failed(runs) else "")


class Targets:
    def __init__(self) -> None:
        self.lines = []

    def judge(self, label: str, value: float | None, bound: float, unit: str, at_most: bool = True,
              shown: str | None = None) -> None:
        """`value` None means a run behind the figure failed: the target is missed."""
        scale = MB if unit == "MB" else 1
        bound_text = f"{'<=' if at_most else '>='} {bound / scale:{'.0f' if unit == 'MB' else 'g'}}{' ' + unit if unit else ''}"
        if value is None:
            self.lines.append((label, "failed", bound_text, False))
            return
        # "+ 0.0" turns a negative zero into a zero
        text = shown or f"{round(value / scale, 0 if unit == 'MB' else 2) + 0.0:.{0 if unit == 'MB' else 2}f}" + (
            f" {unit}" if unit else "")
        self.lines.append((label, text, bound_text, value <= bound if at_most else value >= bound))

    def check(self, label: str, met: bool | None, shown: str, expected: str) -> None:
        self.lines.append((label, shown, expected, met))

    def print(self, size: str) -> None:
        print()
        print("Targets" + (" (size tiny is a smoke run: its traces are too small to judge)" if size == "tiny" else ""))
        for label, value, bound, met in self.lines:
            status = "n/a" if met is None else ("met" if met else "MISSED")
            print(f"  {label:66} {value:>14}   target {bound:<10} {status}")


def print_memory(results: dict, size: Size, targets: Targets) -> None:
    sizes = list(size.events)
    if size.raised_cap_events and size.raised_cap_events not in sizes:
        sizes.append(size.raised_cap_events)
    print()
    print(f"Memory: loop of user-code calls, peak resident size MB (median of {size.rounds} rounds; "
          "! = a round failed)")
    header = "".join(f"{events_text(events) + ' events':>14}" for events in sizes)
    configs = {config: label for config, (label, _) in MEMORY_CONFIGS.items()
               if any(key[0] == config for key in results)}
    print(f"{'':44}{header}")
    for config, label in configs.items():
        print(f"{label:44}" + "".join(f"{cell(runs(results, config, events), 'peak'):>14}" for events in sizes))
    print(f"{'wall time, s':44}")
    for config, label in configs.items():
        print(f"{'  ' + label:44}" + "".join(
            f"{cell(runs(results, config, events), 'wall', lambda value: f'{value:.1f}'):>14}" for events in sizes))
    print(f"{'frame records kept / database MB':44}")
    for config, label in configs.items():
        if config == "python":
            continue
        cells = []
        for events in sizes:
            kept = [job for job in results.get((config, events), []) if job["run"].status == 0]
            frames = median([job["frames"] for job in kept])
            cells.append("-" if not kept else f"{'?' if frames is None else f'{frames / 1e6:.2f}M'}/"
                         f"{megabytes(median([job['db'] for job in kept]))}")
        print(f"{'  ' + label:44}" + "".join(f"{text:>14}" for text in cells))
    judge_memory(results, size, targets)


def runs(results: dict, config: str, events: int) -> list:
    return [job["run"] for job in results.get((config, events), [])]


def judge_memory(results: dict, size: Size, targets: Targets) -> None:
    def over_python(config, events):
        if failed(runs(results, config, events)) or failed(runs(results, "python", events)):
            return None
        return median_run(runs(results, config, events), "peak") - median_run(runs(results, "python", events), "peak")

    main_count = 10_000_000 if 10_000_000 in size.events else size.events[-1]
    for config in ("vesk", "vesk-off"):
        label = MEMORY_CONFIGS[config][0]
        targets.judge(f"{label}: peak over python, {events_text(main_count)} events",
                      over_python(config, main_count), MEMORY_OVER_PYTHON, "MB")
        smallest, largest = size.events[0], size.events[-1]
        growth = None
        if not failed(runs(results, config, smallest)) and not failed(runs(results, config, largest)):
            growth = median_run(runs(results, config, largest), "peak") - median_run(runs(results, config, smallest), "peak")
        targets.judge(f"{label}: peak growth {events_text(smallest)} -> {events_text(largest)} events",
                      growth, FLAT_GROWTH, "MB")
    if size.raised_cap_events and results.get(("vesk-off-raised", size.raised_cap_events)):
        targets.judge(f"volume control off, trace_bytes {RAISED_TRACE_BYTES // GiB} GiB: peak over python, "
                      f"{events_text(size.raised_cap_events)} events", over_python("vesk-off-raised", size.raised_cap_events),
                      MEMORY_OVER_PYTHON, "MB")


def print_readers(results: dict, size: Size, targets: Targets) -> None:
    print()
    print(f"Reading a trace back (volume control off; median of {size.rounds} rounds; ! = a round failed)")
    traces = results["traces"]
    print(f"{'':30}" + "".join(f"{events_text(records) + ' records':>16}" for records in size.records))
    print(f"{'trace: frame records / DB MB':30}" + "".join(
        f"{trace_text(traces.get(records)):>16}" for records in size.records))
    for command, (label, _) in READERS.items():
        jobs = {records: results.get((command, records), []) for records in size.records}
        print(f"{label + ', peak MB':30}" + "".join(
            f"{cell([job['run'] for job in jobs[records]], 'peak'):>16}" for records in size.records))
        print(f"{'  CPU s':30}" + "".join(
            f"{cell([job['run'] for job in jobs[records]], 'cpu', lambda value: f'{value:.1f}'):>16}"
            for records in size.records))
        per_record = {records: per_record_time(jobs[records], traces.get(records)) for records in size.records}
        print(f"{'  CPU µs per record':30}" + "".join(
            f"{'-' if per_record[records] is None else f'{per_record[records] * 1e6:.2f}':>16}"
            for records in size.records))
        print(f"{'  output MB':30}" + "".join(
            f"{megabytes(median([job['written'] for job in jobs[records]])):>16}" for records in size.records))
        peaks = [median_run([job["run"] for job in jobs[records]], "peak") for records in size.records]
        any_failed = any(failed([job["run"] for job in jobs[records]]) for records in size.records)
        targets.judge(f"{label}: peak, largest of {', '.join(events_text(r) for r in size.records)} records",
                      None if any_failed or None in peaks else max(peaks), READER_PEAK, "MB")
        smallest, largest = per_record[size.records[0]], per_record[size.records[-1]]
        ratio = None if smallest is None or largest is None else largest / smallest
        targets.judge(f"{label}: CPU per record, {events_text(size.records[-1])} / {events_text(size.records[0])} "
                      "records", ratio, LINEAR_RATIO, "")


def trace_text(trace) -> str:
    if trace is None:
        return "failed"
    frames = "?" if trace["frames"] is None else f"{trace['frames'] / 1e6:.2f}M"
    return f"{frames}/{megabytes(trace['db'])}"


def per_record_time(jobs: list, trace) -> float | None:
    if not jobs or failed([job["run"] for job in jobs]) or trace is None or not trace["frames"]:
        return None
    return median_run([job["run"] for job in jobs], "cpu") / trace["frames"]


def print_suite(results: dict, size: Size, targets: Targets) -> None:
    print()
    print(f"Test suite bench/scale_suite (VESK_SCALE_SUITE={size.suite}; median of {size.rounds} rounds)")
    print(f"{'':22}{'peak MB':>9}{'CPU s':>9}{'wall s':>9}{'DB MB':>8}  outcomes")
    plain = [job["run"] for job in results.get("plain", [])]
    plain_outcomes = outcomes_of(results.get("plain", []))
    for name, (label, _) in SUITE_RUNS.items():
        jobs = results.get(name, [])
        job_runs = [job["run"] for job in jobs]
        problems = "; ".join(sorted({run.problem for run in job_runs if run.problem}))
        print(f"{label:22}{cell(job_runs, 'peak'):>9}{cell(job_runs, 'cpu', lambda v: f'{v:.1f}'):>9}"
              f"{cell(job_runs, 'wall', lambda v: f'{v:.1f}'):>9}{megabytes(median([job['db'] for job in jobs])):>8}  "
              f"{outcomes_text(outcomes_of(jobs))}{'  (' + problems + ')' if problems else ''}")
        if name in SUITE_REFERENCES:
            if name != "plain" and not failed(job_runs) and not failed(plain):
                ratio = median_run(job_runs, "cpu") / median_run(plain, "cpu")
                print(f"{'':22}(CPU time {ratio:.2f}x plain pytest: the floor of any profile function here)")
            continue
        same = None if plain_outcomes is None else outcomes_of(jobs) == plain_outcomes
        targets.check(f"{label}: outcome counts as plain pytest", bool(same),
                      "same" if same else "different", "same")
        over = None
        if not failed(job_runs) and not failed(plain):
            over = median_run(job_runs, "peak") - median_run(plain, "peak")
        targets.judge(f"{label}: peak over plain pytest", over, SUITE_MEMORY_OVER_PLAIN, "MB")
        ratio = None
        if not failed(job_runs) and not failed(plain):
            ratio = median_run(job_runs, "cpu") / median_run(plain, "cpu")
        targets.judge(f"{label}: CPU time / plain pytest", ratio, SUITE_TIME_RATIO, "")


def outcomes_of(jobs: list) -> dict | None:
    """The outcome counts, if every round gave the same; None otherwise."""
    counts = [job["outcomes"] for job in jobs]
    if not counts or any(count is None or count != counts[0] for count in counts):
        return None
    return counts[0]


def outcomes_text(counts: dict | None) -> str:
    if counts is None:
        return "missing or differing between rounds"
    return ", ".join(f"{count} {outcome}" for outcome, count in sorted(counts.items()))


def print_retention(result: dict, targets: Targets) -> None:
    run = result["run"]
    print()
    print(f"Retention: pytest --vesk over {RETENTION_TESTS:,} trivial tests (max_traces {result['max_traces']}, "
          f"max_bytes {result['max_bytes'] / GiB:g} GiB)")
    print(f"  traces kept {result['kept'] if result['kept'] is not None else '?'}, database "
          f"{result['db'] / MB:.1f} MB, peak {run.peak / MB:.0f} MB, {run.wall:.1f} s"
          + (f"  (failed: {run.problem})" if run.status else ""))
    ok = run.status == 0
    kept = result["kept"] if ok else None
    targets.judge(f"retention: traces kept after {RETENTION_TESTS:,} test traces", kept, result["max_traces"], "",
                  shown=None if kept is None else str(kept))
    newest = result["newest_kept"] if ok else None
    targets.check("retention: the traces kept are the newest", bool(newest), "yes" if newest else "no", "yes")
    targets.judge("retention: database file size", result["db"] if ok else None, result["max_bytes"], "MB")


# --- the rounds -----------------------------------------------------------------------------------


def measure_memory(size: Size, rounds: int, scratch: str, environment: dict, shuffle: random.Random) -> dict:
    results: dict = {}
    jobs = memory_jobs(size, scratch)
    for round_index in range(rounds):
        shuffle.shuffle(jobs)
        for config, events in jobs:
            if config == "vesk-off-raised" and round_index > 0:
                continue  # a minute and gigabytes of disk for one figure: once is enough
            progress(f"memory round {round_index + 1}/{rounds}: {MEMORY_CONFIGS[config][0]}, "
                     f"{events_text(events)} events")
            job = run_memory_job(config, events, scratch, environment)
            report_failure(job["run"])
            results.setdefault((config, events), []).append(job)
    return results


def measure_readers(size: Size, rounds: int, scratch: str, environment: dict, shuffle: random.Random) -> dict:
    results: dict = {"traces": {}}
    projects = {}
    try:
        for records in size.records:
            progress(f"readers: recording a trace of {events_text(records)} records")
            project, run, trace = make_reader_trace(records, scratch, environment)
            projects[records] = project
            report_failure(run)
            if trace is not None:
                results["traces"][records] = {"id": trace.trace_id, "frames": trace.frame_count,
                                              "db": database_bytes(project)}
        jobs = [(command, records) for command in READERS for records in results["traces"]]
        for round_index in range(rounds):
            shuffle.shuffle(jobs)
            for command, records in jobs:
                progress(f"readers round {round_index + 1}/{rounds}: {command}, {events_text(records)} records")
                job = run_reader_job(command, projects[records], results["traces"][records]["id"], environment)
                report_failure(job["run"])
                results.setdefault((command, records), []).append(job)
    finally:
        for project in projects.values():
            shutil.rmtree(project, ignore_errors=True)
    return results


def measure_suite(rounds: int, scratch: str, environment: dict, shuffle: random.Random) -> dict:
    results: dict = {}
    names = list(SUITE_RUNS)
    for round_index in range(rounds):
        shuffle.shuffle(names)
        for name in names:
            progress(f"suite round {round_index + 1}/{rounds}: {SUITE_RUNS[name][0]}")
            job = run_suite_job(name, scratch, environment)
            report_failure(job["run"])
            results.setdefault(name, []).append(job)
    return results


def report_failure(run: Run) -> None:
    if run.status != 0:
        progress(f"  failed (status {run.status}, peak {run.peak / MB:.0f} MB): {run.problem}")


def check_tools() -> str | None:
    import importlib.util

    if not os.access(GNU_TIME, os.X_OK):
        return f"{GNU_TIME} is missing: install the Debian package 'time' (scripts/setup does)"
    if importlib.util.find_spec("vesk") is None:
        return "vesk is not importable: run scripts/setup, or set PYTHONPATH to a development build"
    return None


def run(arguments: argparse.Namespace) -> int:
    problem = check_tools()
    if problem:
        print(problem, file=sys.stderr)
        return 2
    import vesk

    size = SIZES[arguments.size]
    rounds = arguments.rounds or size.rounds
    size = dataclasses.replace(size, rounds=rounds)
    parts = arguments.only or list(PARTS)
    print(f"vesk scale benchmark: size {arguments.size}, {rounds} round(s), {', '.join(parts)}; "
          f"{os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}; vesk from {os.path.dirname(vesk.__file__)}")
    if os.getloadavg()[0] > (os.cpu_count() or 1) / 2:
        print("The machine is busy: expect wide spreads in the times; peak memory is not affected.")
    sys.stdout.flush()
    environment = child_environment(size.suite)
    shuffle = random.Random(arguments.seed)
    targets = Targets()
    started = time.perf_counter()
    scratch = tempfile.mkdtemp(prefix="vesk-scale-")
    failures = []
    try:
        if "memory" in parts:
            results = measure_memory(size, rounds, scratch, environment, shuffle)
            print_memory(results, size, targets)
            failures += [f"memory {config} {events_text(events)}" for (config, events), jobs in results.items()
                         if failed([job["run"] for job in jobs])]
        if "readers" in parts:
            results = measure_readers(size, rounds, scratch, environment, shuffle)
            print_readers(results, size, targets)
            failures += [f"readers {key[0]} {events_text(key[1])}" for key, jobs in results.items()
                         if key != "traces" and failed([job["run"] for job in jobs])]
            failures += [f"readers trace {events_text(r)}" for r in size.records if r not in results["traces"]]
        if "suite" in parts:
            results = measure_suite(rounds, scratch, environment, shuffle)
            print_suite(results, size, targets)
            failures += [f"suite {name}" for name, jobs in results.items() if failed([job["run"] for job in jobs])]
        if "retention" in parts:
            progress(f"retention: pytest --vesk over {RETENTION_TESTS:,} trivial tests")
            result = run_retention(scratch, environment)
            print_retention(result, targets)
            failures += ["retention"] if result["run"].status else []
        sys.stdout.flush()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    targets.print(arguments.size)
    print(f"\n{time.perf_counter() - started:.0f} s in all; load {os.getloadavg()[0]:.1f} at the end.")
    if failures:
        print(f"FAILED runs: {', '.join(failures)}")
        return 1
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=list(SIZES), default="small")
    parser.add_argument("--rounds", type=int, help="rounds of every measurement (default: 1 tiny, 2 small, 3 full)")
    parser.add_argument("--only", type=lambda text: text.split(","), help=f"comma-separated: {', '.join(PARTS)}")
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
