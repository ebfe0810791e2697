"""Reading plugin descriptions from vesk.plugins into the plugin table."""

import sys
import types

import pytest

import _vesk_testing as t


@pytest.fixture
def plugins(monkeypatch):
    """A stand-in vesk.plugins whose load_plugin_data returns `plugins.data` and records its calls."""
    module = types.ModuleType("vesk.plugins")
    module.data = []
    module.calls = []

    def load_plugin_data(config):
        module.calls.append(config)
        return module.data

    module.load_plugin_data = load_plugin_data
    monkeypatch.setitem(sys.modules, "vesk.plugins", module)
    return module


def description(**fields):
    base = {"co_names": ["execute"], "path_fragment": "/db/", "call_type": "query_start",
            "return_type": "query_end"}
    base.update(fields)
    return {k: v for k, v in base.items() if v is not ...}


def test_empty_list_gives_empty_table(plugins):
    config = {"k": 1}
    assert t.load_plugins(config) == {}
    assert plugins.calls == [config] and plugins.calls[0] is config


def test_fields_of_a_full_description(plugins):
    def call(*args):
        return True

    def process(*args):
        return {}

    plugins.data = [description(subtype="sql", call=call, process=process, events=("call", "return"),
                                ignored_key=object())]
    [processor] = t.load_plugins({})["execute"]
    assert processor == {
        "path_fragment": "/db/", "call_type": "query_start", "return_type": "query_end", "subtype": "sql",
        "events": ["call", "return"], "context": {}, "call": call, "process": process,
        "frame_ids_by_address": {},
    }
    assert processor["call"] is call and processor["process"] is process


def test_processors_per_name_share_one_context(plugins):
    config = {"db": "main"}
    contexts = []

    def build_context(given):
        assert given is config
        contexts.append({"built": len(contexts)})
        return contexts[-1]

    plugins.data = [description(co_names=["get", "post"], build_context=build_context),
                    description(co_names=["get"], path_fragment="/other/")]
    table = t.load_plugins(config)
    assert sorted(table) == ["get", "post"]
    assert len(contexts) == 1
    assert table["get"][0]["context"] is contexts[0] is table["post"][0]["context"]
    # Description order within a name; each description its own context.
    assert [p["path_fragment"] for p in table["get"]] == ["/db/", "/other/"]
    assert table["get"][1]["context"] == {} and table["get"][1]["context"] is not contexts[0]


def test_co_names_may_be_any_iterable_and_repeat(plugins):
    plugins.data = [description(co_names=(n for n in ["a", "b", "a"]))]
    table = t.load_plugins({})
    assert {name: len(ps) for name, ps in table.items()} == {"a": 2, "b": 1}
    assert table["a"][0]["context"] is table["a"][1]["context"] is table["b"][0]["context"]


def test_none_counts_as_absent(plugins):
    plugins.data = [description(build_context=None, call=None, process=None, events=None)]
    [processor] = t.load_plugins({})["execute"]
    assert processor["context"] == {}
    assert processor["call"] is processor["process"] is processor["events"] is processor["subtype"] is None


def test_empty_co_names_reads_nothing_else_but_builds_the_context(plugins):
    built = []
    plugins.data = [{"co_names": [], "build_context": lambda config: built.append(1) or {},
                     "subtype": None, "events": "call"}]
    assert t.load_plugins({}) == {}
    assert built == [1]


def test_dict_subclasses_are_descriptions_and_contexts(plugins):
    class Description(dict):
        pass

    class Context(dict):
        pass

    context = Context()
    plugins.data = [Description(description(build_context=lambda config: context))]
    assert t.load_plugins({})["execute"][0]["context"] is context


@pytest.mark.parametrize(("fields", "error", "message"), [
    ({"co_names": ...}, KeyError, "'co_names'"),
    ({"path_fragment": ...}, KeyError, "'path_fragment'"),
    ({"call_type": ...}, KeyError, "'call_type'"),
    ({"return_type": ...}, KeyError, "'return_type'"),
    ({"co_names": 5}, TypeError, "'int' object is not iterable"),
    ({"co_names": "execute"}, None, None),  # a str is an iterable of one-letter names
    ({"co_names": [b"execute"]}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"path_fragment": b"/db/"}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
    ({"path_fragment": "\udcff"}, UnicodeEncodeError, None),
    ({"call_type": 1}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"return_type": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"subtype": None}, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
    ({"events": "call"}, TypeError, "Can't extract `str` to `Vec`"),
    ({"events": {"call"}}, TypeError, "'set' object cannot be converted to 'Sequence'"),
    ({"events": ["call", 3]}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"build_context": lambda config: ["not", "a", "dict"]}, TypeError,
     "'list' object cannot be converted to 'PyDict'"),
    ({"build_context": lambda config: 1 / 0}, ZeroDivisionError, "division by zero"),
])
def test_description_errors(plugins, fields, error, message):
    plugins.data = [description(**fields)]
    if error is None:
        assert sorted(t.load_plugins({})) == sorted(set("execute"))
        return
    with pytest.raises(error) as raised:
        t.load_plugins({})
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


