"""What a trace left out, blamed on the limit that left it out, with the figure that would have kept it.

The engine says so in three kinds of record: "calls_left_out" (one per limit and document: the calls
each function had past [limits] calls_per_function, or once the trace reached [limits] trace_bytes),
"recording_stopped" (where trace_bytes stopped frame recording) and "records_dropped" (records lost
while storage kept failing, past eight times [limits] buffer_bytes). Older traces have no "reason"
on their "calls_left_out" records: calls_per_function left all of those out.
"""

from __future__ import annotations

import math

from vesk.reading import text
from vesk.utils import size_text

FunctionKey = tuple  # (qualname or co_name, path)
CALLS, BYTES = "calls_per_function", "trace_bytes"
HELD_WHILE_FAILING = 8  # the engine's hard bound, in buffer_bytes, while storage fails


def _number(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


class LeftOut:
    """The volume-control records of a trace, added up; its size grows with the functions left out."""

    def __init__(self) -> None:
        self.functions: dict[FunctionKey, list[int]] = {}  # past calls_per_function: [left out, recorded]
        self.calls_limit: int | None = None
        self.stopped_calls = 0  # left out once the trace reached trace_bytes
        self.trace_limit: int | None = None
        self.dropped_records = self.dropped_bytes = 0
        self.buffer_bytes: int | None = None

    def add(self, record: dict) -> None:
        kind = record.get("type")
        if kind == "records_dropped":
            self.dropped_records += _number(record.get("count"))
            self.dropped_bytes += _number(record.get("bytes"))
            self.buffer_bytes = _number(record.get("buffer_bytes")) or self.buffer_bytes
            return
        if kind == "recording_stopped":
            self.trace_limit = _number(record.get("limit")) or self.trace_limit
            return
        functions = record.get("functions")
        functions = [f for f in functions if isinstance(f, dict)] if isinstance(functions, list) else []
        if record.get("reason", CALLS) == BYTES:
            self.stopped_calls += sum(_number(f.get("count")) for f in functions)
            self.trace_limit = _number(record.get("limit")) or self.trace_limit
            return
        self.calls_limit = _number(record.get("limit")) or self.calls_limit
        for function in functions:
            key = (text.function_name(function), str(function.get("path") or ""))
            counts = self.functions.setdefault(key, [0, 0])
            counts[0] += _number(function.get("count"))
            counts[1] = max(counts[1], _number(function.get("recorded")))  # the trace's count so far

    def left_out_calls(self) -> int:
        return sum(counts[0] for counts in self.functions.values())

    def __bool__(self) -> bool:
        return bool(self.functions or self.stopped_calls or self.dropped_records)

    def lines(self, recorded_calls: int) -> list[str]:
        """One line per limit that left something out, with what would have kept it; `recorded_calls`
        is the number of calls the trace recorded, which sizes the trace_bytes that would have
        held the calls left out at that limit."""
        lines = []
        left_out = self.left_out_calls()
        if left_out:
            limit = f" = {self.calls_limit:,}" if self.calls_limit else ""
            needed = max(sum(counts) for counts in self.functions.values())
            lines.append(f"{text.count_text(left_out, 'call')} left out by [limits] calls_per_function{limit}: "
                         f"calls_per_function = {needed:,} would have kept them (0 keeps every call)")
        if self.stopped_calls:
            limit = f" = {size_text(self.trace_limit)}" if self.trace_limit else ""
            needed = ""
            if self.trace_limit and recorded_calls:
                estimate = math.ceil(self.trace_limit * (recorded_calls + self.stopped_calls) / recorded_calls)
                needed = f"; trace_bytes = {estimate:,} (about {size_text(estimate)}) would have kept them"
            lines.append(f"{text.count_text(self.stopped_calls, 'call')} left out once the trace reached "
                         f"[limits] trace_bytes{limit}{needed} (0: no limit)")
        if self.dropped_records:
            needed = ""
            if self.buffer_bytes:
                figure = self.buffer_bytes + math.ceil(self.dropped_bytes / HELD_WHILE_FAILING)
                needed = (f"; buffer_bytes = {figure:,} would have held them (eight times it is kept while "
                          "storage fails)")
            lines.append(f"{text.count_text(self.dropped_records, 'record')} ({self.dropped_bytes:,} bytes) dropped: "
                         f"storage kept failing{needed}")
        return lines
