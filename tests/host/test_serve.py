"""`vesk serve`: its JSON API against recorded traces, and its pages in a real browser."""

from __future__ import annotations

import hashlib
import json
import os
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import msgpack
import pytest
from pytest import approx
from host_support import Project, needs_engine, subprocess_env, visit

from vesk import db, serialize, storage
from vesk.storage import open_store
from vesk.reading.records import RecordStream
from vesk.reading.summary import TraceFacts
from vesk.reading.walk import Selection
from vesk.serve import compare, sql
from vesk.serve.api import Api
from vesk.serve.listing import outcome_of
from vesk.serve.server import STATIC, ViewerServer

pytestmark = needs_engine

SCRIPT = "<script>alert('x')</script>"
PROGRAM = """
    import sys
    import threading
    import sqlalchemy as sa

    def deep(n):
        return find_me("needle") if n == 0 else deep(n - 1)

    def find_me(word):
        return word.upper()

    def fail(x):
        raise ValueError(x)

    def tick(i):
        return i

    def many():
        for i in range(450):
            tick(i)

    def load_users(engine, ids):
        names = []
        with engine.connect() as connection:
            for i in ids:
                names.append(connection.execute(sa.text("SELECT name FROM users WHERE id = :id"), {"id": i}).scalar())
        return names

    def id_of(connection, name):
        return connection.execute(sa.text("SELECT id FROM users WHERE name = :name"), {"name": name}).scalar()

    def badge(connection, name):
        return f"#{id_of(connection, name)}"

    def main(label):
        engine = sa.create_engine("sqlite://")
        with engine.begin() as connection:
            connection.execute(sa.text("CREATE TABLE users (id INTEGER, name TEXT)"))
            connection.execute(sa.text("INSERT INTO users VALUES (1, 'ann'), (2, 'bob'), (3, 'cy')"))
        names = load_users(engine, [1, 2, 3])
        with engine.connect() as connection:
            for name in names:
                badge(connection, name)  # one query per badge: the usual N+1
        deep(30)
        many()
        try:
            fail(label)
        except ValueError:
            pass
        return label, names

    main(sys.argv[1])
    worker = threading.Thread(target=tick, args=(7,), name="worker")
    worker.start()
    worker.join()
    sys.exit(int(sys.argv[2]))
"""


class Recorded:
    def __init__(self, project: Project, first: str, second: str, failed: str) -> None:
        self.project = project
        self.first, self.second, self.failed = first, second, failed


def _record(project: Project, *arguments: str) -> str:
    before = {summary.trace_id for summary in open_store(str(project.db)).list_traces()} if project.db.exists() else set()
    project.run("run", "app.py", *arguments)
    (trace_id,) = {summary.trace_id for summary in open_store(str(project.db)).list_traces()} - before
    return trace_id


@pytest.fixture(scope="module")
def recorded(tmp_path_factory) -> Recorded:
    root = tmp_path_factory.mktemp("serve")
    project = Project(root)
    project.write("app.py", PROGRAM)
    # Many documents per trace: calls return in later documents than their own.
    project.write(".vesk/config.toml", "[limits]\nbuffer_bytes = 20000\n")
    return Recorded(project, _record(project, SCRIPT, "0"), _record(project, "other", "0"),
                    _record(project, "failing", "3"))


@pytest.fixture(scope="module")
def server(recorded):
    viewer = ViewerServer(open_store(str(recorded.project.db)), "127.0.0.1", 0)
    thread = threading.Thread(target=viewer.serve_forever, daemon=True)
    thread.start()
    # Pages answer from what is indexed while the rest is: the tests below read whole traces.
    for trace_id in (recorded.first, recorded.second, recorded.failed):
        wait_until_indexed(viewer, trace_id)
    yield viewer
    viewer.shutdown()
    viewer.server_close()


def get(server, path: str, **headers: str) -> tuple[int, dict, bytes]:
    request = urllib.request.Request(server.url.rstrip("/") + path, headers=headers)
    try:
        with urllib.request.urlopen(request, timeout=60) as response:
            return response.status, dict(response.headers), response.read()
    except urllib.error.HTTPError as error:
        return error.code, dict(error.headers), error.read()


def api(server, path: str) -> dict:
    """The answer once the trace is indexed (the API says 202 while it is)."""
    deadline = time.monotonic() + 120
    while True:
        status, _, body = get(server, "/api/" + path)
        if status != 202 or time.monotonic() > deadline:
            assert status == 200, body
            return json.loads(body)
        time.sleep(0.1)


def wait_until_indexed(server, trace_id: str) -> None:
    deadline = time.monotonic() + 300
    while api(server, f"trace/{trace_id}")["indexing"] is not None:
        assert time.monotonic() < deadline, f"{trace_id} still indexing"
        time.sleep(0.1)


