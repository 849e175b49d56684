"""tarvex.core.watch: the calibration record, the conditional guarantee,
alarms built from a calibration, and the monitor file that carries them."""

import json
import math
import time

import numpy as np
import pytest
from scipy import stats

from tarvex.core import watch
from tarvex.core.watch.calibration import _rank


def beta_rank(n, rate, confidence):
    """Smallest rank k whose fresh rate, Beta(n + 1 - k, k), stays at most
    `rate` with probability `confidence`."""
    return next(k for k in range(1, n + 1) if stats.beta.cdf(rate, n + 1 - k, k) >= confidence)


# --- calibrate with and without confidence ----------------------------------------


@pytest.mark.parametrize("n, rate, confidence", [(200, 0.05, 0.9), (45, 0.05, 0.9), (1000, 0.01, 0.95),
                                                 (400, 0.1, 0.5), (5000, 0.002, 0.99), (250, 0.2, 0.8)])
def test_confidence_rank_is_the_smallest_the_beta_law_allows(n, rate, confidence):
    assert _rank(n, rate, confidence) == beta_rank(n, rate, confidence)


@pytest.mark.parametrize("confidence", [None, 0.9])
def test_calibrate_records_its_decision_and_tau_is_the_ranked_score(fresh, held_out, confidence):
    S, Z = held_out
    tau = watch.calibrate(fresh, S, Z, false_alarm_rate=0.05, confidence=confidence)
    record = fresh.calibration
    scores = np.sort(fresh.score_batch(S, Z))
    expected_rank = 400 - 20 if confidence is None else beta_rank(400, 0.05, confidence)
    assert record == watch.Calibration(tau=tau, false_alarm_rate=0.05, rows=400, rank=expected_rank,
                                       confidence=confidence)
    assert tau == fresh.tau == scores[expected_rank - 1]
    if confidence is not None:  # the guarantee costs a higher threshold
        assert expected_rank > 380


@pytest.mark.parametrize("rate, confidence, rows, message", [
    (0.05, 0.9, 44, "at least 45 for confidence 0.9"),
    (0.05, 1.0, 400, "confidence must lie strictly between 0 and 1"),
    (5e-324, None, 400, "cannot resolve"),
    (5e-324, 0.9, 400, "cannot resolve"),
])
def test_calibrate_refuses_requests_the_rows_cannot_meet(fresh, held_out, rate, confidence, rows, message):
    before = fresh.tau
    with pytest.raises(ValueError, match=message):
        watch.calibrate(fresh, held_out[0][:rows], held_out[1][:rows], false_alarm_rate=rate, confidence=confidence)
    assert fresh.tau == before and not hasattr(fresh, "calibration")
    if rows == 44:  # one row more is enough
        watch.calibrate(fresh, held_out[0][:45], held_out[1][:45], false_alarm_rate=rate, confidence=confidence)


@pytest.mark.parametrize("change, error", [
    ({"rank": 191}, ValueError),  # not what the rule gives for 200 rows at 5%
    ({"rank": 201}, ValueError),
    ({"rows": 0}, ValueError),
    ({"tau": math.inf}, ValueError),
    ({"confidence": 1.5}, ValueError),
    ({"rows": 200.0}, TypeError),
    ({"rows": 10, "rank": 10}, ValueError),  # the rank fits, but calibrate needs 200 rows at 5%
])
def test_calibration_record_refuses_values_it_cannot_stand_for(change, error):
    with pytest.raises(error):
        watch.Calibration(**{"tau": 1.0, "false_alarm_rate": 0.05, "rows": 200, "rank": 190, **change})


# --- window alarms -------------------------------------------------------------------


