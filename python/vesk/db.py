"""Trace storage in SQLite, and the API to read traces back.

Every document the engine hands to `save_trace_in_sqlite` becomes one row of `documents`; a trace is
all the rows with its trace id, in the order they were saved. Rows are only ever inserted, so writers
in several processes never conflict beyond SQLite's own locking, which WAL mode and the busy timeout
handle. A few summary columns (record counts, the test or request, the command line) are filled at
save time so that listing traces never decodes documents.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
import urllib.parse
from dataclasses import dataclass, field
from typing import Any

from vesk import serialize
from vesk.utils import VeskError, display_path

SCHEMA_VERSION = 1

# One entry per schema version: the statements that bring a database from the previous version to it.
_MIGRATIONS: dict[int, tuple[str, ...]] = {
    1: (
        """CREATE TABLE documents (
            id INTEGER PRIMARY KEY AUTOINCREMENT,
            trace_id TEXT NOT NULL,
            saved_at REAL NOT NULL,
            started_at REAL,
            source TEXT,
            label TEXT,
            command_line TEXT NOT NULL,
            frame_count INTEGER NOT NULL,
            plugin_count INTEGER NOT NULL,
            msgpack BLOB NOT NULL
        )""",
        "CREATE INDEX documents_by_trace ON documents (trace_id, id)",
    ),
}


class StorageError(VeskError):
    pass


class TraceNotFound(VeskError):
    pass


@dataclass
class TraceSummary:
    trace_id: str
    saved_at: float
    started_at: float | None
    source: str | None
    label: str | None
    command_line: list[str]
    frame_count: int
    plugin_count: int
    document_count: int


@dataclass
class Trace:
    summary: TraceSummary
    documents: list[dict[str, Any]] = field(default_factory=list)

    @property
    def trace_id(self) -> str:
        return self.summary.trace_id


# --- connections ----------------------------------------------------------------------------------


def _reason(exc: BaseException) -> str:
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return "the file is not a database or is damaged"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


def _describe(db_path: str, exc: BaseException) -> str:
    return f"{display_path(db_path)}: {_reason(exc)}"


def _migrate(connection: sqlite3.Connection, db_path: str) -> None:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    if version > SCHEMA_VERSION:
        raise StorageError(
            f"{display_path(db_path)} was written by a newer vesk (schema {version}, this one reads "
            f"{SCHEMA_VERSION})"
        )
    if version == 0:
        tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type='table'")}
        if tables - {"sqlite_sequence"}:
            raise StorageError(f"{display_path(db_path)} is a database of some other program")
        # The journal mode is a property of the file and cannot change inside a transaction.
        connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the write lock.
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        for target in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _MIGRATIONS[target]:
                connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise


def _open_for_writing(db_path: str, timeout: float) -> sqlite3.Connection:
    connection = sqlite3.connect(db_path, timeout=timeout, isolation_level=None)
    try:
        _migrate(connection, db_path)
    except BaseException:
        connection.close()
        raise
    return connection


def _open_for_reading(db_path: str, timeout: float = 10.0) -> sqlite3.Connection:
    if not os.path.exists(db_path):
        raise StorageError(f"no database at {display_path(db_path)} (nothing recorded yet?)")
    uri = "file:" + urllib.parse.quote(os.path.abspath(db_path)) + "?mode=ro"
    try:
        connection = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot open the database {_describe(db_path, exc)}") from exc
    try:
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version == 0:
            tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master")}
            if not tables:
                return connection  # created but nothing saved yet: reads find no traces
            raise StorageError(f"{display_path(db_path)} is not a vesk database")
        if version > SCHEMA_VERSION:
            raise StorageError(
                f"{display_path(db_path)} was written by a newer vesk (schema {version}, this one reads "
                f"{SCHEMA_VERSION})"
            )
        if version < SCHEMA_VERSION:
            raise StorageError(f"{display_path(db_path)} has an old schema; record a trace to upgrade it")
    except sqlite3.Error as exc:
        connection.close()
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    except BaseException:
        connection.close()
        raise
    return connection


def prepare(db_path: str, *, timeout: float = 60.0, create_directory: bool = False) -> None:
    """Checks, before anything is recorded, that traces can be saved at `db_path`.

    Creates the database (and, when asked, its directory) so that a problem shows up as one error
    before a long program runs rather than after it. An existing database is never modified beyond
    a schema upgrade.
    """
    directory = os.path.dirname(os.path.abspath(db_path))
    if create_directory:
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as exc:
            raise StorageError(f"cannot create the directory {display_path(directory)}: {exc.strerror}") from exc
    if not os.path.isdir(directory):
        raise StorageError(f"the database directory {display_path(directory)} does not exist")
    try:
        _open_for_writing(db_path, timeout).close()
    except sqlite3.Error as exc:
        raise StorageError(f"cannot use the database {_describe(db_path, exc)}") from exc


# --- saving ---------------------------------------------------------------------------------------


def _records(document: dict) -> list:
    records = list(document.get("frames_of_interest") or [])
    frames = document.get("frames") or {}
    if isinstance(frames, dict):
        for thread_records in frames.values():
            records.extend(thread_records or [])
    return records


def _label_of(record: dict) -> str | None:
    kind = record.get("type")
    if kind == "start_test":
        test = record.get("test")
        return str(test) if test is not None else None
    if kind == "request_start":
        return f"{record.get('method', '?')} {record.get('path', '?')}"
    return None


def summarise(document: bytes) -> dict[str, Any]:
    """The summary columns of one document. A document that does not decode is still stored."""
    summary: dict[str, Any] = {
        "started_at": None,
        "source": None,
        "label": None,
        "command_line": [],
        "frame_count": 0,
        "plugin_count": 0,
    }
    try:
        decoded = serialize.loads(document)
    except Exception:  # noqa: BLE001 - kept as it is; reading it back will report the damage
        return summary
    if not isinstance(decoded, dict):
        return summary
    timestamp = decoded.get("timestamp")
    summary["started_at"] = timestamp if isinstance(timestamp, (int, float)) else None
    meta = decoded.get("meta")
    if isinstance(meta, dict) and isinstance(meta.get("source"), str):
        summary["source"] = meta["source"]
    argv = decoded.get("command_line_args")
    if isinstance(argv, list):
        summary["command_line"] = [str(arg) for arg in argv]
    for record in _records(decoded):
        if not isinstance(record, dict):
            continue
        if record.get("type") == "frame":
            summary["frame_count"] += 1
            continue
        summary["plugin_count"] += 1
        if summary["label"] is None:
            summary["label"] = _label_of(record)
        if record.get("type") == "request_end" and summary["label"] and "status" in record:
            summary["label"] += f" {record['status']}"
    return summary


def _write_fallback(db_path: str, trace_id: str, document: bytes) -> str:
    directory = os.path.dirname(os.path.abspath(db_path))
    name = f"{os.path.basename(db_path)}.{trace_id}.{time.time_ns()}.{os.getpid()}.msgpack"
    path = os.path.join(directory, name)
    with open(path, "xb") as handle:
        handle.write(document)
    return path


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: float, msgpack: bytes) -> None:
    """Stores one trace document (the engine's storage function).

    `timeout` is the busy timeout in seconds. When the database cannot be written, the document is
    written to a file beside it and StorageError names both paths, so no recording is lost silently.
    """
    document = bytes(msgpack)
    summary = summarise(document)
    try:
        connection = _open_for_writing(str(db_path), float(timeout))
        try:
            connection.execute(
                "INSERT INTO documents (trace_id, saved_at, started_at, source, label, command_line,"
                " frame_count, plugin_count, msgpack) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    trace_id,
                    time.time(),
                    summary["started_at"],
                    summary["source"],
                    summary["label"],
                    json.dumps(summary["command_line"]),
                    summary["frame_count"],
                    summary["plugin_count"],
                    document,
                ),
            )
        finally:
            connection.close()
    except (sqlite3.Error, OSError, StorageError) as exc:
        reason = _reason(exc)
        try:
            fallback = _write_fallback(str(db_path), trace_id, document)
        except OSError as fallback_exc:
            raise StorageError(
                f"cannot save trace {trace_id} in the database {display_path(str(db_path))} ({reason}), "
                f"and writing it to a file beside it failed too ({fallback_exc})"
            ) from exc
        raise StorageError(
            f"cannot save trace {trace_id} in the database {display_path(str(db_path))} ({reason}); "
            f"the trace was written to {display_path(fallback)}"
        ) from exc


# --- reading --------------------------------------------------------------------------------------

_SUMMARY_COLUMNS = (
    "trace_id, saved_at, started_at, source, label, command_line, frame_count, plugin_count"
)


def _summaries(rows) -> list[TraceSummary]:
    """Folds document rows (in saving order) into one summary per trace, newest trace first."""
    by_id: dict[str, TraceSummary] = {}
    last_seen: dict[str, int] = {}
    for position, row in enumerate(rows):
        trace_id, saved_at, started_at, source, label, command_line, frames, plugins = row
        summary = by_id.get(trace_id)
        if summary is None:
            try:
                argv = json.loads(command_line)
            except ValueError:
                argv = []
            by_id[trace_id] = TraceSummary(
                trace_id, saved_at, started_at, source, label, argv, frames, plugins, 1
            )
        else:
            summary.frame_count += frames
            summary.plugin_count += plugins
            summary.document_count += 1
            summary.label = summary.label or label
            summary.saved_at = saved_at
        last_seen[trace_id] = position
    return sorted(by_id.values(), key=lambda s: last_seen[s.trace_id], reverse=True)


def list_traces(db_path: str) -> list[TraceSummary]:
    """Every trace in the database, the most recently saved first."""
    connection = _open_for_reading(db_path)
    try:
        if not _has_documents_table(connection):
            return []
        rows = connection.execute(f"SELECT {_SUMMARY_COLUMNS} FROM documents ORDER BY id").fetchall()
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()
    return _summaries(rows)


def _has_documents_table(connection: sqlite3.Connection) -> bool:
    return connection.execute(
        "SELECT 1 FROM sqlite_master WHERE type='table' AND name='documents'"
    ).fetchone() is not None


def resolve_trace_id(db_path: str, text: str) -> str:
    """A full trace id for "latest", a full id or an unambiguous prefix of one."""
    connection = _open_for_reading(db_path)
    try:
        if not _has_documents_table(connection):
            raise TraceNotFound(f"no traces in {display_path(db_path)}")
        if text == "latest":
            row = connection.execute("SELECT trace_id FROM documents ORDER BY id DESC LIMIT 1").fetchone()
            if row is None:
                raise TraceNotFound(f"no traces in {display_path(db_path)}")
            return row[0]
        escaped = text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        ids = [
            row[0]
            for row in connection.execute(
                "SELECT DISTINCT trace_id FROM documents WHERE trace_id LIKE ? ESCAPE '\\' LIMIT 3",
                (escaped + "%",),
            )
        ]
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()
    if text in ids:
        return text
    if len(ids) == 1:
        return ids[0]
    if not ids:
        raise TraceNotFound(f"no trace {text!r} in {display_path(db_path)}")
    raise TraceNotFound(f"{text!r} matches several traces; give more of the id")


def load_trace(db_path: str, trace_id: str) -> Trace:
    """The trace with its documents decoded, in the order they were saved."""
    connection = _open_for_reading(db_path)
    try:
        if not _has_documents_table(connection):
            raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
        rows = connection.execute(
            f"SELECT {_SUMMARY_COLUMNS}, msgpack FROM documents WHERE trace_id = ? ORDER BY id",
            (trace_id,),
        ).fetchall()
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()
    if not rows:
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    documents = []
    for row in rows:
        try:
            documents.append(serialize.loads(row[-1]))
        except Exception as exc:  # noqa: BLE001 - any decoding failure means a damaged document
            raise StorageError(f"trace {trace_id} has a damaged document: {exc}") from exc
    return Trace(_summaries([row[:-1] for row in rows])[0], documents)


def trace_summary(db_path: str, trace_id: str) -> TraceSummary:
    connection = _open_for_reading(db_path)
    try:
        rows = connection.execute(
            f"SELECT {_SUMMARY_COLUMNS} FROM documents WHERE trace_id = ? ORDER BY id", (trace_id,)
        ).fetchall()
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()
    if not rows:
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    return _summaries(rows)[0]


def records(document: dict) -> list:
    """Every record of a decoded document: the main buffer first, then each thread's."""
    return _records(document)
