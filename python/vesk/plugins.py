"""Built-in plugins: typed records for calls the frame filters would drop or that mark boundaries.

The engine asks `load_plugin_data(config)` once per recording for a list of plugin descriptions; each
names functions (`co_names`) in files whose path contains `path_fragment`, and at every call or return
of such a function it builds a record from the standard fields plus whatever `process` returns. The
callables here run inside the profile function (never profiled themselves), so they must be cheap and
should not raise: an exception is logged by the engine as a warning on every event.

Record types:
- "start_test" / "end_test": the pytest plugin's test boundaries (they cut one trace per test).
- "request_start" / "request_end": one web request handled by the WSGI or Django middleware.
- "program_exit": how a program run by `vesk run` ended.
- "http_request" / "http_response": outbound HTTP through the standard library's http.client.
- "sql_query" / "sql_result": SQL through Django's cursor wrapper or SQLAlchemy's default dialect.
- "log": a log record handled by a standard-library logger.
- "task_step": an asyncio task's step, at its start ("step": "start") and its end ("end"): the records
  filed on the thread in between ran in that task.

A description names its functions by file path fragments and code names only, so that loading it
imports none of the libraries it describes: a program that never uses http.client must not pay for
importing it. The callables reach a library's classes through sys.modules, where the library
necessarily is by the time one of its functions runs.
"""

from __future__ import annotations

import contextvars
import sys
import time

from vesk.config import PLUGIN_NAMES
from vesk.serialize import REDACTED_TEXT, is_secret_name
from vesk.utils import display_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable

Description = dict


def _local(frame, name: str, default: Any = None) -> Any:
    return frame.f_locals.get(name, default)


def _lightweight(config: dict) -> bool:
    return bool(config.get("lightweight_repr"))


def _elapsed_ms(started: float | None) -> float | None:
    return None if started is None else round((time.perf_counter() - started) * 1000, 3)


# --- boundaries set by vesk's own hooks: the marker functions have their arguments as locals --------


def _boundary_fields(*names: str) -> Callable:
    def process(frame, event, arg, context):
        values = frame.f_locals
        return {name: values.get(name) for name in names}

    return process


# The innermost entries of a traceback kept with an exception: enough to find the recorded calls it
# went through. No more than the serialiser's default `max_items`, which keeps a list's first items
# and would cut the innermost entries, the ones a reader looks for.
TRACEBACK_ENTRIES = 20


def exception_fields(exception: Any) -> dict:
    """What a reader shows of an exception: "error" (its type, and its message when that is a plain
    text), "raised_at" (the file and line of its traceback's innermost frame) and "traceback" (the
    ["path:line", function name] of each frame it went through, as frame records name them, so that a
    reader finds the calls it ended). Read from the object without running the program's code."""
    if not isinstance(exception, BaseException):
        return {}
    kind = type(exception)
    name = kind.__qualname__ if kind.__module__ == "builtins" else f"{kind.__module__}.{kind.__qualname__}"
    args = exception.args
    message = args[0] if len(args) == 1 and type(args[0]) is str else None
    entries = []
    entry = exception.__traceback__
    while entry is not None:
        code = entry.tb_frame.f_code
        entries.append([f"{_shown_path(code.co_filename)}:{entry.tb_lineno}", code.co_name])
        entry = entry.tb_next
    return {
        "error": f"{name}: {message}" if message else name,
        "raised_at": entries[-1][0] if entries else None,
        "traceback": entries[-TRACEBACK_ENTRIES:],
    }


def _shown_path(filename: str) -> str:
    try:
        return display_path(filename)
    except OSError:
        return filename  # the working directory is gone: the full name


def redact_query(url: str) -> str:
    """The URL with the values of secret-looking query parameters (?token=...) replaced."""
    base, mark, query = url.partition("?")
    if not mark or not query:
        return url
    # Imported here, not with this file: urllib.parse brings re along, which `vesk run` otherwise
    # never needs.
    import urllib.parse

    parts = []
    for part in query.split("&"):
        name, equals, value = part.partition("=")
        parts.append(f"{name}=<redacted>" if equals and is_secret_name(urllib.parse.unquote_plus(name)) else part)
    return f"{base}?{'&'.join(parts)}"


