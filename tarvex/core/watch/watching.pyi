import logging
from dataclasses import dataclass
import os
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

from .alarms import WindowAlarm
from .coverage import Coverage

logger: logging.Logger
MAX_EVENTS: int

@dataclass(frozen=True)
class AlarmEvent:
    """One firing of a watcher's alarm: `index` (inputs seen at the firing,
    the firing input included), `time` (wall clock, `time.time()`), `count`
    (the window's count of scores above tau), `worst_score` (the highest of
    them, NaN when one was NaN) and `blamed_z` (the Z column with the
    largest mean share of their scores by `explain`, None when no share is
    finite). A coverage watcher's events have `blamed_z` None and
    `blamed_link`, the link (pair of layer names) that gave those inputs'
    smallest p-value most often; None for a monitor watcher."""

    index: int
    time: float
    count: int
    worst_score: float
    blamed_z: int | None
    blamed_link: tuple[str, str] | None = None

class Watcher:
    """Scores every forward pass of `model` with `monitor` through
    persistent hooks on the layers `s` and `z` (names as for `capture`,
    selectors included), counts the inputs, updates `alarm` and records an
    `AlarmEvent` per firing (logged as a WARNING record of the logger
    "tarvex.core.watch", `on_alarm(event)` called once); `latch=True` keeps
    it firing until `acknowledge()`. The model's output is left untouched;
    passes in several threads stay paired.

    Given a `Coverage` in place of the monitor it hooks `coverage.layers`
    (no `s`, `z`) and scores each input as one minus its smallest p-value,
    with `tau` (without an alarm) `1 - coverage.p_threshold`: above it
    exactly where `coverage.check` alarms; see `WindowAlarm.from_coverage`.

    Raises `TypeError` for arguments of the wrong type, `s`/`z` missing for
    a monitor or given with a coverage, `ValueError` for an unknown layer
    name or a missing threshold, `RuntimeError("Detector not fit/loaded")`
    for an untrained monitor."""

    model: torch.nn.Module
    monitor: NeuralConditionalMonitor | None
    coverage: Coverage | None
    alarm: WindowAlarm | None
    latch: bool
    on_alarm: Callable[[AlarmEvent], Any] | None
    tau: float
    def __init__(
        self,
        model: torch.nn.Module,
        monitor: NeuralConditionalMonitor | Coverage,
        *,
        s: str | None = None,
        z: str | None = None,
        alarm: WindowAlarm | None = None,
        latch: bool = True,
        on_alarm: Callable[[AlarmEvent], Any] | None = None,
    ) -> None:
        """Checks the arguments and resolves the layer names; installs no
        hooks yet (see `attach`)."""
    @classmethod
    def from_file(
        cls,
        model: torch.nn.Module,
        path: str | os.PathLike[str],
        *,
        s: str | None = None,
        z: str | None = None,
        alarm: WindowAlarm | None = ...,
        window: int = 50,
        significance: float = 0.001,
        latch: bool = True,
        on_alarm: Callable[[AlarmEvent], Any] | None = None,
    ) -> Watcher:
        """A watcher from a monitor file: its monitor, its layer names (or
        `s`, `z`) and a `WindowAlarm` from its calibration (or `alarm`, None
        for none); from a coverage file: its coverage and
        `WindowAlarm.from_coverage` (or `alarm`). Raises `load`'s errors,
        `ValueError` for a monitor file without layer names or calibration
        that the arguments do not replace, `TypeError` for `s` or `z` with a
        coverage file."""
    @property
    def attached(self) -> bool:
        """Whether the hooks are installed."""
    def attach(self) -> Watcher:
        """Installs the hooks (once) and returns the watcher; warns
        (`UserWarning`) about a model in training mode."""
    def detach(self) -> None:
        """Removes every hook the watcher installed."""
    def __enter__(self) -> Watcher: ...
    def __exit__(self, *exc: object) -> None: ...
    @property
    def inputs_seen(self) -> int:
        """Inputs scored so far."""
    @property
    def inputs_above_tau(self) -> int:
        """Inputs scored above `tau` so far (NaN and inf count as above)."""
    @property
    def alarms(self) -> int:
        """Firings so far."""
    @property
    def firing(self) -> bool:
        """Whether the watcher is firing."""
    @property
    def events(self) -> list[AlarmEvent]:
        """The firings so far, oldest first (the latest 1000)."""
    @property
    def last_scores(self) -> npt.NDArray[np.float64] | None:
        """The scores of the calling thread's latest forward pass, or None."""
    def acknowledge(self, *, reset: bool = False) -> None:
        """Clears the firing state; `reset=True` also empties the alarm's
        window. Raises `TypeError` for a non-bool `reset`."""
    def export_prometheus(self, registry: Any = None, *, name: str = "default") -> None:
        """Registers the watcher's counters, gauges and score histogram on a
        `prometheus_client` registry, labelled `monitor=name`. Raises
        `ImportError` without prometheus_client, `ValueError` for a name
        already exported there, `TypeError` for a non-str name or a registry
        of the wrong type."""
