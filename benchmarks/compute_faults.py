"""Compute faults: how often each detector catches corruption that happens
while the model computes, with its stored weights intact, at a 1% false-alarm
rate; and how exactly the weight fingerprint finds corruption at rest.

    .venv/bin/python benchmarks/compute_faults.py            # 3 models, all tune candidates, 15+ minutes
    .venv/bin/python benchmarks/compute_faults.py --quick    # 2 models, one small candidate, about 5 minutes
    .venv/bin/python benchmarks/compute_faults.py --models cnn    # one model kind only

Models: a multilayer perceptron (Linear and ReLU modules) on scikit-learn's
digits and breast cancer data, and a small convolutional network on the
digits as 8x8 images (nothing is downloaded; `--quick` leaves out breast
cancer). The data splits are those of benchmarks/detection.py: detectors are
fitted on the fit split, their thresholds set on the calibration split, and
rates measured on the test split.

Faults are injected with forward hooks on every Linear, Conv2d and ReLU
layer of each model, one layer at a time, its weights untouched (the PE
faults on Linear and Conv2d layers only):
  - bit b: one bit flipped in one activation of the layer, a random element
    per input (transient), at bit 31 (sign), 30 and 26 (exponent), 22 and 10
    (mantissa) of the float32;
  - stuck 0 / stuck large / sign flip: one output unit (a channel of a
    convolution) at 0, at 8 times the layer's largest clean magnitude, or
    negated, for every input;
  - PE: one output element off by the layer's clean standard deviation for
    every input (a bad processing element); PE stride: every 16th element.

Detectors: `watch.cover` over every layer (monitors only; with the checksum
and exact links, its default; with them and the range stage), the monitor chosen
by `watch.tune` on (first layer, logits), range supervision alone (per-channel
bounds of every layer after the input from the fit inputs, its threshold on
the largest reach set at 1% on the calibration inputs) and the baselines of
detection.py on the same (S, Z).

Per fault and layer: "alarm" is the share of test inputs alarmed, "chg" the
share of the inputs whose prediction the fault changed that were alarmed
(- where it changed none), "blame" the share of alarms that name the faulted
layer (coverage: the link ending at it; range alone: the layer with the
largest reach), and "win" (persistent faults) the share of streams of 200
shuffled test inputs in which a fresh window alarm (window 50, significance
1e-3) fires. Costs: seconds to score already-captured layer outputs, as a
share of the model's forward pass, at batch 1 and 64 (PyTorch on one thread;
capture by hooks is not included).
"""

from __future__ import annotations

import argparse
import datetime
import math
import os
import platform
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import detection as det  # noqa: E402
import detection_models as dm  # noqa: E402
from tarvex.core import watch  # noqa: E402
from tarvex.core.watch.coverage import _forward_layers  # noqa: E402
from tarvex.core.watch.guards import RangeStage, _channel_extremes  # noqa: E402

RATE = 0.01
WINDOW = 50
STREAM = 200
SIGNIFICANCE = 1e-3
BITS = {"bit 31 (sign)": 31, "bit 30 (exp)": 30, "bit 26 (exp)": 26, "bit 22 (mant)": 22, "bit 10 (mant)": 10}
PERSISTENT = ["stuck 0", "stuck large", "sign flip", "PE", "PE stride"]
FAULTS = list(BITS) + PERSISTENT
COVER = "cover, monitors"
COVER_CHECKSUMS = "cover + checksums"
COVER_ALL = "cover + checksums + range"
TUNED = "tuned monitor"
RANGE = "range alone"


# --- models ----------------------------------------------------------------------------


class MLP(nn.Module):
    def __init__(self, n_inputs: int, hidden: tuple[int, ...], n_classes: int) -> None:
        super().__init__()
        widths = (n_inputs,) + hidden
        parts: list[nn.Module] = []
        for a, b in zip(widths[:-1], widths[1:]):
            parts += [nn.Linear(a, b), nn.ReLU()]
        self.net = nn.Sequential(*parts, nn.Linear(widths[-1], n_classes))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.net(x)


