"""Recording user code end to end: frame records, their order, ids and call sites, and the trace."""

import os
import struct
import sys
import types
import weakref

import msgpack
import pytest

from vesk import _vesk

from engine_support import Host, decode, frames_of, profiling

import sample.app
import sample.helpers


def source_line(module, text):
    """The 1-based line of `module` that contains `text`."""
    with open(module.__file__) as source:
        for number, line in enumerate(source, 1):
            if text in line:
                return number
    raise AssertionError(text)


def relative(module):
    return os.path.relpath(module.__file__)


def record_sample(host_modules, **host_arguments):
    host = Host(**host_arguments)
    with profiling(host) as profiler:
        result = sample.app.main()
    assert result == 2
    return decode(profiler.build_trace())


def sample_records(document):
    return [r for r in frames_of(document) if "sample" in r["path"]]


def test_every_call_and_return_of_a_small_program(host_modules):
    document = record_sample(host_modules)
    records = sample_records(document)
    app, helpers = relative(sample.app), relative(sample.helpers)
    expected = [
        ("call", "sample.app.main", f"{app}:{source_line(sample.app, 'def main')}"),
        ("call", "sample.app.Job.__init__", f"{app}:{source_line(sample.app, 'def __init__')}"),
        ("return", "sample.app.Job.__init__", f"{app}:{source_line(sample.app, 'self.name = name')}"),
        ("call", "sample.app.Job.run", f"{app}:{source_line(sample.app, 'def run')}"),
        ("call", "sample.helpers.double", f"{helpers}:1"),
        ("return", "sample.helpers.double", f"{helpers}:3"),
        ("call", "sample.helpers.double", f"{helpers}:1"),
        ("return", "sample.helpers.double", f"{helpers}:3"),
        ("return", "sample.app.Job.run", f"{app}:{source_line(sample.app, 'return total')}"),
        ("return", "sample.app.main", f"{app}:{source_line(sample.app, 'return job.run')}"),
    ]
    assert [(r["event"], r["qualname"], r["path"]) for r in records] == expected
    for record in records:
        assert list(record) == ["path", "co_name", "qualname", "event", "frame_id", "arg", "locals", "thread",
                                "thread_native_id", "timestamp", "type", "user_code_call_site"]
        assert record["thread"] == "MainThread"
        assert record["type"] == "frame"

    main_call, init_call, init_return, run_call, d1_call, d1_return, d2_call, d2_return, run_return, main_return = records
    # Arguments, return values and locals as the host serialiser wrote them.
    assert main_call["arg"] is None and main_return["arg"] == 2
    assert d1_call["locals"] == {"value": 0} and d1_return["locals"] == {"value": 0, "result": 0}
    assert d2_return["arg"] == 2
    assert run_call["locals"]["times"] == 2 and run_return["locals"]["total"] == 2
    # A call and its return share one id; every call has a fresh one.
    pairs = [(main_call, main_return), (init_call, init_return), (run_call, run_return), (d1_call, d1_return),
             (d2_call, d2_return)]
    for call, ret in pairs:
        assert call["frame_id"] == ret["frame_id"] and call["frame_id"].startswith("frm_")
    assert len({call["frame_id"] for call, _ in pairs}) == 5
    # Each record points at the recorded frame that called it, and the line of the call.
    call_line = source_line(sample.app, "helpers.double(i)")
    assert d1_call["user_code_call_site"] == {"call_frame_id": run_call["frame_id"], "line_number": call_line}
    assert d2_return["user_code_call_site"] == {"call_frame_id": run_call["frame_id"], "line_number": call_line}
    assert run_call["user_code_call_site"]["call_frame_id"] == main_call["frame_id"]
    assert init_call["user_code_call_site"] == {"call_frame_id": main_call["frame_id"],
                                                "line_number": source_line(sample.app, 'Job("nightly")')}
    timestamps = [r["timestamp"] for r in records]
    assert timestamps == sorted(timestamps)


