"""to_dict / from_dict: the monitor dictionary and rebuilding from it."""

import json
import re

import numpy as np
import pytest
import torch

from tarvex.core import resmon

M = resmon.NeuralConditionalMonitor

KEYS = [
    "type", "hidden", "epochs", "batch_size", "lr", "weight_decay", "dropout", "tau_quantile", "random_state",
    "patience", "device", "tau", "s_dim", "z_dim", "input_dim", "s_engineer", "z_mean", "z_scale", "inv_cov",
    "state_dict",
]
REQUIRED = ["tau", "s_dim", "z_dim", "input_dim", "s_engineer", "z_mean", "z_scale", "state_dict"]


def only_builtins(value):
    if isinstance(value, dict):
        return all(type(k) is str and only_builtins(v) for k, v in value.items())
    if isinstance(value, list):
        return all(only_builtins(v) for v in value)
    return type(value) in (str, int, float, bool, type(None))


@pytest.fixture(scope="module")
def saved(trained_monitor):
    return trained_monitor.to_dict()


def test_dictionary_layout(saved, trained_monitor):
    assert list(saved) == KEYS
    assert saved["type"] == "neural_conditional_monitor_v1" and saved["device"] == "cpu"
    assert saved["hidden"] == [16] and saved["tau"] == trained_monitor.tau
    assert list(saved["state_dict"]) == list(trained_monitor._model.state_dict())
    assert only_builtins(saved)
    assert json.loads(json.dumps(saved)) == saved


def test_json_round_trip_scores_identically(saved, trained_monitor, training_data):
    S, Z = training_data
    back = M.from_dict(json.loads(json.dumps(saved)))
    assert type(back) is M and not back._model.training
    # The JSON text loses nothing: it loads into exactly the monitor the dictionary gives.
    np.testing.assert_array_equal(back.score_batch(S, Z), M.from_dict(saved).score_batch(S, Z))
    # The trained monitor keeps inv_cov as computed; the loaded one holds it as float64.
    np.testing.assert_allclose(back.score_batch(S, Z), trained_monitor.score_batch(S, Z), rtol=1e-5)
    for name in ["hidden", "epochs", "batch_size", "lr", "weight_decay", "dropout", "tau_quantile", "random_state",
                 "patience", "tau", "s_dim", "z_dim", "input_dim"]:
        assert getattr(back, name) == getattr(trained_monitor, name), name
    assert back.z_mean.dtype == np.float32 and back.inv_cov.dtype == np.float64
    np.testing.assert_array_equal(back.s_engineer.mean_, trained_monitor.s_engineer.mean_)
    np.testing.assert_array_equal(back.s_engineer.scale_, trained_monitor.s_engineer.scale_)
    assert back.to_dict() == saved


def test_device_is_always_written_as_cpu(trained_monitor, monkeypatch):
    monkeypatch.setattr(trained_monitor, "device", "cuda:3")
    assert trained_monitor.to_dict()["device"] == "cpu"


@pytest.mark.parametrize("missing", ["_model", "tau", "z_mean", "z_scale", "inv_cov"])
def test_to_dict_needs_a_complete_monitor(trained_monitor, monkeypatch, missing):
    monkeypatch.setattr(trained_monitor, missing, None)
    with pytest.raises(RuntimeError, match="^Detector not fit$"):
        trained_monitor.to_dict()


@pytest.fixture
def small_saved():
    """A monitor dictionary whose network matches the default hidden layout."""
    from helpers import linear_pairs

    m = M(hidden=(64, 64), epochs=1)
    m.fit(*linear_pairs(20))
    return m.to_dict()


def test_required_entries_only_use_the_defaults(small_saved):
    back = M.from_dict({key: small_saved[key] for key in REQUIRED})
    assert (back.hidden, back.epochs, back.batch_size, back.lr, back.weight_decay) == ((64, 64), 250, 64, 0.001, 0.0001)
    assert (back.dropout, back.tau_quantile, back.random_state, back.patience, back.device) == (0.05, 0.995, 0, 20, "cpu")
    assert back.inv_cov is None and back._model is not None
    with pytest.raises(RuntimeError, match="^Detector not fit/loaded$"):
        back.score_batch(np.zeros((1, 4)), np.zeros((1, 3)))
    with pytest.raises(RuntimeError, match="^Detector not fit$"):
        back.to_dict()


@pytest.mark.parametrize("key", REQUIRED)
def test_missing_required_entry(small_saved, key):
    del small_saved[key]
    with pytest.raises(KeyError) as info:
        M.from_dict(small_saved)
    assert info.value.args == (key,)


def test_first_missing_entry_in_reading_order_is_reported(small_saved):
    del small_saved["state_dict"], small_saved["z_dim"], small_saved["z_mean"]
    with pytest.raises(KeyError, match="z_dim"):
        M.from_dict(small_saved)


def test_conversions_when_loading(small_saved):
    small_saved.update(hidden=[64, 64], epochs="12", lr="0.5", device="cuda", type="something else")
    back = M.from_dict(small_saved)
    assert back.hidden == (64, 64) and back.epochs == 12 and back.lr == 0.5 and back.device == "cuda"
    expected = "cuda" if torch.cuda.is_available() else "cpu"
    assert back._torch_device.type == expected


def test_from_dict_builds_the_module_class_even_through_a_subclass(small_saved):
    class Sub(M):
        pass

    assert type(Sub.from_dict(small_saved)) is M


