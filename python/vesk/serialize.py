"""Turns any Python value into one MessagePack value, never raising and never running the program's code.

The engine calls `dump_msgpack` (or `dump_msgpack_lightweight_repr`) twice for every recorded event,
for the argument or return value and for the local variables, and once for every plugin record. So
both are, when the engine `vesk._vesk` is built, its native serialiser's functions, which write the
very bytes the Python code below writes and hand a value (or one piece of it) to it whenever they
cannot go on; the engine, finding them here, calls them without going through Python. The Python
code is the fallback and the reference:

- The common case (plain dicts, lists, tuples, strings, numbers within the limits) is checked by a
  cheap scan and then packed by msgpack's C packer as it is.
- Anything else goes through a careful walk that builds a bounded copy: strings longer than
  `max_string_length` are cut with a visible "…[+N chars]" suffix, containers keep `max_items` items
  and get a marker for the rest, containers deeper than `max_depth` and everything past
  `max_total_items` become a marker, a container met again inside itself becomes a "<cycle>" marker,
  an object shown by its fields and met again in the same value a "<T: shown above>" marker.
- Objects are shown by what can be read without running Python code of the program: instances of
  classes (plain, `__slots__`, dataclasses, attrs classes, named tuples, exceptions) by their fields,
  public fields first, read from the instance dict and the slots' member descriptors (no `__repr__`,
  `__eq__`, `__iter__`, property or other descriptor runs); enum members by name; a few
  standard-library types whose repr is known to be safe and cheap (matched by exact type) by their
  repr; anything else by type and identity. The program's own `__repr__` runs only for the types the
  "serialize" settings opt in (`call_repr`, `repr_types`); a KeyboardInterrupt or SystemExit it raises
  reaches the program. The lightweight variant shows every object by type and identity.
- Secrets (the rules are in `vesk.redaction`): text-like values (strings, bytes, numbers, and such
  values inside lists, tuples and sets; a whole dict) held under a secret-looking name (dict keys,
  fields, the name of a (name, value) pair such as a header in a list of headers) become a
  "<redacted>" marker, while an object there is shown by its fields, each judged by its own name; a
  text that is the very object redacted elsewhere in the same record is redacted too; secrets
  recognisable by their shape inside any text or bytes (credentials in URLs, secret-named
  `name=value` parameters, Bearer and Basic authorization values, private keys, well-known token
  formats) are replaced by "<redacted>" in the text.
- A WSGI environment (a dict held as "environ" or "META") is shown without the entries it copied
  from the process environment: a marker counts them.

Extension types in the output: 1 = text standing for an object, 2 = marker for something left out,
3 = an object by its fields: the MessagePack array [type name, {field name: value}].
"""

from __future__ import annotations

import io
import itertools
import os
import sys

import msgpack
from msgpack import ExtType

from vesk import redaction
from vesk.config import DEFAULT_SECRET_NAMES
from vesk.redaction import AUTHORITY, ENVIRON, PLAIN, REDACTED_TEXT, SECRET

# No typing at import time: `vesk run` imports this file before the program starts.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

try:
    from vesk._vesk import serializer as _native
except ImportError:  # a checkout without the built engine: the Python serialiser does everything
    _native = None

OBJECT_REPR = 1
MARKER = 2
OBJECT_FIELDS = 3

_INT_MIN = -(1 << 63)
_INT_MAX = (1 << 64) - 1

# Limits, replaced by `configure`. Module globals rather than arguments: the engine calls the two
# dump functions with the value alone.
_max_string = 1000
_max_items = 20
_max_depth = 8
_max_total = 5000
_max_object_depth = 2
_max_nested_fields = 12
_names = redaction.NameRules(DEFAULT_SECRET_NAMES)
_process_environment: dict[str, str] = {}
_call_repr = False
_repr_types: frozenset[str] = frozenset()

# One shared packer: its `pack` runs entirely in C without calling back into Python for the values we
# hand it (plain types and ExtType only), so two threads cannot interleave inside it.
_pack = msgpack.Packer(use_bin_type=True, autoreset=True).pack

# Objects whose repr runs a database query or other I/O: shown by type and identity even when the
# settings opt into calling reprs, because a query fired from inside the profile function would change
# the program.
_LAZY_MODULE_PREFIXES = ("django.db.models.query", "sqlalchemy.orm.query", "sqlalchemy.orm.dynamic")

# Standard-library types whose repr runs no code of the program and stays short, by exact type.
_SAFE_REPR_TYPES = frozenset(
    {
        ("builtins", "complex"),
        ("builtins", "range"),
        ("decimal", "Decimal"),
        ("fractions", "Fraction"),
        ("uuid", "UUID"),
        ("datetime", "date"),
        ("datetime", "timedelta"),
        ("datetime", "timezone"),
        ("zoneinfo", "ZoneInfo"),
        ("re", "Pattern"),
        *((module, name) for module in ("pathlib", "pathlib._local") for name in (
            "PurePath", "PurePosixPath", "PureWindowsPath", "Path", "PosixPath", "WindowsPath"
        )),
        *(("ipaddress", f"IPv{version}{kind}") for version in (4, 6) for kind in ("Address", "Network", "Interface")),
    }
)
# Their repr shows the tzinfo's repr, which may be the program's: shown without it unless it is one
# of the standard library's.
_DATETIME_TYPES = frozenset({("datetime", "datetime"), ("datetime", "time")})

