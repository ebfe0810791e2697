"""Turns any Python value into one MessagePack value, never raising.

The engine calls `dump_msgpack` (or `dump_msgpack_lightweight_repr`) twice for every recorded event,
for the argument or return value and for the local variables, and once for every plugin record. So
both are, when the extension `vesk._serialize` is built, its native functions, which write the very
bytes the Python code below writes and hand a value to it whenever they cannot go on. The Python
code is the fallback and the reference:

- The common case (plain dicts, lists, tuples, strings, numbers within the limits) is checked by a
  cheap scan and then packed by msgpack's C packer as it is.
- Anything else goes through a careful walk that builds a bounded copy: strings longer than
  `max_string_length` are cut with a visible "…[+N chars]" suffix, containers keep `max_items` items
  and get a marker for the rest, containers deeper than `max_depth` and everything past
  `max_total_items` become a marker, a container met again inside itself becomes a "<cycle>" marker.
- Objects MessagePack has no type for become the text of their repr (bounded), as an extension value
  so a reader can tell `'<Foo>'` (a string) from `<Foo>` (an object). The lightweight variant never
  runs code of the program: objects become their type and identity only.
- Values stored under names that look like secrets are replaced by a "<redacted>" marker.

Extension types in the output: 1 = text standing for an object, 2 = marker for something left out.
"""

from __future__ import annotations

import itertools
from typing import Any

import msgpack
from msgpack import ExtType

from vesk.config import DEFAULT_SECRET_NAMES

try:
    from vesk import _serialize as _native
except ImportError:  # a checkout without the built extension: the Python serialiser does everything
    _native = None

OBJECT_REPR = 1
MARKER = 2

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1

# Limits, replaced by `configure`. Module globals rather than arguments: the engine calls the two
# dump functions with the value alone.
_max_string = 1000
_max_items = 100
_max_depth = 8
_max_total = 5000
_secret_fragments: tuple[str, ...] = ()
_secret_cache: dict[str, bool] = {}
_SECRET_CACHE_SIZE = 10_000

# One shared packer: its `pack` runs entirely in C without calling back into Python for the values we
# hand it (plain types and ExtType only), so two threads cannot interleave inside it.
_pack = msgpack.Packer(use_bin_type=True, autoreset=True).pack

# Objects whose repr runs a database query or other I/O: shown by type and identity even in the full
# serialiser, because a query fired from inside the profile function would change the program.
_LAZY_MODULE_PREFIXES = ("django.db.models.query", "sqlalchemy.orm.query", "sqlalchemy.orm.dynamic")

_object_repr = object.__repr__
_type_qualname = type.__dict__["__qualname__"].__get__
_type_module = type.__dict__["__module__"].__get__


def _normalise_name(name: str) -> str:
    return name.lower().replace("_", "").replace("-", "").replace(" ", "")


def configure(settings: dict[str, Any] | None = None) -> None:
    """Sets the limits and the secret-looking names (the "serialize" table of the configuration)."""
    global _max_string, _max_items, _max_depth, _max_total, _secret_fragments
    settings = settings or {}
    # Everything read before anything is set: a bad value leaves the previous settings whole, on
    # both sides.
    max_string = int(settings.get("max_string_length", 1000))
    max_items = int(settings.get("max_items", 100))
    max_depth = int(settings.get("max_depth", 8))
    max_total = int(settings.get("max_total_items", 5000))
    names = settings.get("secret_names", DEFAULT_SECRET_NAMES)
    fragments = tuple(fragment for fragment in map(_normalise_name, names) if fragment)
    _max_string, _max_items, _max_depth, _max_total = max_string, max_items, max_depth, max_total
    _secret_fragments = fragments
    _secret_cache.clear()
    _configure_native()


def _configure_native() -> None:
    if _native_ready:
        _native.configure(
            max_string_length=_max_string, max_items=_max_items, max_depth=_max_depth, max_total_items=_max_total
        )


_native_ready = False
configure()


def is_secret_name(name: str) -> bool:
    """Whether values stored under `name` are redacted."""
    return _is_secret(name)


