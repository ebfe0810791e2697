"""Reading traces as a person: the call tree of `vesk show`, and the JSON and Chrome exports.

Frame records come in call/return pairs that share a frame id; plugin records sit between them in
the order they were filed. A trace's documents are read in the order they were saved and their
records grouped by thread, so a tree is simply a stack walk over each thread's records.
"""

from __future__ import annotations

import datetime
import json
import math
from dataclasses import dataclass, field
from typing import Any, Iterator

from msgpack import ExtType

from vesk import db
from vesk.serialize import Marker, ObjectRepr

STANDARD_FIELDS = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype")


@dataclass
class Node:
    call: dict | None = None
    ret: dict | None = None
    children: list[Node | dict] = field(default_factory=list)

    @property
    def record(self) -> dict:
        return self.call if self.call is not None else self.ret

    @property
    def duration(self) -> float | None:
        if self.call is None or self.ret is None:
            return None
        start, end = self.call.get("timestamp"), self.ret.get("timestamp")
        if isinstance(start, (int, float)) and isinstance(end, (int, float)):
            return end - start
        return None


@dataclass
class ThreadTree:
    name: str
    native_id: int | None
    roots: list[Node | dict] = field(default_factory=list)
    record_count: int = 0


def _thread_key(record: dict) -> tuple[str, int | None]:
    return str(record.get("thread", "?")), record.get("thread_native_id")


def build_trees(documents: list[dict]) -> list[ThreadTree]:
    """One call tree per thread; the main thread first, then the others as they first appear."""
    threads: dict[tuple[str, int | None], ThreadTree] = {}
    stacks: dict[tuple[str, int | None], list[Node]] = {}
    main_ids = {doc.get("main_thread_id") for doc in documents}
    for document in documents:
        for record in db.records(document):
            if not isinstance(record, dict):
                continue
            key = _thread_key(record)
            tree = threads.get(key)
            if tree is None:
                tree = threads[key] = ThreadTree(key[0], key[1])
                stacks[key] = []
            tree.record_count += 1
            stack = stacks[key]
            siblings = stack[-1].children if stack else tree.roots
            if record.get("type") != "frame":
                siblings.append(record)
            elif record.get("event") == "call":
                node = Node(call=record)
                siblings.append(node)
                stack.append(node)
            else:
                _close(stack, record, siblings)
    return sorted(
        threads.values(),
        key=lambda t: (t.native_id not in main_ids and t.name != "MainThread"),
    )


def _close(stack: list[Node], record: dict, siblings: list) -> None:
    frame_id = record.get("frame_id")
    for depth in range(len(stack) - 1, -1, -1):
        if frame_id is not None and stack[depth].call.get("frame_id") == frame_id:
            stack[depth].ret = record
            del stack[depth:]
            return
    # A return whose call was not recorded (recording started inside the function).
    siblings.append(Node(ret=record))


# --- short forms of values ------------------------------------------------------------------------


def short(value: Any, limit: int = 60) -> str:
    text = _short(value, 3)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _short(value: Any, depth: int) -> str:
    if isinstance(value, (ObjectRepr, Marker)):
        return str(value)
    if isinstance(value, (str, bytes)):
        return repr(value[:80]) + ("…" if len(value) > 80 else "")
    if isinstance(value, list):
        if depth == 0:
            return f"[…{len(value)}]"
        inner = ", ".join(_short(item, depth - 1) for item in value[:6])
        return f"[{inner}{', …' if len(value) > 6 else ''}]"
    if isinstance(value, dict):
        if depth == 0:
            return f"{{…{len(value)}}}"
        items = list(value.items())
        inner = ", ".join(f"{_short(k, 0)}: {_short(v, depth - 1)}" for k, v in items[:6])
        return f"{{{inner}{', …' if len(items) > 6 else ''}}}"
    if isinstance(value, ExtType):
        return f"<ext {value.code}>"
    return repr(value)


