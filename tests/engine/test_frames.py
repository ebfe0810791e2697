"""Thread identity, the user-code call site and source positions."""

import os
import sys
import threading
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _vesk_testing as t

A = "frm_" + "A" * 26
B = "frm_" + "B" * 26
C = "frm_" + "C" * 26


# ---- current_thread


def test_current_thread_of_real_threads():
    assert t.current_thread() == (threading.current_thread().name, threading.get_native_id())
    seen = []
    worker = threading.Thread(target=lambda: seen.append(t.current_thread()), name="worker-7")
    worker.start()
    worker.join()
    assert seen == [("worker-7", worker.native_id)]


class NoNativeId:
    name = "plain"


class Raising:
    name = "raising"

    @property
    def native_id(self):
        raise RuntimeError("native id broke")


class MissingNativeId:
    name = "missing"

    @property
    def native_id(self):
        raise AttributeError("native_id")


@pytest.mark.parametrize(
    ("thread", "outcome"),
    [
        (NoNativeId(), ("plain", None)),
        (MissingNativeId(), ("missing", None)),
        (types.SimpleNamespace(name="none", native_id=None), ("none", None)),
        (types.SimpleNamespace(name="big", native_id=2**64 - 1), ("big", 2**64 - 1)),
        (Raising(), RuntimeError),
        (types.SimpleNamespace(name=5, native_id=1), TypeError),
        (types.SimpleNamespace(native_id=1), AttributeError),
        (types.SimpleNamespace(name="neg", native_id=-1), OverflowError),
        (types.SimpleNamespace(name="text", native_id="12"), TypeError),
    ],
)
def test_current_thread_with_stand_in_threads(monkeypatch, thread, outcome):
    monkeypatch.setattr(threading, "current_thread", lambda: thread)
    if isinstance(outcome, tuple):
        assert t.current_thread() == outcome
    else:
        with pytest.raises(outcome):
            t.current_thread()


def test_thread_name_must_be_text(monkeypatch):
    monkeypatch.setattr(threading, "current_thread", lambda: types.SimpleNamespace(name=5))
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        t.current_thread()


# ---- user_code_call_site


def call_sites(frame_a):
    """Runs in a frame B called from frame A; returns the results and the lines they must report."""
    frame_b = sys._getframe()
    stack = [(frame_a, A), (frame_b, B)]
    results = {
        "call": (t.user_code_call_site(stack, C), sys._getframe().f_lineno),
        "return": t.user_code_call_site(stack, B),
        "own-call-of-last": (t.user_code_call_site(stack, A), sys._getframe().f_lineno),
        "single": t.user_code_call_site([(frame_b, B)], B),
        "empty": t.user_code_call_site([], B),
        "no-id": t.user_code_call_site(stack, None),
        "last-two-equal": t.user_code_call_site([(frame_a, A), (frame_b, B), (frame_b, B)], B),
    }
    return results, frame_a.f_lineno


def test_call_site_picks_the_caller():
    frame_a = sys._getframe()
    results, line_a = call_sites(frame_a)
    (site, line_b) = results["call"]
    assert site == (B, line_b)  # at a call the last open call is the caller
    assert results["return"] == (A, line_a)  # at a return the returning frame is skipped
    (site, line_b) = results["own-call-of-last"]
    assert site == (B, line_b)  # only an equal last entry makes the one below it the caller
    assert results["single"] is None
    assert results["empty"] is None
    assert results["no-id"] is None
    assert results["last-two-equal"] is None


def test_call_site_looks_at_two_entries_only():
    frame = sys._getframe()
    stranger = types.SimpleNamespace(f_lineno=1)
    # The stand-in is never examined: the caller is found in the last two entries.
    assert t.user_code_call_site([(stranger, C), (frame, A), (frame, B)], B)[0] == A
    assert t.user_code_call_site([(stranger, C), (frame, B), (frame, B)], B) is None


def test_call_site_needs_a_real_frame():
    stranger = types.SimpleNamespace(f_lineno=1)
    with pytest.raises(TypeError, match="^'SimpleNamespace' object cannot be converted to 'PyFrame'$"):
        t.user_code_call_site([(stranger, A)], B)


