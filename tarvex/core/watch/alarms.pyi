import numpy.typing as npt

class WindowAlarm:
    tau: float
    false_alarm_rate: float
    window: int
    significance: float
    def __init__(
        self, *, tau: float, false_alarm_rate: float, window: int = 50, significance: float = 0.001
    ) -> None: ...
    @property
    def count(self) -> int: ...
    def reset(self) -> None: ...
    def update(self, score_or_scores: float | npt.ArrayLike) -> bool: ...
