"""Trace storage in SQLite, and the API to read traces back.

Every document the engine hands to `save_trace_in_sqlite` becomes one row of `documents`; a trace is
all the rows with its trace id, in the order they were saved. A document larger than `PIECE_SIZE`
keeps its first piece in that row and the rest in `document_parts`, so no single value comes near
SQLite's limits. The `traces` table holds each trace's totals, updated in the transaction that adds
a document, so that listing traces never reads documents nor folds their rows, and the trace of the
process that started the trace's process, when vesk recorded both (`note_parent`).

Traces hold the program's values: every file vesk creates here (the database, so also the journal and
write-ahead log SQLite gives its permissions, and the fallback files) is readable by its owner only.

Writers in several processes and threads only insert (and remove whole traces), which SQLite's own
locking, WAL mode and the busy timeout handle. Each process keeps one connection per database for
its saves: closing the last connection checkpoints the whole write-ahead log, which cost a long
recording's every document many milliseconds.

The database keeps at most `max_traces` traces and `max_bytes` of documents (stored in its
`settings` table by `prepare`); each new trace removes the least recently saved whole traces beyond
those, and the file gives the space back. When the database cannot be written, a document goes to a
file beside it (`<db name>.<trace id>.<ns>.<pid>.msgpack`); the next save into the database imports
such files, in the order they were written.
"""

from __future__ import annotations

import atexit
import os
import sqlite3
import threading
import time

from vesk import compression, serialize
from vesk.utils import PRIVATE_DIRECTORY_MODE, VeskError, display_path, open_private

TYPE_CHECKING = False
if TYPE_CHECKING:  # collections.abc is not worth importing for `vesk run`
    from collections.abc import Iterator

SCHEMA_VERSION = 3

# A document is stored in pieces of at most this many bytes.
PIECE_SIZE = 16 << 20
DEFAULT_MAX_TRACES = 500
DEFAULT_MAX_BYTES = 2 << 30
# Set when a database is created: large pages make a document fewer pages to write and to log, and
# an incremental auto-vacuum lets removed traces give their space back without rewriting the file.
_PAGE_SIZE = 16384
# How much log a save lets grow before it copies the log into the file, which syncs both: SQLite's
# 1,000 pages synced a test suite's saves every few dozen tests.
_CHECKPOINT_BYTES = 64 << 20

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
    2: (
        # `msgpack` holds a document's first piece; `part_count` more pieces follow in document_parts.
        "ALTER TABLE documents ADD COLUMN part_count INTEGER NOT NULL DEFAULT 0",
        """CREATE TABLE document_parts (
            document_id INTEGER NOT NULL,
            part INTEGER NOT NULL,
            data BLOB NOT NULL,
            PRIMARY KEY (document_id, part)
        )""",
        """CREATE TABLE traces (
            trace_id TEXT PRIMARY KEY,
            first_document INTEGER NOT NULL,
            last_document INTEGER NOT NULL,
            first_saved_at REAL NOT NULL,
            saved_at REAL NOT NULL,
            started_at REAL,
            source TEXT,
            label TEXT,
            command_line TEXT NOT NULL,
            document_count INTEGER NOT NULL,
            total_bytes INTEGER NOT NULL,
            frame_count INTEGER NOT NULL,
            plugin_count INTEGER NOT NULL,
            calls_left_out INTEGER NOT NULL DEFAULT 0,
            records_dropped INTEGER NOT NULL DEFAULT 0,
            recording_stopped INTEGER NOT NULL DEFAULT 0
        )""",
        "CREATE INDEX traces_by_last_document ON traces (last_document)",
        """INSERT INTO traces (trace_id, first_document, last_document, first_saved_at, saved_at, command_line,
            document_count, total_bytes, frame_count, plugin_count)
            SELECT trace_id, min(id), max(id), min(saved_at), max(saved_at), '[]', count(*), sum(length(msgpack)),
                sum(frame_count), sum(plugin_count)
            FROM documents GROUP BY trace_id""",
        """UPDATE traces SET
            (started_at, source, command_line) =
                (SELECT started_at, source, command_line FROM documents WHERE id = traces.first_document),
            label = (SELECT label FROM documents
                     WHERE trace_id = traces.trace_id AND label IS NOT NULL ORDER BY id LIMIT 1)""",
        "CREATE TABLE settings (name TEXT PRIMARY KEY, value)",
        # Fallback files already imported: another process may find one before its importer deletes it.
        "CREATE TABLE imported_files (name TEXT PRIMARY KEY)",
    ),
    3: (
        # The trace of the process that started this one's process, when it was recorded too.
        "ALTER TABLE traces ADD COLUMN parent_trace_id TEXT",
        "CREATE INDEX traces_by_parent ON traces (parent_trace_id)",
    ),
}


class StorageError(VeskError):
    pass


class TraceNotFound(VeskError):
    pass


_UNDECODED = object()


def _decode_command_line(text: str) -> list[str]:
    import json  # only here: json brings re along, which `vesk run` never needs otherwise

    try:
        return json.loads(text)
    except ValueError:
        return []


