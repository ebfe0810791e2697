"""The totals of one trace document (its summary columns), read without decoding its frame records.

What every store saves with a document, whatever keeps it; the result is what the fully decoded
document would give.
"""

from __future__ import annotations

from vesk import serialize

def _label_of(record: dict) -> str | None:
    kind = record.get("type")
    if kind == "start_test":
        test = record.get("test")
        return str(test) if test is not None else None
    if kind == "request_start":
        return f"{record.get('method', '?')} {record.get('path', '?')}"
    return None


# The engine writes every default frame record as a fixmap of 12 entries whose first key is "path",
# while a plugin record is a dict that starts with "frame_id". These bytes tell the two apart without
# decoding either: frame records are nearly all of a document, and decoding them is what made saving
# a long recording take many times longer than writing it.
FRAME_RECORD_START = b"\x8c\xa4path"


def _is_map(first_byte: int) -> bool:
    return 0x80 <= first_byte <= 0x8F or first_byte in (0xDE, 0xDF)


def _is_array(first_byte: int) -> bool:
    return 0x90 <= first_byte <= 0x9F or first_byte in (0xDC, 0xDD)


def _pairs(spans: list) -> zip:
    """A map's (key span, value span) pairs from its items' spans."""
    return zip(spans[::2], spans[1::2])


class _Walk:
    """The parts of an encoded document that the summary reads, decoded alone.

    `serialize.outline` finds where the values lie (natively, in one pass over the bytes); the few
    values read are decoded one at a time with `serialize.loads`, as reading the whole document would
    decode them; frame records are only counted. A damaged document raises.
    """

    def __init__(self, document: bytes) -> None:
        self.document = document
        self.view = memoryview(document)

    def decode(self, span: tuple[int, int]) -> object:
        return serialize.loads(self.view[span[0] : span[1]])

    def records(self, span: tuple[int, int]) -> tuple[int, list[tuple[int, int]]]:
        """The number of frame records in the array at `span`, and where each other record lies.

        Anything but an array holds no records, as its decoded form would hold no dicts.
        """
        if not _is_array(self.document[span[0]]):
            return 0, []
        frames, others, _ = serialize.outline(self.document, span[0], FRAME_RECORD_START)
        return frames, others

    def threads(self, span: tuple[int, int]) -> dict | None:
        if not _is_map(self.document[span[0]]):
            return None
        _, items, _ = serialize.outline(self.document, span[0])
        return {self.decode(thread): self.records(records) for thread, records in _pairs(items)}

    def document_parts(self) -> dict | None:
        """The top-level values the summary reads, and the records of "frames_of_interest" and of each
        thread of "frames"; None when the document is not a map. A repeated key counts once, with
        its last value, as in the decoded dict."""
        if not _is_map(self.document[0]):
            return None
        _, items, end = serialize.outline(self.document, 0)
        if end != len(self.document):
            raise ValueError("extra data after the document")
        parts: dict = {}
        for key_span, value_span in _pairs(items):
            key = self.decode(key_span)
            if key == "frames_of_interest":
                parts[key] = self.records(value_span)
            elif key == "frames":
                parts[key] = self.threads(value_span)
            elif key in ("timestamp", "meta", "command_line_args"):
                parts[key] = self.decode(value_span)
        return parts


# Records that tell what was not recorded: summed into the trace's totals, never counted as plugin records.
_VOLUME_RECORDS = ("calls_left_out", "records_dropped", "recording_stopped")
# Notes about the recording, not the program (the recorder's own time; durations that may be off, which
# only a busy machine gives): readers show them in a trace's header or summary, never as its records, so
# that the same program reads the same on a quiet machine and a busy one.
RECORDING_NOTES = frozenset(("recorder_time", "durations_unsteady"))


def _empty_summary() -> dict:
    return {
        "started_at": None,
        "source": None,
        "label": None,
        "command_line": [],
        "frame_count": 0,
        "plugin_count": 0,
        "calls_left_out": 0,
        "records_dropped": 0,
        "recording_stopped": False,
    }


def summarise(document: bytes) -> dict:
    """The summary columns of one document. A document that does not decode is still stored.

    Only the few top-level values and the plugin records are decoded; frame records are counted by
    their first bytes. The result is what the decoded document would give.
    """
    try:
        return _summary_of(_Walk(bytes(document)))
    except Exception:  # noqa: BLE001 - kept as it is; reading it back will report the damage
        return _empty_summary()


def _count(value: object) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) else 0


def _add_volume_record(summary: dict, kind: str, record: dict) -> None:
    if kind == "calls_left_out":
        functions = record.get("functions")
        if isinstance(functions, list):
            summary["calls_left_out"] += sum(_count(f.get("count")) for f in functions if isinstance(f, dict))
    elif kind == "records_dropped":
        summary["records_dropped"] += _count(record.get("count"))
    else:
        summary["recording_stopped"] = True


def _summary_of(walk: _Walk) -> dict:
    summary = _empty_summary()
    parts = walk.document_parts()
    if parts is None:
        return summary
    timestamp = parts.get("timestamp")
    summary["started_at"] = timestamp if isinstance(timestamp, (int, float)) else None
    meta = parts.get("meta")
    if isinstance(meta, dict) and isinstance(meta.get("source"), str):
        summary["source"] = meta["source"]
    argv = parts.get("command_line_args")
    if isinstance(argv, list):
        summary["command_line"] = [str(arg) for arg in argv]
    sections = [parts.get("frames_of_interest"), *(parts.get("frames") or {}).values()]
    # The status joins the label only at the end of the request that gave it: a server recorded by
    # `vesk run` handles many requests in one document, and each status used to lengthen the label.
    request_open = False
    for frames, others in filter(None, sections):
        summary["frame_count"] += frames
        for span in others:
            record = walk.decode(span)
            if not isinstance(record, dict):
                continue
            kind = record.get("type")
            if kind == "frame":
                summary["frame_count"] += 1
                continue
            if kind in _VOLUME_RECORDS:
                _add_volume_record(summary, kind, record)
                continue
            if kind in RECORDING_NOTES:
                continue
            summary["plugin_count"] += 1
            if summary["label"] is None:
                summary["label"] = _label_of(record)
                request_open = kind == "request_start" and summary["label"] is not None
            elif request_open and kind == "request_end":
                request_open = False
                if "status" in record:
                    summary["label"] += f" {record['status']}"
    return summary


def is_document(document: bytes) -> bool:
    try:
        return _Walk(document).document_parts() is not None
    except Exception:  # noqa: BLE001 - anything that does not walk is no document
        return False

