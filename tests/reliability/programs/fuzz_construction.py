"""Property-based fuzzing of the engine's construction surface: host objects, configurations and plugin
descriptions of arbitrary shapes and types. Construction either succeeds or raises a Python exception
(never a SystemError, the sign of a broken C-API contract); a built profiler then records a call that
its plugins may apply to; afterwards every object handed over has its starting reference count.
Finally a sample of the examples is replayed many times to see that failed and successful
constructions leave no native memory behind.

Examples are generated as plain data ("recipes") and turned into live objects by `build`, so that a
recipe can be replayed. Before each construction the recipe is written to the file named by the second
argument: if the process dies, that file names the example that killed it.
Usage: fuzz_construction.py EXAMPLES LAST_EXAMPLE_FILE"""

import ctypes
import gc
import json
import logging
import os
import random
import sys
import time

from hypothesis import HealthCheck, Phase, given, seed, settings
from hypothesis import strategies as st

from harness import SANITIZED, FakeHost, resident_bytes, stop_profiling
from vesk import _vesk

EXAMPLES = int(sys.argv[1])
LAST_EXAMPLE = sys.argv[2]
SEED = int(os.environ.get("VESK_FUZZ_SEED", random.randrange(2 ** 32)))
THIS_FILE = os.path.basename(__file__)

CONFIG_KEYS = ["filters", "sqlite_busy_timeout", "threading", "lightweight_repr", "include_frames",
               "ignore_frames"]
DESCRIPTION_KEYS = ["co_names", "build_context", "path_fragment", "call_type", "return_type", "subtype",
                    "call", "process", "events"]
HOST_ATTRIBUTES = ["config", "db_path", "one_trace_per_test", "trace_id", "source"]
CODE_NAMES = ["probe", "execute", "start"]
TEXTS = ["", "probe", THIS_FILE, "/site-packages/", "start_test", "end_test", "call", "return",
         "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV", "\udcff", "é" * 40]
EXCEPTIONS = {"ValueError": ValueError, "TypeError": TypeError, "KeyError": KeyError,
              "RuntimeError": RuntimeError, "ZeroDivisionError": ZeroDivisionError,
              "RecursionError": RecursionError, "AttributeError": AttributeError}
DUNDERS = ["__str__", "__index__", "__bool__", "__len__", "__iter__", "__getitem__", "__hash__", "__eq__",
           "__repr__", "__int__"]

# -- specs: plain data describing a value -------------------------------------------------------------

texts = st.one_of(st.sampled_from(TEXTS), st.text(max_size=12))
scalars = st.one_of(
    st.tuples(st.just("none")),
    st.tuples(st.just("bool"), st.booleans()),
    st.tuples(st.just("int"), st.one_of(st.integers(-3, 300), st.integers(-2 ** 70, 2 ** 70))),
    st.tuples(st.just("float"), st.floats(allow_nan=True)),
    st.tuples(st.just("str"), texts),
    st.tuples(st.just("bytes"), st.binary(max_size=8)),
    st.tuples(st.just("numpy_bool"), st.booleans(), st.booleans()),
    st.tuples(st.just("raises_in"), st.sampled_from(DUNDERS), st.sampled_from(sorted(EXCEPTIONS))),
    st.tuples(st.just("path"), texts),
)


def extend(children):
    return st.one_of(
        st.tuples(st.just("list"), st.lists(children, max_size=4)),
        st.tuples(st.just("tuple"), st.lists(children, max_size=3)),
        st.tuples(st.just("dict"), st.lists(st.tuples(st.one_of(texts, st.sampled_from(CONFIG_KEYS)), children),
                                            max_size=4)),
        st.tuples(st.just("raising_dict"), st.lists(st.tuples(texts, children), max_size=3),
                  st.sampled_from(sorted(EXCEPTIONS))),
        st.tuples(st.just("callable"), children),
        st.tuples(st.just("raising_callable"), st.sampled_from(sorted(EXCEPTIONS))),
    )


values = st.recursive(scalars, extend, max_leaves=6)
text_lists = st.one_of(st.tuples(st.just("list"), st.lists(st.tuples(st.just("str"), texts), max_size=3)), values)
filters = st.one_of(
    st.tuples(st.just("dict"), st.lists(st.tuples(st.sampled_from(["include_frames", "ignore_frames"]),
                                                  text_lists), max_size=2)),
    values)
config_entries = st.lists(st.one_of(
    st.tuples(st.just("filters"), filters),
    st.tuples(st.just("sqlite_busy_timeout"), st.one_of(st.tuples(st.just("int"), st.integers(-5, 2 ** 65)),
                                                        values)),
    st.tuples(st.sampled_from(["threading", "lightweight_repr"]),
              st.one_of(st.tuples(st.just("bool"), st.booleans()), values)),
    st.tuples(texts, values),
), max_size=5)
configs = st.one_of(st.tuples(st.just("dict"), config_entries), st.tuples(st.just("dict"), config_entries),
                    st.tuples(st.just("dict_subclass"), config_entries), values)
