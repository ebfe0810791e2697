"""A local price server (127.0.0.1, a free port) and the client that asks it."""

import json
import threading
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PRICES = {"apple": 0.5, "pear": 0.75, "plum": 1.2}


class PriceHandler(BaseHTTPRequestHandler):
    def do_GET(self):
        body = json.dumps(PRICES).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):
        pass  # keep the demo's output short


def start_server():
    server = ThreadingHTTPServer(("127.0.0.1", 0), PriceHandler)
    thread = threading.Thread(target=server.serve_forever, name="price-server", daemon=True)
    thread.start()
    host, port = server.server_address[:2]
    return server, f"http://{host}:{port}/prices"


def fetch_prices(url):
    with urllib.request.urlopen(url, timeout=10) as response:
        return json.load(response)
