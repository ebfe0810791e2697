"""Where the viewer finds what it shows: single documents of the trace database, and its own files.

The viewer never writes to the trace database. What it learns of a trace goes to files of its own in
a private directory beside the database (`<db>.index/`), each written in transactions a reader sees
whole or not at all.
"""

from __future__ import annotations

import collections
import os
import sqlite3
import threading

from vesk import storage
from vesk.utils import PRIVATE_DIRECTORY_MODE, open_private


def index_path(trace_store: storage.Store, trace_id: str) -> str:
    return os.path.join(trace_store.cache_directory(), "traces", f"{trace_id}.sqlite3")


def make_private_directory(path: str) -> None:
    os.makedirs(path, mode=PRIVATE_DIRECTORY_MODE, exist_ok=True)


def create_private_database(path: str) -> sqlite3.Connection:
    """A new, empty SQLite file readable by its owner only, tuned for one bulk write."""
    os.close(open_private(path))
    connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    connection.execute("PRAGMA journal_mode=OFF")
    connection.execute("PRAGMA synchronous=OFF")
    return connection


def create_growing_database(path: str) -> sqlite3.Connection:
    """A new, empty SQLite file readable by its owner only, written a transaction at a time while
    others read it (its log files get the file's permissions)."""
    os.close(open_private(path))
    return open_for_writing(path)


def open_for_writing(path: str) -> sqlite3.Connection:
    connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("PRAGMA synchronous=NORMAL")
    return connection


def open_for_reading(path: str) -> sqlite3.Connection:
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True, isolation_level=None, check_same_thread=False)
    connection.execute("PRAGMA query_only=ON")
    return connection


class Documents:
    """Single documents of traces by their number within the trace, the last few kept (within a
    bound in bytes): a page of the viewer reads records of one or two documents, often again."""

    KEPT_BYTES = 32 << 20  # beyond the document read last

    def __init__(self, trace_store: storage.Store) -> None:
        self.trace_store = trace_store
        self.kept: collections.OrderedDict = collections.OrderedDict()
        self.kept_bytes = 0
        self.lock = threading.Lock()

    def get(self, trace_id: str, number: int) -> bytes:
        key = (trace_id, number)
        with self.lock:
            if key in self.kept:
                self.kept.move_to_end(key)
                return self.kept[key]
        data = self.trace_store.read_document(trace_id, number)
        with self.lock:
            if key not in self.kept:
                self.kept[key] = data
                self.kept_bytes += len(data)
            while len(self.kept) > 1 and self.kept_bytes > self.KEPT_BYTES:
                self.kept_bytes -= len(self.kept.popitem(last=False)[1])
        return data

