"""The MessagePack writer's shortest forms and the pair writers the records and traces are made of."""

import os
import struct
import subprocess
import sys
import textwrap

import msgpack
import pytest

import _vesk_testing as t


def key(text):
    return bytes([0xA0 + len(text)]) + text.encode()


@pytest.mark.parametrize(
    ("value", "encoded"),
    [
        (0, "00"),
        (127, "7f"),
        (128, "cc80"),
        (255, "ccff"),
        (256, "cd0100"),
        (65535, "cdffff"),
        (65536, "ce00010000"),
        (2**32 - 1, "ceffffffff"),
        (2**32, "cf0000000100000000"),
        (2**64 - 1, "cfffffffffffffffff"),
    ],
)
def test_unsigned_integers(value, encoded):
    out = t.write_values([("uint", value)])
    assert out.hex() == encoded
    assert msgpack.unpackb(out) == value


@pytest.mark.parametrize(
    ("value", "encoded"),
    [
        (0, "00"),
        (127, "7f"),
        (128, "cc80"),
        (70000, "ce00011170"),
        (2**31 - 1, "ce7fffffff"),
        (-1, "ff"),
        (-32, "e0"),
        (-33, "d0df"),
        (-128, "d080"),
        (-129, "d1ff7f"),
        (-32768, "d18000"),
        (-32769, "d2ffff7fff"),
        (-(2**31), "d280000000"),
    ],
)
def test_signed_integers(value, encoded):
    out = t.write_values([("int32", value)])
    assert out.hex() == encoded
    assert msgpack.unpackb(out) == value


@pytest.mark.parametrize(
    ("length", "header"),
    [(0, "a0"), (31, "bf"), (32, "d920"), (40, "d928"), (255, "d9ff"), (256, "da0100"),
     (65535, "daffff"), (65536, "db00010000")],
)
def test_text_headers(length, header):
    text = "x" * length
    out = t.write_values([("str", text)])
    assert out == bytes.fromhex(header) + text.encode()
    assert msgpack.unpackb(out) == text


def test_text_is_utf8():
    out = t.write_values([("str", "héllo €")])
    assert out == bytes([0xA0 + 10]) + "héllo €".encode()
    assert msgpack.unpackb(out) == "héllo €"


@pytest.mark.parametrize(
    ("count", "map_header", "array_header"),
    [(0, "80", "90"), (15, "8f", "9f"), (16, "de0010", "dc0010"), (65535, "deffff", "dcffff"),
     (65536, "df00010000", "dd00010000")],
)
def test_container_headers(count, map_header, array_header):
    assert t.write_values([("map", count)]).hex() == map_header
    assert t.write_values([("array", count)]).hex() == array_header


def test_float_nil_true_and_raw():
    out = t.write_values([("array", 5), ("f64", 1.5), ("f64", -0.1), ("nil", None), ("true", None),
                          ("raw", msgpack.packb({"pre": [1, 2]}))])
    assert out[:10].hex() == "95cb3ff8000000000000"
    assert out[10:19] == b"\xcb" + struct.pack(">d", -0.1)
    assert out[19:21] == b"\xc0\xc3"
    assert msgpack.unpackb(out) == [1.5, -0.1, None, True, {"pre": [1, 2]}]


def test_str_pair():
    assert t.write_str_pair("code", "run") == key("code") + b"\xa3run"
    assert t.write_str_pair("current_commit_sha", None) == b"\xb2current_commit_sha\xc0"


def test_int_pair():
    assert t.write_int_pair("main_thread_id", 200) == b"\xaemain_thread_id\xcc\xc8"
    assert t.write_int_pair("main_thread_id", 70000) == b"\xaemain_thread_id\xce\x00\x01\x11\x70"
    assert t.write_int_pair("main_thread_id", None) == b"\xaemain_thread_id\xc0"


def test_f64_pair_is_always_timestamp():
    assert t.write_f64_pair(1.5) == b"\xa9timestamp\xcb" + struct.pack(">d", 1.5)


def test_raw_pair_appends_verbatim_and_empties_the_buffer():
    encoded = msgpack.packb({"x": 1})
    out, left = t.write_raw_pair("arg", encoded)
    assert out == key("arg") + encoded
    assert left == 0


