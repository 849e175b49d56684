"""Working integrity checks around a NeuralConditionalMonitor: capture S and Z
from a model, calibrate, tune, explain, window alarms, large-data scoring and
files."""

import os
from typing import Any, Iterable

import dask.array
import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

__all__ = [
    "capture",
    "calibrate",
    "tune",
    "TuningReport",
    "TUNE_CANDIDATES",
    "explain",
    "WindowAlarm",
    "score_chunks",
    "save",
    "load",
    "score_dask",
]

TUNE_CANDIDATES: tuple[dict[str, Any], ...]

def capture(
    model: torch.nn.Module,
    inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any],
    s: str,
    z: str,
    *,
    batch_size: int = 256,
    device: str | torch.device | None = None,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
def calibrate(
    monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float
) -> float: ...

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
def explain(monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]: ...

class WindowAlarm:
    tau: float
    false_alarm_rate: float
    window: int
    significance: float
    def __init__(
        self, *, tau: float, false_alarm_rate: float, window: int = 50, significance: float = 0.001
    ) -> None: ...
    @property
    def count(self) -> int: ...
    def reset(self) -> None: ...
    def update(self, score_or_scores: float | npt.ArrayLike) -> bool: ...

def score_chunks(
    monitor: NeuralConditionalMonitor,
    S: Any,
    Z: Any = None,
    *,
    chunk_size: int = 65536,
    progress: bool = False,
) -> npt.NDArray[np.float64]: ...
def save(monitor: NeuralConditionalMonitor, path: str | os.PathLike[str]) -> None: ...
def load(path: str | os.PathLike[str], *, device: str = "cpu") -> NeuralConditionalMonitor: ...
def score_dask(monitor: NeuralConditionalMonitor, S: dask.array.Array, Z: dask.array.Array) -> dask.array.Array: ...