def test_switching_dropout_side_breaks_loading(small_saved):
    small_saved["dropout"] = 0.0
    with pytest.raises(ValueError, match="lacks backbone.2.weight"):
        M.from_dict(small_saved)


@pytest.mark.parametrize(
    "change, error",
    [
        (lambda d: d.update(state_dict=None), ValueError),
        (lambda d: d["state_dict"].pop("mu.bias"), ValueError),
        (lambda d: d["state_dict"].update({"mu.bias": [0.0]}), ValueError),
        (lambda d: d["state_dict"].update({"mu.bias": "text"}), ValueError),
        (lambda d: d["state_dict"].update({"mu.extra": [0.0]}), ValueError),
        (lambda d: d["state_dict"]["mu.weight"][1].append(0.0), ValueError),
        (lambda d: d.update(s_engineer=None), TypeError),
        (lambda d: d.update(tau="high"), ValueError),
        (lambda d: d.update(hidden=None), TypeError),
        (lambda d: d.update(hidden=[64.0, 64]), ValueError),
        (lambda d: d.update(z_mean=[0.0]), ValueError),
        (lambda d: d.update(z_scale=[[1.0, 1.0, 1.0]]), ValueError),
        (lambda d: d.update(inv_cov=[[1.0]]), ValueError),
        (lambda d: d["s_engineer"].update(mean=[0.0]), ValueError),
        (lambda d: d.update(z_mean=[["x", 1, 2]]), ValueError),
        # dimensions that do not describe the stored weights are refused before any allocation
        (lambda d: d.update(input_dim=10**9), ValueError),
        (lambda d: d.update(hidden=[10**6, 10**6]), ValueError),
        (lambda d: d.update(hidden=[1] * 100_000), ValueError),
        (lambda d: d.update(z_dim=3 * 10**8, z_mean=[0.0] * 3, z_scale=[1.0] * 3), ValueError),
        (lambda d: d.update(input_dim=20_000, hidden=[20_000]) or d["state_dict"].update({"mu.bias": 0.0}), ValueError),
    ],
)
def test_malformed_dictionaries_raise(small_saved, change, error):
    change(small_saved)
    with pytest.raises(error):
        M.from_dict(small_saved)


NEVER_ALARMS = {
    "tau NaN": lambda d: d.update(tau=float("nan")),
    "tau text nan": lambda d: d.update(tau="nan"),
    "tau inf": lambda d: d.update(tau=float("inf")),
    "inv_cov zero": lambda d: d.update(inv_cov=[[0.0] * 3] * 3),
    "inv_cov NaN": lambda d: d["inv_cov"][0].__setitem__(0, float("nan")),
    "inv_cov indefinite": lambda d: d.update(inv_cov=[[1.0, 0, 0], [0, -1.0, 0], [0, 0, 1.0]]),
    "z_scale zero": lambda d: d["z_scale"].__setitem__(1, 0.0),
    "z_scale negative": lambda d: d["z_scale"].__setitem__(1, -1.0),
    "z_scale inf": lambda d: d["z_scale"].__setitem__(1, float("inf")),
    "engineer scale inf": lambda d: d["s_engineer"]["scale"].__setitem__(0, float("inf")),
}


@pytest.mark.parametrize("damage", NEVER_ALARMS.values(), ids=NEVER_ALARMS.keys())
def test_monitors_that_could_never_alarm_are_refused(small_saved, damage):
    damage(small_saved)
    with pytest.raises(ValueError, match="^Monitor dictionary is inconsistent: "):
        M.from_dict(small_saved)


TINY = float(np.finfo(np.float32).tiny)
UNREACHABLE = {
    "tau beyond any float32 residual": (lambda d: d.update(tau=1e308), "tau 1e+308 is at or beyond the largest score"),
    "z_scale subnormal": (lambda d: d["z_scale"].__setitem__(1, TINY / 4), "z_scale must hold values within float32's"),
    "engineer scale subnormal": (lambda d: d["s_engineer"]["scale"].__setitem__(0, TINY / 4),
                                 "the engineer's scale must hold values within float32's normal range"),
    "inv_cov 1e-300 I": (lambda d: d.update(inv_cov=(1e-300 * np.eye(3)).tolist()), "eigenvalues of inv_cov must lie"),
    "inv_cov 1e39 I": (lambda d: d.update(inv_cov=(1e39 * np.eye(3)).tolist()), "got 1e+39 to 1e+39"),
    "input_dim for other flags": (lambda d: d["s_engineer"].update(include_square=False),
                                  "input_dim is 18, but the engineer makes 14 columns from s_dim 4"),
    "zero-width layer": (lambda d: d.update(hidden=[0, 64]), "every hidden width must be a positive integer"),
}


@pytest.mark.parametrize("damage, message", UNREACHABLE.values(), ids=UNREACHABLE.keys())
def test_values_outside_the_monitors_working_range_are_refused(small_saved, damage, message):
    damage(small_saved)
    with pytest.raises(ValueError, match="^Monitor dictionary is inconsistent: .*" + re.escape(message)):
        M.from_dict(small_saved)


def test_a_negative_tau_still_loads_and_alarms_on_everything(small_saved):
    small_saved["tau"] = -1.0
    back = M.from_dict(small_saved)
    assert np.all(back.score_batch(np.zeros((4, 4)), np.zeros((4, 3))) > back.tau)
