"""A fault alarm over a sliding window of scores."""

import numpy.typing as npt

from .calibration import Calibration
from .coverage import Coverage

class WindowAlarm:
    """A fault alarm over a sliding window of inputs: fires while the count of
    scores above `tau` among the last `window` is improbable for a clean
    model (upper tail at most `significance`). The settings are read-only."""

    def __init__(
        self, *, tau: float, false_alarm_rate: float, window: int = 50, significance: float = 0.001
    ) -> None:
        """Counts with Binomial(inputs in the window, `false_alarm_rate`).
        Raises `ValueError` for a non-finite `tau`, a rate or significance
        outside (0, 1) or a window below 1 (`TypeError` for wrong types)."""
    @classmethod
    def from_calibration(
        cls, calibration: Calibration, *, window: int = 50, significance: float = 0.001
    ) -> WindowAlarm:
        """Counts with the beta-binomial law of the calibration (rows, rank),
        so a clean window fires with probability at most `significance` over
        the calibration draw and the window; with a calibration `confidence`,
        also with the binomial law at the stated rate (fires only when both
        find the count improbable). Raises `TypeError` for a calibration that
        is not a `Calibration`, `ValueError` for bad settings."""
    @classmethod
    def from_coverage(cls, coverage: Coverage, *, window: int = 50, significance: float = 0.001) -> WindowAlarm:
        """An alarm over a coverage's per-input alarms: `tau` is
        `1 - coverage.p_threshold` (a coverage watcher's threshold) and the
        count follows the beta-binomial law of the family-wise threshold,
        Beta(K, n + 1 - K) with K = floor(rate * (n + 1)). Raises
        `TypeError` for a coverage that is not a `Coverage`, `ValueError`
        for bad settings."""
    @property
    def tau(self) -> float:
        """Scores above this count toward the alarm."""
    @property
    def false_alarm_rate(self) -> float:
        """The per-input rate of scores above `tau` on clean inputs."""
    @property
    def window(self) -> int:
        """Number of most recent inputs the alarm counts over."""
    @property
    def significance(self) -> float:
        """Largest chance of a clean window firing."""
    @property
    def calibration(self) -> Calibration | None:
        """The calibration the alarm was built from, or None."""
    @property
    def count(self) -> int:
        """Number of scores above `tau` among the last `window` inputs."""
    def reset(self) -> None:
        """Forgets every score seen so far."""
    def update(self, score_or_scores: float | npt.ArrayLike) -> bool:
        """Adds one score or a 1-D sequence of scores; True if the alarm fired
        after any of them. Raises `TypeError` for None, `ValueError` for more
        than one dimension."""
