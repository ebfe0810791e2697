"""`vesk show`: a summary of the trace, then each thread's call tree cut to a readable size.

Two passes over the stored documents: the first (summary.py) learns what is in the trace and where
to cut each thread's tree, the second prints, reading only the sections that hold the threads shown.
A call's line needs its return, which may come at the very end of the trace, so lines wait in a
queue behind the oldest call still open. Within a line limit the queues are short, and one pass
serves every thread; a whole tree gets a pass per thread, its queue moving to a temporary file when
it grows long, so memory stays flat even then.

Durations are the program's, the recorder's own time taken out (the records say how much; the
stream's `program_time` off shows the clock's). With `tasks`, the records an asyncio task ran are
a tree of their own, printed after the threads' trees, as a thread's would be."""

from __future__ import annotations

import array
import collections
import io
import json
import tempfile
from typing import Callable, TextIO

from vesk.reading import text
from vesk.utils import VeskError
from vesk.reading.records import LOCALS, Decoding, RecordStream, decode_raw, thread_key
from vesk.reading.summary import Cut, Resumed, ThreadFacts, TraceFacts, summary_lines
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, TaskSteps, ThreadWalk, duration

DEFAULT_LIMIT = 200
OUTCOMES = frozenset(("program_exit", "end_test", "request_end"))  # how a trace ended: always printed
HELD_LINES = 100_000  # lines of the threads printed after the first that wait in memory for a pass
# Frame values decoded only for the records given a line: most of a long trace's are not.
SHOWN_RAW = frozenset(("arg", "locals"))


class ShowOptions:
    def __init__(
        self,
        depth: int | None = None,
        thread: str | None = None,
        function: str | None = None,
        frame: str | None = None,
        limit: int = DEFAULT_LIMIT,
        summary: bool = True,
        tasks: bool = False,
    ) -> None:
        self.depth = depth
        self.thread = thread
        self.function = function
        self.frame = frame
        self.limit = limit
        self.summary = summary
        self.tasks = tasks

    def grouping(self) -> Callable[[dict], tuple | None]:
        """Keys each record by the tree it is printed in (None: in none); a new one for each pass."""
        return TaskSteps().key if self.tasks else thread_key

    def selection(self) -> Selection:
        if self.frame is not None:
            frame = self.frame
            return Selection(lambda call: call.get("frame_id") == frame)
        if self.function is not None:
            fragment = self.function
            return Selection(
                lambda call: fragment in str(call.get("qualname") or "") or fragment in str(call.get("co_name") or "")
            )
        return Selection()

    def asked(self) -> str:
        """The options that select part of the trace, as given."""
        return " ".join(f"{name} {value}" for name, value in (
            ("--thread", self.thread), ("--function", self.function), ("--frame", self.frame)) if value is not None)

    def wants_thread(self, thread: ThreadFacts) -> bool:
        if self.thread is None:
            return True
        return self.thread in (thread.name, str(thread.native_id), thread.task_name)


class Pending:
    """A call's line, whose text is known only when the call returns."""

    __slots__ = ("text", "spilled")

    def __init__(self) -> None:
        self.text: str | None = None
        self.spilled: int | None = None  # its number in the spill file, once there


