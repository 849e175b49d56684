from typing import Any, Iterable

import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

TUNE_CANDIDATES: tuple[dict[str, Any], ...]

class TuningReport:
    settings: list[dict[str, Any]]
    faults: list[str]
    detection: list[list[float]]
    criterion: list[float]
    fit_seconds: list[float]
    chosen: int
    training_rows: int
    held_out_rows: int
    false_alarm_rate: float
    def __init__(
        self,
        *,
        settings: list[dict[str, Any]],
        faults: list[str],
        detection: list[list[float]],
        fit_seconds: list[float],
        chosen: int,
        training_rows: int,
        held_out_rows: int,
        false_alarm_rate: float,
    ) -> None: ...

def tune(
    S: npt.ArrayLike,
    Z: npt.ArrayLike,
    *,
    false_alarm_rate: float = 0.01,
    candidates: Iterable[dict[str, Any]] | None = None,
    random_state: int = 0,
    held_out: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
) -> NeuralConditionalMonitor: ...
