"""The `vesk` command end to end, in subprocesses against temporary projects."""

from __future__ import annotations

import json
import os
import re
import shutil
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest
from host_support import Project, assert_one_error_line, load_trace, needs_engine, records, subprocess_env
from test_pytest_plugin import plugin_arguments

from vesk import db, storage
from vesk.storage import open_store

pytestmark = needs_engine

REPO = Path(__file__).resolve().parents[2]

SUMMARY = re.compile(
    r"^vesk: trace (trc_[0-9A-Z]{26}): (\d+) frame records, (\d+) plugin records, saved in (\S+)$", re.M
)


def saved_trace(done) -> tuple[str, int, int]:
    match = SUMMARY.search(done.stderr)
    assert match, done.stderr
    return match.group(1), int(match.group(2)), int(match.group(3))


def frame_records(project, trace_id: str) -> list[dict]:
    trace = load_trace(str(project.db), trace_id)
    return [r for d in trace.documents for r in records(d) if r.get("type") == "frame"]


def plugin_records(project, trace_id: str, kind: str) -> list[dict]:
    trace = load_trace(str(project.db), trace_id)
    return [r for d in trace.documents for r in records(d) if r.get("type") == kind]


def test_a_script_runs_exactly_as_under_python_and_is_saved(project):
    project.write("helper.py", "def double(x):\n    return x * 2\n")
    project.write(
        "app/main.py",
        """
        import json, os, sys
        sys.path.insert(1, os.getcwd())
        import helper

        def compute(values, *, scale):
            total = sum(helper.double(v) for v in values)
            return total * scale

        if __name__ == "__main__":
            print(json.dumps({"argv": sys.argv, "path0": sys.path[0], "name": __name__,
                              "file": __file__, "main_is_me": sys.modules["__main__"].compute is compute}))
            print("result", compute([1, 2, 3], scale=10))
            sys.exit(3)
        """,
    )
    direct = project.python("app/main.py", "--flag", "x")
    done = project.run("run", "app/main.py", "--flag", "x")
    assert done.returncode == direct.returncode == 3
    assert done.stdout == direct.stdout
    facts = json.loads(done.stdout.splitlines()[0])
    assert facts["argv"] == ["app/main.py", "--flag", "x"]
    assert facts["path0"] == str(project.root / "app") and facts["main_is_me"] is True

    trace_id, frames, plugins = saved_trace(done)
    assert frames > 0 and plugins >= 1
    records = frame_records(project, trace_id)
    calls = [r for r in records if r["event"] == "call" and r["co_name"] == "compute"]
    returns = [r for r in records if r["event"] == "return" and r["co_name"] == "compute"]
    assert calls[0]["locals"] == {"values": [1, 2, 3], "scale": 10}
    assert returns[0]["arg"] == 120 and returns[0]["frame_id"] == calls[0]["frame_id"]
    assert any(r["co_name"] == "double" and r["path"].startswith("helper.py:") for r in records)
    assert not any("/vesk/" in r["path"] for r in records)
    assert plugin_records(project, trace_id, "program_exit")[0]["status"] == 3


def test_an_uncaught_exception_is_printed_like_python_and_still_saved(project):
    project.write(
        "crash.py",
        """
        def fail(reason):
            raise ValueError(reason)

        fail("broken input")
        """,
    )
    direct = project.python("crash.py")
    done = project.run("run", "crash.py")
    assert done.returncode == direct.returncode == 1
    traceback_text = done.stderr[: done.stderr.index("vesk: trace")]
    assert traceback_text == direct.stderr
    trace_id, _, _ = saved_trace(done)
    names = [(r["co_name"], r["event"]) for r in frame_records(project, trace_id)]
    assert ("fail", "call") in names and ("fail", "unwind") in names
    exit_record = plugin_records(project, trace_id, "program_exit")[0]
    assert exit_record["status"] == 1 and "broken input" in exit_record["exception"]
    assert (exit_record["error"], exit_record["raised_at"]) == ("ValueError: broken input", "crash.py:3")
    shown = project.run("show", trace_id, check=True).stdout
    assert "fail(reason='broken input') → raised ValueError: broken input" in shown
    assert "exit status 1, raised ValueError: broken input at crash.py:3" in shown


