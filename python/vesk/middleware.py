"""One trace per web request: WSGI, ASGI and Django middlewares.

    app = vesk.middleware.VeskMiddleware(app)                 # any WSGI application
    app = vesk.middleware.VeskASGIMiddleware(app)             # any ASGI application (Starlette, FastAPI...)

    MIDDLEWARE = ["vesk.middleware.VeskDjangoMiddleware", ...]  # Django settings; optional
    VESK = {"db_path": "...", "config_file": "..."}             # settings, both optional

Each WSGI request is recorded on the thread that handles it, from the moment the middleware is called
until the response body has been sent (WSGI) or the response returned (Django). "request_start" and
"request_end" records carry the method, path, status and duration. Threads that the request starts are
not recorded: the interpreter's hook for new threads is process-wide, and concurrent requests would
fight over it. A request arriving on a thread that vesk already records (under `vesk run`, say) stays
in that recording.

ASGI requests overlap on one thread: the tasks of an event loop. The engine records a thread, so the
loop's thread is recorded while at least one request is in flight, and what it recorded is cut into one
trace per request by the task each record was filed in: the asyncio plugin's "task_step" records say
which task every step of the loop ran, the middleware knows each request's task, and tasks a request
starts inherit its mark (a context variable). Calls that ran in no request's task (a task started at
startup, the loop's plain callbacks) are in no trace. The status is the one the application sent, else
500 when it raised, or 499 when the client went away (the task was cancelled) before a response
started. Only "http" requests are recorded, and only under asyncio. Volume control counts a function's
calls over all the requests recorded together.

This file is one the engine never records, so the middlewares stay out of the traces.
"""

from __future__ import annotations

import contextlib
import contextvars
import io
import itertools
import logging
import sys
import threading
import time
from typing import Any, Callable, Iterable, Iterator

import msgpack

from vesk import profiler, serialize, storage, utils
from vesk.plugins import REQUEST, exception_fields

logger = logging.getLogger("vesk")


def vesk_request_start(method: str, path: str, query: str | None) -> None:
    """Marks the start of a request: the "web" plugin records a "request_start" record here."""


def vesk_request_end(method: str, path: str, status: int | None, duration_ms: float, error: str | None = None,
                     raised_at: str | None = None, traceback: list | None = None) -> None:
    """Marks the end of a request: the "web" plugin records a "request_end" record here, with the
    exception the request raised (see plugins.exception_fields)."""


