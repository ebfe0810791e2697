"""`pytest --vesk`: one trace per test.

PYTEST_DONT_REWRITE: pytest must not rewrite vesk's own files (under `vesk run -m pytest` they are
imported before pytest loads them as a plugin, and its warning about that fails the run of a
project that turns warnings into errors).

Without `--vesk` this plugin adds its options and nothing else: its hooks are registered only for a
session that records. Recording is on while pytest runs the tests (collection and the closing
summary, which no trace would keep, run unrecorded); around each test the hooks below call
`vesk_start_test` and `vesk_end_test`. The built-in "pytest" plugin turns those two calls into
"start_test" and "end_test" records, on which the engine starts a fresh trace (dropping whatever was
recorded between tests) and saves the finished one. A test's trace therefore holds its setup, call
and teardown, and knows the test's node id. Under pytest-xdist the workers record and save their
tests; the controller, which runs none, adds up what they saved.

This file is one the engine never records, so the hooks themselves stay out of the traces.
"""

from __future__ import annotations

import time

import pytest

from vesk import storage, utils

_OUTCOME = pytest.StashKey()
_ERROR = pytest.StashKey()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("vesk", "recording tests with vesk")
    group.addoption("--vesk", action="store_true", default=False, help="record one vesk trace per test")
    group.addoption("--vesk-db", metavar="PATH", default=None, help="database for the traces")
    group.addoption("--vesk-config", metavar="PATH", default=None, help="vesk configuration file")


def pytest_configure(config: pytest.Config) -> None:
    _warn_of_separate_config_path(config)
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
        limits = settings["limits"]
        limits["calls_per_function"] = limits["calls_per_function_in_tests"]
        host = profiler.Profiler(settings, source="pytest", one_trace_per_test=True)
        profiler._engine()  # loadable: a usage error now rather than once the tests are collected
    except utils.VeskError as exc:
        raise pytest.UsageError(f"vesk: {exc}") from None
    config.pluginmanager.register(Recording(host, settings), "vesk-recording")


def _warn_of_separate_config_path(config: pytest.Config) -> None:
    """pytest finds its rootdir and ini file before plugins add their options: in `--vesk-config PATH`
    it takes PATH for a test path, and an existing one moves that search (the project's own ini file
    can be missed). Nothing can redo the search once its results were used; the user is told how to
    write the option instead."""
    import os
    import shlex

    args = [*shlex.split(os.environ.get("PYTEST_ADDOPTS", "")), *config.invocation_params.args]
    for option, value in zip(args, args[1:]):
        if option == "--vesk-config" and os.path.exists(os.path.join(config.invocation_params.dir, value)):
            utils.stderr_line(
                f"vesk: warning: pytest took {value!r} after --vesk-config for a test path when it looked for "
                f"its own configuration (rootdir {config.rootpath}, ini file {config.inipath or 'none'}): "
                f"write --vesk-config={value}"
            )
            return


def _runs_tests_elsewhere(config: pytest.Config) -> bool:
    """Whether this process is pytest-xdist's controller, whose workers run the tests."""
    return config.pluginmanager.hasplugin("dsession")


class Recording:
    """The hooks of a session run with --vesk."""

    def __init__(self, host, settings: dict) -> None:
        self.host = host
        self.db_path = settings["db_path"]
        self.max_traces = settings["retention"]["max_traces"]
        self.saved = 0  # test traces that reached storage, here or in pytest-xdist's workers

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtestloop(self, session: pytest.Session):
        # Whatever runs outside the tests would be recorded only to be dropped between traces, at twice
        # its speed or worse: importing and rewriting the test modules, and plugins importing their
        # libraries for the summary.
        recording = not _runs_tests_elsewhere(session.config)
        if recording:
            self.host.start()
        try:
            yield
        finally:
            if recording:
                self.host.stop()

    # Old-style wrappers: they work with every pytest that has stash keys (7.0 and later).
    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_runtest_protocol(self, item: pytest.Item, nextitem: pytest.Item | None):
        started = time.perf_counter()
        self.host.resume()  # after a test that took the profile function away
        vesk_start_test(item.nodeid)
        try:
            yield
        finally:
            outcome = item.stash.get(_OUTCOME, "unknown")
            error, raised_at, traceback = item.stash.get(_ERROR, (None, None, None))
            took = round((time.perf_counter() - started) * 1000, 3)
            stored = self.host.totals()["documents"]
            self.host.resume()  # the test's trace ends and is saved even if the test took recording away
            vesk_end_test(item.nodeid, outcome, took, error, raised_at, traceback)
            # The engine saves the test's trace at the end of that call; a failed save stores nothing.
            self.saved += self.host.totals()["documents"] > stored

    @pytest.hookimpl(hookwrapper=True)
    def pytest_runtest_makereport(self, item: pytest.Item, call: pytest.CallInfo):
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

    def pytest_sessionfinish(self, session: pytest.Session) -> None:
        worker_output = getattr(session.config, "workeroutput", None)
        if worker_output is not None:  # a pytest-xdist worker: its controller tells the count
            worker_output["vesk_saved"] = self.saved

    @pytest.hookimpl(optionalhook=True)
    def pytest_testnodedown(self, node, error) -> None:
        self.saved += getattr(node, "workeroutput", {}).get("vesk_saved", 0)

    def pytest_terminal_summary(self, terminalreporter, exitstatus, config: pytest.Config) -> None:
        if getattr(config, "workerinput", None) is not None:
            return  # a worker's summary goes nowhere
        kept = ""
        if self.max_traces and self.saved > self.max_traces:
            kept = f"; the database keeps the newest {self.max_traces:,} (retention.max_traces)"
        terminalreporter.write_line(
            f"vesk: {self.saved:,} test traces saved in {storage.describe(self.db_path)}{kept} "
            "(vesk traces to list them)"
        )
        if self.host.rust_profiler is None:
            return  # pytest-xdist's controller records nothing
        from vesk import profiler

        problems = storage.pop_save_problems()  # each a trace that went to a file beside the database
        if problems:
            more = f" (and {len(problems) - 1} more test traces likewise)" if len(problems) > 1 else ""
            terminalreporter.write_line(utils.error_line(problems[0] + more))
        for line in profiler.volume_lines(self.host.totals(), self.host.config["limits"], "calls_per_function_in_tests"):
            terminalreporter.write_line(f"vesk: {line}")

    def pytest_unconfigure(self, config: pytest.Config) -> None:
        self.host.stop()


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
