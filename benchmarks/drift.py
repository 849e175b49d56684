"""Drift suite: does the fault alarm page on changed inputs, and does the
cause label tell a broken model from changed data?

    .venv/bin/python benchmarks/drift.py            # 3 models, 200 windows per condition (about an hour on 2 busy cores)
    .venv/bin/python benchmarks/drift.py --quick    # 2 models, 50 windows, fewer epochs (a few minutes)
    .venv/bin/python benchmarks/drift.py --quick --windows 200 --models signal-mlp signal-cnn digits-mlp

Three models written here: an MLP and a 1-D CNN on a synthetic signal set
(four waveform classes with random frequency, phase, amplitude and noise),
and an MLP on scikit-learn's 8x8 digits (nothing is downloaded). Each is
trained, then watched by

- "monitor": `watch.tune` on S (the first hidden layer after the input, or
  the CNN's first fully connected layer) and Z (the logits), calibrated
  again at 1% with confidence 0.9, with `fit_typicality` of S;
- "monitor+wide": the same with `widened_pairs` added to its fitting rows;
- "cover": `watch.cover` over every layer from the input to the logits at a
  family-wise 1% with confidence 0.9, with its typicality per link;
- "cover+wide": the same with `widened_fit=True`.

Each watcher has a window alarm of 50 inputs at significance 1e-3 (the
typicality windows alike). For every condition, windows of 50 inputs drawn
at random from the test inputs pass through the watcher (reset between
windows). A window "fired" when the watcher recorded any event in it, and is
labelled with the causes of those events: "fault" when some event said
"model_fault", "drift named" when some said "input_drift" or "both".

Conditions: the clean model on clean inputs; 17 kinds of input drift at
three strengths on the unchanged model; weight faults after S and in (or
before) the S layer on clean inputs. Faults are in-place changes of a copy
of the model; their accuracy drop is printed beside them.
"""

from __future__ import annotations

import argparse
import copy
import logging
import math
import os
import platform
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import torch
import torch.nn as nn
from scipy import ndimage
from sklearn.datasets import load_digits

from tarvex.core import watch
from tarvex.core.watch import TUNE_CANDIDATES

LENGTH = 64
RATE = 0.01
WINDOW = 50
CONFIDENCE = 0.9
STRENGTHS = (1, 2, 3)


# --- data ----------------------------------------------------------------------------


def signals(n: int, rng: np.random.Generator, *, frequency: float = 1.0, noise: float = 0.3,
            amplitude: float = 1.0) -> tuple[np.ndarray, np.ndarray]:
    """n signals of LENGTH samples and their class: sine, square, sawtooth,
    or a pulse train, with random frequency, phase, amplitude and noise.
    The keyword settings scale the frequency, noise and amplitude ranges
    (the drift suite regenerates data with other settings)."""
    t = np.arange(LENGTH) / LENGTH
    labels = rng.integers(0, 4, size=n)
    cycles = frequency * rng.uniform(2.0, 6.0, size=(n, 1))
    phase = rng.uniform(0, 1, size=(n, 1))
    position = (cycles * t + phase) % 1.0
    waves = np.stack([np.sin(2 * np.pi * position), np.sign(np.sin(2 * np.pi * position)), 2 * position - 1,
                      (position < 0.2).astype(np.float64) * 2 - 1], axis=0)
    x = waves[labels, np.arange(n)] * amplitude * rng.uniform(0.5, 1.5, size=(n, 1))
    x += noise * rng.standard_normal(x.shape)
    return x.astype(np.float32), labels


@dataclass
class Data:
    fit: np.ndarray
    fit_labels: np.ndarray
    calibration: np.ndarray
    test: np.ndarray
    test_labels: np.ndarray
    n_classes: int
    image: bool  # 8x8 images (digits) or 1-D signals
    standardise: Callable[[np.ndarray], np.ndarray]
    regenerate: Callable[[str, int, np.random.Generator], np.ndarray] | None = None


