"""Calibrating a monitor's threshold `tau` on held-out clean data, as a
conformal quantile of the calibration scores, and the record of what was
decided (`Calibration`), which the window alarm and the monitor file use."""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import numpy as np
import numpy.typing as npt
from scipy import stats

from tarvex.core.resmon import NeuralConditionalMonitor

from ._arguments import _open_unit_interval, _pair, _positive_int, _scores


@dataclass(frozen=True)
class Calibration:
    """What `calibrate` decided: `tau` is the `rank`-th smallest of the scores
    of `rows` clean calibration rows, chosen for `false_alarm_rate` and, when
    not None, `confidence`.

    For exchangeable scores (calibration rows and new inputs from the same
    distribution) the share of new clean inputs scoring above `tau` follows a
    Beta(rows + 1 - rank, rank) law over the draw of the calibration rows;
    `WindowAlarm.from_calibration` builds on that law.

    Values out of range, fewer `rows` than `calibrate` requires for the rate
    and confidence (10 / rate without confidence), or a rank that its rule
    would not give for `rows`, `false_alarm_rate` and `confidence`, raise
    `ValueError` (`TypeError` for values of the wrong type). A rate or
    confidence given as a NumPy float is recorded as the decimal it prints
    as (np.float32(0.05) as 0.05).
    """

    tau: float
    false_alarm_rate: float
    rows: int
    rank: int
    confidence: float | None = None

    def __post_init__(self) -> None:
        """Checks the record, so that a file edited by hand cannot claim a
        guarantee its numbers do not give."""
        tau = _finite_float(self.tau, "tau")
        rate = _open_unit_interval(self.false_alarm_rate, "false_alarm_rate")
        confidence = None if self.confidence is None else _open_unit_interval(self.confidence, "confidence")
        rows, rank = _positive_int(self.rows, "rows"), _positive_int(self.rank, "rank")
        if rank > rows:
            raise ValueError(f"rank {rank} is larger than the {rows} calibration rows")
        needed = _rows_needed(rate, confidence)
        if rows < needed:
            rule = "(10 / rate)" if confidence is None else f"for confidence {confidence!r}"
            raise ValueError(f"inconsistent calibration: {rows} rows cannot resolve a false-alarm rate of "
                             f"{rate!r}; calibrate needs at least {_count_text(needed)} {rule}")
        expected = _rank(rows, rate, confidence)
        if rank != expected:
            raise ValueError(f"inconsistent calibration: {rows} rows at a false-alarm rate of {rate!r} and "
                             f"confidence {confidence!r} give rank {expected}, not {rank}")
        # Normalised types, so that equal records compare equal and save alike.
        object.__setattr__(self, "tau", tau)
        object.__setattr__(self, "false_alarm_rate", rate)
        object.__setattr__(self, "confidence", confidence)
        object.__setattr__(self, "rows", rows)
        object.__setattr__(self, "rank", rank)

    def to_dict(self) -> dict[str, Any]:
        """The record as a JSON-ready dictionary (the monitor file's
        "calibration" entry); `Calibration(**d)` reads it back."""
        return {"tau": self.tau, "false_alarm_rate": self.false_alarm_rate, "rows": self.rows,
                "rank": self.rank, "confidence": self.confidence}


