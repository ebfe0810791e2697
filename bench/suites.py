"""Public projects' own test suites under vesk, against plain pytest and the interpreter's floor.

    python bench/suites.py [--rounds N] [--only sqlglot,click,...] [--vesk PATH]... [--setup]
                           [--runs plain,floor,pytest-vesk,vesk-run] [--pytest-args "..."] [--json FILE]

Each project's sdist (pinned below) is unpacked under build/suites/ and installed in development mode
into a virtual environment of its own with its test dependencies, so that its code is user code to
vesk, as in a developer's checkout. All of that is cached: only the first run needs the network
(`--setup` does that part alone). The vesk under test is put on PYTHONPATH, a snapshot of its package
and metadata taken at the start; `--vesk PATH` names it (default: the vesk this interpreter imports)
and may be given twice or more to compare builds in one run. PATH is a checkout set up by
scripts/setup (its .venv's installed vesk), a site folder holding `vesk/` and its `vesk-*.dist-info`,
or a wheel.

Every round runs each suite once in every configuration, in a shuffled order: plain pytest; pytest
under a profile function that does nothing (the interpreter's floor, as bench/scale.py measures it);
`pytest --vesk` and `vesk run -m pytest` for each build. Each run has a fresh temporary project
folder of its own for its database (vesk's default configuration: the database keeps the newest 500
traces within 2 GiB; `--keep-all-traces` lifts that to size every test's trace, at the disk it takes),
runs in the project's checkout with the project's own pytest configuration, and is timed by GNU time: CPU is user + system time of the whole process tree.
Printed per suite: CPU seconds (median, spread over the rounds), the ratios over plain pytest and over
the floor (medians of the per-round ratios, with their range), the targets, peak resident size, the
outcome counts, every test whose outcome differs from plain pytest's (tests that vary between plain
rounds are listed apart), and for `pytest --vesk` the database bytes per test trace (median, largest).
"""

from __future__ import annotations

import argparse
import concurrent.futures
import dataclasses
import email.parser
import glob
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import xml.etree.ElementTree as ElementTree
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import scale  # noqa: E402

ROOT = os.path.dirname(HERE)
CACHE = os.path.join(ROOT, "build", "suites")
NO_CONFIG = os.path.join(CACHE, "no-config.ini")
# The developers' own pytest: vesk's plugin is tested against it.
PYTEST = "pytest==9.2.0"


@dataclasses.dataclass(frozen=True)
class Deselection:
    why: str
    keyword: str = ""      # a -k expression of tests to keep
    marker: str = ""       # a -m expression of tests to keep
    node_ids: tuple = ()   # --deselect prefixes
    costly: bool = False   # left out for time only: --whole-suites keeps them


@dataclasses.dataclass(frozen=True)
class Project:
    name: str
    version: str
    kind: str
    test_requirements: tuple = ()
    extras: str = ""
    deselections: tuple = ()
    # Without a pytest configuration of its own, pytest would take the enclosing vesk checkout's.
    own_config: bool = True

    @property
    def key(self) -> str:
        return f"{self.name}-{self.version}"

    def deselected(self, whole: bool) -> list:
        return [deselection for deselection in self.deselections if not (whole and deselection.costly)]


def deselection_arguments(deselections: list) -> list:
    arguments = []
    markers = [deselection.marker for deselection in deselections if deselection.marker]
    keywords = [deselection.keyword for deselection in deselections if deselection.keyword]
    if markers:
        arguments += ["-m", " and ".join(markers)]
    if keywords:
        arguments += ["-k", " and ".join(keywords)]
    for deselection in deselections:
        for node_id in deselection.node_ids:
            arguments += ["--deselect", node_id]
    return arguments