def _program_exit(frame, event, arg, context):
    values = frame.f_locals
    exception = values.get("exception")
    fields = {"status": values.get("status"), "exception": exception, **exception_fields(exception)}
    if values.get("signal"):
        fields["signal"] = values["signal"]
    return fields


def _boundaries(config: dict) -> list[Description]:
    plugins = config.get("plugins", {})
    descriptions = []
    if plugins.get("pytest", True):
        descriptions += [
            {
                "co_names": ["vesk_start_test"],
                "path_fragment": "/vesk/pytest_plugin.py",
                "call_type": "start_test",
                "return_type": "start_test",
                "events": ["call"],
                "process": _boundary_fields("test"),
            },
            {
                "co_names": ["vesk_end_test"],
                "path_fragment": "/vesk/pytest_plugin.py",
                "call_type": "end_test",
                "return_type": "end_test",
                "events": ["return"],
                "process": _boundary_fields("test", "outcome", "duration_ms", "error", "raised_at", "traceback"),
            },
        ]
    if plugins.get("web", True):
        descriptions += [
            {
                "co_names": ["vesk_request_start"],
                "path_fragment": "/vesk/middleware.py",
                "call_type": "request_start",
                "return_type": "request_start",
                "events": ["call"],
                "process": _request_start,
            },
            {
                "co_names": ["vesk_request_end"],
                "path_fragment": "/vesk/middleware.py",
                "call_type": "request_end",
                "return_type": "request_end",
                "events": ["return"],
                "process": _boundary_fields("method", "path", "status", "duration_ms", "error", "raised_at", "traceback"),
            },
        ]
    # Always on: a trace must say where the program took recording away.
    descriptions.append(
        {
            "co_names": ["vesk_recording_ended"],
            "path_fragment": "/vesk/profiler.py",
            "call_type": "recording_ended",
            "return_type": "recording_ended",
            "events": ["call"],
            "process": _boundary_fields("thread", "where", "reason"),
        }
    )
    # Always on: a trace whose durations may be off says so.
    descriptions.append(
        {
            "co_names": ["vesk_durations_unsteady"],
            "path_fragment": "/vesk/profiler.py",
            "call_type": "durations_unsteady",
            "return_type": "durations_unsteady",
            "events": ["call"],
            "process": _boundary_fields("reason"),
        }
    )
    if plugins.get("cli", True):
        descriptions.append(
            {
                "co_names": ["vesk_program_exit"],
                "path_fragment": "/vesk/profiler.py",
                "call_type": "program_exit",
                "return_type": "program_exit",
                "events": ["call"],
                "process": _program_exit,
            }
        )
    return descriptions


def _request_start(frame, event, arg, context):
    values = frame.f_locals
    query = values.get("query")
    return {
        "method": values.get("method"),
        "path": values.get("path"),
        "query": redact_query("?" + query)[1:] if isinstance(query, str) else query,
    }


# --- outbound HTTP: http.client.HTTPConnection.putrequest starts every request (urllib and most
# clients built on http.client go through it) and getresponse returns its response ---------------


def _is_https(connection) -> bool:
    client = sys.modules.get("http.client")
    return client is not None and isinstance(connection, client.HTTPSConnection)


def _origin(connection) -> str:
    https = _is_https(connection)
    host = getattr(connection, "_tunnel_host", None) or getattr(connection, "host", "?")
    port = getattr(connection, "_tunnel_port", None) or getattr(connection, "port", None)
    if ":" in str(host):
        host = f"[{host}]"  # an IPv6 address
    default = 443 if https else 80
    return f"{'https' if https else 'http'}://{host}" + (f":{port}" if port and port != default else "")