class LineQueue:
    """Lines in print order, written out as soon as every line before them is known.

    Lines wait in memory up to a bound; past it they go to a temporary file, where a line still
    waiting for its call's return is a number, and that line's text, once known, goes to a second
    file (deep lines are long: their indentation grows with the depth)."""

    SPILL_AT = 1 << 22  # characters waiting in memory

    def __init__(self, write: Callable[[str], None]) -> None:
        self.write = write
        self.queue: collections.deque = collections.deque()
        self.queued = 0  # characters in the queue
        self.spill: TextIO | None = None
        self.spilled_texts: TextIO | None = None
        self.text_at = array.array("q")  # where each spilled line's text starts in spilled_texts
        self.waiting_in_spill = 0

    def add(self, line: str | Pending) -> None:
        self.queue.append(line)
        if isinstance(line, str):
            self.queued += len(line)
        self._flush()

    def fill(self, line: Pending, content: str) -> None:
        if line.spilled is None:
            line.text = content
            self.queued += len(content)
        else:
            self.spilled_texts.seek(0, io.SEEK_END)
            self.text_at[line.spilled] = self.spilled_texts.tell()
            self.spilled_texts.write(_one_line(content))
            self.waiting_in_spill -= 1
        self._flush()

    def _flush(self) -> None:
        if self.spill is not None:
            if self.waiting_in_spill:
                if self.queued > self.SPILL_AT:
                    self._spill()
                return
            self._replay_spill()
        queue = self.queue
        while queue:
            line = queue[0]
            if isinstance(line, Pending):
                if line.text is None:
                    break
                line = line.text
            queue.popleft()
            self.queued -= len(line)
            self.write(line)
        if self.queued > self.SPILL_AT:
            self._spill()

    def _spill(self) -> None:
        if self.spill is None:
            self.spill = tempfile.TemporaryFile("w+", encoding="utf-8")
            self.spilled_texts = tempfile.TemporaryFile("w+", encoding="utf-8")
        for line in self.queue:
            if isinstance(line, Pending) and line.text is None:
                line.spilled = len(self.text_at)
                self.text_at.append(-1)
                self.waiting_in_spill += 1
                self.spill.write(f"?{line.spilled}\n")
            else:
                self.spill.write("=" + _one_line(line.text if isinstance(line, Pending) else line))
        self.queue.clear()
        self.queued = 0

    def _replay_spill(self) -> None:
        spill, texts = self.spill, self.spilled_texts
        spill.seek(0)
        for entry in spill:
            if entry.startswith("?"):
                texts.seek(self.text_at[int(entry[1:])])
                encoded = texts.readline()
            else:
                encoded = entry[1:]
            self.write(json.loads(encoded))
        spill.close()
        texts.close()
        self.spill = self.spilled_texts = None
        self.text_at = array.array("q")


def _one_line(text: str) -> str:
    return json.dumps(text, ensure_ascii=False) + "\n"


class _Printed:
    """What is kept of a printed call until it returns."""

    __slots__ = ("line", "head", "where", "hidden", "children")

    def __init__(self, line: Pending, head: str, where: str) -> None:
        self.line = line
        self.head = head
        self.where = where
        self.hidden = 0  # records under it left out by the depth limit or the cap on children
        self.children = 0


