"""Recording failures never reach the profiled program: each is logged once and the event dropped."""

import ctypes
import logging
import os
import sys
import threading

import msgpack
import pytest

from engine_support import Host, decode, frames_of, profiling

import sample.helpers


def sample_records(document):
    return [r for r in frames_of(document) if "sample" in r["path"]]


class Unserialisable:
    pass


def serialise_refusing(value):
    def refuse(inner):
        if isinstance(inner, Unserialisable):
            raise ValueError("cannot serialise this")
        return f"<{type(inner).__name__}>"  # never the object's own __repr__

    return msgpack.packb(value, default=refuse)


def holds_unserialisable():
    bad = Unserialisable()
    return sample.helpers.double(1) + (0 if bad else 1)


@pytest.fixture
def vesk_warnings(caplog):
    caplog.set_level(logging.WARNING, logger="vesk")
    return caplog


def warnings_of(caplog):
    return [r for r in caplog.records if r.name == "vesk"]


def test_a_serialiser_failure_is_logged_once_and_drops_only_its_event(host_modules, vesk_warnings):
    host_modules.serialize.dump_msgpack = serialise_refusing
    host = Host()
    with profiling(host) as profiler:
        result = holds_unserialisable()
    assert result == 2
    records = frames_of(decode(profiler.build_trace()))
    names = [(r["co_name"], r["event"]) for r in records]
    # The call of holds_unserialisable has no bad local yet; its return does, and only that is lost.
    assert ("holds_unserialisable", "call") in names
    assert ("holds_unserialisable", "return") not in names
    assert names.count(("double", "call")) == names.count(("double", "return")) == 1
    logged = warnings_of(vesk_warnings)
    assert len(logged) == 1
    record = logged[0]
    assert record.levelno == logging.WARNING
    assert record.msg == ("Unexpected exception in Rust.\n    co_filename: %s\n    co_name: %s\n    event: %s\n"
                          "    frame locals: %s\n")
    assert record.args[1:3] == ("holds_unserialisable", "return")
    assert record.args[0] == holds_unserialisable.__code__.co_filename
    # The locals by type only: a warning must not print what the frame holds.
    assert record.args[3] == {"bad": "Unserialisable"}, record.args[3]
    assert isinstance(record.exc_info[1], ValueError)
    assert record.exc_info[2] is not None


def test_a_failed_call_record_does_not_take_its_callers_stack_entry(host_modules):
    host_modules.serialize.dump_msgpack = serialise_refusing

    def outer():
        inner(Unserialisable())
        return sample.helpers.double(3)

    def inner(value):
        return None

    host = Host()
    with profiling(host) as profiler:
        outer()
    records = frames_of(decode(profiler.build_trace()))
    outer_call = next(r for r in records if r["co_name"] == "outer" and r["event"] == "call")
    double_call = next(r for r in records if r["co_name"] == "double" and r["event"] == "call")
    assert not any(r["co_name"] == "inner" for r in records)
    assert double_call["user_code_call_site"]["call_frame_id"] == outer_call["frame_id"]


def test_an_empty_serialiser_result_is_an_error_not_a_broken_document(host_modules, vesk_warnings):
    host_modules.serialize.dump_msgpack = lambda value: b""
    host = Host()
    with profiling(host) as profiler:
        sample.helpers.double(1)
    document = decode(profiler.build_trace())
    assert sample_records(document) == []
    assert len(warnings_of(vesk_warnings)) >= 2


def test_a_thread_name_that_is_not_text_is_reported(host_modules, vesk_warnings, monkeypatch):
    class Nameless:
        name = 42
        native_id = 7

    host = Host()
    monkeypatch.setattr(threading, "current_thread", Nameless)
    with profiling(host) as profiler:
        result = sample.helpers.double(4)
    monkeypatch.undo()
    assert result == 8
    assert sample_records(decode(profiler.build_trace())) == []
    logged = warnings_of(vesk_warnings)
    assert logged and all(isinstance(r.exc_info[1], TypeError) for r in logged)
    assert str(logged[0].exc_info[1]) == "'int' object cannot be converted to 'PyString'"


