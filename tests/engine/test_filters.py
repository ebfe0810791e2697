"""Substring finders, the default frame filters, attrs detection and the record decision."""

import sys
import types

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _vesk_testing as t

USER_FILE = "/home/user/project/app.py"


# ---- finders ----

@given(st.binary(max_size=12), st.binary(max_size=130))
def test_finder_agrees_with_plain_substring_search(needle, haystack):
    assert t.finder_found(needle, haystack) == (needle in haystack)


@given(st.binary(min_size=1, max_size=20), st.binary(max_size=60), st.binary(max_size=60))
def test_finder_finds_needle_wherever_it_is_placed(needle, before, after):
    assert t.finder_found(needle, before + needle + after)


@pytest.mark.parametrize(("needle", "haystack", "found"), [
    ("", "", True),
    ("", "anything", True),
    ("abc", "ab", False),                      # longer than the haystack
    ("abc", "abc", True),
    ("/site-packages/", "/SITE-PACKAGES/x.py", False),  # case-sensitive
    ("lib/python", "lib\\python", False),      # separator-sensitive
    ("é/", "/home/é/x.py", True),              # UTF-8 bytes
    ("e/x", "/home/é/x.py", False),
    ("aab", "aaab", True),                     # a partial match followed by the real one
])
def test_finder_cases(needle, haystack, found):
    assert t.finder_found(needle, haystack) is found


def test_build_finders_keeps_order_and_copies_texts():
    texts = ["/b/", "", "/a/"]
    assert t.build_finders(texts) == [b"/b/", b"", b"/a/"]
    assert t.build_finders([]) == []
    assert t.build_finders(("x",)) == [b"x"]


