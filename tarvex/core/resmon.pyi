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
    """Turns S into the monitor's network input: each column standardised with
    the mean and scale learnt by `fit` (population standard deviation plus
    1e-6), followed, as switched on, by their squares, their signed
    log-magnitudes `sign(b) * log1p(|b|)` and the product of every pair of
    columns. With all three flags, d S columns give 3·d + d·(d−1)/2 engineered
    columns; the flags may be changed after fitting and only change the
    layout. The monitor owns one in `s_engineer`."""

    include_square: bool = True
    include_logabs: bool = True
    include_interactions: bool = True
    mean_: npt.NDArray[np.float32] | None = None
    scale_: npt.NDArray[np.float32] | None = None
    def fit(self, x: npt.ArrayLike) -> NeuralFeatureEngineer:
        """Learns `mean_` and `scale_` (float32, one per column) from `x`, rows
        by columns, and returns the engineer itself. Values NumPy cannot
        convert to float32 raise NumPy's error."""
    def transform(self, x: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """Returns the engineered float32 matrix of `x`: the standardised
        columns, then the squares, signed log-magnitudes and pair products
        that are switched on. Leaves the engineer unchanged.

        Raises `RuntimeError("Feature engineer not fit")` before `fit`, and
        `ValueError` when `x` is not 2-D or its width differs from the fitted
        one."""
    def fit_transform(self, x: npt.ArrayLike) -> npt.NDArray[np.float32]:
        """`fit(x)`, then returns `transform(x)`; raises what those raise."""
    def to_dict(self) -> dict[str, Any]:
        """Returns a new dictionary of plain values: the three flags as stored,
        and `mean` and `scale` as lists of floats (None before `fit`)."""
    @staticmethod
    def from_dict(d: dict[str, Any]) -> NeuralFeatureEngineer:
        """Builds an engineer from a `to_dict` dictionary: flags read by
        truthiness (missing ones mean True), statistics as float32 arrays when
        present. Raises `TypeError` unless `d` is exactly a `dict`."""

class _ResidualHead(nn.Module):
    backbone: nn.Sequential
    mu: nn.Linear
    log_var: nn.Linear
    def __init__(self, input_dim: int, hidden: tuple[int, ...], z_dim: int, dropout: float) -> None:
        """A backbone of Linear and ReLU layers (with Dropout after each when
        `dropout` > 0) and two heads of `z_dim` outputs."""
    def forward(self, x: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        """Returns the predicted mean of standardised Z and its log-variance
        (clamped to [-4, 4]) for the engineered rows `x`."""

class NeuralConditionalMonitor:
    """Judges an input by how surprising its Z is given its S. `fit` learns
    from clean (S, Z) pairs: it engineers S, standardises Z, trains a small
    network predicting standardised Z from engineered S, and keeps the inverse
    Ledoit-Wolf covariance of the training residuals. A score is the squared
    Mahalanobis length of an input's residual (about `z_dim` on data like the
    training data, larger for surprising Z); `tau` is a threshold the caller
    compares scores with (the monitor never applies it). Saves itself as a
    plain dictionary (`to_dict`, `from_dict`)."""

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
    ) -> None:
        """Stores the settings, makes a fresh engineer and resolves `device`;
        the trained state is None until `fit` or `from_dict`. Integer settings
        accept any number and truncate it (`epochs=10.9` means 10). Raises
        `TypeError` when `hidden` is not exactly a tuple or `device` not
        exactly a str."""
    @staticmethod
    def _resolve_device(device: str) -> torch.device: ...
    def set_device(self, device: str) -> NeuralConditionalMonitor:
        """Moves the monitor (its network, if any) to `device` and returns it.
        Text starting with "cuda" selects that CUDA device when CUDA is
        usable; anything else, or "cuda" without usable CUDA, means the CPU.
        Raises `TypeError` unless `device` is exactly a str."""
    def fit(self, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Trains the monitor on paired rows, S (n, s_dim) and Z (n, z_dim),
        sets `tau` to the `tau_quantile` quantile of the training scores and
        returns those scores (float64, one per row). Retrains from scratch.

        Reseeds NumPy's and PyTorch's global generators with `random_state`;
        on a CPU device PyTorch's intra-op thread count is 1 during training
        and restored afterwards.

        Raises `ValueError` for shapes that do not pair up (before anything
        changes) and for a column too large for float32 statistics, and
        `RuntimeError("Neural monitor failed to train")` when no epoch
        improved (non-finite data, `epochs=0`)."""
    def score_batch(self, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]:
        """Returns one float64 score per row of S and Z; a row whose score
        would be NaN scores inf. Raises `RuntimeError("Detector not
        fit/loaded")` for an untrained monitor and `ValueError` when the
        widths differ from the trained ones or the row counts differ."""
    def score(self, s: npt.ArrayLike, z: npt.ArrayLike) -> float:
        """Scores one input (s of `s_dim` values, z of `z_dim`) and returns a
        Python float; raises as `score_batch` does."""
    def to_dict(self) -> dict[str, Any]:
        """Returns the monitor dictionary ("neural_conditional_monitor_v1"):
        20 keys of plain values, the settings, `tau`, the dimensions, the
        engineer, the Z statistics, `inv_cov` and the network's weights, with
        `device` always "cpu". Raises `RuntimeError("Detector not fit")` for a
        monitor that is not fully trained."""
    @staticmethod
    def from_dict(d: dict[str, Any]) -> NeuralConditionalMonitor:
        """Rebuilds a monitor ready to score, on the CPU, from a `to_dict`
        dictionary. Raises `TypeError` unless `d` is exactly a `dict`,
        `KeyError` when `tau`, a dimension, `s_engineer`, `z_mean`, `z_scale`
        or `state_dict` is missing, and `ValueError("Monitor dictionary is
        inconsistent: ...")` for shapes that disagree, non-finite values,
        scales that are not positive, an `inv_cov` that is not positive
        definite, or weights that do not fit the described network."""
