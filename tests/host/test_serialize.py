"""The value serialiser: one MessagePack value for anything, bounded, never raising."""

from __future__ import annotations

import collections
import enum
import os
import re
import threading

import msgpack
import pytest
from hypothesis import example, given, settings
from host_support import needs_engine
from hypothesis import strategies as st

from vesk import serialize
from vesk.serialize import Marker, ObjectFields, ObjectRepr, dump_msgpack, dump_msgpack_lightweight_repr, loads

DUMPS = pytest.mark.parametrize("dump", [dump_msgpack, dump_msgpack_lightweight_repr], ids=["full", "light"])


@pytest.fixture(autouse=True)
def default_limits():
    serialize.configure()
    yield
    serialize.configure()


def one_value(data: bytes):
    """Decodes exactly one MessagePack value; fails on trailing bytes or on empty input."""
    assert data
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, ext_hook=serialize.ext_hook)
    unpacker.feed(data)
    values = list(unpacker)
    assert len(values) == 1
    return values[0]


class Raising:
    def __repr__(self):
        raise RuntimeError("no repr for you")


class Counting:
    calls = 0

    def __repr__(self):
        Counting.calls += 1
        return "Counting()"


class Huge:
    def __repr__(self):
        return "h" * 100_000


class NotAString:
    def __repr__(self):
        return 42  # repr() itself raises TypeError


class Color(enum.IntEnum):
    RED = 1


@DUMPS
def test_plain_values_round_trip_unchanged(dump):
    value = {"a": 1, "b": "text", "c": [1.5, None, True], "d": {"nested": b"\x00"}, "e": -(2**63), "f": 2**64 - 1}
    assert loads(dump(value)) == value
    assert loads(dump(None)) is None
    assert loads(dump((1, "x"))) == [1, "x"]


@DUMPS
@pytest.mark.parametrize(
    "hostile",
    [
        "s" * 1_000_000,
        b"b" * 1_000_000,
        list(range(100_000)),
        {i: i for i in range(100_000)},
        10**10_000,
        [[[[[[[[[[[[[[[[[[[[[[[[[[[["deep"]]]]]]]]]]]]]]]]]]]]]]]]]]]],
        [list(range(100)) for _ in range(100)],
        Huge(),
    ],
    ids=["string", "bytes", "list", "dict", "bigint", "deep", "wide", "huge-repr"],
)
def test_output_is_bounded(dump, hostile):
    data = dump(hostile)
    one_value(data)
    assert len(data) < 40_000


def test_every_limit_leaves_a_visible_marker():
    serialize.configure({"max_string_length": 10, "max_items": 3, "max_depth": 2, "max_total_items": 1000})
    assert loads(dump_msgpack("x" * 25)) == "xxxxxxxxxx…[+15 chars]"
    assert loads(dump_msgpack([1, 2, 3, 4, 5])) == [1, 2, 3, Marker("<+2 more items>")]
    cut = loads(dump_msgpack({"a": 1, "b": 2, "c": 3, "d": 4}))
    assert list(cut.values())[-1] == "<+1 more items>" and isinstance(list(cut.values())[-1], Marker)
    deep = loads(dump_msgpack([[["too deep"]]]))
    assert deep == [[Marker("<list of 1 items: too deep>")]]
    assert "bytes" in loads(dump_msgpack(b"y" * 50))


def test_total_budget_stops_wide_and_deep_values():
    serialize.configure({"max_items": 100, "max_depth": 8, "max_total_items": 50})
    value = loads(dump_msgpack([[i] * 10 for i in range(20)]))
    flat = [item for row in value for item in (row if isinstance(row, list) else [row])]
    assert sum(1 for item in flat if isinstance(item, int)) <= 50
    assert any(isinstance(item, Marker) and "size limit" in item for item in flat)


@DUMPS
def test_cycles_terminate_with_a_marker(dump):
    looped = [1]
    looped.append(looped)
    mapping = {"name": "me"}
    mapping["self"] = mapping
    assert loads(dump(looped)) == [1, Marker("<cycle>")]
    assert loads(dump(mapping)) == {"name": "me", "self": Marker("<cycle>")}
    shared = [0]
    assert loads(dump([shared, shared])) == [[0], [0]]  # a shared value is not a cycle


