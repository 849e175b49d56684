"""Telling a broken model from changed inputs: the typicality of S, the cause
on every alarm, constant columns in a coverage and the widened fit."""

import json
import logging
import math

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch
from tarvex.core.watch.typicality import Typicality, cause_of, constant_columns

from test_coverage import FAST, MLP, inputs as coverage_inputs
from test_watching import Net, break_logit_0, offline

RATE = 0.05


def gaussian(n, seed, width=6):
    rows = np.random.default_rng(seed).normal(size=(n, width))
    rows[:, 2] = 1.5  # a column that never varies
    return rows


@pytest.fixture(scope="module")
def typicality():
    return watch.fit_typicality(gaussian(3000, 0), gaussian(1000, 1), false_alarm_rate=RATE)


def test_typicality_keeps_its_rate_and_flags_moved_rows(typicality):
    clean = typicality.score(gaussian(4000, 2))
    assert np.mean(clean > typicality.tau) < RATE + 0.02
    offset = gaussian(500, 3)
    offset[:, [0, 1, 3, 4, 5]] += 2.0  # +2 sd on every varying column
    assert np.mean(typicality.score(offset) > typicality.tau) > 0.9
    touched = gaussian(500, 4)
    touched[:, 2] += 0.01  # a tiny change to the constant column is a change of the inputs
    assert np.all(typicality.score(touched) > typicality.tau)
    assert typicality.score(np.full((1, 6), np.nan))[0] == np.inf
    # the mean of a window of scores sees a shift that few single rows show
    small = gaussian(50, 5)
    small[:, [0, 1, 3, 4, 5]] += 0.7
    windows = [typicality.score(rows) for rows in np.split(gaussian(4000, 6), 80)]
    assert np.mean([typicality.mean_is_high(w.sum(), len(w)) for w in windows]) <= 0.05
    assert typicality.mean_is_high(typicality.score(small).sum(), 50)
    assert np.mean(typicality.score(small) > typicality.tau) < 0.3
    reread = Typicality.from_dict(json.loads(json.dumps(typicality.to_dict())))
    np.testing.assert_allclose(reread.score(offset), typicality.score(offset))
    assert reread.calibration == typicality.calibration


def relu_rows(n, seed, width=12):
    """Skewed, partly zero rows, like a ReLU layer's output."""
    mixing = np.random.default_rng(99).normal(size=(5, width))
    return np.maximum(np.random.default_rng(seed).normal(size=(n, 5)) @ mixing + 0.3, 0.0)


def long_tailed_rows(n, seed, width=6):
    """Student-t columns with 3 degrees of freedom: a few clean rows score
    far beyond the rest."""
    return np.random.default_rng(seed).standard_t(3, size=(n, width))


@pytest.mark.parametrize("rows", [gaussian, relu_rows, long_tailed_rows], ids=["gaussian", "relu", "long-tailed"])
@pytest.mark.parametrize("length", [3, 10, 50])
def test_window_tests_hold_their_level_on_clean_windows(rows, length):
    typicality = watch.fit_typicality(rows(3000, 0), rows(1000, 1), false_alarm_rate=0.01)
    scored = typicality.scored_rows(rows(1500 * length, 2))
    p_values = np.array([typicality.window_p_values(window) for window in np.split(scored, 1500)])
    assert p_values.shape == (1500, 4)
    # each test near its level (skewed rows in short windows exceed it a
    # little), and so the Bonferroni minimum
    assert (p_values < 0.01).mean(axis=0).max() <= 0.025
    assert np.mean(len(watch.WINDOW_TESTS) * p_values.min(axis=1) < 0.01) <= 0.02


@pytest.mark.parametrize("change, test", [
    (lambda S, mean: S + 0.3 * S.std(axis=0), "mean_shift"),  # every column +0.3 sd
    (lambda S, mean: mean + 0.5 * (S - mean), "spread_low"),  # half the spread: blurred, scaled down
    (lambda S, mean: mean + 1.3 * (S - mean), "spread_high"),
])
def test_window_tests_see_shifts_that_single_rows_miss(typicality, change, test):
    clean = gaussian(200, 7)
    moved = change(clean, typicality.mean)
    assert np.mean(typicality.score(moved) > typicality.tau) < 0.25
    p_values = dict(zip(watch.WINDOW_TESTS, typicality.window_p_values(typicality.scored_rows(moved))))
    assert p_values[test] < 1e-4 and typicality.window_p_value(clean) > 0.01
    # a typicality stored before the window statistics existed tests alike
    old = Typicality.from_dict({k: v for k, v in typicality.to_dict().items() if k != "window"})
    assert old.window_p_value(moved) < 1e-2


