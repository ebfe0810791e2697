"""`vesk export --format otlp`: a trace as OpenTelemetry spans, for tracing backends.

Every recorded call is a span (kind internal) under its caller's, with its arguments and return
value as attributes, shown as the viewer shows them from what the trace stores (secrets redacted
when they were recorded). SQL queries and outbound HTTP requests are client spans, tests and web
requests root spans (server spans for requests), each with the semantic-convention attributes. A
test or request starts an OTLP trace of its own, as a backend expects of one unit of work; calls
outside any are in the trace named after the vesk trace.

Spans are written as they close, in batches: OTLP/JSON as one request, protobuf as one request per
batch (concatenated, they decode as one request), or posted to an OTLP/HTTP endpoint one batch a
request, so memory stays bounded by a batch and the depth of the program.
"""

from __future__ import annotations

import hashlib
import json
import re
from typing import Callable

from vesk import storage, utils
from vesk.reading import text
from vesk.reading.records import RECORDING_NOTES, RecordStream
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, TaskSteps, ThreadWalk
from vesk.version import __version__

BATCH = 2048  # spans per protobuf request
VALUE_LIMIT = 1000  # characters of an argument or return value shown in an attribute

KIND_INTERNAL, KIND_SERVER, KIND_CLIENT = 1, 2, 3
STATUS_UNSET, STATUS_ERROR = 0, 2


class Span:
    __slots__ = ("trace_id", "span_id", "parent_id", "name", "kind", "start", "end", "attributes", "error")

    def __init__(self, context: tuple[bytes, bytes], parent_id: bytes | None, name: str, kind: int, start: object):
        self.trace_id, self.span_id = context
        self.parent_id = parent_id
        self.name = name
        self.kind = kind
        self.start = _nanoseconds(start)
        self.end = self.start
        self.attributes: dict[str, object] = {}
        self.error: str | None = None  # the status message of a span that failed

    def close(self, end: object) -> None:
        self.end = max(self.start, _nanoseconds(end, self.start))


def _nanoseconds(seconds: object, default: int = 0) -> int:
    return int(seconds * 1e9) if isinstance(seconds, (int, float)) and seconds >= 0 else default


class _Ids:
    """Span and trace ids made from the vesk trace id and a count: the same export every time."""

    def __init__(self, trace_id: str) -> None:
        self.seed = trace_id.encode()
        self.count = 0
        self.trace = self.make(16)

    def make(self, size: int) -> bytes:
        self.count += 1
        return hashlib.blake2b(self.seed + self.count.to_bytes(8, "little"), digest_size=size).digest()

    def child(self, parent: tuple[bytes, bytes] | None) -> tuple[bytes, bytes]:
        return (parent[0] if parent else self.trace), self.make(8)

    def root(self) -> tuple[bytes, bytes]:
        return self.make(16), self.make(8)


def _code_attributes(record: dict) -> dict[str, object]:
    path, _, line = str(record.get("path") or "").rpartition(":")
    found: dict[str, object] = {"code.function.name": text.function_name(record)}
    if path:
        found["code.file.path"] = path
    if line.isdecimal():
        found["code.line.number"] = int(line)
    return found


_FIRST_WORD = re.compile(r"\s*([A-Za-z]+)")


