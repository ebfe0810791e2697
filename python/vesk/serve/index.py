"""An index of one trace, so that the viewer reads only what a page shows.

Built in streaming passes over the trace's documents, it holds a row per node of each thread's call
tree: every call, with where its call and return records lie (document number, byte offset and
length), its parent, its place among the parent's children, how many children it has, its times,
function, and the short form of its return value (its arguments are shown from its record when a
page reads it: making their short form was a fifth of indexing a big trace); and every other record (SQL, HTTP,
log, test markers) under the call that made it. Children pages, search, the SQL panel and
comparisons are queries on it; a value shown in full is decoded from its own record, read at its
offset. The summary of the trace (records, threads, the busiest functions, what volume control left
out) is made in the same pass and kept with it.

Documents are indexed in order and each is committed on its own, with what the walk needs to go on
(each thread's open calls, the queries waiting for their result, the running totals): a page reads
the index while the rest of the trace is indexed, and a trace that grows (a program still
streaming, a run that ended) has only its new documents indexed. A call still open when a document
is committed has a row saying so, replaced when its return is read. Memory holds the open calls of
each thread (the depth of the program) and the frame ids of the latest calls (to tell a resumption
from a new call), never the length of the trace.

Times are kept twice: on the program's time (the recorder's own time taken out, where the trace
tells it), which pages show by default, and as the clock read them. A generator or coroutine run in
several stretches is one call: its first stretch's row carries its final return, its wall and
running time, and each later stretch has a row where it ran, pointing at the first. A call made in
an asyncio task's step names the task.
"""

from __future__ import annotations

import bisect
import collections
import json
import operator
import os
import pickle
import re
import sqlite3
from typing import Callable, Iterator

import msgpack

from vesk import serialize, storage
from vesk.reading import text
from vesk.reading.records import (DURATIONS_UNSTEADY, MAIN, RECORDING_NOTES, Decoding, Document, is_array,
                                  scope_to_program_time, thread_key)
from vesk.reading.summary import ENDED_KEPT, TOP
from vesk.reading.volume import LeftOut
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, ThreadWalk, duration
from vesk.serve import sql, store

VERSION = 10  # 10: notes about the recording are no records; 9: the summary says when durations may be off
ARGUMENTS_LIMIT = 300
VALUE_LIMIT = 120
_EARLY_RECORDS = 2000  # a new index is readable once these are in: a page shows the top of the tree
_PENDING_QUERIES = 1000  # queries waiting for their result, per trace
_SCOPES = frozenset(("start_test", "request_start"))  # records that begin a test or a request
_RAISED_KEPT = 10_000  # places where calls raised, kept for the exception an ending record names
_ARGUMENT_CHECKS = 20_000  # records a search decodes for the arguments it may find in them
# Texts and names lie in a document as their UTF-8 bytes; numbers, constants and the punctuation of
# the shown form do not: a query holding any of those decodes every record (up to the checks).
_SHOWN_ONLY = re.compile(r"[\d=(),<>'\"\[\]{}.:-]|\b(?:true|false|none)\b")
_ISSUERS_SHOWN = 20  # calls named as issuing one repeated query

CALL, RECORD, RETURN = 0, 1, 2  # kinds of node; RETURN: a return whose call was not recorded
KIND_NAMES = ("call", "record", "return")
RETURNED, RAISED = 0, 1

_SCHEMA = (
    "CREATE TABLE meta (name TEXT PRIMARY KEY, value)",
    "CREATE TABLE functions (function INTEGER PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL)",
    """CREATE TABLE threads (thread INTEGER PRIMARY KEY, rank INTEGER NOT NULL, name TEXT NOT NULL,
        native_id INTEGER, label TEXT NOT NULL, records INTEGER NOT NULL, roots INTEGER NOT NULL)""",
    "CREATE TABLE tasks (task INTEGER PRIMARY KEY, thread INTEGER NOT NULL, name TEXT NOT NULL)",
    # parent: the enclosing call's node, or minus the thread's number at a thread's top level.
    # outcome: RETURNED, RAISED, or NULL for a call that has not returned (yet).
    # start, end: program time; raw_start, raw_end: the clock's. A resumed call's first stretch
    # (stretch 1) has its stretches, wall and running time; a later one, its number and the first's node.
    """CREATE TABLE nodes (
        node INTEGER PRIMARY KEY, parent INTEGER NOT NULL, pos INTEGER NOT NULL, thread INTEGER NOT NULL,
        depth INTEGER NOT NULL, kind INTEGER NOT NULL, function INTEGER,
        doc INTEGER NOT NULL, offset INTEGER NOT NULL, length INTEGER NOT NULL,
        ret_doc INTEGER, ret_offset INTEGER, ret_length INTEGER, outcome INTEGER,
        children INTEGER NOT NULL, start REAL, end REAL, frame_id TEXT, type TEXT, text TEXT, ret TEXT,
        raw_start REAL, raw_end REAL, task INTEGER, stretch INTEGER, first_stretch INTEGER,
        stretches INTEGER, wall REAL, running REAL, raw_wall REAL, raw_running REAL,
        stack INTEGER, self REAL, raw_self REAL, last INTEGER)""",
    # stack: the path of functions from the thread's top level down to a call, as the flame graph
    # draws it; each with its calls and times added up (self: without the calls it made).
    """CREATE TABLE stacks (stack INTEGER PRIMARY KEY, parent INTEGER NOT NULL, thread INTEGER NOT NULL,
        function INTEGER NOT NULL, calls INTEGER NOT NULL, total REAL NOT NULL, self REAL NOT NULL,
        raw_total REAL NOT NULL, raw_self REAL NOT NULL, first_node INTEGER NOT NULL)""",
    # total: with the calls it makes, a recursion's counted once; wall: the same from a resumed
    # call's first start to its last end, its awaits in; first_node: its first call.
    """CREATE TABLE function_times (function INTEGER PRIMARY KEY, calls INTEGER NOT NULL, total REAL NOT NULL,
        self REAL NOT NULL, raw_total REAL NOT NULL, raw_self REAL NOT NULL, first_node INTEGER,
        wall REAL NOT NULL, raw_wall REAL NOT NULL)""",
    # call_site: the frame id of the recorded call that issued the query; site: the function and
    # line it was issued from ("function:line"), the same for every call of a helper run per item;
    # scope: the test or request it was issued under (0: none).
    """CREATE TABLE queries (node INTEGER PRIMARY KEY, shape TEXT NOT NULL, sql TEXT, params TEXT,
        duration_ms REAL, call_site TEXT, site TEXT, scope INTEGER NOT NULL)""",
    # Pages read the index while it grows, so its indexes are kept from the start.
    "CREATE INDEX nodes_by_parent ON nodes (parent, pos)",
    "CREATE INDEX calls_by_frame_id ON nodes (frame_id) WHERE kind = 0",
    "CREATE INDEX calls_in_order ON nodes (thread, node) WHERE kind = 0",
    "CREATE INDEX calls_by_task ON nodes (task) WHERE kind = 0 AND task IS NOT NULL",
    "CREATE INDEX queries_by_shape ON queries (shape)",
)
_NODE_COLUMNS = (
    "node, parent, pos, thread, depth, kind, function, doc, offset, length, ret_doc, ret_offset, ret_length,"
    " outcome, children, start, end, frame_id, type, text, ret, raw_start, raw_end, task, stretch, first_stretch"
)
_BUILT_COLUMNS = _NODE_COLUMNS + ", stack, self, raw_self, last"
_INSERT_NODES = f"INSERT OR REPLACE INTO nodes ({_BUILT_COLUMNS}) VALUES ({', '.join('?' * 30)})"
# A resumed call's first stretch, as its latest stretch left it.
_UPDATE_RESUMED = (
    "UPDATE nodes SET stretches = ?, wall = ?, running = ?, raw_wall = ?, raw_running = ?, ret_doc = ?,"
    " ret_offset = ?, ret_length = ?, outcome = ?, ret = ? WHERE node = ?"
)


