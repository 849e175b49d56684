"""tarvex.core.watch: capture, calibration, explanations, window alarms,
chunked and Dask scoring, and monitor files."""

import math
import os
import stat
import tracemalloc

import numpy as np
import pytest
import torch
from scipy.stats import binom

from tarvex.core import resmon, watch

from helpers import linear_pairs


# --- capture ---------------------------------------------------------------------


class Net(torch.nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.body = torch.nn.Sequential(torch.nn.Linear(4, 6), torch.nn.Dropout(0.5))
        self.head = torch.nn.Linear(6, 3)

    def forward(self, x):
        return self.head(torch.relu(self.body(x)))


@pytest.mark.parametrize("form", ["array", "tensor", "loader"])
def test_capture_returns_hooked_outputs_in_eval_mode_and_restores_the_model(form):
    net = Net().train()
    net.head.eval()  # a mixed mode must come back as it was
    X = np.random.default_rng(0).normal(size=(10, 4))
    inputs = {"array": X, "tensor": torch.from_numpy(X).float(),
              "loader": [(torch.from_numpy(X[i:i + 4]).float(), None) for i in range(0, 10, 4)]}[form]
    S, Z = watch.capture(net, inputs, "body.0", "output", batch_size=3)
    with torch.no_grad():
        hidden = net.body[0](torch.from_numpy(X).float())
        expected_S, expected_Z = hidden.numpy(), net.head(torch.relu(hidden)).numpy()
    assert S.dtype == Z.dtype == np.float32 and S.shape == (10, 6) and Z.shape == (10, 3)
    np.testing.assert_allclose(S, expected_S, rtol=1e-6)
    np.testing.assert_allclose(Z, expected_Z, rtol=1e-5, atol=1e-6)  # dropout was off
    assert net.training and net.body.training and not net.head.training
    assert not any(module._forward_hooks for module in net.modules())


def test_capture_cleans_up_after_an_error_and_names_close_matches():
    net = Net().train()

    def batches():
        yield torch.zeros(2, 4)
        raise OSError("disk gone")

    with pytest.raises(OSError):
        watch.capture(net, batches(), "body.0", "head")
    assert net.training and not any(module._forward_hooks for module in net.modules())
    with pytest.raises(ValueError, match=r"'hed'.*close matches: \['head'\]"):
        watch.capture(net, torch.zeros(2, 4), "body.0", "hed")


# --- calibrate -------------------------------------------------------------------


@pytest.mark.parametrize("rate", [0.025, 0.05, 0.1])
def test_calibrate_sets_tau_to_the_tightest_threshold_at_the_rate(fresh, held_out, rate):
    S, Z = held_out
    tau = watch.calibrate(fresh, S, Z, false_alarm_rate=rate)
    scores = fresh.score_batch(S, Z)
    above = np.count_nonzero(scores > tau)
    assert fresh.tau == tau == fresh.to_dict()["tau"]
    assert above <= rate * len(scores)
    assert np.count_nonzero(scores >= tau) > rate * len(scores)  # any lower tau lets too many through


@pytest.mark.parametrize("rate, rows, change, message", [
    (0.0, 400, None, "between 0 and 1"),
    (1.0, 400, None, "between 0 and 1"),
    (math.nan, 400, None, "between 0 and 1"),
    (0.01, 400, None, "at least 1000"),
    (0.05, 400, "nan", "non-finite"),
    (0.05, 400, "columns", "columns"),
    (0.05, 400, "rows", "rows"),
])
def test_calibrate_refuses_bad_input_without_changing_tau(fresh, held_out, rate, rows, change, message):
    S, Z = held_out[0][:rows].copy(), held_out[1][:rows].copy()
    if change == "nan":
        Z[5, 0] = np.nan
    elif change == "columns":
        Z = Z[:, :2]
    elif change == "rows":
        S = S[:-1]
    before = fresh.tau
    with pytest.raises(ValueError, match=message):
        watch.calibrate(fresh, S, Z, false_alarm_rate=rate)
    assert fresh.tau == before


# --- explain ---------------------------------------------------------------------


def test_explain_sums_to_the_score_and_points_at_the_moved_column(monitor, held_out):
    S, Z = held_out[0][:50], held_out[1][:50].copy()
    Z[:, 1] += 5 * monitor.z_scale[1]
    contributions = watch.explain(monitor, S, Z)
    assert contributions.shape == (50, 3)
    np.testing.assert_allclose(contributions.sum(axis=1), monitor.score_batch(S, Z), rtol=1e-5, atol=1e-6)
    assert (contributions.argmax(axis=1) == 1).all()
    one = watch.explain(monitor, S[3], Z[3])
    assert one.shape == (3,)
    np.testing.assert_allclose(one, contributions[3], rtol=1e-6)


# --- window alarm ----------------------------------------------------------------


@pytest.mark.parametrize("rate, window, significance", [(0.01, 50, 1e-3), (0.005, 200, 1e-4), (0.2, 30, 0.05)])
def test_window_alarm_threshold_is_the_exact_binomial_tail(rate, window, significance):
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=rate, window=window, significance=significance)
    for m in (1, 2, window // 2, window):
        # smallest count c with P(X >= c) <= significance
        expected = next((c for c in range(m + 1) if binom.sf(c - 1, m, rate) <= significance), m + 1)
        assert alarm._critical(m) == expected


def test_window_alarm_is_quiet_on_clean_streams_and_fires_on_faults():
    rng = np.random.default_rng(5)
    clean = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01)
    assert not any(clean.update(score) for score in np.where(rng.random(3000) < 0.01, 2.0, 0.5))
    faulty = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01)
    fired = [faulty.update(score) for score in np.where(rng.random(50) < 0.3, 2.0, 0.5)]
    assert any(fired)
    # NaN and inf count as above tau, and a burst fires before the window is full.
    burst = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01)
    assert not burst.update(np.nan) and burst.update([np.inf]) and burst.count == 2
    # Many scores at once: a burst inside the call is reported.
    assert watch.WindowAlarm(tau=1.0, false_alarm_rate=0.01, window=5).update([2.0] * 3 + [0.0] * 20)