def test_first_error_ends_loading_even_after_good_descriptions(plugins):
    plugins.data = [description(), ["not a dict"], description(call_type=1)]
    with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyDict'$"):
        t.load_plugins({})


def test_co_names_iteration_error_propagates(plugins):
    def names():
        yield "execute"
        raise LookupError("no more")

    plugins.data = [description(co_names=names())]
    with pytest.raises(LookupError, match="no more"):
        t.load_plugins({})


class _CollidesWith:
    """A key hashing like `text` whose comparison raises: a dict lookup of `text` then raises."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise RuntimeError("no comparing")


@pytest.mark.parametrize("key", ["build_context", "subtype", "call", "process", "events"])
def test_raising_dict_lookup_is_an_internal_error(plugins, key):
    entry = description()
    entry[_CollidesWith(key)] = None
    plugins.data = [entry]
    with pytest.raises(t.InternalError) as raised:
        t.load_plugins({})
    assert str(raised.value) == "a string is always a valid dict key: RuntimeError: no comparing"


def _no_loader():
    module = types.ModuleType("vesk.plugins")
    return module


def _loader(function):
    module = types.ModuleType("vesk.plugins")
    module.load_plugin_data = function
    return module


def _raise(error):
    raise error


@pytest.mark.parametrize(("module", "message"), [
    (None, "vesk.plugins should always be importable: ModuleNotFoundError: import of vesk.plugins halted; "
           "None in sys.modules"),
    (_no_loader(), "load_plugin_data should exist: AttributeError: module 'vesk.plugins' has no attribute "
                   "'load_plugin_data'"),
    (_loader(5), "load_plugin_data should be callable: TypeError: 'int' object is not callable"),
    (_loader(lambda config: _raise(ValueError("bad"))), "load_plugin_data should be callable: ValueError: bad"),
    (_loader(lambda config: ()), "load_plugin_data should return a list: TypeError: 'tuple' object cannot be "
                                 "converted to 'PyList'"),
])
def test_host_call_failures_are_internal_errors(monkeypatch, module, message):
    monkeypatch.setitem(sys.modules, "vesk.plugins", module)
    with pytest.raises(t.InternalError) as raised:
        t.load_plugins({})
    assert str(raised.value) == message


def test_list_subclass_is_accepted(plugins):
    class Descriptions(list):
        pass

    plugins.data = Descriptions([description()])
    assert list(t.load_plugins({})) == ["execute"]


def test_list_changed_while_loading(plugins):
    # Elements appended by a build_context are not read; removed ones end the loop.
    grow = description(co_names=["first"], build_context=lambda config: plugins.data.append(
        description(co_names=["appended"])) or {})
    plugins.data = [grow, description(co_names=["second"])]
    assert sorted(t.load_plugins({})) == ["first", "second"]

    shrink = description(co_names=["first"], build_context=lambda config: plugins.data.clear() or {})
    plugins.data = [shrink, description(co_names=["second"])]
    assert sorted(t.load_plugins({})) == ["first"]


def test_references_are_released(plugins):
    def call(*args):
        return True

    def process(*args):
        return {}

    context = {}
    build = lambda config: context  # noqa: E731
    entry = description(co_names=["a", "b"], build_context=build, call=call, process=process)
    bad_entry = description(co_names=["a", "b"], build_context=build, call=call, return_type=None)
    config = {}
    watched = [entry, context, build, call, process, config, entry["co_names"], entry["path_fragment"]]
    before = refcounts(watched)

    plugins.data = [entry]
    tester = t.PluginTester(config)
    assert tester.summary()["a"][0]["context"] is context
    # The table holds the context and callables once per processor, nothing else.
    plugins.calls.clear()
    plugins.data = []
    held = [b + (2 if o is context or o is call or o is process else 0) for o, b in zip(watched, before)]
    assert refcounts(watched) == held
    del tester
    assert refcounts(watched) == before

    plugins.data = [entry, bad_entry]
    for _ in range(3):
        with pytest.raises(TypeError):
            t.load_plugins(config)
    plugins.calls.clear()
    plugins.data = []
    assert refcounts(watched) == before


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]
