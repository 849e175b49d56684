"""Input typicality: how unusual an input's S is against the clean S (a
squared Mahalanobis distance), calibrated like a monitor's score, and the
rule that names the cause of an alarm from the fault window and the
typicality window.

A healthy model computes Z from S by the same function whatever the inputs,
but a learned monitor only knows that function where it saw data: drifted S
gives large residuals too. The typicality of S tells the two apart. A weight
fault after S leaves S as it was, so its typicality stays clean while the
fault score rises; drifted inputs move S itself. Hence:

- fault window firing, typicality window quiet: `MODEL_FAULT`;
- typicality window firing, fault window quiet: `INPUT_DRIFT`;
- both firing: `BOTH` (the inputs changed, and the fault alarm may be their
  echo; a fault in or before the S layer looks the same, since it moves S
  too, and only a check of the weights can separate the two).
"""

from __future__ import annotations

import math
import numbers
from fractions import Fraction
from statistics import NormalDist
from typing import Any

import numpy as np

from ._arguments import _finite_matrix, _open_unit_interval
from .alarms import WindowAlarm
from .calibration import Calibration

MODEL_FAULT = "model_fault"
INPUT_DRIFT = "input_drift"
BOTH = "both"
CAUSES = (MODEL_FAULT, INPUT_DRIFT, BOTH)

# A column whose clean spread is below this share of the layer's typical
# (root-mean-square) spread counts as constant; it is standardised with that
# floor instead of its own spread, so a change to it reads as a large, but
# finite, distance.
CONSTANT_SPREAD = 1e-3

# When the fault window fires, the inputs count as drifted for its cause
# already when the typicality window's count is improbable at this
# significance (the typicality window itself fires at the alarm's, 1e-3 by
# default): its count may still be growing when the fault window fires.
DRIFT_EVIDENCE = 0.01
_EVIDENCE_Z = NormalDist().inv_cdf(1.0 - DRIFT_EVIDENCE)

# The format tag of `Typicality.to_dict`.
TYPICALITY_FORMAT = "tarvex-typicality"


def cause_of(fault: bool, drift: bool) -> str | None:
    """The cause named by the two windows: `MODEL_FAULT` when only the
    fault window fires, `INPUT_DRIFT` when only the typicality window fires,
    `BOTH` when both do, None when neither does."""
    if fault:
        return BOTH if drift else MODEL_FAULT
    return INPUT_DRIFT if drift else None


def constant_columns(rows: np.ndarray) -> np.ndarray:
    """Boolean mask of the columns of `rows` (clean data, one row per input)
    that never vary: their spread is below `CONSTANT_SPREAD` times the
    root-mean-square spread of all columns (every column when none
    varies)."""
    spread = np.asarray(rows, dtype=np.float64).std(axis=0)
    typical = math.sqrt(float(np.mean(spread ** 2))) if spread.size else 0.0
    if typical == 0.0:
        return np.ones(spread.shape, dtype=bool)
    mask: np.ndarray = spread < CONSTANT_SPREAD * typical
    return mask


