"""Scoring Dask arrays block by block: the monitor travels once per graph
as its plain dictionary and is rebuilt once per worker process."""

from __future__ import annotations

import math
import threading
from collections import OrderedDict
from typing import TYPE_CHECKING, Any

import numpy as np

from tarvex.core import resmon
from tarvex.core.resmon import NeuralConditionalMonitor

if TYPE_CHECKING:  # Dask is an optional dependency, imported when scoring
    import dask.array

from ._arguments import _check_shapes, _refuse_complex, _require_trained, _scores


# worker rebuilds each monitor once and not once per block.
_rebuilt: OrderedDict[str, Any] = OrderedDict()
_rebuilt_lock = threading.Lock()
_REBUILT_KEPT = 4


def _rebuilt_monitor(state: dict[str, Any], token: str) -> Any:
    with _rebuilt_lock:
        monitor = _rebuilt.get(token)
        if monitor is None:
            monitor = resmon.NeuralConditionalMonitor.from_dict(state)
            _rebuilt[token] = monitor
            while len(_rebuilt) > _REBUILT_KEPT:
                _rebuilt.popitem(last=False)
        else:
            _rebuilt.move_to_end(token)
        return monitor


def _check_block_rows(S_block: Any, Z_block: Any, declared: tuple[int, ...]) -> None:
    """A block must hold the rows its chunk declares: an upstream step that
    computes fewer (or more) would otherwise shift or drop scores silently."""
    for name, block in (("S", S_block), ("Z", Z_block)):
        rows = np.shape(block)[0] if np.ndim(block) else None
        if rows != declared[0]:
            raise ValueError(f"a block of {name} computed {rows} rows where its chunk declares {declared[0]}; "
                             "the step that made the array returned blocks of other sizes than it declared")


def _score_block(S_block: np.ndarray, Z_block: np.ndarray, declared: tuple[int, ...], *,
                 monitor_state: dict[str, Any], monitor_token: str) -> np.ndarray:
    _check_block_rows(S_block, Z_block, declared)
    return _scores(_rebuilt_monitor(monitor_state, monitor_token), S_block, Z_block)


def score_dask(monitor: NeuralConditionalMonitor, S: dask.array.Array, Z: dask.array.Array) -> dask.array.Array:
    """Scores Dask arrays block by block; returns a lazy float64 Dask array
    of one score per row, chunked like the rows of S.

    S and Z must be 2-D Dask arrays chunked by rows only (one chunk across the
    columns; `rechunk({1: -1})` otherwise); Z is rechunked to S's row chunks
    if they differ. The monitor travels as its plain dictionary (`to_dict()`,
    so `tau` must be set), as one task of the graph: each worker receives it
    once and rebuilds the monitor once per process, then scores its blocks
    with `score_batch`, its network in evaluation mode. Each block checks
    that it holds the rows its chunk declares: a block of another size (from
    an upstream `map_blocks` that did not keep its declared chunks) raises
    `ValueError` when computed, instead of shifting or dropping scores.
    Complex S or Z raise `ValueError`. Needs the `dask` extra (`pip install tarvex-core[dask]`).
    """
    try:
        import dask.array as da
        from dask.base import tokenize
        from dask.delayed import delayed
        from dask.layers import ArrayChunkShapeDep
    except ImportError:
        raise ImportError("score_dask needs Dask: pip install 'tarvex-core[dask]'") from None
    _require_trained(monitor)
    for name, x in (("S", S), ("Z", Z)):
        if not isinstance(x, da.Array):
            raise TypeError(f"{name} must be a dask.array.Array, got {type(x).__name__}")
        if any(math.isnan(size) for size in x.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() first")
        _refuse_complex(x.dtype, name)
    _check_shapes(monitor, tuple(S.shape), tuple(Z.shape))
    for name, x in (("S", S), ("Z", Z)):
        if len(x.chunks[1]) != 1:
            raise ValueError(f"{name} is chunked across its columns ({x.chunks[1]}); chunk by rows only: "
                             f"{name}.rechunk({{1: -1}})")
    if Z.chunks[0] != S.chunks[0]:
        Z = Z.rechunk({0: S.chunks[0]})
    state = monitor.to_dict()
    token = tokenize(state)
    shipped = delayed(state, pure=True, traverse=False, name=f"tarvex-monitor-{token}")
    # Each block is given the row count its chunk declares, and checks it.
    declared = ArrayChunkShapeDep((S.chunks[0],))
    # S and Z already share their row chunks, so no alignment is needed.
    scores: dask.array.Array = da.blockwise(
        _score_block, "i", S, "ij", Z, "ik", declared, "i", dtype=np.float64, concatenate=True,
        align_arrays=False, meta=np.empty((0,), dtype=np.float64), monitor_state=shipped, monitor_token=token)
    return scores
