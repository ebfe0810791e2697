"""The tests' PostgreSQL server: the benchmark's throw-away cluster (bench/postgres_cluster.py),
started once per session; each test gets a database of its own."""

from __future__ import annotations

import os
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))

from postgres_cluster import Cluster, Unavailable  # noqa: E402


@pytest.fixture(scope="session")
def postgres_server():
    pytest.importorskip("psycopg", reason="psycopg is not installed (pip install '.[test]')")
    try:
        cluster = Cluster()
    except Unavailable as exc:
        pytest.skip(str(exc))
    yield cluster
    cluster.stop()


@pytest.fixture
def postgres_url(postgres_server, tmp_path, monkeypatch) -> str:
    """A new, empty database; fallback files go under this test's own cache folder."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return postgres_server.new_database()