@pytest.mark.parametrize("call, error, message", [
    (lambda t: t.score(np.zeros((2, 5))), ValueError, "shape \\(rows, 6\\)"),
    (lambda t: t.score(np.zeros((2, 6), dtype=complex)), TypeError, "complex"),
    (lambda t: Typicality.from_dict({**t.to_dict(), "scale": [0.0] * 6}), ValueError, "positive"),
    (lambda t: Typicality.from_dict({**t.to_dict(), "mean": [1.0] * 5}), ValueError, "disagree"),
    (lambda t: Typicality.from_dict({**t.to_dict(), "calibration": {**t.calibration.to_dict(), "rank": 1}}),
     ValueError, "inconsistent calibration"),
    (lambda t: watch.fit_typicality(gaussian(100, 0), gaussian(10, 1)), ValueError, "at least 100"),
    (lambda t: Typicality.from_dict({**t.to_dict(), "window": {**t.to_dict()["window"], "trace": -1.0}}),
     ValueError, "non-negative"),
    (lambda t: Typicality.from_dict({**t.to_dict(), "window": {**t.to_dict()["window"], "centre": [0.0]}}),
     ValueError, "6 finite numbers"),
    (lambda t: watch.fit_typicality(np.full((300, 2), np.inf)), ValueError, "non-finite"),
])
def test_typicality_refuses_bad_input(typicality, call, error, message):
    with pytest.raises(error, match=message):
        call(typicality)


def test_the_cause_rule_and_constant_columns():
    assert [cause_of(f, d) for f in (True, False) for d in (True, False)] == ["both", "model_fault",
                                                                              "input_drift", None]
    rows = np.random.default_rng(0).normal(size=(50, 4))
    rows[:, 1] = 3.0
    rows[:, 3] = 1e-9 * rows[:, 0]  # varies, but by nothing against the others
    assert constant_columns(rows).tolist() == [False, True, False, True]
    assert constant_columns(np.ones((5, 2))).tolist() == [True, True]


# --- the cause on a watcher's events -------------------------------------------------


@pytest.fixture(scope="module")
def served():
    """A monitor of Net (S = body.0, Z = the logits) calibrated at 5%, and
    the typicality of its S."""
    net = Net().eval()
    generator = torch.Generator().manual_seed(11)
    monitor = resmon.NeuralConditionalMonitor(hidden=(16,), epochs=8, batch_size=32, dropout=0.0, random_state=0)
    monitor.fit(*offline(net, torch.randn(600, 4, generator=generator)))
    S_cal, Z_cal = offline(net, torch.randn(400, 4, generator=generator))
    watch.calibrate(monitor, S_cal, Z_cal, false_alarm_rate=RATE)
    S_fit, _ = offline(net, torch.randn(1000, 4, generator=generator))
    return monitor, watch.fit_typicality(S_fit, S_cal, false_alarm_rate=RATE)


def watch_stream(net, monitor, typicality, x, registry=None, batch=5, **options):
    alarm = watch.WindowAlarm.from_calibration(monitor.calibration, window=20, significance=1e-3)
    watcher = watch.Watcher(net, monitor, s="body.0", z="output", alarm=alarm, typicality=typicality, **options)
    if registry is not None:
        watcher.export_prometheus(registry, name="net")
    with watcher, torch.no_grad():
        for start in range(0, len(x), batch):
            net(x[start:start + batch])
    return watcher


def test_a_fault_after_s_is_a_model_fault(served, caplog):
    monitor, typicality = served
    net = Net().eval()
    break_logit_0(net)
    with caplog.at_level(logging.WARNING, logger="tarvex.core.watch"):
        watcher = watch_stream(net, monitor, typicality, torch.randn(200, 4, generator=torch.Generator().manual_seed(0)))
    causes = [event.cause for event in watcher.events]
    assert causes and set(causes) == {"model_fault"} and not watcher.drifting
    assert watcher.cause == "model_fault" and watcher.alarms_by_cause["model_fault"] == len(causes)
    assert caplog.records[0].tarvex_watch["cause"] == "model_fault"


