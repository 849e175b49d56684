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
import scipy.linalg
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

# Settings `tune` tries when given none, the cheap ones first. The first two
# are fitted by least squares, in well under a second on small layers: a
# linear model on the engineered S, and one hidden layer of fixed ReLU
# features of S (hinges of each S column where its raw value is 0 and at its
# quartiles, and random directions) with a least-squares output layer, which
# is exact where Z is a linear function of ReLU(S), as between the layers of
# a ReLU network. The other two are networks trained by gradient descent,
# without dropout and on S as it is (standardised, without the engineered
# squares, logs and products), with a learning rate that gets there within
# the default epochs: two layers suit deeper models, one wide layer few
# distinct training inputs. They cost most of a `tune` and are not trained
# once an earlier candidate detects `GOOD_ENOUGH` of the synthetic faults.
# Equal figures go to the earlier candidate.
TUNE_CANDIDATES: tuple[dict[str, Any], ...] = (
    {"hidden": ()},
    {"hidden": (256,), "solver": "least-squares", **_PLAIN_S},
    {"hidden": (64, 64), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {"hidden": (512,), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
)
# The default `good_enough` of `tune`: a mean detection of the synthetic
# faults from which later gradient-descent candidates are not trained.
GOOD_ENOUGH = 0.95
# A gradient-descent candidate met after another has been judged is first
# trained for this share of its epochs (at least `_PROBE_MIN_EPOCHS`) and
# judged; only if it then detects more than the best so far is it trained
# for all of them (`tune(..., early_stopping=True)`).
PROBE_SHARE = 0.25
_PROBE_MIN_EPOCHS = 5

# S wider than this is engineered without pair products (d * (d - 1) / 2
# columns: 496 at 32, 2,016 at 64, 4.7 million at 3,072).
PAIR_PRODUCTS_MAX_WIDTH = 32

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
# How a candidate is trained: by the monitor's own `fit` (gradient descent),
# or by least squares on random ReLU features (`_fit_least_squares`).
_GRADIENT, _LEAST_SQUARES = "gradient", "least-squares"
_SOLVERS = (_GRADIENT, _LEAST_SQUARES)
_SKIPPED = "skipped"


def _candidate_monitor(candidate: Any, index: int, random_state: int) -> tuple[Any, str]:
    """A fresh monitor with the candidate's settings, and how it is to be
    trained ("gradient" or "least-squares"); refuses unknown keys, values of
    the wrong type and values out of range."""
    if not isinstance(candidate, dict):
        raise TypeError(f"candidate {index} must be a dict of settings, got {type(candidate).__name__}")
    settings = dict(candidate)
    flags = {name: settings.pop(name) for name in _ENGINEER_FLAGS if name in settings}
    solver = settings.pop("solver", None)
    unknown = sorted(set(settings) - set(_MONITOR_SETTINGS))
    if unknown:
        raise ValueError(f"candidate {index} has unknown settings {unknown}; known: "
                         f"{sorted(_MONITOR_SETTINGS) + list(_ENGINEER_FLAGS) + ['solver']}")
    if solver is not None and solver not in _SOLVERS:
        raise ValueError(f"candidate {index}: solver must be one of {list(_SOLVERS)}, got {solver!r}")
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
    if solver is None:
        solver = _GRADIENT if monitor.hidden else _LEAST_SQUARES
    return monitor, solver


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
                 false_alarm_rate: float, covariance: list[str] | None = None, covariance_rows: int = 0,
                 solvers: list[str] | None = None, notes: list[str] | None = None) -> None:
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
        self.solvers = list(solvers) if solvers is not None else [_GRADIENT] * len(settings)
        self.notes = list(notes) if notes is not None else []

    def __str__(self) -> str:
        refit = (f", {self.covariance_rows} more to estimate the residual covariance again"
                 if self.covariance_rows else "")
        lines = [f"tune: {len(self.settings)} candidates trained on {self.training_rows} rows, judged on "
                 f"{self.held_out_rows} held-out rows{refit}, at a false-alarm rate of "
                 f"{self.false_alarm_rate:g}; % of rows with each synthetic fault above the threshold"]
        header = ["#", "fit s", "solver", "cov"] + self.faults + ["mean", "settings"]
        rows = []
        for i, settings in enumerate(self.settings):
            mark = "*" if i == self.chosen else ""
            rates = ["-" if math.isnan(rate) else f"{100 * rate:.1f}" for rate in self.detection[i]]
            rows.append([f"{i}{mark}", f"{self.fit_seconds[i]:.1f}", self.solvers[i], self.covariance[i], *rates,
                         "-" if math.isnan(self.criterion[i]) else f"{100 * self.criterion[i]:.1f}",
                         repr(settings) if settings else "(defaults)"])
        widths = [max(len(header[k]), *(len(row[k]) for row in rows)) for k in range(len(header) - 1)]
        lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)) + "  " + header[-1])
        lines += ["  ".join(c.rjust(w) for c, w in zip(row, widths)) + "  " + row[-1] for row in rows]
        lines += [f"note: {note}" for note in self.notes]
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


