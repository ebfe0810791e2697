"""`vesk serve`: a local web viewer of the trace database.

Pages (one HTML shell, its script reads the URL): `/` the trace list, `/trace/ID` one trace,
`/trace/ID?q=TEXT` a search in it, `/compare/ID/ID` two traces side by side; the JSON API under
`/api/` (see api.py); the static files under `/static/`.

Only GET and HEAD are answered, and nothing is written to the trace database. Pages take their
scripts and styles from this server only (Content-Security-Policy) and build their DOM from text,
so recorded values are never markup. On the loopback interface, requests must name a loopback host,
so that a web page elsewhere cannot reach the server through a DNS name of its own.
"""

from __future__ import annotations

import errno
import http.server
import ipaddress
import json
import mimetypes
import os
import socket
import sys
import webbrowser
from urllib.parse import unquote, urlsplit

from vesk import storage, utils
from vesk.serve.api import Api

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
_PAGES = {"": 1, "trace": 2, "compare": 3}  # page -> number of parts of its path
_LOOPBACK_HOSTS = frozenset(("localhost", "::1"))
_HEADERS = {
    "Content-Security-Policy": "default-src 'self'; img-src 'self' data:; object-src 'none'; base-uri 'none';"
    " frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
    "Cache-Control": "no-store",
}
_TYPES = {".js": "text/javascript; charset=utf-8", ".css": "text/css; charset=utf-8",
          ".html": "text/html; charset=utf-8", ".png": "image/png", ".svg": "image/svg+xml"}


def static_files() -> dict[str, str]:
    """The files under /static/, by name: nothing outside the directory can be asked for."""
    return {name: os.path.join(STATIC, name) for name in os.listdir(STATIC) if not name.startswith(".")}


class Handler(http.server.BaseHTTPRequestHandler):
    server: ViewerServer
    protocol_version = "HTTP/1.1"

    def do_GET(self) -> None:
        self._answer(send_body=True)

    def do_HEAD(self) -> None:
        self._answer(send_body=False)

    def _refuse(self) -> None:
        self._send(405, "application/json", b'{"error": "the viewer only reads"}', True, {"Allow": "GET, HEAD"})

    do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = _refuse

    def _answer(self, send_body: bool) -> None:
        if not self._host_allowed():
            self._send(421, "text/plain; charset=utf-8", b"unknown host", send_body)
            return
        url = urlsplit(self.path)
        parts = [unquote(part) for part in url.path.split("/")[1:]]
        if parts and parts[0] == "api":
            try:
                status, value = self.server.api.answer(parts[1:], url.query)
            except Exception as exc:  # noqa: BLE001 - the page shows the line; the server goes on
                status, value = 500, {"error": f"{type(exc).__name__}: {exc}"}
            body = json.dumps(value, ensure_ascii=False, allow_nan=False).encode()
            self._send(status, "application/json; charset=utf-8", body, send_body)
        elif len(parts) == 2 and parts[0] == "static" and parts[1] in self.server.static:
            self._file(self.server.static[parts[1]], send_body)
        elif _PAGES.get(parts[0]) == len(parts):
            self._file(self.server.static["app.html"], send_body)
        else:
            self._send(404, "text/plain; charset=utf-8", b"not found", send_body)

    def _host_allowed(self) -> bool:
        if not self.server.loopback:
            return True
        try:
            host = urlsplit("//" + (self.headers.get("Host") or "")).hostname
        except ValueError:
            return False
        return _is_loopback_name(host)

    def _file(self, path: str, send_body: bool) -> None:
        with open(path, "rb") as handle:
            body = handle.read()
        kind = _TYPES.get(os.path.splitext(path)[1]) or mimetypes.guess_type(path)[0] or "application/octet-stream"
        self._send(200, kind, body, send_body)

    def _send(self, status: int, kind: str, body: bytes, send_body: bool, extra: dict | None = None) -> None:
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        for name, value in {**_HEADERS, **(extra or {})}.items():
            self.send_header(name, value)
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def log_message(self, format: str, *args) -> None:  # noqa: A002 - the base class's name
        pass  # a line per request would bury the one line that matters


def _is_loopback_name(host: str | None) -> bool:
    """"localhost" or a loopback address written out: a DNS name that merely starts like one
    (127.attacker.example) can be made to point here by whoever owns it."""
    if host in _LOOPBACK_HOSTS:
        return True
    try:
        return ipaddress.ip_address(host or "").is_loopback
    except ValueError:
        return False


class ViewerServer(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, trace_store: storage.Store, host: str, port: int) -> None:
        self.api = Api(trace_store)
        self.static = static_files()
        self.loopback = _is_loopback_name(host)
        if ":" in host:
            self.address_family = socket.AF_INET6
        super().__init__((host, port), Handler)

    def handle_error(self, request, client_address) -> None:
        if not isinstance(sys.exc_info()[1], ConnectionError):  # a page closed while it was answered
            super().handle_error(request, client_address)

    @property
    def url(self) -> str:
        host, port = self.server_address[:2]
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/"


def serve(trace_store: storage.Store, host: str, port: int, open_browser: bool) -> int:
    trace_store.list_traces()  # one line now, rather than a page of errors, when there is nothing to read
    try:
        server = ViewerServer(trace_store, host, port)
    except OSError as exc:
        hint = " (--port 0 takes any free port)" if exc.errno == errno.EADDRINUSE else ""
        raise utils.VeskError(f"cannot serve on {host}:{port}: {exc.strerror or exc}{hint}") from None
    with server:
        try:
            print(f"vesk: serving {trace_store.describe()} at {server.url} (Ctrl-C to stop)", flush=True)
            if not server.loopback:
                utils.stderr_line(
                    f"vesk: listening on {host}, not only this machine's loopback: anyone who can reach it can"
                    " read the recorded values"
                )
            if open_browser:
                webbrowser.open(server.url)
            server.serve_forever()
        except KeyboardInterrupt:
            utils.stderr_line("vesk: stopped serving")
    return 0