@pytest.mark.parametrize("dump", [dump_msgpack, serialize._dump_msgpack_python], ids=["native", "python"])
def test_an_object_met_again_in_the_same_value_is_shown_once(dump):
    token, parser = Raising(), Counting()
    parser.__dict__.update(current=token, tokens=[token])
    shown = ObjectFields(f"{__name__}.Raising", {})
    again = Marker(f"<{__name__}.Raising: shown above>")
    decoded = loads(dump({"self": parser, "token": token}))
    assert decoded["self"].fields == {"current": shown, "tokens": [again]} and decoded["token"] == again
    # Each value (a record's argument, its locals) shows it afresh, and one first met too deep to be
    # shown by its fields is shown where it can be.
    assert loads(dump(token)) == shown
    serialize.configure({"max_object_depth": 1})
    assert loads(dump([parser, token]))[1] == shown


@DUMPS
def test_secret_looking_names_are_redacted_at_any_depth(dump):
    value = {
        "password": "hunter2",
        "user": {"API-Key": "k", "name": "ada", "session_token": "t"},
        "headers": {"Authorization": "Bearer x", "Cookie": "c=1", "Accept": "*/*"},
        "client_secret": 5,
    }
    decoded = loads(dump(value))
    assert decoded["password"] == "<redacted>" and isinstance(decoded["password"], Marker)
    assert decoded["user"] == {"API-Key": "<redacted>", "name": "ada", "session_token": "<redacted>"}
    assert decoded["headers"]["Accept"] == "*/*"
    assert decoded["headers"]["Authorization"] == decoded["headers"]["Cookie"] == "<redacted>"
    assert decoded["client_secret"] == "<redacted>"
    assert b"hunter2" not in dump(value) and b"Bearer" not in dump(value)


def test_secret_names_are_configurable():
    serialize.configure({"secret_names": ["pin"]})
    assert loads(dump_msgpack({"PIN": 1234, "password": "visible now"})) == {
        "PIN": Marker("<redacted>"),
        "password": "visible now",
    }


def test_opted_in_reprs_are_bounded_and_a_raising_repr_is_survived():
    serialize.configure({"call_repr": True})
    decoded = loads(dump_msgpack({"c": Counting(), "r": Raising(), "n": NotAString(), "h": Huge()}))
    assert decoded["c"] == "Counting()" and isinstance(decoded["c"], ObjectRepr)
    assert "Raising object at 0x" in decoded["r"] and "repr raised RuntimeError" in decoded["r"]
    assert "NotAString object at 0x" in decoded["n"]
    assert decoded["h"].endswith("…[+99000 chars]")


def test_lightweight_never_runs_program_code():
    Counting.calls = 0

    class Sneaky(dict):
        def items(self):
            raise AssertionError("items() of a subclass was called")

        def __iter__(self):
            raise AssertionError("__iter__ of a subclass was called")

    class Text(str):
        def __str__(self):
            raise AssertionError("__str__ was called")

    counting = Counting()
    value = {
        "object": counting,
        "raising": Raising(),
        "in_list": [counting, (counting,)],
        "sneaky": Sneaky(a=counting),
        "text": Text("abc"),
        "color": Color.RED,
        counting: "as a key",
    }
    decoded = loads(dump_msgpack_lightweight_repr(value))
    assert Counting.calls == 0
    assert decoded["object"] == f"<{__name__}.Counting object at {id(counting):#x}>"
    assert decoded["sneaky"] == {"a": decoded["object"]}
    assert decoded["text"] == "abc" and type(decoded["text"]) is str
    assert decoded["color"] == 1


def test_full_serialiser_keeps_type_information_without_calling_reprs():
    point = collections.namedtuple("Point", "x y")(1, 2)
    stream = (n for n in ())
    value = {"point": point, "color": Color.RED, "ordered": collections.OrderedDict(a=1), "stream": stream, len: 1}
    decoded = loads(dump_msgpack(value))
    assert decoded == {
        "point": ObjectFields(f"{__name__}.Point", {"x": 1, "y": 2}),
        "color": ObjectRepr("Color.RED"),
        "ordered": {"a": 1},
        "stream": ObjectRepr(repr(stream)),
        ObjectRepr("<built-in function len>"): 1,
    }
    assert str(decoded["point"]) == "Point(x=1, y=2)"


