"""The JSON API the pages use; every answer is a (status, JSON-ready value) pair.

    /api/traces?q=TEXT&offset=N&limit=N          traces, newest first, with how each ended
    /api/trace/ID                                its summary, with how far indexing has come while
                                                 it goes on (202 until its first document is in)
    /api/trace/ID/children?thread=N&node=N|frame=FRAME_ID&offset=N&limit=N
                                                 a page of a call's children (a thread's top level
                                                 without node or frame)
    /api/trace/ID/node/N                         one node with its ancestors and its records decoded whole
    /api/trace/ID/search?q=TEXT&limit=N          matching nodes, each with its ancestors
    /api/trace/ID/sql                            SQL queries grouped by shape, with their calls
    /api/trace/ID/timeline?thread=N|task=N&start=T&end=T&width=PIXELS
                                                 [node, depth, start, end, function] of the calls
                                                 of a thread or an asyncio task at least a pixel
                                                 long in that span, longest first

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
from vesk.serve.listing import Outcomes

PAGE = 200
MAX_PAGE = 1000
SEARCH_LIMIT = 100
QUERIES_PER_GROUP = 50
TIMELINE_CALLS = 4000


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
        wanted = arguments.get("q", "").lower()
        if wanted:
            summaries = [summary for summary in summaries if wanted in _list_text(summary)]
        offset = _number(arguments.get("offset", "0"), "offset")
        limit = min(_number(arguments.get("limit", str(PAGE)), "limit"), MAX_PAGE)
        page = summaries[offset : offset + limit]
        outcomes = self.outcomes.of(page)
        return {"total": len(summaries), "offset": offset,
                "traces": [_trace_json(summary, outcomes[summary.trace_id]) for summary in page]}

    def trace(self, trace_id: str, raw_times: bool) -> dict:
        summary = self.trace_store.trace_summary(trace_id)
        facts, progress = self._with_index(trace_id, lambda found: (found.summary(), found.progress), raw_times)
        outcome = self.outcomes.of([summary])[trace_id]
        return {"trace": _trace_json(summary, outcome), "summary": facts,
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
        if "task" in arguments:
            track = ("task", _number(arguments["task"], "task"))
        else:
            track = ("thread", _number(arguments.get("thread", "1"), "thread"))
        start, end = _seconds(arguments.get("start")), _seconds(arguments.get("end"))
        if start is None or end is None:
            facts = found.summary()
            start = facts["first_timestamp"] if start is None else start
            end = facts["last_timestamp"] if end is None else end
        if start is None or end is None:
            return {"start": None, "end": None, "calls": []}
        width = max(1, _number(arguments.get("width", "1000"), "width"))
        # Calls shorter than a pixel would not show.
        calls = found.timeline(track, start, end, (end - start) / width, TIMELINE_CALLS)
        return {"start": start, "end": end, "calls": calls, "more": len(calls) == TIMELINE_CALLS}

    def compare(self, first: str, second: str, arguments: dict) -> dict:
        ids = [self._trace_id(first), self._trace_id(second)]
        indexes = []
        try:
            for trace_id in ids:
                indexes.append(self._index(trace_id))
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


def _number(value: str, name: str) -> int:
    try:
        return int(value)
    except ValueError:
        raise ApiError(400, f"{name} must be a whole number, not {value!r}") from None


def _seconds(value: str | None) -> float | None:
    if value is None:
        return None
    try:
        return float(value)
    except ValueError:
        raise ApiError(400, f"not a time: {value!r}") from None


def _list_text(summary: storage.TraceSummary) -> str:
    return " ".join((summary.trace_id, summary.source or "", summary.label or "", *summary.command_line)).lower()


def _trace_json(summary: storage.TraceSummary, outcome) -> dict:
    seconds = outcome.seconds
    if seconds is None and summary.started_at is not None:
        seconds = summary.saved_at - summary.started_at
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