# The exception the request being handled raised, where a framework turned it into a response
# (Django's 500 page): the request's end tells it.
_RAISED: contextvars.ContextVar[BaseException | None] = contextvars.ContextVar("vesk_request_raised", default=None)


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

    def finish(self, status: int | None, exception: BaseException | None = None) -> None:
        if self.finished:
            return
        self.finished = True
        if getattr(_open, "recording", None) is self:
            _open.recording = None
        duration_ms = round((time.perf_counter() - self.started) * 1000, 3)
        if threading.get_ident() == self.thread:
            try:
                vesk_request_end(self.method, self.path, status, duration_ms, **exception_fields(exception))
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
    root defaults to settings.BASE_DIR when there is one. Under ASGI, with the middlewares after it
    async-capable too, a request for an async view (as its URL resolves at the start) is recorded like
    the ASGI middleware's, and one for a sync view in the thread Django runs sync views in. An async
    view under WSGI runs in a thread Django starts for it, where the recording follows it.
    """

    sync_capable = True
    async_capable = True

    def __init__(self, get_response: Callable) -> None:
        from asgiref.sync import iscoroutinefunction, markcoroutinefunction
        from django.conf import settings as django_settings

        options = dict(getattr(django_settings, "VESK", {}) or {})
        base_dir = getattr(django_settings, "BASE_DIR", None)
        if base_dir is not None:
            options.setdefault("root", str(base_dir))
        self.get_response = get_response
        self.settings = _settings(options)
        self.is_async = iscoroutinefunction(get_response)
        if self.is_async:
            markcoroutinefunction(self)

    def __call__(self, request: Any) -> Any:
        if self.is_async:
            return self._acall(request)
        return self._record(request, self.get_response)

    def _record(self, request: Any, get_response: Callable) -> Any:
        if profiler.is_recording():
            return self.get_response(request)
        recording = _RequestRecording(
            self.settings, "django", request.method, request.path, request.META.get("QUERY_STRING")
        )
        status, raised = None, _RAISED.set(None)
        recording.start()
        try:
            with _followed_into_threads(recording.host, None):
                response = get_response(request)
            status = getattr(response, "status_code", None)
            return response
        finally:
            recording.finish(status if status is not None else 500, _RAISED.get())
            _RAISED.reset(raised)

    def process_exception(self, request: Any, exception: Exception) -> None:
        """Django's hook for a view that raised: kept for the request's end (Django makes the response)."""
        _RAISED.set(exception)

    async def _acall(self, request: Any) -> Any:
        from asgiref.sync import async_to_sync, sync_to_async

        if not _has_async_view(request):
            # Recorded in the thread Django runs sync views in, as a sync middleware would be.
            return await sync_to_async(self._record, thread_sensitive=True)(request, async_to_sync(self.get_response))
        recording = _LoopRequestRecording(
            self.settings, "django", request.method, request.path, request.META.get("QUERY_STRING")
        )
        with recording as recorded:
            if recorded is None:
                return await self.get_response(request)
            with _followed_into_threads(recording.loop.host, recorded):
                response = await self.get_response(request)
            recorded.status = getattr(response, "status_code", None)
            return response


def _has_async_view(request: Any) -> bool:
    from asgiref.sync import iscoroutinefunction
    from django.urls import Resolver404, resolve

    try:
        view = resolve(request.path_info, getattr(request, "urlconf", None)).func
    except Resolver404:
        return False
    return iscoroutinefunction(view)


# --- threads a request hands its work to ----------------------------------------------------------

# Django runs an async view under WSGI, and a sync view under ASGI, in a thread it starts for the
# purpose, handing it the request's context. While requests are recorded, threads start with a
# profile function that looks for a recorded request in their context, and once one shows up records
# the thread into that request's trace; a thread that runs this long without one is left alone.
_FOLLOWED: contextvars.ContextVar = contextvars.ContextVar("vesk_followed", default=None)
_LOOK_FOR = 10_000  # events
_followers = 0
_followers_lock = threading.Lock()
_looked = threading.local()


@contextlib.contextmanager
def _followed_into_threads(host: profiler.Profiler, request: _Request | None) -> Iterator[None]:
    global _followers
    mark = _FOLLOWED.set((host, request))
    with _followers_lock:
        _followers += 1
        threading.setprofile(_look_for_request)
    try:
        yield
    finally:
        _FOLLOWED.reset(mark)
        with _followers_lock:
            _followers -= 1
            if not _followers:
                threading.setprofile(None)


def _look_for_request(frame: Any, event: str, arg: Any) -> None:
    followed = _FOLLOWED.get()
    if followed is None:
        looked = getattr(_looked, "events", 0) + 1
        _looked.events = looked
        if looked > _LOOK_FOR:
            sys.setprofile(None)
        return
    host, request = followed
    if not host.active:  # a thread started as the request ended
        sys.setprofile(None)
        return
    if request is not None:
        request.threads.add(threading.get_native_id())
    host.rust_profiler.register_threading_profiler(frame, event, arg)


# --- ASGI ------------------------------------------------------------------------------------------

_MAIN = "frames_of_interest"
_FRAME_RECORD_START = b"\x8c\xa4path"  # every frame record; anything else is decoded to be read
_TRACE_RECORDS = frozenset(("calls_left_out", "records_dropped", "recording_stopped"))
_CLIENT_GONE = 499
_request_ids = itertools.count(1)
_loops = threading.local()  # the recording of the event loop running on this thread, if any


class _Request:
    def __init__(self, method: str, path: str, query: str | None) -> None:
        self.id = next(_request_ids)
        self.trace_id = utils.new_trace_id()
        self.method, self.path, self.query = method, path, query or None
        self.started = time.perf_counter()
        self.started_at = time.time()
        self.status: int | None = None
        self.sections: dict[bytes, list[bytes]] = {}  # encoded section key -> encoded records
        self.threads: set[int] = set()  # other threads recording its work alone
        self.held = 0  # bytes of records waiting for the next document

    def add(self, section: bytes, record: bytes) -> None:
        self.sections.setdefault(section, []).append(record)
        self.held += len(record)

    def document(self, top: list[tuple[bytes, bytes]]) -> bytes:
        """The records held, in a document of the engine's layout with this request's trace id."""
        out = io.BytesIO()
        packer = msgpack.Packer()
        main = self.sections.pop(_packed(_MAIN), [])
        threads = self.sections
        out.write(packer.pack_map_header(len(top)))
        for key, value in top:
            name = msgpack.unpackb(key)
            out.write(key)
            if name == _MAIN:
                _write_records(out, packer, main)
            elif name == "frames":
                out.write(packer.pack_map_header(len(threads)))
                for thread, records in threads.items():
                    out.write(thread)
                    _write_records(out, packer, records)
            elif name == "trace_id":
                out.write(packer.pack(self.trace_id))
            elif name == "timestamp":
                out.write(packer.pack(self.started_at))
            else:
                out.write(value)
        self.sections, self.held = {}, 0
        return out.getvalue()


def _packed(value: object) -> bytes:
    return msgpack.packb(value)


def _write_records(out: io.BytesIO, packer: msgpack.Packer, records: list[bytes]) -> None:
    out.write(packer.pack_array_header(len(records)))
    for record in records:
        out.write(record)


class _LoopRecording:
    """The recording of one event loop's thread while requests are in flight, cut per request."""

    def __init__(self, settings: dict[str, Any], source: str) -> None:
        self.host = profiler.Profiler(settings, source=source)
        self.db_path = settings["db_path"]
        self.timeout = settings["sqlite_busy_timeout"]
        self.buffer_bytes = settings["limits"]["buffer_bytes"]
        self.requests: dict[int, _Request] = {}
        self.request_of_task: dict[int, int] = {}
        self.step: tuple[int | None, int | None] | None = None  # (task id, request id) of the step under way
        self.top: list[tuple[bytes, bytes]] = []  # the last document's entries, as encoded

    def begin(self, request: _Request, task: asyncio.Task) -> None:
        if not self.requests:
            self.host.start()
            self.step = (id(task), None)  # recording starts inside this task's step
        else:
            self.cut()  # what came before belongs to the requests already in flight
        self.requests[request.id] = request
        self.request_of_task[id(task)] = request.id

    def end(self, request: _Request, task: asyncio.Task) -> None:
        last = len(self.requests) == 1
        if last:
            self.host.stop()
        self.cut(request)
        self.save(request)
        del self.requests[request.id]
        self.request_of_task.pop(id(task), None)
        if last:
            _loops.recording = None

    def cut(self, ending: _Request | None = None) -> None:
        """Hands each request the records the engine holds that ran in its tasks; the trace's own
        records (what volume control left out) go to the request ending."""
        document = _Encoded(self.host.build())
        top = []
        for _ in range(document.unpacker.read_map_header()):
            key = document.next()
            name = msgpack.unpackb(key)
            if name == _MAIN:
                self._hand_out(document, _packed(_MAIN), ending)
            elif name == "frames":
                for _ in range(document.unpacker.read_map_header()):
                    self._hand_out(document, document.next(), ending)
            top.append((key, b"" if name in (_MAIN, "frames") else document.next()))
        self.top = top
        for request in self.requests.values():
            if request is not ending and request.held > self.buffer_bytes:
                self.save(request)

    def _hand_out(self, document: _Encoded, section: bytes, ending: _Request | None) -> None:
        thread = msgpack.unpackb(section)
        thread = threading.main_thread().native_id if thread == _MAIN else thread
        followed = next((r for r in self.requests.values() if thread in r.threads), None)
        for _ in range(document.unpacker.read_array_header()):
            record = document.next()
            owner = followed or self._owner()
            if not record.startswith(_FRAME_RECORD_START):
                fields = serialize.loads(record)
                kind = fields.get("type") if isinstance(fields, dict) else None
                if kind == "task_step" and followed is None:
                    step = (fields.get("task_id"), fields.get("request_id"))
                    self.step = step if fields.get("step") != "end" else None
                    owner = self._owner(step)
                elif kind in _TRACE_RECORDS:
                    owner = ending
            if owner is not None:
                owner.add(section, record)

    def _owner(self, step: tuple | None = None) -> _Request | None:
        task_id, request_id = step or self.step or (None, None)
        if request_id is None:
            request_id = self.request_of_task.get(task_id)
        return self.requests.get(request_id)

    def save(self, request: _Request) -> None:
        try:
            storage.open_store(self.db_path).save(request.trace_id, request.document(self.top), timeout=self.timeout)
        except Exception as exc:  # noqa: BLE001 - the response matters more than the trace
            logger.warning("vesk could not save the trace of %s %s: %s", request.method, request.path, exc)
            return
        problem = storage.pop_save_problem(request.trace_id)
        if problem is not None:
            logger.warning("vesk trace %s: %s", request.trace_id, problem)


