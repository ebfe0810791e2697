"""The records of a stored trace, one at a time, in bounded memory.

A trace is every document saved under its id, in save order; each document holds the main thread's
records in "frames_of_interest" and the other threads' in "frames" ({native thread id: [...]}), and
continues what the previous document held for the same thread. Documents are walked with one
unpacker each, a record array cut into its encoded records at once and records decoded one at a
time, so memory holds one document and one record whatever the size of the trace.

Timestamps are the clock's, and include the time the recorder spent handling events. A document
ends its main list with a "recorder_time" record per record list: for each record the engine filed
there, the recorder's own time on that thread so far. Readers lay records out on the program's
time (the timestamp less that) unless asked for the clock's; that record comes last, so a document's
trailer is read before its records. Older documents have none and keep the clock's time.
"""

from __future__ import annotations

import bisect
import functools
import io
import itertools
import sys
import time
from typing import Any, Callable, Iterator, TypedDict

import msgpack

from vesk import serialize, storage
from vesk.storage.summary import RECORDING_NOTES

MAIN = "frames_of_interest"
_READ_SIZE = 1 << 16
# Every frame record the engine writes is a 12-entry map whose first key is "path"; values a pass does
# not print are skipped undecoded (locals are most of a record's bytes).
_FRAME_RECORD_START = b"\x8c\xa4path"
LOCALS = frozenset(("locals", "user_code_call_site"))
_SMALL_RECORD = 2048
RECORDER_TIME = "recorder_time"
DURATIONS_UNSTEADY = "durations_unsteady"
_RECORDER_TIME_KEY = b"\xad" + RECORDER_TIME.encode()
_PROGRESS_EVERY = 1 << 14
_NEVER = float("-inf")  # the program clock of a record list none of whose records has been read

ThreadKey = tuple  # (thread name, native id or None)


_SCOPE_STARTS = frozenset(("start_test", "request_start"))
_SCOPE_ENDS = frozenset(("end_test", "request_end"))


def scope_to_program_time(record: dict, second: float, started: dict, section: object) -> None:
    """Takes the recorder's own time within a test or a request out of the duration its ending
    record tells, as out of every timestamp (`started`: each record list's scope start's
    recorder time)."""
    kind = record.get("type")
    if kind in _SCOPE_STARTS:
        started[section] = second
    elif kind in _SCOPE_ENDS:
        began, took = started.pop(section, None), record.get("duration_ms")
        if began is not None and isinstance(took, (int, float)) and not isinstance(took, bool):
            record["duration_ms"] = round(max(0.0, took - (second - began) * 1000), 3)


def thread_key(record: dict) -> ThreadKey:
    native = record.get("thread_native_id")
    return str(record.get("thread", "?")), native if isinstance(native, int) else None


class Progress:
    """A line on stderr once a read has taken more than a moment: rewritten in place on a terminal,
    a new line every few seconds otherwise. Never on stdout."""

    DELAY = 2.0  # seconds before the first line
    EVERY = 5.0  # seconds between lines when stderr is not a terminal

    def __init__(self, trace_id: str, document_count: int, stream=None) -> None:
        self.trace_id = trace_id
        self.document_count = document_count
        self.stream = stream if stream is not None else sys.stderr
        self.interactive = bool(getattr(self.stream, "isatty", lambda: False)())
        self.started = time.monotonic()
        self.last_shown: float | None = None
        self.stage = "reading"

    def update(self, records: int, document: int) -> None:
        now = time.monotonic()
        if now - self.started < self.DELAY:
            return
        if self.last_shown is not None and now - self.last_shown < (0.25 if self.interactive else self.EVERY):
            return
        self.last_shown = now
        text = (
            f"vesk: {self.stage} trace {self.trace_id}: {records:,} records "
            f"(document {document + 1:,} of {self.document_count:,})"
        )
        if self.interactive:
            self.stream.write("\r\x1b[K" + text)
        else:
            self.stream.write(text + "\n")
        self.stream.flush()

    def done(self) -> None:
        if self.last_shown is not None and self.interactive:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


