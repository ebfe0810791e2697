"""Recording from code: the host object the engine is built from, and `profile`.

    import vesk

    with vesk.profile() as recording:
        work()
    print(recording.trace_id)

    @vesk.profile
    def handler(request): ...          # every call becomes its own trace

Everything here can be on the stack while the engine records, which is why it lives in this file:
the engine never records frames of vesk's own files.
"""

from __future__ import annotations

import atexit
import functools
import os
import sys
import threading

from vesk import calibration, serialize, storage, utils
from vesk import config as vesk_config

# No logging, inspect or typing at import time: `vesk run` imports this file before the program
# starts, and the program may never need any of them.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable

_state = threading.local()
# The environment through which a child interpreter learns that it is to record, and its parent's trace.
CHILD_VARIABLE = "VESK_RECORD_CHILD"
PARENT_VARIABLE = "VESK_PARENT_TRACE"
_BOOTSTRAP_DIRECTORY = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bootstrap")
# Recordings on in this process, and those whose rest is saved when the process ends without returning
# through the code that started them (a forked copy of a recording, a child interpreter's recording).
_active: list[Profiler] = []
_save_at_exit: list[Profiler] = []
_os_exit = os._exit


def _engine():
    try:
        from vesk import _vesk
    except ImportError as exc:
        raise utils.VeskError(f"the recording engine vesk._vesk cannot be loaded ({exc})") from exc
    return _vesk


def _preload() -> None:
    # The engine imports these by name at every trace build and record; importing them now keeps a
    # first import (and its file reads) out of the program's recorded timings.
    from vesk import db, git, plugins, version  # noqa: F401


def is_recording() -> bool:
    """Whether vesk records the calling thread."""
    return getattr(_state, "host", None) is not None


