"""SQL statements grouped by their shape: the same statement with other values is the same query."""

from __future__ import annotations

import re

_LITERALS = re.compile(
    r"""
      '(?:[^']|'')*'                      # string
    | \b0x[0-9a-f]+\b                     # hexadecimal number
    | (?<![\w.])-?\d+(?:\.\d+)?(?:e[-+]?\d+)?\b   # number, not part of a name
    | %\(\w+\)s | %s | \?\d* | :\w+ | \$\d+      # parameters of every paramstyle
    """,
    re.IGNORECASE | re.VERBOSE,
)
# `IN (?, ?, ?)` and `VALUES (?, ?), (?, ?)` differ by the number of values only.
_VALUE_LISTS = re.compile(r"\(\s*\?(?:\s*,\s*\?)*\s*\)(?:\s*,\s*\(\s*\?(?:\s*,\s*\?)*\s*\))*")
_SPACE = re.compile(r"\s+")


def shape(sql: object) -> str:
    """The statement with its literals and parameters as `?`, lists of them as `(…)`, spaces single."""
    text = _LITERALS.sub("?", str(sql))
    text = _VALUE_LISTS.sub("(…)", text)
    return _SPACE.sub(" ", text).strip()