PROJECTS = {
    project.name: project
    for project in (
        Project("sqlglot", "30.31.0", "SQL parser",
                ("duckdb==2.0.1", "pandas==3.1.2", "python-dateutil==4.0.0", "pytz==2026.6",
                 "typing_extensions==4.16.0"),
                deselections=(
                    Deselection("a 2M-character statement: over 80 s and beyond the 3.5 GB address-space cap",
                                node_ids=("tests/test_parser.py::TestParser::test_max_nodes",)),
                    Deselection("the SQL executor and optimizer over TPC-H/TPC-DS: 4/5 of the suite's time",
                                node_ids=("tests/test_executor.py", "tests/test_optimizer.py"), costly=True),
                ),
                own_config=False),
        Project("click", "8.5.1", "CLI toolkit"),
        Project("anyio", "4.16.0", "asyncio library",
                ("blockbuster==1.5.29", "hypothesis==6.170.29", "psutil==7.2.2", "pytest-mock==3.17.0",
                 "pytest-timeout==2.4.0", "trustme==1.2.1", "truststore==0.10.5", "uvloop==0.23.0",
                 "trio==0.35.0"),
                extras="trio",
                deselections=(
                    Deselection("tests that need the Internet", marker="not network"),
                    Deselection("no IPv6 here", keyword="not ipv6 and not dualstack"),
                    Deselection("the trio and uvloop backends' runs of every test: 2/3 of the suite's time",
                                keyword="not trio and not uvloop", costly=True),
                )),
        Project("toolz", "1.2.0", "functional toolkit"),
        Project("jinja2", "3.1.6", "template engine", ("MarkupSafe==3.0.4", "trio==0.35.0")),
    )
}

# The configurations each suite runs in, by name; the references are judged against no target.
RUNS = {
    "plain": "pytest",
    "floor": "do-nothing profile function",
    "pytest-vesk": "pytest --vesk",
    "vesk-run": "vesk run -m pytest",
}
REFERENCES = ("plain", "floor")
TARGETS = {"pytest-vesk": 1.5, "vesk-run": 1.2}  # CPU over the floor, at most
PYTEST_OPTIONS = ["-q", "-p", "no:cacheprovider"]
# With --keep-all-traces: the sizes per test trace then cover the whole suite, not only the newest
# traces within the default retention (500 traces, 2 GiB), at the price of the disk that takes.
KEEP_ALL = "[retention]\nmax_traces = 0\nmax_bytes = 0\n"
TRACE_SIZES = (
    "import json, sys\n"
    "try:\n"
    "    from vesk.storage import open_store\n"
    "    listed = open_store(sys.argv[1]).list_traces()\n"
    "except ImportError:  # a build from before the storage package\n"
    "    from vesk import db\n"
    "    listed = db.list_traces(sys.argv[1])\n"
    "print(json.dumps([[t.label, t.size, t.frame_count] for t in listed]))\n"
)
DEFAULT_TIMEOUT = 3600.0
REWRITE_WARNING = "PytestAssertRewriteWarning"
# What lets `vesk run -m pytest` start where that warning stops it (see stops_at_rewrite_warning).
REWRITE_WORKAROUND = ["-W", f"ignore::pytest.{REWRITE_WARNING}"]


def progress(text: str) -> None:
    print(f"  {text}", file=sys.stderr, flush=True)


def run_checked(command: list, **options) -> None:
    done = subprocess.run(command, capture_output=True, text=True, **options)
    if done.returncode != 0:
        tail = "\n".join((done.stderr or done.stdout).strip().splitlines()[-15:])
        raise SystemExit(f"failed ({done.returncode}): {shlex.join(command)}\n{tail}")


# --- the projects: sdist, checkout, virtual environment (all cached) --------------------------------


@dataclasses.dataclass
class Installed:
    project: Project
    checkout: str
    python: str


def sdist_of(project: Project) -> str:
    directory = os.path.join(CACHE, "sdist")
    found = glob.glob(os.path.join(directory, f"{project.name}-{project.version}.tar.gz"))
    if found:
        return found[0]
    progress(f"{project.key}: downloading the sdist")
    os.makedirs(directory, exist_ok=True)
    run_checked([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--no-binary", ":all:",
                 "-d", directory, f"{project.name}=={project.version}"])
    found = glob.glob(os.path.join(directory, f"{project.name}-{project.version}.tar.gz"))
    if not found:
        raise SystemExit(f"{project.key}: pip download left no {project.name}-{project.version}.tar.gz")
    return found[0]


def checkout_of(project: Project) -> str:
    checkout = os.path.join(CACHE, project.key, "checkout")
    if os.path.isdir(checkout):
        return checkout
    archive = sdist_of(project)
    os.makedirs(os.path.dirname(checkout), exist_ok=True)
    unpacked = tempfile.mkdtemp(prefix="unpack-", dir=os.path.dirname(checkout))
    with tarfile.open(archive) as tar:
        tar.extractall(unpacked, filter="data")
    (top,) = os.listdir(unpacked)
    os.rename(os.path.join(unpacked, top), checkout)
    os.rmdir(unpacked)
    return checkout


