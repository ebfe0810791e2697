"""Two traces' calls side by side, aligned as sequences, and the first row where they differ.

Calls are aligned by their place in the tree (thread, depth) and their function, so that a call one
trace makes and the other does not shows as a gap on one side instead of shifting every later call;
an aligned pair differs when its arguments or value differ. Only the first `ALIGNED` calls of each
trace are aligned (the page says so): an identical stretch is matched in one linear pass, and the
rest a window of `WINDOW` calls at a time, which bounds the quadratic worst case of a sequence
matcher on a loop's repeated calls.
"""

from __future__ import annotations

import difflib
import itertools
import re

from vesk.serve.index import TraceIndex

ALIGNED = 10_000
WINDOW = 1_000

# Objects shown by type and identity differ from run to run by their address alone.
_ADDRESS = re.compile(r"\b0x[0-9a-fA-F]+\b")

Call = tuple  # (thread rank, depth, function, path, arguments, value, duration)
Pair = tuple  # (position in the first trace or None, position in the second or None)


def _key(call: Call) -> tuple:
    return call[:4]


def _shown(call: Call) -> tuple:
    return tuple(_ADDRESS.sub("0x…", part) for part in call[4:6])


def differ(a: Call | None, b: Call | None) -> bool:
    """Whether two aligned calls differ in what they were given or gave back (their times always do)."""
    return a is None or b is None or _key(a) != _key(b) or (a[4:6] != b[4:6] and _shown(a) != _shown(b))


def align(first: list, second: list) -> list[Pair]:
    """Pairs of positions of equal items of the two sequences, in order, with None against an item
    the other sequence lacks (two differing stretches are paired item by item)."""
    pairs: list[Pair] = []
    i = j = 0
    while i < len(first) and j < len(second):
        same = _common_prefix(first, second, i, j)
        pairs.extend(zip(range(i, i + same), range(j, j + same)))
        i, j = i + same, j + same
        if i < len(first) and j < len(second):
            i, j = _align_window(first, second, i, j, pairs)
    pairs.extend(itertools.zip_longest(range(i, len(first)), range(j, len(second))))
    return pairs


def _common_prefix(first: list, second: list, i: int, j: int) -> int:
    same = 0
    for a, b in zip(itertools.islice(first, i, None), itertools.islice(second, j, None)):
        if a != b:
            break
        same += 1
    return same


def _align_window(first: list, second: list, i: int, j: int, pairs: list[Pair]) -> tuple[int, int]:
    """Aligns a window from (i, j) up to its last equal stretch (all of it at the sequences' ends);
    returns where the next window starts."""
    a, b = first[i : i + WINDOW], second[j : j + WINDOW]
    opcodes = difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes()
    at_end = i + len(a) == len(first) and j + len(b) == len(second)
    equal = [n for n, opcode in enumerate(opcodes) if opcode[0] == "equal"]
    if not at_end and equal:
        opcodes = opcodes[: equal[-1] + 1]
    elif not equal:
        opcodes = [("replace", 0, len(a), 0, len(b))]
    for tag, a_from, a_to, b_from, b_to in opcodes:
        if tag == "equal":
            pairs.extend(zip(range(i + a_from, i + a_to), range(j + b_from, j + b_to)))
        else:
            pairs.extend(itertools.zip_longest(range(i + a_from, i + a_to), range(j + b_from, j + b_to)))
    return i + opcodes[-1][2], j + opcodes[-1][4]


def _call_json(call: Call | None) -> dict | None:
    return None if call is None else {"depth": call[1], "name": call[2], "args": call[4], "ret": call[5],
                                      "duration": call[6]}


def _later_by(a: Call | None, b: Call | None) -> float | None:
    """How much longer the second trace's call took than the first's."""
    if a is None or b is None or a[6] is None or b[6] is None:
        return None
    return b[6] - a[6]


def compare(first: TraceIndex, second: TraceIndex, offset: int | None, limit: int) -> dict:
    """The first differing row and `limit` rows of the alignment from `offset` (by default, a few
    rows before the first difference)."""
    calls = [list(first.calls_in_order(ALIGNED)), list(second.calls_in_order(ALIGNED))]
    pairs = align([_key(call) for call in calls[0]], [_key(call) for call in calls[1]])
    rows = [(None if a is None else calls[0][a], None if b is None else calls[1][b]) for a, b in pairs]
    difference = next((n for n, (a, b) in enumerate(rows) if differ(a, b)), None)
    if offset is None:
        offset = max(0, (difference or 0) - 10)
    return {
        "first_difference": difference,
        "offset": offset,
        "rows": [{"index": n, "a": _call_json(a), "b": _call_json(b), "differs": differ(a, b), "delta": _later_by(a, b)}
                 for n, (a, b) in enumerate(rows[offset : offset + limit], start=offset)],
        "total": len(rows),
        "calls": [first.call_count(), second.call_count()],
        # The top-level calls' time, on the clock the rows show
        "seconds": [sum(call[6] or 0.0 for call in trace if call[1] == 1) for trace in calls],
        "aligned": ALIGNED,
    }