def _finite_float(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:  # an int beyond float range
        result = math.inf
    if not math.isfinite(result):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return result


def _rows_needed(rate: float, confidence: float | None) -> int:
    """Fewest calibration rows for the request: 10 / rate for the plain
    rule; with `confidence`, the fewest n for which even the largest score
    keeps the fresh rate at most `rate` with that confidence,
    1 - (1 - rate)^n >= confidence."""
    if confidence is None:
        # The float quotient, as the rule has always been computed (10 / (1/7)
        # is 70 rows, not 71); a subnormal rate overflows to more rows than
        # any data set holds.
        needed = 10 / rate
        return math.ceil(needed) if math.isfinite(needed) else 2**63
    estimate = math.log1p(-confidence) / math.log1p(-rate)
    if not math.isfinite(estimate) or estimate > 2.0**62:
        return 2**63  # more rows than any data set holds
    n = max(1, math.ceil(estimate) - 1)
    while -math.expm1(n * math.log1p(-rate)) < confidence:  # exact search past float rounding
        n += 1
    return n


def _rank(n: int, rate: float, confidence: float | None) -> int:
    """Rank k (k-th smallest of n) of the calibration score that becomes tau.

    Without confidence: k = n - floor(rate * n), the smallest score with at
    most floor(rate * n) scores strictly above it. With confidence c: the
    fresh rate above the k-th smallest of n exchangeable scores follows
    Beta(n + 1 - k, k), and P(Beta(j, n + 1 - j) <= rate) = P(Binomial(n,
    rate) >= j); k = n + 1 - j for the largest j whose probability is still
    at least c. Returns 0 when no rank reaches c (too few rows)."""
    if confidence is None:
        return n - math.floor(Fraction(rate) * n)
    # binom.ppf gives the neighbourhood; the exact search settles rounding.
    j = int(stats.binom.ppf(1.0 - confidence, n, rate)) + 1
    j = min(max(j, 1), n)
    while j > 1 and stats.binom.sf(j - 1, n, rate) < confidence:
        j -= 1
    while j < n and stats.binom.sf(j, n, rate) >= confidence:
        j += 1
    if stats.binom.sf(j - 1, n, rate) < confidence:
        return 0
    return n + 1 - j


def calibrate(monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float, confidence: float | None = None) -> float:
    """Sets `monitor.tau` from held-out clean data and returns it; the
    decision is kept as `monitor.calibration` (a `Calibration`).

    Without `confidence`, `tau` becomes the smallest of the calibration scores
    for which the share of calibration rows scoring strictly above it is at
    most `false_alarm_rate`: with k = floor(rate * n), the (n - k)-th
    smallest score. New inputs from the same distribution then score above it
    with probability at most (k + 1) / (n + 1), the rate plus at most 1/n, on
    average over the draw of the calibration rows; a single calibration can
    be above that, and with few rows often is. At least 10 / rate rows are
    required.

    With `confidence` c in (0, 1), e.g. 0.9, the rank is chosen so that, with
    probability at least c over the draw of the calibration rows, the share of
    new clean inputs above `tau` is at most `false_alarm_rate` (from the Beta
    law of that share; see `Calibration`). The price is a higher `tau`, so
    fewer faulted inputs are flagged; it shrinks as the rows grow. It needs
    the fewest n rows with 1 - (1 - rate)^n >= c (45 at 5% and 0.9).

    A rate or confidence given as a NumPy float is taken as the decimal it
    prints as (np.float32(0.05) is 0.05, not 0.05000000074505806). The new
    `tau` is saved by `to_dict` as usual. A rate or confidence
    outside (0, 1), fewer rows than required (the message says how many),
    wrong shapes or non-finite calibration scores raise `ValueError`, complex
    S or Z `TypeError`, leaving `tau` and `monitor.calibration` unchanged. The
    network scores in evaluation mode (no dropout), whatever mode it was left
    in; its mode is restored afterwards.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if confidence is not None:
        confidence = _open_unit_interval(confidence, "confidence")
    S, Z = _pair(monitor, S, Z)
    n = S.shape[0]
    needed = _rows_needed(rate, confidence)
    if n < needed:
        rule = "(10 / rate)" if confidence is None else f"for confidence {confidence!r}"
        raise ValueError(f"{n} calibration rows cannot resolve a false-alarm rate of {rate!r}: "
                         f"at least {_count_text(needed)} {rule} are needed")
    rank = _rank(n, rate, confidence)
    if rank == 0:  # cannot happen with n >= needed, but never calibrate on a guess
        raise ValueError(f"{n} calibration rows cannot reach confidence {confidence!r} at rate {rate!r}")
    scores = _scores(monitor, S, Z)
    bad = int(np.count_nonzero(~np.isfinite(scores)))
    if bad:
        raise ValueError(f"{bad} of {n} calibration rows score non-finite (non-finite or extreme S/Z values); "
                         "calibrate on clean data")
    tau = float(np.partition(scores, rank - 1)[rank - 1])
    record = Calibration(tau=tau, false_alarm_rate=rate, rows=n, rank=rank, confidence=confidence)
    monitor.tau = tau
    # The record rides on the monitor object (which takes attributes), so
    # `save` and the window alarms find it.
    setattr(monitor, "calibration", record)
    return tau


def _family_rank(n: int, rate: float, confidence: float | None) -> int:
    """K for a family-wise threshold set on n clean calibration inputs (see
    `watch.cover`): a new clean input alarms when fewer calibration inputs
    than the K-th smallest leave-one-out count score at least as high, and
    the share of such inputs follows Beta(K, n + 1 - K) over the draw of the
    calibration inputs. Without confidence K = floor(rate * (n + 1)), the
    rate on average; with confidence c the largest K for which that share
    is at most `rate` with probability at least c (the same law as a
    monitor's `tau` at rank n + 1 - K). Returns 0 when no K reaches c."""
    if confidence is None:
        return math.floor(Fraction(rate) * (n + 1))
    rank = _rank(n, rate, confidence)
    return 0 if rank == 0 else n + 1 - rank


def _count_text(count: int) -> str:
    return str(count) if count < 10**12 else f"about 1e{len(str(count)) - 1}"


def _conformal_tau(scores: np.ndarray, rate: float) -> float:
    """The smallest score with at most floor(rate * n) scores strictly above it."""
    n = len(scores)
    allowed = math.floor(Fraction(rate) * n)  # exact: no rounding up past the rate
    return float(np.partition(scores, n - 1 - allowed)[n - 1 - allowed])
