"""Monitor construction, conversions and the device policy."""

import numpy as np
import pytest
import torch

from tarvex.core import resmon

M = resmon.NeuralConditionalMonitor
cuda = pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")


def test_defaults_and_attribute_order():
    m = M()
    assert list(vars(m)) == [
        "hidden", "epochs", "batch_size", "lr", "weight_decay", "dropout", "tau_quantile", "random_state",
        "patience", "device", "tau", "s_dim", "z_dim", "input_dim", "s_engineer", "z_mean", "z_scale", "_model",
        "inv_cov", "_torch_device",
    ]
    assert (m.hidden, m.epochs, m.batch_size, m.lr, m.weight_decay) == ((64, 64), 120, 64, 0.001, 0.0001)
    assert (m.dropout, m.tau_quantile, m.random_state, m.patience, m.device) == (0.05, 0.995, 0, 20, "cpu")
    assert all(getattr(m, a) is None for a in ["tau", "s_dim", "z_dim", "input_dim", "z_mean", "z_scale", "_model", "inv_cov"])
    assert m._torch_device == torch.device("cpu")
    assert type(m.s_engineer) is resmon.NeuralFeatureEngineer and m.s_engineer.mean_ is None


@pytest.mark.parametrize(
    "kwargs, attribute, expected",
    [
        ({"epochs": 10.9}, "epochs", 10),
        ({"epochs": True}, "epochs", 1),
        ({"patience": np.int16(4)}, "patience", 4),
        ({"lr": 1}, "lr", 1.0),
        ({"dropout": np.float32(0.25)}, "dropout", 0.25),
    ],
)
def test_numeric_conversions(kwargs, attribute, expected):
    value = getattr(M(**kwargs), attribute)
    assert value == expected and type(value) is type(expected)


def test_hidden_and_device_are_kept_verbatim():
    hidden = (32, 16)
    m = M(hidden=hidden, device="  CPU ")
    assert m.hidden is hidden and m.device == "  CPU " and m._torch_device.type == "cpu"


@pytest.mark.parametrize("text", ["cpu", "", "mps", "  cpu", "CUDA:0", "cudax"])
def test_non_cuda_texts_resolve_to_cpu(text, monkeypatch):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: False)
    assert M._resolve_device(text) == torch.device("cpu")


def test_cuda_availability_is_only_asked_after_the_prefix_test(monkeypatch):
    asked = []
    monkeypatch.setattr(torch.cuda, "is_available", lambda: asked.append(1) or False)
    M._resolve_device("cpu")
    assert asked == []
    m = M(device="cuda:0")
    assert asked == [1] and m.device == "cuda:0" and m._torch_device == torch.device("cpu")


def test_cuda_text_is_used_unnormalised_when_cuda_is_usable(monkeypatch):
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    assert M._resolve_device("cuda:1") == torch.device("cuda", 1)
    assert M().set_device("mps")._torch_device == torch.device("cpu")
    with pytest.raises(RuntimeError):
        M._resolve_device(" CUDA")  # passes the test only after normalising


def test_resolve_device_goes_through_the_instance():
    class Pinned(M):
        @staticmethod
        def _resolve_device(device):
            return torch.device("meta")

    assert Pinned()._torch_device == torch.device("meta")


def test_set_device_untrained_and_trained(trained_monitor):
    m = M()
    assert m.set_device("cpu") is m and m._model is None
    z_mean, inv_cov = trained_monitor.z_mean, trained_monitor.inv_cov
    assert trained_monitor.set_device("cuda") is trained_monitor
    assert trained_monitor.device == "cuda"
    expected = "cuda" if torch.cuda.is_available() else "cpu"
    assert next(trained_monitor._model.parameters()).device.type == expected
    assert trained_monitor.z_mean is z_mean and trained_monitor.inv_cov is inv_cov
    trained_monitor.set_device("cpu")


def test_set_device_assigns_the_text_before_resolving(monkeypatch):
    m = M()
    previous = m._torch_device
    monkeypatch.setattr(torch.cuda, "is_available", lambda: True)
    with pytest.raises(RuntimeError):
        m.set_device("cuda:not-a-number")
    assert m.device == "cuda:not-a-number" and m._torch_device is previous


@cuda
def test_trained_monitor_scores_on_cuda(trained_monitor, training_data):
    S, Z = training_data
    cpu_scores = trained_monitor.score_batch(S, Z)
    trained_monitor.set_device("cuda")
    try:
        np.testing.assert_allclose(trained_monitor.score_batch(S, Z), cpu_scores, rtol=1e-3, atol=1e-3)
    finally:
        trained_monitor.set_device("cpu")
