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

The fault window often fires after a few inputs, before the typicality
window has counted enough atypical ones, so a watcher also judges the S of
the inputs that made the fault window fire with the window tests of
`Typicality.window_p_values` (count, mean shift, spread high and low).
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
# What a watcher's `cause` says while a fault firing's cause is still open:
# the fault window fired, and the inputs after it decide between
# `MODEL_FAULT` and `BOTH`. Never an event's cause.
PENDING = "pending"

# A column whose clean spread is below this share of the layer's typical
# (root-mean-square) spread counts as constant; it is standardised with that
# floor instead of its own spread, so a change to it reads as a large, but
# finite, distance.
CONSTANT_SPREAD = 1e-3

# When the fault window fires, the inputs count as drifted for its cause
# already when the S inside the window is improbable for clean inputs at this
# family-wise significance (the typicality window itself fires at the
# alarm's, 1e-3 by default): the window tests on S's mean and spread see a
# shift long before the typicality window's count does, and the fault window
# often fires after its first few inputs. A fault after S leaves S as it
# was, so it is called drift with at most this probability.
DRIFT_EVIDENCE = 0.05
# When a watcher holds a firing's cause open for more inputs, the share of
# `DRIFT_EVIDENCE` spent on the early looks (at the firing and after each
# further input, equally), which settle "both" at once on strong evidence;
# the rest goes to the one look at settlement, over every input held.
EARLY_EVIDENCE_SHARE = 0.2
# The one-sided level of `Typicality.mean_is_high`.
_MEAN_IS_HIGH_Z = NormalDist().inv_cdf(0.99)

