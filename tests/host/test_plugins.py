"""The built-in plugin descriptions: switches, and that they name functions that really exist."""

from __future__ import annotations

import ast
import importlib
import os

import pytest

from vesk import config, plugins

# Where each library plugin's functions live: (module whose file the fragment must match, fragment).
LIBRARY_FILES = {
    "/http/client.py": "http.client",
    "/logging/__init__.py": "logging",
    "/django/db/backends/utils.py": "django.db.backends.utils",
    "/sqlalchemy/engine/default.py": "sqlalchemy.engine.default",
    "/sqlalchemy/": "sqlalchemy.engine.default",
    "/asyncio/events.py": "asyncio.events",
}

OWN_FILES = {
    "/vesk/pytest_plugin.py": "vesk.pytest_plugin",
    "/vesk/middleware.py": "vesk.middleware",
    "/vesk/__main__.py": "vesk.__main__",
    "/vesk/profiler.py": "vesk.profiler",
}


def function_names(path: str) -> set[str]:
    with open(path, encoding="utf-8") as handle:
        tree = ast.parse(handle.read())
    return {node.name for node in ast.walk(tree) if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))}


def test_every_description_names_functions_of_the_file_it_matches():
    for description in plugins.load_plugin_data(config.defaults()):
        fragment = description["path_fragment"]
        module_name = LIBRARY_FILES.get(fragment) or OWN_FILES[fragment]
        if module_name.split(".")[0] in ("django", "sqlalchemy"):
            pytest.importorskip(module_name.split(".")[0])
        module = importlib.import_module(module_name)
        path = os.path.abspath(module.__file__).replace(os.sep, "/")
        assert fragment in path, (fragment, path)
        missing = set(description["co_names"]) - function_names(module.__file__)
        assert not missing, (fragment, missing)


def test_each_plugin_can_be_switched_off():
    everything = plugins.load_plugin_data(config.defaults())
    types = {d["call_type"] for d in everything} | {d["return_type"] for d in everything}
    assert {"start_test", "end_test", "request_start", "request_end", "program_exit", "http_request",
            "http_response", "sql_query", "sql_result", "log"} <= types
    for name in config.PLUGIN_NAMES:
        settings = config.defaults()
        settings["plugins"][name] = False
        remaining = plugins.load_plugin_data(settings)
        assert 0 < len(remaining) < len(everything), name
    settings = config.defaults()
    settings["plugins"] = {name: False for name in config.PLUGIN_NAMES}
    # Only the markers of a program taking recording away and of unsteady durations stay.
    assert [d["call_type"] for d in plugins.load_plugin_data(settings)] == ["recording_ended", "durations_unsteady"]


@pytest.mark.parametrize(
    "url, expected",
    [
        ("http://h/p?token=abc&page=2", "http://h/p?token=<redacted>&page=2"),
        ("http://h/p?API_KEY=1&q=a%20b", "http://h/p?API_KEY=<redacted>&q=a%20b"),
        ("http://h/p?flag&x=1", "http://h/p?flag&x=1"),
        ("http://h/p", "http://h/p"),
    ],
)
def test_secret_query_parameters_are_redacted_in_urls(url, expected):
    assert plugins.redact_query(url) == expected


def _sqlalchemy_program():
    from sqlalchemy import Column, Integer, create_engine
    from sqlalchemy.orm import Session, declarative_base

    base = declarative_base()

    class Item(base):
        __tablename__ = "items"
        id = Column(Integer, primary_key=True)

    def store():
        engine = create_engine("sqlite://")
        base.metadata.create_all(engine)
        with Session(engine) as session:
            session.add(Item())
            session.commit()
            return session.query(Item).count()

    return store


def _jinja2_program():
    import itertools

    from jinja2 import Template

    # The loop's groups are only right if nothing reads ahead in the iterator while the template runs.
    template = Template("{% for _, g in gs %}{{ loop.index }} {{ g|list }};{% endfor %}")
    return lambda: template.render(gs=itertools.groupby([(1, "a"), (1, "b"), (2, "c")], lambda pair: pair[0]))


@pytest.mark.parametrize("library, program, generated", [
    ("sqlalchemy", _sqlalchemy_program, "<sqlalchemy generated"),
    ("jinja2", _jinja2_program, "<template>"),
])
def test_code_a_library_generates_is_left_out_like_the_library_itself(tmp_path, library, program, generated):
    pytest.importorskip(library)
    import msgpack

    from host_support import records

    import vesk
    from vesk.storage import open_store

    run = program()
    with vesk.profile(db_path=tmp_path / "db.sqlite3") as recording:
        result = run()
    assert result == program()()
    paths = {record["path"] for document in open_store(str(tmp_path / "db.sqlite3")).iter_documents(recording.trace_id)
             for record in records(msgpack.unpackb(document, strict_map_key=False))
             if record.get("type") == "frame"}
    assert paths and not [path for path in paths if path.startswith(generated)]
