"""Reading traces back: `vesk show` and `vesk export` over traces of many documents, cut and selected."""

from __future__ import annotations

import json
import random
import re
from pathlib import Path

import msgpack
import pytest
from host_support import needs_engine

from vesk import db, serialize
from vesk.storage import open_store
from vesk.__main__ import main
from vesk.reading import records, text
from vesk.reading.tree import LineQueue

TRACE = "trc_01HZZZZZZZZZZZZZZZZZZZZZZZ"
MAIN_ID = 1


def frame(event: str, frame_id: str, name: str, t: float, thread: tuple = ("MainThread", MAIN_ID), **values) -> dict:
    # Keys in the engine's order: readers take the shortcuts it allows.
    return {
        "path": f"prog.py:{len(name)}",
        "co_name": name.rsplit(".", 1)[-1],
        "qualname": name,
        "event": event,
        "frame_id": frame_id,
        "arg": values.get("arg"),
        "locals": values.get("locals", {}),
        "thread": thread[0],
        "thread_native_id": thread[1],
        "timestamp": t,
        "type": "frame",
        "user_code_call_site": None,
    }


def plugin(kind: str, t: float, thread: tuple | None = ("MainThread", MAIN_ID), **fields) -> dict:
    record = {"frame_id": None, "type": kind, "timestamp": t, **fields}
    if thread is not None:
        record.update(thread=thread[0], thread_native_id=thread[1])
    return record


def document(records_by_thread: dict, trace_id: str = TRACE, extra: list | None = None) -> bytes:
    main_records = list(records_by_thread.get(MAIN_ID, [])) + list(extra or [])
    others = {native: rs for native, rs in records_by_thread.items() if native != MAIN_ID}
    return msgpack.packb(
        {
            "command_line_args": ["prog.py"],
            "current_commit_sha": None,
            "frames": others,
            "frames_of_interest": main_records,
            "main_thread_id": MAIN_ID,
            "meta": {"version": "0", "source": "cli", "use_frame_boundaries": True},
            "timestamp": 1700000000.0,
            "trace_id": trace_id,
        },
        use_bin_type=True,
    )


def random_thread(rng: random.Random, thread: tuple, size: int) -> tuple[list[dict], list[tuple[int, str]]]:
    """Records of one thread and the (depth, name) of each line its tree must show, in order."""
    records, expected, stack = [], [], []
    t = 1700000000.0
    for step in range(size):
        t += 0.001
        roll = rng.random()
        if roll < 0.45 or not stack:
            name = f"mod.f{rng.randrange(5)}"
            frame_id = f"frm_{thread[1]}_{step}"
            values = {"n": step, "big": "x" * rng.choice((1, 900))}  # large records are read apart
            records.append(frame("call", frame_id, name, t, thread, locals=values))
            expected.append((len(stack) + 1, name))
            stack.append((frame_id, name))
        elif roll < 0.9:
            frame_id, name = stack.pop()
            records.append(frame("return", frame_id, name, t, thread, arg=step))
        else:
            records.append(plugin("log", t, thread, level="INFO", logger="app", message=f"m{step}"))
            expected.append((len(stack) + 1, "log"))
    return records, expected


def save(db_path: str, documents: list[bytes]) -> None:
    for data in documents:
        db.save_trace_in_sqlite(db_path, TRACE, timeout=10, msgpack=data)


def split(records_by_thread: dict, pieces: int, rng: random.Random) -> list[dict]:
    """The same records in `pieces` documents, each thread cut at its own random places."""
    cuts = {native: sorted(rng.sample(range(len(rs) + 1), pieces - 1)) for native, rs in records_by_thread.items()}
    parts = []
    for index in range(pieces):
        part = {}
        for native, rs in records_by_thread.items():
            bounds = [0, *cuts[native], len(rs)]
            part[native] = rs[bounds[index] : bounds[index + 1]]
        parts.append(part)
    return parts


def run(capsys, db_path: str, *args: str) -> str:
    assert main([*args, "--db", db_path]) == 0
    return capsys.readouterr().out


def thread_lines(shown: str) -> dict[str, list[str]]:
    sections, current = {}, None
    for line in shown.splitlines():
        if line.startswith(("thread ", "task ")):
            current = sections[line.removeprefix("thread ")] = []
        elif not line:
            current = None
        elif current is not None:
            current.append(line)
    return sections