def environment_stamp(project: Project) -> dict:
    return {"python": sys.version, "requirements": [PYTEST, *project.test_requirements], "extras": project.extras}


def install(project: Project) -> Installed:
    """The project's checkout and the interpreter of its own virtual environment, made once."""
    checkout = checkout_of(project)
    venv = os.path.join(CACHE, project.key, "venv")
    python = os.path.join(venv, "bin", "python")
    stamp_path = os.path.join(venv, "bench-stamp.json")
    stamp = environment_stamp(project)
    if os.path.exists(stamp_path):
        with open(stamp_path) as handle:
            if json.load(handle) == stamp:
                return Installed(project, checkout, python)
    progress(f"{project.key}: making its virtual environment (pip needs the network this once)")
    shutil.rmtree(venv, ignore_errors=True)
    run_checked([sys.executable, "-m", "venv", venv])
    editable = checkout + (f"[{project.extras}]" if project.extras else "")
    run_checked([python, "-m", "pip", "install", "-q", PYTEST, *project.test_requirements, "-e", editable])
    with open(stamp_path, "w") as handle:
        json.dump(stamp, handle)
    return Installed(project, checkout, python)


def ensure_requirements(installed: Installed, requirements: tuple) -> None:
    """The vesk build's own dependencies in the project's environment (once per set of them)."""
    if not requirements:
        return
    stamp_path = os.path.join(os.path.dirname(os.path.dirname(installed.python)), "bench-vesk-requirements.json")
    done = []
    if os.path.exists(stamp_path):
        with open(stamp_path) as handle:
            done = json.load(handle)
    if sorted(requirements) in done:
        return
    run_checked([installed.python, "-m", "pip", "install", "-q", *requirements])
    with open(stamp_path, "w") as handle:
        json.dump(done + [sorted(requirements)], handle)


# --- the vesk builds under test --------------------------------------------------------------------


@dataclasses.dataclass
class Build:
    label: str
    description: str
    site: str          # a folder holding only vesk and its metadata: what goes on PYTHONPATH
    requirements: tuple


def site_of(path: str | None, scratch: str) -> tuple:
    """(site folder holding vesk, description) for what --vesk names."""
    if path is None:
        import importlib.util

        spec = importlib.util.find_spec("vesk")
        if spec is None or not spec.origin:
            raise SystemExit("vesk is not importable here: run scripts/setup, or give --vesk PATH")
        return os.path.dirname(os.path.dirname(spec.origin)), "the vesk this interpreter imports"
    path = os.path.abspath(path)
    if path.endswith(".whl") and os.path.isfile(path):
        unpacked = tempfile.mkdtemp(prefix="wheel-", dir=scratch)
        with zipfile.ZipFile(path) as wheel:
            wheel.extractall(unpacked)
        return unpacked, f"wheel {os.path.basename(path)}"
    if os.path.isdir(os.path.join(path, "vesk")):
        return path, "site folder"
    version = f"python{sys.version_info.major}.{sys.version_info.minor}"
    site = os.path.join(path, ".venv", "lib", version, "site-packages")
    if os.path.isdir(os.path.join(site, "vesk")):
        return site, checkout_description(path, site)
    raise SystemExit(f"--vesk {path}: neither a wheel, a site folder holding vesk/, nor a checkout whose "
                     f".venv has vesk installed for {version} (run scripts/setup there)")


def checkout_description(checkout: str, site: str) -> str:
    def git(*arguments):
        done = subprocess.run(["git", "-C", checkout, *arguments], capture_output=True, text=True)
        return done.stdout.strip() if done.returncode == 0 else "?"

    text = f"{git('rev-parse', '--abbrev-ref', 'HEAD')} {git('rev-parse', '--short', 'HEAD')}"
    if git("status", "--porcelain", "--untracked-files=no"):
        text += " with uncommitted changes"
    # A checkout changed after its last scripts/setup would be measured as it was then.
    installed = os.path.getmtime(os.path.join(site, "vesk", "__init__.py"))
    sources = [os.path.getmtime(name) for pattern in ("python/vesk/**/*.py", "src/**/*.[ch]pp", "src/**/*.h")
               for name in glob.glob(os.path.join(checkout, pattern), recursive=True)]
    if sources and max(sources) > installed + 1:
        text += " (WARNING: sources newer than its installed vesk: run scripts/setup there)"
    return f"{checkout}: {text}"


