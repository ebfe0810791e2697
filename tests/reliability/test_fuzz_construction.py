"""Fuzzing the construction surface (programs/fuzz_construction.py) in a child interpreter, so that a
crash fails this test with the example that caused it instead of ending the test run."""

import json

import pytest

from harness import SANITIZED, figures, run_program, scaled

pytestmark = pytest.mark.reliability

EXAMPLES = scaled(2000, 200)
# The replay constructs 40,000 profilers: 25 bytes left behind by each would exceed this.
REPLAY_GROWTH_BOUND_KIB = 1024


def test_construction_from_arbitrary_hosts_configs_and_plugins(tmp_path, figures):
    last_example = tmp_path / "last_example.txt"
    done = run_program("fuzz_construction.py", EXAMPLES, last_example, timeout=240)
    if done.returncode != 0:
        example = last_example.read_text() if last_example.exists() else "(none)"
        pytest.fail(f"exit {done.returncode}; last example: {example}\n{done.stdout}\n{done.stderr}")
    summary = json.loads(done.stdout.splitlines()[-1])
    figures(examples=summary["examples"], built=summary["built"], refused=summary["refused"],
            seconds=summary["fuzz_seconds"], replayed=summary["replayed"],
            replay_growth_kib=summary["replay_growth_kib"], seed=summary["seed"])
    assert summary["examples"] == EXAMPLES
    # Both outcomes were reached often enough to mean something.
    assert summary["built"] >= EXAMPLES // 20 and summary["refused"] >= EXAMPLES // 2
    if not SANITIZED:
        assert summary["replay_growth_kib"] < REPLAY_GROWTH_BOUND_KIB
