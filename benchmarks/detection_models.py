"""Monitored models, their data and the weight faults of the detection
benchmark: small multilayer perceptrons for scikit-learn's bundled data sets
(nothing is downloaded), trained here, and in-place faults on copies of them.

S is the first hidden layer before its ReLU and Z the logits, as in the demo,
so every fault but the last sits between S and Z.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass
from typing import Callable

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from sklearn.datasets import load_breast_cancer, load_digits
from sklearn.model_selection import train_test_split

# name -> (loader, copies): how many jittered copies of each input every split
# holds besides the input itself. Breast cancer has 569 inputs, so its
# calibration split needs more copies to reach the 1,000 rows that a 1% rate
# needs.
DATASETS: dict[str, tuple[Callable[..., object], int]] = {
    "digits": (load_digits, 3),
    "breast_cancer": (load_breast_cancer, 7),
}
# Hidden widths of the two model shapes; S is the output of the first.
SHAPES: dict[str, tuple[int, ...]] = {
    "16-32": (16, 32),
    "32-24-24": (32, 24, 24),
}
JITTER_STD = 0.5  # in units of each standardised input feature
S_LAYER = "hidden.0"


@dataclass
class Splits:
    """Standardised inputs of three disjoint parts of a data set: `fit` trains
    the classifier and every detector, `calibration` sets every threshold,
    `test` measures the rates. Each part holds its inputs followed by
    `copies` jittered copies of them; `*_labels` are the labels of the rows."""

    fit: np.ndarray
    fit_labels: np.ndarray
    calibration: np.ndarray
    test: np.ndarray
    test_labels: np.ndarray
    n_classes: int


def _jittered(X: np.ndarray, copies: int, rng: np.random.Generator) -> np.ndarray:
    parts = [X] + [X + JITTER_STD * rng.standard_normal(X.shape) for _ in range(copies)]
    return np.concatenate(parts).astype(np.float32)


def load_splits(name: str, seed: int) -> Splits:
    """Splits the data set 50/25/25, stratified by label, and standardises it
    with the fit part's statistics."""
    loader, copies = DATASETS[name]
    data = loader()
    X, y = data.data.astype(np.float64), data.target.astype(np.int64)
    X_fit, X_rest, y_fit, y_rest = train_test_split(X, y, test_size=0.5, stratify=y, random_state=seed)
    X_cal, X_test, _, y_test = train_test_split(X_rest, y_rest, test_size=0.5, stratify=y_rest,
                                                random_state=seed)
    mean, scale = X_fit.mean(axis=0), X_fit.std(axis=0) + 1.0  # +1: some digit pixels are always 0
    rng = np.random.default_rng(seed)
    fit, cal, test = ((part - mean) / scale for part in (X_fit, X_cal, X_test))
    return Splits(_jittered(fit, copies, rng), np.tile(y_fit, copies + 1), _jittered(cal, copies, rng),
                  _jittered(test, copies, rng), np.tile(y_test, copies + 1), int(y.max()) + 1)


class Classifier(nn.Module):
    """inputs -> hidden.0 -> ReLU -> hidden.1 -> ReLU ... -> out (the logits)."""

    def __init__(self, n_inputs: int, hidden: tuple[int, ...], n_classes: int) -> None:
        super().__init__()
        widths = (n_inputs,) + tuple(hidden)
        self.hidden = nn.ModuleList(nn.Linear(a, b) for a, b in zip(widths[:-1], widths[1:]))
        self.out = nn.Linear(widths[-1], n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        for layer in self.hidden:
            x = F.relu(layer(x))
        return self.out(x)


def train_classifier(X: np.ndarray, y: np.ndarray, hidden: tuple[int, ...], n_classes: int, seed: int,
                     epochs: int = 30, batch_size: int = 64, lr: float = 3e-3) -> Classifier:
    """Adam on cross-entropy; the weights and batch order come from `seed`."""
    torch.manual_seed(seed)
    model = Classifier(X.shape[1], hidden, n_classes)
    generator = torch.Generator().manual_seed(seed)
    optimiser = torch.optim.Adam(model.parameters(), lr=lr, weight_decay=1e-4)
    inputs, labels = torch.from_numpy(X), torch.from_numpy(y)
    model.train()
    for _ in range(epochs):
        order = torch.randperm(len(labels), generator=generator)
        for start in range(0, len(labels), batch_size):
            idx = order[start:start + batch_size]
            optimiser.zero_grad(set_to_none=True)
            F.cross_entropy(model(inputs[idx]), labels[idx]).backward()
            optimiser.step()
    return model.eval()


def accuracy(model: nn.Module, X: np.ndarray, y: np.ndarray) -> float:
    with torch.no_grad():
        return float((model(torch.from_numpy(X)).argmax(dim=1).numpy() == y).mean())


# --- faults ------------------------------------------------------------------------


def flip_bits(model: nn.Module, parameter: str, count: int, bit: int, seed: int) -> None:
    """Flips bit `bit` (31: sign, 23-30: exponent) of `count` distinct float32
    entries of `parameter`, chosen with `seed`."""
    tensor = dict(model.named_parameters())[parameter]
    indices = np.random.default_rng(seed).choice(tensor.numel(), size=count, replace=False)
    with torch.no_grad():
        flat = tensor.view(-1)
        chosen = torch.from_numpy(indices)
        raw = flat[chosen].numpy().view(np.uint32) ^ np.uint32(1 << bit)
        flat[chosen] = torch.from_numpy(raw.view(np.float32))


def add_noise(model: nn.Module, parameter: str, relative_std: float, seed: int) -> None:
    """Gaussian noise with `relative_std` times the parameter's own std."""
    tensor = dict(model.named_parameters())[parameter]
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        tensor.add_(torch.randn(tensor.shape, generator=generator) * float(tensor.std()) * relative_std)


def kill_unit(model: nn.Module, layer: str, unit: int) -> None:
    """Zeroes one output unit of a linear layer (weights and bias)."""
    module = dict(model.named_modules())[layer]
    with torch.no_grad():
        module.weight[unit].zero_()
        module.bias[unit] = 0.0


@dataclass
class Fault:
    name: str
    where: str
    inject: Callable[[nn.Module], None]
    after_s: bool = True  # False: the fault changes S itself, which no S -> Z detector can see

    def applied_to(self, model: nn.Module) -> nn.Module:
        broken = copy.deepcopy(model)
        self.inject(broken)
        return broken.eval()


def faults(model: Classifier, seed: int) -> list[Fault]:
    """The demo's six fault kinds, placed by layer name: the last hidden layer
    feeds `out`, the second hidden layer is the first one after S."""
    second = "hidden.1"
    dead = int(np.random.default_rng(seed).integers(model.hidden[1].out_features))
    return [
        Fault("3 sign-bit flips", "out.weight",
              lambda m: flip_bits(m, "out.weight", 3, 31, seed + 1)),
        Fault("2 exponent-bit flips", "out.weight",
              lambda m: flip_bits(m, "out.weight", 2, 30, seed + 2)),
        Fault("3 vanishing weights", "out.weight",
              lambda m: flip_bits(m, "out.weight", 3, 29, seed + 1)),
        Fault("weight noise 20%", f"{second}.weight",
              lambda m: add_noise(m, f"{second}.weight", 0.2, seed + 1)),
        Fault("dead unit", f"{second}[{dead}]",
              lambda m: kill_unit(m, second, dead)),
        Fault("S-layer noise 20%", f"{S_LAYER}.weight",
              lambda m: add_noise(m, f"{S_LAYER}.weight", 0.2, seed + 1), after_s=False),
    ]
