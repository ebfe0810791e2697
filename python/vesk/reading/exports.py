"""`vesk export`: the trace as JSON or as Chrome trace-event JSON, written as it is read.

Both write one record at a time, so memory stays flat whatever the size of the trace; Chrome and
Perfetto take events in any order, so nothing is sorted.

Times are the program's unless the stream is asked for the clock's: the JSON keeps each record's
"timestamp" as recorded and adds its "program_time" (the timestamp less the recorder's own time so
far on its thread) where the trace tells it; the Chrome export lays each thread's calls out on
program time, and puts each asyncio task's calls on a track of its own, named after the task.
"""

from __future__ import annotations

import json
from typing import Callable, TextIO

import msgpack

from vesk import serialize, storage
from vesk.reading import text
from vesk.reading.records import (DURATIONS_UNSTEADY, MAIN, RECORDING_NOTES, Decoding, Document, RecordStream, is_array,
                                  is_map)
from vesk.reading.walk import TRACE_RECORDS, Open, Selection, TaskSteps, ThreadWalk, is_task

Write = Callable[[str], object]


def _dumps(value: object) -> str:
    return json.dumps(text.jsonable(value), ensure_ascii=False)


def _bytes_text(value: object) -> str:
    if isinstance(value, bytes):
        return repr(value)
    raise TypeError(type(value).__name__)


_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False, default=_bytes_text)


def _ext_json(code: int, data: bytes) -> object:
    # What text.jsonable makes of the host decoder's extension values, made while decoding.
    if code in (serialize.OBJECT_REPR, serialize.MARKER):
        return data.decode("utf-8", "replace")
    if code == serialize.OBJECT_FIELDS:
        try:
            type_name, fields = _json_loads(data)
        except (ValueError, TypeError):
            return f"<ext {code}: {data!r}>"
        return text.object_json(str(type_name), fields)
    return f"<ext {code}: {data!r}>"


def _json_loads(encoded: bytes | memoryview) -> object:
    return msgpack.unpackb(encoded, raw=False, strict_map_key=False, ext_hook=_ext_json, unicode_errors="replace")


def _record_json(encoded: memoryview, recorder_second: object = None) -> str:
    """A record as JSON, as `_dumps(serialize.loads(encoded))` writes it, several times quicker:
    the usual record needs no conversion, so the C encoder takes it as decoded. Given the recorder's
    own time when it was taken, its "program_time" is added."""
    record = _json_loads(encoded)
    if isinstance(recorder_second, (int, float)) and isinstance(record, dict):
        timestamp = record.get("timestamp")
        if isinstance(timestamp, (int, float)):
            record["program_time"] = timestamp - recorder_second
    try:
        return _ENCODER.encode(record)
    except (TypeError, ValueError):  # bytes keys, numbers that are not finite
        return _dumps(record)


def export_json(stream: RecordStream, summary: storage.TraceSummary, out: TextIO) -> None:
    """The decoded documents under today's top-level fields; records one per line."""
    write = out.write
    head = {
        "trace_id": summary.trace_id,
        "source": summary.source,
        "label": summary.label,
        "frame_count": summary.frame_count,
        "plugin_count": summary.plugin_count,
    }
    write(_dumps(head)[:-1] + ', "documents": [')
    if stream.progress is not None:
        stream.progress.stage = "exporting"
    count = 0
    for index, data in enumerate(stream.store.iter_documents(stream.trace_id)):
        write(",\n" if index else "\n")
        try:
            count = _write_document(Document(data, Decoding()), write, stream, index, count)
        except (ValueError, TypeError, IndexError, msgpack.UnpackException) as exc:
            raise storage.StorageError(f"trace {stream.trace_id} has a damaged document: {exc}") from exc
        if stream.progress is not None:
            stream.progress.update(count, index)
    write("\n]}\n")


def _write_document(document: Document, write: Write, stream: RecordStream, index: int, count: int) -> int:
    unpacker = document.unpacker
    if not is_map(document.next_byte()):
        write(_dumps(document.value()))
        return count
    write("{")
    for position in range(unpacker.read_map_header()):
        key = document.value()
        write(f'{", " if position else ""}{json.dumps(key if isinstance(key, str) else text.key_text(key))}: ')
        if key == MAIN and is_array(document.next_byte()):
            count = _write_records(document, MAIN, write, stream, index, count)
        elif key == "frames" and is_map(document.next_byte()):
            write("{")
            for thread_position in range(unpacker.read_map_header()):
                thread = document.value()
                name = thread if isinstance(thread, str) else text.key_text(thread)
                write(f'{", " if thread_position else ""}{json.dumps(name)}: ')
                count = _write_records(document, thread, write, stream, index, count)
            write("}")
        else:
            write(_dumps(document.value()))
    write("}")
    return count


