"""Window alarms: a fault alarm over the last inputs, firing when the count
of scores above `tau` is improbable for a clean model."""

from __future__ import annotations

import math
import numbers
from array import array
from collections import deque
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
from scipy import special, stats

from ._arguments import _open_unit_interval, _positive_int
from .calibration import Calibration, _family_rank

# Tail probability P(X >= c) of the count X of scores above tau among m clean
# inputs, for c in 1..m.
_Tail = Callable[[int, int], float]


def _binomial_tail(rate: float) -> _Tail:
    def tail(m: int, c: int) -> float:
        return float(special.bdtrc(c - 1, m, rate))
    return tail


def _beta_binomial_tail(a: float, b: float) -> _Tail:
    """Tail of the beta-binomial(m, a, b) law, summed from its probability
    mass function in blocks of doubling size until the terms, past the mean,
    no longer change the sum (the law's own formula, without the per-call
    overhead of a distribution object)."""
    log_beta = float(special.betaln(a, b))
    share = a / (a + b)

    def tail(m: int, c: int) -> float:
        total, start, size = 0.0, c, 64
        while start <= m:
            x = np.arange(start, min(start + size, m + 1), dtype=np.float64)
            log_pmf = (special.betaln(x + a, m - x + b) - special.betaln(m - x + 1, x + 1)
                       - math.log(m + 1) - log_beta)
            terms = np.exp(log_pmf)
            total += float(terms.sum())
            if start > m * share and terms[-1] <= total * 1e-17:
                break
            start, size = start + size, 2 * size
        return min(total, 1.0)
    return tail


def _larger_tail(first: _Tail, second: _Tail) -> _Tail:
    """The larger of two tails: its smallest firing count is the larger of
    theirs."""
    def tail(m: int, c: int) -> float:
        return max(first(m, c), second(m, c))
    return tail


def _smallest_firing_count(tail: _Tail, m: int, significance: float, guess: int) -> int:
    """Smallest count c with tail(m, c) <= significance (m + 1 when none).
    The tail falls with c, so a search that gallops from `guess` and then
    bisects finds it exactly, whatever the guess, in few evaluations."""
    def fires(c: int) -> bool:
        return c > m or (c >= 1 and tail(m, c) <= significance)

    guess = min(max(guess, 1), m + 1)
    step = 1
    if fires(guess):
        high, low = guess, guess - 1
        while low >= 1 and fires(low):
            high, low, step = low, max(low - 2 * step, 0), 2 * step
    else:
        low, high = guess, guess + 1
        while not fires(high):
            low, high, step = high, min(high + 2 * step, m + 1), 2 * step
    return _bisect(fires, low, high)


def _bisect(fires: Callable[[int], bool], low: int, high: int) -> int:
    """Smallest value in (low, high] that fires, given that `low` does not
    and `high` does (firing is monotone)."""
    while high - low > 1:
        middle = (low + high) // 2
        if fires(middle):
            high = middle
        else:
            low = middle
    return high


def _shortest_firing_window(tail: _Tail, significance: float, known: int) -> int:
    """Smallest window m whose full count, every input above tau, fires:
    tail(m, m) <= significance. The chance that all of m clean inputs are
    above tau falls as m grows, so a search that gallops up from `known`
    (a window that cannot fire) and then bisects finds it."""
    def fires(m: int) -> bool:
        return tail(m, m) <= significance

    low, high, step = known, known + 1, 1
    while not fires(high):
        if high > 2**62:  # no window any stream could fill
            return high
        low, high, step = high, high + 2 * step, 2 * step
    return _bisect(fires, low, high)


def _count_text(count: int) -> str:
    return str(count) if count <= 2**62 else "beyond any stream's length"


def _finite_tau(tau: Any) -> float:
    if isinstance(tau, bool) or not isinstance(tau, numbers.Real):
        raise ValueError(f"tau must be a finite number, got {tau!r}")
    try:
        value = float(tau)
    except OverflowError:  # an int beyond float range
        raise ValueError(f"tau must be a finite number, got an int of {len(str(abs(math.trunc(tau))))} digits") from None
    if not math.isfinite(value):
        raise ValueError(f"tau must be a finite number, got {tau!r}")
    return value


def _real_scores(scores: np.ndarray) -> np.ndarray:
    """`scores` as float64, refusing what is not a real number: NumPy would
    read "3" as 3.0 and drop the imaginary part of 3+4j with only a warning,
    and take True as a score of 1."""
    kind = scores.dtype.kind
    if kind == "O":
        for item in scores.reshape(-1).tolist():
            if item is None:
                raise TypeError("update takes scores, got a sequence holding None")
            if isinstance(item, bool) or not isinstance(item, numbers.Real):
                raise TypeError(f"update takes real-number scores, got a {type(item).__name__}: {item!r}")
    elif kind not in "iuf":
        names = {"U": "text", "S": "bytes", "b": "booleans", "c": "complex numbers"}
        what = names.get(kind, f"dtype {scores.dtype}")
        raise TypeError(f"update takes real-number scores, got {what}")
    return scores.astype(np.float64)


