"""One trace per web request: a WSGI middleware and a Django middleware.

    app = vesk.middleware.VeskMiddleware(app)                 # any WSGI application

    MIDDLEWARE = ["vesk.middleware.VeskDjangoMiddleware", ...]  # Django settings; optional
    VESK = {"db_path": "...", "config_file": "..."}             # settings, both optional

Each request is recorded on the thread that handles it, from the moment the middleware is called
until the response body has been sent (WSGI) or the response returned (Django). "request_start" and
"request_end" records carry the method, path, status and duration. Threads that the request starts are
not recorded: the interpreter's hook for new threads is process-wide, and concurrent requests would
fight over it. A request arriving on a thread that vesk already records (under `vesk run`, say) stays
in that recording.

This file is one the engine never records, so the middleware stays out of the traces.
"""

from __future__ import annotations

import logging
import threading
import time
from typing import Any, Callable, Iterable

from vesk import profiler

logger = logging.getLogger("vesk")


def vesk_request_start(method: str, path: str, query: str | None) -> None:
    """Marks the start of a request: the "web" plugin records a "request_start" record here."""


def vesk_request_end(method: str, path: str, status: int | None, duration_ms: float) -> None:
    """Marks the end of a request: the "web" plugin records a "request_end" record here."""


def _settings(options: dict[str, Any]) -> dict[str, Any]:
    options = dict(options)
    overrides = {key: options.pop(key) for key in list(options) if key not in ("root", "config_file", "db_path")}
    overrides["threading"] = False
    return profiler.prepare_settings(
        options.get("root", "."),
        config_file=options.get("config_file"),
        db_path=options.get("db_path"),
        overrides=overrides,
    )


# The request each thread is recording: one whose response is never closed (test clients, servers
# that forget) is finished when the thread's next request starts, so the thread never stays recorded.
_open = threading.local()


class _RequestRecording:
    def __init__(self, settings: dict[str, Any], source: str, method: str, path: str, query: str | None):
        self.host = profiler.Profiler(settings, source=source)
        self.method, self.path, self.query = method, path, query or None
        self.thread = threading.get_ident()
        self.started = 0.0
        self.finished = False
        self.status_line: str | None = None

    def start(self) -> None:
        self.started = time.perf_counter()
        self.host.start()
        _open.recording = self
        vesk_request_start(self.method, self.path, self.query)

    def finish(self, status: int | None) -> None:
        if self.finished:
            return
        self.finished = True
        if getattr(_open, "recording", None) is self:
            _open.recording = None
        duration_ms = round((time.perf_counter() - self.started) * 1000, 3)
        if threading.get_ident() == self.thread:
            try:
                vesk_request_end(self.method, self.path, status, duration_ms)
            finally:
                self.host.stop()
        else:
            # A server that closes the response on another thread: the request's thread cannot be
            # switched off from here, but what it recorded is still saved.
            logger.debug("vesk: request %s %s finished on another thread", self.method, self.path)
        try:
            self.host.save()
        except Exception as exc:  # noqa: BLE001 - the response matters more than the trace
            logger.warning("vesk could not save the trace of %s %s: %s", self.method, self.path, exc)


def _status_code(status_line: str | None) -> int | None:
    try:
        return int(str(status_line).split(None, 1)[0])
    except (ValueError, IndexError):
        return None


def _finish_unclosed_request() -> None:
    """Ends the recording of this thread's previous request if its response was never closed."""
    pending = getattr(_open, "recording", None)
    if pending is not None:
        pending.finish(_status_code(pending.status_line))


class _RecordedBody:
    """The application's response body; closing it ends the request's recording, and so does its
    disposal when nobody closed it."""

    def __init__(self, body: Iterable[bytes], recording: _RequestRecording):
        self._body = body
        self._recording = recording

    def __iter__(self):
        yield from self._body

    def close(self) -> None:
        try:
            close = getattr(self._body, "close", None)
            if close is not None:
                close()
        finally:
            self._recording.finish(_status_code(self._recording.status_line))

    def __del__(self) -> None:
        recording = self._recording
        if not recording.finished:
            recording.finish(_status_code(recording.status_line))


class VeskMiddleware:
    """WSGI middleware recording one trace per request.

    Options: `db_path`, `root` (where `.vesk/` is, default the working directory), `config_file`,
    and configuration overrides such as `lightweight_repr=True`.
    """

    def __init__(self, app: Callable, **options: Any) -> None:
        self.app = app
        self.settings = _settings(options)

    def __call__(self, environ: dict, start_response: Callable) -> Iterable[bytes]:
        _finish_unclosed_request()
        if profiler.is_recording():
            return self.app(environ, start_response)
        recording = _RequestRecording(
            self.settings,
            "wsgi",
            environ.get("REQUEST_METHOD", "GET"),
            environ.get("SCRIPT_NAME", "") + environ.get("PATH_INFO", ""),
            environ.get("QUERY_STRING"),
        )
        def recorded_start_response(status_line: str, headers: list, exc_info: Any = None) -> Callable:
            recording.status_line = status_line
            return start_response(status_line, headers, exc_info)

        recording.start()
        try:
            body = self.app(environ, recorded_start_response)
        except BaseException:
            recording.finish(500)
            raise
        return _RecordedBody(body, recording)


class VeskDjangoMiddleware:
    """Django middleware recording one trace per request (put it first in MIDDLEWARE).

    Reads the optional setting VESK, a dict of the same options as `VeskMiddleware`; the project
    root defaults to settings.BASE_DIR when there is one.
    """

    sync_capable = True
    async_capable = False

    def __init__(self, get_response: Callable) -> None:
        from django.conf import settings as django_settings

        options = dict(getattr(django_settings, "VESK", {}) or {})
        base_dir = getattr(django_settings, "BASE_DIR", None)
        if base_dir is not None:
            options.setdefault("root", str(base_dir))
        self.get_response = get_response
        self.settings = _settings(options)

    def __call__(self, request: Any) -> Any:
        if profiler.is_recording():
            return self.get_response(request)
        recording = _RequestRecording(
            self.settings, "django", request.method, request.path, request.META.get("QUERY_STRING")
        )
        status = None
        recording.start()
        try:
            response = self.get_response(request)
            status = getattr(response, "status_code", None)
            return response
        finally:
            recording.finish(status if status is not None else 500)
