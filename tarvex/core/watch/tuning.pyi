"""Choosing a monitor's settings by how well they detect synthetic faults."""

from typing import Any, Iterable

import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

TUNE_CANDIDATES: tuple[dict[str, Any], ...]

class TuningReport:
    """What `tune` measured: one row per candidate, in the order given.

    `settings[i]` is candidate i's dictionary, `fit_seconds[i]` its training
    time, `detection[i][j]` the share of held-out rows with synthetic fault
    `faults[j]` that score above the candidate's threshold at
    `false_alarm_rate`, and `criterion[i]` the mean of those shares, which
    `tune` maximises; `chosen` is the winner's index (the first of equal
    ones). `str(report)` is a table.
    """

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
    ) -> None:
        """Stores the figures as given and computes `criterion` (NaN for a
        candidate without figures); raises nothing of its own."""

def tune(
    S: npt.ArrayLike,
    Z: npt.ArrayLike,
    *,
    false_alarm_rate: float = 0.01,
    candidates: Iterable[dict[str, Any]] | None = None,
    random_state: int = 0,
    held_out: tuple[npt.ArrayLike, npt.ArrayLike] | None = None,
    progress: bool = False,
) -> NeuralConditionalMonitor:
    """Trains a monitor for each candidate setting and returns the one that
    detects synthetic faults best at `false_alarm_rate`, calibrated on the
    held-out rows, with every candidate's figures in its `tuning_report`
    attribute (a `TuningReport`).

    Each candidate is a dict of `NeuralConditionalMonitor` settings and the
    engineer's flags (`include_square`, `include_logabs`,
    `include_interactions`); without `candidates`, `TUNE_CANDIDATES` is tried.
    Candidates are judged on held-out clean rows (`held_out`, or a random
    quarter of S and Z, at least 10 / rate rows) with Z shifted along random
    directions and Z paired with another row's S. `progress=True` shows a tqdm
    progress bar over the candidates. A candidate whose engineered S is wider
    than 4,096 columns gives a `UserWarning` naming the setting that avoids
    it. NumPy's and PyTorch's global random generators, which every `fit`
    reseeds, are restored to the caller's state on return, also after an
    error.

    Raises, before any training, `TypeError` or `ValueError` for a rate
    outside (0, 1), S and Z (or the held-out pair) that are not finite 2-D
    arrays of matching shapes, too few rows, an empty candidate list, or a
    candidate with unknown settings or values of the wrong type or range;
    `ValueError` when no candidate scores the clean held-out rows finite; a
    candidate that fails to train raises the monitor's `RuntimeError`.
    """
