"""Hostile test suites: each session runs with plain pytest and with vesk, and must end the same
(outcomes, exit status), with the count of test traces vesk prints being the count stored."""

from __future__ import annotations

import re
import sys
import textwrap

import pytest
from hostile_support import NEVER_PRINTED, run, traces

TESTS = """
    import sys
    def helper():
        return 1
    def test_a():
        assert helper() == 1
    def test_b():
        sys.setprofile(None)
        assert helper() == 1
    def test_c():
        assert helper() == 2
    def test_d():
        helper()
"""
STRICT_WARNINGS = '[tool.pytest.ini_options]\nfilterwarnings = ["error"]\n'
# A project whose conftest replaces a module of vesk's: a session without --vesk must not notice.
REPLACED_PLUGINS = "import sys, types\nsys.modules['vesk.plugins'] = types.ModuleType('vesk.plugins')\n"

# (id, vesk's command line, project files beyond the tests, tests stored)
SESSIONS = [
    ("plain-plugin-idle", ["-m", "pytest"], {"conftest.py": REPLACED_PLUGINS}, 0),
    ("pytest-vesk", ["-m", "pytest", "--vesk"], {}, 4),
    ("pytest-vesk-strict-warnings", ["-m", "pytest", "--vesk"], {"pyproject.toml": STRICT_WARNINGS}, 4),
    ("vesk-run-strict-warnings", ["-m", "vesk", "run", "-m", "pytest"], {"pyproject.toml": STRICT_WARNINGS}, 1),
    ("vesk-run-plugin-named", ["-m", "vesk", "run", "-m", "pytest", "-p", "no:vesk", "-p", "vesk.pytest_plugin"],
     {"pyproject.toml": STRICT_WARNINGS}, 1),
    ("xdist", ["-m", "pytest", "--vesk", "-n", "2"], {}, 4),
    ("retention", ["-m", "pytest", "--vesk"], {".vesk/config.toml": "[retention]\nmax_traces = 2\n"}, 2),
]


def _outcomes(output: str) -> str:
    return re.findall(r"\d+ (?:passed|failed|error)", output)


@pytest.mark.parametrize("name, command, files, stored", SESSIONS, ids=[case[0] for case in SESSIONS])
def test_session_ends_as_under_plain_pytest_and_counts_what_it_stored(tmp_path, name, command, files, stored):
    for path, text in {"test_things.py": TESTS, **files}.items():
        (tmp_path / path).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / path).write_text(textwrap.dedent(text))
    plain = run(tmp_path, [sys.executable, "-m", "pytest", "-p", "no:cacheprovider"])
    recorded = run(tmp_path, [sys.executable, *command, "-p", "no:cacheprovider"])
    assert recorded.status == plain.status == 1, recorded.stdout[-2000:]
    assert _outcomes(recorded.stdout) == _outcomes(plain.stdout) == ["3 passed", "1 failed"] or \
        _outcomes(recorded.stdout) == _outcomes(plain.stdout) == ["1 failed", "3 passed"], recorded.stdout[-2000:]
    assert not any(text in recorded.stdout + recorded.stderr for text in NEVER_PRINTED)
    assert len(traces(tmp_path)) == stored if stored else not (tmp_path / ".vesk").exists()
    if "--vesk" in command:
        said = re.search(r"vesk: (\d+) test traces saved", recorded.stdout)
        assert said and int(said.group(1)) == 4, recorded.stdout[-2000:]
        assert ("keeps the newest 2" in recorded.stdout) == (name == "retention")


@pytest.mark.parametrize("form", ["joined", "separate"])
def test_a_config_file_outside_the_project_keeps_the_projects_own_ini(tmp_path, form):
    # pytest finds its ini file before vesk's options exist: the separate form can only be warned of.
    project, elsewhere = tmp_path / "project", tmp_path / "elsewhere"
    (project / "tests").mkdir(parents=True)
    elsewhere.mkdir()
    (project / "pyproject.toml").write_text('[tool.pytest.ini_options]\ntestpaths = ["tests"]\nmarkers = ["slow"]\n')
    (project / "tests" / "test_marked.py").write_text("import pytest\n@pytest.mark.slow\ndef test_a():\n    pass\n")
    (elsewhere / "vesk.toml").write_text("[limits]\ncalls_per_function = 5\n")
    option = ["--vesk-config=../elsewhere/vesk.toml"] if form == "joined" else ["--vesk-config", "../elsewhere/vesk.toml"]
    done = run(project, [sys.executable, "-m", "pytest", "--vesk", *option, "--strict-markers", "-p", "no:cacheprovider"])
    warned = [line for line in done.stderr.splitlines() if line.startswith("vesk: warning:")]
    if form == "joined":
        assert (done.status, warned) == (0, []), done.stdout[-2000:]
        assert "configfile: pyproject.toml" in done.stdout and len(traces(project)) == 1
    else:
        assert len(warned) == 1 and "write --vesk-config=../elsewhere/vesk.toml" in warned[0], done.stderr
