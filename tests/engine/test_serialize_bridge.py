"""The bridge to the host serialiser: import by name, one-tuple call, conversion of the result."""

import sys
import types

import msgpack
import pytest

import _vesk_testing as t


class Serializer:
    """A stand-in "vesk.serialize" whose functions return whatever the test sets."""

    def __init__(self, monkeypatch):
        self.calls = []
        self.result = b"\xc0"
        self.module = types.ModuleType("vesk.serialize")
        self.module.dump_msgpack = self._function("dump_msgpack")
        self.module.dump_msgpack_lightweight_repr = self._function("dump_msgpack_lightweight_repr")
        if "vesk" not in sys.modules:
            package = types.ModuleType("vesk")
            package.__path__ = []
            monkeypatch.setitem(sys.modules, "vesk", package)
        monkeypatch.setitem(sys.modules, "vesk.serialize", self.module)

    def _function(self, name):
        def serialize(*args, **kwargs):
            self.calls.append((name, args, kwargs))
            if isinstance(self.result, BaseException):
                raise self.result
            return self.result

        return serialize


@pytest.fixture
def serializer(monkeypatch):
    return Serializer(monkeypatch)


@pytest.mark.parametrize(
    ("lightweight", "function"), [(False, "dump_msgpack"), (True, "dump_msgpack_lightweight_repr")]
)
def test_calls_the_chosen_function_with_one_positional_argument(serializer, lightweight, function):
    value = object()
    serializer.result = msgpack.packb({"a": [1, 2.5, None]})
    assert t.dump_msgpack(value, lightweight) == serializer.result
    assert len(serializer.calls) == 1
    name, args, kwargs = serializer.calls[0]
    assert name == function
    assert args == (value,) and args[0] is value
    assert kwargs == {}


class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "result",
    [
        [0x92, 0x01, 0xC0],
        (0x92, 0x01, 0xC0),
        bytearray(b"\x92\x01\xc0"),
        memoryview(b"\x92\x01\xc0"),
        type("BytesSubclass", (bytes,), {})(b"\x92\x01\xc0"),
        [Indexable(0x92), True, 0xC0],
    ],
    ids=["list", "tuple", "bytearray", "memoryview", "bytes-subclass", "index-protocol"],
)
def test_sequences_of_small_integers_become_bytes(serializer, result):
    serializer.result = result
    assert t.dump_msgpack(1, False) == b"\x92\x01\xc0"


def test_large_bytes_result_is_kept_whole(serializer):
    serializer.result = bytes(range(256)) * 4096
    assert t.dump_msgpack(1, False) == serializer.result


class LyingLength(list):
    def __len__(self):
        raise RuntimeError("no length today")


class HugeLength(list):
    def __len__(self):
        return sys.maxsize


@pytest.mark.parametrize("kind", [LyingLength, HugeLength])
def test_length_is_only_a_hint(serializer, kind):
    serializer.result = kind([0x93, 1, 2, 3])
    assert t.dump_msgpack(1, False) == b"\x93\x01\x02\x03"


@pytest.mark.parametrize(
    ("result", "error", "message"),
    [
        ("\xc0", TypeError, "Can't extract `str` to `Vec`"),
        (type("Text", (str,), {})("ab"), TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object cannot be converted to 'Sequence'"),
        ({0: 1}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
        (iter([1]), TypeError, "'list_iterator' object cannot be converted to 'Sequence'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
        ([1, 256], OverflowError, "out of range integral type conversion attempted"),
        ([-1], OverflowError, "out of range integral type conversion attempted"),
        ([2**70], OverflowError, None),
        ([1, "a"], TypeError, "'str' object cannot be interpreted as an integer"),
        ([1.0], TypeError, "'float' object cannot be interpreted as an integer"),
    ],
)
def test_results_that_are_not_bytes_are_refused(serializer, result, error, message):
    serializer.result = result
    with pytest.raises(error) as caught:
        t.dump_msgpack(1, False)
    if message is not None:
        assert str(caught.value) == message


def test_iteration_errors_pass_through_unchanged(serializer):
    failure = RuntimeError("iteration broke")

    class Broken:
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index == 1:
                raise failure
            return 0x90

    serializer.result = Broken()
    with pytest.raises(RuntimeError) as caught:
        t.dump_msgpack(1, False)
    assert caught.value is failure


def test_serializer_exception_passes_through_unchanged(serializer):
    failure = ValueError("cannot serialise that")
    serializer.result = failure
    with pytest.raises(ValueError) as caught:
        t.dump_msgpack(1, True)
    assert caught.value is failure


def test_module_is_imported_afresh_at_each_call(serializer, monkeypatch):
    assert t.dump_msgpack(1, False) == b"\xc0"
    replacement = types.ModuleType("vesk.serialize")
    replacement.dump_msgpack = lambda value: b"\xc3"
    monkeypatch.setitem(sys.modules, "vesk.serialize", replacement)
    assert t.dump_msgpack(1, False) == b"\xc3"
    with pytest.raises(AttributeError):
        t.dump_msgpack(1, True)


def test_missing_module_gives_the_import_error(serializer, monkeypatch):
    monkeypatch.setitem(sys.modules, "vesk.serialize", None)
    with pytest.raises(ImportError):
        t.dump_msgpack(1, False)


@pytest.mark.parametrize("empty", [b"", [], bytearray()])
def test_empty_result_is_a_serialiser_error(serializer, empty):
    # Nothing at all would leave a record key without a value and corrupt the whole trace document.
    serializer.result = empty
    with pytest.raises(ValueError) as caught:
        t.dump_msgpack(1, False)
    assert str(caught.value).startswith("vesk.serialize returned no bytes")


def test_conversion_alone_accepts_empty():
    assert t.bytes_from_sequence(b"") == b""
    assert t.bytes_from_sequence([]) == b""
    assert t.bytes_from_sequence([1, 2]) == b"\x01\x02"


def test_references_are_released(serializer):
    value = object()
    kept_result = [0x90]
    serializer.result = kept_result
    before = sys.getrefcount(value), sys.getrefcount(kept_result)
    for _ in range(100):
        t.dump_msgpack(value, False)
    serializer.calls.clear()
    assert (sys.getrefcount(value), sys.getrefcount(kept_result)) == before

    serializer.result = failing = ValueError("no")
    before = sys.getrefcount(value)
    for _ in range(100):
        with pytest.raises(ValueError):
            t.dump_msgpack(value, False)
    serializer.calls.clear()
    failing.__traceback__ = None
    assert sys.getrefcount(value) == before

    serializer.result = bad = [1, 256]
    before = sys.getrefcount(value), sys.getrefcount(bad)
    for _ in range(100):
        with pytest.raises(OverflowError):
            t.dump_msgpack(value, False)
    serializer.calls.clear()
    assert (sys.getrefcount(value), sys.getrefcount(bad)) == before
