"""Nanoseconds per call of the value serialiser on typical local-variable dicts.

The engine calls the serialiser twice for every recorded event (argument or return value, then the
locals), so these numbers are a floor for the cost of recording one call.

    PYTHONPATH=python .venv/bin/python bench/serialize_bench.py
"""

from __future__ import annotations

import sys
import time


class Point:
    def __init__(self, x, y):
        self.x = x
        self.y = y

    def __repr__(self):
        return f"Point({self.x}, {self.y})"


class Plain:
    pass


def cases():
    point = Point(1, 2)
    yield "empty locals", {}
    yield "None (a call's argument)", None
    yield "3 scalars", {"a": 1, "b": "hello", "c": 2.5}
    yield "8 mixed plain", {
        "user_id": 42,
        "name": "alice",
        "ratio": 0.25,
        "flags": [1, 2, 3],
        "opts": {"verbose": True, "depth": 3},
        "pair": (1, "x"),
        "missing": None,
        "blob": b"\x00\x01",
    }
    yield "method: self + 2 args", {"self": Plain(), "x": 1, "y": "two"}
    yield "object with repr", {"point": point, "n": 3}
    yield "secret name", {"username": "bob", "password": "hunter2"}
    yield "long string (cut)", {"text": "x" * 10_000}
    yield "list of 1000 ints", {"values": list(range(1000))}
    yield "dict of 20 short strings", {f"key{i}": f"value{i}" for i in range(20)}


def measure(function, value, rounds=5, calls=2000):
    """The best of a few rounds: the least disturbed by other work on the machine."""
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(calls):
            function(value)
        best = min(best, (time.perf_counter() - start) / calls * 1e9)
    return best


def main():
    from vesk import serialize

    width = max(len(name) for name, _ in cases())
    print(f"{'case':<{width}}  {'dump_msgpack':>14}  {'lightweight':>14}  bytes")
    for name, value in cases():
        full = measure(serialize.dump_msgpack, value)
        light = measure(serialize.dump_msgpack_lightweight_repr, value)
        size = len(serialize.dump_msgpack(value))
        print(f"{name:<{width}}  {full:>11.0f} ns  {light:>11.0f} ns  {size}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