def _spread_floor(rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Per-column mean and scale of clean rows, with the scale of constant
    columns raised to the floor (1 when no column varies)."""
    values = np.asarray(rows, dtype=np.float64)
    mean = values.mean(axis=0)
    spread = values.std(axis=0)
    typical = math.sqrt(float(np.mean(spread ** 2))) if spread.size else 0.0
    floor = CONSTANT_SPREAD * typical if typical > 0 else 1.0
    return mean, np.maximum(spread, floor)


class Typicality:
    """How unusual an input's S is against clean S, with a calibrated
    threshold; built by `fit_typicality`.

    `score(S)` is the squared Mahalanobis distance of each row from the
    clean mean, with the Ledoit-Wolf shrunk covariance of the clean rows
    after each column was standardised (a column that never varied is
    standardised by a floor, `CONSTANT_SPREAD` of the typical spread, so any
    change to it reads as atypical). `calibration` is the `Calibration` of
    the threshold `tau` on held-out clean rows: a new clean row scores above
    `tau` with probability at most `calibration.false_alarm_rate`.
    `alarm(...)` gives the matching `WindowAlarm` (the typicality window).
    """

    def __init__(self, *, mean: np.ndarray, scale: np.ndarray, precision: np.ndarray,
                 calibration: Calibration, score_mean: float, score_std: float) -> None:
        """Takes the fitted statistics as they are; `fit_typicality` and
        `from_dict` build and check them. `score_mean` and `score_std` are
        the mean and standard deviation of the held-out clean scores."""
        self.mean = np.asarray(mean, dtype=np.float64)
        self.scale = np.asarray(scale, dtype=np.float64)
        self.precision = np.asarray(precision, dtype=np.float64)
        self.calibration = calibration
        self.score_mean = float(score_mean)
        self.score_std = float(score_std)

    def mean_is_high(self, total: float, count: int) -> bool:
        """Whether the mean `total / count` of a window's scores is
        improbably high for clean inputs (one-sided, at `DRIFT_EVIDENCE`, by
        the normal approximation of a mean of `count` clean scores). A small
        shift of every input raises every score a little: the mean sees it
        long before the count above `tau` does."""
        if count < 1:
            return False
        return total / count - self.score_mean > _EVIDENCE_Z * self.score_std / math.sqrt(count)

    @property
    def width(self) -> int:
        """Columns of the S it scores."""
        return int(self.mean.shape[0])

    @property
    def tau(self) -> float:
        """Rows scoring above this are atypical."""
        return self.calibration.tau

    def __repr__(self) -> str:
        return (f"Typicality({self.width} columns, tau {self.tau:.6g} at a false-alarm rate of "
                f"{self.calibration.false_alarm_rate:g})")

    def score(self, S: Any) -> np.ndarray:
        """Squared Mahalanobis distance of each row of `S` (rows, width)
        from the clean rows, float64; a row holding NaN or inf scores inf.
        A wrong width raises `ValueError`, a non-numeric or complex `S`
        `TypeError`."""
        rows = np.asarray(S)
        if rows.dtype.kind == "c":
            raise TypeError("S must be real, got complex values")
        if rows.dtype.kind not in "biuf":
            raise TypeError(f"S must be numeric, got dtype {rows.dtype}")
        if rows.ndim != 2 or rows.shape[1] != self.width:
            raise ValueError(f"S must have shape (rows, {self.width}), got {rows.shape}")
        return _distances(rows, self.mean, self.scale, self.precision)

    def alarm(self, *, window: int = 50, significance: float = 1e-3) -> WindowAlarm:
        """The typicality window: a `WindowAlarm` over this calibration, so
        that a window of clean inputs fires with probability at most
        `significance`."""
        return WindowAlarm.from_calibration(self.calibration, window=window, significance=significance)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dictionary; `Typicality.from_dict` reads it back."""
        return {"format": TYPICALITY_FORMAT, "mean": self.mean.tolist(), "scale": self.scale.tolist(),
                "precision": self.precision.tolist(), "calibration": self.calibration.to_dict(),
                "score_mean": self.score_mean, "score_std": self.score_std}

    @classmethod
    def from_dict(cls, d: Any) -> Typicality:
        """Rebuilds a typicality from `to_dict()`'s dictionary; raises
        `ValueError` for anything missing, misshapen or non-finite."""
        keys = {"format", "mean", "scale", "precision", "calibration", "score_mean", "score_std"}
        if not isinstance(d, dict) or set(d) != keys:
            raise ValueError(f"a typicality is a dictionary with the keys {sorted(keys)}")
        if d["format"] != TYPICALITY_FORMAT:
            raise ValueError(f"not a typicality: format {d['format']!r}")
        try:
            mean, scale, precision = (np.asarray(d[key], dtype=np.float64) for key in ("mean", "scale", "precision"))
        except (TypeError, ValueError):
            raise ValueError("typicality mean, scale and precision must be lists of numbers") from None
        width = mean.shape[0] if mean.ndim == 1 else -1
        if width < 1 or scale.shape != (width,) or precision.shape != (width, width):
            raise ValueError(f"typicality shapes disagree: mean {mean.shape}, scale {scale.shape}, "
                             f"precision {precision.shape}")
        if not (np.isfinite(mean).all() and np.isfinite(scale).all() and np.isfinite(precision).all()):
            raise ValueError("typicality statistics hold non-finite values")
        if not (scale > 0).all():
            raise ValueError("typicality scale must be positive")
        calibration = d["calibration"]
        if not isinstance(calibration, dict):
            raise ValueError("typicality calibration must be a dictionary")
        try:
            record = Calibration(**calibration)
        except TypeError as error:
            raise ValueError(f"typicality calibration: {error}") from None
        moments = (d["score_mean"], d["score_std"])
        if not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) for v in moments) \
                or moments[1] <= 0:
            raise ValueError("typicality score_mean and score_std must be finite, score_std positive")
        return cls(mean=mean, scale=scale, precision=precision, calibration=record, score_mean=float(moments[0]),
                   score_std=float(moments[1]))


