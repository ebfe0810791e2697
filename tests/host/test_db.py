"""Trace storage: every document kept, concurrent writers, the fallback file, the reading API."""

from __future__ import annotations

import multiprocessing
import os
import sqlite3
import threading

import msgpack
import pytest
from host_support import load_trace

from vesk import db, storage
from vesk.storage import compression
from vesk.__main__ import main
from vesk.storage import fallback, open_store
from vesk.storage.sqlite import save, schema
from vesk.storage.sqlite.save import json_list
from vesk.storage.summary import summarise


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
    open_store(path).prepare()
    return path


def test_documents_of_one_trace_are_all_kept_and_read_back_in_order(db_path):
    db.save_trace_in_sqlite(db_path, "trc_a", timeout=5, msgpack=document("trc_a", [FRAME, FRAME]))
    db.save_trace_in_sqlite(db_path, "trc_b", timeout=5, msgpack=document("trc_b", [FRAME]))
    second = document("trc_a", [{"type": "log", "message": "x"}], threads={7: [FRAME]})
    db.save_trace_in_sqlite(db_path, "trc_a", timeout=5, msgpack=second)

    trace = load_trace(db_path, "trc_a")
    assert [len(d["frames_of_interest"]) for d in trace.documents] == [2, 1]
    assert trace.documents[1]["frames"] == {7: [FRAME]}
    summary = trace.summary
    assert (summary.frame_count, summary.plugin_count, summary.document_count) == (3, 1, 2)
    assert summary.command_line == ["app.py", "--fast"] and summary.source == "cli"
    # Most recently saved first: trc_a got the last document.
    assert [s.trace_id for s in open_store(db_path).list_traces()] == ["trc_a", "trc_b"]


def test_labels_name_the_test_or_the_request(db_path):
    start = {"type": "start_test", "test": "tests/test_x.py::test_one"}
    db.save_trace_in_sqlite(db_path, "trc_t", timeout=5, msgpack=document("trc_t", [start, FRAME], source="pytest"))
    request = [{"type": "request_start", "method": "GET", "path": "/items"}, {"type": "request_end", "status": 404}]
    db.save_trace_in_sqlite(db_path, "trc_r", timeout=5, msgpack=document("trc_r", request, source="wsgi"))
    labels = {s.trace_id: s.label for s in open_store(db_path).list_traces()}
    assert labels == {"trc_t": "tests/test_x.py::test_one", "trc_r": "GET /items 404"}


def test_an_undecodable_document_is_still_stored(db_path):
    db.save_trace_in_sqlite(db_path, "trc_bad", timeout=5, msgpack=b"\xc1not msgpack")
    assert open_store(db_path).trace_summary("trc_bad").frame_count == 0
    assert list(open_store(db_path).iter_documents("trc_bad")) == [b"\xc1not msgpack"]  # as it came


