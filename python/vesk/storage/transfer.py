"""Copying traces from one store to another (`vesk push`): a machine's local traces into the team's
store, document by document, with their links to their parent process's trace."""

from __future__ import annotations

from vesk.storage import pending
from vesk.storage.interface import StorageError, Store, TraceNotFound


class Pushed:
    __slots__ = ("traces", "documents", "present")

    def __init__(self) -> None:
        self.traces = 0
        self.documents = 0
        self.present = 0  # held by the destination already, and left as they are there


def push(source: Store, destination: Store, trace_ids: list[str], *, timeout: float = 60.0) -> Pushed:
    """Copies each trace the destination does not hold yet. A document the destination cannot take
    stops the push with StorageError (it waits in the destination's fallback file, sent by the next
    save or `vesk recover`); what was pushed before it stays."""
    problem = destination.prepare()
    if problem is not None:
        raise StorageError(problem)
    pushed = Pushed()
    for trace_id in trace_ids:
        try:
            destination.trace_summary(trace_id)
        except TraceNotFound:
            pass
        else:
            pushed.present += 1
            continue
        parent = source.trace_summary(trace_id).parent_trace_id
        if parent is not None:
            pending.note_parent(trace_id, parent)
        for document in source.iter_documents(trace_id):
            destination.save(trace_id, document, timeout=timeout)
            problem = pending.pop_save_problem(trace_id)
            if problem is not None:
                raise StorageError(f"{problem}; pushed {pushed.traces} traces before it")
            pushed.documents += 1
        pushed.traces += 1
    return pushed
