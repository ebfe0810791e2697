"""Which traces a store removes to keep within its limits: the least recently saved whole traces
first, never the one being saved (which would lose it whole however large it is)."""

from __future__ import annotations

from vesk.storage.interface import Removal

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterable

DEFAULT_MAX_TRACES = 500
DEFAULT_MAX_BYTES = 2 << 30
DEFAULT_LIMITS = {"max_traces": DEFAULT_MAX_TRACES, "max_bytes": DEFAULT_MAX_BYTES}


def within(limits: dict[str, int], traces: int, size: int) -> bool:
    # 0 is no limit, as elsewhere in the configuration.
    pairs = ((limits["max_traces"], traces), (limits["max_bytes"], size))
    return all(not limit or value <= limit for limit, value in pairs)


def removals(
    removal: Removal, oldest_first: Iterable[tuple[str, int]], limits: dict[str, int], keep: str | None
) -> list[str]:
    """The traces to remove from (trace id, bytes) oldest first until the limits hold, counted into
    `removal` (which starts with what the store keeps)."""
    chosen = []
    for trace_id, size in oldest_first:
        if within(limits, removal.kept_traces, removal.kept_bytes):
            break
        if trace_id != keep:
            chosen.append(trace_id)
            removal.count_removed(size)
    return chosen