def _write_many(db_path: str, writer: int, count: int) -> None:
    # Two threads of each process share its connection.
    def write(first: int) -> None:
        for index in range(first, count, 2):
            trace_id = f"trc_w{writer}_{index}"
            db.save_trace_in_sqlite(db_path, trace_id, timeout=30, msgpack=document(trace_id, [FRAME] * 50))

    threads = [threading.Thread(target=write, args=(first,)) for first in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def test_concurrent_writers_in_several_processes_lose_nothing(tmp_path):
    db_path = str(tmp_path / "shared.sqlite3")  # created by the writers themselves, concurrently
    context = multiprocessing.get_context("spawn")
    writers = [context.Process(target=_write_many, args=(db_path, w, 40)) for w in range(4)]
    for process in writers:
        process.start()
    for process in writers:
        process.join(120)
    assert [process.exitcode for process in writers] == [0, 0, 0, 0]
    summaries = open_store(db_path).list_traces()
    assert len(summaries) == 160
    assert {s.frame_count for s in summaries} == {50}
    assert not list(tmp_path.glob("*.msgpack"))  # none had to go to a fallback file
    journal = sqlite3.connect(db_path).execute("PRAGMA journal_mode").fetchone()[0]
    assert journal == "wal"


def test_a_document_the_database_cannot_take_waits_in_a_file_until_the_next_save_imports_it(tmp_path):
    # A directory where the database file should be: SQLite cannot open it, even as root.
    db_path = tmp_path / "db.sqlite3"
    db_path.mkdir()
    first, second, third = (document("trc_lost", [FRAME] * n) for n in (1, 2, 3))
    for payload in (first, second):
        db.save_trace_in_sqlite(str(db_path), "trc_lost", timeout=1, msgpack=payload)  # kept, so no error
    fallbacks = sorted(tmp_path.glob("db.sqlite3.trc_lost.*.msgpack"))
    assert [f.read_bytes() for f in fallbacks] == [first, second]
    message = storage.pop_save_problem("trc_lost")
    assert "cannot save trace trc_lost" in message and fallbacks[0].name in message
    assert storage.pop_save_problem("trc_lost") is None

    damaged = tmp_path / "db.sqlite3.trc_torn.1.2.msgpack"
    damaged.write_bytes(first[:-3])
    db_path.rmdir()
    db.save_trace_in_sqlite(str(db_path), "trc_lost", timeout=1, msgpack=third)
    assert list(open_store(str(db_path)).iter_documents("trc_lost")) == [first, second, third]
    assert open_store(str(db_path)).trace_summary("trc_lost").frame_count == 6
    assert sorted(tmp_path.glob("db.sqlite3.*.msgpack")) == [damaged]
    assert storage.pop_save_problem("trc_lost") is None


def test_a_fallback_file_that_cannot_be_written_whole_is_not_left_behind(tmp_path, monkeypatch):
    db_path = tmp_path / "db.sqlite3"
    db_path.mkdir()

    def disk_full(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(fallback.os, "fsync", disk_full)
    with pytest.raises(storage.StorageError, match="No space left on device"):
        db.save_trace_in_sqlite(str(db_path), "trc_full", timeout=1, msgpack=document("trc_full", [FRAME]))
    assert [p.name for p in tmp_path.iterdir()] == ["db.sqlite3"]


def test_a_database_deleted_between_saves_is_made_anew_rather_than_written_unseen(tmp_path):
    path = tmp_path / "db.sqlite3"
    db.save_trace_in_sqlite(str(path), "trc_a", timeout=5, msgpack=document("trc_a", []))
    for name in ("db.sqlite3", "db.sqlite3-wal", "db.sqlite3-shm"):
        (tmp_path / name).unlink(missing_ok=True)
    db.save_trace_in_sqlite(str(path), "trc_b", timeout=5, msgpack=document("trc_b", []))
    assert [s.trace_id for s in open_store(str(path)).list_traces()] == ["trc_b"]


UNUSABLE = {
    "not SQLite": (lambda path: path.write_bytes(b"this is not sqlite" * 100), "not a database or is damaged"),
    "another program's": (lambda path: sqlite3.connect(path).execute("CREATE TABLE t (x)"), "some other program"),
    "newer": (lambda path: sqlite3.connect(path).execute(f"PRAGMA user_version = {schema.SCHEMA_VERSION + 1}"),
              "newer vesk"),
    "a directory": (lambda path: path.mkdir(), "unable to open database file"),
}


def contents(path) -> bytes | list:
    return sorted(p.name for p in path.iterdir()) if path.is_dir() else path.read_bytes()


@pytest.mark.parametrize("kind", UNUSABLE)
def test_an_unusable_database_is_left_alone_and_its_traces_go_to_fallback_files(tmp_path, kind):
    make, reason = UNUSABLE[kind]
    path = tmp_path / "db.sqlite3"
    make(path)
    before = contents(path)
    assert reason in open_store(str(path)).prepare()
    if kind != "a directory":
        with pytest.raises(storage.StorageError):
            open_store(str(path)).list_traces()
    payload = document("trc_u", [FRAME])
    db.save_trace_in_sqlite(str(path), "trc_u", timeout=1, msgpack=payload)
    assert [f.read_bytes() for f in tmp_path.glob("db.sqlite3.trc_u.*.msgpack")] == [payload]
    assert reason in storage.pop_save_problem("trc_u")
    assert contents(path) == before


def test_reading_a_missing_database_does_not_create_it(tmp_path):
    missing = tmp_path / "none.sqlite3"
    with pytest.raises(storage.StorageError, match="no database"):
        open_store(str(missing)).list_traces()
    assert not missing.exists()


def test_prepare_creates_only_what_it_is_asked_to(tmp_path):
    with pytest.raises(storage.StorageError, match="does not exist"):
        open_store(str(tmp_path / "missing" / "db.sqlite3")).prepare()
    open_store(str(tmp_path / "made" / "db.sqlite3")).prepare(create_directory=True)
    assert open_store(str(tmp_path / "made" / "db.sqlite3")).list_traces() == []


def test_a_document_larger_than_a_piece_is_stored_in_pieces_and_read_back_whole(db_path):
    big = document("trc_big", [{"type": "log", "blob": os.urandom(2 * save.PIECE_SIZE + 12345)}, FRAME])
    small = document("trc_big", [FRAME])
    for payload in (big, small):
        db.save_trace_in_sqlite(db_path, "trc_big", timeout=5, msgpack=payload)
    assert list(open_store(db_path).iter_documents("trc_big")) == [big, small]
    largest = sqlite3.connect(db_path).execute(
        "SELECT max(length(msgpack)), (SELECT max(length(data)) FROM document_parts) FROM documents"
    ).fetchone()
    assert max(largest) == save.PIECE_SIZE
    summary = open_store(db_path).trace_summary("trc_big")
    stored = len(big) + len(compression.compress(small))  # random bytes do not compress: kept as they are
    assert (summary.document_count, summary.size, summary.frame_count) == (2, stored, 2)


def test_documents_are_stored_compressed_and_a_damaged_one_is_reported(db_path):
    repetitive = document("trc_z", [dict(FRAME, locals={"tokens": ["SELECT", "x", "FROM", "t"] * 50})] * 200)
    db.save_trace_in_sqlite(db_path, "trc_z", timeout=5, msgpack=repetitive)
    store = open_store(db_path)
    assert list(store.iter_documents("trc_z")) == [repetitive]
    assert store.trace_summary("trc_z").size < len(repetitive) / 20
    connection = sqlite3.connect(db_path)
    with connection:
        connection.execute("UPDATE documents SET msgpack = substr(msgpack, 1, 40) WHERE trace_id = 'trc_z'")
    with pytest.raises(storage.StorageError, match="damaged document"):
        store.read_document("trc_z", 0)


def test_volume_records_add_up_over_the_documents_of_a_trace(db_path):
    left_out = {"type": "calls_left_out", "functions": [{"co_name": "f", "count": 7}, {"co_name": "g", "count": 5}]}
    dropped = {"type": "records_dropped", "count": 40, "bytes": 4000}
    db.save_trace_in_sqlite(db_path, "trc_v", timeout=5, msgpack=document("trc_v", [FRAME, left_out, dropped]))
    stopped = {"type": "recording_stopped", "reason": "trace_bytes", "limit": 10}
    db.save_trace_in_sqlite(db_path, "trc_v", timeout=5, msgpack=document("trc_v", [left_out, stopped]))
    summary = open_store(db_path).list_traces()[0]
    assert (summary.calls_left_out, summary.records_dropped, summary.recording_stopped) == (24, 40, True)
    assert (summary.frame_count, summary.plugin_count) == (1, 0)


def old_database(path, documents: list[tuple[str, bytes]], version: int) -> None:
    """A database as the vesk of schema `version` left it, its documents saved under the first."""
    connection = sqlite3.connect(path)
    for statement in schema._MIGRATIONS[1]:
        connection.execute(statement)
    for number, (trace_id, payload) in enumerate(documents):
        summary = summarise(payload)
        connection.execute(
            "INSERT INTO documents (trace_id, saved_at, started_at, source, label, command_line, frame_count,"
            " plugin_count, msgpack) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (trace_id, 1000.0 + number, summary["started_at"], summary["source"], summary["label"],
             json_list(summary["command_line"]), summary["frame_count"], summary["plugin_count"], payload),
        )
    for later in range(2, version + 1):
        for statement in schema._MIGRATIONS[later]:
            connection.execute(statement)
    connection.execute(f"PRAGMA user_version = {version}")
    connection.commit()
    connection.close()


@pytest.mark.parametrize("version", range(1, schema.SCHEMA_VERSION))
def test_an_older_schema_database_is_upgraded_and_keeps_its_traces(tmp_path, version):
    path = str(tmp_path / "old.sqlite3")
    padding = {"type": "log", "blob": b"x" * 200_000}
    start = {"type": "start_test", "test": "test_one"}
    saved = [("trc_a", document("trc_a", [FRAME, padding])), ("trc_b", document("trc_b", [start, padding])),
             ("trc_a", document("trc_a", [FRAME, FRAME])), ("trc_c", document("trc_c", [padding]))]
    old_database(path, saved, version)
    summaries = open_store(path).list_traces()  # reading upgrades it
    assert [s.trace_id for s in summaries] == ["trc_c", "trc_a", "trc_b"]
    a = summaries[1]
    assert (a.frame_count, a.plugin_count, a.document_count, a.saved_at) == (3, 1, 2, 1002.0)
    assert a.command_line == ["app.py", "--fast"] and a.size == len(saved[0][1]) + len(saved[2][1])
    assert summaries[2].label == "test_one"
    assert list(open_store(path).iter_documents("trc_a")) == [saved[0][1], saved[2][1]]

    before = os.path.getsize(path)
    removal = open_store(path).apply_retention(max_traces=1)
    assert (removal.removed_traces, removal.kept_traces) == (2, 1)
    assert [s.trace_id for s in open_store(path).list_traces()] == ["trc_c"]
    assert os.path.getsize(path) < before - 300_000  # the file itself gave the space back
    db.save_trace_in_sqlite(path, "trc_d", timeout=5, msgpack=document("trc_d", []))
    assert [s.trace_id for s in open_store(path).list_traces()] == ["trc_d", "trc_c"]


def database_bytes(path: str) -> int:
    return sum(os.path.getsize(path + suffix) for suffix in ("", "-wal") if os.path.exists(path + suffix))


def test_each_new_trace_keeps_the_newest_traces_within_the_limits_and_the_file_shrinks(tmp_path):
    path = str(tmp_path / "db.sqlite3")
    open_store(path).prepare()
    payload = {"type": "log", "blob": os.urandom(400_000)}  # stored at its size: random bytes do not compress
    for number in range(20):
        trace_id = f"trc_{number:02}"
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=document(trace_id, [payload]))
    assert database_bytes(path) > 8_000_000 and len(open_store(path).list_traces()) == 20

    open_store(path).prepare(max_traces=5, max_bytes=2_000_000)
    for trace_id in ("trc_20", "trc_20", "trc_21"):
        db.save_trace_in_sqlite(path, trace_id, timeout=5, msgpack=document(trace_id, [payload]))
    # Five traces were too many bytes when trc_21 began: the two oldest of them went, trc_20 whole.
    assert [s.trace_id for s in open_store(path).list_traces()] == ["trc_21", "trc_20", "trc_19"]
    assert database_bytes(path) < 2_000_000