def _arguments(call: dict) -> str:
    if call.get("co_name") == "<module>":
        return ""
    values = call.get("locals")
    if not isinstance(values, dict):
        return short(values)
    parts = [f"{name}={short(value, 40)}" for name, value in values.items() if name not in ("self", "cls")]
    return ", ".join(parts)


def _milliseconds(seconds: float | None) -> str:
    if seconds is None:
        return ""
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1000:.3f} ms"


def describe_plugin_record(record: dict) -> str:
    kind = record.get("type")
    extra = {k: v for k, v in record.items() if k not in STANDARD_FIELDS}
    duration = extra.get("duration_ms")
    took = f" ({duration} ms)" if isinstance(duration, (int, float)) else ""
    if kind == "start_test":
        return f"▶ test {extra.get('test')}"
    if kind == "end_test":
        return f"■ test {extra.get('test')}: {extra.get('outcome')}{took}"
    if kind == "request_start":
        query = extra.get("query")
        return f"→ request {extra.get('method')} {extra.get('path')}{'?' + query if query else ''}"
    if kind == "request_end":
        return f"← response {extra.get('status')} to {extra.get('method')} {extra.get('path')}{took}"
    if kind == "http_request":
        return f"http {extra.get('method')} {extra.get('url')}"
    if kind == "http_response":
        status = extra.get("status") if not extra.get("error") else "failed"
        return f"http {extra.get('method')} {extra.get('url')} → {status}{took}"
    if kind == "sql_query":
        params = extra.get("params")
        shown = f"  {short(params, 60)}" if params not in (None, [], ()) else ""
        return f"sql[{record.get('subtype', '?')}] {short_text(extra.get('sql'), 100)}{shown}"
    if kind == "sql_result":
        return f"sql[{record.get('subtype', '?')}] done{took}"
    if kind == "log":
        return f"log {extra.get('level')} {extra.get('logger')}: {short_text(extra.get('message'), 100)}"
    if kind == "program_exit":
        exception = extra.get("exception")
        return f"exit status {extra.get('status')}" + (f" ({short(exception, 80)})" if exception else "")
    fields = " ".join(f"{k}={short(v, 40)}" for k, v in extra.items())
    return f"{kind} {fields}".rstrip()


def short_text(value: Any, limit: int) -> str:
    text = " ".join(str(value).split()) if value is not None else ""
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _node_line(node: Node) -> str:
    record = node.record
    name = record.get("qualname") or record.get("co_name") or "?"
    if node.call is None:
        head = f"{name}(…)"
    else:
        head = f"{name}({_arguments(node.call)})"
    if node.ret is not None:
        head += f" → {short(node.ret.get('arg'), 50)}"
    elif node.call is not None:
        head += " (no return recorded)"
    where = str((node.call if node.call is not None else record).get("path") or "")
    if where.endswith(":0"):
        where = where[:-2]  # a module's code is "called" before its first line
    took = _milliseconds(node.duration)
    return "  ".join(part for part in (head, where, took) if part)


def _timestamp_text(seconds: float | None) -> str:
    if not isinstance(seconds, (int, float)):
        return "?"
    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def render(trace: db.Trace, max_depth: int | None = None) -> Iterator[str]:
    summary = trace.summary
    what = summary.label or " ".join(summary.command_line)
    yield f"trace {summary.trace_id}  {summary.source or '?'}  {_timestamp_text(summary.started_at)}  {what}"
    yield (
        f"{summary.frame_count} frame records, {summary.plugin_count} plugin records"
        f"{f', {summary.document_count} documents' if summary.document_count > 1 else ''}"
    )
    trees = build_trees(trace.documents)
    if not trees:
        yield "(no records)"
    for tree in trees:
        yield ""
        native = f" ({tree.native_id})" if tree.native_id is not None else ""
        yield f"thread {tree.name}{native}"
        yield from _render_children(tree.roots, 1, max_depth)


