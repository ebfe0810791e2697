"""What every trace store offers: the `Store` the readers, the viewer and the commands speak to, and
the values it hands back.

A store keeps traces: every document saved under a trace id, in the order they were saved, and each
trace's totals (`TraceSummary`), updated as documents arrive, so that listing traces never reads
documents. It keeps at most a number of traces and of bytes (its retention limits), removing the
least recently saved whole traces beyond them. A document the store cannot take goes to a fallback
file (see `fallback`), imported by the next save or by `recover_fallback_files`.
"""

from __future__ import annotations

import abc

from vesk.utils import VeskError

TYPE_CHECKING = False
if TYPE_CHECKING:  # collections.abc is not worth importing for `vesk run`
    from collections.abc import Iterator


class StorageError(VeskError):
    pass


class TraceNotFound(VeskError):
    pass


_UNDECODED = object()


def _decode_command_line(text: str) -> list[str]:
    import json  # only here: json brings re along, which `vesk run` never needs otherwise

    try:
        return json.loads(text)
    except ValueError:
        return []


# Plain classes rather than dataclasses: this package is imported by every `vesk run` before the
# program starts, and the dataclasses module (with inspect behind it) would cost more than all of it.
class TraceSummary:
    """A trace's totals over all its documents.

    `calls_left_out` counts the calls volume control did not record, `records_dropped` the records
    the engine had to drop when storage kept failing, and `recording_stopped` tells that the trace
    reached its byte cap. `machine` and `ci_job` tell where it was recorded, in a store that keeps
    them (see `labels`).
    """

    _FIELDS = (
        "trace_id",
        "saved_at",
        "started_at",
        "source",
        "label",
        "command_line",
        "frame_count",
        "plugin_count",
        "document_count",
        "size",
        "calls_left_out",
        "records_dropped",
        "recording_stopped",
        "parent_trace_id",
        "machine",
        "ci_job",
    )
    __slots__ = (*(name for name in _FIELDS if name != "command_line"), "_command_line", "_command_line_json")

    def __init__(
        self,
        trace_id: str,
        saved_at: float,
        started_at: float | None,
        source: str | None,
        label: str | None,
        command_line: list[str],
        frame_count: int,
        plugin_count: int,
        document_count: int,
        size: int = 0,
        calls_left_out: int = 0,
        records_dropped: int = 0,
        recording_stopped: bool = False,
        parent_trace_id: str | None = None,
        machine: str | None = None,
        ci_job: str | None = None,
    ) -> None:
        self.trace_id = trace_id
        self.saved_at = saved_at
        self.started_at = started_at
        self.source = source
        self.label = label
        self._command_line = command_line
        self._command_line_json = ""
        self.frame_count = frame_count
        self.plugin_count = plugin_count
        self.document_count = document_count
        self.size = size
        self.calls_left_out = calls_left_out
        self.records_dropped = records_dropped
        self.recording_stopped = recording_stopped
        self.parent_trace_id = parent_trace_id
        self.machine = machine
        self.ci_job = ci_job

    @classmethod
    def with_command_line_json(cls, command_line_json: str, *values) -> TraceSummary:
        """A summary whose command line, stored as JSON, is decoded on first use: `vesk run` reads
        the counts of the trace it saved, never this. `values` are the fields but the command line,
        in their order."""
        (trace_id, saved_at, started_at, source, label, *counts) = values
        summary = cls(trace_id, saved_at, started_at, source, label, _UNDECODED, *counts)
        summary._command_line_json = command_line_json
        return summary

    @property
    def command_line(self) -> list[str]:
        if self._command_line is _UNDECODED:
            self._command_line = _decode_command_line(self._command_line_json)
        return self._command_line

    @command_line.setter
    def command_line(self, value: list[str]) -> None:
        self._command_line = value

    def _values(self) -> tuple:
        return tuple(getattr(self, name) for name in self._FIELDS)

    def __eq__(self, other: object) -> bool:
        if other.__class__ is not self.__class__:
            return NotImplemented
        return self._values() == other._values()

    __hash__ = None  # mutable, like the dataclass it replaces

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name in self._FIELDS)
        return f"TraceSummary({fields})"


