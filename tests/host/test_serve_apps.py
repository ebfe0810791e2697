"""The viewer's pages on traces of real web apps: a Django site (WSGI requests through its test
client) and a Starlette app (ASGI, requests running asyncio tasks), each recorded one trace per
request by vesk's middleware, read in headless Chromium."""

from __future__ import annotations

import threading
import time

import pytest
from host_support import Project, needs_engine, visit

from vesk.serve.server import ViewerServer
from vesk.storage import open_store

pytestmark = needs_engine

ENVIRONMENT_PROBE = "probe-7f3a-not-for-traces"
SHOTS = "viewer-apps"  # where the screenshots go, under the test's temporary directory

DJANGO_APP = """
    import django
    from django.conf import settings

    settings.configure(
        DEBUG=False, ALLOWED_HOSTS=["127.0.0.1"], ROOT_URLCONF=__name__,
        MIDDLEWARE=["vesk.middleware.VeskDjangoMiddleware"], VESK={"db_path": "web.sqlite3"},
        DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": "shelf.sqlite3"}},
    )
    django.setup()

    import threading
    import urllib.error
    import urllib.request
    from wsgiref.simple_server import WSGIRequestHandler, make_server

    from django.core.wsgi import get_wsgi_application
    from django.db import connection, models
    from django.http import JsonResponse
    from django.urls import path


    class Author(models.Model):
        name = models.CharField(max_length=50)

        class Meta:
            app_label = "shelf"


    class Book(models.Model):
        title = models.CharField(max_length=50)
        author = models.ForeignKey(Author, on_delete=models.CASCADE)

        class Meta:
            app_label = "shelf"


    def format_title(book):
        return f"{book.title} by {book.author.name}"  # one query per book: the usual N+1


    def books(request):
        return JsonResponse({"books": [format_title(book) for book in Book.objects.order_by("id")]})


    def shelf_number(text):
        return int(text)


    def parse_shelf(text):
        return shelf_number(text)


    def find_shelf(request, text):
        return {"shelf": parse_shelf(text)}


    def shelf(request, text):
        return JsonResponse(find_shelf(request, text))


    urlpatterns = [path("books", books), path("shelf/<str:text>", shelf)]

    with connection.schema_editor() as editor:
        editor.create_model(Author)
        editor.create_model(Book)
    for name, title in (("Le Guin", "The Dispossessed"), ("Herbert", "Dune"), ("Banks", "Excession")):
        Book.objects.create(title=title, author=Author.objects.create(name=name))


    class Quiet(WSGIRequestHandler):
        def log_message(self, *args):
            pass


    # A real WSGI server: it copies the process environment into every request's.
    server = make_server("127.0.0.1", 0, get_wsgi_application(), handler_class=Quiet)
    threading.Thread(target=server.serve_forever, daemon=True).start()


    def status(path):
        try:
            return urllib.request.urlopen(f"http://127.0.0.1:{server.server_port}{path}").status
        except urllib.error.HTTPError as error:
            return error.code


    print(status("/books"), status("/shelf/seven"))
    server.shutdown()
"""

ASGI_APP = """
    import asyncio

    import httpx
    from starlette.applications import Starlette
    from starlette.responses import JSONResponse
    from starlette.routing import Route

    from vesk.middleware import VeskASGIMiddleware


    async def fetch_prices():
        await asyncio.sleep(0.3)  # a slow upstream: the task mostly waits
        return [3, 5]


    async def count_stock():
        return 12


    async def report(request):
        prices = asyncio.create_task(fetch_prices(), name="prices")
        stock = asyncio.create_task(count_stock(), name="stock")
        return JSONResponse({"prices": await prices, "stock": await stock})


    app = VeskASGIMiddleware(Starlette(routes=[Route("/report", report)]), db_path="web.sqlite3")


    async def main():
        async with httpx.AsyncClient(transport=httpx.ASGITransport(app=app), base_url="http://app") as client:
            print((await client.get("/report")).status_code)


    asyncio.run(main())
"""


class Apps:
    def __init__(self, server: ViewerServer, traces: dict[str, str]) -> None:
        self.server = server
        self.traces = traces  # label -> trace id


@pytest.fixture(scope="module")
def apps(tmp_path_factory):
    pytest.importorskip("django")
    pytest.importorskip("starlette")
    project = Project(tmp_path_factory.mktemp("apps"))
    project.write("django_app.py", DJANGO_APP)
    project.write("asgi_app.py", ASGI_APP)
    for script, printed in (("django_app.py", "200 500"), ("asgi_app.py", "200")):
        done = project.python(script, timeout=300, VESK_TEST_PROBE=ENVIRONMENT_PROBE)
        assert (done.returncode, done.stdout.strip()) == (0, printed), done.stderr
    store = open_store(str(project.root / "web.sqlite3"))
    server = ViewerServer(store, "127.0.0.1", 0)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    traces = {summary.label: summary.trace_id for summary in store.list_traces()}
    for trace_id in traces.values():  # whole, so that a page does not show its tree again meanwhile
        while (answer := server.api.answer(["trace", trace_id], ""))[0] == 202 or answer[1]["indexing"]:
            time.sleep(0.05)
    yield Apps(server, traces)
    server.shutdown()
    server.server_close()