def signal_data(seed: int) -> Data:
    rng = np.random.default_rng(seed)
    raw = {name: signals(n, rng) for name, n in (("fit", 4000), ("calibration", 1500), ("test", 2000))}
    mean, scale = raw["fit"][0].mean(), raw["fit"][0].std()

    def standardise(x: np.ndarray) -> np.ndarray:
        return ((x - mean) / scale).astype(np.float32)

    def regenerate(kind: str, strength: int, generator: np.random.Generator) -> np.ndarray:
        setting = {"regen-frequency": {"frequency": (1.15, 1.35, 1.7)[strength - 1]},
                   "regen-noise": {"noise": (0.45, 0.7, 1.1)[strength - 1]}}[kind]
        return standardise(signals(2000, generator, **setting)[0])

    return Data(standardise(raw["fit"][0]), raw["fit"][1], standardise(raw["calibration"][0]),
                standardise(raw["test"][0]), raw["test"][1], 4, False, standardise, regenerate)


def digit_data(seed: int) -> Data:
    """Digits split 60/20/20, each part with two more copies at other
    intensities (x0.85 to x1.15: blank pixels stay blank), standardised with
    the fit part's statistics (a pixel blank in every fit image keeps 0)."""
    digits = load_digits()
    X, y = digits.data.astype(np.float64), digits.target
    rng = np.random.default_rng(seed)
    order = rng.permutation(len(X))
    parts = np.split(order, [int(0.6 * len(X)), int(0.8 * len(X))])

    def copies(index: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        images = [X[index]] + [X[index] * rng.uniform(0.85, 1.15, size=(len(index), 1)) for _ in range(2)]
        return np.concatenate(images), np.tile(y[index], 3)

    fit, fit_labels = copies(parts[0])
    mean, spread = fit.mean(axis=0), fit.std(axis=0)
    scale = np.where(spread > 0, spread, 1.0)

    def standardise(x: np.ndarray) -> np.ndarray:
        return ((x - mean) / scale).astype(np.float32)

    cal, _ = copies(parts[1])
    test, test_labels = copies(parts[2])
    return Data(standardise(fit), fit_labels, standardise(cal), standardise(test), test_labels, 10, True,
                standardise)


# --- models --------------------------------------------------------------------------


class MLP(nn.Module):
    def __init__(self, n_inputs: int, n_classes: int) -> None:
        super().__init__()
        self.fc1 = nn.Linear(n_inputs, 32)
        self.fc2 = nn.Linear(32, 32)
        self.out = nn.Linear(32, n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.out(torch.relu(self.fc2(torch.relu(self.fc1(x)))))


class CNN1d(nn.Module):
    def __init__(self, n_classes: int) -> None:
        super().__init__()
        self.conv1 = nn.Conv1d(1, 8, 5, padding=2)
        self.conv2 = nn.Conv1d(8, 16, 5, padding=2)
        self.fc1 = nn.Linear(16 * 16, 32)
        self.out = nn.Linear(32, n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = torch.max_pool1d(torch.relu(self.conv1(x.reshape(-1, 1, LENGTH))), 2)
        x = torch.max_pool1d(torch.relu(self.conv2(x)), 2)
        return self.out(torch.relu(self.fc1(x.flatten(1))))


@dataclass
class Setup:
    name: str
    data: Data
    model: nn.Module
    s: str
    layers: list[str]
    faults_after: dict[str, Callable[[nn.Module, np.random.Generator], None]]
    faults_at: dict[str, Callable[[nn.Module, np.random.Generator], None]]


def train(model: nn.Module, data: Data, seed: int, epochs: int) -> nn.Module:
    torch.manual_seed(seed)
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3)
    x, y = torch.from_numpy(data.fit), torch.from_numpy(data.fit_labels).long()
    for _ in range(epochs):
        for batch in torch.randperm(len(x)).split(64):
            optimiser.zero_grad()
            nn.functional.cross_entropy(model(x[batch]), y[batch]).backward()
            optimiser.step()
    return model.eval()


def accuracy(model: nn.Module, x: np.ndarray, y: np.ndarray) -> float:
    with torch.no_grad():
        return float((model(torch.from_numpy(x)).argmax(dim=1).numpy() == y).mean())


# Weight faults: each changes one named layer of a copy in place.
def flip_signs(layer: str, share: float) -> Callable[[nn.Module, np.random.Generator], None]:
    def fault(model: nn.Module, rng: np.random.Generator) -> None:
        weight = getattr(model, layer).weight
        mask = torch.from_numpy(rng.random(tuple(weight.shape)) < share)
        weight[mask] *= -1
    return fault


def add_noise(layer: str, size: float) -> Callable[[nn.Module, np.random.Generator], None]:
    def fault(model: nn.Module, rng: np.random.Generator) -> None:
        weight = getattr(model, layer).weight
        weight += size * weight.std() * torch.from_numpy(rng.standard_normal(tuple(weight.shape)).astype(np.float32))
    return fault


def dead_units(layer: str, share: float) -> Callable[[nn.Module, np.random.Generator], None]:
    def fault(model: nn.Module, rng: np.random.Generator) -> None:
        module = getattr(model, layer)
        rows = torch.from_numpy(rng.random(module.weight.shape[0]) < share)
        module.weight[rows] = 0.0
        module.bias[rows] = 0.0
    return fault


def scaled_unit(layer: str, factor: float) -> Callable[[nn.Module, np.random.Generator], None]:
    def fault(model: nn.Module, rng: np.random.Generator) -> None:
        module = getattr(model, layer)
        module.weight[int(rng.integers(module.weight.shape[0]))] *= factor
    return fault


def large_weight(layer: str, value: float) -> Callable[[nn.Module, np.random.Generator], None]:
    def fault(model: nn.Module, rng: np.random.Generator) -> None:
        weight = getattr(model, layer).weight
        flat = weight.view(-1)
        flat[int(rng.integers(flat.numel()))] = value * float(weight.abs().max())
    return fault


def setups(seed: int, quick: bool, names: list[str] | None) -> list[Setup]:
    epochs = 8 if quick else 15
    signal = signal_data(seed)
    digits = digit_data(seed)
    after_mlp = {"fc2 10% signs": flip_signs("fc2", 0.1), "fc2 noise 0.5": add_noise("fc2", 0.5),
                 "fc2 25% dead": dead_units("fc2", 0.25), "out row x-2": scaled_unit("out", -2.0),
                 "fc2 one weight x10": large_weight("fc2", 10.0), "out noise 0.5": add_noise("out", 0.5)}
    at_mlp = {"fc1 10% signs": flip_signs("fc1", 0.1), "fc1 noise 0.5": add_noise("fc1", 0.5)}
    after_cnn = {"out 10% signs": flip_signs("out", 0.1), "out noise 0.5": add_noise("out", 0.5),
                 "out row x-2": scaled_unit("out", -2.0), "out one weight x10": large_weight("out", 10.0)}
    at_cnn = {"fc1 10% signs": flip_signs("fc1", 0.1), "conv1 noise 0.5": add_noise("conv1", 0.5),
              "conv2 10% signs": flip_signs("conv2", 0.1)}
    torch.manual_seed(seed)
    chosen = [
        Setup("signal-mlp", signal, train(MLP(LENGTH, 4), signal, seed, epochs), "fc1",
              ["input", "fc1", "fc2", "output"], after_mlp, at_mlp),
        Setup("digits-mlp", digits, train(MLP(64, 10), digits, seed, epochs), "fc1",
              ["input", "fc1", "fc2", "output"], after_mlp, at_mlp),
    ]
    if not quick or (names and "signal-cnn" in names):
        chosen.insert(1, Setup("signal-cnn", signal, train(CNN1d(4), signal, seed, epochs), "fc1",
                               ["input", "conv1", "conv2", "fc1", "output"], after_cnn, at_cnn))
    return [setup for setup in chosen if not names or setup.name in names]


# --- drift ---------------------------------------------------------------------------


def _shift(x: np.ndarray, steps: int, image: bool) -> np.ndarray:
    if image:
        images = x.reshape(-1, 8, 8)
        out = np.zeros_like(images)
        out[:, :, steps:] = images[:, :, :8 - steps]
        return out.reshape(len(x), -1)
    return np.roll(x, steps, axis=1)


def _smooth(x: np.ndarray, width: int, image: bool) -> np.ndarray:
    if image:
        return ndimage.uniform_filter(x.reshape(-1, 8, 8), size=(1, width, width), mode="constant").reshape(len(x), -1)
    return ndimage.uniform_filter1d(x, size=width, axis=1, mode="nearest")


def _occlude(x: np.ndarray, share: float, image: bool, rng: np.random.Generator) -> np.ndarray:
    out = x.copy()
    if image:
        rows = max(1, round(8 * share))
        start = int(rng.integers(0, 9 - rows))
        out.reshape(-1, 8, 8)[:, start:start + rows, :] = 0.0
        return out
    width = max(1, round(LENGTH * share))
    start = int(rng.integers(0, LENGTH - width + 1))
    out[:, start:start + width] = 0.0
    return out


def _rotate(x: np.ndarray, degrees: float) -> np.ndarray:
    return ndimage.rotate(x.reshape(-1, 8, 8), degrees, axes=(1, 2), reshape=False, order=1,
                          mode="constant").reshape(len(x), -1)


def _zoom(x: np.ndarray, factor: float) -> np.ndarray:
    images = x.reshape(-1, 8, 8)
    centre = 3.5
    matrix = np.diag([1.0, 1.0 / factor, 1.0 / factor])
    offset = np.array([0.0, centre - centre / factor, centre - centre / factor])
    return ndimage.affine_transform(images, matrix, offset=offset, order=1, mode="constant").reshape(len(x), -1)


DriftFunction = Callable[[np.ndarray, int, Data, np.random.Generator], np.ndarray]


def _drift_kinds() -> dict[str, DriftFunction]:
    """17 kinds; each maps standardised test inputs to drifted ones at
    strength 1, 2 or 3. Offsets and noise are in units of the inputs' overall
    standard deviation (1 after standardising)."""
    level = lambda values: (lambda s: values[s - 1])  # noqa: E731
    noise, scale_up, scale_down = level((0.1, 0.3, 1.0)), level((1.1, 1.3, 1.6)), level((0.9, 0.7, 0.4))
    offset, gain, occlusion = level((0.25, 0.5, 1.0)), level((0.1, 0.3, 0.6)), level((0.1, 0.25, 0.4))
    steps, width, dropout = level((1, 2, 3)), level((2, 3, 4)), level((0.05, 0.15, 0.3))
    step, clip, trend, mix = level((0.25, 0.5, 1.0)), level((2.0, 1.5, 1.0)), level((0.25, 0.5, 1.0)), \
        level((0.9, 0.7, 0.5))
    angle, zoom = level((5.0, 10.0, 20.0)), level((1.1, 1.25, 1.5))
    ramp = np.linspace(-1.0, 1.0, LENGTH, dtype=np.float32)
    return {
        "noise": lambda x, s, d, r: x + noise(s) * r.standard_normal(x.shape),
        "scale up": lambda x, s, d, r: x * scale_up(s),
        "scale down": lambda x, s, d, r: x * scale_down(s),
        "offset": lambda x, s, d, r: x + offset(s),
        "offset, random per input column": lambda x, s, d, r: x + offset(s) * _fixed_direction(x.shape[1]),
        "gain per input column": lambda x, s, d, r: x * (1 + gain(s) * _fixed_direction(x.shape[1])),
        "occlusion": lambda x, s, d, r: _occlude(x, occlusion(s), d.image, r),
        "translation": lambda x, s, d, r: _shift(x, steps(s), d.image),
        "blur": lambda x, s, d, r: _smooth(x, width(s), d.image),
        "dropout": lambda x, s, d, r: np.where(r.random(x.shape) < dropout(s), 0.0, x),
        "quantisation": lambda x, s, d, r: np.round(x / step(s)) * step(s),
        "clipping": lambda x, s, d, r: np.clip(x, -clip(s), clip(s)),
        "trend": lambda x, s, d, r: x + trend(s) * (np.tile(ramp[:8], 8)[None] * 8 / 7 if d.image else ramp[None]),
        "mixture": lambda x, s, d, r: mix(s) * x + (1 - mix(s)) * x[r.permutation(len(x))],
        "regenerated A": lambda x, s, d, r: (d.regenerate("regen-frequency", s, r) if d.regenerate
                                             else _rotate(x, angle(s))),
        "regenerated B": lambda x, s, d, r: (d.regenerate("regen-noise", s, r) if d.regenerate
                                             else _zoom(x, zoom(s))),
        "label shift": lambda x, s, d, r: x,  # the windows draw from a few classes instead
    }


def _fixed_direction(width: int) -> np.ndarray:
    return np.random.default_rng(12345).standard_normal(width).astype(np.float32)


# --- detectors and windows -----------------------------------------------------------


def detectors(setup: Setup, candidates: list[dict[str, Any]], seed: int, wanted: list[str] | None = None,
              cause_inputs: tuple[int | None, ...] = (None,)) -> dict[str, Callable[[nn.Module], watch.Watcher]]:
    """Each detector as a function that builds its watcher on a model (the
    clean one or a faulted copy); only those `wanted` are fitted (None:
    all). Each value of `cause_inputs` (None: the watcher's default) gives
    a watcher of its own, named "detector/N" when there are several."""
    data, model = setup.data, setup.model
    S_fit, Z_fit = watch.capture(model, data.fit, setup.s, "output")
    S_cal, Z_cal = watch.capture(model, data.calibration, setup.s, "output")
    typicality = watch.fit_typicality(S_fit, S_cal, false_alarm_rate=RATE)
    watchers: dict[str, Callable[[nn.Module], watch.Watcher]] = {}

    def name(detector: str, n: int | None) -> str:
        return detector if len(cause_inputs) == 1 else f"{detector}/{'default' if n is None else n}"

    def holding(n: int | None) -> dict[str, Any]:
        return {} if n is None else {"cause_inputs": n}

    for wide in (False, True):
        detector = "monitor+wide" if wide else "monitor"
        if wanted is None or detector in wanted:
            S, Z = S_fit, Z_fit
            if wide:
                S_w, Z_w = watch.widened_pairs(model, data.fit, setup.s, "output", random_state=seed)
                S, Z = np.concatenate([S, S_w]), np.concatenate([Z, Z_w])
            monitor = watch.tune(S, Z, false_alarm_rate=RATE, candidates=candidates, held_out=(S_cal, Z_cal),
                                 random_state=seed)
            # As a served monitor is calibrated (docs/guides/serving.md): with
            # 90% confidence that this very calibration lets at most RATE of
            # clean inputs through, not only on average over calibrations.
            watch.calibrate(monitor, S_cal, Z_cal, false_alarm_rate=RATE, confidence=CONFIDENCE)
            for n in cause_inputs:
                watchers[name(detector, n)] = lambda m, monitor=monitor, n=n: watch.Watcher(
                    m, monitor, s=setup.s, z="output", typicality=typicality,
                    alarm=watch.WindowAlarm.from_calibration(monitor.calibration, window=WINDOW), **holding(n))
        detector = "cover+wide" if wide else "cover"
        if wanted is None or detector in wanted:
            coverage = watch.cover(model, data.fit, setup.layers, held_out=data.calibration, false_alarm_rate=RATE,
                                   candidates=candidates, random_state=seed, widened_fit=wide,
                                   confidence=CONFIDENCE)
            for n in cause_inputs:
                watchers[name(detector, n)] = lambda m, coverage=coverage, n=n: watch.Watcher(
                    m, coverage, alarm=watch.WindowAlarm.from_coverage(coverage, window=WINDOW), **holding(n))
    return watchers


@dataclass
class Tally:
    windows: int = 0
    fired: int = 0
    fault: int = 0
    drift_named: int = 0

    def add(self, causes: set[str]) -> None:
        self.windows += 1
        self.fired += bool(causes)
        self.fault += "model_fault" in causes
        self.drift_named += bool(causes & {"input_drift", "both"})

    def share(self, field: str) -> float:
        return 100.0 * getattr(self, field) / max(self.windows, 1)


def run_windows(watcher: watch.Watcher, model: nn.Module, x: np.ndarray, rows: Callable[[], np.ndarray],
                windows: int) -> Tally:
    """Passes `windows` windows of inputs (`rows()` picks each window's
    rows of `x`) through `model` with `watcher` hooked in, resetting it
    between windows, and tallies each window's causes. A cause still open
    at the end of a window is settled with that window's inputs (`flush`)."""
    tally = Tally()
    with watcher, torch.no_grad():
        for _ in range(windows):
            watcher.acknowledge(reset=True)
            before = watcher.alarms
            model(torch.from_numpy(np.ascontiguousarray(x[rows()], dtype=np.float32)))
            watcher.flush()
            new = watcher.alarms - before
            tally.add({event.cause for event in watcher.events[-new:]} if new else set())
    return tally


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="2 models, 50 windows, 3 tune candidates (networks: 30 epochs)")
    parser.add_argument("--windows", type=int, default=None, help="windows per condition (200; quick 50)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--models", nargs="*", default=None,
                        help="only these of signal-mlp, signal-cnn, digits-mlp (--quick leaves signal-cnn out unless "
                             "named here)")
    parser.add_argument("--detectors", nargs="*", default=None,
                        help="only these of monitor, monitor+wide, cover, cover+wide")
    parser.add_argument("--cause-inputs", nargs="*", type=int, default=None,
                        help="watch with each of these Watcher(cause_inputs=) values (default: the watcher's "
                             "default), on the same fitted detectors")
    args = parser.parse_args(argv)
    torch.set_num_threads(1)
    logging.getLogger("tarvex.core.watch").setLevel(logging.ERROR)  # thousands of events
    windows = args.windows or (50 if args.quick else 200)
    # tune's default candidates, the networks trained by gradient descent
    # for fewer epochs (the least-squares ones have none to shorten); --quick
    # leaves out the last, widest network: the suite fits 4 detectors per model.
    epochs = 30 if args.quick else 60
    candidates = [dict(c, epochs=epochs) if c.get("hidden") and c.get("solver") != "least-squares" else dict(c)
                  for c in TUNE_CANDIDATES[:3 if args.quick else None]]
    started = time.perf_counter()
    print(f"# drift suite: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}, {platform.machine()}, "
          f"{os.cpu_count()} cores, load average {open('/proc/loadavg').read().split()[:3]}, {windows} windows "
          f"of {WINDOW} inputs per condition, seed {args.seed}", flush=True)
    kinds = _drift_kinds()
    results: dict[tuple[str, str, str], Tally] = {}
    for setup in setups(args.seed, args.quick, args.models):
        data = setup.data
        fitted = time.perf_counter()
        watchers = detectors(setup, candidates, args.seed, args.detectors,
                             tuple(args.cause_inputs) if args.cause_inputs else (None,))
        clean_accuracy = accuracy(setup.model, data.test, data.test_labels)
        print(f"\n## {setup.name}: accuracy {100 * clean_accuracy:.1f}%, detectors fitted in "
              f"{time.perf_counter() - fitted:.0f} s", flush=True)
        rng = np.random.default_rng(args.seed + 1)
        n = len(data.test)

        def uniform() -> np.ndarray:
            return rng.integers(0, n, size=WINDOW)

        conditions: list[tuple[str, str, nn.Module, np.ndarray, Callable[[], np.ndarray]]] = [
            ("clean", "clean", setup.model, data.test, uniform)]
        for kind, function in kinds.items():
            for strength in STRENGTHS:
                if kind == "label shift":
                    favoured = np.flatnonzero(data.test_labels < 2)
                    share = (0.5, 0.75, 0.9)[strength - 1]

                    def shifted(favoured: np.ndarray = favoured, share: float = share) -> np.ndarray:
                        pick = rng.random(WINDOW) < share
                        return np.where(pick, rng.choice(favoured, size=WINDOW), rng.integers(0, n, size=WINDOW))
                    conditions.append((f"drift {strength}", kind, setup.model, data.test, shifted))
                    continue
                drifted = function(data.test, strength, data, np.random.default_rng(strength)).astype(np.float32)
                rows = uniform if len(drifted) == n else (lambda m=len(drifted): rng.integers(0, m, size=WINDOW))
                conditions.append((f"drift {strength}", kind, setup.model, drifted, rows))
        for group, faults in (("fault after S", setup.faults_after), ("fault at/before S", setup.faults_at)):
            for name, fault in faults.items():
                broken = copy.deepcopy(setup.model)
                with torch.no_grad():
                    fault(broken, np.random.default_rng(args.seed + 7))
                drop = clean_accuracy - accuracy(broken, data.test, data.test_labels)
                print(f"  fault {name!r}: accuracy {-100 * drop:+.1f} points", flush=True)
                conditions.append((group, name, broken, data.test, uniform))
        for detector, build in watchers.items():
            for group, name, model, x, rows in conditions:
                tally = run_windows(build(model), model, x, rows, windows)
                results[(setup.name, detector, group + "|" + name)] = tally
            print(f"  {detector}: done ({time.perf_counter() - started:.0f} s)", flush=True)
    report(results)
    print(f"\ntotal {time.perf_counter() - started:.0f} s; load average now "
          f"{open('/proc/loadavg').read().split()[:3]}")
    return 0


def report(results: dict[tuple[str, str, str], Tally]) -> None:
    """Per detector and condition group: % of windows that fired, % labelled
    model fault, % naming drift; then the drift kinds one by one."""
    order = ["monitor", "monitor+wide", "cover", "cover+wide"]
    detectors_ = sorted({d for _, d, _ in results}, key=lambda d: (order.index(d.split("/")[0]), d))
    groups = ["clean", "drift 1", "drift 2", "drift 3", "fault after S", "fault at/before S"]
    print("\n## summary: % of windows fired / labelled model_fault / naming drift (input_drift or both), "
          "over every model")
    print("| condition | " + " | ".join(detectors_) + " |")
    print("|---|" + "---|" * len(detectors_))
    for group in groups:
        cells = []
        for detector in detectors_:
            total = Tally()
            for (_, d, key), tally in results.items():
                if d == detector and key.split("|")[0] == group:
                    total.windows += tally.windows
                    total.fired += tally.fired
                    total.fault += tally.fault
                    total.drift_named += tally.drift_named
            cells.append(f"{total.share('fired'):.1f} / {total.share('fault'):.1f} / {total.share('drift_named'):.1f}")
        print(f"| {group} | " + " | ".join(cells) + " |")
    print("\n## per model: % labelled model_fault (clean; drift 1/2/3; faults after S; at/before S)")
    print("| model | " + " | ".join(detectors_) + " |")
    print("|---|" + "---|" * len(detectors_))
    for model in sorted({m for m, _, _ in results}):
        cells = []
        for detector in detectors_:
            parts = []
            for group in groups:
                tallies = [t for (m, d, k), t in results.items() if m == model and d == detector
                           and k.split("|")[0] == group]
                parts.append(100.0 * sum(t.fault for t in tallies) / max(sum(t.windows for t in tallies), 1))
            cells.append(f"{parts[0]:.0f}; {parts[1]:.1f}/{parts[2]:.1f}/{parts[3]:.1f}; {parts[4]:.0f}; {parts[5]:.0f}")
        print(f"| {model} | " + " | ".join(cells) + " |")
    print("\n## drift kinds: % labelled model_fault at strength 1/2/3 (worst model), and % naming drift at 3")
    kinds = sorted({k.split("|")[1] for (_, _, k) in results if k.startswith("drift")})
    print("| kind | " + " | ".join(detectors_) + " |")
    print("|---|" + "---|" * len(detectors_))
    for kind in kinds:
        cells = []
        for detector in detectors_:
            worst = []
            for strength in STRENGTHS:
                values = [t.share("fault") for (m, d, k), t in results.items()
                          if d == detector and k == f"drift {strength}|{kind}"]
                worst.append(max(values) if values else math.nan)
            named = [t.share("drift_named") for (m, d, k), t in results.items()
                     if d == detector and k == f"drift 3|{kind}"]
            cells.append("/".join(f"{v:.0f}" for v in worst) + f" ({min(named):.0f})")
        print(f"| {kind} | " + " | ".join(cells) + " |")
    print("\n## faults: % labelled model_fault / naming drift (per model)")
    for (model, detector, key), tally in results.items():
        group, name = key.split("|")
        if group.startswith("fault"):
            print(f"  {model:11s} {detector:13s} {group:18s} {name:22s} {tally.share('fault'):5.1f} / "
                  f"{tally.share('drift_named'):5.1f}")


if __name__ == "__main__":
    sys.exit(main())