@pytest.mark.parametrize("rows, rate, confidence, window, significance", [
    (200, 0.05, None, 50, 1e-3), (200, 0.05, 0.9, 50, 1e-3), (50, 0.2, None, 30, 0.01), (2000, 0.01, 0.9, 300, 1e-4),
])
def test_from_calibration_thresholds_are_the_beta_binomial_quantiles(rows, rate, confidence, window, significance):
    rank = _rank(rows, rate, confidence)
    calibration = watch.Calibration(tau=2.5, false_alarm_rate=rate, rows=rows, rank=rank, confidence=confidence)
    alarm = watch.WindowAlarm.from_calibration(calibration, window=window, significance=significance)
    assert (alarm.tau, alarm.false_alarm_rate, alarm.calibration) == (2.5, rate, calibration)
    alarm.update([0.0] * window)  # fills the window, so every partial threshold is found as in service
    law = dict(a=rows + 1 - rank, b=rank)
    for m in sorted({1, 2, 3, window // 2, window - 1, window}):
        # With a confidence, the binomial at the stated rate must find the count improbable too.
        expected = next((c for c in range(1, m + 1) if stats.betabinom.sf(c - 1, m, **law) <= significance
                         and (confidence is None or stats.binom.sf(c - 1, m, rate) <= significance)), m + 1)
        assert alarm._critical(m) == expected


def test_window_alarm_settings_are_read_only():
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01)
    for name in ("tau", "false_alarm_rate", "window", "significance", "calibration"):
        with pytest.raises(AttributeError):
            setattr(alarm, name, 100)
    assert alarm.window == 50


@pytest.mark.parametrize("window", [10**5, 10**7])
def test_window_alarm_sets_up_large_windows_at_once(window):
    started = time.perf_counter()
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01, window=window)
    assert time.perf_counter() - started < 2.0  # the former table took minutes from 1e6 on
    c = alarm._critical(window)
    assert stats.binom.sf(c - 1, window, 0.01) <= 1e-3 < stats.binom.sf(c - 2, window, 0.01)


@pytest.mark.parametrize("scores, error", [(None, TypeError), ([0.5, None], TypeError), ([[0.5]], ValueError),
                                           (["3"], TypeError), (3 + 4j, TypeError), ([True], TypeError),
                                           (np.array([0.5, 1j]), TypeError)])
def test_window_alarm_update_refuses_what_is_not_scores(scores, error):
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01, window=5)
    alarm.update([2.0])
    with pytest.raises(error):
        alarm.update(scores)
    assert alarm.count == 1


@pytest.mark.parametrize("make", [
    lambda window: watch.WindowAlarm.from_calibration(
        watch.Calibration(tau=1.0, false_alarm_rate=0.05, rows=200, rank=190), window=window),
    lambda window: watch.WindowAlarm(tau=1.0, false_alarm_rate=0.05, window=window),
], ids=["from_calibration", "binomial"])
def test_a_window_that_can_never_fire_is_refused_naming_the_smallest_that_can(make):
    for window in (1, 2):
        with pytest.raises(ValueError, match="can never fire.*smallest window that can fire is 3"):
            make(window)
    assert make(3).update([1e9] * 3)


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.float64])
def test_numpy_float_rates_are_recorded_as_the_decimal_the_caller_wrote(dtype):
    record = watch.Calibration(tau=1.0, false_alarm_rate=dtype(0.05), rows=200, rank=195, confidence=dtype(0.9))
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=dtype(0.05), significance=dtype(0.001))
    assert (record.false_alarm_rate, record.confidence) == (0.05, 0.9)
    assert (alarm.false_alarm_rate, alarm.significance) == (0.05, 0.001)
    assert json.loads(json.dumps(record.to_dict()))["false_alarm_rate"] == 0.05


@pytest.mark.parametrize("tau", [10**400, -10**400, math.nan, "1.0"])
def test_window_alarm_refuses_a_tau_that_is_not_a_finite_number(tau):
    with pytest.raises(ValueError, match="tau must be a finite number"):
        watch.WindowAlarm(tau=tau, false_alarm_rate=0.01)


# --- monitor files -------------------------------------------------------------------