def snapshot(label: str, path: str | None, scratch: str) -> Build:
    site, description = site_of(path, scratch)
    metadata = glob.glob(os.path.join(site, "vesk-*.dist-info"))
    if len(metadata) != 1:
        raise SystemExit(f"{site}: expected one vesk-*.dist-info beside vesk/ (pytest finds the plugin "
                         f"through it), found {len(metadata)}")
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if not glob.glob(os.path.join(site, "vesk", "_vesk*" + suffix)):
        raise SystemExit(f"{site}/vesk has no _vesk{suffix}: built for another Python?")
    target = os.path.join(scratch, f"vesk-{label}")
    os.makedirs(target)
    ignore = shutil.ignore_patterns("__pycache__")
    shutil.copytree(os.path.join(site, "vesk"), os.path.join(target, "vesk"), ignore=ignore)
    shutil.copytree(metadata[0], os.path.join(target, os.path.basename(metadata[0])), ignore=ignore)
    with open(os.path.join(metadata[0], "METADATA")) as handle:
        message = email.parser.Parser().parse(handle, headersonly=True)
    requirements = tuple(sorted(requirement for requirement in message.get_all("Requires-Dist") or ()
                                if "extra ==" not in requirement))
    return Build(label, description, target, requirements)


# --- one run ---------------------------------------------------------------------------------------


@dataclasses.dataclass
class Result:
    run: scale.Run
    counts: dict | None        # pytest's summary line
    outcomes: dict | None      # test id -> outcome, from the JUnit report
    database: int = 0
    traces: list | None = None  # [label, bytes, frames] per trace, for pytest --vesk


def pytest_arguments(installed: Installed, whole: bool, extra: list) -> list:
    """What every run of the project gives pytest beyond the configuration's own options."""
    arguments = [*PYTEST_OPTIONS, *deselection_arguments(installed.project.deselected(whole)), *extra]
    if not installed.project.own_config:
        arguments = ["-c", NO_CONFIG, "--rootdir", installed.checkout, *arguments]
    return arguments


def arguments_for(name: str, project_folder: str, junit: str, pytest_options: list) -> list:
    database = os.path.join(project_folder, ".vesk", "db.sqlite3")
    config = os.path.join(project_folder, ".vesk", "config.toml")
    options = [*pytest_options, f"--junitxml={junit}"]
    if name == "plain":
        return ["-m", "pytest", *options]
    if name == "floor":
        return ["-c", scale.DO_NOTHING_PROFILER, *options]
    if name == "pytest-vesk":
        # One word each: pytest finds its configuration file before it knows the plugins' options, so
        # the value of `--vesk-config PATH`, an existing file, would count as the path to test and
        # the project's own configuration would be left out.
        return ["-m", "pytest", "--vesk", f"--vesk-db={database}", f"--vesk-config={config}", *options]
    if name == "vesk-run":
        return ["-m", "vesk", "run", "--db", database, "--config", config, "-m", "pytest", *options]
    raise ValueError(name)


def child_environment(installed: Installed, build: Build) -> dict:
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("PYTHONPATH", "VIRTUAL_ENV", "PYTHONHOME") and not key.startswith("VESK_")}
    environment["PYTHONPATH"] = build.site
    environment["PATH"] = os.path.dirname(installed.python) + os.pathsep + environment.get("PATH", "")
    environment["VIRTUAL_ENV"] = os.path.dirname(os.path.dirname(installed.python))
    # Dict and set orders the same in every run.
    environment["PYTHONHASHSEED"] = "0"
    return environment


def junit_outcomes(path: str) -> dict | None:
    try:
        tree = ElementTree.parse(path)
    except (OSError, ElementTree.ParseError):
        return None
    outcomes = {}
    for case in tree.iter("testcase"):
        test = f"{case.get('classname', '')}::{case.get('name', '')}"
        kinds = set()
        for child in case:
            if child.tag in ("failure", "error"):
                kinds.add("failed" if child.tag == "failure" else "error")
            elif child.tag == "skipped":
                kinds.add("xfailed" if child.get("type") == "pytest.xfail" else "skipped")
        outcome = "+".join(sorted(kinds)) or "passed"
        number, unique = 1, test
        while unique in outcomes:
            number += 1
            unique = f"{test} #{number}"
        outcomes[unique] = outcome
    return outcomes


