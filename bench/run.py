"""vesk's benchmark suite: per-event overhead of vesk and its peers, memory, saving and start-up.

    python bench/run.py [--size tiny|small|full] [--rounds N] [--instructions]

Every measurement runs in a fresh interpreter (bench/measure.py). A round runs each workload once
under every configuration, in a shuffled order, so that a slow minute on a shared machine spreads
over all configurations instead of hitting one; the figures are medians over the rounds, with the
spread (half the range, relative to the median) beside them. Times are the process's CPU time, which
other processes on the machine disturb less than the wall clock.

Overhead per event is (time with the profiler - time without) / events, where events are the
workload's Python-level calls and returns counted once with a counting profile function (all
threads). `vesk.serialize` and the rest of the host package come from wherever `vesk` is imported
(set PYTHONPATH to use a development build).
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import ITERATIONS, WORKLOADS  # noqa: E402

CONFIGS = {
    "none": "no profiler",
    "floor": "do-nothing floor",
    "vesk": "vesk",
    "vesk-nil": "vesk, nil serialiser",
    "vesk-capped": "vesk, calls past a limit",
    "vesk-light": "vesk lightweight_repr",
    "cprofile": "cProfile",
    "viztracer": "VizTracer",
    "viztracer-args": "VizTracer args+retval",
    "yappi": "yappi",
    "pure": "pure-Python recorder",
    "pure-nil": "pure-Python, nil ser.",
}
OPTIONAL_MODULES = {"viztracer": "viztracer", "viztracer-args": "viztracer", "yappi": "yappi"}
MEMORY_RECORDS = {"tiny": 20_000, "small": 200_000, "full": 1_000_000}
# A million records take half a minute to record, build and save; three runs of that are enough for
# figures that vary far less than event timings.
MEMORY_ROUNDS = {"tiny": 5, "small": 5, "full": 3}
CHECK_ITERATIONS = 20
# What --instructions counts under callgrind (bench/hotspots.py): the engine's own cost per recorded
# event, and what library code costs beside the floor.
INSTRUCTION_CONFIGS = {"user-heavy": ["floor", "vesk-nil", "vesk", "vesk-capped"], "library-heavy": ["floor", "vesk"]}
# Keeps only each function's first call on purpose: its record count is not checked.
PARTIAL_RECORDERS = {"vesk-capped"}
STARTUP_PAIRS = 3


class ChildFailed(Exception):
    pass


def child(*arguments: str) -> dict:
    command = [sys.executable, os.path.join(HERE, "measure.py"), *arguments]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise ChildFailed(f"{' '.join(arguments)} failed ({done.returncode}):\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def progress(text: str) -> None:
    print(text, file=sys.stderr, flush=True)


# --- figures --------------------------------------------------------------------------------------


def median(values: list) -> float | None:
    values = [value for value in values if value is not None]
    return statistics.median(values) if values else None


def spread(values: list) -> float | None:
    """Half the range of `values`, relative to their median."""
    middle = median(values)
    if not values or not middle:
        return None
    return (max(values) - min(values)) / 2 / abs(middle)


def overheads(times: dict, config: str) -> list:
    """Per-round overhead of `config` over no profiler, in seconds; a failed run (None) pairs with nothing."""
    return [with_profiler - without for with_profiler, without in zip(times.get(config, []), times.get("none", []))
            if with_profiler is not None and without is not None]


# --- output ---------------------------------------------------------------------------------------


def print_table(results: dict, workloads: list, configs: list) -> None:
    width = 12
    print()
    print("Overhead per call-or-return event over no profiler, ns (median, ±half-range over rounds)")
    print(f"{'':24}" + "".join(f"{name:>{width}}" for name in workloads))
    counts = results["counts"]
    print(f"{'events':24}" + "".join(f"{counts[name]['events']:>{width},}" for name in workloads))
    print(f"{'  of which vesk records':24}" + "".join(f"{counts[name]['recorded']:>{width},}" for name in workloads))
    base = [median(results["times"][name].get("none", [])) for name in workloads]
    print(f"{'no profiler, ms':24}" + "".join(f"{'-' if b is None else f'{b * 1e3:.1f}':>{width}}" for b in base))
    print("-" * (24 + width * len(workloads)))
    for config in configs:
        if config == "none":
            continue
        cells = []
        for name in workloads:
            values = [o / counts[name]["events"] * 1e9 for o in overheads(results["times"][name], config)]
            if not values:
                cells.append("-")
                continue
            relative = spread(values)
            cells.append(f"{median(values):.0f} ±{relative * 100:.0f}%" if relative is not None else f"{median(values):.0f}")
        print(f"{CONFIGS[config]:24}" + "".join(f"{cell:>{width}}" for cell in cells))


def ratio_lines(results: dict) -> list:
    """(label, value text, target text, met or None) for every target the run can judge."""
    lines = []
    times = results["times"]
    counts = results["counts"]

    def over(workload: str, config: str) -> float | None:
        return median(overheads(times.get(workload, {}), config))

    def judge(label, value, target, at_most):
        bound = f"{'<=' if at_most else '>='} {target}"
        if value is None:
            lines.append((label, "-", bound, None))
            return
        lines.append((label, f"{value:.2f}", bound, value <= target if at_most else value >= target))

    def quotient(a, b):
        return None if a is None or b is None or b <= 0 else a / b

    library_vesk, library_floor = over("library-heavy", "vesk"), over("library-heavy", "floor")
    judge("library-heavy: vesk overhead / floor overhead", quotient(library_vesk, library_floor), 1.10, True)
    user = counts.get("user-heavy")
    engine, floor = over("user-heavy", "vesk-nil"), over("user-heavy", "floor")
    per_recorded = None
    if user and engine is not None and floor is not None:
        per_recorded = quotient(engine / user["recorded"], floor / user["events"])
    judge("user-heavy: engine alone per recorded event / floor per event", per_recorded, 8, True)
    judge("user-heavy: pure-Python (nil ser.) / engine alone", quotient(over("user-heavy", "pure-nil"), engine), 10, False)
    judge("user-heavy: vesk / VizTracer args+retval", quotient(over("user-heavy", "vesk"), over("user-heavy", "viztracer-args")),
          1.0, True)
    instructions = results.get("instructions")
    if instructions:
        user_counts = instructions["user-heavy"]
        judge("instructions: engine alone per recorded event / floor per event",
              quotient(user_counts["vesk-nil"] * user_counts["events"] / user_counts["recorded"],
                       user_counts["floor"]), 4.5, True)
        library_counts = instructions["library-heavy"]
        judge("instructions: library-heavy vesk / floor", quotient(library_counts["vesk"], library_counts["floor"]),
              1.10, True)
    memory = results.get("memory") or []
    judge("memory: buffered records' growth / encoded bytes",
          median([m["growth"] / m["encoded"] for m in memory if m["encoded"]]), 1.15, True)
    judge("memory: build+save / SQLite inserting a blob of that size",
          median([(m["build"] + m["save"]) / m["sqlite_blob"] for m in memory if m["sqlite_blob"]]), 2.0, True)
    startup = results.get("startup")
    if startup:
        delta = median(startup["vesk"]) - median(startup["python"])
        lines.append(("start-up: vesk run - python, empty script", f"{delta * 1e3:.0f} ms", "<= 50 ms", delta <= 0.050))
    return lines


def print_details(results: dict) -> None:
    memory = results.get("memory") or []
    if memory:
        print()
        records = memory[0]["records"]
        encoded = median([m["encoded"] for m in memory])
        print(f"Memory ({records:,} records of the user-heavy workload, vesk as shipped, {len(memory)} runs):")
        print(f"  encoded {encoded / 1e6:.1f} MB ({encoded / records:.0f} B/record), "
              f"process growth {median([m['growth'] for m in memory]) / 1e6:.1f} MB")
        print(f"  build_trace {median([m['build'] for m in memory]) * 1e3:.0f} ms, "
              f"host save_trace_in_sqlite {median([m['save'] for m in memory]) * 1e3:.0f} ms, "
              f"SQLite blob insert {median([m['sqlite_blob'] for m in memory]) * 1e3:.0f} ms")
    instructions = results.get("instructions")
    if instructions:
        print("Instructions per event over no profiler (callgrind: steady under load):")
        for workload, counts in instructions.items():
            shown = ", ".join(f"{CONFIGS[config]} {counts[config]:,.0f}" for config in INSTRUCTION_CONFIGS[workload])
            print(f"  {workload}: {shown}")
    startup = results.get("startup")
    if startup:
        print(f"Start-up (empty script, wall clock, {len(startup['python'])} runs each): python "
              f"{median(startup['python']) * 1e3:.0f} ms, vesk run {median(startup['vesk']) * 1e3:.0f} ms")
    elif results.get("startup_note"):
        print(f"Start-up: {results['startup_note']}")


def print_ratios(results: dict) -> None:
    print()
    print("Targets" + (" (size tiny is a smoke test: its runs are too short to judge any)"
                       if results["size"] == "tiny" else ""))
    for label, value, target, met in ratio_lines(results):
        status = "n/a" if met is None else ("met" if met else "MISSED")
        print(f"  {label:64} {value:>9}   target {target:<9} {status}")


# --- measuring ------------------------------------------------------------------------------------


def vesk_run_available() -> bool:
    done = subprocess.run([sys.executable, "-m", "vesk", "run", "--help"], capture_output=True, text=True)
    return done.returncode == 0


def measure_startup(directory: str, results: dict) -> None:
    script = os.path.join(directory, "empty.py")
    if not os.path.exists(script):
        open(script, "w").close()
    commands = {
        "python": [sys.executable, script],
        "vesk": [sys.executable, "-m", "vesk", "run", "--db", os.path.join(directory, "db.sqlite3"), script],
    }
    # As after an install: the package's modules compiled once and read from their cached bytecode,
    # even where the environment asks the interpreter not to write it.
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONDONTWRITEBYTECODE"}
    from vesk import calibration

    # The first runs in a project measure the recorder's untimed cost, each once: start-up is measured after them.
    for command in commands.values():
        for _ in range(calibration.SAMPLES if command is commands["vesk"] else 1):
            subprocess.run(command, cwd=directory, capture_output=True, env=environment)
    for _ in range(STARTUP_PAIRS):
        for name, command in commands.items():
            started = time.perf_counter()
            done = subprocess.run(command, cwd=directory, capture_output=True, text=True, env=environment)
            elapsed = time.perf_counter() - started
            if done.returncode != 0:
                raise ChildFailed(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr.strip()}")
            results["startup"][name].append(elapsed)


def count_instructions(size: str) -> dict:
    """Instructions per event over no profiler, per workload and configuration (and the counts of
    events and recorded events they are divided by)."""
    import hotspots

    counted = {}
    for workload, configs in INSTRUCTION_CONFIGS.items():
        iterations = max(1, ITERATIONS[size][workload] // 6)
        progress(f"instructions: {workload} under callgrind")
        counts = child("count", workload, str(iterations))
        base = hotspots.instructions(workload, "none", iterations)
        counted[workload] = {"events": counts["events"], "recorded": counts["recorded"]}
        for config in configs:
            counted[workload][config] = (hotspots.instructions(workload, config, iterations) - base) / counts["events"]
    return counted


def run(arguments: argparse.Namespace) -> int:
    # Children run in other directories too (the start-up measurement): a relative entry of the
    # search path would point elsewhere there.
    if os.environ.get("PYTHONPATH"):
        os.environ["PYTHONPATH"] = os.pathsep.join(
            os.path.abspath(entry) for entry in os.environ["PYTHONPATH"].split(os.pathsep) if entry)
    workloads = arguments.workloads or list(WORKLOADS)
    configs = ["none"] + [c for c in (arguments.configs or list(CONFIGS)) if c != "none"]
    missing = sorted({OPTIONAL_MODULES[c] for c in configs if c in OPTIONAL_MODULES
                      and importlib.util.find_spec(OPTIONAL_MODULES[c]) is None})
    if missing:
        progress(f"not installed, skipped: {', '.join(missing)} (pip install -e '.[bench]')")
        configs = [c for c in configs if OPTIONAL_MODULES.get(c) not in missing]
    if importlib.util.find_spec("vesk") is None:
        progress("vesk is not importable: run scripts/setup, or set PYTHONPATH to a development build")
        return 2
    import vesk

    results: dict = {"size": arguments.size, "rounds": arguments.rounds, "counts": {},
                     "times": {name: {} for name in workloads}, "memory": [], "failures": []}
    print(f"vesk benchmark: size {arguments.size}, {arguments.rounds} rounds, process CPU time; "
          f"Python {platform.python_version()}, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.1f}; "
          f"vesk from {os.path.dirname(vesk.__file__)}")

    if os.getloadavg()[0] > (os.cpu_count() or 1) / 2:
        print("The machine is busy: expect wide spreads; more rounds or a quiet machine give steadier figures.")
    started = time.perf_counter()
    try:
        check = child("check", str(CHECK_ITERATIONS))
    except ChildFailed as failure:
        check = {"records": 0, "difference": str(failure)}
    results["check"] = check
    if check["difference"] is None:
        print(f"The pure-Python recorder writes the engine's records ({check['records']} records compared).")
    else:
        print(f"WARNING: the pure-Python recorder's records differ from the engine's: {check['difference']}")
        results["failures"].append("check")

    for name in workloads:
        results["counts"][name] = child("count", name, str(ITERATIONS[arguments.size][name]))

    startup_directory = tempfile.mkdtemp(prefix="vesk-bench-startup-")
    results["startup"] = {"python": [], "vesk": []}
    if arguments.skip_startup:
        results["startup"] = None
    elif not vesk_run_available():
        results["startup"] = None
        results["startup_note"] = "skipped: `python -m vesk run` is not available in this build"

    order = random.Random(arguments.seed)
    for round_index in range(arguments.rounds):
        progress(f"round {round_index + 1}/{arguments.rounds} ({time.perf_counter() - started:.0f} s)")
        for name in workloads:
            iterations = str(ITERATIONS[arguments.size][name])
            shuffled = list(configs)
            order.shuffle(shuffled)
            for config in shuffled:
                try:
                    measured = child("time", name, config, iterations)
                except ChildFailed as failure:
                    progress(str(failure))
                    results["failures"].append(f"{name}/{config}")
                    measured = {"cpu": None, "wall": None}
                # Lists indexed by round, so that each run pairs with the no-profiler run of its round.
                results["times"][name].setdefault(config, []).append(measured["cpu"])
                results["times"][name].setdefault(f"{config}:wall", []).append(measured["wall"])
                # A recorder that keeps fewer records than it should would look fast.
                expected = results["counts"][name]["recorded"]
                if ("records" in measured and config not in PARTIAL_RECORDERS
                        and abs(measured["records"] - expected) > max(5, expected // 100)):
                    progress(f"{name}/{config} kept {measured['records']} records, the counting run expects {expected}")
                    results["failures"].append(f"{name}/{config} records")
        if not arguments.skip_memory and round_index < MEMORY_ROUNDS[arguments.size]:
            try:
                results["memory"].append(child("memory", str(MEMORY_RECORDS[arguments.size])))
            except ChildFailed as failure:
                progress(str(failure))
                results["failures"].append("memory")
        if results["startup"] is not None:
            try:
                measure_startup(startup_directory, results)
            except ChildFailed as failure:
                progress(str(failure))
                results["failures"].append("startup")
                results["startup"] = None

    shutil.rmtree(startup_directory, ignore_errors=True)
    if arguments.instructions:
        results["instructions"] = count_instructions(arguments.size)
    print_table(results, workloads, configs)
    print_details(results)
    print_ratios(results)
    print(f"\n{time.perf_counter() - started:.0f} s in all.")
    if arguments.json:
        with open(arguments.json, "w") as output:
            json.dump(results, output, indent=1)
    if results["failures"]:
        print(f"FAILED: {', '.join(results['failures'])}")
        return 1
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", choices=list(ITERATIONS), default="small")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workloads", type=lambda text: text.split(","), help="comma-separated subset")
    parser.add_argument("--configs", type=lambda text: text.split(","), help="comma-separated subset")
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--skip-startup", action="store_true")
    parser.add_argument("--instructions", action="store_true",
                        help="also count instructions per event under callgrind (a few minutes more)")
    parser.add_argument("--seed", type=int, default=0, help="seed of the configuration order")
    parser.add_argument("--json", help="also write every measurement to this file")
    arguments = parser.parse_args()
    unknown = set(arguments.workloads or ()) - set(WORKLOADS) | set(arguments.configs or ()) - set(CONFIGS)
    if unknown:
        parser.error(f"unknown workload or configuration: {', '.join(sorted(unknown))}")
    if arguments.rounds < 1:
        parser.error("--rounds must be at least 1")
    return run(arguments)


if __name__ == "__main__":
    sys.exit(main())
