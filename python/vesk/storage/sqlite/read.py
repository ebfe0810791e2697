"""Reading an SQLite store: on read-only connections, one document at a time, with no read
transaction left open while the caller works on a document."""

from __future__ import annotations

import sqlite3

from vesk.storage import compression
from vesk.storage.interface import StorageError, TraceNotFound, TraceSummary
from vesk.storage.sqlite.schema import closed_on_error, describe, has_table, open_for_reading
from vesk.utils import display_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

_SUMMARY_COLUMNS = (
    "trace_id, saved_at, started_at, source, label, command_line, frame_count, plugin_count, document_count,"
    " total_bytes, calls_left_out, records_dropped, recording_stopped, parent_trace_id"
)


def _summary(row: tuple) -> TraceSummary:
    (trace_id, saved_at, started_at, source, label, command_line_json, frames, plugins, documents, size,
     left_out, dropped, stopped, parent) = row
    return TraceSummary.with_command_line_json(
        command_line_json, trace_id, saved_at, started_at, source, label, frames, plugins, documents, size,
        left_out, dropped, bool(stopped), parent,
    )


def _read(db_path: str, work):
    """`work(connection)` on a read-only connection, errors as one line."""
    connection = open_for_reading(db_path)
    try:
        return work(connection)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {describe(db_path, exc)}") from exc
    finally:
        connection.close()


def list_traces(db_path: str) -> list[TraceSummary]:
    def summaries(connection: sqlite3.Connection) -> list[TraceSummary]:
        if not has_table(connection, "traces"):
            return []
        rows = connection.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces ORDER BY last_document DESC")
        return [_summary(row) for row in rows]

    return _read(db_path, summaries)


def trace_summary(db_path: str, trace_id: str, saving: sqlite3.Connection | None = None) -> TraceSummary:
    """`saving` is this process's connection for saving, when it has one: `vesk run` reads back the
    trace it has just saved through it, which spares it a second connection (and urllib.parse,
    which that one's URI needs)."""

    def summary(connection: sqlite3.Connection) -> TraceSummary | None:
        if not has_table(connection, "traces"):
            return None
        row = connection.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
        return None if row is None else _summary(row)

    found = _read(db_path, summary) if saving is None else summary(saving)
    if found is None:
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    return found


def latest_trace_ids(db_path: str, prefix: str, limit: int) -> list[str]:
    def matching(connection: sqlite3.Connection) -> list[str]:
        if not has_table(connection, "traces"):
            return []
        escaped = prefix.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        rows = connection.execute(
            "SELECT trace_id FROM traces WHERE trace_id LIKE ? ESCAPE '\\' ORDER BY last_document DESC LIMIT ?",
            (escaped + "%", limit),
        )
        return [row[0] for row in rows]

    return _read(db_path, matching)


def child_traces(db_path: str, trace_id: str) -> list[str]:
    def children(connection: sqlite3.Connection) -> list[str]:
        if not has_table(connection, "traces"):
            return []
        rows = connection.execute(
            "SELECT trace_id FROM traces WHERE parent_trace_id = ? ORDER BY first_document", (trace_id,)
        )
        return [row[0] for row in rows]

    return _read(db_path, children)


def iter_documents(db_path: str, trace_id: str, start: int = 0) -> Iterator[bytes]:
    # The ids are read first and each document on its own, so no read transaction stays open.
    connection = open_for_reading(db_path)
    with closed_on_error(connection, db_path):
        ids = _document_ids(connection, trace_id)
    if not ids:
        connection.close()
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    return _documents(connection, db_path, trace_id, ids[start:])


def read_document(db_path: str, trace_id: str, number: int) -> bytes:
    # Found by its number alone: iter_documents would read every document before it.
    def work(connection: sqlite3.Connection) -> bytes:
        row = connection.execute(
            "SELECT id FROM documents WHERE trace_id = ? ORDER BY id LIMIT 1 OFFSET ?", (trace_id, number)
        ).fetchone() if number >= 0 and has_table(connection, "documents") else None
        if row is None:
            raise TraceNotFound(f"trace {trace_id} has no document {number} (removed or pruned?)")
        return _document(connection, trace_id, row[0])

    return _read(db_path, work)


def _document_ids(connection: sqlite3.Connection, trace_id: str) -> list[int]:
    if not has_table(connection, "documents"):
        return []
    rows = connection.execute("SELECT id FROM documents WHERE trace_id = ? ORDER BY id", (trace_id,))
    return [row[0] for row in rows]


def _documents(connection: sqlite3.Connection, db_path: str, trace_id: str, ids: list[int]) -> Iterator[bytes]:
    try:
        for document_id in ids:
            yield _document(connection, trace_id, document_id)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {describe(db_path, exc)}") from exc
    finally:
        connection.close()


def _document(connection: sqlite3.Connection, trace_id: str, document_id: int) -> bytes:
    row = connection.execute("SELECT part_count, msgpack FROM documents WHERE id = ?", (document_id,)).fetchone()
    if row is None:
        raise TraceNotFound(f"trace {trace_id} was removed while it was being read")
    part_count, first = row
    pieces = [first]
    if part_count:
        pieces.extend(row[0] for row in connection.execute(
            "SELECT data FROM document_parts WHERE document_id = ? ORDER BY part", (document_id,)
        ))
    if len(pieces) != part_count + 1:
        raise StorageError(f"trace {trace_id} has a damaged document: {part_count + 1 - len(pieces)} pieces missing")
    try:
        return compression.decompress(pieces[0] if len(pieces) == 1 else b"".join(pieces))
    except compression.Damaged as exc:
        raise StorageError(f"trace {trace_id} has a damaged document: {exc}") from exc