class Document:
    """One document walked in place: top-level values decoded, record arrays handed over one
    record at a time."""

    def __init__(self, data: bytes, decoding: Decoding, trailer: bool = True) -> None:
        self.data = data
        self.recorder_times = recorder_times(data, bool(decoding.skipped or decoding.raw)) if trailer else {}
        # The recorder's own time when the record `records()` yielded last was taken (None: not known).
        self.recorder_second: float | None = None
        self.view = memoryview(data)
        self.decoding = decoding
        self.main_thread_id: object = None
        # Where the record `records()` yielded last lies in `data`: an index of the trace seeks there.
        self.record_start = self.record_end = 0
        # Read from a file object rather than fed: feeding would copy the whole document once more.
        # Decodes as serialize.loads does, so that a record can be decoded in place.
        self.unpacker = msgpack.Unpacker(
            io.BytesIO(data),
            read_size=_READ_SIZE,
            raw=False,
            strict_map_key=False,
            max_buffer_size=max(len(data), _READ_SIZE),
            ext_hook=serialize.ext_hook,
            unicode_errors="replace",
        )

    def value(self) -> object:
        start = self.unpacker.tell()
        self.unpacker.skip()
        return serialize.loads(self.view[start : self.unpacker.tell()])

    def next_byte(self) -> int:
        return self.data[self.unpacker.tell()]

    def sections(self) -> Iterator[object]:
        """Positions the unpacker before each record array, yielding its section: MAIN or the
        thread id. The caller reads or skips the array before resuming."""
        unpacker = self.unpacker
        if not is_map(self.next_byte()):
            return
        for _ in range(unpacker.read_map_header()):
            key = self.value()
            if key == MAIN:
                yield MAIN
            elif key == "frames" and is_map(self.next_byte()):
                for _ in range(unpacker.read_map_header()):
                    thread = self.value()
                    yield thread if isinstance(thread, (int, str)) else repr(thread)
            elif key == "main_thread_id":
                self.main_thread_id = self.value()
            else:
                unpacker.skip()

    def raw_records(self) -> Iterator[memoryview]:
        """The encoded records of the array ahead."""
        unpacker = self.unpacker
        tell, skip, view = unpacker.tell, unpacker.skip, self.view
        for _ in range(unpacker.read_array_header()):
            start = tell()
            skip()
            yield view[start : tell()]

    def records(self, section: object) -> Iterator[object]:
        """The records of the array ahead, which is `section`'s."""
        if not is_array(self.next_byte()):
            self.unpacker.skip()
            return
        seconds = self.recorder_times.get(section, ())
        if not (self.decoding.skipped or self.decoding.raw):
            yield from self._whole_records(seconds)
            return
        encoded, start = self.encoded_records()
        starts, loads, decoding = self.data.startswith, serialize.loads, self.decoding
        known = len(seconds)
        skipped = raw = decoder = eager = None
        for position, record in enumerate(encoded):
            end = start + len(record)
            self.record_start, self.record_end = start, end
            self.recorder_second = seconds[position] if position < known else None
            if not starts(_FRAME_RECORD_START, start):
                record = loads(record)
            else:
                if decoding.skipped is not skipped or decoding.raw is not raw:  # a pass may change it
                    skipped, raw = decoding.skipped, decoding.raw
                    decoder = _frame_decoder(skipped)
                    eager = tuple(key for key in _VALUES if key not in skipped and key not in raw)
                try:
                    record = decoder.decode(record)
                except ValueError:  # text that is no UTF-8, a key that is no text: as msgpack reads it
                    record = self._frame_by_msgpack(start, end)
                else:
                    for key in eager:
                        if key in record:
                            record[key] = loads(record[key])
            yield record
            start = end

    def _whole_records(self, seconds: list | tuple) -> Iterator[object]:
        unpacker = self.unpacker
        tell, unpack = unpacker.tell, unpacker.unpack
        for position in range(unpacker.read_array_header()):
            start = tell()
            self.recorder_second = seconds[position] if position < len(seconds) else None
            record = unpack()
            self.record_start, self.record_end = start, tell()
            yield record

    def encoded_records(self) -> tuple[list, int]:
        """The encoded records of the array ahead, and where the first one starts."""
        unpacker = self.unpacker
        start = unpacker.tell()
        unpacker.skip()
        return _record_array().decode(self.view[start : unpacker.tell()]), start + _ARRAY_HEADER[self.data[start]]

    def _frame_by_msgpack(self, start: int, end: int) -> dict:
        decoding = self.decoding
        if end - start > _SMALL_RECORD:
            return _frame_without(self.view[start:end], decoding.skipped)
        return _small_frame(self.view[start:end], decoding.skipped, decoding.raw)

    def skip(self) -> None:
        self.unpacker.skip()