def encoded_records(document):
    """The raw bytes of each default frame record, as they stand in the document."""
    records = []
    offset = document.find(b"\x8c\xa4path")
    while offset != -1:
        unpacker = msgpack.Unpacker(raw=False, strict_map_key=False)
        unpacker.feed(document[offset:])
        record = unpacker.unpack()
        records.append((record, document[offset:offset + unpacker.tell()]))
        offset = document.find(b"\x8c\xa4path", offset + unpacker.tell())
    return records


def expected_bytes(record):
    """A default frame record encoded by hand: shortest forms, float64 timestamp, fixed key order."""
    pack = msgpack.packb
    site = record["user_code_call_site"]
    site_bytes = b"\xc0" if site is None else (
        b"\x82" + pack("call_frame_id") + pack(site["call_frame_id"]) + pack("line_number") + pack(site["line_number"]))
    return b"".join([
        b"\x8c",
        pack("path"), pack(record["path"]),
        pack("co_name"), pack(record["co_name"]),
        pack("qualname"), pack(record["qualname"]),
        pack("event"), pack(record["event"]),
        pack("frame_id"), pack(record["frame_id"]),
        pack("arg"), pack(record["arg"]),
        pack("locals"), pack(record["locals"]),
        pack("thread"), pack(record["thread"]),
        pack("thread_native_id"), pack(record["thread_native_id"]),
        pack("timestamp"), b"\xcb" + struct.pack(">d", record["timestamp"]),
        pack("type"), pack("frame"),
        pack("user_code_call_site"), site_bytes,
    ])


def test_frame_records_byte_for_byte(host_modules):
    host = Host()
    with profiling(host) as profiler:
        sample.app.main()
    records = [(r, raw) for r, raw in encoded_records(profiler.build_trace()) if "sample" in r["path"]]
    assert len(records) == 10
    for record, raw in records:
        assert raw == expected_bytes(record)


def test_document_layout(host_modules):
    host = Host(config={})
    with profiling(host) as profiler:
        pass
    document = profiler.build_trace()
    assert document[0] == 0x88
    decoded = decode(document)
    assert list(decoded) == ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                             "main_thread_id", "meta", "timestamp", "trace_id"]
    assert decoded["command_line_args"] == sys.argv
    assert decoded["meta"] == {"version": sys.modules["vesk.version"].__version__, "source": "tests",
                               "use_frame_boundaries": True}
    assert b"\xb4use_frame_boundaries\xc3" in document
    again = decode(profiler.build_trace())
    assert again["frames_of_interest"] == [] and again["frames"] == {}
    assert (again["timestamp"], again["trace_id"]) == (decoded["timestamp"], decoded["trace_id"])


