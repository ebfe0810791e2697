"""The indexes of a database's traces: built on first open, in the background, one at a time, and
taken further when their trace has grown. A page reads an index as soon as its first document is in."""

from __future__ import annotations

import os
import threading
import time

from vesk import storage, utils
from vesk.serve import index, store

_SLOW = 2.0  # seconds: a longer build says so on stderr, where the server was started


class Indexes:
    def __init__(self, trace_store: storage.Store) -> None:
        self.trace_store = trace_store
        self.directory = os.path.join(trace_store.cache_directory(), "traces")
        self.documents = store.Documents(trace_store)
        self.building: dict[str, index.Progress] = {}
        self.lock = threading.Lock()
        self.one_build_at_a_time = threading.Lock()

    def path(self, trace_id: str) -> str:
        return store.index_path(self.trace_store, trace_id)

    def open(self, trace_id: str) -> index.TraceIndex | index.Progress:
        """The trace's index as far as it is built, with its `progress` while the rest is indexed
        (starting that when the trace has documents the index lacks); or the progress of a build
        that has no document in yet."""
        summary = self.trace_store.trace_summary(trace_id)
        path = self.path(trace_id)
        with self.lock:
            progress = self.building.get(trace_id)
            if progress is None:
                indexed = index.indexed_documents(path)
                if indexed < summary.document_count:
                    progress = self.building[trace_id] = index.Progress(indexed, summary.document_count)
                    threading.Thread(target=self._build, args=(trace_id, progress), daemon=True,
                                     name=f"index {trace_id}").start()
        if progress is not None and (progress.error is not None or not progress.readable):
            return progress
        return index.TraceIndex(path, trace_id, self.documents, progress)

    def _build(self, trace_id: str, progress: index.Progress) -> None:
        with self.one_build_at_a_time:
            started = time.monotonic()
            try:
                store.make_private_directory(os.path.dirname(self.directory))
                store.make_private_directory(self.directory)
                index.build(self.trace_store, trace_id, self.path(trace_id), progress)
            except Exception as exc:  # noqa: BLE001 - told to the page, which may retry
                progress.error = f"cannot index trace {trace_id}: {exc}"
                utils.stderr_line(f"vesk: {progress.error}")
                return
            took = time.monotonic() - started
            if took > _SLOW:
                utils.stderr_line(f"vesk: indexed trace {trace_id} ({progress.records:,} records) in {took:.1f} s")
        with self.lock:
            self.building.pop(trace_id, None)

    def forget_failure(self, trace_id: str) -> None:
        with self.lock:
            self.building.pop(trace_id, None)

    def remove_stale(self, trace_ids: set[str]) -> None:
        """Removes the indexes of traces no longer in the database (pruned or removed)."""
        try:
            names = os.listdir(self.directory)
        except OSError:
            return
        for name in names:
            # Their log files and the temporary files of older versions go too.
            trace_id = name.partition(".")[0]
            if trace_id not in trace_ids and trace_id not in self.building:
                try:
                    os.unlink(os.path.join(self.directory, name))
                except OSError:
                    pass
