"""The product on a PostgreSQL store (a real server of the tests' own, see postgres_support): `vesk
run` and the reading commands through --db and VESK_DB, the labels of where a trace was recorded,
a server that cannot be reached, and eight `pytest --vesk` sessions saving at once. What every store
does is checked in test_storage."""

from __future__ import annotations

import contextlib
import os
import socket
import subprocess
import sys

import psycopg
import pytest
from host_support import needs_engine, subprocess_env

from vesk.storage import open_store

pytestmark = needs_engine

SCRIPT = """
def add(a, b):
    return a + b

print(add(2, 3))
"""


def test_run_saves_into_the_store_the_reading_commands_name_and_labels_where_it_ran(project, postgres_url):
    project.write("app.py", SCRIPT)
    ci = {"GITHUB_ACTIONS": "true", "GITHUB_WORKFLOW": "tests", "GITHUB_JOB": "unit", "GITHUB_RUN_ID": "42"}
    done = project.run("run", "--db", postgres_url, "app.py", check=True, **ci)
    assert done.stdout == "5\n" and "saved in postgresql://postgres@127.0.0.1" in done.stderr
    project.run("run", "app.py", check=True, VESK_DB=postgres_url)
    (second, first) = open_store(postgres_url).list_traces()
    assert (first.ci_job, second.ci_job, first.machine) == ("tests/unit #42", None, socket.gethostname())
    assert not project.db.exists()

    listed = project.run("traces", "--ci-job", "unit", check=True, VESK_DB=postgres_url).stdout
    assert first.trace_id in listed and second.trace_id not in listed
    listed = project.run("traces", "--db", postgres_url, "--machine", socket.gethostname(), check=True).stdout
    assert first.trace_id in listed and second.trace_id in listed
    shown = project.run("show", first.trace_id, "--db", postgres_url, check=True).stdout
    assert "add" in shown and f"recorded on {socket.gethostname()} by CI job tests/unit #42" in shown
    assert "removed 1 trace" in project.run("rm", "latest", "--db", postgres_url, check=True).stdout


def test_an_unreachable_store_never_harms_the_program_and_its_traces_are_sent_later(project, postgres_server,
                                                                                    tmp_path, monkeypatch):
    from vesk.storage import postgres

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setattr(postgres, "RETRY_SECONDS", 0)  # the server is back at once
    project.write("app.py", SCRIPT)
    later = postgres_server.url("vesk_created_later")  # refused until it exists
    done = project.run("run", "--db", later, "app.py")
    assert (done.returncode, done.stdout) == (0, "5\n")
    assert "cannot save trace" in done.stderr and "written to" in done.stderr
    with psycopg.connect(postgres_server.url(), autocommit=True) as connection:
        connection.execute("CREATE DATABASE vesk_created_later")
    recovered = project.run("recover", "--db", later, check=True)
    assert recovered.stdout.startswith("imported ") and len(open_store(later).list_traces()) == 1

    # The next save sends what an earlier one could not, first.
    document = open_store(later).read_document(open_store(later).resolve_trace_id("latest"), 0)
    store = open_store(postgres_server.url("vesk_no_such_database"))
    store.save("trc_early", document, timeout=5)
    with psycopg.connect(postgres_server.url(), autocommit=True) as connection:
        connection.execute("CREATE DATABASE vesk_no_such_database")
    store.save("trc_late", document, timeout=5)
    assert [summary.trace_id for summary in store.list_traces()] == ["trc_late", "trc_early"]


SUITE = """
import pytest

def square(value):
    return value * value

@pytest.mark.parametrize("n", range({tests}))
def test_square(n):
    assert square(n) == n * n
"""