class CNN(nn.Module):
    """8x8 images: conv 8 -> ReLU -> conv 16 (stride 2) -> ReLU -> flatten -> logits."""

    def __init__(self, n_classes: int) -> None:
        super().__init__()
        self.net = nn.Sequential(nn.Conv2d(1, 8, 3, padding=1), nn.ReLU(), nn.Conv2d(8, 16, 3, stride=2, padding=1),
                                 nn.ReLU(), nn.Flatten(), nn.Linear(16 * 4 * 4, n_classes))

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.net(x)


def train(model: nn.Module, X: np.ndarray, y: np.ndarray, seed: int, epochs: int = 30) -> nn.Module:
    """Adam on cross-entropy, as detection_models.train_classifier."""
    torch.manual_seed(seed)
    generator = torch.Generator().manual_seed(seed)
    optimiser = torch.optim.Adam(model.parameters(), lr=3e-3, weight_decay=1e-4)
    inputs, labels = torch.from_numpy(X), torch.from_numpy(y)
    model.train()
    for _ in range(epochs):
        order = torch.randperm(len(labels), generator=generator)
        for start in range(0, len(labels), 64):
            idx = order[start:start + 64]
            optimiser.zero_grad(set_to_none=True)
            F.cross_entropy(model(inputs[idx]), labels[idx]).backward()
            optimiser.step()
    return model.eval()


@dataclass
class Bench:
    name: str
    model: nn.Module
    layers: list[str]  # watched by the coverage, in forward order
    compute: list[str]  # Linear and Conv2d layers: every fault
    activations: list[str]  # ReLU layers: every fault but the PE ones
    s_layer: str  # the single monitor's S
    splits: dm.Splits


def benches(quick: bool, seed: int, models: list[str]) -> list[Bench]:
    found = []
    for dataset in (["digits"] if quick else ["digits", "breast_cancer"]) if "mlp" in models else []:
        splits = dm.load_splits(dataset, seed)
        torch.manual_seed(seed)
        model = train(MLP(splits.fit.shape[1], (32, 24), splits.n_classes), splits.fit, splits.fit_labels, seed)
        found.append(Bench(f"MLP 32-24, {dataset}", model, ["input"] + [f"net.{i}" for i in range(5)],
                           ["net.0", "net.2", "net.4"], ["net.1", "net.3"], "net.0", splits))
    if "cnn" not in models:
        return found
    splits = dm.load_splits("digits", seed)
    images = dm.Splits(*(part.reshape(-1, 1, 8, 8) if part.ndim == 2 else part for part in
                         (splits.fit, splits.fit_labels, splits.calibration, splits.test, splits.test_labels)),
                       splits.n_classes)
    torch.manual_seed(seed)
    model = train(CNN(splits.n_classes), images.fit, images.fit_labels, seed)
    found.append(Bench("CNN conv8-conv16, digits", model, ["input"] + [f"net.{i}" for i in range(6)],
                       ["net.0", "net.2", "net.5"], ["net.1", "net.3"], "net.3", images))
    return found


# --- faults ----------------------------------------------------------------------------


def flip_bits(values: torch.Tensor, bit: int) -> torch.Tensor:
    """`values` (float32) with bit `bit` flipped."""
    return (values.contiguous().view(torch.int32) ^ torch.tensor(1 << bit if bit < 31 else -(1 << 31),
                                                                  dtype=torch.int32)).view(torch.float32)


@dataclass
class LayerStats:
    """What a fault takes from the clean layer: largest magnitude, standard
    deviation, channels (dimension 1) and values per input."""

    largest: float
    std: float
    channels: int
    width: int


def layer_stats(model: nn.Module, layer: str, X: np.ndarray) -> LayerStats:
    outputs = next(_forward_layers(model, X, [layer], len(X)))[layer]
    return LayerStats(float(outputs.abs().max()), float(outputs.std()), int(outputs.shape[1]),
                      int(outputs[0].numel()))


