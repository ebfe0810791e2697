"""The extension module, registration and the profile callback, driven as the host package does."""

import cProfile
import ctypes
import inspect
import os
import pstats
import subprocess
import sys
import textwrap
import threading

import pytest

import _vesk_testing
from vesk import _vesk

from engine_support import Host, decode, frames_of, profiling, stop_profiling


def test_module_surface():
    assert _vesk.__all__ == ["register_noop_profiler", "register_profiler", "stop_other_threads_for_exit", "exec_program"]
    assert _vesk.__doc__ == ""
    assert str(inspect.signature(_vesk.register_profiler)) == "(profiler)"
    assert str(inspect.signature(_vesk.register_noop_profiler)) == "()"
    assert _vesk.register_profiler.__doc__ is None
    assert _vesk.register_profiler.__module__ == "vesk._vesk"
    assert not hasattr(_vesk, "VeskProfiler")


def test_initialising_again_gives_the_same_module():
    library = ctypes.PyDLL(_vesk.__file__)
    library.PyInit__vesk.restype = ctypes.py_object
    assert library.PyInit__vesk() is _vesk


def test_a_second_interpreter_is_refused():
    # A sub-interpreter sharing the main one's lock, so that the import reaches the engine's own check:
    # from 3.12 an isolated one refuses every single-phase module before its init function runs.
    script = textwrap.dedent("""
        import sys
        import vesk._vesk
        if sys.version_info >= (3, 13):
            import _interpreters
            failure = _interpreters.exec(_interpreters.create("legacy"), "import vesk._vesk")
            print("refused:", failure and failure.formatted)
        else:
            import _xxsubinterpreters as interpreters
            sub = interpreters.create(isolated=False)
            try:
                interpreters.run_string(sub, "import vesk._vesk")
            except interpreters.RunFailedError as error:
                print("refused:", error)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert "ImportError" in done.stdout, done.stderr
    assert "sub-interpreters" in done.stdout


def test_register_profiler_arguments(host_modules):
    with pytest.raises(TypeError, match="missing required argument 'profiler'"):
        _vesk.register_profiler()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        _vesk.register_profiler(Host(), Host())
    with pytest.raises(TypeError, match="unexpected keyword argument 'host'"):
        _vesk.register_profiler(host=Host())
    with pytest.raises(TypeError, match=r"given by name \('profiler'\) and position"):
        _vesk.register_profiler(Host(), profiler=Host())
    host = Host()
    try:
        _vesk.register_profiler(profiler=host)
        assert type(host.rust_profiler).__name__ == "VeskProfiler"
    finally:
        stop_profiling()


def test_a_non_callable_profiler_changes_nothing():
    class NotCallable:
        config = {}

    target = NotCallable()
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vesk.register_profiler(target)
    with pytest.raises(TypeError, match="^profiler object is not callable$"):
        _vesk.register_profiler(42)
    assert not hasattr(target, "rust_profiler")
    assert sys.getprofile() is None


def test_registration_installs_the_profiler_on_the_calling_thread(host_modules, profile_function):
    host = Host()
    with profiling(host) as profiler:
        installed = sys.getprofile()
    assert installed is profiler
    cls = type(profiler)
    assert (cls.__module__, cls.__qualname__) == ("vesk._vesk", "VeskProfiler")
    with pytest.raises(TypeError, match="^No constructor defined$"):
        cls()
    assert cls.build_trace.__doc__ is None
    assert str(inspect.signature(profiler.register_threading_profiler)) == "(_frame, _event, _arg)"


@pytest.mark.parametrize("value, hooked", [(None, False), (False, False), (1, False), ("yes", False),
                                           (True, True)])
def test_threading_hook_only_for_true(host_modules, profile_function, monkeypatch, value, hooked):
    calls = []
    monkeypatch.setattr(threading, "setprofile", calls.append)
    host = Host(config={} if value is None else {"threading": value})
    with profiling(host) as profiler:
        pass
    installed = [hook for hook in calls if hook is not None]  # None: the fixture's own cleanup
    assert installed == ([profiler.register_threading_profiler] if hooked else [])


def test_threading_hook_failure_propagates_but_profiling_stays(host_modules, profile_function, monkeypatch):
    def broken(hook):
        raise RuntimeError("no hook today")

    monkeypatch.setattr(threading, "setprofile", broken)
    host = Host(config={"threading": True})
    try:
        with pytest.raises(RuntimeError, match="no hook today"):
            _vesk.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler
    finally:
        sys.setprofile(None)


def test_missing_config_after_construction_propagates(host_modules, profile_function):
    class VanishingConfig(Host):
        reads = 0

        @property
        def config(self):
            VanishingConfig.reads += 1
            if VanishingConfig.reads > 1:
                raise LookupError("config gone")
            return {}

        @config.setter
        def config(self, value):
            pass

    host = VanishingConfig()
    try:
        with pytest.raises(LookupError, match="config gone"):
            _vesk.register_profiler(host)
        assert sys.getprofile() is host.rust_profiler
    finally:
        sys.setprofile(None)


def test_noop_profiler_records_nothing(host_modules):
    host = Host()

    def work():
        return sum(range(3))

    try:
        _vesk.register_profiler(host)
        _vesk.register_noop_profiler()
        assert sys.getprofile() is None
        work()
        try:
            raise ValueError
        except ValueError:
            pass
    finally:
        stop_profiling()
    assert decode(host.rust_profiler.build_trace())["frames_of_interest"] == []


class TestProfileCallback:
    def frame(self):
        return sys._getframe()

    # The test-only module carries its own copy of the engine, so its callback is driven with a
    # profiler of its own copy's type.
    def test_only_calls_and_returns_reach_the_handler(self, host_modules):
        profiler = _vesk_testing.new_profiler(Host())
        frame = self.frame()
        for what in (1, 2, 4, 5, 6, 7):
            assert _vesk_testing.call_profile_callback(None, None, what, None) == (0, None)
        assert _vesk_testing.call_profile_callback(profiler, frame, 0, None) == (0, None)
        assert _vesk_testing.call_profile_callback(profiler, frame, 3, 42) == (0, None)
        # A return without a value (None stands for the null pointer) is one an exception caused.
        assert _vesk_testing.call_profile_callback(profiler, frame, 0, None) == (0, None)
        assert _vesk_testing.call_profile_callback(profiler, frame, 3, None) == (0, None)
        records = [r for r in decode(profiler.build_trace())["frames_of_interest"] if r["co_name"] == "frame"]
        assert [(r["event"], r["arg"]) for r in records] == [
            ("call", None), ("return", 42), ("call", None), ("unwind", None)]

    # (how the event's handler fails, what the callback returns and the exception it leaves)
    SETTLED = [("KeyboardInterrupt", -1, KeyboardInterrupt), ("SystemExit", -1, SystemExit),
               ("ValueError", 0, None), ("MemoryError", 0, None), ("bad_alloc", 0, None)]

    @pytest.mark.parametrize("failure, result, left", SETTLED, ids=[case[0] for case in SETTLED])
    def test_the_boundary_hands_back_only_the_programs_own_exceptions(self, host_modules, failure, result, left):
        profiler = _vesk_testing.new_profiler(Host())
        settled, error = _vesk_testing.settle_failure(profiler, self.frame(), failure)
        assert (settled, type(error) if error is not None else None) == (result, left)
        # The recorder's own trouble is counted, not raised.
        assert profiler.recording_totals()["failed_events"] == (failure in ("MemoryError", "bad_alloc"))

    def test_misuse_returns_minus_one(self, host_modules):
        profiler = _vesk_testing.new_profiler(Host())
        result, error = _vesk_testing.call_profile_callback(None, self.frame(), 0, None)
        assert result == -1 and isinstance(error, SystemError)
        assert str(error) == "attempted to fetch exception but none was set"
        result, error = _vesk_testing.call_profile_callback(profiler, None, 3, None)
        assert result == -1 and isinstance(error, SystemError)
        result, error = _vesk_testing.call_profile_callback([], self.frame(), 0, None)
        assert result == -1 and isinstance(error, TypeError)
        assert str(error) == "'list' object cannot be converted to 'VeskProfiler'"

    def test_a_broken_invariant_is_reported_not_raised_in_the_program(self, host_modules, caplog):
        profiler = _vesk_testing.new_profiler(Host())
        reported = []
        hook, sys.unraisablehook = sys.unraisablehook, reported.append
        try:
            outcomes = [_vesk_testing.call_profile_callback(profiler, object(), 0, None) for _ in range(2)]
        finally:
            sys.unraisablehook = hook
        assert outcomes == [(0, None), (0, None)]
        assert profiler.recording_totals()["failed_events"] == 2
        [warning] = [r for r in caplog.records if r.name == "vesk"]
        assert str(warning.exc_info[1]) == "Python gives us a PyFrame"
        assert reported == []  # said once, as a warning on the "vesk" logger, then only counted

    def test_callback_installed_with_a_foreign_object_raises_in_the_program(self):
        def victim():
            return 1

        def run():
            _vesk_testing.install_profile_callback(object())
            try:
                victim()
            except TypeError as error:
                sys.setprofile(None)  # a builtin: no Python-level event reaches the callback
                return error
            finally:
                sys.setprofile(None)

        error = run()
        assert str(error) == "'object' object cannot be converted to 'VeskProfiler'"


def test_register_threading_profiler_installs_the_callback(host_modules, profile_function):
    host = Host()
    with profiling(host) as profiler:
        pass
    assert sys.getprofile() is None
    try:
        assert profiler.register_threading_profiler(None, "call", None) is None
        assert sys.getprofile() is profiler
    finally:
        sys.setprofile(None)
    with pytest.raises(TypeError):
        profiler.register_threading_profiler(None, "call")
    with pytest.raises(TypeError):
        profiler.register_threading_profiler(None, "call", None, _other=1)
    assert sys.getprofile() is None
    assert profiler.register_threading_profiler(_frame=None, _event="call", _arg=None) is None
    sys.setprofile(None)


def monitored_work():
    return sum(range(3))


@pytest.mark.skipif(sys.version_info < (3, 12), reason="sys.monitoring arrived in 3.12")
class TestMonitoring:
    """On 3.12 and later the events come through sys.monitoring under the profiler's tool id."""

    def test_recording_holds_a_tool_id_beside_cprofile_and_stopping_lets_it_go(self, host_modules):
        with profiling(Host()) as profiler:
            held = [tool for tool in range(6) if sys.monitoring.get_tool(tool) == "vesk"]
            assert len(held) == 1 and held[0] != sys.monitoring.PROFILER_ID
            assert sys.getprofile() is None
            side = cProfile.Profile()
            side.runcall(monitored_work)
            monitored_work()
        assert not [tool for tool in range(6) if sys.monitoring.get_tool(tool) == "vesk"]
        # Nor its callbacks: the next tool on that id would have them called for its own events.
        events = sys.monitoring.events
        kinds = (events.PY_START, events.PY_RESUME, events.PY_THROW, events.PY_RETURN, events.PY_YIELD, events.PY_UNWIND)
        assert [sys.monitoring.register_callback(held[0], kind, None) for kind in kinds] == [None] * len(kinds)
        assert any(key[2] == "monitored_work" for key in pstats.Stats(side).stats)
        records = frames_of(decode(profiler.build_trace()), co_name="monitored_work")
        assert [r["event"] for r in records] == ["call", "return"] * 2

    def test_other_tools_on_every_free_id_leave_the_profile_function(self, host_modules, capfd):
        free = [tool for tool in range(6) if sys.monitoring.get_tool(tool) is None]
        for tool in free:
            sys.monitoring.use_tool_id(tool, "someone else")
        try:
            with profiling(Host()) as profiler:
                assert sys.getprofile() is profiler
        finally:
            for tool in free:
                sys.monitoring.free_tool_id(tool)
        assert "held by someone else; recording through the profile function" in capfd.readouterr().err

    def test_code_switched_off_for_one_profiler_is_seen_by_the_next(self, host_modules):
        with profiling(Host(config={"filters": {"ignore_frames": ["test_module"]}})) as first:
            monitored_work()
        with profiling(Host()) as second:
            monitored_work()
        assert not frames_of(decode(first.build_trace()), co_name="monitored_work")
        assert frames_of(decode(second.build_trace()), co_name="monitored_work")

    def test_threads_started_later_record_without_the_threading_hook(self, host_modules, monkeypatch):
        hooks = []
        monkeypatch.setattr(threading, "setprofile", hooks.append)
        started_before = threading.Thread(target=lambda: ready.wait() and monitored_work())
        ready = threading.Event()
        started_before.start()
        with profiling(Host(config={"threading": True})) as profiler:
            later = threading.Thread(target=monitored_work)
            later.start()
            later.join()
            ready.set()
            started_before.join()
        records = frames_of(decode(profiler.build_trace()), co_name="monitored_work")
        assert {r["thread_native_id"] for r in records} == {later.native_id}
        assert [hook for hook in hooks if hook is not None] == []


def test_exec_program_runs_code_with_no_caller_frame_and_puts_the_callers_back():
    globals_ = {}
    code = compile("import sys\nfirst = sys._getframe().f_back\n1 / 0", "program.py", "exec")
    with pytest.raises(ZeroDivisionError):
        _vesk.exec_program(code, globals_)
    assert globals_["first"] is None
    assert sys._getframe().f_back is not None and sys._getframe().f_code.co_name.startswith("test_exec_program")
    with pytest.raises(TypeError):
        _vesk.exec_program("1", globals_)


@pytest.mark.parametrize("ranks, broken", [
    ([0, 1, 2, 3, 4], False), ([0, 2, 4], False), ([1, 0], True), ([2, 2], True), ([0, 3, 1], True)])
def test_engine_locks_are_taken_in_rank_order_each_once(ranks, broken):
    # The checks end the process, as a failed assertion would: each case runs in one of its own.
    script = f"import _vesk_testing\n_vesk_testing.take_engine_locks({ranks})\nprint('held')"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert (done.returncode != 0, "held" not in done.stdout) == (broken, broken), done.stderr
    assert ("engine locks are taken in their rank order, each once" in done.stderr) == broken
