"""Running plugin processors at call and return events."""

import collections.abc
import gc
import re
import sys
import threading
import time
import types

import msgpack
import pytest

import _vesk_testing as t

DB_FILE = "/srv/venv/lib/python3.12/site-packages/dblib/cursor.py"
FRAME_ID = re.compile(r"frm_[0-7][0-9A-HJKMNP-TV-Z]{25}")
STANDARD_KEYS = ["frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type"]


@pytest.fixture
def serializer(monkeypatch):
    """A stand-in vesk.serialize that remembers which function got which record (as item pairs)."""
    module = types.ModuleType("vesk.serialize")
    module.seen = []

    def make(kind):
        def dump(value):
            module.seen.append((kind, list(value.items())))
            return msgpack.packb(value, default=repr)
        return dump

    module.dump_msgpack = make("full")
    module.dump_msgpack_lightweight_repr = make("lightweight")
    monkeypatch.setitem(sys.modules, "vesk.serialize", module)
    return module


@pytest.fixture
def make_tester(monkeypatch, serializer):
    def make(*descriptions, config=None):
        module = types.ModuleType("vesk.plugins")
        module.load_plugin_data = lambda config: list(descriptions)
        monkeypatch.setitem(sys.modules, "vesk.plugins", module)
        return t.PluginTester({} if config is None else config)
    return make


def plugin(**fields):
    base = {"co_names": ["execute"], "path_fragment": "/dblib/", "call_type": "query_start",
            "return_type": "query_end"}
    base.update(fields)
    return base


def run(tester, event="call", frame=None, arg=None, co_name="execute", index=0, filename=DB_FILE,
        call_frames=(), lightweight=False):
    frame = sys._getframe(1) if frame is None else frame
    return tester.run(co_name, index, frame, event, arg, filename, list(call_frames), lightweight)


def decoded(result):
    data, type_text = result
    record = msgpack.unpackb(data)
    return record, type_text


def test_standard_record_at_call_and_return(make_tester):
    tester = make_tester(plugin())
    frame = sys._getframe()
    before = time.time()
    call, call_type = decoded(run(tester, "call", frame))
    ret, return_type = decoded(run(tester, "return", frame, arg=42))
    after = time.time()

    assert list(call) == STANDARD_KEYS and list(ret) == STANDARD_KEYS
    assert (call_type, call["type"]) == ("query_start", "query_start")
    assert (return_type, ret["type"]) == ("query_end", "query_end")
    assert FRAME_ID.fullmatch(call["frame_id"])
    assert ret["frame_id"] == call["frame_id"]
    assert before <= call["timestamp"] <= ret["timestamp"] <= after
    assert call["thread"] == threading.current_thread().name
    assert call["thread_native_id"] == threading.get_native_id()
    assert call["user_code_call_site"] is None
    # Forgotten at the return: the map holds only open calls, however long the program runs.
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {}


def test_path_fragment_decides_first(make_tester):
    calls = []
    tester = make_tester(plugin(call=lambda *args: calls.append(args) or True))
    assert run(tester, filename="/home/user/app/db.py") is None
    assert run(tester, filename="/dblib") is None  # shorter than the fragment
    assert calls == []
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {}
    assert run(tester, filename="/x/dblib/") is not None


def test_return_without_call_gets_a_fresh_id_each_time(make_tester):
    tester = make_tester(plugin())
    first, _ = decoded(run(tester, "return"))
    second, _ = decoded(run(tester, "return"))
    assert first["frame_id"] != second["frame_id"]
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {}


def test_each_processor_has_its_own_ids(make_tester):
    tester = make_tester(plugin(), plugin(call_type="other_start"))
    first, first_type = decoded(run(tester, index=0))
    second, second_type = decoded(run(tester, index=1))
    assert (first_type, second_type) == ("query_start", "other_start")
    assert first["frame_id"] != second["frame_id"]
    frame = sys._getframe()
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {id(frame): first["frame_id"]}
    assert tester.processor("execute", 1)["frame_ids_by_address"] == {id(frame): second["frame_id"]}


def test_events_restrict_after_the_predicate(make_tester):
    seen = []
    tester = make_tester(plugin(events=["return"], call=lambda frame, event, arg, ctx: seen.append(event) or True))
    assert run(tester, "call") is None
    first, _ = decoded(run(tester, "return"))
    second, _ = decoded(run(tester, "return"))
    assert seen == ["call", "return", "return"]
    assert first["frame_id"] != second["frame_id"]
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {}