@DUMPS
def test_unusual_keys_and_text(dump):
    decoded = loads(dump({(1, 2): "tuple key", None: 1, 2.5: 2, "lone \ud800 surrogate": "\udfff"}))
    assert decoded[ObjectRepr("(1, 2)")] == "tuple key"
    assert decoded[None] == 1 and decoded[2.5] == 2
    assert decoded["lone \\ud800 surrogate"] == "\\udfff"


def test_lazy_query_objects_are_never_evaluated():
    class QuerySet:
        def __repr__(self):
            raise AssertionError("the query ran")

    QuerySet.__module__ = "django.db.models.query"
    assert "QuerySet object at 0x" in loads(dump_msgpack(QuerySet()))


def test_a_value_changing_under_the_walk_does_not_break_it():
    serialize.configure({"call_repr": True})
    victim = {"a": 1}

    class Mutator:
        def __repr__(self):
            victim.update({f"k{i}": i for i in range(50)})
            return "Mutator()"

    victim["m"] = Mutator()
    decoded = loads(dump_msgpack(victim))
    assert decoded["m"] == "Mutator()"


def test_concurrent_use_from_threads_gives_whole_values():
    values = [{"n": i, "text": "x" * i, "obj": Counting()} for i in range(200)]
    results: list[bytes] = []

    def work():
        for value in values:
            results.append(dump_msgpack(value))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 800
    assert all(one_value(result)["text"] == "x" * one_value(result)["n"] for result in results)


json_like = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary(),
    lambda children: st.lists(children, max_size=6)
    | st.dictionaries(st.text(max_size=8), children, max_size=6)
    | st.tuples(children, children),
    max_leaves=60,
)


@settings(max_examples=200, deadline=None)
@given(json_like)
@example(("pwd", "pwd"))  # a text redacted as the value of a pair, shown before as its name
def test_fast_and_careful_paths_agree(value):
    """A plain value gives the same bytes whether the scan accepts it or the walk converts it."""
    fast = dump_msgpack(value)
    redacted: dict = {}
    careful = serialize._careful(value, False, redacted)
    if redacted:  # a text shown before it was redacted elsewhere in the value: walked again knowing it
        careful = serialize._careful(value, False, redacted)
    assert fast == careful
    one_value(dump_msgpack_lightweight_repr(value))


@settings(max_examples=100, deadline=None)
@given(st.recursive(st.integers() | st.text() | st.builds(Raising) | st.builds(Counting), st.lists, max_leaves=30))
def test_anything_gives_exactly_one_value(value):
    one_value(dump_msgpack(value))
    one_value(dump_msgpack_lightweight_repr(value))


# --- no code of the program runs ----------------------------------------------------------------------

PROGRAM_CODE_CALLS: list[str] = []


class Hostile:
    """Every method the serialiser could be tempted to call records that it ran."""

    limit = 2

    def __init__(self, observer):
        observer(self)  # half-built: `later` is not set yet
        self.later = "set"

    def __repr__(self):
        PROGRAM_CODE_CALLS.append("__repr__")
        return "Hostile()"

    def __eq__(self, other):
        PROGRAM_CODE_CALLS.append("__eq__")
        return False

    def __hash__(self):
        PROGRAM_CODE_CALLS.append("__hash__")
        return 0

    def __len__(self):
        PROGRAM_CODE_CALLS.append("__len__")
        return 0

    def __iter__(self):
        PROGRAM_CODE_CALLS.append("__iter__")
        return iter(())

    def __getattr__(self, name):
        PROGRAM_CODE_CALLS.append(f"__getattr__({name})")
        raise AttributeError(name)

    @property
    def computed(self):
        PROGRAM_CODE_CALLS.append("property")
        return 1


class HostileDict(dict):
    def items(self):
        PROGRAM_CODE_CALLS.append("dict.items")
        return super().items()

    def __len__(self):
        PROGRAM_CODE_CALLS.append("dict.__len__")
        return 0


class HostileList(list):
    def __iter__(self):
        PROGRAM_CODE_CALLS.append("list.__iter__")
        return super().__iter__()


class HostileSlots:
    __slots__ = ("value", "missing")

    def __init__(self, value):
        self.value = value

    def __getattribute__(self, name):
        PROGRAM_CODE_CALLS.append("__getattribute__")
        return object.__getattribute__(self, name)


