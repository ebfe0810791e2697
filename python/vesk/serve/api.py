"""The JSON API the pages use; every answer is a (status, JSON-ready value) pair.

    /api/traces?q=TEXT&source=NAME&outcome=failed|ok&sort=COLUMN&order=asc|desc&offset=N&limit=N
                                                 traces (newest first unless sorted by another of
                                                 TRACE_SORTS), with how each ended
    /api/trace/ID                                its summary, with how far indexing has come while
                                                 it goes on (202 until its first document is in),
                                                 and a failed trace's latest raising call
    /api/trace/ID/children?thread=N&node=N|frame=FRAME_ID&offset=N&limit=N
                                                 a page of a call's children (a thread's top level
                                                 without node or frame)
    /api/trace/ID/node/N                         one node with its ancestors and its records decoded whole
    /api/trace/ID/search?q=TEXT&limit=N          matching nodes, each with its ancestors
    /api/trace/ID/sql                            SQL queries grouped by shape, with their calls
    /api/trace/ID/timeline?thread=N|task=N&start=T&end=T&width=PIXELS
                                                 [node, depth, start, end, function, awaiting]
                                                 of the calls of a thread or an asyncio task at
                                                 least a pixel long in that span (by default, the
                                                 track's), longest first; a task's resumed call
                                                 spans its awaits too (awaiting 1)
    /api/trace/ID/flame?thread=N|task=N|node=N   the flame graph of a thread, a task or a call's
                                                 subtree: [stack, parent (0: a root), function,
                                                 calls, total, self, first call] of its call paths
    /api/trace/ID/functions?q=TEXT&sort=calls|total|self|wall|name&limit=N
                                                 every function with its calls, total, own and
                                                 wall time (a resumed call's awaits in)

Times are the program's, the recorder's own time taken out; `raw=1` on any of them gives the
clock's.
    /api/compare/ID/ID?offset=N&limit=N          two traces' calls side by side, aligned (202 until
                                                 both are indexed whole)
"""

from __future__ import annotations

from urllib.parse import parse_qs

from vesk import storage
from vesk.serve import compare, index
from vesk.serve.indexes import Indexes
from vesk.serve import listing
from vesk.serve.listing import Outcomes

PAGE = 200
MAX_PAGE = 1000
SEARCH_LIMIT = 100
QUERIES_PER_GROUP = 50
TIMELINE_CALLS = 4000
FLAME_CELLS = 5000  # the costliest call paths: more than a screen's width can tell apart
FUNCTION_SORTS = ("calls", "total", "self", "wall", "name")
# What the trace list sorts by; the ones read from how each trace ended need every trace's ending.
TRACE_SORTS = {
    "saved": lambda summary, outcome: summary.saved_at,
    "trace": lambda summary, outcome: summary.trace_id,
    "source": lambda summary, outcome: listing.SOURCE_NAMES.get(summary.source or "", summary.source or ""),
    "what": lambda summary, outcome: (summary.label or " ".join(summary.command_line)).lower(),
    "frames": lambda summary, outcome: summary.frame_count,
    "plugin": lambda summary, outcome: summary.plugin_count,
    "outcome": lambda summary, outcome: (outcome.failed, outcome.text or ""),
    "duration": lambda summary, outcome: listing.seconds_of(summary, outcome) or 0.0,
}
_BY_ENDING = frozenset(("outcome", "duration"))


class ApiError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class Indexing(Exception):
    """The trace is being indexed: the page asks again."""

    def __init__(self, progress: index.Progress) -> None:
        super().__init__()
        self.progress = progress