def test_predicate_arguments_and_verdicts(make_tester):
    seen = []
    verdicts = []

    def call(*args):
        seen.append(args)
        return verdicts.pop(0)

    context = {"c": 1}
    tester = make_tester(plugin(call=call, build_context=lambda config: context))
    frame = sys._getframe()
    arg = object()

    verdicts[:] = [False, True]
    assert run(tester, "return", frame, arg) is None
    assert run(tester, "return", frame, arg) is not None
    assert len(seen) == 2
    given_frame, event, given_arg, given_context = seen[0]
    assert given_frame is frame and event == "return" and type(event) is str
    assert given_arg is arg and given_context is context

    # A rejected call stores no id, so the return gets a fresh one.
    verdicts[:] = [False]
    assert run(tester, "call", frame) is None
    assert tester.processor("execute", 0)["frame_ids_by_address"] == {}


@pytest.mark.parametrize(("verdict", "message"), [
    (1, "'int' object cannot be converted to 'PyBool'"),
    (None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("yes", "'str' object cannot be converted to 'PyBool'"),
])
def test_predicate_must_return_a_bool(make_tester, verdict, message):
    tester = make_tester(plugin(call=lambda *args: verdict))
    with pytest.raises(TypeError) as raised:
        run(tester)
    assert str(raised.value) == message


def test_numpy_booleans_count_by_truth_value(make_tester):
    # Recognised by the type's name, as NumPy's own scalar type is.
    fake_numpy_bool = type("numpy.bool_", (), {"__init__": lambda self, v: setattr(self, "v", v),
                                                "__bool__": lambda self: self.v})
    verdicts = [fake_numpy_bool(False), fake_numpy_bool(True)]
    tester = make_tester(plugin(call=lambda *args: verdicts.pop(0)))
    assert run(tester) is None
    assert run(tester) is not None


def test_real_numpy_booleans(make_tester):
    numpy = pytest.importorskip("numpy")
    verdicts = [numpy.bool_(False), numpy.bool_(True)]
    tester = make_tester(plugin(call=lambda *args: verdicts.pop(0)))
    assert run(tester) is None
    assert run(tester) is not None


def test_predicate_exception_propagates_unchanged(make_tester):
    error = LookupError("from the plugin")

    def call(*args):
        raise error

    tester = make_tester(plugin(call=call))
    with pytest.raises(LookupError) as raised:
        run(tester)
    assert raised.value is error


def test_subtype_and_process_fields(make_tester):
    seen = []

    def process(*args):
        seen.append(args)
        return {"extra": [1, 2], "type": "end_test", "frame_id": "mine"}

    context = {}
    tester = make_tester(plugin(subtype="sql", process=process, build_context=lambda config: context))
    frame = sys._getframe()
    record, type_text = decoded(run(tester, "call", frame, arg=None))
    # Replaced keys keep their place; new ones come last.
    assert list(record) == STANDARD_KEYS + ["subtype", "extra"]
    assert record["frame_id"] == "mine"
    assert record["subtype"] == "sql" and record["extra"] == [1, 2]
    assert record["type"] == type_text == "end_test"
    assert seen[0][0] is frame and seen[0][1] == "call" and seen[0][2] is None and seen[0][3] is context
    # The processor still remembers its own id for the return.
    [stored] = tester.processor("execute", 0)["frame_ids_by_address"].values()
    assert FRAME_ID.fullmatch(stored)


class ReadOnly(collections.abc.Mapping):
    def __init__(self, **items):
        self.items_ = items

    def __getitem__(self, key):
        return self.items_[key]

    def __iter__(self):
        return iter(self.items_)

    def __len__(self):
        return len(self.items_)


class Exploding(ReadOnly):
    def __getitem__(self, key):
        raise KeyError("exploded")


class UnknowableClass:
    @property
    def __class__(self):
        raise RuntimeError("no class for you")


def test_process_result_may_be_any_mapping(make_tester):
    class Dict(dict):
        pass

    results = [ReadOnly(a=1), Dict(b=2)]
    tester = make_tester(plugin(process=lambda *args: results.pop(0)))
    assert decoded(run(tester))[0]["a"] == 1
    assert decoded(run(tester))[0]["b"] == 2


@pytest.mark.parametrize(("result", "error", "message"), [
    ([("a", 1)], TypeError, "'list' object cannot be converted to 'Mapping'"),
    (None, TypeError, "'NoneType' object cannot be converted to 'Mapping'"),
    (Exploding(a=1), KeyError, "'exploded'"),
    ({"type": 5}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"type": "\udcff"}, UnicodeEncodeError, None),
])
def test_process_result_errors(make_tester, serializer, result, error, message):
    tester = make_tester(plugin(process=lambda *args: result))
    with pytest.raises(error) as raised:
        run(tester)
    if message is not None:
        assert str(raised.value) == message
    assert serializer.seen == []


