"""Scoring Dask arrays block by block on a cluster."""

import dask.array

from tarvex.core.resmon import NeuralConditionalMonitor

def score_dask(monitor: NeuralConditionalMonitor, S: dask.array.Array, Z: dask.array.Array) -> dask.array.Array:
    """Scores Dask arrays block by block; returns a lazy float64 Dask array of
    one score per row, chunked like the rows of S.

    S and Z must be 2-D Dask arrays chunked by rows only (`rechunk({1: -1})`
    otherwise); Z is rechunked to S's row chunks if they differ. The monitor
    travels once per worker as its plain dictionary (`to_dict()`, so `tau` must
    be set) and is rebuilt once per process.

    Raises `ImportError` without Dask (`pip install 'tarvex-core[dask]'`),
    `TypeError` for inputs that are not Dask arrays, `ValueError` for unknown
    chunk sizes, chunking across columns or shapes that do not match the
    monitor, and the monitor's `RuntimeError` for an untrained one.
    """
