import numpy as np
import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

def explain(monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike) -> npt.NDArray[np.float64]: ...
