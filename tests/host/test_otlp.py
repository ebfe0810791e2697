"""`vesk export --format otlp|otlp-protobuf` and `--otlp-endpoint`: the spans a trace makes, read back
with the official OpenTelemetry protobuf classes, and posted to a small OTLP/HTTP receiver."""

from __future__ import annotations

import http.server
import json
import threading

import msgpack
import pytest
from host_support import needs_engine

from vesk.storage import open_store

trace_service_pb2 = pytest.importorskip("opentelemetry.proto.collector.trace.v1.trace_service_pb2")


def _frame(event: str, name: str, frame_id: str, at: float, **fields) -> dict:
    return {"path": f"app.py:{int(at)}", "co_name": name, "qualname": f"app.{name}", "event": event,
            "frame_id": frame_id, "arg": fields.pop("arg", None), "locals": fields.pop("locals", {}),
            "thread": "MainThread", "thread_native_id": 7, "timestamp": at, "type": "frame", **fields}


def _plugin(kind: str, at: float, **fields) -> dict:
    return {"type": kind, "timestamp": at, "thread": "MainThread", "thread_native_id": 7, "frame_id": None, **fields}


RECORDS = [
    _frame("call", "setup", "frm_0", 1.0),  # outside the test: in the trace named after the vesk trace
    _frame("return", "setup", "frm_0", 2.0, arg=1),
    _plugin("start_test", 10.0, test="test_app.py::test_total"),
    _frame("call", "total", "frm_1", 11.0, locals={"order": 12, "note": "rush"}),
    _plugin("sql_query", 12.0, subtype="django", sql="select price from items where id = %s", params=[12]),
    _plugin("sql_result", 13.0, subtype="django", sql="select price from items where id = %s", duration_ms=1000),
    _plugin("http_request", 14.0, subtype="http.client", method="GET", url="http://prices.test/eur"),
    _plugin("http_response", 15.0, subtype="http.client", method="GET", url="http://prices.test/eur", status=503),
    _frame("return", "total", "frm_1", 16.0, arg=42),
    _plugin("end_test", 17.0, test="test_app.py::test_total", outcome="failed"),
]


@pytest.fixture
def exported(project):
    document = msgpack.packb({"command_line_args": ["pytest"], "frames": {}, "frames_of_interest": RECORDS,
                              "meta": {"source": "pytest"}, "timestamp": 1.0, "trace_id": "trc_otlp"})
    project.db.parent.mkdir()
    store = open_store(str(project.db))
    store.prepare()
    store.save("trc_otlp", document, timeout=5)
    for name, form in (("spans.pb", "otlp-protobuf"), ("spans.json", "otlp")):
        project.run("export", "trc_otlp", "--format", form, "-o", name, check=True)
    return project


def _attributes(span) -> dict:
    return {item.key: getattr(item.value, item.value.WhichOneof("value")) for item in span.attributes}


def test_calls_queries_http_and_tests_become_spans_with_their_conventional_attributes(exported):
    request = trace_service_pb2.ExportTraceServiceRequest.FromString((exported.root / "spans.pb").read_bytes())
    spans = {span.name: span for span in request.resource_spans[0].scope_spans[0].spans}
    assert set(spans) == {"app.setup", "test test_app.py::test_total", "app.total", "SELECT", "GET"}
    test, total, query, fetch = (spans[n] for n in ("test test_app.py::test_total", "app.total", "SELECT", "GET"))
    assert test.parent_span_id == b"" and test.trace_id != spans["app.setup"].trace_id
    assert [s.parent_span_id for s in (total, query, fetch)] == [test.span_id, total.span_id, total.span_id]
    assert {s.trace_id for s in (test, total, query, fetch)} == {test.trace_id}
    assert (test.status.code, _attributes(test)["test.case.result.status"]) == (2, "fail")
    assert (total.start_time_unix_nano, total.end_time_unix_nano) == (11_000_000_000, 16_000_000_000)
    assert {k: v for k, v in _attributes(total).items() if k.startswith("vesk.")} == {
        "vesk.argument.order": "12", "vesk.argument.note": "'rush'", "vesk.return_value": "42"}
    assert (query.kind, _attributes(query)["db.query.text"], _attributes(query)["db.query.parameter.0"]) == (
        3, "select price from items where id = %s", "12")
    assert _attributes(fetch)["http.response.status_code"] == 503 and fetch.status.code == 2

    as_json = json.loads((exported.root / "spans.json").read_text())["resourceSpans"][0]["scopeSpans"][0]["spans"]
    assert [(s["traceId"], s["spanId"], s.get("parentSpanId", ""), s["name"]) for s in as_json] == [
        (s.trace_id.hex(), s.span_id.hex(), s.parent_span_id.hex(), s.name)
        for s in request.resource_spans[0].scope_spans[0].spans]


@needs_engine
def test_an_otlp_http_endpoint_receives_the_spans_of_a_recorded_run(project):
    received: list[tuple[str, str, bytes]] = []

    class Receiver(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 - the name http.server calls
            body = self.rfile.read(int(self.headers["Content-Length"]))
            received.append((self.path, self.headers["Content-Type"], body))
            self.send_response(200)
            self.send_header("Content-Type", "application/x-protobuf")
            self.end_headers()
            self.wfile.write(trace_service_pb2.ExportTraceServiceResponse().SerializeToString())

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Receiver)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        project.write("app.py", "def add(a, b, password):\n    return a + b\n\nadd(2, 3, 'hunter2')\n")
        project.run("run", "app.py", check=True)
        endpoint = f"http://127.0.0.1:{server.server_address[1]}"
        done = project.run("export", "latest", "--otlp-endpoint", endpoint, check=True)
    finally:
        server.shutdown()
        server.server_close()
    assert "sent to" in done.stderr and [(path, kind) for path, kind, _ in received] == [
        ("/v1/traces", "application/x-protobuf")]
    request = trace_service_pb2.ExportTraceServiceRequest.FromString(received[0][2])
    (add,) = [s for s in request.resource_spans[0].scope_spans[0].spans if s.name == "__main__.add"]
    assert _attributes(add)["vesk.argument.password"] == "<redacted>" and _attributes(add)["vesk.return_value"] == "5"
    refused = project.run("export", "latest", "--otlp-endpoint", endpoint)  # the receiver is gone
    assert refused.returncode == 1 and "cannot send the spans" in refused.stderr
