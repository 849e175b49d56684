"""Detection quality: how often the conditional monitor catches weight faults
at a 1% false-alarm rate, against the detectors a user could run instead.

    .venv/bin/python benchmarks/detection.py            # 2 data sets x 2 model shapes, 2.5-6 minutes
    .venv/bin/python benchmarks/detection.py --quick    # one model shape, 40 epochs, about 30 s
    .venv/bin/pip install '.[bench]'                    # adds the outlier-detection library's detectors

`--seed N` changes the data split, the classifiers and the faults;
`--no-tune` leaves `watch.tune` out, `--no-coverage` `watch.cover`;
`--ranking` also scores each of tune's
candidates on the real faults and gives the rank correlation between its
criterion and those rates.

For each data set (scikit-learn's bundled digits and breast cancer) and model
shape, a classifier is trained on the fit split; S (its first hidden layer
before the ReLU) and Z (its logits) are captured for three disjoint splits of
the data, each its inputs plus jittered copies of them. Every detector is
fitted on the same fit rows, its threshold set on the same calibration rows
(the conformal rule of `watch.calibrate`: at most 1% of them above it), and
its rates measured on the test rows, passed through the clean model and
through a copy with each fault injected.

"per input" is the share of faulted test rows above the threshold (a
non-finite score counts as above), with a 95% Wilson interval over the rows;
it varies from seed to seed far more than the interval says, since the fault
itself (which weights, which unit) changes with the seed. "windows" is the
share of windows of 50 consecutive rows (shuffled) in which a fresh
`watch.WindowAlarm` fires. `watch.tune` chooses its settings with the clean
calibration rows as its held-out rows (never the test rows or the faults)
and keeps the threshold it set on the part of them that fitted nothing;
the goal lines compare it with the best baseline for each fault. Fit
and score times are wall-clock seconds, with PyTorch on one thread.

The coverage row (`watch.cover` over every layer from the input to the
logits, one tuned monitor per link) is fitted on the fit inputs, its
family-wise threshold set on the calibration inputs at the same rate; its
"per input" is the share of test inputs that alarm on any link, and "blamed
right" the share of those alarms that blame the faulted layer's link. Its
costs are set against one forward pass plus each link's scoring (checking)
and the sum of its links' tune fits (fitting).

The table is printed and the per-input rates are drawn into
benchmarks/output/detection.png (`--output` to change it).

`--architectures` measures instead the four models of architectures.py (a
BatchNorm ResNet, a transformer encoder, stacked LSTMs, a regression MLP),
each trained here: `watch.cover` over every layer from the input to the
output against one `watch.tune` monitor (S the first layer, Z the output),
both with the same candidates and the same calibration inputs at 1%. Per
fault: the share of test inputs each flags, the share of the coverage's
alarms that blame the faulted layer's link, and the share of alarms whose
smallest p-value several links shared; CPU seconds to train the model, to
cover it and to tune the single monitor. `--names` picks architectures;
`--inside` watches the transformer's encoder layers from the inside
(attention, feed-forward linears and norms: architectures.TRANSFORMER_INSIDE)
instead of whole encoder layers.
"""

from __future__ import annotations

import argparse
import math
import platform
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

import numpy as np
import torch
from scipy.stats import binomtest
from sklearn.covariance import LedoitWolf
from sklearn.linear_model import LinearRegression

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import architectures  # noqa: E402
import detection_models as dm  # noqa: E402
from tarvex.core import resmon, watch  # noqa: E402
from tarvex.core.watch.coverage import DEFAULT_MAX_WIDTH  # noqa: E402

RATE = 0.01
WINDOW = 50
TUNED = "monitor, watch.tune"
COVERED = "coverage, watch.cover"


# --- detectors ---------------------------------------------------------------------


class Detector:
    """Fitted on clean (S, Z) rows; `score` gives one float per row, higher is
    more surprising. `held_out` is the clean calibration split, which only
    `watch.tune` reads (to choose its settings, never its weights)."""

    name = "?"

    def fit(self, S: np.ndarray, Z: np.ndarray, held_out: tuple[np.ndarray, np.ndarray]) -> None:
        raise NotImplementedError

    def score(self, S: np.ndarray, Z: np.ndarray) -> np.ndarray:
        raise NotImplementedError


class _Mahalanobis:
    """Squared Mahalanobis length under the Ledoit-Wolf covariance of the rows
    it was fitted on."""

    def fit(self, R: np.ndarray) -> None:
        estimate = LedoitWolf().fit(R)
        self.mean = estimate.location_
        self.precision = np.linalg.inv(estimate.covariance_)

    def __call__(self, R: np.ndarray) -> np.ndarray:
        d = R - self.mean
        with np.errstate(over="ignore", invalid="ignore"):
            scores = np.einsum("ij,jk,ik->i", d, self.precision, d)
        return np.where(np.isfinite(scores), scores, np.inf)