@pytest.mark.parametrize(
    "dump",
    [dump_msgpack, dump_msgpack_lightweight_repr, serialize._dump_msgpack_python],
    ids=["native", "native-light", "python"],
)
def test_objects_are_shown_without_running_any_of_their_code(dump):
    half_built = []
    hostile = Hostile(lambda self: half_built.append(loads(dump({"self": self}))))
    value = {
        "object": hostile,
        "dict": HostileDict(a=hostile),
        "list": HostileList([hostile]),
        "slots": HostileSlots(hostile),
        hostile: "as a key",
    }
    PROGRAM_CODE_CALLS.clear()
    decoded = loads(dump(value))
    assert PROGRAM_CODE_CALLS == []
    if dump is not dump_msgpack_lightweight_repr:
        assert half_built == [{"self": ObjectFields(f"{__name__}.Hostile", {})}]
        assert decoded["object"] == ObjectFields(f"{__name__}.Hostile", {"later": "set"})
        again = Marker(f"<{__name__}.Hostile: shown above>")
        assert decoded["slots"] == ObjectFields(f"{__name__}.HostileSlots", {"value": again})
        assert decoded["list"] == [again] and decoded["dict"] == {"a": again}


def test_declared_fields_show_what_the_class_repr_would():
    from test_serialize_native import Attrs, Record

    decoded = loads(dump_msgpack([Record("ada"), Attrs(1)]))
    assert [str(item) for item in decoded] == ["Record(name='ada', password=<redacted>)", "Attrs(shown=1)"]


def test_objects_inside_objects_are_shown_by_fields_only_to_max_object_depth():
    class Node:
        def __init__(self, child=None):
            self.child = child

    chain = Node(Node(Node()))
    assert str(loads(dump_msgpack(chain))).startswith("Node(child=Node(child=<")
    serialize.configure({"max_object_depth": 0})
    shown_by_identity = f"<{Node.__module__}.{Node.__qualname__} object at {id(chain):#x}>"
    assert loads(dump_msgpack([chain])) == [ObjectRepr(shown_by_identity)]


def test_a_large_object_inside_another_is_shown_by_identity():
    class Settings:
        def __init__(self, count):
            for i in range(count):
                setattr(self, f"option{i}", i)

    class Node:
        def __init__(self, environment):
            self.environment = environment

    small, large = Settings(12), Settings(13)
    assert loads(dump_msgpack(Node(small))).fields["environment"] == ObjectFields(
        f"{__name__}.Settings", vars(small)
    )
    assert loads(dump_msgpack(Node(large))).fields["environment"] == ObjectRepr(
        f"<{Settings.__module__}.{Settings.__qualname__} object at {id(large):#x}>"
    )
    assert loads(dump_msgpack(large)) == ObjectFields(f"{__name__}.Settings", vars(large))


def test_a_function_shown_again_shows_its_current_name():
    def callback():
        pass

    assert loads(dump_msgpack([callback])) == [ObjectRepr(repr(callback))]
    callback.__qualname__ = "renamed"
    assert loads(dump_msgpack([callback])) == [ObjectRepr(f"<function renamed at {id(callback):#x}>")]


def test_a_pattern_shown_again_follows_the_limits_set_since():
    pattern = re.compile("a" * 30)
    assert loads(dump_msgpack([pattern])) == [ObjectRepr(repr(pattern))]
    serialize.configure({"max_string_length": 10})
    assert loads(dump_msgpack([pattern])) == [ObjectRepr("re.compile…[+34 chars]")]


def test_reprs_run_only_for_the_types_opted_into():
    counting = Counting()
    Counting.calls = 0
    serialize.configure({"repr_types": [f"{__name__}.Counting"]})
    assert loads(dump_msgpack([counting, Raising()]))[0] == ObjectRepr("Counting()")
    assert Counting.calls == 1
    serialize.configure({"call_repr": True})
    assert "repr raised RuntimeError" in loads(dump_msgpack([counting, Raising()]))[1]
    serialize.configure()
    assert loads(dump_msgpack(counting)) == ObjectFields(f"{__name__}.Counting", {})
    assert Counting.calls == 2


class ModelState:
    def __init__(self):
        self.db, self.adding, self.fields_cache = "default", False, {}


class Book:
    """Shaped like an ORM model instance: its machinery set before its fields."""

    def __init__(self):
        self._state = ModelState()
        self.id = 1
        self._prefetched_objects_cache = {}
        self.title = "Dune"