# --- score_chunks ----------------------------------------------------------------


def test_score_chunks_matches_score_batch_over_memmaps_and_chunk_iterables(monitor, held_out, tmp_path):
    S, Z = held_out
    np.save(tmp_path / "S.npy", S)
    np.save(tmp_path / "Z.npy", Z)
    S_map, Z_map = np.load(tmp_path / "S.npy", mmap_mode="r"), np.load(tmp_path / "Z.npy", mmap_mode="r")
    expected = monitor.score_batch(S, Z)
    np.testing.assert_allclose(watch.score_chunks(monitor, S_map, Z_map, chunk_size=37, progress=True),
                               expected, rtol=1e-5)
    pairs = ((S[i:i + 150], Z[i:i + 150]) for i in range(0, len(S), 150))
    np.testing.assert_allclose(watch.score_chunks(monitor, pairs, chunk_size=64), expected, rtol=1e-5)
    with pytest.raises(ValueError, match="chunk 1"):
        watch.score_chunks(monitor, [(S, Z), (S, Z[:, :2])])


# --- errors shared by every entry point -----------------------------------------


@pytest.mark.parametrize("call", [
    lambda m, S, Z: watch.calibrate(m, S, Z, false_alarm_rate=0.05),
    lambda m, S, Z: watch.explain(m, S, Z),
    lambda m, S, Z: watch.score_chunks(m, S, Z),
    lambda m, S, Z: watch.save(m, os.devnull),
])
def test_untrained_monitor_raises_the_monitors_error(held_out, call):
    with pytest.raises(RuntimeError, match="Detector not fit"):
        call(resmon.NeuralConditionalMonitor(), *held_out)


@pytest.mark.parametrize("call", [watch.explain, watch.score_chunks])
@pytest.mark.parametrize("shape_S, shape_Z", [((10, 4, 1), (10, 3)), ((10, 5), (10, 3)), ((10, 4), (9, 3))])
def test_bad_shapes_are_refused(monitor, call, shape_S, shape_Z):
    with pytest.raises(ValueError):
        call(monitor, np.zeros(shape_S, np.float32), np.zeros(shape_Z, np.float32))


# --- files -----------------------------------------------------------------------


def test_save_and_load_round_trip(monitor, held_out, tmp_path):
    path = tmp_path / "monitor.json"
    watch.save(monitor, path)
    loaded = watch.load(str(path), device="cpu")
    assert loaded.to_dict() == resmon.NeuralConditionalMonitor.from_dict(monitor.to_dict()).to_dict()
    np.testing.assert_allclose(loaded.score_batch(*held_out), monitor.score_batch(*held_out), rtol=1e-5)
    assert os.listdir(tmp_path) == ["monitor.json"]


