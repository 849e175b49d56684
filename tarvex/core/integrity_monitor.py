"""Integrity monitor base class: the monitored model, its feature extractor,
the detectors and the instrumentation hooks on the model's submodules."""

from __future__ import annotations

import sys
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

import numpy as np


@dataclass(frozen=True)
class ScoreResult:
    """The detector's score of one input, and the threshold it is judged by."""

    score: float
    threshold: Optional[float] = None

    @property
    def flagged(self) -> bool:
        return self.threshold is not None and self.score > self.threshold


class HookInstrumentor:
    """Forward hooks on named submodules of a PyTorch model.

    `selected` holds the names (as `named_modules()` gives them) to hook;
    `enable_selected_hooks()` installs a hook on each, replacing any installed
    before, and every forward pass then stores that submodule's latest output
    in `captured[name]`.
    """

    def __init__(self, model: Any) -> None:
        self.model = model
        self.selected: List[str] = []
        self.captured: Dict[str, Any] = {}
        self._handles: List[Any] = []

    def available(self) -> List[str]:
        return [name for name, _ in self.model.named_modules() if name]

    def enable_selected_hooks(self) -> int:
        modules = dict(self.model.named_modules())
        missing = [name for name in self.selected if name not in modules]
        if missing:
            raise KeyError(f"no submodule named {missing!r}; available: {self.available()!r}")
        self.disable_hooks()
        for name in self.selected:
            self._handles.append(modules[name].register_forward_hook(self._recorder(name)))
        return len(self._handles)

    def disable_hooks(self) -> None:
        for handle in self._handles:
            handle.remove()
        self._handles.clear()
        self.captured.clear()

    def _recorder(self, name: str) -> Any:
        def record(module: Any, inputs: Any, output: Any) -> None:
            self.captured[name] = output.detach() if hasattr(output, "detach") else output

        return record


def _is_torch_module(model: Any) -> bool:
    # A model can only be a torch module if PyTorch is already loaded.
    torch = sys.modules.get("torch")
    return torch is not None and isinstance(model, torch.nn.Module)


class IntegrityMonitor:
    """Holds what a monitor of one model needs. Detectors are created or loaded
    by subclasses; hooks exist only for PyTorch models (otherwise
    `instrumentor` is None)."""

    def __init__(self, model: Any, num_classes: int, extractor: Any = None, detector_kind: str = "v1") -> None:
        self.model = model
        self.num_classes = int(num_classes)
        self.extractor = extractor
        self.detector_kind = detector_kind
        self.instrumentor: Optional[HookInstrumentor] = HookInstrumentor(model) if _is_torch_module(model) else None
        self.det_update: Any = None
        self.det_infer: Any = None
        self._infer_ready = False

    def score(self, z: Any, label: Any, threshold: Optional[float] = None) -> ScoreResult:
        """Scores one Z vector of class `label` with the inference detector."""
        if self.det_infer is None:
            raise RuntimeError("no inference detector loaded")
        value = self.det_infer.score(np.asarray(z, dtype=np.float64).reshape(1, -1), np.asarray([label]))
        return ScoreResult(score=float(value[0]), threshold=threshold)