def _write_records(document: Document, section: object, write: Write, stream: RecordStream, index: int,
                   count: int) -> int:
    if not is_array(document.next_byte()):
        write(_dumps(document.value()))
        return count
    write("[")
    separator = "\n"
    seconds = document.recorder_times.get(section, ()) if stream.program_time else ()
    for position, record in enumerate(document.raw_records()):
        write(separator + _record_json(record, seconds[position] if position < len(seconds) else None))
        separator = ",\n"
        count += 1
        if count % 16384 == 0 and stream.progress is not None:
            stream.progress.update(count, index)
    write("]")
    return count


# --- Chrome trace-event JSON ----------------------------------------------------------------------


class _ChromeThread(ThreadWalk):
    def __init__(self, tid: int, emit: Callable[[dict], None]) -> None:
        super().__init__(Selection())
        self.tid = tid
        self.emit = emit
        self.last = 0.0

    def opened(self, entry: Open) -> None:
        call, entry.call = entry.call, None
        entry.state = (text.function_name(call), call.get("path"), text.arguments(call))

    def closed(self, entry: Open, ret: dict | None) -> None:
        if text.is_class_body(ret):
            return
        name, path, arguments = entry.state
        # A call closed by an outer call's return ends there; one never closed ends with the trace.
        end_record = ret if ret is not None else self.closing
        end = end_record.get("timestamp") if end_record is not None else self.last
        args = {"path": path, "args": arguments}
        if ret is not None:
            args["return"] = text.returned(ret, 200)
        self._complete(name, entry.start, end, args)

    def orphan(self, ret: dict, depth: int | None) -> None:
        args = {"path": ret.get("path"), "return": text.returned(ret, 200)}
        start = ret.get("timestamp")
        self._complete(text.function_name(ret), start, start, args)

    def other(self, record: dict, depth: int | None) -> None:
        self.emit(_instant(record, self.tid, "t"))

    def _complete(self, name: str, start: object, end: object, args: dict) -> None:
        start = start if isinstance(start, (int, float)) else 0.0
        end = end if isinstance(end, (int, float)) else start
        self.emit(
            {
                "ph": "X",
                "name": name,
                "cat": "python",
                "ts": start * 1e6,
                # Taken between the scaled ends, so that ts + dur is the end exactly: a fast call's end
                # would otherwise land a rounding past its caller's.
                "dur": max(0.0, end * 1e6 - start * 1e6),
                "pid": 1,
                "tid": self.tid,
                "args": args,
            }
        )


def _instant(record: dict, tid: int, scope: str) -> dict:
    timestamp = record.get("timestamp")
    return {
        "ph": "i",
        "s": scope,
        "name": str(record.get("type")),
        "cat": "plugin",
        "ts": (timestamp if isinstance(timestamp, (int, float)) else 0.0) * 1e6,
        "pid": 1,
        "tid": tid,
        "args": {"description": text.describe_plugin_record(record)},
    }


_TASK_TRACKS = 1 << 30  # above any thread's native id (Linux's are below 2 ** 22), within 32 bits


def _track_id(key: tuple, tracks: int) -> int:
    """A thread's track is its native id; a task's, or a thread's without one, a number of its own."""
    if is_task(key):
        return _TASK_TRACKS + tracks
    return key[1] if key[1] is not None else tracks + 1


def export_chrome(stream: RecordStream, summary: storage.TraceSummary, out: TextIO) -> None:
    """Complete events for calls, instant events for plugin records."""
    write = out.write
    write('{"traceEvents": [')
    separator = "\n"
    if stream.progress is not None:
        stream.progress.stage = "exporting"

    def emit(event: dict) -> None:
        nonlocal separator
        try:
            encoded = _ENCODER.encode(event)
        except (TypeError, ValueError):  # bytes, a timestamp that is not finite: made JSON-able
            encoded = _dumps(event)
        write(separator + encoded)
        separator = ",\n"

    threads: dict[tuple, _ChromeThread] = {}
    steps = TaskSteps()
    last = 0.0
    unsteady = None  # a warning beside the trace, as in vesk show's header: no event of the program
    for _, _, record in stream.records():
        if not isinstance(record, dict):
            continue
        kind = record.get("type")
        if kind in RECORDING_NOTES:
            if kind == DURATIONS_UNSTEADY:
                unsteady = text.durations_unsteady_text(record)
            continue
        timestamp = record.get("timestamp")
        if isinstance(timestamp, (int, float)) and timestamp > last:
            last = timestamp
        if kind == "records_dropped":
            emit(_instant(record, 0, "g"))
            continue
        key = steps.key(record) if kind not in TRACE_RECORDS else None
        if key is None:
            continue
        thread = threads.get(key)
        if thread is None:
            thread = threads[key] = _ChromeThread(_track_id(key, len(threads)), emit)
            name = key[2] if is_task(key) else key[0]
            emit({"ph": "M", "name": "thread_name", "pid": 1, "tid": thread.tid, "args": {"name": name}})
        thread.feed(record)
    for thread in threads.values():
        thread.last = last
        thread.finish()
    other = {"trace_id": summary.trace_id, "source": summary.source, **({"durations": unsteady} if unsteady else {})}
    write(f'\n], "displayTimeUnit": "ms", "otherData": {json.dumps(other, ensure_ascii=False)}}}\n')
