"""The first pass over a trace: what is in it, before any of it is printed.

Counts records, threads and calls per function, sums inclusive time (a recursive function's time
counts once, from its outermost call), adds up what volume control left out, and learns the shape
of each thread's tree (lines per depth) so the printed tree can be cut to a readable size, and which
calls were resumed (a generator's or coroutine's frame keeps its frame id from its first start to its
final return, each resumption a call and each suspension a return).
"""

from __future__ import annotations

import collections
from typing import Callable

from vesk.reading import text
from vesk.reading.volume import LeftOut
from vesk.reading.records import (DURATIONS_UNSTEADY, LOCALS, MAIN, RECORDING_NOTES, Decoding, RecordStream, decode_raw,
                                  thread_key)
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, ThreadWalk, duration, is_task

FunctionKey = tuple  # (qualname or co_name, path)
# Frame ids of the latest closed calls, kept to tell a resumption from a new call: a generator
# suspended longer than this many calls ago shows as separate calls.
ENDED_KEPT = 100_000
# Exceptions whose path from the thread's top level a cut tree keeps whole (the latest ones: the one
# a program or test ended by comes last).
RAISES_KEPT = 20
ARG = frozenset(("arg",))  # left encoded by the first pass: only an unwind's is read


class Resumed:
    """A call run in several stretches: how many, from its first start to its final return, and the
    time it was running (the sum of its stretches)."""

    __slots__ = ("key", "stretches", "start", "end", "running")

    def __init__(self, key: FunctionKey, start: object) -> None:
        self.key = key  # the first stretch's: a resumption's record names the line it resumed at
        self.stretches = 0
        self.start = start
        self.end: object = None
        self.running = 0.0

    def add(self, ret: dict | None, took: float | None) -> None:
        self.stretches += 1
        self.end = ret.get("timestamp") if ret is not None else None
        self.running += took or 0.0

    def wall(self) -> float | None:
        if isinstance(self.start, (int, float)) and isinstance(self.end, (int, float)):
            return self.end - self.start
        return None


