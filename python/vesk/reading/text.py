"""Short forms of recorded values, and the one-line descriptions `vesk show` prints."""

from __future__ import annotations

import datetime
import itertools
import json
import math
from typing import Any

from msgpack import ExtType

from vesk.serialize import Marker, ObjectFields, ObjectRepr

STANDARD_FIELDS = ("frame_id", "timestamp", "thread", "thread_native_id", "user_code_call_site", "type", "subtype")


def short(value: Any, limit: int = 60) -> str:
    text = _short(value, 3)
    return text if len(text) <= limit else text[: limit - 1] + "…"


def _short(value: Any, depth: int) -> str:
    # By exact type first: an index formats every call's arguments, most of them plain values.
    kind = type(value)
    if kind in _PLAIN:
        return repr(value)
    if kind is str or kind is bytes:
        return repr(value[:80]) + ("…" if len(value) > 80 else "")
    if kind is list:
        return _short_list(value, depth)
    if kind is dict:
        return _short_dict(value, depth)
    if isinstance(value, ObjectFields):
        return _short_object(value, depth)
    if isinstance(value, (ObjectRepr, Marker)):
        return str(value)
    if isinstance(value, (str, bytes)):
        return repr(value[:80]) + ("…" if len(value) > 80 else "")
    if isinstance(value, list):
        return _short_list(value, depth)
    if isinstance(value, dict):
        return _short_dict(value, depth)
    if isinstance(value, ExtType):
        return f"<ext {value.code}>"
    return repr(value)


_PLAIN = frozenset((int, float, bool, type(None)))


def _short_list(value: list, depth: int) -> str:
    if depth == 0:
        return f"[…{len(value)}]"
    inner = ", ".join([_short(item, depth - 1) for item in value[:6]])
    return f"[{inner}{', …' if len(value) > 6 else ''}]"


def _short_dict(value: dict, depth: int) -> str:
    if depth == 0:
        return f"{{…{len(value)}}}"
    inner = ", ".join([f"{_short(k, 0)}: {_short(v, depth - 1)}" for k, v in itertools.islice(value.items(), 6)])
    return f"{{{inner}{', …' if len(value) > 6 else ''}}}"


def _short_object(value: ObjectFields, depth: int) -> str:
    """`Book(id=3, title='Dune', _state=…)`: a model's or any object's own fields first, its private
    machinery (a leading underscore: an ORM's state, caches) after them."""
    name = value.type_name.rpartition(".")[2]
    fields = value.fields
    if not isinstance(fields, dict):
        return f"{name}({_short(fields, 0)})"
    if depth == 0:
        return f"{name}(…)"
    items = sorted(fields.items(), key=_private_last)
    inner = ", ".join(
        _short(item, 0) if isinstance(key, Marker) else f"{key}={_short(item, depth - 1)}" for key, item in items[:6]
    )
    return f"{name}({inner}{', …' if len(items) > 6 else ''})"


def _private_last(item: tuple) -> int:
    """0 for a field, 1 for private machinery, 2 for what the serialiser says it left out."""
    key = item[0]
    if isinstance(key, Marker):
        return 2
    return int(isinstance(key, str) and key.startswith("_"))


def short_text(value: Any, limit: int) -> str:
    text = " ".join(str(value).split()) if value is not None else ""
    return text if len(text) <= limit else text[: limit - 1] + "…"


# Cells the compiler makes for a function's own use (super()'s class, a class body's namespace), which
# the program never names; a comprehension's iterator argument is named ".0".
COMPILER_CELLS = frozenset(("__class__", "__classdict__", "__classdictcell__", "__classcell__"))


def is_compiler_made(name: object) -> bool:
    return isinstance(name, str) and (name in COMPILER_CELLS or name.startswith("."))


def arguments(call: dict) -> str:
    if call.get("co_name") == "<module>":
        return ""
    values = call.get("locals")
    if not isinstance(values, dict):
        return short(values)
    parts = [f"{name}={short(value, 40)}" for name, value in values.items()
             if name not in ("self", "cls") and not is_compiler_made(name)]
    return ", ".join(parts)


