"""An index of one trace, so that the viewer reads only what a page shows.

Built in one streaming pass over the trace's documents (the same walk `vesk show` makes), it holds a
row per node of each thread's call tree: every call, with where its call and return records lie
(document number, byte offset and length), its parent, its place among the parent's children, how
many children it has, its times, function, and the short forms of its arguments and return value;
and every other record (SQL, HTTP, log, test markers) under the call that made it. Children pages,
search, the SQL panel and comparisons are queries on it; a value shown in full is decoded from its
own record, read at its offset. The summary of the trace (summary.TraceFacts) is made in the same
pass and kept with it.

Rows are written in batches as calls return, so memory holds the open calls of each thread (the
depth of the program), never the length of the trace. Each index is a SQLite file of its own, built
under a temporary name and moved into place when complete; it is rebuilt when its trace has grown.
"""

from __future__ import annotations

import json
import os
import sqlite3
import threading
from typing import Iterator

from vesk import db, serialize
from vesk.reading import text
from vesk.reading.records import RecordStream, thread_key
from vesk.reading.summary import TOP, TraceFacts
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, ThreadWalk, duration
from vesk.serve import sql, store

VERSION = 1
ARGUMENTS_LIMIT = 300
VALUE_LIMIT = 120
_BATCH = 5000
_PENDING_QUERIES = 1000  # queries waiting for their result, per trace

CALL, RECORD, RETURN = 0, 1, 2  # kinds of node; RETURN: a return whose call was not recorded
KIND_NAMES = ("call", "record", "return")
RETURNED, RAISED = 0, 1

_SCHEMA = (
    "CREATE TABLE meta (name TEXT PRIMARY KEY, value)",
    "CREATE TABLE functions (function INTEGER PRIMARY KEY, name TEXT NOT NULL, path TEXT NOT NULL)",
    """CREATE TABLE threads (thread INTEGER PRIMARY KEY, rank INTEGER NOT NULL, name TEXT NOT NULL,
        native_id INTEGER, label TEXT NOT NULL, records INTEGER NOT NULL, roots INTEGER NOT NULL)""",
    # parent: the enclosing call's node, or minus the thread's number at a thread's top level.
    # outcome: RETURNED, RAISED, or NULL for a call that never returned.
    """CREATE TABLE nodes (
        node INTEGER PRIMARY KEY, parent INTEGER NOT NULL, pos INTEGER NOT NULL, thread INTEGER NOT NULL,
        depth INTEGER NOT NULL, kind INTEGER NOT NULL, function INTEGER,
        doc INTEGER NOT NULL, offset INTEGER NOT NULL, length INTEGER NOT NULL,
        ret_doc INTEGER, ret_offset INTEGER, ret_length INTEGER, outcome INTEGER,
        children INTEGER NOT NULL, start REAL, end REAL, frame_id TEXT, type TEXT, text TEXT, ret TEXT)""",
    # call_site: the frame id of the recorded call that issued the query.
    """CREATE TABLE queries (node INTEGER PRIMARY KEY, shape TEXT NOT NULL, sql TEXT, params TEXT,
        duration_ms REAL, call_site TEXT)""",
)
_INDEXES = (
    "CREATE INDEX nodes_by_parent ON nodes (parent, pos)",
    "CREATE INDEX calls_by_frame_id ON nodes (frame_id) WHERE kind = 0",
    "CREATE INDEX calls_in_order ON nodes (thread, node) WHERE kind = 0",
    "CREATE INDEX queries_by_shape ON queries (shape)",
)
_NODE_COLUMNS = (
    "node, parent, pos, thread, depth, kind, function, doc, offset, length, ret_doc, ret_offset, ret_length,"
    " outcome, children, start, end, frame_id, type, text, ret"
)


class Progress:
    """How far a build has come, for the page waiting on it."""

    def __init__(self, documents: int) -> None:
        self.documents = documents
        self.document = 0
        self.records = 0
        self.error: str | None = None