def _render_children(children: list, depth: int, max_depth: int | None) -> Iterator[str]:
    indent = "  " * depth
    for child in children:
        if isinstance(child, Node):
            yield indent + _node_line(child)
            if child.children:
                if max_depth is not None and depth >= max_depth:
                    hidden = _count(child.children)
                    yield indent + f"  … {hidden} more record{'' if hidden == 1 else 's'}"
                else:
                    yield from _render_children(child.children, depth + 1, max_depth)
        else:
            yield indent + "• " + describe_plugin_record(child)


def _count(children: list) -> int:
    return sum(1 + (_count(c.children) if isinstance(c, Node) else 0) for c in children)


# --- exports --------------------------------------------------------------------------------------


def _jsonable(value: Any) -> Any:
    if isinstance(value, dict):
        return {(k if isinstance(k, str) else _key_text(k)): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)) and not isinstance(value, ExtType):
        return [_jsonable(item) for item in value]
    if isinstance(value, bytes):
        return repr(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, ExtType):
        return f"<ext {value.code}: {value.data!r}>"
    return value


def _key_text(key: Any) -> str:
    if isinstance(key, bytes):
        return repr(key)
    if key is None or isinstance(key, bool):
        return json.dumps(key)
    return str(key)


def export_json(trace: db.Trace) -> str:
    summary = trace.summary
    return json.dumps(
        {
            "trace_id": summary.trace_id,
            "source": summary.source,
            "label": summary.label,
            "frame_count": summary.frame_count,
            "plugin_count": summary.plugin_count,
            "documents": _jsonable(trace.documents),
        },
        indent=1,
        ensure_ascii=False,
    )


def export_chrome(trace: db.Trace) -> str:
    """Chrome trace-event JSON: complete events for calls, instant events for plugin records."""
    events: list[dict] = []
    trees = build_trees(trace.documents)
    last = _last_timestamp(trace.documents)
    for index, tree in enumerate(trees):
        tid = tree.native_id if tree.native_id is not None else index + 1
        events.append({"ph": "M", "name": "thread_name", "pid": 1, "tid": tid, "args": {"name": tree.name}})
        _chrome_events(tree.roots, tid, last, events)
    events.sort(key=lambda e: e.get("ts", 0))
    document = {
        "traceEvents": events,
        "displayTimeUnit": "ms",
        "otherData": {"trace_id": trace.summary.trace_id, "source": trace.summary.source},
    }
    return json.dumps(document, ensure_ascii=False)


def _last_timestamp(documents: list[dict]) -> float:
    latest = 0.0
    for document in documents:
        for record in db.records(document):
            if isinstance(record, dict) and isinstance(record.get("timestamp"), (int, float)):
                latest = max(latest, record["timestamp"])
    return latest


def _chrome_events(children: list, tid: int, last: float, events: list[dict]) -> None:
    for child in children:
        if isinstance(child, Node):
            record = child.record
            start = record.get("timestamp") or 0.0
            end = child.ret.get("timestamp") if child.ret is not None else last
            args: dict[str, Any] = {"path": record.get("path")}
            if child.call is not None:
                args["args"] = _arguments(child.call)
            if child.ret is not None:
                args["return"] = short(child.ret.get("arg"), 200)
            events.append(
                {
                    "ph": "X",
                    "name": record.get("qualname") or record.get("co_name") or "?",
                    "cat": "python",
                    "ts": start * 1e6,
                    "dur": max(0.0, (end or start) - start) * 1e6,
                    "pid": 1,
                    "tid": tid,
                    "args": args,
                }
            )
            _chrome_events(child.children, tid, last, events)
        else:
            events.append(
                {
                    "ph": "i",
                    "s": "t",
                    "name": str(child.get("type")),
                    "cat": "plugin",
                    "ts": (child.get("timestamp") or 0.0) * 1e6,
                    "pid": 1,
                    "tid": tid,
                    "args": {"description": describe_plugin_record(child)},
                }
            )