def test_failing_mapping_check_goes_to_the_unraisable_hook(make_tester, monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)
    result = UnknowableClass()
    tester = make_tester(plugin(process=lambda *args: result))
    with pytest.raises(TypeError, match=r"^'UnknowableClass' object cannot be converted to 'Mapping'$"):
        run(tester)
    [report] = reported
    assert isinstance(report.exc_value, RuntimeError) and report.object is result


def test_serializer_choice_and_failures(make_tester, serializer):
    tester = make_tester(plugin())
    run(tester, lightweight=True)
    run(tester, lightweight=False)
    assert [kind for kind, _ in serializer.seen] == ["lightweight", "full"]
    assert [key for key, _ in serializer.seen[0][1]] == STANDARD_KEYS

    error = OSError("disk")
    serializer.dump_msgpack = lambda value: (_ for _ in ()).throw(error)
    with pytest.raises(OSError) as raised:
        run(tester)
    assert raised.value is error

    serializer.dump_msgpack = lambda value: "text"
    with pytest.raises(TypeError, match=r"^Can't extract `str` to `Vec`$"):
        run(tester)


def test_thread_identity_is_asked_each_time(make_tester, monkeypatch):
    tester = make_tester(plugin())
    first, _ = decoded(run(tester))
    assert first["thread"] == threading.current_thread().name
    monkeypatch.setattr(threading.current_thread(), "name", "renamed")
    assert decoded(run(tester))[0]["thread"] == "renamed"

    def broken():
        raise RuntimeError("no thread")

    monkeypatch.setattr(threading, "current_thread", broken)
    with pytest.raises(RuntimeError, match="no thread"):
        run(tester)


def _nested_frames():
    def inner():
        return sys._getframe(1), sys._getframe()

    def outer():
        return inner()

    return outer()


def test_user_code_call_site(make_tester):
    tester = make_tester(plugin())
    caller, callee = _nested_frames()
    older = sys._getframe()
    older_id, caller_id = t.frame_id(), t.frame_id()
    stack = [(older, older_id), (caller, caller_id)]
    record, _ = decoded(run(tester, "call", callee, call_frames=stack))
    assert list(record["user_code_call_site"]) == ["call_frame_id", "line_number"]
    assert record["user_code_call_site"] == {"call_frame_id": caller_id, "line_number": caller.f_lineno}

    with pytest.raises(TypeError, match=r"^'str' object cannot be converted to 'PyFrame'$"):
        run(tester, "call", callee, call_frames=[(older, older_id), ("not a frame", caller_id)])


def test_context_is_shared_between_names(make_tester):
    def process(frame, event, arg, context):
        context["count"] = context.get("count", 0) + 1
        return {"count": context["count"]}

    tester = make_tester(plugin(co_names=["get", "post"], process=process))
    assert decoded(run(tester, co_name="get"))[0]["count"] == 1
    assert decoded(run(tester, co_name="post"))[0]["count"] == 2
    assert tester.processor("get", 0)["context"] == {"count": 2}


def test_references_are_released(make_tester):
    context = {}
    outcomes = []

    def call(*args):
        return True

    def process(*args):
        outcome = outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    tester = make_tester(plugin(call=call, process=process, build_context=lambda config: context))
    caller, callee = _nested_frames()
    arg = object()
    stack = [(caller, t.frame_id())]
    watched = [context, call, process, caller, callee, arg]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(20):
        outcomes[:] = [{"a": 1}, ValueError("x"), [1]]
        assert run(tester, "call", callee, arg, call_frames=stack) is not None
        with pytest.raises(ValueError):
            run(tester, "return", callee, arg, call_frames=stack)
        with pytest.raises(TypeError):
            run(tester, "return", callee, arg, call_frames=stack)
    # The raised exceptions' tracebacks reach these objects through frames, in cycles.
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before
