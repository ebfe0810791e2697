"""Recording from code: the context manager and the decorator."""

from __future__ import annotations

import asyncio
import logging
import re
import sys

import pytest
from host_support import load_trace, needs_engine, records

import vesk
from vesk import _vesk, calibration, profiler, storage
from vesk.storage import open_store

pytestmark = needs_engine


def square(value):
    return value * value


def functions_in(db_path, trace_id) -> list[str]:
    trace = load_trace(str(db_path), trace_id)
    return [r["co_name"] for d in trace.documents for r in records(d) if r.get("type") == "frame" and r["event"] == "call"]


def test_context_manager_records_the_block_into_one_trace(tmp_path):
    path = tmp_path / "traces.sqlite3"
    square(1)  # before: not recorded
    with vesk.profile(db_path=path) as recording:
        assert profiler.is_recording()
        square(2)
    square(3)  # after: not recorded
    assert not profiler.is_recording()
    # The interpreter is left as found: the program's own profile functions see no stand-in's calls.
    assert sys.setprofile is profiler._setprofile
    assert recording.saved and recording.error is None
    assert functions_in(path, recording.trace_id) == ["square"]
    summary = open_store(str(path)).trace_summary(recording.trace_id)
    assert summary.source == "code" and summary.frame_count == 2


def test_decorator_makes_one_trace_per_call_and_nesting_adds_nothing(tmp_path):
    path = tmp_path / "traces.sqlite3"

    @vesk.profile(db_path=path)
    def outer(value):
        return inner(value) + 1

    @vesk.profile(db_path=path)
    def inner(value):
        return square(value)

    assert outer(3) == 10
    assert outer(4) == 17
    traces = open_store(str(path)).list_traces()
    assert len(traces) == 2  # inner() ran inside outer()'s recording both times
    for summary in traces:
        assert functions_in(path, summary.trace_id) == ["outer", "inner", "square"]


