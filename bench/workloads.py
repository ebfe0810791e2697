"""The programs the benchmark profiles.

Each workload is a function of one argument, the number of iterations, and returns a value so that
nothing is optimised away. The user-code functions live in this file on purpose: vesk records them
(the path is not inside an installed library), while the calls into json, textwrap, fractions and
statistics land in the standard library's pure-Python modules, which vesk drops.

`ITERATIONS` gives the iterations per workload and benchmark size. The sizes are chosen by event
count rather than by time: a recorder that runs Python code per event (the pure-Python reference)
is about a hundred times slower than the program itself, and each run must stay short.
"""

from __future__ import annotations

import json
import statistics
import textwrap
import threading
from fractions import Fraction

# --- library-heavy: almost every call inside the standard library ---------------------------------

_TEXT = (
    "The quick brown fox jumps over the lazy dog while the profiler watches every single call "
    "and return that the interpreter makes on its behalf."
)
_DOCUMENT = {"name": "widget", "sizes": [1, 2, 3], "price": 9.5, "tags": ["a", "b"], "nested": {"k": None}}


def library_heavy(iterations: int) -> int:
    total = 0
    for i in range(iterations):
        total += len(textwrap.wrap(_TEXT, width=30 + i % 7))
        total += len(json.dumps(_DOCUMENT))
        total += len(json.loads('{"a": [1, 2, 3], "b": "text"}'))
        total += (Fraction(i + 1, 3) + Fraction(1, 7)).numerator % 11
        total += int(statistics.mean([i, i + 1, i + 2, 4.5]))
        total += len(textwrap.dedent("    alpha\n    beta\n"))
    return total


# --- user-heavy: almost every call in this file, a few locals each --------------------------------


class Account:
    def __init__(self, owner: str, balance: int) -> None:
        self.owner = owner
        self.balance = balance

    def deposit(self, amount: int) -> int:
        fee = amount // 100
        self.balance += amount - fee
        return self.balance


def clamp(value: int, low: int, high: int) -> int:
    if value < low:
        return low
    return high if value > high else value


def score(word: str, weight: int) -> int:
    length = len(word)
    base = length * weight
    bonus = 3 if word.startswith("a") else 1
    return clamp(base + bonus, 0, 500)


def summarise(values: list, label: str) -> tuple:
    first = values[0]
    last = values[-1]
    spread = last - first
    return label, spread


_WORDS = ("apple", "kiwi", "banana", "avocado", "fig", "cherry")


def step(i: int, account: Account) -> int:
    word = _WORDS[i % len(_WORDS)]
    points = score(word, i % 5)
    balance = account.deposit(points)
    label, spread = summarise([points, balance, i], word)
    return spread + len(label)


def user_heavy(iterations: int) -> int:
    account = Account("ada", 100)
    total = 0
    for i in range(iterations):
        total += step(i, account)
    return total


# --- mixed: user functions that call into the standard library ------------------------------------


def parse_line(line: str) -> dict:
    fields = line.split(",")
    record = {"id": int(fields[0]), "text": fields[1]}
    return record


def render(record: dict, width: int) -> str:
    wrapped = textwrap.shorten(record["text"], width=width)
    encoded = json.dumps({"id": record["id"], "text": wrapped})
    return encoded


def ratio(record: dict) -> Fraction:
    value = Fraction(record["id"] + 1, 7)
    return value


def mixed(iterations: int) -> int:
    total = 0
    for i in range(iterations):
        record = parse_line(f"{i},{_TEXT}")
        total += len(render(record, 40 + i % 9))
        total += ratio(record).denominator
        total += clamp(i, 10, 90)
    return total


# --- deep recursion: depth in the hundreds --------------------------------------------------------

DEPTH = 300


def descend(depth: int, acc: int) -> int:
    if depth == 0:
        return acc
    doubled = acc * 2 % 1009
    return descend(depth - 1, doubled + depth)


def recursion(iterations: int) -> int:
    total = 0
    for i in range(iterations):
        total += descend(DEPTH, i)
    return total


# --- several threads ------------------------------------------------------------------------------

THREADS = 4


def _thread_body(iterations: int, results: list, index: int) -> None:
    account = Account(f"thread-{index}", 0)
    total = 0
    for i in range(iterations):
        total += step(i, account)
        if i % 4 == 0:
            total += len(json.dumps({"i": i, "owner": account.owner}))
    results[index] = total


def threads(iterations: int) -> int:
    results = [0] * THREADS
    workers = [
        threading.Thread(target=_thread_body, args=(iterations // THREADS, results, index), name=f"worker-{index}")
        for index in range(THREADS)
    ]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return sum(results)


# --- exceptions caught, generators closed early: every other call ends by an exception -------------


class Invalid(ValueError):
    pass


def checked(value: int) -> int:
    if value % 2:
        raise Invalid(f"odd value: {value}")
    return value


def evens(values: range):
    for value in values:
        yield checked(value)


def exceptions(iterations: int) -> int:
    total = 0
    for i in range(iterations):
        try:
            total += checked(i)
        except Invalid:
            total -= 1
        total += any(value > 2 for value in evens(range(0, 8, 2)))  # closes two generators
    return total


WORKLOADS = {
    "library-heavy": library_heavy,
    "user-heavy": user_heavy,
    "mixed": mixed,
    "recursion": recursion,
    "threads": threads,
    "exceptions": exceptions,
}

# Iterations per size, chosen for about 15k, 100k and 150k call-or-return events (the library-heavy
# workload, whose frames are nearly all dropped and cheap to profile, two to four times that). The
# pure-Python reference needs 10 to 30 us per recorded event, which bounds the sizes.
ITERATIONS = {
    "tiny": {"library-heavy": 300, "user-heavy": 1_500, "mixed": 500, "recursion": 25, "threads": 1_300,
             "exceptions": 1_000},
    "small": {"library-heavy": 2_400, "user-heavy": 10_000, "mixed": 3_000, "recursion": 170, "threads": 8_600,
              "exceptions": 6_000},
    "full": {"library-heavy": 4_800, "user-heavy": 15_000, "mixed": 4_500, "recursion": 250, "threads": 13_000,
             "exceptions": 9_000},
}