def _is_secret(name: str) -> bool:
    hit = _secret_cache.get(name)
    if hit is None:
        normalised = _normalise_name(name)
        hit = any(fragment in normalised for fragment in _secret_fragments)
        if len(_secret_cache) >= _SECRET_CACHE_SIZE:
            _secret_cache.clear()
        _secret_cache[name] = hit
    return hit


# --- the fast path: is the value already within every limit? -------------------------------------
# Each scan returns the remaining item budget, or -1 when the careful walk is needed. Only exact
# built-in types pass, so the scan itself never runs code of the program.


def _scan(value: Any, depth: int, budget: int) -> int:
    t = type(value)
    if t is dict:
        return _scan_dict(value, depth, budget)
    if t is list or t is tuple:
        return _scan_sequence(value, depth, budget)
    if t is str or t is bytes:
        return budget if len(value) <= _max_string else -1
    if t is int:
        return budget if _INT_MIN <= value <= _INT_MAX else -1
    if t is float or t is bool or value is None:
        return budget
    return -1


def _scan_dict(value: dict, depth: int, budget: int) -> int:
    if depth >= _max_depth or len(value) > _max_items:
        return -1
    budget -= len(value)
    if budget < 0:
        return -1
    cache = _secret_cache
    for key, item in value.items():
        if type(key) is str:
            if len(key) > _max_string:
                return -1
            secret = cache.get(key)
            if secret is None:
                secret = _is_secret(key)
            if secret:
                return -1
        elif type(key) is not int or not _INT_MIN <= key <= _INT_MAX:
            return -1
        t = type(item)
        if t is str or t is bytes:
            if len(item) > _max_string:
                return -1
        elif t is int:
            if not _INT_MIN <= item <= _INT_MAX:
                return -1
        elif not (t is float or t is bool or item is None):
            budget = _scan(item, depth + 1, budget)
            if budget < 0:
                return -1
    return budget


def _scan_sequence(value: list | tuple, depth: int, budget: int) -> int:
    if depth >= _max_depth or len(value) > _max_items:
        return -1
    budget -= len(value)
    if budget < 0:
        return -1
    for item in value:
        t = type(item)
        if t is str or t is bytes:
            if len(item) > _max_string:
                return -1
        elif t is int:
            if not _INT_MIN <= item <= _INT_MAX:
                return -1
        elif not (t is float or t is bool or item is None):
            budget = _scan(item, depth + 1, budget)
            if budget < 0:
                return -1
    return budget


# --- the careful walk -----------------------------------------------------------------------------


# ExtType's own constructor validates its arguments in Python; ours are always valid.
_new_tuple = tuple.__new__


def _marker(text: str) -> ExtType:
    return _new_tuple(ExtType, (MARKER, text.encode("utf-8", "backslashreplace")))


def _object_text(text: str) -> ExtType:
    return _new_tuple(ExtType, (OBJECT_REPR, text.encode("utf-8", "backslashreplace")))


_PLAIN_KEY_TYPES = frozenset({str, int, float, bool, type(None), bytes})
_REDACTED = _marker("<redacted>")
_CYCLE = _marker("<cycle>")
_MORE_KEY = _marker("…")


def _type_name(t: type) -> str:
    qualname = _type_qualname(t)
    module = _type_module(t)
    return qualname if module == "builtins" or not isinstance(module, str) else f"{module}.{qualname}"


def _identity(value: Any, note: str = "") -> str:
    return f"<{_type_name(type(value))} object at {id(value):#x}{note}>"


def _cut(text: str) -> str:
    if len(text) <= _max_string:
        return text
    return f"{text[:_max_string]}…[+{len(text) - _max_string} chars]"