_object_repr = object.__repr__
_type_qualname = type.__dict__["__qualname__"].__get__
_type_module = type.__dict__["__module__"].__get__
_type_mro = type.__dict__["__mro__"].__get__
_type_name_only = type.__dict__["__name__"].__get__
_type_flags = type.__dict__["__flags__"].__get__
_type_dict = type.__dict__["__dict__"].__get__
_type_repr = type.__repr__
_exception_args = BaseException.__dict__["args"]
_GetSetDescriptor = type(type.__dict__["__dict__"])
_MemberDescriptor = type(BaseException.__dict__["__suppress_context__"])
_HEAP_TYPE = 1 << 9
_MISSING = object()


def configure(settings: dict[str, Any] | None = None) -> None:
    """Sets the limits, the secret-looking names and which reprs run (the "serialize" table)."""
    global _max_string, _max_items, _max_depth, _max_total, _max_object_depth, _names, _process_environment
    global _max_nested_fields, _call_repr, _repr_types
    settings = settings or {}
    # Everything read before anything is set: a bad value leaves the previous settings whole, on
    # both sides.
    max_string = int(settings.get("max_string_length", 1000))
    max_items = int(settings.get("max_items", 20))
    max_depth = int(settings.get("max_depth", 8))
    max_total = int(settings.get("max_total_items", 5000))
    max_object_depth = int(settings.get("max_object_depth", 2))
    max_nested_fields = int(settings.get("max_nested_fields", 12))
    secret_names = [str(name) for name in settings.get("secret_names", DEFAULT_SECRET_NAMES)]
    names = redaction.NameRules(secret_names)
    call_repr = bool(settings.get("call_repr", False))
    repr_types = frozenset(settings.get("repr_types", ()))
    environment = {key: value for key, value in os.environ.items() if type(key) is str and type(value) is str}
    if _native is not None:
        _native.configure(
            max_string_length=max_string,
            max_items=max_items,
            max_depth=max_depth,
            max_total_items=max_total,
            max_object_depth=max_object_depth,
            max_nested_fields=max_nested_fields,
            secret_names=secret_names,
            secret_rules=redaction.RULES,
            process_environment=environment,
        )
    _max_string, _max_items, _max_depth, _max_total = max_string, max_items, max_depth, max_total
    _max_object_depth, _max_nested_fields = max_object_depth, max_nested_fields
    _names = names
    _process_environment = environment
    _call_repr, _repr_types = call_repr, repr_types
    _plans.clear()


def forget() -> None:
    """Forgets what was worked out per type: the types themselves are let go, with everything their
    methods' globals hold (a recording's end must not keep the program's objects alive to its exit)."""
    _plans.clear()
    if _native is not None:
        _native.forget()


# Per type (by id, with the type kept so the id stays its own): how its instances are shown.
_plans: dict[int, tuple[type, tuple]] = {}
_PLAN_CACHE_SIZE = 2000


# --- secrets: the engine's rules when it is built, else `vesk.redaction`'s ------------------------------
# The cut keeps the first `max_string_length` characters of a text; a few more are searched, so that a
# secret that starts before the cut is redacted whole even when it ends after it. The rest of a long
# text is never shown, so never searched.
_SEARCH_BEYOND_CUT = 256


def _name_kind_python(name: str) -> int:
    return _names.kind(name)


def _redact_text_python(text: str) -> str:
    return redaction.redact_text(text, _names)


def _redact_bytes_python(data: bytes) -> bytes:
    text = data.decode("latin-1")
    redacted = redaction.redact_text(text, _names)
    return data if redacted is text else redacted.encode("latin-1")


def _redact_authority_python(text: str) -> str:
    return redaction.redact_authority(text)


if _native is not None:
    _name_kind = _native.name_kind
    _redact_text = _native.redact_text
    _redact_bytes = _native.redact_bytes
    _redact_authority = _native.redact_authority
else:
    _name_kind = _name_kind_python
    _redact_text = _redact_text_python
    _redact_bytes = _redact_bytes_python
    _redact_authority = _redact_authority_python


def is_secret_name(name: str) -> bool:
    """Whether values stored under `name` are redacted."""
    return _name_kind(name) == SECRET


def _pair_kind(name: Any) -> int:
    """What the name of a (name, value) pair, such as a header in a list of headers (bytes in ASGI),
    says about its value: SECRET, AUTHORITY or PLAIN."""
    t = type(name)
    if t is bytes:
        kind = _name_kind(name.decode("latin-1"))
    elif t is str:
        kind = _name_kind(name)
    else:
        return PLAIN
    return PLAIN if kind == ENVIRON else kind