@pytest.mark.parametrize("dump", [dump_msgpack, serialize._dump_msgpack_python], ids=["native", "python"])
def test_objects_show_their_fields_before_their_machinery(dump):
    decoded = loads(dump({"book": Book()}))["book"]
    assert list(decoded.fields) == ["id", "title", "_state", "_prefetched_objects_cache"]
    assert str(decoded).startswith("Book(id=1, title='Dune', _state=ModelState(")


@pytest.mark.parametrize("dump", [dump_msgpack, serialize._dump_msgpack_python], ids=["native", "python"])
def test_a_wsgi_environment_leaves_out_the_entries_copied_from_the_process_environment(dump, monkeypatch):
    monkeypatch.setenv("VESK_TEST_HOME", "/home/ada")
    monkeypatch.setenv("VESK_TEST_CHANGED", "before")
    serialize.configure()
    environ = dict(os.environ, VESK_TEST_CHANGED="after", PATH_INFO="/books", HTTP_HOST="example.com")
    copied = len(environ) - 3
    decoded = loads(dump({"environ": environ, "META": environ, "other": {"VESK_TEST_HOME": "/home/ada"}}))
    shown = {"VESK_TEST_CHANGED": "after", "PATH_INFO": "/books", "HTTP_HOST": "example.com",
             Marker("<process environment>"): Marker(f"<{copied} entries of the process environment>")}
    assert decoded["environ"] == decoded["META"] == shown
    assert decoded["other"] == {"VESK_TEST_HOME": "/home/ada"}


DJANGO_VALUES = """
import io, os
import django
from django.conf import settings

settings.configure(INSTALLED_APPS=["django.contrib.contenttypes"])
django.setup()
from django.core.handlers.wsgi import WSGIRequest
from django.db import models
from vesk import serialize


class Book(models.Model):
    title = models.CharField(max_length=100)

    class Meta:
        app_label = "contenttypes"


request = WSGIRequest({**os.environ, "REQUEST_METHOD": "GET", "PATH_INFO": "/books", "wsgi.input": io.BytesIO()})
print(serialize.loads(serialize.dump_msgpack(Book(id=7, title="Dune"))))
shown = serialize.loads(serialize.dump_msgpack({"request": request}))["request"].fields
# The same dict twice: the objects in it are shown in the first only.
print(sorted(key for key in shown["environ"] if type(key) is str), shown["META"].keys() == shown["environ"].keys())
"""


def test_a_django_model_reads_by_its_fields_and_a_request_without_the_process_environment(project):
    pytest.importorskip("django")
    project.write("values.py", DJANGO_VALUES)
    done = project.python("values.py")
    assert done.returncode == 0, done.stderr
    model, environ = done.stdout.splitlines()
    assert model.startswith("Book(id=7, title='Dune', _state=ModelState(")
    assert environ == "['PATH_INFO', 'REQUEST_METHOD', 'SCRIPT_NAME', 'wsgi.input'] True"


HOSTILE_PROGRAM = """
import threading

lock = threading.Lock()
calls = []


class Guarded:
    def __repr__(self):
        calls.append("repr")
        with lock:  # held by the caller: a repr run while recording would wait for ever
            return "Guarded()"


def use(value):
    return value


with lock:
    use(Guarded())
print("calls:", calls)
"""

INTERRUPTING_PROGRAM = """
class Interrupting:
    def __repr__(self):
        raise KeyboardInterrupt


def use(value):
    return value


try:
    use(Interrupting())
except KeyboardInterrupt:
    print("interrupted")
"""


@needs_engine
def test_a_repr_waiting_for_a_lock_the_caller_holds_does_not_hang_the_program(project):
    project.write("hostile.py", HOSTILE_PROGRAM)
    done = project.run("run", "hostile.py", check=True, timeout=60)
    assert "calls: []" in done.stdout


@needs_engine
def test_with_reprs_opted_into_a_keyboard_interrupt_from_one_reaches_the_program(project):
    project.write(".vesk/config.toml", "[serialize]\ncall_repr = true\n")
    project.write("interrupting.py", INTERRUPTING_PROGRAM)
    done = project.run("run", "interrupting.py", timeout=60)
    assert "interrupted" in done.stdout, done.stderr