@pytest.mark.parametrize(("count", "header"), [(0, "90"), (1, "91"), (15, "9f"), (16, "dc0010")])
def test_raw_frames(count, header):
    records = [msgpack.packb({"n": i}) for i in range(count)]
    out = t.write_raw_frames(records)
    assert out == bytes.fromhex(header) + b"".join(records)
    assert msgpack.unpackb(out) == [{"n": i} for i in range(count)]


def test_frames_of_interest():
    records = [msgpack.packb(i) for i in range(3)]
    assert t.write_frames_of_interest(records) == b"\xb2frames_of_interest\x93\x00\x01\x02"
    assert t.write_frames_of_interest([]) == b"\xb2frames_of_interest\x90"


def test_frames_by_thread():
    assert t.write_frames({}) == b"\xa6frames\x80"
    record = msgpack.packb({"type": "frame"})
    assert t.write_frames({200: [record]}) == b"\xa6frames\x81\xcc\xc8\x91" + record
    out = t.write_frames({200: [record, record], 70000: [], 2**40: [record]})
    decoded = msgpack.unpackb(b"\x81" + out, strict_map_key=False)
    assert decoded == {"frames": {200: [{"type": "frame"}] * 2, 70000: [], 2**40: [{"type": "frame"}]}}
    assert b"\xce\x00\x01\x11\x70\x90" in out


def test_argv():
    assert t.write_argv([]) == b"\xb1command_line_args\x90"
    long_arg = "a" * 40
    out = t.write_argv(["prog.py", long_arg])
    assert out == b"\xb1command_line_args\x92\xa7prog.py\xd9\x28" + long_arg.encode()


def test_meta():
    assert t.write_meta("1.2.3", "tests") == (
        b"\xa4meta\x83\xa7version\xa51.2.3\xa6source\xa5tests\xb4use_frame_boundaries\xc3"
    )


def test_pairs_assemble_into_a_trace_shaped_map():
    record = msgpack.packb({"type": "frame", "n": 1})
    parts = [
        t.write_values([("map", 8)]),
        t.write_argv(["prog", "-x"]),
        t.write_str_pair("current_commit_sha", None),
        t.write_frames({123: [record]}),
        t.write_frames_of_interest([record, record]),
        t.write_int_pair("main_thread_id", 123),
        t.write_meta("0.1", "src"),
        t.write_f64_pair(12.25),
        t.write_str_pair("trace_id", "trc_X"),
    ]
    document = msgpack.unpackb(b"".join(parts), strict_map_key=False)
    assert list(document) == ["command_line_args", "current_commit_sha", "frames", "frames_of_interest",
                              "main_thread_id", "meta", "timestamp", "trace_id"]
    assert document["frames"] == {123: [{"type": "frame", "n": 1}]}
    assert document["frames_of_interest"] == [{"type": "frame", "n": 1}] * 2
    assert document["meta"] == {"version": "0.1", "source": "src", "use_frame_boundaries": True}
    assert document["timestamp"] == 12.25


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="address-space limits break ASan")
def test_out_of_memory_write_is_reported_by_finish():
    # Runs in a child: the address-space limit makes the writer's buffer growth fail for real.
    script = textwrap.dedent(
        """
        import resource
        import _vesk_testing as t

        big = "x" * 300_000_000
        with open("/proc/self/statm") as statm:
            used = int(statm.read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + 100_000_000, resource.RLIM_INFINITY))
        try:
            t.write_values([("str", big), ("nil", None)])
        except t.InternalError as error:
            print("InternalError:", error)
        # Later writes go on normally once memory is there.
        print(t.write_values([("nil", None)]).hex())
        """
    )
    testing_dir = os.path.dirname(t.__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([testing_dir, os.environ.get("PYTHONPATH", "")]))
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["InternalError: Writing to memory, not I/O", "c0"]


def test_buffered_records_spanning_many_chunks_come_out_whole_and_in_order():
    # Records are kept end to end in 64 KiB chunks; these cross chunk boundaries, and one record is
    # larger than a chunk by itself.
    records = [msgpack.packb({"n": n, "pad": "x" * (n % 700)}) for n in range(600)]
    records.insert(300, msgpack.packb("y" * 100_000))
    out = t.write_raw_frames(records)
    assert out[:3] == b"\xdc" + struct.pack(">H", len(records))
    assert out[3:] == b"".join(records)