def test_call_site_releases_frames():
    frame = sys._getframe()
    stranger = types.SimpleNamespace()
    before = sys.getrefcount(frame), sys.getrefcount(stranger)
    for _ in range(50):
        t.user_code_call_site([(frame, A), (frame, B)], C)
        with pytest.raises(TypeError):
            t.user_code_call_site([(frame, A), (stranger, B)], C)
    assert (sys.getrefcount(frame), sys.getrefcount(stranger)) == before


@pytest.mark.parametrize(
    ("value", "outcome"),
    [
        (2**31 - 1, 2**31 - 1),
        (-(2**31), -(2**31)),
        (0, 0),
        (True, 1),
        (2**31, OverflowError),
        (-(2**31) - 1, OverflowError),
        (2**70, OverflowError),
        (None, TypeError),
        (1.0, TypeError),
    ],
)
def test_line_number_conversion(value, outcome):
    if isinstance(outcome, int):
        assert t.line_number_from(value) == outcome
    else:
        with pytest.raises(outcome) as caught:
            t.line_number_from(value)
        if outcome is OverflowError and abs(value) < 2**63:
            assert str(caught.value) == "out of range integral type conversion attempted"


# ---- filename_with_lineno


def frame_at(filename, lineno=10):
    return types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename=filename), f_lineno=lineno)


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = tmp_path / "proj"
    root.mkdir()
    monkeypatch.chdir(root)
    return str(root)


def test_real_frame_position(monkeypatch):
    here = os.path.dirname(os.path.abspath(__file__))
    monkeypatch.chdir(os.path.dirname(here))
    frame = sys._getframe()
    expected = f"{os.path.basename(here)}/{os.path.basename(__file__)}:{frame.f_lineno + 1}"
    assert t.filename_with_lineno(frame) == expected


@pytest.mark.parametrize(
    ("relative", "expected"),
    [
        ("/app/x.py", "app/x.py:10"),
        ("/x.py", "x.py:10"),
        ("", ":10"),  # the working directory itself
        ("/", ":10"),
        ("//app//x.py", "app//x.py:10"),  # the rest is kept as written
        ("/./app/x.py", "app/x.py:10"),
        ("/app/./x.py", "app/./x.py:10"),
        ("2/x.py", None),  # a sibling whose name merely starts with ours
        ("/../proj/x.py", "../proj/x.py:10"),  # compared by components, not resolved
    ],
)
def test_paths_below_the_working_directory_become_relative(project, relative, expected):
    filename = project + relative
    outcome = expected if expected is not None else f"{filename}:10"
    assert t.filename_with_lineno(frame_at(filename)) == outcome


@pytest.mark.parametrize("filename", ["/usr/lib/python3/x.py", "<string>", "app/x.py", "<frozen os>"])
def test_other_paths_stay_whole(project, filename):
    assert t.filename_with_lineno(frame_at(filename, 42)) == f"{filename}:42"


def test_working_directory_is_read_at_every_call(project, monkeypatch):
    frame = frame_at(project + "/app/x.py")
    assert t.filename_with_lineno(frame) == "app/x.py:10"
    monkeypatch.chdir(project + "/..")
    assert t.filename_with_lineno(frame) == "proj/app/x.py:10"
    monkeypatch.chdir("/")
    assert t.filename_with_lineno(frame) == project[1:] + "/app/x.py:10"


def test_line_numbers(project):
    assert t.filename_with_lineno(frame_at("/a.py", 0)) == "/a.py:0"
    assert t.filename_with_lineno(frame_at("/a.py", 2**64 - 1)) == f"/a.py:{2**64 - 1}"
    for bad, error in [(-1, OverflowError), (None, TypeError), (2**64, OverflowError), ("3", TypeError)]:
        with pytest.raises(error):
            t.filename_with_lineno(frame_at("/a.py", bad))