class _Encoded:
    """A document walked value by value, each handed over as its own bytes."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.unpacker = msgpack.Unpacker(io.BytesIO(data), raw=False, strict_map_key=False,
                                         max_buffer_size=max(len(data), 1 << 16))

    def next(self) -> bytes:
        start = self.unpacker.tell()
        self.unpacker.skip()
        return self.data[start : self.unpacker.tell()]


class _LoopRequestRecording:
    """Records one request handled in the current asyncio task as part of its event loop's recording.
    As a context manager it gives the request, or None when this request cannot be recorded so (no
    asyncio task, or a thread vesk already records otherwise); its status is 500 when it raised, or
    499 when cancelled, unless it was set before."""

    def __init__(self, settings: dict[str, Any], source: str, method: str, path: str, query: str | None) -> None:
        self.settings, self.source = settings, source
        self.request = _Request(method, path, query)
        self.loop: _LoopRecording | None = getattr(_loops, "recording", None)
        self.task = _current_task()
        self.mark: contextvars.Token | None = None

    def __enter__(self) -> _Request | None:
        if self.task is None or (self.loop is None and profiler.is_recording()):
            return None
        if self.loop is None:
            self.loop = _loops.recording = _LoopRecording(self.settings, self.source)
        request = self.request
        self.loop.begin(request, self.task)
        self.mark = REQUEST.set(request.id)
        vesk_request_start(request.method, request.path, request.query)
        return request

    def __exit__(self, kind: Any, exc: BaseException | None, traceback: Any) -> None:
        if self.mark is None:
            return
        request = self.request
        if request.status is None and exc is not None:
            request.status = 500 if isinstance(exc, Exception) else _CLIENT_GONE
        duration_ms = round((time.perf_counter() - request.started) * 1000, 3)
        try:
            raised = exc if exc is not None else _RAISED.get()
            vesk_request_end(request.method, request.path, request.status, duration_ms, **exception_fields(raised))
        finally:
            REQUEST.reset(self.mark)
            self.loop.end(request, self.task)


class VeskASGIMiddleware:
    """ASGI middleware recording one trace per HTTP request.

    Options: `db_path`, `root` (where `.vesk/` is, default the working directory), `config_file`,
    and configuration overrides such as `lightweight_repr=True`.
    """

    def __init__(self, app: Callable, **options: Any) -> None:
        self.app = app
        self.settings = _settings(options)

    async def __call__(self, scope: dict, receive: Callable, send: Callable) -> None:
        if scope.get("type") != "http":
            await self.app(scope, receive, send)
            return
        query = scope.get("query_string", b"").decode("latin-1")
        path = scope.get("root_path", "") + scope.get("path", "")
        recording = _LoopRequestRecording(self.settings, "asgi", scope.get("method", "GET"), path, query)
        with recording as request:
            if request is None:
                await self.app(scope, receive, send)
                return

            async def recorded_send(message: dict) -> None:
                if message.get("type") == "http.response.start":
                    request.status = message.get("status")
                await send(message)

            await self.app(scope, receive, recorded_send)


def _current_task() -> asyncio.Task | None:
    import asyncio  # not for WSGI applications: an ASGI server has imported it already

    try:
        return asyncio.current_task()
    except RuntimeError:  # no asyncio loop: another async library runs the application
        return None