def recorder_times(data: bytes, split: bool = False) -> dict[object, list]:
    """The recorder's own time at each record the engine filed, by record list (MAIN or thread id),
    from the document's trailer; empty for a document without one. `split`: the main list cut into
    its records by msgspec, for a pass that uses it anyway (`vesk run` never imports it)."""
    if _RECORDER_TIME_KEY not in data:
        return {}
    document = Document(data, Decoding(), trailer=False)
    times: dict[object, list] = {}
    for section in document.sections():
        if section != MAIN or not is_array(document.next_byte()):
            document.skip()
            continue
        for encoded in (_split_holding if split else _walked_holding)(document, _RECORDER_TIME_KEY):
            record = serialize.loads(encoded)
            if isinstance(record, dict) and record.get("type") == RECORDER_TIME:
                seconds = record.get("seconds")
                times[record.get("list")] = seconds if isinstance(seconds, list) else []
    return times


def _walked_holding(document: Document, needle: bytes) -> Iterator[memoryview]:
    """The encoded records of the array ahead that hold `needle`."""
    unpacker, data = document.unpacker, document.data
    for _ in range(unpacker.read_array_header()):
        start = unpacker.tell()
        unpacker.skip()
        if data.find(needle, start, unpacker.tell()) >= 0:
            yield document.view[start : unpacker.tell()]


def _split_holding(document: Document, needle: bytes) -> Iterator[object]:
    """The same, found where the needle lies: only those records are looked at."""
    encoded, start = document.encoded_records()
    ends = list(itertools.accumulate(map(len, encoded), initial=start))
    found = document.data.find(needle, start, ends[-1])
    while found >= 0:
        position = bisect.bisect_right(ends, found) - 1
        yield encoded[position]
        found = document.data.find(needle, ends[position + 1], ends[-1])


def is_map(first_byte: int) -> bool:
    return 0x80 <= first_byte <= 0x8F or first_byte in (0xDE, 0xDF)


def is_array(first_byte: int) -> bool:
    return 0x90 <= first_byte <= 0x9F or first_byte in (0xDC, 0xDD)


def _frame_without(data: memoryview, skipped: frozenset) -> dict:
    unpacker = msgpack.Unpacker(raw=False, strict_map_key=False, unicode_errors="replace")
    unpacker.feed(data)
    record = {}
    for _ in range(unpacker.read_map_header()):
        key = unpacker.unpack()
        if key in skipped:
            unpacker.skip()
        else:
            record[key] = serialize.loads(_next_value(unpacker, data))
    return record


def _small_frame(data: memoryview, skipped: frozenset, raw: frozenset) -> dict:
    # Extension values only held: the objects shown by their fields in the values left out or left
    # raw (most of a record's objects) are never made.
    try:
        record = msgpack.unpackb(data, raw=False, strict_map_key=False, unicode_errors="replace", ext_hook=_Raw)
    except TypeError:  # an object as a key (before 3.12 a slice has no hash): picked value by value
        return _frame_without(data, skipped)
    for key in skipped:
        record.pop(key, None)
    for key in _VALUES:
        value = record.get(key)
        if type(value) in _DECODED_LATER and key not in raw:
            record[key] = decoded(value)
    return record


# A frame record's only values that the program's values make (the engine writes the others).
_VALUES = ("arg", "locals")
# A pass that leaves values out or raw cuts record arrays into their records in C and decodes frame
# records with msgspec: the fields the engine writes at a fraction of what msgpack takes, the fields
# the pass leaves out never decoded, the program's values held encoded (msgspec.Raw) until
# serialize.loads decodes them as before. Decoding was over half of what vesk show spent on a long trace.
# msgspec is imported at the first such pass, never by `vesk run` (its own imports cost milliseconds).
_ENGINE_FIELDS = ("path", "co_name", "qualname", "event", "frame_id", "thread", "thread_native_id", "timestamp",
                  "type", "user_code_call_site")
_ARRAY_HEADER = {**dict.fromkeys(range(0x90, 0xA0), 1), 0xDC: 3, 0xDD: 5}  # first byte -> header's length
_Encoded: type | None = None  # msgspec.Raw, once imported


@functools.lru_cache(maxsize=None)
def _record_array() -> Any:
    global _Encoded
    import msgspec

    _Encoded = msgspec.Raw
    return msgspec.msgpack.Decoder(list[msgspec.Raw])


@functools.lru_cache(maxsize=None)
def _frame_decoder(skipped: frozenset) -> Any:
    import msgspec

    fields = {name: Any for name in _ENGINE_FIELDS if name not in skipped}
    fields.update({name: msgspec.Raw for name in _VALUES if name not in skipped})
    return msgspec.msgpack.Decoder(TypedDict("FrameRecord", fields, total=False))