def _shown_text(text: str) -> str:
    """The text as recorded: secrets found by their shape replaced, cut to `max_string_length`."""
    head = text if len(text) <= _max_string + _SEARCH_BEYOND_CUT else text[: _max_string + _SEARCH_BEYOND_CUT]
    redacted = _redact_text(head)
    if redacted is head:
        return _cut(text)
    # What lies past the searched part is never shown, even where the redactions made the text
    # shorter than the cut.
    if head is text and len(redacted) <= _max_string:
        return redacted
    shown = redacted[:_max_string]
    return f"{shown}…[+{len(redacted) + len(text) - len(head) - len(shown)} chars]"


def _shown_bytes(data: bytes) -> Any:
    """Bytes as recorded: the same rules as text, each byte read as one character; past
    `max_string_length` the text of their repr."""
    head = data if len(data) <= _max_string + _SEARCH_BEYOND_CUT else data[: _max_string + _SEARCH_BEYOND_CUT]
    redacted = _redact_bytes(head)
    if head is data and len(redacted) <= _max_string:
        return redacted
    shown = redacted[:_max_string]
    return _object_text(f"{shown!r}…[+{len(redacted) + len(data) - len(head) - len(shown)} bytes]")


# --- the fast path: is the value already within every limit? -------------------------------------
# Each scan returns the remaining item budget, or -1 when the careful walk is needed. Only exact
# built-in types pass, so the scan itself never runs code of the program.


def _scan(value: Any, depth: int, budget: int) -> int:
    t = type(value)
    if t is dict:
        return _scan_dict(value, depth, budget)
    if t is list or t is tuple:
        return _scan_sequence(value, depth, budget)
    if t is str:
        return budget if len(value) <= _max_string and _redact_text(value) is value else -1
    if t is bytes:
        return budget if len(value) <= _max_string and _redact_bytes(value) is value else -1
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
    for key, item in value.items():
        if type(key) is str:
            if len(key) > _max_string or _name_kind(key) != PLAIN or _redact_text(key) is not key:
                return -1
        elif type(key) is not int or not _INT_MIN <= key <= _INT_MAX:
            return -1
        t = type(item)
        if t is str:
            if len(item) > _max_string or _redact_text(item) is not item:
                return -1
        elif t is bytes:
            if len(item) > _max_string or _redact_bytes(item) is not item:
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
    if len(value) == 2 and type(value) is tuple and _pair_kind(value[0]) != PLAIN:
        return -1
    budget -= len(value)
    if budget < 0:
        return -1
    for item in value:
        t = type(item)
        if t is str:
            if len(item) > _max_string or _redact_text(item) is not item:
                return -1
        elif t is bytes:
            if len(item) > _max_string or _redact_bytes(item) is not item:
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
_REDACTED = _marker(REDACTED_TEXT)
_CYCLE = _marker("<cycle>")
_MORE_KEY = _marker("…")
_ENVIRONMENT_KEY = _marker("<process environment>")


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


def _is_private(name: Any) -> bool:
    return type(name) is str and name[:1] == "_"


# --- how a type's instances are shown ----------------------------------------------------------------
# A plan is decided once per type, from the type's own dicts along its MRO (read without running any
# descriptor or metaclass code). The native serialiser reads the same plans: its first item says how,
# the rest what it needs to do it. Only OWN_REPR (and the names of types with unusual names) is asked
# of `_object_parts` each time.

(
    IDENTITY,  # type and identity
    BY_DICT,  # the instance dict, read through the type's __dict__ descriptor (plan[1])
    AS_TUPLE,  # a plain tuple's items (struct sequences)
    BY_VALUE,  # a str, int or float subclass by its value
    BY_FIELDS,  # (kind, names, sources, dict descriptor, and_dict): slots, dataclasses, attrs, exceptions
    NAMED_TUPLE,  # (kind, field names, whether they are distinct)
    ENUM,  # an enum member by its name
    INTERPRETER_REPR,  # functions, generators, frames...: the repr the interpreter writes in C
    CLASS_REPR,  # a class: type.__repr__
    OWN_REPR,  # (kind, how): a safe standard-library repr, a datetime, or an opted-in program repr
) = range(10)


def _plan(t: type) -> tuple:
    entry = _plans.get(id(t))
    if entry is not None and entry[0] is t:
        return entry[1]
    plan = _make_plan(t)
    if len(_plans) >= _PLAN_CACHE_SIZE:
        _plans.clear()
    _plans[id(t)] = (t, plan)
    return plan


def _lookup(mro: tuple, name: str) -> Any:
    for klass in mro:
        found = _type_dict(klass).get(name, _MISSING)
        if found is not _MISSING:
            return found
    return _MISSING


def _has_base(mro: tuple, base: Any) -> bool:
    return any(klass is base for klass in mro)


def _is_stdlib_type(t: type, names: frozenset, module: Any, qualname: str) -> bool:
    if (module, qualname) not in names:
        return False
    loaded = sys.modules.get(module)
    return loaded is not None and vars(loaded).get(qualname) is t


