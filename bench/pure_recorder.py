"""vesk's recorder written in plain Python: the "without a native engine" reference of the benchmark.

It keeps the same frames (the same path rules, include and ignore fragments and the attrs test) and
writes the same default frame records as the engine: the twelve-entry MessagePack map with the
argument and the locals encoded by the host serialiser ("vesk.serialize", looked up when the recorder
is built, so a stand-in put into sys.modules first is used), the same frame ids, call sites, thread
routing and trace document. It is written the way a careful Python programmer would write it (the
path rules are decided once per filename, keys are pre-encoded), so that the comparison measures the
engine, not a strawman. Plugins and one-trace-per-test mode are left out: the benchmark uses neither.
"""

from __future__ import annotations

import base64
import logging
import os
import sys
import threading
import time

import msgpack

LIBRARY_FRAGMENTS = ("lib/python", "/site-packages/")
VESK_FRAGMENTS = (
    "/vesk/config.py", "/vesk/db.py", "/vesk/django_schema.py", "/vesk/filters/", "/vesk/generate_tests/",
    "/vesk/git.py", "/vesk/__init__.py", "/vesk/__main__.py", "/vesk/middleware.py", "/vesk/profiler.py",
    "/vesk/pytest_plugin.py", "/vesk/serialize.py", "/vesk/utils.py", "/vesk/version.py",
)
_DROPPED_PATH = (
    LIBRARY_FRAGMENTS + ("<frozen ",) + VESK_FRAGMENTS + ("<string>",)
)

_RECORD, _DROP, _ATTRS = 0, 1, 2


def path_decision(filename: str, include: tuple = (), ignore: tuple = ()) -> int:
    """What the filename alone says: record (an include fragment), drop, or ask the attrs test."""
    if any(fragment in filename for fragment in include):
        return _RECORD
    if any(fragment in filename for fragment in _DROPPED_PATH) or filename == "<pytest match expression>":
        return _DROP
    if any(fragment in filename for fragment in ignore):
        return _DROP
    return _ATTRS


def attrs_generated(frame, filename: str) -> bool:
    if filename.startswith("<attrs generated"):
        return True
    caller = frame.f_back
    if caller is None:
        return False
    caller_file = caller.f_code.co_filename
    if not caller_file:
        caller = caller.f_back
        if caller is None:
            return False
        caller_file = caller.f_code.co_filename
    return caller_file.endswith("attr/_make.py")


def should_record(frame, include: tuple = (), ignore: tuple = ()) -> bool:
    filename = frame.f_code.co_filename
    decision = path_decision(filename, include, ignore)
    if decision == _ATTRS:
        return not attrs_generated(frame, filename)
    return decision == _RECORD


# --- identifiers ----------------------------------------------------------------------------------

