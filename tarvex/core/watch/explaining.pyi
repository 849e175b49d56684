"""Splitting a score over the Z columns."""

import numpy as np
import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

def explain(monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]:
    """Per-Z-column contributions to the score: `r_i * (inv_cov @ r)_i` for the
    residual `r` of each input, so each row sums to the input's score; a large
    positive entry names the output that moved.

    Given a batch (S and Z 2-D) the result has shape (n, z_dim); given one
    input (s and z 1-D) shape (z_dim,). An input with non-finite Z gives
    non-finite contributions. Raises `ValueError` for S and Z of different
    dimensions or shapes that do not match the monitor, and
    `RuntimeError("Detector not fit/loaded")` for an untrained monitor.
    """