def _interpreter_types() -> tuple[type, ...]:
    """Functions, generators, coroutines, code objects, frames and cells: their reprs are written in C
    from names and addresses, and their types have no name in builtins."""

    async def coroutine() -> None:
        pass

    started = coroutine()
    started.close()
    return (
        type(_type_module),
        type(len),
        type(_interpreter_types),
        type(item for item in ()),
        type(started),
        type(_interpreter_types.__code__),
        type(sys._getframe()),
        type((lambda captured: lambda: captured)(0).__closure__[0]),
    )


_INTERPRETER_TYPES = _interpreter_types()


def _make_plan(t: type) -> tuple:
    module = _type_module(t)
    qualname = _type_qualname(t)
    mro = _type_mro(t)
    if isinstance(module, str) and module.startswith(_LAZY_MODULE_PREFIXES):
        return (IDENTITY,)
    if any(t is kind for kind in _INTERPRETER_TYPES):
        return (INTERPRETER_REPR,)
    if _is_stdlib_type(t, _SAFE_REPR_TYPES, module, qualname):
        return (OWN_REPR, "repr")
    if _is_stdlib_type(t, _DATETIME_TYPES, module, qualname):
        return (OWN_REPR, "datetime")
    if _wants_repr(t, mro):
        return (OWN_REPR, "call_repr")
    if _has_base(mro, type):
        return (CLASS_REPR,)
    dict_descriptor = _lookup(mro, "__dict__")
    if type(dict_descriptor) is not _GetSetDescriptor:
        dict_descriptor = None
    if _has_base(mro, BaseException):
        return (BY_FIELDS, ("args",), (_exception_args,), dict_descriptor, True)
    enum = sys.modules.get("enum")
    if enum is not None and _has_base(mro, enum.Enum):
        return (ENUM,)
    if _has_base(mro, tuple):  # named tuples; struct sequences such as os.stat_result as tuples
        names = _lookup(mro, "_fields")
        if type(names) is tuple and all(type(name) is str for name in names):
            return (NAMED_TUPLE, names, len(set(names)) == len(names))
        return (AS_TUPLE,)
    if _has_base(mro, str) or _has_base(mro, int) or _has_base(mro, float):
        return (BY_VALUE,)
    if not _type_flags(t) & _HEAP_TYPE:
        return (IDENTITY,)  # a type written in C: its state is not Python-readable fields
    members = _slot_members(mro)
    declared = _declared_fields(mro)
    if declared is not None:
        return (BY_FIELDS, declared, tuple(members.get(name) for name in declared), dict_descriptor, False)
    if members:
        return (BY_FIELDS, tuple(members), tuple(members.values()), dict_descriptor, True)
    if dict_descriptor is not None:
        return (BY_DICT, dict_descriptor)
    return (IDENTITY,)


def _wants_repr(t: type, mro: tuple) -> bool:
    if not (_call_repr or (_repr_types and _type_name(t) in _repr_types)):
        return False
    return _lookup(mro, "__repr__") is not _object_repr


def _slot_members(mro: tuple) -> dict[str, Any]:
    """The slots' member descriptors in declaration order, base classes' first: reading one runs no
    Python code."""
    members = {}
    for klass in reversed(mro):
        attributes = _type_dict(klass)
        if "__slots__" not in attributes:
            continue
        for name in _slot_names(klass, attributes):
            attribute = attributes.get(name)
            if type(attribute) is _MemberDescriptor and name not in members:
                members[name] = attribute
    return members


def _slot_names(klass: type, attributes: Any) -> list[str]:
    declared = attributes["__slots__"]
    if type(declared) is str:
        declared = (declared,)
    if type(declared) not in (tuple, list):
        return list(attributes)  # any other iterable may be spent or be the program's own
    prefix = "_" + _type_name_only(klass).lstrip("_")
    return [
        prefix + name if name.startswith("__") and not name.endswith("__") else name  # mangled
        for name in declared
        if type(name) is str
    ]


def _declared_fields(mro: tuple) -> tuple[str, ...] | None:
    """The fields a dataclass or an attrs class shows in its repr, or None for other classes."""
    fields = _lookup(mro, "__dataclass_fields__")
    dataclasses = sys.modules.get("dataclasses")
    if type(fields) is dict and dataclasses is not None:
        return tuple(
            name
            for name, field in fields.items()
            if type(name) is str
            and type(field) is dataclasses.Field
            and field._field_type is dataclasses._FIELD
            and field.repr
        )
    attributes = _lookup(mro, "__attrs_attrs__")
    if isinstance(attributes, tuple) and all(_type_module(type(item)) == "attr._make" for item in attributes):
        # attrs' own Attribute objects, whose fields are slots: reading them runs no program code.
        return tuple(attribute.name for attribute in attributes if type(attribute.name) is str and attribute.repr)
    return None