class Api:
    def __init__(self, trace_store: storage.Store) -> None:
        self.trace_store = trace_store
        self.indexes = Indexes(trace_store)
        self.outcomes = Outcomes(trace_store)

    def answer(self, parts: list[str], query: str) -> tuple[int, object]:
        arguments = {name: values[-1] for name, values in parse_qs(query).items()}
        try:
            return 200, self._route(parts, arguments)
        except Indexing as indexing:
            return 202, {"indexing": True, **indexing.progress.json()}
        except ApiError as exc:
            return exc.status, {"error": str(exc)}
        except storage.TraceNotFound as exc:
            return 404, {"error": str(exc)}
        except storage.StorageError as exc:
            return 500, {"error": str(exc)}

    def _route(self, parts: list[str], arguments: dict) -> object:
        if parts == ["traces"]:
            return self.traces(arguments)
        if len(parts) == 3 and parts[0] == "compare":
            return self.compare(parts[1], parts[2], arguments)
        if len(parts) >= 2 and parts[0] == "trace":
            trace_id = self._trace_id(parts[1])
            rest = parts[2:]
            raw_times = arguments.get("raw") == "1"
            if not rest:
                return self.trace(trace_id, raw_times)
            if rest == ["children"]:
                return self._with_index(trace_id, lambda found: self.children(found, arguments), raw_times)
            if len(rest) == 2 and rest[0] == "node":
                return self._with_index(trace_id, lambda found: self.node(found, _number(rest[1], "node")), raw_times)
            if rest == ["search"]:
                return self._with_index(trace_id, lambda found: self.search(found, arguments), raw_times)
            if rest == ["timeline"]:
                return self._with_index(trace_id, lambda found: self.timeline(found, arguments), raw_times)
            if rest == ["flame"]:
                return self._with_index(trace_id, lambda found: self.flame(found, arguments), raw_times)
            if rest == ["functions"]:
                return self._with_index(trace_id, lambda found: self.functions(found, arguments), raw_times)
            if rest == ["sql"]:
                return self._with_index(trace_id, lambda found: {"groups": found.query_groups(QUERIES_PER_GROUP)},
                                        raw_times)
        raise ApiError(404, "no such API")

    def _trace_id(self, text: str) -> str:
        return self.trace_store.resolve_trace_id(text)

    def _index(self, trace_id: str) -> index.TraceIndex:
        opened = self.indexes.open(trace_id)
        if isinstance(opened, index.Progress):
            if opened.error is not None:
                self.indexes.forget_failure(trace_id)  # the next request tries again
                raise ApiError(500, opened.error)
            raise Indexing(opened)
        return opened

    def _with_index(self, trace_id: str, work, raw_times: bool = False):
        found = self._index(trace_id)
        found.raw_times = raw_times
        try:
            return work(found)
        finally:
            found.close()

    # --- the answers ---

    def traces(self, arguments: dict) -> dict:
        summaries = self.trace_store.list_traces()
        known = {summary.trace_id for summary in summaries}
        self.indexes.remove_stale(known)
        self.outcomes.forget_others(known)
        listed = summaries
        wanted = arguments.get("q", "").lower()
        if wanted:
            summaries = [summary for summary in summaries if wanted in listing.list_text(summary)]
        source = arguments.get("source")
        if source:
            summaries = [summary for summary in summaries if listing.of_source(summary, source)]
        sort, ended = arguments.get("sort", "saved"), arguments.get("outcome")
        if sort not in TRACE_SORTS:
            raise ApiError(400, f"sort by {', '.join(TRACE_SORTS)}, not {sort!r}")
        if ended not in (None, "", "failed", "ok"):
            raise ApiError(400, f"outcome is failed or ok, not {ended!r}")
        outcomes = self.outcomes.of(summaries) if ended or sort in _BY_ENDING else {}
        if ended:
            summaries = [summary for summary in summaries if outcomes[summary.trace_id].failed == (ended == "failed")]
        if sort != "saved" or arguments.get("order") == "asc":
            key = TRACE_SORTS[sort]
            summaries.sort(key=lambda summary: key(summary, outcomes.get(summary.trace_id)),
                           reverse=arguments.get("order", "desc") != "asc")
        offset = _number(arguments.get("offset", "0"), "offset")
        limit = min(_number(arguments.get("limit", str(PAGE)), "limit"), MAX_PAGE)
        page = summaries[offset : offset + limit]
        outcomes = {**outcomes, **self.outcomes.of([s for s in page if s.trace_id not in outcomes])}
        sources = {listing.SOURCE_NAMES.get(summary.source or "", summary.source or "?") for summary in listed}
        return {"total": len(summaries), "of": len(listed), "offset": offset, "sources": sorted(sources),
                "traces": [_trace_json(summary, outcomes[summary.trace_id]) for summary in page]}

    def trace(self, trace_id: str, raw_times: bool) -> dict:
        summary = self.trace_store.trace_summary(trace_id)
        outcome = self.outcomes.of([summary])[trace_id]

        def facts_of(found: index.TraceIndex) -> tuple:
            failure = found.last_raised() if outcome.failed else None
            return found.summary(), found.progress, failure and {"node": failure, "ancestors": found.ancestors(failure)}

        facts, progress, failure = self._with_index(trace_id, facts_of, raw_times)
        return {"trace": _trace_json(summary, outcome), "summary": facts, "failure": failure,
                "indexing": progress.json() if progress is not None else None}

    def children(self, found: index.TraceIndex, arguments: dict) -> dict:
        if "frame" in arguments:
            call = found.call_with_frame_id(arguments["frame"])
            if call is None:
                raise ApiError(404, f"no recorded call {arguments['frame']!r} in this trace")
            parent = call["node"]
        elif "node" in arguments:
            parent = _number(arguments["node"], "node")
        else:
            thread = _number(arguments.get("thread", "1"), "thread")
            if not found.thread_exists(thread):
                raise ApiError(404, f"no thread {thread} in this trace")
            parent = -thread
        offset = _number(arguments.get("offset", "0"), "offset")
        limit = min(_number(arguments.get("limit", str(PAGE)), "limit"), MAX_PAGE)
        return {"parent": parent, "offset": offset, "total": found.child_count(parent),
                "nodes": found.children(parent, offset, limit)}

    def node(self, found: index.TraceIndex, number: int) -> dict:
        node = found.node(number)
        if node is None:
            raise ApiError(404, f"no node {number} in this trace")
        return {"node": node, "ancestors": found.ancestors(node), **found.full_values(node)}

    def search(self, found: index.TraceIndex, arguments: dict) -> dict:
        wanted = arguments.get("q", "").strip()
        if not wanted:
            raise ApiError(400, "search for what? (q=TEXT)")
        limit = min(_number(arguments.get("limit", str(SEARCH_LIMIT)), "limit"), MAX_PAGE)
        matches, more = found.search(wanted, limit)
        return {"query": wanted, "more": more,
                "matches": [{"node": match, "ancestors": found.ancestors(match)} for match in matches]}

    def timeline(self, found: index.TraceIndex, arguments: dict) -> dict:
        track = _track(arguments, ("task", "thread"))
        start, end = _seconds(arguments.get("start")), _seconds(arguments.get("end"))
        if start is None or end is None:  # the span of the track's own calls, on their clock
            first, last = found.track_span(track, found.summary()["last_timestamp"])
            start = first if start is None else start
            end = last if end is None else end
        if start is None or end is None:
            return {"start": None, "end": None, "calls": []}
        width = max(1, _number(arguments.get("width", "1000"), "width"))
        # Calls shorter than a pixel would not show.
        calls = found.timeline(track, start, end, (end - start) / width, TIMELINE_CALLS)
        return {"start": start, "end": end, "calls": calls, "more": len(calls) == TIMELINE_CALLS}

    def flame(self, found: index.TraceIndex, arguments: dict) -> dict:
        track = _track(arguments, ("node", "task", "thread"))
        cells = found.flame(track, FLAME_CELLS)
        stacks = {cell[0] for cell in cells}
        shown = []
        for cell in cells:
            if cell[1] not in stacks:
                if track[0] == "thread" and cell[1] != 0:
                    continue  # under a call path too cheap to be among them
                cell[1] = 0
            shown.append(cell)
        return {"track": {"kind": track[0], "number": track[1]}, "cells": shown, "more": len(cells) == FLAME_CELLS}

    def functions(self, found: index.TraceIndex, arguments: dict) -> dict:
        order = arguments.get("sort", "total")
        if order not in FUNCTION_SORTS:
            raise ApiError(400, f"sort by {', '.join(FUNCTION_SORTS)}, not {order!r}")
        limit = min(_number(arguments.get("limit", str(PAGE)), "limit"), MAX_PAGE)
        total, rows = found.function_table(arguments.get("q", "").strip(), order, limit)
        return {"total": total, "sort": order, "functions": rows}

    def compare(self, first: str, second: str, arguments: dict) -> dict:
        ids = [self._trace_id(first), self._trace_id(second)]
        indexes = []
        try:
            for trace_id in ids:
                indexes.append(self._index(trace_id))
                indexes[-1].raw_times = arguments.get("raw") == "1"
                if indexes[-1].progress is not None:  # a part of a trace would differ from the whole
                    raise Indexing(indexes[-1].progress)
            offset = _number(arguments["offset"], "offset") if "offset" in arguments else None
            limit = min(_number(arguments.get("limit", str(PAGE)), "limit"), MAX_PAGE)
            compared = compare.compare(indexes[0], indexes[1], offset, limit)
        finally:
            for opened in indexes:
                opened.close()
        summaries = [self.trace_store.trace_summary(trace_id) for trace_id in ids]
        outcomes = self.outcomes.of(summaries)
        return {"traces": [_trace_json(summary, outcomes[summary.trace_id]) for summary in summaries], **compared}