# Plain classes rather than dataclasses: this module is imported by every `vesk run` before the
# program starts, and the dataclasses module (with inspect behind it) would cost more than all of it.
class TraceSummary:
    """A trace's totals over all its documents.

    `calls_left_out` counts the calls volume control did not record, `records_dropped` the records
    the engine had to drop when storage kept failing, and `recording_stopped` tells that the trace
    reached its byte cap.
    """

    _FIELDS = (
        "trace_id",
        "saved_at",
        "started_at",
        "source",
        "label",
        "command_line",
        "frame_count",
        "plugin_count",
        "document_count",
        "size",
        "calls_left_out",
        "records_dropped",
        "recording_stopped",
        "parent_trace_id",
    )
    __slots__ = (*(name for name in _FIELDS if name != "command_line"), "_command_line", "_command_line_json")

    def __init__(
        self,
        trace_id: str,
        saved_at: float,
        started_at: float | None,
        source: str | None,
        label: str | None,
        command_line: list[str],
        frame_count: int,
        plugin_count: int,
        document_count: int,
        size: int = 0,
        calls_left_out: int = 0,
        records_dropped: int = 0,
        recording_stopped: bool = False,
        parent_trace_id: str | None = None,
    ) -> None:
        self.trace_id = trace_id
        self.saved_at = saved_at
        self.started_at = started_at
        self.source = source
        self.label = label
        self._command_line = command_line
        self._command_line_json = ""
        self.frame_count = frame_count
        self.plugin_count = plugin_count
        self.document_count = document_count
        self.size = size
        self.calls_left_out = calls_left_out
        self.records_dropped = records_dropped
        self.recording_stopped = recording_stopped
        self.parent_trace_id = parent_trace_id

    @classmethod
    def _from_row(cls, row: tuple) -> TraceSummary:
        (trace_id, saved_at, started_at, source, label, command_line_json, frames, plugins, documents, size,
         left_out, dropped, stopped, parent) = row
        summary = cls(trace_id, saved_at, started_at, source, label, _UNDECODED, frames, plugins, documents,
                      size, left_out, dropped, bool(stopped), parent)
        summary._command_line_json = command_line_json
        return summary

    @property
    def command_line(self) -> list[str]:
        # Decoded on first use: `vesk run` reads the counts of the trace it saved, never this.
        if self._command_line is _UNDECODED:
            self._command_line = _decode_command_line(self._command_line_json)
        return self._command_line

    @command_line.setter
    def command_line(self, value: list[str]) -> None:
        self._command_line = value

    def _values(self) -> tuple:
        return tuple(getattr(self, name) for name in self._FIELDS)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        return self._values() == other._values()

    __hash__ = None  # mutable, like the dataclass it replaces

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._FIELDS)
        return f"TraceSummary({fields})"


_SUMMARY_COLUMNS = (
    "trace_id, saved_at, started_at, source, label, command_line, frame_count, plugin_count, document_count,"
    " total_bytes, calls_left_out, records_dropped, recording_stopped, parent_trace_id"
)


class Trace:
    __slots__ = ("summary", "documents")

    def __init__(self, summary: TraceSummary, documents: list[dict] | None = None) -> None:
        self.summary = summary
        self.documents = [] if documents is None else documents

    @property
    def trace_id(self) -> str:
        return self.summary.trace_id

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        return (self.summary, self.documents) == (other.summary, other.documents)

    __hash__ = None

    def __repr__(self) -> str:
        return f"Trace(summary={self.summary!r}, documents={self.documents!r})"


class Removal:
    """What removing traces did: how many and how large, and what the database keeps."""

    __slots__ = ("removed_traces", "removed_bytes", "kept_traces", "kept_bytes")

    def __init__(self, removed_traces: int, removed_bytes: int, kept_traces: int, kept_bytes: int) -> None:
        self.removed_traces = removed_traces
        self.removed_bytes = removed_bytes
        self.kept_traces = kept_traces
        self.kept_bytes = kept_bytes

    def __repr__(self) -> str:
        return f"Removal({', '.join(f'{name}={getattr(self, name)!r}' for name in self.__slots__)})"


class Recovery:
    """What importing fallback files did: documents imported, and the files left alone as damaged."""

    __slots__ = ("documents", "damaged")

    def __init__(self, documents: int = 0, damaged: list[str] | None = None) -> None:
        self.documents = documents
        self.damaged = [] if damaged is None else damaged

    def __repr__(self) -> str:
        return f"Recovery(documents={self.documents!r}, damaged={self.damaged!r})"


# --- connections ----------------------------------------------------------------------------------


def _reason(exc: BaseException) -> str:
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return "the file is not a database or is damaged"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


def _describe(db_path: str, exc: BaseException) -> str:
    return f"{display_path(db_path)}: {_reason(exc)}"


def _newer_schema(db_path: str, version: int) -> StorageError:
    return StorageError(
        f"{display_path(db_path)} was written by a newer vesk (schema {version}, this one reads "
        f"{SCHEMA_VERSION})"
    )


def _version_and_foreign_tables(connection: sqlite3.Connection) -> tuple[int, bool, bool]:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    return version, version == 0 and bool(tables - {"sqlite_sequence"}), not tables


def _migrate(connection: sqlite3.Connection, db_path: str) -> None:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    if version > SCHEMA_VERSION:
        raise _newer_schema(db_path, version)
    if version == 0:
        # Another process may be creating the schema right now: its tables and its version arrive
        # together, so they are read together (one snapshot), or a new database of ours would look
        # like another program's.
        connection.execute("BEGIN")
        try:
            version, foreign, empty = _version_and_foreign_tables(connection)
        finally:
            connection.execute("COMMIT")
        if foreign:
            raise StorageError(f"{display_path(db_path)} is a database of some other program")
        if version == SCHEMA_VERSION:
            return
        if empty:
            # Both only take effect before the first table exists.
            connection.execute(f"PRAGMA page_size = {_PAGE_SIZE}")
            connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
        # The journal mode is a property of the file and cannot change inside a transaction.
        connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the write lock.
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise _newer_schema(db_path, version)
        for target in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _MIGRATIONS[target]:
                connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise


def _create_private_database(db_path: str) -> None:
    """Creates the file before SQLite does, readable by its owner only: SQLite gives the journal and
    write-ahead log it creates the database file's permissions. An empty file is an empty database."""
    try:
        os.close(open_private(db_path, exclusive=True))
    except OSError:
        pass  # there already, or SQLite will say why it cannot be created


def _open_for_writing(db_path: str, timeout: float) -> sqlite3.Connection:
    _create_private_database(db_path)
    connection = sqlite3.connect(db_path, timeout=timeout, isolation_level=None, check_same_thread=False)
    try:
        _migrate(connection, db_path)
        # Some builds of SQLite overwrite every freed page with zeros: a save at the retention limits
        # wrote the trace it removed once more, through the log and into the file. Freed pages stay
        # in this owner-only file until a new document or a vacuum takes them.
        connection.execute("PRAGMA secure_delete = FAST")
    except BaseException:
        connection.close()
        raise
    return connection


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
        try:
            status = os.stat(db_path)
            identity = (status.st_dev, status.st_ino)
        except OSError:
            identity = None
        if self.connection is not None and identity == self.identity:
            if timeout != self.timeout:
                self.connection.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
                self.timeout = timeout
            return self.connection
        self.drop()
        connection = _open_for_writing(db_path, timeout)
        # With a write-ahead log, commits stay safe from corruption without a sync each: only a
        # power cut can lose the last documents, where FULL would cost every save a sync.
        connection.execute("PRAGMA synchronous = NORMAL")
        page_size = connection.execute("PRAGMA page_size").fetchone()[0]
        connection.execute(f"PRAGMA wal_autocheckpoint = {_CHECKPOINT_BYTES // page_size}")
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


def _writer(db_path: str) -> _Writer:
    key = os.path.abspath(db_path)
    with _writers_lock:
        writer = _writers.get(key)
        if writer is None:
            writer = _writers[key] = _Writer()
        return writer


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

_URI_SAFE = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_.-~/")


def _uri_path(path: str) -> str:
    """The path percent-encoded for a file: URI, as urllib.parse.quote does it. Written out because
    `vesk run` reads the database once at its end, and urllib.parse would bring re along."""
    return "".join(chr(byte) if byte in _URI_SAFE else f"%{byte:02X}" for byte in os.fsencode(path))


def _open_for_reading(db_path: str, timeout: float = 10.0) -> sqlite3.Connection:
    if not os.path.exists(db_path):
        raise StorageError(f"no database at {display_path(db_path)} (nothing recorded yet?)")
    uri = "file:" + _uri_path(os.path.abspath(db_path)) + "?mode=ro"
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
            raise _newer_schema(db_path, version)
        if version < SCHEMA_VERSION:
            connection.close()
            _upgrade(db_path, timeout)
            return _open_for_reading(db_path, timeout)
    except sqlite3.Error as exc:
        connection.close()
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    except BaseException:
        connection.close()
        raise
    return connection


def _upgrade(db_path: str, timeout: float) -> None:
    try:
        _open_for_writing(db_path, timeout).close()
    except sqlite3.Error as exc:
        raise StorageError(
            f"{display_path(db_path)} has an old schema and cannot be upgraded here ({_reason(exc)})"
        ) from exc


def _has_table(connection: sqlite3.Connection, name: str) -> bool:
    row = connection.execute("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", (name,)).fetchone()
    return row is not None


def prepare(
    db_path: str,
    *,
    timeout: float = 60.0,
    create_directory: bool = False,
    max_traces: int | None = None,
    max_bytes: int | None = None,
) -> None:
    """Checks, before anything is recorded, that traces can be saved at `db_path`.

    Creates the database (and, when asked, its directory) so that a problem shows up as one error
    before a long program runs rather than after it. An existing database is never modified beyond
    a schema upgrade and the retention limits given here, which it applies and so does every new
    trace saved later.
    """
    directory = os.path.dirname(os.path.abspath(db_path))
    if create_directory:
        _make_private_directory(directory)
    if not os.path.isdir(directory):
        raise StorageError(f"the database directory {display_path(directory)} does not exist")
    try:
        connection = _open_for_writing(db_path, timeout)
        try:
            _store_limits(connection, {"max_traces": max_traces, "max_bytes": max_bytes})
            # Before the program runs rather than at its first save: trimming a database that
            # outgrew its limits (or an old one that was never trimmed) can take a while.
            _retain_quietly(connection, keep=None)
        finally:
            connection.close()
    except sqlite3.Error as exc:
        raise StorageError(f"cannot use the database {_describe(db_path, exc)}") from exc


def _make_private_directory(directory: str) -> None:
    """The directory of the default database, readable by its owner only (also one made before vesk
    made it so)."""
    try:
        os.makedirs(directory, exist_ok=True)
        status = os.stat(directory)
        if status.st_uid == os.geteuid() and status.st_mode & 0o077:
            os.chmod(directory, PRIVATE_DIRECTORY_MODE)
    except OSError as exc:
        raise StorageError(f"cannot create the directory {display_path(directory)}: {exc.strerror}") from exc