class Profiler:
    """The host object of one recording, handed to the engine's `register_profiler`.

    The engine reads `config`, `db_path`, `one_trace_per_test`, `trace_id` and `source` once when it
    builds its native profiler, which it stores back as `rust_profiler`.
    """

    def __init__(self, settings: dict[str, Any], *, source: str, one_trace_per_test: bool = False):
        self.config = vesk_config.engine_config(settings)
        self.db_path = settings["db_path"]
        self.source = source
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = utils.new_trace_id()
        self.parent_trace_id: str | None = None
        self.rust_profiler = None
        self.active = False

    def __call__(self, *args: Any, **kwargs: Any) -> None:
        # The engine requires its host object to be callable, and never calls it.
        return None

    def start(self) -> None:
        """Starts recording the calling thread (and, with "threading" on, threads started later)."""
        engine = _engine()
        serialize.configure(self.config.get("serialize"))
        _preload()
        kept_in = None if storage.is_url(self.db_path) else os.path.dirname(self.db_path)
        self.config.update(calibration.estimates(engine, self.config, kept_in))
        _state.host = self
        try:
            engine.register_profiler(self)
        except BaseException:
            _state.host = None
            raise
        self.active = True
        if calibration.unsteady():
            vesk_durations_unsteady("the recorder's cost could not be measured steadily")
        self.scheduled = (threading.get_ident(), scheduled())
        # Through the profile function (3.11, or where sys.monitoring is taken), which the program can
        # replace: sys.setprofile is watched, so that it says where recording ended.
        self.by_profile_function = sys.getprofile() is self.rust_profiler
        self.ended_early = False
        if self.by_profile_function:
            _watch_setprofile()
        _repeat_termination_once_imported()
        _active.append(self)

    def stop(self) -> None:
        """Stops recording the calling thread; threads started from now on are not recorded.

        Threads already running keep recording into this profiler until they end: the interpreter
        offers no way to take the profile function away from another thread.
        """
        if not self.active:
            return
        self._say_if_kept_waiting()
        current = sys.getprofile()
        if self.by_profile_function and current is not self.rust_profiler:
            self._ended_early(None, "the program replaced the profile function (another profiler?)")
            if current is not None:
                current = sys.getprofile()
        if current is None or current is self.rust_profiler or not self.by_profile_function:
            _engine().register_noop_profiler()
            # The engine leaves a do-nothing profile function (through the profile function, not on
            # 3.12+), which keeps the interpreter on its slower tracing path for the rest of the
            # thread's life. Another profiler's function stays the program's.
            sys.setprofile(None)
        if self.config.get("threading"):
            utils.stop_threading_hook()
        self.active = False
        _state.host = None
        _discard(_active, self)
        if not _active:
            _unwatch_setprofile()
        serialize.forget()

    def _say_if_kept_waiting(self) -> None:
        """Says in the trace when the thread that started recording waited for a processor for more
        than `KEPT_WAITING` of the time it ran: its durations, on the clock, hold that wait."""
        ident, before = self.scheduled
        after = scheduled()
        if ident != threading.get_ident() or before is None or after is None:
            return
        ran, waited = after[0] - before[0], after[1] - before[1]
        if ran > 0 and waited > KEPT_WAITING * ran:
            share = f"{waited / ran:.0%}"
            vesk_durations_unsteady(f"the program waited for a processor {share} as long as it ran (a busy machine)")

    def resume(self) -> None:
        """Records the calling thread again if the program took the profile function away and left
        none (one trace per test: the next test is recorded whole)."""
        if not (self.active and self.by_profile_function) or sys.getprofile() is self.rust_profiler:
            return
        # Not through sys.setprofile (cProfile and other native profilers set it themselves): said now.
        self._ended_early(None, "the program replaced the profile function (another profiler?)")
        if sys.getprofile() is None:
            self.rust_profiler.register_threading_profiler(None, "call", None)
        if sys.getprofile() is self.rust_profiler:
            self.ended_early = False  # a later replacement is said again

    def _ended_early(self, where: str | None, reason: str) -> None:
        """Says once, in the trace and on stderr, that recording of this thread ended before the
        program did, and where. The profile function is ours again meanwhile, when nothing else's
        holds the thread (after sys.setprofile(None), or before it takes effect)."""
        if self.ended_early:
            return
        self.ended_early = True
        thread = threading.current_thread().name
        place = f" at {where}" if where else ""
        utils.stderr_line(f"vesk: recording of thread {thread} ended{place}: {reason}; later calls are not in the trace")
        if sys.getprofile() is None:
            self.rust_profiler.register_threading_profiler(None, "call", None)
        vesk_recording_ended(thread, where, reason)

    def save(self) -> None:
        """Saves what was recorded since the last save, as one document of this trace."""
        _discard(_save_at_exit, self)
        self.rust_profiler.save_request_in_db()

    def build(self) -> bytes:
        """The trace document of what was recorded since the last save, without storing it."""
        return self.rust_profiler.build_trace()

    def totals(self) -> dict[str, int]:
        """What the recording saved, left out and lost so far (see `volume_lines`)."""
        return self.rust_profiler.recording_totals()


# How long, against the time it ran, the recorded thread may wait for a processor before its
# trace says its durations may be off.
KEPT_WAITING = 0.25


def scheduled() -> tuple[int, int] | None:
    """The calling thread's time on a processor and waiting for one, in nanoseconds (Linux only)."""
    try:
        with open("/proc/thread-self/schedstat", encoding="ascii") as handle:
            ran, waited, _ = handle.read().split()
        return int(ran), int(waited)
    except (OSError, ValueError):
        return None


def vesk_program_exit(status: int, exception: BaseException | None, signal: str | None = None) -> None:
    """Called with recording still on: the "program_exit" plugin records its arguments (`signal`:
    the name of the signal that ended the program)."""


def vesk_recording_ended(thread: str, where: str | None, reason: str) -> None:
    """Called while the thread is recorded: the "recording_ended" plugin records its arguments."""


def vesk_durations_unsteady(reason: str) -> None:
    """Called while the thread is recorded: the "durations_unsteady" plugin records that the
    durations of this trace may be off, and why."""


_setprofile = sys.setprofile


def _watch_setprofile() -> None:
    if sys.setprofile is _setprofile:
        sys.setprofile = _watched_setprofile


def _unwatch_setprofile() -> None:
    # With nothing recording, sys.setprofile is the builtin again: a Python-level stand-in is itself
    # a call that the program's own profile functions see.
    if sys.setprofile is _watched_setprofile:
        sys.setprofile = _setprofile


