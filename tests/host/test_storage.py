"""What every store does, checked on each kind (SQLite, PostgreSQL on a server of the test's own, and
the in-memory one of memory_store.py), and the readers and the viewer working on either unchanged;
then what only the SQLite file must do."""

from __future__ import annotations

import io
import random
import sqlite3

import msgpack
import pytest
from host_support import needs_engine
from memory_store import MemoryStore

import vesk
from vesk import storage
from vesk.reading import tree
from vesk.reading.records import RecordStream
from vesk.serve.api import Api
from vesk.storage import open_store
from vesk.storage.sqlite import save


def document(trace_id: str, records: list[dict], *, padding: int = 0) -> bytes:
    # Random bytes, the same for the same size: padding that no store can compress away.
    records = records + ([{"type": "log", "blob": random.Random(padding).randbytes(padding)}] if padding else [])
    return msgpack.packb({"command_line_args": ["app.py"], "frames": {}, "frames_of_interest": records,
                          "meta": {"source": "cli"}, "timestamp": 1700000000.5, "trace_id": trace_id})


FRAME = {"type": "frame", "event": "call", "co_name": "f"}
START = {"type": "start_test", "test": "test_one"}


@pytest.fixture(params=["sqlite", "postgres", "memory"])
def store(request, tmp_path) -> storage.Store:
    if request.param == "memory":
        return MemoryStore(str(tmp_path / "cache"))
    location = request.getfixturevalue("postgres_url") if request.param == "postgres" else str(tmp_path / "db.sqlite3")
    made = open_store(location)
    made.prepare()
    return made


def saved(store: storage.Store, *traces: tuple[str, bytes]) -> None:
    for trace_id, payload in traces:
        store.save(trace_id, payload, timeout=5)


def ids(store: storage.Store) -> list[str]:
    return [summary.trace_id for summary in store.list_traces()]


def test_documents_come_back_whole_in_save_order_one_at_a_time(store):
    first, second, third = (document("trc_a", [FRAME] * n) for n in (1, 2, 3))
    saved(store, ("trc_a", first), ("trc_b", document("trc_b", [])), ("trc_a", second), ("trc_a", third))
    assert list(store.iter_documents("trc_a")) == [first, second, third]
    assert list(store.iter_documents("trc_a", start=2)) == [third]
    assert store.read_document("trc_a", 1) == second
    for missing in (lambda: store.iter_documents("trc_c"), lambda: store.read_document("trc_a", 3)):
        with pytest.raises(storage.TraceNotFound):
            missing()


def test_totals_add_up_over_documents_and_the_last_saved_trace_comes_first(store):
    dropped = {"type": "records_dropped", "count": 2}
    left_out = {"type": "calls_left_out", "functions": [{"co_name": "f", "count": 4}]}
    damaged = {"type": "records_dropped", "count": True}  # not a count: counts nothing
    saved(store, ("trc_a", document("trc_a", [START, FRAME, dropped, dropped, damaged, {"type": "recording_stopped"}])),
          ("trc_b", document("trc_b", [FRAME])),
          ("trc_a", document("trc_a", [{"type": "start_test", "test": "later"}, FRAME, FRAME, dropped, left_out])))
    assert ids(store) == ["trc_a", "trc_b"]
    a = store.trace_summary("trc_a")
    assert (a.frame_count, a.plugin_count, a.document_count, a.label) == (3, 2, 2, "test_one")
    # A later document without the marker leaves the trace stopped.
    assert (a.records_dropped, a.calls_left_out, a.recording_stopped) == (6, 4, True)
    assert (a.source, a.command_line, a.started_at) == ("cli", ["app.py"], 1700000000.5)
    assert 0 < a.size <= sum(len(d) for d in store.iter_documents("trc_a"))  # what it keeps: SQLite compresses
    with pytest.raises(storage.TraceNotFound):
        store.trace_summary("trc_c")


def test_trace_ids_resolve_by_latest_full_id_or_unique_prefix(store):
    with pytest.raises(storage.TraceNotFound, match="no traces"):
        store.resolve_trace_id("latest")
    saved(store, *((t, document(t, [])) for t in ("trc_01AAA", "trc_01AAB", "trc_02CCC")))
    cases = {"latest": "trc_02CCC", "trc_01AAB": "trc_01AAB", "trc_02": "trc_02CCC"}
    assert {text: store.resolve_trace_id(text) for text in cases} == cases
    for text, said in (("trc_01", "several"), ("trc_9", "no trace"), ("trc__", "no trace")):
        with pytest.raises(storage.TraceNotFound, match=said):
            store.resolve_trace_id(text)  # trc__: wildcards are taken literally


