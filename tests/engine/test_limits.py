"""Bounded recording: streaming documents, calls left out past a function's limit, the trace's byte
limit, and records dropped only when storage keeps failing."""

import logging

import pytest

from engine_support import Host, decode, frames_of, profiling


def leaf(value):
    return value


def branch(value):
    return leaf(value) + leaf(value + 1)


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def records_of(document):
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return records


def left_out(documents):
    counts = {}
    for document in documents:
        for record in records_of(document):
            if record.get("type") == "calls_left_out":
                for function in record["functions"]:
                    counts[function["co_name"]] = counts.get(function["co_name"], 0) + function["count"]
    return counts


def limited(host_modules, **limits):
    return Host(config={"limits": limits})


def recorded_calls(documents, co_name):
    return sum(len(frames_of(d, co_name=co_name, event="call")) for d in documents)


def test_past_the_buffer_bound_records_stream_out_as_documents_of_the_same_trace(host_modules):
    host = limited(host_modules, buffer_bytes=4000)
    with profiling(host) as profiler:
        for value in range(300):
            leaf(value)
    documents = host_modules.saved_documents() + [decode(profiler.build_trace())]
    assert len(documents) > 10
    assert {d["trace_id"] for d in documents} == {host.trace_id}
    streamed = [(r["event"], r["locals"]["value"]) for d in documents for r in frames_of(d, co_name="leaf")]
    assert streamed == [(event, value) for value in range(300) for event in ("call", "return")]
    # The bound, plus the record that crossed it and the document's own fields.
    assert all(len(keywords["msgpack"]) < 4000 + 1000 for _, _, keywords in host_modules.saved)


def test_without_limits_nothing_is_saved_until_the_host_asks(host_modules):
    with profiling(Host()) as profiler:
        for value in range(300):
            leaf(value)
    assert host_modules.saved == []
    assert recorded_calls([decode(profiler.build_trace())], "leaf") == 300


def test_calls_past_a_functions_limit_are_counted_and_left_out_with_their_subtree(host_modules):
    host = limited(host_modules, calls_per_function=3)
    with profiling(host) as profiler:
        for value in range(10):
            branch(value)
        fib(10)
    document = decode(profiler.build_trace())
    assert recorded_calls([document], "branch") == 3
    # leaf is called only inside branch: past its own limit within the recorded calls of branch (6
    # calls), and with the left-out calls of branch (14 more).
    assert recorded_calls([document], "leaf") == 3
    assert recorded_calls([document], "fib") == 3
    assert left_out([document]) == {"branch": 7, "leaf": 3 + 14, "fib": 177 - 3}
    # Every recorded call's caller is recorded (or it is a root of the trace).
    def caller_ids(co_name):
        return [r["user_code_call_site"]["call_frame_id"] for r in frames_of(document, co_name=co_name, event="call")
                if r["user_code_call_site"] is not None]

    branch_ids = {r["frame_id"] for r in frames_of(document, co_name="branch")}
    fib_ids = {r["frame_id"] for r in frames_of(document, co_name="fib")}
    assert len(caller_ids("leaf")) == 3 and set(caller_ids("leaf")) <= branch_ids
    assert len(caller_ids("fib")) == 2 and set(caller_ids("fib")) <= fib_ids
    ours = [r for r in frames_of(document) if r["co_name"] in ("branch", "leaf", "fib")]
    assert len(ours) == 18 and all(r["frame_id"] is not None for r in ours)


def producer(n):
    for value in range(n):
        yield leaf(value)
    return "end"


async def awaits(n):
    for value in range(n):
        await Suspend()
    return "done"


class Suspend:
    def __await__(self):
        yield


def drive(coroutine):
    try:
        while True:
            coroutine.send(None)
    except StopIteration as stop:
        return stop.value


def test_a_generators_resumptions_belong_to_its_one_call(host_modules):
    host = limited(host_modules, calls_per_function=3)
    with profiling(host) as profiler:
        for _ in range(4):  # the fourth call is left out, with all its resumptions
            assert list(producer(10)) == list(range(10))
        for _ in range(4):
            assert drive(awaits(10)) == "done"
    document = decode(profiler.build_trace())
    for function, result in (("producer", "end"), ("awaits", "done")):
        records = frames_of(document, co_name=function)
        assert len({r["frame_id"] for r in records}) == 3
        # Each recorded call: its start, ten resumptions, and the real result at its end.
        assert [r["arg"] for r in records if r["event"] == "return"][10::11] == [result] * 3
    assert left_out([document]) == {"producer": 1, "awaits": 1, "drive": 1, "__await__": 40 - 3, "leaf": 40 - 3}


