"""Nanoseconds per call of the value serialiser on typical local-variable dicts, Python and native.

The engine calls the serialiser twice for every recorded event (argument or return value, then the
locals), so these numbers are a floor for the cost of recording one call. "python" is the pure-Python
serialiser, "native" the engine's vesk._vesk.serializer (the one in use when it is built); both write the
same bytes, which the benchmark checks. Time it in a Release build:

    .venv/bin/python bench/serialize_bench.py                      # the installed package
    PYTHONPATH=build/<release build>/site .venv/bin/python bench/serialize_bench.py
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

    variants = [
        ("full", serialize._dump_msgpack_python, serialize._native and serialize._native.dump_msgpack),
        (
            "light",
            serialize._dump_msgpack_lightweight_repr_python,
            serialize._native and serialize._native.dump_msgpack_lightweight_repr,
        ),
    ]
    if serialize._native is None:
        print("vesk._vesk is not built: Python figures only")
    width = max(len(name) for name, _ in cases())
    header = "".join(f"  {f'{variant} python':>13}  {f'{variant} native':>13}  {'x':>5}" for variant, _, _ in variants)
    print(f"{'case':<{width}}{header}  bytes")
    for name, value in cases():
        row = ""
        for _, python, native in variants:
            python_ns = measure(python, value)
            if native is None:
                row += f"  {python_ns:>10.0f} ns  {'-':>13}  {'-':>5}"
                continue
            if native(value) != python(value):
                raise SystemExit(f"{name}: the native serialiser wrote other bytes than the Python one")
            native_ns = measure(native, value)
            row += f"  {python_ns:>10.0f} ns  {native_ns:>10.0f} ns  {python_ns / native_ns:>4.1f}x"
        print(f"{name:<{width}}{row}  {len(serialize.dump_msgpack(value))}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
