"""Two traces' calls side by side: function, arguments and value of each call, in order, and the
first call where they differ. Both sequences are read from the indexes as they are compared."""

from __future__ import annotations

import itertools
import re
from typing import Iterator

from vesk.serve.index import TraceIndex

# Objects shown by type and identity differ from run to run by their address alone.
_ADDRESS = re.compile(r"\b0x[0-9a-fA-F]+\b")

Call = tuple  # (function, arguments, value)


def comparable(call: Call) -> Call:
    return tuple(_ADDRESS.sub("0x…", part) for part in call)


def differ(a: Call | None, b: Call | None) -> bool:
    return a is None or b is None or (a != b and comparable(a) != comparable(b))


def first_difference(first: Iterator[Call], second: Iterator[Call]) -> int | None:
    """The position of the first call that differs (or that one sequence lacks); None when equal."""
    for position, (a, b) in enumerate(itertools.zip_longest(first, second)):
        if differ(a, b):
            return position
    return None


def _call_json(call: Call | None) -> dict | None:
    return None if call is None else {"name": call[0], "args": call[1], "ret": call[2]}


def compare(first: TraceIndex, second: TraceIndex, offset: int | None, limit: int) -> dict:
    """The first difference and `limit` rows of both sequences from `offset` (by default, a few
    calls before the first difference)."""
    difference = first_difference(first.calls_in_order(), second.calls_in_order())
    if offset is None:
        offset = max(0, (difference or 0) - 10)
    pairs = itertools.islice(itertools.zip_longest(first.calls_in_order(), second.calls_in_order()), offset,
                             offset + limit)
    rows = [
        {"index": offset + n, "a": _call_json(a), "b": _call_json(b),
         "differs": differ(a, b)}
        for n, (a, b) in enumerate(pairs)
    ]
    return {
        "first_difference": difference,
        "offset": offset,
        "rows": rows,
        "calls": [first.call_count(), second.call_count()],
    }