def test_the_list_is_newest_first_with_how_each_trace_ended(server, recorded):
    traces = api(server, "traces")["traces"]
    assert [t["trace_id"] for t in traces] == [recorded.failed, recorded.second, recorded.first]
    assert [(t["source"], t["outcome"], t["failed"]) for t in traces] == [
        ("cli", "exit 3", True), ("cli", "exit 0", False), ("cli", "exit 0", False)
    ]
    assert all(t["seconds"] > 0 and t["frame_count"] > 900 and t["plugin_count"] >= 11 for t in traces)
    assert all(t["document_count"] > 5 for t in traces)
    assert [t["trace_id"] for t in api(server, "traces?q=FAILING")["traces"]] == [recorded.failed]


def test_the_list_sorts_and_filters_every_trace_with_the_count_of_matches(server, recorded):
    listed = lambda query: api(server, f"traces?{query}")  # noqa: E731
    failed = listed("outcome=failed")
    assert [t["trace_id"] for t in failed["traces"]] == [recorded.failed] and (failed["total"], failed["of"]) == (1, 3)
    assert [t["trace_id"] for t in listed("outcome=ok&sort=saved&order=asc")["traces"]] == [recorded.first, recorded.second]
    by_duration = [t["seconds"] for t in listed("sort=duration&order=asc")["traces"]]
    assert by_duration == sorted(by_duration)
    assert listed("sort=outcome")["traces"][0]["trace_id"] == recorded.failed
    assert listed("source=run")["total"] == listed("source=cli")["total"] == 3 and listed("source=test")["total"] == 0
    assert listed("")["sources"] == ["run"]
    assert get(server, "/api/traces?sort=nonsense")[0] == 400


@pytest.mark.parametrize(
    ("record", "shown", "failed"),
    [
        ({"type": "program_exit", "status": 0}, "exit 0", False),
        ({"type": "program_exit", "status": 1, "error": "ValueError: x"}, "exit 1 (ValueError: x)", True),
        ({"type": "end_test", "outcome": "passed", "duration_ms": 5}, "passed", False),
        ({"type": "end_test", "outcome": "failed"}, "failed", True),
        ({"type": "request_end", "status": 404}, "HTTP 404", False),
        ({"type": "request_end", "status": 503}, "HTTP 503", True),
    ],
)
def test_how_a_trace_ended(record, shown, failed):
    outcome = outcome_of(record, None)
    assert (outcome.text, outcome.failed) == (shown, failed)


def test_children_come_page_by_page_in_order(server, recorded):
    base = f"trace/{recorded.first}"
    (many,) = [m["node"] for m in api(server, f"{base}/search?q=many")["matches"] if m["node"]["name"].endswith("many")]
    assert many["children"] == 450
    pages = [api(server, f"{base}/children?node={many['node']}&offset={offset}&limit=200") for offset in (0, 200, 400)]
    assert [len(page["nodes"]) for page in pages] == [200, 200, 50]
    nodes = [node for page in pages for node in page["nodes"]]
    assert [node["pos"] for node in nodes] == list(range(450))
    assert {node["name"] for node in nodes} == {"__main__.tick"}
    assert [node["args"] for node in nodes[:2]] == ["i=0", "i=1"] and nodes[-1]["ret"] == "449"
    by_frame = api(server, f"{base}/children?frame={many['frame_id']}&offset=449&limit=5")
    assert [node["node"] for node in by_frame["nodes"]] == [nodes[-1]["node"]]


def test_search_finds_a_deep_call_with_the_calls_above_it(server, recorded):
    found = api(server, f"trace/{recorded.first}/search?q=find_me")
    (match,) = found["matches"]
    names = [ancestor["name"].removeprefix("__main__.") for ancestor in match["ancestors"]]
    assert names == ["<module>", "main"] + ["deep"] * 31
    assert [a["pos"] for a in match["ancestors"][3:]] == [0] * 30
    assert match["node"]["depth"] == 34 and match["node"]["ret"] == "'NEEDLE'"
    # A number is shown, not stored, as its text: found all the same.
    (numbered,) = api(server, f"trace/{recorded.first}/search?q=n%3D30")["matches"]
    assert numbered["node"]["name"].endswith("deep") and numbered["node"]["depth"] == 3


def test_the_tree_holds_values_raised_calls_and_sql_under_its_call(server, recorded):
    base = f"trace/{recorded.first}"
    threads = api(server, base)["summary"]["threads"]
    assert [thread["label"].split(" ")[0] for thread in threads] == ["MainThread", "worker"]
    (worker_call,) = api(server, f"{base}/children?thread={threads[1]['thread']}")["nodes"]
    assert (worker_call["name"], worker_call["args"], worker_call["ret"]) == ("__main__.tick", "i=7", "7")
    (load_users,) = [m["node"] for m in api(server, f"{base}/search?q=load_users")["matches"]]
    assert load_users["args"].endswith("ids=[1, 2, 3]") and load_users["ret"] == "['ann', 'bob', 'cy']"
    children = api(server, f"{base}/children?node={load_users['node']}")["nodes"]
    assert [c["type"] for c in children] == ["sql_query", "sql_result"] * 3
    assert children[0]["text"] == "sql[sqlalchemy] SELECT name FROM users WHERE id = ?  [1]"
    (fail,) = [m["node"] for m in api(server, f"{base}/search?q=__main__.fail")["matches"]]
    assert fail["outcome"] == "raised"
    full = api(server, f"{base}/node/{fail['node']}")
    assert full["record"]["locals"] == {"x": SCRIPT} and full["return"]["event"] == "unwind"