def _http_process(frame, event, arg, context):
    connection = _local(frame, "self")
    pending = context["pending"]
    if event == "call":  # putrequest(self, method, url, ...)
        method = _local(frame, "method")
        url = _local(frame, "url")
        if isinstance(url, str):
            url = redact_query(_origin(connection) + url if url.startswith("/") else url)
        pending[id(connection)] = (method, url, time.perf_counter())
        if len(pending) > 10_000:  # connections that never read their response
            pending.clear()
        return {"method": method, "url": url}
    method, url, started = pending.pop(id(connection), (None, None, None))
    fields = {"method": method, "url": url, "duration_ms": _elapsed_ms(started)}
    fields["status"] = getattr(arg, "status", None) if arg is not None else None
    if arg is None:
        fields["error"] = True  # getresponse raised: the return event carries no value
    return fields


def _http_applies(frame, event, arg, context):
    name = frame.f_code.co_name
    return (name == "putrequest" and event == "call") or (name == "getresponse" and event == "return")


def _http_client(config: dict) -> list[Description]:
    return [
        {
            "co_names": ["putrequest", "getresponse"],
            "path_fragment": "/http/client.py",
            "build_context": lambda config: {"pending": {}},
            "call_type": "http_request",
            "return_type": "http_response",
            "subtype": "http.client",
            "call": _http_applies,
            "process": _http_process,
        }
    ]


# --- SQL ------------------------------------------------------------------------------------------


def _sql_process(sql_name: str, params_name: str, many: bool = False) -> Callable:
    def process(frame, event, arg, context):
        started = context["started"]
        key = id(frame)
        sql = _local(frame, sql_name)
        if event == "call":
            started[key] = time.perf_counter()
            if len(started) > 10_000:
                started.clear()
            return {"sql": sql, "params": _redacted_params(sql, _local(frame, params_name), many)}
        return {"sql": sql, "duration_ms": _elapsed_ms(started.pop(key, None))}

    return process


# Parameters are named here by the column the statement inserts them into or compares them with, or
# else by their own placeholder's name (":password", "%(password)s"): a secret column's value is
# redacted however it is bound, by position or by a name of its own (":p").
_bound_names_cache: dict[str, tuple] = {}
_sql_patterns: tuple = ()


def _redacted_params(sql: Any, params: Any, many: bool) -> Any:
    if type(sql) is not str or type(params) not in (list, tuple, dict) or not params:
        return params
    bound = _bound_names(sql)
    positions = [index for index, (_, name) in enumerate(bound) if name is not None and is_secret_name(name)]
    keys = {key for key, name in bound if key is not None and name is not None and is_secret_name(name)}
    if not positions and not keys:
        return params
    if many and type(params) is not dict:
        return [_redacted_row(row, positions, keys) for row in params]
    return _redacted_row(params, positions, keys)


def _redacted_row(row: Any, positions: list[int], keys: set[str]) -> Any:
    if type(row) is dict:
        return {key: REDACTED_TEXT if key in keys else value for key, value in row.items()}
    if type(row) not in (list, tuple):
        return row
    redacted = list(row)
    for index in positions:
        if index < len(redacted):
            redacted[index] = REDACTED_TEXT
    return redacted


def _bound_names(sql: str) -> tuple:
    """For each placeholder of the statement, (its own name or None, the name its value goes by or None)."""
    names = _bound_names_cache.get(sql)
    if names is None:
        names = _find_bound_names(sql)
        if len(_bound_names_cache) >= 1000:
            _bound_names_cache.clear()
        _bound_names_cache[sql] = names
    return names