def test_each_test_trace_counts_calls_afresh_and_drops_records_outside_tests(host_modules):
    from test_buffers import begin_test, finish_test, plugin

    host_modules.plugin_data = [
        plugin("begin_test", "start_test", "start_test_return", events=["call"]),
        plugin("finish_test", "end_test_call", "end_test", events=["return"]),
    ]
    host = Host(one_trace_per_test=True, config={"limits": {"calls_per_function": 2, "buffer_bytes": 2000}})
    with profiling(host):
        for value in range(100):
            leaf(value)  # between tests: past the bound, dropped rather than saved
        assert host_modules.saved == []
        for name in ("test_a", "test_b"):
            begin_test(name)
            for value in range(5):
                branch(value)
            finish_test(name)
    documents = host_modules.saved_documents()
    trace_ids = list(dict.fromkeys(d["trace_id"] for d in documents))
    assert len(trace_ids) == 2
    for trace_id in trace_ids:
        trace = [d for d in documents if d["trace_id"] == trace_id]
        assert recorded_calls(trace, "branch") == 2
        assert left_out(trace) == {"branch": 3, "leaf": 2 + 6}


def test_past_the_trace_byte_limit_frame_recording_stops_with_a_marker(host_modules):
    host = limited(host_modules, trace_bytes=3000)

    def outer():
        for value in range(50):
            leaf(value)
        return "done"

    with profiling(host) as profiler:
        outer()
    document = decode(profiler.build_trace())
    stops = [r for r in records_of(document) if r.get("type") == "recording_stopped"]
    assert len(stops) == 1 and stops[0]["limit"] == 3000
    assert 0 < recorded_calls([document], "leaf") < 50
    # The call open when recording stopped still gets its return.
    assert [r["arg"] for r in frames_of(document, co_name="outer", event="return")] == ["done"]
    assert left_out([document])["leaf"] == 50 - recorded_calls([document], "leaf")
    blamed = [r for r in records_of(document) if r.get("type") == "calls_left_out"]
    assert [(r["reason"], r["limit"]) for r in blamed] == [("trace_bytes", 3000)]
    assert profiler.recording_totals()["stopped_traces"] == 1


def test_while_storage_fails_records_are_kept_to_a_hard_bound_then_dropped_and_counted(host_modules, caplog):
    caplog.set_level(logging.WARNING, logger="vesk")
    working_save = host_modules.db.save_trace_in_sqlite

    def refuse(*args, **keywords):
        raise OSError("disk full")

    def run(failing):
        host_modules.saved.clear()
        host_modules.db.save_trace_in_sqlite = refuse if failing else working_save
        with profiling(limited(host_modules, buffer_bytes=1000)) as profiler:
            for value in range(400):
                leaf(value)
            host_modules.db.save_trace_in_sqlite = working_save
            leaf(-1)
        documents = host_modules.saved_documents() + [decode(profiler.build_trace())]
        return documents, profiler.recording_totals()

    documents, totals = run(failing=True)
    assert len([r for r in caplog.records if r.name == "vesk"]) == 1  # said once, not at every try
    assert totals["dropped_records"] > 0
    dropped = [r for d in documents for r in records_of(d) if r.get("type") == "records_dropped"]
    assert sum(r["count"] for r in dropped) == totals["dropped_records"]
    assert max(len(keywords["msgpack"]) for _, _, keywords in host_modules.saved) < 8 * 1000 + 2000
    complete, _ = run(failing=False)
    assert sum(len(frames_of(d)) for d in documents) + totals["dropped_records"] == sum(
        len(frames_of(d)) for d in complete)


@pytest.mark.parametrize("limits", [{"buffer_bytes": -1}, {"calls_per_function": "many"}, []])
def test_a_bad_limit_fails_construction(host_modules, limits):
    with pytest.raises((TypeError, OverflowError)):
        with profiling(Host(config={"limits": limits})):
            pass