def test_the_summary_adds_up_as_vesk_show_does(server, recorded):
    facts = TraceFacts()
    facts.read(RecordStream(open_store(str(recorded.project.db)), recorded.failed), Selection())
    summary = api(server, f"trace/{recorded.failed}")["summary"]
    assert (summary["records"], summary["first_timestamp"], summary["last_timestamp"]) == (
        facts.records, facts.first_timestamp, facts.last_timestamp)
    assert [(t["label"], t["records"]) for t in summary["threads"]] == [(t.label(), t.records) for t in facts.ordered_threads()]
    functions = {(f["name"], f["path"]): [f["calls"], f["seconds"]] for f in summary["most_calls"] + summary["most_time"]}
    assert len(functions) > 5 and all(stats == pytest.approx(facts.functions[key]) for key, stats in functions.items())


def test_sql_is_grouped_by_shape_with_repeats_from_one_call_flagged(server, recorded):
    groups = {g["shape"]: g for g in api(server, f"trace/{recorded.first}/sql")["groups"]}
    assert set(groups) == {
        "SELECT name FROM users WHERE id = ?", "CREATE TABLE users (id INTEGER, name TEXT)", "INSERT INTO users VALUES (…)",
        "SELECT id FROM users WHERE name = ?",
    }
    select = groups["SELECT name FROM users WHERE id = ?"]
    assert select["count"] == 3 and [q["params"] for q in select["queries"]] == ["[1]", "[2]", "[3]"]
    assert all(q["duration_ms"] > 0 and q["repeated"] for q in select["queries"])
    (repeat,) = select["repeated_by"]
    assert (repeat["name"], repeat["queries"], repeat["calls"]) == ("__main__.load_users", 3, 1)
    assert repeat["line"] == int(repeat["call"]["path"].split(":")[1]) + 4  # the line of the query in load_users
    assert {q["call"]["call"]["name"] for q in groups["INSERT INTO users VALUES (…)"]["queries"]} == {"__main__.main"}
    assert groups["INSERT INTO users VALUES (…)"]["repeated_by"] == []
    # The helper run once per item, each run issuing the query: one line of id_of, three calls apart.
    (repeat,) = groups["SELECT id FROM users WHERE name = ?"]["repeated_by"]
    assert (repeat["name"], repeat["queries"], repeat["calls"]) == ("__main__.id_of", 3, 3)
    assert [call["args"].split(", ")[-1] for call in repeat["issued_by"]] == ["name='ann'", "name='bob'", "name='cy'"]
    assert all(q["repeated"] for q in groups["SELECT id FROM users WHERE name = ?"]["queries"])


def test_the_timeline_has_the_calls_at_least_a_pixel_long(server, recorded):
    base = f"trace/{recorded.first}"
    whole = api(server, f"{base}/timeline?thread=1&width=1000")
    assert [(depth, name) for _, depth, _, _, name, _ in whole["calls"][:2]] == [(1, "__main__.<module>"), (2, "__main__.main")]
    assert all(end - start >= (whole["end"] - whole["start"]) / 1000 for _, _, start, end, *_ in whole["calls"])
    assert len(whole["calls"]) < 450  # the ticks are far shorter than a thousandth of the program
    # Zoomed in on the clock's times: with the recorder's time taken out, a tick may last no time at all.
    (many,) = [m["node"] for m in api(server, f"{base}/search?q=many&raw=1")["matches"]
               if m["node"]["name"].endswith("many")]
    span = f"start={many['start']!r}&end={many['start'] + many['duration']!r}"
    inside = [name for *_, name, _ in api(server, f"{base}/timeline?thread=1&{span}&width=100000000&raw=1")["calls"]]
    assert inside.count("__main__.tick") == 450 and "__main__.deep" not in inside


def test_the_flame_graph_adds_up_call_paths_of_a_thread_and_of_a_subtree(server, recorded):
    base = f"trace/{recorded.first}"
    # On the clock's times: with the recorder's time taken out, a tick may last no time at all.
    cells = {cell[0]: cell for cell in api(server, f"{base}/flame?thread=1&raw=1")["cells"]}

    def path(stack: int) -> tuple:
        names = []
        while stack:
            names.append(cells[stack][2].removeprefix("__main__."))
            stack = cells[stack][1]
        return tuple(reversed(names))

    by_path = {path(stack): cell for stack, cell in cells.items()}
    assert by_path[("<module>", "main", "many", "tick")][3] == 450
    assert [by_path[("<module>", "main") + ("deep",) * n][3] for n in range(1, 32)] == [1] * 31
    for stack, parent, _, _, total, own, _ in cells.values():
        below = sum(cell[4] for cell in cells.values() if cell[1] == stack)
        assert own == approx(total - below, abs=1e-9) and own > 0
    many = by_path[("<module>", "main", "many")]
    subtree = api(server, f"{base}/flame?node={many[6]}&raw=1")["cells"]
    assert [(cell[0], cell[1], cell[3]) for cell in subtree] == [(many[0], 0, 1), (many[0] + 1, many[0], 450)]
    tick = by_path[("<module>", "main", "many", "tick")]
    assert [value for cell in subtree for value in cell[4:6]] == approx([*many[4:6], *tick[4:6]])


