"""What fitting costs against training the model: for a few small models of
our own, the CPU seconds of training the model, of one `watch.tune` (S = the
first hidden layer, Z = the output) and of `watch.cover` over every layer,
with what `tune` chose and how many of its candidates it trained. Prints a
table; asserts nothing.

    OMP_NUM_THREADS=1 .venv/bin/python benchmarks/bench_fit.py            # all models, a few minutes
    OMP_NUM_THREADS=1 .venv/bin/python benchmarks/bench_fit.py --models digits-mlp regression

Each model is trained with the digits or diabetes data bundled with
scikit-learn (nothing is downloaded). `tune` and `cover` are fitted, as the
demo fits them, on the training inputs and three copies with Gaussian noise
of 0.7 standard deviations, and hold out the calibration inputs. Timings are
CPU seconds of this process (PyTorch and BLAS on one thread), so a busy
machine slows them less than wall-clock time; the load average is printed
beside them.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from sklearn.datasets import load_diabetes, load_digits
from sklearn.model_selection import train_test_split

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from tarvex.core import watch  # noqa: E402

JITTER_COPIES, JITTER_STD = 3, 0.7


class MLP(nn.Module):
    """inputs -> hidden.0 -> ReLU -> hidden.1 -> ReLU -> out."""

    def __init__(self, inputs: int, widths: tuple[int, ...], outputs: int) -> None:
        super().__init__()
        sizes = (inputs, *widths)
        self.hidden = nn.ModuleList(nn.Linear(a, b) for a, b in zip(sizes[:-1], sizes[1:]))
        self.out = nn.Linear(sizes[-1], outputs)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        for layer in self.hidden:
            x = F.relu(layer(x))
        return self.out(x)


class ResidualMLP(nn.Module):
    """inputs -> stem -> two residual blocks (x + fc2(ReLU(fc1(x)))) -> out."""

    def __init__(self, inputs: int, width: int, outputs: int) -> None:
        super().__init__()
        self.stem = nn.Linear(inputs, width)
        self.block1 = nn.Sequential(nn.Linear(width, width), nn.ReLU(), nn.Linear(width, width))
        self.block2 = nn.Sequential(nn.Linear(width, width), nn.ReLU(), nn.Linear(width, width))
        self.out = nn.Linear(width, outputs)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = F.relu(self.stem(x))
        x = F.relu(x + self.block1(x))
        x = F.relu(x + self.block2(x))
        return self.out(x)


class DigitCNN(nn.Module):
    """8x8 digits: conv1 -> pool1 -> conv2 -> pool2 -> out."""

    def __init__(self) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(1, 4, 3, padding=1)
        self.pool1 = nn.MaxPool2d(2)
        self.conv2 = nn.Conv2d(4, 16, 3, padding=1)
        self.pool2 = nn.MaxPool2d(2)
        self.out = nn.Linear(64, 10)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.pool1(F.relu(self.conv1(x.reshape(-1, 1, 8, 8))))
        x = self.pool2(F.relu(self.conv2(x)))
        return self.out(x.flatten(1))


@dataclass
class Case:
    name: str
    data: Callable[[], tuple[np.ndarray, np.ndarray]]
    build: Callable[[], nn.Module]
    classify: bool
    s: str  # tune's S; Z is the output
    layers: list[str]  # cover's layers
    epochs: int = 40


def _digits() -> tuple[np.ndarray, np.ndarray]:
    data = load_digits()
    return data.data.astype(np.float32), data.target


def _diabetes() -> tuple[np.ndarray, np.ndarray]:
    data = load_diabetes()
    return data.data.astype(np.float32), ((data.target - data.target.mean()) / data.target.std()).astype(np.float32)


CASES = {
    "digits-mlp": Case("digits-mlp", _digits, lambda: MLP(64, (16, 32), 10), True, "hidden.0",
                       ["input", "hidden.0", "hidden.1", "output"]),
    "digits-mlp-wide": Case("digits-mlp-wide", _digits, lambda: MLP(64, (128, 128), 10), True, "hidden.0",
                            ["input", "hidden.0", "hidden.1", "output"]),
    "regression": Case("regression", _diabetes, lambda: MLP(10, (32, 32), 1), False, "hidden.0",
                       ["input", "hidden.0", "hidden.1", "output"], epochs=200),
    "residual": Case("residual", _digits, lambda: ResidualMLP(64, 32, 10), True, "stem",
                     ["input", "stem", "block1", "block2", "output"]),
    "digits-cnn": Case("digits-cnn", _digits, DigitCNN, True, "pool1", ["input", "pool1", "pool2", "output"]),
}


def train(case: Case, X: np.ndarray, y: np.ndarray, seed: int) -> nn.Module:
    torch.manual_seed(seed)
    model = case.build()
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    inputs, targets = torch.from_numpy(X), torch.from_numpy(y)
    loss = nn.CrossEntropyLoss() if case.classify else nn.MSELoss()
    for _ in range(case.epochs):
        for batch in torch.randperm(len(X)).split(64):
            optimiser.zero_grad()
            output = model(inputs[batch])
            (loss(output, targets[batch].long()) if case.classify else loss(output[:, 0], targets[batch])).backward()
            optimiser.step()
    return model.eval()


def run(case: Case, seed: int, progress: bool) -> dict[str, object]:
    X, y = case.data()
    X_train, X_calib, y_train, _ = train_test_split(X, y, test_size=0.3, random_state=seed)
    mean, scale = X_train.mean(axis=0), X_train.std(axis=0) + 1e-6
    X_train, X_calib = (X_train - mean) / scale, (X_calib - mean) / scale
    started = time.process_time()
    model = train(case, X_train, y_train, seed)
    trained = time.process_time() - started
    rng = np.random.default_rng(seed)
    fitting = np.concatenate([X_train] + [X_train + JITTER_STD * rng.standard_normal(X_train.shape)
                                          for _ in range(JITTER_COPIES)]).astype(np.float32)
    # Calibration inputs with the same noise, so that a 1% rate is resolved.
    held = np.concatenate([X_calib + JITTER_STD * rng.standard_normal(X_calib.shape)
                           for _ in range(4)]).astype(np.float32)
    rate = max(0.01, 10 / len(held))
    S, Z = watch.capture(model, fitting, case.s, "output")
    S_held, Z_held = watch.capture(model, held, case.s, "output")
    started = time.process_time()
    monitor = watch.tune(S, Z, false_alarm_rate=rate, held_out=(S_held, Z_held), progress=progress)
    tuned = time.process_time() - started
    report = monitor.tuning_report
    started = time.process_time()
    coverage = watch.cover(model, fitting, case.layers, false_alarm_rate=rate, held_out=held, progress=progress)
    covered = time.process_time() - started
    return {"model": case.name, "rows": len(fitting), "train": trained, "tune": tuned, "cover": covered,
            "links": len(coverage.links), "chosen": report.chosen, "criterion": report.criterion[report.chosen],
            "trained": sum(solver != "skipped" for solver in report.solvers),
            "stopped": sum("stopped after" in note for note in report.notes)}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--models", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--progress", action="store_true", help="tqdm bars over tune's candidates and cover's links")
    args = parser.parse_args(argv)
    torch.set_num_threads(1)
    print(f"{time.strftime('%Y-%m-%d')}, {platform.processor() or platform.machine()}, {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f} {os.getloadavg()[2]:.2f}")
    header = f"{'model':<16} {'fit rows':>8} {'train s':>8} {'tune s':>7} {'cover s':>8} {'links':>5} " \
             f"{'tune/train':>10} {'cover/train':>11}  tune's choice"
    print(header)
    for name in args.models:
        r = run(CASES[name], args.seed, args.progress)
        print(f"{r['model']:<16} {r['rows']:>8} {r['train']:>8.1f} {r['tune']:>7.1f} {r['cover']:>8.1f} "
              f"{r['links']:>5} {r['tune'] / r['train']:>10.2f} {r['cover'] / r['train']:>11.2f}  "
              f"candidate {r['chosen']} ({100 * r['criterion']:.1f}%), {r['trained']} of 4 trained, "
              f"{r['stopped']} of them stopped early", flush=True)
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
