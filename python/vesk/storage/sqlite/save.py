"""Saving documents into an SQLite store: the process's connections, the insert and the totals,
and the fallback files imported on the way.

Writers in several processes and threads only insert (and remove whole traces), which SQLite's own
locking, WAL mode and the busy timeout handle. Each process keeps one connection per database for
its saves: closing the last connection checkpoints the whole write-ahead log, which cost a long
recording's every document many milliseconds.
"""

from __future__ import annotations

import atexit
import os
import sqlite3
import threading
import time

from vesk.storage import pending
from vesk.storage.fallback import FallbackFiles
from vesk.storage.interface import Recovery
from vesk.storage.sqlite import retention
from vesk.storage.sqlite.schema import check_version, open_for_writing, transaction
from vesk.storage.summary import summarise

# A document is stored in pieces of at most this many bytes.
PIECE_SIZE = 16 << 20

# How much log a save lets grow before it copies the log into the file, which syncs both: SQLite's
# 1,000 pages synced a test suite's saves every few dozen tests.
CHECKPOINT_BYTES = 64 << 20


class _Writer:
    """A process's connection for saving into one database, shared by its threads under `lock`.

    `identity` is the file the connection has open: a database deleted or replaced while a program
    runs must not swallow the documents saved after that.
    """

    __slots__ = ("lock", "connection", "identity", "timeout")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.connection: sqlite3.Connection | None = None
        self.identity: tuple[int, int] | None = None
        self.timeout = 0.0

    def open(self, db_path: str, timeout: float) -> sqlite3.Connection:
        """The connection, opened again when the file at `db_path` is no longer the one it has open."""
        if self.connection is not None and _identity(db_path) == self.identity:
            if timeout != self.timeout:
                self.connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
                self.timeout = timeout
            return self.connection
        self.drop()
        connection = open_for_writing(db_path, timeout)
        # With a write-ahead log, commits stay safe from corruption without a sync each: only a
        # power cut can lose the last documents, where FULL would cost every save a sync.
        connection.execute("PRAGMA synchronous = NORMAL")
        page_size = connection.execute("PRAGMA page_size").fetchone()[0]
        connection.execute(f"PRAGMA wal_autocheckpoint = {CHECKPOINT_BYTES // page_size}")
        status = os.stat(db_path)
        self.connection, self.identity, self.timeout = connection, (status.st_dev, status.st_ino), timeout
        return connection

    def drop(self) -> None:
        connection, self.connection, self.identity = self.connection, None, None
        if connection is not None:
            try:
                connection.close()
            except sqlite3.Error:
                pass  # a connection that failed is given up either way


_writers: dict[str, _Writer] = {}
_writers_lock = threading.Lock()
# Connections inherited from the parent of a fork: never used, and never closed, since closing one
# could checkpoint or delete the parent's write-ahead log.
_inherited: list[_Writer] = []


def writer_of(db_path: str) -> _Writer:
    key = os.path.abspath(db_path)
    with _writers_lock:
        writer = _writers.get(key)
        if writer is None:
            writer = _writers[key] = _Writer()
        return writer


def with_open_writer(db_path: str, work):
    """`work(connection)` with this process's connection for saving into the database, or
    `work(None)` when it has none open."""
    writer = _writers.get(os.path.abspath(db_path))
    if writer is None:
        return work(None)
    with writer.lock:
        return work(writer.connection if writer.identity == _identity(db_path) else None)


