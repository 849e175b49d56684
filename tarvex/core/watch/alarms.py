"""Window alarms: a fault alarm over the last inputs, firing when the count
of scores above `tau` is improbable for a clean model."""

from __future__ import annotations

import math
import numbers
from collections import deque
from typing import Any

import numpy as np

from ._arguments import _open_unit_interval, _positive_int


def _binomial_tail(m: int, p: float, c: int) -> float:
    """P(X >= c) for X ~ Binomial(m, p), summed term by term in log space
    (exact up to float rounding; no normal approximation)."""
    if c <= 0:
        return 1.0
    if c > m:
        return 0.0
    log_p, log_q = math.log(p), math.log1p(-p)
    log_m = math.lgamma(m + 1)
    total = 0.0
    for j in range(c, m + 1):
        term = math.exp(log_m - math.lgamma(j + 1) - math.lgamma(m - j + 1) + j * log_p + (m - j) * log_q)
        total += term
        # Past the mode the terms shrink geometrically: stop once they no
        # longer change the sum.
        if j > m * p and term < total * 1e-17:
            break
    return min(total, 1.0)


class WindowAlarm:
    """A fault alarm over a sliding window of inputs.

    A single input through a faulted model is often not flagged, but a fault
    raises the share of scores above `tau`. The alarm keeps whether each of
    the last `window` scores was above `tau` (NaN and inf count as above) and
    fires while the count is improbable for a clean model: when the binomial
    upper tail P(X >= count), X ~ Binomial(inputs in the window,
    `false_alarm_rate`), is at most `significance`. This holds before the
    window is full too, so a burst at the start fires at once.
    """

    def __init__(self, *, tau: float, false_alarm_rate: float, window: int = 50,
                 significance: float = 1e-3) -> None:
        """Checks the settings and precomputes, for every number of inputs in
        the window, the smallest count above `tau` that fires."""
        if isinstance(tau, bool) or not isinstance(tau, numbers.Real) or not math.isfinite(tau):
            raise ValueError(f"tau must be a finite number, got {tau!r}")
        self.tau = float(tau)
        self.false_alarm_rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
        self.window = _positive_int(window, "window")
        self.significance = _open_unit_interval(significance, "significance")
        # _critical[m]: smallest count that fires with m inputs in the window
        # (m + 1 when none can). Nondecreasing in m, so each search starts at
        # the previous answer.
        self._critical = [1]
        c = 0
        for m in range(1, self.window + 1):
            while c <= m and _binomial_tail(m, self.false_alarm_rate, c) > self.significance:
                c += 1
            self._critical.append(c)
        self._above: deque[bool] = deque(maxlen=self.window)
        self._count = 0

    @property
    def count(self) -> int:
        """Number of scores above `tau` among the last `window` inputs."""
        return self._count

    def reset(self) -> None:
        """Forgets every score seen so far (after the model was replaced)."""
        self._above.clear()
        self._count = 0

    def update(self, score_or_scores: Any) -> bool:
        """Adds one score or a 1-D sequence of scores, oldest first, and
        returns True if the window's count was improbable after any of them
        (so a burst inside one call is never missed), else False. An empty
        sequence returns the current state."""
        scores = np.asarray(score_or_scores, dtype=np.float64)
        if scores.ndim > 1:
            raise ValueError(f"update takes one score or a 1-D sequence of scores, got shape {scores.shape}")
        if scores.size == 0:
            return self._firing()
        return self._push(scores.reshape(-1))[0]

    def _push(self, scores: np.ndarray, state: bool | None = None) -> tuple[bool, list[tuple[int, bool, int]]]:
        """Adds a 1-D float64 array of scores, oldest first. Returns whether
        the window fired after any of them, and each change of its state
        against `state` (None: its state before the call) as (position in
        `scores`, firing after it, count after it)."""
        above = ~(np.isfinite(scores) & (scores <= self.tau))
        flags, window, critical = self._above, self.window, self._critical
        count = self._count
        if state is None:
            state = self._firing()
        fired = False
        changes = []
        for position, flag in enumerate(above.tolist()):
            if len(flags) == window:
                count -= flags[0]
            flags.append(flag)
            count += flag
            now = count >= critical[len(flags)]
            fired = fired or now
            if now != state:
                changes.append((position, now, count))
                state = now
        self._count = count
        return fired, changes

    def _firing(self) -> bool:
        return bool(self._above) and self._count >= self._critical[len(self._above)]