class _Builder:
    """Turns the records of a trace, one at a time, into the rows of its index."""

    def __init__(self, connection: sqlite3.Connection, progress: Progress) -> None:
        self.connection = connection
        self.progress = progress
        self.nodes: list[tuple] = []
        self.queries: list[list] = []
        self.pending_queries: dict = {}  # (thread, frame id) -> its row, until the result comes
        self.functions: dict[tuple, int] = {}
        self.threads: dict[tuple, _ThreadIndex] = {}
        self.kinds: dict[str, int] = {}
        self.node_count = 0
        self.here = (0, 0, 0)  # the current record: document number, offset, length

    def take(self, document: int, start: int, end: int, record: object) -> None:
        self.progress.document = document
        self.progress.records += 1
        if not isinstance(record, dict):
            return
        kind = record.get("type")
        if kind != "frame":
            self.kinds[str(kind)] = self.kinds.get(str(kind), 0) + 1
            if kind in TRACE_RECORDS:
                return
        self.here = (document, start, end - start)
        key = thread_key(record)
        thread = self.threads.get(key)
        if thread is None:
            thread = self.threads[key] = _ThreadIndex(self, len(self.threads) + 1)
        thread.feed(record)

    def new_node(self) -> int:
        self.node_count += 1
        return self.node_count

    def function(self, record: dict) -> int:
        key = (text.function_name(record), str(record.get("path") or ""))
        number = self.functions.get(key)
        if number is None:
            number = self.functions[key] = len(self.functions) + 1
        return number

    def add_node(self, row: tuple) -> None:
        self.nodes.append(row)
        if len(self.nodes) >= _BATCH:
            self.flush()

    def add_query(self, thread: int, node: int, record: dict) -> None:
        site = record.get("user_code_call_site")
        call_site = site.get("call_frame_id") if isinstance(site, dict) else None
        statement = record.get("sql")
        row = [node, sql.shape(statement), text.short_text(statement, 2000),
               text.short(record.get("params"), VALUE_LIMIT), None, call_site]
        key = (thread, record.get("frame_id"))
        if key[1] is None:
            self.queries.append(row)
            return
        self.pending_queries[key] = row
        if len(self.pending_queries) > _PENDING_QUERIES:  # results that never came
            self.queries.append(self.pending_queries.pop(next(iter(self.pending_queries))))

    def query_result(self, thread: int, record: dict) -> None:
        row = self.pending_queries.pop((thread, record.get("frame_id")), None)
        if row is not None:
            took = record.get("duration_ms")
            row[4] = took if isinstance(took, (int, float)) else None
            self.queries.append(row)

    def flush(self) -> None:
        self.connection.executemany(f"INSERT INTO nodes ({_NODE_COLUMNS}) VALUES ({', '.join('?' * 21)})", self.nodes)
        self.connection.executemany("INSERT INTO queries VALUES (?, ?, ?, ?, ?, ?)", self.queries)
        self.nodes.clear()
        self.queries.clear()

    def finish(self, facts: TraceFacts) -> None:
        for thread in self.threads.values():
            thread.finish()
        self.queries.extend(self.pending_queries.values())
        self.pending_queries.clear()
        self.flush()
        self.connection.executemany(
            "INSERT INTO functions VALUES (?, ?, ?)", ((n, name, path) for (name, path), n in self.functions.items())
        )
        ranks = {thread.key: rank for rank, thread in enumerate(facts.ordered_threads())}
        for key, thread in self.threads.items():
            facts_of = facts.threads.get(key)
            self.connection.execute(
                "INSERT INTO threads VALUES (?, ?, ?, ?, ?, ?, ?)",
                (thread.number, ranks.get(key, len(ranks)), key[0], key[1],
                 facts_of.label() if facts_of else key[0], facts_of.records if facts_of else 0, thread.roots),
            )
        self.connection.execute("INSERT INTO meta VALUES ('summary', ?)", (json.dumps(_summary(facts, self.kinds)),))
        for statement in _INDEXES:
            self.connection.execute(statement)