def _ridge_solution(X: np.ndarray, Y: np.ndarray) -> np.ndarray:
    """Ridge least-squares fit of `Y` on `X` with an intercept, as a
    (columns + 1, outputs) float64 matrix whose last row is the intercept.

    The penalty is `_RIDGE` times the mean sum of squares of the centred
    columns. Solved in the primal (columns by columns) when the rows are at
    least as many as the columns and in the dual (rows by rows) otherwise:
    the same solution, with the memory of the centred data plus the square
    of the smaller of the two, never of the engineered width alone."""
    Xc = X.astype(np.float64)  # the one copy of the data this fit makes
    centre = Xc.mean(axis=0)
    Xc -= centre
    Y64 = Y.astype(np.float64)
    target_centre = Y64.mean(axis=0)
    Y64 -= target_centre
    n, d = Xc.shape
    primal = n >= d
    gram = Xc.T @ Xc if primal else Xc @ Xc.T
    penalty = _RIDGE * max(float(np.trace(gram)) / d, n * 1e-12)
    gram[np.diag_indices_from(gram)] += penalty
    if primal:
        weights = scipy.linalg.solve(gram, Xc.T @ Y64, assume_a="pos", overwrite_a=True, check_finite=False)
    else:
        weights = Xc.T @ scipy.linalg.solve(gram, Y64, assume_a="pos", overwrite_a=True, check_finite=False)
    return np.vstack([weights, target_centre - centre @ weights])