def test_save_refuses_non_finite_weights_and_keeps_the_old_file(fresh, tmp_path):
    path = tmp_path / "monitor.json"
    watch.save(fresh, path)
    before = path.read_bytes()
    with torch.no_grad():
        fresh._model.mu.weight[0, 0] = math.nan
    with pytest.raises(ValueError, match=r"state_dict\['mu.weight'\]"):
        watch.save(fresh, path)
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["monitor.json"]


@pytest.mark.parametrize("kind", ["directory", "fifo", "too large", "nan", "not an object", "bytes path"])
def test_load_refuses_what_is_not_a_monitor_file(monitor, tmp_path, monkeypatch, kind):
    path = tmp_path / "monitor.json"
    watch.save(monitor, path)
    if kind == "directory":
        path = tmp_path
    elif kind == "fifo":
        path = tmp_path / "pipe"
        os.mkfifo(path)
    elif kind == "too large":
        monkeypatch.setattr(watch.files, "_MAX_FILE_BYTES", path.stat().st_size - 1)
    elif kind == "nan":
        path.write_text(path.read_text().replace('"tau": ', '"tau": NaN, "x": ', 1))
    elif kind == "not an object":
        path.write_text("[1, 2]")
    error = TypeError if kind == "bytes path" else ValueError
    with pytest.raises(error):
        watch.load(os.fsencode(path) if kind == "bytes path" else path)
    if kind == "fifo":
        assert stat.S_ISFIFO(os.stat(path).st_mode)


# --- Dask ------------------------------------------------------------------------


def test_score_dask_on_a_local_cluster_matches_score_chunks(fresh, held_out):
    da = pytest.importorskip("dask.array")
    distributed = pytest.importorskip("distributed")
    S, Z = held_out
    dS, dZ = da.from_array(S, chunks=(90, -1)), da.from_array(Z, chunks=(130, -1))
    with pytest.raises(ValueError, match="chunked across its columns"):
        watch.score_dask(fresh, dS, da.from_array(Z, chunks=(90, 1)))
    lazy = watch.score_dask(fresh, dS, dZ)
    assert lazy.chunks == dS.chunks[:1]
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster):
        scores = lazy.compute()
    np.testing.assert_allclose(scores, watch.score_chunks(fresh, S, Z), rtol=1e-6)


# --- tune ------------------------------------------------------------------------

# Few rows and epochs; "weak" barely moves from its initial weights, so its
# residuals are wide and the synthetic faults hide in them.
TUNE_WEAK = {"hidden": (2,), "epochs": 1, "lr": 1e-5, "batch_size": 64}
TUNE_GOOD = {"hidden": (16,), "epochs": 3, "lr": 1e-2, "batch_size": 32, "dropout": 0.0,
             "include_interactions": False}


@pytest.mark.parametrize("split, candidates, best", [("random", [TUNE_WEAK, TUNE_GOOD], 1),
                                                     ("held_out", [TUNE_GOOD, TUNE_WEAK], 0)])
def test_tune_keeps_the_candidate_that_detects_synthetic_faults_best_and_repeats_itself(split, candidates, best):
    S, Z = linear_pairs(800, noise=0.02)
    extra = {} if split == "random" else {"held_out": linear_pairs(200, noise=0.02, rows_seed=9)}
    runs = [watch.tune(S, Z, false_alarm_rate=0.05, candidates=candidates, random_state=4, **extra)
            for _ in range(2)]
    report = runs[0].tuning_report
    assert report.chosen == best and report.criterion[best] > report.criterion[1 - best] + 0.1
    assert runs[0].hidden == (16,) and not runs[0].s_engineer.include_interactions
    assert (report.training_rows, report.held_out_rows) == ((600, 200) if split == "random" else (800, 200))
    assert report.detection == runs[1].tuning_report.detection
    assert runs[0].to_dict() == runs[1].to_dict()  # same weights and the same calibrated tau
    assert "mismatched S" in str(report) and "f(S) 0.3" in str(report)
    assert "*" in str(report).splitlines()[2 + best]
    assert report.covariance == ["training"] * 2 and report.covariance_rows == 0  # no rows to spare