class ZMahalanobis(Detector):
    name = "Mahalanobis on Z"

    def fit(self, S, Z, held_out):
        self.distance = _Mahalanobis()
        self.distance.fit(Z.astype(np.float64))

    def score(self, S, Z):
        return self.distance(Z.astype(np.float64))


class LinearResidual(Detector):
    """Least squares of Z on features of S; Mahalanobis on the residual."""

    def __init__(self, with_relu: bool) -> None:
        self.with_relu = with_relu
        self.name = "linear Z ~ [S, relu S]" if with_relu else "linear Z ~ S"

    def features(self, S: np.ndarray) -> np.ndarray:
        S = S.astype(np.float64)
        return np.hstack([S, np.maximum(S, 0.0)]) if self.with_relu else S

    def fit(self, S, Z, held_out):
        X = self.features(S)
        self.regression = LinearRegression().fit(X, Z.astype(np.float64))
        self.distance = _Mahalanobis()
        self.distance.fit(Z - self.regression.predict(X))

    def score(self, S, Z):
        with np.errstate(over="ignore", invalid="ignore"):
            return self.distance(Z.astype(np.float64) - self.regression.predict(self.features(S)))


class OutlierLibrary(Detector):
    """An unconditional detector of the outlier-detection library on [S, Z]
    (rows with non-finite values score inf: the library refuses them)."""

    def __init__(self, name: str, make: Callable[[], Any]) -> None:
        self.name, self.make = name, make

    def fit(self, S, Z, held_out):
        self.model = self.make()
        self.model.fit(np.hstack([S, Z]).astype(np.float64))

    def score(self, S, Z):
        X = np.hstack([S, Z]).astype(np.float64)
        finite = np.isfinite(X).all(axis=1)
        scores = np.full(len(X), np.inf)
        if finite.any():
            scores[finite] = self.model.decision_function(X[finite])
        return scores


def library_detectors(seed: int) -> list[Detector]:
    try:
        from pyod.models.ecod import ECOD
        from pyod.models.iforest import IForest
    except ImportError:
        return []
    return [OutlierLibrary("ECOD on [S, Z]", ECOD),
            OutlierLibrary("isolation forest on [S, Z]", lambda: IForest(random_state=seed))]


class Monitor(Detector):
    """The conditional monitor, built by `make(S, Z, held_out)` (a constructor
    and `fit`, or `watch.tune`)."""

    def __init__(self, name: str, make: Callable[..., Any]) -> None:
        self.name, self.make = name, make

    def fit(self, S, Z, held_out):
        self.monitor = self.make(S, Z, held_out)

    def score(self, S, Z):
        with np.errstate(over="ignore", invalid="ignore"):
            scores = self.monitor.score_batch(S, Z)
        return np.where(np.isfinite(scores), scores, np.inf)


def fitted_monitor(seed: int, epochs: int | None = None, **settings: Any) -> Callable[..., Any]:
    def make(S: np.ndarray, Z: np.ndarray, held_out: Any) -> Any:
        if epochs is not None:
            settings["epochs"] = epochs
        monitor = resmon.NeuralConditionalMonitor(random_state=seed, **settings)
        monitor.fit(S, Z)
        return monitor
    return make


class Tuned(Monitor):
    """`watch.tune`. With `ranking`, each candidate is tuned on its own and
    kept: the held-out split, the synthetic faults and the seeds are the same
    as in one call with every candidate, and a candidate's figures do not
    depend on the others, so the one with the highest criterion is what that
    call returns. The kept candidates are then scored on the real faults too,
    to see whether the criterion ranks them as the faults do."""

    def __init__(self, seed: int, candidates: list[dict[str, Any]] | None, ranking: bool) -> None:
        self.name, self.seed, self.ranking = TUNED, seed, ranking
        self.settings = list(candidates if candidates is not None else watch.TUNE_CANDIDATES)
        self.candidates: list[Any] = []

    def tune(self, S: np.ndarray, Z: np.ndarray, held_out: Any, candidates: list[dict[str, Any]]) -> Any:
        return watch.tune(S, Z, false_alarm_rate=RATE, candidates=candidates, random_state=self.seed,
                          held_out=held_out)

    def fit(self, S, Z, held_out):
        if not self.ranking:
            self.monitor = self.tune(S, Z, held_out, self.settings)
            return
        self.candidates = [self.tune(S, Z, held_out, [settings]) for settings in self.settings]
        reports = [m.tuning_report for m in self.candidates]
        first = reports[0]
        report = watch.TuningReport(
            settings=self.settings, faults=first.faults, detection=[r.detection[0] for r in reports],
            fit_seconds=[r.fit_seconds[0] for r in reports], chosen=-1, training_rows=first.training_rows,
            held_out_rows=first.held_out_rows, false_alarm_rate=RATE,
            covariance=[r.covariance[0] for r in reports], covariance_rows=first.covariance_rows)
        report.chosen = max(range(len(reports)), key=lambda i: (report.criterion[i], -i))
        self.monitor = self.candidates[report.chosen]
        self.monitor.tuning_report = report