def _store_limits(connection: sqlite3.Connection, limits: dict[str, int | None]) -> None:
    wanted = {name: value for name, value in limits.items() if value is not None}
    if wanted and _limits(connection, wanted.keys()) != wanted:
        connection.executemany("INSERT OR REPLACE INTO settings (name, value) VALUES (?, ?)", wanted.items())


_DEFAULT_LIMITS = {"max_traces": DEFAULT_MAX_TRACES, "max_bytes": DEFAULT_MAX_BYTES}


def _limits(connection: sqlite3.Connection, names=tuple(_DEFAULT_LIMITS)) -> dict[str, int]:
    stored = dict(connection.execute("SELECT name, value FROM settings"))
    return {name: stored.get(name, _DEFAULT_LIMITS[name]) for name in names}


# --- saving ---------------------------------------------------------------------------------------


def _records(document: dict) -> list:
    # Only arrays hold records: a damaged document with, say, `true` in their place has none, rather
    # than failing the save (which then kept the document nowhere) or every later read.
    main = document.get("frames_of_interest")
    records = list(main) if isinstance(main, list) else []
    frames = document.get("frames")
    if isinstance(frames, dict):
        for thread_records in frames.values():
            if isinstance(thread_records, list):
                records.extend(thread_records)
    return records


def _label_of(record: dict) -> str | None:
    kind = record.get("type")
    if kind == "start_test":
        test = record.get("test")
        return str(test) if test is not None else None
    if kind == "request_start":
        return f"{record.get('method', '?')} {record.get('path', '?')}"
    return None


# The engine writes every default frame record as a fixmap of 12 entries whose first key is "path",
# while a plugin record is a dict that starts with "frame_id". These bytes tell the two apart without
# decoding either: frame records are nearly all of a document, and decoding them is what made saving
# a long recording take many times longer than writing it.
_FRAME_RECORD_START = b"\x8c\xa4path"


def _is_map(first_byte: int) -> bool:
    return 0x80 <= first_byte <= 0x8F or first_byte in (0xDE, 0xDF)


def _is_array(first_byte: int) -> bool:
    return 0x90 <= first_byte <= 0x9F or first_byte in (0xDC, 0xDD)


def _pairs(spans: list) -> zip:
    """A map's (key span, value span) pairs from its items' spans."""
    return zip(spans[::2], spans[1::2])


class _Walk:
    """The parts of an encoded document that the summary reads, decoded alone.

    `serialize.outline` finds where the values lie (natively, in one pass over the bytes); the few
    values read are decoded one at a time with `serialize.loads`, as reading the whole document would
    decode them; frame records are only counted. A damaged document raises.
    """

    def __init__(self, document: bytes) -> None:
        self.document = document
        self.view = memoryview(document)

    def decode(self, span: tuple[int, int]) -> object:
        return serialize.loads(self.view[span[0] : span[1]])

    def records(self, span: tuple[int, int]) -> tuple[int, list[tuple[int, int]]]:
        """The number of frame records in the array at `span`, and where each other record lies.

        Anything but an array holds no records, as its decoded form would hold no dicts.
        """
        if not _is_array(self.document[span[0]]):
            return 0, []
        frames, others, _ = serialize.outline(self.document, span[0], _FRAME_RECORD_START)
        return frames, others

    def threads(self, span: tuple[int, int]) -> dict | None:
        if not _is_map(self.document[span[0]]):
            return None
        _, items, _ = serialize.outline(self.document, span[0])
        return {self.decode(thread): self.records(records) for thread, records in _pairs(items)}

    def document_parts(self) -> dict | None:
        """The top-level values the summary reads, and the records of "frames_of_interest" and of each
        thread of "frames"; None when the document is not a map. A repeated key counts once, with
        its last value, as in the decoded dict."""
        if not _is_map(self.document[0]):
            return None
        _, items, end = serialize.outline(self.document, 0)
        if end != len(self.document):
            raise ValueError("extra data after the document")
        parts: dict = {}
        for key_span, value_span in _pairs(items):
            key = self.decode(key_span)
            if key == "frames_of_interest":
                parts[key] = self.records(value_span)
            elif key == "frames":
                parts[key] = self.threads(value_span)
            elif key in ("timestamp", "meta", "command_line_args"):
                parts[key] = self.decode(value_span)
        return parts


# Records that tell what was not recorded: summed into the trace's totals, never counted as plugin records.
_VOLUME_RECORDS = ("calls_left_out", "records_dropped", "recording_stopped")


def _empty_summary() -> dict:
    return {
        "started_at": None,
        "source": None,
        "label": None,
        "command_line": [],
        "frame_count": 0,
        "plugin_count": 0,
        "calls_left_out": 0,
        "records_dropped": 0,
        "recording_stopped": False,
    }


def summarise(document: bytes) -> dict:
    """The summary columns of one document. A document that does not decode is still stored.

    Only the few top-level values and the plugin records are decoded; frame records are counted by
    their first bytes. The result is what the decoded document would give.
    """
    try:
        return _summary_of(_Walk(bytes(document)))
    except Exception:  # noqa: BLE001 - kept as it is; reading it back will report the damage
        return _empty_summary()