# Node numbers, offsets and limits all fit SQLite's integers; a longer one is no number of ours.
_LONGEST_NUMBER = 18


def _number(value: str, name: str) -> int:
    """A count or number from the query: digits only (int() takes signs, spaces, underscores and
    other scripts' digits too)."""
    if not (value.isascii() and value.isdigit() and len(value) <= _LONGEST_NUMBER):
        raise ApiError(400, f"{name} must be a whole number from 0, not {value[:40]!r}")
    return int(value)


def _track(arguments: dict, kinds: tuple[str, ...]) -> tuple[str, int]:
    """Which calls are asked for: the first of `kinds` the arguments name, else the first thread."""
    for kind in kinds:
        if kind in arguments:
            return kind, _number(arguments[kind], kind)
    return "thread", 1


def _seconds(value: str | None) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except ValueError:
        raise ApiError(400, f"not a time: {value!r}") from None


def _trace_json(summary: storage.TraceSummary, outcome) -> dict:
    seconds = listing.seconds_of(summary, outcome)
    return {
        "trace_id": summary.trace_id,
        "source": summary.source,
        "label": summary.label or " ".join(summary.command_line),
        "saved_at": summary.saved_at,
        "started_at": summary.started_at,
        "outcome": outcome.text,
        "failed": outcome.failed,
        "seconds": seconds,
        "frame_count": summary.frame_count,
        "plugin_count": summary.plugin_count,
        "document_count": summary.document_count,
        "size": summary.size,
        "calls_left_out": summary.calls_left_out,
        "records_dropped": summary.records_dropped,
        "recording_stopped": summary.recording_stopped,
        "parent_trace_id": summary.parent_trace_id,
    }