class ThreadText(ThreadWalk):
    """Prints one thread's selected records as indented lines, within a line budget, a depth and,
    at the deepest level, a number of lines per parent."""

    def __init__(self, selection: Selection, lines: LineQueue, cut: Cut, spent: Callable[[], None],
                 raised: dict, resumed: dict[object, Resumed] | None = None, kept: set | None = None,
                 hidden: set | frozenset = frozenset()) -> None:
        super().__init__(selection, hidden)
        # Calls on the way to an exception: shown whatever the cut, as is how the trace ended
        self.kept = kept or set()
        self.raised = raised  # the known exceptions by (path, function), as TraceFacts found them
        # Calls run in several stretches (TraceFacts found them): the first stretch's line waits for the
        # final return; each later stretch gets a line of its own where it ran.
        self.resumed = resumed or {}
        self.stretches: dict[object, list] = {}  # frame id -> [first stretch's _Printed, stretches seen, its depth]
        self.lines = lines
        self.cut = cut
        self.budget = cut.lines
        self.not_shown = 0
        self.spent = spent  # told once the line budget is used up
        self.printed: list[Open] = []  # the open calls whose lines are printed, outermost first

    def _shown(self, depth: int | None, kept: bool = False) -> bool:
        """Whether a record at this depth gets a line; one that does not is counted."""
        if depth is None:
            return False
        if kept:
            return True
        parent = self.printed[-1].state if self.printed else None
        max_depth = self.cut.depth
        capped = (
            depth == max_depth and self.cut.children is not None
            and parent is not None and parent.children >= self.cut.children
        )
        if max_depth is not None and depth > max_depth or capped:
            if parent is not None:
                parent.hidden += 1
            else:
                self.not_shown += 1
            return False
        if not self._take_line():
            self.not_shown += 1
            return False
        if parent is not None and depth == max_depth:
            parent.children += 1
        return True

    def _take_line(self) -> bool:
        if self.budget is None:
            return True
        if self.budget == 0:
            return False
        self.budget -= 1
        if self.budget == 0:
            self.spent()
        return True

    def opened(self, entry: Open) -> None:
        call, entry.call = entry.call, None
        if not self._shown(entry.depth, entry.frame_id in self.kept):
            return
        decode_raw(call, SHOWN_RAW)
        line = Pending()
        self.lines.add(line)
        head = f"{text.function_name(call)}({text.arguments(call)})"
        stretches = self.stretches.get(entry.frame_id) if entry.frame_id in self.resumed else None
        if stretches is not None:
            head = f"↻ {text.function_name(call)} resumed ({stretches[1] + 1} of {self.resumed[entry.frame_id].stretches})"
        entry.state = _Printed(line, head, str(call.get("path") or ""))
        if entry.frame_id in self.resumed and stretches is None:
            self.stretches[entry.frame_id] = [entry.state, 0]
        self.printed.append(entry)

    def closed(self, entry: Open, ret: dict | None) -> None:
        printed = entry.state
        if printed is None:
            return
        if ret is not None:
            decode_raw(ret, SHOWN_RAW)
        self.printed.pop()
        indent = "  " * entry.depth
        stretches = self.stretches.get(entry.frame_id)
        if stretches is None:
            line = _node_line(printed.head, printed.where, ret, duration(entry, ret), self.raised)
        else:
            line = self._stretch_line(entry, ret, stretches)
        if line is not None:
            self.lines.fill(printed.line, indent + line)
        if not printed.hidden:
            return
        if not self._take_line():
            self.not_shown += printed.hidden
        else:
            # Everything under the call has been queued by now: this line lands right after it.
            hint = f" (--frame {entry.frame_id})" if entry.frame_id is not None else ""
            self.lines.add(f"{indent}  … {text.count_text(printed.hidden, 'more record')}{hint}")

    def _stretch_line(self, entry: Open, ret: dict | None, stretches: list) -> str | None:
        """A later stretch's own line; the first stretch's line, once the final return is known."""
        stretches[1] += 1
        printed, calls = entry.state, self.resumed[entry.frame_id]
        last = stretches[1] == calls.stretches
        if printed is stretches[0]:
            if last:  # resumed in a part of the trace not read
                return _node_line(printed.head, printed.where, ret, duration(entry, ret), self.raised)
            stretches.append(entry.depth)
            return None
        if last:
            first, depth = stretches[0], stretches[2]
            resumed = (f"resumed {text.count_text(calls.stretches - 1, 'time')}, {text.milliseconds(calls.wall())} "
                       f"wall, {text.milliseconds(calls.running)} running")
            line = _node_line(first.head, first.where, ret, None, self.raised)
            self.lines.fill(first.line, "  " * depth + f"{line}  ({resumed})")
        return "  ".join(part for part in (printed.head, text.milliseconds(duration(entry, ret))) if part)

    def orphan(self, ret: dict, depth: int | None) -> None:
        if self._shown(depth):
            decode_raw(ret, SHOWN_RAW)
            head = f"{text.function_name(ret)}(…)"
            self.lines.add("  " * depth + _node_line(head, str(ret.get("path") or ""), ret, None, self.raised))

    def other(self, record: dict, depth: int | None) -> None:
        if not text.is_step_end(record) and self._shown(depth, record.get("type") in OUTCOMES):
            self.lines.add("  " * depth + "• " + text.describe_plugin_record(record))


def _node_line(head: str, where: str, ret: dict | None, took: float | None, raised: dict) -> str:
    if ret is not None:
        head += f" → {text.returned(ret, 50, raised)}"
    else:
        head += " (no return recorded)"
    if where.endswith(":0"):
        where = where[:-2]  # a module's code is "called" before its first line
    return "  ".join(part for part in (head, where, text.milliseconds(took)) if part)


