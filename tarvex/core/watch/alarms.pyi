"""A fault alarm over a sliding window of scores."""

import numpy.typing as npt

class WindowAlarm:
    """A fault alarm over a sliding window of inputs.

    A single input through a faulted model is often not flagged, but a fault
    raises the share of scores above `tau`. The alarm keeps whether each of the
    last `window` scores was above `tau` (NaN and inf count as above) and fires
    while the count is improbable for a clean model: when the binomial upper
    tail P(X >= count), X ~ Binomial(inputs in the window, `false_alarm_rate`),
    is at most `significance`. This holds before the window is full too, so a
    burst at the start fires at once.
    """

    tau: float
    false_alarm_rate: float
    window: int
    significance: float
    def __init__(
        self, *, tau: float, false_alarm_rate: float, window: int = 50, significance: float = 0.001
    ) -> None:
        """Checks the settings and precomputes the smallest count above `tau`
        that fires for every number of inputs in the window. Raises
        `ValueError` for a `tau` that is not a finite number, a rate or
        significance outside (0, 1) or a `window` below 1, and `TypeError` for
        values of the wrong type."""
    @property
    def count(self) -> int:
        """Number of scores above `tau` among the last `window` inputs."""
    def reset(self) -> None:
        """Forgets every score seen so far (after the model was replaced)."""
    def update(self, score_or_scores: float | npt.ArrayLike) -> bool:
        """Adds one score or a 1-D sequence of scores, oldest first, and returns
        True if the window's count was improbable after any of them (so a burst
        inside one call is never missed), else False. An empty sequence returns
        the current state. Raises `ValueError` for arrays of more than one
        dimension."""