class Progress:
    """How far a build has come, for the pages waiting on it: `indexed` documents are in, and the
    index is `readable` once anything is (the first records of a new one are committed early)."""

    def __init__(self, indexed: int, documents: int) -> None:
        self.documents = documents
        self.indexed = self.document = indexed
        self.readable = indexed > 0
        self.records = 0
        self.error: str | None = None

    def json(self) -> dict:
        return {"records": self.records, "document": self.document + 1, "documents": self.documents,
                "indexed": self.indexed}


class _Totals:
    """What the summary of the trace adds up, record by record."""

    def __init__(self) -> None:
        self.records = 0
        self.first_timestamp: float | None = None
        self.last_timestamp: float | None = None
        self.kinds: dict[str, int] = {}
        # function number -> [calls, seconds with the calls they make, the same on the clock, own
        # seconds, the same on the clock, first node, wall seconds, the same on the clock]
        self.calls: dict[int, list] = {}
        self.volume = LeftOut()
        self.stopped: list[str] = []
        self.durations: str | None = None  # why the durations may be off
        self.main_thread_ids: set = set()
        self.raw_first_timestamp: float | None = None
        self.raw_last_timestamp: float | None = None

    def timestamp(self, timestamp: object, raw: object) -> None:
        if isinstance(timestamp, (int, float)):
            if self.first_timestamp is None or timestamp < self.first_timestamp:
                self.first_timestamp, self.raw_first_timestamp = timestamp, raw
            if self.last_timestamp is None or timestamp > self.last_timestamp:
                self.last_timestamp, self.raw_last_timestamp = timestamp, raw

    def volume_control(self, record: dict) -> None:
        self.volume.add(record)


