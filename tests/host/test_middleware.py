"""One trace per web request: WSGI through a real local server, ASGI through httpx and Starlette's test
client, Django through its test client."""

from __future__ import annotations

import asyncio
import json
import sys
import threading
import urllib.error
import urllib.request
from wsgiref.simple_server import WSGIRequestHandler, make_server

import pytest
from host_support import load_trace, needs_engine, records

from vesk import storage
from vesk.storage import open_store
from vesk.middleware import VeskASGIMiddleware, VeskMiddleware

pytestmark = needs_engine


def lookup(item):
    if item == "boom":
        raise KeyError(item)
    return {"item": item, "price": 3}


def application(environ, start_response):
    item = environ["PATH_INFO"].strip("/")
    if item == "missing":
        start_response("404 Not Found", [("Content-Type", "text/plain")])
        return [b"no such item"]
    body = json.dumps(lookup(item)).encode()
    start_response("200 OK", [("Content-Type", "application/json")])

    def chunks():  # the body is produced while the server sends it: still part of the request
        yield body

    return chunks()


class QuietHandler(WSGIRequestHandler):
    def log_message(self, *args):
        pass


def serve(app, requests: list[str]) -> list[tuple[int, bytes]]:
    server = make_server("127.0.0.1", 0, app, handler_class=QuietHandler)
    port = server.server_address[1]
    thread = threading.Thread(target=lambda: [server.handle_request() for _ in requests], daemon=True)
    thread.start()
    answers = []
    try:
        for path in requests:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=30) as response:
                    answers.append((response.status, response.read()))
            except urllib.error.HTTPError as error:
                answers.append((error.code, error.read()))
        thread.join(30)
    finally:
        server.server_close()
    return answers


def records_of(path, summary) -> list[dict]:
    trace = load_trace(str(path), summary.trace_id)
    return [r for d in trace.documents for r in records(d)]


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_wsgi_requests_each_get_a_trace_with_method_path_and_status(tmp_path, request, kind):
    path = request.getfixturevalue("postgres_url") if kind == "postgres" else tmp_path / "web.sqlite3"
    app = VeskMiddleware(application, db_path=path)
    answers = serve(app, ["/apple?fresh=1", "/missing", "/boom"])
    assert answers[0] == (200, b'{"item": "apple", "price": 3}')
    assert answers[1][0] == 404 and answers[2][0] == 500

    summaries = {s.label: s for s in open_store(str(path)).list_traces()}
    assert set(summaries) == {"GET /apple 200", "GET /missing 404", "GET /boom 500"}
    assert {s.source for s in summaries.values()} == {"wsgi"}

    records = records_of(path, summaries["GET /apple 200"])
    start = [r for r in records if r["type"] == "request_start"][0]
    end = [r for r in records if r["type"] == "request_end"][0]
    assert (start["method"], start["path"], start["query"]) == ("GET", "/apple", "fresh=1")
    assert end["status"] == 200 and end["duration_ms"] >= 0
    functions = [r["co_name"] for r in records if r.get("type") == "frame" and r["event"] == "call"]
    # The generator is entered again to finish; the server logs the request before closing the body.
    assert functions[:3] == ["application", "lookup", "chunks"]
    assert set(functions) == {"application", "lookup", "chunks", "log_message"}
    program = [r for r in records if r["type"] not in ("recorder_time", "durations_unsteady")]  # notes about the recording
    assert program[-1]["type"] == "request_end"  # the body was sent before the recording ended

    failed = records_of(path, summaries["GET /boom 500"])
    assert [r["co_name"] for r in failed if r.get("type") == "frame" and r["event"] == "unwind"] == ["lookup", "application"]


def test_a_response_nobody_closes_still_ends_its_trace_and_its_recording(tmp_path):
    import gc

    path = tmp_path / "web.sqlite3"
    app = VeskMiddleware(application, db_path=path)

    def request(item):
        environ = {"REQUEST_METHOD": "GET", "PATH_INFO": f"/{item}", "QUERY_STRING": ""}
        return b"".join(app(environ, lambda status, headers, exc_info=None: None))  # never closed

    request("apple")
    request("pear")  # finishes the first request's recording before its own starts
    gc.collect()  # the second response's body is gone: disposing of it finishes its recording
    assert sys.getprofile() is None
    assert {s.label for s in open_store(str(path)).list_traces()} == {"GET /apple 200", "GET /pear 200"}


def test_middleware_rejects_an_unusable_database_at_start(tmp_path):
    with pytest.raises(storage.StorageError, match="does not exist"):
        VeskMiddleware(application, db_path=tmp_path / "missing" / "web.sqlite3")


DJANGO_APP = """
import django
from django.conf import settings

settings.configure(
    DEBUG=False,
    ALLOWED_HOSTS=["testserver"],
    ROOT_URLCONF=__name__,
    MIDDLEWARE=["vesk.middleware.VeskDjangoMiddleware"],
    VESK={"db_path": "web.sqlite3"},
    DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}},
)
django.setup()

from django.db import connection
from django.http import JsonResponse
from django.urls import path
from django.test import Client


def price(request, item):
    with connection.cursor() as cursor:
        cursor.execute("SELECT %s * 2", [len(item)])
        doubled = cursor.fetchone()[0]
    return JsonResponse({"item": item, "doubled": doubled}, status=201)


urlpatterns = [path("price/<str:item>", price)]

response = Client().get("/price/pear?x=1")
print(response.status_code, response.content.decode())
"""


