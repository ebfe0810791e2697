"""Trace storage in SQLite, and the API to read traces back.

Every document the engine hands to `save_trace_in_sqlite` becomes one row of `documents`; a trace is
all the rows with its trace id, in the order they were saved. Rows are only ever inserted, so writers
in several processes never conflict beyond SQLite's own locking, which WAL mode and the busy timeout
handle. A few summary columns (record counts, the test or request, the command line) are filled at
save time so that listing traces never decodes documents.
"""

from __future__ import annotations

import io
import os
import sqlite3
import time

import msgpack

from vesk import serialize
from vesk.utils import VeskError, display_path

TYPE_CHECKING = False
if TYPE_CHECKING:  # collections.abc is not worth importing for `vesk run`
    from collections.abc import Iterator

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

    @classmethod
    def _from_row(cls, row: tuple) -> TraceSummary:
        trace_id, saved_at, started_at, source, label, command_line_json, frames, plugins = row
        summary = cls(trace_id, saved_at, started_at, source, label, _UNDECODED, frames, plugins, 1)
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


def _version_and_foreign_tables(connection: sqlite3.Connection) -> tuple[int, bool]:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    return version, version == 0 and bool(tables - {"sqlite_sequence"})


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
            version, foreign = _version_and_foreign_tables(connection)
        finally:
            connection.execute("COMMIT")
        if foreign:
            raise StorageError(f"{display_path(db_path)} is a database of some other program")
        if version == SCHEMA_VERSION:
            return
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


def _open_for_writing(db_path: str, timeout: float) -> sqlite3.Connection:
    connection = sqlite3.connect(db_path, timeout=timeout, isolation_level=None)
    try:
        _migrate(connection, db_path)
    except BaseException:
        connection.close()
        raise
    return connection


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
_READ_SIZE = 1 << 16


def _is_map(first_byte: int) -> bool:
    return 0x80 <= first_byte <= 0x8F or first_byte in (0xDE, 0xDF)


def _is_array(first_byte: int) -> bool:
    return 0x90 <= first_byte <= 0x9F or first_byte in (0xDC, 0xDD)


class _Walk:
    """One pass over an encoded document that decodes only what the summary needs.

    Values are decoded one at a time with `serialize.loads`, as reading the whole document would
    decode them; frame records are only skipped over. A damaged document raises.
    """

    def __init__(self, document: bytes) -> None:
        self.document = document
        self.view = memoryview(document)
        # Read from a file object rather than fed: feeding would copy the whole document once more.
        self.unpacker = msgpack.Unpacker(
            io.BytesIO(document),
            read_size=_READ_SIZE,
            raw=False,
            strict_map_key=False,
            max_buffer_size=max(len(document), _READ_SIZE),
        )

    def next_byte(self) -> int:
        return self.document[self.unpacker.tell()]

    def value(self) -> object:
        start = self.unpacker.tell()
        self.unpacker.skip()
        return self.decode((start, self.unpacker.tell()))

    def decode(self, span: tuple[int, int]) -> object:
        return serialize.loads(self.view[span[0] : span[1]])

    def records(self) -> tuple[int, list[tuple[int, int]]]:
        """The number of frame records in the array ahead, and where each other record lies.

        Anything but an array holds no records, as its decoded form would hold no dicts.
        """
        unpacker = self.unpacker
        if not _is_array(self.next_byte()):
            unpacker.skip()
            return 0, []
        tell, skip, starts = unpacker.tell, unpacker.skip, self.document.startswith
        frames = 0
        others = []
        for _ in range(unpacker.read_array_header()):
            start = tell()
            skip()
            if starts(_FRAME_RECORD_START, start):
                frames += 1
            else:
                others.append((start, tell()))
        return frames, others

    def document_parts(self) -> dict | None:
        """The top-level values the summary reads, and the records of "frames_of_interest" and of each
        thread of "frames"; None when the document is not a map. A repeated key counts once, with
        its last value, as in the decoded dict."""
        if not _is_map(self.next_byte()):
            return None
        parts: dict = {}
        unpacker = self.unpacker
        for _ in range(unpacker.read_map_header()):
            key = self.value()
            if key == "frames_of_interest":
                parts[key] = self.records()
            elif key == "frames":
                if _is_map(self.next_byte()):
                    threads: dict = {}
                    for _ in range(unpacker.read_map_header()):
                        thread = self.value()
                        threads[thread] = self.records()
                    parts[key] = threads
                else:
                    unpacker.skip()
                    parts[key] = None
            elif key in ("timestamp", "meta", "command_line_args"):
                parts[key] = self.value()
            else:
                unpacker.skip()
        if unpacker.tell() != len(self.document):
            raise ValueError("extra data after the document")
        return parts


def _empty_summary() -> dict:
    return {
        "started_at": None,
        "source": None,
        "label": None,
        "command_line": [],
        "frame_count": 0,
        "plugin_count": 0,
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
            summary["plugin_count"] += 1
            if summary["label"] is None:
                summary["label"] = _label_of(record)
                request_open = kind == "request_start" and summary["label"] is not None
            elif request_open and kind == "request_end":
                request_open = False
                if "status" in record:
                    summary["label"] += f" {record['status']}"
    return summary


def _json_list(texts: list[str]) -> str:
    """`json.dumps(texts)` for a list of texts, without importing json (and re behind it) on the way
    out of every `vesk run`; the C encoder is the one json itself uses."""
    from _json import encode_basestring_ascii

    return "[" + ", ".join(map(encode_basestring_ascii, texts)) + "]"


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
                    _json_list(summary["command_line"]),
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
        trace_id, saved_at, _, _, label, _, frames, plugins = row
        summary = by_id.get(trace_id)
        if summary is None:
            by_id[trace_id] = TraceSummary._from_row(row)
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


def iter_documents(db_path: str, trace_id: str) -> Iterator[bytes]:
    """The raw bytes of each document of the trace, in the order they were saved.

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
    return _documents(connection, db_path, trace_id, ids)


def _document_ids(connection: sqlite3.Connection, trace_id: str) -> list[int]:
    if not _has_documents_table(connection):
        return []
    rows = connection.execute("SELECT id FROM documents WHERE trace_id = ? ORDER BY id", (trace_id,))
    return [row[0] for row in rows]


def _documents(connection: sqlite3.Connection, db_path: str, trace_id: str, ids: list[int]) -> Iterator[bytes]:
    try:
        for document_id in ids:
            row = connection.execute("SELECT msgpack FROM documents WHERE id = ?", (document_id,)).fetchone()
            if row is None:
                raise TraceNotFound(f"trace {trace_id} was removed while it was being read")
            yield row[0]
    except sqlite3.Error as exc:
        raise StorageError(f"cannot read the database {_describe(db_path, exc)}") from exc
    finally:
        connection.close()


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
