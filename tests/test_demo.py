"""The demo's building blocks (fault injectors, S/Z extraction, the scenario
pipeline) and a quick run of the demo script itself."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import torch

import tarvex

DEMO_DIR = Path(__file__).resolve().parent.parent / "demo"
sys.path.insert(0, str(DEMO_DIR))

from classifier import DigitClassifier, load_split  # noqa: E402
from faults import Fault, add_gaussian_noise, faulted_copy, flip_bits, kill_unit  # noqa: E402
from features import extract_sz  # noqa: E402
from report import format_table  # noqa: E402
from scenario import DemoConfig, alarm_rate, default_faults, relative_difference, run_scenario  # noqa: E402


@pytest.fixture
def model():
    torch.manual_seed(7)
    return DigitClassifier().eval()


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


def test_dead_unit_zeroes_its_row_and_bias_only_and_stays_dead(model):
    before = snapshot(model)
    reported = kill_unit(model, "hidden2", unit=5)
    after = snapshot(model)
    changed = changed_entries(before, after)
    assert changed.keys() == reported.keys() == {"hidden2.weight", "hidden2.bias"}
    np.testing.assert_array_equal(changed["hidden2.weight"], np.arange(5 * 16, 6 * 16))
    np.testing.assert_array_equal(changed["hidden2.bias"], [5])
    assert torch.count_nonzero(after["hidden2.weight"][5]) == 0 and after["hidden2.bias"][5] == 0
    with torch.no_grad():
        hidden = torch.relu(model.hidden2(torch.relu(model.hidden1(torch.randn(50, 64)))))
    assert torch.count_nonzero(hidden[:, 5]) == 0 and torch.count_nonzero(hidden) > 0


def test_faulted_copy_leaves_the_original_untouched(model):
    before = snapshot(model)
    for fault in default_faults():
        broken = faulted_copy(model, fault)
        assert changed_entries(before, snapshot(broken)), fault.name
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


def test_extract_sz_gives_the_layer_output_and_the_logits(model):
    X = torch.randn(37, 64).numpy()
    model.train()
    S, Z = extract_sz(model, X, "hidden1", batch_size=10)
    assert S.shape == (37, 16) and Z.shape == (37, 10) and S.dtype == Z.dtype == np.float32
    with torch.no_grad():
        np.testing.assert_allclose(S, model.hidden1(torch.from_numpy(X)).numpy(), rtol=1e-6, atol=1e-6)
        np.testing.assert_allclose(Z, model.eval()(torch.from_numpy(X)).numpy(), rtol=1e-6, atol=1e-6)
    model.train()
    extract_sz(model, X, "hidden2")
    assert model.training, "extract_sz must restore the model's mode"
    assert all(not module._forward_hooks for module in model.modules()), "hook left behind"
    with pytest.raises(KeyError):
        extract_sz(model, X, "hidden7")


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


def test_load_split_is_stratified_standardised_and_disjoint():
    data = load_split(seed=1, subset=400, test_share=0.25)
    assert data.X_train.shape == (300, 64) and data.X_test.shape == (100, 64)
    assert data.X_train.dtype == np.float32 and set(np.unique(data.y_test)) == set(range(10))
    assert np.abs(data.X_train.mean(axis=0)).max() < 1e-4
    train_rows = {row.tobytes() for row in data.X_train}
    assert sum(row.tobytes() in train_rows for row in data.X_test) <= 2  # digits has a few exact duplicates


def test_scenario_smoke_run(tmp_path):
    """The whole pipeline on a small subset with very few epochs."""
    lines = []
    torch.set_num_threads(2)
    config = DemoConfig(subset=300, classifier_epochs=3, monitor_epochs=3, jitter_copies=1, monitor_hidden=(8,))
    result = run_scenario(config, tmp_path / "out", progress=lines.append)
    assert torch.get_num_threads() == 2

    assert [line[:5] for line in lines] == [f"[{i}/6]" for i in range(1, 7)]
    assert result.monitor.s_dim == 16 and result.monitor.z_dim == 10 and result.fit_rows == 2 * 225
    assert result.clean.scores.shape == (75,)
    assert [outcome.name for outcome in result.faulted] == [fault.name for fault in default_faults()]
    assert all(outcome.scores.shape == (75,) for outcome in result.faulted)
    assert 0.0 <= result.false_alarm_rate <= 1.0

    assert result.plot_path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    stored = json.loads(result.monitor_path.read_text())
    assert stored["type"] == "neural_conditional_monitor_v1" and len(stored) == 20
    assert result.reload_max_relative_difference < 1e-5

    table = format_table(result.clean, result.faulted, result.tau).splitlines()
    assert len(table) == 2 + 1 + len(result.faulted)
    assert all(f"{result.false_alarm_rate:.1%}" in line for line in table[2:])


def test_custom_fault_list_and_output_folder_creation(tmp_path):
    config = DemoConfig(subset=200, classifier_epochs=1, monitor_epochs=2, jitter_copies=0, monitor_hidden=(4,))
    fault = Fault("one flip", "bit 31", flip_bits, dict(parameter="out.bias", count=1, bit=31))
    result = run_scenario(config, tmp_path / "a" / "b", faults=[fault], progress=lambda _line: None)
    assert [outcome.target for outcome in result.faulted] == ["out.bias"]
    assert (tmp_path / "a" / "b" / "scores.png").is_file()


def test_demo_script_runs_from_the_repository_root(tmp_path):
    """`python demo/run_demo.py` as the README runs it (sys.path[0] is demo/),
    with the installed package, on a small subset."""
    package_root = Path(tarvex.__file__).resolve().parent.parent
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(package_root), env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, str(DEMO_DIR / "run_demo.py"), "--subset", "200", "--classifier-epochs", "2",
         "--monitor-epochs", "2", "--output-dir", str(tmp_path)],
        capture_output=True, text=True, cwd=DEMO_DIR.parent, env=env, timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "[6/6]" in result.stdout and "false alarms" in result.stdout
    assert f"picture: {tmp_path / 'scores.png'}" in result.stdout
    assert (tmp_path / "scores.png").is_file() and (tmp_path / "monitor.json").is_file()
