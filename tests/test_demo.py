"""The demo's building blocks (fault injectors, data splits, window-alarm
streams, the scenario pipeline) and a quick run of the demo script itself."""

import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import torch
from scipy.stats import binom

import tarvex
from tarvex.core import resmon, watch

DEMO_DIR = Path(__file__).resolve().parent.parent / "demo"
sys.path.insert(0, str(DEMO_DIR))

from classifier import DigitCNN, MLPClassifier, digits_split  # noqa: E402
from faults import add_gaussian_noise, faulted_copy, flip_bits, kill_unit  # noqa: E402
from report import format_coverage_table, format_table, wilson_interval  # noqa: E402
from scenario import (DemoConfig, alarm_rate, blame, default_cases, relative_difference,  # noqa: E402
                      resolvable_rate, run_scenario)
from streams import alarm_delays, clean_fire_rate  # noqa: E402


@pytest.fixture
def model():
    torch.manual_seed(7)
    return MLPClassifier().eval()


def snapshot(model):
    return {name: value.detach().clone() for name, value in model.state_dict().items()}


def changed_entries(before, after):
    """{parameter name: sorted flat indices whose bits differ}."""
    changed = {}
    for name, old in before.items():
        old_bits = old.view(-1).view(torch.int32)
        new_bits = after[name].view(-1).view(torch.int32)
        differing = torch.nonzero(old_bits != new_bits).flatten().numpy()
        if len(differing):
            changed[name] = differing
    return changed


@pytest.mark.parametrize("parameter, count, bit", [
    ("out.weight", 3, 31), ("out.weight", 2, 30), ("hidden2.weight", 1, 0), ("out.bias", 10, 23)])
def test_flip_bits_flips_exactly_one_bit_of_the_chosen_entries(model, parameter, count, bit):
    before = snapshot(model)
    indices = flip_bits(model, parameter, count=count, bit=bit, seed=3)
    after = snapshot(model)
    changed = changed_entries(before, after)
    assert list(changed) == [parameter] and len(set(indices.tolist())) == count
    np.testing.assert_array_equal(changed[parameter], indices)
    chosen = torch.from_numpy(indices)
    xor = before[parameter].view(-1).view(torch.int32)[chosen] ^ after[parameter].view(-1).view(torch.int32)[chosen]
    assert (xor.numpy().view(np.uint32) == np.uint32(1 << bit)).all()
    flip_bits(model, parameter, count=count, bit=bit, seed=3)  # the same flips again undo the fault
    assert not changed_entries(before, snapshot(model))


def test_gaussian_noise_changes_only_its_parameter(model):
    before = snapshot(model)
    add_gaussian_noise(model, "hidden2.weight", relative_std=0.2, seed=1)
    after = snapshot(model)
    changed = changed_entries(before, after)
    assert list(changed) == ["hidden2.weight"] and len(changed["hidden2.weight"]) == before["hidden2.weight"].numel()
    relative = float((after["hidden2.weight"] - before["hidden2.weight"]).std() / before["hidden2.weight"].std())
    assert 0.15 < relative < 0.25


def _cnn_conv2(m, x):
    return torch.relu(m.conv2(m.pool1(torch.relu(m.conv1(x.reshape(-1, 1, 8, 8))))))


@pytest.mark.parametrize("build, layer, unit, per_unit, hidden", [
    (MLPClassifier, "hidden2", 5, 16, lambda m, x: torch.relu(m.hidden2(torch.relu(m.hidden1(x))))),
    (DigitCNN, "conv2", 3, 4 * 3 * 3, _cnn_conv2),
])
def test_dead_unit_zeroes_its_weights_and_bias_only_and_stays_dead(build, layer, unit, per_unit, hidden):
    torch.manual_seed(7)
    model = build().eval()
    before = snapshot(model)
    reported = kill_unit(model, layer, unit=unit)
    changed = changed_entries(before, snapshot(model))
    assert changed.keys() == reported.keys() == {f"{layer}.weight", f"{layer}.bias"}
    np.testing.assert_array_equal(changed[f"{layer}.weight"], np.arange(unit * per_unit, (unit + 1) * per_unit))
    np.testing.assert_array_equal(changed[f"{layer}.bias"], [unit])
    with torch.no_grad():
        activations = hidden(model, torch.randn(50, 64))
    assert torch.count_nonzero(activations[:, unit]) == 0 and torch.count_nonzero(activations) > 0