@functools.wraps(_setprofile)
def _watched_setprofile(function: Any, /) -> None:
    current = sys.getprofile()
    if function is not current:
        for host in list(_active):
            if host.rust_profiler is current and host.by_profile_function:
                caller = sys._getframe(1)
                where = f"{utils.display_path(caller.f_code.co_filename)}:{caller.f_lineno}"
                host._ended_early(where, f"the program set another profile function (sys.setprofile({_kind(function)}))")
    _setprofile(function)


def _kind(function: Any) -> str:
    return "None" if function is None else type(function).__name__


def _discard(hosts: list[Profiler], host: Profiler) -> None:
    try:
        hosts.remove(host)
    except ValueError:
        pass  # not there, or another thread took it out first


def save_and_report(host: Profiler, limits: dict[str, int]) -> bool:
    """Saves the rest of the trace, saying on stderr, one line each, what went wrong or was left out;
    whether anything of it failed to reach the database."""
    failed = False
    try:
        host.save()
    except KeyboardInterrupt:
        utils.stderr_line(f"vesk: interrupted while saving trace {host.trace_id}: it may be incomplete or missing")
        raise
    except Exception as exc:  # noqa: BLE001 - whatever it is, the program's outcome stays its own
        failed = True
        text = str(exc) if isinstance(exc, utils.VeskError) else f"cannot save trace {host.trace_id}: {exc}"
        utils.stderr_line(utils.error_line(f"{text}; the trace is lost"))
    totals = host.totals()
    for line in volume_lines(totals, limits):
        utils.stderr_line(f"vesk: {line}")
    problem = storage.pop_save_problem(host.trace_id)
    if problem is not None:
        utils.stderr_line(utils.error_line(problem))
    return failed or problem is not None or totals["dropped_records"] > 0


def volume_lines(totals: dict[str, int], limits: dict[str, int], calls_key: str = "calls_per_function") -> list[str]:
    """What a recording left out or lost, said plainly; nothing when it kept everything. `calls_key`
    names the setting the calls per function came from."""
    lines = []
    if totals["left_out_calls"]:
        lines.append(
            f"{totals['left_out_calls']:,} calls not recorded: each function's first "
            f"{limits['calls_per_function']:,} calls per trace are (limits.{calls_key}, 0 for all)"
        )
    if totals["stopped_traces"]:
        lines.append(
            f"frame recording stopped at the trace size limit of {utils.size_text(limits['trace_bytes'])} "
            f"(limits.trace_bytes, 0 for no limit): {totals.get('stopped_calls', 0):,} calls not recorded"
        )
    if totals["dropped_records"]:
        lines.append(f"{totals['dropped_records']:,} records lost: saving them kept failing")
    if totals["failed_events"]:
        lines.append(f"{totals['failed_events']:,} events not recorded after an internal error (logged once)")
    return lines


# --- child processes -------------------------------------------------------------------------------


def save_before_exit(host: Profiler) -> None:
    """Saves the rest of `host`'s trace if the process ends before the code that started it saves it,
    at exit or through os._exit (with which multiprocessing ends the children it forks)."""
    if host not in _save_at_exit:
        _save_at_exit.append(host)
    os._exit = _exit_after_saving


# Set while the exit functions save; a SIGTERM meanwhile (a pool terminating a worker that is already
# on its way out) ends the process once the save is done, not halfway through it.
_saving_at_exit = False
_signal_after_save: int | None = None


def _save_remaining() -> None:
    global _saving_at_exit
    _saving_at_exit = True
    try:
        for host in list(_save_at_exit):
            host.stop()
            save_and_report(host, host.config["limits"])
    except KeyboardInterrupt:
        pass  # said in one line; a traceback from the exit functions would add nothing
    finally:
        _saving_at_exit = False
        if _signal_after_save is not None:
            _end_by(_signal_after_save)


