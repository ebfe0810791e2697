"""Filing records by thread, the order within an event, and cutting one trace per test."""

import sys
import threading

import pytest

from engine_support import Host, decode, frames_of, profiling

import sample.helpers


def run_in_thread(target):
    worker = threading.Thread(target=target)
    worker.start()
    worker.join()
    return worker


def values(records):
    return [(r["event"], r["locals"]["value"]) for r in records if r.get("co_name") == "double"]


class TestRouting:
    def test_threading_off_files_every_thread_into_the_main_list(self, host_modules):
        host = Host()
        with profiling(host) as profiler:
            def work():
                profiler.register_threading_profiler(None, "call", None)
                sample.helpers.double(2)
                sys.setprofile(None)

            sample.helpers.double(1)
            run_in_thread(work)
        document = decode(profiler.build_trace())
        assert document["frames"] == {}
        assert values(document["frames_of_interest"]) == [("call", 1), ("return", 1), ("call", 2), ("return", 2)]

    def test_threading_on_files_other_threads_by_native_id(self, host_modules):
        host = Host(config={"threading": True})
        with profiling(host) as profiler:
            sample.helpers.double(1)
            worker = run_in_thread(lambda: sample.helpers.double(2))
        document = decode(profiler.build_trace())
        assert values(document["frames_of_interest"]) == [("call", 1), ("return", 1)]
        assert list(document["frames"]) == [worker.native_id]
        assert values(document["frames"][worker.native_id]) == [("call", 2), ("return", 2)]
        thread_records = [r for r in document["frames"][worker.native_id] if r["co_name"] == "double"]
        assert {r["thread"] for r in thread_records} == {worker.name}
        assert {r["thread_native_id"] for r in thread_records} == {worker.native_id}

    def test_threading_on_without_main_thread_id_files_the_main_thread_by_its_id(self, host_modules, monkeypatch):
        class NoNativeId:
            pass

        real_main = threading.main_thread()
        monkeypatch.setattr(threading, "main_thread", NoNativeId)
        host = Host(config={"threading": True})
        with profiling(host) as profiler:
            sample.helpers.double(1)
        document = decode(profiler.build_trace())
        assert document["main_thread_id"] is None
        assert values(document["frames"][threading.get_native_id()]) == [("call", 1), ("return", 1)]
        assert real_main is not None

    def test_a_new_thread_starts_with_its_own_stores(self, host_modules):
        host = Host(config={"threading": True})
        names = []
        with profiling(host) as profiler:
            for name in ("first", "second"):
                worker = threading.Thread(target=sample.helpers.double, args=(1,), name=name)
                worker.start()
                worker.join()
                names.append(worker.native_id)
        document = decode(profiler.build_trace())
        records = [r for thread in document["frames"].values() for r in thread if r["co_name"] == "double"]
        assert sorted(r["thread"] for r in records) == ["first", "first", "second", "second"]
        for record in records:
            assert record["user_code_call_site"] is None


def plugin(co_name, call_type, return_type, **extra):
    description = {"co_names": [co_name], "path_fragment": "tests/engine", "call_type": call_type,
                   "return_type": return_type}
    description.update(extra)
    return description


def begin_test(name):
    return name


def finish_test(name):
    return name


def step(value):
    return value


def test_plugin_records_come_before_the_frame_on_call_and_after_it_on_return(host_modules):
    host_modules.plugin_data = [plugin("step", "step_call", "step_return")]
    host = Host()
    with profiling(host) as profiler:
        step(1)
    records = [r for r in decode(profiler.build_trace())["frames_of_interest"]
               if r.get("co_name") == "step" or r["type"].startswith("step_")]
    assert [r["type"] for r in records] == ["step_call", "frame", "frame", "step_return"]


class TestOneTracePerTest:
    def per_test_host(self, host_modules):
        host_modules.plugin_data = [
            plugin("begin_test", "start_test", "start_test_return", events=["call"]),
            plugin("finish_test", "end_test_call", "end_test", events=["return"]),
        ]
        return Host(one_trace_per_test=True)

    def test_each_test_becomes_one_trace(self, host_modules):
        host = self.per_test_host(host_modules)
        with profiling(host) as profiler:
            step("before any test")
            for name in ("test_a", "test_b"):
                begin_test(name)
                step(name)
                finish_test(name)
            step("after the last test")
        first, second = host_modules.saved_documents()
        for document, name in ((first, "test_a"), (second, "test_b")):
            records = document["frames_of_interest"]
            assert [r["type"] for r in records][0] == "start_test"
            assert [r["type"] for r in records][-2:] == ["frame", "end_test"]
            assert [r["locals"]["value"] for r in records if r.get("co_name") == "step"] == [name, name]
        assert first["trace_id"] != second["trace_id"]
        assert first["trace_id"].startswith("trc_") and len(first["trace_id"]) == 30
        assert first["timestamp"] == second["timestamp"]
        assert [saved[1] for saved in host_modules.saved] == [first["trace_id"], second["trace_id"]]
        leftover = decode(profiler.build_trace())
        assert leftover["trace_id"] == second["trace_id"]
        assert [r["locals"]["value"] for r in leftover["frames_of_interest"] if r.get("co_name") == "step"] == [
            "after the last test", "after the last test"]

    def test_markers_are_plain_records_when_the_mode_is_off(self, host_modules):
        host = self.per_test_host(host_modules)
        host.one_trace_per_test = False
        with profiling(host) as profiler:
            begin_test("a")
            finish_test("a")
        assert host_modules.saved == []
        document = decode(profiler.build_trace())
        assert document["trace_id"] == host.trace_id
        types = [r["type"] for r in document["frames_of_interest"]]
        assert "start_test" in types and "end_test" in types

    def test_a_failing_save_at_the_end_of_a_test_is_reported(self, host_modules, caplog):
        host = self.per_test_host(host_modules)

        def refuse(*args, **keywords):
            raise OSError("read-only database")

        host_modules.db.save_trace_in_sqlite = refuse
        with profiling(host):
            begin_test("a")
            assert finish_test("a") == "a"
        assert any(isinstance(r.exc_info[1], OSError) for r in caplog.records if r.name == "vesk")


def test_a_forked_child_records_a_trace_of_its_own(host_modules):
    import json
    import os

    with profiling(Host()) as profiler:
        sample.helpers.double(1)
        reader, writer = os.pipe()
        pid = os.fork()
        if pid == 0:
            profiler.start_forked_trace("trc_01ARZ3NDEKTSV4RRFFQ69G5FAW")
            sample.helpers.double(2)
            document = decode(profiler.build_trace())
            os.write(writer, json.dumps([document["trace_id"], values(document["frames_of_interest"])]).encode())
            os._exit(0)
        os.close(writer)
        os.waitpid(pid, 0)
        with os.fdopen(reader) as pipe:
            child_trace_id, child_values = json.load(pipe)
        sample.helpers.double(3)
    parent = decode(profiler.build_trace())
    assert child_trace_id == "trc_01ARZ3NDEKTSV4RRFFQ69G5FAW"
    assert child_values == [["call", 2], ["return", 2]]
    assert parent["trace_id"] == "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
    assert values(parent["frames_of_interest"]) == [("call", 1), ("return", 1), ("call", 3), ("return", 3)]