def trace_sizes(installed: Installed, build: Build, database: str) -> list | None:
    if not os.path.exists(database):
        return []
    done = subprocess.run([installed.python, "-c", TRACE_SIZES, database], capture_output=True, text=True,
                          env=child_environment(installed, build))
    if done.returncode != 0:
        progress(f"cannot list the traces of {database}: {done.stderr.strip().splitlines()[-1:]}")
        return None
    return json.loads(done.stdout)


def run_one(installed: Installed, name: str, build: Build, pytest_options: list, scratch: str,
            timeout: float, keep_all: bool, workarounds: set) -> Result:
    project_folder = tempfile.mkdtemp(prefix=f"{installed.project.name}-{name}-", dir=scratch)
    try:
        os.mkdir(os.path.join(project_folder, ".vesk"))
        with open(os.path.join(project_folder, ".vesk", "config.toml"), "w") as handle:
            handle.write(KEEP_ALL if keep_all else "")
        junit = os.path.join(project_folder, "junit.xml")
        stdout = os.path.join(project_folder, "stdout")
        arguments = arguments_for(name, project_folder, junit, pytest_options)
        if name == "vesk-run" and build.label in workarounds:
            arguments += REWRITE_WORKAROUND
        run = scale.timed(arguments, installed.checkout, child_environment(installed, build), stdout_path=stdout,
                          python=installed.python, scratch=project_folder, timeout=timeout)
        counts = scale.outcome_counts(stdout)
        if counts is None and run.problem is None:
            run.problem = "no pytest summary line"
        result = Result(run, counts, junit_outcomes(junit), scale.database_bytes(project_folder))
        if name == "pytest-vesk":
            result.traces = trace_sizes(installed, build, os.path.join(project_folder, ".vesk", "db.sqlite3"))
        return result
    finally:
        shutil.rmtree(project_folder, ignore_errors=True)


def warm_up(installed: Installed, build: Build, pytest_options: list, scratch: str) -> None:
    """Collection once: bytecode of the project and its tests is then cached for every run alike."""
    folder = tempfile.mkdtemp(prefix="warm-up-", dir=scratch)
    try:
        arguments = ["-m", "pytest", "--collect-only", *pytest_options]
        scale.timed(arguments, installed.checkout, child_environment(installed, build), python=installed.python,
                    scratch=folder, timeout=600)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def stops_at_rewrite_warning(installed: Installed, build: Build, pytest_options: list, scratch: str) -> bool:
    """Whether `vesk run -m pytest` stops before collecting: vesk is imported before pytest marks the
    package of vesk's plugin for assert rewriting, and pytest's warning about that is an error in
    suites that turn warnings into errors."""
    folder = tempfile.mkdtemp(prefix="probe-", dir=scratch)
    try:
        done = subprocess.run([installed.python, "-m", "vesk", "run", "--db", os.path.join(folder, "db.sqlite3"),
                               "-m", "pytest", "--collect-only", *pytest_options], cwd=installed.checkout,
                              env=child_environment(installed, build), capture_output=True, text=True, timeout=600)
        return done.returncode != 0 and REWRITE_WARNING in done.stdout + done.stderr
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# --- figures ---------------------------------------------------------------------------------------


def job_label(name: str, build: Build | None, builds: list) -> str:
    label = RUNS[name]
    return f"{label} [{build.label}]" if build is not None and len(builds) > 1 else label


def jobs_of(builds: list, runs: list) -> list:
    """(run name, build) pairs: the references once, with the first build on the path."""
    jobs = [(name, builds[0]) for name in REFERENCES if name in runs]
    jobs += [(name, build) for build in builds for name in RUNS if name not in REFERENCES and name in runs]
    return jobs


def ok(result: Result) -> bool:
    return result.run.status == 0 or (result.counts is not None and result.run.cpu == result.run.cpu)


def round_ratios(results: dict, key: tuple, reference: tuple) -> list:
    """Per round: CPU of `key` over CPU of `reference` in the same round."""
    pairs = zip(results.get(key, []), results.get(reference, []))
    return [a.run.cpu / b.run.cpu for a, b in pairs if ok(a) and ok(b) and b.run.cpu > 0]