def small_report():
    return watch.TuningReport(settings=[{"hidden": (8,), "lr": 1e-3}, {}], faults=["shift 1", "mismatched S"],
                              detection=[[0.5, 0.25], [math.nan, math.nan]], fit_seconds=[1.5, 2.0], chosen=0,
                              training_rows=300, held_out_rows=400, false_alarm_rate=0.05)


def test_the_file_carries_calibration_layers_and_tuning(fresh, held_out, tmp_path):
    watch.calibrate(fresh, *held_out, false_alarm_rate=0.05, confidence=0.9)
    fresh.tuning_report = small_report()
    path = tmp_path / "monitor.json"
    watch.save(fresh, path, layers=("body.0", "output"))
    document = json.loads(path.read_text())
    assert (document["format"], document["format_version"]) == ("tarvex-monitor", 1)
    assert isinstance(document["package_version"], str) and document["monitor"] == fresh.to_dict()
    loaded = watch.load(path)
    assert loaded.calibration == fresh.calibration and loaded.tau == fresh.tau
    assert loaded.layers == {"s": "body.0", "z": "output"}
    report, original = loaded.tuning_report, fresh.tuning_report
    assert report.settings == original.settings and report.faults == original.faults
    np.testing.assert_array_equal(report.detection, original.detection)  # NaN survives as NaN
    assert str(report) == str(original)
    np.testing.assert_allclose(loaded.score_batch(*held_out), fresh.score_batch(*held_out), rtol=1e-5)
    alarm = watch.WindowAlarm.from_calibration(loaded.calibration)
    assert alarm.tau == fresh.tau


def test_a_bare_monitor_dictionary_still_loads_without_calibration(monitor, held_out, tmp_path):
    path = tmp_path / "old.json"
    path.write_text(json.dumps(monitor.to_dict()))
    loaded = watch.load(path)
    assert loaded.calibration is None and loaded.layers is None and loaded.tuning_report is None
    np.testing.assert_allclose(loaded.score_batch(*held_out), monitor.score_batch(*held_out), rtol=1e-5)


@pytest.mark.parametrize("edit, message", [
    (lambda d: {"tau": 3.0}, "not a monitor file"),
    (lambda d: {**d["monitor"], "type": "something else"}, "not a monitor file"),
    (lambda d: {**d, "format": "tarvex-coverage-x"}, "format 'tarvex-coverage-x' is unknown"),
    (lambda d: {**d, "format_version": 3}, "format version 3; this package reads versions up to 2"),
    (lambda d: {**d, "calibration": {**d["calibration"], "tau": 123.0}}, "calibration's tau"),
    (lambda d: {**d, "calibration": {**d["calibration"], "rank": 1}}, "calibration entry is invalid"),
    (lambda d: {**d, "layers": {"s": "a"}}, "layers entry is invalid"),
    (lambda d: {**d, "extra": 1}, r"unknown \['extra'\]"),
    (lambda d: {**d, "monitor": {k: v for k, v in d["monitor"].items() if k != "tau"}}, "lacks 'tau'"),
])
def test_load_refuses_what_is_not_a_monitor_file_of_this_version(fresh, held_out, tmp_path, edit, message):
    watch.calibrate(fresh, *held_out, false_alarm_rate=0.05)
    path = tmp_path / "monitor.json"
    watch.save(fresh, path)
    path.write_text(json.dumps(edit(json.loads(path.read_text()))))
    with pytest.raises(ValueError, match=message) as caught:
        watch.load(path)
    assert "monitor.json" in str(caught.value)


def test_save_refuses_a_calibration_that_tau_has_left_behind(fresh, held_out, tmp_path):
    watch.calibrate(fresh, *held_out, false_alarm_rate=0.05)
    fresh.tau = fresh.tau * 2
    path = tmp_path / "monitor.json"
    with pytest.raises(ValueError, match="calibrate again"):
        watch.save(fresh, path)
    assert not path.exists()
    fresh.calibration = None
    watch.save(fresh, path)
    assert watch.load(path).calibration is None
