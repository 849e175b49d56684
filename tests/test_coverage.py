"""watch.cover and Coverage: the family-wise false-alarm rate, blame of a
faulted layer, refused layer lists, reductions of wide layers and the file
document."""

import copy
import json

import numpy as np
import pytest
from scipy import stats
import torch

from tarvex.core import watch
from tarvex.core.watch.calibration import _family_rank
from tarvex.core.watch.coverage import (_counts_at_least, _family_count_threshold, _forward_layers,
                                         _Reduction, _resolve_layers)

# One small network per candidate keeps each link's tune to a few seconds.
FAST = [{"hidden": (32,), "epochs": 12, "dropout": 0.0, "lr": 3e-3, "include_square": False,
         "include_logabs": False, "include_interactions": False}]
RATE = 0.05


class MLP(torch.nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.a = torch.nn.Linear(6, 12)
        self.b = torch.nn.Linear(12, 10)
        self.c = torch.nn.Linear(10, 3)

    def forward(self, x):
        return self.c(torch.relu(self.b(torch.relu(self.a(x)))))


class CNN(torch.nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.conv = torch.nn.Conv2d(1, 4, 3, padding=1)
        self.fc = torch.nn.Linear(256, 50)
        self.out = torch.nn.Linear(50, 3)

    def forward(self, x):
        x = torch.relu(self.conv(x.reshape(-1, 1, 8, 8)))
        return self.out(torch.relu(self.fc(x.flatten(1))))


def inputs(n, width, seed):
    return np.random.default_rng(seed).normal(size=(n, width)).astype(np.float32)


@pytest.fixture(scope="module")
def mlp():
    return MLP().eval()


@pytest.fixture(scope="module")
def coverage(mlp):
    return watch.cover(mlp, inputs(2400, 6, 0), ["input", "a", "b", "output"], false_alarm_rate=RATE,
                       candidates=FAST)


def test_clean_inputs_alarm_on_any_link_at_most_at_the_family_rate(mlp, coverage):
    report = coverage.check(mlp, inputs(4000, 6, 1))
    assert report.scores.shape == report.p_values.shape == (4000, 3)
    assert coverage.links == [("input", "a"), ("a", "b"), ("b", "output")]
    # binomial standard error at 4,000 inputs is 0.35 points
    assert report.alarms.mean() <= RATE + 0.01
    assert all(blamed is None for blamed, alarm in zip(report.blamed, report.alarms) if not alarm)


@pytest.mark.parametrize("links, n", [(1, 200), (3, 200), (4, 60)])
def test_threshold_rule_keeps_the_family_rate_for_exchangeable_scores(links, n):
    """Many calibration sets of correlated per-link scores, each with fresh
    inputs from the same distribution: the average alarm rate is at most the
    rate, and not far below it."""
    rng = np.random.default_rng(links)
    rates = []
    for _ in range(300):
        shared = rng.standard_normal((n + 50, 1))
        scores = np.abs(shared + rng.standard_normal((n + 50, links)))
        calibration, new = scores[:n], scores[n:]
        t = _family_count_threshold(calibration, 0.1)
        ordered = np.sort(calibration, axis=0)
        counts = np.stack([_counts_at_least(ordered[:, j], new[:, j]) for j in range(links)], axis=1)
        rates.append(np.mean(counts.min(axis=1) < t))
    assert 0.06 < np.mean(rates) <= 0.1 + 0.006  # Monte Carlo error about 0.002


def test_a_threshold_set_with_confidence_holds_the_rate_for_that_calibration():
    """Over many calibration sets, the fresh alarm rate of each lies above
    the rate in at most 1 - confidence of them (about half without it)."""
    rng = np.random.default_rng(5)
    n, links, rate = 200, 3, 0.1
    over = {None: 0, 0.9: 0}
    for _ in range(300):
        shared = rng.standard_normal((n + 4000, 1))
        scores = np.abs(shared + rng.standard_normal((n + 4000, links)))
        calibration, new = scores[:n], scores[n:]
        ordered = np.sort(calibration, axis=0)
        counts = np.stack([_counts_at_least(ordered[:, j], new[:, j]) for j in range(links)], axis=1).min(axis=1)
        for confidence in over:
            over[confidence] += np.mean(counts < _family_count_threshold(calibration, rate, confidence)) > rate
    assert over[None] > 90 and over[0.9] <= 30 + 12  # 10% of 300, with 2.3 binomial standard errors


def test_a_threshold_under_which_nothing_could_alarm_is_refused():
    # 12 links, each with its own held-out input highest: the 10th smallest count is 0
    scores = np.random.default_rng(0).random((100, 12))
    scores[np.arange(12), np.arange(12)] = 2.0
    with pytest.raises(ValueError, match="threshold on 100 held-out inputs is 0, so no input could ever alarm"):
        _family_count_threshold(scores, 0.1)
    assert _family_count_threshold(scores[:, :8], 0.1) >= 1


def test_a_coverage_with_confidence_keeps_it_in_its_file_and_window_alarm(mlp, coverage, tmp_path):
    sure = watch.cover(mlp, inputs(2400, 6, 0), ["input", "a", "b", "output"], false_alarm_rate=RATE,
                       candidates=FAST, confidence=0.9)
    assert sure.confidence == 0.9 and coverage.confidence is None
    assert sure.p_threshold < coverage.p_threshold
    watch.save(sure, tmp_path / "sure.json")
    assert json.loads((tmp_path / "sure.json").read_text())["calibration"]["confidence"] == 0.9
    reloaded = watch.load(tmp_path / "sure.json")
    assert (reloaded.confidence, reloaded.p_threshold) == (0.9, sure.p_threshold)
    # counted with the binomial law at the rate as well as the Beta law of its smaller K
    full = watch.WindowAlarm.from_coverage(reloaded)._full
    n = sure.calibration_rows
    k = _family_rank(n, RATE, 0.9)
    assert 1 <= k < _family_rank(n, RATE, None)
    assert stats.binom(50, RATE).sf(full - 1) <= 1e-3 and stats.betabinom(50, k, n + 1 - k).sf(full - 1) <= 1e-3
    assert max(stats.binom(50, RATE).sf(full - 2), stats.betabinom(50, k, n + 1 - k).sf(full - 2)) > 1e-3
    with pytest.raises(ValueError, match="for confidence 0.99999"):
        watch.cover(mlp, inputs(2400, 6, 0), ["input", "a", "b", "output"], false_alarm_rate=RATE,
                    candidates=FAST, confidence=0.99999, held_out=inputs(200, 6, 4))


def noisy(model, layer, relative):
    broken = copy.deepcopy(model)
    weight = getattr(broken, layer).weight
    with torch.no_grad():
        weight.add_(torch.randn(weight.shape, generator=torch.Generator().manual_seed(1)) * weight.std() * relative)
    return broken


@pytest.mark.parametrize("layer, link", [("a", 0), ("b", 1), ("c", 2)])
def test_a_fault_in_each_layer_is_caught_and_blamed_on_its_link(mlp, coverage, layer, link):
    report = coverage.check(noisy(mlp, layer, 0.5), inputs(600, 6, 2))
    assert report.alarms.mean() >= 0.5
    blamed = report.blamed_index[report.alarms]
    assert np.mean(blamed == link) >= 0.8
    assert report.blamed[int(np.flatnonzero(report.alarms)[0])] == coverage.links[link]


@pytest.mark.parametrize("layers, message", [
    (["input", "bb"], r"no layer named 'bb'; close matches: \['b'\]"),
    (["input", "zzz"], r"available: \['input', 'a', 'b', 'c', 'output'\]"),
    (["b", "a"], r"order the forward pass computes them: \['a', 'b'\], got \['b', 'a'\]"),
    (["input", "c", "b", "output"], r"\['input', 'b', 'c', 'output'\]"),
    (["a", "input"], "can only be the first"),
    (["output", "a"], "can only be the last"),
    (["a", "a"], "more than once"),
    (["a"], "at least two"),
])
def test_bad_layer_lists_are_refused_before_training(layers, message):
    model = MLP().train()
    with pytest.raises(ValueError, match=message):
        watch.cover(model, inputs(50, 6, 0), layers, candidates=FAST)
    assert model.training and not any(m._forward_hooks for m in model.modules())


def test_check_refuses_a_model_without_the_layers(coverage):
    other = torch.nn.Sequential(torch.nn.Linear(6, 3))
    with pytest.raises(ValueError, match="no layer named 'a'"):
        coverage.check(other, inputs(5, 6, 0))


def test_coverage_file_round_trip_scores_alike(mlp, coverage, tmp_path):
    path = tmp_path / "coverage.json"
    watch.save(coverage, path)
    document = json.loads(path.read_text())
    assert document["format"] == "tarvex-coverage" and document["format_version"] == 3  # links 0, 1 have no monitor
    assert coverage.exact_links == [0, 1]
    reloaded = watch.load(path)
    assert isinstance(reloaded, watch.Coverage)
    X = inputs(300, 6, 3)
    before, after = coverage.check(mlp, X), reloaded.check(mlp, X)
    # the monitors' own round trip is exact up to float32 rounding, which can
    # move a score past a calibration score: one rank of p-value at most
    np.testing.assert_allclose(after.scores, before.scores, rtol=1e-5)
    assert np.abs(after.p_values - before.p_values).max() <= 1.0 / (coverage.calibration_rows + 1) + 1e-12
    assert reloaded.p_threshold == coverage.p_threshold and reloaded.layers == coverage.layers


def _corrupt(document, change):
    document = json.loads(json.dumps(document))
    change(document)
    return document


@pytest.mark.parametrize("change, message", [
    (lambda d: d.update(format="tarvex-monitor"), "not a coverage document"),
    (lambda d: d.update(format_version=4), "version 4 is not supported"),
    (lambda d: d.pop("calibration"), "missing \\['calibration'\\]"),
    (lambda d: d["layers"].reverse(), "does not take the widths"),
    (lambda d: d["monitors"].pop(), "one dictionary per link"),
    (lambda d: d["calibration"]["scores"][2].reverse(), "sorted"),
    (lambda d: d["calibration"]["scores"][0].__setitem__(-1, 1.0), "without a monitor must all be 0"),
    (lambda d: d["calibration"]["scores"][1].pop(), "equal lengths"),
    (lambda d: d["calibration"].update(count_threshold=10**6), "count_threshold"),
    (lambda d: d.update(false_alarm_rate=1.5), "false_alarm_rate"),
    (lambda d: d["calibration"].update(confidence=1.5), "confidence must lie in"),
    # a plain threshold is too high for the smaller K a confidence gives
    (lambda d: d["calibration"].update(confidence=0.999), "cannot come from|for confidence 0.999"),
    # edits that load into an alarm far off the rate the file states
    (lambda d: d["calibration"].update(count_threshold=0), "count_threshold must be an int in \\[1,"),
    (lambda d: d.update(false_alarm_rate=0.5), "at a false-alarm rate of 0.5"),
    (lambda d: d.update(false_alarm_rate=0.01), "cannot resolve a false-alarm rate of 0.01"),
    (lambda d: d["monitors"][2].update(tua=1.0), "monitor 2 has entries the monitor does not read"),
])
def test_inconsistent_documents_are_refused(coverage, change, message):
    with pytest.raises(ValueError, match=message):
        watch.Coverage._from_file_document(_corrupt(coverage._to_file_document(), change))


def test_check_converts_float64_tensors_as_it_converts_float64_arrays(mlp, coverage):
    X = inputs(40, 6, 5).astype(np.float64)
    from_tensor, from_array = coverage.check(mlp, torch.from_numpy(X)), coverage.check(mlp, X)
    np.testing.assert_array_equal(from_tensor.scores, from_array.scores)


@pytest.mark.parametrize("shape, max_width, grid", [
    ((4, 8, 8), 64, 4), ((4, 8, 8), 40, 3), ((4, 8, 8), 256, None), ((128, 4, 4), 64, 1), ((50,), 10, None)])
def test_convolution_maps_pool_to_the_largest_grid_that_fits(shape, max_width, grid):
    assert _Reduction.grid_for(shape, max_width) == grid


def test_wide_layers_are_reduced_and_rebuilt_alike():
    model = CNN().eval()
    coverage = watch.cover(model, inputs(500, 64, 0), ["input", "conv", "fc", "output"], false_alarm_rate=0.1,
                           candidates=[dict(FAST[0], epochs=2, include_interactions=True)], max_width=40)
    assert coverage.widths == {"input": 40, "conv": 36, "fc": 40, "output": 3}
    assert coverage.reductions == {"input": "random projection", "conv": "channel pooling",
                                   "fc": "random projection", "output": "none"}
    assert not any(m.s_engineer.include_interactions for m in coverage.monitors)  # S wider than 32
    X = inputs(40, 64, 1)
    report = coverage.check(model, X, batch_size=16)
    with torch.no_grad():
        x = torch.from_numpy(X)
        conv = model.conv(x.reshape(-1, 1, 8, 8))
        fc = model.fc(torch.relu(conv).flatten(1))
        captured = {"input": X, "conv": conv, "fc": fc.numpy(), "output": model.out(torch.relu(fc))}
    np.testing.assert_allclose(coverage.score_outputs(captured).scores, report.scores, rtol=1e-5)
    reloaded = watch.Coverage._from_file_document(json.loads(json.dumps(coverage._to_file_document())))
    np.testing.assert_allclose(reloaded.check(model, X).scores, report.scores, rtol=1e-5)


# --- watching a coverage ---------------------------------------------------------------


def watched(model, coverage, X, batch):
    """A coverage watcher with its alarm, after serving X in batches of `batch`."""
    watcher = watch.Watcher(model, coverage, alarm=watch.WindowAlarm.from_coverage(coverage, window=30))
    above = []
    with watcher:
        for start in range(0, len(X), batch):
            model(torch.from_numpy(X[start:start + batch]))
            above.append(watcher.last_scores > watcher.tau)
    return watcher, np.concatenate(above)


@pytest.mark.parametrize("batch", [1, 37])
def test_a_coverage_watcher_counts_exactly_the_inputs_check_alarms_on(mlp, coverage, batch):
    # layer b computes wrong where its first unit is positive: many alarms and many clean inputs
    X = inputs(160, 6, 4)
    model = copy.deepcopy(mlp)
    model.b.register_forward_hook(lambda _m, _a, output: output + (output[:, :1] > 0).to(output.dtype) * 0.5)
    report = coverage.check(model, X)
    watcher, above = watched(model, coverage, X, batch)
    assert 0 < report.alarms.sum() < len(X)
    np.testing.assert_array_equal(above, report.alarms)
    assert (watcher.inputs_seen, watcher.inputs_above_tau) == (len(X), int(report.alarms.sum()))
    assert watcher.tau == watcher.alarm.tau == 1.0 - coverage.p_threshold


@pytest.mark.parametrize("layer, link", [("a", 0), ("b", 1)])
def test_a_faulted_layer_fires_the_coverage_watcher_blaming_its_link(mlp, coverage, layer, link):
    clean, _ = watched(mlp, coverage, inputs(100, 6, 5), 10)
    assert clean.alarms == 0
    watcher, _ = watched(noisy(mlp, layer, 0.5), coverage, inputs(100, 6, 6), 10)
    # the layer's output is the next link's S, which drifts: that is reported
    # apart, and the fault itself keeps its cause
    event = next(event for event in watcher.events if event.cause != "input_drift")
    assert watcher.firing and event.blamed_link == coverage.links[link] and event.blamed_z is None
    assert event.cause == "model_fault"


def test_a_coverage_alarm_counts_with_the_threshold_law(coverage):
    alarm = watch.WindowAlarm.from_coverage(coverage, window=50, significance=1e-3)
    # the share that alarms is Beta(K, n + 1 - K), with mean at most the rate
    n = coverage.calibration_rows
    k = int(RATE * (n + 1))
    tail = stats.betabinom(50, k, n + 1 - k).sf
    assert tail(alarm._full - 1) <= 1e-3 < tail(alarm._full - 2)
    with pytest.raises(TypeError, match="must be a watch.Coverage"):
        watch.WindowAlarm.from_coverage(coverage.monitors[0])


@pytest.mark.parametrize("arguments, message", [
    ({"s": "a"}, "do not pass s= or z="),
    ({"z": "output"}, "do not pass s= or z="),
])
def test_a_coverage_watcher_refuses_layer_names(mlp, coverage, arguments, message):
    with pytest.raises(TypeError, match=message):
        watch.Watcher(mlp, coverage, **arguments)


def test_a_monitor_watcher_still_needs_both_layer_names(mlp, coverage):
    with pytest.raises(TypeError, match="needs the layer names s= and z="):
        watch.Watcher(mlp, coverage.monitors[2], s="b")


def test_from_file_builds_a_coverage_watcher(mlp, coverage, tmp_path):
    path = tmp_path / "coverage.json"
    watch.save(coverage, path)
    watcher = watch.Watcher.from_file(mlp, path, window=20)
    assert isinstance(watcher.coverage, watch.Coverage) and watcher.monitor is None
    assert watcher.alarm.window == 20 and watcher.tau == 1.0 - coverage.p_threshold
    with pytest.raises(TypeError, match="holds a coverage"):
        watch.Watcher.from_file(mlp, path, s="a", z="b")


class Pairs(torch.nn.Module):
    """A submodule with a tuple output and a dict output for the model."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.a = torch.nn.Linear(6, 4)
        self.split = torch.nn.LSTM(4, 3, batch_first=True)

    def forward(self, x):
        out, (h, _) = self.split(self.a(x).unsqueeze(1))
        return {"logits": out[:, 0] * 2, "h": h[0]}


def test_layer_names_take_selectors_for_tuple_and_dict_outputs():
    model = Pairs().eval()
    X = inputs(10, 6, 0)
    layers = ["input", "a", "split[0]", "output[logits]"]
    (outputs,) = list(_forward_layers(model, X, _resolve_layers(model, layers), 16))
    with torch.no_grad():
        expected = model(torch.from_numpy(X))
        out, _ = model.split(model.a(torch.from_numpy(X)).unsqueeze(1))
    np.testing.assert_allclose(outputs["output[logits]"], expected["logits"])
    np.testing.assert_allclose(outputs["split[0]"], out)


@pytest.mark.parametrize("layers, message", [
    (["input", "output[logits]", "a"], "can only be the last"),
    (["input[0]", "a"], "takes no selectors"),
    (["input", "splt[0]"], r"no layer named 'splt'; close matches: \['split'\]"),
])
def test_bad_selector_layer_lists_are_refused(layers, message):
    with pytest.raises(ValueError, match=message):
        _resolve_layers(Pairs(), layers)


def test_a_coverage_over_selected_outputs_is_watched_as_it_checks():
    model = Pairs().eval()
    coverage = watch.cover(model, inputs(1200, 6, 0), ["input", "split[0]", "output[logits]"],
                           false_alarm_rate=RATE, candidates=FAST)
    X = inputs(100, 6, 1) * 1.5  # wider than the fitting inputs: some alarms
    report = coverage.check(model, X)
    _, above = watched(model, coverage, X, 25)
    assert report.alarms.any()
    np.testing.assert_array_equal(above, report.alarms)