# The window tests of `Typicality.window_p_values`, in their order.
WINDOW_TESTS = ("count", "mean_shift", "spread_high", "spread_low")

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
                 calibration: Calibration, score_mean: float, score_std: float,
                 window: dict[str, Any] | None = None) -> None:
        """Takes the fitted statistics as they are; `fit_typicality` and
        `from_dict` build and check them. `score_mean` and `score_std` are
        the mean and standard deviation of the held-out clean scores;
        `window` the clean statistics of the window tests (see
        `window_p_values`; None, as typicalities stored before they existed:
        derived from the score moments as for Gaussian rows)."""
        self.mean = np.asarray(mean, dtype=np.float64)
        self.scale = np.asarray(scale, dtype=np.float64)
        self.precision = np.asarray(precision, dtype=np.float64)
        self.calibration = calibration
        self.score_mean = float(score_mean)
        self.score_std = float(score_std)
        if window is None:
            # Gaussian rows: a squared distance has mean tr(C) and variance
            # 2 tr(C^2); nothing is capped and the centre is the fitted mean.
            window = {"cap": math.inf, "score_cap": math.inf, "centre": np.zeros(self.mean.shape),
                      "trace": self.score_mean,
                      "trace_sq": self.score_std ** 2 / 2.0, "length_var": self.score_std ** 2, "rows": 0,
                      "capped_mean": self.score_mean, "capped_var": self.score_std ** 2,
                      "high_mean": self.score_mean, "high_var": self.score_std ** 2}
        # Only fitted statistics are stored; derived ones are derived again.
        self._window_fitted = math.isfinite(window["cap"])
        self.window = dict(window)
        self.window["centre"] = np.asarray(self.window["centre"], dtype=np.float64)
        self._whitener: np.ndarray | None = None

    def whitening(self) -> np.ndarray:
        """The matrix L (width, width) with L @ L.T equal to `precision`:
        a standardised row x times L is its whitened row, whose squared
        length is the row's score."""
        if self._whitener is None:
            values, vectors = np.linalg.eigh((self.precision + self.precision.T) / 2.0)
            self._whitener = vectors * np.sqrt(np.clip(values, 0.0, None))
        return self._whitener

    def scored_rows(self, S: Any) -> np.ndarray:
        """What a watcher keeps of each input for the window tests, (rows,
        1 + width): column 0 is `score(S)` (inf where the row is not
        finite); the rest the whitened row (the standardised row times
        `whitening()`, whose squared length is the score) shortened to the
        length sqrt(cap) where it is longer, minus the clean centre of such
        rows. The cap (the calibrated `tau`) keeps a few extreme clean
        inputs from dominating a window's mean; a row that is not finite
        counts as one at the cap in the direction of no column."""
        rows = self._checked(S)
        out = np.empty((len(rows), 1 + self.width))
        whitened = out[:, 1:]
        with np.errstate(over="ignore", invalid="ignore"):
            np.matmul((rows.astype(np.float64) - self.mean) / self.scale, self.whitening(), out=whitened)
            scores = np.einsum("ni,ni->n", whitened, whitened)
        finite = np.isfinite(scores)
        if not finite.all():  # such rows count as at the cap, in the direction of no column
            scores[~finite] = math.inf
            whitened[~finite] = 0.0
        out[:, 0] = scores
        cap = self.window["cap"]
        if (scores > cap).any():
            whitened[:] = _capped(whitened, scores, cap)
        whitened -= self.window["centre"]
        return out

    def window_p_values(self, scored: np.ndarray) -> tuple[float, float, float, float]:
        """P-values of four tests that the rows of a window (`scored_rows`
        of its S, any number m of rows) are clean, in the order of
        `WINDOW_TESTS`: "count", whether improbably many of them score
        above `tau` (the binomial tail at the calibrated false-alarm rate);
        "mean_shift", whether the window's mean S moved
        (m times the squared length of the mean of the m capped, centred
        whitened rows, a Hotelling-type statistic, against a scaled
        chi-square with its clean mean and variance, exact for any m);
        "spread_high" and "spread_low", whether the window's mean score
        (each capped at `tau`) is improbably high (S more spread, or moved)
        or low (S less spread: blurred, scaled down, quantised), against a
        gamma with the clean capped scores' mean and variance over m. The
        cap keeps the mean's clean distribution close to that gamma even
        where clean scores have a long tail (inputs beyond `tau` are the
        count test's). The clean statistics come from the held-out
        rows. A fault after S
        leaves S as it was, so each p-value is about uniform for it as for
        clean inputs."""
        from scipy.special import betainc, gammaincc

        m = len(scored)
        if m < 1:
            return 1.0, 1.0, 1.0, 1.0
        above = int(np.count_nonzero(~(scored[:, 0] <= self.tau)))
        p_count = 1.0 if above == 0 else float(betainc(above, m - above + 1, self.calibration.false_alarm_rate))
        null = self.window
        total = scored[:, 1:].sum(axis=0)
        statistic = float(total @ total) / m
        # The centre is itself estimated from `rows` held-out rows.
        expected = null["trace"] * (1.0 + (m / null["rows"] if null["rows"] else 0.0))
        variance = null["length_var"] / m + 2.0 * (m - 1) / m * null["trace_sq"]
        p_shift = 1.0
        if expected > 0 and variance > 0:
            gain, freedom = variance / (2.0 * expected), 2.0 * expected ** 2 / variance
            p_shift = float(gammaincc(freedom / 2.0, statistic / (2.0 * gain)))
        # Both tails of the mean score capped at tau. Capped at the largest
        # held-out score instead, the mean of a window of 10-30 clean inputs
        # with long-tailed scores crossed the gamma's 1% point several times
        # as often as 1%, and a fault after S read as drift; inputs far
        # beyond tau are counted by the count test.
        p_high, p_low = _gamma_tails(scored[:, 0], null["cap"], null["capped_mean"], null["capped_var"])
        return p_count, p_shift, p_high, p_low

    def window_p_value(self, S: Any) -> float:
        """The smallest of `window_p_values` for the rows of `S` (a
        window of inputs' S), times their number (Bonferroni): below a
        level alpha for a window of clean rows with probability about
        alpha, at most. `ValueError` and `TypeError` as `score`."""
        return min(1.0, len(WINDOW_TESTS) * min(self.window_p_values(self.scored_rows(S))))

    def mean_is_high(self, total: float, count: int) -> bool:
        """Whether the mean `total / count` of a window's scores is
        improbably high for clean inputs (one-sided, at 1%, by
        the normal approximation of a mean of `count` clean scores). A small
        shift of every input raises every score a little: the mean sees it
        long before the count above `tau` does."""
        if count < 1:
            return False
        return total / count - self.score_mean > _MEAN_IS_HIGH_Z * self.score_std / math.sqrt(count)

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
        return _distances(self._checked(S), self.mean, self.scale, self.precision)

    def _checked(self, S: Any) -> np.ndarray:
        rows = np.asarray(S)
        if rows.dtype.kind == "c":
            raise TypeError("S must be real, got complex values")
        if rows.dtype.kind not in "biuf":
            raise TypeError(f"S must be numeric, got dtype {rows.dtype}")
        if rows.ndim != 2 or rows.shape[1] != self.width:
            raise ValueError(f"S must have shape (rows, {self.width}), got {rows.shape}")
        return rows

    def alarm(self, *, window: int = 50, significance: float = 1e-3) -> WindowAlarm:
        """The typicality window: a `WindowAlarm` over this calibration, so
        that a window of clean inputs fires with probability at most
        `significance`."""
        return WindowAlarm.from_calibration(self.calibration, window=window, significance=significance)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dictionary; `Typicality.from_dict` reads it back."""
        return {"format": TYPICALITY_FORMAT, "mean": self.mean.tolist(), "scale": self.scale.tolist(),
                "precision": self.precision.tolist(), "calibration": self.calibration.to_dict(),
                "score_mean": self.score_mean, "score_std": self.score_std,
                **({"window": {**self.window, "centre": self.window["centre"].tolist()}}
                   if self._window_fitted else {})}

    @classmethod
    def from_dict(cls, d: Any) -> Typicality:
        """Rebuilds a typicality from `to_dict()`'s dictionary; raises
        `ValueError` for anything missing, misshapen or non-finite.
        Dictionaries written before "window" existed load without it."""
        keys = {"format", "mean", "scale", "precision", "calibration", "score_mean", "score_std"}
        if not isinstance(d, dict) or set(d) - {"window"} != keys:
            raise ValueError(f"a typicality is a dictionary with the keys {sorted(keys)} (and window)")
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
        window = _window_statistics(d.get("window"), width)
        return cls(mean=mean, scale=scale, precision=precision, calibration=record, score_mean=float(moments[0]),
                   score_std=float(moments[1]), window=window)


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
    typicality = Typicality(mean=mean, scale=scale, precision=precision,
                            calibration=Calibration(tau=tau, false_alarm_rate=rate, rows=len(calibrating),
                                                    rank=rank),
                            score_mean=float(np.mean(scores)), score_std=max(float(np.std(scores)), 1e-12))
    # The clean statistics of the window tests, on the held-out rows: their
    # capped whitened rows' mean (the centre) and covariance, whose trace
    # and the trace of its square give the clean mean and variance of the
    # mean-shift statistic for any window length, and the capped scores'
    # mean and variance.
    # The spread tests cap each score at tau. The statistics of scores
    # capped at the largest held-out one are still stored, for readers that
    # test with them.
    cap, score_cap = tau, float(scores.max())
    with np.errstate(over="ignore", invalid="ignore"):
        whitened = ((calibrating.astype(np.float64) - mean) / scale) @ typicality.whitening()
    capped = _capped(whitened, scores, cap)
    centre = capped.mean(axis=0)
    centred = capped - centre
    covariance = centred.T @ centred / len(centred)
    capped_scores, high_scores = np.minimum(scores, cap), np.minimum(scores, score_cap)
    typicality._window_fitted = True
    typicality.window = {"cap": cap, "score_cap": score_cap, "centre": centre, "trace": float(np.trace(covariance)),
                         "trace_sq": float(np.sum(covariance * covariance)),
                         "length_var": float(np.var(np.einsum("ni,ni->n", centred, centred))),
                         "rows": len(centred), "capped_mean": float(np.mean(capped_scores)),
                         "capped_var": float(np.var(capped_scores)), "high_mean": float(np.mean(high_scores)),
                         "high_var": float(np.var(high_scores))}
    return typicality


def _gamma_tails(scores: np.ndarray, cap: float, mean: float, variance: float) -> tuple[float, float]:
    """The upper and lower tails of the mean of `scores` capped at `cap`
    against a gamma with the clean capped scores' `mean` and `variance`
    over their number ((1, 1) where the clean scores do not vary)."""
    from scipy.special import gammainc, gammaincc

    if mean <= 0 or variance <= 0:
        return 1.0, 1.0
    m = len(scores)
    shape, size = m * mean ** 2 / variance, variance / (m * mean)
    statistic = float(np.mean(np.minimum(scores, cap))) / size
    return float(gammaincc(shape, statistic)), float(gammainc(shape, statistic))


def _capped(whitened: np.ndarray, scores: np.ndarray, cap: float) -> np.ndarray:
    """Whitened rows shortened to the length sqrt(cap) where their score
    (squared length) is above `cap`."""
    with np.errstate(divide="ignore", invalid="ignore"):
        factor = np.where(scores > cap, np.sqrt(cap / scores), 1.0)
    out: np.ndarray = whitened * np.nan_to_num(factor, nan=0.0)[:, None]
    return out


_WINDOW_KEYS = ("cap", "score_cap", "centre", "trace", "trace_sq", "length_var", "rows", "capped_mean", "capped_var",
                "high_mean", "high_var")


def _window_statistics(value: Any, width: int) -> dict[str, Any] | None:
    """The stored clean statistics of the window tests, checked (None
    where the dictionary predates them)."""
    if value is None:
        return None
    if not isinstance(value, dict) or set(value) != set(_WINDOW_KEYS):
        raise ValueError(f"typicality window must be a dictionary with the keys {sorted(_WINDOW_KEYS)}")
    numbers_only = [value[key] for key in _WINDOW_KEYS if key != "centre"]
    if not all(isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) and v >= 0
               for v in numbers_only):
        raise ValueError("typicality window statistics must be finite, non-negative numbers")
    try:
        centre = np.asarray(value["centre"], dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("typicality window centre must be a list of numbers") from None
    if centre.shape != (width,) or not np.isfinite(centre).all():
        raise ValueError(f"typicality window centre must hold {width} finite numbers")
    return {**{key: float(value[key]) for key in _WINDOW_KEYS if key not in ("centre", "rows")},
            "rows": int(value["rows"]), "centre": centre}


def _distances(rows: np.ndarray, mean: np.ndarray, scale: np.ndarray, precision: np.ndarray) -> np.ndarray:
    """Squared Mahalanobis distances of standardised rows; inf where a row
    is not finite."""
    with np.errstate(over="ignore", invalid="ignore"):
        standard = (rows.astype(np.float64) - mean) / scale
        scores = np.einsum("ni,ij,nj->n", standard, precision, standard)
    return np.where(np.isfinite(scores), scores, math.inf)