def test_faulted_copies_change_the_copy_only():
    for case in default_cases():
        torch.manual_seed(7)
        model = case.build(digits_split(subset=100) if case.key != "cancer-mlp" else case.load(0, 100)).eval()
        before = snapshot(model)
        for fault in case.faults:
            broken = faulted_copy(model, fault)
            assert changed_entries(before, snapshot(broken)), (case.key, fault.name)
            assert not broken.training
        assert not changed_entries(before, snapshot(model))


@pytest.mark.parametrize("call, error", [
    (lambda m: flip_bits(m, "out.weight", count=1, bit=32), ValueError),
    (lambda m: flip_bits(m, "out.weight", count=0, bit=3), ValueError),
    (lambda m: flip_bits(m, "out.weight", count=321, bit=3), ValueError),
    (lambda m: flip_bits(m, "no.such", count=1, bit=3), KeyError),
    (lambda m: add_gaussian_noise(m, "hidden9.weight", relative_std=0.1), KeyError),
    (lambda m: kill_unit(m, "hidden2", unit=32), ValueError),
    (lambda m: kill_unit(m, "missing", unit=0), KeyError),
])
def test_injectors_reject_bad_targets_without_changing_anything(model, call, error):
    before = snapshot(model)
    with pytest.raises(error):
        call(model)
    assert not changed_entries(before, snapshot(model))


@pytest.mark.parametrize("scores, expected", [
    ([1.0, 2.0, 3.0, 4.0], 0.5),
    ([np.nan, np.inf, 0.0, 2.5], 0.5),  # non-finite scores are alarms; 2.5 == tau is not
    ([], 0.0),
])
def test_alarm_rate_counts_non_finite_scores(scores, expected):
    assert alarm_rate(np.asarray(scores, dtype=np.float64), tau=2.5) == expected


def test_relative_difference():
    assert relative_difference(np.array([1.0, np.nan]), np.array([1.0, np.nan])) == 0.0
    assert relative_difference(np.array([200.0, 0.5]), np.array([100.0, 0.0])) == 1.0
    with pytest.raises(ValueError):
        relative_difference(np.zeros(2), np.zeros(3))


@pytest.mark.parametrize("successes, trials, expected", [
    (5, 10, (0.2366, 0.7634)), (0, 10, (0.0, 0.2775)), (10, 10, (0.7225, 1.0)), (0, 0, (0.0, 1.0))])
def test_wilson_interval(successes, trials, expected):
    np.testing.assert_allclose(wilson_interval(successes, trials), expected, atol=1e-4)


@pytest.mark.parametrize("requested, rows, expected", [(0.02, 504, 0.02), (0.02, 200, 0.05), (0.02, 57, 10 / 57)])
def test_resolvable_rate_is_what_calibrate_accepts(requested, rows, expected):
    rate = resolvable_rate(requested, rows)
    assert rate == pytest.approx(expected) and math.ceil(10 / rate) <= rows


def test_split_parts_are_disjoint_stratified_and_standardised():
    data = digits_split(seed=1, subset=400)
    sizes = [len(data.y_train), len(data.y_calib), len(data.y_test)]
    assert sizes == [400 - 112 - 88, 112, 88] and data.n_classes == 10
    assert all(set(np.unique(y)) == set(range(10)) for y in (data.y_train, data.y_calib, data.y_test))
    assert data.X_train.dtype == np.float32 and np.abs(data.X_train.mean(axis=0)).max() < 1e-4
    train_rows = {row.tobytes() for row in data.X_train}
    assert sum(row.tobytes() in train_rows for row in np.concatenate([data.X_calib, data.X_test])) <= 2  # duplicates


def test_window_alarm_streams():
    """A fault putting every input above tau fires after exactly the window's
    critical count of them; one putting none above never fires."""
    alarm = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.02, window=50, significance=1e-3)
    critical = next(c for c in range(51) if binom.sf(c - 1, 50, 0.02) <= 1e-3)
    clean, above = np.zeros(30), np.full(30, 5.0)
    rng = np.random.default_rng(0)
    delays = alarm_delays(alarm, clean, above, streams=5, length=40, warmup=50, rng=rng)
    np.testing.assert_array_equal(delays, np.full(5, critical))
    assert np.isinf(alarm_delays(alarm, clean, clean, streams=3, length=40, warmup=50, rng=rng)).all()
    assert clean_fire_rate(alarm, clean, streams=4, length=100, rng=rng) == 0.0
    assert clean_fire_rate(alarm, above, streams=4, length=100, rng=rng) == 1.0


