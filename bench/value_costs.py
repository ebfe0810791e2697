"""Instructions per recorded call (its call and return records) for a few kinds of argument, under
callgrind, for one or more builds side by side: a 1,000-character plain text, the same length of
SQL-like text full of "=", an int, and objects with __slots__, as a dataclass and plain.

    .venv/bin/python bench/value_costs.py                        # the installed package
    .venv/bin/python bench/value_costs.py SITE[,SITE...] [CASE...]  # PYTHONPATH of each build

Each figure is the difference of two runs (N and 2N calls) over the same difference without the
profiler, so start-up and import costs cancel out; counts are steady under load, unlike times.
"""

from __future__ import annotations

import dataclasses
import os
import re
import subprocess
import sys

BENCH = os.path.dirname(os.path.abspath(__file__))
CALLS = 2000


class Slots:
    __slots__ = ("x", "y", "z")

    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z


@dataclasses.dataclass
class Vector:
    x: float
    y: float
    z: float


class Plain:
    def __init__(self, x, y, z):
        self.x, self.y, self.z = x, y, z


def called(value):
    return None


SQL = ("SELECT * FROM t WHERE " + " AND ".join(f"c{i}=v{i}" for i in range(200)))[:1000]
CASES = {
    "1000 a": "a" * 1000,
    "1000 sql =": SQL,
    "int": 7,
    "slots": Slots(1.0, 2.0, 3.0),
    "dataclass": Vector(1.0, 2.0, 3.0),
    "plain": Plain(1.0, 2.0, 3.0),
}


def child(case: str, calls: int, profiled: bool) -> None:
    sys.path.insert(0, BENCH)
    import measure
    from vesk import _vesk

    measure._preload_host()
    host = measure.Host({})
    value = CASES[case]
    if profiled:
        _vesk.register_profiler(host)
    for _ in range(calls):
        called(value)
    if profiled:
        _vesk.register_noop_profiler()
        sys.setprofile(None)


def collected(site: str | None, case: str, calls: int, profiled: bool) -> int:
    env = dict(os.environ, PYTHONHASHSEED="0")
    if site:
        env["PYTHONPATH"] = site
    done = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, __file__, "--child", case,
         str(calls), str(int(profiled))],
        check=True, capture_output=True, text=True, env=env,
    )
    return int(re.search(r"Collected : (\d+)", done.stderr).group(1))


def per_call(site: str | None, case: str) -> float:
    def extra(profiled: bool) -> int:
        return collected(site, case, 2 * CALLS, profiled) - collected(site, case, CALLS, profiled)

    return (extra(True) - extra(False)) / CALLS


def main(argv: list[str]) -> None:
    if argv[:1] == ["--child"]:
        child(argv[1], int(argv[2]), argv[3] == "1")
        return
    sites = argv[0].split(",") if argv else [None]
    cases = argv[1:] or list(CASES)
    print(f"{'case':12}" + "".join(f"{site or 'installed':>24}" for site in sites))
    for case in cases:
        print(f"{case:12}" + "".join(f"{per_call(site, case):24,.0f}" for site in sites), flush=True)


if __name__ == "__main__":
    main(sys.argv[1:])