@pytest.mark.parametrize("warm", [0, 40], ids=["empty-window", "full-window"])
@pytest.mark.parametrize("change, cause", [
    (lambda x: x, "model_fault"),
    (lambda x: x + 2.0, "both"),  # a constant offset
    (lambda x: 0.3 * x, "both"),  # less spread, as blur or scaling down gives
], ids=["clean", "offset", "shrunk"])
def test_the_first_fault_firing_judges_the_s_of_the_inputs_that_fired_it(served, change, cause, warm):
    """The fault window fires after a few inputs, long before the typicality
    window could: its cause comes from window tests on those inputs' S, also
    when the window is full of clean inputs from before."""
    monitor, typicality = served
    alarm = watch.WindowAlarm.from_calibration(monitor.calibration, window=20, significance=1e-3)
    first = []
    for seed in range(20):
        net = Net().eval()
        x = torch.randn(warm + 30, 4, generator=torch.Generator().manual_seed(seed))
        with watch.Watcher(net, monitor, s="body.0", z="output", alarm=alarm, typicality=typicality) as watcher, \
                torch.no_grad():
            alarm.reset()
            for start in range(0, warm, 5):
                net(x[start:start + 5])
            break_logit_0(net)  # a fault after S, from here on
            for start in range(warm, warm + 30, 5):
                net(change(x[start:start + 5]))
        faults = [event for event in watcher.events if event.cause != "input_drift"]
        assert faults and watcher.watch_errors == 0
        first.append(faults[0].cause)
    assert first.count(cause) >= 18


@pytest.mark.parametrize("change", [lambda x: x + 3.0, lambda x: 4.0 * x])
def test_drifted_inputs_are_never_a_model_fault(served, change):
    prometheus_client = pytest.importorskip("prometheus_client")
    registry = prometheus_client.CollectorRegistry()
    monitor, typicality = served
    x = change(torch.randn(200, 4, generator=torch.Generator().manual_seed(6)))
    watcher = watch_stream(Net().eval(), monitor, typicality, x, registry)
    causes = [event.cause for event in watcher.events]
    assert causes[0] == "input_drift" and "model_fault" not in causes
    assert watcher.drifting and watcher.cause in ("input_drift", "both")
    # one batch longer than the window: the event still counts the rows before it
    event = watch_stream(Net().eval(), monitor, typicality, x, batch=200).events[0]
    assert event.cause == "input_drift" and event.count >= 1 and np.isfinite(event.worst_score)
    assert registry.get_sample_value("tarvex_watch_input_drift", {"monitor": "net"}) == 1
    assert registry.get_sample_value("tarvex_watch_alarms_total", {"monitor": "net", "cause": "input_drift"}) >= 1
    assert registry.get_sample_value("tarvex_watch_alarms_total", {"monitor": "net", "cause": "model_fault"}) == 0


def test_background_scoring_labels_as_sync_does_and_invalid_inputs_are_not_drift(served):
    monitor, typicality = served
    drifted = 3.0 + torch.randn(200, 4, generator=torch.Generator().manual_seed(6))
    sync = watch_stream(Net().eval(), monitor, typicality, drifted)
    background = watch_stream(Net().eval(), monitor, typicality, drifted, mode="background")
    assert [(e.index, e.cause) for e in background.events] == [(e.index, e.cause) for e in sync.events]
    assert background.alarms_by_cause == sync.alarms_by_cause and background.drifting
    # a cause held open across passes settles at the same input either way
    broken = Net().eval()
    break_logit_0(broken)
    shifted = 0.5 + torch.randn(200, 4, generator=torch.Generator().manual_seed(5))
    sync, background = (watch_stream(broken, monitor, typicality, shifted, batch=3, mode=mode)
                        for mode in ("sync", "background"))
    held = [(e.index, e.settled_index, e.cause) for e in sync.events]
    assert any(index < settled for index, settled, _ in held)
    assert [(e.index, e.settled_index, e.cause) for e in background.events] == held
    # a burst of non-finite inputs is the client's doing: kept out of both windows
    x = torch.randn(200, 4, generator=torch.Generator().manual_seed(8))
    x[40:80] = math.nan
    for mode in ("sync", "background"):
        watcher = watch_stream(Net().eval(), monitor, typicality, x, mode=mode)
        assert watcher.inputs_invalid == 40 and not watcher.events and not watcher.drifting


