"""Calibrating a monitor's threshold `tau` on held-out clean data, as a
conformal quantile of the calibration scores."""

from __future__ import annotations

import math
from fractions import Fraction
from typing import Any

import numpy as np

from ._arguments import _open_unit_interval, _pair, _scores


def calibrate(monitor: Any, S: Any, Z: Any, *, false_alarm_rate: float) -> float:
    """Sets `monitor.tau` from held-out clean data and returns it.

    `tau` becomes the smallest of the calibration scores for which the share
    of calibration rows scoring strictly above it is at most
    `false_alarm_rate`: with k = floor(rate * n), the (n - k)-th smallest
    score. New inputs from the same distribution then score above it with
    probability at most (k + 1) / (n + 1), the rate plus at most 1/n, which is
    why at least 10 / rate rows are required. The new `tau` is saved by
    `to_dict` as usual.

    The network scores in evaluation mode (no dropout), whatever mode it was
    left in; its mode is restored afterwards. A rate outside (0, 1), fewer
    rows than that, wrong shapes, complex S or Z or non-finite calibration
    scores raise `ValueError`, leaving `tau` unchanged.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    S, Z = _pair(monitor, S, Z)
    n = S.shape[0]
    needed = math.ceil(10 / rate)
    if n < needed:
        raise ValueError(f"{n} calibration rows cannot resolve a false-alarm rate of {rate!r}: "
                         f"at least {needed} (10 / rate) are needed")
    scores = _scores(monitor, S, Z)
    bad = int(np.count_nonzero(~np.isfinite(scores)))
    if bad:
        raise ValueError(f"{bad} of {n} calibration rows score non-finite (non-finite or extreme S/Z values); "
                         "calibrate on clean data")
    tau = _conformal_tau(scores, rate)
    monitor.tau = tau
    return tau


def _conformal_tau(scores: np.ndarray, rate: float) -> float:
    """The smallest score with at most floor(rate * n) scores strictly above it."""
    n = len(scores)
    allowed = math.floor(Fraction(rate) * n)  # exact: no rounding up past the rate
    return float(np.partition(scores, n - 1 - allowed)[n - 1 - allowed])
