"""Profiled worker threads call functions as fast as they can while other threads build traces, save
them through the host, and cut the recording into per-test traces with "start_test"/"end_test" plugin
records. Afterwards every record must sit in exactly one document, or have been discarded by a
"start_test", and each thread's records must keep their call order.

How a missing record is told apart from a lost one: every "start_test" switches to a new trace id, so
the documents of one test share a trace id. Numbering the tests in order (the toggler's own call
records say which trace id each test got), a worker's records must run, in its call order, through
non-decreasing test numbers; a gap in its records is a discard only where the test number goes up
across it. Usage: thread_stress.py WORKERS CALLS"""

import faulthandler
import json
import sys
import threading
import time

import msgpack

from harness import FakeHost, Host, stop_profiling
from vesk import _vesk

WORKERS = int(sys.argv[1])
CALLS = int(sys.argv[2])
INITIAL_TRACE_ID = "trc_01ARZ3NDEKTSV4RRFFQ69G5FAV"
faulthandler.dump_traceback_later(100, exit=True)


def work(index, sequence):
    return sequence


def begin_test(number):
    return number


def finish_test(number):
    return number


def plugin(co_name, **fields):
    return {"co_names": [co_name], "path_fragment": "thread_stress.py", "call_type": "other",
            "return_type": "other", **fields}


fake = FakeHost([plugin("begin_test", call_type="start_test", events=["call"]),
                 plugin("finish_test", return_type="end_test", events=["return"])])
documents = []


def slow_save(db_path, trace_id, timeout, msgpack):
    time.sleep(0.0005)  # the database takes its time; other threads run meanwhile
    documents.append(msgpack)


fake.db.save_trace_in_sqlite = slow_save
fake.install()
host = Host(config={"threading": True}, one_trace_per_test=True, trace_id=INITIAL_TRACE_ID)
_vesk.register_profiler(host)
profiler = host.rust_profiler
workers_done = threading.Event()
tests_run = 0


def worker(index):
    for sequence in range(CALLS):
        work(index, sequence)


def builder():
    while not workers_done.is_set():
        documents.append(profiler.build_trace())
        time.sleep(0.0005)


def saver():
    while not workers_done.is_set():
        profiler.save_request_in_db()
        time.sleep(0.0005)


def toggler():
    global tests_run
    while not workers_done.is_set():
        tests_run += 1
        begin_test(tests_run)
        work(-1, tests_run)
        finish_test(tests_run)
        time.sleep(0.002)


started = time.perf_counter()
helpers = [threading.Thread(target=target) for target in (builder, saver, toggler)]
workers = [threading.Thread(target=worker, args=(index,)) for index in range(WORKERS)]
for thread in helpers + workers:
    thread.start()
for thread in workers:
    thread.join()
workers_done.set()
for thread in helpers:
    thread.join()
stop_profiling()
documents.append(profiler.build_trace())
wall = time.perf_counter() - started

# Which test each trace id belongs to.
decoded = [msgpack.unpackb(document, strict_map_key=False) for document in documents]
test_of = {INITIAL_TRACE_ID: 0}
problems = []
for document in decoded:
    for records in document["frames"].values():
        for record in records:
            if record.get("co_name") == "begin_test" and record["event"] == "call":
                test_of[document["trace_id"]] = record["locals"]["number"]
unnumbered = {document["trace_id"] for document in decoded} - set(test_of)
if unnumbered:
    problems.append(f"documents under trace ids no test started: {sorted(unnumbered)[:3]}")

# Where each worker record went: (test number, document number, position in the document).
EVENTS = ("call", "return")
placed = {}
records_seen = 0
for number, document in enumerate(decoded):
    records_seen += len(document["frames_of_interest"])
    for records in document["frames"].values():
        records_seen += len(records)
        for position, record in enumerate(records):
            if record.get("co_name") != "work" or record["locals"]["index"] < 0:
                continue
            key = (record["locals"]["index"], record["locals"]["sequence"] * 2 + EVENTS.index(record["event"]))
            if key in placed:
                problems.append(f"record {key} filed twice")
            placed[key] = (test_of.get(document["trace_id"], -1), number, position)

discarded = 0
for index in range(WORKERS):
    steps = [(step, placed.get((index, step))) for step in range(2 * CALLS)]
    present = [(step, where) for step, where in steps if where is not None]
    discarded += len(steps) - len(present)
    if not present:
        if tests_run == 0:
            problems.append(f"worker {index}: every record missing, with no test started")
        continue
    if present[-1][0] != 2 * CALLS - 1 and present[-1][1][0] == tests_run:
        problems.append(f"worker {index}: its last records are missing, with no test started after them")
    if present[0][0] > 0 and present[0][1][0] == 0:
        problems.append(f"worker {index}: its first records are missing, with no test started before them")
    closed = set()  # documents this worker's records have moved on from
    for (step, (test, document, position)), (next_step, (next_test, next_document, next_position)) in zip(
            present, present[1:]):
        if next_test < test:
            problems.append(f"worker {index}: step {next_step} in an earlier test than step {step}")
        elif next_step > step + 1 and next_test == test:
            problems.append(f"worker {index}: steps {step + 1}..{next_step - 1} lost within test {test}")
        if next_document == document:
            if next_position <= position:
                problems.append(f"worker {index}: steps {step} and {next_step} out of order")
        else:
            closed.add(document)
            if next_document in closed:
                problems.append(f"worker {index}: document {next_document} holds steps on both sides of others")
    if len(problems) > 20:
        break

print(json.dumps({"workers": WORKERS, "events": 2 * WORKERS * CALLS, "discarded": discarded,
                  "documents": len(documents), "tests": tests_run, "records": records_seen,
                  "seconds": round(wall, 2), "problems": problems[:20]}))
