import dask.array

from tarvex.core.resmon import NeuralConditionalMonitor

def score_dask(monitor: NeuralConditionalMonitor, S: dask.array.Array, Z: dask.array.Array) -> dask.array.Array: ...