class Removal:
    """What removing traces did: how many and how large, and what the store keeps."""

    __slots__ = ("removed_traces", "removed_bytes", "kept_traces", "kept_bytes")

    def __init__(self, removed_traces: int, removed_bytes: int, kept_traces: int, kept_bytes: int) -> None:
        self.removed_traces = removed_traces
        self.removed_bytes = removed_bytes
        self.kept_traces = kept_traces
        self.kept_bytes = kept_bytes

    def count_removed(self, size: int) -> None:
        self.removed_traces += 1
        self.removed_bytes += size
        self.kept_traces -= 1
        self.kept_bytes -= size

    def __repr__(self) -> str:
        return f"Removal({', '.join(f'{name}={getattr(self, name)!r}' for name in self.__slots__)})"


class Recovery:
    """What importing fallback files did: documents imported, and the files left alone as damaged."""

    __slots__ = ("documents", "damaged")

    def __init__(self, documents: int = 0, damaged: list[str] | None = None) -> None:
        self.documents = documents
        self.damaged = [] if damaged is None else damaged

    def __repr__(self) -> str:
        return f"Recovery(documents={self.documents!r}, damaged={self.damaged!r})"


class Store(abc.ABC):
    """Where traces are kept. Every method raises StorageError (one line, for the user) when the
    store cannot be used, and TraceNotFound for a trace it does not hold."""

    location: str  # as the user named it: a path, or a URL

    @abc.abstractmethod
    def describe(self) -> str:
        """The store as messages name it."""

    # --- saving ---------------------------------------------------------------------------------

    @abc.abstractmethod
    def prepare(
        self, *, create_directory: bool = False, max_traces: int | None = None, max_bytes: int | None = None
    ) -> str | None:
        """Checks, before anything is recorded, that traces can be saved here; stores and applies
        the retention limits given. Returns why the store cannot take traces now (each save will
        then try again, and say where its document went), or None; raises StorageError when traces
        must not be saved here at all (a place that does not exist, a symbolic link)."""

    @abc.abstractmethod
    def save(self, trace_id: str, document: bytes, *, timeout: float) -> None:
        """Adds one document to the trace, then keeps the store within its limits, never removing
        this trace. `timeout` is how long to wait for other writers, in seconds. A document the
        store cannot take goes to a fallback file, and the problem waits for `pop_save_problem`;
        StorageError means it could be kept nowhere."""

    # --- reading --------------------------------------------------------------------------------

    @abc.abstractmethod
    def list_traces(self) -> list[TraceSummary]:
        """Every trace, the most recently saved first."""

    @abc.abstractmethod
    def trace_summary(self, trace_id: str) -> TraceSummary: ...

    @abc.abstractmethod
    def latest_trace_ids(self, prefix: str, limit: int) -> list[str]:
        """Up to `limit` ids that start with `prefix` (taken literally), the most recently saved first."""

    def resolve_trace_id(self, text: str) -> str:
        """A full trace id for "latest", a full id or an unambiguous prefix of one."""
        if text == "latest":
            ids = self.latest_trace_ids("", 1)
            if not ids:
                raise TraceNotFound(f"no traces in {self.describe()}")
            return ids[0]
        ids = self.latest_trace_ids(text, 3)
        if text in ids:
            return text
        if len(ids) == 1:
            return ids[0]
        if not ids:
            raise TraceNotFound(f"no trace {text!r} in {self.describe()}")
        raise TraceNotFound(f"{text!r} matches several traces; give more of the id")

    @abc.abstractmethod
    def iter_documents(self, trace_id: str, start: int = 0) -> Iterator[bytes]:
        """The raw bytes of each document of the trace from number `start` on, in save order, one
        at a time (a trace of any length can be walked). A missing trace raises here, before the
        first document."""

    @abc.abstractmethod
    def read_document(self, trace_id: str, number: int) -> bytes:
        """The raw bytes of the trace's document `number` (0 for the first saved), read alone."""

    @abc.abstractmethod
    def child_traces(self, trace_id: str) -> list[str]:
        """The traces of the child processes of the trace's process, in the order they were first saved."""

    @abc.abstractmethod
    def cache_directory(self) -> str:
        """A private directory on this machine for files that readers derive from this store's
        traces (the viewer's indexes)."""

    # --- keeping --------------------------------------------------------------------------------

    @abc.abstractmethod
    def apply_retention(self, *, max_traces: int | None = None, max_bytes: int | None = None) -> Removal:
        """Keeps at most `max_traces` traces and `max_bytes` of documents (by default the limits
        `prepare` stored), removing the least recently saved whole traces first."""

    @abc.abstractmethod
    def remove_traces(self, trace_ids: list[str]) -> Removal:
        """Removes these whole traces (ids the store does not hold are passed over)."""

    @abc.abstractmethod
    def recover_fallback_files(self) -> Recovery:
        """Imports the fallback files of this store, oldest first."""
