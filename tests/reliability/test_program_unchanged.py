"""A recorded program behaves as it does unrecorded: a real test suite (part of the interpreter's own,
pure Python, with failures of its own when run under pytest) gives the same outcome for every test
under `vesk run -m pytest` as under plain pytest. Its files are included in the recording explicitly,
since library files are not recorded by default."""

import collections
import importlib.util
import os
import pathlib
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from harness import SANITIZED, figures

pytestmark = pytest.mark.reliability

SUITES = ["test_textwrap", "test_fractions", "test_pprint", "test_shlex", "test_string", "test_heapq",
          "test_bisect", "test_enum"]
if SANITIZED:
    SUITES = SUITES[:3]


def suite_files():
    spec = importlib.util.find_spec("test")
    if spec is None or spec.origin is None:
        pytest.skip("this interpreter was installed without its test suite")
    directory = pathlib.Path(spec.origin).parent
    files = [directory / f"{name}.py" for name in SUITES if (directory / f"{name}.py").exists()]
    if len(files) < len(SUITES) // 2:
        pytest.skip(f"too few of {SUITES} in {directory}")
    return directory, files


def outcomes(junit_xml):
    """Outcome of every test case in a JUnit XML report, counted per (test, outcome)."""
    counted = collections.Counter()
    for case in ElementTree.parse(junit_xml).getroot().iter("testcase"):
        kinds = {child.tag for child in case} & {"failure", "error", "skipped"}
        outcome = kinds.pop() if kinds else "passed"
        counted[(case.get("classname"), case.get("name"), outcome)] += 1
    return counted


def summary(output):
    """pytest's last line as outcome counts: "45 failed, 874 passed, 2 warnings in 8.45s" -> the counts.
    Warnings are not outcomes: the recorder's repr() of a frame's locals may itself warn."""
    last = output.strip().splitlines()[-1]
    counts = re.sub(r" in [\d.]+s.*$", "", last.strip("= "))
    return re.sub(r", \d+ warnings?", "", counts)


def test_a_test_suite_gives_the_same_outcomes_when_recorded(tmp_path, figures):
    directory, files = suite_files()
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    pytest_arguments = ["-m", "pytest", "-q", "-p", "no:cacheprovider", *map(str, files)]
    plain = subprocess.Popen([sys.executable, *pytest_arguments, f"--junitxml={tmp_path / 'plain.xml'}"],
                             cwd=tmp_path, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True)
    recorded = subprocess.Popen(
        [sys.executable, "-m", "vesk", "run", "--db", str(tmp_path / "traces.sqlite3"),
         "--include", f"{directory}{os.sep}", *pytest_arguments, f"--junitxml={tmp_path / 'recorded.xml'}"],
        cwd=tmp_path, env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        plain_output, _ = plain.communicate(timeout=240)
        recorded_output, _ = recorded.communicate(timeout=240)
    finally:
        for process in (plain, recorded):
            if process.poll() is None:
                process.kill()
    assert recorded.returncode == plain.returncode, recorded_output
    assert summary(recorded_output.split("\nvesk: ")[0]) == summary(plain_output)
    plain_outcomes, recorded_outcomes = outcomes(tmp_path / "plain.xml"), outcomes(tmp_path / "recorded.xml")
    assert recorded_outcomes == plain_outcomes
    frame_records = int(re.search(r"(\d+) frame records", recorded_output).group(1))
    tests = sum(plain_outcomes.values())
    assert frame_records > 2 * tests  # the suite's own code was recorded, not just pytest's start
    figures(tests=tests, outcome=summary(plain_output), frame_records=frame_records)
