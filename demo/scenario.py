"""The monitoring scenario, step by step: train a classifier, fit the monitor
on the clean classifier's S/Z, then score held-out inputs through the clean
model and through faulted copies of it."""

from __future__ import annotations

import json
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np
import torch
import torch.nn as nn

from classifier import accuracy, load_split, train_classifier
from faults import Fault, add_gaussian_noise, faulted_copy, flip_bits, kill_unit
from features import DEFAULT_S_LAYER, extract_sz
from tarvex.core.resmon import NeuralConditionalMonitor


@dataclass
class DemoConfig:
    seed: int = 0
    subset: int | None = None  # use only this many digit images (for quick runs)
    test_share: float = 0.25
    classifier_epochs: int = 40
    s_layer: str = DEFAULT_S_LAYER
    # The monitor is fitted on the training images plus this many copies of
    # them with Gaussian pixel noise, all through the clean model.
    jitter_copies: int = 3
    jitter_std: float = 0.7
    monitor_hidden: tuple[int, ...] = (64, 64)
    monitor_epochs: int = 120
    monitor_dropout: float = 0.0


def default_faults() -> list[Fault]:
    """The faults of the scenario. All but the last sit downstream of S (the
    first hidden layer); the last changes the layer S is read from."""
    return [
        Fault("3 sign-bit flips", "sign bit of 3 weights flipped",
              flip_bits, dict(parameter="out.weight", count=3, bit=31, seed=1)),
        Fault("2 exponent-bit flips", "top exponent bit of 2 weights (now ~1e38)",
              flip_bits, dict(parameter="out.weight", count=2, bit=30, seed=2)),
        Fault("3 vanishing weights", "exponent bit 29 of 3 weights (now ~1e-20)",
              flip_bits, dict(parameter="out.weight", count=3, bit=29, seed=1)),
        Fault("weight noise 20%", "Gaussian, std 20% of the weights' std",
              add_gaussian_noise, dict(parameter="hidden2.weight", relative_std=0.2, seed=1)),
        Fault("dead unit", "unit 8 always outputs 0",
              kill_unit, dict(layer="hidden2", unit=8)),
        Fault("weight noise 20% (S layer)", "Gaussian, std 20% of the weights' std",
              add_gaussian_noise, dict(parameter="hidden1.weight", relative_std=0.2, seed=1)),
    ]


def jittered(X: np.ndarray, copies: int, std: float, seed: int) -> np.ndarray:
    """`X` followed by `copies` copies of it with N(0, std²) noise added."""
    rng = np.random.default_rng(seed)
    parts = [X] + [X + std * rng.standard_normal(X.shape) for _ in range(copies)]
    return np.concatenate(parts).astype(np.float32)


def alarm_rate(scores: np.ndarray, tau: float) -> float:
    """Share of scores that do not lie at or below tau: a NaN or infinite
    score (from non-finite logits) counts as an alarm."""
    return float(np.mean(~(np.asarray(scores) <= tau))) if len(scores) else 0.0


@dataclass
class Outcome:
    """Accuracy and monitor scores of one model (clean or faulted) on the held-out inputs."""

    name: str
    target: str
    description: str
    accuracy: float
    scores: np.ndarray

    def rate(self, tau: float) -> float:
        return alarm_rate(self.scores, tau)


@dataclass
class DemoResult:
    tau: float
    clean: Outcome
    faulted: list[Outcome]
    monitor: NeuralConditionalMonitor
    fit_rows: int
    reload_max_relative_difference: float
    plot_path: Path
    monitor_path: Path
    timings: dict[str, float] = field(default_factory=dict)

    @property
    def false_alarm_rate(self) -> float:
        return self.clean.rate(self.tau)


def fit_monitor(model: nn.Module, X: np.ndarray, config: DemoConfig) -> tuple[NeuralConditionalMonitor, int]:
    """Fits a monitor on the clean model's S/Z of `X` and its jittered copies."""
    S, Z = extract_sz(model, jittered(X, config.jitter_copies, config.jitter_std, config.seed), config.s_layer)
    monitor = NeuralConditionalMonitor(hidden=tuple(config.monitor_hidden), epochs=config.monitor_epochs,
                                       dropout=config.monitor_dropout, random_state=config.seed)
    monitor.fit(S, Z)
    return monitor, len(S)