def _count(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def _add_volume_record(summary: dict, kind: str, record: dict) -> None:
    if kind == "calls_left_out":
        functions = record.get("functions")
        if isinstance(functions, list):
            summary["calls_left_out"] += sum(_count(f.get("count")) for f in functions if isinstance(f, dict))
    elif kind == "records_dropped":
        summary["records_dropped"] += _count(record.get("count"))
    else:
        summary["recording_stopped"] = True


def _summary_of(walk: _Walk) -> dict:
    summary = _empty_summary()
    parts = walk.document_parts()
    if parts is None:
        return summary
    timestamp = parts.get("timestamp")
    summary["started_at"] = timestamp if isinstance(timestamp, (int, float)) else None
    meta = parts.get("meta")
    if isinstance(meta, dict) and isinstance(meta.get("source"), str):
        summary["source"] = meta["source"]
    argv = parts.get("command_line_args")
    if isinstance(argv, list):
        summary["command_line"] = [str(arg) for arg in argv]
    sections = [parts.get("frames_of_interest"), *(parts.get("frames") or {}).values()]
    # The status joins the label only at the end of the request that gave it: a server recorded by
    # `vesk run` handles many requests in one document, and each status used to lengthen the label.
    request_open = False
    for frames, others in filter(None, sections):
        summary["frame_count"] += frames
        for span in others:
            record = walk.decode(span)
            if not isinstance(record, dict):
                continue
            kind = record.get("type")
            if kind == "frame":
                summary["frame_count"] += 1
                continue
            if kind in _VOLUME_RECORDS:
                _add_volume_record(summary, kind, record)
                continue
            if kind == "recorder_time":
                continue  # the recorder's own time per record, for the readers: no plugin's
            summary["plugin_count"] += 1
            if summary["label"] is None:
                summary["label"] = _label_of(record)
                request_open = kind == "request_start" and summary["label"] is not None
            elif request_open and kind == "request_end":
                request_open = False
                if "status" in record:
                    summary["label"] += f" {record['status']}"
    return summary


def _is_document(document: bytes) -> bool:
    try:
        return _Walk(document).document_parts() is not None
    except Exception:  # noqa: BLE001 - anything that does not walk is no document
        return False


def _json_list(texts: list[str]) -> str:
    """`json.dumps(texts)` for a list of texts, without importing json (and re behind it) on the way
    out of every `vesk run`; the C encoder is the one json itself uses."""
    from _json import encode_basestring_ascii

    return "[" + ", ".join(map(encode_basestring_ascii, texts)) + "]"


def _transaction(connection: sqlite3.Connection, work):
    """`work()` inside one write transaction, rolled back when it raises."""
    connection.execute("BEGIN IMMEDIATE")
    try:
        result = work()
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise
    return result


def _insert(connection: sqlite3.Connection, trace_id: str, document: bytes, summary: dict, saved_at: float) -> bool:
    """Adds the document, compressed, and its totals to the trace, inside a transaction; whether the
    trace is new."""
    stored = compression.compress(document)
    pieces = [stored] if len(stored) <= PIECE_SIZE else _pieces(stored)
    document_id = connection.execute(
        "INSERT INTO documents (trace_id, saved_at, started_at, source, label, command_line,"
        " frame_count, plugin_count, part_count, msgpack) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, zeroblob(?))",
        (
            trace_id,
            saved_at,
            summary["started_at"],
            summary["source"],
            summary["label"],
            _json_list(summary["command_line"]),
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
    return _add_to_totals(connection, trace_id, document_id, saved_at, len(stored), summary)


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
            _json_list(summary["command_line"]),
            *counts,
            _parents.get(trace_id),
        ),
    )
    return True


def _check_version(connection: sqlite3.Connection, db_path: str) -> None:
    # A newer vesk may have upgraded the database since this process opened it.
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version != SCHEMA_VERSION:
        raise _newer_schema(db_path, version)


# The parent trace of each trace this process records for a child process, stored with its first document.
_parents: dict[str, str] = {}


def note_parent(trace_id: str, parent_trace_id: str) -> None:
    """Links the trace, once its first document is saved by this process, to the trace of its parent process."""
    _parents[trace_id] = parent_trace_id


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: float, msgpack: bytes) -> None:
    """Stores one trace document (the engine's storage function).

    `timeout` is the busy timeout in seconds. When the database cannot be written, the document is
    written to a file beside it and the function returns: the problem waits for `pop_save_problem`.
    StorageError means the document could be kept nowhere.
    """
    document = msgpack if type(msgpack) is bytes else bytes(msgpack)
    summary = summarise(document)
    db_path = str(db_path)
    try:
        _save(db_path, trace_id, document, summary, float(timeout))
    except (sqlite3.Error, OSError, StorageError) as exc:
        _keep_in_fallback_file(db_path, trace_id, document, exc)


def _save(db_path: str, trace_id: str, document: bytes, summary: dict, timeout: float) -> None:
    writer = _writer(db_path)
    with writer.lock:
        try:
            connection = writer.open(db_path, timeout)
            # Documents an earlier save could not store go first: they were saved before this one.
            new_trace = bool(_import_fallback_files(connection, db_path).new_traces)

            def insert() -> bool:
                _check_version(connection, db_path)
                return _insert(connection, trace_id, document, summary, time.time())

            new_trace = _transaction(connection, insert) or new_trace
        except BaseException:
            writer.drop()
            raise
        if new_trace:
            _retain_quietly(connection, keep=trace_id)


def _retain_quietly(connection: sqlite3.Connection, keep: str | None) -> None:
    # The document is saved: a database too busy to trim now is trimmed at the next new trace.
    try:
        _retain(connection, _limits(connection), keep=keep, in_passing=True)
    except sqlite3.Error:
        pass


