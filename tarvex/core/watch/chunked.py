"""Scoring data larger than memory: memory maps, sliceable arrays or an
iterable of (S, Z) chunks, one bounded chunk at a time."""

from __future__ import annotations

from typing import Any, Iterable, Iterator

import numpy as np
import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

from ._arguments import _check_shapes, _matrix, _positive_int, _refuse_complex, _require_trained, _scores
from ._progress import _progress_bar


def _sliceable(x: Any, name: str) -> Any:
    """Arrays, memory maps and other sliceable arrays (HDF5 or Dask arrays)
    stay as they are, so only one chunk at a time is read; anything else is
    converted."""
    if hasattr(x, "shape") and hasattr(x, "__getitem__") and hasattr(x, "ndim"):
        if hasattr(x, "dtype"):
            _refuse_complex(x.dtype, name)
        return x
    return _matrix(x, name)


def score_chunks(monitor: NeuralConditionalMonitor, S: Any, Z: Any = None, *, chunk_size: int = 65536,
                 progress: bool = False) -> npt.NDArray[np.float64]:
    """`score_batch` in bounded memory: scores `chunk_size` rows at a time.

    With `Z` given, S and Z are arrays of the same number of rows, typically
    memory maps (`np.load(..., mmap_mode="r")`) or other arrays that read a
    slice at a time; with `Z` left out, `S` is an iterable of (S, Z) chunks
    (each split further if longer than `chunk_size`). Returns the float64
    scores of all rows; the extra memory besides them is that of one chunk,
    whatever the size of the data. `progress=True` shows a tqdm progress bar.

    The network scores in evaluation mode (no dropout), whatever mode it was
    left in; its mode is restored afterwards. Complex S or Z raise
    `ValueError`.

    The scores agree with one `score_batch` call to float32 rounding, not
    always bit for bit: the network's matrix products may sum in a different
    order for a different number of rows (the math libraries pick blocking
    and vector kernels by shape), which changes the last bits of a float32
    result.
    """
    _require_trained(monitor)
    chunk_size = _positive_int(chunk_size, "chunk_size")
    if Z is None:
        if isinstance(S, (str, bytes, dict, np.ndarray)) or not isinstance(S, Iterable):
            raise TypeError("with Z left out, S must be an iterable of (S, Z) chunks")
        bar = _progress_bar(progress, None)
        try:
            parts = [scores for scores in _score_pairs(monitor, S, chunk_size, bar)]
        finally:
            if bar is not None:
                bar.close()
        return np.concatenate(parts) if parts else np.zeros(0, dtype=np.float64)
    S, Z = _sliceable(S, "S"), _sliceable(Z, "Z")
    _check_shapes(monitor, tuple(S.shape), tuple(Z.shape))
    n = int(S.shape[0])
    scores = np.empty(n, dtype=np.float64)
    bar = _progress_bar(progress, n)
    try:
        for start in range(0, n, chunk_size):
            stop = min(start + chunk_size, n)
            scores[start:stop] = _scores(monitor, np.asarray(S[start:stop], dtype=np.float32),
                                         np.asarray(Z[start:stop], dtype=np.float32))
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()
    return scores


def _score_pairs(monitor: Any, chunks: Iterable[Any], chunk_size: int, bar: Any) -> Iterator[np.ndarray]:
    for index, chunk in enumerate(chunks):
        if not isinstance(chunk, (tuple, list)) or len(chunk) != 2:
            raise ValueError(f"chunk {index} is not an (S, Z) pair")
        S, Z = _sliceable(chunk[0], "S"), _sliceable(chunk[1], "Z")
        _check_shapes(monitor, tuple(S.shape), tuple(Z.shape), where=f" of chunk {index}")
        for start in range(0, int(S.shape[0]), chunk_size):
            S_part = np.asarray(S[start:start + chunk_size], dtype=np.float32)
            yield _scores(monitor, S_part, np.asarray(Z[start:start + chunk_size], dtype=np.float32))
            if bar is not None:
                bar.update(S_part.shape[0])