# An extension value as it waits for `decoded`: made in C from (code, data), where msgpack's ExtType
# runs two Python functions for each.
_Raw = slice
_DECODED_LATER = (_Raw, list, dict)


def decoded(value: object) -> object:
    """A value left raw by Decoding (still encoded, or decoded without the extension hook) as
    `serialize.loads` gives it; a value decoded whole is given back as it is."""
    kind = type(value)
    if kind is _Encoded:
        return serialize.loads(value)
    if kind is _Raw:
        return serialize.ext_hook(value.start, value.stop)
    if kind is list:
        return [decoded(item) for item in value]
    if kind is dict:
        return {decoded(key): decoded(item) for key, item in value.items()}
    return value


def decode_raw(record: dict, raw: frozenset) -> dict:
    """The record with its values of the keys left `raw` decoded, for a reader about to show them."""
    for key in raw:
        if key in record:
            record[key] = decoded(record[key])
    return record


def _next_value(unpacker: msgpack.Unpacker, data: memoryview) -> memoryview:
    start = unpacker.tell()
    unpacker.skip()
    return data[start : unpacker.tell()]


class Decoding:
    """Which values of frame records are left out, and which are left raw (small records' values
    decoded without their extension values, for `decode_raw` to finish where they are shown); a
    pass may change it as it goes."""

    def __init__(self, skipped: frozenset = frozenset(), raw: frozenset = frozenset()) -> None:
        self.skipped = skipped
        self.raw = raw


class RecordStream:
    """The records of one trace, for as many passes as a reader needs."""

    def __init__(self, store: storage.Store, trace_id: str, progress: Progress | None = None) -> None:
        self.store = store
        self.trace_id = trace_id
        self.progress = progress
        self.main_thread_ids: set = set()  # as the documents read so far name them
        self.document: Document | None = None  # the one `records()` is in
        self.program_time = True  # timestamps less the recorder's own time, where the trace tells it
        self.recorder_spent: dict[object, list] = {}  # record list -> [first, last] recorder time read
        self.program_clock: dict[object, float] = {}  # record list -> the last program time given
        self.scope_started: dict[object, float] = {}  # record list -> its test's or request's start

    def records(
        self,
        *,
        decoding: Decoding | None = None,
        wanted: Callable[[int, object], bool] | None = None,
        last_document: int | None = None,
    ) -> Iterator[tuple[int, object, object]]:
        """(document index, section, record) for every record of the trace, or of the sections
        `wanted(document index, section)` accepts."""
        decoding = decoding if decoding is not None else Decoding()
        count = 0
        self.program_clock, self.scope_started = {}, {}  # each pass from the start
        for index, data in enumerate(self.store.iter_documents(self.trace_id)):
            if last_document is not None and index > last_document:
                return
            document = self.document = Document(data, decoding)
            try:
                for section in document.sections():
                    if wanted is not None and not wanted(index, section):
                        document.skip()
                        continue
                    on_program_time = self.program_time and document.recorder_times
                    # The section's program clock and recorder time kept in locals while its records go by.
                    clock = self.program_clock.get(section, _NEVER)
                    spent = self.recorder_spent.get(section)
                    for record in document.records(section):
                        second = document.recorder_second
                        if on_program_time and isinstance(second, (int, float)):
                            timestamp = record.get("timestamp") if isinstance(record, dict) else None
                            if isinstance(timestamp, (int, float)):
                                # The engine keeps a thread's program time from running backwards; the
                                # subtraction of two floats this large can by a fraction of a
                                # microsecond, which would unnest a fast call.
                                clock = max(timestamp - second, clock)
                                record["timestamp"] = clock
                                if record.get("type") != "frame":
                                    scope_to_program_time(record, second, self.scope_started, section)
                            if spent is None:
                                spent = self.recorder_spent[section] = [second, second]
                            else:
                                spent[1] = second
                        yield index, section, record
                        count += 1
                        if self.progress is not None and count % _PROGRESS_EVERY == 0:
                            self.progress.update(count, index)
                    if clock is not _NEVER:
                        self.program_clock[section] = clock
            except (ValueError, TypeError, IndexError, msgpack.UnpackException) as exc:
                raise storage.StorageError(f"trace {self.trace_id} has a damaged document: {exc}") from exc
            if isinstance(document.main_thread_id, int):
                self.main_thread_ids.add(document.main_thread_id)
            if self.progress is not None:
                self.progress.update(count, index)

    def recorder_seconds(self) -> float:
        """The recorder's own time taken out of the records read, on all threads."""
        return sum(last - first for first, last in self.recorder_spent.values())