def test_tune_fits_a_linear_candidate_and_refits_the_covariance_on_spare_held_out_rows():
    # Z is linear in S; the held-out rows are noisier in one Z column than the
    # training rows, so the covariance estimated from them judges better. One
    # epoch leaves the linear candidate's optimiser far off; least squares
    # puts it right.
    S, Z = linear_pairs(800, noise=0.02)
    S_held, Z_held = linear_pairs(600, noise=0.02, rows_seed=9)
    Z_held[:, 0] += 0.5 * np.random.default_rng(3).normal(size=600).astype(np.float32)
    linear = {"hidden": (), "epochs": 1, "lr": 1e-5}
    runs = [watch.tune(S, Z, false_alarm_rate=0.05, candidates=candidates, random_state=2,
                       held_out=(S_held, Z_held)) for candidates in ([TUNE_WEAK, linear], [linear])]
    both, alone = (run.tuning_report for run in runs)
    assert both.chosen == 1 and both.criterion[1] > both.criterion[0] + 0.2 and both.criterion[1] > 0.5
    assert both.covariance[1] == "held-out" and (both.covariance_rows, both.held_out_rows) == (300, 300)
    # a candidate's figures do not depend on the others; the same settings give the same monitor
    assert alone.detection[0] == both.detection[1] and runs[0].to_dict() == runs[1].to_dict()
    winner = runs[0]
    assert winner.hidden == () and isinstance(winner.inv_cov, np.ndarray) and winner.inv_cov.shape == (3, 3)
    restored = resmon.NeuralConditionalMonitor.from_dict(winner.to_dict())
    np.testing.assert_allclose(restored.score_batch(S_held, Z_held), winner.score_batch(S_held, Z_held), rtol=1e-5)
    assert np.mean(winner.score_batch(S_held, Z_held) > winner.tau) <= 0.05 + 1 / 300


def relu_link(n, s_dim=6, z_dim=3, noise=0.002, seed=0):
    """S and Z as between two layers of a ReLU network: Z = ReLU(S) W + b."""
    rng = np.random.default_rng(seed)
    S = rng.normal(size=(n, s_dim)).astype(np.float32)
    weights = np.random.default_rng(99).normal(size=(s_dim, z_dim))
    return S, (np.maximum(S, 0) @ weights + 0.5 + noise * rng.normal(size=(n, z_dim))).astype(np.float32)


@pytest.mark.parametrize("extra, trained, network", [({}, 0, 2), ({"good_enough": None}, 1, 2), ({}, 0, 0)])
def test_least_squares_candidates_need_no_gradient_descent_and_spare_networks(monkeypatch, extra, trained, network):
    S, Z = relu_link(800)
    calls = []
    fit = resmon.NeuralConditionalMonitor.fit
    monkeypatch.setattr(resmon.NeuralConditionalMonitor, "fit", lambda self, *a: calls.append(1) or fit(self, *a))
    hinges = {"hidden": (32,), "solver": "least-squares", "include_square": False, "include_logabs": False,
              "include_interactions": False}
    # the least-squares candidates are fitted first, also where the network is listed before them
    candidates = [{"hidden": ()}, hinges]
    candidates.insert(network, TUNE_GOOD)
    linear, relu = [i for i in range(3) if i != network]
    monitor = watch.tune(S, Z, false_alarm_rate=0.05, candidates=candidates, random_state=1, **extra)
    report = monitor.tuning_report
    assert len(calls) == trained
    assert report.solvers[network] == ("skipped" if trained == 0 else "gradient")
    assert report.solvers[linear] == report.solvers[relu] == "least-squares"
    # ReLU features that bend where S is 0 give Z exactly; a linear model on S cannot
    assert report.chosen == relu and report.criterion[relu] >= 0.95 > report.criterion[linear]
    assert math.isnan(report.criterion[network]) == (trained == 0) and ("skipped" in str(report)) == (trained == 0)
    S_new, Z_new = relu_link(400, seed=5)
    restored = resmon.NeuralConditionalMonitor.from_dict(monitor.to_dict())
    np.testing.assert_allclose(restored.score_batch(S_new, Z_new), monitor.score_batch(S_new, Z_new), rtol=1e-5)
    assert np.mean(monitor.score_batch(S_new, Z_new) > monitor.tau) <= 0.05 + 0.03
    Z_new[:, 0] += 0.2 * Z.std(axis=0)[0]
    assert np.mean(monitor.score_batch(S_new, Z_new) > monitor.tau) > 0.9


