"""Qualified names of the functions frames run: the direct co_qualname path and the heuristics for
code objects without it (driven with stand-in frames)."""

import sys
import types

import pytest

import _vesk_testing as t

SOURCE = """
import sys

class Job:
    def run(self):
        return sys._getframe()

    @property
    def size(self):
        return sys._getframe()

    @classmethod
    def make(cls):
        return sys._getframe()

def outer():
    def inner():
        return sys._getframe()
    return inner, inner()

def plain():
    return sys._getframe()

module_frame = sys._getframe()
"""


@pytest.fixture(scope="module")
def jobs():
    namespace = {"__name__": "app.jobs"}
    exec(compile(SOURCE, "/srv/app/jobs.py", "exec"), namespace)
    return types.SimpleNamespace(**{k: v for k, v in namespace.items() if not k.startswith("__")},
                                 globals=namespace)


def frame(co_name, f_locals=None, f_globals=None, f_back=None, **code):
    """A stand-in frame; its code object has no co_qualname unless given one."""
    return types.SimpleNamespace(f_code=types.SimpleNamespace(co_name=co_name, **code),
                                 f_locals={} if f_locals is None else f_locals,
                                 f_globals={"__name__": "app.jobs"} if f_globals is None else f_globals,
                                 f_back=f_back)


def caller(**f_locals):
    return types.SimpleNamespace(f_locals=f_locals)


# ---- the direct path


def test_real_frames(jobs):
    assert t.get_qualname(jobs.Job().run()) == "app.jobs.Job.run"
    assert t.get_qualname(jobs.Job().size) == "app.jobs.Job.size"
    assert t.get_qualname(jobs.Job.make()) == "app.jobs.Job.make"
    assert t.get_qualname(jobs.outer()[1]) == "app.jobs.outer.<locals>.inner"
    assert t.get_qualname(jobs.plain()) == "app.jobs.plain"
    assert t.get_qualname(jobs.module_frame) == "app.jobs.<module>"
    assert t.get_qualname(sys._getframe()) == f"{__name__}.test_real_frames"


def test_code_run_in_globals_without_a_name_has_no_qualname_rather_than_an_error():
    namespace = {}
    exec("import sys\ndef f():\n    return sys._getframe()\nmodule = sys._getframe()", namespace)
    assert [t.get_qualname(frame) for frame in (namespace["module"], namespace["f"]())] == [None, None]
    assert t.get_qualname(frame("<module>", f_globals={})) is None
    assert t.get_qualname(frame("x", co_qualname="f", f_globals={})) is None


class Boom:
    def __str__(self):
        raise RuntimeError("no text for you")


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def test_direct_path_with_stand_ins(unraisable):
    assert t.get_qualname(frame("run", co_qualname="Job.run")) == "app.jobs.Job.run"
    assert t.get_qualname(frame("x", co_qualname=5, f_globals={"__name__": 7})) == "7.5"
    assert t.get_qualname(frame("x", co_qualname="A\ud800b")) == "app.jobs.A\ufffd\ufffd\ufffdb"
    assert unraisable == []
    boom = Boom()
    assert t.get_qualname(frame("x", co_qualname="f", f_globals={"__name__": boom})) == "<unprintable Boom object>.f"
    assert len(unraisable) == 1
    assert isinstance(unraisable[0].exc_value, RuntimeError)
    assert unraisable[0].object is boom


class RaisingCode:
    co_name = "run"

    def __init__(self, error):
        self.error = error

    @property
    def co_qualname(self):
        raise self.error


class MissingName(AttributeError):
    pass


def test_direct_path_errors(jobs):
    failure = RuntimeError("code object broke")
    with pytest.raises(RuntimeError) as caught:
        t.get_qualname(types.SimpleNamespace(f_code=RaisingCode(failure)))
    assert caught.value is failure
    # An AttributeError (or subclass) means "no co_qualname here": the heuristics take over.
    stand_in = frame("plain", f_globals=jobs.globals, f_back=caller())
    stand_in.f_code = RaisingCode(MissingName("co_qualname"))
    stand_in.f_code.co_name = "plain"
    assert t.get_qualname(stand_in) == "app.jobs.plain"
    with pytest.raises(AttributeError):
        t.get_qualname(types.SimpleNamespace())
    with pytest.raises(RuntimeError):  # only a missing module name is no error
        t.get_qualname(frame("run", co_qualname="Job.run", f_globals=FailingLookup("__name__", RuntimeError())))
    with pytest.raises(AttributeError):
        t.get_qualname(types.SimpleNamespace(f_code=types.SimpleNamespace(co_qualname="q")))


def test_module_code_without_co_qualname():
    assert t.get_qualname(frame("<module>", f_globals={"__name__": "pkg.mod"})) == "pkg.mod.<module>"
    with pytest.raises(TypeError, match="^'int' object cannot be converted to 'PyString'$"):
        t.get_qualname(frame(5))
    with pytest.raises(AttributeError):
        t.get_qualname(types.SimpleNamespace(f_code=types.SimpleNamespace()))


# ---- the heuristics