def outline(lines: list[str]) -> list[tuple[int, str]]:
    """(depth, name) of each line: the depth read from its indentation."""
    result = []
    for line in lines:
        stripped = line.lstrip(" ")
        depth = (len(line) - len(stripped)) // 2
        name = "log" if stripped.startswith("• log") else re.match(r"[\w.<>↻•]+", stripped).group(0)
        result.append((depth, name))
    return result


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "db.sqlite3")


@pytest.mark.parametrize("seed", range(6))
def test_a_trace_in_many_documents_shows_the_tree_of_one(capsys, monkeypatch, tmp_path, seed):
    rng = random.Random(seed)
    threads = {MAIN_ID: ("MainThread", MAIN_ID), 7: ("worker", 7)}
    generated = {native: random_thread(rng, thread, rng.randrange(20, 300)) for native, thread in threads.items()}
    records = {native: rs for native, (rs, _) in generated.items()}
    whole, pieces = str(tmp_path / "one.sqlite3"), str(tmp_path / "many.sqlite3")
    save(whole, [document(records)])
    save(pieces, [document(part) for part in split(records, rng.randrange(2, 6), rng)])

    shown = {whole: run(capsys, whole, "show", TRACE, "--limit", "0")}
    # Lines waiting for an early call's return move to files past a few characters.
    monkeypatch.setattr(LineQueue, "SPILL_AT", 3)
    shown[pieces] = run(capsys, pieces, "show", TRACE, "--limit", "0")
    assert shown[whole].splitlines()[2:] == shown[pieces].splitlines()[2:]
    sections = thread_lines(shown[pieces])
    assert list(sections) == ["MainThread (1)", "worker (7)"]
    for (native, thread), lines in zip(threads.items(), sections.values()):
        assert outline(lines) == generated[native][1]
    assert sum("(no return recorded)" in line for line in sections["MainThread (1)"]) == sum(
        1 for r in records[MAIN_ID] if r.get("event") == "call"
    ) - sum(1 for r in records[MAIN_ID] if r.get("event") == "return")


def nested_trace(db_path: str) -> None:
    """main → handle ×30 → query, on the main thread; a worker with its own calls; two documents."""
    main_thread, worker = ("MainThread", MAIN_ID), ("worker", 7)
    records, t = [frame("call", "frm_main", "app.main", 1.0, main_thread)], 1.0
    for i in range(30):
        records += [
            frame("call", f"frm_h{i}", "app.handle", t + 0.1, main_thread, locals={"i": i}),
            frame("call", f"frm_q{i}", "db.query", t + 0.2, main_thread),
            plugin("sql_query", t + 0.3, main_thread, subtype="sqlite", sql=f"SELECT {i}"),
            frame("return", f"frm_q{i}", "db.query", t + 0.4, main_thread, arg=i),
            frame("return", f"frm_h{i}", "app.handle", t + 0.5, main_thread, arg=i),
        ]
        t += 1
    records.append(frame("return", "frm_main", "app.main", t, main_thread))
    work = [frame("call", "frm_w", "app.work", 2.0, worker), frame("return", "frm_w", "app.work", 3.0, worker, arg=1)]
    save(db_path, [document({MAIN_ID: records[:70], 7: work[:1]}), document({MAIN_ID: records[70:], 7: work[1:]})])


