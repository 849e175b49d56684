import numpy.typing as npt

from tarvex.core.resmon import NeuralConditionalMonitor

def calibrate(
    monitor: NeuralConditionalMonitor, S: npt.ArrayLike, Z: npt.ArrayLike, *, false_alarm_rate: float
) -> float: ...