def _object_parts(value: Any) -> Any:
    """An object as the walk shows it: an ExtType; a str, its text, which the walk redacts and cuts by
    its own limits; or (type name, fields dict) to walk."""
    t = type(value)
    plan = _plan(t)
    kind = plan[0]
    if kind == BY_DICT:
        fields = plan[1].__get__(value, t)
        return (_shown_type_name(t), fields) if isinstance(fields, dict) else _object_text(_identity(value))
    if kind == BY_FIELDS:
        return _shown_type_name(t), _read_fields(value, *plan[1:])
    if kind == NAMED_TUPLE:
        return _shown_type_name(t), dict(zip(plan[1], tuple.__iter__(value)))
    if kind == ENUM:
        return _enum_text(value)
    if kind == INTERPRETER_REPR:
        # Written by the interpreter from an identifier and an address; a generator pipeline shows
        # thousands of them.
        return repr(value)
    if kind == CLASS_REPR:
        return _type_repr(value)
    if kind == OWN_REPR:
        how = plan[1]
        if how == "repr":
            return _safe_repr(value)
        if how == "datetime":
            return _datetime_text(value)
        return _program_repr(value)
    return _object_text(_identity(value))


def _shown_type_name(t: type) -> str:
    return _type_name(t).encode("utf-8", "backslashreplace").decode("utf-8")


def _read_fields(value: Any, names: tuple, sources: tuple, dict_descriptor: Any, and_dict: bool) -> dict:
    """The named fields that are set (a half-built object lacks some), each from its descriptor or
    else the instance dict, then, with `and_dict`, the dict's other entries."""
    t = type(value)
    instance_dict = dict_descriptor.__get__(value, t) if dict_descriptor is not None else None
    if not isinstance(instance_dict, dict):
        instance_dict = {}
    fields = {}
    for name, source in zip(names, sources):
        if source is not None:
            try:
                fields[name] = source.__get__(value, t)
            except AttributeError:
                pass  # an empty slot
        else:
            found = dict.get(instance_dict, name, _MISSING)
            if found is not _MISSING:
                fields[name] = found
    if and_dict:
        for name, found in dict.items(instance_dict):
            fields.setdefault(name, found)
    return fields


def _enum_text(value: Any) -> ExtType:
    t = type(value)
    descriptor = _lookup(_type_mro(t), "__dict__")
    members = descriptor.__get__(value, t) if type(descriptor) is _GetSetDescriptor else None
    if not isinstance(members, dict):
        return _object_text(_identity(value))
    name, number = dict.get(members, "_name_"), dict.get(members, "_value_")
    if type(name) is str:
        return _object_text(_cut(f"{_type_qualname(t)}.{name}"))
    if type(number) is int:
        return _object_text(_cut(f"{_type_qualname(t)}({number})"))  # a combination of flags
    return _object_text(_identity(value))


def _safe_repr(value: Any) -> Any:
    try:
        return repr(value)
    except Exception as exc:  # noqa: BLE001 - e.g. out of memory for a huge Decimal's text
        return _object_text(_identity(value, f"; repr raised {_type_name(type(exc))}"))


def _datetime_text(value: Any) -> Any:
    zone = value.tzinfo
    if zone is None or _plan(type(zone))[1:2] == ("repr",):
        return _safe_repr(value)
    naive = repr(value.replace(tzinfo=None))
    return f"{naive[:-1]}, tzinfo=<{_type_name(type(zone))}>)"


def _program_repr(value: Any) -> Any:
    """The program's own repr, opted into by the settings: bounded, and whatever it raises is shown,
    except KeyboardInterrupt and SystemExit, which belong to the program."""
    try:
        text = repr(value)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: BLE001 - a repr may raise anything; we must not
        return _object_text(_identity(value, f"; repr raised {_type_name(type(exc))}"))
    if type(text) is not str:
        return _object_text(_identity(value))
    return text


_TEXT_KINDS = frozenset({ENUM, INTERPRETER_REPR, CLASS_REPR, OWN_REPR})


def _key_text(key: Any) -> ExtType:
    """A key that MessagePack cannot hold as it is, as text: a reader needs hashable keys."""
    if type(key) is tuple and all(type(item) in _PLAIN_KEY_TYPES for item in key):
        return _object_text(_shown_text(repr(key)))  # repr of these types runs no program code
    if _plan(type(key))[0] not in _TEXT_KINDS:
        return _object_text(_identity(key))
    parts = _object_parts(key)
    if type(parts) is str:
        return _object_text(_shown_text(parts))
    return parts if type(parts) is ExtType else _object_text(_identity(key))


