"""A throw-away PostgreSQL server for the tests: a cluster made with initdb in a temporary folder,
listening on loopback only, started once per session; each test gets a database of its own."""

from __future__ import annotations

import itertools
import os
import shutil
import socket
import subprocess
import tempfile

import pytest

BIN = "/usr/lib/postgresql/15/bin"
USER = "postgres"  # initdb refuses to run as root: as root, the cluster is this user's

_numbers = itertools.count()


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Server:
    def __init__(self) -> None:
        if not os.path.exists(os.path.join(BIN, "initdb")):
            pytest.skip("PostgreSQL is not installed here (scripts/setup installs Debian's postgresql package)")
        pytest.importorskip("psycopg", reason="psycopg is not installed (pip install '.[test]')")
        self.as_user = ["runuser", "-u", USER, "--"] if os.geteuid() == 0 else []
        self.folder = tempfile.mkdtemp(prefix="vesk-postgres-")
        if self.as_user:
            shutil.chown(self.folder, USER)
        self.data = os.path.join(self.folder, "data")
        self.port = _free_port()
        self._run("initdb", "-D", self.data, "-U", "postgres", "--auth=trust", "--no-sync", "-E", "UTF8")
        settings = (f"-c listen_addresses=127.0.0.1 -c port={self.port} -c unix_socket_directories={self.folder}"
                    " -c fsync=off -c max_connections=200")
        self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-o", settings, "-w", "start")

    def _run(self, program: str, *arguments: str) -> None:
        subprocess.run([*self.as_user, os.path.join(BIN, program), *arguments], check=True, capture_output=True)

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def new_database(self) -> str:
        import psycopg

        name = f"vesk_test_{next(_numbers)}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self) -> None:
        self._run("pg_ctl", "-D", self.data, "-m", "immediate", "stop")
        shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres_server():
    server = Server()
    yield server
    server.stop()


@pytest.fixture
def postgres_url(postgres_server, tmp_path, monkeypatch) -> str:
    """A new, empty database; fallback files go under this test's own cache folder."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    return postgres_server.new_database()