def _find_bound_names(sql: str) -> tuple:
    global _sql_patterns
    if not _sql_patterns:
        import re

        _sql_patterns = (
            # Placeholders outside string literals; ":name" not in "::int" or "12:30".
            re.compile(r"'(?:[^']|'')*'|(%s|\?|\$\d+|%\((\w+)\)s|(?<![:\w]):([A-Za-z_]\w*))"),
            re.compile(r"""([A-Za-z_][\w$]*)["`\]]?\s*(?:=|<>|!=|<=|>=|<|>|\blike\b)\s*$""", re.IGNORECASE),
            re.compile(r"""^\s*insert\s+into\s+[^(]+\(([^)]*)\)\s*values\s*\(""", re.IGNORECASE),
        )
    placeholders, comparison, insert = _sql_patterns
    inserted = insert.match(sql)
    columns = [column.strip().strip('"`[]') for column in inserted[1].split(",")] if inserted else []
    names = []
    for found in placeholders.finditer(sql):
        if found[1] is None:
            continue
        own = found[2] or found[3]
        if inserted and found.start() >= inserted.end():
            name = columns[len(names) % len(columns)]  # rows of VALUES repeat the columns
        else:
            compared = comparison.search(sql, max(0, found.start() - 200), found.start())
            name = compared[1] if compared else None
        names.append((own, name or own))
    return tuple(names)


def _sql_context(config: dict) -> dict:
    return {"started": {}}


def _django(config: dict) -> list[Description]:
    # CursorWrapper.execute/executemany funnel into these two, after Django's execute wrappers.
    return [
        {
            "co_names": ["_execute"],
            "path_fragment": "/django/db/backends/utils.py",
            "build_context": _sql_context,
            "call_type": "sql_query",
            "return_type": "sql_result",
            "subtype": "django",
            "process": _sql_process("sql", "params"),
        },
        {
            "co_names": ["_executemany"],
            "path_fragment": "/django/db/backends/utils.py",
            "build_context": _sql_context,
            "call_type": "sql_query",
            "return_type": "sql_result",
            "subtype": "django",
            "process": _sql_process("sql", "param_list", many=True),
        },
    ]


def _not_inside_executemany(frame, event, arg, context):
    # Some dialects override do_executemany and call the default one: record the outer call only.
    caller = frame.f_back
    return caller is None or caller.f_code.co_name != "do_executemany"


def _sqlalchemy(config: dict) -> list[Description]:
    return [
        {
            "co_names": ["do_execute", "do_execute_no_params"],
            "path_fragment": "/sqlalchemy/engine/default.py",
            "build_context": _sql_context,
            "call_type": "sql_query",
            "return_type": "sql_result",
            "subtype": "sqlalchemy",
            "process": _sql_process("statement", "parameters"),
        },
        {
            "co_names": ["do_executemany"],
            "path_fragment": "/sqlalchemy/",
            "build_context": _sql_context,
            "call_type": "sql_query",
            "return_type": "sql_result",
            "subtype": "sqlalchemy",
            "call": _not_inside_executemany,
            "process": _sql_process("statement", "parameters", many=True),
        },
    ]


# --- logging: Logger.handle receives every record that passed the logger's level -----------------


def _log_applies(frame, event, arg, context):
    # Handler.handle lives in the same file and sees the same records: loggers only.
    logging = sys.modules.get("logging")
    return (
        logging is not None
        and isinstance(_local(frame, "self"), logging.Logger)
        and isinstance(_local(frame, "record"), logging.LogRecord)
    )


_PLAIN_ARGUMENT_TYPES = (str, int, float, bool, type(None), bytes)
_PLAIN_CONTAINER_TYPES = (list, tuple, set, frozenset)


def _formats_without_program_code(record: Any) -> bool:
    """Whether formatting the message runs only the interpreter's own code: a str template with
    plain arguments (their __str__ and __repr__ are built in)."""
    if type(record.msg) is not str:
        return False
    args = record.args
    if type(args) is dict:
        args = list(args.values())
    return type(args) in (tuple, list) and _are_plain(args, 2)


def _are_plain(items: Any, depth: int) -> bool:
    if len(items) > 100:
        return False
    for item in items:
        kind = type(item)
        if kind in _PLAIN_ARGUMENT_TYPES:
            continue
        if depth == 0 or not (kind in _PLAIN_CONTAINER_TYPES or kind is dict):
            return False
        if not _are_plain(list(item.items()) if kind is dict else item, depth - 1):
            return False
    return True