class TestSaving:
    def test_saves_hand_the_document_to_the_host(self, host_modules):
        host = Host(config={"sqlite_busy_timeout": 9})
        with profiling(host) as profiler:
            sample.helpers.double(1)
        profiler.save_request_in_db()
        profiler.save_request_in_db()
        first, second = host_modules.saved_documents()
        assert [r["event"] for r in sample_records(first)] == ["call", "return"]
        assert sample_records(second) == []
        assert host_modules.saved[0][2]["timeout"] == 9
        assert host_modules.saved[0][1] == host_modules.saved[1][1] == host.trace_id

    def test_build_then_save_does_not_repeat_records(self, host_modules):
        host = Host()
        with profiling(host) as profiler:
            sample.helpers.double(1)
        assert len(sample_records(decode(profiler.build_trace()))) == 2
        profiler.save_request_in_db()
        assert sample_records(host_modules.saved_documents()[0]) == []

    def test_failed_hand_over_keeps_the_records(self, host_modules):
        def refuse(*args, **keywords):
            raise OSError("disk full")

        host = Host()
        with profiling(host) as profiler:
            sample.helpers.double(1)
        host_modules.db.save_trace_in_sqlite = refuse
        with pytest.raises(OSError, match="disk full"):
            profiler.save_request_in_db()
        records = sample_records(decode(profiler.build_trace()))
        assert [r["event"] for r in records] == ["call", "return"]

    def test_records_filed_during_a_failed_hand_over_come_after_the_kept_ones(self, host_modules):
        host = Host()

        def refuse_after_recording(*args, **keywords):
            sample.helpers.double(5)  # filed while the hand-over is under way
            raise OSError("busy")

        with profiling(host) as profiler:
            sample.helpers.double(1)
            host_modules.db.save_trace_in_sqlite = refuse_after_recording
            with pytest.raises(OSError):
                profiler.save_request_in_db()
            sample.helpers.double(2)
        records = sample_records(decode(profiler.build_trace()))
        assert [r["locals"]["value"] for r in records] == [1, 1, 5, 5, 2, 2]

    def test_missing_storage_module_raises(self, host_modules, monkeypatch):
        host = Host()
        with profiling(host) as profiler:
            pass
        monkeypatch.delattr(host_modules.db, "save_trace_in_sqlite")
        with pytest.raises(AttributeError):
            profiler.save_request_in_db()

    def test_build_failure_leaves_the_buffers_alone(self, host_modules, monkeypatch):
        host = Host()
        with profiling(host) as profiler:
            sample.helpers.double(1)
        monkeypatch.setattr(sys, "argv", ["ok", 3])
        with pytest.raises(TypeError, match="'int' object cannot be converted to 'PyString'"):
            profiler.build_trace()
        monkeypatch.setattr(sys, "argv", ["ok"])
        assert len(sample_records(decode(profiler.build_trace()))) == 2


def test_host_names_replaced_after_their_first_use_take_effect(host_modules, monkeypatch):
    host = Host()
    with profiling(host) as profiler:
        pass
    profiler.save_request_in_db()  # every name of the host's has been used once
    monkeypatch.setattr(sys.modules["vesk.version"], "__version__", "9.9")
    git = types.ModuleType("vesk.git")
    git.COMMIT_SHA = "f" * 40
    monkeypatch.setitem(sys.modules, "vesk.git", git)
    stored = []
    db = types.ModuleType("vesk.db")
    db.save_trace_in_sqlite = lambda *arguments, **keywords: stored.append(arguments)
    monkeypatch.setitem(sys.modules, "vesk.db", db)
    document = decode(profiler.build_trace())
    assert (document["meta"]["version"], document["current_commit_sha"]) == ("9.9", "f" * 40)
    profiler.save_request_in_db()
    assert stored == [(host.db_path, host.trace_id)] and len(host_modules.saved) == 1
    monkeypatch.setitem(sys.modules, "vesk.db", None)
    with pytest.raises(ImportError):
        profiler.save_request_in_db()


def test_each_profiler_decides_for_itself_about_the_same_code(host_modules):
    ignoring = Host(config={"filters": {"ignore_frames": ["sample/helpers.py"]}})
    with profiling(ignoring) as first:
        sample.helpers.double(1)
    plain = Host()
    with profiling(plain) as second:
        sample.helpers.double(2)
    with profiling(ignoring) as third:
        sample.helpers.double(3)
    assert sample_records(decode(first.build_trace())) == []
    assert [r["locals"]["value"] for r in sample_records(decode(second.build_trace()))] == [2, 2]
    assert sample_records(decode(third.build_trace())) == []


