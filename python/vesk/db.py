"""The engine's storage function: the engine hands every trace document it builds to
`save_trace_in_sqlite`, found by this module's name and that one, which stay as they are whatever
kind of store the location names."""

from __future__ import annotations

from vesk.storage import open_store


def save_trace_in_sqlite(db_path: str, trace_id: str, *, timeout: float, msgpack: bytes) -> None:
    """Stores one trace document in the store at `db_path`.

    `timeout` is the busy timeout in seconds. When the store cannot take the document, it goes to a
    fallback file and the function returns: the problem waits for `vesk.storage.pop_save_problem`.
    StorageError means the document could be kept nowhere.
    """
    document = msgpack if type(msgpack) is bytes else bytes(msgpack)
    open_store(str(db_path)).save(trace_id, document, timeout=float(timeout))