def ratio_text(ratios: list) -> str:
    if not ratios:
        return "-"
    text = f"{statistics.median(ratios):.2f}"
    return text + (f" ({min(ratios):.2f}-{max(ratios):.2f})" if len(ratios) > 1 else "")


def cpu_text(results: list) -> str:
    values = [result.run.cpu for result in results if ok(result)]
    if not values:
        return "failed"
    middle = statistics.median(values)
    spread = (max(values) - min(values)) / 2 / middle if middle else 0
    return f"{middle:.1f} ±{spread:.0%}"


def size_text(value: float | None) -> str:
    if value is None:
        return "-"
    for unit, scale_ in (("GB", 1e9), ("MB", 1e6), ("KB", 1e3)):
        if value >= scale_:
            return f"{value / scale_:.1f} {unit}"
    return f"{value:.0f} B"


def differences(results: dict, key: tuple, plain_key: tuple) -> tuple:
    """(tests whose outcome differs from plain pytest's in some round, tests that vary between plain rounds)."""
    plain = [result.outcomes for result in results.get(plain_key, []) if result.outcomes is not None]
    flaky = set()
    for outcomes in plain[1:]:
        flaky |= {test for test in set(outcomes) | set(plain[0]) if outcomes.get(test) != plain[0].get(test)}
    if not plain:
        return None, flaky
    reference = plain[0]
    differing: dict = {}
    for index, result in enumerate(results.get(key, [])):
        if result.outcomes is None:
            differing.setdefault("(the whole run)", []).append(
                f"round {index + 1}: no JUnit report ({result.run.problem or 'no summary'})")
            continue
        for test in set(result.outcomes) | set(reference):
            if test in flaky or result.outcomes.get(test) == reference.get(test):
                continue
            differing.setdefault(test, []).append(
                f"round {index + 1}: {result.outcomes.get(test, 'not run')} (plain: {reference.get(test, 'not run')})")
    return differing, flaky


def print_project(installed: Installed, results: dict, builds: list, runs: list, targets: scale.Targets,
                  deselections: list, extra: list) -> None:
    project = installed.project
    plain_key = ("plain", builds[0].label)
    plain_counts = next((r.counts for r in results.get(plain_key, []) if r.counts), None)
    tests = sum(plain_counts.values()) - plain_counts.get("deselected", 0) if plain_counts else None
    print()
    print(f"{project.key} ({project.kind}): {tests if tests is not None else '?'} tests")
    for deselection in deselections:
        print(f"  left out{' for time (--whole-suites keeps them)' if deselection.costly else ''}: "
              f"{shlex.join(deselection_arguments([deselection]))}: {deselection.why}")
    if extra:
        print(f"  every run also: pytest {shlex.join(extra)}")
    print(f"  {'':34}{'CPU s':>12}{'x plain':>20}{'x floor':>20}{'target':>9}{'peak MB':>9}  outcomes")
    floor_key = ("floor", builds[0].label)
    for name, build in jobs_of(builds, runs):
        key = (name, build.label)
        jobs = results.get(key, [])
        over_plain = ratio_text(round_ratios(results, key, plain_key)) if name != "plain" else "1.00"
        over_floor_ratios = round_ratios(results, key, floor_key) if name not in REFERENCES else []
        target = TARGETS.get(name)
        peaks = [result.run.peak for result in jobs if ok(result)]
        counts = [result.counts for result in jobs]
        count_text = scale.outcomes_text(counts[0] if counts and all(c == counts[0] for c in counts) else None)
        problems = sorted({result.run.problem for result in jobs if result.run.problem and not ok(result)})
        print(f"  {job_label(name, build, builds):34}{cpu_text(jobs):>12}{over_plain:>20}"
              f"{ratio_text(over_floor_ratios) if name not in REFERENCES else '':>20}"
              f"{'<= ' + format(target, 'g') if target else '':>9}"
              f"{statistics.median(peaks) / scale.MB if peaks else float('nan'):>9.0f}  {count_text}"
              + (f"  ({'; '.join(problems)})" if problems else ""))
        if target:
            value = statistics.median(over_floor_ratios) if over_floor_ratios and all(map(ok, jobs)) else None
            targets.judge(f"{project.name}: {job_label(name, build, builds)} CPU / floor", value, target, "")
    for name, build in jobs_of(builds, runs):
        if name == "plain":
            continue
        key = (name, build.label)
        differing, flaky = differences(results, key, plain_key)
        label = job_label(name, build, builds)
        if name not in REFERENCES:
            targets.check(f"{project.name}: {label} outcomes as plain pytest's", differing == {},
                          "same" if differing == {} else ("?" if differing is None else f"{len(differing)} differ"),
                          "same")
        if differing:
            print(f"  {label}: {len(differing)} test(s) whose outcome differs from plain pytest's:")
            for test in sorted(differing)[:25]:
                print(f"    {test}: {', '.join(differing[test])}")
            if len(differing) > 25:
                print(f"    ... and {len(differing) - 25} more")
    _, flaky = differences(results, ("plain", builds[0].label), plain_key)
    if flaky:
        print(f"  varying between plain rounds, left out of the comparisons: {', '.join(sorted(flaky)[:10])}"
              + (f" and {len(flaky) - 10} more" if len(flaky) > 10 else ""))
    for build in builds:
        jobs = [result for result in results.get(("pytest-vesk", build.label), []) if result.traces]
        if not jobs:
            continue
        medians = [statistics.median(size for _, size, _ in result.traces) for result in jobs]
        largest = max((max(result.traces, key=lambda trace: trace[1]) for result in jobs), key=lambda t: t[1])
        records = [sum(frames for _, _, frames in result.traces) for result in jobs]
        stored = [sum(size for _, size, _ in result.traces) for result in jobs]
        print(f"  {job_label('pytest-vesk', build, builds)}: {len(jobs[0].traces)} test traces kept in the database"
              f"{'' if tests is None else f' (of {tests} tests)'}; bytes per trace "
              f"median {size_text(statistics.median(medians))}, largest {size_text(largest[1])} ({largest[0]}, "
              f"{largest[2]:,} records); {size_text(statistics.median(stored))} in all, "
              f"{statistics.median(stored) / max(1, statistics.median(records)):.0f} B per record; database file "
              f"{size_text(statistics.median(result.database for result in jobs))}")
    if len(builds) > 1:
        for name in RUNS:
            if name in REFERENCES or name not in runs:
                continue
            for build in builds[1:]:
                ratios = round_ratios(results, (name, build.label), (name, builds[0].label))
                print(f"  {RUNS[name]}: [{build.label}] over [{builds[0].label}] CPU {ratio_text(ratios)}")