def test_paths_are_recorded_whole_while_the_working_directory_is_gone(host_modules, vesk_warnings, tmp_path):
    gone = tmp_path / "gone"
    gone.mkdir()
    here = os.getcwd()
    host = Host()
    try:
        with profiling(host) as profiler:
            os.chdir(gone)
            os.rmdir(gone)
            lost = sample.helpers.double(5)
            os.chdir(here)
            kept = sample.helpers.double(6)
    finally:
        os.chdir(here)
    assert (lost, kept) == (10, 12)
    records = sample_records(decode(profiler.build_trace()))
    assert [r["locals"]["value"] for r in records] == [5, 5, 6, 6]
    whole, relative = records[0]["path"], records[2]["path"]
    assert whole.startswith(os.sep) and whole.endswith(relative) and not relative.startswith(os.sep)
    assert warnings_of(vesk_warnings) == []


def test_a_failing_log_handler_goes_to_the_unraisable_hook(host_modules, monkeypatch):
    host_modules.serialize.dump_msgpack = serialise_refusing
    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)

    class Exploding(logging.Handler):
        def emit(self, record):
            raise RuntimeError("handler down")

        def handleError(self, record):
            raise

    logger = logging.getLogger("vesk")
    handler = Exploding()
    logger.addHandler(handler)
    try:
        host = Host()
        with profiling(host):
            assert holds_unserialisable() == 2
    finally:
        logger.removeHandler(handler)
    assert len(unraisable) == 1
    assert isinstance(unraisable[0].exc_value, RuntimeError)


def test_silenced_logger_formats_nothing(host_modules, monkeypatch):
    formatted = []

    class Loud:
        def __repr__(self):
            formatted.append(True)
            return "loud"

    host_modules.serialize.dump_msgpack = serialise_refusing

    def work():
        loud = Loud()
        bad = Unserialisable()
        return loud, bad

    logger = logging.getLogger("vesk")
    level = logger.level
    logger.setLevel(logging.ERROR)
    try:
        host = Host()
        with profiling(host):
            work()
    finally:
        logger.setLevel(level)
    assert formatted == []


class _MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def allocated_bytes():
    """The bytes malloc has handed out and not had back. Not the resident size: after the first
    large buffer freed, glibc raises its mmap threshold and keeps the next one's pages when it is
    freed, a step of one trace document's size at a round that depends on the tests run before."""
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = _MallocInfo
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def test_many_events_keep_memory_and_references_flat(host_modules):
    argument = object()
    host = Host()
    before = sys.getrefcount(argument)

    def loop():
        for _ in range(5000):
            sample.helpers.double(argument is not None)

    with profiling(host) as profiler:
        loop()
        profiler.build_trace()
        warm, warm_blocks = allocated_bytes(), sys.getallocatedblocks()
        for _ in range(10):
            loop()
            profiler.build_trace()
        grown, grown_blocks = allocated_bytes() - warm, sys.getallocatedblocks() - warm_blocks
    # 100,000 events: a leak of a byte or an object per event shows.
    assert grown < 50_000 and grown_blocks < 1_000, (grown, grown_blocks)
    del profiler
    del host.rust_profiler
    assert sys.getrefcount(argument) == before


def test_the_recorders_own_trouble_is_logged_once_and_never_reaches_the_program(host_modules, vesk_warnings):
    def out_of_memory(value):
        raise MemoryError

    host_modules.serialize.dump_msgpack = out_of_memory
    with profiling(Host()) as profiler:
        results = [sample.helpers.double(value) for value in range(5)]
    assert results == [0, 2, 4, 6, 8]
    assert len(warnings_of(vesk_warnings)) == 1
    assert profiler.recording_totals()["failed_events"] >= 10