def test_django_requests_get_a_trace_with_their_sql(project):
    pytest.importorskip("django")
    project.write("site_app.py", DJANGO_APP)
    done = project.python("site_app.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == '201 {"item": "pear", "doubled": 8}'
    (summary,) = open_store(str(project.root / "web.sqlite3")).list_traces()
    assert summary.label == "GET /price/pear 201" and summary.source == "django"
    records = records_of(project.root / "web.sqlite3", summary)
    assert [r["sql"] for r in records if r["type"] == "sql_query"] == ["SELECT %s * 2"]
    assert any(r.get("co_name") == "price" for r in records)


# --- ASGI: requests overlap on one event loop ------------------------------------------------------


async def compute(n):
    await asyncio.sleep(0.001 * n)
    return n * 2


def starlette_app(path, started: asyncio.Event | None = None):
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    async def item(request):
        n = int(request.path_params["n"])
        if n == 0:
            lookup("boom")
        parts = await asyncio.gather(compute(n), compute(n + 10))  # two more tasks of this request
        return JSONResponse({"parts": parts})

    async def slow(request):
        started.set()
        await asyncio.sleep(3600)

    routes = [Route("/item/{n}", item), Route("/slow", slow)]
    return VeskASGIMiddleware(Starlette(routes=routes), db_path=path)


def labelled_traces(path) -> dict[str, list[dict]]:
    return {s.label: records_of(path, s) for s in open_store(str(path)).list_traces()}


def test_asgi_overlapping_requests_each_get_a_trace_of_their_own_tasks(tmp_path):
    httpx = pytest.importorskip("httpx")
    path = tmp_path / "web.sqlite3"
    app = starlette_app(path)

    async def main():
        transport = httpx.ASGITransport(app=app, raise_app_exceptions=False)
        async with httpx.AsyncClient(transport=transport, base_url="http://test") as client:
            answers = await asyncio.gather(*(client.get(f"/item/{n}?q={n}") for n in (1, 2, 3, 0)))
        return [answer.status_code for answer in answers], sys.getprofile()

    assert asyncio.run(main()) == ([200, 200, 200, 500], None)
    traces = labelled_traces(path)
    assert set(traces) == {"GET /item/1 200", "GET /item/2 200", "GET /item/3 200", "GET /item/0 500"}
    for n in (1, 2, 3):
        records = traces[f"GET /item/{n} 200"]
        computed = {r["locals"]["n"] for r in records if r.get("co_name") == "compute" and r["event"] == "call"}
        assert computed == {n, n + 10}
        assert [r["query"] for r in records if r["type"] == "request_start"] == [f"q={n}"]
    failed = traces["GET /item/0 500"]
    assert [r["co_name"] for r in failed if r.get("event") == "unwind"] == ["lookup", "item"]


def test_asgi_request_whose_client_went_away_ends_its_recording(tmp_path):
    httpx = pytest.importorskip("httpx")
    path = tmp_path / "web.sqlite3"

    async def main():
        started = asyncio.Event()
        app = starlette_app(path, started)
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://test") as client:
            request = asyncio.ensure_future(client.get("/slow"))
            await started.wait()
            request.cancel()
            with pytest.raises(asyncio.CancelledError):
                await request
        return sys.getprofile()

    assert asyncio.run(main()) is None
    assert set(labelled_traces(path)) == {"GET /slow 499"}


def test_asgi_requests_through_starlettes_test_client(tmp_path):
    testclient = pytest.importorskip("starlette.testclient")
    path = tmp_path / "web.sqlite3"
    with testclient.TestClient(starlette_app(path)) as client:  # the application runs in another thread
        assert client.get("/item/4").json() == {"parts": [8, 28]}
        assert client.portal.call(sys.getprofile) is None
    records = labelled_traces(path)["GET /item/4 200"]
    assert {r["co_name"] for r in records if r["type"] == "frame"} == {"item", "compute"}


DJANGO_ASYNC_APP = DJANGO_APP.replace("from django.test import Client", "from django.test import AsyncClient, Client")
DJANGO_ASYNC_APP = DJANGO_ASYNC_APP[: DJANGO_ASYNC_APP.index("urlpatterns")] + """
import asyncio


async def halve(number):
    await asyncio.sleep(0)
    return number / 2


async def half(request, number):
    return JsonResponse({"half": await halve(number)})


def double(number):
    return number * 2


def twice(request, number):
    return JsonResponse({"twice": double(number)})


urlpatterns = [path("half/<int:number>", half), path("twice/<int:number>", twice)]

print(Client().get("/half/8").content.decode())  # WSGI: the async view runs in a thread of its own


async def asgi():
    client = AsyncClient()
    print((await client.get("/half/6")).content.decode())
    print((await client.get("/twice/5")).content.decode())  # a sync view, run in another thread


asyncio.run(asgi())
"""


def test_django_views_run_in_other_threads_or_loops_are_recorded(project):
    pytest.importorskip("django")
    project.write("site_app.py", DJANGO_ASYNC_APP)
    done = project.python("site_app.py")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ['{"half":', '4.0}', '{"half":', '3.0}', '{"twice":', "10}"]
    traces = labelled_traces(project.root / "web.sqlite3")
    assert set(traces) == {"GET /half/8 200", "GET /half/6 200", "GET /twice/5 200"}
    for label, functions in [("GET /half/8 200", {"half", "halve"}), ("GET /half/6 200", {"half", "halve"}),
                             ("GET /twice/5 200", {"twice", "double"})]:
        # The async test client runs the request in its caller's task, so `asgi` steps in too.
        assert {r["co_name"] for r in traces[label] if r["type"] == "frame"} - {"asgi"} == functions, label