class ThreadFacts(ThreadWalk):
    def __init__(self, key: tuple, first_seen: tuple, selection: Selection, functions: dict) -> None:
        super().__init__(selection)
        self.name, self.native_id = key[:2]
        self.task_name = key[2] if is_task(key) else None  # a group of an asyncio task's records
        self.key = key
        self.first_seen = first_seen
        self.records = 0
        self.first_document = self.last_document = first_seen[0]
        self.sections: set = set()
        self.lines_by_depth: list[int] = []  # selected lines at depth 1, 2, ...
        self.functions = functions
        self.active: dict[FunctionKey, int] = {}
        # The latest closed calls by frame id, oldest first. Ordered for the oldest's removal: a
        # dict's first key is found by stepping over every entry removed before it, which made
        # `vesk show` of a million records spend most of its time there.
        self.ended: collections.OrderedDict[object, Resumed] = collections.OrderedDict()
        # The frame ids from the top level down to each latest call an exception ended
        self.raises: collections.deque[tuple] = collections.deque(maxlen=RAISES_KEPT)

    def kept(self) -> set:
        """The calls a cut tree shows all the same: those on the way to an exception."""
        return {frame_id for path in self.raises for frame_id in path}

    def resumed(self) -> dict[object, Resumed]:
        """The calls of this thread run in more than one stretch, by frame id."""
        return {frame_id: calls for frame_id, calls in self.ended.items() if calls.stretches > 1}

    @property
    def selected_lines(self) -> int:
        return sum(self.lines_by_depth)

    def label(self) -> str:
        if self.task_name is not None:
            return self.task_name
        return f"{self.name} ({self.native_id})" if self.native_id is not None else self.name

    def heading(self) -> str:
        if self.task_name is None:
            return f"thread {self.label()}"
        return f"task {self.task_name}" + ("" if self.name == "MainThread" else f" (thread {self.name})")

    def _line(self, depth: int | None) -> None:
        if depth is None:
            return
        while len(self.lines_by_depth) < depth:
            self.lines_by_depth.append(0)
        self.lines_by_depth[depth - 1] += 1

    def opened(self, entry: Open) -> None:
        resumed = self.ended.get(entry.frame_id)
        if resumed is None:
            key = (text.function_name(entry.call), str(entry.call.get("path") or ""))
        else:
            key = resumed.key
        entry.call = None
        entry.state = key
        stats = self.functions.get(key)
        if stats is None:
            stats = self.functions[key] = [0, 0.0]
        if resumed is None:  # a resumption is no call of its own
            stats[0] += 1
        self.active[key] = self.active.get(key, 0) + 1
        self._line(entry.depth)

    def closed(self, entry: Open, ret: dict | None) -> None:
        if text.is_class_body(ret):  # no call of the program's: not counted after all
            key = entry.state
            self.functions[key][0] -= 1
            if not self.functions[key][0]:
                del self.functions[key]
            self.active[key] -= 1
            if not self.active[key]:
                del self.active[key]
            if entry.depth is not None:
                self.lines_by_depth[entry.depth - 1] -= 1
            return
        took = duration(entry, ret)
        if entry.frame_id is not None:
            self._stretch(entry, ret, took)
            if ret is not None and ret.get("event") == "unwind":
                decode_raw(ret, ARG)  # whether it names an end that is no failure (a generator closed)
            if text.raised(ret):
                self._raised(entry)
        key = entry.state
        still_open = self.active[key] - 1
        if still_open:
            self.active[key] = still_open
            return
        del self.active[key]
        if took is not None:
            self.functions[key][1] += took

    def _stretch(self, entry: Open, ret: dict | None, took: float | None) -> None:
        ended = self.ended
        calls = ended.pop(entry.frame_id, None)
        if calls is None:
            calls = Resumed(entry.state, entry.start)
            if len(ended) >= ENDED_KEPT:
                ended.popitem(last=False)
        calls.add(ret, took)
        ended[entry.frame_id] = calls

    def _raised(self, entry: Open) -> None:
        depth = len(self.stack)
        latest = self.raises[-1] if self.raises else ()
        if len(latest) > depth + 1 and latest[depth] == entry.frame_id:
            return  # the exception of a call it made, going on up: its path is kept already
        self.raises.append((*(above.frame_id for above in self.stack), entry.frame_id))

    def orphan(self, ret: dict, depth: int | None) -> None:
        self._line(depth)

    def other(self, record: dict, depth: int | None) -> None:
        if not text.is_step_end(record):
            self._line(depth)

    def cut_to(self, limit: int) -> Cut:
        """Where to cut the tree to about `limit` lines: at the deepest level that fits whole, or
        one level deeper with the lines left shared out among the parents there."""
        if limit <= 0 or self.selected_lines <= limit:
            return Cut(limit or None)
        total = 0
        for depth, lines in enumerate(self.lines_by_depth, start=1):
            if total + lines > limit:
                break
            total += lines
        parents = self.lines_by_depth[depth - 2] if depth > 1 else 0
        # A line at the deepest level with records under it is followed by a line counting them.
        per_line = 2 if depth < len(self.lines_by_depth) else 1
        children = (limit - total) // (parents * per_line) if parents else 0
        if children:
            return Cut(limit, depth, children)
        return Cut(limit, max(depth - 1, 1))


class Cut:
    """How much of a thread's tree is printed: lines in all, levels, lines per parent at the deepest
    level (None: no bound)."""

    def __init__(self, lines: int | None, depth: int | None = None, children: int | None = None) -> None:
        self.lines = lines
        self.depth = depth
        self.children = children


