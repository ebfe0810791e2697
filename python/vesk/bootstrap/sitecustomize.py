"""Put on the path of child processes by `vesk run --children`: records the child when the environment
says so (VESK_RECORD_CHILD), then runs the sitecustomize module this one stands in front of, if any.

It must cost nothing and break nothing: an interpreter that cannot import vesk runs unrecorded, and the
rest of the path is as it would be without it.
"""

import os
import sys


def _run_the_next_sitecustomize() -> None:
    this = sys.modules[__name__]
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:] = [entry for entry in sys.path if os.path.abspath(entry or os.curdir) != here]
    del sys.modules[__name__]
    try:
        import sitecustomize  # noqa: F401 - the one further along the path
    except ImportError as exc:
        if exc.name != "sitecustomize":
            raise  # its own failure, reported by site as python would
        sys.modules[__name__] = this  # there is none: the import that ran this file finds it done


def _record() -> None:
    settings = os.environ.get("VESK_RECORD_CHILD")
    if not settings:
        return
    try:
        from vesk import profiler
    except Exception:  # noqa: BLE001 - an interpreter without vesk, or one this vesk cannot run in
        return
    profiler.record_this_child(settings)


try:
    _run_the_next_sitecustomize()
finally:
    _record()