def test_the_function_table_has_every_function_sorted_and_filtered(server, recorded):
    base = f"trace/{recorded.first}"
    whole = api(server, f"{base}/functions?sort=self&limit=1000")
    functions = whole["functions"]
    assert whole["total"] == len(functions)
    assert {f["name"].removeprefix("__main__.") for f in functions} == {
        "<module>", "main", "load_users", "deep", "find_me", "many", "tick", "fail", "id_of", "badge"}
    assert [f["self"] for f in functions] == sorted((f["self"] for f in functions), reverse=True)
    roots = [cell for thread in (1, 2) for cell in api(server, f"{base}/flame?thread={thread}")["cells"] if not cell[1]]
    assert sum(f["self"] for f in functions) == approx(sum(cell[4] for cell in roots))
    by_calls = api(server, f"{base}/functions?sort=calls&limit=1")
    assert [(f["name"], f["calls"]) for f in by_calls["functions"]] == [("__main__.tick", 451)]
    (deep,) = api(server, f"{base}/functions?q=main__.dee&raw=1")["functions"]
    assert deep["calls"] == 31 and deep["total"] > deep["self"] > 0
    assert api(server, f"{base}/node/{deep['first']}")["node"]["args"] == "n=30"
    assert get(server, f"/api/{base}/functions?sort=nonsense")[0] == 400


@pytest.mark.parametrize(
    ("statement", "shape"),
    [
        ("SELECT * FROM t WHERE a = 'it''s' AND b = 12 AND c IN (1, 2, 3)", "SELECT * FROM t WHERE a = ? AND b = ? AND c IN (…)"),
        ("select x from t2 where y = :id and z=%(n)s and w = $1 or v = %s", "select x from t2 where y = ? and z=? and w = ? or v = ?"),
        ("INSERT INTO t VALUES (?, ?),\n (?, ?)", "INSERT INTO t VALUES (…)"),
        ("UPDATE t SET v = -1.5e3 WHERE id = 0x1f", "UPDATE t SET v = ? WHERE id = ?"),
    ],
)
def test_statements_of_one_shape(statement, shape):
    assert sql.shape(statement) == shape


def test_compare_finds_the_first_differing_call(server, recorded):
    compared = api(server, f"compare/{recorded.first}/{recorded.second}")
    difference = compared["first_difference"]
    row = compared["rows"][difference - compared["offset"]]
    assert row["differs"] and row["a"]["name"] == row["b"]["name"] == "__main__.main"
    assert (row["a"]["args"], row["b"]["args"]) == (f"label={SCRIPT!r}", "label='other'")
    assert not any(r["differs"] for r in compared["rows"][: difference - compared["offset"]])
    assert all(r["delta"] == approx(r["b"]["duration"] - r["a"]["duration"]) for r in compared["rows"] if r["a"] and r["b"])
    assert row["a"]["duration"] > 0 and compared["seconds"][0] > row["a"]["duration"]
    same = api(server, f"compare/{recorded.first}/{recorded.first}")
    assert same["first_difference"] is None and same["calls"][0] == same["calls"][1] > 480


def test_values_are_data_never_markup_and_nothing_is_written(server, recorded):
    database = Path(recorded.project.db)
    digest = hashlib.sha256(database.read_bytes()).hexdigest()
    status, headers, body = get(server, f"/api/trace/{recorded.first}/search?q=alert")
    assert status == 200 and headers["Content-Type"].startswith("application/json")
    assert SCRIPT in json.loads(body)["matches"][0]["node"]["args"]
    status, headers, page = get(server, f"/trace/{recorded.first}?q=alert")
    assert status == 200 and b"alert" not in page and "script-src" not in headers["Content-Security-Policy"]
    assert "default-src 'self'" in headers["Content-Security-Policy"]
    for script in Path(STATIC).glob("*.js"):
        assert not any(sink in script.read_text() for sink in ("innerHTML", "outerHTML", "insertAdjacentHTML")), script
    assert get(server, "/api/traces", Host="attacker.example")[0] == 421
    request = urllib.request.Request(server.url + "api/traces", method="POST", data=b"")
    with pytest.raises(urllib.error.HTTPError) as refused:
        urllib.request.urlopen(request, timeout=10)
    assert refused.value.code == 405
    assert get(server, "/static/../server.py")[0] == 404
    assert hashlib.sha256(database.read_bytes()).hexdigest() == digest
    own = [Path(f"{database}.index"), *Path(f"{database}.index").rglob("*")]
    assert {oct(path.stat().st_mode & 0o777) for path in own} == {"0o700", "0o600"}  # values are private