def test_a_change_of_working_directory_shows_at_the_next_event(host_modules, tmp_path):
    here = os.getcwd()
    sample_dir = os.path.dirname(sample.helpers.__file__)
    host = Host()
    try:
        with profiling(host) as profiler:
            sample.helpers.double(1)
            os.chdir(sample_dir)
            sample.helpers.double(2)
            os.chdir(tmp_path)
            sample.helpers.double(3)
            os.fchdir(os.open(sample_dir, os.O_RDONLY))
            sample.helpers.double(4)
    finally:
        os.chdir(here)
    calls = frames_of(decode(profiler.build_trace()), co_name="double", event="call")
    assert [r["path"] for r in calls] == [f"{relative(sample.helpers)}:1", "helpers.py:1",
                                          f"{sample.helpers.__file__}:1", "helpers.py:1"]


def test_a_renamed_module_shows_at_the_next_event(host_modules):
    host = Host()
    try:
        with profiling(host) as profiler:
            sample.helpers.double(1)
            sample.helpers.__dict__["__name__"] = "renamed"
            sample.helpers.double(2)
    finally:
        sample.helpers.__dict__["__name__"] = "sample.helpers"
    calls = frames_of(decode(profiler.build_trace()), co_name="double", event="call")
    assert [r["qualname"] for r in calls] == ["sample.helpers.double", "renamed.double"]


class Unprintable(Exception):
    def __str__(self):
        raise AssertionError("the recorder ran the exception's own __str__")


def fails(exception):
    raise exception


def catches(exception):
    try:
        fails(exception)
    except BaseException:
        return "caught"


def suspends():
    try:  # without a handler, 3.13's close() ends a suspended generator without running it
        yield 1
        yield 2
    finally:
        pass


def closed():
    generator = suspends()
    next(generator)
    generator.close()


def thrown_and_caught():
    generator = suspends()
    next(generator)
    try:
        generator.throw(KeyError("thrown"))
    except KeyError:
        pass


RAISE_LINE = fails.__code__.co_firstlineno + 1
UNPRINTABLE = f"{Unprintable.__module__}.Unprintable"


@pytest.mark.parametrize(("run", "function", "exception", "line"), [
    (lambda: catches(ValueError("x")), "fails", ("ValueError", "x"), RAISE_LINE),
    (lambda: catches(FileNotFoundError(2, "gone")), "fails", ("FileNotFoundError", "[Errno 2] gone"), RAISE_LINE),
    (lambda: catches(Unprintable("own text")), "fails", (UNPRINTABLE, "own text"), RAISE_LINE),
    (lambda: catches(Unprintable(1, 2)), "fails", (UNPRINTABLE, None), RAISE_LINE),
    (lambda: catches(KeyboardInterrupt()), "fails", ("KeyboardInterrupt", None), RAISE_LINE),
    (closed, "suspends", ("GeneratorExit", None), None),  # the line the finally block re-raises at
    (thrown_and_caught, "suspends", ("KeyError", "thrown"), None),
])
def test_an_unwind_names_the_exception_that_left_the_call(host_modules, run, function, exception, line):
    with profiling(Host()) as profiler:
        run()
    records = frames_of(decode(profiler.build_trace()), co_name=function)
    assert [r["event"] for r in records][-2:] == ["call", "unwind"]
    described = records[-1]["arg"]
    assert (described["type"], described["message"]) == exception
    assert records[-1]["path"].endswith(f":{described['line']}") and described["line"] == (line or described["line"])
    assert records[-1]["frame_id"] == records[0]["frame_id"]


def test_a_none_returned_or_yielded_is_a_return(host_modules):
    # 3.12 passes None for an exception's exit too, so there the frame's instruction tells them apart.
    def returns_none():
        return None

    def falls_off_the_end():
        pass

    def yields_none():
        yield

    with profiling(Host()) as profiler:
        returns_none()
        falls_off_the_end()
        list(yields_none())
    names = ("returns_none", "falls_off_the_end", "yields_none")
    records = [r for r in frames_of(decode(profiler.build_trace())) if r["co_name"] in names]
    # The generator: its call, the yield, its resumption and its end.
    assert [(r["event"], r["arg"]) for r in records] == [("call", None), ("return", None)] * 4