def _identity(db_path: str) -> tuple[int, int] | None:
    try:
        status = os.stat(db_path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def _forget_writers_after_fork() -> None:
    global _writers_lock
    _inherited.extend(_writers.values())
    _writers.clear()
    _writers_lock = threading.Lock()  # another thread may have held it at the fork


os.register_at_fork(after_in_child=_forget_writers_after_fork)


def _close_writers() -> None:
    """Closes the connections at exit, which copies the write-ahead log into the database file: a
    copy of that file alone then holds every trace. One that a thread is saving with is left open."""
    for writer in list(_writers.values()):
        if writer.lock.acquire(blocking=False):
            try:
                writer.drop()
            finally:
                writer.lock.release()


atexit.register(_close_writers)


def json_list(texts: list[str]) -> str:
    """`json.dumps(texts)` for a list of texts, without importing json (and re behind it) on the way
    out of every `vesk run`; the C encoder is the one json itself uses."""
    from _json import encode_basestring_ascii

    return "[" + ", ".join(map(encode_basestring_ascii, texts)) + "]"


def insert(connection: sqlite3.Connection, trace_id: str, document: bytes, summary: dict, saved_at: float) -> bool:
    """Adds the document and its totals to the trace, inside a transaction; whether the trace is new."""
    pieces = [document] if len(document) <= PIECE_SIZE else _pieces(document)
    document_id = connection.execute(
        "INSERT INTO documents (trace_id, saved_at, started_at, source, label, command_line,"
        " frame_count, plugin_count, part_count, msgpack) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, zeroblob(?))",
        (
            trace_id,
            saved_at,
            summary["started_at"],
            summary["source"],
            summary["label"],
            json_list(summary["command_line"]),
            summary["frame_count"],
            summary["plugin_count"],
            len(pieces) - 1,
            len(pieces[0]),
        ),
    ).lastrowid
    # Written through a blob handle rather than bound: a bound blob is copied whole once more first.
    with connection.blobopen("documents", "msgpack", document_id) as blob:
        blob.write(pieces[0])
    connection.executemany(
        "INSERT INTO document_parts (document_id, part, data) VALUES (?, ?, ?)",
        ((document_id, number, piece) for number, piece in enumerate(pieces[1:], 1)),
    )
    return _add_to_totals(connection, trace_id, document_id, saved_at, len(document), summary)


def _pieces(document: bytes) -> list[memoryview]:
    view = memoryview(document)
    return [view[start : start + PIECE_SIZE] for start in range(0, len(view), PIECE_SIZE)]


def _add_to_totals(
    connection: sqlite3.Connection, trace_id: str, document_id: int, saved_at: float, size: int, summary: dict
) -> bool:
    counts = (
        size,
        summary["frame_count"],
        summary["plugin_count"],
        summary["calls_left_out"],
        summary["records_dropped"],
        int(summary["recording_stopped"]),
    )
    updated = connection.execute(
        "UPDATE traces SET last_document = ?, saved_at = ?, document_count = document_count + 1,"
        " total_bytes = total_bytes + ?, frame_count = frame_count + ?, plugin_count = plugin_count + ?,"
        " calls_left_out = calls_left_out + ?, records_dropped = records_dropped + ?,"
        " recording_stopped = max(recording_stopped, ?), label = coalesce(label, ?) WHERE trace_id = ?",
        (document_id, saved_at, *counts, summary["label"], trace_id),
    ).rowcount
    if updated:
        return False
    connection.execute(
        "INSERT INTO traces (trace_id, first_document, last_document, first_saved_at, saved_at, started_at,"
        " source, label, command_line, document_count, total_bytes, frame_count, plugin_count, calls_left_out,"
        " records_dropped, recording_stopped, parent_trace_id) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, 1, ?, ?, ?, ?, ?, ?, ?)",
        (
            trace_id,
            document_id,
            document_id,
            saved_at,
            saved_at,
            summary["started_at"],
            summary["source"],
            summary["label"],
            json_list(summary["command_line"]),
            *counts,
            pending.parent_of(trace_id),
        ),
    )
    return True


class Imported(Recovery):
    __slots__ = ("new_traces",)

    def __init__(self) -> None:
        super().__init__()
        self.new_traces = 0


def fallback_files(db_path: str) -> FallbackFiles:
    return FallbackFiles(os.path.dirname(os.path.abspath(db_path)), os.path.basename(db_path))


def import_fallback_files(connection: sqlite3.Connection, db_path: str, *, retry_damaged: bool = False) -> Imported:
    """Imports every fallback file beside the database, oldest first, and deletes it once imported.

    A file that is not a document, or cannot be read, is left where it is and listed as damaged.
    """
    imported = Imported()
    files = fallback_files(db_path)
    for saved_at, trace_id, path, document in files.documents(imported.damaged, retry_damaged=retry_damaged):
        outcome = transaction(connection, lambda: _import_one(connection, db_path, path, trace_id, document, saved_at))
        if outcome is not None:
            imported.documents += 1
            imported.new_traces += outcome
        files.imported(path)
    return imported


def _import_one(
    connection: sqlite3.Connection, db_path: str, path: str, trace_id: str, document: bytes, saved_at: float
) -> bool | None:
    """Inserts the document unless another process already did; whether its trace is new, or None."""
    check_version(connection, db_path)
    name = os.path.basename(path)
    if connection.execute("SELECT 1 FROM imported_files WHERE name = ?", (name,)).fetchone():
        return None
    connection.execute("INSERT INTO imported_files (name) VALUES (?)", (name,))
    return insert(connection, trace_id, document, summarise(document), saved_at)


def save(db_path: str, trace_id: str, document: bytes, summary: dict, timeout: float) -> None:
    """Stores the document, with the fallback files an earlier save left first (they were saved
    before it); then keeps the database within its limits, never removing this trace."""
    writer = writer_of(db_path)
    with writer.lock:
        try:
            connection = writer.open(db_path, timeout)
            new_trace = bool(import_fallback_files(connection, db_path).new_traces)

            def add() -> bool:
                check_version(connection, db_path)
                return insert(connection, trace_id, document, summary, time.time())

            new_trace = transaction(connection, add) or new_trace
        except BaseException:
            writer.drop()
            raise
        if new_trace:
            retention.retain_quietly(connection, keep=trace_id)