# --- the rounds ------------------------------------------------------------------------------------


def measure(installed: Installed, options: list, builds: list, runs: list, rounds: int, scratch: str,
            shuffle: random.Random, timeout: float, jobs: int, keep_all: bool, workarounds: set) -> dict:
    """Every round runs the suite in every configuration, in a shuffled order; with `jobs` > 1 that
    many at once (CPU time is per run; a round still ends before the next begins)."""
    results: dict = {}
    for round_index in range(rounds):
        work = jobs_of(builds, runs)
        shuffle.shuffle(work)

        def one(item):
            name, build = item
            label = f"{installed.project.name}, {job_label(name, build, builds)}"
            progress(f"round {round_index + 1}/{rounds}: {label}")
            result = run_one(installed, name, build, options, scratch, timeout, keep_all, workarounds)
            if result.run.status != 0:
                progress(f"  {label}: exit status {result.run.status}: {result.run.problem}; "
                         f"{scale.outcomes_text(result.counts)}")
            return result

        with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
            done = list(pool.map(one, work))
        for (name, build), result in zip(work, done):
            results.setdefault((name, build.label), []).append(result)
    return results


def as_json(results: dict) -> dict:
    return {project: {f"{name} [{label}]": [
        {"status": r.run.status, "cpu": r.run.cpu, "wall": r.run.wall, "peak": r.run.peak, "counts": r.counts,
         "outcomes": r.outcomes, "database": r.database, "traces": r.traces} for r in jobs]
        for (name, label), jobs in by_run.items()} for project, by_run in results.items()}


