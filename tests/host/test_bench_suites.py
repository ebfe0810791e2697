"""bench/suites.py reads each test's outcome from pytest's JUnit report and lists those that differ
from plain pytest's: a fault there would report a changed suite as unchanged."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))

import scale  # noqa: E402
import suites  # noqa: E402

TESTS = """
import pytest

@pytest.fixture
def broken():
    raise RuntimeError("setup")

def test_passes():
    pass

def test_fails():
    assert False

def test_skipped():
    pytest.skip("no")

@pytest.mark.xfail
def test_expected_failure():
    assert False

def test_setup_error(broken):
    pass

@pytest.mark.parametrize("n", [1, 2])
def test_numbered(n):
    assert n == 1
"""


def test_outcomes_from_a_real_report_and_the_differences(tmp_path):
    (tmp_path / "test_sample.py").write_text(TESTS)
    report = tmp_path / "junit.xml"
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", f"--junitxml={report}",
                    "test_sample.py"], cwd=tmp_path, capture_output=True)
    outcomes = suites.junit_outcomes(str(report))
    assert outcomes == {
        "test_sample::test_passes": "passed",
        "test_sample::test_fails": "failed",
        "test_sample::test_skipped": "skipped",
        "test_sample::test_expected_failure": "xfailed",
        "test_sample::test_setup_error": "error",
        "test_sample::test_numbered[1]": "passed",
        "test_sample::test_numbered[2]": "failed",
    }

    def result(changes):
        return suites.Result(scale.Run(0, 0, 1.0, 1.0), {}, dict(outcomes, **changes))

    results = {
        ("plain", "A"): [result({}), result({"test_sample::test_passes": "failed"})],  # varies: left out
        ("pytest-vesk", "A"): [result({"test_sample::test_passes": "failed"}),
                               result({"test_sample::test_numbered[1]": "failed"})],
    }
    differing, flaky = suites.differences(results, ("pytest-vesk", "A"), ("plain", "A"))
    assert flaky == {"test_sample::test_passes"}
    assert differing == {"test_sample::test_numbered[1]": ["round 2: failed (plain: passed)"]}