def test_blame_names_the_moved_column_also_when_scores_overflow():
    rng = np.random.default_rng(0)
    S = rng.normal(size=(300, 3)).astype(np.float32)
    Z = np.concatenate([S, S[:, :1] * S[:, 1:2]], axis=1)
    monitor = resmon.NeuralConditionalMonitor(hidden=(8,), epochs=3, dropout=0.0)
    monitor.fit(S, Z)
    moved = Z[:4].copy()
    moved[:2, 2] += 50.0
    moved[2:, 1] = 3e38  # standardising this overflows: contributions are not finite
    np.testing.assert_array_equal(blame(monitor, S[:4], moved), [2, 2, 1, 1])


def test_scenario_smoke_run(tmp_path):
    """Every model through the whole pipeline, on small subsets with very few
    epochs, into an output folder that does not exist yet."""
    lines = []
    torch.set_num_threads(2)
    config = DemoConfig(subset=200, classifier_epochs=2, monitor_epochs=2, jitter_copies=1, monitor_hidden=(8,),
                        streams=5, stream_length=30, coverage_epochs=2)
    output = tmp_path / "a" / "b"
    result = run_scenario(config, output, progress=lines.append)
    assert torch.get_num_threads() == 2

    cases = default_cases()
    assert [case.case.key for case in result.cases] == [case.key for case in cases]
    assert len(lines) == 6 * len(cases) + 1
    for case, outcome in zip(cases, result.cases):
        assert outcome.monitor.s_engineer.include_interactions == case.pair_products
        assert [fault.name for fault in outcome.faulted] == [fault.name for fault in case.faults]
        assert outcome.rows["calib"] >= math.ceil(10 / outcome.false_alarm_rate)
        assert all(len(fault.scores) == outcome.rows["test"] and len(fault.delays) == 5 for fault in outcome.faulted)
        assert [bool(fault.rows_hit) for fault in outcome.faulted] == [f.target.startswith("out.") for f in case.faults]
        stored = json.loads(outcome.monitor_path.read_text())
        assert stored["monitor"]["tau"] == outcome.tau and outcome.reload_max_relative_difference < 1e-5
        assert stored["calibration"]["confidence"] == config.confidence == 0.9
        assert stored["layers"] == {"s": case.s, "z": "output"}
        table = format_table(outcome, config).splitlines()
        assert len(table) == 3 + 2 + 1 + len(case.faults)
        assert sum("[" in line and "%]" in line for line in table) == 1 + len(case.faults)
        coverage = outcome.coverage
        assert coverage.coverage.layers == list(case.coverage_layers)
        assert [f.link for f in coverage.faulted] == [case.faulted_link(f) for f in case.faults]
        assert case.faulted_link(case.faults[0]) == len(case.coverage_layers) - 2  # output-layer fault: last link
        assert case.faulted_link(case.faults[-1]) == 0  # S-layer fault: first link
        assert len(format_coverage_table(outcome).splitlines()) == 3 + 2 + 1 + len(case.faults)
    for picture in (result.scores_plot, result.stream_plot):
        assert picture.parent == output and picture.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_demo_script_runs_from_the_repository_root(tmp_path):
    """`python demo/run_demo.py` as the README runs it (sys.path[0] is demo/),
    with the installed package, on one model and a small subset."""
    package_root = Path(tarvex.__file__).resolve().parent.parent
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(package_root), env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, str(DEMO_DIR / "run_demo.py"), "--subset", "200", "--classifier-epochs", "2",
         "--monitor-epochs", "2", "--jitter-copies", "1", "--monitor-hidden", "8", "--streams", "5", "--coverage-epochs", "2",
         "--models", "digits-cnn", "--output-dir", str(tmp_path)],
        capture_output=True, text=True, cwd=DEMO_DIR.parent, env=env, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "digits-cnn: digits, CNN" in result.stdout and "none (clean model)" in result.stdout
    assert f"pictures: {tmp_path / 'scores.png'}, {tmp_path / 'stream.png'}" in result.stdout
    assert (tmp_path / "monitor-digits-cnn.json").is_file() and not (tmp_path / "monitor-digits-mlp.json").exists()
