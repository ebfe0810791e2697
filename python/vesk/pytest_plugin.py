"""`pytest --vesk`: one trace per test.

Recording is on while pytest runs the tests (collection and the closing summary, which no trace
would keep, run unrecorded); around each test the hooks below call `vesk_start_test` and
`vesk_end_test`. The built-in "pytest" plugin turns those two calls into "start_test" and
"end_test" records, on which the engine starts a fresh trace (dropping whatever was recorded
between tests) and saves the finished one. A test's trace therefore holds its
setup, call and teardown, and knows the test's node id.

This file is one the engine never records, so the hooks themselves stay out of the traces.
"""

from __future__ import annotations

import time

import pytest

from vesk import utils

_RECORDER = pytest.StashKey()
_OUTCOME = pytest.StashKey()
_ERROR = pytest.StashKey()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("vesk", "recording tests with vesk")
    group.addoption("--vesk", action="store_true", default=False, help="record one vesk trace per test")
    group.addoption("--vesk-db", metavar="PATH", default=None, help="database for the traces")
    group.addoption("--vesk-config", metavar="PATH", default=None, help="vesk configuration file")


class _Recorder:
    def __init__(self, host, db_path: str) -> None:
        self.host = host
        self.db_path = db_path
        self.tests = 0


def pytest_configure(config: pytest.Config) -> None:
    if not config.getoption("vesk"):
        return
    from vesk import profiler

    if profiler.is_recording():
        return  # already inside `vesk run`: the whole session goes into that trace
    try:
        settings = profiler.prepare_settings(
            str(config.rootpath),
            config_file=config.getoption("vesk_config"),
            db_path=config.getoption("vesk_db"),
            # The test boundaries are what cut the traces: --vesk needs that plugin.
            overrides={"plugins": {"pytest": True}},
        )
        host = profiler.Profiler(settings, source="pytest", one_trace_per_test=True)
        profiler._engine()  # loadable: a usage error now rather than once the tests are collected
    except utils.VeskError as exc:
        raise pytest.UsageError(f"vesk: {exc}") from None
    config.stash[_RECORDER] = _Recorder(host, settings["db_path"])


@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtestloop(session: pytest.Session):
    # Whatever runs outside the tests would be recorded only to be dropped between traces, at twice
    # its speed or worse: importing and rewriting the test modules, and plugins importing their
    # libraries for the summary.
    recorder = session.config.stash.get(_RECORDER, None)
    if recorder is not None:
        recorder.host.start()
    try:
        yield
    finally:
        if recorder is not None:
            recorder.host.stop()


def vesk_start_test(test: str) -> None:
    """Marks the start of a test: the "pytest" plugin records a "start_test" record here."""


def vesk_end_test(
    test: str,
    outcome: str,
    duration_ms: float,
    error: str | None = None,
    raised_at: str | None = None,
    traceback: list | None = None,
) -> None:
    """Marks the end of a test: the "pytest" plugin records an "end_test" record here, with the
    failure's message and where it was raised when the test failed."""


# Old-style wrappers: they work with every pytest that has stash keys (7.0 and later).
@pytest.hookimpl(hookwrapper=True, tryfirst=True)
def pytest_runtest_protocol(item: pytest.Item, nextitem: pytest.Item | None):
    recorder = item.config.stash.get(_RECORDER, None)
    if recorder is None:
        yield
        return
    started = time.perf_counter()
    vesk_start_test(item.nodeid)
    try:
        yield
    finally:
        outcome = item.stash.get(_OUTCOME, "unknown")
        error, raised_at, traceback = item.stash.get(_ERROR, (None, None, None))
        took = round((time.perf_counter() - started) * 1000, 3)
        vesk_end_test(item.nodeid, outcome, took, error, raised_at, traceback)
        recorder.tests += 1


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo):
    outcome = yield
    try:
        report = outcome.get_result()
    except BaseException:  # noqa: BLE001 - pytest reports that failure itself
        return
    # The worst phase decides: a test that passed but whose teardown failed counts as an error.
    if report.failed:
        item.stash[_OUTCOME] = "failed" if report.when == "call" else "error"
        item.stash.setdefault(_ERROR, _failure(report, call))
    elif report.skipped and item.stash.get(_OUTCOME, None) is None:
        item.stash[_OUTCOME] = "skipped"
    elif report.when == "call" and item.stash.get(_OUTCOME, None) is None:
        item.stash[_OUTCOME] = "passed"


def _failure(report, call) -> tuple[str | None, str | None, list | None]:
    """The failure's one-line message and where it was raised, as pytest reports them, and the frames
    its exception went through."""
    from vesk import plugins

    traceback = plugins.exception_fields(call.excinfo.value).get("traceback") if call.excinfo else None
    crash = getattr(report.longrepr, "reprcrash", None)
    if crash is None:
        text = str(report.longrepr or "").strip().splitlines()
        return (text[-1] if text else None), None, traceback
    message = crash.message.strip()
    where = f"{utils.display_path(str(crash.path))}:{crash.lineno}"
    return (message.splitlines()[0] if message else None), where, traceback


def pytest_terminal_summary(terminalreporter, exitstatus, config: pytest.Config) -> None:
    recorder = config.stash.get(_RECORDER, None)
    if recorder is None:
        return
    terminalreporter.write_line(
        f"vesk: {recorder.tests} test traces saved in {utils.display_path(recorder.db_path)} "
        "(vesk traces to list them)"
    )
    from vesk import profiler, storage

    problems = storage.pop_save_problems()  # each a trace that went to a file beside the database
    if problems:
        more = f" (and {len(problems) - 1} more test traces likewise)" if len(problems) > 1 else ""
        terminalreporter.write_line(utils.error_line(problems[0] + more))
    host = recorder.host
    for line in profiler.volume_lines(host.totals(), host.config["limits"]):
        terminalreporter.write_line(f"vesk: {line}")


def pytest_unconfigure(config: pytest.Config) -> None:
    recorder = config.stash.get(_RECORDER, None)
    if recorder is None:
        return
    recorder.host.stop()
    del config.stash[_RECORDER]
