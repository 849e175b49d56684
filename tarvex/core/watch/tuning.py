"""Choosing a monitor's settings: train each candidate, judge it by how
many synthetically faulted held-out rows it flags at the false-alarm rate,
and return the winner calibrated, with the table of what was measured."""

from __future__ import annotations

import logging
import math
import numbers
import time
from typing import Any, Iterable

import numpy as np

from tarvex.core import resmon

from ._arguments import _finite_matrix, _open_unit_interval, warn_if_engineered_width_large
from ._random_state import keeps_global_random_state
from .calibration import _conformal_tau, calibrate
from .chunked import _with_progress

_log = logging.getLogger(__name__)


_ENGINEER_FLAGS = ("include_square", "include_logabs", "include_interactions")
_PLAIN_S = dict.fromkeys(_ENGINEER_FLAGS, False)

# Settings `tune` tries when given none. Without dropout and on S as it is
# (standardised, without the engineered squares, logs and products) the
# network predicts Z more precisely for new inputs of small classifiers, and
# a learning rate of 3e-3 gets there within the default epochs; two layers
# suit deeper models, one wide layer few distinct training inputs. The last
# is the constructor's defaults, for S that determines Z only loosely. Equal
# figures go to the earlier candidate.
TUNE_CANDIDATES: tuple[dict[str, Any], ...] = (
    {"hidden": (64, 64), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {"hidden": (512,), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {},
)

# Synthetic faults: Z moved along a random direction per row, by these
# multiples of each Z column's spread, and Z paired with another row's S.
_SHIFTS = (0.01, 0.03, 0.1, 0.3, 1.0)
_MISMATCH = "mismatched S"


# Constructor settings a candidate may set besides `device` (a str, checked
# by the constructor), with the range of their values: (lower bound, lower
# bound allowed, upper bound not allowed). random_state is tune's own.
_SETTING_RANGES: dict[str, tuple[float, bool, float]] = {
    "hidden": (1, True, math.inf),  # every width
    "epochs": (1, True, math.inf),
    "batch_size": (1, True, math.inf),
    "lr": (0.0, False, math.inf),
    "weight_decay": (0.0, True, math.inf),
    "dropout": (0.0, True, 1.0),
    "tau_quantile": (0.0, False, 1.0),
    "patience": (1, True, math.inf),
}
_MONITOR_SETTINGS = (*_SETTING_RANGES, "device")


def _candidate_monitor(candidate: Any, index: int, random_state: int) -> Any:
    """A fresh monitor with the candidate's settings; refuses unknown keys,
    values of the wrong type and values out of range."""
    if not isinstance(candidate, dict):
        raise TypeError(f"candidate {index} must be a dict of settings, got {type(candidate).__name__}")
    settings = dict(candidate)
    flags = {name: settings.pop(name) for name in _ENGINEER_FLAGS if name in settings}
    unknown = sorted(set(settings) - set(_MONITOR_SETTINGS))
    if unknown:
        raise ValueError(f"candidate {index} has unknown settings {unknown}; known: "
                         f"{sorted(_MONITOR_SETTINGS) + list(_ENGINEER_FLAGS)}")
    for name, value in flags.items():
        if not isinstance(value, bool):
            raise TypeError(f"candidate {index}: {name} must be a bool, got {type(value).__name__}")
    try:
        monitor = resmon.NeuralConditionalMonitor(random_state=random_state, **settings)
    except (TypeError, ValueError) as error:
        raise type(error)(f"candidate {index}: {error}") from None
    for name, (low, inclusive, high) in _SETTING_RANGES.items():
        value = getattr(monitor, name)
        values = value if name == "hidden" else (value,)
        if not values or any(not (v >= low if inclusive else v > low) or not v < high for v in values):
            raise ValueError(f"candidate {index}: {name} = {value!r} is out of range")
    monitor.s_engineer = resmon.NeuralFeatureEngineer(**flags)
    return monitor


class TuningReport:
    """What `tune` measured: one row per candidate, in the order given.

    `settings[i]` is candidate i's dictionary, `fit_seconds[i]` its training
    time, `detection[i][j]` the share of held-out rows with synthetic fault
    `faults[j]` that score above the candidate's threshold at
    `false_alarm_rate` (set on the clean held-out rows as `calibrate` sets
    it), and `criterion[i]` the mean of those shares, which `tune` maximises;
    `chosen` is the winner's index (the first of equal ones). `str(report)`
    is a table.
    """

    def __init__(self, *, settings: list[dict[str, Any]], faults: list[str], detection: list[list[float]],
                 fit_seconds: list[float], chosen: int, training_rows: int, held_out_rows: int,
                 false_alarm_rate: float) -> None:
        self.settings = settings
        self.faults = faults
        self.detection = detection
        self.criterion = [float(np.mean(row)) if row else math.nan for row in detection]
        self.fit_seconds = fit_seconds
        self.chosen = chosen
        self.training_rows = training_rows
        self.held_out_rows = held_out_rows
        self.false_alarm_rate = false_alarm_rate

    def __str__(self) -> str:
        lines = [f"tune: {len(self.settings)} candidates trained on {self.training_rows} rows, judged on "
                 f"{self.held_out_rows} held-out rows at a false-alarm rate of {self.false_alarm_rate:g}; "
                 "% of rows with each synthetic fault above the threshold"]
        header = ["#", "fit s"] + self.faults + ["mean", "settings"]
        rows = []
        for i, settings in enumerate(self.settings):
            mark = "*" if i == self.chosen else ""
            rates = [f"{100 * rate:.1f}" for rate in self.detection[i]]
            rows.append([f"{i}{mark}", f"{self.fit_seconds[i]:.1f}", *rates,
                         f"{100 * self.criterion[i]:.1f}", repr(settings) if settings else "(defaults)"])
        widths = [max(len(header[k]), *(len(row[k]) for row in rows)) for k in range(len(header) - 1)]
        lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)) + "  " + header[-1])
        lines += ["  ".join(c.rjust(w) for c, w in zip(row, widths)) + "  " + row[-1] for row in rows]
        return "\n".join(lines)


