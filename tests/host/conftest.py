# Fixtures for the host package's tests; the helpers live in host_support (see tests/engine/conftest.py).
from host_support import browser, project  # noqa: F401
from postgres_support import postgres_server, postgres_url  # noqa: F401
