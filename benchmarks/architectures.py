"""Four small models of the kinds people serve, their data and their faults,
shared by the test suite and the detection benchmark: a ResNet with
BatchNorm and residual adds (on scikit-learn's bundled 8 x 8 digits), a
2-layer transformer encoder with LayerNorm and GELU whose output is the
tuple (logits, CLS), two stacked LSTMs, and a regression MLP (both on
synthetic data). Nothing is downloaded; each trains in seconds on one
thread.

`build(name, seed, size)` trains one and returns an `Architecture`: the
model, its data splits, the layers to cover (every layer from the input to
the output), the layers of a single monitor (S the first layer after the
input, Z the output, as in the demo) and its faults, each marked with the
covered layer whose output it changes first.
"""

from __future__ import annotations

import copy
import time
from dataclasses import dataclass
from typing import Callable

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from sklearn.datasets import load_digits, make_friedman1

from detection_models import add_noise, flip_bits, kill_unit

NAMES = ("resnet", "transformer", "lstm", "regressor")
# rows of the fit, calibration and test splits
SIZES = {"test": (600, 300, 300), "bench": (3000, 1500, 2000)}
EPOCHS = {"test": 8, "bench": 25}
TOKENS, TOKEN_FEATURES, CLASSES = 16, 8, 4


# --- models --------------------------------------------------------------------------


