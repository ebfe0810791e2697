"""One thread's records as a call tree, walked without building it.

Frame records come in call/return pairs that share a frame id; other records sit between them in
the order they were filed. A thread's open calls are a stack, so memory grows with the depth of the
program, never with the length of the trace, and nothing recurses.
"""

from __future__ import annotations

from typing import Callable

from vesk.reading.records import RECORDING_NOTES, thread_key

# Volume control's records and the notes about the recording: about the whole trace, in no thread's call tree.
TRACE_RECORDS = frozenset(("calls_left_out", "records_dropped")) | RECORDING_NOTES


class Open:
    """A call whose return has not been read yet."""

    __slots__ = ("frame_id", "call", "start", "depth", "state")

    def __init__(self, frame_id: object, call: dict, depth: int | None) -> None:
        self.frame_id = frame_id
        self.call: dict | None = call  # a user may drop it once it has read what it needs
        self.start = call.get("timestamp")
        self.depth = depth  # among the selected records; None when outside them
        self.state: object = None  # what the walk's user keeps about the call


class TaskSteps:
    """Which asyncio task each record ran in. A task's step on a thread runs from its "task_step"
    start to its end; the records filed in between are the task's, keyed by their thread's key with
    the task's name and id; the others by their thread's. The step records themselves are the
    tasks' boundaries, keyed None."""

    def __init__(self) -> None:
        self.running: dict[tuple, tuple] = {}  # thread key -> the task in its step there

    def key(self, record: dict) -> tuple | None:
        thread = thread_key(record)
        if record.get("type") != "task_step":
            return self.running.get(thread, thread)
        if record.get("step") == "end":
            self.running.pop(thread, None)
        else:
            self.running[thread] = (*thread, str(record.get("task_name")), record.get("task_id"))
        return None


def is_task(key: tuple) -> bool:
    return len(key) > 2


class Selection:
    """Which part of a thread's tree a reader wants: all of it, or the subtrees rooted at calls
    that `is_root` accepts (those calls become depth 1)."""

    def __init__(self, is_root: Callable[[dict], bool] | None = None) -> None:
        self.is_root = is_root


class ThreadWalk:
    """Feeds one thread's records through a stack of open calls and tells its subclass, in record
    order, of each call opened, each call closed (with its return record, or None when it never
    returned), and each other record, with the record's depth among the selected ones."""

    def __init__(self, selection: Selection, hidden: set | frozenset = frozenset()) -> None:
        self.hidden = hidden  # frame ids whose records are passed over: their calls sit one level up
        self.stack: list[Open] = []
        self.is_root = selection.is_root
        self.root_level: int | None = None if self.is_root else 0
        self.closing: dict | None = None  # the return record closing calls, while it does

    def feed(self, record: dict) -> None:
        if record.get("type") != "frame":
            self.other(record, self.depth_here())
        elif self.hidden and record.get("frame_id") in self.hidden:
            return
        elif record.get("event") == "call":
            self.call(record)
        else:
            self.returned(record)

    def finish(self) -> None:
        """The calls still open never returned."""
        self._close_from(0, None)

    def depth_here(self) -> int | None:
        if self.root_level is None:
            return None
        return len(self.stack) - self.root_level + 1

    def call(self, record: dict) -> None:
        if self.root_level is None and self.is_root(record):
            self.root_level = len(self.stack)
        entry = Open(record.get("frame_id"), record, self.depth_here())
        self.stack.append(entry)
        self.opened(entry)

    def returned(self, record: dict) -> None:
        frame_id = record.get("frame_id")
        if frame_id is not None:
            stack = self.stack
            for level in range(len(stack) - 1, -1, -1):
                if stack[level].frame_id == frame_id:
                    self._close_from(level, record)
                    return
        # A return whose call was not recorded (recording started inside the function).
        self.orphan(record, self.depth_here())

    def _close_from(self, level: int, record: dict | None) -> None:
        """Closes the calls above `level` as never returned, then the one at `level` with `record`."""
        stack = self.stack
        self.closing = record
        while len(stack) > level:
            entry = stack.pop()
            self.closed(entry, record if len(stack) == level else None)
            if self.is_root is not None and self.root_level == len(stack):
                self.root_level = None

    # --- what a subclass does with the walk ---

    def opened(self, entry: Open) -> None:
        pass

    def closed(self, entry: Open, ret: dict | None) -> None:
        pass

    def orphan(self, ret: dict, depth: int | None) -> None:
        pass

    def other(self, record: dict, depth: int | None) -> None:
        pass


def duration(entry: Open, ret: dict | None) -> float | None:
    if ret is None:
        return None
    start, end = entry.start, ret.get("timestamp")
    if isinstance(start, (int, float)) and isinstance(end, (int, float)):
        return end - start
    return None