_CROCKFORD = bytes.maketrans(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ234567", b"0123456789ABCDEFGHJKMNPQRSTVWXYZ")


class _Randomness(threading.local):
    def __init__(self) -> None:
        self.pool = b""
        self.offset = 0

    def take(self, count: int) -> bytes:
        if self.offset + count > len(self.pool):
            self.pool = os.urandom(65536)
            self.offset = 0
        start = self.offset
        self.offset = start + count
        return self.pool[start:start + count]


_randomness = _Randomness()


def ulid_text() -> str:
    milliseconds = time.time_ns() // 1_000_000 % (1 << 48)
    value = milliseconds << 80 | int.from_bytes(_randomness.take(10), "big")
    # 26 Crockford characters are the top 130 bits of a 160-bit base-32 text.
    text = base64.b32encode((value << 30).to_bytes(20, "big"))[:26]
    return text.translate(_CROCKFORD).decode()


# --- records --------------------------------------------------------------------------------------

_pack = msgpack.Packer(use_bin_type=True, autoreset=True).pack


def _key(name: str) -> bytes:
    return _pack(name)


K_PATH, K_CO_NAME, K_QUALNAME, K_EVENT, K_FRAME_ID = map(_key, ("path", "co_name", "qualname", "event", "frame_id"))
K_ARG, K_LOCALS, K_THREAD, K_NATIVE_ID = map(_key, ("arg", "locals", "thread", "thread_native_id"))
K_TIMESTAMP, K_CALL_SITE = _key("timestamp"), _key("user_code_call_site")
TYPE_FRAME = _key("type") + _key("frame")
CALL_SITE_HEAD = b"\x82" + _key("call_frame_id")
K_LINE_NUMBER = _key("line_number")
EVENT_CALL, EVENT_RETURN = K_EVENT + _key("call"), K_EVENT + _key("return")
NIL = b"\xc0"


def relative_path(filename: str, cwd: str) -> str:
    if cwd == "/":
        return filename[1:] if filename.startswith("/") else filename
    if filename.startswith(cwd):
        rest = filename[len(cwd):]
        if not rest:
            return ""
        if rest[0] == "/":
            return rest[1:]
    return filename


class _ThreadState(threading.local):
    def __init__(self) -> None:
        self.call_frames: list = []
        self.frame_ids: dict = {}
        self.native_id = None
        self.identity = None  # the packed "thread" and "thread_native_id" entries


class PureRecorder:
    """Install with `start()`, remove with `stop()`, get the trace document with `build_trace()`."""

    def __init__(self, config: dict | None = None, *, trace_id: str = "", source: str = "bench") -> None:
        config = config or {}
        filters = config.get("filters") or {}
        self.include = tuple(filters.get("include_frames") or ())
        self.ignore = tuple(filters.get("ignore_frames") or ())
        self.threading = config.get("threading") is True
        serializer = sys.modules.get("vesk.serialize")
        if serializer is None:
            import vesk.serialize as serializer
        self._dump = serializer.dump_msgpack_lightweight_repr if config.get("lightweight_repr") else serializer.dump_msgpack
        self.main_thread_id = getattr(threading.main_thread(), "native_id", None)
        self.trace_id = trace_id or "trc_" + ulid_text()
        self.source = source
        self.frames_of_interest: list = []
        self.frames: dict = {}
        self._decisions: dict = {}
        self._state = _ThreadState()
        self.start_timestamp = time.time()

    def start(self) -> None:
        if self.threading:
            threading.setprofile(self.profile)
        sys.setprofile(self.profile)

    def stop(self) -> None:
        sys.setprofile(None)
        threading.setprofile(None)

    def profile(self, frame, event: str, arg) -> None:
        if event == "call":
            returning = False
        elif event == "return":
            returning = True
        else:
            return
        code = frame.f_code
        filename = code.co_filename
        decision = self._decisions.get(filename)
        if decision is None:
            decision = self._decisions[filename] = path_decision(filename, self.include, self.ignore)
        if decision == _DROP or (decision == _ATTRS and attrs_generated(frame, filename)):
            return
        try:
            self._record(frame, code, filename, returning, arg)
        except Exception:  # noqa: BLE001 - like the engine, a failed record is reported, never raised
            logging.getLogger("vesk").warning("Unexpected exception in the pure-Python recorder", exc_info=True)

    def _record(self, frame, code, filename: str, returning: bool, arg) -> None:
        state = self._state
        identity = state.identity
        if identity is None:
            current = threading.current_thread()
            state.native_id = getattr(current, "native_id", None)
            identity = state.identity = K_THREAD + _pack(current.name) + K_NATIVE_ID + _pack(state.native_id)
        path = f"{relative_path(filename, os.getcwd())}:{frame.f_lineno}"
        qualname = f"{frame.f_globals['__name__']}.{code.co_qualname}"
        frame_locals = frame.f_locals
        if "__builtins__" in frame_locals:
            frame_locals = dict(frame_locals)
            del frame_locals["__builtins__"]
        call_frames = state.call_frames
        if returning:
            frame_id = state.frame_ids.get(id(frame))
        else:
            frame_id = "frm_" + ulid_text()
            state.frame_ids[id(frame)] = frame_id
        call_site = NIL
        if frame_id is not None and call_frames:
            caller = call_frames[-1]
            if caller[1] == frame_id:
                caller = call_frames[-2] if len(call_frames) > 1 else None
                if caller is not None and caller[1] == frame_id:
                    caller = None
            if caller is not None:
                call_site = CALL_SITE_HEAD + _pack(caller[1]) + K_LINE_NUMBER + _pack(caller[0].f_lineno)
        dump = self._dump
        arg_bytes = dump(arg)
        locals_bytes = dump(frame_locals)
        if returning:
            if call_frames:
                call_frames.pop()
        elif frame_id is not None:
            call_frames.append((frame, frame_id))
        record = b"".join((
            b"\x8c", K_PATH, _pack(path), K_CO_NAME, _pack(code.co_name), K_QUALNAME, _pack(qualname),
            EVENT_RETURN if returning else EVENT_CALL, K_FRAME_ID, _pack(frame_id), K_ARG, arg_bytes,
            K_LOCALS, locals_bytes, identity, K_TIMESTAMP, _pack(time.time()), TYPE_FRAME, K_CALL_SITE, call_site,
        ))
        native_id = state.native_id
        if native_id is None or not self.threading or native_id == self.main_thread_id:
            self.frames_of_interest.append(record)
        else:
            self.frames.setdefault(native_id, []).append(record)

    def build_trace(self) -> bytes:
        """The trace document, in the engine's layout; empties the buffers."""
        from vesk import git, version

        records, self.frames_of_interest = self.frames_of_interest, []
        per_thread, self.frames = self.frames, {}
        header = msgpack.Packer(use_bin_type=True, autoreset=True)
        parts = [b"\x88", _key("command_line_args"), _pack(list(sys.argv)),
                 _key("current_commit_sha"), _pack(git.COMMIT_SHA), _key("frames"), header.pack_map_header(len(per_thread))]
        for native_id, thread_records in per_thread.items():
            parts += [_pack(native_id), header.pack_array_header(len(thread_records)), *thread_records]
        parts += [_key("frames_of_interest"), header.pack_array_header(len(records)), *records,
                  _key("main_thread_id"), _pack(self.main_thread_id),
                  _key("meta"), b"\x83", _key("version"), _pack(version.__version__), _key("source"), _pack(self.source),
                  _key("use_frame_boundaries"), b"\xc3",
                  _key("timestamp"), _pack(self.start_timestamp), _key("trace_id"), _pack(self.trace_id)]
        return b"".join(parts)
