"""Hostile programs: each runs with python and under `vesk run`, and must behave the same (output,
exit status, the program's own stderr) while its trace is saved, or one line says what became of it."""

from __future__ import annotations

import sys
import textwrap

import pytest
from hostile_support import NEVER_PRINTED, run, side_by_side, show, traces

from vesk import _vesk  # noqa: F401 - the corpus needs the engine

HEAVY_DAEMONS = """
    import threading, time
    def leaf(i, s):
        return i * 2 + len(s)
    def work():
        while True:
            for i in range(1000):
                leaf(i, "x" * 10)
    for _ in range(4):
        threading.Thread(target=work, daemon=True).start()
    time.sleep(0.5)
    print("main done")
"""
NO_CALL_LIMIT = "[limits]\ncalls_per_function = 0\n"
MONITORED = sys.version_info >= (3, 12)

# (id, program, what vesk's stderr or the trace must say: a text, or None for the usual save line)
PROGRAMS = [
    ("exit-0", "print('hi')", None),
    ("exit-3", "import sys\nprint('x')\nsys.exit(3)", None),
    ("exit-message", "import sys\nsys.exit('bad input')", None),
    ("exit-none", "raise SystemExit", None),
    ("exit-big", "import sys\nsys.exit(300)", None),
    ("exit-negative", "import sys\nsys.exit(-1)", None),
    ("uncaught", "def f():\n    raise ValueError('no')\nf()", None),
    ("uncaught-chained", "try:\n    1/0\nexcept Exception as e:\n    raise KeyError('k') from e", None),
    ("exception-group", "raise ExceptionGroup('many', [ValueError(1), TypeError(2)])", None),
    ("exception-note", "e = ValueError('v')\ne.add_note('a note')\nraise e", None),
    ("keyboard-interrupt", "raise KeyboardInterrupt", None),
    ("os-exit", "import os\nprint('bye', flush=True)\nos._exit(5)", None),
    ("atexit-order", "import atexit\natexit.register(print, 'first registered')\natexit.register(print, 'second')", None),
    ("atexit-raises", "import atexit\ndef bad():\n    raise RuntimeError('in atexit')\natexit.register(bad)", None),
    ("del-at-exit", "class A:\n    def __del__(self):\n        print('deleted')\na = A()", None),
    ("recursion-error", "import sys\nsys.setrecursionlimit(200)\ndef r(n):\n    return r(n + 1)\ntry:\n    r(0)\n"
     "except RecursionError:\n    print('deep')", None),
    ("deep-recursion", "import sys\nsys.setrecursionlimit(5000)\ndef r(n):\n    return 0 if n == 0 else 1 + r(n - 1)\n"
     "print(r(3000))", None),
    ("generators", "def g():\n    yield 1\n    yield 2\nprint(list(g()), sum(x for x in range(5)))", None),
    ("asyncio", "import asyncio\nasync def f(x):\n    await asyncio.sleep(0)\n    return x\n"
     "async def main():\n    return await asyncio.gather(f(1), f(2))\nprint(asyncio.run(main()))", None),
    ("repr-raises", "class Bad:\n    def __repr__(self):\n        raise RuntimeError('repr')\n"
     "def f(x):\n    return x\nf(Bad())\nprint('ok')", None),
    ("getattr-raises", "class Sly:\n    def __getattr__(self, name):\n        raise RuntimeError(name)\n"
     "    __slots__ = ()\ndef f(x):\n    return x\nf(Sly())\nprint('ok')", None),
    ("huge-local", "def f():\n    big = 'x' * 10_000_000\n    return len(big)\nprint(f())", None),
    ("secret-local", "def login(password):\n    token = 'ghp_' + 'a' * 36\n    return len(password) + len(token)\n"
     "print(login('hunter2'))", None),
    ("unicode-output", "print('naïve ☃ 𝔘')", None),
    ("argv", "import sys\nprint(sys.argv[1:])", None),
    ("main-module", "import sys\nprint(__name__, __file__.endswith('program.py'), sys.path[0] != '')", None),
    ("module-frame-first", "import sys, warnings, traceback\nprint(sys._getframe().f_back, len(traceback.extract_stack()))"
     "\nwarnings.warn('from the top', stacklevel=2)\ndef f():\n    warnings.warn('two up', stacklevel=3)\nf()", None),
    ("settrace", "import sys\nseen = []\nsys.settrace(lambda f, e, a: seen.append(e))\ndef f():\n    pass\nf()\n"
     "sys.settrace(None)\nprint('call' in seen)", None),
    ("getprofile-round-trip", "import sys\ndef before():\n    pass\ndef after():\n    pass\nbefore()\n"
     "old = sys.getprofile()\nsys.setprofile(old)\nafter()\nprint(sys.getprofile() is old)", "after()"),
    # On 3.12+ vesk records through sys.monitoring, beside any profile function: recording goes on.
    ("setprofile-none", "import sys\ndef after():\n    pass\nsys.setprofile(None)\nafter()\nprint(sys.getprofile())",
     "after()" if MONITORED else "recording of thread MainThread ended at program.py:4"),
    ("setprofile-own", "import sys\ncalls = []\ndef mine(frame, event, arg):\n    calls.append(event)\n"
     "def f():\n    pass\nsys.setprofile(mine)\nf()\nsys.setprofile(None)\nprint('call' in calls)",
     "f()" if MONITORED else "recording of thread MainThread ended at program.py:7"),
    ("cprofile", "import cProfile, pstats\ndef inside():\n    return sum(range(10))\npr = cProfile.Profile()\n"
     "pr.enable()\ninside()\npr.disable()\nprint(any(k[2] == 'inside' for k in pstats.Stats(pr).stats))",
     "inside()" if MONITORED else "the program replaced the profile function"),
    ("cprofile-run", "import cProfile\ndef inside():\n    return 1\ncProfile.run('inside()', 'prof.out')\nprint('ran')",
     "inside()" if MONITORED else "the program replaced the profile function"),
    ("threads-join", "import threading\nout = []\ndef w(i):\n    out.append(i * i)\nts = [threading.Thread(target=w, "
     "args=(i,)) for i in range(8)]\n[t.start() for t in ts]\n[t.join() for t in ts]\nprint(sorted(out))", None),
    ("thread-excepthook", "import threading\ndef bad():\n    raise ValueError('in thread')\nt = threading.Thread("
     "target=bad)\nt.start()\nt.join()\nprint('after')", None),
    ("sys-exit-in-thread", "import sys, threading\nt = threading.Thread(target=sys.exit, args=(4,))\nt.start()\n"
     "t.join()\nprint('still here')", None),
    ("daemon-sleeping", "import threading, time\nthreading.Thread(target=time.sleep, args=(30,), daemon=True)"
     ".start()\nprint('leaving')", None),
    ("sigterm-self", "import os, signal, time\ndef f():\n    return 1\nf()\nprint('before', flush=True)\n"
     "os.kill(os.getpid(), signal.SIGTERM)\ntime.sleep(5)\nprint('not reached')", "ended by SIGTERM"),
    ("sigterm-own-handler", "import os, signal, sys\nsignal.signal(signal.SIGTERM, lambda *a: sys.exit(7))\n"
     "os.kill(os.getpid(), signal.SIGTERM)\nimport time\ntime.sleep(5)", None),
    ("sigint-self", "import os, signal, time\nos.kill(os.getpid(), signal.SIGINT)\ntime.sleep(5)", None),
    ("sigint-handled", "import os, signal, time\nsignal.signal(signal.SIGINT, lambda *a: print('caught'))\n"
     "os.kill(os.getpid(), signal.SIGINT)\ntime.sleep(0.1)\nprint('on')", None),
    ("execv-python", "import os, sys\ndef before():\n    return 42\nbefore()\nprint('exec now', flush=True)\n"
     "os.execv(sys.executable, [sys.executable, '-c', 'print(\"new program\")'])", "before()"),
    ("execl-missing", "import os\ntry:\n    os.execl('/nonexistent/program', 'x')\nexcept OSError as e:\n"
     "    print(type(e).__name__)\ndef later():\n    pass\nlater()", "later()"),
    ("execvp-path", "import os, sys\nos.environ['PATH'] = '/nonexistent:' + os.path.dirname(sys.executable)\n"
     "sys.stdout.flush()\nos.execvp(os.path.basename(sys.executable), ['py', '-c', 'print(3)'])", None),
    ("fork-wait", "import os\ndef child():\n    return 1\npid = os.fork()\nif pid == 0:\n    child()\n    os._exit(0)\n"
     "_, status = os.waitpid(pid, 0)\nprint(os.waitstatus_to_exitcode(status))", None),
    ("subprocess", "import subprocess, sys\nprint(subprocess.run([sys.executable, '-c', 'print(7)'], "
     "capture_output=True, text=True).stdout.strip())", None),
    ("pool-fork", "import multiprocessing as mp\ndef sq(x):\n    return x * x\nif __name__ == '__main__':\n"
     "    with mp.get_context('fork').Pool(2) as p:\n        print(sum(p.map(sq, range(30), chunksize=1)))", None),
    ("warnings-error", "import warnings\nwarnings.simplefilter('error')\nimport json, email\nprint('imported')", None),
    ("chdir-away", "import os, tempfile\nos.chdir(tempfile.gettempdir())\ndef f():\n    pass\nf()\nprint('moved')", None),
    ("stdout-closed", "import sys, os\nprint('x')\nsys.stdout.flush()\nos.close(1)", None),
    ("builtins-patched", "import builtins\nbuiltins.print = lambda *a, **k: None\nprint('hidden')", None),
    ("modules-replaced", "import sys\nsys.modules['logging'] = None\ndef f():\n    return 2\nprint(f())", None),
    ("gc-callback", "import gc\ngc.callbacks.append(lambda phase, info: None)\ndef f():\n    return [[] for _ in "
     "range(1000)]\nfor _ in range(50):\n    f()\nprint('gc ok')", None),
    ("heavy-daemons-at-exit", HEAVY_DAEMONS, None),
]