def _wait(browser, condition, timeout: float = 60):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(browser, timeout).until(lambda _: condition())


def _shot(browser, tmp_path, name: str) -> None:
    (tmp_path / SHOTS).mkdir(exist_ok=True)
    browser.save_screenshot(str(tmp_path / SHOTS / f"{name}.png"))


def test_a_django_request_shows_models_by_their_fields_and_its_n_plus_one(browser, apps, tmp_path):
    find = visit(browser, apps.server, f"/trace/{apps.traces['GET /books 200']}?q=format_title", "li.match")
    calls = [li.find_element("css selector", ".args").text for li in find("li.call.match, li.call")
             if li.find_element("css selector", ".name").text == "format_title"]
    assert calls[0].startswith("(book=Book(id=1, title='The Dispossessed'")
    browser.find_element("css selector", '[data-tab="sql"]').click()
    (flagged,) = _wait(browser, lambda: find("section.sql-group.n-plus-one"))
    assert "N+1: format_title line" in flagged.text and "3 times from 3 calls" in flagged.text
    _shot(browser, tmp_path, "django-n-plus-one")


def _view_details(browser, apps) -> tuple:
    """The books view's row in the tree, and its details opened."""
    find = visit(browser, apps.server, f"/trace/{apps.traces['GET /books 200']}", "li.call")
    (view,) = [li for li in find("li.call") if li.find_element("css selector", ".name").text == "books"]
    view.find_element("css selector", ".row .name").click()
    _wait(browser, lambda: view.find_elements("css selector", ".details .location"))
    return view, view.find_element("css selector", ".details")


def test_a_django_request_keeps_no_copy_of_the_process_environment(browser, apps, tmp_path):
    _, details = _view_details(browser, apps)
    assert "WSGIRequest" in details.text and "entries of the process environment" in details.text
    assert ENVIRONMENT_PROBE not in details.text and "'PATH'" not in details.text
    _shot(browser, tmp_path, "django-details")


def test_source_locations_are_copied_from_the_tree_and_the_details(browser, apps):
    view, details = _view_details(browser, apps)
    defined, returned = details.find_elements("css selector", ".location")
    assert [location.find_element("css selector", "code").text.split(":")[0] for location in (defined, returned)] == [
        "django_app.py", "django_app.py"]
    defined.find_element("css selector", "button.copy").click()
    _wait(browser, lambda: defined.find_element("css selector", "button.copy").text == "Copied")
    path = view.find_element("css selector", ".row .path")
    path.click()
    _wait(browser, lambda: "copied" in path.get_attribute("class").split())
    assert view.find_elements("css selector", ".details")  # the click copied, not closed the details


def test_a_failed_django_request_opens_at_the_line_that_raised(browser, apps, tmp_path):
    find = visit(browser, apps.server, f"/trace/{apps.traces['GET /shelf/seven 500']}", "li.match")
    (raised,) = find("li.match")
    assert raised.find_element("css selector", ".name").text == "shelf_number"
    assert "ValueError: invalid literal for int()" in raised.find_element("css selector", ".ret").text
    assert [li.find_element("css selector", ".name").text for li in find("li.open")] == ["shelf", "find_shelf", "parse_shelf"]
    assert find("li.request_end")[0].text.endswith("raised ValueError: invalid literal for int() with"
                                                                    " base 10: 'seven' at django_app.py:47")
    _shot(browser, tmp_path, "django-failed")


def test_an_asgi_task_that_awaited_is_drawn_across_its_await_and_ranked_by_wall_time(browser, apps, tmp_path):
    find = visit(browser, apps.server, f"/trace/{apps.traces['GET /report 200']}", ".most-wall")
    (most_wall,) = find(".most-wall")
    ranked = [li.text.split() for li in most_wall.find_elements("css selector", "li")]
    assert [(row[2], float(row[0]) >= 300) for row in ranked[:2]] == [("__main__.report", True), ("__main__.fetch_prices", True)]
    browser.find_element("css selector", '[data-tab="timeline"]').click()
    choice = browser.find_element("css selector", ".thread-choice")
    (prices,) = [option for option in choice.find_elements("css selector", "option") if option.text == "task prices"]
    prices.click()
    browser.execute_script("arguments[0].dispatchEvent(new Event('change'))", choice)
    info = browser.find_element("css selector", ".timeline-panel .toolbar .muted")
    _wait(browser, lambda: info.text.endswith("shown") and float(info.text.split()[0]) >= 300)
    _shot(browser, tmp_path, "asgi-task-timeline")
