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
import numpy.typing as npt
import torch

from tarvex.core import resmon
from tarvex.core.resmon import NeuralConditionalMonitor

from ._arguments import _finite_matrix, _open_unit_interval, warn_if_engineered_width_large
from ._random_state import keeps_global_random_state
from .calibration import _conformal_tau, calibrate
from ._progress import _with_progress
from .explaining import _residuals

_log = logging.getLogger(__name__)


_ENGINEER_FLAGS = ("include_square", "include_logabs", "include_interactions")
_PLAIN_S = dict.fromkeys(_ENGINEER_FLAGS, False)

# Settings `tune` tries when given none. Without dropout and on S as it is
# (standardised, without the engineered squares, logs and products) the
# network predicts Z more precisely for new inputs of small classifiers, and
# a learning rate of 3e-3 gets there within the default epochs; two layers
# suit deeper models, one wide layer few distinct training inputs. The third
# is the constructor's defaults, for S that determines Z only loosely. The
# last has no hidden layers: a linear model on the engineered S, fitted by
# least squares, which generalises from a few hundred distinct training
# inputs where the networks do not. Equal figures go to the earlier candidate.
TUNE_CANDIDATES: tuple[dict[str, Any], ...] = (
    {"hidden": (64, 64), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {"hidden": (512,), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {},
    {"hidden": (), "lr": 3e-3},
)

# Synthetic faults: Z moved along a random direction per row by these
# multiples of each Z column's spread; Z plus a random function of S, the
# shape of a weight fault after S (16 functions, each a rank-2 map of 16
# ReLU features), at these multiples; and Z paired with another row's S.
_SHIFTS = (0.01, 0.03, 0.1, 0.3, 1.0)
_FUNCTION_LEVELS = (0.03, 0.1, 0.3, 1.0)
_FUNCTIONS, _FEATURES, _RANK = 16, 16, 2
_MISMATCH = "mismatched S"

# A candidate's residual covariance may be refitted on held-out rows (its
# training residuals understate the spread on new inputs) when enough rows
# are left over: at least this many, and this many per Z column.
_MIN_COVARIANCE_ROWS = 100
_COVARIANCE_ROWS_PER_COLUMN = 10
_TRAINING_COVARIANCE, _HELD_OUT_COVARIANCE = "training", "held-out"
# Ridge penalty of the least-squares fit of a linear candidate, relative to
# the mean variance of the engineered columns: keeps the weights small enough
# for float32 scoring where products and logs of S are nearly collinear.
_RIDGE = 1e-4


# Constructor settings a candidate may set besides `device` (a str, checked
# by the constructor), with the range of their values: (lower bound, lower
# bound allowed, upper bound not allowed). random_state is tune's own.
_SETTING_RANGES: dict[str, tuple[float, bool, float]] = {
    "hidden": (1, True, math.inf),  # every width; () is a linear model on the engineered S
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
        if any(not (v >= low if inclusive else v > low) or not v < high for v in values):
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
    `covariance[i]` says which residual covariance gave those figures:
    "training" (the one `fit` estimated) or "held-out" (estimated again on
    `covariance_rows` held-out rows kept apart from the `held_out_rows` that
    judge and calibrate; 0 when there were too few to spare). `chosen` is the
    winner's index (the first of equal ones). `str(report)` is a table.
    """

    def __init__(self, *, settings: list[dict[str, Any]], faults: list[str], detection: list[list[float]],
                 fit_seconds: list[float], chosen: int, training_rows: int, held_out_rows: int,
                 false_alarm_rate: float, covariance: list[str] | None = None, covariance_rows: int = 0) -> None:
        """Stores the figures; `criterion` is computed from `detection`, and
        `covariance` defaults to "training" for every candidate."""
        self.settings = settings
        self.faults = faults
        self.detection = detection
        self.criterion = [_mean_or_nan(row) for row in detection]
        self.fit_seconds = fit_seconds
        self.chosen = chosen
        self.training_rows = training_rows
        self.held_out_rows = held_out_rows
        self.false_alarm_rate = false_alarm_rate
        self.covariance = list(covariance) if covariance is not None else [_TRAINING_COVARIANCE] * len(settings)
        self.covariance_rows = covariance_rows

    def __str__(self) -> str:
        refit = (f", {self.covariance_rows} more to estimate the residual covariance again"
                 if self.covariance_rows else "")
        lines = [f"tune: {len(self.settings)} candidates trained on {self.training_rows} rows, judged on "
                 f"{self.held_out_rows} held-out rows{refit}, at a false-alarm rate of "
                 f"{self.false_alarm_rate:g}; % of rows with each synthetic fault above the threshold"]
        header = ["#", "fit s", "cov"] + self.faults + ["mean", "settings"]
        rows = []
        for i, settings in enumerate(self.settings):
            mark = "*" if i == self.chosen else ""
            rates = [f"{100 * rate:.1f}" for rate in self.detection[i]]
            rows.append([f"{i}{mark}", f"{self.fit_seconds[i]:.1f}", self.covariance[i], *rates,
                         f"{100 * self.criterion[i]:.1f}", repr(settings) if settings else "(defaults)"])
        widths = [max(len(header[k]), *(len(row[k]) for row in rows)) for k in range(len(header) - 1)]
        lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)) + "  " + header[-1])
        lines += ["  ".join(c.rjust(w) for c, w in zip(row, widths)) + "  " + row[-1] for row in rows]
        return "\n".join(lines)


def _synthetic_faults(S: np.ndarray, Z: np.ndarray, S_train: np.ndarray, spread: np.ndarray,
                      rng: np.random.Generator) -> list[tuple[str, np.ndarray, np.ndarray]]:
    """(name, S, Z) of each synthetic fault, built from held-out clean rows:
    shifts of Z along random directions, Z plus a random function of S, and
    Z paired with another row's S."""
    n = len(S)
    directions = rng.standard_normal(Z.shape)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    faults = [(f"shift {level:g}", S, (Z + level * spread * directions).astype(np.float32)) for level in _SHIFTS]
    bumps = _random_functions(S, S_train, Z.shape[1], rng)
    faults += [(f"f(S) {level:g}", S, (Z + level * spread * bumps).astype(np.float32)) for level in _FUNCTION_LEVELS]
    order = rng.permutation(n)
    partner = np.empty(n, dtype=np.intp)
    partner[order] = np.roll(order, 1)  # every row gets another row's S
    faults.append((_MISMATCH, S[partner], Z))
    return faults


def _random_functions(S: np.ndarray, S_train: np.ndarray, z_dim: int, rng: np.random.Generator) -> np.ndarray:
    """One change of Z per row, in units of Z's spread: each row belongs to
    one of `_FUNCTIONS` random functions of S, each a random rank-`_RANK` map
    of `_FEATURES` random ReLU features of S standardised with the training
    rows' statistics, scaled to a root-mean-square length of 1 over the rows.

    A weight fault after S changes Z this way: by the faulty weights times
    the activations they multiply, large for some inputs, nil for others."""
    mean = S_train.mean(axis=0, dtype=np.float64)
    scale = S_train.std(axis=0, dtype=np.float64) + 1e-12
    X = (S.astype(np.float64) - mean) / scale
    n, d = X.shape
    group = rng.permutation(n) % _FUNCTIONS
    change = np.zeros((n, z_dim))
    for k in range(_FUNCTIONS):
        weights = rng.standard_normal((d, _FEATURES)) / math.sqrt(d)
        bias = rng.standard_normal(_FEATURES)
        mixing = rng.standard_normal((_FEATURES, _RANK)) @ rng.standard_normal((_RANK, z_dim))
        function = np.maximum(X @ weights + bias, 0.0) @ mixing
        size = math.sqrt(float(np.mean(np.sum(function ** 2, axis=1))))
        rows = group == k
        change[rows] = function[rows] / size if size > 0 else 0.0
    return change


def _solve_linear(monitor: Any, S: np.ndarray, Z: np.ndarray) -> None:
    """For a monitor without hidden layers: replaces the mean the optimiser
    reached with the least-squares fit of the standardised Z on the
    engineered S (gradient steps approach it slowly on hundreds of correlated
    engineered columns), then estimates `inv_cov` and `tau` from the training
    residuals again, as `fit` does."""
    from sklearn.covariance import LedoitWolf

    X = monitor.s_engineer.transform(S)
    Y = ((Z - monitor.z_mean) / monitor.z_scale).astype(np.float32)
    X64 = X.astype(np.float64)
    centre, target_centre = X64.mean(axis=0), Y.mean(axis=0, dtype=np.float64)
    Xc = X64 - centre
    gram = Xc.T @ Xc
    gram[np.diag_indices_from(gram)] += _RIDGE * len(X) * max(float(np.mean(np.diag(gram))) / len(X), 1e-12)
    weights = np.linalg.solve(gram, Xc.T @ (Y - target_centre))
    solution = np.vstack([weights, target_centre - centre @ weights])
    if not np.isfinite(solution).all():
        return  # keep what the optimiser found
    layer = monitor._model.mu
    with torch.no_grad():
        layer.weight.copy_(torch.from_numpy(solution[:-1].T.astype(np.float32)))
        layer.bias.copy_(torch.from_numpy(solution[-1].astype(np.float32)))
    residuals = _residuals(monitor, S, Z)
    monitor.inv_cov = np.linalg.inv(LedoitWolf().fit(residuals).covariance_)
    monitor.tau = float(np.quantile(monitor.score_batch(S, Z), monitor.tau_quantile))


def _split_for_covariance(S: np.ndarray, Z: np.ndarray, needed: int, rng: np.random.Generator
                          ) -> tuple[tuple[np.ndarray, np.ndarray] | None, np.ndarray, np.ndarray]:
    """Splits the held-out rows into rows that may refit a candidate's
    residual covariance and rows that judge and calibrate: the latter keep at
    least half of them and at least `needed`. Returns (None, S, Z) when the
    rest is too small to estimate a covariance from."""
    n = len(S)
    refit = n - max(needed, math.ceil(n / 2))
    if refit < max(_MIN_COVARIANCE_ROWS, _COVARIANCE_ROWS_PER_COLUMN * Z.shape[1]):
        return None, S, Z
    order = rng.permutation(n)
    return (S[order[:refit]], Z[order[:refit]]), S[order[refit:]], Z[order[refit:]]


def _held_out_inv_cov(monitor: Any, S: np.ndarray, Z: np.ndarray) -> Any:
    """The inverse residual covariance estimated as `fit` estimates it, but
    from held-out rows (so of the same type and dtype); None when those
    residuals give no usable estimate."""
    from sklearn.covariance import LedoitWolf

    with np.errstate(over="ignore", invalid="ignore"):
        residuals = _residuals(monitor, S, Z)
    if not np.isfinite(residuals).all():
        return None
    try:
        inv_cov = np.linalg.inv(LedoitWolf().fit(residuals).covariance_)
    except np.linalg.LinAlgError:
        return None
    return inv_cov if np.isfinite(inv_cov).all() else None


def _judge(monitor: Any, S: np.ndarray, Z: np.ndarray, faults: list[tuple[str, np.ndarray, np.ndarray]],
           inv_covs: list[Any], rate: float) -> list[list[float]]:
    """For each inverse covariance: the share of each fault's rows scoring
    above the threshold that the clean rows set at `rate`, or NaN throughout
    when some clean row scores non-finite. The residuals are computed once
    and scored as `score_batch` scores them."""
    sets = [(S, Z)] + [(S_f, Z_f) for _, S_f, Z_f in faults]
    with np.errstate(over="ignore", invalid="ignore"):
        residuals = [_residuals(monitor, S_f, Z_f).astype(np.float64) for S_f, Z_f in sets]
        judged = []
        for inv_cov in inv_covs:
            inv_cov = np.asarray(inv_cov, dtype=np.float64)
            clean, *faulted = (np.einsum("ni,ij,nj->n", r, inv_cov, r) for r in residuals)
            if not np.isfinite(clean).all():  # cannot be calibrated: never chosen
                judged.append([math.nan] * len(faults))
                continue
            tau = _conformal_tau(clean, rate)
            judged.append([float(np.mean(~(scores <= tau))) for scores in faulted])  # non-finite: above
    return judged


def _mean_or_nan(values: list[float]) -> float:
    return float(np.mean(values)) if values else math.nan


@keeps_global_random_state
def tune(S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float = 0.01,
         candidates: Iterable[dict[str, Any]] | None = None, random_state: int = 0,
         held_out: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
         progress: bool = False) -> NeuralConditionalMonitor:
    """Trains a monitor for each candidate setting and returns the one that
    detects synthetic faults best at `false_alarm_rate`, calibrated.

    Each candidate is a dict of `NeuralConditionalMonitor` settings (`hidden`,
    `epochs`, `batch_size`, `lr`, `weight_decay`, `dropout`, `patience`,
    `tau_quantile`, `device`) and the engineer's flags (`include_square`,
    `include_logabs`, `include_interactions`); what it leaves out keeps its
    default. `hidden=()` is a linear model on the engineered S: after `fit`,
    `tune` replaces its mean with the (lightly ridged) least-squares fit and
    estimates `inv_cov` and `tau` from the training residuals again. Without
    `candidates`, `TUNE_CANDIDATES` is tried: two networks without dropout on
    plain S (no engineered columns), the defaults, and the linear model.

    Every candidate is trained with `random_state` on the training rows and
    judged on held-out clean rows. A candidate's threshold is set on those
    rows as `calibrate` sets it; then the held-out rows are changed in ways
    that need no knowledge of the monitored model, and the share of changed
    rows above the threshold is counted: Z moved along a random direction per
    row by 0.01, 0.03, 0.1, 0.3 and 1 times each Z column's standard
    deviation; Z plus a random function of S (random ReLU features of the
    standardised S through a random rank-2 map, one of 16 such functions per
    row, scaled to a root-mean-square size of 0.03, 0.1, 0.3 and 1 times the
    spread), which is how a weight fault after S changes Z; and Z paired with
    the S of another held-out row. Every candidate meets the same changes.

    The rows that judge keep at least half of the held-out rows and at least
    10 / rate; if the rest, drawn at random, holds at least 100 rows and 10
    per Z column, it estimates each candidate's residual covariance again:
    training residuals understate the spread on new inputs. The candidate
    keeps whichever covariance, its training one or the held-out one, detects
    more on the judging rows (the training one when equal). The candidate
    with the highest mean share wins (the first of equal ones); it is
    calibrated with `calibrate` on the judging rows, which fitted nothing, and
    returned, with the figures of every candidate in its `tuning_report`
    attribute (a `TuningReport`; print it for a table). The report is not
    saved with the monitor; a refitted `inv_cov` is, in the usual form.

    `held_out`, an (S, Z) pair, gives the held-out rows; all of S and Z then
    train. Without it a random quarter of the rows, but at least 10 / rate
    (1,000 at 1%), is held out, and at least as many must remain to train:
    rows of one input (copies, augmentations, a session) are better kept
    together by passing `held_out`, or the held-out rows look more familiar
    than new inputs will.

    Cost: one `fit` per candidate on the training rows (four for the default
    candidates, together two to five default `fit`s on small classifiers'
    data, the linear one the cheapest) and, per candidate, one pass of the held-out rows and their
    ten changed copies through its network, which takes far less. The
    result depends only on the data, `candidates` and `random_state`.
    `progress=True` shows a tqdm progress bar over the candidates. A
    candidate whose engineered S is wider than 4,096 columns (with the pair
    products, from 89 S columns on) gives a `UserWarning` before training
    that names the setting that avoids it (`include_interactions=False`). The
    global random generators of NumPy and PyTorch, which every `fit` reseeds,
    are restored to the caller's state on return, also after an error.

    Bad input raises before any training: `TypeError` or `ValueError` for a
    rate outside (0, 1), S and Z (or the held-out pair) that are not finite,
    real 2-D arrays of matching shapes, too few rows, an empty candidate list, or a
    candidate with unknown settings or values of the wrong type or range
    (widths below 1; `hidden=()` is allowed). A candidate that fails to train
    raises the monitor's `RuntimeError`.
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
    refit_rows, S_held, Z_held = _split_for_covariance(S_held, Z_held, needed, rng)
    spread = Z_train.std(axis=0, dtype=np.float64) + 1e-12
    faults = _synthetic_faults(S_held, Z_held, S_train, spread, rng)
    for i, monitor in enumerate(monitors):
        engineer = monitor.s_engineer
        warn_if_engineered_width_large(S.shape[1], engineer.include_square, engineer.include_logabs,
                                       engineer.include_interactions, rows=len(S_train), what=f"tune candidate {i}")

    detection: list[list[float]] = []
    fit_seconds: list[float] = []
    covariance: list[str] = []
    held_out_inv_covs: list[Any] = []
    for monitor in _with_progress(monitors, progress, unit="candidate"):
        started = time.perf_counter()
        monitor.fit(S_train, Z_train)
        if not monitor.hidden:
            _solve_linear(monitor, S_train, Z_train)
        fit_seconds.append(time.perf_counter() - started)
        options = [(_TRAINING_COVARIANCE, monitor.inv_cov)]
        if refit_rows is not None:
            refitted = _held_out_inv_cov(monitor, *refit_rows)
            if refitted is not None:
                options.append((_HELD_OUT_COVARIANCE, refitted))
        judged = _judge(monitor, S_held, Z_held, faults, [inv_cov for _, inv_cov in options], rate)
        means = [_mean_or_nan(shares) for shares in judged]
        best = max(range(len(options)), key=lambda k: (-math.inf if math.isnan(means[k]) else means[k], -k))
        detection.append(judged[best])
        covariance.append(options[best][0])
        held_out_inv_covs.append(options[best][1] if best else None)
    report = TuningReport(settings=[dict(c) for c in candidates], faults=[name for name, _, _ in faults],
                          detection=detection, fit_seconds=fit_seconds, chosen=-1,
                          training_rows=len(S_train), held_out_rows=len(S_held), false_alarm_rate=rate,
                          covariance=covariance, covariance_rows=0 if refit_rows is None else len(refit_rows[0]))
    usable = [i for i, value in enumerate(report.criterion) if not math.isnan(value)]
    if not usable:
        raise ValueError("every candidate scores some clean held-out rows non-finite; none can be calibrated")
    report.chosen = max(usable, key=lambda i: (report.criterion[i], -i))
    winner = monitors[report.chosen]
    if held_out_inv_covs[report.chosen] is not None:
        winner.inv_cov = held_out_inv_covs[report.chosen]
    calibrate(winner, S_held, Z_held, false_alarm_rate=rate)
    winner.tuning_report = report
    _log.info("%s", report)
    return winner