class _ThreadIndex(ThreadWalk):
    """One thread's records as nodes: a call's row is written when it returns, with all it needs."""

    def __init__(self, builder: _Builder, number: int) -> None:
        super().__init__(Selection())
        self.builder = builder
        self.number = number
        self.roots = 0

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
        parent, pos = self._place(1)
        node = self.builder.new_node()
        frame_id = call.get("frame_id")
        entry.state = [
            node, 0, parent, pos, entry.depth, self.builder.function(call), self.builder.here,
            frame_id if isinstance(frame_id, str) else None,
            text.short_text(text.arguments(call), ARGUMENTS_LIMIT),
        ]

    def closed(self, entry: Open, ret: dict | None) -> None:
        node, children, parent, pos, depth, function, (doc, offset, length), frame_id, arguments = entry.state
        ret_doc = ret_offset = ret_length = outcome = shown = None
        if ret is not None:
            ret_doc, ret_offset, ret_length = self.builder.here
            outcome = RAISED if ret.get("event") == "unwind" else RETURNED
            shown = text.returned(ret, VALUE_LIMIT)
        took = duration(entry, ret)
        self.builder.add_node((
            node, parent, pos, self.number, depth, CALL, function, doc, offset, length, ret_doc, ret_offset,
            ret_length, outcome, children, entry.start, None if took is None else entry.start + took, frame_id,
            None, arguments, shown,
        ))

    def orphan(self, ret: dict, depth: int | None) -> None:
        parent, pos = self._place(0)
        doc, offset, length = self.builder.here
        timestamp = ret.get("timestamp")
        self.builder.add_node((
            self.builder.new_node(), parent, pos, self.number, depth, RETURN, self.builder.function(ret),
            doc, offset, length, doc, offset, length, RAISED if ret.get("event") == "unwind" else RETURNED, 0,
            None, timestamp, None, None, "", text.returned(ret, VALUE_LIMIT),
        ))

    def other(self, record: dict, depth: int | None) -> None:
        parent, pos = self._place(0)
        node = self.builder.new_node()
        doc, offset, length = self.builder.here
        kind = str(record.get("type"))
        timestamp = record.get("timestamp")
        timestamp = timestamp if isinstance(timestamp, (int, float)) else None
        self.builder.add_node((
            node, parent, pos, self.number, depth, RECORD, None, doc, offset, length, None, None, None, None, 0,
            timestamp, timestamp, None, kind, text.describe_plugin_record(record), None,
        ))
        if kind == "sql_query":
            self.builder.add_query(self.number, node, record)
        elif kind == "sql_result":
            self.builder.query_result(self.number, record)


class _IndexingStream(RecordStream):
    """The trace's records as TraceFacts reads them, each handed to the index builder on its way."""

    def __init__(self, db_path: str, trace_id: str, builder: _Builder) -> None:
        super().__init__(db_path, trace_id)
        self.builder = builder

    def records(self, **_options) -> Iterator[tuple[int, object, object]]:
        # Whole records whatever the summary asks for: the index keeps the short forms of the values.
        take = self.builder.take
        for document, section, record in super().records():
            take(document, self.document.record_start, self.document.record_end, record)
            yield document, section, record


def _summary(facts: TraceFacts, kinds: dict) -> dict:
    def function_rows(measure) -> list[dict]:
        top = sorted(facts.functions.items(), key=lambda item: measure(item[1]), reverse=True)[: TOP * 2]
        return [{"name": name, "path": path, "calls": stats[0], "seconds": stats[1]} for (name, path), stats in top]

    left_out = sorted(facts.left_out.items(), key=lambda item: item[1], reverse=True)
    return {
        "records": facts.records,
        "first_timestamp": facts.first_timestamp,
        "last_timestamp": facts.last_timestamp,
        "most_calls": function_rows(lambda stats: stats[0]),
        "most_time": function_rows(lambda stats: stats[1]),
        "left_out": {
            "calls": sum(facts.left_out.values()),
            "functions": [{"name": name, "path": path, "count": count} for (name, path), count in left_out[:20]],
            "more_functions": max(0, len(left_out) - 20),
        },
        "stopped": [text.recording_stopped_text(record) for record in facts.stopped],
        "dropped": {"records": facts.dropped_records, "bytes": facts.dropped_bytes},
        "kinds": kinds,
    }


