"""Where traces are kept: `open_store` gives the `Store` for a location, which is all that the
readers, the viewer, the commands and the recorders speak to.

A location is the path of an SQLite file, or the URL of a PostgreSQL database
(`postgresql://user@host/db`, see `postgres`).
"""

from __future__ import annotations

import os

from vesk.storage.interface import Recovery, Removal, StorageError, Store, TraceNotFound, TraceSummary
from vesk.storage.pending import note_parent, pop_save_problem, pop_save_problems
from vesk.storage.sqlite import SQLiteStore
from vesk.utils import display_path

__all__ = [
    "Recovery",
    "Removal",
    "StorageError",
    "Store",
    "describe",
    "TraceNotFound",
    "TraceSummary",
    "note_parent",
    "is_url",
    "open_store",
    "resolve",
    "pop_save_problem",
    "pop_save_problems",
]


def _scheme(location: str) -> str | None:
    scheme, separator, _ = location.partition("://")
    if separator and len(scheme) > 1 and scheme[0].isalpha() and all(c.isalnum() or c in "+-." for c in scheme):
        return scheme.lower()
    return None


POSTGRES_SCHEMES = ("postgresql", "postgres")


def is_url(location: str) -> bool:
    return _scheme(str(location)) is not None


def resolve(location: str, root: str = ".") -> str:
    """The location as stores are named: a URL as it is, a path made absolute against `root` (a
    program that changes its working directory still saves where the user said)."""
    location = str(location)
    if is_url(location):
        return location
    return os.path.abspath(os.path.join(root, os.path.expanduser(location)))


def describe(location: str) -> str:
    """The location as messages name it: a path relative to the working directory, a URL without its password."""
    if is_url(location):
        from vesk.storage.postgres import redacted

        return redacted(location)
    return display_path(location)


def open_store(location: str, *, timeout: float = 60.0) -> Store:
    """The store at `location`; `timeout` is how long its maintenance waits for other writers, in
    seconds. Opening touches nothing: the first use says what is wrong."""
    location = str(location)
    scheme = _scheme(location)
    if scheme in POSTGRES_SCHEMES:
        from vesk.storage.postgres import PostgresStore

        return PostgresStore(location, timeout=timeout)
    if scheme is not None:
        raise StorageError(f"{scheme}:// stores are not supported: name an SQLite file or a postgresql:// URL")
    return SQLiteStore(location, timeout=timeout)