def test_bare_decorator_and_coroutines(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    @vesk.profile
    def plain():
        return square(5)

    @vesk.profile(lightweight_repr=True)
    async def coroutine():
        await asyncio.sleep(0)
        return square(6)

    assert plain() == 25
    assert asyncio.run(coroutine()) == 36
    default_db = tmp_path / ".vesk" / "db.sqlite3"
    names = [functions_in(default_db, s.trace_id) for s in open_store(str(default_db)).list_traces()]
    # A coroutine is "called" again at every resumption.
    assert names[0][0] == "coroutine" and "square" in names[0]
    assert names[1] == ["plain", "square"]


def test_a_failed_save_does_not_break_the_program(tmp_path, caplog):
    path = tmp_path / "traces.sqlite3"
    with caplog.at_level(logging.WARNING, logger="vesk"):
        with vesk.profile(db_path=path) as recording:
            square(2)
            path.unlink()
            path.mkdir()  # the database is gone; a directory stands in its way
    assert not recording.saved and isinstance(recording.error, storage.StorageError)
    assert "cannot save trace" in caplog.text and "written to" in caplog.text
    assert list(tmp_path.glob("traces.sqlite3.trc_*.msgpack"))


def test_unknown_options_and_unusable_databases_fail_before_recording(tmp_path):
    with pytest.raises(TypeError, match="colour"):
        with vesk.profile(db_path=tmp_path / "x.sqlite3", colour=True):
            pass
    with pytest.raises(storage.StorageError, match="does not exist"):
        with vesk.profile(db_path=tmp_path / "missing" / "x.sqlite3"):
            pass
    assert not profiler.is_recording()


class Shown:
    def __repr__(self):
        return "shown"


def many_kinds_of_locals(number, text="t", *rest, password="hunter2", **options):
    big = list(range(500))
    nested = {"k": [1, (2, 3)], "secret_token": "x", 3: None}
    odd = "\udcff"
    shown = Shown()
    deep = [number]
    for _ in range(30):
        deep = [deep]
    del text
    return len(big) + len(nested) + len(odd) + len(deep) + (shown is not None)


def with_a_closure(value):
    def inner():
        return value

    return inner()


def counting(limit):
    for step in range(limit):
        yield step


def run_them_all():
    many_kinds_of_locals(1)
    many_kinds_of_locals(2.5, "x", 3, 4, password="p", extra={"a": 1})
    with_a_closure([1, 2])
    list(counting(3))
    return Shown()


def recorded_values(path, monkeypatch, through_python) -> list[str]:
    from vesk import serialize

    if through_python:
        native_full = serialize.dump_msgpack
        monkeypatch.setattr(serialize, "dump_msgpack", lambda value: native_full(value))
    with vesk.profile(db_path=path) as recording:
        run_them_all()
    monkeypatch.undo()
    trace = load_trace(str(path), recording.trace_id)
    values = [repr([r["co_name"], r["event"], r["arg"], r["locals"]])
              for d in trace.documents for r in records(d) if r.get("type") == "frame"]
    return [re.sub(r" at 0x[0-9a-f]+", "", text) for text in values]  # addresses differ from run to run


def test_the_serialiser_called_natively_writes_what_its_python_call_writes(tmp_path, monkeypatch):
    native = recorded_values(tmp_path / "native.sqlite3", monkeypatch, through_python=False)
    through_python = recorded_values(tmp_path / "python.sqlite3", monkeypatch, through_python=True)
    assert len(native) > 10
    assert native == through_python


def _calls_in(run, iterations, filename=calibration.FILENAME) -> int:
    calls = []

    def count(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == filename:
            calls.append(frame.f_code.co_name)

    sys.setprofile(count)
    try:
        run(iterations)
    finally:
        sys.setprofile(None)
    return len(calls)


def test_the_calibration_counts_every_event_of_its_runs_and_the_recording_starts_with_its_estimates(tmp_path):
    settings = profiler.prepare_settings(str(tmp_path), db_path=tmp_path / "traces.sqlite3")
    host = profiler.Profiler(settings, source="code")
    run = calibration._calibration_function()
    for shape in (calibration.RECORDED, calibration.LEFT_OUT):
        measured = calibration._profiled(_vesk, host.config, run, shape)
        # Each event between `run`'s call and return, recorded or left out, and `run`'s own edge.
        # (`run`'s own call is the measured span's edge.)
        assert [events for _, events in measured] == [2 * (_calls_in(run, shape[1]) - 1) + 1] * calibration.RUNS
        assert all(program > 0 for program, _ in measured)
    library_calls = _calls_in(calibration._library_caller(), 50, calibration.LIBRARY_FILENAME)
    assert library_calls == calibration.library_calls(50)
    dropped = calibration._profiled(_vesk, host.config, calibration._library_caller(), calibration.DROPPED)
    assert [events for _, events in dropped] == [1] * calibration.RUNS  # none of library code's is decided on
    host.start()
    host.stop()
    estimates = {key: host.config[key] for key in calibration.NAMES}
    assert estimates == calibration.estimates(_vesk, host.config) and min(estimates.values()) >= 0


def test_the_estimates_are_the_median_of_the_first_measurements_kept_beside_the_database(tmp_path, monkeypatch):
    per_record = iter([40.0, 90.0, 41.0, 42.0, 10.0, 99.0, 50.0, 60.0, 70.0])
    measured = []

    def measure(engine, config):
        measured.append(config)
        return {"recorder_time_per_event_ns": 12.5, "recorder_time_per_record_ns": next(per_record),
                "recorder_time_per_dropped_ns": 3.0}

    monkeypatch.setattr(calibration, "measure", measure)
    config = {"lightweight_repr": False, "limits": {"calls_per_function": 500}}
    kept = tmp_path / calibration.KEPT_FILE
    first = [(lambda: None, config, True, median) for median in (40.0, 65.0, 41.0, 41.5, 41.0)]
    cases = [  # (what happens first, configuration, measured again, the median per record)
        *first,
        (lambda: None, config, False, 41.0),
        (lambda: None, {**config, "lightweight_repr": True}, True, 99.0),
        (lambda: kept.write_text(kept.read_text().replace("\n12.5 ", "\n-12.5 ")), config, True, 50.0),
        (lambda: kept.write_text(kept.read_text().replace("\n", "\n-", 1)), config, True, 60.0),  # begun long ago
        (lambda: kept.write_text("damaged"), config, True, 70.0),
    ]
    assert len(first) == calibration.SAMPLES
    for happen, configuration, again, median in cases:
        happen()
        monkeypatch.setattr(calibration, "_estimates", None)
        before = len(measured)
        estimates = calibration.estimates(_vesk, configuration, str(tmp_path))
        assert (len(measured) > before) == again
        assert estimates == {"recorder_time_per_event_ns": 12.5, "recorder_time_per_record_ns": median,
                             "recorder_time_per_dropped_ns": 3.0}


def test_unsteady_measurements_are_measured_again_and_used_only_while_none_is_steady(tmp_path, monkeypatch):
    steady, busy = {"lightweight_repr": False}, {"lightweight_repr": True}
    # (configuration, what a measurement gives (per record, unsteady) or None: not measured, the
    # estimate per record, whether the trace is told its durations may be off)
    cases = [(steady, (500.0, 1.0), 500.0, True), (steady, (40.0, 0.0), 40.0, False),
             (steady, (600.0, 1.0), 40.0, False),
             *[(steady, (n, 0.0), 40.5 + (n - 41) / 2, False) for n in (41, 42, 43)],
             (steady, (44.0, 0.0), 42.0, False), (steady, None, 42.0, False),
             *[(busy, (100.0 * n, 1.0), 100.0 * (n + 1) / 2, True) for n in range(1, 11)], (busy, None, 550.0, True)]
    for configuration, measured, per_record, unsteady in cases:
        monkeypatch.setattr(calibration, "_estimates", None)
        values = iter([] if measured is None else [measured])

        def measure(engine, config):
            record, flag = next(values)
            return {"recorder_time_per_event_ns": 1.0, "recorder_time_per_record_ns": record,
                    "recorder_time_per_dropped_ns": 1.0, "unsteady": flag}

        monkeypatch.setattr(calibration, "measure", measure)
        estimates = calibration.estimates(_vesk, configuration, str(tmp_path))
        assert next(values, None) is None
        assert (estimates["recorder_time_per_record_ns"], calibration.unsteady()) == (per_record, unsteady)


@pytest.mark.parametrize("plain, programs, unsteady", [
    ([100] * 6, [150, 150, 160, 170, 180], False),
    ([100] * 6, [150, 150, 300, 300, 300], True),  # profiled runs beside a neighbour
    ([900, 100, 100, 200, 200, 200], [150] * 5, True),  # plain ones (the first only warms up)
])
def test_a_measurement_whose_identical_runs_differ_widely_is_unsteady(monkeypatch, plain, programs, unsteady):
    times = iter(plain * 3)  # one measurement per estimate
    monkeypatch.setattr(calibration, "_plain_ns", lambda run, iterations: next(times))
    monkeypatch.setattr(calibration, "_profiled", lambda *a: [(program, 10) for program in programs])
    measured = calibration.measure(_vesk, {})
    expected = {"recorder_time_per_event_ns": 5.0, "recorder_time_per_record_ns": 0.0,
                "recorder_time_per_dropped_ns": 50 / (2 * calibration.library_calls(calibration.DROPPED[1])),
                "unsteady": float(unsteady)}
    assert measured == expected