def _log_process(frame, event, arg, context):
    record = _local(frame, "record")
    formatted = context["call_repr"] or (not context["lightweight"] and _formats_without_program_code(record))
    if not formatted:
        # Formatting the message would run the program's __str__ methods: the template and the
        # arguments, which the serialiser shows without running them.
        message = record.msg if type(record.msg) is str else None
    else:
        try:
            message = record.getMessage()
        except Exception as exc:  # noqa: BLE001 - a broken log call must not become our warning
            message = f"<message could not be formatted: {type(exc).__name__}>"
    fields = {
        "level": record.levelname,
        "logger": record.name,
        "message": message,
        "location": f"{record.pathname}:{record.lineno}",
    }
    if not formatted and record.args:
        fields["args"] = record.args
    if record.exc_info and record.exc_info[1] is not None:
        fields["exception"] = record.exc_info[1]
    return fields


def _logging(config: dict) -> list[Description]:
    return [
        {
            "co_names": ["handle"],
            "path_fragment": "/logging/__init__.py",
            "build_context": lambda config: {
                "lightweight": _lightweight(config),
                "call_repr": not _lightweight(config) and bool(config.get("serialize", {}).get("call_repr")),
            },
            "call_type": "log",
            "return_type": "log",
            "events": ["call"],
            "call": _log_applies,
            "process": _log_process,
        }
    ]


# --- asyncio: an event loop runs each step of a task (its start and every resumption) as a handle
# whose callback is bound to the task ---------------------------------------------------------------

# The web request a task works for, set by the ASGI middleware; tasks it starts inherit it with the
# context, so the records of a request's every task can be told from those of requests overlapping it.
REQUEST = contextvars.ContextVar("vesk_request", default=None)


def _is_task_step(frame, event, arg, context):
    # Handle._run forgets its handle before it returns: the step's fields are kept from its start.
    steps = context["steps"]
    if event != "call":
        return id(frame) in steps
    handle = frame.f_locals.get("self")
    task = getattr(getattr(handle, "_callback", None), "__self__", None)
    if not callable(getattr(task, "get_name", None)):
        return False  # a plain callback, run in no task
    fields = {"task_name": task.get_name(), "task_id": id(task)}
    request = handle._context.get(REQUEST)
    if request is not None:
        fields["request_id"] = request
    if len(steps) > 10_000:  # steps whose return never came
        steps.clear()
    steps[id(frame)] = fields
    return True


def _task_step_process(frame, event, arg, context):
    steps = context["steps"]
    if event == "call":
        return {**steps[id(frame)], "step": "start"}
    return {**steps.pop(id(frame)), "step": "end"}


def _asyncio(config: dict) -> list[Description]:
    return [
        {
            "co_names": ["_run"],
            "path_fragment": "/asyncio/events.py",
            "build_context": lambda config: {"steps": {}},
            "call_type": "task_step",
            "return_type": "task_step",
            "call": _is_task_step,
            "process": _task_step_process,
        }
    ]


_LIBRARY_PLUGINS: dict[str, Callable[[dict], list[Description]]] = {
    "http_client": _http_client,
    "django": _django,
    "sqlalchemy": _sqlalchemy,
    "logging": _logging,
    "asyncio": _asyncio,  # the ASGI middleware needs it to tell overlapping requests apart
}

assert set(_LIBRARY_PLUGINS) | {"pytest", "web", "cli"} == set(PLUGIN_NAMES)


def load_plugin_data(config: dict) -> list[Description]:
    """The plugin descriptions for this configuration (its "plugins" table switches them)."""
    switches = config.get("plugins", {})
    descriptions = _boundaries(config)
    for name, build in _LIBRARY_PLUGINS.items():
        if switches.get(name, True):
            descriptions += build(config)
    return descriptions