def test_a_fault_in_the_s_layer_reads_as_both(served, caplog):
    monitor, typicality = served
    net = Net().eval()
    with torch.no_grad():
        net.body[0].weight *= 4.0  # moves S, and with it what the head computes
    with caplog.at_level(logging.WARNING, logger="tarvex.core.watch"):
        watcher = watch_stream(net, monitor, typicality, torch.randn(200, 4, generator=torch.Generator().manual_seed(7)))
    causes = [event.cause for event in watcher.events]
    assert "model_fault" not in causes and "input_drift" in causes
    if "both" in causes:  # the message names both readings and the weight check
        message = next(r.getMessage() for r in caplog.records if r.tarvex_watch.get("cause") == "both")
        assert "fingerprint" in message


@pytest.mark.parametrize("shift, cause_inputs, cause", [
    (0.7, 0, "model_fault"),  # the few inputs that fired the window cannot show a small shift
    (0.7, 15, "both"),  # the inputs after them can
    (0.0, 15, "model_fault"),  # a fault after S on clean inputs stays a model fault
])
def test_a_held_cause_sees_a_small_shift_the_firing_inputs_cannot(served, shift, cause_inputs, cause):
    monitor, typicality = served
    alarm = watch.WindowAlarm.from_calibration(monitor.calibration, window=20, significance=1e-3)
    first = []
    for seed in range(20):
        net = Net().eval()
        break_logit_0(net)  # fires the fault window after a few inputs
        alarm.reset()
        with watch.Watcher(net, monitor, s="body.0", z="output", alarm=alarm, typicality=typicality,
                           cause_inputs=cause_inputs) as watcher, torch.no_grad():
            net(torch.randn(40, 4, generator=torch.Generator().manual_seed(seed)) + shift)
        event = next(event for event in watcher.events if event.cause != "input_drift")
        assert event.index <= event.settled_index <= event.index + cause_inputs
        first.append(event.cause)
    assert first.count(cause) >= 16


@pytest.mark.parametrize("settle", ["flush", "detach", "acknowledge"])
def test_an_open_cause_is_settled_by_flush_detach_and_acknowledge(served, settle):
    monitor, typicality = served
    net = Net().eval()
    break_logit_0(net)
    delivered = []
    watcher = watch.Watcher(net, monitor, s="body.0", z="output", typicality=typicality, on_alarm=delivered.append,
                            alarm=watch.WindowAlarm.from_calibration(monitor.calibration, window=20),
                            cause_inputs=50).attach()
    x = torch.randn(100, 4, generator=torch.Generator().manual_seed(3))
    with torch.no_grad():
        for start in range(0, 100, 2):
            net(x[start:start + 2])
            if watcher.firing:
                break
    assert watcher.cause == "pending" and not watcher.events and watcher.alarms == 0
    getattr(watcher, settle)()
    assert delivered == watcher.events and len(delivered) == 1 and watcher.alarms_by_cause["model_fault"] == 1
    assert delivered[0].cause == "model_fault" and delivered[0].settled_index == watcher.inputs_seen
    watcher.detach()


def test_a_typicality_must_fit_the_watch(served):
    monitor, typicality = served
    with pytest.raises(ValueError, match="takes 6 S columns, the monitor 8"):
        watch.Watcher(Net(), monitor, s="body.0", z="output", typicality=watch.fit_typicality(gaussian(2000, 0)))
    with pytest.raises(TypeError, match="watch.Typicality"):
        watch.Watcher(Net(), monitor, s="body.0", z="output", typicality=object())
    with pytest.raises(ValueError, match="cause_inputs must be 0 or more"):
        watch.Watcher(Net(), monitor, s="body.0", z="output", typicality=typicality, cause_inputs=-1)


# --- coverage: typicality per link, constant columns ----------------------------------


def with_blank_column(x):
    x = x.copy()
    x[:, 0] = 0.0  # never varies in the clean data, like a border pixel
    return x


@pytest.fixture(scope="module")
def blank_coverage():
    mlp = MLP().eval()
    # The input link's monitor is learned although its checksum is exact: it is the one that sees the pinned column.
    return mlp, watch.cover(mlp, with_blank_column(coverage_inputs(2400, 6, 0)), ["input", "a", "b", "output"],
                            false_alarm_rate=RATE, candidates=FAST, learn_exact_links=True)


