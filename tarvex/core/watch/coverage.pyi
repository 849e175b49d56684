"""Full-depth coverage: conditional monitors over consecutive layers of a
model, one family-wise false-alarm rate, and blame for the broken link."""

from typing import Any, Iterable

import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

INPUT: str
OUTPUT: str
DEFAULT_MAX_WIDTH: int
PAIR_PRODUCTS_MAX_WIDTH: int
COVERAGE_FORMAT: str
COVERAGE_FORMAT_VERSION: int

class CoverageReport:
    """What `Coverage.check` found for a batch of inputs: `alarms` (one bool
    per input), `scores` and `p_values` (inputs x links), `blamed` (the link
    with the smallest p-value, as its pair of layer names, where an input
    alarmed, else None), `blamed_index` (-1 without an alarm), `links` and
    `p_threshold`."""

    links: list[tuple[str, str]]
    scores: npt.NDArray[np.float64]
    p_values: npt.NDArray[np.float64]
    p_threshold: float
    alarms: npt.NDArray[np.bool_]
    blamed_index: npt.NDArray[np.int64]
    blamed: list[tuple[str, str] | None]
    def __init__(
        self,
        *,
        links: list[tuple[str, str]],
        scores: npt.NDArray[np.float64],
        p_values: npt.NDArray[np.float64],
        p_threshold: float,
    ) -> None:
        """Derives the alarms and the blame from the p-values."""
    def __len__(self) -> int:
        """Number of inputs."""

class Coverage:
    """Conditional monitors over consecutive layers of a model with one
    family-wise false-alarm rate; built by `cover`."""

    layers: list[str]
    links: list[tuple[str, str]]
    monitors: list[NeuralConditionalMonitor]
    false_alarm_rate: float
    random_state: int
    max_width: int
    def __init__(
        self,
        *,
        layers: list[str],
        monitors: list[Any],
        reductions: dict[str, Any],
        calibration_scores: npt.NDArray[np.float64],
        count_threshold: int,
        false_alarm_rate: float,
        random_state: int,
        max_width: int,
    ) -> None:
        """Built by `cover` or `_from_file_document`, not directly."""
    @property
    def calibration_rows(self) -> int:
        """Number of clean inputs the family-wise threshold was set on."""
    @property
    def p_threshold(self) -> float:
        """An input alarms when its smallest p-value is below this."""
    @property
    def widths(self) -> dict[str, int]:
        """Columns each layer is reduced to before a monitor sees it."""
    @property
    def reductions(self) -> dict[str, str]:
        """How each layer is reduced ("none", "channel pooling", "random
        projection" or both)."""
    def score_outputs(self, outputs: dict[str, Any]) -> CoverageReport:
        """Scores one batch of already-captured layer outputs (name ->
        output, batch first). Raises `ValueError` for a missing layer, a
        wrong shape or unequal numbers of rows."""
    def check(
        self,
        model: torch.nn.Module,
        inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any],
        *,
        batch_size: int = 256,
    ) -> CoverageReport:
        """Runs `model` once over `inputs` and reports per input: alarm,
        per-link scores and p-values, blamed link. Raises `ValueError` for
        unknown layer names (with close matches), a wrong order or shape."""
    def _to_file_document(self) -> dict[str, Any]:
        """The coverage as a JSON-ready dictionary of format
        "tarvex-coverage"."""
    @classmethod
    def _from_file_document(cls, document: Any) -> Coverage:
        """Rebuilds a coverage from its document; `ValueError` for anything
        missing or inconsistent."""

def cover(
    model: torch.nn.Module,
    inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any],
    layers: Iterable[str],
    *,
    false_alarm_rate: float = 0.01,
    random_state: int = 0,
    held_out: torch.Tensor | npt.NDArray[Any] | Iterable[Any] | None = None,
    candidates: Iterable[dict[str, Any]] | None = None,
    max_width: int = 64,
    batch_size: int = 256,
) -> Coverage:
    """Fits one tuned monitor per link of consecutive `layers` ("input",
    submodule names, "output", in forward order; submodule names and
    "output" may end in selectors such as "lstm[0]" or "output[logits]"),
    reducing wide layers, and
    sets a family-wise false-alarm rate on held-out clean inputs. Raises
    `TypeError`/`ValueError` for unknown names (listing close matches and the
    available names), a wrong order, a bad rate, too few or non-finite
    inputs, or bad candidates."""