def test_a_module_runs_like_python_dash_m(project):
    project.write("tool/__init__.py", "")
    project.write(
        "tool/__main__.py",
        """
        import sys
        def main():
            print(sys.argv[1:], sys.path[0], __name__)
            return 0
        raise SystemExit(main())
        """,
    )
    done = project.run("run", "-m", "tool", "a", "-q")
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == f"['a', '-q'] {project.root} __main__"
    trace_id, _, _ = saved_trace(done)
    assert any(r["co_name"] == "main" for r in frame_records(project, trace_id))


def test_threads_options_filters_and_lightweight_repr(project):
    project.write(
        "threads.py",
        """
        import threading

        class Loud:
            def __repr__(self):
                print("REPR CALLED")
                return "Loud()"

        def worker(item):
            return item

        def skipped_work():
            return 1

        t = threading.Thread(target=worker, args=(Loud(),), name="helper-thread")
        t.start(); t.join()
        skipped_work()
        """,
    )
    project.write("skipme/__init__.py", "")
    done = project.run("run", "threads.py", check=True)
    trace_id, _, _ = saved_trace(done)
    workers = [r for r in frame_records(project, trace_id) if r["co_name"] == "worker"]
    assert workers and workers[0]["thread"] == "helper-thread"
    assert workers[0]["locals"]["item"] == "Loud()" and "REPR CALLED" not in done.stdout

    done = project.run("run", "--no-threading", "--lightweight-repr", "--ignore", "threads.py", "threads.py", check=True)
    trace_id, frames, _ = saved_trace(done)
    assert "REPR CALLED" not in done.stdout
    assert frames == 0


def test_reading_commands_list_show_and_export(project):
    project.write(
        "prog.py",
        """
        import logging
        def greet(name, password):
            logging.getLogger("prog").warning("greeting %s", name)
            return f"hello {name}"
        greet("ada", "s3cret")
        """,
    )
    first = saved_trace(project.run("run", "prog.py", check=True))[0]
    second = saved_trace(project.run("run", "prog.py", check=True))[0]

    listing = project.run("traces", check=True).stdout.splitlines()
    assert listing[0].split()[:2] == ["TRACE", "SAVED"]
    assert [line.split()[0] for line in listing[1:]] == [second, first]
    assert "prog.py" in listing[1]

    shown = project.run("show", "latest", check=True).stdout
    assert shown.splitlines()[0].startswith(f"trace {second}")
    assert "greet(name='ada', password=<redacted>) → 'hello ada'" in shown
    assert "s3cret" not in shown
    assert "log WARNING prog: greeting ada" in shown
    assert "exit status 0" in shown
    assert project.run("show", first[:-3], check=True).stdout.splitlines()[0].startswith(f"trace {first}")

    exported = json.loads(project.run("export", first, "--format", "json", check=True).stdout)
    assert exported["trace_id"] == first
    assert exported["documents"][0]["trace_id"] == first

    out = project.root / "chrome.json"
    project.run("export", "latest", "--format", "chrome", "-o", str(out), check=True)
    events = json.loads(out.read_text())["traceEvents"]
    greet = [e for e in events if e["ph"] == "X" and e["name"] == "__main__.greet"]
    assert len(greet) == 1 and greet[0]["dur"] >= 0 and greet[0]["args"]["return"] == "'hello ada'"
    assert any(e["ph"] == "i" and e["name"] == "log" for e in events)
    assert any(e["ph"] == "M" and e["args"]["name"] == "MainThread" for e in events)


