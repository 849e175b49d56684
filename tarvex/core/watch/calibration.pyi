"""Setting a monitor's threshold from held-out clean data."""

from dataclasses import dataclass
from typing import Any

import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

@dataclass(frozen=True)
class Calibration:
    """What `calibrate` decided: `tau` is the `rank`-th smallest of the scores
    of `rows` clean calibration rows, chosen for `false_alarm_rate` and, when
    not None, `confidence`.

    For exchangeable scores the share of new clean inputs scoring above `tau`
    follows a Beta(rows + 1 - rank, rank) law over the draw of the
    calibration rows; `WindowAlarm.from_calibration` builds on that law.

    Raises `ValueError` for values out of range or a rank that the rule of
    `calibrate` would not give (`TypeError` for values of the wrong type).
    """

    tau: float
    false_alarm_rate: float
    rows: int
    rank: int
    confidence: float | None = None
    def __post_init__(self) -> None:
        """Checks the record."""
    def to_dict(self) -> dict[str, Any]:
        """The record as a JSON-ready dictionary; `Calibration(**d)` reads it back."""

def calibrate(
    monitor: NeuralConditionalMonitor,
    S: npt.ArrayLike,
    Z: npt.ArrayLike,
    *,
    false_alarm_rate: float,
    confidence: float | None = None,
) -> float:
    """Sets `monitor.tau` from held-out clean data and returns it, keeping the
    decision as `monitor.calibration`.

    Without `confidence`: the smallest calibration score with at most
    floor(rate * n) scores strictly above it (at least 10 / rate rows). With
    `confidence` c: the rank for which, with probability at least c over the
    draw of the calibration rows, the rate on new clean inputs is at most
    `false_alarm_rate` (at least the n rows with 1 - (1 - rate)^n >= c).

    Raises `ValueError` (rate or confidence outside (0, 1), too few rows,
    wrong shapes, non-finite scores), leaving `tau` and `calibration` unchanged.
    """