def _synthetic_faults(S: np.ndarray, Z: np.ndarray, spread: np.ndarray,
                      rng: np.random.Generator) -> list[tuple[str, np.ndarray, np.ndarray]]:
    """(name, S, Z) of each synthetic fault, built from held-out clean rows."""
    n = len(S)
    directions = rng.standard_normal(Z.shape)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    faults = [(f"shift {level:g}", S, (Z + level * spread * directions).astype(np.float32)) for level in _SHIFTS]
    order = rng.permutation(n)
    partner = np.empty(n, dtype=np.intp)
    partner[order] = np.roll(order, 1)  # every row gets another row's S
    faults.append((_MISMATCH, S[partner], Z))
    return faults


def _share_above(monitor: Any, S: np.ndarray, Z: np.ndarray, tau: float) -> float:
    with np.errstate(over="ignore", invalid="ignore"):
        scores = monitor.score_batch(S, Z)
    return float(np.mean(~(scores <= tau)))  # non-finite scores count as above


@keeps_global_random_state
def tune(S: Any, Z: Any, *, false_alarm_rate: float = 0.01, candidates: Any = None, random_state: int = 0,
         held_out: Any = None, progress: bool = False) -> Any:
    """Trains a monitor for each candidate setting and returns the one that
    detects synthetic faults best at `false_alarm_rate`, calibrated.

    Each candidate is a dict of `NeuralConditionalMonitor` settings (`hidden`,
    `epochs`, `batch_size`, `lr`, `weight_decay`, `dropout`, `patience`,
    `tau_quantile`, `device`) and the engineer's flags (`include_square`,
    `include_logabs`, `include_interactions`); what it leaves out keeps its
    default. Without `candidates`, `TUNE_CANDIDATES` is tried: two networks
    without dropout on plain S (no engineered columns), and the defaults.

    Every candidate is trained with `random_state` on the training rows and
    judged on held-out clean rows. A candidate's threshold is set on those
    rows as `calibrate` sets it; then the held-out rows are changed in ways
    that need no knowledge of the monitored model, and the share of changed
    rows above the threshold is counted: Z moved along a random direction per
    row by 0.01, 0.03, 0.1, 0.3 and 1 times each Z column's standard deviation
    (the same directions for every candidate), and Z paired with the S of
    another held-out row. The candidate with the highest mean share wins (the
    first of equal ones); it is calibrated with `calibrate` on the held-out
    rows and returned, with the figures of every candidate in its
    `tuning_report` attribute (a `TuningReport`; print it for a table). The
    report is not saved with the monitor.

    `held_out`, an (S, Z) pair, gives the held-out rows; all of S and Z then
    train. Without it a random quarter of the rows, but at least 10 / rate
    (1,000 at 1%), is held out, and at least as many must remain to train:
    rows of one input (copies, augmentations, a session) are better kept
    together by passing `held_out`, or the held-out rows look more familiar
    than new inputs will.

    Cost: one `fit` per candidate on the training rows (three for the
    default candidates, each about as long as a default `fit`) and seven
    scorings of the held-out rows per candidate, which take far less.
    `progress=True` shows a tqdm progress bar over the candidates. A
    candidate whose engineered S is wider than 4,096 columns (with the pair
    products, from 89 S columns on) gives a `UserWarning` before training
    that names the setting that avoids it (`include_interactions=False`). The
    result depends only on the data, `candidates` and `random_state`; the
    global random generators of NumPy and PyTorch, which every `fit` reseeds,
    are restored to the caller's state on return, also after an error.

    Bad input raises before any training: `TypeError` or `ValueError` for a
    rate outside (0, 1), S and Z (or the held-out pair) that are not finite 2-D
    arrays of matching shapes, too few rows, an empty candidate list, or a
    candidate with unknown settings or values of the wrong type or range.
    A candidate that fails to train raises the monitor's `RuntimeError`.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    random_state = int(random_state)
    S, Z = _finite_matrix(S, "S"), _finite_matrix(Z, "Z")
    if S.shape[0] != Z.shape[0]:
        raise ValueError(f"S has {S.shape[0]} rows but Z has {Z.shape[0]}")
    if candidates is None:
        candidates = TUNE_CANDIDATES
    if isinstance(candidates, (str, bytes, dict)) or not isinstance(candidates, Iterable):
        raise TypeError(f"candidates must be a list of dicts, got {type(candidates).__name__}")
    candidates = list(candidates)
    if not candidates:
        raise ValueError("candidates must hold at least one dict of settings")
    monitors = [_candidate_monitor(candidate, i, random_state) for i, candidate in enumerate(candidates)]
    needed = math.ceil(10 / rate)
    rng = np.random.default_rng(random_state)
    if held_out is None:
        n = S.shape[0]
        held = max(needed, n // 4)
        if n - held < held:
            raise ValueError(f"{n} rows are too few to tune at a false-alarm rate of {rate!r}: {held} are held "
                             f"out and as many must train ({2 * held} rows), or pass held_out")
        order = rng.permutation(n)
        S_train, Z_train = S[order[held:]], Z[order[held:]]
        S_held, Z_held = S[order[:held]], Z[order[:held]]
    else:
        if not isinstance(held_out, (tuple, list)) or len(held_out) != 2:
            raise TypeError("held_out must be an (S, Z) pair")
        S_train, Z_train = S, Z
        S_held, Z_held = _finite_matrix(held_out[0], "held-out S"), _finite_matrix(held_out[1], "held-out Z")
        if S_held.shape[1:] != S.shape[1:] or Z_held.shape[1:] != Z.shape[1:] or len(S_held) != len(Z_held):
            raise ValueError(f"held-out S and Z have shapes {S_held.shape} and {Z_held.shape}; they need "
                             f"(rows, {S.shape[1]}) and (rows, {Z.shape[1]}) with the same rows")
        if len(S_held) < needed:
            raise ValueError(f"{len(S_held)} held-out rows cannot resolve a false-alarm rate of {rate!r}: "
                             f"at least {needed} (10 / rate) are needed")
    spread = Z_train.std(axis=0, dtype=np.float64) + 1e-12
    faults = _synthetic_faults(S_held, Z_held, spread, rng)
    for i, monitor in enumerate(monitors):
        engineer = monitor.s_engineer
        warn_if_engineered_width_large(S.shape[1], engineer.include_square, engineer.include_logabs,
                                       engineer.include_interactions, rows=len(S_train), what=f"tune candidate {i}")

    detection: list[list[float]] = []
    fit_seconds: list[float] = []
    for monitor in _with_progress(monitors, progress, unit="candidate"):
        started = time.perf_counter()
        monitor.fit(S_train, Z_train)
        fit_seconds.append(time.perf_counter() - started)
        with np.errstate(over="ignore", invalid="ignore"):
            clean = monitor.score_batch(S_held, Z_held)
        if not np.isfinite(clean).all():  # cannot be calibrated: never chosen
            detection.append([math.nan] * len(faults))
            continue
        tau = _conformal_tau(clean, rate)
        detection.append([_share_above(monitor, S_f, Z_f, tau) for _, S_f, Z_f in faults])
    report = TuningReport(settings=[dict(c) for c in candidates], faults=[name for name, _, _ in faults],
                          detection=detection, fit_seconds=fit_seconds, chosen=-1,
                          training_rows=len(S_train), held_out_rows=len(S_held), false_alarm_rate=rate)
    usable = [i for i, value in enumerate(report.criterion) if not math.isnan(value)]
    if not usable:
        raise ValueError("every candidate scores some clean held-out rows non-finite; none can be calibrated")
    report.chosen = max(usable, key=lambda i: (report.criterion[i], -i))
    winner = monitors[report.chosen]
    calibrate(winner, S_held, Z_held, false_alarm_rate=rate)
    winner.tuning_report = report
    _log.info("%s", report)
    return winner
