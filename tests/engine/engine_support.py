"""Helpers for driving the engine the way the host package does, with stand-in host modules."""

import contextlib
import sys
import threading
import types

import msgpack
import pytest

from vesk import _vesk


class Host:
    """A minimal host profiler object: callable, with the attributes the engine reads."""

    def __init__(self, config=None, db_path="traces.sqlite3", one_trace_per_test=False,
                 trace_id="trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", source="tests"):
        self.config = {} if config is None else config
        self.db_path = db_path
        self.one_trace_per_test = one_trace_per_test
        self.trace_id = trace_id
        self.source = source

    def __call__(self, *args):
        return None


class FakeHostModules:
    """Stand-ins for vesk.serialize, vesk.db and vesk.plugins: the engine imports them by name at
    each use, so entries in sys.modules take effect at once."""

    def __init__(self, monkeypatch):
        self.saved = []
        self.plugin_data = []
        self.serialize = types.ModuleType("vesk.serialize")
        self.serialize.dump_msgpack = lambda value: msgpack.packb(value, default=repr)
        self.serialize.dump_msgpack_lightweight_repr = lambda value: msgpack.packb(
            value, default=lambda v: f"<{type(v).__name__}>")
        self.db = types.ModuleType("vesk.db")
        self.db.save_trace_in_sqlite = self._save
        self.plugins = types.ModuleType("vesk.plugins")
        self.plugins.load_plugin_data = lambda config: self.plugin_data
        for name in ("serialize", "db", "plugins"):
            monkeypatch.setitem(sys.modules, f"vesk.{name}", getattr(self, name))

    def _save(self, db_path, trace_id, **keywords):
        self.saved.append((db_path, trace_id, keywords))

    def saved_documents(self):
        return [msgpack.unpackb(keywords["msgpack"], strict_map_key=False) for _, _, keywords in self.saved]


@pytest.fixture
def host_modules(monkeypatch):
    return FakeHostModules(monkeypatch)


@contextlib.contextmanager
def profiling(host):
    """Profiles the calling thread inside the block and always stops profiling it."""
    _vesk.register_profiler(host)
    try:
        yield host.rust_profiler
    finally:
        stop_profiling()


def stop_profiling():
    """Stops recording the calling thread, as the host does: where sys.monitoring carries the events,
    taking the profile function away does not reach them."""
    _vesk.register_noop_profiler()
    sys.setprofile(None)
    threading.setprofile(None)


@pytest.fixture
def profile_function(monkeypatch):
    """Events go through the profile function even where sys.monitoring could carry them."""
    monkeypatch.setenv("VESK_PROFILE_FUNCTION", "1")


def decode(document):
    return msgpack.unpackb(document, strict_map_key=False)


def frames_of(document, **match):
    """The default frame records of a decoded document whose fields equal `match`."""
    records = list(document["frames_of_interest"])
    for thread_records in document["frames"].values():
        records.extend(thread_records)
    return [r for r in records if r.get("type") == "frame" and all(r.get(k) == v for k, v in match.items())]