class _Walk:
    """One careful conversion into plain values and extension values, within the limits."""

    __slots__ = ("light", "safe_text", "budget", "open", "objects_open", "shown_objects", "redacted")

    def __init__(self, light: bool, safe_text: bool, redacted: dict[int, Any]) -> None:
        self.light = light
        # Set on the second attempt, after the packer refused a string (lone surrogates).
        self.safe_text = safe_text
        self.budget = _max_total
        self.open: set[int] = set()
        self.objects_open = 0  # objects being shown by their fields, one inside the other
        # Met again in the same value (a parser's tokens in its list and as its current token), an
        # object is not shown again: its fields would cost their whole size once more. By id, holding
        # them so that the id stays theirs.
        self.shown_objects: dict[int, Any] = {}
        # The texts redacted by name in this record (by id, holding them so that the id stays theirs).
        self.redacted = redacted

    def value(self, value: Any, depth: int) -> Any:
        t = type(value)
        if t is str:
            return self.text(value)
        if t is int:
            return value if _INT_MIN <= value <= _INT_MAX else self.big_int(value)
        if t is float or t is bool or value is None:
            return value
        if t is bytes:
            return _REDACTED if self.redacted and id(value) in self.redacted else _shown_bytes(value)
        if issubclass(t, dict):
            return self.mapping(value, depth)
        for base in (list, set, frozenset):
            if issubclass(t, base):
                return self.sequence(value, base, depth, PLAIN)
        if t is tuple or (self.light and issubclass(t, tuple)):
            return self.sequence(value, tuple, depth, PLAIN)
        if self.light:
            if issubclass(t, (str, int, float)):
                return self.by_value(value, t, depth)
            return _object_text(_identity(value))
        return self.object(value, depth)

    def held(self, value: Any, depth: int, kind: int) -> Any:
        """A value held under a name of this kind."""
        if kind == SECRET:
            return self.secret(value, depth)
        if kind == AUTHORITY:
            return self.authority(value, depth)
        if kind == ENVIRON and issubclass(type(value), dict):
            return self.mapping(value, depth, environ=True)
        return self.value(value, depth)

    def secret(self, value: Any, depth: int) -> Any:
        """A value held under a secret name: text-like values redacted, lists, tuples and sets item by
        item, objects by their fields (judged by their own names)."""
        t = type(value)
        if value is None or t is bool:
            return value
        if t is str or t is bytes:
            if value:
                self.redacted[id(value)] = value
            return _REDACTED
        if t is int or t is float or issubclass(t, dict):
            return _REDACTED
        for base in (list, set, frozenset):
            if issubclass(t, base):
                return self.sequence(value, base, depth, SECRET)
        if t is tuple or (self.light and issubclass(t, tuple)):
            return self.sequence(value, tuple, depth, SECRET)
        if self.light:
            return _REDACTED if issubclass(t, (str, int, float)) else _object_text(_identity(value))
        kind = _plan(t)[0]
        if kind == AS_TUPLE:
            return self.sequence(value, tuple, depth, SECRET)
        if kind == BY_VALUE or kind == OWN_REPR:
            return _REDACTED
        return self.object(value, depth)

    def authority(self, value: Any, depth: int) -> Any:
        """A value held under a host's name: an authority's password redacted."""
        t = type(value)
        if self.redacted and id(value) in self.redacted:
            return _REDACTED
        if t is str:
            return self.shown(_redact_authority(value))
        if t is bytes:
            text = value.decode("latin-1")
            redacted = _redact_authority(text)
            return _shown_bytes(value if redacted is text else redacted.encode("latin-1"))
        for base in (list, set, frozenset):
            if issubclass(t, base):
                return self.sequence(value, base, depth, AUTHORITY)
        if t is tuple or (self.light and issubclass(t, tuple)):
            return self.sequence(value, tuple, depth, AUTHORITY)
        return self.value(value, depth)

    def by_value(self, value: Any, t: type, depth: int) -> Any:
        # Subclasses of str, int and float keep their value: the base type's own conversion reads
        # it without running code of the subclass.
        if issubclass(t, str):
            return self.shown(str.__str__(value))
        if issubclass(t, int):
            return self.value(int.__int__(value), depth)
        return float.__float__(value)

    def text(self, text: str) -> Any:
        if self.redacted and id(text) in self.redacted:
            return _REDACTED
        return self.shown(text)

    def shown(self, text: str) -> str:
        text = _shown_text(text)
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
            return self.shown(key)
        if t is int and _INT_MIN <= key <= _INT_MAX:
            return key
        if t is float or t is bool or key is None:
            return key
        if t is bytes and len(key) <= _max_string:
            return _shown_bytes(key)
        if self.light and not (t is tuple and all(type(item) in _PLAIN_KEY_TYPES for item in key)):
            return _object_text(_identity(key))
        return _key_text(key)

    def limited(self, value: Any, depth: int, count: int) -> ExtType | None:
        if depth >= _max_depth:
            return _marker(f"<{_type_name(type(value))} of {count} items: too deep>")
        if id(value) in self.open:
            return _CYCLE
        if count and self.budget <= 0:
            return _marker(f"<{_type_name(type(value))} of {count} items: size limit>")
        return None

    def mapping(self, value: dict, depth: int, environ: bool = False, public_first: bool = False) -> Any:
        count = dict.__len__(value)
        stop = self.limited(value, depth, count)
        if stop is not None:
            return stop
        # Taken before converting: converting may change the dict, which would break the iteration.
        most = min(count, _max_items, self.budget)
        if environ:
            pairs, from_environment, looked_at = _environ_pairs(value, most)
        elif public_first:
            pairs, from_environment, looked_at = _public_pairs(value, most), 0, most
        else:
            pairs, from_environment, looked_at = list(itertools.islice(dict.items(value), most)), 0, most
        self.budget -= len(pairs)
        self.open.add(id(value))
        plain_text = not self.safe_text
        redacted = self.redacted
        result = {}
        for key, item in pairs:
            # Plain keys and values are handled inline: this loop runs for every method call (its
            # locals hold `self`, an object), so it is the careful walk's own hot path.
            if type(key) is str:
                kind = _name_kind(key)
                if not plain_text or len(key) > _max_string or _redact_text(key) is not key:
                    key = self.shown(key)
            else:
                kind = _pair_kind(key) if type(key) is bytes else PLAIN
                key = self.key(key)
            if kind != PLAIN:
                result[key] = self.held(item, depth + 1, kind)
                continue
            t = type(item)
            if t is str:
                plain = plain_text and len(item) <= _max_string and not redacted and _redact_text(item) is item
                result[key] = item if plain else self.text(item)
            elif (t is int and _INT_MIN <= item <= _INT_MAX) or t is float or t is bool or item is None:
                result[key] = item
            else:
                result[key] = self.value(item, depth + 1)
        self.open.discard(id(value))
        if from_environment:
            result[_ENVIRONMENT_KEY] = _marker(f"<{from_environment} entries of the process environment>")
        if count > looked_at:
            result[_MORE_KEY] = _marker(f"<+{count - looked_at} more items>")
        return result

    def sequence(self, value: Any, base: type, depth: int, context: int) -> Any:
        count = base.__len__(value)
        stop = self.limited(value, depth, count)
        if stop is not None:
            return stop
        take = min(count, _max_items, self.budget)
        self.budget -= take
        items = list(itertools.islice(base.__iter__(value), take))
        self.open.add(id(value))
        depth += 1
        pair = _pair_kind(items[0]) if base is tuple and take == count == 2 else PLAIN
        if pair != PLAIN:
            result = [self.held(items[0], depth, context), self.held(items[1], depth, pair)]
        elif context != PLAIN:
            result = [self.held(item, depth, context) for item in items]
        else:
            convert = self.value
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

    def object(self, value: Any, depth: int) -> Any:
        t = type(value)
        kind = _plan(t)[0]
        if kind == IDENTITY:
            return _object_text(_identity(value))
        if kind == AS_TUPLE:
            return self.sequence(value, tuple, depth, PLAIN)
        if kind == BY_VALUE:
            return self.by_value(value, t, depth)
        parts = _object_parts(value)
        if type(parts) is ExtType:
            return parts
        if type(parts) is str:
            return _object_text(_shown_text(parts))
        return self.fields(value, parts[0], parts[1], depth)

    def fields(self, value: Any, type_name: str, fields: dict, depth: int) -> Any:
        if id(value) in self.open:
            return _CYCLE
        if (
            depth >= _max_depth
            or self.objects_open >= _max_object_depth
            or (self.objects_open and dict.__len__(fields) > _max_nested_fields)
        ):
            return _object_text(_identity(value))
        if id(value) in self.shown_objects:
            return _marker(f"<{type_name}: shown above>")
        self.open.add(id(value))
        self.objects_open += 1
        shown = self.mapping(fields, depth, public_first=True)
        self.objects_open -= 1
        self.open.discard(id(value))
        self.shown_objects[id(value)] = value
        return _new_tuple(ExtType, (OBJECT_FIELDS, _pack([type_name, shown])))


