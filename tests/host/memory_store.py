"""A second kind of store, in memory, for the tests of the storage interface: what any store must do
is checked against it and the SQLite store alike, and the readers and the viewer run on it unchanged."""

from __future__ import annotations

import collections
import time

from vesk.storage import Recovery, Removal, Store, TraceNotFound, TraceSummary, pending, retention
from vesk.storage.summary import summarise


class MemoryStore(Store):
    def __init__(self, cache_directory: str) -> None:
        self.location = "memory"
        self._cache_directory = cache_directory
        self.summaries: collections.OrderedDict[str, TraceSummary] = collections.OrderedDict()  # last saved last
        self.documents: dict[str, list[bytes]] = {}  # in the order their traces were first saved
        self.limits = dict(retention.DEFAULT_LIMITS)

    def describe(self) -> str:
        return "memory"

    def prepare(self, *, create_directory=False, max_traces=None, max_bytes=None) -> str | None:
        given = {"max_traces": max_traces, "max_bytes": max_bytes}
        self.limits.update({name: value for name, value in given.items() if value is not None})
        self._retain(self.limits, keep=None)
        return None

    def save(self, trace_id: str, document: bytes, *, timeout: float) -> None:
        totals = summarise(document)
        summary = self.summaries.get(trace_id)
        if summary is None:
            summary = self.summaries[trace_id] = TraceSummary(
                trace_id, 0.0, totals["started_at"], totals["source"], None, totals["command_line"], 0, 0, 0,
                parent_trace_id=pending.parent_of(trace_id),
            )
            self.documents[trace_id] = []
        self.summaries.move_to_end(trace_id)
        self.documents[trace_id].append(bytes(document))
        summary.saved_at = time.time()
        summary.label = summary.label if summary.label is not None else totals["label"]
        summary.document_count += 1
        summary.size += len(document)
        for name in ("frame_count", "plugin_count", "calls_left_out", "records_dropped"):
            setattr(summary, name, getattr(summary, name) + totals[name])
        summary.recording_stopped = summary.recording_stopped or totals["recording_stopped"]
        if summary.document_count == 1:
            self._retain(self.limits, keep=trace_id)

    def list_traces(self) -> list[TraceSummary]:
        return list(reversed(self.summaries.values()))

    def trace_summary(self, trace_id: str) -> TraceSummary:
        if trace_id not in self.summaries:
            raise TraceNotFound(f"no trace {trace_id!r} in memory")
        return self.summaries[trace_id]

    def latest_trace_ids(self, prefix: str, limit: int) -> list[str]:
        # As SQLite's LIKE matches: ASCII letters in either case.
        return [t for t in reversed(self.summaries) if t.lower().startswith(prefix.lower())][:limit]

    def iter_documents(self, trace_id: str, start: int = 0):
        if trace_id not in self.documents:
            raise TraceNotFound(f"no trace {trace_id!r} in memory")
        return iter(self.documents[trace_id][start:])

    def read_document(self, trace_id: str, number: int) -> bytes:
        documents = self.documents.get(trace_id, [])
        if not 0 <= number < len(documents):
            raise TraceNotFound(f"trace {trace_id} has no document {number} (removed or pruned?)")
        return documents[number]

    def child_traces(self, trace_id: str) -> list[str]:
        return [t for t in self.documents if self.summaries[t].parent_trace_id == trace_id]

    def cache_directory(self) -> str:
        return self._cache_directory

    def apply_retention(self, *, max_traces=None, max_bytes=None) -> Removal:
        given = {"max_traces": max_traces, "max_bytes": max_bytes}
        return self._retain({**self.limits, **{k: v for k, v in given.items() if v is not None}}, keep=None)

    def remove_traces(self, trace_ids: list[str]) -> Removal:
        removal = self._removal()
        for trace_id in dict.fromkeys(trace_ids):
            if trace_id in self.summaries:
                removal.count_removed(self.summaries[trace_id].size)
                self._delete(trace_id)
        return removal

    def recover_fallback_files(self) -> Recovery:
        return Recovery()  # nothing here ever fails to be saved

    def _removal(self) -> Removal:
        return Removal(0, 0, len(self.summaries), sum(s.size for s in self.summaries.values()))

    def _retain(self, limits: dict, keep: str | None) -> Removal:
        removal = self._removal()
        oldest_first = [(s.trace_id, s.size) for s in self.summaries.values()]
        for trace_id in retention.removals(removal, oldest_first, limits, keep):
            self._delete(trace_id)
        return removal

    def _delete(self, trace_id: str) -> None:
        del self.summaries[trace_id], self.documents[trace_id]
