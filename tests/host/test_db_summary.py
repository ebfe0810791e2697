"""The summary columns written at save time, read without decoding frame records, against a full decode."""

from __future__ import annotations

import logging
import threading

import msgpack
import pytest
from host_support import needs_engine
from hypothesis import given, settings
from hypothesis import strategies as st
from msgpack import ExtType

from vesk import db, profiler, serialize
from vesk.storage import open_store
from vesk.storage.sqlite.save import json_list
from vesk.storage.summary import summarise


def count_of(value) -> int:
    return value if type(value) is int else 0


def records_of(document: dict) -> list:
    """Only arrays hold records: a damaged document with, say, `true` in their place has none."""
    main = document.get("frames_of_interest")
    found = list(main) if isinstance(main, list) else []
    threads = document.get("frames")
    for thread_records in threads.values() if isinstance(threads, dict) else ():
        found.extend(thread_records if isinstance(thread_records, list) else ())
    return found


def decoded_summary(document: bytes) -> dict:
    """The summary as read from the whole decoded document: the reference the save must agree with."""
    summary = {"started_at": None, "source": None, "label": None, "command_line": [], "frame_count": 0,
               "plugin_count": 0, "calls_left_out": 0, "records_dropped": 0, "recording_stopped": False}
    try:
        decoded = serialize.loads(document)
    except Exception:  # noqa: BLE001 - an undecodable document has the empty summary
        return summary
    if not isinstance(decoded, dict):
        return summary
    timestamp = decoded.get("timestamp")
    summary["started_at"] = timestamp if isinstance(timestamp, (int, float)) else None
    meta = decoded.get("meta")
    if isinstance(meta, dict) and isinstance(meta.get("source"), str):
        summary["source"] = meta["source"]
    if isinstance(decoded.get("command_line_args"), list):
        summary["command_line"] = [str(arg) for arg in decoded["command_line_args"]]
    ended = True
    for record in records_of(decoded):
        if not isinstance(record, dict):
            continue
        kind = record.get("type")
        if kind == "frame":
            summary["frame_count"] += 1
            continue
        if kind == "calls_left_out" and isinstance(record.get("functions"), list):
            functions = [f for f in record["functions"] if isinstance(f, dict)]
            summary["calls_left_out"] += sum(count_of(f.get("count")) for f in functions)
        if kind == "records_dropped":
            summary["records_dropped"] += count_of(record.get("count"))
        summary["recording_stopped"] |= kind == "recording_stopped"
        if kind in ("calls_left_out", "records_dropped", "recording_stopped", "recorder_time",
                    "durations_unsteady"):
            continue
        summary["plugin_count"] += 1
        if summary["label"] is None:
            if kind == "start_test" and record.get("test") is not None:
                summary["label"] = str(record["test"])
            elif kind == "request_start":
                summary["label"] = f"{record.get('method', '?')} {record.get('path', '?')}"
                ended = False
        elif kind == "request_end" and not ended:
            ended = True
            summary["label"] += f" {record['status']}" if "status" in record else ""
    return summary


# --- documents the engine wrote ------------------------------------------------------------------


def work(depth: int) -> int:
    if depth:
        return work(depth - 1) + 1
    logging.getLogger("vesk-summary-test").warning("reached the bottom")
    return 0


@needs_engine
def test_an_engine_document_with_threads_and_plugin_records_counts_as_decoded(tmp_path):
    settings_ = profiler.prepare_settings(str(tmp_path), db_path=str(tmp_path / "db.sqlite3"))
    host = profiler.Profiler(settings_, source="code")
    host.start()
    try:
        work(3)
        threads = [threading.Thread(target=work, args=(n,)) for n in (2, 5, 7)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        host.stop()
    document = host.build()

    decoded = serialize.loads(document)
    per_thread = [records for records in decoded["frames"].values() if records]
    assert len(per_thread) >= 3, "the threads' records sit in their own buffers"
    assert all(any(r["type"] == "log" for r in records) for records in per_thread)
    assert any(r["type"] == "frame" for r in decoded["frames_of_interest"])

    summary = summarise(document)
    assert summary == decoded_summary(document)
    assert summary["plugin_count"] == 4 and summary["frame_count"] >= 2 * (4 + 3 + 6 + 8)
    assert summary["source"] == "code" and summary["started_at"] == decoded["timestamp"]

    db.save_trace_in_sqlite(host.db_path, host.trace_id, timeout=5, msgpack=document)
    stored = open_store(host.db_path).trace_summary(host.trace_id)
    assert (stored.frame_count, stored.plugin_count) == (summary["frame_count"], summary["plugin_count"])
    assert stored.command_line == summary["command_line"]


# --- documents of every shape ------------------------------------------------------------------------

values = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**40), 2**40) | st.floats(allow_nan=False) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6), inner, max_size=3),
    max_leaves=8,
)

# A nested map that starts exactly as a frame record does: it is inside a record, never one itself.
decoy = st.fixed_dictionaries({"path": st.just("x.py:1"), **{f"k{i}": values for i in range(10)},
                               "type": st.just("log")})