@pytest.mark.parametrize(
    "host, status",
    [("localhost", 200), ("127.0.0.1", 200), ("[::1]", 200), ("127.0.0.2:80", 200),
     # names that only look like loopback: DNS rebinding hands them to any site
     ("127.attacker.example", 421), ("127.0.0.1.nip.io", 421), ("localhost.attacker.example", 421),
     ("attacker.example", 421), ("", 421), ("[::1", 421)],
)
def test_only_loopback_hosts_by_address_or_localhost_are_answered(server, host, status):
    port = server.url.rsplit(":", 1)[1].rstrip("/")
    host = host if host in ("", "[::1") or ":" in host.removeprefix("[::1]") else f"{host}:{port}"
    assert get(server, "/api/traces", Host=host)[0] == status


@pytest.mark.parametrize(
    "query",
    ["traces?limit=-1", "traces?offset=-1", "traces?offset=%2B1", "traces?limit=1_0", "traces?limit=%D9%A1",
     "traces?limit=abc", "trace/{first}/node/" + "9" * 40, "trace/{first}/node/-3",
     "trace/{first}/children?thread=1&node=" + "9" * 30],
)
def test_bad_paging_is_answered_with_400(server, recorded, query):
    status, _, body = get(server, "/api/" + query.format(first=recorded.first))
    assert status == 400, body


def _document(trace_id: str, *records: tuple) -> bytes:
    """A document of the main thread's records, each (event, frame id, function, time[, value])."""
    frames = [
        {"path": "p.py:1", "co_name": name, "qualname": name, "event": event, "frame_id": frame_id,
         "arg": value[0] if value else None, "locals": {}, "thread": "MainThread", "thread_native_id": 1,
         "timestamp": t, "type": "frame", "user_code_call_site": None}
        for event, frame_id, name, t, *value in records
    ]
    return msgpack.packb({"frames_of_interest": frames, "frames": {}, "main_thread_id": 1, "trace_id": trace_id,
                          "command_line_args": ["p.py"], "meta": {"source": "cli"}, "timestamp": 1.0})


def test_an_index_follows_its_trace_as_it_grows_reading_only_its_new_documents(tmp_path, monkeypatch):
    database, trace_id = str(tmp_path / "db.sqlite3"), "trc_growing"
    traces = open_store(database)
    viewer = Api(traces)
    starts = []
    iter_documents = traces.iter_documents
    monkeypatch.setattr(traces, "iter_documents", lambda *a, start: starts.append(start) or iter_documents(*a, start=start))

    def roots() -> list[tuple]:
        while (viewer.answer(["trace", trace_id], "")[1] or {}).get("indexing", True):
            time.sleep(0.05)
        nodes = viewer.answer(["trace", trace_id, "children"], "thread=1")[1]["nodes"]
        return [(node["name"], node["outcome"], node["ret"], node["children"]) for node in nodes]

    point = msgpack.ExtType(serialize.OBJECT_FIELDS, msgpack.packb(["Point", {"x": 1}]))
    documents = [(("call", "f1", "f", 1.0),), (("call", "g1", "g", 2.0), ("return", "g1", "g", 3.0, point)),
                 (("return", "f1", "f", 4.0, 6),)]
    shown = [[("f", "open", None, 0)], [("f", "open", None, 1)], [("f", "returned", "6", 1)]]
    for records, roots_then in zip(documents, shown):
        db.save_trace_in_sqlite(database, trace_id, timeout=5, msgpack=_document(trace_id, *records))
        assert roots() == roots_then
    assert starts == [0, 1, 2]
    summary = viewer.answer(["trace", trace_id], "")[1]["summary"]
    assert (summary["records"], [f["calls"] for f in summary["most_calls"]]) == (4, [1, 1])


