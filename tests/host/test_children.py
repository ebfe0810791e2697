"""Child processes of a recorded program: each records a trace of its own, linked to its parent's."""

from __future__ import annotations

import os

import pytest
from host_support import needs_engine, subprocess_env
from test_cli import frame_records, saved_trace

from vesk.storage import open_store

pytestmark = needs_engine


def calls(project, trace_id: str) -> list[tuple[str, object]]:
    records = frame_records(project, trace_id)
    return [(r["co_name"], r["locals"]["x"]) for r in records if r["event"] == "call" and "x" in r["locals"]]


def test_a_forked_child_records_its_own_trace_and_the_parents_records_are_saved_once(project):
    # Every process here ends through os._exit but one: its trace is saved all the same.
    project.write(
        "forks.py",
        """
        import os, sys

        def parent_work(x):
            return x

        def child_work(x):
            return x

        parent_work(1)
        for ending in ("os._exit", "sys.exit"):
            pid = os.fork()
            if pid == 0:
                child_work(ending)
                os._exit(0) if ending == "os._exit" else sys.exit(0)
            os.waitpid(pid, 0)
        parent_work(2)
        os._exit(0)
        """,
    )
    done = project.run("run", "forks.py", check=True)
    assert done.stderr == ""
    (parent,) = [s.trace_id for s in open_store(str(project.db)).list_traces() if s.parent_trace_id is None]
    assert calls(project, parent) == [("parent_work", 1), ("parent_work", 2)]
    children = open_store(str(project.db)).child_traces(parent)
    assert [calls(project, child) for child in children] == [[("child_work", "os._exit")], [("child_work", "sys.exit")]]
    assert {open_store(str(project.db)).trace_summary(child).parent_trace_id for child in children} == {parent}


@pytest.mark.parametrize("method", ["fork", "spawn", "forkserver"])
def test_multiprocessing_children_record_traces_linked_to_the_parents(project, method):
    project.write(
        "pool.py",
        f"""
        import multiprocessing

        def square(x):
            return x * x

        if __name__ == "__main__":
            context = multiprocessing.get_context({method!r})
            process = context.Process(target=square, args=(3,))
            process.start()
            process.join()
            with context.Pool(2) as pool:
                print(pool.apply(square, (4,)))
                pool.close()
                pool.join()
        """,
    )
    done = project.run("run", "--children", "pool.py", check=True)
    assert done.stdout == "16\n"
    parent = saved_trace(done)[0]
    children = open_store(str(project.db)).child_traces(parent)
    assert len(children) == 3  # the process and the pool's two workers
    assert sorted(call for child in children for call in calls(project, child)) == [("square", 3), ("square", 4)]

    listing = project.run("traces", check=True).stdout.splitlines()[1:]
    assert listing[0].startswith(parent) and sorted(line.split()[0] for line in listing[1:]) == sorted(children)
    assert all(line.startswith("  trc_") for line in listing[1:])
    assert f"child process of trace {parent}" in project.run("show", children[0], check=True).stdout
    assert ", ".join(children) in project.run("show", parent, check=True).stdout


def test_a_python_subprocess_is_recorded_and_its_own_sitecustomize_still_runs(project):
    project.write("own_site/sitecustomize.py", "import builtins\nbuiltins.SITE_RAN = True\n")
    project.write(
        "kid.py",
        """
        import builtins, sys

        def report(x):
            return x

        print(report(getattr(builtins, "SITE_RAN", False)), any("bootstrap" in entry for entry in sys.path))
        """,
    )
    project.write("parent.py", "import subprocess, sys\nsubprocess.run([sys.executable, 'kid.py'], check=True)\n")
    pythonpath = f"{project.root / 'own_site'}{os.pathsep}{subprocess_env()['PYTHONPATH']}"
    done = project.run("run", "--children", "parent.py", check=True, PYTHONPATH=pythonpath)
    assert done.stdout == "True False\n"
    (child,) = open_store(str(project.db)).child_traces(saved_trace(done)[0])
    assert calls(project, child) == [("report", True)]
