"""Choosing a monitor's settings: train each candidate, judge it by how
many synthetically faulted held-out rows it flags at the false-alarm rate,
and return the winner calibrated, with the table of what was measured."""

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
    `tune` maximises; `covariance[i]` says which residual covariance gave
    those figures: "training" or "held-out" (estimated again on
    `covariance_rows` held-out rows kept apart from the `held_out_rows` that
    judge and calibrate; 0 when there were too few to spare). `chosen` is the
    winner's index (the first of equal ones). `str(report)` is a table.
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
    covariance: list[str]
    covariance_rows: int
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
        covariance: list[str] | None = None,
        covariance_rows: int = 0,
    ) -> None:
        """Stores the figures; `criterion` is computed from `detection`, and
        `covariance` defaults to "training" for every candidate."""

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
    detects synthetic faults best at `false_alarm_rate`, calibrated.

    `progress=True` shows a tqdm progress bar over the candidates. A
    candidate whose engineered S is wider than 4,096 columns gives a
    `UserWarning` naming the setting that avoids it. NumPy's and PyTorch's
    global random generators, which every `fit` reseeds, are restored to the
    caller's state on return, also after an error.

    Candidates are dicts of `NeuralConditionalMonitor` settings and engineer
    flags (default `TUNE_CANDIDATES`: two networks without dropout on plain
    S, the defaults, and `hidden=()`, a linear model on the engineered S
    fitted by least squares). Each is judged on held-out clean rows changed
    without knowledge of the monitored model: Z shifted along random
    directions, Z plus random functions of S (the shape of a weight fault
    after S), and Z paired with another row's S. Spare held-out rows (beyond
    half of them and 10 / rate, at least 100 and 10 per Z column) estimate
    each candidate's residual covariance again, kept where it judges better.
    The winner is calibrated on the judging rows and carries the figures in
    `tuning_report` (a `TuningReport`). Deterministic for a given
    `random_state`; reseeds PyTorch's and NumPy's global generators.

    Raises `TypeError` or `ValueError` before any training for a rate outside
    (0, 1), S and Z (or `held_out`) that are not finite 2-D arrays of matching
    shapes, too few rows, an empty candidate list, or a candidate with unknown
    settings or values of the wrong type or range (widths below 1);
    `RuntimeError` when a candidate fails to train.
    """