class TraceFacts:
    """What the first pass learns of the whole trace; its size grows with the number of threads and
    functions, never with the number of records."""

    def __init__(self) -> None:
        self.records = 0
        self.first_timestamp: float | None = None
        self.last_timestamp: float | None = None
        self.threads: dict[tuple, ThreadFacts] = {}
        self.functions: dict[FunctionKey, list] = {}
        self.volume = LeftOut()
        self.stopped: list[dict] = []
        self.unsteady: dict | None = None  # the record saying the durations may be off
        self.class_bodies: set = set()  # frame ids of the class bodies run: readers leave them out
        self.main_thread_ids: set = set()
        self.recorder_seconds = 0.0  # the recorder's own time, taken out of the durations
        # (path, function) of each frame a known exception went through -> what it was
        self.raised: dict[tuple, str] = {}

    def _exception(self, record: dict) -> None:
        error, traceback = record.get("error"), record.get("traceback")
        if isinstance(error, str) and isinstance(traceback, list):
            for entry in traceback:
                if isinstance(entry, list) and len(entry) == 2:
                    self.raised[(entry[0], entry[1])] = error

    def read(self, stream: RecordStream, selection: Selection,
             group: Callable[[dict], tuple | None] = thread_key) -> None:
        """Reads the trace; `group` keys each record by the tree it belongs to (None: in none)."""
        decoding = Decoding(LOCALS, ARG)
        threads = self.threads
        first = last = None
        for document, section, record in stream.records(decoding=decoding):
            if not isinstance(record, dict):
                continue
            kind = record.get("type")
            if kind in RECORDING_NOTES:
                if kind == DURATIONS_UNSTEADY:
                    self.unsteady = record
                continue
            self.records += 1
            timestamp = record.get("timestamp")
            if isinstance(timestamp, (int, float)):
                if first is None or timestamp < first:
                    first = timestamp
                if last is None or timestamp > last:
                    last = timestamp
            if kind != "frame":
                if kind in TRACE_RECORDS:
                    self._volume_control(record)
                    continue
                if kind == "recording_stopped":
                    self.stopped.append(record)
                    self.volume.add(record)
                elif kind in ("program_exit", "end_test", "request_end"):
                    self._exception(record)
            elif record.get("event") != "call" and text.encodes_class_body(
                    stream.document.data, stream.document.record_start, stream.document.record_end):
                self.class_bodies.add(record.get("frame_id"))
                record["locals"] = {"__module__": None, "__qualname__": None}  # all a reader asks of them
            key = group(record)
            if key is None:
                continue
            thread = threads.get(key)
            if thread is None:
                first_seen = (document, 0 if section == MAIN else 1, len(threads))
                thread = threads[key] = ThreadFacts(key, first_seen, selection, self.functions)
            thread.records += 1
            thread.last_document = document
            thread.sections.add(section)
            thread.feed(record)
        for thread in threads.values():
            thread.finish()
        self.first_timestamp, self.last_timestamp = first, last
        self.main_thread_ids = stream.main_thread_ids
        self.recorder_seconds = stream.recorder_seconds()

    def _volume_control(self, record: dict) -> None:
        self.volume.add(record)

    def ordered_threads(self) -> list[ThreadFacts]:
        """The main thread first, then the others as they first appear."""
        def order(thread: ThreadFacts) -> tuple:
            main = thread.native_id in self.main_thread_ids or thread.name == "MainThread"
            return (thread.task_name is not None, not main, thread.first_seen)

        return sorted(self.threads.values(), key=order)


TOP = 5


def summary_lines(facts: TraceFacts) -> list[str]:
    lines = [f"summary: {text.count_text(facts.records, 'record')} in {text.count_text(len(facts.threads), 'thread')}"]
    if facts.first_timestamp is not None:
        span = facts.last_timestamp - facts.first_timestamp
        lines.append(
            f"  time: {text.timestamp_text(facts.first_timestamp)} to {text.timestamp_text(facts.last_timestamp)}"
            f" ({text.milliseconds(span)})"
        )
    threads = facts.ordered_threads()
    shown = "; ".join(f"{t.label() if t.task_name is None else t.heading()} {t.records:,}" for t in threads[:TOP])
    more = f"; … {len(threads) - TOP:,} more" if len(threads) > TOP else ""
    lines.append(f"  threads (records): {shown}{more}")
    lines += _function_table("most calls:", facts.functions, lambda s: s[0], lambda s: f"{s[0]:,}")
    lines += _function_table(
        "most time (with the calls they make):", facts.functions, lambda s: s[1], lambda s: text.milliseconds(s[1])
    )
    lines += _left_out_lines(facts)
    lines += [f"  {text.recording_stopped_text(record)}" for record in facts.stopped]
    return lines


def _function_table(title: str, functions: dict, measure, shown) -> list[str]:
    top = sorted(functions.items(), key=lambda item: measure(item[1]), reverse=True)[:TOP]
    if not top:
        return []
    width = max(len(shown(stats)) for _, stats in top)
    return [f"  {title}"] + [f"    {shown(stats):>{width}}  {name}  {path}".rstrip() for (name, path), stats in top]


def _left_out_lines(facts: TraceFacts) -> list[str]:
    volume = facts.volume
    lines = [f"  {line}" for line in volume.lines(sum(stats[0] for stats in facts.functions.values()))]
    top = sorted(volume.functions.items(), key=lambda item: item[1][0], reverse=True)
    lines += [
        f"    {name}: {text.count_text(left_out, 'more call')} not recorded  {path}".rstrip()
        for (name, path), (left_out, _) in top[: TOP * 2]
    ]
    if len(top) > TOP * 2:
        lines.append(f"    … {len(top) - TOP * 2:,} more functions")
    return lines
