"""Building the native profiler from the host object: defaults, conversions and every refusal."""

import pathlib
import sys
import threading

import pytest

from vesk import _vesk

from engine_support import Host, decode, stop_profiling


def build(host):
    """Registers and immediately unregisters, returning the native profiler."""
    try:
        _vesk.register_profiler(host)
    finally:
        stop_profiling()
    return host.rust_profiler


def saved_keywords(host_modules, host):
    build(host).save_request_in_db()
    return host_modules.saved[-1]


class TestConfiguration:
    def test_defaults(self, host_modules):
        host = Host(db_path=pathlib.Path("/tmp/x/db.sqlite3"), trace_id="trc_abc", source="unit")
        db_path, trace_id, keywords = saved_keywords(host_modules, host)
        assert (db_path, trace_id) == ("/tmp/x/db.sqlite3", "trc_abc")
        assert list(keywords) == ["timeout", "msgpack"]
        assert keywords["timeout"] == 60
        document = decode(keywords["msgpack"])
        assert document["meta"]["source"] == "unit"
        assert document["trace_id"] == "trc_abc"
        assert document["main_thread_id"] == threading.main_thread().native_id

    def test_busy_timeout_is_passed_on(self, host_modules):
        host = Host(config={"sqlite_busy_timeout": 5})
        assert saved_keywords(host_modules, host)[2]["timeout"] == 5

    def test_configuration_is_read_once(self, host_modules):
        config = {"sqlite_busy_timeout": 7}
        host = Host(config=config)
        profiler = build(host)
        config["sqlite_busy_timeout"] = 9
        host.trace_id = "trc_later"
        profiler.save_request_in_db()
        _, trace_id, keywords = host_modules.saved[-1]
        assert (trace_id, keywords["timeout"]) == ("trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", 7)

    def test_absent_main_thread_native_id_is_nil(self, host_modules, monkeypatch):
        class NoNativeId:
            pass

        monkeypatch.setattr(threading, "main_thread", NoNativeId)
        assert decode(build(Host()).build_trace())["main_thread_id"] is None

    @pytest.mark.parametrize("filters", [None, {}, {"ignore_frames": ["x"]}, 42])
    def test_filters_without_include_list_are_accepted(self, host_modules, filters):
        build(Host(config={"filters": filters}))

    @pytest.mark.parametrize("flag", ["yes", 1, None, [True]])
    def test_non_boolean_flags_count_as_false(self, host_modules, flag):
        build(Host(config={"threading": flag, "lightweight_repr": flag}))


def refusal(host_modules, host, exception, message=None):
    with pytest.raises(exception) as raised:
        build(host)
    assert not hasattr(host, "rust_profiler")
    assert sys.getprofile() is None
    if message is not None:
        assert str(raised.value) == message
    return raised.value


class TestRefusals:
    def test_config_must_be_a_dict(self, host_modules):
        refusal(host_modules, Host(config=[("a", 1)]), TypeError, "'list' object cannot be converted to 'PyDict'")

    def test_missing_config(self, host_modules):
        host = Host()
        del host.config
        refusal(host_modules, host, AttributeError)

    @pytest.mark.parametrize("key", ["include_frames", "ignore_frames"])
    def test_fragment_lists(self, host_modules, key):
        refusal(host_modules, Host(config={"filters": {key: "/srv"}}), TypeError, "Can't extract `str` to `Vec`")
        refusal(host_modules, Host(config={"filters": {key: None}}), TypeError,
                "'NoneType' object cannot be converted to 'Sequence'")
        refusal(host_modules, Host(config={"filters": {key: ["ok", 3]}}), TypeError,
                "'int' object cannot be converted to 'PyString'")

    @pytest.mark.parametrize("value, exception", [(-1, OverflowError), (2**64, OverflowError), (None, TypeError),
                                                  ("60", TypeError)])
    def test_busy_timeout(self, host_modules, value, exception):
        refusal(host_modules, Host(config={"sqlite_busy_timeout": value}), exception)

    @pytest.mark.parametrize("key", ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr"])
    def test_raising_dict_lookup_is_an_internal_error(self, host_modules, key):
        class Unequal(str):
            def __hash__(self):
                return hash(key)

            def __eq__(self, other):
                raise RuntimeError("no comparing")

        error = refusal(host_modules, Host(config={Unequal("k"): 1}), BaseException)
        assert (type(error).__module__, type(error).__name__) == ("vesk._vesk", "InternalError")
        assert not isinstance(error, Exception)
        assert str(error).startswith(f'config.get("{key}" should not raise.: RuntimeError: no comparing')

    def test_one_trace_per_test_must_be_a_bool(self, host_modules):
        refusal(host_modules, Host(one_trace_per_test=1), TypeError, "'int' object cannot be converted to 'PyBool'")

    @pytest.mark.parametrize("attribute", ["trace_id", "source"])
    def test_texts(self, host_modules, attribute):
        host = Host()
        setattr(host, attribute, b"bytes")
        refusal(host_modules, host, TypeError, "'bytes' object cannot be converted to 'PyString'")
        delattr(host, attribute)
        refusal(host_modules, host, AttributeError)

    def test_db_path_str_failure_propagates(self, host_modules):
        class Unprintable:
            def __str__(self):
                raise ValueError("no text")

        refusal(host_modules, Host(db_path=Unprintable()), ValueError, "no text")

    def test_main_thread_native_id_errors(self, host_modules, monkeypatch):
        class Broken:
            @property
            def native_id(self):
                raise KeyError("native")

        monkeypatch.setattr(threading, "main_thread", Broken)
        refusal(host_modules, Host(), KeyError)

        class Negative:
            native_id = -5

        monkeypatch.setattr(threading, "main_thread", Negative)
        refusal(host_modules, Host(), OverflowError)


def test_construction_leaks_no_references(host_modules):
    config = {"filters": {"include_frames": ["a"], "ignore_frames": ["b"]}, "sqlite_busy_timeout": 3}
    host = Host(config=config)
    bad = Host(config={"filters": {"include_frames": "/srv"}})
    before = (sys.getrefcount(config), sys.getrefcount(host), sys.getrefcount(bad.config))
    for _ in range(50):
        build(host)
        del host.rust_profiler
        with pytest.raises(TypeError):
            build(bad)
    assert (sys.getrefcount(config), sys.getrefcount(host), sys.getrefcount(bad.config)) == before
