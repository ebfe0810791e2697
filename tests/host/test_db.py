"""Trace storage: every document kept, concurrent writers, the fallback file, the reading API."""

from __future__ import annotations

import multiprocessing
import sqlite3

import msgpack
import pytest

from vesk import db


def document(trace_id: str, records: list[dict], *, source: str = "cli", threads: dict | None = None) -> bytes:
    return msgpack.packb(
        {
            "command_line_args": ["app.py", "--fast"],
            "current_commit_sha": None,
            "frames": threads or {},
            "frames_of_interest": records,
            "main_thread_id": 1,
            "meta": {"version": "0", "source": source, "use_frame_boundaries": True},
            "timestamp": 1700000000.5,
            "trace_id": trace_id,
        }
    )


FRAME = {"type": "frame", "event": "call", "co_name": "f"}


@pytest.fixture
def db_path(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    db.prepare(path)
    return path


def test_documents_of_one_trace_are_all_kept_and_read_back_in_order(db_path):
    db.save_trace_in_sqlite(db_path, "trc_a", timeout=5, msgpack=document("trc_a", [FRAME, FRAME]))
    db.save_trace_in_sqlite(db_path, "trc_b", timeout=5, msgpack=document("trc_b", [FRAME]))
    second = document("trc_a", [{"type": "log", "message": "x"}], threads={7: [FRAME]})
    db.save_trace_in_sqlite(db_path, "trc_a", timeout=5, msgpack=second)

    trace = db.load_trace(db_path, "trc_a")
    assert [len(d["frames_of_interest"]) for d in trace.documents] == [2, 1]
    assert trace.documents[1]["frames"] == {7: [FRAME]}
    summary = trace.summary
    assert (summary.frame_count, summary.plugin_count, summary.document_count) == (3, 1, 2)
    assert summary.command_line == ["app.py", "--fast"] and summary.source == "cli"
    # Most recently saved first: trc_a got the last document.
    assert [s.trace_id for s in db.list_traces(db_path)] == ["trc_a", "trc_b"]


def test_labels_name_the_test_or_the_request(db_path):
    start = {"type": "start_test", "test": "tests/test_x.py::test_one"}
    db.save_trace_in_sqlite(db_path, "trc_t", timeout=5, msgpack=document("trc_t", [start, FRAME], source="pytest"))
    request = [{"type": "request_start", "method": "GET", "path": "/items"}, {"type": "request_end", "status": 404}]
    db.save_trace_in_sqlite(db_path, "trc_r", timeout=5, msgpack=document("trc_r", request, source="wsgi"))
    labels = {s.trace_id: s.label for s in db.list_traces(db_path)}
    assert labels == {"trc_t": "tests/test_x.py::test_one", "trc_r": "GET /items 404"}


def test_an_undecodable_document_is_still_stored(db_path):
    db.save_trace_in_sqlite(db_path, "trc_bad", timeout=5, msgpack=b"\xc1not msgpack")
    assert db.trace_summary(db_path, "trc_bad").frame_count == 0
    with pytest.raises(db.StorageError, match="damaged document"):
        db.load_trace(db_path, "trc_bad")


def test_trace_ids_resolve_by_latest_full_id_or_unique_prefix(db_path):
    for trace_id in ("trc_01AAA", "trc_01AAB", "trc_02CCC"):
        db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=document(trace_id, []))
    assert db.resolve_trace_id(db_path, "latest") == "trc_02CCC"
    assert db.resolve_trace_id(db_path, "trc_01AAB") == "trc_01AAB"
    assert db.resolve_trace_id(db_path, "trc_02") == "trc_02CCC"
    with pytest.raises(db.TraceNotFound, match="several"):
        db.resolve_trace_id(db_path, "trc_01")
    with pytest.raises(db.TraceNotFound, match="no trace"):
        db.resolve_trace_id(db_path, "trc_9")
    with pytest.raises(db.TraceNotFound, match="no trace"):
        db.resolve_trace_id(db_path, "trc__")  # LIKE wildcards are taken literally


