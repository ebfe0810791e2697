"""Keeping an SQLite store within its limits: the limits it stores (in `settings`), removing whole
traces with every row that holds a part of them, and giving their space back to the file system."""

from __future__ import annotations

import sqlite3

from vesk.storage import retention
from vesk.storage.interface import Removal
from vesk.storage.sqlite.schema import transaction


def store_limits(connection: sqlite3.Connection, limits: dict[str, int | None]) -> None:
    wanted = {name: value for name, value in limits.items() if value is not None}
    if wanted and limits_of(connection, wanted.keys()) != wanted:
        connection.executemany("INSERT OR REPLACE INTO settings (name, value) VALUES (?, ?)", wanted.items())


def limits_of(connection: sqlite3.Connection, names=tuple(retention.DEFAULT_LIMITS)) -> dict[str, int]:
    stored = dict(connection.execute("SELECT name, value FROM settings"))
    return {name: stored.get(name, retention.DEFAULT_LIMITS[name]) for name in names}


def retain(
    connection: sqlite3.Connection, limits: dict[str, int], *, keep: str | None = None, in_passing: bool = False
) -> Removal:
    """Removes the least recently saved whole traces (never `keep`) until the limits hold, and gives
    their space back (see `release_free_pages` for `in_passing`)."""

    def remove() -> Removal:
        count, total = connection.execute("SELECT count(*), coalesce(sum(total_bytes), 0) FROM traces").fetchone()
        removal = Removal(0, 0, count, total)
        if retention.within(limits, count, total):
            return removal
        # Read only as far as the removals go: a store at its limits removes one trace at each save,
        # and reading every trace there cost each test of a suite about a millisecond.
        oldest_first = connection.execute("SELECT trace_id, total_bytes FROM traces ORDER BY last_document")
        try:
            chosen = retention.removals(removal, oldest_first, limits, keep)
        finally:
            oldest_first.close()
        for trace_id in chosen:
            delete_trace(connection, trace_id)
        return removal

    removal = transaction(connection, remove)
    if removal.removed_traces:
        release_free_pages(connection, in_passing=in_passing)
    return removal


def retain_quietly(connection: sqlite3.Connection, keep: str | None) -> None:
    # The document is saved: a database too busy to trim now is trimmed at the next new trace.
    try:
        retain(connection, limits_of(connection), keep=keep, in_passing=True)
    except sqlite3.Error:
        pass


def remove(connection: sqlite3.Connection, trace_ids: list[str]) -> Removal:
    def delete() -> Removal:
        count, total = connection.execute("SELECT count(*), coalesce(sum(total_bytes), 0) FROM traces").fetchone()
        removal = Removal(0, 0, count, total)
        for trace_id in dict.fromkeys(trace_ids):
            row = connection.execute("SELECT total_bytes FROM traces WHERE trace_id = ?", (trace_id,)).fetchone()
            if row is not None:
                delete_trace(connection, trace_id)
                removal.count_removed(row[0])
        return removal

    removal = transaction(connection, delete)
    if removal.removed_traces:
        release_free_pages(connection)
    return removal


def delete_trace(connection: sqlite3.Connection, trace_id: str) -> None:
    connection.execute(
        "DELETE FROM document_parts WHERE document_id IN (SELECT id FROM documents WHERE trace_id = ?)", (trace_id,)
    )
    connection.execute("DELETE FROM documents WHERE trace_id = ?", (trace_id,))
    connection.execute("DELETE FROM traces WHERE trace_id = ?", (trace_id,))


def release_free_pages(connection: sqlite3.Connection, *, in_passing: bool = False) -> None:
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

