"""Fallback files: where a document goes when its store cannot take it, until a later save (or
`vesk recover`) imports it.

A store's files are `<prefix>.<trace id>.<ns>.<pid>.msgpack` in one local directory; the time in
the name orders them as they were written. Like the database, they are readable by their owner only.
"""

from __future__ import annotations

import os
import threading
import time

from vesk.storage import pending
from vesk.storage.interface import StorageError
from vesk.storage.summary import is_document
from vesk.utils import display_path, open_private

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator

_SUFFIX = ".msgpack"
_clock = threading.Lock()
_last_ns = 0
# Files found damaged by this process: left alone, and not read again at every save.
_damaged: set[str] = set()


def _forget_clock_after_fork() -> None:
    global _clock
    _clock = threading.Lock()  # another thread may have held it at the fork


os.register_at_fork(after_in_child=_forget_clock_after_fork)


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


class FallbackFiles:
    __slots__ = ("directory", "prefix")

    def __init__(self, directory: str, prefix: str) -> None:
        self.directory = directory
        self.prefix = prefix

    def keep(self, trace_id: str, document: bytes, store: str, reason: str) -> None:
        """Writes the document the store (`store`, as messages name it) could not take for `reason`,
        and notes the problem for `pending.pop_save_problem`; StorageError when that fails too."""
        try:
            path = self._write(trace_id, document)
        except OSError as exc:
            raise StorageError(
                f"cannot save trace {trace_id} in the database {store} ({reason}), "
                f"and writing it to a file beside it failed too ({_reason(exc)})"
            ) from None
        pending.note_save_problem(
            trace_id,
            f"cannot save trace {trace_id} in the database {store} ({reason}); "
            f"the trace was written to {display_path(path)}",
        )

    def _name(self, trace_id: str) -> str:
        # Strictly increasing within a process, so that the files keep the order of the saves.
        global _last_ns
        with _clock:
            nanoseconds = _last_ns = max(time.time_ns(), _last_ns + 1)
        return f"{self.prefix}.{trace_id}.{nanoseconds}.{os.getpid()}{_SUFFIX}"

    def _write(self, trace_id: str, document: bytes) -> str:
        """Writes the file under a temporary name first, so that no reader ever sees a part of it."""
        name = self._name(trace_id)
        path = os.path.join(self.directory, name)
        temporary = os.path.join(self.directory, f".{name}.partial")
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

    def files(self) -> list[tuple[tuple[int, int], str, str]]:
        """The fallback files, oldest first: (order, trace id, path)."""
        prefix = self.prefix + "."
        found = []
        for name in os.listdir(self.directory):
            if not (name.startswith(prefix) and name.endswith(_SUFFIX)):
                continue
            fields = name[len(prefix) : -len(_SUFFIX)].rsplit(".", 2)
            if len(fields) == 3 and fields[0] and fields[1].isdecimal() and fields[2].isdecimal():
                found.append(((int(fields[1]), int(fields[2])), fields[0], os.path.join(self.directory, name)))
        found.sort()
        return found

    def documents(self, damaged: list[str], *, retry_damaged: bool = False) -> Iterator[tuple[float, str, str, bytes]]:
        """(saved at, trace id, path, document) of each file that holds a document, oldest first; the
        others are left where they are and listed in `damaged` (once each per process, unless
        `retry_damaged`). A file goes once `imported` says it is in."""
        for order, trace_id, path in self.files():
            if path in _damaged and not retry_damaged:
                continue
            try:
                with open(path, "rb") as handle:
                    document = handle.read()
            except FileNotFoundError:
                continue  # another process imported it meanwhile
            except OSError:
                document = None
            if document is None or not is_document(document):
                _damaged.add(path)
                damaged.append(path)
                continue
            yield order[0] / 1e9, trace_id, path, document

    @staticmethod
    def imported(path: str) -> None:
        try:
            os.unlink(path)
        except OSError:
            pass  # gone already, or to stay: the store keeps it from being imported twice