def save_on_termination() -> None:
    """A SIGTERM (how multiprocessing's pools end their workers, and how most supervisors stop a
    program) saves what was recorded, marks the trace with it, then ends the process by the signal
    as it would have without vesk. A program that handles SIGTERM itself keeps its own handler."""
    import signal

    if signal.getsignal(signal.SIGTERM) is signal.SIG_DFL:
        try:
            signal.signal(signal.SIGTERM, _end_by_signal)
        except ValueError:
            pass  # not this interpreter's main thread: the signal ends the process unsaved, as before


def _end_by_signal(signum: int, frame: Any) -> None:
    import signal

    global _signal_after_save
    # The handler stays until the save is done: the parent repeats its SIGTERM until the process
    # ends (see _repeat_termination), and a repeat must not end the save halfway.
    if _saving_at_exit or _signal_after_save is not None:
        _signal_after_save = signum
        return
    _signal_after_save = signum
    name = signal.Signals(signum).name
    try:
        if _save_at_exit:
            vesk_program_exit(128 + signum, None, name)
            _save_remaining()
    finally:
        _end_by(signum)


def _end_by(signum: int) -> None:
    import signal

    try:
        signal.signal(signum, signal.SIG_DFL)
    except ValueError:
        pass  # not the main thread (os._exit from a thread): the signal goes to vesk's handler again
    os.kill(os.getpid(), signum)


def save_before_exec() -> None:
    """os.exec* replace the process without exit functions: what was recorded is saved first (and
    the new program's trace, with --children, names a parent that is stored). Recording goes on,
    for an exec that fails."""
    for name in ("execv", "execve"):
        function = getattr(os, name, None)
        if function is not None and not getattr(function, "_vesk_saves", False):
            setattr(os, name, _saving_first(function))


def _saving_first(exec_function: Callable) -> Callable:
    @functools.wraps(exec_function)
    def exec_after_saving(*args: Any, **kwargs: Any) -> Any:
        for host in list(_save_at_exit):
            try:
                host.rust_profiler.save_request_in_db()
            except Exception as exc:  # noqa: BLE001 - the exec goes ahead whatever became of the trace
                utils.stderr_line(utils.error_line(f"cannot save trace {host.trace_id} before exec: {exc}"))
        return exec_function(*args, **kwargs)

    exec_after_saving._vesk_saves = True
    return exec_after_saving


def _exit_after_saving(status: int) -> None:
    try:
        _save_remaining()
    finally:
        _os_exit(status)


def _start_forked_traces() -> None:
    """In a forked child: each recording goes on as a trace of its own, linked to the parent's, and
    the parent's records are left to the parent."""
    _save_at_exit.clear()
    for host in list(_active):
        # One trace per test: the engine gives each test a trace id of its own, which the host never sees.
        parent = None if host.one_trace_per_test else host.trace_id
        try:
            trace_id = utils.new_trace_id()
            host.rust_profiler.start_forked_trace(trace_id)
        except Exception as exc:  # noqa: BLE001 - the child must run on, unrecorded rather than mixed
            host.stop()
            utils.stderr_line(utils.error_line(f"the forked process {os.getpid()} is not recorded: {exc}"))
            continue
        if parent is not None:
            storage.note_parent(trace_id, parent)
            if os.environ.get(PARENT_VARIABLE) == parent:
                os.environ[PARENT_VARIABLE] = trace_id
        host.trace_id, host.parent_trace_id = trace_id, parent
        save_before_exit(host)
    if _save_at_exit:
        save_on_termination()  # a pool ends its forked workers so
        save_before_exec()


def record_new_interpreters(settings: dict[str, Any], host: Profiler) -> None:
    """Child processes that start a new interpreter record too, as traces linked to `host`'s: the
    environment they inherit puts the bootstrap's sitecustomize on their path and tells it how."""
    import json

    os.environ[CHILD_VARIABLE] = json.dumps(settings)
    os.environ[PARENT_VARIABLE] = host.trace_id
    path = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = os.pathsep.join([_BOOTSTRAP_DIRECTORY, path]) if path else _BOOTSTRAP_DIRECTORY