@pytest.mark.parametrize("early_stopping", [True, False])
def test_a_network_behind_the_least_squares_fit_after_a_short_run_is_not_trained_on(monkeypatch, early_stopping):
    S, Z = relu_link(800)
    epochs = []
    fit = resmon.NeuralConditionalMonitor.fit
    monkeypatch.setattr(resmon.NeuralConditionalMonitor, "fit",
                        lambda self, *a: epochs.append(self.epochs) or fit(self, *a))
    hinges = {"hidden": (32,), "solver": "least-squares", "include_square": False, "include_logabs": False,
              "include_interactions": False}
    network = dict(TUNE_GOOD, epochs=40)
    report = watch.tune(S, Z, false_alarm_rate=0.05, candidates=[network, hinges], random_state=1,
                        good_enough=None, early_stopping=early_stopping).tuning_report
    assert report.chosen == 1 and report.solvers == ["gradient", "least-squares"]
    assert epochs == ([10] if early_stopping else [40])
    assert any("stopped after 10 of 40 epochs" in note for note in report.notes) == early_stopping


def test_tune_on_wide_s_drops_pair_products_and_solves_within_memory_linear_in_the_width():
    # 1,300 S columns engineer 3,900 (845,000 more with pair products): the
    # Gram matrix of the engineered columns alone would take 122 MB, the
    # rows' 300 x 300 one 0.7 MB beside 9 MB of engineered rows in float64.
    rng = np.random.default_rng(0)
    S = rng.normal(size=(400, 1300)).astype(np.float32)
    Z = (S[:, :4] + 0.1 * rng.normal(size=(400, 4))).astype(np.float32)
    tracemalloc.start()
    try:
        monitor = watch.tune(S, Z, false_alarm_rate=0.1, candidates=[{"hidden": ()}])
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak < 60e6
    assert not monitor.s_engineer.include_interactions and monitor.input_dim == 3 * 1300
    assert "pair products left out of candidates [0]" in str(monitor.tuning_report)


@pytest.mark.parametrize("change, kwargs, error, message", [
    ("nan", {}, ValueError, "non-finite"),
    ("rows", {}, ValueError, "rows"),
    (None, {"false_alarm_rate": 1.0}, ValueError, "between 0 and 1"),
    (None, {"false_alarm_rate": 0.01}, ValueError, "too few"),
    (None, {"candidates": []}, ValueError, "at least one"),
    (None, {"candidates": [TUNE_GOOD, {"hiden": (8,)}]}, ValueError, "unknown settings"),
    (None, {"candidates": [TUNE_GOOD, {"include_square": 1}]}, TypeError, "bool"),
    (None, {"candidates": [TUNE_GOOD, {"dropout": 1.0}]}, ValueError, "out of range"),
    (None, {"candidates": [TUNE_GOOD, {"hidden": [8]}]}, TypeError, "candidate 1"),
    (None, {"candidates": [TUNE_GOOD, {"hidden": (0,)}]}, ValueError, "out of range"),
    (None, {"candidates": [{"hidden": ()}, {"hidden": (8, 0)}]}, ValueError, "candidate 1: hidden"),
    (None, {"candidates": [{"hidden": (8,), "solver": "newton"}]}, ValueError, "solver must be one of"),
    (None, {"good_enough": 0.0}, ValueError, "good_enough"),
    (None, {"good_enough": "high"}, TypeError, "good_enough"),
    (None, {"early_stopping": 1}, TypeError, "early_stopping"),
    (None, {"held_out": (np.zeros((300, 4)), np.zeros((300, 2)))}, ValueError, "held-out"),
    (None, {"held_out": (np.zeros((100, 4)), np.zeros((100, 3)))}, ValueError, "at least 200"),
])
def test_tune_refuses_bad_input_before_training(monkeypatch, change, kwargs, error, message):
    S, Z = linear_pairs(400)
    if change == "nan":
        Z[7, 1] = np.inf
    elif change == "rows":
        S = S[:-1]
    monkeypatch.setattr(resmon.NeuralConditionalMonitor, "fit", lambda *a: pytest.fail("trained on bad input"))
    with pytest.raises(error, match=message):
        watch.tune(S, Z, **{"false_alarm_rate": 0.05, "candidates": [TUNE_GOOD], **kwargs})