def _environ_pairs(environ: dict, most: int) -> tuple[list, int, int]:
    """The first `most` entries that are not copies of the process environment's, how many such
    copies were passed over, and how many entries were looked at."""
    environment = _process_environment
    pairs = []
    copies = looked_at = 0
    for key, item in dict.items(environ):
        if len(pairs) >= most:
            break
        looked_at += 1
        if type(key) is str and type(item) is str and environment.get(key) == item:
            copies += 1
        else:
            pairs.append((key, item))
    return pairs, copies, looked_at


def _public_pairs(fields: dict, most: int) -> list:
    """An object's first `most` fields, those whose names start with "_" (its machinery: caches,
    ORM state) after the others."""
    pairs = list(dict.items(fields))
    if any(_is_private(key) for key, _ in pairs):
        pairs = [pair for pair in pairs if not _is_private(pair[0])] + [pair for pair in pairs if _is_private(pair[0])]
    return pairs[:most]


_UNSERIALISABLE = _pack(_marker("<unserialisable>"))
_NIL = _pack(None)


def _careful(value: Any, light: bool, redacted: dict[int, Any]) -> bytes:
    for safe_text in (False, True):
        try:
            return _pack(_Walk(light, safe_text, redacted).value(value, 0))
        except (KeyboardInterrupt, SystemExit):
            raise  # from a repr the settings opted into, or a signal: the program's own
        except BaseException:  # noqa: BLE001 - never raise into the engine
            continue
    return _UNSERIALISABLE


def _fast(value: Any) -> bytes | None:
    """The bytes of a value already within every limit and free of secrets, else None."""
    if value is None:
        return _NIL
    try:
        if type(value) is dict:
            if _scan_dict(value, 0, _max_total) >= 0:
                return _pack(value)
        elif _scan(value, 0, _max_total) >= 0:
            return _pack(value)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException:  # noqa: BLE001 - e.g. a string with lone surrogates; the walk copes
        pass
    return None