def test_a_constant_input_column_changing_is_drift_not_a_fault(blank_coverage, tmp_path):
    mlp, coverage = blank_coverage
    assert coverage._reductions["input"].constant.tolist() == [0]
    x = with_blank_column(coverage_inputs(600, 6, 9))
    clean = coverage.check(mlp, x)
    x[:, 0] = 0.1 * np.random.default_rng(1).normal(size=len(x))  # a little noise on the blank column
    touched = coverage.check(mlp, x)
    # the input link's monitor sees the column pinned (scores stay finite and
    # moderate); the typicality of the input sees the change
    assert np.isfinite(touched.scores).all() and touched.scores[:, 0].max() < 1e3 * clean.scores[:, 0].max()
    assert touched.atypical[:, 0].mean() > 0.9
    assert touched.causes.count("model_fault") <= clean.causes.count("model_fault") + 0.02 * len(x)
    assert touched.causes.count("input_drift") + touched.causes.count("both") > 0.9 * len(x)
    # stored and read back with the coverage; a file written before has none
    path = tmp_path / "coverage.json"
    watch.save(coverage, path)
    reread = watch.load(path)
    np.testing.assert_allclose(reread.check(mlp, x).typicality, touched.typicality, rtol=1e-6)
    document = json.loads(path.read_text())
    document["format_version"] = 1
    del document["typicality"]
    for reduction in document["reductions"].values():
        del reduction["constant"], reduction["constant_values"]
    path.write_text(json.dumps(document))
    old = watch.load(path)
    assert old.typicalities is None and old.check(mlp, x).causes.count("input_drift") == 0


@pytest.mark.parametrize("version, drop, message", [
    (2, ("typicality",), None),  # a version 2 file of a coverage without typicalities
    (1, ("typicality",), "constant columns need format version 2"),
])
def test_version_2_holds_the_typicalities_and_version_1_refuses_them(blank_coverage, version, drop, message):
    _, coverage = blank_coverage
    document = dict(coverage._to_file_document(), format_version=version)
    assert coverage._to_file_document()["format_version"] == 2
    for key in drop:
        del document[key]
    if message is None:
        assert watch.Coverage._from_file_document(document).typicalities is None
    else:
        with pytest.raises(ValueError, match=message):
            watch.Coverage._from_file_document(document)
    if version == 1:  # without the constant columns, the typicalities alone are refused too
        document = json.loads(json.dumps(document))
        for reduction in document["reductions"].values():
            del reduction["constant"], reduction["constant_values"]
        document["typicality"] = None
        with pytest.raises(ValueError, match="typicalities need format version 2"):
            watch.Coverage._from_file_document(document)


def test_a_coverage_watcher_labels_drift_and_faults(blank_coverage):
    mlp, coverage = blank_coverage
    alarm = watch.WindowAlarm.from_coverage(coverage, window=30)
    drifted = torch.from_numpy(3.0 * with_blank_column(coverage_inputs(300, 6, 12)))
    with watch.Watcher(mlp, coverage, alarm=alarm) as watcher, torch.no_grad():
        for start in range(0, 300, 10):
            mlp(drifted[start:start + 10])
    assert watcher.events and {e.cause for e in watcher.events} <= {"input_drift", "both"}
    assert watcher.events[0].blamed_link == ("input", "a")
    with pytest.raises(TypeError, match="carries its own typicality"):
        watch.Watcher(mlp, coverage, typicality=coverage.typicalities[0])


# --- the widened fit -----------------------------------------------------------------


def test_widened_pairs_follow_the_model_beyond_the_clean_data():
    mlp = MLP().eval()
    x = coverage_inputs(500, 6, 3)
    S, Z = watch.widened_pairs(mlp, x, "a", "b", copies=2, strength=2.0)
    assert S.shape == (1000, 12) and Z.shape == (1000, 10)
    with torch.no_grad():
        np.testing.assert_allclose(Z, mlp.b(torch.relu(torch.from_numpy(S))).numpy(), rtol=1e-5, atol=1e-5)
        clean = mlp.a(torch.from_numpy(x)).numpy()
    assert np.percentile(np.abs(S - clean.mean(axis=0)), 99) > np.percentile(np.abs(clean - clean.mean(axis=0)), 99)
    with pytest.raises(ValueError, match="model's output"):
        watch.widened_pairs(mlp, x, "output", "output")