@pytest.mark.parametrize(("texts", "message"), [
    ("lib", "Can't extract `str` to `Vec`"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
    (["a", 1], "'int' object cannot be converted to 'PyString'"),
])
def test_build_finders_input_must_be_a_list_of_texts(texts, message):
    with pytest.raises(TypeError) as raised:
        t.build_finders(texts)
    assert str(raised.value) == message


# ---- default filters ----

@pytest.mark.parametrize(("filename", "dropping"), [
    (USER_FILE, None),
    ("/usr/lib/python3.12/json/decoder.py", "library"),
    ("/srv/venv/lib/python3.12/site-packages/django/db.py", "library"),
    ("/opt/site-packages/x.py", "library"),
    ("/home/user/mylib/python/tool.py", "library"),
    ("/srv/venv/Lib/Site-Packages/x.py", None),
    ("C:\\venv\\lib\\python\\x.py", None),
    ("<frozen importlib._bootstrap>", "frozen"),
    ("<frozen", None),
    ("<string>", "exec"),
    ("<stdin>", None),
    ("<pytest match expression>", "pytest"),
    ("<pytest match expression>x", None),
    ("x<pytest match expression>", None),
    ("/src/vesk/profiler.py", "vesk"),
    ("/src/vesk/filters/paths.py", "vesk"),
    ("/src/vesk/generate_tests/run.py", "vesk"),
    ("/src/vesk/__init__.py", "vesk"),
    ("/src/vesk/version.py", "vesk"),
    ("/src/vesk/plugins/django.py", None),
    ("/src/Vesk/profiler.py", None),
])
def test_default_filters(filename, dropping):
    results = {
        "library": t.library_filter(filename),
        "frozen": t.frozen_filter(filename),
        "vesk": t.vesk_filter(filename),
        "exec": t.exec_filter(filename),
        "pytest": t.pytest_filter(filename),
    }
    assert [name for name, hit in results.items() if hit] == ([] if dropping is None else [dropping])


def test_every_host_module_fragment_is_caught():
    modules = ["config.py", "db.py", "django_schema.py", "filters/x.py", "generate_tests/x.py", "git.py",
               "__init__.py", "__main__.py", "middleware.py", "profiler.py", "pytest_plugin.py",
               "serialize.py", "utils.py", "version.py"]
    for module in modules:
        assert t.vesk_filter(f"/venv/vesk/{module}"), module
    assert not t.vesk_filter("/venv/vesk/dbx.py")


# ---- attrs ----

def _frame_called_from(*filenames):
    """A real frame whose caller's code has filenames[0], that caller's caller filenames[1], ..."""
    def probe():
        return sys._getframe()

    call = probe
    for filename in filenames:
        namespace = {"inner": call}
        exec(compile("def outer():\n    return inner()\n", filename, "exec"), namespace)
        call = namespace["outer"]
    return call()


@pytest.mark.parametrize(("callers", "expected"), [
    (["/venv/site-packages/attr/_make.py"], True),
    (["/venv/site-packages/attr/_make.pyc"], False),
    (["/venv/attrs/_make.py"], False),
    (["/venv/site-packages/attr/__init__.py", "/venv/site-packages/attr/_make.py"], False),
    # An empty caller filename hands the decision to the next frame up, and no further.
    (["", "/venv/site-packages/attr/_make.py"], True),
    (["", USER_FILE, "/venv/site-packages/attr/_make.py"], False),
    (["", ""], False),
])
def test_attrs_filter_looks_at_most_two_frames_up(callers, expected):
    frame = _frame_called_from(*callers)
    assert t.attrs_filter(frame, USER_FILE) is expected


def test_attrs_generated_filename_is_decided_without_reading_the_frame():
    class Exploding:
        @property
        def f_back(self):
            raise AssertionError("must not be read")

    assert t.attrs_filter(Exploding(), "<attrs generated init x.Y>")
    assert t.attrs_filter(Exploding(), "<attrs generated")
    with pytest.raises(t.InternalError):
        t.attrs_filter(Exploding(), "<attrs generate")


def test_attrs_filter_frame_without_caller():
    def generator():
        yield
    suspended = generator()
    next(suspended)
    assert suspended.gi_frame.f_back is None
    assert t.attrs_filter(suspended.gi_frame, USER_FILE) is False
    # One level up, the caller with an empty filename has no caller itself.
    top = types.SimpleNamespace(f_back=None, f_code=types.SimpleNamespace(co_filename=""))
    assert t.attrs_filter(types.SimpleNamespace(f_back=top), USER_FILE) is False


def _raise(error):
    raise error


class _Raises:
    """An attribute that raises when read."""

    def __init__(self, error):
        self.error = error

    def __get__(self, instance, owner):
        raise self.error


def _fake(**attributes):
    return type("Fake", (), attributes)()


@pytest.mark.parametrize(("frame", "message"), [
    (_fake(f_back=_Raises(RuntimeError("boom"))), "A frame has an `f_back` attribute.: RuntimeError: boom"),
    (_fake(f_back=_fake(f_code=_Raises(KeyError("k")))), "A frame has a code object.: KeyError: 'k'"),
    (_fake(f_back=_fake(f_code=_fake(co_filename=_Raises(ValueError("v"))))),
     "A code object has a filename.: ValueError: v"),
    (_fake(f_back=_fake(f_code=_fake(co_filename=b"/a/attr/_make.py"))),
     "A filename is a string.: TypeError: 'bytes' object cannot be converted to 'PyString'"),
    (_fake(f_back=_fake(f_code=_fake(co_filename="\udcff"))),
     "A filename is a string.: UnicodeEncodeError: 'utf-8' codec can't encode character '\\udcff' in "
     "position 0: surrogates not allowed"),
    # The same failures one level up, behind a caller with an empty filename.
    (_fake(f_back=_fake(f_code=_fake(co_filename=""), f_back=_Raises(OSError("up")))),
     "A frame has an `f_back` attribute.: OSError: up"),
    (_fake(f_back=_fake(f_code=_fake(co_filename=""), f_back=_fake(f_code=_fake(co_filename=3)))),
     "A filename is a string.: TypeError: 'int' object cannot be converted to 'PyString'"),
])
def test_attrs_filter_read_failures_are_internal_errors(frame, message):
    with pytest.raises(t.InternalError) as raised:
        t.attrs_filter(frame, USER_FILE)
    assert str(raised.value) == message
    assert not isinstance(raised.value, Exception)


def test_attrs_filter_releases_what_it_reads():
    filename = "".join(["/venv/site-packages/", "attr/_make.py"])
    code = types.SimpleNamespace(co_filename=filename)
    caller = types.SimpleNamespace(f_code=code)
    frame = types.SimpleNamespace(f_back=caller)
    before = [sys.getrefcount(o) for o in (filename, code, caller, frame)]
    for _ in range(100):
        assert t.attrs_filter(frame, USER_FILE)
    assert [sys.getrefcount(o) for o in (filename, code, caller, frame)] == before

    failing = types.SimpleNamespace(f_back=types.SimpleNamespace(f_code=types.SimpleNamespace(co_filename=7)))
    seven = failing.f_back.f_code.co_filename
    before = sys.getrefcount(seven)
    for _ in range(100):
        with pytest.raises(t.InternalError):
            t.attrs_filter(failing, USER_FILE)
    assert sys.getrefcount(seven) == before


# ---- the record decision ----

@pytest.mark.parametrize(("include", "ignore", "filename", "recorded"), [
    ([], [], USER_FILE, True),
    ([], [], "/srv/venv/lib/python3.12/site-packages/django/db.py", False),
    ([], [], "<stdin>", True),
    ([], ["/project/"], USER_FILE, False),
    ([], ["/other/", "app.py"], USER_FILE, False),
    ([], ["/other/"], USER_FILE, True),
    # An include fragment beats every dropping rule, ignore fragments included.
    (["django/"], ["django/"], "/srv/venv/lib/python3.12/site-packages/django/db.py", True),
    (["/vesk/"], [], "/src/vesk/profiler.py", True),
    (["<"], [], "<frozen os>", True),
    (["flask/"], [], "/srv/venv/lib/python3.12/site-packages/django/db.py", False),
    # Empty fragments occur everywhere.
    ([""], [], "<string>", True),
    ([], [""], USER_FILE, False),
    ([""], [""], USER_FILE, True),
    ([], [], "<pytest match expression>", False),
    ([], [], "<attrs generated eq x.Y>", False),
    (["attrs"], [], "<attrs generated eq x.Y>", True),
])
def test_should_record(include, ignore, filename, recorded):
    assert t.should_record(include, ignore, sys._getframe(), filename) is recorded


def test_should_record_drops_frames_called_from_attrs():
    frame = _frame_called_from("/venv/site-packages/attr/_make.py")
    assert t.should_record([], [], frame, USER_FILE) is False
    assert t.should_record(["/project/"], [], frame, USER_FILE) is True


def test_should_record_reads_callers_only_when_the_filename_leaves_it_open():
    frame = _fake(f_back=_Raises(RuntimeError("boom")))
    assert t.should_record(["app"], [], frame, USER_FILE) is True
    assert t.should_record([], [], frame, "/usr/lib/python3.12/os.py") is False
    with pytest.raises(t.InternalError, match="^A frame has an `f_back` attribute.: RuntimeError: boom$"):
        t.should_record([], [], frame, USER_FILE)