def test_retention_removes_the_oldest_whole_traces_but_never_the_one_being_saved(store):
    store.prepare(max_bytes=10_000)
    saved(store, ("trc_a", document("trc_a", [], padding=4_000)), ("trc_b", document("trc_b", [], padding=4_000)))
    saved(store, ("trc_big", document("trc_big", [], padding=30_000)))  # alone beyond the limit
    assert ids(store) == ["trc_big"]
    saved(store, ("trc_big", document("trc_big", [FRAME])), ("trc_c", document("trc_c", [])))
    assert ids(store) == ["trc_c"]

    store.prepare(max_bytes=0, max_traces=3)
    saved(store, *((t, document(t, [])) for t in ("trc_d", "trc_e", "trc_f")))
    assert ids(store) == ["trc_f", "trc_e", "trc_d"]
    removal = store.apply_retention(max_traces=1)
    assert (removal.removed_traces, removal.kept_traces, ids(store)) == (2, 1, ["trc_f"])


def test_removing_traces_counts_what_went_and_what_stays(store):
    payloads = {t: document(t, [FRAME] * 10) for t in ("trc_a", "trc_b", "trc_c")}
    saved(store, *payloads.items())
    size = {t: store.trace_summary(t).size for t in payloads}  # what the store keeps of each
    removal = store.remove_traces(["trc_a", "trc_zz", "trc_a", "trc_c"])
    assert (removal.removed_traces, removal.removed_bytes, removal.kept_traces, removal.kept_bytes) == (
        2, size["trc_a"] + size["trc_c"], 1, size["trc_b"])
    assert ids(store) == ["trc_b"]
    with pytest.raises(storage.TraceNotFound):
        store.iter_documents("trc_a")


def test_child_traces_are_linked_to_their_parent_in_the_order_first_saved(store):
    storage.note_parent("trc_child2", "trc_parent")
    storage.note_parent("trc_child1", "trc_parent")
    saved(store, *((t, document(t, [])) for t in ("trc_parent", "trc_child2", "trc_other", "trc_child1")))
    assert store.child_traces("trc_parent") == ["trc_child2", "trc_child1"]
    assert store.trace_summary("trc_child1").parent_trace_id == "trc_parent"


@needs_engine
@pytest.mark.parametrize("kind", ["postgres", "memory"])
def test_the_readers_and_the_viewer_give_the_same_answers_from_another_kind_of_store(tmp_path, request, kind):
    def inner(n):
        return n + 1

    with vesk.profile(db_path=tmp_path / "db.sqlite3") as recording:
        for n in range(3):
            inner(n)
    stored = open_store(str(tmp_path / "db.sqlite3"))
    other = MemoryStore(str(tmp_path / "memory-cache")) if kind == "memory" else open_store(
        request.getfixturevalue("postgres_url"))
    for payload in stored.iter_documents(recording.trace_id):
        other.save(recording.trace_id, payload, timeout=5)

    def shown(store: storage.Store) -> str:
        out = io.StringIO()
        tree.show(RecordStream(store, recording.trace_id), [], tree.ShowOptions(), out)
        return out.getvalue()

    def listed(store: storage.Store) -> list:
        answer = Api(store).answer(["traces"], "")[1]
        # The size is what each store keeps: the SQLite file compresses.
        return [{k: v for k, v in trace.items() if k not in ("saved_at", "seconds", "size")} for trace in answer["traces"]]

    assert "inner" in shown(stored) and shown(stored) == shown(other)
    assert listed(stored) == listed(other) and len(listed(other)) == 1


# --- the SQLite file ------------------------------------------------------------------------------


def test_removed_and_pruned_traces_leave_none_of_their_pieces_behind(tmp_path, monkeypatch):
    monkeypatch.setattr(save, "PIECE_SIZE", 1_000)
    path = str(tmp_path / "db.sqlite3")
    store = open_store(path)
    store.prepare()
    saved(store, *((t, document(t, [], padding=5_000)) for t in ("trc_a", "trc_b", "trc_c", "trc_d")))
    pieces = "SELECT count(*), count(DISTINCT document_id) FROM document_parts"
    assert sqlite3.connect(path).execute(pieces).fetchone() == (4 * 5, 4)
    store.remove_traces(["trc_a"])
    store.apply_retention(max_traces=1)
    store.prepare(max_traces=0, max_bytes=6_000)
    saved(store, ("trc_e", document("trc_e", [], padding=5_000)))
    assert ids(store) == ["trc_e"]
    assert sqlite3.connect(path).execute(pieces).fetchone() == (5, 1)
    assert store.read_document("trc_e", 0) == document("trc_e", [], padding=5_000)


def test_a_location_naming_another_kind_of_store_is_refused_in_one_line():
    with pytest.raises(storage.StorageError, match="mysql:// stores are not supported"):
        open_store("mysql://user@host/traces")
    assert open_store("relative/dir:with/colons.sqlite3").describe() == "relative/dir:with/colons.sqlite3"