def test_bad_input_gives_one_error_line_and_keeps_existing_traces(project):
    project.write("ok.py", "x = 1\n")
    kept = saved_trace(project.run("run", "ok.py", check=True))[0]

    assert_one_error_line(project.run("run", "missing.py"), "can't open file 'missing.py'")
    assert_one_error_line(project.run("run", "-m", "no_such_module_here"), "no_such_module_here")
    assert_one_error_line(project.run("run"), "needs a script")
    assert_one_error_line(project.run("run", "--bogus", "ok.py"), "--bogus")
    assert_one_error_line(project.run("run", "--db", "nowhere/db.sqlite3", "ok.py"), "does not exist")
    assert_one_error_line(project.run("show", "trc_00000000000000000000000000"), "no trace")
    assert_one_error_line(project.run("export", "latest", "--format", "xml"), "invalid choice")
    assert_one_error_line(project.run("traces", "--db", "nowhere.sqlite3"), "no database")

    project.write(".vesk/config.toml", "threading = \n")
    assert_one_error_line(project.run("run", "ok.py"), "invalid TOML")
    assert_one_error_line(project.run("traces"), "invalid TOML")
    project.write(".vesk/config.toml", "[filters]\ninclude = ['x']\n")
    assert_one_error_line(project.run("run", "ok.py"), 'unknown key "filters.include"')
    (project.root / ".vesk" / "config.toml").unlink()

    damaged = project.root / "damaged.sqlite3"
    damaged.write_bytes(b"garbage" * 1000)
    assert_one_error_line(project.run("show", "latest", "--db", "damaged.sqlite3"), "not a database")
    assert damaged.read_bytes() == b"garbage" * 1000

    assert [s.trace_id for s in open_store(str(project.db)).list_traces()] == [kept]

    gone = project.root / "gone"
    gone.mkdir()
    in_removed_directory = f'cd "{gone}" && rmdir "{gone}" && exec "$0" -m vesk run "$1"'
    env = subprocess_env()
    env["PYTHONPATH"] = os.pathsep.join(map(os.path.abspath, env["PYTHONPATH"].split(os.pathsep)))
    done = subprocess.run(["sh", "-c", in_removed_directory, sys.executable, str(project.root / "ok.py")],
                          env=env, capture_output=True, text=True)
    assert_one_error_line(done, "the working directory cannot be read")


def test_a_database_that_breaks_during_the_run_leaves_a_fallback_file(project):
    project.write(
        "breaker.py",
        """
        import os, shutil
        # The program itself takes the database away while it is being recorded.
        shutil.rmtree(".vesk")
        os.makedirs(".vesk/db.sqlite3")
        """,
    )
    done = project.run("run", "breaker.py")
    assert done.returncode == 0  # the program's own status
    fallback = re.search(r"written to (\S+)$", done.stderr.strip()).group(1)
    assert (project.root / fallback).is_file()
    shutil.rmtree(project.root / ".vesk")
    assert_one_error_line(project.run("run", "--strict", "breaker.py"), "cannot save trace", "written to")


# A database that is unusable before the program starts, and what vesk's one line says of it.
UNUSABLE = {
    "not SQLite": (lambda db: db.write_bytes(b"garbage" * 1000), "not a database or is damaged"),
    "newer schema": (lambda db: sqlite3.connect(db).execute("PRAGMA user_version = 99"), "newer vesk"),
    "a directory": (lambda db: db.mkdir(), "unable to open database file"),
    "disk full": (None, "the trace is lost"),
}
# vesk run under a limit of 0 bytes per file written: a full disk.
DISK_FULL = (
    "import resource, runpy, sys; resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY));"
    " sys.argv[0] = 'vesk'; runpy.run_module('vesk', run_name='__main__')"
)


@pytest.mark.parametrize("kind", UNUSABLE)
def test_an_unusable_database_still_runs_the_program_and_says_where_its_trace_went_in_one_line(project, kind):
    make, said = UNUSABLE[kind]
    project.write("app.py", "import sys\nprint('out')\nsys.exit(3)\n")
    project.write("test_app.py", "def test_one():\n    pass\n")
    command = ["-m", "vesk"] if make else ["-c", DISK_FULL]
    if make:
        (project.root / ".vesk").mkdir()
        make(project.db)
    done = project.python(*command, "run", "app.py")
    assert (done.returncode, done.stdout) == (3, "out\n")
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("vesk: error: cannot save trace"), done.stderr
    assert said in done.stderr
    if make:
        fallbacks = [p.name for p in (project.root / ".vesk").glob("db.sqlite3.trc_*.msgpack")]
        assert len(fallbacks) == 1 and fallbacks[0] in done.stderr
        tested = project.python("-m", "pytest", *plugin_arguments(), "-p", "no:cacheprovider", "--vesk", "test_app.py")
        assert tested.returncode == 0 and "vesk: error: cannot save trace" in tested.stdout, tested.stdout


def test_a_symbolic_link_where_the_traces_go_is_refused_in_one_line(project, tmp_path):
    project.write("app.py", "print('out')\n")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir(mode=0o755)
    (project.root / ".vesk").symlink_to(elsewhere)
    assert_one_error_line(project.run("run", "app.py"), ".vesk is a symbolic link")
    assert (elsewhere.stat().st_mode & 0o777, list(elsewhere.iterdir())) == (0o755, [])

    (project.root / ".vesk").unlink()
    (project.root / ".vesk").mkdir()
    victim = tmp_path / "victim"
    victim.write_bytes(b"")
    project.db.symlink_to(victim)
    assert_one_error_line(project.run("run", "app.py"), "db.sqlite3 is a symbolic link")
    assert victim.read_bytes() == b""