def detectors(seed: int, quick: bool, with_tune: bool, ranking: bool = False) -> list[Detector]:
    epochs = 40 if quick else None
    found: list[Detector] = [
        ZMahalanobis(), LinearResidual(False), LinearResidual(True), *library_detectors(seed),
        Monitor("monitor, default settings", fitted_monitor(seed, epochs)),
        Monitor("monitor, demo settings", fitted_monitor(seed, epochs, hidden=(64, 64), dropout=0.0)),
    ]
    if with_tune:
        candidates = None
        if quick:
            candidates = [dict(c, epochs=min(c.get("epochs", 120), 40)) for c in watch.TUNE_CANDIDATES]
        found.append(Tuned(seed, candidates, ranking))
    return found


# --- measurement -------------------------------------------------------------------


def conformal_threshold(scores: np.ndarray, rate: float) -> float:
    """The rule of `watch.calibrate`: the smallest score with at most
    floor(rate * n) calibration scores strictly above it."""
    n = len(scores)
    allowed = math.floor(rate * n)
    return float(np.partition(scores, n - 1 - allowed)[n - 1 - allowed])


def wilson(k: int, n: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval (95% by default) for k successes in n trials;
    (0, 1) without trials."""
    if n == 0:
        return (0.0, 1.0)
    interval = binomtest(k, n).proportion_ci(confidence_level=confidence, method="wilson")
    return float(interval.low), float(interval.high)


def windows_fired(scores: np.ndarray, tau: float, order: np.ndarray) -> float:
    """Share of consecutive windows of WINDOW rows (in `order`) in which a
    fresh WindowAlarm fires."""
    shuffled = scores[order]
    count = len(shuffled) // WINDOW
    fired = 0
    for i in range(count):
        alarm = watch.WindowAlarm(tau=tau, false_alarm_rate=RATE, window=WINDOW)
        fired += alarm.update(shuffled[i * WINDOW:(i + 1) * WINDOW])
    return fired / count


@dataclass
class Rate:
    above: int
    rows: int
    windows: float

    @property
    def share(self) -> float:
        return self.above / self.rows

    @property
    def interval(self) -> tuple[float, float]:
        return wilson(self.above, self.rows)


@dataclass
class Case:
    dataset: str
    shape: str
    seed: int
    accuracy: float
    fault_names: list[str]
    after_s: list[bool]
    fault_accuracy: list[float]
    rows: dict[str, int]
    # detector name -> [clean test rate, then one per fault]
    rates: dict[str, list[Rate]] = field(default_factory=dict)
    fit_seconds: dict[str, float] = field(default_factory=dict)
    score_seconds: dict[str, float] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)
    # coverage: per fault, the share of alarms blaming the faulted link (None
    # without alarms), and its costs against their bounds
    blamed_right: list[float | None] = field(default_factory=list)
    fault_links: list[str] = field(default_factory=list)
    coverage_costs: dict[str, float] = field(default_factory=dict)
    # with --ranking: (settings, covariance, criterion, per-input rate of each fault after S) per candidate
    ranking: list[tuple[str, str, float, list[float]]] = field(default_factory=list)


def capture(model: torch.nn.Module, X: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    with warnings.catch_warnings(), np.errstate(over="ignore", invalid="ignore"):
        warnings.simplefilter("ignore")  # overflowing logits of the exponent flips
        return watch.capture(model, X, dm.S_LAYER, "output", batch_size=4096)


def run_case(dataset: str, shape: str, seed: int, quick: bool, with_tune: bool,
             log: Callable[[str], None], with_coverage: bool = True, ranking: bool = False) -> Case:
    splits = dm.load_splits(dataset, seed)
    model = dm.train_classifier(splits.fit, splits.fit_labels, dm.SHAPES[shape], splits.n_classes, seed)
    fault_list = dm.faults(model, seed)
    broken = [fault.applied_to(model) for fault in fault_list]
    S_fit, Z_fit = capture(model, splits.fit)
    S_cal, Z_cal = capture(model, splits.calibration)
    tests = [capture(m, splits.test) for m in [model] + broken]
    order = np.random.default_rng(seed).permutation(len(splits.test))
    case = Case(dataset, shape, seed, dm.accuracy(model, splits.test, splits.test_labels),
                [f.name for f in fault_list], [f.after_s for f in fault_list],
                [dm.accuracy(m, splits.test, splits.test_labels) for m in broken],
                dict(fit=len(S_fit), calibration=len(S_cal), test=len(splits.test)))
    for detector in detectors(seed, quick, with_tune, ranking):
        started = time.perf_counter()
        detector.fit(S_fit, Z_fit, (S_cal, Z_cal))
        case.fit_seconds[detector.name] = time.perf_counter() - started
        tau = conformal_threshold(detector.score(S_cal, Z_cal), RATE)
        if isinstance(detector, Tuned):  # calibrated by tune on held-out rows it fitted nothing to
            tau = detector.monitor.tau
        elif isinstance(detector, Monitor):  # the same rule, through the toolkit
            tau = watch.calibrate(detector.monitor, S_cal, Z_cal, false_alarm_rate=RATE)
        started = time.perf_counter()
        all_scores = [detector.score(S, Z) for S, Z in tests]
        case.score_seconds[detector.name] = time.perf_counter() - started
        case.rates[detector.name] = [
            Rate(int(np.count_nonzero(~(scores <= tau))), len(scores), windows_fired(scores, tau, order))
            for scores in all_scores]
        report = getattr(getattr(detector, "monitor", None), "tuning_report", None)
        if report is not None:
            case.notes.append(str(report))
        if isinstance(detector, Tuned) and detector.candidates:
            case.ranking = [(repr(settings) if settings else "(defaults)", report.covariance[i],
                             report.criterion[i], rates_after_s(candidate, tests, case.after_s))
                            for i, (settings, candidate) in enumerate(zip(detector.settings, detector.candidates))]
        log(f"  {detector.name:<28} fit {case.fit_seconds[detector.name]:6.1f} s")
    if with_coverage:
        run_coverage(case, model, broken, fault_list, splits, seed, quick, order)
        log(f"  {COVERED:<28} fit {case.fit_seconds[COVERED]:6.1f} s")
    return case


def coverage_layers(model: dm.Classifier) -> list[str]:
    """Every layer from the input to the logits (the output layer `out`)."""
    return ["input"] + [f"hidden.{i}" for i in range(len(model.hidden))] + ["out"]


def faulted_layer(fault: dm.Fault) -> str:
    """The module a fault changes: "hidden.1.weight" and "hidden.1[3]" -> "hidden.1"."""
    where = fault.where.split("[")[0]
    return where.rsplit(".", 1)[0] if where.endswith((".weight", ".bias")) else where


def run_coverage(case: Case, model: torch.nn.Module, broken: list[torch.nn.Module], fault_list: list[dm.Fault],
                 splits: dm.Splits, seed: int, quick: bool, order: np.ndarray) -> None:
    """Covers the clean model, checks the test inputs through it and every
    faulted copy, and measures what the coverage costs against its bounds."""
    layers = coverage_layers(model)
    candidates = None
    if quick:
        candidates = [dict(c, epochs=min(c.get("epochs", 120), 40)) for c in watch.TUNE_CANDIDATES]
    started = time.perf_counter()
    coverage = watch.cover(model, splits.fit, layers, false_alarm_rate=RATE, random_state=seed,
                           held_out=splits.calibration, candidates=candidates, batch_size=4096)
    case.fit_seconds[COVERED] = time.perf_counter() - started
    links = [faulted_layer(fault) for fault in fault_list]
    case.fault_links = [" -> ".join(coverage.links[layers.index(layer) - 1]) for layer in links]
    reports = []
    started = time.perf_counter()
    with warnings.catch_warnings(), np.errstate(over="ignore", invalid="ignore"):
        warnings.simplefilter("ignore")
        for m in [model] + broken:
            reports.append(coverage.check(m, splits.test, batch_size=4096))
    case.score_seconds[COVERED] = time.perf_counter() - started
    case.rates[COVERED] = [
        Rate(int(report.alarms.sum()), len(report.alarms), windows_fired(report.alarms.astype(np.float64), 0.5, order))
        for report in reports]
    for report, layer in zip(reports[1:], links):
        blamed = report.blamed_index[report.alarms]
        case.blamed_right.append(float(np.mean(blamed == layers.index(layer) - 1)) if len(blamed) else None)
    case.coverage_costs = coverage_costs(coverage, model, splits.test)
    case.coverage_costs["fit"] = case.fit_seconds[COVERED]
    case.notes.append(f"coverage {' -> '.join(layers)}: p-value threshold {coverage.p_threshold:.2g} on "
                      f"{coverage.calibration_rows} calibration inputs; tune chose candidates "
                      f"{[None if m is None else m.tuning_report.chosen for m in coverage.monitors]} "
                      f"(None: checked exactly, no monitor)")


def coverage_costs(coverage: watch.Coverage, model: torch.nn.Module, X: np.ndarray) -> dict[str, float]:
    """Seconds to check `X` against one forward pass plus each link's
    scoring of its captured rows, and the sum of the links' tune fits."""
    started = time.perf_counter()
    coverage.check(model, X, batch_size=4096)
    check = time.perf_counter() - started
    started = time.perf_counter()
    with torch.no_grad():
        model(torch.from_numpy(X))
    forward = time.perf_counter() - started
    scoring = 0.0
    for (s, z), monitor in zip(coverage.links, coverage.monitors):
        if monitor is None:  # checked by its checksum alone
            continue
        if s == "input":  # capture reads submodules and the output only
            S, Z = X, watch.capture(model, X, z, z, batch_size=4096)[0]
        else:
            S, Z = watch.capture(model, X, s, z, batch_size=4096)
        started = time.perf_counter()
        monitor.score_batch(S, Z)
        scoring += time.perf_counter() - started
    return {"check": check, "forward": forward, "scoring": scoring,
            "tune fits": sum(sum(m.tuning_report.fit_seconds) for m in coverage.monitors if m is not None)}


def rates_after_s(monitor: Any, tests: list[tuple[np.ndarray, np.ndarray]], after_s: list[bool]) -> list[float]:
    """Per-input rate of each fault after S at the monitor's own `tau`."""
    rates = []
    for (S, Z), after in zip(tests[1:], after_s):
        if after:
            with np.errstate(over="ignore", invalid="ignore"):
                rates.append(float(np.mean(~(monitor.score_batch(S, Z) <= monitor.tau))))
    return rates


# --- output ------------------------------------------------------------------------


def percent(share: float) -> str:
    return f"{100 * share:.1f}"


def goal_lines(case: Case) -> list[str]:
    """Per fault after S: is the tuned monitor's per-input rate at least the
    best baseline's (or that rate inside the tuned monitor's 95% interval),
    and does its window alarm fire in every window?"""
    if TUNED not in case.rates:
        return []
    baselines = [name for name in case.rates if not name.startswith("monitor") and name != COVERED]
    lines = []
    for j, (fault, after) in enumerate(zip(case.fault_names, case.after_s)):
        if not after:
            continue
        tuned = case.rates[TUNED][j + 1]
        best = max(baselines, key=lambda name: case.rates[name][j + 1].share)
        best_share = case.rates[best][j + 1].share
        per_input = tuned.share >= best_share or tuned.interval[1] >= best_share
        lines.append(f"  {fault:<22} per input {'met' if per_input else 'NOT met':<8} "
                     f"({percent(tuned.share)}% vs {percent(best_share)}%, {best}); "
                     f"windows {'all fire' if tuned.windows == 1.0 else f'{percent(tuned.windows)}% fire'}")
    return lines


def coverage_goal_lines(case: Case) -> list[str]:
    rates = case.rates[COVERED]
    clean = rates[0]
    lines = [f"  clean: {percent(clean.share)}% [{percent(clean.interval[0])}-{percent(clean.interval[1])}] "
             f"against the family-wise target {percent(RATE)}%"]
    for j, (fault, after) in enumerate(zip(case.fault_names, case.after_s)):
        rate = rates[j + 1]
        cost = 100 * (case.accuracy - case.fault_accuracy[j])
        right = case.blamed_right[j]
        blame = "no alarms" if right is None else f"blamed right {percent(right)}% " + \
            ("met" if right >= 0.8 else "NOT met")
        if after and TUNED in case.rates:
            tuned = case.rates[TUNED][j + 1].share
            verdict = f"vs tuned {percent(tuned)}%: " + ("met" if rate.share >= tuned - 0.05 else "NOT met")
        elif after:
            verdict = ""
        elif cost < 0.5:
            verdict = f"costs {cost:.1f} accuracy points (< 0.5: no goal)"
        else:
            verdict = f"costs {cost:.1f} points: " + ("met" if rate.share >= 0.5 else "NOT met")
        lines.append(f"  {fault:<22} {percent(rate.share):>5}% [{percent(rate.interval[0])}-"
                     f"{percent(rate.interval[1])}] on {case.fault_links[j]}; {verdict}; {blame}")
    costs = case.coverage_costs
    lines.append(f"  cost: check {costs['check']:.2f} s against forward {costs['forward']:.2f} s + link scoring "
                 f"{costs['scoring']:.2f} s; fit {costs['fit']:.1f} s against the links' tune fits "
                 f"{costs['tune fits']:.1f} s")
    return lines


def format_case(case: Case) -> str:
    names = list(case.rates)
    lines = [f"{case.dataset}, model {case.shape}, seed {case.seed}: clean accuracy {case.accuracy:.1%}; "
             f"rows fit {case.rows['fit']}, calibration {case.rows['calibration']}, test {case.rows['test']}",
             "accuracy with each fault: " + ", ".join(
                 f"{n} {a:.1%}" for n, a in zip(case.fault_names, case.fault_accuracy))]
    header = f"{'detector':<28} {'clean':>5} " + " ".join(f"{n[:20]:>20}" for n in case.fault_names)
    lines += ["", "per input: % of test rows above the threshold [95% interval]; clean: false alarms",
              header, "-" * len(header)]
    for name in names:
        cells = [f"{percent(case.rates[name][0].share):>5}"]
        for rate in case.rates[name][1:]:
            low, high = rate.interval
            cells.append(f"{percent(rate.share):>5} [{percent(low):>4}-{percent(high):>5}]")
        lines.append(f"{name:<28} " + " ".join(f"{c:>20}" if i else c for i, c in enumerate(cells)))
    lines += ["", f"windows: % of windows of {WINDOW} rows in which WindowAlarm fires; seconds to fit, "
              f"and to score {len(case.rates[names[0]])} x {case.rows['test']} rows",
              header + f" {'fit s':>7} {'score s':>7}", "-" * (len(header) + 16)]
    for name in names:
        cells = [f"{percent(r.windows):>5}" for r in case.rates[name]]
        lines.append(f"{name:<28} {cells[0]} " + " ".join(f"{c:>20}" for c in cells[1:]) +
                     f" {case.fit_seconds[name]:7.1f} {case.score_seconds[name]:7.2f}")
    goal = goal_lines(case)
    if goal:
        lines += ["", "goal, faults after S (tuned monitor against the best baseline):"] + goal
    if COVERED in case.rates:
        lines += ["", "coverage goals: S-layer faults costing >= 0.5 accuracy points flagged on >= 50% of inputs; "
                  "faults after S within 5 points of the tuned monitor; blame right on >= 80% of alarms"]
        lines += coverage_goal_lines(case)
    lines += [""] + case.notes + ranking_lines(case)
    return "\n".join(lines)


def ranking_lines(case: Case) -> list[str]:
    """Each candidate's criterion beside its mean per-input rate over the
    faults after S, and Spearman's rank correlation between the two."""
    if not case.ranking:
        return []
    from scipy.stats import spearmanr

    faults = [name for name, after in zip(case.fault_names, case.after_s) if after]
    lines = ["", "candidates: criterion against the real faults after S (% of inputs above each one's tau)",
             f"{'#':>2} {'cov':>8} {'criterion':>9} {'faults':>6}  " + " ".join(f"{n[:9]:>9}" for n in faults)
             + "  settings"]
    for i, (settings, covariance, criterion, rates) in enumerate(case.ranking):
        lines.append(f"{i:>2} {covariance:>8} {percent(criterion):>9} {percent(float(np.mean(rates))):>6}  "
                     + " ".join(f"{percent(r):>9}" for r in rates) + f"  {settings}")
    if len(case.ranking) > 2:
        rho = spearmanr([c for _, _, c, _ in case.ranking], [np.mean(r) for _, _, _, r in case.ranking])[0]
        lines.append(f"Spearman rank correlation, criterion against the real faults: {rho:+.2f}")
    return lines


def plot(cases: list[Case], path: Path) -> Path:
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(len(cases), 1, figsize=(12, 3.2 * len(cases) + 0.5), squeeze=False)
    for ax, case in zip(axes[:, 0], cases):
        names = list(case.rates)
        width = 0.8 / len(names)
        x = np.arange(len(case.fault_names))
        for i, name in enumerate(names):
            rates = case.rates[name][1:]
            share = np.array([r.share for r in rates]) * 100
            # clipped: at 0% or 100% the interval's bound can sit a rounding error past the rate
            low = np.maximum(share - np.array([r.interval[0] for r in rates]) * 100, 0.0)
            high = np.maximum(np.array([r.interval[1] for r in rates]) * 100 - share, 0.0)
            ax.bar(x + (i - (len(names) - 1) / 2) * width, share, width, yerr=[low, high], capsize=1.5,
                   label=name, color=plt.cm.tab10(i % 10))
        ax.axhline(100 * RATE, color="black", linewidth=0.6, linestyle=":")
        ax.set_xticks(x, case.fault_names, fontsize=8)
        ax.set_ylim(0, 102)
        ax.set_ylabel("% of inputs above tau")
        ax.set_title(f"{case.dataset}, model {case.shape} (seed {case.seed}), thresholds at {RATE:.0%} "
                     "false alarms", fontsize=9)
    handles, labels = axes[0, 0].get_legend_handles_labels()
    fig.legend(handles, labels, fontsize=8, ncol=4, loc="upper center")
    fig.tight_layout(rect=(0, 0, 1, 1 - 0.5 / (3.2 * len(cases) + 0.5)))
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


# --- the four architectures ------------------------------------------------------------

# The candidates of both detectors on the architectures: a network without
# engineered columns and the least-squares linear model (one epoch: its
# gradient-descent fit is replaced anyway).
ARCHITECTURE_CANDIDATES = [
    {"hidden": (128, 128), "dropout": 0.0, "lr": 3e-3, "epochs": 60, "include_square": False,
     "include_logabs": False, "include_interactions": False},
    {"hidden": (), "epochs": 1, "include_interactions": False},
]


@dataclass
class ArchitectureCase:
    name: str
    quality: float
    faults: list[str]
    after_s: list[bool]
    fault_quality: list[float]
    layers: list[str]
    token_links: list[bool]
    # [clean, then one per fault]
    covered: list[Rate] = field(default_factory=list)
    single: list[Rate] = field(default_factory=list)
    blamed_right: list[float | None] = field(default_factory=list)
    tied: list[float | None] = field(default_factory=list)
    seconds: dict[str, float] = field(default_factory=dict)
    exact: list[int] = field(default_factory=list)  # links with an exact check


# Per architecture, where they differ from the above: the coverage's and
# the single monitor's candidates ("cover", "tune"), the coverage's
# `max_width` and `early_stopping` ("cover_early_stopping"). On the LSTM's
# token links the network's short run only ties the linear model (45.3%
# against 45.4% of the synthetic faults on lstm1[0] -> lstm2[0]), yet the
# fully trained network catches twice the lstm2 sign flips: its coverage
# trains every network in full. Every link of the regressor is a Linear
# after a ReLU, which `cover`'s default candidates fit by least squares. Its
# single monitor (fc1 -> output, three layers apart) is fitted by least
# squares on 1,024 random ReLU features: over 10 seeds it flagged each fault
# at least as often as the (128, 128) network at 1% of clean inputs, in a
# fifteenth of the network's time (benchmarks/candidates.py).
REGRESSOR_SINGLE = [{"hidden": (1024,), "solver": "least-squares", "include_square": False,
                     "include_logabs": False, "include_interactions": False},
                    {"hidden": (), "epochs": 1, "include_interactions": False}]
ARCHITECTURE_SETTINGS: dict[str, dict[str, Any]] = {"lstm": {"cover_early_stopping": False},
                                                    "regressor": {"cover": list(watch.TUNE_CANDIDATES),
                                                                  "tune": REGRESSOR_SINGLE}}


def run_architecture(name: str, seed: int, quick: bool, progress: bool = False,
                     inside: bool = False) -> ArchitectureCase:
    settings = ARCHITECTURE_SETTINGS.get(name, {})
    candidates = settings.get("cover", ARCHITECTURE_CANDIDATES)
    single_candidates = settings.get("tune", ARCHITECTURE_CANDIDATES)
    if quick:
        candidates, single_candidates = ([dict(c, epochs=min(c.get("epochs", 120), 20)) for c in chosen]
                                         for chosen in (candidates, single_candidates))
    arch = architectures.build(name, seed, "bench", inside=inside and name == "transformer")
    broken = [fault.applied_to(arch.model) for fault in arch.faults]
    started = time.process_time()
    coverage = watch.cover(arch.model, arch.fit, arch.layers, false_alarm_rate=RATE, random_state=seed,
                           held_out=arch.calibration, candidates=candidates, progress=progress,
                           max_width=settings.get("max_width", DEFAULT_MAX_WIDTH),
                           early_stopping=settings.get("cover_early_stopping", True))
    cover_seconds = time.process_time() - started
    S, Z = watch.capture(arch.model, arch.fit, arch.s, arch.z)
    held_out = watch.capture(arch.model, arch.calibration, arch.s, arch.z)
    started = time.process_time()
    single = watch.tune(S, Z, false_alarm_rate=RATE, candidates=single_candidates, random_state=seed,
                        held_out=held_out, progress=progress)
    tune_seconds = time.process_time() - started
    case = ArchitectureCase(name, arch.quality(), [f.name for f in arch.faults], [f.after_s for f in arch.faults],
                            [arch.quality(m) for m in broken], arch.layers, coverage.token_links,
                            seconds={"train": arch.train_seconds, "cover": cover_seconds, "tune": tune_seconds},
                            exact=coverage.guards.checked_links if coverage.guards is not None else [])
    order = np.random.default_rng(seed).permutation(len(arch.test))
    for index, model in enumerate([arch.model] + broken):
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            report = coverage.check(model, arch.test)
            scores = single.score_batch(*watch.capture(model, arch.test, arch.s, arch.z))
        alarms = report.alarms
        case.covered.append(Rate(int(alarms.sum()), len(alarms),
                                 windows_fired(alarms.astype(np.float64), 0.5, order)))
        above = ~(scores <= single.tau)
        case.single.append(Rate(int(above.sum()), len(above), windows_fired(scores, single.tau, order)))
        if index:
            link = arch.layers.index(arch.faults[index - 1].layer) - 1
            blamed = report.blamed_index[alarms]
            case.blamed_right.append(float(np.mean(blamed == link)) if len(blamed) else None)
            case.tied.append(float(np.mean(report.ties[alarms] > 1)) if len(blamed) else None)
    return case


def format_architecture(case: ArchitectureCase) -> str:
    quality = "R^2" if case.name == "regressor" else "accuracy"
    links = ", ".join(("tokens " if token else "") + f"{s} -> {z}"
                      for token, s, z in zip(case.token_links, case.layers[:-1], case.layers[1:]))
    lines = [f"{case.name}: clean {quality} {case.quality:.3f}; links {links}",
             f"CPU seconds: train {case.seconds['train']:.1f}, cover {case.seconds['cover']:.1f}, "
             f"tune (single monitor) {case.seconds['tune']:.1f}; links with an exact check {case.exact}",
             f"{'fault':<30} {quality:>8} {'cover %':>7} {'single %':>8} {'blamed right %':>14} {'tied %':>6}",
             f"{'(clean)':<30} {case.quality:8.3f} {percent(case.covered[0].share):>7} "
             f"{percent(case.single[0].share):>8}"]
    for j, fault in enumerate(case.faults):
        right, tied = case.blamed_right[j], case.tied[j]
        lines.append(f"{fault:<30} {case.fault_quality[j]:8.3f} {percent(case.covered[j + 1].share):>7} "
                     f"{percent(case.single[j + 1].share):>8} "
                     f"{'-' if right is None else percent(right):>14} {'-' if tied is None else percent(tied):>6}")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="one model shape, monitors trained for 40 epochs")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--datasets", nargs="+", default=list(dm.DATASETS), choices=list(dm.DATASETS))
    parser.add_argument("--shapes", nargs="+", default=None, choices=list(dm.SHAPES))
    parser.add_argument("--no-tune", action="store_true", help="leave watch.tune out")
    parser.add_argument("--no-coverage", action="store_true", help="leave watch.cover out")
    parser.add_argument("--ranking", action="store_true",
                        help="also score every tune candidate on the real faults and rank-correlate its criterion")
    parser.add_argument("--output", type=Path, default=HERE / "output" / "detection.png")
    parser.add_argument("--architectures", action="store_true",
                        help="measure cover against one monitor on the four architectures instead")
    parser.add_argument("--names", nargs="+", default=list(architectures.NAMES), choices=list(architectures.NAMES))
    parser.add_argument("--progress", action="store_true", help="with --architectures: progress bars of cover and tune")
    parser.add_argument("--inside", action="store_true",
                        help="with --architectures: watch the transformer's encoder layers from the inside")
    args = parser.parse_args(argv)
    if args.architectures:
        torch.set_num_threads(1)
        print(f"Python {platform.python_version()}, PyTorch {torch.__version__}, {platform.machine()}; "
              f"false-alarm rate {RATE:.0%}")
        for name in args.names:
            print("\n" + format_architecture(run_architecture(name, args.seed, args.quick, args.progress, args.inside)),
                  flush=True)
        return 0
    shapes = args.shapes or (list(dm.SHAPES)[:1] if args.quick else list(dm.SHAPES))
    torch.set_num_threads(1)
    print(f"Python {platform.python_version()}, PyTorch {torch.__version__}, {platform.machine()}; "
          f"false-alarm rate {RATE:.0%}, window {WINDOW}")
    if not library_detectors(args.seed):
        print("note: the outlier-detection library (pyod) is not installed; its detectors are left out "
              "(pip install '.[bench]')")
    cases = []
    started = time.perf_counter()
    for dataset in args.datasets:
        for shape in shapes:
            print(f"{dataset}, model {shape}:", flush=True)
            cases.append(run_case(dataset, shape, args.seed, args.quick, not args.no_tune,
                                  lambda line: print(line, flush=True), not args.no_coverage, args.ranking))
    for case in cases:
        print("\n" + format_case(case))
    print(f"\nplot: {plot(cases, args.output)}; total {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