def _count(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


class _Builder:
    """Turns the records of a trace, one at a time, into the rows of its index. Pickled with the
    index after each document (without its connection): the state a later pass goes on from."""

    def __init__(self) -> None:
        self.documents = 0  # indexed so far
        self.nodes: list[tuple] = []
        self.queries: list[list] = []
        # (thread, frame id) -> its row, until the result comes; ordered for the oldest's removal
        self.pending_queries: collections.OrderedDict = collections.OrderedDict()
        self.functions: dict[tuple, int] = {}
        self.threads: dict[tuple, _ThreadIndex] = {}
        self.totals = _Totals()
        self.tasks: dict[tuple, int] = {}  # (thread number, task name, task id) -> task number
        self.resumed: dict[int, tuple] = {}  # first stretch's node -> its values, until committed
        self.node_count = 0
        self.here = (0, 0, 0)  # the current record: document number, offset, length
        self.raw_timestamp: object = None  # the current record's timestamp as the clock read it
        self.program_clock: dict = {}  # record list -> the last program time given
        self.scope_started: dict = {}  # record list -> the recorder's time at its test's or request's start
        self.stacks: dict[tuple, int] = {}  # (thread, parent stack or 0, function) -> stack number
        # stack number -> [parent, thread, function, calls, total, self, raw total, raw self, first node]
        self.stack_rows: dict[int, list] = {}
        self.changed_stacks: set[int] = set()
        # (return record's "path:line", function) -> the latest calls that raised there, for the
        # exception a later ending record tells of
        self.raised_calls: collections.OrderedDict = collections.OrderedDict()
        self.exceptions: dict[int, str] = {}  # node -> the exception it raised, until committed
        self.scopes = 0  # tests and requests begun so far: the N+1 is counted within one

    def __getstate__(self) -> dict:
        return {**self.__dict__, "nodes": [], "queries": [], "resumed": {}, "changed_stacks": set(),
                "exceptions": {}}

    def read(self, number: int, data: bytes, progress: Progress, early: Callable[[], None] | None = None) -> None:
        """The records of document `number`, the next one of the trace; `early` is called once the
        first _EARLY_RECORDS are read."""
        document = Document(data, Decoding())
        take, totals = self.take, self.totals
        try:
            for section in document.sections():
                for record in document.records(section):
                    self.raw_timestamp = _to_program_time(record, document.recorder_second, self, section)
                    take(number, section, document.record_start, document.record_end, record)
                    if early is not None and totals.records >= _EARLY_RECORDS:
                        early()
                        early = None
                progress.records = totals.records
        except (ValueError, TypeError, IndexError, msgpack.UnpackException) as exc:
            raise storage.StorageError(f"the document {number} is damaged: {exc}") from exc
        if isinstance(document.main_thread_id, int):
            self.totals.main_thread_ids.add(document.main_thread_id)
        self.documents = number + 1

    def take(self, document: int, section: object, start: int, end: int, record: object) -> None:
        if not isinstance(record, dict):
            return
        totals = self.totals
        kind = record.get("type")
        if kind in RECORDING_NOTES:
            if kind == DURATIONS_UNSTEADY:
                totals.durations = text.durations_unsteady_text(record)
            return
        totals.records += 1
        totals.timestamp(record.get("timestamp"), self.raw_timestamp)
        if kind != "frame":
            totals.kinds[str(kind)] = totals.kinds.get(str(kind), 0) + 1
            if kind in TRACE_RECORDS:
                totals.volume_control(record)
                return
            if kind == "recording_stopped":
                totals.stopped.append(text.recording_stopped_text(record))
                totals.volume.add(record)
            elif kind in ("program_exit", "end_test", "request_end"):
                self.ending_exception(record)
            elif kind in _SCOPES:
                self.scopes += 1
        self.here = (document, start, end - start)
        key = thread_key(record)
        thread = self.threads.get(key)
        if thread is None:
            first_seen = (document, 0 if section == MAIN else 1, len(self.threads))
            thread = self.threads[key] = _ThreadIndex(self, key, len(self.threads) + 1, first_seen)
        thread.records += 1
        if kind != "frame":
            thread.other(record, thread.depth_here())
        elif record.get("event") == "call":
            thread.call(record)
        else:
            thread.returned(record)

    def new_node(self) -> int:
        self.node_count += 1
        return self.node_count

    def function(self, record: dict) -> int:
        key = (text.function_name(record), str(record.get("path") or ""))
        number = self.functions.get(key)
        if number is None:
            number = self.functions[key] = len(self.functions) + 1
        return number

    def stack(self, thread: int, parent: int, function: int, node: int) -> int:
        key = (thread, parent, function)
        number = self.stacks.get(key)
        if number is None:
            number = self.stacks[key] = len(self.stacks) + 1
            self.stack_rows[number] = [parent, thread, function, 0, 0.0, 0.0, 0.0, 0.0, node]
        return number

    def add_times(self, stack: int, new_call: bool, total: float | None, own: float | None,
                  raw_total: float | None, raw_own: float | None) -> None:
        """Adds a call's (or stretch's) times to its stack."""
        row = self.stack_rows[stack]
        row[3] += new_call
        row[4] += total or 0.0
        row[5] += own or 0.0
        row[6] += raw_total or 0.0
        row[7] += raw_own or 0.0
        self.changed_stacks.add(stack)

    def raised(self, node: int, ret: dict) -> None:
        """Keeps a call that raised, to name its exception when an ending record tells of it; names
        it at once when its own return record does."""
        error = ret.get("error")
        if isinstance(error, str) and error:
            where = ret.get("raised_at")
            self.exceptions[node] = text.short_text(error, VALUE_LIMIT) + (f" at {where}" if where else "")
            return
        key = (ret.get("path"), ret.get("co_name"))
        self.raised_calls.setdefault(key, []).append(node)
        self.raised_calls.move_to_end(key)
        if len(self.raised_calls) > _RAISED_KEPT:
            self.raised_calls.popitem(last=False)

    def ending_exception(self, record: dict) -> None:
        """The calls an uncaught exception (of the program, a test or a request) went through: named."""
        error, traceback = record.get("error"), record.get("traceback")
        if not isinstance(error, str) or not isinstance(traceback, list):
            return
        where = record.get("raised_at")
        shown = text.short_text(error, VALUE_LIMIT) + (f" at {where}" if isinstance(where, str) else "")
        for entry in traceback:
            if isinstance(entry, list) and len(entry) == 2:
                nodes = self.raised_calls.pop((entry[0], entry[1]), None)
                if nodes:
                    self.exceptions[nodes[-1]] = shown

    def task(self, thread: int, record: dict) -> int:
        key = (thread, str(record.get("task_name")), record.get("task_id"))
        number = self.tasks.get(key)
        if number is None:
            number = self.tasks[key] = len(self.tasks) + 1
        return number

    def add_query(self, thread: int, node: int, record: dict, site: str | None) -> None:
        call_site = record.get("user_code_call_site")
        call_site = call_site.get("call_frame_id") if isinstance(call_site, dict) else None
        statement = record.get("sql")
        row = [node, sql.shape(statement), text.short_text(statement, 2000),
               text.short(record.get("params"), VALUE_LIMIT), None, call_site, site, self.scopes]
        key = (thread, record.get("frame_id"))
        if key[1] is None:
            self.queries.append(row)
            return
        self.pending_queries[key] = row
        if len(self.pending_queries) > _PENDING_QUERIES:  # results that never came
            self.queries.append(self.pending_queries.popitem(last=False)[1])

    def query_result(self, thread: int, record: dict) -> None:
        row = self.pending_queries.pop((thread, record.get("frame_id")), None)
        if row is not None:
            took = record.get("duration_ms")
            row[4] = took if isinstance(took, (int, float)) else None
            self.queries.append(row)

    def commit(self, connection: sqlite3.Connection) -> None:
        """Writes what the documents read so far added, the calls still open and the queries still
        waiting as they stand (rewritten when they end). The state to go on from is written once a
        pass is over (`save_state`): pickled with every document, it was most of what a big trace's
        index wrote."""
        open_calls = [thread.row(entry, None) for thread in self.threads.values() for entry in thread.stack]
        connection.execute("BEGIN")
        connection.executemany(_INSERT_NODES, self.nodes + open_calls)
        connection.executemany(_UPDATE_RESUMED, self.resumed.values())
        connection.executemany("INSERT OR REPLACE INTO stacks VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               ((n, *self.stack_rows[n]) for n in self.changed_stacks))
        connection.executemany("INSERT OR REPLACE INTO function_times VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
                               ((n, calls, total, own, raw_total, raw_own, first, wall, raw_wall)
                                for n, (calls, total, raw_total, own, raw_own, first, wall, raw_wall)
                                in self.totals.calls.items()))
        connection.executemany("UPDATE nodes SET ret = 'raised ' || ? WHERE node = ?",
                               ((error, node) for node, error in self.exceptions.items()))
        connection.executemany("INSERT OR REPLACE INTO queries VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
                               self.queries + list(self.pending_queries.values()))
        connection.executemany("INSERT OR IGNORE INTO functions VALUES (?, ?, ?)",
                               ((n, name, path) for (name, path), n in self.functions.items()))
        connection.executemany("INSERT OR REPLACE INTO threads VALUES (?, ?, ?, ?, ?, ?, ?)", self._thread_rows())
        connection.executemany("INSERT OR IGNORE INTO tasks VALUES (?, ?, ?)",
                               ((n, thread, name) for (thread, name, _), n in self.tasks.items()))
        connection.executemany("INSERT OR REPLACE INTO meta VALUES (?, ?)", [
            ("version", VERSION), ("documents", self.documents), ("summary", json.dumps(self._summary())),
        ])
        connection.execute("COMMIT")
        self.nodes.clear()
        self.queries.clear()
        self.resumed.clear()
        self.changed_stacks.clear()
        self.exceptions.clear()

    def save_state(self, connection: sqlite3.Connection) -> None:
        connection.execute("INSERT OR REPLACE INTO meta VALUES ('state', ?)", (pickle.dumps(self),))

    def _thread_rows(self) -> Iterator[tuple]:
        main_ids = self.totals.main_thread_ids

        def order(thread: _ThreadIndex) -> tuple:
            return (not (thread.key[1] in main_ids or thread.key[0] == "MainThread"), thread.first_seen)

        for rank, thread in enumerate(sorted(self.threads.values(), key=order)):
            name, native_id = thread.key
            label = f"{name} ({native_id})" if native_id is not None else name
            yield thread.number, rank, name, native_id, label, thread.records, thread.roots

    def _summary(self) -> dict:
        totals = self.totals
        names = {number: key for key, number in self.functions.items()}

        def function_rows(measure: int) -> list[dict]:
            top = sorted(totals.calls.items(), key=lambda item: item[1][measure], reverse=True)[: TOP * 2]
            return [{"name": names[number][0], "path": names[number][1], "calls": calls, "seconds": seconds,
                     "raw_seconds": raw_seconds, "wall": wall, "raw_wall": raw_wall}
                    for number, (calls, seconds, raw_seconds, _, _, _, wall, raw_wall) in top]

        left_out = sorted(((key, counts[0]) for key, counts in totals.volume.functions.items()),
                          key=lambda item: item[1], reverse=True)
        return {
            "records": totals.records,
            "first_timestamp": totals.first_timestamp,
            "last_timestamp": totals.last_timestamp,
            "most_calls": function_rows(0),
            "most_time": function_rows(1),
            "raw_most_time": function_rows(2),
            # A task that awaited is ranked by how long it took, not only by how long it ran.
            "most_wall": function_rows(6),
            "raw_most_wall": function_rows(7),
            "raw_first_timestamp": totals.raw_first_timestamp,
            "raw_last_timestamp": totals.raw_last_timestamp,
            "left_out": {
                "calls": totals.volume.left_out_calls(),
                "why": totals.volume.lines(sum(calls for calls, *_ in totals.calls.values())),
                "functions": [{"name": name, "path": path, "count": count} for (name, path), count in left_out[:20]],
                "more_functions": max(0, len(left_out) - 20),
            },
            "stopped": totals.stopped,
            "durations": totals.durations,
            "dropped": {"records": totals.volume.dropped_records, "bytes": totals.volume.dropped_bytes},
            "kinds": totals.kinds,
        }


def _to_program_time(record: object, recorder_second: float | None, builder: _Builder, section: object) -> object:
    """Puts the record on the program's time, never behind the list's last (the subtraction of two
    floats this large can step back a fraction of a microsecond); returns its timestamp as the clock
    read it."""
    timestamp = record.get("timestamp") if isinstance(record, dict) else None
    if isinstance(recorder_second, (int, float)) and isinstance(timestamp, (int, float)):
        clock = builder.program_clock
        program = max(timestamp - recorder_second, clock.get(section, float("-inf")))
        record["timestamp"] = clock[section] = program
        if record.get("type") != "frame":
            scope_to_program_time(record, recorder_second, builder.scope_started, section)
    return timestamp


class _Stretches:
    """A call resumed, as its stretches so far left it; kept as a tuple of these values between its
    stretches (a tuple is quicker to make and to pickle, and most calls never resume)."""

    __slots__ = ("node", "function", "count", "start", "raw_start", "running", "raw_running", "wall", "raw_wall")

    @classmethod
    def of_values(cls, values: tuple) -> _Stretches:
        stretches = cls.__new__(cls)
        for name, value in zip(cls.__slots__, values):
            setattr(stretches, name, value)
        return stretches


_stretches_values = operator.attrgetter(*_Stretches.__slots__)


class _ThreadIndex(ThreadWalk):
    """One thread's records as nodes: a call's row is written when it returns, with all it needs."""

    def __init__(self, builder: _Builder, key: tuple, number: int, first_seen: tuple) -> None:
        super().__init__(Selection())
        self.builder = builder
        self.key = key
        self.number = number
        self.first_seen = first_seen
        self.records = 0
        self.roots = 0
        self.active: dict[int, int] = {}  # function number -> its calls open: a recursion's time counts once
        self.task: int | None = None  # the task whose step runs here
        # The latest closed calls by frame id, oldest first (ordered for the oldest's removal, as the
        # summary's), each as the values of its _Stretches
        self.ended: collections.OrderedDict[str, tuple] = collections.OrderedDict()

    def __getstate__(self) -> dict:
        return {**self.__dict__, "closing": None}  # the last return record is not needed

    def _place(self, open_above: int) -> tuple[int, int]:
        """The parent and position of a new node, `open_above` open calls being the node's own."""
        stack = self.stack
        if len(stack) > open_above:
            parent = stack[-1 - open_above].state
            parent[1] += 1
            return parent[0], parent[1] - 1
        self.roots += 1
        return -self.number, self.roots - 1

    def opened(self, entry: Open) -> None:
        call, entry.call = entry.call, None
        builder = self.builder
        parent, pos = self._place(1)
        node = builder.node_count = builder.node_count + 1
        frame_id = call.get("frame_id")
        stretches = None
        if frame_id.__class__ is not str:
            frame_id = None
        elif (earlier := self.ended.pop(frame_id, None)) is not None:
            stretches = _Stretches.of_values(earlier)
        function = builder.function(call) if stretches is None else stretches.function
        stack = self.stack
        above = stack[-2].state[_STACK] if len(stack) > 1 else 0
        entry.state = [
            node, 0, parent, pos, entry.depth, function, builder.here, frame_id, None, builder.raw_timestamp, self.task,
            stretches, 0.0, 0.0, builder.stack(self.number, above, function, node),
        ]
        calls = builder.totals.calls.get(function)
        if calls is None:
            calls = builder.totals.calls[function] = [0, 0.0, 0.0, 0.0, 0.0, node, 0.0, 0.0]
        if stretches is None:  # a resumption is no call of its own
            calls[0] += 1
        active = self.active
        active[function] = active.get(function, 0) + 1

    def closed(self, entry: Open, ret: dict | None) -> None:
        builder = self.builder
        state = entry.state
        if ret is None:
            took = raw_took = own = raw_own = raw_end = None
        else:
            raw_end = builder.raw_timestamp
            took, raw_took = duration(entry, ret), _difference(state[9], raw_end)
            # its own time: its time less its calls'
            own = None if took is None else max(0.0, took - state[_CHILD_TIME])
            raw_own = None if raw_took is None else max(0.0, raw_took - state[_CHILD_TIME + 1])
        if self.stack:
            above = self.stack[-1].state
            above[_CHILD_TIME] += took or 0.0
            above[_CHILD_TIME + 1] += raw_took or 0.0
        builder.add_times(state[_STACK], state[11] is None, took, own, raw_took, raw_own)
        builder.nodes.append(self.row(entry, ret, took, own, raw_own, raw_end))
        if text.raised(ret) and text.exception_of(ret) is None:
            builder.raised(state[0], ret)  # named later, if an ending record tells of it
        wall, raw_wall = took, raw_took
        if state[7] is not None:
            wall, raw_wall = self._stretch(entry, ret, took, raw_took)
        function = state[5]
        calls = builder.totals.calls[function]
        calls[3] += own or 0.0
        calls[4] += raw_own or 0.0
        still_open = self.active.pop(function) - 1
        if still_open:
            self.active[function] = still_open
            return
        calls[1] += took or 0.0
        calls[2] += raw_took or 0.0
        calls[6] += wall or 0.0
        calls[7] += raw_wall or 0.0

    def _stretch(self, entry: Open, ret: dict | None, took: float | None, raw_took: float | None) -> tuple:
        """Keeps the call's frame id to know it when it resumes; updates its first stretch when it
        has resumed. Returns what this stretch adds to the call's wall time, and on the clock."""
        state, ended = entry.state, self.ended
        node, frame_id, stretches = state[0], state[7], state[11]
        if stretches is None:  # its first stretch: its wall time so far is its time
            if len(ended) >= ENDED_KEPT:
                ended.popitem(last=False)
            took, raw_took = took or 0.0, raw_took or 0.0
            ended[frame_id] = (node, state[5], 1, entry.start, state[9], took, raw_took, took, raw_took)
            return took, raw_took
        stretches.count += 1
        stretches.running += took or 0.0
        stretches.raw_running += raw_took or 0.0
        wall = _difference(stretches.start, ret and ret.get("timestamp"))
        raw_wall = _difference(stretches.raw_start, self.builder.raw_timestamp if ret else None)
        self.builder.resumed[stretches.node] = (
            stretches.count, wall, stretches.running, raw_wall, stretches.raw_running,
            *self._return_columns(ret), stretches.node,
        )
        added = (0.0 if wall is None else wall - stretches.wall, 0.0 if raw_wall is None else raw_wall - stretches.raw_wall)
        stretches.wall += added[0]
        stretches.raw_wall += added[1]
        ended[frame_id] = _stretches_values(stretches)
        return added

    def _return_columns(self, ret: dict | None) -> tuple:
        """Where the return record is, how the call ended, and its value shown."""
        if ret is None:
            return None, None, None, None, None
        return (*self.builder.here, RAISED if text.raised(ret) else RETURNED, text.returned(ret, VALUE_LIMIT))

    def row(self, entry: Open, ret: dict | None, took: float | None = None, own: float | None = None,
            raw_own: float | None = None, raw_end: float | None = None) -> tuple:
        """The call's row; with its times when it has returned (`ret`)."""
        (node, children, parent, pos, depth, function, (doc, offset, length), frame_id, arguments, raw_start, task,
         stretches, _, _, stack) = entry.state
        # A later stretch's number: the ones before it, and itself.
        stretch, first = (stretches.count + 1, stretches.node) if stretches is not None else (None, None)
        *returned, shown = self._return_columns(ret)
        return (
            node, parent, pos, self.number, depth, CALL, function, doc, offset, length, *returned, children,
            entry.start, None if took is None else entry.start + took, frame_id, None, arguments, shown, raw_start,
            raw_end, task, stretch, first, stack, own, raw_own, self.builder.node_count,
        )

    def _site(self, record: dict) -> str | None:
        """"function:line" of the open call a record says it was made from."""
        site = record.get("user_code_call_site")
        if not isinstance(site, dict):
            return None
        frame_id = site.get("call_frame_id")
        for entry in reversed(self.stack):
            if entry.frame_id == frame_id:
                return f"{entry.state[5]}:{site.get('line_number')}"
        return None

    def orphan(self, ret: dict, depth: int | None) -> None:
        parent, pos = self._place(0)
        doc, offset, length = self.builder.here
        timestamp = ret.get("timestamp")
        self.builder.nodes.append((
            self.builder.new_node(), parent, pos, self.number, depth, RETURN, self.builder.function(ret),
            doc, offset, length, doc, offset, length, RAISED if text.raised(ret) else RETURNED, 0,
            None, timestamp, None, None, "", text.returned(ret, VALUE_LIMIT), None, self.builder.raw_timestamp,
            self.task, None, None, None, None, None, self.builder.node_count,
        ))

    def other(self, record: dict, depth: int | None) -> None:
        kind = str(record.get("type"))
        if kind == "task_step":
            self.task = None if text.is_step_end(record) else self.builder.task(self.number, record)
            if self.task is None:
                return  # the next step's start says as much
        parent, pos = self._place(0)
        node = self.builder.new_node()
        doc, offset, length = self.builder.here
        timestamp = record.get("timestamp")
        timestamp = timestamp if isinstance(timestamp, (int, float)) else None
        raw = self.builder.raw_timestamp if timestamp is not None else None
        self.builder.nodes.append((
            node, parent, pos, self.number, depth, RECORD, None, doc, offset, length, None, None, None, None, 0,
            timestamp, timestamp, None, kind, text.describe_plugin_record(record), None, raw, raw, self.task,
            None, None, None, None, None, node,
        ))
        if kind == "sql_query":
            self.builder.add_query(self.number, node, record, self._site(record))
        elif kind == "sql_result":
            self.builder.query_result(self.number, record)


_CHILD_TIME, _STACK = 12, 14  # places in a call's state: its calls' time (then the clock's), its stack


def _difference(start: object, end: object) -> float | None:
    if isinstance(start, (int, float)) and isinstance(end, (int, float)):
        return end - start
    return None


def build(trace_store: storage.Store, trace_id: str, path: str, progress: Progress) -> None:
    """Indexes the documents of the trace that its index at `path` lacks, committing each, or all
    of them into a new index when there is none (or one this version cannot go on from)."""
    builder = _taken_up(path)
    if builder is None:
        progress.indexed, progress.readable = 0, False  # before the old file goes: pages wait for the new one
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        connection = store.create_growing_database(path)
        for statement in _SCHEMA:
            connection.execute(statement)
        builder = _Builder()
    else:
        connection = store.open_for_writing(path)

    def commit() -> None:
        builder.commit(connection)
        progress.readable = True

    try:
        for number, data in enumerate(trace_store.iter_documents(trace_id, start=builder.documents),
                                      start=builder.documents):
            progress.document = number
            builder.read(number, data, progress, None if progress.readable else commit)
            commit()
            progress.indexed = builder.documents
        builder.save_state(connection)
    finally:
        connection.close()


def _taken_up(path: str) -> _Builder | None:
    """The state the index at `path` was left in, to go on from; None when there is no index, or
    one that is damaged, from another version, or whose last pass did not end (its state is behind)."""
    if not os.path.exists(path):
        return None
    try:
        connection = store.open_for_reading(path)
        try:
            if _stored(connection, "version") != VERSION:
                return None
            # The index's own file, in a directory only its owner can write: no one else's pickle.
            builder = pickle.loads(_stored(connection, "state"))
            return builder if builder.documents == _stored(connection, "documents") else None
        finally:
            connection.close()
    except Exception:  # noqa: BLE001 - whatever cannot be taken up is built again
        return None


def _stored(connection: sqlite3.Connection, name: str) -> object:
    row = connection.execute("SELECT value FROM meta WHERE name = ?", (name,)).fetchone()
    return row[0] if row else None


def indexed_documents(path: str) -> int:
    """How many documents of its trace the index at `path` holds: 0 when there is none yet, or one
    that is damaged or from another version (built again)."""
    if not os.path.exists(path):
        return 0
    try:
        connection = store.open_for_reading(path)
        try:
            version, documents = _stored(connection, "version"), _stored(connection, "documents")
        finally:
            connection.close()
    except sqlite3.Error:
        return 0
    return documents if version == VERSION and isinstance(documents, int) else 0


def missing(trace_store: storage.Store, trace_id: str, documents: int, frame: str | None, thread: str | None) -> str | None:
    """What of a frame id and a thread (name, native id or task name) the trace lacks, told by its
    index when that holds all its `documents`; None when both are there or there is no such index."""
    path = store.index_path(trace_store, trace_id)
    if (frame is None and thread is None) or indexed_documents(path) != documents:
        return None
    connection = store.open_for_reading(path)
    try:
        if frame is not None and connection.execute(
                "SELECT 1 FROM nodes WHERE frame_id = ? AND kind = 0 LIMIT 1", (frame,)).fetchone() is None:
            return f"no call with frame id {frame!r} in trace {trace_id}"
        if thread is not None:
            labels = [label for (label,) in connection.execute("SELECT label FROM threads ORDER BY rank")]
            found = connection.execute(
                "SELECT 1 FROM threads WHERE name = :t OR CAST(native_id AS TEXT) = :t"
                " UNION ALL SELECT 1 FROM tasks WHERE name = :t", {"t": thread}).fetchone()
            if found is None:
                return f"no thread {thread!r} in trace {trace_id} (its threads: {', '.join(labels)})"
    finally:
        connection.close()
    return None


# --- reading it -----------------------------------------------------------------------------------


class TraceIndex:
    """Queries on an index, as far as it is built (`progress` tells how far while the rest is
    indexed); one per request (SQLite connections stay in their thread). Times are the program's,
    or the clock's with `raw_times`."""

    def __init__(self, path: str, trace_id: str, documents: store.Documents, progress: Progress | None) -> None:
        self.connection = store.open_for_reading(path)
        self.trace_id = trace_id
        self.documents = documents
        self.progress = progress
        self.raw_times = False

    def close(self) -> None:
        self.connection.close()

    def summary(self) -> dict:
        (value,) = self.connection.execute("SELECT value FROM meta WHERE name = 'summary'").fetchone()
        facts = json.loads(value)
        raw_most_time, raw_most_wall = facts.pop("raw_most_time"), facts.pop("raw_most_wall")
        raw_first, raw_last = facts.pop("raw_first_timestamp", None), facts.pop("raw_last_timestamp", None)
        if self.raw_times:
            for row in raw_most_time + raw_most_wall:  # one clock for every time shown
                row["seconds"], row["wall"] = row["raw_seconds"], row["raw_wall"]
            facts.update(most_time=raw_most_time, most_wall=raw_most_wall, first_timestamp=raw_first,
                         last_timestamp=raw_last)
        facts["tasks"] = [
            {"task": number, "thread": thread, "name": name}
            for number, thread, name in self.connection.execute("SELECT task, thread, name FROM tasks ORDER BY task")
        ]
        facts["threads"] = [
            {"thread": number, "label": label, "records": records, "roots": roots}
            for number, label, records, roots in self.connection.execute(
                "SELECT thread, label, records, roots FROM threads ORDER BY rank"
            )
        ]
        return facts

    def _nodes(self, where: str, parameters: tuple | dict) -> list[dict]:
        rows = self.connection.execute(
            f"SELECT {', '.join('n.' + c.strip() for c in _NODE_COLUMNS.split(','))}, f.name, f.path, n.stretches,"
            " n.wall, n.running, n.raw_wall, n.raw_running, t.name,"
            " (SELECT s.stretches FROM nodes s WHERE s.node = n.first_stretch)"
            " FROM nodes n LEFT JOIN functions f ON f.function = n.function LEFT JOIN tasks t ON t.task = n.task"
            f" {where}",
            parameters,
        )
        return [_node_json(self._with_arguments(row, 19, 7), self.raw_times) for row in rows]

    def _with_arguments(self, row: tuple, at: int, place: int) -> tuple:
        """The row with its call's arguments shown in column `at` (None in the index), read from the
        call's record, which lies where columns `place` to `place + 2` say."""
        if row[at] is not None:
            return row
        doc, offset, length = row[place : place + 3]
        shown = text.short_text(text.arguments(self._record(doc, offset, length)), ARGUMENTS_LIMIT)
        return (*row[:at], shown, *row[at + 1 :])

    def node(self, node: int) -> dict | None:
        found = self._nodes("WHERE n.node = ?", (node,))
        return found[0] if found else None

    def call_with_frame_id(self, frame_id: str) -> dict | None:
        found = self._nodes("WHERE n.frame_id = ? AND n.kind = 0 LIMIT 1", (frame_id,))
        return found[0] if found else None

    def last_raised(self) -> dict | None:
        """The innermost call of the latest exception: from the call whose return came last of those
        that raised, down through the last of its calls that raised too (calls made after it, while
        the exception unwound, returned: a context manager's exit, a finally block's calls)."""
        found = self.connection.execute(
            "SELECT node FROM nodes WHERE kind = 0 AND outcome = ? ORDER BY ret_doc DESC, ret_offset DESC LIMIT 1",
            (RAISED,)).fetchone()
        if found is None:
            return None
        innermost = found[0]
        while (below := self.connection.execute(
                "SELECT node FROM nodes WHERE parent = ? AND kind = 0 AND outcome = ? ORDER BY pos DESC LIMIT 1",
                (innermost, RAISED)).fetchone()) is not None:
            innermost = below[0]
        return self.node(innermost)

    def thread_exists(self, thread: int) -> bool:
        return self.connection.execute("SELECT 1 FROM threads WHERE thread = ?", (thread,)).fetchone() is not None

    def children(self, parent: int, offset: int, limit: int) -> list[dict]:
        return self._nodes("WHERE n.parent = ? AND n.pos >= ? ORDER BY n.pos LIMIT ?", (parent, offset, limit))

    def child_count(self, parent: int) -> int:
        if parent < 0:
            row = self.connection.execute("SELECT roots FROM threads WHERE thread = ?", (-parent,)).fetchone()
        else:
            row = self.connection.execute("SELECT children FROM nodes WHERE node = ?", (parent,)).fetchone()
        return row[0] if row else 0

    def ancestors(self, node: dict) -> list[dict]:
        """The calls from the thread's top level down to the node's parent."""
        return self._nodes(
            "JOIN (WITH RECURSIVE up(node, level) AS (SELECT ?, 0 UNION ALL"
            " SELECT nodes.parent, up.level + 1 FROM nodes JOIN up ON nodes.node = up.node WHERE nodes.parent > 0)"
            " SELECT node, level FROM up) a ON a.node = n.node ORDER BY a.level DESC",
            (node["parent"],),
        )

    def search(self, query: str, limit: int) -> tuple[list[dict], bool]:
        """Nodes whose function name, file, arguments, value or description hold `query` (any case),
        in record order; and whether there are more."""
        pattern = _like(query)
        found = self._nodes(
            "WHERE n.function IN (SELECT function FROM functions WHERE name LIKE :pattern ESCAPE '\\'"
            " OR path LIKE :pattern ESCAPE '\\') OR n.text LIKE :pattern ESCAPE '\\'"
            " OR n.ret LIKE :pattern ESCAPE '\\' ORDER BY n.node LIMIT :limit",
            {"pattern": pattern, "limit": limit + 1},
        )
        nodes = {node["node"] for node in found}
        # Nodes are numbered in record order: a call of a later document than the last match needed
        # would come after it.
        last = found[limit]["doc"] if len(found) > limit else None
        by_arguments, cut_short = self._calls_with_arguments(query, limit + 1, last)
        found += [node for node in by_arguments if node["node"] not in nodes]
        found.sort(key=lambda node: node["node"])
        return found[:limit], len(found) > limit or cut_short

    def _calls_with_arguments(self, query: str, limit: int, last: int | None) -> tuple[list[dict], bool]:
        """Calls whose arguments, as shown, hold `query` (any case), the first `limit` in record
        order up to document `last`; and whether the search stopped short. The index keeps no arguments' text, so the
        documents are read: a text or a name lies in them as its UTF-8 bytes, and only the records
        holding the query's are decoded, at most _ARGUMENT_CHECKS of them."""
        wanted = query.lower()
        needle = None if _SHOWN_ONLY.search(wanted) else wanted.encode()
        found: list[dict] = []
        checks = _ARGUMENT_CHECKS
        (documents,) = self.connection.execute("SELECT value FROM meta WHERE name = 'documents'").fetchone()
        for number in range(documents if last is None else min(documents, last + 1)):
            data = self.documents.get(self.trace_id, number)
            for start, end in _records_holding(data, needle):
                checks -= 1
                if checks < 0:
                    return found, True
                record = serialize.loads(memoryview(data)[start:end])
                if not (isinstance(record, dict) and record.get("type") == "frame" and record.get("event") == "call"
                        and wanted in text.arguments(record).lower()):
                    continue
                found += self._nodes("WHERE n.frame_id = ? AND n.doc = ? AND n.offset = ? AND n.kind = 0",
                                     (record.get("frame_id"), number, start))
                if len(found) >= limit:
                    return found, False
        return found, False

    def full_values(self, node: dict) -> dict:
        """The node's records decoded whole: the call (or other record) and its return."""
        values = {"record": text.jsonable(self._record(node["doc"], node["offset"], node["length"]))}
        if node["ret_doc"] is not None:
            values["return"] = text.jsonable(self._record(node["ret_doc"], node["ret_offset"], node["ret_length"]))
        return values

    def _record(self, document: int, offset: int, length: int) -> object:
        data = self.documents.get(self.trace_id, document)
        return serialize.loads(memoryview(data)[offset : offset + length])

    def query_groups(self, per_group: int) -> list[dict]:
        """Queries by shape, the costliest first, each with its first queries and the calls that
        issued them. A shape issued more than once from one line of one function under one test or
        request is an N+1, however many calls apart (a helper run once per item, each run issuing
        it), told with the calls that issued it."""
        groups = []
        for shape, count, total in self.connection.execute(
            "SELECT shape, count(*), sum(duration_ms) FROM queries GROUP BY shape ORDER BY sum(duration_ms) DESC,"
            " count(*) DESC"
        ):
            repeated = self.connection.execute(
                "SELECT site, scope, count(*), min(node) FROM queries WHERE shape = ? AND site IS NOT NULL"
                " GROUP BY site, scope HAVING count(*) > 1 ORDER BY min(node)",
                (shape,),
            ).fetchall()
            groups.append({
                "shape": shape, "count": count, "total_ms": total,
                "repeated_by": [self._repeat(shape, site, scope, times) for site, scope, times, _ in repeated],
                "queries": self._queries(shape, per_group, {(site, scope) for site, scope, *_ in repeated}),
            })
        return groups

    def _repeat(self, shape: str, site: str, scope: int, times: int) -> dict:
        function, _, line = site.partition(":")
        (name,) = self.connection.execute("SELECT name FROM functions WHERE function = ?", (function,)).fetchone()
        issuers = [row[0] for row in self.connection.execute(
            "SELECT DISTINCT call_site FROM queries WHERE shape = ? AND site = ? AND scope = ? ORDER BY node LIMIT ?",
            (shape, site, scope, _ISSUERS_SHOWN))]
        (calls,) = self.connection.execute(
            "SELECT count(DISTINCT call_site) FROM queries WHERE shape = ? AND site = ? AND scope = ?",
            (shape, site, scope)).fetchone()
        found = [self.call_with_frame_id(frame_id) for frame_id in issuers]
        return {"name": name, "line": int(line) if line.isdigit() else None, "queries": times, "calls": calls,
                "issued_by": [call for call in found if call is not None], "call": found[0] if found else None}

    def _queries(self, shape: str, limit: int, repeated: set) -> list[dict]:
        rows = self.connection.execute(
            "SELECT node, sql, params, duration_ms, call_site, site, scope FROM queries WHERE shape = ?"
            " ORDER BY node LIMIT ?",
            (shape, limit),
        ).fetchall()
        return [
            {"node": node, "sql": statement, "params": params, "duration_ms": took,
             "call": self._caller(call_site, 1) if call_site else None, "repeated": (site, scope) in repeated}
            for node, statement, params, took, call_site, site, scope in rows
        ]

    def _caller(self, frame_id: str, times: int) -> dict:
        call = self.call_with_frame_id(frame_id)
        return {"frame_id": frame_id, "queries": times, "call": call}

    def timeline(self, track: tuple[str, int], start: float, end: float, shortest: float, limit: int) -> list[list]:
        """[node, depth, start, end, function, awaiting] of the calls of a track, ("thread" or "task",
        its number), within [start, end] lasting at least `shortest` seconds, the longest first (a
        call never returned lasts to `end`). A resumed call's stretches are each where they ran; on
        a task's track each is at its first stretch's depth, and the call also spans its awaits, from
        its first start to its last end (awaiting 1)."""
        kind, number = track
        begin, finish, wall = ("raw_start", "raw_end", "raw_wall") if self.raw_times else ("start", "end", "wall")
        spans = f"SELECT n.node, n.depth, n.{begin} AS begin, coalesce(n.{finish}, :end) AS stop, n.function, 0 AS awaiting"
        if kind == "task":
            spans = (
                f"SELECT n.node, coalesce(first.depth, n.depth) AS depth, n.{begin} AS begin, coalesce(n.{finish}, :end) AS stop,"
                " n.function, 0 AS awaiting FROM nodes n LEFT JOIN nodes first ON first.node = n.first_stretch"
                " WHERE n.task = :number AND n.kind = 0"
                f" UNION ALL SELECT n.node, n.depth, n.{begin}, n.{begin} + coalesce(n.{wall}, :end - n.{begin}), n.function, 1"
                " FROM nodes n WHERE n.task = :number AND n.kind = 0 AND n.stretches > 1"
            )
        else:
            spans += " FROM nodes n WHERE n.thread = :number AND n.kind = 0"
        rows = self.connection.execute(
            f"SELECT s.node, s.depth, s.begin, s.stop, f.name, s.awaiting FROM ({spans}) s"
            " JOIN functions f ON f.function = s.function"
            " WHERE s.begin <= :end AND s.stop >= :start AND s.stop - s.begin >= :shortest"
            " ORDER BY s.stop - s.begin DESC LIMIT :limit",
            {"number": number, "start": start, "end": end, "shortest": shortest, "limit": limit},
        )
        return [list(row) for row in rows]

    def track_span(self, track: tuple[str, int], last: float | None) -> tuple:
        """From the first start to the last end of a track's calls (a call not returned ends at
        `last`), on the clock its calls are drawn on: a thread's from its top-level calls, a task's
        across their awaits."""
        begin, finish, wall = ("raw_start", "raw_end", "raw_wall") if self.raw_times else ("start", "end", "wall")
        kind, number = track
        where = ("task = ? AND kind = 0", number) if kind == "task" else ("parent = ?", -number)
        return self.connection.execute(
            f"SELECT min({begin}), max(coalesce({begin} + {wall}, {finish}, ?)) FROM nodes WHERE {where[0]}",
            (last, where[1])).fetchone()

    def flame(self, track: tuple[str, int], limit: int) -> list[list]:
        """[stack, parent stack, function, calls, total, self, first call] of the call paths of a
        thread (("thread", N)), of an asyncio task's calls (("task", N)) or of a call's subtree
        (("node", N)), the costliest `limit`; a parent that is not among them is a root."""
        kind, number = track
        times = "raw_total, raw_self" if self.raw_times else "total, self"
        if kind == "thread":
            rows = self.connection.execute(
                f"SELECT s.stack, s.parent, f.name, s.calls, {times}, s.first_node FROM stacks s"
                " JOIN functions f ON f.function = s.function WHERE s.thread = ? ORDER BY 5 DESC, 1 LIMIT ?",
                (number, limit),
            )
            return [list(row) for row in rows]
        begin, finish, own = ("raw_start", "raw_end", "raw_self") if self.raw_times else ("start", "end", "self")
        if kind == "task":
            where, parameters = "n.task = ?", (number,)
        else:
            found = self.connection.execute(
                "SELECT thread, last FROM nodes WHERE node = ? AND kind = 0", (number,)).fetchone()
            if found is None:
                return []
            where, parameters = "n.thread = ? AND n.node BETWEEN ? AND ?", (found[0], number, found[1])
        rows = self.connection.execute(
            f"SELECT n.stack, s.parent, f.name, count(n.stretch IS NULL OR NULL), sum(n.{finish} - n.{begin}),"
            f" sum(n.{own}), min(n.node) FROM nodes n JOIN stacks s ON s.stack = n.stack"
            f" JOIN functions f ON f.function = s.function WHERE {where} AND n.kind = 0"
            " GROUP BY n.stack ORDER BY 5 DESC, 1 LIMIT ?",
            (*parameters, limit),
        )
        return [list(row) for row in rows]

    def function_table(self, wanted: str, order: str, limit: int) -> tuple[int, list[dict]]:
        """How many functions have `wanted` in their name or file, and the first `limit` of them by
        `order` (calls, total, self, wall or name), with their calls, total, own and wall time."""
        clock = "raw_" if self.raw_times else ""
        ordering = {"calls": "t.calls DESC", "total": f"t.{clock}total DESC", "self": f"t.{clock}self DESC",
                    "wall": f"t.{clock}wall DESC", "name": "f.name"}[order]
        pattern = _like(wanted)
        where = "WHERE f.name LIKE :pattern ESCAPE '\\' OR f.path LIKE :pattern ESCAPE '\\'"
        (count,) = self.connection.execute(
            f"SELECT count(*) FROM function_times t JOIN functions f ON f.function = t.function {where}",
            {"pattern": pattern}).fetchone()
        rows = self.connection.execute(
            f"SELECT f.name, f.path, t.calls, t.{clock}total, t.{clock}self, t.{clock}wall, t.first_node"
            f" FROM function_times t JOIN functions f ON f.function = t.function {where}"
            f" ORDER BY {ordering}, f.name LIMIT :limit",
            {"pattern": pattern, "limit": limit},
        )
        return count, [{"name": name, "path": path, "calls": calls, "total": total, "self": own, "wall": wall,
                        "first": first} for name, path, calls, total, own, wall, first in rows]

    @property
    def _took(self) -> str:
        """A call's duration on the clock shown: its wall time when it was resumed."""
        if self.raw_times:
            return "coalesce(n.raw_wall, n.raw_end - n.raw_start)"
        return "coalesce(n.wall, n.end - n.start)"

    def call_count(self) -> int:
        return self.connection.execute("SELECT count(*) FROM nodes WHERE kind = 0").fetchone()[0]

    def calls_in_order(self, limit: int) -> Iterator[tuple]:
        """(thread rank, depth, function, path, arguments, value, duration) of the first `limit` calls, thread
        by thread (the main thread first), each thread's in the order they were made."""
        threads = self.connection.execute("SELECT thread, rank FROM threads ORDER BY rank").fetchall()
        for thread, rank in threads:
            rows = self.connection.execute(
                f"SELECT ?, n.depth, f.name, f.path, n.text, coalesce(n.ret, ''), {self._took}, n.doc, n.offset,"
                " n.length FROM nodes n JOIN functions f ON f.function = n.function WHERE n.thread = ? AND n.kind = 0"
                " ORDER BY n.node LIMIT ?",
                (rank, thread, limit),
            ).fetchall()
            yield from (self._with_arguments(row, 4, 7)[:7] for row in rows)
            limit -= len(rows)
            if limit <= 0:
                return


def _records_holding(data: bytes, needle: bytes | None) -> Iterator[tuple[int, int]]:
    """(start, end) of each record of a document holding `needle` (in lower case: any case of it),
    or of every record for None."""
    lowered, hits = data.lower(), []
    at = -1 if needle is None else lowered.find(needle)
    while at >= 0:
        hits.append(at)
        at = lowered.find(needle, at + 1)
    if not hits and needle is not None:
        return
    document = Document(data, Decoding(), trailer=False)
    for _section in document.sections():
        if not is_array(document.next_byte()):
            document.skip()
            continue
        for encoded in document.raw_records():
            start = document.unpacker.tell() - len(encoded)
            at = bisect.bisect_left(hits, start)
            if needle is None or (at < len(hits) and hits[at] < start + len(encoded)):
                yield start, start + len(encoded)


def _like(wanted: str) -> str:
    """A LIKE pattern (escaped by a backslash) of the text anywhere."""
    return "%" + wanted.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"


def _node_json(row: tuple, raw_times: bool) -> dict:
    (node, parent, pos, thread, depth, kind, _function, doc, offset, length, ret_doc, ret_offset, ret_length,
     outcome, children, start, end, frame_id, record_type, shown, ret, raw_start, raw_end, _task, stretch, first,
     name, path, stretches, wall, running, raw_wall, raw_running, task, of_stretches) = row
    if raw_times:
        start, end, wall, running = raw_start, raw_end, raw_wall, raw_running
    return {
        "node": node, "parent": parent, "pos": pos, "thread": thread, "depth": depth, "kind": KIND_NAMES[kind],
        "name": name, "path": path, "args": shown if kind != RECORD else None,
        "text": shown if kind == RECORD else None, "type": record_type, "ret": ret,
        "outcome": {RETURNED: "returned", RAISED: "raised"}.get(outcome, "open"),
        "children": children, "start": start, "duration": None if start is None or end is None else end - start,
        "frame_id": frame_id, "doc": doc, "offset": offset, "length": length,
        "ret_doc": ret_doc, "ret_offset": ret_offset, "ret_length": ret_length, "task": task,
        # A resumed call: its first stretch says how often and how long; a later one, which it is.
        "resumed": {"times": stretches - 1, "wall": wall, "running": running} if stretches else None,
        "stretch": {"of": first, "number": stretch, "stretches": of_stretches} if stretch else None,
    }
