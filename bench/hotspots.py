"""Where the engine spends its time, and instruction counts that a busy machine cannot disturb.

    python bench/hotspots.py perf WORKLOAD CONFIG [--iterations N]
        perf record of one run (bench/measure.py), then each function's share of the samples taken
        inside the engine's event handler: inclusive and self, largest first.
    python bench/hotspots.py instructions WORKLOAD CONFIG... [--iterations N]
        instructions per call-or-return event over no profiler, under callgrind: each configuration
        runs N and 2N iterations and the difference is taken, so start-up cancels out. Deterministic
        up to a fraction of a percent, which the CPU-time figures of bench/run.py are not on a shared
        machine; but blind to system-call and page-fault time.

WORKLOAD and CONFIG are the names bench/run.py uses (e.g. user-heavy vesk-nil). Needs perf or
valgrind on the PATH; the engine should be built with debug information (-g) for readable names.
"""

from __future__ import annotations

import argparse
import collections
import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import ITERATIONS  # noqa: E402

MEASURE = os.path.join(HERE, "measure.py")
ROOT = "vesk::profiler::Profiler::profile"


def perf_shares(workload: str, config: str, iterations: int, limit: float) -> None:
    with tempfile.TemporaryDirectory(prefix="vesk-hotspots-") as directory:
        data = os.path.join(directory, "perf.data")
        subprocess.run(["perf", "record", "-q", "-F", "1999", "--call-graph", "dwarf,16384", "-o", data,
                        sys.executable, MEASURE, "time", workload, config, str(iterations)],
                       check=True, stdout=subprocess.DEVNULL)
        script = subprocess.run(["perf", "script", "-i", data, "-F", "ip,sym"], check=True,
                                capture_output=True, text=True).stdout
    inclusive, own = collections.Counter(), collections.Counter()
    total = inside = 0
    for sample in filter(str.strip, script.split("\n\n")):
        frames = [re.sub(r"\+0x[0-9a-f]+$", "", (line.split(None, 1) + ["?"])[1].strip())
                  for line in sample.strip().splitlines()]
        total += 1
        depth = next((i for i, name in enumerate(frames) if name.startswith(ROOT)), None)
        if depth is None:
            continue
        inside += 1
        own[frames[0]] += 1
        for name in set(frames[:depth + 1]):
            inclusive[name] += 1
    if not inside:
        raise SystemExit(f"no samples inside {ROOT}: is this configuration one of vesk's?")
    print(f"{inside} of {total} samples inside {ROOT} ({inside / total:.0%}); shares of those:")
    print(f"{'incl':>7} {'self':>6}  function")
    for name, count in inclusive.most_common():
        if count / inside * 100 < limit:
            break
        if "(inlined)" in name:
            continue
        print(f"{count / inside:7.1%} {own[name] / inside:6.1%}  {name[:110]}")


def collected(command: list, environment: dict | None = None, cwd: str | None = None) -> int:
    """Instructions the whole of `command` executes, under callgrind."""
    # A fixed hash seed: string hashes decide dict layouts and with them instruction counts.
    environment = dict(os.environ if environment is None else environment, PYTHONHASHSEED="0")
    done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", *command],
                          check=True, capture_output=True, text=True, env=environment, cwd=cwd)
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def instructions(workload: str, config: str, iterations: int, environment: dict | None = None) -> int:
    def run(count: int) -> int:
        return collected([sys.executable, MEASURE, "cost", workload, config, str(count)], environment)

    return run(2 * iterations) - run(iterations)


def instruction_table(workload: str, configs: list, iterations: int) -> None:
    counted = subprocess.run([sys.executable, MEASURE, "count", workload, str(iterations)], check=True,
                             capture_output=True, text=True)
    events = json.loads(counted.stdout)["events"]
    base = instructions(workload, "none", iterations)
    print(f"{workload}, {iterations} iterations, {events:,} events; no profiler {base / events:.0f} instructions/event")
    floor = None
    for config in [c for c in configs if c != "none"]:
        extra = (instructions(workload, config, iterations) - base) / events
        if config == "floor":
            floor = extra
        relative = f"   {extra / floor:.3f} x floor" if floor and config != "floor" else ""
        print(f"  {config:16} {extra:9.0f} instructions/event over no profiler{relative}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("mode", choices=["perf", "instructions"])
    parser.add_argument("workload")
    parser.add_argument("configs", nargs="+")
    parser.add_argument("--iterations", type=int,
                        help="default: five times bench/run.py's small size (perf), a sixth of it (instructions)")
    parser.add_argument("--limit", type=float, default=1.0, help="smallest inclusive share shown, percent")
    arguments = parser.parse_args()
    if arguments.mode == "perf":
        for config in arguments.configs:
            iterations = arguments.iterations or 5 * ITERATIONS["small"][arguments.workload]
            perf_shares(arguments.workload, config, iterations, arguments.limit)
    else:
        # Put the floor first: the other configurations are compared with it.
        configs = sorted(arguments.configs, key=lambda name: name != "floor")
        instruction_table(arguments.workload, configs, arguments.iterations or ITERATIONS["small"][arguments.workload] // 6)


if __name__ == "__main__":
    main()
