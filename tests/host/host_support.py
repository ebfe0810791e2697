"""Helpers for the host package's tests: running `vesk` in a subprocess against a temporary project."""

from __future__ import annotations

import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path
from types import SimpleNamespace

import pytest

ENGINE_AVAILABLE = importlib.util.find_spec("vesk._vesk") is not None

needs_engine = pytest.mark.skipif(not ENGINE_AVAILABLE, reason="vesk._vesk is not built")


def _pythonpath() -> str:
    # The subprocess must import the same vesk as this test run. Not resolved: in a dev build the
    # package directory holds links to the sources beside the built engine.
    import vesk

    site = str(Path(vesk.__file__).parent.parent)
    parts = [site] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return os.pathsep.join(dict.fromkeys(parts))


# What tells vesk it runs in a CI job: the tests' children run as outside one unless a test says.
_CI_MARKERS = ("CI", "GITHUB_ACTIONS", "GITLAB_CI", "BUILDKITE", "CIRCLECI", "JENKINS_URL", "TF_BUILD")


def subprocess_env(**extra: str) -> dict[str, str]:
    env = {name: value for name, value in os.environ.items() if name not in _CI_MARKERS}
    env["PYTHONPATH"] = _pythonpath()
    env.pop("PYTHONSAFEPATH", None)
    env.update(extra)
    return env


class Project:
    """A temporary project directory in which `vesk` runs."""

    def __init__(self, root: Path) -> None:
        self.root = root

    @property
    def db(self) -> Path:
        return self.root / ".vesk" / "db.sqlite3"

    def write(self, name: str, text: str) -> Path:
        path = self.root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
        return path

    def run(self, *args: str, check: bool | None = None, timeout: float = 120, **env: str):
        done = subprocess.run(
            [sys.executable, "-m", "vesk", *args],
            cwd=self.root,
            env=subprocess_env(**env),
            capture_output=True,
            text=True,
            timeout=timeout,
        )
        if check and done.returncode != 0:
            raise AssertionError(f"vesk {args} failed ({done.returncode}):\n{done.stdout}\n{done.stderr}")
        return done

    def python(self, *args: str, timeout: float = 120, **env: str):
        return subprocess.run(
            [sys.executable, *args],
            cwd=self.root,
            env=subprocess_env(**env),
            capture_output=True,
            text=True,
            timeout=timeout,
        )


@pytest.fixture
def project(tmp_path: Path) -> Project:
    root = tmp_path / "project"
    root.mkdir()
    return Project(root)


def load_trace(db_path, trace_id: str) -> SimpleNamespace:
    """The trace's summary and its documents decoded, in save order: for the small traces of tests."""
    from vesk import serialize
    from vesk.storage import open_store

    store = open_store(str(db_path))
    documents = [serialize.loads(document) for document in store.iter_documents(trace_id)]
    return SimpleNamespace(summary=store.trace_summary(trace_id), documents=documents)


def records(document: dict) -> list:
    """Every record of a decoded document: the main buffer first, then each thread's."""
    found = list(document.get("frames_of_interest") or [])
    for thread_records in (document.get("frames") or {}).values():
        found.extend(thread_records)
    return found


def assert_one_error_line(done, *fragments: str) -> None:
    """A bad input: non-zero status and exactly one line on stderr, naming what is wrong."""
    assert done.returncode != 0, done.stderr
    lines = [line for line in done.stderr.splitlines() if line.strip()]
    assert len(lines) == 1, done.stderr
    assert lines[0].startswith("vesk: error: "), lines[0]
    assert "Traceback" not in done.stderr
    for fragment in fragments:
        assert fragment in lines[0], lines[0]


@pytest.fixture(scope="module")
def browser():
    """Headless Chromium through its driver, for the viewer's pages."""
    import shutil

    if not (shutil.which("chromium") and shutil.which("chromedriver")):
        pytest.skip("chromium and chromium-driver are not installed (apt-get install chromium chromium-driver)")
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (the test extra)")
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,1000"):
        options.add_argument(argument)
    # Not the sanitizer runtimes the test run may have preloaded: they are for the engine, and abort
    # the browser.
    environment = {key: value for key, value in os.environ.items() if key not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    service = webdriver.ChromeService(shutil.which("chromedriver"), env=environment)
    driver = webdriver.Chrome(options=options, service=service)
    yield driver
    driver.quit()


def visit(browser, server, path: str, selector: str):
    """Opens a page of the viewer and waits for `selector`; returns a finder of elements by CSS."""
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get(server.url.rstrip("/") + path)
    WebDriverWait(browser, 60).until(expected_conditions.presence_of_element_located((By.CSS_SELECTOR, selector)))
    return lambda css: browser.find_elements(By.CSS_SELECTOR, css)