engine_frame = st.fixed_dictionaries({
    "path": st.just("app.py:3"),
    "co_name": st.just("f"),
    "qualname": st.none() | st.just("f"),
    "event": st.sampled_from(["call", "return"]),
    "frame_id": st.just("frm_01"),
    "arg": values | decoy,
    "locals": st.dictionaries(st.text(max_size=6), values | decoy, max_size=4),
    "thread": st.just("MainThread"),
    "thread_native_id": st.integers(0, 2**32),
    "timestamp": st.floats(allow_nan=False),
    "type": st.just("frame"),
    "user_code_call_site": st.none() | st.just({"call_frame_id": "frm_00", "line_number": 7}),
})

plugin_fields = {
    "test": st.text(max_size=10) | st.just(ExtType(serialize.OBJECT_REPR, b"<Item>")) | st.none(),
    "method": st.sampled_from(["GET", "POST"]),
    "path": st.text(max_size=6),
    "status": st.integers(100, 599),
    "message": values,
    "count": st.integers(0, 2**40) | values,
    "functions": st.lists(st.fixed_dictionaries({"co_name": st.just("f"), "count": st.integers(0, 99) | values})
                          | values, max_size=3) | values,
}
plugin_record = st.builds(
    lambda kind, extra: {"frame_id": "frm_02", "timestamp": 1.5, "thread": "t", "thread_native_id": 2,
                         "user_code_call_site": None, "type": kind, "subtype": None, **extra},
    st.sampled_from(["log", "start_test", "end_test", "request_start", "request_end", "sql_query", "frame",
                     "calls_left_out", "records_dropped", "recording_stopped"])
    | st.just(ExtType(serialize.MARKER, b"<redacted>")),
    st.dictionaries(st.sampled_from(sorted(plugin_fields)), st.none(), max_size=3).flatmap(
        lambda keys: st.fixed_dictionaries({key: plugin_fields[key] for key in keys})
    ),
)
# Records as hand-made documents hold them: a frame that is not in the engine's layout, and values
# that are no records at all.
other_record = st.fixed_dictionaries({"type": st.just("frame"), "co_name": st.just("g")}) | values

records = st.lists(engine_frame | plugin_record | other_record, max_size=12)

documents = st.fixed_dictionaries(
    {
        "command_line_args": st.lists(st.text(max_size=8), max_size=3) | values,
        "current_commit_sha": st.none() | st.just("ab" * 20),
        "frames": st.dictionaries(st.integers(0, 2**40), records | values, max_size=4) | values,
        "frames_of_interest": records | values,
        "main_thread_id": st.integers(0, 2**40),
        "meta": st.fixed_dictionaries({"version": st.just("0.1.0"), "source": st.text(max_size=5) | values,
                                       "use_frame_boundaries": st.just(True)}) | values,
        "timestamp": st.floats(allow_nan=False) | values,
        "trace_id": st.just("trc_01"),
    }
).map(lambda document: msgpack.packb(document, use_bin_type=True))


@settings(max_examples=300, deadline=None)
@given(documents)
def test_any_document_summarises_as_its_full_decode(document):
    assert summarise(document) == decoded_summary(document)


@settings(max_examples=150, deadline=None)
@given(documents, st.data())
def test_a_damaged_document_has_the_empty_summary(document, data):
    empty = decoded_summary(b"\xc1")
    cut = data.draw(st.integers(0, len(document) - 1))
    assert summarise(document[:cut]) == empty
    assert summarise(document + data.draw(st.binary(min_size=1, max_size=4))) == empty


@pytest.mark.parametrize("document", [
    b"",
    msgpack.packb([1, 2]),
    # A plugin record with a byte no MessagePack value starts with: skipping it must fail as decoding does.
    b"\x81\xb2frames_of_interest\x91\x81\xa4type\xc1",
    # A repeated key: the decoded dict keeps the last value, and so must the counts.
    b"\x82\xb2frames_of_interest" + msgpack.packb([{"type": "frame"}] * 3)
    + b"\xb2frames_of_interest" + msgpack.packb([{"type": "log"}]),
    b"\x81\xa6frames\x82\x07" + msgpack.packb([{"type": "frame"}] * 2) + b"\x07" + msgpack.packb([{"type": "log"}]),
    # Maps at the edges of their headers' forms: 15 entries is the largest fixmap, 16 the first map 16.
    *(msgpack.packb({"frames": {thread: [{"type": "frame"}] for thread in range(threads)},
                     **{f"extra_{key}": key for key in range(extra)}})
      for threads, extra in ((15, 0), (16, 0), (1, 14), (1, 15))),
])
def test_documents_the_walk_could_read_differently(document):
    assert summarise(document) == decoded_summary(document)


def test_a_document_of_many_requests_is_labelled_by_its_first(tmp_path):
    def request(method, path, status):
        return [{"frame_id": "f", "type": "request_start", "method": method, "path": path},
                {"frame_id": "f", "type": "request_end", "method": method, "path": path, "status": status}]

    records = [{"frame_id": "f", "type": "log"}] + request("GET", "/a", 200) + request("POST", "/b", 404)
    document = msgpack.packb({"frames_of_interest": records, "frames": {5: request("GET", "/c", 500)}})
    summary = summarise(document)
    assert summary["label"] == "GET /a 200" and summary["plugin_count"] == 7


def test_command_lines_written_without_json_match_it():
    import json

    for argv in ([], ["app.py"], ["a b", "ü", "😀", '"', "\\", "\n\x00\x7f"]):
        assert json_list(argv) == json.dumps(argv)
