"""The monitoring scenario, model by model: train a classifier, fit the
monitor on the clean classifier's S/Z, calibrate its threshold on held-out
clean inputs, then score untouched test inputs through the clean model and
through faulted copies of it, one at a time and as streams under a window
alarm; then watch every layer with a coverage and score the same inputs
through it."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable

import numpy as np
import torch
import torch.nn as nn

from classifier import DigitCNN, MLPClassifier, Split, cancer_split, digits_split, train_classifier
from faults import Fault, add_gaussian_noise, faulted_copy, flip_bits, kill_unit
from streams import ExampleStream, alarm_delays, clean_fire_rate, example_stream
from tarvex.core import watch
from tarvex.core.resmon import NeuralConditionalMonitor


@dataclass
class DemoConfig:
    seed: int = 0
    subset: int | None = None  # use only this many rows of each data set (quick runs)
    classifier_epochs: int = 40
    # The monitor is fitted on the training rows plus this many copies of them
    # with N(0, jitter_std^2) noise on every standardised input, all through
    # the clean model: held-out inputs fall around the training ones, and a
    # monitor that saw only the training rows scores them too high.
    jitter_copies: int = 10
    jitter_std: float = 0.7
    monitor_hidden: tuple[int, ...] = (128, 128)
    monitor_epochs: int = 120
    monitor_batch_size: int = 256
    monitor_lr: float = 3e-3
    # Requested false-alarm rate; raised to the smallest rate the calibration
    # split resolves (10 / its rows) where that split is too small.
    false_alarm_rate: float = 0.02
    # With this confidence over the draw of the calibration rows, the rate of
    # clean inputs above tau is at most the false-alarm rate (None: only on
    # average, the plain conformal rule).
    confidence: float | None = 0.9
    window: int = 50
    significance: float = 1e-3
    streams: int = 200  # per fault
    stream_length: int = 250  # faulted inputs per stream, after a full window of clean ones
    # Full-depth coverage of each model (watch.cover), fitted on the training
    # rows plus coverage_jitter_copies jittered copies of them. Links that
    # tune's least-squares candidates fit well (every link of the MLPs, the
    # CNN's last) take a second or so; the CNN's pooled convolutions need its
    # gradient-descent networks, whose epochs coverage_epochs caps (None:
    # tune's own settings), which keeps the whole demo within two minutes.
    coverage: bool = True
    coverage_epochs: int | None = 20
    coverage_jitter_copies: int = 3


@dataclass
class ModelCase:
    """One monitored model: its data, how it is built, where S is read (Z is
    always the model's output, the logits), its faults, and whether the
    monitor engineers pair products of the S columns."""

    key: str  # used in file names
    title: str
    load: Callable[[int, int | None], Split]
    build: Callable[[Split], nn.Module]
    s: str
    faults: list[Fault]
    pair_products: bool = True
    shown_fault: str = ""  # the fault of the stream picture (default: the first)
    # Layers the coverage watches, from the input to the output, and for a
    # faulted module that is not one of them the watched layer its fault
    # shows first in (a convolution in the pooling after it).
    coverage_layers: tuple[str, ...] = ("input", "hidden1", "hidden2", "out")
    shows_in: dict[str, str] = field(default_factory=dict)

    def faulted_link(self, fault: Fault) -> int:
        """Index of the coverage link that ends where `fault` shows first."""
        module = fault.target.rsplit(".", 1)[0] if fault.target.endswith((".weight", ".bias")) else fault.target
        return self.coverage_layers.index(self.shows_in.get(module, module)) - 1


def _mlp_faults() -> list[Fault]:
    """All but the last sit after S (hidden1); the last changes the layer S
    is read from."""
    return [
        Fault("3 sign-bit flips", "sign bit of 3 weights flipped",
              flip_bits, dict(parameter="out.weight", count=3, bit=31, seed=1)),
        Fault("2 exponent-bit flips", "top exponent bit of 2 weights (now ~1e38)",
              flip_bits, dict(parameter="out.weight", count=2, bit=30, seed=2)),
        Fault("3 vanishing weights", "exponent bit 29 of 3 weights (now ~1e-20)",
              flip_bits, dict(parameter="out.weight", count=3, bit=29, seed=1)),
        Fault("weight noise 20%", "Gaussian, std 20% of the weights' std",
              add_gaussian_noise, dict(parameter="hidden2.weight", relative_std=0.2, seed=1)),
        Fault("dead unit", "unit 8 always outputs 0", kill_unit, dict(layer="hidden2", unit=8)),
        Fault("weight noise 20% (S layer)", "Gaussian, std 20% of the weights' std",
              add_gaussian_noise, dict(parameter="hidden1.weight", relative_std=0.2, seed=1)),
    ]


def _cnn_faults() -> list[Fault]:
    """As for the MLPs; S is pool1, so conv1 is the S layer."""
    faults = _mlp_faults()
    faults[3] = Fault("weight noise 20%", "Gaussian, std 20% of the weights' std",
                      add_gaussian_noise, dict(parameter="conv2.weight", relative_std=0.2, seed=1))
    faults[4] = Fault("dead channel", "channel 5 always outputs 0", kill_unit, dict(layer="conv2", unit=5))
    faults[5] = Fault("weight noise 20% (S layer)", "Gaussian, std 20% of the weights' std",
                      add_gaussian_noise, dict(parameter="conv1.weight", relative_std=0.2, seed=1))
    return faults


def _mlp(split: Split) -> nn.Module:
    return MLPClassifier(n_inputs=split.X_train.shape[1], n_classes=split.n_classes)


def _cnn(split: Split) -> nn.Module:
    return DigitCNN(n_classes=split.n_classes)


def default_cases() -> list[ModelCase]:
    return [
        ModelCase("digits-mlp", "digits, MLP 64 -> 16 -> 32 -> 10; S = hidden1 (16 values)",
                  digits_split, _mlp, "hidden1", _mlp_faults(), shown_fault="dead unit"),
        ModelCase("cancer-mlp", "breast cancer, MLP 30 -> 16 -> 32 -> 2; S = hidden1 (16 values)",
                  cancer_split, _mlp, "hidden1", _mlp_faults(), shown_fault="weight noise 20%"),
        # 64 S columns: pair products would make 2,208 engineered columns,
        # five times slower to fit and worse on held-out inputs.
        ModelCase("digits-cnn", "digits, CNN conv1 -> pool1 -> conv2 -> pool2 -> out; S = pool1 (64 values)",
                  digits_split, _cnn, "pool1", _cnn_faults(), pair_products=False,
                  shown_fault="3 vanishing weights", coverage_layers=("input", "pool1", "pool2", "out"),
                  shows_in={"conv1": "pool1", "conv2": "pool2"}),
    ]


def alarm_rate(scores: np.ndarray, tau: float) -> float:
    """Share of scores that do not lie at or below tau: a NaN or infinite
    score (from non-finite logits) counts as an alarm."""
    return float(np.mean(~(np.asarray(scores) <= tau))) if len(scores) else 0.0


def resolvable_rate(requested: float, rows: int) -> float:
    """`requested`, or the smallest false-alarm rate that `rows` calibration
    rows resolve (`watch.calibrate` needs at least 10 / rate rows)."""
    if rows < 11:
        raise ValueError(f"{rows} calibration rows cannot calibrate any false-alarm rate below 1")
    rate = max(requested, 10.0 / rows)
    while math.ceil(10.0 / rate) > rows:
        rate = math.nextafter(rate, 1.0)
    return rate


def jittered(X: np.ndarray, copies: int, std: float, seed: int) -> np.ndarray:
    """`X` followed by `copies` copies of it with N(0, std^2) noise added."""
    rng = np.random.default_rng(seed)
    parts = [X] + [X + std * rng.standard_normal(X.shape) for _ in range(copies)]
    return np.concatenate(parts).astype(np.float32)


def blame(monitor: NeuralConditionalMonitor, S: np.ndarray, Z: np.ndarray) -> np.ndarray:
    """The Z column that contributes most to each row's score. Rows whose
    contributions are not finite (a logit near the float32 limit) blame the
    column furthest from its training mean in training standard deviations."""
    if len(S) == 0:
        return np.zeros(0, dtype=np.int64)
    with np.errstate(over="ignore", invalid="ignore"):  # logits near the float32 limit overflow
        contributions = watch.explain(monitor, S, Z)
    columns = np.argmax(np.where(np.isfinite(contributions), contributions, -np.inf), axis=1)
    broken = ~np.isfinite(contributions).all(axis=1)
    if broken.any():
        assert monitor.z_mean is not None and monitor.z_scale is not None  # explain checked the monitor is trained
        with np.errstate(over="ignore", invalid="ignore"):
            distance = np.abs((Z[broken].astype(np.float64) - monitor.z_mean) / monitor.z_scale)
        columns[broken] = np.argmax(np.nan_to_num(distance, nan=np.inf), axis=1)
    return columns


def changed_rows(model: nn.Module, broken: nn.Module, layer: str = "out") -> list[int]:
    """Outputs of `layer` whose weights or bias differ between the models:
    the logits a fault in the output layer hits directly."""
    before, after = dict(model.named_parameters()), dict(broken.named_parameters())
    rows: set[int] = set()
    for name in (f"{layer}.weight", f"{layer}.bias"):
        if name in before:
            old, new = before[name].detach(), after[name].detach()
            differs = (old.view(torch.int32) != new.view(torch.int32)).reshape(old.shape[0], -1).any(dim=1)
            rows.update(torch.nonzero(differs).flatten().tolist())
    return sorted(rows)


@dataclass
class Outcome:
    """One model (clean or faulted) on the test inputs: its accuracy, the
    monitor's scores, which Z column the alarms blame, and the window alarm's
    delays over streams."""

    name: str
    target: str
    description: str
    accuracy: float
    scores: np.ndarray
    tau: float
    blamed: np.ndarray = field(default_factory=lambda: np.zeros(0, dtype=np.int64))
    rows_hit: list[int] = field(default_factory=list)
    delays: np.ndarray = field(default_factory=lambda: np.zeros(0))

    @property
    def inputs(self) -> int:
        return len(self.scores)

    @property
    def alarms(self) -> int:
        return int(np.count_nonzero(~(self.scores <= self.tau)))

    @property
    def rate(self) -> float:
        return alarm_rate(self.scores, self.tau)

    def top_blame(self) -> tuple[int, float] | None:
        """(most blamed Z column, share of the alarms blaming it), or None
        without alarms."""
        if len(self.blamed) == 0:
            return None
        counts = np.bincount(self.blamed)
        return int(counts.argmax()), float(counts.max() / len(self.blamed))


@dataclass
class CoverageOutcome:
    """One model (clean or faulted) through the coverage: which test inputs
    alarmed and which link each alarm blamed (-1: none); `link` is the link
    the fault should be blamed on (-1 for the clean model)."""

    name: str
    alarms: np.ndarray
    blamed: np.ndarray
    link: int = -1

    @property
    def rate(self) -> float:
        return float(np.mean(self.alarms)) if len(self.alarms) else 0.0

    @property
    def blamed_right(self) -> float | None:
        """Share of the alarms that blame `link` (None without alarms)."""
        hits = self.blamed[self.alarms]
        return float(np.mean(hits == self.link)) if len(hits) else None


@dataclass
class CoverageResult:
    coverage: watch.Coverage
    clean: CoverageOutcome
    faulted: list[CoverageOutcome]
    fit_seconds: float
    check_seconds: float  # all test inputs through the clean model and every faulted copy


@dataclass
class CaseResult:
    case: ModelCase
    rows: dict[str, int]  # train / calib / test / fit
    false_alarm_rate: float  # the calibrated (stated) rate
    confidence: float | None  # the confidence it was calibrated with
    tau: float
    monitor: NeuralConditionalMonitor
    clean: Outcome
    clean_stream_fire_rate: float
    faulted: list[Outcome]
    example: ExampleStream
    example_fault: str
    reload_max_relative_difference: float
    reloaded_tau: float | None
    monitor_path: Path
    timings: dict[str, float] = field(default_factory=dict)
    coverage: CoverageResult | None = None


@dataclass
class DemoResult:
    config: DemoConfig
    cases: list[CaseResult]
    scores_plot: Path
    stream_plot: Path
    timings: dict[str, float] = field(default_factory=dict)


def relative_difference(a: np.ndarray, b: np.ndarray) -> float:
    """Largest |a - b| / max(|b|, 1) over all entries (0.0 for identical arrays)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    if a.shape != b.shape:
        raise ValueError(f"shapes differ: {a.shape} and {b.shape}")
    if np.array_equal(a, b, equal_nan=True):
        return 0.0
    return float(np.max(np.abs(a - b) / np.maximum(np.abs(b), 1.0)))


def _score(monitor: NeuralConditionalMonitor, model: nn.Module, X: np.ndarray, s: str
           ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    S, Z = watch.capture(model, X, s, "output")
    # A badly broken model can give logits near the float32 limit, whose
    # scores overflow to inf: expected here, and counted as alarms.
    with np.errstate(over="ignore", invalid="ignore"):
        return S, Z, monitor.score_batch(S, Z)


def run_case(case: ModelCase, config: DemoConfig, output_dir: Path,
             progress: Callable[[str], None] = print) -> CaseResult:
    timings: dict[str, float] = {}
    label = case.key

    def phase(key: str, started: float, message: str) -> None:
        timings[key] = time.perf_counter() - started
        progress(f"[{label}] {message} ({timings[key]:.1f} s)")

    started = time.perf_counter()
    split = case.load(config.seed, config.subset)
    torch.manual_seed(config.seed)
    model = train_classifier(case.build(split), split.X_train, split.y_train, epochs=config.classifier_epochs,
                             seed=config.seed)
    S_clean, Z_clean = watch.capture(model, split.X_test, case.s, "output")
    clean_accuracy = float((Z_clean.argmax(axis=1) == split.y_test).mean())
    phase("classifier", started, f"{len(split.y_train)} training, {len(split.y_calib)} calibration and "
          f"{len(split.y_test)} test rows; classifier trained for {config.classifier_epochs} epochs, "
          f"test accuracy {clean_accuracy:.1%}")

    started = time.perf_counter()
    S_fit, Z_fit = watch.capture(model, jittered(split.X_train, config.jitter_copies, config.jitter_std,
                                                 config.seed), case.s, "output")
    monitor = NeuralConditionalMonitor(hidden=tuple(config.monitor_hidden), epochs=config.monitor_epochs,
                                       batch_size=config.monitor_batch_size, lr=config.monitor_lr,
                                       dropout=0.0, random_state=config.seed)
    monitor.s_engineer.include_interactions = case.pair_products
    monitor.fit(S_fit, Z_fit)
    phase("monitor", started, f"monitor fitted on {len(S_fit)} clean S/Z rows (S {monitor.s_dim} columns, "
          f"{monitor.input_dim} engineered; Z {monitor.z_dim})")

    started = time.perf_counter()
    rate = resolvable_rate(config.false_alarm_rate, len(split.y_calib))
    tau = watch.calibrate(monitor, *watch.capture(model, split.X_calib, case.s, "output"), false_alarm_rate=rate,
                          confidence=config.confidence)
    with np.errstate(over="ignore", invalid="ignore"):
        clean_scores = monitor.score_batch(S_clean, Z_clean)
    clean = Outcome("none (clean model)", "-", "", clean_accuracy, clean_scores, tau)
    faulted = []
    for fault in case.faults:
        broken = faulted_copy(model, fault)
        S, Z, scores = _score(monitor, broken, split.X_test, case.s)
        outcome = Outcome(fault.name, fault.target, fault.description,
                          float((Z.argmax(axis=1) == split.y_test).mean()), scores, tau,
                          rows_hit=changed_rows(model, broken))
        alarmed = ~(scores <= tau)
        outcome.blamed = blame(monitor, S[alarmed], Z[alarmed])
        faulted.append(outcome)
    rate_note = "" if rate == config.false_alarm_rate else \
        f" (the {len(split.y_calib)} calibration rows resolve no less than {rate:.1%})"
    confidence_note = "" if config.confidence is None else f" with confidence {config.confidence:.0%}"
    phase("scoring", started, f"tau = {tau:.2f} calibrated for {rate:.1%} false alarms{confidence_note}{rate_note}; "
          f"test rows scored through the clean model and {len(faulted)} faulted copies")

    started = time.perf_counter()
    rng = np.random.default_rng(config.seed)
    # The alarm counts with the calibration's own law, so that a small
    # calibration set does not make it fire on clean streams.
    alarm = watch.WindowAlarm.from_calibration(monitor.calibration, window=config.window,
                                               significance=config.significance)
    for outcome in faulted:
        outcome.delays = alarm_delays(alarm, clean_scores, outcome.scores, streams=config.streams,
                                      length=config.stream_length, warmup=config.window, rng=rng)
    fire_rate = clean_fire_rate(alarm, clean_scores, streams=config.streams,
                                length=config.window + config.stream_length, rng=rng)
    shown = next((outcome for outcome in faulted if outcome.name == case.shown_fault), faulted[0])
    example = example_stream(alarm, clean_scores, shown.scores, before=3 * config.window,
                             after=3 * config.window, rng=rng)
    phase("streams", started, f"window alarm run over {config.streams} streams per fault and "
          f"{config.streams} clean streams")

    started = time.perf_counter()
    monitor_path = output_dir / f"monitor-{case.key}.json"
    watch.save(monitor, monitor_path, layers=(case.s, "output"))
    # The classifier's weights beside its monitor, for examples/serve.py.
    torch.save(model.state_dict(), output_dir / f"classifier-{case.key}.pt")
    reloaded = watch.load(monitor_path)
    difference = relative_difference(reloaded.score_batch(S_clean, Z_clean), clean_scores)
    same = "identical scores" if difference == 0.0 else f"same scores up to a relative {difference:.1e}"
    if reloaded.tau != tau:
        same += f", but tau changed from {tau!r} to {reloaded.tau!r}"
    if reloaded.calibration != monitor.calibration:
        same += ", but the calibration record changed"
    phase("persistence", started, f"monitor saved to {monitor_path} and reloaded: {same}")

    coverage = None
    if config.coverage:
        started = time.perf_counter()
        coverage = run_coverage(case, config, model, split, rate)
        phase("coverage", started, f"coverage {' -> '.join(coverage.coverage.layers)} fitted in "
              f"{coverage.fit_seconds:.1f} s; test rows checked through the clean model and the faulted copies "
              f"in {coverage.check_seconds:.1f} s")

    rows = {"train": len(split.y_train), "calib": len(split.y_calib), "test": len(split.y_test), "fit": len(S_fit)}
    return CaseResult(case, rows, rate, config.confidence, tau, monitor, clean, fire_rate, faulted, example,
                      shown.name, difference, reloaded.tau, monitor_path, timings, coverage)


def coverage_candidates(epochs: int | None) -> list[dict] | None:
    """tune's candidates with their epochs capped at `epochs` (None: as they are)."""
    if epochs is None:
        return None
    return [dict(candidate, epochs=min(candidate.get("epochs", 120), epochs)) for candidate in watch.TUNE_CANDIDATES]


def run_coverage(case: ModelCase, config: DemoConfig, model: nn.Module, split: Split, rate: float) -> CoverageResult:
    """Covers the clean model from its input to its output: fitted on the
    training rows and their jittered copies, family-wise threshold set on
    the calibration rows at the monitor's rate; then the test rows go through
    the clean model and every faulted copy."""
    started = time.perf_counter()
    fitting = jittered(split.X_train, config.coverage_jitter_copies, config.jitter_std, config.seed)
    coverage = watch.cover(model, fitting,
                           list(case.coverage_layers), false_alarm_rate=rate, random_state=config.seed,
                           held_out=split.X_calib, candidates=coverage_candidates(config.coverage_epochs))
    fit_seconds = time.perf_counter() - started
    started = time.perf_counter()
    with np.errstate(over="ignore", invalid="ignore"):  # broken models overflow; such inputs alarm
        report = coverage.check(model, split.X_test)
        clean = CoverageOutcome("none (clean model)", report.alarms, report.blamed_index)
        faulted = []
        for fault in case.faults:
            report = coverage.check(faulted_copy(model, fault), split.X_test)
            faulted.append(CoverageOutcome(fault.name, report.alarms, report.blamed_index, case.faulted_link(fault)))
    return CoverageResult(coverage, clean, faulted, fit_seconds, time.perf_counter() - started)


def run_scenario(config: DemoConfig, output_dir: Path, cases: list[ModelCase] | None = None,
                 progress: Callable[[str], None] = print) -> DemoResult:
    """Runs every case, writing a monitor file per case and the two figures
    (scores.png, stream.png) into `output_dir`, and reports each phase with
    its duration to `progress`.

    PyTorch runs with one intra-op thread meanwhile (restored afterwards): the
    models are so small that more threads only add overhead, and on a busy
    machine they slow training down several times over."""
    from report import plot_scores, plot_streams  # matplotlib is loaded only when a scenario runs

    output_dir = Path(output_dir)
    output_dir.mkdir(parents=True, exist_ok=True)
    cases = default_cases() if cases is None else cases
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    try:
        results = [run_case(case, config, output_dir, progress) for case in cases]
    finally:
        torch.set_num_threads(threads)
    started = time.perf_counter()
    scores_plot = plot_scores(results, output_dir / "scores.png")
    stream_plot = plot_streams(results, config, output_dir / "stream.png")
    timings = {"figures": time.perf_counter() - started}
    progress(f"figures saved to {scores_plot} and {stream_plot} ({timings['figures']:.1f} s)")
    return DemoResult(config, results, scores_plot, stream_plot, timings)
