"""A trace store in a PostgreSQL database (`postgresql://user@host/db`), shared by every machine
that names it: a team's CI runners and servers save into it at once, and anyone reads it.

The tables are those of the SQLite store, prefixed `vesk_` so that the store can live in an
application's own database. A document is stored compressed, in pieces of at most `PIECE_SIZE`
bytes in `vesk_document_parts`, so that no value comes near the server's limits and none is held
twice in memory. Concurrent writers only insert and update their trace's totals in one statement;
the schema upgrade and retention run under advisory locks, so that writers on many machines trim
the store one at a time, each seeing the traces the others saved.

When the server cannot be reached, documents go to fallback files on this machine, in a directory
of the user's cache named after the store (`~/.cache/vesk/stores/<hash>`), which the next save
there, or `vesk recover --db URL`, sends.
"""

from __future__ import annotations

import hashlib
import os
import threading
import time

from vesk.storage import compression, labels, pending, retention
from vesk.storage.fallback import FallbackFiles
from vesk.storage.interface import Recovery, Removal, StorageError, Store, TraceNotFound, TraceSummary
from vesk.storage.sqlite.save import json_list
from vesk.storage.summary import summarise
from vesk.utils import PRIVATE_DIRECTORY_MODE

try:
    import psycopg
except ImportError:  # the `postgres` extra is not installed
    psycopg = None

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

PIECE_SIZE = 16 << 20
SCHEMA_VERSION = 1
# Advisory lock keys ("vesk" and a number): a server-wide name for each kind of change.
_SCHEMA_LOCK = 0x7665736B0001
_RETENTION_LOCK = 0x7665736B0002
# How long connecting waits for the server, and how long after it failed the saves of this process
# go straight to fallback files: a server that does not answer must not hold up every save of a run.
CONNECT_SECONDS = 10
RETRY_SECONDS = 30

_MIGRATIONS: dict[int, tuple[str, ...]] = {
    1: (
        "CREATE TABLE vesk_settings (name text PRIMARY KEY, value bigint NOT NULL)",
        """CREATE TABLE vesk_traces (
            trace_id text PRIMARY KEY,
            first_document bigint NOT NULL,
            last_document bigint NOT NULL,
            first_saved_at double precision NOT NULL,
            saved_at double precision NOT NULL,
            started_at double precision,
            source text,
            label text,
            command_line text NOT NULL,
            document_count integer NOT NULL,
            total_bytes bigint NOT NULL,
            frame_count bigint NOT NULL,
            plugin_count bigint NOT NULL,
            calls_left_out bigint NOT NULL,
            records_dropped bigint NOT NULL,
            recording_stopped boolean NOT NULL,
            parent_trace_id text,
            machine text,
            ci_job text
        )""",
        "CREATE INDEX vesk_traces_by_last_document ON vesk_traces (last_document)",
        "CREATE INDEX vesk_traces_by_parent ON vesk_traces (parent_trace_id)",
        """CREATE TABLE vesk_documents (
            id bigserial PRIMARY KEY,
            trace_id text NOT NULL,
            saved_at double precision NOT NULL,
            part_count integer NOT NULL
        )""",
        "CREATE INDEX vesk_documents_by_trace ON vesk_documents (trace_id, id)",
        """CREATE TABLE vesk_document_parts (
            document_id bigint NOT NULL REFERENCES vesk_documents (id) ON DELETE CASCADE,
            part integer NOT NULL,
            data bytea NOT NULL,
            PRIMARY KEY (document_id, part)
        )""",
        # Pieces are compressed already: the server's own compression would only cost time.
        "ALTER TABLE vesk_document_parts ALTER COLUMN data SET STORAGE EXTERNAL",
        # Fallback files already imported, by machine: another process may find one before its importer deletes it.
        "CREATE TABLE vesk_imported_files (name text PRIMARY KEY)",
    ),
}

_SUMMARY_COLUMNS = (
    "trace_id, saved_at, started_at, source, label, command_line, frame_count, plugin_count, document_count,"
    " total_bytes, calls_left_out, records_dropped, recording_stopped, parent_trace_id, machine, ci_job"
)


