"""Setting a monitor's threshold from held-out clean data."""

import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

def calibrate(
    monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float
) -> float:
    """Sets `monitor.tau` from held-out clean data and returns it.

    `tau` becomes the smallest calibration score for which the share of
    calibration rows scoring strictly above it is at most `false_alarm_rate`
    (with k = floor(rate * n), the (n - k)-th smallest score). New inputs from
    the same distribution then score above it with probability at most
    (k + 1) / (n + 1), which is why at least 10 / rate rows are required.

    Raises `ValueError` for a rate outside (0, 1), fewer rows than that, wrong
    shapes or non-finite calibration scores, leaving `tau` unchanged;
    `TypeError` for a monitor that is not a `NeuralConditionalMonitor`, and
    `RuntimeError("Detector not fit/loaded")` for an untrained one.
    """