def test_a_resumed_coroutine_is_one_call_named_with_its_task_and_timed_without_the_recorder(tmp_path):
    """And its task's timeline spans its await, its wall time ranks it, and the test it ran in
    lasts as long in the list as in its tree: the recorder's time out of both."""
    database, trace_id = str(tmp_path / "db.sqlite3"), "trc_tasks"
    frames = [("task", "worker", 0.0), ("call", "c", "work", 0.0), ("return", "c", "work", 0.004, None),
              ("end", 0.004), ("call", "m", "main", 0.005), ("return", "m", "main", 0.006, 1), ("task", "worker", 0.007),
              ("call", "c", "work", 0.007), ("return", "c", "work", 0.010, 42), ("end", 0.010)]
    records = [{"type": "task_step", "step": "start", "task_name": entry[1], "task_id": 9, "timestamp": entry[2],
                "thread": "MainThread", "thread_native_id": 1} if entry[0] == "task" else
               {"type": "task_step", "step": "end", "task_name": "worker", "task_id": 9, "timestamp": entry[1],
                "thread": "MainThread", "thread_native_id": 1} if entry[0] == "end" else
               msgpack.unpackb(_document(trace_id, entry))["frames_of_interest"][0] for entry in frames]
    seconds = [0, 0, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.002, 0.002]  # the recorder: 1 ms per stretch
    test = {"thread": "MainThread", "thread_native_id": 1, "nodeid": "t.py::t"}
    records = [{**test, "type": "start_test", "timestamp": 0.0}, *records,
               {**test, "type": "end_test", "timestamp": 0.011, "outcome": "passed", "duration_ms": 11.0}]
    records.append({"type": "recorder_time", "list": "frames_of_interest", "seconds": [0, *seconds, 0.002]})
    db.save_trace_in_sqlite(database, trace_id, timeout=5, msgpack=msgpack.packb(
        {"frames_of_interest": records, "frames": {}, "main_thread_id": 1, "trace_id": trace_id,
         "command_line_args": ["p.py"], "meta": {"source": "cli"}, "timestamp": 1.0}))
    viewer = Api(open_store(database))
    while viewer.answer(["trace", trace_id], "")[0] == 202:
        time.sleep(0.05)

    def shown(raw: str) -> list[tuple]:
        nodes = viewer.answer(["trace", trace_id, "children"], f"thread=1{raw}")[1]["nodes"][1:-1]
        return [(n["name"] or n["text"], n["ret"], n["task"], n["resumed"], n["stretch"], n["duration"])
                for n in nodes]

    assert shown("") == [
        ("⤷ task worker", None, "worker", None, None, 0),
        ("work", "42", "worker", {"times": 1, "wall": approx(0.008), "running": approx(0.005)}, None, approx(0.003)),
        ("main", "1", None, None, None, approx(0.001)),
        ("⤷ task worker", None, "worker", None, None, 0),
        ("work", "42", "worker", None, {"of": 3, "number": 2, "stretches": 2}, approx(0.002)),
    ]
    raw = shown("&raw=1")
    assert (raw[1][3], raw[4][5]) == ({"times": 1, "wall": approx(0.010), "running": approx(0.007)}, approx(0.003))
    assert viewer.answer(["trace", trace_id], "")[1]["summary"]["tasks"] == [{"task": 1, "thread": 1, "name": "worker"}]
    timeline = viewer.answer(["trace", trace_id, "timeline"], "task=1&width=10")[1]
    assert (timeline["start"], timeline["end"]) == (0.0, approx(0.008))
    assert [(name, start, end, awaiting) for _, _, start, end, name, awaiting in timeline["calls"]] == [
        ("work", 0.0, approx(0.008), 1), ("work", 0.0, approx(0.003), 0), ("work", approx(0.006), approx(0.008), 0)]
    summary = viewer.answer(["trace", trace_id], "")[1]["summary"]
    assert [(f["name"], f["wall"]) for f in summary["most_wall"]][0] == ("work", approx(0.008))
    assert [f["name"] for f in summary["most_time"]][0] == "work"  # 5 ms running against main's 1
    (listed,) = viewer.answer(["traces"], "")[1]["traces"]
    ended = viewer.answer(["trace", trace_id, "children"], "thread=1")[1]["nodes"][-1]["text"]
    assert listed["seconds"] == approx(0.009) and ended.endswith("passed (9.0 ms)")


def test_compare_aligns_a_call_one_trace_lacks_instead_of_shifting_the_rest(tmp_path):
    database = str(tmp_path / "db.sqlite3")
    calls = {"a": 1, "b": 2, "c": 3}
    for trace_id, inserted, c_returns in (("trc_a", None, 3), ("trc_b", "x", 4)):
        records = [("call", "m", "main", 1.0)]
        for n, name in enumerate(["a", inserted, "b", "c"]):
            if name:
                value = c_returns if name == "c" else calls.get(name, 9)
                records += [("call", f"{name}1", name, 2.0 + n), ("return", f"{name}1", name, 2.5 + n, value)]
        records.append(("return", "m", "main", 9.0, 0))
        db.save_trace_in_sqlite(database, trace_id, timeout=5, msgpack=_document(trace_id, *records))
    viewer = Api(open_store(database))
    while (answer := viewer.answer(["compare", "trc_a", "trc_b"], ""))[0] == 202:
        time.sleep(0.05)
    rows = answer[1]["rows"]
    assert [(r["a"] and r["a"]["name"], r["b"] and r["b"]["name"], r["differs"]) for r in rows] == [
        ("main", "main", False), ("a", "a", False), (None, "x", True), ("b", "b", False), ("c", "c", True)]
    assert answer[1]["first_difference"] == 2


def test_alignment_pairs_all_but_the_calls_one_sequence_lacks_across_windows():
    first = ["rare" if n % 97 == 0 else f"loop{n % 3}" for n in range(int(compare.WINDOW * 2.5))]
    second = first[:100] + ["new"] + first[100:1800] + ["new2", "new3"] + first[1800:2200] + first[2201:]
    pairs = compare.align(first, second)
    assert [a for a, _ in pairs if a is not None] == list(range(len(first)))
    assert [b for _, b in pairs if b is not None] == list(range(len(second)))
    assert [(a, b and second[b]) for a, b in pairs if a is None or b is None or first[a] != second[b]] == [
        (None, "new"), (None, "new2"), (None, "new3"), (2200, None)]


def test_documents_are_read_alone_or_from_a_given_one_on(recorded):
    database, trace_id = str(recorded.project.db), recorded.first
    documents = list(open_store(database).iter_documents(trace_id))
    assert [open_store(database).read_document(trace_id, n) for n in range(len(documents))] == documents
    assert list(open_store(database).iter_documents(trace_id, start=3)) == documents[3:]
    for missing in (-1, len(documents)):
        with pytest.raises(storage.TraceNotFound, match=f"has no document {missing}"):
            open_store(database).read_document(trace_id, missing)


