"""vesk on every interpreter the machine has: the per-version table.

    python bench/versions.py [--size tiny|small|full] [--rounds N] [--python PATH ...]
                             [--pythonpath X.Y=PATH ...]

For each interpreter (by default the project's .venv, .venv-3.12 and .venv-3.13 where they exist,
each importing the vesk installed in it; `--pythonpath 3.12=build/NAME/site` points one at a
development build) it times the library-heavy and user-heavy workloads with no profiler and with
vesk, and on 3.12 and later also with vesk made to use the profile function instead of
sys.monitoring. Rounds interleave every interpreter and configuration in a shuffled order; figures are
medians of CPU time (bench/measure.py in a fresh process each time).

Targets: on 3.12 and later, library-heavy work under vesk within 1.05x of no profiler at all, and
user-heavy recorded events no slower than on 3.11.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

from workloads import ITERATIONS  # noqa: E402

WORKLOADS = ("library-heavy", "user-heavy")
# config name -> (measure.py config, extra environment)
CONFIGS = {
    "none": ("none", {}),
    "vesk": ("vesk", {}),
    "vesk, profile function": ("vesk", {"VESK_PROFILE_FUNCTION": "1"}),
}


def default_pythons() -> list[str]:
    found = []
    for venv in (".venv", ".venv-3.12", ".venv-3.13"):
        python = os.path.join(ROOT, venv, "bin", "python")
        if os.path.exists(python):
            found.append(python)
    return found


def version_of(python: str) -> str:
    done = subprocess.run([python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
                          capture_output=True, text=True, check=True)
    return done.stdout.strip()


PYTHONPATHS: dict = {}


def measure(python: str, version: str, *arguments: str, extra_env: dict | None = None) -> dict:
    env = dict(os.environ, **(extra_env or {}))
    path = PYTHONPATHS.get(version)
    if path:
        env["PYTHONPATH"] = path
    else:
        env.pop("PYTHONPATH", None)
    done = subprocess.run([python, os.path.join(HERE, "measure.py"), *arguments], capture_output=True, text=True,
                          env=env)
    if done.returncode != 0:
        raise SystemExit(f"{version} {' '.join(arguments)} failed:\n{done.stderr.strip()}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def configs_for(version: str) -> list[str]:
    monitoring = tuple(map(int, version.split("."))) >= (3, 12)
    return [name for name in CONFIGS if monitoring or name != "vesk, profile function"]


def run(arguments: argparse.Namespace) -> None:
    PYTHONPATHS.update(entry.split("=", 1) for entry in arguments.pythonpath or [])
    pythons = arguments.python or default_pythons()
    versions = {python: version_of(python) for python in pythons}
    iterations = ITERATIONS[arguments.size]
    counts = {}
    for python, version in versions.items():
        for workload in WORKLOADS:
            counts[version, workload] = measure(python, version, "count", workload, str(iterations[workload]))
    times: dict = {}
    jobs = [(python, version, workload, config) for python, version in versions.items() for workload in WORKLOADS
            for config in configs_for(version)]
    for round_number in range(arguments.rounds):
        print(f"round {round_number + 1} of {arguments.rounds}", file=sys.stderr, flush=True)
        random.shuffle(jobs)
        for python, version, workload, config in jobs:
            measured, extra_env = CONFIGS[config]
            result = measure(python, version, "cost", workload, measured, str(iterations[workload]), extra_env=extra_env)
            times.setdefault((version, workload, config), []).append(result["cpu"])
    print_table(versions.values(), counts, times)


def print_table(versions, counts: dict, times: dict) -> None:
    median = {key: statistics.median(values) for key, values in times.items()}
    print()
    print("Per interpreter (medians of CPU time)")
    header = f"{'':8}{'library-heavy':>24}{'user-heavy, ns per recorded event':>38}"
    print(header)
    print(f"{'Python':8}{'vesk / none':>14}{'prof. fn':>10}{'vesk':>14}{'prof. fn':>12}{'vs 3.11':>12}")
    baseline = None
    for version in versions:
        library = median[version, "library-heavy", "vesk"] / median[version, "library-heavy", "none"]
        recorded = counts[version, "user-heavy"]["recorded"]
        user = (median[version, "user-heavy", "vesk"] - median[version, "user-heavy", "none"]) / recorded * 1e9
        if version == "3.11":
            baseline = user
        profile_key = (version, "library-heavy", "vesk, profile function")
        library_pf = f"{median[profile_key] / median[version, 'library-heavy', 'none']:.2f}x" if profile_key in median else "-"
        user_pf_key = (version, "user-heavy", "vesk, profile function")
        user_pf = (f"{(median[user_pf_key] - median[version, 'user-heavy', 'none']) / recorded * 1e9:.0f}"
                   if user_pf_key in median else "-")
        versus = f"{user / baseline:.2f}x" if baseline else "-"
        print(f"{version:8}{library:>13.2f}x{library_pf:>10}{user:>14.0f}{user_pf:>12}{versus:>12}")
    print()
    print("Targets on 3.12+: library-heavy vesk / none <= 1.05x; user-heavy per recorded event <= 3.11's (<= 1.00x).")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", choices=sorted(ITERATIONS), default="small")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--python", action="append", help="an interpreter to measure (repeatable)")
    parser.add_argument("--pythonpath", action="append", metavar="X.Y=PATH",
                        help="PYTHONPATH for one version's runs, e.g. a development build (repeatable)")
    run(parser.parse_args())


if __name__ == "__main__":
    main()