@pytest.mark.parametrize(
    ("options", "expected"),
    [
        (["--thread", "worker"], [(1, "app.work")]),
        (["--thread", "7"], [(1, "app.work")]),
        (["--frame", "frm_h29"], [(1, "app.handle"), (2, "db.query"), (3, "sql[sqlite]")]),
        (["--function", "query", "--limit", "3"], [(1, "db.query"), (2, "…"), (1, "db.query")]),
        (["--function", "query", "--limit", "0"], [(1, "db.query"), (2, "sql[sqlite]"), (1, "db.query")]),
        (["--depth", "1", "--thread", "MainThread"], [(1, "app.main"), (2, "…")]),
        (["--depth", "2", "--limit", "2", "--thread", "MainThread"], [(1, "app.main"), (2, "app.handle"), (1, "…")]),
        (["--depth", "2", "--limit", "3", "--thread", "MainThread"], [(1, "app.main"), (2, "app.handle"), (3, "…")]),
    ],
)
def test_options_select_threads_calls_and_depth(capsys, db_path, options, expected):
    nested_trace(db_path)
    shown = run(capsys, db_path, "show", TRACE, "--no-summary", *options)
    lines = [line for lines in thread_lines(shown).values() for line in lines]
    got = [((len(line) - len(line.lstrip())) // 2, line.lstrip(" •").split()[0].split("(")[0]) for line in lines]
    assert got[: len(expected)] == expected
    assert "summary:" not in shown


def test_a_long_thread_is_cut_to_the_limit_with_a_summary_first(capsys, db_path):
    nested_trace(db_path)
    shown = run(capsys, db_path, "show", TRACE, "--limit", "20")
    before_tree = shown[: shown.index("thread MainThread")]
    assert "summary: 154 records in 2 threads" in before_tree
    assert re.search(r"most calls:\n +30  app\.handle  prog\.py:10\n +30  db\.query", before_tree)
    main_lines = thread_lines(shown)["MainThread (1)"]
    # Depth 1 fits, depth 2 (31 lines) does not: main's first calls share the lines left, each with
    # a line counting what it called.
    assert outline_names(main_lines[:4]) == [
        (1, "app.main"), (2, "app.handle"), (3, "… 2 more records"), (2, "app.handle")
    ]
    assert main_lines[2].endswith("(--frame frm_h0)")
    assert len(main_lines) == 20 and main_lines[-1] == "    … 63 more records (--frame frm_main)"
    assert "--limit N or 0 for all" in shown.splitlines()[-1]


def outline_names(lines: list[str]) -> list[tuple[int, str]]:
    return [((len(line) - len(line.lstrip())) // 2, line.split("(")[0].strip()) for line in lines]


def left_out(count: int, t: float, **fields) -> dict:
    functions = [{"co_name": "fib", "qualname": "fib", "path": "fib.py:1", "count": count, "recorded": 500}]
    return plugin("calls_left_out", t, thread=None, functions=functions, **fields)


@pytest.mark.parametrize(("records", "expected"), [
    # Written before the records said which limit: calls_per_function's, the only one then.
    ([left_out(4_000_000, 1.5), left_out(998_000, 3.0)],
     ["4,998,000 calls left out by [limits] calls_per_function: calls_per_function = 4,998,500 would have kept them",
      "fib: 4,998,000 more calls not recorded  fib.py:1"]),
    ([left_out(7, 1.5, reason="calls_per_function", limit=500)],
     ["7 calls left out by [limits] calls_per_function = 500: calls_per_function = 507 would have kept them"]),
    # One call recorded in 1000 bytes: three more need about 4000.
    ([plugin("recording_stopped", 1.5, reason="trace_bytes", limit=1000),
      left_out(3, 3.0, reason="trace_bytes", limit=1000)],
     ["3 calls left out once the trace reached [limits] trace_bytes = 1000 bytes; trace_bytes = 4,000 (about 3.9 KiB)"
      " would have kept them", "recording stopped: the trace reached its limit of 1,000 bytes"]),
    ([plugin("records_dropped", 2.6, thread=None, count=12, bytes=3400, buffer_bytes=4000)],
     ["12 records (3,400 bytes) dropped: storage kept failing; buffer_bytes = 4,425 would have held them"]),
])
def test_what_was_left_out_is_blamed_on_its_limit_with_the_figure_that_keeps_it(capsys, db_path, records, expected):
    calls = [frame("call", "frm_1", "fib", 1.0), frame("return", "frm_1", "fib", 2.0, arg=1)]
    save(db_path, [document({MAIN_ID: calls[:1]}, extra=records[:1]),
                   document({MAIN_ID: calls[1:]}, extra=records[1:])])
    shown = run(capsys, db_path, "show", TRACE)
    assert all(line in shown for line in expected), shown
    assert shown.count("left out") + shown.count("dropped:") == 1


def test_class_bodies_and_compiler_made_cells_are_left_out(capsys, db_path):
    namespace = {"__module__": "app", "__qualname__": "Thing", "m": "<function>"}
    records = [
        frame("call", "frm_m", "app.<module>", 1.0),
        frame("call", "frm_c", "app.Thing", 1.1),
        frame("call", "frm_d", "app.register", 1.2, locals={"f": "<function>"}),  # a decorator: kept
        frame("return", "frm_d", "app.register", 1.3, arg="<function>"),
        frame("return", "frm_c", "app.Thing", 1.4, arg="<cell: empty>", locals=namespace),
        frame("call", "frm_x", "app.Thing.m", 1.5, locals={"self": "<Thing>", "x": 1, "__class__": "<class>"}),
        frame("call", "frm_g", "app.Thing.m.<locals>.<genexpr>", 1.6, locals={".0": "<iterator>"}),
        frame("return", "frm_g", "app.Thing.m.<locals>.<genexpr>", 1.7, arg=None),
        frame("return", "frm_x", "app.Thing.m", 1.8, arg=2),
        frame("return", "frm_m", "app.<module>", 1.9),
    ]
    save(db_path, [document({MAIN_ID: records[:3]}), document({MAIN_ID: records[3:]})])
    shown = run(capsys, db_path, "show", TRACE, "--no-summary")
    assert [line.split(" → ")[0] for line in thread_lines(shown)["MainThread (1)"]] == [
        "  app.<module>()", "    app.register(f='<function>')", "    app.Thing.m(x=1)",
        "      app.Thing.m.<locals>.<genexpr>()"]
    assert "app.Thing  " not in run(capsys, db_path, "show", TRACE)  # nor among the summary's functions
    exported = json.loads(run(capsys, db_path, "export", TRACE, "--format", "chrome"))
    assert "app.Thing" not in [e["name"] for e in exported["traceEvents"]]


def test_json_export_is_the_decoded_documents(capsys, db_path):
    rng = random.Random(3)
    records, _ = random_thread(rng, ("MainThread", MAIN_ID), 200)
    records.append(plugin("log", 9.0, message=serialize.ObjectRepr("<Obj>"), extra=[float("nan"), b"\x00", {3: None}]))
    records.append(plugin("log", 9.5, message=serialize.Marker("<redacted>"), extra=[msgpack.ExtType(9, b"?"), b"-"]))
    fields = msgpack.packb(["shop.Order", {"customer": "ada", "lines": [1, 2]}])
    order = msgpack.ExtType(serialize.OBJECT_FIELDS, fields)
    records.append(frame("call", "frm_o", "shop.total", 9.7, locals={"order": order}))
    documents = [document(part, extra=[plugin("calls_left_out", 1.0, thread=None, functions=[])])
                 for part in split({MAIN_ID: records, 7: records[:5]}, 3, rng)]
    save(db_path, documents)
    exported = json.loads(run(capsys, db_path, "export", TRACE, "--format", "json"))
    summary = open_store(db_path).trace_summary(TRACE)
    assert {k: exported[k] for k in ("trace_id", "frame_count", "plugin_count")} == {
        "trace_id": TRACE, "frame_count": summary.frame_count, "plugin_count": summary.plugin_count,
    }
    assert exported["documents"] == text.jsonable([serialize.loads(d) for d in documents])


@pytest.mark.parametrize("command", [["show"], ["export", "--format", "chrome"], ["export", "--format", "json"]])
def test_progress_goes_to_stderr_only(capsys, monkeypatch, db_path, command):
    from vesk.reading.records import Progress

    monkeypatch.setattr(Progress, "DELAY", 0.0)
    nested_trace(db_path)
    assert main([command[0], TRACE, *command[1:], "--db", db_path]) == 0
    done = capsys.readouterr()
    assert re.search(rf"^vesk: \w+ trace {TRACE}: \d+ records \(document 1 of 2\)$", done.err, re.M), done.err
    assert "vesk:" not in done.out


@pytest.mark.parametrize("command", [["show"], ["export", "--format", "chrome"], ["export", "--format", "json"]])
def test_a_damaged_document_is_one_error_line_and_no_output_file(capsys, tmp_path, db_path, command):
    nested_trace(db_path)
    save(db_path, [document({MAIN_ID: [frame("call", "frm_x", "app.x", 50.0)]})[:-9]])
    out = tmp_path / "out.json"
    assert main([command[0], TRACE, *command[1:], "--db", db_path, *(["-o", str(out)] if len(command) > 1 else [])]) == 1
    error = capsys.readouterr().err.strip().splitlines()
    assert len(error) == 1 and error[0].startswith(f"vesk: error: trace {TRACE} has a damaged document"), error
    assert not out.exists()


def assert_properly_nested(events: list[dict]) -> None:
    by_thread: dict = {}
    for event in events:
        if event["ph"] == "X":
            by_thread.setdefault(event["tid"], []).append(event)
    for spans in by_thread.values():
        open_ends: list[float] = []
        for event in sorted(spans, key=lambda e: (e["ts"], -e["dur"])):
            while open_ends and open_ends[-1] <= event["ts"] + 1e-3:
                open_ends.pop()
            end = event["ts"] + event["dur"]
            assert not open_ends or end <= open_ends[-1] + 1e-3, event
            open_ends.append(end)


def test_chrome_export_nests_complete_events_per_thread(capsys, db_path):
    nested_trace(db_path)
    # A call that never returns ends with the trace.
    save(db_path, [document({MAIN_ID: [frame("call", "frm_open", "app.later", 40.0)]})])
    exported = json.loads(run(capsys, db_path, "export", TRACE, "--format", "chrome"))
    events = exported["traceEvents"]
    assert_properly_nested(events)
    spans = [e for e in events if e["ph"] == "X"]
    assert len(spans) == 1 + 30 * 2 + 1 + 1
    main_span = next(e for e in spans if e["name"] == "app.main")
    assert main_span["dur"] == pytest.approx(29e6 + 1e6, rel=1e-6)
    later = next(e for e in spans if e["name"] == "app.later")
    assert later["dur"] == 0 and "return" not in later["args"]
    assert sum(e["ph"] == "i" and e["name"] == "sql_query" for e in events) == 30
    assert {e["args"]["name"] for e in events if e["ph"] == "M"} == {"MainThread", "worker"}


@needs_engine
def test_a_deep_recursion_shows_and_exports_nested(project):
    project.write(
        "deep.py",
        """
        import sys
        sys.setrecursionlimit(20000)
        def down(n):
            return 0 if n == 0 else 1 + down(n - 1)
        down(5000)
        """,
    )
    project.write(".vesk/config.toml", "[limits]\ncalls_per_function = 0\n")
    project.run("run", "deep.py", check=True)
    shown = project.run("show", "latest", "--limit", "0", "--no-summary", check=True).stdout
    [lines] = thread_lines(shown).values()
    downs = [line for line in lines if "down(" in line]
    assert len(downs) == 5001
    assert [(len(line) - len(line.lstrip())) // 2 for line in downs] == list(range(2, 5003))
    assert "→ 5000" in downs[0] and "→ 0" in downs[-1]
    cut = project.run("show", "latest", check=True).stdout
    assert "more records (--frame" in cut
    out = project.root / "deep.json"
    project.run("export", "latest", "--format", "chrome", "-o", str(out), check=True)
    events = json.loads(out.read_text())["traceEvents"]
    assert sum(e["ph"] == "X" and e["name"] == "__main__.down" for e in events) == 5001
    assert_properly_nested(events)


def test_a_call_resumed_shows_as_one_with_its_wall_and_running_time(capsys, tmp_path):
    # A coroutine's frame keeps its id over its stretches: each resumption a call, each suspension a return.
    t = 1700000000.0
    records = [
        frame("call", "c", "app.main", t),
        frame("call", "l", "app.leaf", t + 0.0005),
        frame("return", "l", "app.leaf", t + 0.001, arg=1),
        frame("return", "c", "app.main", t + 0.001),
        plugin("task_step", t + 0.005, task_name="other", task_id=7, step="start"),
        frame("call", "x", "app.other", t + 0.006),
        frame("return", "x", "app.other", t + 0.007),
        plugin("task_step", t + 0.008, task_name="other", task_id=7, step="end"),
        frame("call", "c", "app.main", t + 0.010),
        frame("return", "c", "app.main", t + 0.012, arg=42),
    ]
    db_path = str(tmp_path / "t.sqlite3")
    save(db_path, [document({MAIN_ID: records})])
    assert thread_lines(run(capsys, db_path, "show", TRACE))[f"MainThread ({MAIN_ID})"] == [
        "  app.main() → 42  prog.py:8  (resumed 1 time, 12.000 ms wall, 3.000 ms running)",
        "    app.leaf() → 1  prog.py:8  0.500 ms",
        "  • ⤷ task other",
        "  app.other() → None  prog.py:9  1.000 ms",
        "  ↻ app.main resumed (2 of 2)  2.000 ms",
    ]


def timed_trace(db_path: str) -> None:
    """Calls whose recorder times are known: on the main thread app.outer 10 ms with app.inner 2 ms
    in it, of which the recorder took 4 and 1 ms; on a worker app.work 5 ms, 2 ms of them the recorder's."""
    t = 1700000000.0
    main_records = [frame("call", "o", "app.outer", t), frame("call", "i", "app.inner", t + 0.001),
                    frame("return", "i", "app.inner", t + 0.003), frame("return", "o", "app.outer", t + 0.010)]
    worker = [frame("call", "w", "app.work", t, ("worker", 2)),
              frame("return", "w", "app.work", t + 0.005, ("worker", 2))]
    trailer = [plugin("recorder_time", 0, None, list="frames_of_interest", seconds=[0, 0.0005, 0.0015, 0.004]),
               plugin("recorder_time", 0, None, list=2, seconds=[0.001, 0.003])]
    save(db_path, [document({MAIN_ID: main_records, 2: worker}, extra=trailer)])


@pytest.mark.parametrize("raw", [False, True])
def test_durations_leave_the_recorder_time_out_unless_asked(capsys, db_path, raw):
    timed_trace(db_path)
    flags = ["--raw-times"] if raw else []
    shown = run(capsys, db_path, "show", TRACE, *flags)
    took = {line.split()[0]: line.rsplit("  ", 1)[1] for lines in thread_lines(shown).values() for line in lines}
    assert took == ({"app.outer()": "10.000 ms", "app.inner()": "2.000 ms", "app.work()": "5.000 ms"} if raw else
                    {"app.outer()": "6.000 ms", "app.inner()": "1.000 ms", "app.work()": "3.000 ms"})
    assert ("times without vesk's own (6.000 ms taken out" in shown) is not raw
    events = json.loads(run(capsys, db_path, "export", TRACE, "--format", "chrome", *flags))["traceEvents"]
    spans = {e["name"]: (e["ts"], e["dur"]) for e in events if e["ph"] == "X"}
    t = 1700000000.0e6
    expected = ({"app.outer": (t, 10e3), "app.inner": (t + 1e3, 2e3), "app.work": (t, 5e3)} if raw else
                {"app.outer": (t, 6e3), "app.inner": (t + 0.5e3, 1e3), "app.work": (t - 1e3, 3e3)})
    assert spans == {name: pytest.approx(span, abs=0.5) for name, span in expected.items()}  # µs, at 1.7e15
    [exported] = json.loads(run(capsys, db_path, "export", TRACE, "--format", "json", *flags))["documents"]
    program = [r.get("program_time") for r in exported["frames"]["2"]]
    assert program == ([None, None] if raw else [pytest.approx(1699999999.999), pytest.approx(1700000000.002)])


@needs_engine
def test_an_asyncio_program_reads_per_task(project):
    project.write("tasks.py", (Path(__file__).parents[2] / "examples" / "async_tasks.py").read_text())
    project.run("run", "tasks.py", check=True)
    sections = thread_lines(project.run("show", "latest", "--tasks", check=True).stdout)
    tasks = {name: outline(lines) for name, lines in sections.items() if name.startswith("task ")}
    assert [(depth, name) for depth, name in tasks.pop("task worker-a") if not name.startswith("↻")] == [
        (1, "__main__.worker"), (2, "__main__.fetch"), (2, "__main__.fetch")]
    assert tasks == {"task Task-1": [(1, "__main__.main"), (1, "↻")],
                     "task worker-b": [(1, "__main__.worker"), (2, "__main__.fetch"), (1, "↻"), (2, "↻")]}
    [main_thread] = (lines for name, lines in sections.items() if name.startswith("MainThread"))
    assert [name for _, name in outline(main_thread)] == ["__main__.<module>", "•"]
    out = project.root / "tasks.json"
    project.run("export", "latest", "--format", "chrome", "-o", str(out), check=True)
    events = json.loads(out.read_text())["traceEvents"]
    tracks = {e["tid"]: e["args"]["name"] for e in events if e["ph"] == "M"}
    calls = {(tracks[e["tid"]], e["name"]) for e in events if e["ph"] == "X"}
    assert calls == {("MainThread", "__main__.<module>"), ("Task-1", "__main__.main"), ("worker-a", "__main__.worker"),
                     ("worker-a", "__main__.fetch"), ("worker-b", "__main__.worker"), ("worker-b", "__main__.fetch")}
    assert_properly_nested(events)


def test_a_cut_tree_keeps_the_way_to_each_exception_and_how_the_trace_ended(capsys, db_path):
    records = [frame("call", "m", "app.main", 1.0)]
    for n in range(300):  # far more lines than the cut keeps, before the failure
        records += [frame("call", f"t{n}", "app.tick", 1.0 + n / 1000), frame("return", f"t{n}", "app.tick", 1.0 + n / 1000)]
    closed = {"type": "GeneratorExit", "message": "", "line": 3}  # a generator closed early ended as it should
    records += [frame("call", "g", "app.numbers", 1.5), frame("unwind", "g", "app.numbers", 1.6, arg=closed)]
    for depth, name in enumerate(("app.handle", "app.validate", "app.check")):
        records.append(frame("call", f"x{depth}", name, 2.0 + depth))
    records += [frame("unwind", f"x{depth}", name, 3.0) for depth, name in reversed(list(enumerate(
        ("app.handle", "app.validate", "app.check"))))]
    records += [frame("unwind", "m", "app.main", 3.0)]
    traceback = [[record["path"], record["co_name"]] for record in records if record["event"] == "unwind"][::-1]
    ending = plugin("program_exit", 3.1, status=1, error="ValueError: bad", traceback=traceback)
    save(db_path, [document({MAIN_ID: records + [ending]})])
    lines = thread_lines(run(capsys, db_path, "show", TRACE, "--limit", "20"))["MainThread (1)"]
    kept = [(depth, name) for depth, name in outline_names(lines) if not name.startswith(("app.tick", "…"))]
    assert kept == [(1, "app.main"), (2, "app.handle"), (3, "app.validate"), (4, "app.check"), (1, "• exit status 1, raised ValueError: bad")]
    assert all("raised ValueError: bad" in line for line in lines if line.lstrip().startswith("app.check"))
    assert len(lines) < 30


@pytest.mark.parametrize(("option", "value", "error"), [
    ("--frame", "frm_nosuch", "no call with frame id 'frm_nosuch' in trace"),
    ("--thread", "nosuch", "no thread 'nosuch' in trace"),
])
def test_a_frame_or_thread_the_trace_lacks_is_an_error_found_in_the_index(capsys, monkeypatch, db_path, option,
                                                                         value, error):
    from vesk.reading.records import RecordStream
    from vesk.serve import index, store

    nested_trace(db_path)
    assert main(["show", TRACE, option, value, "--db", db_path]) == 1
    assert f"no records match {option} {value}" in capsys.readouterr().err  # found by reading the trace
    traces = open_store(db_path)
    store.make_private_directory(traces.cache_directory())
    store.make_private_directory(traces.cache_directory() + "/traces")
    index.build(traces, TRACE, store.index_path(traces, TRACE), index.Progress(0, 2))
    monkeypatch.setattr(RecordStream, "records", lambda *a, **k: pytest.fail("the trace was read"))
    assert main(["show", TRACE, option, value, "--db", db_path]) == 1
    shown = capsys.readouterr()
    assert shown.out == "" and error in shown.err and shown.err.count("\n") == 1
    assert main(["show", TRACE, "--thread", "worker", "--db", db_path, "--frame", "frm_nosuch"]) == 1


class Point:
    def __init__(self, x):
        self.x = x


@pytest.mark.parametrize("size, path", [(10, b"\xa6a.py:1"), (5000, b"\xa6a.py:1"), (10, b"\xa6\xff.py:1")])
def test_frame_records_read_for_the_tree_give_their_values_as_decoded_whole(size, path):
    values = {"arg": [Point(1), {(1, 2): Point("key is an object")}], "locals": {"p": Point("x" * size), "n": 3}}
    parts = {"path": None, "co_name": "f", "qualname": "f", "event": "call", "frame_id": "frm_1",
             "arg": None, "locals": None, "thread": "MainThread", "thread_native_id": 1, "timestamp": 1.5,
             "type": "frame", "user_code_call_site": {"call_frame_id": "frm_0", "line_number": 3}}
    encoded = {**{key: msgpack.packb(value) for key, value in parts.items()},
               **{key: serialize.dump_msgpack(value) for key, value in values.items()}, "path": path}
    data = b"\x8c" + b"".join(msgpack.packb(key) + encoded[key] for key in parts)  # a path that is no UTF-8 too
    whole = serialize.loads(data)
    for skipped, raw in [(frozenset(), frozenset({"arg", "locals"})), (frozenset({"locals"}), frozenset({"arg"})),
                         (records.LOCALS | {"arg"}, frozenset()), (records.LOCALS, frozenset())]:
        document = records.Document(b"\x91" + data, records.Decoding(skipped, raw), trailer=False)
        (record,) = document.records("MainThread")
        assert records.decode_raw(record, raw) == {key: value for key, value in whole.items() if key not in skipped}


def test_an_object_shows_its_own_fields_before_its_machinery():
    # A model instance recorded by an older version, its ORM state first: cut, it hid id and title.
    state = serialize.ObjectFields("django.db.models.base.ModelState", {"db": "default", "fields_cache": {}})
    book = serialize.ObjectFields("shelf.models.Book", {"_state": state, "id": 1, "title": "Dune", "_prefetched": {}})
    assert text.short(book, 40) == "Book(id=1, title='Dune', _state=ModelSt…"


@needs_engine
def test_a_trace_recorded_on_unsteady_estimates_or_kept_waiting_says_its_durations_may_be_off(capsys, monkeypatch,
                                                                                             db_path):
    import vesk
    from vesk import calibration, profiler
    from vesk.serve import index, store

    unsteady = "durations may be off: the recorder's cost could not be measured steadily"
    waiting = "durations may be off: the program waited for a processor 50% as long as it ran (a busy machine)"
    # (calibration unsteady, the thread's time on a processor and waiting for one when recording ends, said)
    cases = [(False, (100, 20), None), (True, (100, 20), unsteady), (False, (100, 50), waiting), (False, None, None)]
    for calibration_unsteady, at_end, said in cases:
        monkeypatch.setattr(calibration, "_estimates", dict.fromkeys(calibration.NAMES, 0.0))
        monkeypatch.setattr(calibration, "_unsteady", calibration_unsteady)
        monkeypatch.setattr(profiler, "scheduled", lambda: (0, 0))
        with vesk.profile(db_path=db_path) as recording:
            sorted([3, 1])
            monkeypatch.setattr(profiler, "scheduled", lambda: at_end)
        header = run(capsys, db_path, "show", recording.trace_id).split("\nthread ")[0]
        assert [line for line in header.splitlines() if line.startswith("durations may be off")] == ([said] if said else [])
        traces = open_store(db_path)
        for directory in (traces.cache_directory(), traces.cache_directory() + "/traces"):
            store.make_private_directory(directory)
        path = store.index_path(traces, recording.trace_id)
        index.build(traces, recording.trace_id, path, index.Progress(0, 1))
        assert index.TraceIndex(path, recording.trace_id, None, None).summary()["durations"] == said


def test_notes_that_durations_may_be_off_change_nothing_read_but_the_warning(capsys, tmp_path):
    from vesk.serve import index, store

    def task_step(t: float, step: str) -> dict:
        return plugin("task_step", t, task_name="job", task_id=1, step=step)

    quiet = [frame("call", "m", "app.main", 1.0), task_step(1.1, "start"), frame("call", "w", "app.work", 1.2),
             frame("return", "w", "app.work", 1.3, arg=1), task_step(1.4, "end"), frame("call", "x", "app.exit", 1.5)]
    # A busy machine's notes: at the start (calibration), inside an asyncio task's step, and past the last record.
    busy = [*quiet[:1], plugin("durations_unsteady", 1.05, reason="unsteady"), *quiet[1:3],
            plugin("durations_unsteady", 1.25, reason="kept waiting"), *quiet[3:], plugin("durations_unsteady", 9.0, reason="late")]

    def read(records: list) -> tuple:
        db_path = str(tmp_path / f"{len(records)}.sqlite3")
        save(db_path, [document({MAIN_ID: records})])
        shown = [run(capsys, db_path, "show", TRACE, *options) for options in ((), ("--tasks",), ("--limit", "2"))]
        traces = open_store(db_path)
        for directory in (traces.cache_directory(), traces.cache_directory() + "/traces"):
            store.make_private_directory(directory)
        path = store.index_path(traces, TRACE)
        index.build(traces, TRACE, path, index.Progress(0, 1))
        viewer = index.TraceIndex(path, TRACE, store.Documents(traces), None)
        def read_as(nodes: list) -> list:  # where a record lies in its document is no part of what is read
            return [{k: v for k, v in node.items() if "offset" not in k and "length" not in k} for node in nodes]

        summary, nodes, parents = viewer.summary(), [], [-1]
        while parents:
            found = viewer.children(parents.pop(), 0, 100)
            nodes += read_as(found)
            parents += [node["node"] for node in found]
        return shown, summary.pop("durations"), summary, nodes, read_as(viewer.search("a", 10)[0])

    quiet_shown, no_warning, *quiet_viewer = read(quiet)
    busy_shown, warning, *busy_viewer = read(busy)
    said = "durations may be off: late"
    assert [[line for line in shown.splitlines() if line != said] for shown in busy_shown] == [
        shown.splitlines() for shown in quiet_shown]
    assert all(said in shown.splitlines()[:4] for shown in busy_shown) and (no_warning, warning) == (None, said)
    assert busy_viewer == quiet_viewer