def _knotted_layer(layer: torch.nn.Linear, inputs: torch.Tensor, rng: np.random.Generator,
                   hinges: np.ndarray | None = None) -> None:
    """Sets a backbone layer to ReLU features of `inputs` that bend where
    the rows lie. With `hinges`, a (columns, knots) matrix of places on the
    first columns of `inputs`, up to half the units are hinges of single
    columns: a pair bending both ways at each column's first knot (so that
    the layer also passes the column on linearly), then one unit per further
    knot, knot by knot over the columns. The other units are random
    unit-length directions, each bending at a random training row."""
    width, columns = layer.weight.shape
    weight = np.zeros((width, columns))
    bias = np.zeros(width)
    used = 0
    if hinges is not None:
        count, knots = hinges.shape
        units = [(column, 0, sign) for sign in (1.0, -1.0) for column in range(count)]
        units += [(column, k, 1.0) for k in range(1, knots) for column in range(count)]
        for column, k, sign in units[:width // 2]:
            weight[used, column] = sign
            bias[used] = -sign * hinges[column, k]
            used += 1
    directions = rng.standard_normal((width - used, columns))
    directions /= np.linalg.norm(directions, axis=1, keepdims=True) + 1e-12
    rows = inputs[torch.from_numpy(rng.integers(0, len(inputs), size=width - used))].numpy().astype(np.float64)
    weight[used:] = directions
    bias[used:] = -np.sum(rows * directions, axis=1)
    with torch.no_grad():
        layer.weight.copy_(torch.from_numpy(weight.astype(np.float32)))
        layer.bias.copy_(torch.from_numpy(bias.astype(np.float32)))


def _hinge_knots(engineer: Any, X: np.ndarray) -> np.ndarray:
    """Knots of each standardised S column (the engineered matrix's first
    columns): where the raw value is 0, at which the activations of most
    networks bend, then the column's median and quartiles."""
    columns = len(engineer.mean_)
    zero = -engineer.mean_.astype(np.float64) / engineer.scale_.astype(np.float64)
    quartiles = np.quantile(X[:, :columns], [0.5, 0.25, 0.75], axis=0).T
    return np.column_stack([zero, quartiles])


def _fit_least_squares(monitor: Any, S: np.ndarray, Z: np.ndarray) -> bool:
    """Trains `monitor` without gradient descent: its hidden layers (if
    any) become random ReLU features of the engineered S, fixed and seeded by
    its `random_state`, and the predicted mean of the standardised Z is the
    ridge least-squares fit on their output (on the engineered S itself
    without hidden layers). The log-variance head predicts each Z column's
    residual variance, `inv_cov` and `tau` are estimated as `fit` estimates
    them. Returns False, leaving the monitor untouched, where the data give
    no usable solution (non-finite values, a degenerate covariance); the
    caller then trains it with `fit`, which says what is wrong."""
    from sklearn.covariance import LedoitWolf

    S = np.ascontiguousarray(S, dtype=np.float32)
    Z = np.ascontiguousarray(Z, dtype=np.float32)
    engineer = resmon.NeuralFeatureEngineer(include_square=monitor.s_engineer.include_square,
                                            include_logabs=monitor.s_engineer.include_logabs,
                                            include_interactions=monitor.s_engineer.include_interactions)
    with np.errstate(over="ignore", invalid="ignore"):
        X = engineer.fit_transform(S)
        z_mean = Z.mean(axis=0).astype(np.float32)
        z_scale = (Z.std(axis=0) + np.float32(1e-6)).astype(np.float32)
        Y = ((Z - z_mean) / z_scale).astype(np.float32)
    if not (np.isfinite(X).all() and np.isfinite(Y).all() and (z_scale > 0).all()):
        return False
    generator = np.random.default_rng(monitor.random_state)
    with torch.random.fork_rng(devices=[]):
        torch.manual_seed(monitor.random_state)
        model = resmon._ResidualHead(X.shape[1], monitor.hidden, Z.shape[1], monitor.dropout)
    model.eval()
    with torch.no_grad():
        features = torch.from_numpy(X)
        hinges: np.ndarray | None = _hinge_knots(engineer, X)
        for layer in model.backbone:
            if isinstance(layer, torch.nn.Linear):
                _knotted_layer(layer, features, generator, hinges)
                hinges = None
            features = layer(features)
        H = features.numpy()
    del features
    solution = _ridge_solution(H, Y)
    if not np.isfinite(solution).all():
        return False
    with torch.no_grad():
        model.mu.weight.copy_(torch.from_numpy(solution[:-1].T.astype(np.float32)))
        model.mu.bias.copy_(torch.from_numpy(solution[-1].astype(np.float32)))
        residuals = Y - model.mu(torch.from_numpy(H)).numpy()
        log_variance = np.clip(np.log(np.mean(residuals.astype(np.float64) ** 2, axis=0) + 1e-12), -4.0, 4.0)
        model.log_var.weight.zero_()
        model.log_var.bias.copy_(torch.from_numpy(log_variance.astype(np.float32)))
    del H
    try:
        inv_cov = np.linalg.inv(LedoitWolf().fit(residuals).covariance_)
    except (np.linalg.LinAlgError, ValueError):
        return False
    if not _usable_inv_cov(inv_cov):
        return False
    monitor.s_engineer = engineer
    monitor.s_dim, monitor.z_dim, monitor.input_dim = S.shape[1], Z.shape[1], X.shape[1]
    monitor.z_mean, monitor.z_scale = z_mean, z_scale
    monitor._model = model.to(monitor._torch_device)
    monitor.inv_cov = inv_cov
    monitor.tau = float(np.quantile(monitor.score_batch(S, Z), monitor.tau_quantile))
    return True


def _usable_inv_cov(inv_cov: np.ndarray) -> bool:
    """Whether an inverse covariance is one a saved monitor may hold: finite,
    symmetric positive definite, its eigenvalues within float32's normal
    range."""
    if not np.isfinite(inv_cov).all():
        return False
    try:
        eigenvalues = np.linalg.eigvalsh((inv_cov + inv_cov.T) / 2)
    except np.linalg.LinAlgError:
        return False
    limits = np.finfo(np.float32)
    return bool(eigenvalues[0] >= limits.tiny and eigenvalues[-1] <= limits.max)


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


def _judged_options(monitor: Any, S: np.ndarray, Z: np.ndarray, faults: list[tuple[str, np.ndarray, np.ndarray]],
                    rate: float, refit_rows: tuple[np.ndarray, np.ndarray] | None
                    ) -> tuple[list[tuple[str, Any]], list[list[float]], list[float], int]:
    """A trained candidate's residual covariances (its training one, and
    one estimated again on `refit_rows` where that gives a usable one),
    `_judge`'s shares for each, their means, and the index of the best (the
    training one when equal)."""
    options = [(_TRAINING_COVARIANCE, monitor.inv_cov)]
    if refit_rows is not None:
        refitted = _held_out_inv_cov(monitor, *refit_rows)
        if refitted is not None:
            options.append((_HELD_OUT_COVARIANCE, refitted))
    judged = _judge(monitor, S, Z, faults, [inv_cov for _, inv_cov in options], rate)
    means = [_mean_or_nan(shares) for shares in judged]
    chosen = max(range(len(options)), key=lambda k: (-math.inf if math.isnan(means[k]) else means[k], -k))
    return options, judged, means, chosen


def _percent(share: float) -> str:
    return "-" if math.isnan(share) else f"{100 * share:.1f}%"


def _mean_or_nan(values: list[float]) -> float:
    return float(np.mean(values)) if values else math.nan


@keeps_global_random_state
def tune(S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float = 0.01,
         candidates: Iterable[dict[str, Any]] | None = None, random_state: int = 0,
         held_out: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
         progress: bool = False, good_enough: float | None = GOOD_ENOUGH,
         early_stopping: bool = True) -> NeuralConditionalMonitor:
    """Trains a monitor for each candidate setting and returns the one that
    detects synthetic faults best at `false_alarm_rate`, calibrated.

    Each candidate is a dict of `NeuralConditionalMonitor` settings (`hidden`,
    `epochs`, `batch_size`, `lr`, `weight_decay`, `dropout`, `patience`,
    `tau_quantile`, `device`), the engineer's flags (`include_square`,
    `include_logabs`, `include_interactions`) and `solver`; what it leaves
    out keeps its default. `solver` says how the candidate is trained:
    "gradient" by the monitor's own `fit`, "least-squares" without gradient
    descent: the hidden layers (if any) are fixed ReLU features of the
    engineered S, seeded by `random_state` (the first layer's units, up to
    half of them, bend single S columns where their raw value is 0 and at
    their median and quartiles, the others along random directions at
    random training rows), and the predicted mean of Z is the lightly ridged
    least-squares fit on their output; `inv_cov` and `tau` are then
    estimated from the training residuals as `fit` estimates them. Without
    `solver`, `hidden=()` (a linear model on the engineered S) is fitted by
    least squares and every other candidate by gradient descent; where least
    squares finds no usable solution (non-finite values, a degenerate
    covariance) the candidate is trained by `fit` instead, as the report's
    notes say. Without `candidates`, `TUNE_CANDIDATES` is tried: the linear
    model, 256 fixed ReLU features of the plain S, and two networks trained
    by gradient descent without dropout on the plain S.

    A least-squares fit solves in the primal (columns by columns) where the
    training rows are at least as many as the engineered columns and in the
    dual (rows by rows) otherwise, so its memory is that of the engineered
    rows plus the square of the smaller of the two, never the square of the
    engineered width alone. S wider than `PAIR_PRODUCTS_MAX_WIDTH` (32)
    columns is engineered without pair products in every candidate (their
    d * (d - 1) / 2 columns would take memory quadratic in the width); the
    report's notes list the candidates this changed.

    Gradient-descent candidates cost most of a `tune`, so the least-squares
    candidates are trained first, wherever they are listed (the report keeps
    the given order). Once a candidate's mean detection reaches
    `good_enough` (default `GOOD_ENOUGH`, 0.95), the gradient-descent
    candidates not yet trained are skipped: their report row says "skipped"
    and they are never chosen. `good_enough=None` trains every candidate.
    With `early_stopping=True` (the default), a gradient-descent candidate
    met after another has been judged is first trained for `PROBE_SHARE`
    (a quarter) of its epochs, at least 5, and judged on the held-out rows;
    unless it then detects more than the best candidate so far, it stops
    there (the report keeps the short run's figures and says so in its
    notes), else it is trained again for all its epochs. A short run that
    is not ahead rarely overtakes the best by the end, and it costs a
    quarter of the full run; one that is ahead costs a quarter more.

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
    saved with the monitor; a refitted `inv_cov` is, in the usual form. Only
    the best monitor so far is kept while the others train.

    `held_out`, an (S, Z) pair, gives the held-out rows; all of S and Z then
    train. Without it a random quarter of the rows, but at least 10 / rate
    (1,000 at 1%), is held out, and at least as many must remain to train:
    rows of one input (copies, augmentations, a session) are better kept
    together by passing `held_out`, or the held-out rows look more familiar
    than new inputs will.

    Cost: a least-squares candidate takes one pass of the training rows
    through its fixed layers and one linear solve (well under a second for
    thousands of rows of a few dozen columns; about 11 CPU seconds and 1.2 GB
    for the linear one on 5,000 rows of 3,072 columns); a gradient-descent
    candidate one `fit`; and each candidate one pass of the held-out rows and
    their ten changed copies, which takes far less. The result depends only
    on the data, `candidates`, `random_state` and `good_enough`.
    `progress=True` shows a tqdm progress bar over the candidates. A
    candidate whose engineered S is wider than 4,096 columns gives a
    `UserWarning` before training. The global random generators of NumPy and
    PyTorch, which every `fit` reseeds, are restored to the caller's state on
    return, also after an error.

    Bad input raises before any training: `TypeError` or `ValueError` for a
    rate outside (0, 1), S and Z (or the held-out pair) that are not finite,
    real 2-D arrays of matching shapes, too few rows, an empty candidate
    list, a candidate with unknown settings, values of the wrong type or
    range (widths below 1; `hidden=()` is allowed) or an unknown `solver`,
    or a `good_enough` outside (0, 1]. A candidate that fails to train
    raises the monitor's `RuntimeError`.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    random_state = int(random_state)
    if good_enough is not None:
        if isinstance(good_enough, bool) or not isinstance(good_enough, numbers.Real):
            raise TypeError(f"good_enough must be a number or None, got {type(good_enough).__name__}")
        if not 0 < good_enough <= 1:
            raise ValueError(f"good_enough must lie in (0, 1], got {good_enough!r}")
    if not isinstance(early_stopping, bool):
        raise TypeError(f"early_stopping must be a bool, got {type(early_stopping).__name__}")
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
    monitors: list[tuple[Any, str]] = [_candidate_monitor(candidate, i, random_state)
                                       for i, candidate in enumerate(candidates)]
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
    notes = []
    if S.shape[1] > PAIR_PRODUCTS_MAX_WIDTH:
        paired = [i for i, (monitor, _) in enumerate(monitors) if monitor.s_engineer.include_interactions]
        for i in paired:
            monitors[i][0].s_engineer.include_interactions = False
        if paired:
            notes.append(f"pair products left out of candidates {paired}: S has {S.shape[1]:,} columns, more than "
                         f"{PAIR_PRODUCTS_MAX_WIDTH}")
    for i, (monitor, _) in enumerate(monitors):
        engineer = monitor.s_engineer
        warn_if_engineered_width_large(S.shape[1], engineer.include_square, engineer.include_logabs,
                                       engineer.include_interactions, rows=len(S_train), what=f"tune candidate {i}")

    count = len(monitors)
    detection: list[list[float]] = [[math.nan] * len(faults)] * count
    fit_seconds: list[float] = [0.0] * count
    covariance: list[str] = ["-"] * count
    solvers: list[str] = [_SKIPPED] * count
    # The least-squares candidates first, wherever they are listed: they cost
    # a fraction of a gradient-descent fit, and once one of them is good
    # enough the gradient-descent ones are not trained. The report keeps the
    # given order.
    order = sorted(range(count), key=lambda i: monitors[i][1] != _LEAST_SQUARES)
    # Only the best candidate so far is kept: the memory of one trained
    # monitor at a time besides the one in training.
    best: tuple[float, int, Any, Any] | None = None
    for i in _with_progress(order, progress, unit="candidate"):
        monitor, solver = monitors[i]
        if solver == _GRADIENT and best is not None and good_enough is not None and best[0] >= good_enough:
            monitors[i] = (None, _SKIPPED)
            continue
        started = time.perf_counter()
        if solver == _LEAST_SQUARES and not _fit_least_squares(monitor, S_train, Z_train):
            notes.append(f"candidate {i}: no usable least-squares solution; trained by gradient descent")
            solver = _GRADIENT
        probe = (solver == _GRADIENT and early_stopping and best is not None
                 and monitor.epochs >= 2 * _PROBE_MIN_EPOCHS)
        if probe:
            # A short run first: trained on in full only if it already beats the best so far.
            epochs = monitor.epochs
            monitor.epochs = max(_PROBE_MIN_EPOCHS, math.ceil(PROBE_SHARE * epochs))
            monitor.fit(S_train, Z_train)
            options, judged, means, chosen = _judged_options(monitor, S_held, Z_held, faults, rate, refit_rows)
            assert best is not None
            if math.isnan(means[chosen]) or (means[chosen], -i) <= (best[0], -best[1]):
                notes.append(f"candidate {i}: stopped after {monitor.epochs} of {epochs} epochs: its mean detection, "
                             f"{_percent(means[chosen])}, did not exceed the best so far, {_percent(best[0])}")
            else:
                monitor.epochs = epochs
                probe = False
        if solver == _GRADIENT and not probe:
            monitor.fit(S_train, Z_train)
        fit_seconds[i] = time.perf_counter() - started
        solvers[i] = solver
        if not probe:
            options, judged, means, chosen = _judged_options(monitor, S_held, Z_held, faults, rate, refit_rows)
        detection[i] = judged[chosen]
        covariance[i] = options[chosen][0]
        # The higher mean wins; of equal ones the candidate listed first.
        if not math.isnan(means[chosen]) and (best is None or (means[chosen], -i) > (best[0], -best[1])):
            best = (means[chosen], i, monitor, options[chosen][1] if chosen else None)
        monitors[i] = (None, solver)  # the monitor lives on in `best` only if it leads
    report = TuningReport(settings=[dict(c) for c in candidates], faults=[name for name, _, _ in faults],
                          detection=detection, fit_seconds=fit_seconds, chosen=-1,
                          training_rows=len(S_train), held_out_rows=len(S_held), false_alarm_rate=rate,
                          covariance=covariance, covariance_rows=0 if refit_rows is None else len(refit_rows[0]),
                          solvers=solvers, notes=notes)
    if best is None:
        raise ValueError("every candidate scores some clean held-out rows non-finite; none can be calibrated")
    _, report.chosen, winner, held_out_inv_cov = best
    if held_out_inv_cov is not None:
        winner.inv_cov = held_out_inv_cov
    calibrate(winner, S_held, Z_held, false_alarm_rate=rate)
    winner.tuning_report = report
    _log.info("%s", report)
    return winner