def build(db_path: str, summary: db.TraceSummary, path: str, progress: Progress) -> None:
    """Writes the index of the trace to `path`, through a temporary file beside it."""
    temporary = f"{path}.{os.getpid()}.{threading.get_ident()}.tmp"
    try:
        connection = store.create_private_database(temporary)
        try:
            for statement in _SCHEMA:
                connection.execute(statement)
            connection.execute("BEGIN")
            builder = _Builder(connection, progress)
            facts = TraceFacts()
            facts.read(_IndexingStream(db_path, summary.trace_id, builder), Selection())
            builder.finish(facts)
            for name, value in _identity(summary).items():
                connection.execute("INSERT INTO meta VALUES (?, ?)", (name, value))
            connection.execute("COMMIT")
        finally:
            connection.close()
        os.replace(temporary, path)
    finally:
        if os.path.exists(temporary):
            os.unlink(temporary)


def _identity(summary: db.TraceSummary) -> dict:
    """What tells an index from that of an older state of its trace."""
    return {"version": VERSION, "documents": summary.document_count, "size": summary.size}


def is_current(path: str, summary: db.TraceSummary) -> bool:
    if not os.path.exists(path):
        return False
    try:
        connection = store.open_for_reading(path)
        try:
            found = dict(connection.execute("SELECT name, value FROM meta WHERE name != 'summary'"))
        finally:
            connection.close()
    except sqlite3.Error:
        return False  # damaged or from another version: built again
    return found == _identity(summary)


# --- reading it -----------------------------------------------------------------------------------


