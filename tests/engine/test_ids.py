"""Frame and trace identifiers (ULIDs), their random source, and the wall-clock timestamp."""

import os
import re
import threading
import time

import pytest

import _vesk_testing as t

ALPHABET = "0123456789ABCDEFGHJKMNPQRSTVWXYZ"
ID_PATTERN = re.compile(r"[0-7][0-9A-HJKMNP-TV-Z]{25}")


def reference_text(value):
    """Crockford base 32 of a 128-bit value, computed with Python integers."""
    return "".join(ALPHABET[(value >> (5 * (25 - i))) & 31] for i in range(26))


def decode_text(text):
    value = 0
    for char in text:
        value = value * 32 + ALPHABET.index(char)
    return value


@pytest.mark.parametrize(("make", "prefix"), [(t.frame_id, "frm_"), (t.trace_id, "trc_")])
def test_identifier_form(make, prefix):
    ids = [make() for _ in range(200)]
    for identifier in ids:
        assert len(identifier) == 30
        assert identifier.startswith(prefix)
        assert ID_PATTERN.fullmatch(identifier[4:]), identifier
    assert len(set(ids)) == len(ids)
    # The time part is the current wall clock in milliseconds.
    millis = decode_text(ids[-1][4:]) >> 80
    assert abs(millis - time.time() * 1000) < 5000


def test_text_places_every_bit():
    assert t.ulid_text(0, 0) == "0" * 26
    assert t.ulid_text(2**64 - 1, 2**64 - 1) == "7" + "Z" * 25
    for bit in range(128):
        value = 1 << bit
        assert t.ulid_text(value >> 64, value & (2**64 - 1)) == reference_text(value), bit


def test_known_time_prefix():
    # The published example: 1469918176385 ms is "01ARYZ6S41".
    high, low, text = t.ulid(1469918176385)
    assert text.startswith("01ARYZ6S41")
    assert text == reference_text(high << 64 | low)


def test_layout_time_then_random():
    millis = 1_700_000_000_123
    drawn = [t.ulid(millis) for _ in range(2000)]
    for high, low, text in drawn:
        assert high >> 16 == millis
        assert text[:10] == drawn[0][2][:10]
    assert len({(high, low) for high, low, _ in drawn}) == len(drawn)
    # All 80 random bits vary: each is set in roughly half of the draws.
    for bit in range(80):
        if bit < 64:
            ones = sum(low >> bit & 1 for _, low, _ in drawn)
        else:
            ones = sum(high >> (bit - 64) & 1 for high, _, _ in drawn)
        assert 800 < ones < 1200, bit


def test_time_field_wraps_at_48_bits():
    high, _, text = t.ulid(2**48 + 5)
    assert high >> 16 == 5
    assert text.startswith("0000000005")


@pytest.mark.parametrize(
    ("seconds", "nanoseconds", "millis"),
    [
        (0, 0, 0),
        (1, 500_000_000, 1500),
        (1, 999_999, 1000),  # truncated, not rounded
        (1_700_000_000, 123_999_999, 1_700_000_000_123),
        (2**48 // 1000 + 7, 0, ((2**48 // 1000 + 7) * 1000) % 2**48),
        (-1, 999_999_999, 0),  # before the epoch: time field 0
        (-(2**40), 0, 0),
    ],
)
def test_clock_to_millis(seconds, nanoseconds, millis):
    assert t.clock_millis(seconds, nanoseconds) == millis


def test_before_epoch_still_forms_an_id():
    _, _, text = t.ulid(t.clock_millis(-5, 0))
    assert text.startswith("0" * 10)
    assert ID_PATTERN.fullmatch(text)


def test_timestamp():
    assert t.timestamp_from(1, 500_000_000) == 1.5
    assert t.timestamp_from(0, 0) == 0.0
    assert t.timestamp_from(1_700_000_000, 1) == 1_700_000_000 + 1e-9
    assert abs(t.timestamp() - time.time()) < 1.0
    for seconds, nanoseconds in [(-1, 0), (-1, 999_999_999)]:
        with pytest.raises(t.InternalError) as caught:
            t.timestamp_from(seconds, nanoseconds)
        assert str(caught.value).startswith("System time is before unix epoch")
        assert not isinstance(caught.value, Exception)


def test_ids_sort_in_time_order():
    first = t.frame_id()
    time.sleep(0.003)
    second = t.frame_id()
    assert first < second
    assert t.ulid(1000)[2] < t.ulid(1001)[2]


def test_frame_id_from_text():
    text = t.frame_id()
    assert t.frame_id_from_text(text) == text
    assert t.frame_id_from_text(text[:-1]) is None
    assert t.frame_id_from_text(text + "A") is None


def run_in_thread(function):
    results = []
    thread = threading.Thread(target=lambda: results.append(function()))
    thread.start()
    thread.join()
    return results[0]


def test_each_thread_has_its_own_generator():
    def draw():
        before = t.random_seedings()
        ids = [t.frame_id() for _ in range(1000)]
        return before, t.random_seedings(), ids

    outcomes = []
    threads = [threading.Thread(target=lambda: outcomes.append(draw())) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    all_ids = [identifier for _, _, ids in outcomes for identifier in ids]
    assert len(set(all_ids)) == 4000
    assert [(before, after) for before, after, _ in outcomes] == [(0, 1)] * 4


def test_reseeds_after_64_kib():
    def draw_until_reseed():
        t.ulid(0)
        counts = []
        for _ in range(8000):  # 10 random bytes per ULID
            t.ulid(0)
            counts.append(t.random_seedings())
        return counts

    counts = run_in_thread(draw_until_reseed)
    assert counts[5000] == 1
    assert counts[-1] == 2
    # The switch happens right after 64 KiB of output.
    assert 6400 < counts.index(2) < 6600


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_does_not_repeat_the_parent_stream():
    t.ulid(0)
    seeded = t.random_seedings()
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            child = [t.ulid(0)[1] for _ in range(50)]
            line = f"{t.random_seedings()} " + " ".join(map(str, child))
            os.write(write_end, line.encode())
        finally:
            os._exit(0)
    os.close(write_end)
    parent = [t.ulid(0)[1] for _ in range(50)]
    with os.fdopen(read_end) as pipe:
        reported = pipe.read().split()
    os.waitpid(pid, 0)
    child_seedings, child = int(reported[0]), [int(value) for value in reported[1:]]
    assert len(child) == 50
    assert child_seedings == seeded + 1
    assert not set(child) & set(parent)
    assert t.random_seedings() == seeded