# Each way of losing the database during the run, with what vesk's one line says about the records.
RUN_FAILURES = {
    "database unwritable": ('shutil.rmtree(".vesk", ignore_errors=True); os.makedirs(".vesk/db.sqlite3")', "written to"),
    "folder removed": ('shutil.rmtree(".vesk", ignore_errors=True)', "the trace is lost"),
    "working directory removed": ("shutil.rmtree(os.getcwd())", "the trace is lost"),
    "disk full": ("resource.setrlimit(resource.RLIMIT_FSIZE, (0, resource.RLIM_INFINITY))", "the trace is lost"),
}
ENDINGS = {
    "normal": "",
    "exception": "raise ValueError('boom')",
    "exit 3": "sys.exit(3)",
    "exit message": "sys.exit('the message')",
    "interrupt": "raise KeyboardInterrupt",
}


def test_exit_status_and_output_are_the_programs_whatever_becomes_of_the_trace(tmp_path):
    script = tmp_path / "program.py"
    failures = "\n".join(f"if failure == {name!r}:\n    {code}" for name, (code, _) in RUN_FAILURES.items())
    endings = "\n".join(f"if ending == {name!r}:\n    {code or 'pass'}" for name, code in ENDINGS.items())
    script.write_text(
        f"import os, resource, shutil, sys\ndef work(x):\n    return x * 2\nfailure, ending = sys.argv[1:]\n"
        f"work(1)\n{failures}\nprint('result', work(2))\n{endings}\n"
    )
    for failure, (_, said) in RUN_FAILURES.items():
        for ending in ENDINGS:
            runs = {}
            for command in ("python", "vesk"):
                root = tmp_path / f"{command} {failure} {ending}"
                root.mkdir()
                runs[command] = (Project(root).python if command == "python" else Project(root).run)(
                    *([] if command == "python" else ["run"]), str(script), failure, ending
                )
            python, vesk = runs["python"], runs["vesk"]
            case = f"{failure}, {ending}: {vesk.stderr}"
            assert (vesk.returncode, vesk.stdout) == (python.returncode, python.stdout), case
            ours = [line for line in vesk.stderr.splitlines() if line.startswith("vesk:")]
            assert len(ours) == 1 and said in ours[0], case
            assert [line for line in vesk.stderr.splitlines() if not line.startswith("vesk:")] == \
                python.stderr.splitlines(), case


def test_demo_app_records_user_code_threads_http_sql_and_logs(project):
    shutil.copytree(REPO / "examples" / "demo_app", project.root / "demo_app")
    done = project.run("run", "demo_app/main.py", "4", check=True)
    assert "total 3.20" in done.stdout
    shown = project.run("show", "latest", check=True).stdout
    for expected in (
        "inventory.total(order=Order(customer='ada'",
        "inventory._sum(values=[])",
        "http GET http://127.0.0.1:",
        "→ 200",
        "log INFO demo_app: order of ada",
        "thread restocker",
        "store.restock(",
        "prices.PriceHandler.do_GET()",
    ):
        assert expected in shown, expected


@pytest.mark.parametrize("library", ["sqlalchemy", "django"])
def test_sql_through_libraries_gives_query_records(project, library):
    pytest.importorskip(library)
    programs = {
        "sqlalchemy": """
            import sqlalchemy as sa
            engine = sa.create_engine("sqlite://")
            def query(n):
                with engine.connect() as connection:
                    return connection.execute(sa.text("SELECT :n + 1"), {"n": n}).scalar()
            query(41)
        """,
        "django": """
            import django
            from django.conf import settings
            settings.configure(DATABASES={"default": {"ENGINE": "django.db.backends.sqlite3", "NAME": ":memory:"}})
            django.setup()
            from django.db import connection
            def query(n):
                with connection.cursor() as cursor:
                    cursor.execute("SELECT %s + 1", [n])
                    return cursor.fetchone()[0]
            query(41)
        """,
    }
    project.write("sql.py", programs[library])
    trace_id, _, _ = saved_trace(project.run("run", "sql.py", check=True))
    queries = [q for q in plugin_records(project, trace_id, "sql_query") if "+ 1" in q["sql"]]
    results = plugin_records(project, trace_id, "sql_result")
    assert len(queries) == 1 and queries[0]["subtype"] == library
    assert queries[0]["params"] in ({"n": 41}, [41])
    assert any(r["frame_id"] == queries[0]["frame_id"] and r["duration_ms"] >= 0 for r in results)

    done = project.run("run", "--no-plugin", library, "sql.py", check=True)
    assert plugin_records(project, saved_trace(done)[0], "sql_query") == []


