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
) -> npt.NDArray[np.float64]: ...