def fault_hook(kind: str, stats: LayerStats, rng: np.random.Generator) -> Callable[..., torch.Tensor]:
    """A forward hook that corrupts a layer's output as `kind` says (see the
    module docstring). The unit, element and per-input elements come from
    `rng`, drawn once."""
    unit = int(rng.integers(stats.channels))
    element = int(rng.integers(stats.width))
    start = int(rng.integers(min(16, stats.width)))
    seed = int(rng.integers(2**31))

    def hook(_module: Any, _args: Any, output: torch.Tensor) -> torch.Tensor:
        out = output.clone()
        rows = out.shape[0]
        flat = out.reshape(rows, -1)
        if kind in BITS:
            picks = torch.from_numpy(np.random.default_rng(seed).integers(stats.width, size=rows))
            index = torch.arange(rows)
            flat[index, picks] = flip_bits(flat[index, picks], BITS[kind])
        elif kind == "stuck 0":
            out[:, unit] = 0.0
        elif kind == "stuck large":
            out[:, unit] = 8.0 * stats.largest
        elif kind == "sign flip":
            out[:, unit] = -out[:, unit]
        elif kind == "PE":
            flat[:, element] += stats.std
        elif kind == "PE stride":
            flat[:, start::16] += stats.std
        else:
            raise ValueError(kind)
        return out

    return hook


# --- detectors -------------------------------------------------------------------------