class _Thread(ThreadWalk):
    """One thread's (or asyncio task's) records as spans, each emitted once it ends."""

    def __init__(self, name: str, native_id: int | None, ids: _Ids, emit: Callable[[Span], None]) -> None:
        super().__init__(Selection())
        self.ids = ids
        self.emit = emit
        self.thread = {"thread.name": name} | ({"thread.id": native_id} if native_id is not None else {})
        self.open: list[Span] = []  # calls and boundaries still open, the innermost last
        self.pending: dict[str, Span] = {}  # a query or HTTP request waiting for its result
        self.last: object = 0.0

    def _span(self, name: str, kind: int, start: object, *, root: bool = False) -> Span:
        parent = self.open[-1] if self.open else None
        context = self.ids.root() if root else self.ids.child(parent and (parent.trace_id, parent.span_id))
        span = Span(context, None if root or parent is None else parent.span_id, name, kind, start)
        span.attributes.update(self.thread)
        return span

    def _end(self, span: Span, end: object) -> None:
        span.close(end)
        if span in self.open:
            del self.open[len(self.open) - 1 - self.open[::-1].index(span)]
        self.emit(span)

    def opened(self, entry: Open) -> None:
        call, entry.call = entry.call, None
        span = self._span(text.function_name(call), KIND_INTERNAL, entry.start)
        span.attributes.update(_code_attributes(call))
        values = call.get("locals")
        if isinstance(values, dict) and call.get("co_name") != "<module>":
            for name, value in values.items():
                if name not in ("self", "cls") and not text.is_compiler_made(name):
                    name = name if isinstance(name, str) else text.key_text(name)
                    span.attributes[f"vesk.argument.{name}"] = text.short(value, VALUE_LIMIT)
        self.open.append(span)
        entry.state = span

    def closed(self, entry: Open, ret: dict | None) -> None:
        span = entry.state
        end_record = ret if ret is not None else self.closing
        if ret is not None:
            span.attributes["vesk.return_value"] = text.returned(ret, VALUE_LIMIT)
            if text.raised(ret):
                exception = text.exception_of(ret)
                span.error = text.exception_text(exception, VALUE_LIMIT) if exception else "raised"
        self._end(span, end_record.get("timestamp") if end_record is not None else self.last)

    def orphan(self, ret: dict, depth: int | None) -> None:
        span = self._span(text.function_name(ret), KIND_INTERNAL, ret.get("timestamp"))
        span.attributes.update(_code_attributes(ret))
        span.attributes["vesk.return_value"] = text.returned(ret, VALUE_LIMIT)
        self._end(span, ret.get("timestamp"))

    def other(self, record: dict, depth: int | None) -> None:
        kind, at = record.get("type"), record.get("timestamp")
        if kind in ("start_test", "request_start"):
            self._begin_boundary(kind, record)
        elif kind in ("end_test", "request_end"):
            self._end_boundary(kind, record)
        elif kind in ("sql_query", "http_request"):
            self._begin_client(kind, record)
        elif kind in ("sql_result", "http_response"):
            span = self.pending.pop("sql" if kind == "sql_result" else "http", None)
            if span is not None:
                if kind == "http_response":
                    _http_response(span, record)
                self._end(span, at)

    def _begin_boundary(self, kind: str, record: dict) -> None:
        if kind == "start_test":
            span = self._span(f"test {record.get('test')}", KIND_INTERNAL, record.get("timestamp"), root=True)
            span.attributes["test.case.name"] = str(record.get("test"))
        else:
            method, path, query = record.get("method"), record.get("path"), record.get("query")
            span = self._span(f"{method} {path}", KIND_SERVER, record.get("timestamp"), root=True)
            span.attributes.update({"http.request.method": str(method), "url.path": str(path)})
            if query:
                span.attributes["url.query"] = str(query)
        self.pending[kind] = span
        self.open.append(span)

    def _end_boundary(self, kind: str, record: dict) -> None:
        span = self.pending.pop("start_test" if kind == "end_test" else "request_start", None)
        if span is None:
            return
        if kind == "end_test":
            outcome = record.get("outcome")
            span.attributes["test.case.result.status"] = "pass" if outcome in ("passed", "skipped") else "fail"
            if outcome not in ("passed", "skipped"):
                span.error = f"test {outcome}"
        else:
            status = record.get("status")
            if isinstance(status, int):
                span.attributes["http.response.status_code"] = status
                if status >= 500:
                    span.error = f"HTTP {status}"
                    span.attributes["error.type"] = str(status)
        self._end(span, record.get("timestamp"))

    def _begin_client(self, kind: str, record: dict) -> None:
        if kind == "sql_query":
            sql = str(record.get("sql"))
            word = _FIRST_WORD.match(sql)
            operation = word.group(1).upper() if word else None
            span = self._span(operation or "SQL", KIND_CLIENT, record.get("timestamp"))
            span.attributes["db.query.text"] = sql
            if operation:
                span.attributes["db.operation.name"] = operation
            if record.get("subtype"):
                span.attributes["db.client.library"] = str(record["subtype"])
            params = record.get("params")
            if isinstance(params, dict):
                params = params.items()
            elif isinstance(params, (list, tuple)):
                params = enumerate(params)
            for key, value in params or ():
                span.attributes[f"db.query.parameter.{key}"] = text.short(value, VALUE_LIMIT)
            key = "sql"
        else:
            method = str(record.get("method"))
            span = self._span(method, KIND_CLIENT, record.get("timestamp"))
            span.attributes.update({"http.request.method": method, "url.full": str(record.get("url"))})
            key = "http"
        previous = self.pending.pop(key, None)
        if previous is not None:  # never given its result: it ends where the next one starts
            self._end(previous, record.get("timestamp"))
        self.pending[key] = span

    def finish(self) -> None:
        super().finish()
        for span in list(self.pending.values()):  # never ended: they end with the trace
            self._end(span, self.last)
        self.pending.clear()