class _Walk:
    """One careful conversion into plain values and extension values, within the limits."""

    __slots__ = ("light", "safe_text", "budget", "open")

    def __init__(self, light: bool, safe_text: bool) -> None:
        self.light = light
        # Set on the second attempt, after the packer refused a string (lone surrogates).
        self.safe_text = safe_text
        self.budget = _max_total
        self.open: set[int] = set()

    def value(self, value: Any, depth: int) -> Any:
        t = type(value)
        if t is str:
            return self.text(value)
        if t is int:
            return value if _INT_MIN <= value <= _INT_MAX else self.big_int(value)
        if t is float or t is bool or value is None:
            return value
        if t is bytes:
            if len(value) <= _max_string:
                return value
            return _object_text(f"{value[:_max_string]!r}…[+{len(value) - _max_string} bytes]")
        if issubclass(t, dict):
            return self.mapping(value, depth)
        for base in (list, tuple, set, frozenset):
            if issubclass(t, base):
                if base is tuple and t is not tuple and not self.light:
                    break  # named tuples and the like say more through their repr
                return self.sequence(value, base, depth)
        if self.light:
            # Subclasses of str, int and float keep their value: the base type's own conversion
            # reads it without running code of the subclass.
            if issubclass(t, str):
                return self.text(str.__str__(value))
            if issubclass(t, int) and t is not bool:
                return self.value(int.__int__(value), depth)
            if issubclass(t, float):
                return float.__float__(value)
            return _object_text(_identity(value))
        return self.object(value)

    def text(self, text: str) -> str:
        text = _cut(text)
        if self.safe_text:
            text = text.encode("utf-8", "backslashreplace").decode("utf-8")
        return text

    def big_int(self, value: int) -> ExtType:
        if value.bit_length() > 4000:
            # Past the interpreter's limit on int-to-text conversion; the size is what matters.
            return _object_text(f"<int of {value.bit_length()} bits>")
        return _object_text(_cut(str(value)))

    def key(self, key: Any) -> Any:
        t = type(key)
        if t is str:
            return self.text(key)
        if t is int and _INT_MIN <= key <= _INT_MAX:
            return key
        if t is float or t is bool or key is None or (t is bytes and len(key) <= _max_string):
            return key
        if self.light:
            if t is tuple and all(type(item) in _PLAIN_KEY_TYPES for item in key):
                return _object_text(_cut(repr(key)))  # repr of these types runs no program code
            return _object_text(_identity(key))
        # Anything else, tuples included, becomes its text: a reader needs hashable keys.
        return self.object(key)

    def limited(self, value: Any, depth: int, count: int) -> ExtType | None:
        if depth >= _max_depth:
            return _marker(f"<{_type_name(type(value))} of {count} items: too deep>")
        if id(value) in self.open:
            return _CYCLE
        if count and self.budget <= 0:
            return _marker(f"<{_type_name(type(value))} of {count} items: size limit>")
        return None

    def mapping(self, value: dict, depth: int) -> Any:
        count = dict.__len__(value)
        stop = self.limited(value, depth, count)
        if stop is not None:
            return stop
        take = min(count, _max_items, self.budget)
        self.budget -= take
        # Taken before converting: a repr may change the dict, which would break the iteration.
        pairs = list(itertools.islice(dict.items(value), take))
        self.open.add(id(value))
        plain_text = not self.safe_text
        result = {}
        for key, item in pairs:
            # Plain keys and values are handled inline: this loop runs for every method call (its
            # locals hold `self`, an object), so it is the careful walk's own hot path.
            if type(key) is str:
                if _is_secret(key):
                    result[self.text(key)] = _REDACTED
                    continue
                if not plain_text or len(key) > _max_string:
                    key = self.text(key)
            else:
                key = self.key(key)
            t = type(item)
            if t is str:
                result[key] = item if plain_text and len(item) <= _max_string else self.text(item)
            elif (t is int and _INT_MIN <= item <= _INT_MAX) or t is float or t is bool or item is None:
                result[key] = item
            else:
                result[key] = self.value(item, depth + 1)
        self.open.discard(id(value))
        if count > take:
            result[_MORE_KEY] = _marker(f"<+{count - take} more items>")
        return result

    def sequence(self, value: Any, base: type, depth: int) -> Any:
        count = base.__len__(value)
        stop = self.limited(value, depth, count)
        if stop is not None:
            return stop
        take = min(count, _max_items, self.budget)
        self.budget -= take
        items = list(itertools.islice(base.__iter__(value), take))
        self.open.add(id(value))
        convert = self.value
        depth += 1
        result = [
            item
            if (type(item) is int and _INT_MIN <= item <= _INT_MAX) or type(item) is float or item is None
            else convert(item, depth)
            for item in items
        ]
        self.open.discard(id(value))
        if count > take:
            result.append(_marker(f"<+{count - take} more items>"))
        return result

    def object(self, value: Any) -> ExtType:
        t = type(value)
        module = _type_module(t)
        if t.__repr__ is _object_repr or (
            isinstance(module, str) and module.startswith(_LAZY_MODULE_PREFIXES)
        ):
            return _object_text(_identity(value))
        try:
            text = repr(value)
        except BaseException as exc:  # noqa: BLE001 - a repr may raise anything; we must not
            return _object_text(_identity(value, f"; repr raised {_type_name(type(exc))}"))
        if type(text) is not str:
            return _object_text(_identity(value))
        return _object_text(self.text(text))