def test_heuristics_find_the_function(jobs):
    job = jobs.Job()
    inner, _ = jobs.outer()
    cases = [
        # nested function held by its caller under the same name
        (frame("inner", f_back=caller(inner=inner)), "app.jobs.outer.<locals>.inner"),
        # instance method through "self"
        (frame("run", {"self": job}, f_back=caller()), "app.jobs.Job.run"),
        # a property reached through "self" gives its getter
        (frame("size", {"self": job}, f_back=caller()), "app.jobs.Job.size"),
        # class method through "cls"
        (frame("make", {"cls": jobs.Job}, f_back=caller()), "app.jobs.Job.make"),
        # a "cls" that is no class is ignored; the module function is found in the globals
        (frame("plain", {"cls": 5}, jobs.globals, f_back=caller()), "app.jobs.plain"),
        # class body
        (frame("Inner", {"__qualname__": "Job.Inner"}, f_back=caller()), "app.jobs.Job.Inner"),
        # module-level function
        (frame("plain", {}, jobs.globals, f_back=caller()), "app.jobs.plain"),
    ]
    for stand_in, expected in cases:
        assert t.get_qualname(stand_in) == expected
        assert t.get_qualname_inner(stand_in, stand_in.f_code.co_name) == expected


class FailingLookup(dict):
    """A mapping whose lookups of one key raise the given exception."""

    def __init__(self, key, error, **items):
        super().__init__(**items)
        self.key, self.error = key, error

    def __getitem__(self, key):
        if key == self.key:
            raise self.error
        return super().__getitem__(key)


class KeyMissing(KeyError):
    pass


def test_heuristic_outcomes_absent_versus_error(jobs):
    job = jobs.Job()
    absent = [
        # no calling frame
        frame("run", {"self": job}, f_back=None),
        # the caller's locals fail with something other than a key error: stop, no name
        frame("run", {"self": job}, f_back=types.SimpleNamespace(f_locals=FailingLookup("run", RuntimeError()))),
        # same for "self", "cls" and "__qualname__" lookups
        frame("plain", FailingLookup("self", RuntimeError()), jobs.globals, f_back=caller()),
        frame("plain", FailingLookup("cls", ValueError()), jobs.globals, f_back=caller()),
        frame("plain", FailingLookup("__qualname__", TypeError()), jobs.globals, f_back=caller()),
    ]
    for stand_in in absent:
        assert t.get_qualname_inner(stand_in, stand_in.f_code.co_name) is None
        assert t.get_qualname(stand_in) is None

    # A key error, subclasses included, only moves on to the next lookup.
    moved_on = frame("make", FailingLookup("self", KeyMissing(), cls=jobs.Job), f_back=caller())
    assert t.get_qualname_inner(moved_on, "make") == "app.jobs.Job.make"

    errors = [
        # "self" lacks the attribute the code is named after
        (frame("missing", {"self": job}, f_back=caller()), AttributeError),
        # no global of that name
        (frame("nowhere", {}, jobs.globals, f_back=caller()), KeyError),
        # a class body whose globals lack "__name__"
        (frame("Inner", {"__qualname__": "Inner"}, {}, f_back=caller()), KeyError),
        # unreadable frame attributes
        (types.SimpleNamespace(f_code=types.SimpleNamespace(co_name="x"), f_back=caller()), AttributeError),
        (types.SimpleNamespace(f_code=types.SimpleNamespace(co_name="x")), AttributeError),
        (frame("inner", f_back=caller(inner=object())), AttributeError),
    ]
    for stand_in, error in errors:
        with pytest.raises(error):
            t.get_qualname_inner(stand_in, stand_in.f_code.co_name)
        # Errors of the heuristic part never reach the caller of get_qualname.
        assert t.get_qualname(stand_in) is None


def test_unprintable_module_in_heuristic_name(unraisable):
    boom = Boom()
    function = types.SimpleNamespace(__module__=boom, __qualname__="outer.<locals>.inner")
    assert t.get_qualname(frame("inner", f_back=caller(inner=function))) == (
        "<unprintable Boom object>.outer.<locals>.inner"
    )
    assert [hook.object for hook in unraisable] == [boom]


def test_references_are_released(jobs):
    job = jobs.Job()
    inner = jobs.outer()[0]
    co_name = "".join(["ru", "n"])  # a fresh string, not shared with the code
    stand_ins = [
        frame(co_name, {"self": job}, f_back=caller()),
        frame("inner", f_back=caller(inner=inner)),
        frame("missing", {"self": job}, f_back=caller()),
        frame("plain", {"cls": jobs.Job}, jobs.globals, f_back=caller()),
        frame("x", co_qualname="q"),
        frame("<module>", f_globals={}),
    ]
    watched = [job, inner, co_name, jobs.Job, jobs.globals, *stand_ins]

    def run_all(times):
        for _ in range(times):
            for stand_in in stand_ins:
                try:
                    t.get_qualname(stand_in)
                except KeyError:
                    pass
                try:
                    t.get_qualname_inner(stand_in, co_name)
                except (AttributeError, KeyError):
                    pass

    before = [sys.getrefcount(obj) for obj in watched]
    run_all(50)
    assert [sys.getrefcount(obj) for obj in watched] == before