def mostly(*well_formed):
    """Well formed three times in four, anything at all otherwise."""
    good = st.one_of(*well_formed)
    return st.one_of(good, good, good, values)


description_values = {
    "co_names": mostly(st.tuples(st.just("list"),
                                 st.lists(st.tuples(st.just("str"), st.sampled_from(CODE_NAMES)), max_size=3))),
    "path_fragment": mostly(st.tuples(st.just("str"), st.sampled_from([THIS_FILE, "", "/nowhere/"]))),
    "call_type": mostly(st.tuples(st.just("str"), texts)),
    "return_type": mostly(st.tuples(st.just("str"), texts)),
    "subtype": mostly(st.tuples(st.just("str"), texts)),
    "events": mostly(st.tuples(st.just("list"),
                               st.lists(st.tuples(st.just("str"), st.sampled_from(["call", "return"])), max_size=2))),
    "build_context": mostly(st.tuples(st.just("callable"), st.tuples(st.just("dict"), st.just([])))),
    "call": mostly(st.tuples(st.just("callable"), st.tuples(st.just("bool"), st.booleans()))),
    "process": mostly(st.tuples(st.just("callable"), values)),
}
# A description usually has the keys it needs, each mostly well formed.
descriptions = st.one_of(
    st.fixed_dictionaries({key: description_values[key] for key in
                           ("co_names", "path_fragment", "call_type", "return_type")},
                          optional={key: description_values[key] for key in
                                    ("subtype", "events", "build_context", "call", "process")}).map(
        lambda entries: ("dict", [(("str", key), value) for key, value in entries.items()])),
    values)
well_formed_lists = st.tuples(st.just("list"), st.lists(descriptions, max_size=3))
plugin_data = st.one_of(well_formed_lists, well_formed_lists, well_formed_lists,
                        st.tuples(st.just("raising_callable"), st.sampled_from(sorted(EXCEPTIONS))), values)
WELL_FORMED_HOST = {"config": ("dict", []), "db_path": ("str", "traces.sqlite3"),
                    "one_trace_per_test": ("bool", False), "trace_id": ("str", "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"),
                    "source": ("str", "fuzz")}
host_attributes = {
    "config": configs,
    "db_path": st.one_of(st.tuples(st.just("str"), texts), st.tuples(st.just("path"), texts), values),
    "one_trace_per_test": st.one_of(st.tuples(st.just("bool"), st.booleans()), values),
    "trace_id": st.one_of(st.tuples(st.just("str"), texts), values),
    "source": st.one_of(st.tuples(st.just("str"), texts), values),
}


@st.composite
def host_attribute_specs(draw):
    """Each attribute well formed, fuzzed or missing; the configuration is fuzzed more often."""
    specs = {}
    for name, fuzzed in host_attributes.items():
        choice = draw(st.sampled_from(["well formed", "fuzzed", "fuzzed", "fuzzed", "missing"] if name == "config"
                                      else ["well formed"] * 10 + ["fuzzed", "missing"]))
        if choice == "well formed":
            specs[name] = WELL_FORMED_HOST[name]
        elif choice == "fuzzed":
            specs[name] = draw(fuzzed)
    return specs


hosts = st.fixed_dictionaries({
    "kind": st.sampled_from(["plain"] * 12 + ["not_callable", "slots", "raising_setattr"]),
    "attributes": host_attribute_specs(),
    "plugin_data": plugin_data,
})

# -- building live objects from specs -----------------------------------------------------------------


class Path:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text

    def __fspath__(self):
        return self.text


def raising_method(exception):
    def method(self, *args):
        raise exception("raised by a fuzzed value")

    return method


class Builder:
    """Turns specs into objects, keeping every object it made so their references can be counted."""

    def __init__(self):
        self.made = []

    def keep(self, value):
        if sys.getrefcount(value) < 100:  # not a shared singleton such as the empty tuple
            self.made.append(value)
        return value

    def build(self, spec):
        kind = spec[0]
        if kind == "none":
            return None
        if kind in ("bool", "int", "float", "str", "bytes"):
            return spec[1]
        if kind == "numpy_bool":
            _, truth, raises = spec
            cls = type("bool_", (), {"__module__": "numpy",
                                     "__bool__": raising_method(ValueError) if raises else lambda self: truth})
            return self.keep(cls())
        if kind == "raises_in":
            _, dunder, exception = spec
            return self.keep(type("Hostile", (), {dunder: raising_method(EXCEPTIONS[exception])})())
        if kind == "path":
            return self.keep(Path(spec[1]))
        if kind == "list":
            return self.keep([self.build(item) for item in spec[1]])
        if kind == "tuple":
            return self.keep(tuple(self.build(item) for item in spec[1]))
        if kind in ("dict", "dict_subclass", "raising_dict"):
            target = {"dict": dict, "dict_subclass": DictSubclass,
                      "raising_dict": RaisingDict}[kind]()
            for key_spec, value_spec in spec[1]:
                key = self.build(key_spec) if isinstance(key_spec, tuple) else key_spec
                try:
                    dict.__setitem__(target, key, self.build(value_spec))
                except TypeError:
                    pass  # an unhashable key: that entry is left out
            if kind == "raising_dict":
                target.exception = EXCEPTIONS[spec[2]]
            return self.keep(target)
        if kind == "callable":
            result_spec = spec[1]
            return self.keep(lambda *args, **keywords: self.build(result_spec))
        if kind == "raising_callable":
            exception = EXCEPTIONS[spec[1]]

            def raising(*args, **keywords):
                raise exception("raised by a fuzzed callable")

            return self.keep(raising)
        raise AssertionError(spec)