# A class body's namespace gets these names first; no function's locals have both.
CLASS_BODY_NAMES = (b"\xaa__module__", b"\xac__qualname__")


def is_class_body(ret: dict | None) -> bool:
    """Whether the return record `ret` ends a class body (run once, as the class is made, and no call
    of the program's own): its namespace holds "__module__" and "__qualname__"."""
    if ret is None or ret.get("event") == "call" or ret.get("co_name") == "<module>":
        return False
    values = ret.get("locals")
    return isinstance(values, dict) and "__module__" in values and "__qualname__" in values


def encodes_class_body(data: bytes, start: int, end: int) -> bool:
    """The same for the return record encoded in `data[start:end]`, its locals left undecoded."""
    module, qualname = CLASS_BODY_NAMES
    return data.find(module, start, end) >= 0 and data.find(qualname, start, end) >= 0


def function_name(record: dict) -> str:
    return str(record.get("qualname") or record.get("co_name") or "?")


def milliseconds(seconds: float | None) -> str:
    if seconds is None:
        return ""
    if seconds >= 1:
        return f"{seconds:.2f} s"
    return f"{seconds * 1000:.3f} ms"


def timestamp_text(seconds: float | None) -> str:
    if not isinstance(seconds, (int, float)):
        return "?"
    return datetime.datetime.fromtimestamp(seconds).strftime("%Y-%m-%d %H:%M:%S")


def count_text(count: int, noun: str) -> str:
    return f"{count:,} {noun}{'' if count == 1 else 's'}"


def failure_text(fields: dict) -> str:
    """ ", raised ValueError: bad line at app.py:12" for a record that knows its exception."""
    error = fields.get("error")
    if not error:
        return ""
    where = fields.get("raised_at")
    return f", raised {short_text(error, 120)}" + (f" at {where}" if where else "")


# The exceptions by which a generator or coroutine ends as it should, not by a failure: closed
# early (close(), a consumer that stopped iterating), or an iterator's end.
NORMAL_ENDS = {"GeneratorExit": "closed", "StopIteration": "stopped", "StopAsyncIteration": "stopped"}


def exception_of(ret: dict) -> dict | None:
    """The exception an unwind record names ({"type", "message", "line"}), where it does."""
    exception = ret.get("arg") if ret.get("event") == "unwind" else None
    return exception if isinstance(exception, dict) and isinstance(exception.get("type"), str) else None


def raised(ret: dict | None) -> bool:
    """Whether a call ended by an exception; a generator closed or stopped ended as it should."""
    if ret is None or ret.get("event") != "unwind":
        return False
    exception = exception_of(ret)
    return exception is None or exception["type"] not in NORMAL_ENDS


def exception_text(exception: dict, limit: int) -> str:
    """"ValueError: bad line (line 12)": the type, its message, and the line it left the call from."""
    message = exception.get("message")
    shown = exception["type"] + (f": {message}" if isinstance(message, str) and message else "")
    line = exception.get("line")
    return short_text(shown, limit) + (f" (line {line})" if isinstance(line, int) else "")


def returned(ret: dict, limit: int, raised: dict | None = None) -> str:
    """What a call gave back: its value, that it ended by an exception (named by its own record, or
    else when the trace knows the exception that went through this frame at this line), or that a
    generator was closed or stopped."""
    if ret.get("event") == "unwind":
        exception = exception_of(ret)
        if exception is not None:
            end = NORMAL_ENDS.get(exception["type"])
            return f"ended ({end})" if end else f"raised {exception_text(exception, limit)}"
        error = (raised or {}).get((ret.get("path"), ret.get("co_name")))
        return f"raised {short_text(error, limit)}" if error else "raised"
    return short(ret.get("arg"), limit)