def test_a_generator_keeps_one_frame_id_across_its_resumptions(host_modules):
    def numbers():
        yield 1
        yield 2

    def consume():
        first = numbers()
        second = numbers()
        return [next(first), next(second), next(first), next(second), list(first), list(second)]

    with profiling(Host()) as profiler:
        consume()
    records = frames_of(decode(profiler.build_trace()), co_name="numbers")
    ids = [r["frame_id"] for r in records]
    # Two generators interleaved, each started, resumed twice and finished: three calls, three returns.
    assert len(records) == 12 and len(set(ids)) == 2
    assert all(ids.count(one) == 6 for one in set(ids))
    # A finished generator's frame id is forgotten: a new generator at the same address gets a new one.
    with profiling(Host()) as profiler:
        list(numbers())
        list(numbers())
    assert len({r["frame_id"] for r in frames_of(decode(profiler.build_trace()), co_name="numbers")}) == 2


def test_reading_locals_keeps_no_value_alive_past_its_del(host_modules):
    # Recording reads a generator's locals at each yield: a value it held then must be freed at its
    # `del`, as without vesk (a caught exception would be kept by the frame it was caught in).
    class Tracked(Exception):
        pass

    def keeps_nothing():
        try:
            raise Tracked
        except Tracked as caught:
            held = weakref.ref(caught)
            yield 1
        yield held() is None

    with profiling(Host()):
        freed = list(keeps_nothing())[-1]
    assert freed


def test_recorder_time_tells_the_recorders_share_of_each_duration(host_modules):
    def inner():
        return 1

    def outer():
        return sum(inner() for _ in range(50))

    with profiling(Host(config={"recorder_time": True})) as profiler:
        outer()
    records = decode(profiler.build_trace())["frames_of_interest"]
    [timing] = [r for r in records if r.get("type") == "recorder_time"]
    assert timing["list"] == "frames_of_interest"
    seconds = timing["seconds"]
    filed = records[: len(seconds)]
    assert seconds == sorted(seconds) and all(r.get("type") != "recorder_time" for r in filed)
    call, ret = (i for i, r in enumerate(filed) if r.get("co_name") == "outer")
    recorder = seconds[ret] - seconds[call]
    # 100 recorded events of inner() and the generator's resumptions happened inside outer().
    assert 0 < recorder < filed[ret]["timestamp"] - filed[call]["timestamp"]


@pytest.mark.parametrize("estimate", ["recorder_time_per_event_ns", "recorder_time_per_record_ns",
                                      "recorder_time_per_dropped_ns"])
def test_the_hosts_estimate_of_untimed_recorder_time_counts_into_the_trailer(host_modules, estimate):
    if estimate == "recorder_time_per_dropped_ns" and sys.version_info >= (3, 12) and not os.environ.get(
            "VESK_PROFILE_FUNCTION"):
        pytest.skip("sys.monitoring turns library code's events off: none reaches the recorder")

    def inner():
        return 1

    def outer():
        # os.path.join runs in the standard library: its calls and returns are let pass.
        return sum(inner() for _ in range(50)) + len(os.path.join("a", "b"))

    # An estimate far above what events cost: the guard against the program's own time running
    # backwards caps it, so the program's time stands still from outer's call to its return.
    with profiling(Host(config={"recorder_time": True, estimate: 1e9})) as profiler:
        outer()
    records = decode(profiler.build_trace())["frames_of_interest"]
    [seconds] = [r["seconds"] for r in records if r.get("type") == "recorder_time"]
    call, ret = (i for i, r in enumerate(records[: len(seconds)]) if r.get("co_name") == "outer")
    program = (records[ret]["timestamp"] - records[call]["timestamp"]) - (seconds[ret] - seconds[call])
    assert abs(program) < 1e-6
    with pytest.raises(TypeError, match="non-negative nanoseconds"):
        _vesk.register_profiler(Host(config={estimate: -1.0}))
