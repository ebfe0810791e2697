"""Where traces are kept: `open_store` gives the `Store` for a location, which is all that the
readers, the viewer, the commands and the recorders speak to.

A location is the path of an SQLite file (the only kind of store so far); a URL (`scheme://...`)
names a store of another kind.
"""

from __future__ import annotations

from vesk.storage.interface import Recovery, Removal, StorageError, Store, TraceNotFound, TraceSummary
from vesk.storage.pending import note_parent, pop_save_problem, pop_save_problems
from vesk.storage.sqlite import SQLiteStore

__all__ = [
    "Recovery",
    "Removal",
    "StorageError",
    "Store",
    "TraceNotFound",
    "TraceSummary",
    "note_parent",
    "open_store",
    "pop_save_problem",
    "pop_save_problems",
]


def _scheme(location: str) -> str | None:
    scheme, separator, _ = location.partition("://")
    if separator and len(scheme) > 1 and scheme[0].isalpha() and all(c.isalnum() or c in "+-." for c in scheme):
        return scheme.lower()
    return None


def open_store(location: str, *, timeout: float = 60.0) -> Store:
    """The store at `location`; `timeout` is how long its maintenance waits for other writers, in
    seconds. Opening touches nothing: the first use says what is wrong."""
    location = str(location)
    scheme = _scheme(location)
    if scheme is not None:
        raise StorageError(f"{scheme}:// stores are not supported: name the path of an SQLite file")
    return SQLiteStore(location, timeout=timeout)
