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
    """The "v1" integrity monitor: an `IntegrityMonitor` with the feature
    extractor pinned to `ClassificationExtractor` and the detector kind "v1",
    which loads "tarvex_integrity_v1" artifacts with `import_json`."""

    def __init__(self, model: Any, num_classes: int) -> None:
        """Hands `model`, `num_classes` (any number, truncated by `int()`), a
        new `ClassificationExtractor(model)` and the kind "v1" to
        `IntegrityMonitor`. Raises `TypeError` for a `num_classes` that is
        not a number; errors of the base class and the extractor propagate."""
    def import_json(self, path: str) -> None:
        """Loads a "tarvex_integrity_v1" artifact from the JSON file at `path`:
        sets `num_classes`, selects and enables the listed hooks and builds the
        update and inference detectors. The whole artifact is checked first,
        so a rejected one leaves the instance as it was.

        Raises `TypeError` unless `path` is exactly a str; `ValueError` for a
        path that is not a regular file of at most 256 MiB, for a document
        whose format is not "tarvex_integrity_v1" ("Unsupported tarvEX
        artifact"), and, like `TypeError`, for entries of the wrong kind
        ("Invalid tarvEX artifact ..."); the instrumentor's `KeyError` for a
        hook the model lacks."""