def record_this_child(settings_text: str) -> None:
    """Records this child interpreter of a recorded process until it exits (the bootstrap's call).

    multiprocessing's helper processes run none of the program's code: its resource tracker is not
    recorded, and its fork server is not either, but each child it forks is. Never raises: the child
    runs on unrecorded, with one line on stderr, when recording cannot start.
    """
    helper = _multiprocessing_helper()
    if helper == "forkserver":
        os.register_at_fork(after_in_child=lambda: _record_child(settings_text))
    elif helper is None:
        _record_child(settings_text)


def _multiprocessing_helper() -> str | None:
    """"forkserver" or "resource_tracker" when this interpreter runs one of those, else None."""
    argv = sys.orig_argv
    command = argv[argv.index("-c") + 1] if "-c" in argv[:-1] else ""
    for helper in ("forkserver", "resource_tracker"):
        if command.startswith(f"from multiprocessing.{helper} import main"):
            return helper
    return None


def _record_child(settings_text: str) -> None:
    try:
        import json

        settings = json.loads(settings_text)
        # The bootstrap's own frames return once recording is on.
        settings["filters"].setdefault("ignore_frames", []).append(f"{os.sep}vesk{os.sep}bootstrap{os.sep}")
        host = Profiler(settings, source="child")
        host.parent_trace_id = os.environ.get(PARENT_VARIABLE) or None
        if host.parent_trace_id:
            storage.note_parent(host.trace_id, host.parent_trace_id)
        host.start()
        save_before_exit(host)
        save_on_termination()
        save_before_exec()
    except Exception as exc:  # noqa: BLE001 - a child process must never fail because of vesk
        utils.stderr_line(utils.error_line(f"the child process {os.getpid()} is not recorded: {exc}"))
        return
    os.environ[PARENT_VARIABLE] = host.trace_id  # its own children are linked to it


# --- child processes ended by their parent -----------------------------------------------------


def _repeat_termination_once_imported() -> None:
    """A recorded child ends by SIGTERM through vesk's handler, which runs between two bytecodes.
    A SIGTERM that lands after the child's last check for signals, just before it blocks (a pool
    worker entering its queue's lock, where the engine's callback for that call widens the window
    to most of the time the worker spends there), is noted and never acted on: the child waits
    forever, and so does the pool's end that joins it. multiprocessing's processes are made to
    repeat their SIGTERM until the child is gone, whichever start method made them."""
    module = sys.modules.get(_PROCESS_MODULE)
    if module is not None:
        _repeat_termination(module.BaseProcess)
    elif _PatchOnImport not in sys.meta_path:
        sys.meta_path.insert(0, _PatchOnImport)


_PROCESS_MODULE = "multiprocessing.process"


class _PatchOnImport:
    """Finds no module: patches multiprocessing's process class as the module that holds it loads."""

    @staticmethod
    def find_spec(name: str, path: Any = None, target: Any = None) -> Any:
        if name != _PROCESS_MODULE:
            return None
        import importlib.util

        sys.meta_path.remove(_PatchOnImport)
        spec = importlib.util.find_spec(name)
        if spec is None or spec.loader is None:
            return spec
        load = spec.loader.exec_module

        def load_and_patch(module: Any) -> None:
            load(module)
            _repeat_termination(module.BaseProcess)

        spec.loader.exec_module = load_and_patch
        return spec


# How often a terminated child that has not ended yet is sent its SIGTERM again.
_TERMINATION_REPEAT_SECONDS = 0.25


def _repeat_termination(process: type) -> None:
    if getattr(process, "_vesk_repeats_termination", False):
        return
    terminate, join = process.terminate, process.join

    def terminate_noted(self: Any) -> None:
        self._vesk_terminated = True
        terminate(self)

    def join_repeating(self: Any, timeout: float | None = None) -> None:
        if timeout is None and getattr(self, "_vesk_terminated", False) and self._popen is not None:
            while self._popen.wait(_TERMINATION_REPEAT_SECONDS) is None:
                self._popen.terminate()
        join(self, timeout)

    process.terminate, process.join = terminate_noted, join_repeating
    process._vesk_repeats_termination = True


os.register_at_fork(after_in_child=_start_forked_traces)
atexit.register(_save_remaining)


