"""What this process holds for the traces it saves until a store takes it: the parent of each trace
recorded for a child process, stored with the trace's first document, and the problem a save met
(its document went to a fallback file), until the caller that reports it asks."""

from __future__ import annotations

_parents: dict[str, str] = {}
_save_problems: dict[str, str] = {}


def note_parent(trace_id: str, parent_trace_id: str) -> None:
    """Links the trace, once its first document is saved by this process, to the trace of its parent process."""
    _parents[trace_id] = parent_trace_id


def parent_of(trace_id: str) -> str | None:
    return _parents.get(trace_id)


def note_save_problem(trace_id: str, text: str) -> None:
    _save_problems.setdefault(trace_id, text)


def pop_save_problem(trace_id: str) -> str | None:
    """The first problem a save of this trace met (its documents went to a file), forgotten once read."""
    return _save_problems.pop(trace_id, None)


def pop_save_problems() -> list[str]:
    """The first problem of each trace whose saves met one, in the order they were met, forgotten."""
    problems = list(_save_problems.values())
    _save_problems.clear()
    return problems