def show(stream: RecordStream, header: list[str], options: ShowOptions, out: TextIO) -> None:
    selection = options.selection()
    facts = TraceFacts()
    facts.read(stream, selection, options.grouping())
    threads = [t for t in facts.ordered_threads() if options.wants_thread(t) and t.selected_lines]
    if not threads and facts.records and options.asked():
        raise VeskError(f"no records match {options.asked()}")
    cut = options.limit > 0 and any(t.selected_lines > options.limit for t in threads)
    write = _writer(out)
    for line in header:
        write(line)
    if facts.recorder_seconds:
        write(f"times without vesk's own ({text.milliseconds(facts.recorder_seconds)} taken out; --raw-times keeps it)")
    if facts.unsteady is not None:
        write(text.durations_unsteady_text(facts.unsteady))
    if options.summary and (cut or facts.volume or facts.stopped):
        for line in summary_lines(facts):
            write(line)
    if not threads:
        write("(no records)")
        return
    # Within a line limit the lines of many threads are few enough to wait for one shared pass; the
    # whole tree of each thread takes a pass of its own, straight to the output.
    size = max(1, HELD_LINES // options.limit) if options.limit else 1
    groups = [threads[start : start + size] for start in range(0, len(threads), size)]
    shortened = False
    for group in groups:
        shortened |= _print_threads(stream, group, selection, options, write, facts)
    if shortened:
        write("")
        write(
            f"(cut to {options.limit:,} lines per thread; --limit N or 0 for all, --depth N, --thread NAME, "
            "--function TEXT and --frame ID show more of it)"
        )


def _print_threads(stream: RecordStream, threads: list[ThreadFacts], selection: Selection, options: ShowOptions,
                   write: Callable[[str], None], facts: TraceFacts) -> bool:
    """One pass printing the trees of `threads`: the first as it goes, the others afterwards."""
    if stream.progress is not None:
        stream.progress.stage = f"printing {threads[0].label() if len(threads) == 1 else 'the threads'} of"
    decoding = Decoding(raw=SHOWN_RAW)
    spending = [len(threads)]

    def spent() -> None:
        spending[0] -= 1
        if not spending[0]:
            decoding.skipped = LOCALS  # arguments of calls never printed need no decoding

    walks, held = {}, []
    for thread in threads:
        lines = ["", thread.heading()]
        if not held:
            for line in lines:
                write(line)
            lines = None
        if options.depth is not None:
            cut = Cut(options.limit or None, options.depth or None)
        else:
            cut = thread.cut_to(options.limit)
        walks[thread.key] = ThreadText(selection, LineQueue(write if lines is None else lines.append), cut, spent,
                                       facts.raised, thread.resumed(), thread.kept(), facts.class_bodies)
        held.append(lines)
    sections = set().union(*(thread.sections for thread in threads))
    # Which task a record ran in is known from the start of its step, which may come before the
    # task's first record of a document read.
    first = 0 if options.tasks else min(thread.first_document for thread in threads)
    group = options.grouping()

    def wanted(document: int, section: object) -> bool:
        return document >= first and section in sections

    last = max(thread.last_document for thread in threads)
    for _, _, record in stream.records(decoding=decoding, wanted=wanted, last_document=last):
        if isinstance(record, dict) and record.get("type") not in TRACE_RECORDS:
            key = group(record)
            walk = walks.get(key) if key is not None else None
            if walk is not None:
                walk.feed(record)
    shortened = False
    for walk, lines, thread in zip(walks.values(), held, threads):
        walk.finish()
        if walk.not_shown:
            not_shown = f"  … {text.count_text(walk.not_shown, 'more record')} not shown"
            (write if lines is None else lines.append)(not_shown)
        for line in lines or ():
            write(line)
        shortened |= bool(walk.not_shown) or (options.depth is None and walk.cut.depth is not None)
    return shortened


def _writer(out: TextIO) -> Callable[[str], None]:
    def write(line: str) -> None:
        out.write(line + "\n")

    return write


def header_lines(summary) -> list[str]:
    what = summary.label or " ".join(summary.command_line)
    documents = f", {summary.document_count:,} documents" if summary.document_count > 1 else ""
    return [
        f"trace {summary.trace_id}  {summary.source or '?'}  {text.timestamp_text(summary.started_at)}  {what}",
        f"{summary.frame_count} frame records, {summary.plugin_count} plugin records{documents}",
    ] + ([f"recorded on {summary.machine}" + (f" by CI job {summary.ci_job}" if summary.ci_job else "")]
         if summary.machine else [])
