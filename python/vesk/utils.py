"""Small helpers shared by the host package.

This file is one of the host files whose frames the engine never records, so helpers that run while a
program is being profiled belong here rather than in a new module.
"""

from __future__ import annotations

import os
import stat
import sys
import threading
import time

# Crockford's base 32: no I, L, O or U, so identifiers read back unambiguously.
_CROCKFORD = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"


def ulid_text(milliseconds: int | None = None, randomness: bytes | None = None) -> str:
    """26 characters: 48 bits of milliseconds since the epoch, then 80 random bits, in base 32.

    The text sorts in time order, which is what makes "newest first" listings cheap.
    """
    if milliseconds is None:
        milliseconds = time.time_ns() // 1_000_000
    if randomness is None:
        randomness = os.urandom(10)
    value = ((milliseconds % (1 << 48)) << 80) | int.from_bytes(randomness[:10], "big")
    chars = []
    for _ in range(26):
        chars.append(_CROCKFORD[value & 31])
        value >>= 5
    return "".join(reversed(chars))


def new_trace_id() -> str:
    return "trc_" + ulid_text()


class VeskError(Exception):
    """A problem to report to the user as one line, without a traceback."""


def error_line(message: str) -> str:
    return f"vesk: error: {message}"


def stop_threading_hook() -> None:
    """Threads started from now on no longer install the profile function."""
    threading.setprofile(None)


def wait_for_threads() -> None:
    """Joins the threads the interpreter itself would wait for at exit (the non-daemon ones).

    Threads may start further threads while we wait, so the list is read again until it is empty.
    """
    current = threading.current_thread()
    while True:
        pending = [t for t in threading.enumerate() if t is not current and not t.daemon and t.is_alive()]
        if not pending:
            return
        for thread in pending:
            thread.join()


PRIVATE_FILE_MODE = 0o600
PRIVATE_DIRECTORY_MODE = 0o700


def open_private(path: str, *, exclusive: bool = False) -> int:
    """A descriptor for writing the file at `path`, created new (`exclusive`) or emptied, that only its
    owner can read, whatever the umask: traces hold the program's values. A device or a pipe (say,
    /dev/stdout) keeps its mode."""
    flags = os.O_WRONLY | os.O_CREAT | (os.O_EXCL if exclusive else os.O_TRUNC)
    descriptor = os.open(path, flags, PRIVATE_FILE_MODE)
    try:
        if stat.S_ISREG(os.fstat(descriptor).st_mode):
            os.fchmod(descriptor, PRIVATE_FILE_MODE)
    except PermissionError:
        pass  # someone else's file, written where its owner allows it
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def display_path(path: str) -> str:
    """The path as the user would type it: relative to the working directory when below it."""
    try:
        relative = os.path.relpath(path)
    except (ValueError, OSError):  # OSError: the working directory was removed
        return path
    return path if relative.startswith("..") else relative


def size_text(size: float) -> str:
    """A byte count as a person reads it: "512 bytes", "12.0 MiB"."""
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{size} {unit}" if unit == "bytes" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError("unreachable")


def stderr_line(text: str) -> None:
    print(text, file=sys.stderr, flush=True)