def test_serve_command_prints_its_url_warns_off_loopback_and_stops_on_ctrl_c(recorded):
    process = subprocess.Popen(
        [sys.executable, "-m", "vesk", "serve", "--host", "0.0.0.0", "--port", "0"],
        cwd=recorded.project.root, env=subprocess_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        line = process.stdout.readline()
        assert line.startswith("vesk: serving .vesk/db.sqlite3 at http://0.0.0.0:") and line.endswith("(Ctrl-C to stop)\n")
        assert "not only this machine's loopback" in process.stderr.readline()
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=30) == 0
    finally:
        process.kill()
        process.wait()


def test_serving_a_missing_database_is_one_error_line(project):
    done = project.run("serve", "--db", "missing.sqlite3")
    assert done.returncode == 1 and done.stderr.startswith("vesk: error: no database at") and done.stderr.count("\n") == 1


# --- in a browser ---------------------------------------------------------------------------------


def test_browser_lists_traces_with_failures_standing_out(browser, server, recorded):
    find = visit(browser, server, "/", "tr.trace")
    rows = find("tr.trace")
    assert [row.get_attribute("data-trace-id") for row in rows] == [recorded.failed, recorded.second, recorded.first]
    assert [("failed" in row.get_attribute("class").split()) for row in rows] == [True, False, False]


def test_browser_shows_the_tree_values_and_sql_under_its_call(browser, server, recorded):
    from selenium.webdriver.support.ui import WebDriverWait

    find = visit(browser, server, f"/trace/{recorded.first}?q=load_users", "li.match")
    (match,) = find("li.match")
    assert match.find_element("css selector", ".args").text.endswith("ids=[1, 2, 3])")
    assert match.find_element("css selector", ".ret").text == "→ ['ann', 'bob', 'cy']"
    match.find_element("css selector", ".toggle").click()
    WebDriverWait(browser, 30).until(lambda _: match.find_elements("css selector", "li.sql_query"))
    queries = [query.text for query in match.find_elements("css selector", "li.sql_query")]
    assert queries == [f"• sql[sqlalchemy] SELECT name FROM users WHERE id = ? [{n}]" for n in (1, 2, 3)]


def test_browser_search_opens_the_tree_to_a_deep_call(browser, server, recorded):
    find = visit(browser, server, f"/trace/{recorded.first}?q=find_me", "li.match")
    (match,) = find("li.match")
    assert match.find_element("css selector", ".name").text == "find_me"
    assert len(find("li.open")) >= 33  # <module>, main and 31 calls of deep opened above it
    shown = [item.get_attribute("data-node") for item in find("li.node")]
    assert len(shown) == len(set(shown))  # opening the tree while its first page loads shows each call once
    assert match.is_displayed()


def test_browser_list_sorts_by_a_column_and_filters_by_outcome(browser, server, recorded, tmp_path):
    from selenium.webdriver.support.ui import Select, WebDriverWait

    find = visit(browser, server, "/", "tr.trace")
    find('button[data-sort="outcome"]')[0].click()
    WebDriverWait(browser, 30).until(lambda _: find("th.sorted") and find("tr.trace"))
    assert find("tr.trace")[0].get_attribute("data-trace-id") == recorded.failed
    Select(find("select.outcome-filter")[0]).select_by_value("ok")
    WebDriverWait(browser, 30).until(lambda _: len(find("tr.trace")) == 2)
    assert find("span.count")[0].text == "2 of 3 traces match" and "outcome=ok" in browser.current_url
    browser.save_screenshot(str(tmp_path / "list.png"))


def test_browser_compare_highlights_the_first_difference(browser, server, recorded):
    find = visit(browser, server, f"/compare/{recorded.first}/{recorded.second}", "tr.first-difference")
    (row,) = find("tr.first-difference")
    assert "main(label='other')" in row.text and "main(label=" in row.text
    assert find("p.verdict")[0].text.startswith("First difference at row #")


def test_browser_shows_a_recorded_script_as_text(browser, server, recorded):
    find = visit(browser, server, f"/trace/{recorded.first}?q=__main__.fail", "li.match")
    (match,) = find("li.match")
    assert match.find_element("css selector", ".args").text == f"(x={SCRIPT!r})"
    assert browser.execute_script("return document.querySelectorAll('main script').length") == 0
    from selenium.common.exceptions import NoAlertPresentException

    with pytest.raises(NoAlertPresentException):
        browser.switch_to.alert  # noqa: B018 - reading it is the check