class TraceIndex:
    """Queries on a built index; one per request (SQLite connections stay in their thread)."""

    def __init__(self, path: str, trace_id: str, documents: store.Documents) -> None:
        self.connection = store.open_for_reading(path)
        self.trace_id = trace_id
        self.documents = documents

    def close(self) -> None:
        self.connection.close()

    def summary(self) -> dict:
        (value,) = self.connection.execute("SELECT value FROM meta WHERE name = 'summary'").fetchone()
        facts = json.loads(value)
        facts["threads"] = [
            {"thread": number, "label": label, "records": records, "roots": roots}
            for number, label, records, roots in self.connection.execute(
                "SELECT thread, label, records, roots FROM threads ORDER BY rank"
            )
        ]
        return facts

    def _nodes(self, where: str, parameters: tuple | dict) -> list[dict]:
        rows = self.connection.execute(
            f"SELECT {', '.join('n.' + c.strip() for c in _NODE_COLUMNS.split(','))}, f.name, f.path"
            f" FROM nodes n LEFT JOIN functions f ON f.function = n.function {where}",
            parameters,
        )
        return [_node_json(row) for row in rows]

    def node(self, node: int) -> dict | None:
        found = self._nodes("WHERE n.node = ?", (node,))
        return found[0] if found else None

    def call_with_frame_id(self, frame_id: str) -> dict | None:
        found = self._nodes("WHERE n.frame_id = ? AND n.kind = 0 LIMIT 1", (frame_id,))
        return found[0] if found else None

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
        pattern = "%" + query.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_") + "%"
        found = self._nodes(
            "WHERE n.function IN (SELECT function FROM functions WHERE name LIKE :pattern ESCAPE '\\'"
            " OR path LIKE :pattern ESCAPE '\\') OR n.text LIKE :pattern ESCAPE '\\'"
            " OR n.ret LIKE :pattern ESCAPE '\\' ORDER BY n.node LIMIT :limit",
            {"pattern": pattern, "limit": limit + 1},
        )
        return found[:limit], len(found) > limit

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
        issued them; a call issuing the same shape more than once (N+1) is counted per group."""
        groups = []
        for shape, count, total in self.connection.execute(
            "SELECT shape, count(*), sum(duration_ms) FROM queries GROUP BY shape ORDER BY sum(duration_ms) DESC,"
            " count(*) DESC"
        ):
            repeated = self.connection.execute(
                "SELECT call_site, count(*) FROM queries WHERE shape = ? AND call_site IS NOT NULL"
                " GROUP BY call_site HAVING count(*) > 1",
                (shape,),
            ).fetchall()
            groups.append({
                "shape": shape, "count": count, "total_ms": total,
                "repeated_by": [self._caller(site, times) for site, times in repeated],
                "queries": self._queries(shape, per_group, dict(repeated)),
            })
        return groups

    def _queries(self, shape: str, limit: int, repeated: dict) -> list[dict]:
        rows = self.connection.execute(
            "SELECT node, sql, params, duration_ms, call_site FROM queries WHERE shape = ? ORDER BY node LIMIT ?",
            (shape, limit),
        ).fetchall()
        return [
            {"node": node, "sql": statement, "params": params, "duration_ms": took,
             "call": self._caller(site, repeated.get(site, 1)) if site else None, "repeated": site in repeated}
            for node, statement, params, took, site in rows
        ]

    def _caller(self, frame_id: str, times: int) -> dict:
        call = self.call_with_frame_id(frame_id)
        return {"frame_id": frame_id, "queries": times, "call": call}

    def timeline(self, thread: int, start: float, end: float, shortest: float, limit: int) -> list[list]:
        """[node, depth, start, end, function] of the thread's calls within [start, end] lasting at least
        `shortest` seconds, the longest first (a call never returned lasts to `end`)."""
        rows = self.connection.execute(
            "SELECT n.node, n.depth, n.start, coalesce(n.end, :end) AS stop, f.name FROM nodes n"
            " JOIN functions f ON f.function = n.function WHERE n.thread = :thread AND n.kind = 0"
            " AND n.start <= :end AND stop >= :start AND stop - n.start >= :shortest"
            " ORDER BY stop - n.start DESC LIMIT :limit",
            {"thread": thread, "start": start, "end": end, "shortest": shortest, "limit": limit},
        )
        return [list(row) for row in rows]

    def call_count(self) -> int:
        return self.connection.execute("SELECT count(*) FROM nodes WHERE kind = 0").fetchone()[0]

    def calls_in_order(self) -> Iterator[tuple[str, str, str]]:
        """(function, arguments, value) of every call, thread by thread (the main thread first)."""
        threads = [row[0] for row in self.connection.execute("SELECT thread FROM threads ORDER BY rank")]
        for thread in threads:
            yield from self.connection.execute(
                "SELECT f.name, n.text, coalesce(n.ret, '') FROM nodes n JOIN functions f ON f.function = n.function"
                " WHERE n.thread = ? AND n.kind = 0 ORDER BY n.node",
                (thread,),
            )


def _node_json(row: tuple) -> dict:
    (node, parent, pos, thread, depth, kind, _function, doc, offset, length, ret_doc, ret_offset, ret_length,
     outcome, children, start, end, frame_id, record_type, shown, ret, name, path) = row
    return {
        "node": node, "parent": parent, "pos": pos, "thread": thread, "depth": depth, "kind": KIND_NAMES[kind],
        "name": name, "path": path, "args": shown if kind != RECORD else None,
        "text": shown if kind == RECORD else None, "type": record_type, "ret": ret,
        "outcome": {RETURNED: "returned", RAISED: "raised"}.get(outcome, "open"),
        "children": children, "start": start, "duration": None if start is None or end is None else end - start,
        "frame_id": frame_id, "doc": doc, "offset": offset, "length": length,
        "ret_doc": ret_doc, "ret_offset": ret_offset, "ret_length": ret_length,
    }
