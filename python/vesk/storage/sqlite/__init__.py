"""A trace store in one SQLite file: the schema in `schema`, saving in `save`, reading in `read`,
and its limits in `retention`. When the file cannot be written, documents go to fallback files
beside it (`<db name>.<trace id>.<ns>.<pid>.msgpack`)."""

from __future__ import annotations

import os
import sqlite3

from vesk.storage.interface import Recovery, Removal, StorageError, Store, TraceSummary
from vesk.storage.sqlite import read, retention, save
from vesk.storage.sqlite.schema import describe, open_for_writing, reason, refuse_symbolic_link
from vesk.storage.summary import summarise
from vesk.utils import PRIVATE_DIRECTORY_MODE, display_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator


class SQLiteStore(Store):
    def __init__(self, path: str, *, timeout: float = 60.0) -> None:
        self.location = path
        self.timeout = timeout  # how long maintenance waits for other writers, in seconds

    def describe(self) -> str:
        return display_path(self.location)

    def prepare(
        self, *, create_directory: bool = False, max_traces: int | None = None, max_bytes: int | None = None
    ) -> str | None:
        """Creates the database (and, when asked, its directory) so that a problem shows up before a
        long program runs. An existing database is never modified beyond a schema upgrade and the
        retention limits given here, which it applies and so does every new trace saved later."""
        path = self.location
        directory = os.path.dirname(os.path.abspath(path))
        if create_directory:
            problem = _make_private_directory(directory)
            if problem is not None:
                return problem
        elif not os.path.isdir(directory):
            # A directory the user named: a typo in it must not scatter databases around.
            raise StorageError(f"the database directory {display_path(directory)} does not exist")
        refuse_symbolic_link(path)
        try:
            connection = open_for_writing(path, self.timeout)
        except (sqlite3.Error, OSError, StorageError) as exc:
            return f"cannot use the database {describe(path, exc)}"
        try:
            retention.store_limits(connection, {"max_traces": max_traces, "max_bytes": max_bytes})
            # Before the program runs rather than at its first save: trimming a database that
            # outgrew its limits (or an old one that was never trimmed) can take a while.
            retention.retain_quietly(connection, keep=None)
        except sqlite3.Error as exc:
            return f"cannot use the database {describe(path, exc)}"
        finally:
            connection.close()
        return None

    def save(self, trace_id: str, document: bytes, *, timeout: float) -> None:
        summary = summarise(document)
        try:
            save.save(self.location, trace_id, document, summary, timeout)
        except (sqlite3.Error, OSError, StorageError) as exc:
            save.fallback_files(self.location).keep(trace_id, document, self.describe(), reason(exc))

    def list_traces(self) -> list[TraceSummary]:
        return read.list_traces(self.location)

    def trace_summary(self, trace_id: str) -> TraceSummary:
        path = self.location
        try:
            return save.with_open_writer(path, lambda saving: read.trace_summary(path, trace_id, saving))
        except sqlite3.Error as exc:
            raise StorageError(f"cannot read the database {describe(path, exc)}") from exc

    def latest_trace_ids(self, prefix: str, limit: int) -> list[str]:
        return read.latest_trace_ids(self.location, prefix, limit)

    def iter_documents(self, trace_id: str, start: int = 0) -> Iterator[bytes]:
        return read.iter_documents(self.location, trace_id, start)

    def read_document(self, trace_id: str, number: int) -> bytes:
        return read.read_document(self.location, trace_id, number)

    def child_traces(self, trace_id: str) -> list[str]:
        return read.child_traces(self.location, trace_id)

    def cache_directory(self) -> str:
        return self.location + ".index"

    def apply_retention(self, *, max_traces: int | None = None, max_bytes: int | None = None) -> Removal:
        def retain(connection: sqlite3.Connection) -> Removal:
            limits = retention.limits_of(connection)
            given = {"max_traces": max_traces, "max_bytes": max_bytes}
            limits.update({name: value for name, value in given.items() if value is not None})
            return retention.retain(connection, limits)

        return self._changing(retain)

    def remove_traces(self, trace_ids: list[str]) -> Removal:
        return self._changing(lambda connection: retention.remove(connection, trace_ids))

    def recover_fallback_files(self) -> Recovery:
        directory = os.path.dirname(os.path.abspath(self.location))
        if not os.path.isdir(directory):
            raise StorageError(f"the database directory {display_path(directory)} does not exist")
        if not os.path.exists(self.location):
            problem = self.prepare()
            if problem is not None:
                raise StorageError(problem)

        def recover(connection: sqlite3.Connection) -> Recovery:
            imported = save.import_fallback_files(connection, self.location, retry_damaged=True)
            if imported.new_traces:
                retention.retain(connection, retention.limits_of(connection))
            return Recovery(imported.documents, imported.damaged)

        return self._changing(recover)

    def _changing(self, work):
        """`work(connection)` with this process's connection to the existing database, errors as one line."""
        path = self.location
        if not os.path.exists(path):
            raise StorageError(f"no database at {display_path(path)} (nothing recorded yet?)")
        writer = save.writer_of(path)
        with writer.lock:
            try:
                return work(writer.open(path, self.timeout))
            except sqlite3.Error as exc:
                writer.drop()
                raise StorageError(f"cannot change the database {describe(path, exc)}") from exc
            except BaseException:
                writer.drop()
                raise


def _make_private_directory(directory: str) -> str | None:
    """The directory of the default database, readable by its owner only (also one made before vesk
    made it so); why it cannot be had, or None. One that is a symbolic link is refused: its target
    would be made private, and the traces written there."""
    if os.path.islink(directory):
        raise StorageError(f"{display_path(directory)} is a symbolic link; vesk does not write through one")
    try:
        os.makedirs(directory, exist_ok=True)
        status = os.lstat(directory)
        if status.st_uid == os.geteuid() and status.st_mode & 0o077:
            os.chmod(directory, PRIVATE_DIRECTORY_MODE)
    except OSError as exc:
        return f"cannot create the directory {display_path(directory)}: {exc.strerror}"
    return None