_UNSERIALISABLE = _pack(_marker("<unserialisable>"))
_NIL = _pack(None)


def _careful(value: Any, light: bool) -> bytes:
    for safe_text in (False, True):
        try:
            return _pack(_Walk(light, safe_text).value(value, 0))
        except BaseException:  # noqa: BLE001 - never raise into the engine
            continue
    return _UNSERIALISABLE


# The two entry points repeat the fast path instead of sharing a helper: one Python call less per
# value, and they run twice for every recorded event. A call's argument is always None.


def dump_msgpack(value: Any) -> bytes:
    """One MessagePack value for `value`; objects are shown by their (bounded) repr."""
    if value is None:
        return _NIL
    try:
        if type(value) is dict:
            if _scan_dict(value, 0, _max_total) >= 0:
                return _pack(value)
        elif _scan(value, 0, _max_total) >= 0:
            return _pack(value)
    except BaseException:  # noqa: BLE001 - e.g. a string with lone surrogates; the walk copes
        pass
    return _careful(value, False)


def dump_msgpack_lightweight_repr(value: Any) -> bytes:
    """Like `dump_msgpack`, but objects are shown by type and identity: no code of the program runs."""
    if value is None:
        return _NIL
    try:
        if type(value) is dict:
            if _scan_dict(value, 0, _max_total) >= 0:
                return _pack(value)
        elif _scan(value, 0, _max_total) >= 0:
            return _pack(value)
    except BaseException:  # noqa: BLE001 - e.g. a string with lone surrogates; the walk copes
        pass
    return _careful(value, True)


# --- the native fast path ---------------------------------------------------------------------------

_dump_msgpack_python = dump_msgpack
_dump_msgpack_lightweight_repr_python = dump_msgpack_lightweight_repr


def _object_text_data(value: Any) -> bytes:
    """The full variant's text for one object, for the native walk's unusual types."""
    return _Walk(False, False).object(value).data


if _native is not None:
    _native.setup(
        dump=_dump_msgpack_python,
        dump_lightweight_repr=_dump_msgpack_lightweight_repr_python,
        is_secret=_is_secret,
        secret_cache=_secret_cache,
        type_name=_type_name,
        object_text=_object_text_data,
        lazy_module_prefixes=_LAZY_MODULE_PREFIXES,
    )
    _native_ready = True
    _configure_native()
    dump_msgpack = _native.dump_msgpack  # noqa: F811 - the same function, native
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr  # noqa: F811


# --- reading back ---------------------------------------------------------------------------------


class ObjectRepr(str):
    """Text standing for an object (its repr, or its type and identity)."""

    __slots__ = ()

    def __repr__(self) -> str:
        return str(self)


class Marker(str):
    """Something the serialiser left out: a truncation, a redaction, a cycle."""

    __slots__ = ()

    def __repr__(self) -> str:
        return str(self)


def _ext_hook(code: int, data: bytes) -> Any:
    if code == OBJECT_REPR:
        return ObjectRepr(data.decode("utf-8", "replace"))
    if code == MARKER:
        return Marker(data.decode("utf-8", "replace"))
    return ExtType(code, data)


def loads(data: bytes) -> Any:
    """Decodes MessagePack written by the engine and this module."""
    return msgpack.unpackb(
        data, raw=False, strict_map_key=False, ext_hook=_ext_hook, unicode_errors="replace"
    )