def test_unusable_frames(project):
    with pytest.raises(TypeError, match="^'bytes' object cannot be converted to 'PyString'$"):
        t.filename_with_lineno(frame_at(b"/a.py"))
    with pytest.raises(AttributeError):
        t.filename_with_lineno(types.SimpleNamespace(f_lineno=1))
    with pytest.raises(AttributeError):
        t.filename_with_lineno(types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename="/a.py")))
    with pytest.raises(UnicodeEncodeError):
        t.filename_with_lineno(frame_at("/a\ud800.py"))


def test_non_utf8_paths_show_replacement_characters(tmp_path, monkeypatch):
    raw_root = os.fsencode(tmp_path) + b"/dir\xff"
    os.mkdir(raw_root)
    monkeypatch.chdir(raw_root)
    inside = os.fsdecode(raw_root + b"/app/\xfe.py")
    assert t.filename_with_lineno(frame_at(inside, 3)) == "app/\ufffd.py:3"
    outside = os.fsdecode(b"/elsewhere/\xff/x.py")
    assert t.filename_with_lineno(frame_at(outside, 3)) == "/elsewhere/\ufffd/x.py:3"


def test_a_removed_working_directory_leaves_paths_whole(tmp_path, monkeypatch):
    gone = tmp_path / "gone"
    gone.mkdir()
    monkeypatch.chdir(gone)
    gone.rmdir()
    assert t.filename_with_lineno(frame_at(str(gone / "a.py"))) == f"{gone / 'a.py'}:10"


def test_working_directory_deeper_than_path_max(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    component = "d" * 200
    depth = 25  # about 5000 bytes, beyond PATH_MAX
    for _ in range(depth):
        os.mkdir(component)
        os.chdir(component)
    try:
        deep = os.getcwd()
        assert len(deep) > 4096
        assert t.filename_with_lineno(frame_at(deep + "/x.py", 1)) == "x.py:1"
    finally:
        for _ in range(depth):
            os.chdir("..")
            os.rmdir(component)


@pytest.mark.parametrize(
    "raw",
    [b"", b"abc", b"\xff", b"\xc3", b"\xc3\xa9", b"\xe2\x82", b"\xe2\x82\xac", b"\xed\xa0\x80", b"\xf0\x9f\x98",
     b"\xf4\x90\x80\x80", b"\xc0\xaf", b"\xe0\x80\xaf", b"a\x80b\xbfc", b"\xf0\x9f\x98\x80z"],
)
def test_lossy_utf8_matches_the_interpreter(raw):
    assert t.lossy_utf8(raw) == raw.decode("utf-8", "replace")


@given(st.binary(max_size=64))
def test_lossy_utf8_matches_the_interpreter_on_any_bytes(raw):
    assert t.lossy_utf8(raw) == raw.decode("utf-8", "replace")


# ---- locals


def plain(a, b=2, *rest, key=None, **options):
    total = a + b
    if total > 100:
        unused = total  # noqa: F841 (never bound: left out at every event)
    del total
    later = [a, b, rest, key, options]
    return later


def generator(n):
    first = 0
    for i in range(n):
        yield i
        if i == 1:
            del first
        else:
            first = i  # taken out and bound again: its place in the frame's dict moves


def closures(x):
    captured = x * 2

    def inner(y):
        return captured + x + y

    return inner(1)


def comprehensions(items):
    squares = [value * value for value in items]
    return {key: len(squares) for key in "ab"}


def raising(value):
    local = value
    raise ValueError(local)


def written_through_the_frame():
    frame = sys._getframe()
    frame.f_locals["added"] = 1  # an extra variable on 3.13; on 3.11 and 3.12 lost at the next read
    return frame.f_lineno


class_body = "class Body:\n    attribute = 1\n    squares = [i * i for i in range(3)]\n"
module_body = "import os\nvalue = [n for n in range(3)]\n"


def run_everything():
    plain(1)
    plain(1, 2, 3, key="k", extra=4)
    list(generator(4))
    closures(3)
    comprehensions([1, 2])
    try:
        raising("boom")
    except ValueError:
        pass
    written_through_the_frame()
    exec(class_body, {})
    exec(module_body, {})


def test_locals_read_from_the_frame_match_the_interpreters():
    assert t.frame_locals_disagreements(run_everything) == []
