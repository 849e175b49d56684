"""Working integrity checks around a NeuralConditionalMonitor: capture S and Z
from a model, calibrate, explain, window alarms, large-data scoring and files."""

import os
from typing import Any, Iterable

import dask.array
import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

__all__ = ["capture", "calibrate", "explain", "WindowAlarm", "score_chunks", "save", "load", "score_dask"]

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