def _write_many(db_path: str, writer: int, count: int) -> None:
    for index in range(count):
        trace_id = f"trc_w{writer}_{index}"
        db.save_trace_in_sqlite(db_path, trace_id, timeout=30, msgpack=document(trace_id, [FRAME] * 50))


def test_concurrent_writers_in_several_processes_lose_nothing(tmp_path):
    db_path = str(tmp_path / "shared.sqlite3")  # created by the writers themselves, concurrently
    context = multiprocessing.get_context("spawn")
    writers = [context.Process(target=_write_many, args=(db_path, w, 40)) for w in range(4)]
    for process in writers:
        process.start()
    for process in writers:
        process.join(120)
    assert [process.exitcode for process in writers] == [0, 0, 0, 0]
    summaries = db.list_traces(db_path)
    assert len(summaries) == 160
    assert {s.frame_count for s in summaries} == {50}
    journal = sqlite3.connect(db_path).execute("PRAGMA journal_mode").fetchone()[0]
    assert journal == "wal"


def test_unwritable_database_puts_the_document_beside_it(tmp_path):
    # A directory where the database file should be: SQLite cannot open it, even as root.
    db_path = tmp_path / "db.sqlite3"
    db_path.mkdir()
    payload = document("trc_lost", [FRAME])
    with pytest.raises(db.StorageError) as raised:
        db.save_trace_in_sqlite(str(db_path), "trc_lost", timeout=1, msgpack=payload)
    message = str(raised.value)
    fallbacks = list(tmp_path.glob("db.sqlite3.trc_lost.*.msgpack"))
    assert len(fallbacks) == 1 and fallbacks[0].read_bytes() == payload
    assert "db.sqlite3" in message and fallbacks[0].name in message


def test_damaged_and_foreign_databases_are_reported_and_left_alone(tmp_path):
    damaged = tmp_path / "damaged.sqlite3"
    damaged.write_bytes(b"this is not sqlite" * 100)
    before = damaged.read_bytes()
    with pytest.raises(db.StorageError, match="not a database or is damaged"):
        db.prepare(str(damaged))
    with pytest.raises(db.StorageError, match="not a database or is damaged"):
        db.list_traces(str(damaged))
    assert damaged.read_bytes() == before

    foreign = tmp_path / "foreign.sqlite3"
    sqlite3.connect(foreign).execute("CREATE TABLE t (x)")
    with pytest.raises(db.StorageError, match="some other program"):
        db.prepare(str(foreign))

    newer = tmp_path / "newer.sqlite3"
    sqlite3.connect(newer).execute(f"PRAGMA user_version = {db.SCHEMA_VERSION + 1}")
    with pytest.raises(db.StorageError, match="newer vesk"):
        db.prepare(str(newer))


def test_reading_a_missing_database_does_not_create_it(tmp_path):
    missing = tmp_path / "none.sqlite3"
    with pytest.raises(db.StorageError, match="no database"):
        db.list_traces(str(missing))
    assert not missing.exists()


def test_prepare_creates_only_what_it_is_asked_to(tmp_path):
    with pytest.raises(db.StorageError, match="does not exist"):
        db.prepare(str(tmp_path / "missing" / "db.sqlite3"))
    db.prepare(str(tmp_path / "made" / "db.sqlite3"), create_directory=True)
    assert db.list_traces(str(tmp_path / "made" / "db.sqlite3")) == []


def test_documents_are_read_back_one_at_a_time_in_save_order(db_path):
    saved = [document("trc_a", [FRAME] * n) for n in (1, 2, 3)]
    for payload in saved:
        db.save_trace_in_sqlite(db_path, "trc_a", timeout=5, msgpack=payload)
    db.save_trace_in_sqlite(db_path, "trc_b", timeout=5, msgpack=document("trc_b", []))
    assert list(db.iter_documents(db_path, "trc_a")) == saved
    with pytest.raises(db.TraceNotFound):
        db.iter_documents(db_path, "trc_c")
