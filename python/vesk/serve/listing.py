"""The trace list: each trace's totals from the database, and how it ended.

How a trace ended is in its last records ("program_exit", "end_test", "request_end"), so only its
last documents are read, and frame records there are skipped undecoded. Its duration is on the
program's time, as the call tree's: the recorder's own time from the trace's first record to its
ending is taken out, where the documents' trailers tell it. What is found is kept in
the viewer's own file, keyed by the trace's size, so the list reads each trace once.
"""

from __future__ import annotations

import os
import sqlite3
import threading

import msgpack

from vesk import serialize, storage
from vesk.reading import text
from vesk.reading.records import MAIN, Decoding, Document, is_array
from vesk.serve import store

# How every frame record the engine writes starts (see reading/records.py): skipped undecoded.
_FRAME_RECORD_START = b"\x8c\xa4path"
_ENDINGS = frozenset(("program_exit", "end_test", "request_end"))
_DOCUMENTS_READ = 2  # from the end: the ending is in the last document, but a trace may end on an empty one
_OUTCOMES_VERSION = 2  # 2: durations on the program's time
_OUTCOMES_SCHEMA = (
    "CREATE TABLE IF NOT EXISTS outcomes (trace_id TEXT PRIMARY KEY, size INTEGER NOT NULL, text TEXT,"
    " failed INTEGER NOT NULL, seconds REAL)"
)


class Outcome:
    __slots__ = ("text", "failed", "seconds")

    def __init__(self, shown: str | None = None, failed: bool = False, seconds: float | None = None) -> None:
        self.text = shown
        self.failed = failed
        self.seconds = seconds


def seconds_of(summary: storage.TraceSummary, outcome: Outcome) -> float | None:
    """How long the trace ran: as its ending record says, else from its start to its last save."""
    if outcome.seconds is None and summary.started_at is not None:
        return summary.saved_at - summary.started_at
    return outcome.seconds


# How pages and the trace list name each source; either name selects it.
SOURCE_NAMES = {"cli": "run", "pytest": "test", "wsgi": "request", "django": "request", "asgi": "request",
                "child": "child"}


def of_source(summary: storage.TraceSummary, wanted: str) -> bool:
    source = summary.source or ""
    return wanted.lower() in (source.lower(), SOURCE_NAMES.get(source, source))


def list_text(summary: storage.TraceSummary) -> str:
    """What a filter of the trace list searches, in lower case."""
    return " ".join((summary.trace_id, summary.source or "", summary.label or "", *summary.command_line)).lower()


def outcome_of(record: dict, started_at: float | None) -> Outcome:
    kind = record.get("type")
    took = record.get("duration_ms")
    seconds = took / 1000 if isinstance(took, (int, float)) else None
    if kind == "end_test":
        outcome = str(record.get("outcome"))
        return Outcome(outcome + _error(record), outcome not in ("passed", "skipped", "xfailed"), seconds)
    if kind == "request_end":
        status = record.get("status")
        return Outcome(f"HTTP {status}", isinstance(status, int) and status >= 500, seconds)
    status = record.get("status")
    ended = record.get("timestamp")
    if isinstance(ended, (int, float)) and isinstance(started_at, (int, float)):
        seconds = ended - started_at
    return Outcome(f"exit {status}{_error(record)}", status != 0, seconds)


def _error(record: dict) -> str:
    error = record.get("error")
    return f" ({text.short_text(error, 60)})" if error else ""


def _ending(data: bytes) -> tuple[dict | None, float | None]:
    """The last ending record of a document, and the recorder's own time when it was filed."""
    document = Document(data, Decoding())
    found, second = None, None
    for section in document.sections():
        if not is_array(document.next_byte()):
            document.skip()
            continue
        seconds = document.recorder_times.get(section, ())
        for position, encoded in enumerate(document.raw_records()):
            if encoded[: len(_FRAME_RECORD_START)] == _FRAME_RECORD_START:
                continue
            record = serialize.loads(encoded)
            if isinstance(record, dict) and record.get("type") in _ENDINGS:
                found, second = record, seconds[position] if position < len(seconds) else None
    return found, second


def _first_recorder_second(data: bytes) -> float | None:
    """The recorder's own time at the first record of a trace's first document."""
    seconds = Document(data, Decoding()).recorder_times.get(MAIN)
    return seconds[0] if seconds else None


class Outcomes:
    """How traces ended, read once each and kept in `<db>.index/outcomes.sqlite3`."""

    def __init__(self, trace_store: storage.Store) -> None:
        self.trace_store = trace_store
        self.path = os.path.join(trace_store.cache_directory(), "outcomes.sqlite3")
        self.lock = threading.Lock()

    def of(self, summaries: list[storage.TraceSummary]) -> dict[str, Outcome]:
        with self.lock:
            connection = self._connect()
            try:
                return {summary.trace_id: self._outcome(connection, summary) for summary in summaries}
            finally:
                connection.close()

    def _connect(self) -> sqlite3.Connection:
        store.make_private_directory(os.path.dirname(self.path))
        if not os.path.exists(self.path):
            connection = store.create_private_database(self.path)
        else:
            connection = sqlite3.connect(self.path, isolation_level=None)
        if connection.execute("PRAGMA user_version").fetchone()[0] != _OUTCOMES_VERSION:
            connection.execute("DROP TABLE IF EXISTS outcomes")  # an older version's: read again
            connection.execute(f"PRAGMA user_version = {_OUTCOMES_VERSION}")
        connection.execute(_OUTCOMES_SCHEMA)
        return connection

    def _outcome(self, connection: sqlite3.Connection, summary: storage.TraceSummary) -> Outcome:
        row = connection.execute(
            "SELECT text, failed, seconds FROM outcomes WHERE trace_id = ? AND size = ?", (summary.trace_id, summary.size)
        ).fetchone()
        if row is not None:
            return Outcome(row[0], bool(row[1]), row[2])
        outcome = self._read(summary)
        connection.execute(
            "INSERT OR REPLACE INTO outcomes VALUES (?, ?, ?, ?, ?)",
            (summary.trace_id, summary.size, outcome.text, int(outcome.failed), outcome.seconds),
        )
        return outcome

    def _read(self, summary: storage.TraceSummary) -> Outcome:
        last = summary.document_count - 1
        read = self.trace_store.read_document
        try:
            for number in range(last, max(last - _DOCUMENTS_READ, -1), -1):
                data = read(summary.trace_id, number)
                record, second = _ending(data)
                if record is None:
                    continue
                outcome = outcome_of(record, summary.started_at)
                first = _first_recorder_second(data if number == 0 else read(summary.trace_id, 0))
                if outcome.seconds is not None and second is not None and first is not None:
                    outcome.seconds = max(0.0, outcome.seconds - (second - first))
                return outcome
        except (storage.StorageError, storage.TraceNotFound, ValueError, TypeError, msgpack.UnpackException):
            return Outcome()
        return Outcome()

    def forget_others(self, trace_ids: set[str]) -> None:
        if not os.path.exists(self.path):
            return
        with self.lock:
            connection = self._connect()
            try:
                known = [row[0] for row in connection.execute("SELECT trace_id FROM outcomes")]
                connection.executemany(
                    "DELETE FROM outcomes WHERE trace_id = ?", [(t,) for t in known if t not in trace_ids]
                )
            finally:
                connection.close()