def _summary(row: tuple) -> TraceSummary:
    trace_id, saved_at, started_at, source, label, command_line, *counts = row
    return TraceSummary.with_command_line_json(command_line, trace_id, saved_at, started_at, source, label, *counts)


def redacted(url: str) -> str:
    """The URL without its password, as messages and file names may show it."""
    import urllib.parse

    parts = urllib.parse.urlsplit(url)
    if parts.password is None:
        return url
    host = parts.netloc.rpartition("@")[2]
    return urllib.parse.urlunsplit(parts._replace(netloc=f"{parts.username or ''}:***@{host}"))


def _local_directory(url: str) -> str:
    """This machine's directory for the store: its fallback files and the readers' caches."""
    cache = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    name = hashlib.sha256(redacted(url).encode()).hexdigest()[:16]
    return os.path.join(cache, "vesk", "stores", name)


def _reason(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


class _Connection:
    """A process's connection to one store, shared by its threads under `lock`."""

    __slots__ = ("lock", "connection", "timeout", "failed_at")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.connection = None
        self.timeout = None
        self.failed_at: float | None = None

    def open(self, url: str, timeout: float, *, saving: bool = False):
        """The connection, made again when it was lost; a save just after connecting failed gives up at once."""
        connection = self.connection
        if connection is None or connection.closed or connection.broken:
            if saving and self.failed_at is not None and time.monotonic() - self.failed_at < RETRY_SECONDS:
                raise StorageError("the server could not be reached a moment ago")
            try:
                connection = self.connection = _connect(url)
            except psycopg.OperationalError:
                self.failed_at = time.monotonic()
                raise
            self.failed_at = None
            self.timeout = None
        if timeout != self.timeout:
            # Advisory locks wait as long as SQLite's busy timeout would.
            connection.execute(f"SET lock_timeout = {int(timeout * 1000)}")
            self.timeout = timeout
        return connection

    def drop(self) -> None:
        connection, self.connection = self.connection, None
        if connection is not None:
            try:
                connection.close()
            except psycopg.Error:
                pass  # a connection that failed is given up either way


_connections: dict[str, _Connection] = {}
_connections_lock = threading.Lock()
# Connections inherited from the parent of a fork: never used and never closed, since closing one
# would end the parent's session on the server.
_inherited: list[_Connection] = []


def _forget_connections_after_fork() -> None:
    global _connections_lock
    _inherited.extend(_connections.values())
    _connections.clear()
    _connections_lock = threading.Lock()


os.register_at_fork(after_in_child=_forget_connections_after_fork)


def _connection_of(url: str) -> _Connection:
    with _connections_lock:
        found = _connections.get(url)
        if found is None:
            found = _connections[url] = _Connection()
        return found


def _connect(url: str):
    from psycopg.conninfo import conninfo_to_dict

    given = conninfo_to_dict(url)
    # A server that stops answering mid-run must not hold the program: the save gives up, and its
    # document goes to a file.
    extra = {"connect_timeout": CONNECT_SECONDS, "tcp_user_timeout": 60_000, "application_name": "vesk"}
    connection = psycopg.connect(url, autocommit=True, **{k: v for k, v in extra.items() if k not in given})
    try:
        _migrate(connection, url)
    except BaseException:
        connection.close()
        raise
    return connection


def _migrate(connection, url: str) -> None:
    with connection.transaction():
        connection.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        version = 0
        if connection.execute("SELECT to_regclass('vesk_settings')").fetchone()[0] is not None:
            row = connection.execute("SELECT value FROM vesk_settings WHERE name = 'schema_version'").fetchone()
            version = row[0] if row else 0
        if version > SCHEMA_VERSION:
            raise StorageError(
                f"{redacted(url)} was written by a newer vesk (schema {version}, this one reads {SCHEMA_VERSION})"
            )
        for target in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _MIGRATIONS[target]:
                connection.execute(statement)
        if version != SCHEMA_VERSION:
            connection.execute(
                "INSERT INTO vesk_settings VALUES ('schema_version', %s)"
                " ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                (SCHEMA_VERSION,),
            )


class PostgresStore(Store):
    def __init__(self, url: str, *, timeout: float = 60.0) -> None:
        if psycopg is None:
            raise StorageError("PostgreSQL stores need psycopg: pip install 'vesk[postgres]'")
        self.location = url
        self.timeout = timeout
        self.directory = _local_directory(url)

    def describe(self) -> str:
        return redacted(self.location)

    def _fallback_files(self) -> FallbackFiles:
        return FallbackFiles(self.directory, "trace")

    def _using(self, work, doing: str = "use", timeout: float | None = None):
        """`work(connection)` with this process's connection, errors as one line."""
        holder = _connection_of(self.location)
        with holder.lock:
            try:
                return work(holder.open(self.location, self.timeout if timeout is None else timeout))
            except psycopg.Error as exc:
                holder.drop()
                raise StorageError(f"cannot {doing} the database {self.describe()}: {_reason(exc)}") from None

    # --- saving ---------------------------------------------------------------------------------

    def prepare(self, *, create_directory=False, max_traces=None, max_bytes=None) -> str | None:
        wanted = {name: value for name, value in {"max_traces": max_traces, "max_bytes": max_bytes}.items()
                  if value is not None}

        def work(connection) -> None:
            if wanted:
                connection.cursor().executemany(
                    "INSERT INTO vesk_settings VALUES (%s, %s) ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                    list(wanted.items()),
                )
            _retain(connection, _limits_of(connection), keep=None)

        try:
            self._using(work)
        except StorageError as exc:
            return str(exc)
        return None

    def save(self, trace_id: str, document: bytes, *, timeout: float) -> None:
        summary = summarise(document)
        holder = _connection_of(self.location)
        with holder.lock:
            try:
                connection = holder.open(self.location, timeout, saving=True)
                new_trace = bool(self._import_fallback_files(connection).new_traces)
                new_trace = _insert(connection, trace_id, document, summary, time.time()) or new_trace
            except (psycopg.Error, OSError, StorageError) as exc:
                holder.drop()
                self._keep_in_file(trace_id, document, _reason(exc))
                return
            if new_trace:
                try:
                    _retain(connection, _limits_of(connection), keep=trace_id)
                except psycopg.Error:
                    pass  # the document is saved: a store too busy to trim now is trimmed at the next new trace

    def _keep_in_file(self, trace_id: str, document: bytes, reason: str) -> None:
        try:
            os.makedirs(self.directory, mode=PRIVATE_DIRECTORY_MODE, exist_ok=True)
        except OSError:
            pass  # keeping the file fails just the same, and says so
        self._fallback_files().keep(trace_id, document, self.describe(), reason)

    def _import_fallback_files(self, connection, *, retry_damaged: bool = False) -> _Imported:
        imported = _Imported()
        if not os.path.isdir(self.directory):
            return imported
        files = self._fallback_files()
        machine = labels.machine()
        for saved_at, trace_id, path, document in files.documents(imported.damaged, retry_damaged=retry_damaged):
            with connection.transaction():
                name = f"{machine}/{os.path.basename(path)}"
                fresh = connection.execute(
                    "INSERT INTO vesk_imported_files VALUES (%s) ON CONFLICT DO NOTHING", (name,)
                ).rowcount
                if fresh:
                    imported.documents += 1
                    imported.new_traces += _insert(connection, trace_id, document, summarise(document), saved_at)
            files.imported(path)
        return imported

    # --- reading --------------------------------------------------------------------------------

    def list_traces(self) -> list[TraceSummary]:
        return self._using(lambda connection: [_summary(row) for row in connection.execute(
            f"SELECT {_SUMMARY_COLUMNS} FROM vesk_traces ORDER BY last_document DESC"
        )], "read")

    def trace_summary(self, trace_id: str) -> TraceSummary:
        row = self._using(lambda connection: connection.execute(
            f"SELECT {_SUMMARY_COLUMNS} FROM vesk_traces WHERE trace_id = %s", (trace_id,)
        ).fetchone(), "read")
        if row is None:
            raise TraceNotFound(f"no trace {trace_id!r} in {self.describe()}")
        return _summary(row)

    def latest_trace_ids(self, prefix: str, limit: int) -> list[str]:
        # ILIKE, as the SQLite store's LIKE matches ASCII letters in either case.
        escaped = prefix.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        rows = self._using(lambda connection: connection.execute(
            "SELECT trace_id FROM vesk_traces WHERE trace_id ILIKE %s ESCAPE '\\' ORDER BY last_document DESC LIMIT %s",
            (escaped, limit),
        ).fetchall(), "read")
        return [row[0] for row in rows]

    def iter_documents(self, trace_id: str, start: int = 0) -> Iterator[bytes]:
        ids = self._document_ids(trace_id)
        if not ids:
            raise TraceNotFound(f"no trace {trace_id!r} in {self.describe()}")
        return (self._document(trace_id, document_id) for document_id in ids[start:])

    def read_document(self, trace_id: str, number: int) -> bytes:
        row = None if number < 0 else self._using(lambda connection: connection.execute(
            "SELECT id FROM vesk_documents WHERE trace_id = %s ORDER BY id OFFSET %s LIMIT 1", (trace_id, number)
        ).fetchone(), "read")
        if row is None:
            raise TraceNotFound(f"trace {trace_id} has no document {number} (removed or pruned?)")
        return self._document(trace_id, row[0])

    def _document_ids(self, trace_id: str) -> list[int]:
        rows = self._using(lambda connection: connection.execute(
            "SELECT id FROM vesk_documents WHERE trace_id = %s ORDER BY id", (trace_id,)
        ).fetchall(), "read")
        return [row[0] for row in rows]

    def _document(self, trace_id: str, document_id: int) -> bytes:
        # Each document alone, the lock let go between them: a reader walking a long trace never
        # holds up this process's saves.
        def pieces(connection) -> tuple[int | None, list[bytes]]:
            row = connection.execute("SELECT part_count FROM vesk_documents WHERE id = %s", (document_id,)).fetchone()
            if row is None:
                return None, []
            found = connection.execute(
                "SELECT data FROM vesk_document_parts WHERE document_id = %s ORDER BY part", (document_id,), binary=True
            ).fetchall()
            return row[0], [bytes(piece[0]) for piece in found]

        count, found = self._using(pieces, "read")
        if count is None:
            raise TraceNotFound(f"trace {trace_id} was removed while it was being read")
        if len(found) != count:
            raise StorageError(f"trace {trace_id} has a damaged document: {count - len(found)} pieces missing")
        try:
            return compression.decompress(found[0] if len(found) == 1 else b"".join(found))
        except compression.Damaged as exc:
            raise StorageError(f"trace {trace_id} has a damaged document: {exc}") from None

    def child_traces(self, trace_id: str) -> list[str]:
        rows = self._using(lambda connection: connection.execute(
            "SELECT trace_id FROM vesk_traces WHERE parent_trace_id = %s ORDER BY first_document", (trace_id,)
        ).fetchall(), "read")
        return [row[0] for row in rows]

    def cache_directory(self) -> str:
        return os.path.join(self.directory, "index")

    # --- keeping --------------------------------------------------------------------------------

    def apply_retention(self, *, max_traces=None, max_bytes=None) -> Removal:
        given = {"max_traces": max_traces, "max_bytes": max_bytes}

        def work(connection) -> Removal:
            limits = _limits_of(connection)
            limits.update({name: value for name, value in given.items() if value is not None})
            return _retain(connection, limits, keep=None)

        return self._using(work, "change")

    def remove_traces(self, trace_ids: list[str]) -> Removal:
        def work(connection) -> Removal:
            with connection.transaction():
                removal = _locked_totals(connection)
                rows = connection.execute(
                    "SELECT trace_id, total_bytes FROM vesk_traces WHERE trace_id = ANY(%s) FOR UPDATE",
                    (list(dict.fromkeys(trace_ids)),),
                ).fetchall()
                for _, size in rows:
                    removal.count_removed(size)
                _delete(connection, [row[0] for row in rows])
            return removal

        return self._using(work, "change")

    def recover_fallback_files(self) -> Recovery:
        def work(connection) -> Recovery:
            imported = self._import_fallback_files(connection, retry_damaged=True)
            if imported.new_traces:
                _retain(connection, _limits_of(connection), keep=None)
            return Recovery(imported.documents, imported.damaged)

        return self._using(work, "change")


class _Imported(Recovery):
    __slots__ = ("new_traces",)

    def __init__(self) -> None:
        super().__init__()
        self.new_traces = 0


def _insert(connection, trace_id: str, document: bytes, summary: dict, saved_at: float) -> bool:
    """Adds the document, compressed and in pieces, and its totals to the trace in one transaction;
    whether the trace is new."""
    stored = memoryview(compression.compress(document))
    pieces = [stored[start : start + PIECE_SIZE] for start in range(0, max(len(stored), 1), PIECE_SIZE)]
    with connection.transaction():
        cursor = connection.cursor()
        document_id = cursor.execute(
            "INSERT INTO vesk_documents (trace_id, saved_at, part_count) VALUES (%s, %s, %s) RETURNING id",
            (trace_id, saved_at, len(pieces)),
        ).fetchone()[0]
        for number, piece in enumerate(pieces):
            # %b: sent as bytes, where text would double them in hexadecimal.
            cursor.execute("INSERT INTO vesk_document_parts VALUES (%s, %s, %b)", (document_id, number, piece))
        return cursor.execute(
            "INSERT INTO vesk_traces (trace_id, first_document, last_document, first_saved_at, saved_at, started_at,"
            " source, label, command_line, document_count, total_bytes, frame_count, plugin_count, calls_left_out,"
            " records_dropped, recording_stopped, parent_trace_id, machine, ci_job)"
            " VALUES (%s, %s, %s, %s, %s, %s, %s, %s, %s, 1, %s, %s, %s, %s, %s, %s, %s, %s, %s)"
            " ON CONFLICT (trace_id) DO UPDATE SET last_document = excluded.last_document,"
            " saved_at = excluded.saved_at, document_count = vesk_traces.document_count + 1,"
            " total_bytes = vesk_traces.total_bytes + excluded.total_bytes,"
            " frame_count = vesk_traces.frame_count + excluded.frame_count,"
            " plugin_count = vesk_traces.plugin_count + excluded.plugin_count,"
            " calls_left_out = vesk_traces.calls_left_out + excluded.calls_left_out,"
            " records_dropped = vesk_traces.records_dropped + excluded.records_dropped,"
            " recording_stopped = vesk_traces.recording_stopped OR excluded.recording_stopped,"
            " label = coalesce(vesk_traces.label, excluded.label)"
            " RETURNING xmax = 0",  # a row just inserted has no deleting transaction
            (
                trace_id, document_id, document_id, saved_at, saved_at, summary["started_at"], summary["source"],
                summary["label"], json_list(summary["command_line"]), len(stored), summary["frame_count"],
                summary["plugin_count"], summary["calls_left_out"], summary["records_dropped"],
                bool(summary["recording_stopped"]), pending.parent_of(trace_id), labels.machine(), labels.ci_job(),
            ),
        ).fetchone()[0]


def _limits_of(connection) -> dict[str, int]:
    stored = dict(connection.execute("SELECT name, value FROM vesk_settings").fetchall())
    return {name: stored.get(name, default) for name, default in retention.DEFAULT_LIMITS.items()}


def _locked_totals(connection) -> Removal:
    """What the store keeps, read once this transaction holds the retention lock: writers on every
    machine trim one at a time, each after the others' removals."""
    connection.execute("SELECT pg_advisory_xact_lock(%s)", (_RETENTION_LOCK,))
    count, total = connection.execute("SELECT count(*), coalesce(sum(total_bytes), 0) FROM vesk_traces").fetchone()
    return Removal(0, 0, count, int(total))


def _retain(connection, limits: dict[str, int], *, keep: str | None) -> Removal:
    with connection.transaction():
        removal = _locked_totals(connection)
        if not retention.within(limits, removal.kept_traces, removal.kept_bytes):
            oldest_first = connection.execute("SELECT trace_id, total_bytes FROM vesk_traces ORDER BY last_document")
            _delete(connection, retention.removals(removal, oldest_first.fetchall(), limits, keep))
    return removal


def _delete(connection, trace_ids: list[str]) -> None:
    if trace_ids:
        connection.execute("DELETE FROM vesk_documents WHERE trace_id = ANY(%s)", (trace_ids,))
        connection.execute("DELETE FROM vesk_traces WHERE trace_id = ANY(%s)", (trace_ids,))
