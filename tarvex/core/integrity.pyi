"""The "v1" integrity monitor and the names callers import from here."""

from typing import Any

from tarvex.core._model_utils import example_tensor as _example_tensor
from tarvex.core._model_utils import forward as _forward
from tarvex.core._model_utils import set_primary_input as _set_primary_input
from tarvex.core._model_utils import to_device as _to_device
from tarvex.core.detector import ConditionalMahalanobis as ConditionalMahalanobis
from tarvex.core.extractors.classification import ClassificationExtractor as ClassificationExtractor
from tarvex.core.integrity_monitor import IntegrityMonitor as IntegrityMonitor
from tarvex.core.integrity_monitor import ScoreResult as ScoreResult
from tarvex.core.serialization import load_json as load_json
from tarvex.core.serialization import save_json as save_json

class QVMIntegrityModel(IntegrityMonitor):
    def __init__(self, model: Any, num_classes: int) -> None: ...
    def import_json(self, path: str) -> None: ...