def score_model(model: nn.Module, monitor: NeuralConditionalMonitor, X: np.ndarray, y: np.ndarray,
                s_layer: str, name: str, target: str = "-", description: str = "") -> Outcome:
    S, Z = extract_sz(model, X, s_layer)
    # A badly broken model can give logits near the float32 limit, whose
    # scores overflow to inf: expected here, and counted as alarms.
    with np.errstate(over="ignore", invalid="ignore"):
        scores = monitor.score_batch(S, Z)
    return Outcome(name, target, description, accuracy(model, X, y), scores)


def relative_difference(a: np.ndarray, b: np.ndarray) -> float:
    """Largest |a - b| / max(|b|, 1) over all entries (0.0 for identical arrays)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        raise ValueError(f"shapes differ: {a.shape} and {b.shape}")
    if np.array_equal(a, b, equal_nan=True):
        return 0.0
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1.0)))


def save_and_reload(monitor: NeuralConditionalMonitor, path: Path) -> NeuralConditionalMonitor:
    """Writes the monitor's dictionary as JSON to `path` and loads it back."""
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        json.dump(monitor.to_dict(), handle, allow_nan=False)
    with open(path, "r", encoding="utf-8") as handle:
        return NeuralConditionalMonitor.from_dict(json.load(handle))


def run_scenario(config: DemoConfig, output_dir: Path, faults: list[Fault] | None = None,
                 progress: Callable[[str], None] = print) -> DemoResult:
    """Runs the whole scenario, writing scores.png and monitor.json into
    `output_dir`, and reports each phase with its duration to `progress`.

    PyTorch runs with one intra-op thread meanwhile (restored afterwards): the
    models are so small that more threads only add overhead, and on a busy
    machine they slow training down several times over."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        return _run_scenario(config, Path(output_dir), faults, progress)
    finally:
        torch.set_num_threads(threads)


def _run_scenario(config: DemoConfig, output_dir: Path, faults: list[Fault] | None,
                  progress: Callable[[str], None]) -> DemoResult:
    from report import plot_scores  # matplotlib is loaded only when a scenario runs

    faults = default_faults() if faults is None else faults
    timings: dict[str, float] = {}
    steps = 6

    def phase(number: int, key: str, started: float, message: str) -> None:
        timings[key] = time.perf_counter() - started
        progress(f"[{number}/{steps}] {message} ({timings[key]:.1f} s)")

    started = time.perf_counter()
    data = load_split(seed=config.seed, subset=config.subset, test_share=config.test_share)
    phase(1, "data", started, f"digits: {len(data.y_train)} training and {len(data.y_test)} held-out images")

    started = time.perf_counter()
    model = train_classifier(data.X_train, data.y_train, epochs=config.classifier_epochs, seed=config.seed)
    phase(2, "classifier", started, f"classifier trained for {config.classifier_epochs} epochs, "
          f"held-out accuracy {accuracy(model, data.X_test, data.y_test):.1%}")

    started = time.perf_counter()
    monitor, fit_rows = fit_monitor(model, data.X_train, config)
    if monitor.tau is None:
        raise RuntimeError("the monitor has no threshold after fitting")
    tau = monitor.tau
    phase(3, "monitor", started, f"monitor fitted on {fit_rows} clean S/Z rows "
          f"(S {monitor.s_dim} columns, Z {monitor.z_dim}), tau = {tau:.2f}")

    started = time.perf_counter()
    clean = score_model(model, monitor, data.X_test, data.y_test, config.s_layer, "none (clean model)")
    faulted = [score_model(faulted_copy(model, fault), monitor, data.X_test, data.y_test, config.s_layer,
                           fault.name, fault.target, fault.description) for fault in faults]
    phase(4, "scoring", started, f"scored {len(data.y_test)} held-out inputs through the clean model "
          f"and {len(faults)} faulted copies")

    started = time.perf_counter()
    plot_path = plot_scores(clean, faulted, tau, output_dir / "scores.png")
    phase(5, "plot", started, f"score distributions saved to {plot_path}")

    started = time.perf_counter()
    monitor_path = output_dir / "monitor.json"
    reloaded = save_and_reload(monitor, monitor_path)
    S, Z = extract_sz(model, data.X_test, config.s_layer)
    difference = relative_difference(reloaded.score_batch(S, Z), clean.scores)
    same = "identical scores" if difference == 0.0 else f"same scores up to a relative {difference:.1e}"
    if reloaded.tau != monitor.tau:
        same += f", but tau changed from {monitor.tau!r} to {reloaded.tau!r}"
    phase(6, "persistence", started, f"monitor saved to {monitor_path} and reloaded: {same}")

    return DemoResult(tau, clean, faulted, monitor, fit_rows, difference, plot_path, monitor_path, timings)