# --- fallback files -------------------------------------------------------------------------------

_FALLBACK_SUFFIX = ".msgpack"
_save_problems: dict[str, str] = {}
_fallback_clock = threading.Lock()
_last_fallback_ns = 0
# Fallback files found damaged by this process: left alone, and not read again at every save.
_damaged_fallbacks: set[str] = set()


def pop_save_problem(trace_id: str) -> str | None:
    """The first problem a save of this trace met (its documents went to a file), forgotten once read."""
    return _save_problems.pop(trace_id, None)


def _keep_in_fallback_file(db_path: str, trace_id: str, document: bytes, exc: BaseException) -> None:
    reason = _reason(exc)
    try:
        fallback = _write_fallback(db_path, trace_id, document)
    except OSError as fallback_exc:
        raise StorageError(
            f"cannot save trace {trace_id} in the database {display_path(db_path)} ({reason}), "
            f"and writing it to a file beside it failed too ({_reason(fallback_exc)})"
        ) from exc
    _save_problems.setdefault(
        trace_id,
        f"cannot save trace {trace_id} in the database {display_path(db_path)} ({reason}); "
        f"the trace was written to {display_path(fallback)}",
    )


def _fallback_name(db_path: str, trace_id: str) -> str:
    # The time in the name orders the files as they were written: strictly increasing in a process.
    global _last_fallback_ns
    with _fallback_clock:
        nanoseconds = _last_fallback_ns = max(time.time_ns(), _last_fallback_ns + 1)
    return f"{os.path.basename(db_path)}.{trace_id}.{nanoseconds}.{os.getpid()}{_FALLBACK_SUFFIX}"


def _write_fallback(db_path: str, trace_id: str, document: bytes) -> str:
    """Writes the file under a temporary name first, so that no reader ever sees a part of it."""
    directory = os.path.dirname(os.path.abspath(db_path))
    name = _fallback_name(db_path, trace_id)
    path = os.path.join(directory, name)
    temporary = os.path.join(directory, f".{name}.partial")
    try:
        with os.fdopen(open_private(temporary, exclusive=True), "wb") as handle:
            handle.write(document)
            handle.flush()
            os.fsync(handle.fileno())
        os.rename(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass  # never created, or already gone
        raise
    return path


def _forget_fallback_clock_after_fork() -> None:
    global _fallback_clock
    _fallback_clock = threading.Lock()


os.register_at_fork(after_in_child=_forget_fallback_clock_after_fork)


def _fallback_files(db_path: str) -> list[tuple[tuple[int, int], str, str]]:
    """The fallback files beside the database, oldest first: (order, trace id, path)."""
    directory = os.path.dirname(os.path.abspath(db_path))
    prefix = os.path.basename(db_path) + "."
    found = []
    for name in os.listdir(directory):
        if not (name.startswith(prefix) and name.endswith(_FALLBACK_SUFFIX)):
            continue
        fields = name[len(prefix) : -len(_FALLBACK_SUFFIX)].rsplit(".", 2)
        if len(fields) == 3 and fields[0] and fields[1].isdecimal() and fields[2].isdecimal():
            found.append(((int(fields[1]), int(fields[2])), fields[0], os.path.join(directory, name)))
    found.sort()
    return found


class _Imported(Recovery):
    __slots__ = ("new_traces",)

    def __init__(self) -> None:
        super().__init__()
        self.new_traces = 0


def _import_fallback_files(connection: sqlite3.Connection, db_path: str, *, retry_damaged: bool = False) -> _Imported:
    """Imports every fallback file beside the database, oldest first, and deletes it once imported.

    A file that is not a document, or cannot be read, is left where it is and listed as damaged.
    """
    imported = _Imported()
    for order, trace_id, path in _fallback_files(db_path):
        if path in _damaged_fallbacks and not retry_damaged:
            continue
        try:
            with open(path, "rb") as handle:
                document = handle.read()
        except FileNotFoundError:
            continue  # another process imported it meanwhile
        except OSError:
            document = None
        if document is None or not _is_document(document):
            _damaged_fallbacks.add(path)
            imported.damaged.append(path)
            continue
        outcome = _transaction(connection, lambda: _import_one(connection, db_path, path, trace_id, document, order))
        if outcome is not None:
            imported.documents += 1
            imported.new_traces += outcome
        try:
            os.unlink(path)
        except OSError:
            pass  # gone already, or to stay: imported_files keeps it from being imported twice
    return imported


def _import_one(
    connection: sqlite3.Connection, db_path: str, path: str, trace_id: str, document: bytes, order: tuple[int, int]
) -> bool | None:
    """Inserts the document unless another process already did; whether its trace is new, or None."""
    _check_version(connection, db_path)
    name = os.path.basename(path)
    if connection.execute("SELECT 1 FROM imported_files WHERE name = ?", (name,)).fetchone():
        return None
    connection.execute("INSERT INTO imported_files (name) VALUES (?)", (name,))
    return _insert(connection, trace_id, document, summarise(document), order[0] / 1e9)


# --- retention ------------------------------------------------------------------------------------


def _retain(
    connection: sqlite3.Connection, limits: dict[str, int], *, keep: str | None = None, in_passing: bool = False
) -> Removal:
    """Removes the least recently saved whole traces (never `keep`) until the limits hold, and gives
    their space back (see `_release_free_pages` for `in_passing`)."""

    def remove() -> Removal:
        count, total = connection.execute("SELECT count(*), coalesce(sum(total_bytes), 0) FROM traces").fetchone()
        removal = Removal(0, 0, count, total)
        if _within(limits, count, total):
            return removal
        oldest_first = connection.execute("SELECT trace_id, total_bytes FROM traces ORDER BY last_document").fetchall()
        for trace_id, size in oldest_first:
            if _within(limits, removal.kept_traces, removal.kept_bytes):
                break
            if trace_id != keep:
                _delete_trace(connection, trace_id)
                _count_removed(removal, size)
        return removal

    removal = _transaction(connection, remove)
    if removal.removed_traces:
        _release_free_pages(connection, in_passing=in_passing)
    return removal


def _within(limits: dict[str, int], traces: int, size: int) -> bool:
    # 0 is no limit, as elsewhere in the configuration.
    pairs = ((limits["max_traces"], traces), (limits["max_bytes"], size))
    return all(not limit or value <= limit for limit, value in pairs)


def _count_removed(removal: Removal, size: int) -> None:
    removal.removed_traces += 1
    removal.removed_bytes += size
    removal.kept_traces -= 1
    removal.kept_bytes -= size


def _delete_trace(connection: sqlite3.Connection, trace_id: str) -> None:
    connection.execute(
        "DELETE FROM document_parts WHERE document_id IN (SELECT id FROM documents WHERE trace_id = ?)", (trace_id,)
    )
    connection.execute("DELETE FROM documents WHERE trace_id = ?", (trace_id,))
    connection.execute("DELETE FROM traces WHERE trace_id = ?", (trace_id,))


def _release_free_pages(connection: sqlite3.Connection, *, in_passing: bool = False) -> None:
    """Gives the pages of removed traces back to the file system.

    `in_passing` (a save, or the start of a recording) leaves up to a quarter of the file free for
    the next documents, and does not wait for readers: a database at its limits removes a trace for
    each new one, and the program should not pay for a vacuum at every trace, nor wait for
    `vesk show`. A database made before incremental vacuuming existed is rewritten once to allow it.
    """
    if in_passing and _mostly_used(connection):
        return
    if connection.execute("PRAGMA auto_vacuum").fetchone()[0] == 0:
        connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
        connection.execute("VACUUM")
    else:
        # As a script: execute() would step it once, and each step frees one page.
        connection.executescript("PRAGMA incremental_vacuum;")
    # Pages leave the file only when the log is copied back into it. A checkpoint that would wait
    # for readers copies what it can now, and the next one the rest.
    timeout = connection.execute("PRAGMA busy_timeout").fetchone()[0]
    if in_passing:
        connection.execute("PRAGMA busy_timeout = 0")
    try:
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)").fetchall()
    finally:
        connection.execute(f"PRAGMA busy_timeout = {timeout}")