class DictSubclass(dict):
    def get(self, key, default=None):  # the engine must use the dict's own lookup, not this
        raise AssertionError("dict.get override called")


class RaisingDict(dict):
    exception = KeyError

    def __getitem__(self, key):
        raise self.exception(key)

    def __iter__(self):
        raise self.exception("iterating")


class Host:
    def __call__(self, *args):
        return None


class SlotsHost:
    __slots__ = HOST_ATTRIBUTES

    def __call__(self, *args):
        return None


class RaisingSetattrHost(Host):
    def __setattr__(self, name, value):
        if name == "rust_profiler":
            raise PermissionError("read-only host")
        object.__setattr__(self, name, value)


def build_host(builder, spec):
    kind = spec["kind"]
    host = {"plain": Host, "not_callable": object, "slots": SlotsHost, "raising_setattr": RaisingSetattrHost}[kind]()
    if kind == "not_callable":
        return builder.keep(host)
    for name, value_spec in spec["attributes"].items():
        object.__setattr__(host, name, builder.build(value_spec))
    return builder.keep(host)


def probe(value):
    return value


def start(value):
    return value


def execute(value):
    return value


# -- the property -------------------------------------------------------------------------------------

fake = FakeHost().install()
logging.getLogger("vesk").disabled = True  # failures are expected here; their reports are not the point
sys.unraisablehook = lambda unraisable: None
outcomes = {"built": 0, "refused": 0, "examples": 0}
kept_specs = []


class Broken(AssertionError):
    pass


def construct(spec):
    """Builds the example's objects, constructs a profiler from them and drops it; returns whether
    construction succeeded. Raises Broken when an invariant is violated."""
    builder = Builder()
    host = build_host(builder, spec)
    plugin_data = builder.build(spec["plugin_data"])
    fake.plugins.load_plugin_data = (plugin_data if spec["plugin_data"][0] == "raising_callable"
                                     else lambda config: plugin_data)
    counts = [sys.getrefcount(value) for value in builder.made]
    built = False
    try:
        _vesk.register_profiler(host)
        built = True
        results = (probe(1), execute(2), start(3))
    except SystemError as error:
        raise Broken(f"construction broke the C-API contract: {error!r}") from None
    except BaseException as error:  # noqa: B036 - any exception is an allowed outcome
        if not isinstance(error, Exception) and type(error).__module__ != "vesk._vesk":
            raise
    finally:
        stop_profiling()
    if built:
        if results != (1, 2, 3):
            raise Broken(f"the program's results changed: {results}")
        profiler = host.rust_profiler
        profiler.build_trace()
        object.__delattr__(host, "rust_profiler")
        del profiler
    after = [sys.getrefcount(value) for value in builder.made]
    if after[:len(counts)] != counts:
        gc.collect()  # only when needed: a collection per example would cost more than the example
        after = [sys.getrefcount(value) for value in builder.made]
    fake.plugins.load_plugin_data = None
    changed = [(type(value).__name__, before, now) for value, before, now in zip(builder.made, counts, after)
               if before != now]
    if changed:
        raise Broken(f"references not given back: {changed[:5]}")
    return built


@seed(SEED)
@settings(max_examples=EXAMPLES, deadline=None, database=None, phases=[Phase.generate, Phase.shrink],
          suppress_health_check=list(HealthCheck))
@given(hosts)
def fuzz(spec):
    with open(LAST_EXAMPLE, "w") as last:
        last.write(repr(spec))
    outcomes["examples"] += 1
    if construct(spec):
        outcomes["built"] += 1
    else:
        outcomes["refused"] += 1
    if len(kept_specs) < 200:
        kept_specs.append(spec)


started = time.perf_counter()
fuzz()
fuzz_seconds = time.perf_counter() - started


def trim_heap():
    gc.collect()
    ctypes.CDLL("libc.so.6").malloc_trim(0)


# Replay: the same examples over and over. A construction path that leaves native memory behind shows
# as growth here (reference counts alone cannot see the engine's own allocations).
rounds = 5 if SANITIZED else 200
for spec in kept_specs:
    construct(spec)
trim_heap()
baseline = resident_bytes()
for _ in range(rounds):
    for spec in kept_specs:
        construct(spec)
trim_heap()
growth = resident_bytes() - baseline
print(json.dumps({"seed": SEED, "examples": outcomes["examples"], "built": outcomes["built"],
                  "refused": outcomes["refused"], "fuzz_seconds": round(fuzz_seconds, 1),
                  "replayed": rounds * len(kept_specs), "replay_growth_kib": growth // 1024}))