class Detector:
    """Scores a pass's captured layer outputs: `alarms` per input and the
    blamed layer's index into the watched layers (-1 without blame);
    `stream_scores` and `tau` feed the window alarm."""

    name = "?"

    def check(self, outputs: dict[str, torch.Tensor]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        raise NotImplementedError

    def window(self) -> watch.WindowAlarm:
        raise NotImplementedError


class Covered(Detector):
    def __init__(self, name: str, coverage: watch.Coverage) -> None:
        self.name, self.coverage = name, coverage

    def check(self, outputs):
        report = self.coverage.score_outputs(outputs)
        blamed = np.where(report.alarms, report.blamed_index + 1, -1)  # the link's Z layer
        return report.alarms, blamed, 1.0 - report.p_values.min(axis=1)

    def window(self):
        return watch.WindowAlarm.from_coverage(self.coverage, window=WINDOW, significance=SIGNIFICANCE)


class OnRows(Detector):
    """A detector of detection.py, or the tuned monitor, on the coverage's
    reduced rows of (S layer, logits)."""

    def __init__(self, name: str, coverage: watch.Coverage, s_layer: str, detector: Any, tau: float) -> None:
        self.name, self.coverage, self.s_layer = name, coverage, s_layer
        self.detector, self.tau = detector, tau

    def rows(self, outputs):
        reductions = self.coverage._reductions
        return [reductions[name].project(reductions[name].pool(outputs[name]))
                for name in (self.s_layer, self.coverage.layers[-1])]

    def score(self, outputs):
        S, Z = self.rows(outputs)
        finite = np.isfinite(S).all(axis=1) & np.isfinite(Z).all(axis=1)
        scores = np.full(len(S), np.inf)  # rows with NaN or inf are above any threshold
        if finite.any():
            with np.errstate(all="ignore"):
                scores[finite] = np.asarray(self.detector.score(S[finite], Z[finite]), dtype=np.float64)
        return np.where(np.isnan(scores), np.inf, scores)

    def check(self, outputs):
        scores = self.score(outputs)
        alarms = ~(scores <= self.tau)
        return alarms, np.full(len(scores), -1), scores

    def window(self):
        return watch.WindowAlarm(tau=self.tau, false_alarm_rate=RATE, window=WINDOW, significance=SIGNIFICANCE)


class RangeAlone(Detector):
    """Per-channel bounds of every layer after the input; an input's score is
    its largest reach (1 at the clean extremes) over those layers."""

    name = RANGE

    def __init__(self, layers: list[str], fit: dict[str, torch.Tensor], shapes: dict[str, tuple[int, ...]]) -> None:
        self.layers = layers[1:]
        self.shapes = shapes
        extremes = {name: _channel_extremes(fit[name], shapes[name]) for name in self.layers}
        self.stage = RangeStage.fit(self.layers, shapes, extremes)
        self.tau = math.inf

    def score(self, outputs):
        reach = self.stage.reach({name: _channel_extremes(outputs[name], self.shapes[name]) for name in self.layers})
        return reach.max(axis=1), reach.argmax(axis=1) + 1

    def check(self, outputs):
        scores, blamed = self.score(outputs)
        alarms = ~(scores <= self.tau)
        return alarms, np.where(alarms, blamed, -1), scores

    def window(self):
        return watch.WindowAlarm(tau=self.tau, false_alarm_rate=RATE, window=WINDOW, significance=SIGNIFICANCE)


def outputs_of(model: nn.Module, X: np.ndarray, layers: list[str]) -> dict[str, torch.Tensor]:
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        return next(_forward_layers(model, X, layers, len(X)))


def build_detectors(bench: Bench, quick: bool, seed: int, log: Callable[[str], None]) -> tuple[list[Detector], dict[str, float]]:
    if quick:
        candidates = [{"hidden": (64,), "epochs": 20, "dropout": 0.0, "lr": 3e-3}]
    else:
        candidates = [dict(c, epochs=min(c.get("epochs", 120), 60)) for c in watch.TUNE_CANDIDATES]
    splits, layers = bench.splits, bench.layers
    fit_seconds = {}
    coverages = {}
    for name, stages in ((COVER, dict(checksums=False)), (COVER_CHECKSUMS, {}),
                         (COVER_ALL, dict(range_stage=True))):
        started = time.perf_counter()
        coverages[name] = watch.cover(bench.model, splits.fit, layers, false_alarm_rate=RATE, random_state=seed,
                                      held_out=splits.calibration, candidates=candidates, batch_size=4096, **stages)
        fit_seconds[name] = time.perf_counter() - started
        guards = coverages[name].guards
        log(f"  {name:<26} fit {fit_seconds[name]:6.1f} s; stages "
            f"{guards.columns() if guards else []}, checksum links {guards.checked_links if guards else []}")
    found: list[Detector] = [Covered(name, coverage) for name, coverage in coverages.items()]
    base = coverages[COVER]
    fit_out = outputs_of(bench.model, splits.fit, layers)
    cal_out = outputs_of(bench.model, splits.calibration, layers)
    reduced = OnRows("", base, bench.s_layer, None, 0.0)
    S_fit, Z_fit = reduced.rows(fit_out)
    S_cal, Z_cal = reduced.rows(cal_out)
    started = time.perf_counter()
    tuned = watch.tune(S_fit, Z_fit, false_alarm_rate=RATE, candidates=candidates, random_state=seed,
                       held_out=(S_cal, Z_cal))
    fit_seconds[TUNED] = time.perf_counter() - started
    found.append(OnRows(TUNED, base, bench.s_layer, det.Monitor(TUNED, lambda *a: tuned), float(tuned.tau)))
    found[-1].detector.monitor = tuned
    for baseline in (det.ZMahalanobis(), det.LinearResidual(True)):
        started = time.perf_counter()
        baseline.fit(S_fit, Z_fit, (S_cal, Z_cal))
        fit_seconds[baseline.name] = time.perf_counter() - started
        detector = OnRows(baseline.name, base, bench.s_layer, baseline, 0.0)
        detector.tau = det.conformal_threshold(detector.score(cal_out), RATE)
        found.append(detector)
    shapes = {name: tuple(int(v) for v in fit_out[name].shape[1:]) or (1,) for name in layers}
    started = time.perf_counter()
    ranged = RangeAlone(layers, fit_out, shapes)
    ranged.tau = det.conformal_threshold(ranged.score(cal_out)[0], RATE)
    fit_seconds[RANGE] = time.perf_counter() - started
    found.append(ranged)
    return found, fit_seconds


# --- measurement -----------------------------------------------------------------------


@dataclass
class Cell:
    alarm: float
    changed: float | None  # share of prediction-changed inputs alarmed; None when none changed
    blame: float | None
    streams: float | None  # persistent faults only
    changed_share: float


@dataclass
class Result:
    bench: str
    accuracy: float
    clean: dict[str, float] = field(default_factory=dict)
    clean_streams: dict[str, float] = field(default_factory=dict)
    cells: dict[tuple[str, str, str], Cell] = field(default_factory=dict)  # (fault, layer, detector)
    costs: dict[str, tuple[float, float]] = field(default_factory=dict)
    forward_seconds: tuple[float, float] = (math.nan, math.nan)
    fit_seconds: dict[str, float] = field(default_factory=dict)
    fingerprint: dict[str, Any] = field(default_factory=dict)


def streams_fired(detector: Detector, scores: np.ndarray, order: np.ndarray) -> float:
    shuffled = scores[order]
    count = len(shuffled) // STREAM
    fired = 0
    for i in range(count):
        fired += detector.window().update(shuffled[i * STREAM:(i + 1) * STREAM])
    return fired / count if count else math.nan


def run_bench(bench: Bench, quick: bool, seed: int, log: Callable[[str], None]) -> Result:
    model, splits, layers = bench.model, bench.splits, bench.layers
    clean_pred = model(torch.from_numpy(splits.test)).argmax(dim=1).detach().numpy()
    result = Result(bench.name, float((clean_pred == splits.test_labels).mean()))
    log(f"{bench.name}: clean accuracy {result.accuracy:.1%}, test inputs {len(splits.test)}")
    detectors, result.fit_seconds = build_detectors(bench, quick, seed, log)
    order = np.random.default_rng(seed).permutation(len(splits.test))
    clean_out = outputs_of(model, splits.test, layers)
    for detector in detectors:
        alarms, _, scores = detector.check(clean_out)
        result.clean[detector.name] = float(alarms.mean())
        result.clean_streams[detector.name] = streams_fired(detector, scores, order)
    modules = dict(model.named_modules())
    rng = np.random.default_rng(seed + 1)
    for layer in sorted(bench.compute + bench.activations, key=layers.index):
        stats = layer_stats(model, layer, splits.fit)
        for fault in FAULTS if layer in bench.compute else [f for f in FAULTS if not f.startswith("PE")]:
            handle = modules[layer].register_forward_hook(fault_hook(fault, stats, rng))
            try:
                out = outputs_of(model, splits.test, layers)
            finally:
                handle.remove()
            logits = out[layers[-1]]
            changed = (torch.nan_to_num(logits, nan=0.0).argmax(dim=1).numpy() != clean_pred) | \
                ~torch.isfinite(logits).all(dim=1).numpy()
            for detector in detectors:
                alarms, blamed, scores = detector.check(out)
                blame = float((blamed[alarms] == layers.index(layer)).mean()) if alarms.any() and (
                    blamed[alarms] >= 0).any() else None
                result.cells[(fault, layer, detector.name)] = Cell(
                    float(alarms.mean()), float(alarms[changed].mean()) if changed.any() else None, blame,
                    streams_fired(detector, scores, order) if fault in PERSISTENT else None, float(changed.mean()))
        log(f"  faults at {layer} done")
    result.costs, result.forward_seconds = costs(bench, detectors)
    result.fingerprint = fingerprint_trials(model, seed, trials=100 if quick else 400)
    return result


def median_seconds(call: Callable[[], Any], repeats: int) -> float:
    times = []
    for _ in range(repeats):
        started = time.perf_counter()
        call()
        times.append(time.perf_counter() - started)
    return float(np.median(times))


def costs(bench: Bench, detectors: list[Detector]) -> tuple[dict[str, tuple[float, float]], tuple[float, float]]:
    """Each detector's scoring time of captured outputs over the model's
    forward time, at batch 1 and 64, and the forward times."""
    shares: dict[str, list[float]] = {detector.name: [] for detector in detectors}
    forwards = []
    for batch in (1, 64):
        X = bench.splits.test[:batch]
        x = torch.from_numpy(X)
        with torch.no_grad():
            forward = median_seconds(lambda: bench.model(x), 200 if batch == 1 else 50)
        forwards.append(forward)
        out = outputs_of(bench.model, X, bench.layers)
        for detector in detectors:
            seconds = median_seconds(lambda: detector.check(out), 50 if batch == 1 else 20)
            shares[detector.name].append(seconds / forward)
    return {name: (values[0], values[1]) for name, values in shares.items()}, (forwards[0], forwards[1])


def fingerprint_trials(model: nn.Module, seed: int, trials: int) -> dict[str, Any]:
    """Single-bit flips of a random element of a random parameter or buffer:
    how many the fingerprint finds with exactly that tensor named, and false
    alarms on the untouched weights."""
    reference = watch.fingerprint(model)
    tensors = dict(list(model.named_parameters()) + list(model.named_buffers()))
    rng = np.random.default_rng(seed + 2)
    found = named = 0
    for _ in range(trials):
        name = list(tensors)[int(rng.integers(len(tensors)))]
        tensor = tensors[name]
        raw = tensor.data.view(-1).view(torch.uint8)
        byte, bit = int(rng.integers(raw.numel())), int(rng.integers(8))
        raw[byte] ^= 1 << bit
        check = reference.verify(model)
        raw[byte] ^= 1 << bit
        found += not check.matches
        named += check.changed == (name,) and not check.added and not check.removed
    false_alarms = sum(not reference.verify(model).matches for _ in range(20))
    return {"trials": trials, "found": found, "named": named, "false_alarms": false_alarms, "clean_checks": 20}


def fingerprint_rate(megabytes: int) -> tuple[float, float]:
    """Seconds to fingerprint and to verify a model of `megabytes` of float32
    weights, per GB."""
    layers = max(1, megabytes // 16)
    model = nn.Sequential(*[nn.Linear(2048, 2048) for _ in range(layers)])  # 16 MiB each
    reference = watch.fingerprint(model)  # warm-up and reference
    size = reference.nbytes
    make = median_seconds(lambda: watch.fingerprint(model), 3)
    verify = median_seconds(lambda: reference.verify(model), 3)
    return make / size * 1e9, verify / size * 1e9


# --- report ----------------------------------------------------------------------------


def percent(value: float | None) -> str:
    return "-" if value is None or (isinstance(value, float) and math.isnan(value)) else f"{100 * value:.0f}"


def format_result(result: Result, names: list[str]) -> str:
    lines = [f"{result.bench}: clean accuracy {result.accuracy:.1%}"]
    lines.append("clean: " + ", ".join(f"{n} {percent(result.clean[n])}% (streams {percent(result.clean_streams[n])}%)"
                                       for n in names))
    short = {COVER: "cov", COVER_CHECKSUMS: "cov+cs", COVER_ALL: "cov+cs+rng", TUNED: "tuned", RANGE: "range"}
    header = f"{'fault':<16} {'layer':<6} {'chg%':>4} " + " ".join(
        f"{short.get(n, n[:12]):>21}" for n in names)
    lines += ["alarm% / of changed% / blame% / windows% per detector", header, "-" * len(header)]
    faults = sorted({(fault, layer) for fault, layer, _ in result.cells}, key=lambda k: (k[1], FAULTS.index(k[0])))
    for fault, layer in faults:
        cells = [result.cells[(fault, layer, n)] for n in names]
        parts = [f"{percent(c.alarm)}/{percent(c.changed)}/{percent(c.blame)}/{percent(c.streams)}" for c in cells]
        lines.append(f"{fault:<16} {layer:<6} {percent(cells[0].changed_share):>4} " +
                     " ".join(f"{p:>21}" for p in parts))
    lines.append(f"forward pass {1e6 * result.forward_seconds[0]:.0f} us at batch 1, "
                 f"{1e6 * result.forward_seconds[1]:.0f} us at batch 64")
    lines.append("cost, share of the forward pass at batch 1 / 64: " + ", ".join(
        f"{n} {result.costs[n][0]:.2f} / {result.costs[n][1]:.2f}" for n in names))
    lines.append("fit seconds: " + ", ".join(f"{n} {s:.1f}" for n, s in result.fit_seconds.items()))
    fp = result.fingerprint
    lines.append(f"fingerprint: {fp['found']}/{fp['trials']} single-bit flips found, {fp['named']} with exactly the "
                 f"flipped tensor named; {fp['false_alarms']} false alarms in {fp['clean_checks']} clean checks")
    return "\n".join(lines)


def summary(results: list[Result], names: list[str]) -> str:
    """Per fault kind, over every layer of every model: the smallest share of
    prediction-changed inputs alarmed, the mean share alarmed, the smallest
    share of windows fired (persistent faults) and the mean blame accuracy."""
    lines = ["| fault | " + " | ".join(names) + " |", "|---|" + "---|" * len(names)]
    for fault in FAULTS:
        row = []
        for name in names:
            cells = [c for r in results for (f, _, n), c in r.cells.items() if f == fault and n == name]
            if not cells:
                row.append("")
                continue
            changed = [c.changed for c in cells if c.changed is not None and c.changed_share >= 0.01]
            alarm = float(np.mean([c.alarm for c in cells]))
            text = f"{percent(min(changed)) if changed else '-'} / {percent(alarm)}"
            streams = [c.streams for c in cells if c.streams is not None]
            if streams:
                text += f" / {percent(min(streams))}"
            blames = [c.blame for c in cells if c.blame is not None]
            if blames:
                text += f" / {percent(float(np.mean(blames)))}"
            row.append(text)
        lines.append(f"| {fault} | " + " | ".join(row) + " |")
    lines.append("| clean | " + " | ".join(
        f"{percent(float(np.mean([r.clean[n] for r in results])))} / streams "
        f"{percent(float(np.mean([r.clean_streams[n] for r in results])))}" for n in names) + " |")
    lines.append("| cost, batch 1 / 64 | " + " | ".join(
        f"{np.mean([r.costs[n][0] for r in results]):.2f} / {np.mean([r.costs[n][1] for r in results]):.2f}"
        for n in names) + " |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="digits only, one small monitor candidate")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--models", nargs="+", default=["mlp", "cnn"], choices=["mlp", "cnn"])
    args = parser.parse_args(argv)
    torch.set_num_threads(1)
    started = time.perf_counter()
    print(f"{datetime.date.today()}, Python {platform.python_version()}, PyTorch {torch.__version__}, "
          f"{platform.machine()}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}; "
          f"false-alarm rate {RATE:.0%}, streams of {STREAM}, window {WINDOW}", flush=True)
    results = []
    names: list[str] = []
    for bench in benches(args.quick, args.seed, args.models):
        result = run_bench(bench, args.quick, args.seed, lambda line: print(line, flush=True))
        names = list(result.clean)
        results.append(result)
    for result in results:
        print("\n" + format_result(result, names))
    print("\nsummary: smallest % of prediction-changed inputs alarmed over layers / mean % of inputs alarmed "
          "/ smallest % of windows fired (persistent faults) / mean % of alarms blaming the faulted layer\n")
    print(summary(results, names))
    make, verify = fingerprint_rate(64 if args.quick else 256)
    print(f"\nfingerprint: {make:.2f} s per GB to make, {verify:.2f} s per GB to verify (float32 weights, one thread)")
    print(f"total {time.perf_counter() - started:.0f} s; load average at the end {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