def describe_plugin_record(record: dict) -> str:
    kind = record.get("type")
    extra = {k: v for k, v in record.items() if k not in STANDARD_FIELDS}
    duration = extra.get("duration_ms")
    took = f" ({duration} ms)" if isinstance(duration, (int, float)) else ""
    if kind == "start_test":
        return f"▶ test {extra.get('test')}"
    if kind == "end_test":
        return f"■ test {extra.get('test')}: {extra.get('outcome')}{took}{failure_text(extra)}"
    if kind == "request_start":
        query = extra.get("query")
        return f"→ request {extra.get('method')} {extra.get('path')}{'?' + query if query else ''}"
    if kind == "request_end":
        return f"← response {extra.get('status')} to {extra.get('method')} {extra.get('path')}{took}{failure_text(extra)}"
    if kind == "http_request":
        return f"http {extra.get('method')} {extra.get('url')}"
    if kind == "http_response":
        status = extra.get("status") if not extra.get("error") else "failed"
        return f"http {extra.get('method')} {extra.get('url')} → {status}{took}"
    if kind == "sql_query":
        params = extra.get("params")
        shown = f"  {short(params, 60)}" if params not in (None, [], ()) else ""
        return f"sql[{record.get('subtype', '?')}] {short_text(extra.get('sql'), 100)}{shown}"
    if kind == "sql_result":
        return f"sql[{record.get('subtype', '?')}] done{took}"
    if kind == "log":
        return f"log {extra.get('level')} {extra.get('logger')}: {short_text(extra.get('message'), 100)}"
    if kind == "program_exit":
        if extra.get("error"):
            return f"exit status {extra.get('status')}{failure_text(extra)}"
        if extra.get("signal"):
            return f"exit status {extra.get('status')} (ended by {short_text(extra['signal'], 20)}; the trace ends here)"
        exception = extra.get("exception")
        return f"exit status {extra.get('status')}" + (f" ({short(exception, 80)})" if exception else "")
    if kind == "recording_ended":
        where = f" at {short_text(extra.get('where'), 80)}" if extra.get("where") else ""
        return f"■ recording of this thread ended{where}: {short_text(extra.get('reason'), 100)}"
    if kind == "task_step":
        return f"⤷ task {extra.get('task_name')}" + (" (step ends)" if extra.get("step") == "end" else "")
    if kind == "recording_stopped":
        return "■ " + recording_stopped_text(record)
    fields = " ".join(f"{k}={short(v, 40)}" for k, v in extra.items())
    return f"{kind} {fields}".rstrip()


def is_step_end(record: dict) -> bool:
    """The end of an asyncio task's step: the next step's start says as much, so trees leave it out."""
    return record.get("type") == "task_step" and record.get("step") == "end"


def durations_unsteady_text(record: dict) -> str:
    return f"durations may be off: {short_text(record.get('reason'), 100)}"


def recording_stopped_text(record: dict) -> str:
    limit = record.get("limit")
    if record.get("reason") == "trace_bytes" and isinstance(limit, int):
        why = f"the trace reached its limit of {limit:,} bytes ([limits] trace_bytes)"
    else:
        why = f"reason {short(record.get('reason'), 40)}"
    return f"recording stopped: {why}; later calls are not recorded"


# --- JSON -----------------------------------------------------------------------------------------


def jsonable(value: Any) -> Any:
    if isinstance(value, ObjectFields):
        return object_json(value.type_name, jsonable(value.fields))
    if isinstance(value, dict):
        return {(k if isinstance(k, str) else key_text(k)): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)) and not isinstance(value, ExtType):
        return [jsonable(item) for item in value]
    if isinstance(value, bytes):
        return repr(value)
    if isinstance(value, float) and not math.isfinite(value):
        return str(value)
    if isinstance(value, ExtType):
        return f"<ext {value.code}: {value.data!r}>"
    return value


def object_json(type_name: str, fields: Any) -> dict:
    """An object shown by its fields, in JSON."""
    return {"object": type_name, "fields": fields}


def key_text(key: Any) -> str:
    if isinstance(key, bytes):
        return repr(key)
    if key is None or isinstance(key, bool):
        return json.dumps(key)
    return str(key)
