"""Explaining a score: each Z column's share of an input's Mahalanobis
score, so an alarm names the output that moved."""

from __future__ import annotations

from typing import Any

import numpy as np
import torch

from ._arguments import _check_shapes, _eval_mode, _matrix, _require_trained


def _residuals(monitor: Any, S: np.ndarray, Z: np.ndarray) -> np.ndarray:
    """Standardised Z minus the network's predicted mean, computed as
    `score_batch` computes it (float32, on the monitor's device)."""
    S_eng = monitor.s_engineer.transform(S)
    Z_norm = ((Z - monitor.z_mean) / monitor.z_scale).astype(np.float32)
    with _eval_mode(monitor._model):
        mu, _ = monitor._model(torch.from_numpy(S_eng).to(monitor._torch_device))
        return Z_norm - mu.cpu().numpy()


def explain(monitor: Any, S: Any, Z: Any) -> np.ndarray:
    """Per-Z-column contributions to the score: `r_i * (inv_cov @ r)_i` for
    the residual `r` of each input, so each row sums to the input's score.

    A large positive entry names the output that moved. Given a batch (S and Z
    2-D) the result has shape (n, z_dim); given one input (s and z 1-D) shape
    (z_dim,). Float64; sums agree with `score_batch` to float rounding. An
    input with non-finite Z gives non-finite contributions (it scores inf).
    """
    _require_trained(monitor)
    S, Z = _matrix(S, "S"), _matrix(Z, "Z")
    single = S.ndim == 1 and Z.ndim == 1
    if single:
        S, Z = S.reshape(1, -1), Z.reshape(1, -1)
    elif S.ndim == 1 or Z.ndim == 1:
        raise ValueError(f"give S and Z both 2-D (a batch) or both 1-D (one input), got shapes "
                         f"{S.shape} and {Z.shape}")
    _check_shapes(monitor, S.shape, Z.shape)
    inv_cov = np.asarray(monitor.inv_cov, dtype=np.float64)
    # Z near the float32 limit overflows when standardised; such rows score
    # inf anyway, so their non-finite contributions need no warning.
    with np.errstate(invalid="ignore", over="ignore"):
        r = _residuals(monitor, S, Z).astype(np.float64)
        contributions = r * (r @ inv_cov.T)
    return contributions[0] if single else contributions
