"""Forks, several times, while other threads are recording. Each child must go on recording (nothing
inherited from a thread that does not exist in it may block it), compute what an unprofiled run
computes, and mint frame ids of its own: the id generator is reseeded in the child, so the random
part of its ids never repeats the parent's."""

import faulthandler
import json
import os
import signal
import sys
import threading
import time

import workload
from harness import SANITIZED, FakeHost, Host, decode, stop_profiling
from vesk import _vesk

FORKS = int(sys.argv[1]) if len(sys.argv) > 1 else 5
CHILD_DEADLINE = 20.0
# The sanitizer runtime of this compiler does not take its allocator's locks around fork(): a child
# forked while another thread allocates can wait forever for a lock of the runtime itself. Under the
# sanitizers the other threads are therefore parked (idle, not exited) while the process forks.
PARK_FOR_FORK = SANITIZED

expected = workload.run(cases=1)
FakeHost().install()
host = Host(config={"threading": True})
_vesk.register_profiler(host)
profiler = host.rust_profiler
stop = threading.Event()
running = threading.Event()
running.set()
parked = threading.Semaphore(0)


def busy():
    while not stop.is_set():
        if not running.is_set():
            parked.release()
            running.wait()
        workload.fibonacci(6)


def park_threads(count):
    running.clear()
    for _ in range(count):
        parked.acquire()
    time.sleep(0.05)  # until each is blocked in its wait


def random_parts(document):
    """The random part (last 16 characters) of every frame id of the main thread's records, with the
    function's name."""
    return [(r["frame_id"][-16:], r["co_name"]) for r in decode(document)["frames_of_interest"]
            if r.get("frame_id")]


def child(write):
    signal.alarm(int(CHILD_DEADLINE))  # a hung child must not outlive the test
    try:
        result = workload.run(cases=1)
        payload = {"same_result": result == expected, "ids": random_parts(profiler.build_trace())}
    except BaseException as error:  # reported to the parent, whatever it is
        payload = {"error": repr(error)}
    os.write(write, json.dumps(payload).encode())
    os.close(write)
    stop_profiling()
    sys.exit(0)  # a normal exit, with the engine's exit hook


def wait_for(pid):
    deadline = time.monotonic() + CHILD_DEADLINE
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None


threads = [threading.Thread(target=busy, daemon=True) for _ in range(3)]
for thread in threads:
    thread.start()
time.sleep(0.05)
failures = []
for attempt in range(FORKS):
    workload.fibonacci(8)  # this thread's generator has been seeded before the fork
    # The watchdog's thread would not exist in the child, whose exit would then wait for it.
    faulthandler.cancel_dump_traceback_later()
    if PARK_FOR_FORK:
        park_threads(len(threads))
    profiler.build_trace()  # the main buffer now holds only what comes after the fork
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read)
        child(write)
    running.set()
    faulthandler.dump_traceback_later(CHILD_DEADLINE * 2, exit=True)
    os.close(write)
    parent_result = workload.run(cases=1)
    parent_ids = random_parts(profiler.build_trace())
    with os.fdopen(read) as pipe:
        payload = json.loads(pipe.read() or '{"error": "child wrote nothing"}')
    started = time.monotonic()
    code = wait_for(pid)
    exit_seconds = time.monotonic() - started
    if code is None:
        failures.append(f"fork {attempt}: the child hung")
        break
    elif code != 0:
        failures.append(f"fork {attempt}: the child exited with {code}")
    if "error" in payload:
        failures.append(f"fork {attempt}: {payload['error']}")
        continue
    if not (payload["same_result"] and parent_result == expected):
        failures.append(f"fork {attempt}: results differ from an unprofiled run")
    if not payload["ids"] or not parent_ids:
        failures.append(f"fork {attempt}: nothing recorded ({len(payload['ids'])}, {len(parent_ids)})")
    shared = {part for part, _ in payload["ids"]} & {part for part, _ in parent_ids}
    if shared:
        names = sorted({name for part, name in parent_ids if part in shared})
        failures.append(f"fork {attempt}: {len(shared)} frame ids repeat the parent's random parts ({names})")
    # A child that waits for its parent's threads sits out the engine's whole 2 s bound at exit; a
    # sanitizer build on a busy machine takes over a second just to end.
    if exit_seconds > 1.8:
        failures.append(f"fork {attempt}: the child took {exit_seconds:.1f}s to exit")

stop.set()
for thread in threads:
    thread.join()
stop_profiling()
if failures:
    print("\n".join(failures))
    sys.exit(1)
print(f"fork ok: {FORKS} forks")