def _dump_values_python(values: tuple, light: bool) -> list[bytes]:
    """The values of one record (a frame's argument and its locals), each as one MessagePack value. A
    text redacted by name in any of them is redacted wherever else it appears in the record: they
    are converted again when one was redacted, now knowing it from the start."""
    redacted: dict[int, Any] = {}
    dumped = [_fast(value) or _careful(value, light, redacted) for value in values]
    if redacted:
        dumped = [_careful(value, light, redacted) for value in values]
    return dumped


def dump_msgpack(value: Any) -> bytes:
    """One MessagePack value for `value`; objects are shown by their fields (see the module doc)."""
    return _fast(value) or _dump_values_python((value,), False)[0]


def dump_msgpack_lightweight_repr(value: Any) -> bytes:
    """Like `dump_msgpack`, but every object is shown by type and identity."""
    return _fast(value) or _dump_values_python((value,), True)[0]


# --- the native serialiser ----------------------------------------------------------------------------

_dump_msgpack_python = dump_msgpack
_dump_msgpack_lightweight_repr_python = dump_msgpack_lightweight_repr
_dump_values = _dump_values_python

if _native is not None:
    _native.setup(
        dump_values=_dump_values_python,
        type_name=_type_name,
        plan=_plan,
        object_parts=_object_parts,
        key_text=_key_text,
    )
    dump_msgpack = _native.dump_msgpack  # noqa: F811 - the same function, native
    dump_msgpack_lightweight_repr = _native.dump_msgpack_lightweight_repr  # noqa: F811
    _dump_values = _native.dump_values  # noqa: F811

configure()


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


class ObjectFields(ObjectRepr):
    """An object shown by its fields. Reads as `Point(x=1, y=2)`, so that readers treat it like any
    text standing for an object; `type_name` (module and qualified name) and `fields` (a dict from
    field name to decoded value, or a Marker when the fields were left out) hold the parts."""

    type_name: str
    fields: Any

    def __new__(cls, type_name: str, fields: Any) -> ObjectFields:
        self = super().__new__(cls, _fields_text(type_name, fields))
        self.type_name = type_name
        self.fields = fields
        return self


def _fields_text(type_name: str, fields: Any) -> str:
    name = type_name.rpartition(".")[2]
    if not isinstance(fields, dict):
        return f"{name}({fields})"
    shown = (
        repr(item) if isinstance(key, Marker) else f"{key if isinstance(key, str) else repr(key)}={item!r}"
        for key, item in fields.items()
    )
    return f"{name}({', '.join(shown)})"


def ext_hook(code: int, data: bytes) -> Any:
    if code == OBJECT_REPR:
        return ObjectRepr(data.decode("utf-8", "replace"))
    if code == MARKER:
        return Marker(data.decode("utf-8", "replace"))
    if code == OBJECT_FIELDS:
        try:
            type_name, fields = loads(data)
        except (ValueError, TypeError):
            return ExtType(code, data)
        return ObjectFields(str(type_name), fields)
    return ExtType(code, data)


def loads(data: bytes) -> Any:
    """Decodes MessagePack written by the engine and this module."""
    return msgpack.unpackb(
        data, raw=False, strict_map_key=False, ext_hook=ext_hook, unicode_errors="replace"
    )


def outline(document: bytes, offset: int, skip_prefix: bytes = b"") -> tuple[int, list[tuple[int, int]], int]:
    """Where the items of the array or map at `offset` lie, without decoding them: the number of items
    starting with `skip_prefix` (only counted), the (start, end) of every other item (a map's keys
    and values in turn), and where the container ends. ValueError when the bytes are damaged."""
    if not 0 <= offset < len(document) or not _is_container(document[offset]):
        raise ValueError(f"no MessagePack array or map at byte {offset}")
    stream = io.BytesIO(document)
    stream.seek(offset)
    unpacker = msgpack.Unpacker(stream, max_buffer_size=max(len(document), 1 << 16))
    try:
        if document[offset] in _MAP_FIRST_BYTES:
            count = 2 * unpacker.read_map_header()
        else:
            count = unpacker.read_array_header()
        skipped, spans = 0, []
        for _ in range(count):
            start = offset + unpacker.tell()
            unpacker.skip()
            if skip_prefix and document.startswith(skip_prefix, start):
                skipped += 1
            else:
                spans.append((start, offset + unpacker.tell()))
    except msgpack.exceptions.UnpackException as exc:  # cut short is not a ValueError of its own
        raise ValueError(f"damaged MessagePack: {exc!r}") from exc
    return skipped, spans, offset + unpacker.tell()


_MAP_FIRST_BYTES = frozenset((*range(0x80, 0x90), 0xDE, 0xDF))
_ARRAY_FIRST_BYTES = frozenset((*range(0x90, 0xA0), 0xDC, 0xDD))


def _is_container(first_byte: int) -> bool:
    return first_byte in _MAP_FIRST_BYTES or first_byte in _ARRAY_FIRST_BYTES


_outline_python = outline
if _native is not None:
    outline = _native.outline  # noqa: F811 - the same function, native