def _http_response(span: Span, record: dict) -> None:
    status = record.get("status")
    if isinstance(status, int):
        span.attributes["http.response.status_code"] = status
        if status >= 400:
            span.error, span.attributes["error.type"] = f"HTTP {status}", str(status)
    if record.get("error"):
        span.error, span.attributes["error.type"] = "no response", "no_response"


def spans(stream: RecordStream, summary: storage.TraceSummary, emit: Callable[[Span], None]) -> None:
    """Emits every span of the trace, each as it ends."""
    ids = _Ids(summary.trace_id)
    threads: dict[tuple, _Thread] = {}
    steps = TaskSteps()
    last = 0.0
    for _, _, record in stream.records():
        if not isinstance(record, dict) or record.get("type") in RECORDING_NOTES:
            continue
        timestamp = record.get("timestamp")
        if isinstance(timestamp, (int, float)) and timestamp > last:
            last = timestamp
        key = steps.key(record) if record.get("type") not in TRACE_RECORDS else None
        if key is None:
            continue
        thread = threads.get(key)
        if thread is None:
            name = key[2] if len(key) > 2 else key[0]
            thread = threads[key] = _Thread(name, key[1], ids, emit)
        thread.feed(record)
    for thread in threads.values():
        thread.last = last
        thread.finish()


def resource_attributes(summary: storage.TraceSummary) -> dict[str, object]:
    found: dict[str, object] = {
        "service.name": summary.command_line[0] if summary.command_line else "vesk",
        "vesk.trace_id": summary.trace_id,
    }
    for key, value in (("vesk.source", summary.source), ("vesk.label", summary.label),
                       ("host.name", summary.machine), ("cicd.pipeline.run.id", summary.ci_job)):
        if value:
            found[key] = value
    return found


# --- OTLP/JSON ------------------------------------------------------------------------------------


def _json_value(value: object) -> dict:
    if isinstance(value, bool):
        return {"boolValue": value}
    if isinstance(value, int):
        return {"intValue": str(value)}
    if isinstance(value, float):
        return {"doubleValue": value}
    return {"stringValue": str(value)}


def _json_attributes(attributes: dict[str, object]) -> list[dict]:
    return [{"key": key, "value": _json_value(value)} for key, value in attributes.items()]


def span_json(span: Span) -> dict:
    found = {"traceId": span.trace_id.hex(), "spanId": span.span_id.hex()}
    if span.parent_id:
        found["parentSpanId"] = span.parent_id.hex()
    found.update(name=span.name, kind=span.kind, startTimeUnixNano=str(span.start), endTimeUnixNano=str(span.end),
                 attributes=_json_attributes(span.attributes))
    found["status"] = {"code": STATUS_ERROR, "message": span.error} if span.error else {}
    return found


def export_json(stream: RecordStream, summary: storage.TraceSummary, out) -> None:
    """One OTLP/JSON export request, spans written one at a time."""
    head = {"resource": {"attributes": _json_attributes(resource_attributes(summary))},
            "scopeSpans": [{"scope": {"name": "vesk", "version": __version__}, "spans": []}]}
    opening = json.dumps({"resourceSpans": [head]}, ensure_ascii=False)
    closing = "]}]}]}"
    out.write(opening[: -len(closing)])
    separator = "\n"

    def emit(span: Span) -> None:
        nonlocal separator
        out.write(separator + json.dumps(span_json(span), ensure_ascii=False, allow_nan=False, default=str))
        separator = ",\n"

    spans(stream, summary, emit)
    out.write("\n" + closing + "\n")