def test_a_widened_fit_knows_the_relation_on_drifted_s():
    mlp = MLP().eval()
    settings = dict(hidden=(32,), epochs=30, batch_size=64, dropout=0.0, lr=3e-3, random_state=0)
    x_fit, x_cal = coverage_inputs(1500, 6, 20), coverage_inputs(500, 6, 21)
    S_cal, Z_cal = watch.capture(mlp, x_cal, "a", "b")
    S_drift, Z_drift = watch.capture(mlp, 2.5 * coverage_inputs(500, 6, 22), "a", "b")  # healthy model
    shares = []
    for widened in (False, True):
        S, Z = watch.capture(mlp, x_fit, "a", "b")
        if widened:
            S_w, Z_w = watch.widened_pairs(mlp, x_fit, "a", "b", copies=2, strength=2.0)
            S, Z = np.concatenate([S, S_w]), np.concatenate([Z, Z_w])
        monitor = resmon.NeuralConditionalMonitor(**settings)
        monitor.fit(S, Z)
        watch.calibrate(monitor, S_cal, Z_cal, false_alarm_rate=RATE)
        shares.append(np.mean(monitor.score_batch(S_drift, Z_drift) > monitor.tau))
    plain, widened = shares
    assert widened < plain


def test_a_widened_coverage_learns_the_constant_columns():
    mlp = MLP().eval()
    coverage = watch.cover(mlp, with_blank_column(coverage_inputs(2400, 6, 0)), ["input", "a", "b", "output"],
                           false_alarm_rate=RATE, candidates=FAST, widened_fit=True)
    assert coverage._reductions["input"].constant.tolist() == []  # nothing pinned
    x = with_blank_column(coverage_inputs(600, 6, 9))
    clean = coverage.check(mlp, x)
    x[:, 0] = 0.1 * np.random.default_rng(1).normal(size=len(x))
    touched = coverage.check(mlp, x)
    # the input link alarms about as often as on clean inputs
    assert np.mean(touched.p_values[:, 0] < coverage.p_threshold) <= np.mean(
        clean.p_values[:, 0] < coverage.p_threshold) + 0.05


# --- the typicality in a monitor file ---------------------------------------------------


def test_a_monitor_file_keeps_its_typicality(served, tmp_path):
    monitor, typicality = served
    path = tmp_path / "monitor.json"
    watch.save(monitor, path, layers=("body.0", "output"), typicality=typicality)
    document = json.loads(path.read_text())
    assert document["format_version"] == 2
    loaded = watch.load(path)
    S = gaussian(20, 3, width=8)
    np.testing.assert_allclose(loaded.typicality.score(S), typicality.score(S))
    assert loaded.typicality.window_p_values(loaded.typicality.scored_rows(S)) == \
        typicality.window_p_values(typicality.scored_rows(S))
    # the watcher of the file judges causes without being handed the typicality
    watcher = watch.Watcher.from_file(Net().eval(), path)
    assert len(watcher.typicalities) == 1 and watcher.typicalities[0].tau == typicality.tau
    # saved again from the loaded monitor, it keeps it; without one the file stays version 1
    watch.save(loaded, path)
    assert watch.load(path).typicality.tau == typicality.tau
    loaded.typicality = None
    watch.save(loaded, path)
    assert json.loads(path.read_text())["format_version"] == 1 and watch.load(path).typicality is None


@pytest.mark.parametrize("edit, message", [
    (lambda d: {**d, "format_version": 1}, "needs monitor format version 2"),
    (lambda d: {**d, "typicality": {**d["typicality"], "scale": [1.0]}}, "typicality entry is invalid"),
    (lambda d: {**d, "typicality": watch.fit_typicality(gaussian(2000, 0)).to_dict()}, "takes 6 S columns"),
])
def test_a_monitor_file_refuses_a_typicality_that_does_not_fit(served, tmp_path, edit, message):
    monitor, typicality = served
    path = tmp_path / "monitor.json"
    watch.save(monitor, path, typicality=typicality)
    path.write_text(json.dumps(edit(json.loads(path.read_text()))))
    with pytest.raises(ValueError, match=message):
        watch.load(path)
    with pytest.raises(ValueError, match="takes 6 S columns, the monitor 8"):
        watch.save(monitor, path, typicality=watch.fit_typicality(gaussian(2000, 0)))