def test_eight_concurrent_pytest_sessions_store_every_trace_within_the_retention_limit(tmp_path, postgres_url):
    writers, tests, kept = 8, 25, 150
    sessions = []
    for number in range(writers):
        folder = tmp_path / f"runner{number}"
        (folder / ".vesk").mkdir(parents=True)
        (folder / ".vesk" / "config.toml").write_text(f'db_url = "{postgres_url}"\n[retention]\nmax_traces = {kept}\n')
        (folder / f"test_suite{number}.py").write_text(SUITE.format(tests=tests))
        sessions.append(subprocess.Popen(
            [sys.executable, "-m", "pytest", "--vesk", "-q", "-p", "no:cacheprovider"], cwd=folder,
            env=subprocess_env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        ))
    outputs = [session.communicate(timeout=600)[0] for session in sessions]
    for output in outputs:
        assert f"{tests} passed" in output and f"vesk: {tests} test traces saved in" in output, output
        assert "cannot save" not in output
    summaries = open_store(postgres_url).list_traces()
    assert len(summaries) == kept
    assert all(summary.document_count == 1 and summary.label.startswith("test_suite") for summary in summaries)
    assert len({summary.label for summary in summaries}) == kept


def test_push_copies_local_traces_once_each_document_for_document(project, postgres_url):
    project.write("app.py", SCRIPT)
    for _ in range(3):
        project.run("run", "app.py", check=True)
    local = open_store(str(project.db))
    oldest, middle, newest = reversed([summary.trace_id for summary in local.list_traces()])
    assert project.run("push", oldest, "--to", postgres_url, check=True).stdout.startswith("pushed 1 trace (")
    done = project.run("push", "--all", check=True, VESK_DB=postgres_url)
    assert done.stdout.startswith("pushed 2 traces (") and done.stdout.rstrip().endswith("1 trace there already")
    shared = open_store(postgres_url)
    assert [summary.trace_id for summary in shared.list_traces()] == [newest, middle, oldest]
    for trace_id in (oldest, newest):
        assert list(shared.iter_documents(trace_id)) == list(local.iter_documents(trace_id))
    assert "name the traces to push" in project.run("push", "--to", postgres_url).stderr


def test_a_server_that_never_answers_costs_one_connection_attempt_then_saves_go_to_files(tmp_path, monkeypatch):
    from vesk.storage import pop_save_problem, postgres

    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    monkeypatch.setattr(postgres, "CONNECT_SECONDS", 1)
    silent = socket.create_server(("127.0.0.1", 0))  # connections wait in its backlog, never answered
    store = open_store(f"postgresql://vesk@127.0.0.1:{silent.getsockname()[1]}/traces")
    document = b"\x81\xa9timestamp\xcb" + bytes(8)
    for trace_id in ("trc_a", "trc_b", "trc_c"):
        store.save(trace_id, document, timeout=5)
        assert "cannot save trace" in pop_save_problem(trace_id)
    silent.setblocking(False)
    attempts = []
    with contextlib.suppress(BlockingIOError):
        while True:
            attempts.append(silent.accept()[0])
    assert len(attempts) == 1 and len(os.listdir(tmp_path / "cache" / "vesk" / "stores")) == 1
    for connection in (*attempts, silent):
        connection.close()


def test_a_document_larger_than_a_piece_comes_back_whole_and_leaves_no_piece_when_removed(postgres_url, monkeypatch):
    import random

    from vesk.storage import postgres

    monkeypatch.setattr(postgres, "PIECE_SIZE", 1_000)
    store = open_store(postgres_url)
    store.prepare()
    document = b"\x81\xa4blob\xc5\x13\x88" + random.Random(1).randbytes(5_000)  # {"blob": 5,000 random bytes}
    for trace_id in ("trc_a", "trc_b"):
        store.save(trace_id, document, timeout=5)
    pieces = "SELECT count(*), count(DISTINCT document_id) FROM vesk_document_parts"
    with psycopg.connect(postgres_url) as connection:
        assert connection.execute(pieces).fetchone() == (2 * 6, 2)
        assert store.read_document("trc_a", 0) == document
        store.remove_traces(["trc_a"])
        assert connection.execute(pieces).fetchone() == (6, 1)
