"""Neural conditional monitor: engineered S -> predicted mean/variance of Z ->
residual surprise score."""

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import torch
from torch import nn

def _pairwise_products(x: npt.NDArray[Any]) -> npt.NDArray[np.float32]: ...
@dataclass
class NeuralFeatureEngineer:
    include_square: bool = True
    include_logabs: bool = True
    include_interactions: bool = True
    mean_: npt.NDArray[np.float32] | None = None
    scale_: npt.NDArray[np.float32] | None = None
    def fit(self, x: npt.ArrayLike) -> NeuralFeatureEngineer: ...
    def transform(self, x: npt.ArrayLike) -> npt.NDArray[np.float32]: ...
    def fit_transform(self, x: npt.ArrayLike) -> npt.NDArray[np.float32]: ...
    def to_dict(self) -> dict[str, Any]: ...
    @staticmethod
    def from_dict(d: dict[str, Any]) -> NeuralFeatureEngineer: ...

class _ResidualHead(nn.Module):
    backbone: nn.Sequential
    mu: nn.Linear
    log_var: nn.Linear
    def __init__(self, input_dim: int, hidden: tuple[int, ...], z_dim: int, dropout: float) -> None: ...
    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]: ...

class NeuralConditionalMonitor:
    hidden: tuple[int, ...]
    epochs: int
    batch_size: int
    lr: float
    weight_decay: float
    dropout: float
    tau_quantile: float
    random_state: int
    patience: int
    device: str
    # Trained state: None until fit() or from_dict() sets it.
    tau: float | None
    s_dim: int | None
    z_dim: int | None
    input_dim: int | None
    s_engineer: NeuralFeatureEngineer
    z_mean: npt.NDArray[np.float32] | None
    z_scale: npt.NDArray[np.float32] | None
    _model: _ResidualHead | None
    inv_cov: npt.NDArray[np.float64] | None
    _torch_device: torch.device
    def __init__(
        self,
        hidden: tuple[int, ...] = (64, 64),
        epochs: int = 120,
        batch_size: int = 64,
        lr: float = 0.001,
        weight_decay: float = 0.0001,
        dropout: float = 0.05,
        tau_quantile: float = 0.995,
        random_state: int = 0,
        patience: int = 20,
        device: str = "cpu",
    ) -> None: ...
    @staticmethod
    def _resolve_device(device: str) -> torch.device: ...
    def set_device(self, device: str) -> NeuralConditionalMonitor: ...
    def fit(self, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def score_batch(self, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
    def score(self, s: npt.ArrayLike, z: npt.ArrayLike) -> float: ...
    def to_dict(self) -> dict[str, Any]: ...
    @staticmethod
    def from_dict(d: dict[str, Any]) -> NeuralConditionalMonitor: ...