def prepare_settings(
    root: str = ".",
    *,
    config_file: str | None = None,
    db_path: str | None = None,
    overrides: dict[str, Any] | None = None,
) -> dict[str, Any]:
    """Loads the configuration and makes sure traces can be saved where it says."""
    settings = vesk_config.load(root, config_file, overrides)
    if db_path is not None:
        settings["db_path"] = storage.resolve(db_path)
    # Only the default location is created on demand; a directory the user named must exist, or a
    # typo in it would scatter databases around.
    default = settings["db_path"] == vesk_config.default_db_path(root)
    # A store that cannot take traces now is no reason not to run: they go to fallback files, and
    # the save says so in one line.
    storage.open_store(settings["db_path"], timeout=settings["sqlite_busy_timeout"]).prepare(
        create_directory=default,
        max_traces=settings["retention"]["max_traces"],
        max_bytes=settings["retention"]["max_bytes"],
    )
    return settings


class Recording:
    """Records a block (as a context manager) or each call of a function (as a decorator).

    Inside a thread that vesk already records, a nested recording adds nothing: the block stays in
    the enclosing trace. A failed save does not raise into the program; it is logged on the "vesk"
    logger and kept in `error` (the document then sits in a file beside the database), and so is what
    the recording left out or lost.
    """

    def __init__(
        self,
        *,
        db_path: str | os.PathLike | None = None,
        root: str = ".",
        config_file: str | None = None,
        source: str = "code",
        **overrides: Any,
    ) -> None:
        self._options = dict(db_path=db_path, root=root, config_file=config_file, source=source, **overrides)
        self._host: Profiler | None = None
        self.trace_id: str | None = None
        self.db_path: str | None = None
        self.saved = False
        self.error: Exception | None = None

    def __enter__(self) -> Recording:
        if is_recording():
            return self
        options = dict(self._options)
        root, config_file = options.pop("root"), options.pop("config_file")
        db_path, source = options.pop("db_path"), options.pop("source")
        settings = prepare_settings(root, config_file=config_file, db_path=db_path, overrides=_overrides(options))
        host = Profiler(settings, source=source)
        self._host, self.trace_id, self.db_path = host, host.trace_id, host.db_path
        host.start()
        return self

    def __exit__(self, *exc_info: Any) -> bool:
        host, self._host = self._host, None
        if host is None:
            return False
        host.stop()
        try:
            host.save()
        except Exception as exc:  # noqa: BLE001 - the program's own outcome matters more than ours
            self.error = exc
        problem = storage.pop_save_problem(host.trace_id)
        if problem is not None and self.error is None:
            self.error = storage.StorageError(problem)  # kept in a file beside the database
        self.saved = self.error is None
        lines = [str(self.error)] if self.error is not None else []
        lines += volume_lines(host.totals(), host.config["limits"])
        if lines:
            import logging

            for line in lines:
                logging.getLogger("vesk").warning("vesk trace %s: %s", host.trace_id, line)
        return False

    def __call__(self, function: Callable) -> Callable:
        import inspect

        options = self._options
        if inspect.iscoroutinefunction(function):

            @functools.wraps(function)
            async def recorded_coroutine(*args: Any, **kwargs: Any) -> Any:
                # Other tasks that run on this thread while the coroutine waits are recorded too.
                with Recording(**options):
                    return await function(*args, **kwargs)

            return recorded_coroutine

        @functools.wraps(function)
        def recorded(*args: Any, **kwargs: Any) -> Any:
            with Recording(**options):
                return function(*args, **kwargs)

        return recorded


_OVERRIDE_KEYS = {"threading", "lightweight_repr", "sqlite_busy_timeout", "filters", "plugins", "serialize"}


def _overrides(options: dict[str, Any]) -> dict[str, Any]:
    unknown = set(options) - _OVERRIDE_KEYS
    if unknown:
        raise TypeError(f"unknown option {sorted(unknown)[0]!r}")
    return options


def profile(function: Callable | None = None, /, **options: Any) -> Any:
    """`with profile(): ...`, `@profile` or `@profile(db_path=...)`: record into one trace."""
    if function is not None:
        return Recording(**options)(function)
    return Recording(**options)