def fit_typicality(S: Any, held_out: Any = None, *, false_alarm_rate: float = 0.01,
                   random_state: int = 0) -> Typicality:
    """Fits the typicality of clean `S` (rows, columns) and calibrates its
    threshold at `false_alarm_rate` on `held_out` clean rows (the conformal
    rule of `calibrate`: at most floor(rate * n) of the n held-out rows score
    above it). Without `held_out` a random quarter of `S`, at least 10 /
    rate rows, is held out (drawn with `random_state`); the held-out rows
    fit nothing.

    Raises `ValueError` for non-finite or misshapen rows, fewer than 10 /
    rate held-out rows, or fewer than two fitting rows; `TypeError` for
    complex or non-numeric rows or a non-int `random_state`.
    """
    from sklearn.covariance import LedoitWolf

    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    rows = _finite_matrix(S, "S")
    needed = math.ceil(10 / rate)  # as `calibrate` asks
    if held_out is None:
        held = max(needed, len(rows) // 4)
        if len(rows) - held < 2:
            raise ValueError(f"{len(rows)} rows are too few: {held} are held out to calibrate and at least "
                             "two more must fit, or pass held_out")
        order = np.random.default_rng(int(random_state)).permutation(len(rows))
        fitting, calibrating = rows[order[held:]], rows[order[:held]]
    else:
        fitting, calibrating = rows, _finite_matrix(held_out, "held-out S")
        if calibrating.shape[1] != rows.shape[1]:
            raise ValueError(f"held-out S has {calibrating.shape[1]} columns, S has {rows.shape[1]}")
        if len(calibrating) < needed:
            raise ValueError(f"{len(calibrating)} held-out rows cannot resolve a false-alarm rate of {rate!r}: "
                             f"at least {needed} (10 / rate) are needed")
        if len(fitting) < 2:
            raise ValueError("at least two rows must fit the typicality")
    mean, scale = _spread_floor(fitting)
    standard = (fitting.astype(np.float64) - mean) / scale
    covariance = LedoitWolf(assume_centered=True).fit(standard).covariance_
    # Constant columns have no spread left after standardising; the
    # shrinkage gives them some, and a tiny ridge keeps the inverse finite
    # when every column is constant.
    covariance[np.diag_indices_from(covariance)] += 1e-9
    precision = np.linalg.inv(covariance)
    scores = _distances(calibrating, mean, scale, precision)
    # The conformal rank of `calibrate`: at most floor(rate * n) rows above tau.
    rank = len(calibrating) - math.floor(Fraction(rate) * len(calibrating))
    tau = float(np.partition(scores, rank - 1)[rank - 1])
    if not math.isfinite(tau):
        raise ValueError("held-out rows score non-finite typicality; calibrate on clean rows")
    return Typicality(mean=mean, scale=scale, precision=precision,
                      calibration=Calibration(tau=tau, false_alarm_rate=rate, rows=len(calibrating), rank=rank),
                      score_mean=float(np.mean(scores)), score_std=max(float(np.std(scores)), 1e-12))


def _distances(rows: np.ndarray, mean: np.ndarray, scale: np.ndarray, precision: np.ndarray) -> np.ndarray:
    """Squared Mahalanobis distances of standardised rows; inf where a row
    is not finite."""
    with np.errstate(over="ignore", invalid="ignore"):
        standard = (rows.astype(np.float64) - mean) / scale
        scores = np.einsum("ni,ij,nj->n", standard, precision, standard)
    return np.where(np.isfinite(scores), scores, math.inf)
