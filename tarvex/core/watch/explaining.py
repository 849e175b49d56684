"""Explaining a score: each Z column's share of an input's Mahalanobis
score, so an alarm names the output that moved."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

from ._arguments import _check_shapes, _eval_mode, _matrix, _require_trained, _scores


def _residuals(monitor: Any, S: np.ndarray, Z: np.ndarray) -> np.ndarray:
    """Standardised Z minus the network's predicted mean, computed as
    `score_batch` computes it (float32, on the monitor's device)."""
    S_eng = monitor.s_engineer.transform(S)
    Z_norm = ((Z - monitor.z_mean) / monitor.z_scale).astype(np.float32)
    with _eval_mode(monitor._model):
        mu, _ = monitor._model(torch.from_numpy(S_eng).to(monitor._torch_device))
        residuals: np.ndarray = Z_norm - mu.cpu().numpy()
    return residuals


def explain(monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Per-Z-column contributions to the score: `r_i * (inv_cov @ r)_i` for
    the residual `r` of each input, so each row sums to the input's score.

    A large positive entry names the output that moved. Given a batch (S and Z
    2-D) the result has shape (n, z_dim); given one input (s and z 1-D) shape
    (z_dim,). Float64; sums agree with `score_batch` to float rounding. Where
    `score_batch` gives `inf` (non-finite Z, or a score beyond float32's
    range) the row sums to `inf` too: its positive and non-finite entries are
    `inf`, the others keep their values. The network runs in evaluation mode,
    whatever mode it was left in; its mode is restored afterwards. Complex S
    or Z raise `ValueError`.
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
    # inf anyway, so their non-finite contributions (and the same overflow in
    # score_batch) need no warning.
    with np.errstate(invalid="ignore", over="ignore"):
        r = _residuals(monitor, S, Z).astype(np.float64)
        contributions = r * (r @ inv_cov.T)
        _match_infinite_scores(contributions, _scores(monitor, S, Z))
    return contributions[0] if single else contributions


def _match_infinite_scores(contributions: np.ndarray, scores: np.ndarray) -> None:
    """Makes each row whose score is inf sum to inf. `score_batch` works in
    float32, whose range a row may leave although its float64 contributions
    stay finite; NaN contributions (from inf - inf) get the same treatment."""
    rows = np.isposinf(scores) & ~np.isposinf(contributions.sum(axis=1))
    if not rows.any():
        return
    block = contributions[rows]
    raised = ~(block <= 0) | np.isinf(block)  # positive, NaN or infinite
    # A row with no such entry (it cannot sum to a score above zero, but
    # rounding may get there) names its largest one.
    none = ~raised.any(axis=1)
    raised[np.flatnonzero(none), np.argmax(block[none], axis=1)] = True
    block[raised] = np.inf
    contributions[rows] = block
