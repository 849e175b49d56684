"""_ResidualHead: layer structure, argument handling and the forward pass."""

import numpy as np
import pytest
import torch
from torch import nn

from tarvex.core import resmon

H = resmon._ResidualHead


@pytest.mark.parametrize(
    "dropout, linear_positions, has_dropout",
    [(0.05, [0, 3], True), (0.0, [0, 2], False), (-0.5, [0, 2], False)],
)
def test_backbone_layout(dropout, linear_positions, has_dropout):
    head = H(5, (64, 64), 3, dropout)
    layers = list(head.backbone)
    assert [i for i, layer in enumerate(layers) if isinstance(layer, nn.Linear)] == linear_positions
    assert any(isinstance(layer, nn.Dropout) for layer in layers) == has_dropout
    assert list(dict(head.named_children())) == ["backbone", "mu", "log_var"]
    names = list(head.state_dict())
    assert names[-4:] == ["mu.weight", "mu.bias", "log_var.weight", "log_var.bias"]
    assert names[:2] == ["backbone.0.weight", "backbone.0.bias"]
    assert f"backbone.{linear_positions[1]}.weight" in names
    if has_dropout:
        assert head.backbone[2].p == dropout
    assert head.training and all(p.dtype == torch.float32 for p in head.parameters())


def test_empty_hidden_maps_input_straight_to_heads():
    head = H(4, (), 2, 0.1)
    assert len(head.backbone) == 0
    assert (head.mu.in_features, head.mu.out_features) == (4, 2)
    mu, log_var = head(torch.zeros(3, 4))
    assert mu.shape == log_var.shape == (3, 2)


@pytest.mark.parametrize("input_dim", [3, 3.7, np.int64(3), True + 2])
def test_integer_arguments_are_converted(input_dim):
    torch.manual_seed(0)
    head = H(input_dim, (4,), 2.9, 0)
    assert head.backbone[0].in_features == 3 and head.mu.out_features == 2


def test_super_follows_the_subclass_mro():
    calls = []

    class Mixin(nn.Module):
        def __init__(self):
            calls.append("mixin")
            super().__init__()

    class Sub(H, Mixin):
        pass

    Sub(2, (3,), 1, 0.0)
    assert calls == ["mixin"]


def test_log_var_is_clamped():
    head = H(2, (), 2, 0.0)
    with torch.no_grad():
        head.log_var.weight.zero_()
        head.log_var.bias.copy_(torch.tensor([-10.0, 10.0]))
        _, log_var = head(torch.zeros(1, 2))
        assert log_var.tolist() == [[-4.0, 4.0]]
        head.log_var.bias.copy_(torch.tensor([-3.5, 1.25]))
        _, log_var = head(torch.zeros(1, 2))
        assert log_var.tolist() == [[-3.5, 1.25]]


def test_dropout_only_in_training_mode():
    torch.manual_seed(0)
    head = H(6, (32, 32), 3, 0.5)
    x = torch.randn(8, 6)
    assert not torch.equal(head(x)[0], head(x)[0])
    head.eval()
    first, second = head(x), head(x)
    assert torch.equal(first[0], second[0]) and torch.equal(first[1], second[1])
    assert isinstance(first, tuple) and first is not second


def test_library_errors_propagate():
    with pytest.raises(ValueError):
        H(3, (4,), 2, 1.5)
    with pytest.raises(RuntimeError):
        H(3, (-4,), 2, 0.0)
    with pytest.raises(RuntimeError):
        H(3, (4,), 2, 0.0)(torch.zeros(2, 5))
