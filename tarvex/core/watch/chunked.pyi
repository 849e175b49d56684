"""Scoring data larger than memory, one bounded chunk at a time."""

from typing import Any

import numpy as np
import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

def score_chunks(
    monitor: NeuralConditionalMonitor,
    S: Any,
    Z: Any = None,
    *,
    chunk_size: int = 65536,
    progress: bool = False,
) -> npt.NDArray[np.float64]:
    """`score_batch` in bounded memory: scores `chunk_size` rows at a time and
    returns the float64 scores of all rows.

    With `Z` given, S and Z are arrays of the same number of rows, typically
    memory maps (`np.load(..., mmap_mode="r")`) or other arrays that read a
    slice at a time; with `Z` left out, `S` is an iterable of (S, Z) chunks
    (each split further if longer than `chunk_size`). `progress=True` shows a
    tqdm progress bar. The scores agree with one `score_batch` call to float32
    rounding.

    Raises `TypeError` for a monitor of another type or, with `Z` left out, an
    `S` that is not an iterable of chunks; `ValueError` for shapes that do not
    match the monitor, a chunk that is not an (S, Z) pair or a `chunk_size`
    below 1; `RuntimeError("Detector not fit/loaded")` for an untrained
    monitor; `ImportError` for `progress=True` without tqdm.
    """