class Block(nn.Module):
    """conv-BN-ReLU-conv-BN plus the shortcut (a strided 1 x 1 convolution
    where the shape changes), then ReLU."""

    def __init__(self, channels_in: int, channels_out: int, stride: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(channels_in, channels_out, 3, stride, 1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels_out)
        self.conv2 = nn.Conv2d(channels_out, channels_out, 3, 1, 1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels_out)
        self.shortcut: nn.Module = nn.Identity()
        if stride != 1 or channels_in != channels_out:
            self.shortcut = nn.Sequential(nn.Conv2d(channels_in, channels_out, 1, stride, bias=False),
                                          nn.BatchNorm2d(channels_out))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out = self.bn2(self.conv2(F.relu(self.bn1(self.conv1(x)))))
        return F.relu(out + self.shortcut(x))


class ResNet(nn.Module):
    """(batch, 1, 8, 8) -> stem -> block1 -> block2 -> average pool -> head."""

    def __init__(self, classes: int = 10) -> None:
        super().__init__()
        self.stem = nn.Sequential(nn.Conv2d(1, 8, 3, 1, 1, bias=False), nn.BatchNorm2d(8), nn.ReLU())
        self.block1 = Block(8, 8, 1)
        self.block2 = Block(8, 16, 2)
        self.head = nn.Linear(16, classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.block2(self.block1(self.stem(x)))
        return self.head(x.mean(dim=(2, 3)))


class Embed(nn.Module):
    """Tokens to the model width, a learned CLS token in front, learned
    positions added: (batch, tokens, features) -> (batch, tokens + 1, width)."""

    def __init__(self, features: int, width: int, tokens: int) -> None:
        super().__init__()
        self.linear = nn.Linear(features, width)
        self.cls = nn.Parameter(torch.zeros(1, 1, width))
        self.positions = nn.Parameter(0.02 * torch.randn(1, tokens + 1, width))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        tokens = self.linear(x)
        return torch.cat([self.cls.expand(len(x), -1, -1), tokens], dim=1) + self.positions


class Transformer(nn.Module):
    """embed -> 2 encoder layers (post-norm, GELU) -> final LayerNorm `norm`
    -> head on the CLS token; returns (logits, CLS features)."""

    def __init__(self, width: int = 48, classes: int = CLASSES) -> None:
        super().__init__()
        self.embed = Embed(TOKEN_FEATURES, width, TOKENS)
        layer = nn.TransformerEncoderLayer(width, 4, 2 * width, dropout=0.0, activation="gelu", batch_first=True)
        self.encoder = nn.TransformerEncoder(layer, 2, enable_nested_tensor=False)
        self.norm = nn.LayerNorm(width)
        self.head = nn.Linear(width, classes)

    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        cls = self.norm(self.encoder(self.embed(x)))[:, 0]
        return self.head(cls), cls


class StackedLSTM(nn.Module):
    """Two LSTMs, one after the other (each a layer of its own), and a head
    on the second one's last step."""

    def __init__(self, hidden: int = 32, classes: int = CLASSES) -> None:
        super().__init__()
        self.lstm1 = nn.LSTM(TOKEN_FEATURES, hidden, batch_first=True)
        self.lstm2 = nn.LSTM(hidden, hidden, batch_first=True)
        self.head = nn.Linear(hidden, classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        out, _ = self.lstm2(self.lstm1(x)[0])
        return self.head(out[:, -1])


class Regressor(nn.Module):
    """10 features -> fc1 -> fc2 -> fc3 (ReLU after each) -> out (one value)."""

    def __init__(self) -> None:
        super().__init__()
        self.fc1, self.fc2, self.fc3 = nn.Linear(10, 32), nn.Linear(32, 32), nn.Linear(32, 16)
        self.out = nn.Linear(16, 1)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.out(F.relu(self.fc3(F.relu(self.fc2(F.relu(self.fc1(x)))))))


# --- data ----------------------------------------------------------------------------


def _sequences(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Gaussian tokens; the class is a pattern added to 4 random tokens, and
    the sign of the sequence's first feature summed over the tokens flips
    it to its neighbour (so order and counting both matter a little)."""
    patterns = np.random.default_rng(12345).normal(size=(CLASSES, TOKEN_FEATURES))
    X = rng.normal(size=(n, TOKENS, TOKEN_FEATURES))
    y = rng.integers(CLASSES, size=n)
    for i in range(n):
        X[i, rng.choice(TOKENS, size=4, replace=False)] += 1.5 * patterns[y[i]]
    return X.astype(np.float32), y.astype(np.int64)


def _digits(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    """Digits (scaled to [0, 1]) with Gaussian pixel jitter, drawn with
    replacement: (n, 1, 8, 8)."""
    data = load_digits()
    chosen = rng.integers(len(data.target), size=n)
    X = data.images[chosen] / 16.0 + 0.15 * rng.normal(size=(n, 8, 8))
    return X[:, None].astype(np.float32), data.target[chosen].astype(np.int64)


def _friedman(n: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray]:
    X, y = make_friedman1(n, n_features=10, noise=0.5, random_state=int(rng.integers(2**31)))
    return (2 * X - 1).astype(np.float32), ((y - 14.0) / 5.0).astype(np.float32)


# --- faults --------------------------------------------------------------------------


@dataclass
class Fault:
    """A change of a copy of the model. `layer` is the covered layer whose
    output it changes first (the link ending there should be blamed);
    `after_s` is False for a fault at or before the single monitor's S."""

    name: str
    layer: str
    inject: Callable[[nn.Module], None]
    after_s: bool = True

    def applied_to(self, model: nn.Module) -> nn.Module:
        broken = copy.deepcopy(model)
        self.inject(broken)
        return broken.eval()


def flip_share(model: nn.Module, parameter: str, share: float, bit: int, seed: int) -> None:
    """Flips bit `bit` of a `share` of the entries of `parameter`."""
    count = max(1, round(share * dict(model.named_parameters())[parameter].numel()))
    flip_bits(model, parameter, count, bit, seed)


def scale_entry(model: nn.Module, parameter: str, index: int, factor: float) -> None:
    with torch.no_grad():
        dict(model.named_parameters())[parameter].view(-1)[index] *= factor


def flip_channel_at_run_time(model: nn.Module, layer: str, channel: int) -> None:
    """A forward hook that negates one feature channel of `layer`'s output
    (the last dimension): a fault of the hardware that runs the layer, not
    of its weights."""
    def hook(_module: nn.Module, _args: object, output: torch.Tensor) -> torch.Tensor:
        output = output.clone()
        output[..., channel] = -output[..., channel]
        return output
    dict(model.named_modules())[layer].register_forward_hook(hook)


def _faults(name: str, seed: int) -> list[Fault]:
    rng = np.random.default_rng(seed)
    unit = int(rng.integers(16))
    if name == "resnet":
        return [
            Fault("block1 conv noise 20%", "block1", lambda m: add_noise(m, "block1.conv2.weight", 0.2, seed)),
            Fault("block2 5% sign flips", "block2", lambda m: flip_share(m, "block2.conv1.weight", 0.05, 31, seed)),
            Fault("block2 BN channel x3", "block2", lambda m: scale_entry(m, "block2.bn2.weight", unit, 3.0)),
            Fault("head exponent flip", "output", lambda m: flip_bits(m, "head.weight", 1, 30, seed)),
            Fault("stem noise 20% (at S)", "stem", lambda m: add_noise(m, "stem.0.weight", 0.2, seed), False),
        ]
    if name == "transformer":
        layer0, layer1 = "encoder.layers.0", "encoder.layers.1"
        return [
            Fault("FFN 5% sign flips", layer1, lambda m: flip_share(m, f"{layer1}.linear1.weight", 0.05, 31, seed)),
            Fault("FFN noise 10%", layer0, lambda m: add_noise(m, f"{layer0}.linear2.weight", 0.1, seed)),
            Fault("dead FFN unit", layer0, lambda m: kill_unit(m, f"{layer0}.linear1", unit)),
            Fault("attention in_proj noise 10%", layer1,
                  lambda m: add_noise(m, f"{layer1}.self_attn.in_proj_weight", 0.1, seed)),
            Fault("final-norm channel sign", "norm", lambda m: scale_entry(m, "norm.weight", unit, -1.0)),
            Fault("LayerNorm channel sign", layer0, lambda m: scale_entry(m, f"{layer0}.norm1.weight", unit, -1.0)),
            Fault("run-time channel flip", layer1, lambda m: flip_channel_at_run_time(m, layer1, unit)),
            Fault("embedding noise 20% (at S)", "embed", lambda m: add_noise(m, "embed.linear.weight", 0.2, seed),
                  False),
        ]
    if name == "lstm":
        return [
            Fault("lstm2 recurrent noise 10%", "lstm2[0]", lambda m: add_noise(m, "lstm2.weight_hh_l0", 0.1, seed)),
            Fault("lstm2 5% sign flips", "lstm2[0]", lambda m: flip_share(m, "lstm2.weight_ih_l0", 0.05, 31, seed)),
            Fault("head exponent flip", "output", lambda m: flip_bits(m, "head.weight", 1, 30, seed)),
            Fault("lstm1 noise 20% (at S)", "lstm1[0]", lambda m: add_noise(m, "lstm1.weight_ih_l0", 0.2, seed),
                  False),
        ]
    if name == "regressor":
        return [
            Fault("fc2 noise 20%", "fc2", lambda m: add_noise(m, "fc2.weight", 0.2, seed)),
            Fault("fc3 3 sign flips", "fc3", lambda m: flip_bits(m, "fc3.weight", 3, 31, seed)),
            Fault("dead fc2 unit", "fc2", lambda m: kill_unit(m, "fc2", unit)),
            Fault("fc2 exponent flip", "fc2", lambda m: flip_bits(m, "fc2.weight", 1, 30, seed)),
            Fault("fc1 noise 20% (at S)", "fc1", lambda m: add_noise(m, "fc1.weight", 0.2, seed), False),
        ]
    raise ValueError(f"unknown architecture {name!r}; one of {NAMES}")


# --- building ------------------------------------------------------------------------


@dataclass
class Architecture:
    """A trained model with its splits, covered layers, single-monitor
    layers and faults. `labels` of the test split are class indices, or
    targets of the regressor; `train_seconds` is the model's own training
    time (one thread)."""

    name: str
    model: nn.Module
    fit: np.ndarray
    calibration: np.ndarray
    test: np.ndarray
    test_labels: np.ndarray
    layers: list[str]
    s: str
    z: str
    faults: list[Fault]
    train_seconds: float

    def quality(self, model: nn.Module | None = None) -> float:
        """Test accuracy, or R^2 for the regressor."""
        with torch.no_grad():
            output = (model or self.model)(torch.from_numpy(self.test))
        if isinstance(output, tuple):
            output = output[0]
        predicted = output.numpy()
        if self.name == "regressor":
            residual = self.test_labels - predicted[:, 0]
            return float(1 - residual.var() / self.test_labels.var())
        return float((predicted.argmax(axis=1) == self.test_labels).mean())


_SETUP: dict[str, tuple[Callable[[], nn.Module], Callable[..., tuple[np.ndarray, np.ndarray]], list[str],
                        str, str]] = {
    "resnet": (ResNet, _digits, ["input", "stem", "block1", "block2", "output"], "stem", "output"),
    "transformer": (Transformer, _sequences,
                    ["input", "embed", "encoder.layers.0", "encoder.layers.1", "norm", "output[0]"],
                    "embed", "output[0]"),
    "lstm": (StackedLSTM, _sequences, ["input", "lstm1[0]", "lstm2[0]", "output"], "lstm1[0]", "output"),
    "regressor": (Regressor, _friedman, ["input", "fc1", "fc2", "fc3", "output"], "fc1", "output"),
}


# The transformer's encoder layers watched from the inside: the attention
# (recomputed from its input with the clean weights), the feed-forward
# linears (checksums, the second one through the GELU) and the norms, those
# across a residual add (norm1, norm2) recomputed from S plus the layer's
# input (the embedding or the previous norm2) or norm1. Only input -> embed
# and norm -> output[0] stay learned.
# `watch.inside_layers(model, ["input", "embed", "encoder", "norm",
# "output[0]"])` gives the same list.
TRANSFORMER_INSIDE = ["input", "embed"] + [
    f"encoder.layers.{i}.{part}" for i in (0, 1)
    for part in ("self_attn[0]", "norm1", "linear1", "linear2", "norm2")] + ["norm", "output[0]"]
# With TRANSFORMER_INSIDE, the first watched layer each fault changes.
_INSIDE_FAULT_LAYERS = {
    "FFN 5% sign flips": "encoder.layers.1.linear1", "FFN noise 10%": "encoder.layers.0.linear2",
    "dead FFN unit": "encoder.layers.0.linear1", "attention in_proj noise 10%": "encoder.layers.1.self_attn[0]",
    "final-norm channel sign": "norm", "LayerNorm channel sign": "encoder.layers.0.norm1",
    "run-time channel flip": "norm", "embedding noise 20% (at S)": "embed",
}


def train(model: nn.Module, X: np.ndarray, y: np.ndarray, epochs: int, seed: int, lr: float = 3e-3,
          batch_size: int = 64) -> nn.Module:
    """Adam on cross-entropy (mean squared error for float targets)."""
    generator = torch.Generator().manual_seed(seed)
    optimiser = torch.optim.Adam(model.parameters(), lr=lr, weight_decay=1e-4)
    inputs, targets = torch.from_numpy(X), torch.from_numpy(y)
    regression = targets.is_floating_point()
    model.train()
    for _ in range(epochs):
        order = torch.randperm(len(targets), generator=generator)
        for start in range(0, len(targets), batch_size):
            idx = order[start:start + batch_size]
            optimiser.zero_grad(set_to_none=True)
            output = model(inputs[idx])
            output = output[0] if isinstance(output, tuple) else output
            loss = F.mse_loss(output[:, 0], targets[idx]) if regression else F.cross_entropy(output, targets[idx])
            loss.backward()
            optimiser.step()
    return model.eval()


_warmed_up = False


def _warm_up() -> None:
    """Trains a throwaway network for a few batches, once per process, so
    that no model's training time includes PyTorch's one-time start-up (the
    first training in a process took about a second longer). The global
    random state is left as it was."""
    global _warmed_up
    if _warmed_up:
        return
    with torch.random.fork_rng():
        X = np.random.default_rng(0).normal(size=(256, 10)).astype(np.float32)
        train(nn.Sequential(nn.Linear(10, 16), nn.ReLU(), nn.Linear(16, 1)), X, X[:, 0].copy(), 2, 0)
        train(nn.Sequential(nn.Linear(10, 16), nn.ReLU(), nn.Linear(16, 2)), X, (X[:, 0] > 0).astype(np.int64), 2, 0)
    _warmed_up = True


def build(name: str, seed: int = 0, size: str = "test", inside: bool = False) -> Architecture:
    """Trains the architecture `name` (one of `NAMES`) with `seed` on the
    splits of `size` ("test": small and fast, "bench": the benchmark's).
    `inside=True` watches the transformer's encoder layers from the inside
    (`TRANSFORMER_INSIDE`)."""
    make, data, layers, s, z = _SETUP[name]
    faults = _faults(name, seed)
    if inside:
        if name != "transformer":
            raise ValueError("only the transformer has an inside layer list")
        layers = TRANSFORMER_INSIDE
        faults = [Fault(f.name, _INSIDE_FAULT_LAYERS[f.name], f.inject, f.after_s) for f in faults]
    fit_rows, calibration_rows, test_rows = SIZES[size]
    rng = np.random.default_rng(seed)
    X_fit, y_fit = data(fit_rows, rng)
    X_cal, _ = data(calibration_rows, rng)
    X_test, y_test = data(test_rows, rng)
    _warm_up()
    torch.manual_seed(seed)
    model = make()
    started = time.process_time()
    train(model, X_fit, y_fit, EPOCHS[size], seed)
    seconds = time.process_time() - started
    return Architecture(name, model, X_fit, X_cal, X_test, y_test, layers, s, z, faults, seconds)