def cli(capsys, *argv: str) -> tuple[int, str, str]:
    status = main(list(argv))
    out, err = capsys.readouterr()
    return status, out, err


def test_prune_rm_and_recover_commands(db_path, capsys, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    for number in range(6):
        trace_id = f"trc_0{number}"
        padding = {"type": "log", "blob": os.urandom(2000)}  # KiB shown: a trace of a few frames compresses to bytes
        db.save_trace_in_sqlite(db_path, trace_id, timeout=5, msgpack=document(trace_id, [FRAME, padding]))
    size = open_store(db_path).trace_summary("trc_00").size

    kib = size / 1024
    assert cli(capsys, "rm", "trc_01", "latest", "--db", db_path)[:2] == (
        0, f"removed 2 traces ({kib * 2:.1f} KiB); 4 traces, {kib * 4:.1f} KiB kept\n"
    )
    assert cli(capsys, "prune", "--max-traces", "2", "--db", db_path)[1].startswith("removed 2 traces")
    assert [s.trace_id for s in open_store(db_path).list_traces()] == ["trc_04", "trc_03"]
    assert cli(capsys, "prune", "--max-bytes", "1G", "--db", db_path)[1] == (
        f"nothing removed; 2 traces, {kib * 2:.1f} KiB kept\n"
    )
    for argv in (("rm", "trc_09", "--db", db_path), ("prune", "--max-bytes", "lots", "--db", db_path),
                 ("prune", "--db", str(tmp_path / "none.sqlite3"))):
        status, out, err = cli(capsys, *argv)
        assert status != 0 and out == "" and err.count("\n") == 1 and err.startswith("vesk: error: "), argv

    (tmp_path / "db.sqlite3.trc_05.1.2.msgpack").write_bytes(document("trc_05", [FRAME]))
    (tmp_path / "db.sqlite3.trc_06.3.2.msgpack").write_bytes(b"\xc1")
    status, out, err = cli(capsys, "recover", "--db", db_path)
    assert (status, out) == (1, "imported 1 document into db.sqlite3\n")
    assert "db.sqlite3.trc_06.3.2.msgpack is not a trace document" in err
    assert [s.trace_id for s in open_store(db_path).list_traces()] == ["trc_05", "trc_04", "trc_03"]
    assert [p.name for p in tmp_path.glob("*.msgpack")] == ["db.sqlite3.trc_06.3.2.msgpack"]


def test_fallback_files_imported_by_a_save_count_as_new_traces_for_retention(tmp_path):
    path = tmp_path / "db.sqlite3"
    store = open_store(str(path))
    store.prepare(max_traces=1)
    db.save_trace_in_sqlite(str(path), "trc_a", timeout=5, msgpack=document("trc_a", [FRAME]))
    (tmp_path / "db.sqlite3.trc_b.1.2.msgpack").write_bytes(document("trc_b", [FRAME]))
    db.save_trace_in_sqlite(str(path), "trc_a", timeout=5, msgpack=document("trc_a", [FRAME]))  # no new trace itself
    assert [s.trace_id for s in store.list_traces()] == ["trc_a"]


def test_recover_tries_again_a_fallback_file_a_save_found_damaged(tmp_path):
    path = tmp_path / "db.sqlite3"
    torn = tmp_path / "db.sqlite3.trc_t.1.2.msgpack"
    torn.write_bytes(document("trc_t", [FRAME])[:-3])
    db.save_trace_in_sqlite(str(path), "trc_a", timeout=5, msgpack=document("trc_a", []))
    assert torn.exists()  # left alone, and not read again by this process's saves
    torn.write_bytes(document("trc_t", [FRAME]))  # mended by hand
    assert open_store(str(path)).recover_fallback_files().documents == 1 and not torn.exists()