# --- protobuf -------------------------------------------------------------------------------------


def _proto():
    try:
        from opentelemetry.proto.collector.trace.v1 import trace_service_pb2
        from opentelemetry.proto.common.v1 import common_pb2
        from opentelemetry.proto.trace.v1 import trace_pb2
    except ImportError:
        raise utils.VeskError("OTLP protobuf needs opentelemetry-proto: pip install 'vesk[otlp]'") from None
    return trace_service_pb2, common_pb2, trace_pb2


def _proto_attributes(common_pb2, attributes: dict[str, object]) -> list:
    found = []
    for key, value in attributes.items():
        if isinstance(value, bool):
            any_value = common_pb2.AnyValue(bool_value=value)
        elif isinstance(value, int) and -(1 << 63) <= value < 1 << 63:
            any_value = common_pb2.AnyValue(int_value=value)
        elif isinstance(value, float):
            any_value = common_pb2.AnyValue(double_value=value)
        else:
            any_value = common_pb2.AnyValue(string_value=str(value))
        found.append(common_pb2.KeyValue(key=key, value=any_value))
    return found


def export_batches(stream: RecordStream, summary: storage.TraceSummary, send: Callable[[bytes], None]) -> None:
    """The spans as serialized ExportTraceServiceRequest messages of up to BATCH spans each, handed to `send`."""
    trace_service_pb2, common_pb2, trace_pb2 = _proto()
    from opentelemetry.proto.resource.v1 import resource_pb2

    resource = resource_pb2.Resource(attributes=_proto_attributes(common_pb2, resource_attributes(summary)))
    scope = common_pb2.InstrumentationScope(name="vesk", version=__version__)
    batch: list = []

    def flush() -> None:
        request = trace_service_pb2.ExportTraceServiceRequest(resource_spans=[trace_pb2.ResourceSpans(
            resource=resource, scope_spans=[trace_pb2.ScopeSpans(scope=scope, spans=batch)])])
        send(request.SerializeToString())
        batch.clear()

    def emit(span: Span) -> None:
        status = trace_pb2.Status(code=STATUS_ERROR, message=span.error) if span.error else trace_pb2.Status()
        batch.append(trace_pb2.Span(
            trace_id=span.trace_id, span_id=span.span_id, parent_span_id=span.parent_id or b"", name=span.name,
            kind=span.kind, start_time_unix_nano=span.start, end_time_unix_nano=span.end,
            attributes=_proto_attributes(common_pb2, span.attributes), status=status,
        ))
        if len(batch) >= BATCH:
            flush()

    spans(stream, summary, emit)
    if batch:
        flush()


def export_protobuf(stream: RecordStream, summary: storage.TraceSummary, out) -> None:
    export_batches(stream, summary, out.write)


def post(stream: RecordStream, summary: storage.TraceSummary, endpoint: str) -> int:
    """Posts the spans to an OTLP/HTTP endpoint (`http://host:4318`, or its full /v1/traces URL), a
    batch a request; the number of requests."""
    import urllib.error
    import urllib.request

    url = endpoint if endpoint.rstrip("/").endswith("/v1/traces") else endpoint.rstrip("/") + "/v1/traces"
    if not url.startswith(("http://", "https://")):
        raise utils.VeskError(f"not an OTLP/HTTP endpoint: {endpoint!r} (e.g. http://127.0.0.1:4318)")
    sent = 0

    def send(body: bytes) -> None:
        nonlocal sent
        request = urllib.request.Request(url, data=body, method="POST",
                                         headers={"Content-Type": "application/x-protobuf"})
        try:
            with urllib.request.urlopen(request, timeout=30) as response:
                response.read()
        except urllib.error.HTTPError as exc:
            raise utils.VeskError(f"{url} refused the spans: HTTP {exc.code} {exc.reason}") from None
        except (urllib.error.URLError, OSError) as exc:
            reason = getattr(exc, "reason", exc)
            raise utils.VeskError(f"cannot send the spans to {url}: {reason}") from None
        sent += 1

    export_batches(stream, summary, send)
    return sent