def _mostly_used(connection: sqlite3.Connection) -> bool:
    free, pages = (connection.execute(f"PRAGMA {name}").fetchone()[0] for name in ("freelist_count", "page_count"))
    return free * 4 <= pages


def _with_database(db_path: str, timeout: float, work):
    """`work(connection)` with this process's connection to an existing database, errors as one line."""
    if not os.path.exists(db_path):
        raise StorageError(f"no database at {display_path(db_path)} (nothing recorded yet?)")
    writer = _writer(db_path)
    with writer.lock:
        try:
            return work(writer.open(db_path, timeout))
        except sqlite3.Error as exc:
            writer.drop()
            raise StorageError(f"cannot change the database {_describe(db_path, exc)}") from exc
        except BaseException:
            writer.drop()
            raise


def apply_retention(
    db_path: str, *, max_traces: int | None = None, max_bytes: int | None = None, timeout: float = 60.0
) -> Removal:
    """Keeps at most `max_traces` traces and `max_bytes` of documents (by default the limits `prepare`
    stored), removing the least recently saved whole traces first."""

    def retain(connection: sqlite3.Connection) -> Removal:
        limits = _limits(connection)
        limits.update({name: value for name, value in (("max_traces", max_traces), ("max_bytes", max_bytes))
                       if value is not None})
        return _retain(connection, limits)

    return _with_database(db_path, timeout, retain)