# Programs whose trace needs a configuration of their own.
CONFIGS = {"heavy-daemons-at-exit": NO_CALL_LIMIT}
# Programs run several times: what they catch happens in some runs only.
REPEATS = {"heavy-daemons-at-exit": 6}


@pytest.mark.parametrize("name, source, said", PROGRAMS, ids=[case.values[0] if hasattr(case, "values") else case[0] for case in PROGRAMS])
def test_program_behaves_as_under_python_and_its_trace_is_saved(tmp_path, name, source, said):
    for attempt in range(REPEATS.get(name, 1)):
        root = tmp_path / str(attempt)
        root.mkdir()
        plain, recorded = side_by_side(root, source, "one", "two", config=CONFIGS.get(name, ""))
        assert (recorded.status, recorded.stdout) == (plain.status, plain.stdout), recorded.stderr
        assert recorded.program_stderr == plain.program_stderr
        assert not any(text in recorded.stderr for text in NEVER_PRINTED), recorded.stderr
        assert traces(root), recorded.stderr
        if said is not None:
            assert said in recorded.stderr or said in show(root), recorded.stderr


@pytest.mark.skipif(sys.platform != "linux", reason="fork, spawn and forkserver side by side")
@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_pool_workers_ended_by_their_pool_save_their_traces(tmp_path, method):
    source = f"""
        import multiprocessing as mp, time
        def square(x):
            time.sleep(0.01)
            return x * x
        if __name__ == "__main__":
            with mp.get_context("{method}").Pool(2) as pool:
                print(sum(pool.map(square, range(20), chunksize=1)))
    """
    plain, recorded = side_by_side(tmp_path, source, vesk_options=("--children",))
    assert (recorded.status, recorded.stdout) == (plain.status, plain.stdout), recorded.stderr
    shown = [show(tmp_path, trace) for trace in traces(tmp_path)]
    # A spawned worker's main module is "__mp_main__".
    assert sum(text.count("main__.square(x=") for text in shown) == 20


def test_a_child_that_missed_its_sigterm_is_ended_by_a_repeat_and_saved(tmp_path):
    # The worker takes the first SIGTERM itself, as a recorded child does when the signal lands just
    # before it blocks (vesk's handler runs between bytecodes). Plain python would hang here too: a
    # SIGTERM is never missed without a handler, so only the recorded run is checked.
    (tmp_path / "program.py").write_text(textwrap.dedent("""
        import multiprocessing as mp, signal, threading
        def worker(ready):
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGTERM})
            ready.set()
            signal.sigwait({signal.SIGTERM})
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGTERM})
            threading.Event().wait()
        if __name__ == "__main__":
            context = mp.get_context("fork")
            ready = context.Event()
            child = context.Process(target=worker, args=(ready,))
            child.start()
            ready.wait()
            child.terminate()
            child.join()
            print(child.exitcode)
    """))
    recorded = run(tmp_path, [sys.executable, "-m", "vesk", "run", "program.py"], timeout=60)
    assert (recorded.status, recorded.stdout) == (0, "-15\n"), recorded.stderr
    assert len(traces(tmp_path)) == 2
