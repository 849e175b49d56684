"""Integrity faults injected into the weights of a PyTorch model.

Each injector changes one named parameter in place, touches nothing else, and
returns the flat indices of the entries it changed. `Fault` bundles an
injector with its arguments so a scenario can list its faults as data, and
`faulted_copy` applies one to a deep copy, leaving the original model intact.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import torch
import torch.nn as nn


def _parameter(model: nn.Module, name: str) -> torch.Tensor:
    parameters = dict(model.named_parameters())
    if name not in parameters:
        raise KeyError(f"model has no parameter named {name!r}")
    tensor = parameters[name]
    if tensor.dtype != torch.float32:
        raise TypeError(f"parameter {name!r} is {tensor.dtype}, expected torch.float32")
    return tensor


def flip_bits(model: nn.Module, parameter: str, count: int, bit: int, seed: int = 0) -> np.ndarray:
    """Flips bit `bit` (0 = lowest mantissa bit, 23-30 = exponent, 31 = sign)
    of the IEEE-754 float32 representation of `count` distinct entries of
    `parameter`, chosen at random with `seed`."""
    if not 0 <= bit <= 31:
        raise ValueError(f"bit must be in 0..31, got {bit}")
    tensor = _parameter(model, parameter)
    if not 0 < count <= tensor.numel():
        raise ValueError(f"count must be in 1..{tensor.numel()}, got {count}")
    indices = np.sort(np.random.default_rng(seed).choice(tensor.numel(), size=count, replace=False))
    with torch.no_grad():
        flat = tensor.view(-1)
        chosen = torch.from_numpy(indices)
        raw = flat[chosen].cpu().numpy().view(np.uint32) ^ np.uint32(1 << bit)
        flat[chosen] = torch.from_numpy(raw.view(np.float32)).to(flat.device)
    return indices


def add_gaussian_noise(model: nn.Module, parameter: str, relative_std: float, seed: int = 0) -> np.ndarray:
    """Adds Gaussian noise to every entry of `parameter`, with a standard
    deviation of `relative_std` times the parameter's own standard deviation."""
    tensor = _parameter(model, parameter)
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        std = float(tensor.std()) * float(relative_std)
        noise = torch.randn(tensor.shape, generator=generator, dtype=tensor.dtype) * std
        tensor.add_(noise.to(tensor.device))
    return np.arange(tensor.numel())


def kill_unit(model: nn.Module, layer: str, unit: int) -> dict[str, np.ndarray]:
    """Makes output `unit` of the linear layer `layer` (or output channel
    `unit` of the convolution `layer`) constantly zero by zeroing its weights
    and its bias; after a ReLU the unit is dead. Returns the changed flat
    indices per parameter name."""
    module = dict(model.named_modules()).get(layer)
    if not isinstance(module, (nn.Linear, nn.Conv2d)):
        raise KeyError(f"model has no linear or convolutional layer named {layer!r}")
    units = module.out_features if isinstance(module, nn.Linear) else module.out_channels
    if not 0 <= unit < units:
        raise ValueError(f"unit must be in 0..{units - 1}, got {unit}")
    per_unit = module.weight[unit].numel()
    with torch.no_grad():
        module.weight[unit].zero_()
        changed = {f"{layer}.weight": np.arange(unit * per_unit, (unit + 1) * per_unit)}
        if module.bias is not None:
            module.bias[unit] = 0.0
            changed[f"{layer}.bias"] = np.array([unit])
    return changed


@dataclass
class Fault:
    """A named fault: `inject(model, **kwargs)` applied to a model copy."""

    name: str
    description: str
    inject: Callable[..., Any]
    kwargs: dict[str, Any] = field(default_factory=dict)

    def apply(self, model: nn.Module) -> Any:
        return self.inject(model, **self.kwargs)

    @property
    def target(self) -> str:
        """The parameter or layer the fault changes."""
        return str(self.kwargs.get("parameter", self.kwargs.get("layer", "?")))


def faulted_copy(model: nn.Module, fault: Fault) -> nn.Module:
    """A deep copy of `model` with `fault` injected; `model` is not changed."""
    broken = copy.deepcopy(model)
    fault.apply(broken)
    broken.eval()
    return broken