def remove_traces(db_path: str, trace_ids: list[str], *, timeout: float = 60.0) -> Removal:
    """Removes these whole traces (ids not in the database are passed over)."""

    def remove(connection: sqlite3.Connection) -> Removal:
        def delete() -> Removal:
            count, total = connection.execute(
                "SELECT count(*), coalesce(sum(total_bytes), 0) FROM traces"
            ).fetchone()
            removal = Removal(0, 0, count, total)
            for trace_id in dict.fromkeys(trace_ids):
                row = connection.execute("SELECT total_bytes FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
                if row is not None:
                    _delete_trace(connection, trace_id)
                    _count_removed(removal, row[0])
            return removal

        removal = _transaction(connection, delete)
        if removal.removed_traces:
            _release_free_pages(connection)
        return removal

    return _with_database(db_path, timeout, remove)


def recover_fallback_files(db_path: str, *, timeout: float = 60.0) -> Recovery:
    """Imports the fallback files beside the database (creating it when needed), oldest first."""
    directory = os.path.dirname(os.path.abspath(db_path))
    if not os.path.isdir(directory):
        raise StorageError(f"the database directory {display_path(directory)} does not exist")
    if not os.path.exists(db_path):
        prepare(db_path, timeout=timeout)

    def recover(connection: sqlite3.Connection) -> Recovery:
        imported = _import_fallback_files(connection, db_path, retry_damaged=True)
        if imported.new_traces:
            _retain(connection, _limits(connection))
        return Recovery(imported.documents, imported.damaged)

    return _with_database(db_path, timeout, recover)


# --- reading --------------------------------------------------------------------------------------


def _read(db_path: str, work):
    """`work(connection)` on a read-only connection, errors as one line."""
    connection = _open_for_reading(db_path)
    try:
        return work(connection)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()


def list_traces(db_path: str) -> list[TraceSummary]:
    """Every trace in the database, the most recently saved first."""

    def summaries(connection: sqlite3.Connection) -> list[TraceSummary]:
        if not _has_table(connection, "traces"):
            return []
        rows = connection.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces ORDER BY last_document DESC")
        return [TraceSummary._from_row(row) for row in rows]

    return _read(db_path, summaries)


def resolve_trace_id(db_path: str, text: str) -> str:
    """A full trace id for "latest", a full id or an unambiguous prefix of one."""

    def matching(connection: sqlite3.Connection) -> list[str]:
        if not _has_table(connection, "traces"):
            return []
        if text == "latest":
            return [row[0] for row in connection.execute(
                "SELECT trace_id FROM traces ORDER BY last_document DESC LIMIT 1"
            )]
        escaped = text.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")
        rows = connection.execute(
            "SELECT trace_id FROM traces WHERE trace_id LIKE ? ESCAPE '\\' LIMIT 3", (escaped + "%",)
        )
        return [row[0] for row in rows]

    ids = _read(db_path, matching)
    if text == "latest":
        if not ids:
            raise TraceNotFound(f"no traces in {display_path(db_path)}")
        return ids[0]
    if text in ids:
        return text
    if len(ids) == 1:
        return ids[0]
    if not ids:
        raise TraceNotFound(f"no trace {text!r} in {display_path(db_path)}")
    raise TraceNotFound(f"{text!r} matches several traces; give more of the id")


def iter_documents(db_path: str, trace_id: str, start: int = 0) -> Iterator[bytes]:
    """The raw bytes of each document of the trace from number `start` on, in the order they were saved.

    Only one document is read at a time, so a trace of any length can be walked. A missing trace
    raises here, before the first document. The ids are read first and each document on its own, so
    no read transaction stays open while the caller works on a document.
    """
    connection = _open_for_reading(db_path)
    try:
        ids = _document_ids(connection, trace_id)
    except sqlite3.Error as exc:
        connection.close()
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    except BaseException:
        connection.close()
        raise
    if not ids:
        connection.close()
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    return _documents(connection, db_path, trace_id, ids[start:])


def read_document(db_path: str, trace_id: str, number: int) -> bytes:
    """The raw bytes of the trace's document `number` (0 for the first saved), read alone:
    `iter_documents` would read every document before it."""

    def work(connection: sqlite3.Connection) -> bytes:
        row = connection.execute(
            "SELECT id FROM documents WHERE trace_id = ? ORDER BY id LIMIT 1 OFFSET ?", (trace_id, number)
        ).fetchone() if number >= 0 and _has_table(connection, "documents") else None
        if row is None:
            raise TraceNotFound(f"trace {trace_id} has no document {number} (removed or pruned?)")
        return _document(connection, trace_id, row[0])

    return _read(db_path, work)


def _document_ids(connection: sqlite3.Connection, trace_id: str) -> list[int]:
    if not _has_table(connection, "documents"):
        return []
    rows = connection.execute("SELECT id FROM documents WHERE trace_id = ? ORDER BY id", (trace_id,))
    return [row[0] for row in rows]


def _documents(connection: sqlite3.Connection, db_path: str, trace_id: str, ids: list[int]) -> Iterator[bytes]:
    try:
        for document_id in ids:
            yield _document(connection, trace_id, document_id)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
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


def child_traces(db_path: str, trace_id: str) -> list[str]:
    """The traces of the child processes of the trace's process, in the order they were first saved."""

    def children(connection: sqlite3.Connection) -> list[str]:
        if not _has_table(connection, "traces"):
            return []
        rows = connection.execute(
            "SELECT trace_id FROM traces WHERE parent_trace_id = ? ORDER BY first_document", (trace_id,)
        )
        return [row[0] for row in rows]

    return _read(db_path, children)


def load_trace(db_path: str, trace_id: str) -> Trace:
    """The trace with its documents decoded, in the order they were saved: for small traces only."""
    summary = trace_summary(db_path, trace_id)
    documents = []
    for document in iter_documents(db_path, trace_id):
        try:
            documents.append(serialize.loads(document))
        except Exception as exc:  # noqa: BLE001 - any decoding failure means a damaged document
            raise StorageError(f"trace {trace_id} has a damaged document: {exc}") from exc
    return Trace(summary, documents)


def trace_summary(db_path: str, trace_id: str) -> TraceSummary:
    def summary(connection: sqlite3.Connection) -> TraceSummary | None:
        if not _has_table(connection, "traces"):
            return None
        row = connection.execute(f"SELECT {_SUMMARY_COLUMNS} FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
        return None if row is None else TraceSummary._from_row(row)

    found = _read(db_path, summary)
    if found is None:
        raise TraceNotFound(f"no trace {trace_id!r} in {display_path(db_path)}")
    return found


def records(document: dict) -> list:
    """Every record of a decoded document: the main buffer first, then each thread's."""
    return _records(document)
