"""The SQLite schema, its upgrades, and the connections every other module of the store works through.

Every document becomes one row of `documents`; a trace is all the rows with its trace id, in the
order they were saved. A document larger than a piece (see `save`) keeps its first piece in that row
and the rest in `document_parts`, so no single value comes near SQLite's limits. The `traces` table
holds each trace's totals, updated in the transaction that adds a document, and the trace of the
process that started the trace's process, when vesk recorded both.

Traces hold the program's values: the database file is created readable by its owner only (SQLite
gives the journal and write-ahead log it creates the database file's permissions), and never opened
through a symbolic link for writing, which could make it some other file.
"""

from __future__ import annotations

import os
import sqlite3

from vesk.storage.interface import StorageError
from vesk.utils import display_path, open_private

SCHEMA_VERSION = 3

# Set when a database is created: large pages make a document fewer pages to write and to log, and
# an incremental auto-vacuum lets removed traces give their space back without rewriting the file.
PAGE_SIZE = 16384


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


def reason(exc: BaseException) -> str:
    if isinstance(exc, sqlite3.DatabaseError) and "not a database" in str(exc):
        return "the file is not a database or is damaged"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    return str(exc)


def describe(db_path: str, exc: BaseException) -> str:
    return f"{display_path(db_path)}: {reason(exc)}"


def newer_schema(db_path: str, version: int) -> StorageError:
    return StorageError(
        f"{display_path(db_path)} was written by a newer vesk (schema {version}, this one reads "
        f"{SCHEMA_VERSION})"
    )


def _version_and_foreign_tables(connection: sqlite3.Connection) -> tuple[int, bool, bool]:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    return version, version == 0 and bool(tables - {"sqlite_sequence"}), not tables


def migrate(connection: sqlite3.Connection, db_path: str) -> None:
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version == SCHEMA_VERSION:
        return
    if version > SCHEMA_VERSION:
        raise newer_schema(db_path, version)
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
            connection.execute(f"PRAGMA page_size = {PAGE_SIZE}")
            connection.execute("PRAGMA auto_vacuum = INCREMENTAL")
        # The journal mode is a property of the file and cannot change inside a transaction.
        connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("BEGIN IMMEDIATE")
    try:
        # Another process may have migrated while we waited for the write lock.
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version > SCHEMA_VERSION:
            raise newer_schema(db_path, version)
        for target in range(version + 1, SCHEMA_VERSION + 1):
            for statement in _MIGRATIONS[target]:
                connection.execute(statement)
        connection.execute(f"PRAGMA user_version = {SCHEMA_VERSION}")
        connection.execute("COMMIT")
    except BaseException:
        if connection.in_transaction:
            connection.execute("ROLLBACK")
        raise


def create_private_database(db_path: str) -> None:
    """Creates the file before SQLite does, readable by its owner only: SQLite gives the journal and
    write-ahead log it creates the database file's permissions. An empty file is an empty database.
    Creating it new follows no symbolic link; one that is there is refused."""
    try:
        os.close(open_private(db_path, exclusive=True))
    except OSError:
        pass  # there already, or SQLite will say why it cannot be created
    refuse_symbolic_link(db_path)


def refuse_symbolic_link(path: str) -> None:
    # SQLite's own refusal (SQLITE_OPEN_NOFOLLOW) is not reachable through the sqlite3 module: a
    # link made between this look and SQLite's open is the one case left.
    if os.path.islink(path):
        raise StorageError(f"{display_path(path)} is a symbolic link; vesk does not write through one")


def open_for_writing(db_path: str, timeout: float) -> sqlite3.Connection:
    create_private_database(db_path)
    connection = sqlite3.connect(db_path, timeout=timeout, isolation_level=None, check_same_thread=False)
    try:
        migrate(connection, db_path)
        # Some builds of SQLite overwrite every freed page with zeros: a save at the retention limits
        # wrote the trace it removed once more, through the log and into the file. Freed pages stay
        # in this owner-only file until a new document or a vacuum takes them.
        connection.execute("PRAGMA secure_delete = FAST")
    except BaseException:
        connection.close()
        raise
    return connection


def open_for_reading(db_path: str, timeout: float = 10.0) -> sqlite3.Connection:
    if not os.path.exists(db_path):
        raise StorageError(f"no database at {display_path(db_path)} (nothing recorded yet?)")
    import urllib.parse  # here, not with the module: it brings re along, which `vesk run` needs only at its end

    uri = "file:" + urllib.parse.quote(os.fsencode(os.path.abspath(db_path))) + "?mode=ro"
    try:
        connection = sqlite3.connect(uri, uri=True, timeout=timeout, isolation_level=None)
    except sqlite3.Error as exc:
        raise StorageError(f"cannot open the database {describe(db_path, exc)}") from exc
    with closed_on_error(connection, db_path):
        version = connection.execute("PRAGMA user_version").fetchone()[0]
        if version == 0:
            tables = {row[0] for row in connection.execute("SELECT name FROM sqlite_master")}
            if not tables:
                return connection  # created but nothing saved yet: reads find no traces
            raise StorageError(f"{display_path(db_path)} is not a vesk database")
        if version > SCHEMA_VERSION:
            raise newer_schema(db_path, version)
        if version < SCHEMA_VERSION:
            connection.close()
            upgrade(db_path, timeout)
            return open_for_reading(db_path, timeout)
    return connection


class closed_on_error:
    """Closes a reading connection when its block fails, a SQLite error becoming a StorageError.

    A class rather than contextlib's decorator: contextlib would be one more import for every command that opens a store.
    """

    def __init__(self, connection: sqlite3.Connection, db_path: str) -> None:
        self.connection = connection
        self.db_path = db_path

    def __enter__(self) -> sqlite3.Connection:
        return self.connection

    def __exit__(self, kind: type | None, exc: BaseException | None, traceback: object) -> bool:
        if kind is None:
            return False
        self.connection.close()
        if isinstance(exc, sqlite3.Error):
            raise StorageError(f"cannot read the database {describe(self.db_path, exc)}") from exc
        return False


def upgrade(db_path: str, timeout: float) -> None:
    try:
        open_for_writing(db_path, timeout).close()
    except sqlite3.Error as exc:
        raise StorageError(
            f"{display_path(db_path)} has an old schema and cannot be upgraded here ({reason(exc)})"
        ) from exc


def has_table(connection: sqlite3.Connection, name: str) -> bool:
    row = connection.execute("SELECT 1 FROM sqlite_master WHERE type='table' AND name=?", (name,)).fetchone()
    return row is not None


def check_version(connection: sqlite3.Connection, db_path: str) -> None:
    # A newer vesk may have upgraded the database since this process opened it.
    version = connection.execute("PRAGMA user_version").fetchone()[0]
    if version != SCHEMA_VERSION:
        raise newer_schema(db_path, version)


def transaction(connection: sqlite3.Connection, work):
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

