"""Plugins through the real engine: records from library code, and faults isolated per processor."""

import logging
import sqlite3

import pytest

from engine_support import Host, decode, profiling


def describe(co_name, path_fragment, call_type, return_type, **extra):
    description = {"co_names": [co_name], "path_fragment": path_fragment, "call_type": call_type,
                   "return_type": return_type}
    description.update(extra)
    return description


def library_call():
    import json
    return json.dumps({"a": 1})


def test_a_plugin_records_calls_inside_filtered_library_code(host_modules):
    host_modules.plugin_data = [describe("dumps", "json/__init__.py", "json_dump", "json_dumped",
                                         process=lambda frame, event, arg, context: {"result": arg}
                                         if event == "return" else {"obj": frame.f_locals["obj"]})]
    host = Host()
    with profiling(host) as profiler:
        library_call()
    records = decode(profiler.build_trace())["frames_of_interest"]
    assert not any(r.get("co_name") == "dumps" for r in records)  # the library frame itself is dropped
    plugin_records = [r for r in records if r["type"] in ("json_dump", "json_dumped")]
    assert [(r["type"], r.get("obj"), r.get("result")) for r in plugin_records] == [
        ("json_dump", {"a": 1}, None), ("json_dumped", None, '{"a": 1}')]
    call, ret = plugin_records
    assert call["frame_id"] == ret["frame_id"]
    caller = next(r for r in records if r.get("co_name") == "library_call" and r["event"] == "call")
    assert call["user_code_call_site"]["call_frame_id"] == caller["frame_id"]
    assert list(call)[:6] == ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


def target(value):
    return value + 1


@pytest.mark.parametrize("fault", ["predicate_not_bool", "process_not_mapping", "process_raises",
                                   "type_not_text", "serialiser_refuses"])
def test_a_faulty_processor_is_reported_once_and_spoils_nothing_else(host_modules, caplog, fault):
    caplog.set_level(logging.WARNING, logger="vesk")

    class Refused:
        pass

    faulty = {
        "predicate_not_bool": {"call": lambda *args: 1},
        "process_not_mapping": {"process": lambda *args: [("a", 1)]},
        "process_raises": {"process": lambda *args: 1 / 0},
        "type_not_text": {"process": lambda *args: {"type": 5}},
        "serialiser_refuses": {"process": lambda *args: {"payload": Refused()}},
    }[fault]
    real_dump = host_modules.serialize.dump_msgpack

    def dump(value):
        if isinstance(value, dict) and isinstance(value.get("payload"), Refused):
            raise ValueError("refused payload")
        return real_dump(value)

    host_modules.serialize.dump_msgpack = dump
    host_modules.plugin_data = [
        describe("target", "tests/engine", "first_call", "first_return", events=["call"]),
        describe("target", "tests/engine", "faulty_call", "faulty_return", events=["call"], **faulty),
        describe("target", "tests/engine", "last_call", "last_return", events=["call"]),
    ]
    host = Host()
    with profiling(host) as profiler:
        assert target(1) == 2
    records = decode(profiler.build_trace())["frames_of_interest"]
    kinds = [r["type"] for r in records if r["type"] != "frame" or r["co_name"] == "target"]
    assert kinds == ["first_call", "last_call", "frame", "frame"]
    logged = [r.args[1:3] for r in caplog.records if r.name == "vesk"]
    # The predicate runs before the event test, so it fails at the return as well: once per event.
    expected = [("target", "call"), ("target", "return")] if fault == "predicate_not_bool" else [("target", "call")]
    assert logged == expected


def test_sqlite_is_not_recorded_but_the_caller_is(host_modules):
    host = Host()
    with profiling(host) as profiler:
        connection = sqlite3.connect(":memory:")
        connection.execute("select 1")
        library_call()
    names = {r["co_name"] for r in decode(profiler.build_trace())["frames_of_interest"]}
    assert "library_call" in names and "dumps" not in names