class WindowAlarm:
    """A fault alarm over a sliding window of inputs.

    A single input through a faulted model is often not flagged, but a fault
    raises the share of scores above `tau`. The alarm keeps whether each of
    the last `window` scores was above `tau` (NaN and inf count as above) and
    fires while the count is improbable for a clean model: when the upper
    tail P(X >= count) of a clean window with as many inputs is at most
    `significance`. This holds before the window is full too, so a burst at
    the start fires at once.

    Built with the constructor, X ~ Binomial(inputs in the window,
    `false_alarm_rate`): right when the per-input rate above `tau` is known
    exactly. Built with `from_calibration`, X follows the beta-binomial law
    of the calibration, which also counts the uncertainty of `tau` itself.

    The settings are read-only: the thresholds are set up for them. Settings
    under which even a full window of scores above `tau` would not be
    improbable enough (a window too short for the rate and significance) can
    never fire and raise `ValueError`, naming the smallest window that can.

    Set-up cost: the constructor's binomial law sets up in about a
    millisecond for any window up to 1e7. The beta-binomial laws of
    `from_calibration` and `from_coverage` sum the law's probabilities over
    the count's spread, which grows with the window and with the spread of
    the calibration's Beta law (fewer calibration rows, wider spread): on a
    2-core machine, window 1e5 took 0.03 s, 1e6 0.4 s and 1e7 3 s for 200
    rows at rate 0.05, and 1e7 0.23 s for 2,000 rows at rate 0.01. The
    thresholds of a window that is still filling are found as it fills.
    """

    def __init__(self, *, tau: float, false_alarm_rate: float, window: int = 50,
                 significance: float = 1e-3) -> None:
        """Checks the settings and finds the smallest count above `tau` that
        fires in a full window.

        A `tau` that is not a finite number raises `ValueError`; a rate or
        significance outside (0, 1), a window below 1, or one too short to
        ever fire, raise `ValueError` (`TypeError` for values of the wrong
        type)."""
        rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
        self._setup(_finite_tau(tau), rate, window, significance, None, _binomial_tail(rate))

    @classmethod
    def from_calibration(cls, calibration: Calibration, *, window: int = 50,
                         significance: float = 1e-3) -> WindowAlarm:
        """A window alarm for a monitor calibrated by `calibrate` (its
        `monitor.calibration`, also restored by `load`), with its `tau`.

        Over the draw of the calibration rows, the share of clean inputs above
        `tau` follows Beta(rows + 1 - rank, rank); the count of them in a
        window of m clean inputs is then beta-binomial(m, rows + 1 - rank,
        rank). Counting with that law, the chance that a window of clean
        inputs fires is at most `significance`, taken over both the
        calibration and the window, however few the calibration rows.

        A calibration with a `confidence` promises more: with that
        probability, this very calibration lets at most `false_alarm_rate`
        of clean inputs through. The alarm then also counts with
        Binomial(m, `false_alarm_rate`) and fires only when both laws find
        the count improbable, so that, with the calibration's confidence, a
        clean window of this deployment fires with probability at most
        `significance`, not just on average over calibrations.

        A clean stream checks many overlapping windows: with window 50 and
        significance 1e-3, streams of 300 clean inputs fired in 0.7-2.4% of
        cases for 200 to 5,000 calibration rows (benchmarks/bench_calibration.py).

        A `calibration` that is not a `Calibration` raises `TypeError`; a
        significance outside (0, 1), a window below 1, or one too short to
        ever fire, raise `ValueError`.
        """
        if not isinstance(calibration, Calibration):
            raise TypeError(f"calibration must be a watch.Calibration, got {type(calibration).__name__}")
        a, b = calibration.rows + 1 - calibration.rank, calibration.rank
        tail = _beta_binomial_tail(a, b)
        if calibration.confidence is not None:
            tail = _larger_tail(_binomial_tail(calibration.false_alarm_rate), tail)
        alarm = cls.__new__(cls)
        alarm._setup(calibration.tau, calibration.false_alarm_rate, window, significance, calibration, tail)
        return alarm

    @classmethod
    def from_coverage(cls, coverage: Any, *, window: int = 50, significance: float = 1e-3) -> WindowAlarm:
        """A window alarm over a coverage's per-input alarms, for a watcher
        of that coverage: `tau` is `1 - coverage.p_threshold`, the threshold
        of the watcher's scores (one minus an input's smallest p-value), so
        a score is above `tau` exactly where the coverage alarms.

        The count follows the beta-binomial law of the family-wise
        threshold: over the draw of the n calibration inputs the share of
        clean inputs that alarm follows Beta(K, n + 1 - K), K = floor(rate
        * (n + 1)), whose mean K / (n + 1) is at most
        `coverage.false_alarm_rate`. As for `from_calibration`, a clean
        window then fires with probability at most `significance` over the
        calibration draw and the window. A coverage set with a `confidence`
        (K chosen for it) is also counted with Binomial(m, rate), the alarm
        firing only when both laws find the count improbable, as for a
        calibration with a confidence.

        A `coverage` that is not a `Coverage` raises `TypeError`; a
        significance outside (0, 1), a window below 1, or one too short to
        ever fire, raise `ValueError`.
        """
        # Read by what it holds rather than by its class: the alarms sit below
        # the coverage in the package and do not import it.
        n = getattr(coverage, "calibration_rows", None)
        rate = getattr(coverage, "false_alarm_rate", None)
        p_threshold = getattr(coverage, "p_threshold", None)
        if not (isinstance(n, int) and isinstance(rate, float) and isinstance(p_threshold, float)):
            raise TypeError(f"coverage must be a watch.Coverage, got {type(coverage).__name__}")
        confidence = getattr(coverage, "confidence", None)
        k = min(max(_family_rank(n, rate, confidence), 1), n)
        tail = _beta_binomial_tail(k, n + 1 - k)
        if confidence is not None:
            tail = _larger_tail(_binomial_tail(rate), tail)
        alarm = cls.__new__(cls)
        alarm._setup(1.0 - p_threshold, rate, window, significance, None, tail)
        return alarm

    def _setup(self, tau: float, rate: float, window: Any, significance: Any, calibration: Calibration | None,
               tail: _Tail) -> None:
        self._tau = tau
        self._false_alarm_rate = rate
        self._window = _positive_int(window, "window")
        self._significance = _open_unit_interval(significance, "significance")
        self._calibration = calibration
        self._tail = tail
        # The quantile of the law gives a first guess; the search makes it exact.
        if calibration is None:
            guess = stats.binom.isf(self._significance, self._window, rate)
        else:  # in a long window the count's share follows the Beta law itself
            a, b = calibration.rows + 1 - calibration.rank, calibration.rank
            guess = self._window * stats.beta.isf(self._significance, a, b)
        guess = int(guess) + 1 if math.isfinite(guess) else self._window + 1
        self._full = _smallest_firing_count(tail, self._window, self._significance, guess)
        if self._full > self._window:
            shortest = _shortest_firing_window(tail, self._significance, self._window)
            raise ValueError(f"a window of {self._window} inputs can never fire: even with every score above "
                             f"tau its count is not improbable at significance {self._significance!r} for a "
                             f"false-alarm rate of {rate!r}; the smallest window that can fire is "
                             f"{_count_text(shortest)}")
        # _filling[m]: smallest count that fires with m < window inputs (m + 1
        # when none can), found as the window first fills. Adding an input
        # raises it by at most one, so each new entry takes one evaluation.
        self._filling = array("q", [1])
        self._above: deque[bool] = deque(maxlen=self._window)
        self._count = 0

    @property
    def tau(self) -> float:
        """Scores above this count toward the alarm."""
        return self._tau

    @property
    def false_alarm_rate(self) -> float:
        """The per-input rate of scores above `tau` on clean inputs."""
        return self._false_alarm_rate

    @property
    def window(self) -> int:
        """Number of most recent inputs the alarm counts over."""
        return self._window

    @property
    def significance(self) -> float:
        """Largest chance of a clean window firing."""
        return self._significance

    @property
    def calibration(self) -> Calibration | None:
        """The calibration the alarm was built from (`from_calibration`), or None."""
        return self._calibration

    @property
    def count(self) -> int:
        """Number of scores above `tau` among the last `window` inputs."""
        return self._count

    def reset(self) -> None:
        """Forgets every score seen so far (after the model was replaced)."""
        self._above.clear()
        self._count = 0

    def update(self, score_or_scores: float | npt.ArrayLike) -> bool:
        """Adds one score or a 1-D sequence of scores, oldest first, and
        returns True if the window's count was improbable after any of them
        (so a burst inside one call is never missed), else False. An empty
        sequence returns the current state.

        Scores are real numbers: None, strings, bytes, booleans and complex
        numbers (alone or in a sequence) raise `TypeError`, and more than
        one dimension `ValueError`, before the window changes."""
        if score_or_scores is None:
            raise TypeError("update takes a score or a sequence of scores, got None")
        scores = _real_scores(np.asarray(score_or_scores))
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
        above = ~(np.isfinite(scores) & (scores <= self._tau))
        flags, window, full, critical = self._above, self._window, self._full, self._critical
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
            now = count >= (full if len(flags) == window else critical(len(flags)))
            fired = fired or now
            if now != state:
                changes.append((position, now, count))
                state = now
        self._count = count
        return fired, changes

    def _push_below(self) -> None:
        """Adds one score at or below `tau` to a window that is not firing
        (the serving common case, without array operations): such a score
        cannot make the window fire, the smallest firing count never falling
        as the window fills."""
        flags = self._above
        if len(flags) == self._window:
            self._count -= flags[0]
        flags.append(False)

    def _critical(self, m: int) -> int:
        """Smallest count that fires with m inputs in the window."""
        if m == self._window:
            return self._full
        while len(self._filling) <= m:
            k = len(self._filling)
            previous = self._filling[k - 1]
            self._filling.append(previous if self._tail(k, previous) <= self._significance else previous + 1)
        return self._filling[m]

    def _firing(self) -> bool:
        return bool(self._above) and self._count >= self._critical(len(self._above))