def run(arguments: argparse.Namespace) -> int:
    if not os.access(scale.GNU_TIME, os.X_OK):
        print(f"{scale.GNU_TIME} is missing: install the Debian package 'time' (scripts/setup does)", file=sys.stderr)
        return 2
    projects = [PROJECTS[name] for name in (arguments.only or PROJECTS)]
    runs = ["plain", *[name for name in (arguments.runs or RUNS) if name != "plain"]]
    extra = shlex.split(arguments.pytest_args or "")
    scratch = tempfile.mkdtemp(prefix="vesk-suites-")
    started = time.perf_counter()
    try:
        labels = "ABCDEFGH"
        builds = [snapshot(labels[index], path, scratch) for index, path in enumerate(arguments.vesk or [None])]
        installed_projects = []
        for project in projects:
            installed = install(project)
            for build in builds:
                ensure_requirements(installed, build.requirements)
            installed_projects.append(installed)
        with open(NO_CONFIG, "w") as handle:
            handle.write("[pytest]\n")
        if arguments.setup:
            print(f"ready: {', '.join(project.key for project in projects)} in {CACHE}")
            return 0
        print(f"vesk suites benchmark: {arguments.rounds} round(s); {os.cpu_count()} CPUs, load "
              f"{os.getloadavg()[0]:.1f}; Python {sys.version.split()[0]}")
        for build in builds:
            print(f"  [{build.label}] {build.description}")
        if os.getloadavg()[0] > (os.cpu_count() or 1) / 2:
            print("The machine is busy: expect wide spreads in the times (the ratios are taken within each round).")
        sys.stdout.flush()
        options = {installed.project.name: pytest_arguments(installed, arguments.whole_suites, extra)
                   for installed in installed_projects}
        targets = scale.Targets()
        shuffle = random.Random(arguments.seed)
        results = {}
        for installed in installed_projects:
            name = installed.project.name
            progress(f"{name}: collecting once (bytecode caches)")
            warm_up(installed, builds[0], options[name], scratch)
            workarounds = set()
            if "vesk-run" in runs:
                workarounds = {build.label for build in builds
                               if stops_at_rewrite_warning(installed, build, options[name], scratch)}
            results[name] = measure(installed, options[name], builds, runs, arguments.rounds, scratch, shuffle,
                                    arguments.timeout, arguments.jobs, arguments.keep_all_traces, workarounds)
            print_project(installed, results[name], builds, runs, targets,
                          installed.project.deselected(arguments.whole_suites), extra)
            for label in sorted(workarounds):
                print(f"  {job_label('vesk-run', next(b for b in builds if b.label == label), builds)}: pytest "
                      f"stops before collecting with a {REWRITE_WARNING} about the vesk package, an error under "
                      f"this suite's filterwarnings; measured with {shlex.join(REWRITE_WORKAROUND)}")
            sys.stdout.flush()
        targets.print("")
        if arguments.json:
            with open(arguments.json, "w") as handle:
                json.dump(as_json(results), handle)
        print(f"\n{time.perf_counter() - started:.0f} s in all; load {os.getloadavg()[0]:.1f} at the end.")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", type=lambda text: text.split(","), help=f"comma-separated: {', '.join(PROJECTS)}")
    parser.add_argument("--vesk", action="append", metavar="PATH",
                        help="a vesk build: a checkout set up by scripts/setup, a site folder or a wheel (repeatable)")
    parser.add_argument("--runs", type=lambda text: text.split(","),
                        help=f"comma-separated subset of {', '.join(RUNS)} (plain always runs)")
    parser.add_argument("--pytest-args", help="more pytest arguments for every run, e.g. a test file to narrow a suite")
    parser.add_argument("--whole-suites", action="store_true", help="keep the tests left out for time only")
    parser.add_argument("--keep-all-traces", action="store_true",
                        help="no retention limit in the runs: trace sizes over the whole suite (disk!)")
    parser.add_argument("--jobs", type=int, default=1, help="runs at once (each is timed on its own)")
    parser.add_argument("--setup", action="store_true", help="download and install the projects, then stop")
    parser.add_argument("--json", metavar="FILE", help="also write every run's figures and outcomes to FILE")
    parser.add_argument("--seed", type=int, default=0, help="seed of the order within a round")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, help="seconds before a run is killed")
    arguments = parser.parse_args()
    unknown = set(arguments.only or ()) - set(PROJECTS)
    unknown |= {f"run {name}" for name in arguments.runs or () if name not in RUNS}
    if unknown:
        parser.error(f"unknown: {', '.join(sorted(unknown))}")
    if arguments.rounds < 1:
        parser.error("--rounds must be at least 1")
    return run(arguments)


if __name__ == "__main__":
    sys.exit(main())
