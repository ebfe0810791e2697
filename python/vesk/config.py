"""Configuration: `.vesk/config.toml` in the project directory, overridden by command-line options.

The file is optional; every key has a default. A key we do not know or a value of the wrong type is
reported as one line naming the key, because a silently ignored typo ("theading = true") is worse than
an error.
"""

from __future__ import annotations

import os

from vesk.utils import VeskError, display_path

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

CONFIG_DIR = ".vesk"
CONFIG_FILE = "config.toml"
DEFAULT_DB = os.path.join(CONFIG_DIR, "db.sqlite3")

PLUGIN_NAMES = ("pytest", "web", "cli", "http_client", "django", "sqlalchemy", "logging", "asyncio")

# Matched word by word (see vesk.serialize.is_secret_name): "session" hides "db_session" and
# "sessionId" but not "sessionmaker"; "auth" hides "auth_header" but not "author".
DEFAULT_SECRET_NAMES = (
    "password",
    "passwd",
    "pwd",
    "passphrase",
    "secret",
    "token",
    "api_key",
    "access_key",
    "private_key",
    "client_secret",
    "credential",
    "session",
    "sessionid",
    "csrf",
    "csrftoken",
    "csrfmiddlewaretoken",
    "auth",
    "authorization",
    "cookie",
    "set_cookie",
    "sig",
    "signature",
)

# Each leaf: (default, kind). Kinds: "bool", "int>=0", "int>=1", "str", "list[str]".
_SCHEMA: dict[str, Any] = {
    "db_path": (DEFAULT_DB, "str"),
    # A store's URL (postgresql://...), in place of db_path; VESK_DB in the environment overrides both.
    "db_url": (None, "str"),
    "threading": (True, "bool"),
    "lightweight_repr": (False, "bool"),
    "sqlite_busy_timeout": (60, "int>=0"),
    "filters": {
        "include_frames": ([], "list[str]"),
        "ignore_frames": ([], "list[str]"),
    },
    "plugins": {name: (True, "bool") for name in PLUGIN_NAMES},
    "limits": {
        "buffer_bytes": (4 * 1024 * 1024, "int>=1"),
        "calls_per_function": (500, "int>=0"),
        # A test's trace is one test: the first calls of each function show what it did. Measured over
        # five public suites (bench/suites.py): a parser's or template engine's tests call the same
        # few hundred functions with large values at hand, and 20 cost them twice what 10 do.
        "calls_per_function_in_tests": (10, "int>=0"),
        "trace_bytes": (256 * 1024 * 1024, "int>=0"),
    },
    "retention": {
        "max_traces": (500, "int>=0"),
        "max_bytes": (2 * 1024 * 1024 * 1024, "int>=0"),
    },
    "serialize": {
        "max_string_length": (1000, "int>=1"),
        # A person reads a container's first items; a parser's self holds its token list in every
        # frame, and at 100 items its records were 24 KB each (bench/suites.py). An object shows as many
        # fields: no fewer than max_nested_fields.
        "max_items": (20, "int>=1"),
        "max_depth": (8, "int>=1"),
        "max_total_items": (5000, "int>=1"),
        "max_object_depth": (2, "int>=0"),
        "max_nested_fields": (12, "int>=0"),
        "secret_names": (list(DEFAULT_SECRET_NAMES), "list[str]"),
        "call_repr": (False, "bool"),
        "repr_types": ([], "list[str]"),
    },
}


class ConfigError(VeskError):
    pass


def defaults() -> dict[str, Any]:
    def build(schema):
        return {
            key: build(spec) if isinstance(spec, dict) else _deep_copy(spec[0])
            for key, spec in schema.items()
        }

    return build(_SCHEMA)


_IMMUTABLE = (str, int, float, bool, type(None))


def _deep_copy(value: Any) -> Any:
    """copy.deepcopy for what a configuration holds, without importing copy (and weakref behind it)
    on the way into every `vesk run`; anything else still goes through copy."""
    kind = type(value)
    if kind is dict:
        return {key: _deep_copy(item) for key, item in value.items()}
    if kind is list:
        return [_deep_copy(item) for item in value]
    if kind in _IMMUTABLE:
        return value
    import copy

    return copy.deepcopy(value)


def _type_name(value: Any) -> str:
    return {bool: "a boolean", int: "an integer", str: "a string", list: "an array", dict: "a table"}.get(
        type(value), type(value).__name__
    )