def test_browser_flame_graph_zooms_and_opens_a_call_in_the_tree(browser, server, recorded, tmp_path):
    from selenium.webdriver.support.ui import WebDriverWait

    find = visit(browser, server, f"/trace/{recorded.first}?raw=1", "nav.tabs")
    find('[data-tab="flame"]')[0].click()
    WebDriverWait(browser, 30).until(lambda _: find(".flame-cell"))
    (many,) = [cell for cell in find(".flame-cell") if cell.text == "many"]
    many.click()
    focus = find(".flame-cell.focus")[0]
    assert focus.text == "many" and [c.text for c in find(".flame-cell.ancestor")][-2:] == ["<module>", "main"]
    (tick,) = [cell for cell in find(".flame-cell") if cell.text == "tick"]
    browser.save_screenshot(str(tmp_path / "flame.png"))
    assert 0 < tick.size["width"] < focus.size["width"] and "450 calls" in tick.get_attribute("title")
    find(".flame-chosen .open-call")[0].click()
    WebDriverWait(browser, 30).until(lambda _: find("li.match"))
    assert find("li.match .name")[0].text == "many" and find("section.calls")[0].is_displayed()


def test_browser_function_table_sorts_and_filters(browser, server, recorded, tmp_path):
    from selenium.webdriver.support.ui import WebDriverWait

    find = visit(browser, server, f"/trace/{recorded.first}", "nav.tabs")
    find('[data-tab="functions"]')[0].click()
    WebDriverWait(browser, 30).until(lambda _: find("tr.function"))
    find("th.calls button")[0].click()
    WebDriverWait(browser, 30).until(lambda _: find("th.calls.sorted"))
    assert [row.text for row in find("tr.function td.calls")][:2] == ["451", "31"]
    browser.save_screenshot(str(tmp_path / "functions.png"))
    find(".function-filter")[0].send_keys("find")
    WebDriverWait(browser, 30).until(lambda _: len(find("tr.function")) == 1)
    assert find("tr.function td.name")[0].text == "find_me" and find(".functions-panel .count")[0].text == "1 function"


def test_a_failed_trace_opens_at_the_call_its_error_arose_in_named_with_it(tmp_path, browser):
    database, trace_id = str(tmp_path / "db.sqlite3"), "trc_failed"
    calls = [("call", "m", "main", 1.0), ("call", "c1", "check", 1.1), ("unwind", "c1", "check", 1.2),  # caught
             ("call", "h", "handle", 1.3), ("call", "v", "validate", 1.4), ("call", "c2", "check", 1.5),
             ("unwind", "c2", "check", 1.6), ("unwind", "v", "validate", 1.7), ("unwind", "h", "handle", 1.8),
             ("call", "x", "cleanup", 1.85), ("return", "x", "cleanup", 1.86), ("unwind", "m", "main", 1.9)]
    frames = msgpack.unpackb(_document(trace_id, *calls))["frames_of_interest"]
    traceback = [[f["path"], f["co_name"]] for f in frames if f["event"] == "unwind"][1:][::-1]
    ending = {"type": "program_exit", "status": 1, "error": "ValueError: bad", "raised_at": "p.py:9",
              "traceback": traceback, "timestamp": 2.0, "thread": "MainThread", "thread_native_id": 1}
    db.save_trace_in_sqlite(database, trace_id, timeout=5, msgpack=msgpack.packb(
        {"frames_of_interest": [*frames, ending], "frames": {}, "main_thread_id": 1, "trace_id": trace_id,
         "command_line_args": ["p.py"], "meta": {"source": "cli"}, "timestamp": 1.0}))
    viewer = ViewerServer(open_store(database), "127.0.0.1", 0)
    threading.Thread(target=viewer.serve_forever, daemon=True).start()
    try:
        wait_until_indexed(viewer, trace_id)
        failure = api(viewer, f"trace/{trace_id}")["failure"]
        assert [a["name"] for a in failure["ancestors"]] + [failure["node"]["name"]] == [
            "main", "handle", "validate", "check"]
        assert failure["node"]["ret"] == "raised ValueError: bad at p.py:9"
        find = visit(browser, viewer, f"/trace/{trace_id}", "li.match")
        assert [li.find_element("css selector", ".name").text for li in find("li.open")] == ["main", "handle", "validate"]
        assert find("li.match .ret")[0].text == "⚠ raised ValueError: bad at p.py:9"
        browser.save_screenshot(str(tmp_path / "failed.png"))
    finally:
        viewer.shutdown()
        viewer.server_close()


def test_browser_tree_moves_opens_and_closes_by_keyboard(browser, server, recorded):
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait

    find = visit(browser, server, f"/trace/{recorded.first}?q=__main__.many", "li.match")
    tree = find(".tree")[0]
    current = lambda: find("li.current > .row .name")[0].text  # noqa: E731
    assert current() == "many"
    tree.send_keys(Keys.ARROW_RIGHT)
    WebDriverWait(browser, 30).until(lambda _: find("li.match.open li.node"))
    for key, shown in ((Keys.ARROW_RIGHT, "tick"), (Keys.ARROW_DOWN, "tick"), (Keys.ARROW_LEFT, "many")):
        tree.send_keys(key)
        assert current() == shown
    assert find("li.current")[0].get_attribute("data-node") == find("li.match")[0].get_attribute("data-node")
    tree.send_keys(Keys.ARROW_LEFT)
    assert "open" not in find("li.match")[0].get_attribute("class").split()
