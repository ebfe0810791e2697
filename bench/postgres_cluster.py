"""A throw-away PostgreSQL server (Debian's postgresql package): a cluster made with initdb in a
temporary folder, listening on loopback only, for the benchmark and the tests; each user gets
databases of its own."""

from __future__ import annotations

import itertools
import os
import shutil
import socket
import subprocess
import tempfile

BIN = "/usr/lib/postgresql/15/bin"
USER = "postgres"  # initdb refuses to run as root: as root, the cluster is this user's


class Unavailable(Exception):
    """PostgreSQL cannot be run here; the text says why."""


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    def __init__(self) -> None:
        if not os.path.exists(os.path.join(BIN, "initdb")):
            raise Unavailable("PostgreSQL is not installed here (scripts/setup installs Debian's postgresql package)")
        self.as_user = ["runuser", "-u", USER, "--"] if os.geteuid() == 0 else []
        # In /tmp when the cluster is the postgres user's: a TMPDIR of root's own may be closed to it.
        self.folder = tempfile.mkdtemp(prefix="vesk-postgres-", dir="/tmp" if self.as_user else None)
        if self.as_user:
            shutil.chown(self.folder, USER)
        self.data = os.path.join(self.folder, "data")
        self.port = _free_port()
        self.numbers = itertools.count()
        self._run("initdb", "-D", self.data, "-U", "postgres", "--auth=trust", "--no-sync", "-E", "UTF8")
        # Durable as a server is by default (fsync on): the benchmark compares it with SQLite's saves.
        settings = (f"-c listen_addresses=127.0.0.1 -c port={self.port} -c unix_socket_directories={self.folder}"
                    " -c max_connections=200")
        self._run("pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "log"), "-o", settings, "-w", "start")

    def _run(self, program: str, *arguments: str) -> None:
        # The server is no part of what is measured or tested: the sanitizer runtimes a suite run
        # preloads stay out of it.
        environment = {k: v for k, v in os.environ.items() if not k.startswith(("LD_PRELOAD", "ASAN_", "UBSAN_"))}
        done = subprocess.run([*self.as_user, os.path.join(BIN, program), *arguments], capture_output=True,
                              text=True, env=environment, cwd=self.folder)
        if done.returncode != 0:
            raise RuntimeError(f"{program} failed ({done.returncode}): {(done.stderr or done.stdout).strip()}")

    def url(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@127.0.0.1:{self.port}/{database}"

    def new_database(self, name: str | None = None) -> str:
        import psycopg

        name = name or f"vesk_{next(self.numbers)}"
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def stop(self) -> None:
        try:
            self._run("pg_ctl", "-D", self.data, "-m", "immediate", "stop")
        finally:
            shutil.rmtree(self.folder, ignore_errors=True)