def _check(key: str, value: Any, kind: str) -> Any:
    if kind == "bool":
        if isinstance(value, bool):
            return value
        raise ConfigError(f'"{key}" must be true or false, not {_type_name(value)}')
    if kind.startswith("int"):
        if isinstance(value, int) and not isinstance(value, bool):
            minimum = int(kind[len("int>=") :])
            if value < minimum:
                raise ConfigError(f'"{key}" must be at least {minimum}, not {value}')
            return value
        raise ConfigError(f'"{key}" must be an integer, not {_type_name(value)}')
    if kind == "str":
        if isinstance(value, str) and value:
            return value
        raise ConfigError(f'"{key}" must be a non-empty string, not {_type_name(value)}')
    if kind == "list[str]":
        if isinstance(value, list) and all(isinstance(item, str) for item in value):
            return list(value)
        raise ConfigError(f'"{key}" must be an array of strings')
    raise AssertionError(kind)


def _merge(target: dict, values: dict, schema: dict, prefix: str) -> None:
    for key, value in values.items():
        dotted = prefix + key
        if key not in schema:
            raise ConfigError(f'unknown key "{dotted}"')
        spec = schema[key]
        if isinstance(spec, dict):
            if not isinstance(value, dict):
                raise ConfigError(f'"{dotted}" must be a table, not {_type_name(value)}')
            _merge(target[key], value, spec, dotted + ".")
        else:
            target[key] = _check(dotted, value, spec[1])


def _read_toml(path: str, shown: str) -> dict:
    with open(path, "rb") as handle:
        # Imported only for a file that exists: tomllib brings re along, which most runs never need.
        import tomllib

        try:
            return tomllib.load(handle)
        except tomllib.TOMLDecodeError as exc:
            raise ConfigError(f"{shown}: invalid TOML: {exc}") from None


def config_path(root: str) -> str:
    return os.path.join(root, CONFIG_DIR, CONFIG_FILE)


def load(root: str = ".", path: str | None = None, overrides: dict | None = None) -> dict[str, Any]:
    """The configuration of the project at `root`: defaults, then the file, then `overrides`.

    `path` names a config file explicitly (it must exist); otherwise `root/.vesk/config.toml` is read
    when present. "db_path" comes back as the store to use (see `location`), a path absolute against
    `root`, so that a program changing its working directory still saves where the user expects.
    """
    config = defaults()
    explicit = path is not None
    path = path if explicit else config_path(root)
    shown = display_path(os.path.abspath(path))
    try:
        values = _read_toml(path, shown)
    except FileNotFoundError:
        if explicit:
            raise ConfigError(f"config file {shown} does not exist") from None
        values = {}
    except OSError as exc:
        raise ConfigError(f"cannot read config file {shown}: {exc.strerror or exc}") from None
    except UnicodeDecodeError:
        raise ConfigError(f"{shown}: invalid TOML: the file is not UTF-8") from None
    try:
        _merge(config, values, _SCHEMA, "")
    except ConfigError as exc:
        raise ConfigError(f"{shown}: {exc}") from None
    if overrides:
        _merge(config, overrides, _SCHEMA, "")
    # The file on this machine, whatever store VESK_DB or db_url name: where `vesk push` takes traces from.
    config["db_file"] = storage_resolve(config["db_path"], root)
    config["db_path"] = location(root, config)
    return config


def storage_resolve(location: str, root: str) -> str:
    from vesk import storage

    return storage.resolve(location, root)


DB_VARIABLE = "VESK_DB"


def location(root: str, config: dict[str, Any]) -> str:
    """Where traces go: VESK_DB, else db_url, else db_path; a path made absolute against `root`."""
    chosen = os.environ.get(DB_VARIABLE) or config.get("db_url") or config["db_path"]
    return storage_resolve(chosen, root)


def default_db_path(root: str) -> str:
    return os.path.abspath(os.path.join(root, DEFAULT_DB))


# Code that well-known libraries generate at run time, with made-up file names: library code like the
# rest of its library (dataclasses, named tuples and the like compile from "<string>", which the
# engine leaves out already; jinja2 compiles a template made from a string as "<template>"). An
# "include_frames" fragment still brings it back.
GENERATED_CODE = ("<sqlalchemy generated", "<template>")
# vesk's own files that the engine's list does not name (it names those that can be on the stack
# while it records); installed, they are library code anyway, but not when vesk runs from a checkout.
OWN_FILES = ("/vesk/plugins.py", "/vesk/calibration.py", "/vesk/reading/", "/vesk/serve/", "/vesk/bootstrap/")


def engine_config(config: dict[str, Any]) -> dict[str, Any]:
    """The dict handed to the engine (and through it to the plugins): a private copy.

    A copy, because the engine reads its configuration once at start and the plugins keep the dict
    they were built from; later changes by the caller must not half-apply.
    """
    result = _deep_copy(config)
    result.pop("db_path", None)
    result.pop("db_url", None)
    result.pop("db_file", None)
    result.pop("retention", None)  # the storage's business, not the recorder's
    result["recorder_time"] = True  # readers take the recorder's own time out of durations
    filters = result.setdefault("filters", {})
    filters["ignore_frames"] = [*GENERATED_CODE, *OWN_FILES, *filters.get("ignore_frames", [])]
    return result