def test_outbound_http_gives_request_and_response_records(project):
    project.write(
        "client.py",
        """
        import http.client, threading, urllib.request
        from http.server import BaseHTTPRequestHandler, HTTPServer

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(404 if "missing" in self.path else 200)
                self.end_headers()
            def log_message(self, *args):
                pass

        server = HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=lambda: [server.handle_request() for _ in range(2)], daemon=True).start()
        port = server.server_address[1]
        urllib.request.urlopen(f"http://127.0.0.1:{port}/items?token=abc&page=2").close()
        connection = http.client.HTTPConnection("127.0.0.1", port)
        connection.request("GET", "/missing")
        connection.getresponse().read()
        """,
    )
    trace_id, _, _ = saved_trace(project.run("run", "client.py", check=True))
    requests = plugin_records(project, trace_id, "http_request")
    responses = plugin_records(project, trace_id, "http_response")
    port = requests[0]["url"].split(":")[2].split("/")[0]
    assert [r["url"] for r in requests] == [
        f"http://127.0.0.1:{port}/items?token=<redacted>&page=2",
        f"http://127.0.0.1:{port}/missing",
    ]
    assert [(r["method"], r["status"]) for r in responses] == [("GET", 200), ("GET", 404)]
    assert all(r["url"] == q["url"] and r["duration_ms"] >= 0 for r, q in zip(responses, requests))


def test_traces_are_private_to_their_owner_whatever_the_umask(project):
    def mode(path) -> int:
        return os.stat(path).st_mode & 0o777

    project.write("prog.py", "def secret(value):\n    return value\nsecret('hunter2')\n")
    previous = os.umask(0o022)
    try:
        trace_id = saved_trace(project.run("run", "prog.py", check=True))[0]
        project.run("export", "latest", "--format", "json", "-o", "out.json", check=True)
        document = next(open_store(str(project.db)).iter_documents(trace_id))
        db.save_trace_in_sqlite(str(project.db), "trc_again", timeout=5, msgpack=document)  # keeps its log open
        (project.root / "blocked.sqlite3").mkdir()
        db.save_trace_in_sqlite(str(project.root / "blocked.sqlite3"), "trc_blocked", timeout=5, msgpack=document)
    finally:
        os.umask(previous)
    assert storage.pop_save_problem("trc_blocked")
    written = [project.db, Path(f"{project.db}-wal"), Path(f"{project.db}-shm"), project.root / "out.json",
               *project.root.glob("blocked.sqlite3.trc_blocked.*.msgpack")]
    assert len(written) == 5 and {path.name: mode(path) for path in written} == {path.name: 0o600 for path in written}
    assert mode(project.root / ".vesk") == 0o700


def test_traces_shows_outcomes_and_durations_and_filters_them(project):
    project.write("ok.py", "print('fine')\n")
    project.write("bad.py", "raise SystemExit(4)\n")
    ok = saved_trace(project.run("run", "ok.py", check=True))[0]
    bad = saved_trace(project.run("run", "bad.py"))[0]
    listing = project.run("traces", check=True).stdout.splitlines()
    assert listing[0].split()[:6] == ["TRACE", "SAVED", "SOURCE", "OUTCOME", "DURATION", "FRAMES"]
    rows = {line.split()[0]: line for line in listing[1:]}
    assert " exit 4 " in rows[bad] and " exit 0 " in rows[ok] and re.search(r" \d+\.\d{3} ms ", rows[ok])
    ids = lambda *options: [line.split()[0] for line in project.run("traces", *options, check=True).stdout.splitlines()[1:]]  # noqa: E731
    assert ids("--failed") == [bad]
    assert ids("--grep", "OK.PY") == [ok]
    assert ids("--source", "run") == ids("--source", "cli") == [bad, ok]
    assert project.run("traces", "--source", "test", check=True).stdout.startswith("no traces match")
