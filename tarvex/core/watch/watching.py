"""Watching a live model: persistent hooks that score every forward pass
with a monitor or a coverage (`Watcher`), the window alarm's firings as `AlarmEvent`s
with a log record each, and the counters that metrics are exported from."""

from __future__ import annotations

import logging
import math
import threading
import time
import warnings
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import torch

from ._arguments import _require_trained, _widths
from ._layers import INPUT, Layer, LayerTap, resolve
from .alarms import WindowAlarm
from .coverage import Coverage
from .explaining import explain
from .typicality import BOTH, CAUSES, DRIFT_EVIDENCE, INPUT_DRIFT, MODEL_FAULT, Typicality

logger = logging.getLogger("tarvex.core.watch")

# How many events `Watcher.events` keeps (the oldest are dropped first);
# `Watcher.alarms` counts all of them.
MAX_EVENTS = 1000

_NOT_GIVEN: Any = object()


@dataclass(frozen=True)
class AlarmEvent:
    """One firing of a watcher's alarm.

    `index` is the number of inputs the watcher had seen when it fired (the
    firing input included), `time` the wall-clock time (`time.time()`),
    `count` the window's count of scores above `tau` at that input,
    `worst_score` the highest score among them (NaN when one was NaN), and
    `blamed_z` the Z column with the largest mean share of their scores by
    `explain` (None when no share is finite). For a coverage watcher
    `blamed_z` is None and `blamed_link` is the link (pair of layer names)
    that gave the smallest p-value most often among those inputs (the
    earliest link of equal counts); None for a monitor watcher.

    `cause` names what the firing means (see `watch.typicality`):
    "model_fault" when the fault window fired while the inputs' S looked
    as clean as ever; "both" when it fired while the typicality window of S
    (for a coverage: of the blamed link's S or an earlier layer) was firing
    too, so the inputs changed and the fault alarm may be their echo, or a
    fault in or before the S layer moved S (a check of the weights'
    fingerprint separates the two); "input_drift" when the typicality
    window fired: the inputs changed. For an "input_drift" event `count` and
    `worst_score` are those of the typicality scores above their own tau,
    `blamed_z` is None and, for a coverage, `blamed_link` is the link whose
    S drifted (the earliest one). A watcher without a typicality only ever
    fires "model_fault"."""

    index: int
    time: float
    count: int
    worst_score: float
    blamed_z: int | None
    blamed_link: tuple[str, str] | None = None
    cause: str = MODEL_FAULT


def _callable_or_none(value: Any, name: str) -> Any:
    if value is not None and not callable(value):
        raise TypeError(f"{name} must be callable or None, got {type(value).__name__}")
    return value


class Watcher:
    """Scores every forward pass of `model` with `monitor`, leaving the
    model's output untouched.

    `s` and `z` name the layers the monitor was fitted on, as for `capture`:
    submodule names of `model.named_modules()`, "output" for the model's own
    output, with selectors such as "output[0]" or "output[logits]" for tuple,
    list or dict outputs. `attach()` installs persistent forward hooks (or
    use the watcher as a context manager); then each call `model(x)`, of any
    batch size, copies S and Z in the hooks (so in-place layers after them
    cannot change the values), scores the rows with `monitor.score_batch`,
    counts them and updates `alarm`. The model's own mode, gradient mode and
    device are left as they are: a CUDA model's S and Z are copied to host
    memory, which waits for the model's work on the GPU to finish.

    `alarm` (a `WindowAlarm`, or None for scores and counts only) decides
    when the watcher fires; its `tau` is the threshold the counters use
    (without an alarm, `monitor.tau`). With `latch=True` the watcher stays
    firing once fired until `acknowledge()`; with `latch=False` it follows
    the alarm's window. Each firing records an `AlarmEvent`, is logged as
    one WARNING record of the logger "tarvex.core.watch" (its fields in the
    record attribute `tarvex_watch`), and calls `on_alarm(event)` once, on
    the thread whose call fired it (an exception from it propagates out of
    that model call; the event is already recorded). Each clearing is logged
    as one INFO record.

    Forward passes may run at once in several threads: each pass's S and Z
    stay paired, and the counters and the alarm are updated under a lock.
    An error raised from a model call (a layer that did not run exactly
    once, rows the monitor refuses) leaves the counters unchanged.

    Input typicality: given `typicality` (a `Typicality` of the monitor's S,
    from `fit_typicality`), the watcher also scores how unusual each
    input's S is and keeps a typicality window of its own (the fault
    alarm's window, at `drift_significance`, by default the fault alarm's
    significance). Each rise of that window records an event of cause
    "input_drift"; each firing of the fault window is labelled
    "model_fault" while the typicality window is quiet and "both" while it
    fires. A fault firing is labelled "both" also while the typicality
    scores of the window are merely unusual (their count above tau, or their
    mean, improbable at `DRIFT_EVIDENCE`, 1%, rather than at the alarm's
    significance): a small shift of every input raises every typicality
    score a little, and the typicality window may still be counting when
    the fault window fires. `drifting` says whether the typicality window
    fires now (it follows the window; `latch` applies to the fault alarm
    only) and `cause` what the current state means. A coverage watcher does
    the same with the coverage's own typicality of each link's S (`cover`
    fits it). Without an alarm there are no windows, so no events either.
    A `typicality` that is not a `Typicality`, or one given with a coverage,
    raises `TypeError`; one of another width than the monitor's S, or a
    `drift_significance` outside (0, 1), `ValueError`.

    Given a `Coverage` (from `cover`) in place of the monitor, the watcher
    hooks every layer of `coverage.layers` ("input" is the model's first
    positional argument) and takes no `s` and `z`. Each input's score is
    then one minus its smallest p-value over the links, and `tau` (without
    an alarm) `1 - coverage.p_threshold`: an input is above `tau` exactly
    where `coverage.check` alarms on it. `WindowAlarm.from_coverage` builds
    the matching alarm; events name the blamed link (`blamed_link`).

    Raises `TypeError` for a model that is not a `torch.nn.Module`, a
    monitor that is neither a `NeuralConditionalMonitor` nor a `Coverage`,
    `s` or `z` missing for a monitor or given with a coverage, an alarm that
    is not a `WindowAlarm`, a non-bool `latch` or a non-callable
    `on_alarm`; `ValueError` for an unknown layer name or a missing
    threshold; `RuntimeError("Detector not fit/loaded")` for an untrained
    monitor.
    """

    def __init__(self, model: torch.nn.Module, monitor: Any, *, s: str | None = None, z: str | None = None,
                 alarm: WindowAlarm | None = None, latch: bool = True,
                 on_alarm: Callable[[AlarmEvent], Any] | None = None, typicality: Typicality | None = None,
                 drift_significance: float | None = None) -> None:
        """Checks the arguments and resolves the layer names; installs no
        hooks yet (see `attach`)."""
        coverage = monitor if isinstance(monitor, Coverage) else None
        if coverage is not None:
            if s is not None or z is not None:
                raise TypeError("a coverage watches its own layers (coverage.layers); do not pass s= or z=")
            layers = resolve(model, [(f"coverage layer {i}", name) for i, name in enumerate(coverage.layers)])
            if coverage.layers[0] == INPUT:  # always the model's input for a coverage, as in `cover`
                layers[0] = Layer(INPUT, None, None, is_input=True)
        else:
            _require_trained(monitor)
            if s is None or z is None:
                raise TypeError("a monitor's watcher needs the layer names s= and z=")
            layers = resolve(model, [("s", s), ("z", z)])
        if alarm is not None and not isinstance(alarm, WindowAlarm):
            raise TypeError(f"alarm must be a WindowAlarm or None, got {type(alarm).__name__}")
        if not isinstance(latch, bool):
            raise TypeError(f"latch must be a bool, got {type(latch).__name__}")
        if alarm is not None:
            tau = alarm.tau
        else:
            tau = 1.0 - coverage.p_threshold if coverage is not None else monitor.tau
        if tau is None:
            raise ValueError("the monitor has no tau: calibrate it (watch.calibrate) or give an alarm")
        self.model = model
        self.monitor = None if coverage is not None else monitor
        self.coverage = coverage
        self.alarm = alarm
        self.latch = latch
        self.on_alarm = _callable_or_none(on_alarm, "on_alarm")
        self.tau = float(tau)
        self._tap = LayerTap(model, layers, self._score if coverage is None else self._score_coverage)
        self._lock = threading.Lock()
        self._local = threading.local()
        self._inputs_seen = 0
        self._above_tau = 0
        self._alarms = 0
        self._firing = False
        # Whether the alarm's window fired after the last input it took:
        # firings are the rises of this state.
        self._window_firing = False
        self._rearm = False
        self._events: deque[AlarmEvent] = deque(maxlen=MAX_EVENTS)
        # The inputs above tau still inside the alarm's window, as
        # (index, score, blame data): for a monitor the rows (s, z), for a
        # coverage the index of the link with the smallest p-value. Enough
        # for an event's worst score and blame.
        self._recent: deque[tuple[int, float, Any]] = deque(
            maxlen=alarm.window if alarm is not None else 1)
        self._histogram: Any = None  # set by export_prometheus
        self._set_up_drift(typicality, drift_significance)

    def _set_up_drift(self, typicality: Typicality | None, significance: float | None) -> None:
        """The typicality windows, one per typicality (a monitor's S, or each
        of a coverage's links' S), and their state."""
        if self.coverage is not None:
            if typicality is not None:
                raise TypeError("a coverage carries its own typicality of each link's S (cover fits it); "
                                "do not pass typicality=")
            typicalities: list[Typicality] = list(self.coverage.typicalities or [])
        elif typicality is None:
            typicalities = []
        elif not isinstance(typicality, Typicality):
            raise TypeError(f"typicality must be a watch.Typicality or None, got {type(typicality).__name__}")
        else:
            s_dim = _widths(self.monitor)[0]
            if typicality.width != s_dim:
                raise ValueError(f"the typicality takes {typicality.width} S columns, the monitor {s_dim}")
            typicalities = [typicality]
        self.typicalities = typicalities
        window = self.alarm.window if self.alarm is not None else 50
        if significance is None:
            significance = self.alarm.significance if self.alarm is not None else 1e-3
        self._drift_alarms = [t.alarm(window=window, significance=significance)
                              for t in typicalities] if self.alarm is not None else []
        self._drift_state = [False] * len(self._drift_alarms)
        # The same windows at a looser significance: whether the inputs look
        # drifted when the fault window fires. The typicality window may
        # still be filling its count then, and a firing it would soon explain
        # must not be labelled a model fault.
        self._evidence = [t.alarm(window=window, significance=max(significance, DRIFT_EVIDENCE))
                          for t in typicalities] if self.alarm is not None else []
        self._evidence_state = [False] * len(self._evidence)
        # Every typicality score still inside each window, for the mean test.
        self._drift_scores: list[deque[float]] = [deque(maxlen=window) for _ in self._evidence]
        self._drifting = False
        # Typicality scores above their tau still inside each window, as (index, score).
        self._drift_recent: list[deque[tuple[int, float]]] = [deque(maxlen=window) for _ in self._drift_alarms]
        self._fault_cause: str = MODEL_FAULT  # the cause of the latest fault firing
        self._alarms_by_cause = dict.fromkeys(CAUSES, 0)

    @classmethod
    def from_file(cls, model: torch.nn.Module, path: Any, *, s: str | None = None, z: str | None = None,
                  alarm: WindowAlarm | None = _NOT_GIVEN, window: int = 50, significance: float = 1e-3,
                  latch: bool = True, on_alarm: Callable[[AlarmEvent], Any] | None = None,
                  typicality: Typicality | None = None) -> Watcher:
        """Builds a watcher from a monitor file written by `save`: the
        monitor, the layer names stored with it (or `s` and `z`, which take
        precedence), and a `WindowAlarm` from its calibration with `window`
        and `significance` (or `alarm` as given, None for no alarm).

        A coverage file gives a watcher of the coverage, with
        `WindowAlarm.from_coverage(coverage, window=..., significance=...)`
        unless `alarm` is given; `s` or `z` raise `TypeError` for it. A
        monitor file's watcher takes `typicality` as the constructor does (a
        coverage file holds its own).

        `load`'s errors propagate; a monitor file without layer names when
        `s` or `z` is not given, or without a calibration when `alarm` is
        not given, raises `ValueError`."""
        from .files import load

        monitor = load(path)
        if isinstance(monitor, Coverage):
            if s is not None or z is not None:
                raise TypeError(f"{path!r} holds a coverage, which watches its own layers; do not pass s= or z=")
            if alarm is _NOT_GIVEN:
                alarm = WindowAlarm.from_coverage(monitor, window=window, significance=significance)
            return cls(model, monitor, alarm=alarm, latch=latch, on_alarm=on_alarm, typicality=typicality)
        layers = getattr(monitor, "layers", None) or {}
        s = s if s is not None else layers.get("s")
        z = z if z is not None else layers.get("z")
        if s is None or z is None:
            raise ValueError(f"{path!r} names no S and Z layers; pass s= and z=")
        if alarm is _NOT_GIVEN:
            calibration = getattr(monitor, "calibration", None)
            if calibration is None:
                raise ValueError(f"{path!r} holds no calibration to build the alarm from; calibrate the "
                                 "monitor before saving it, or pass alarm= (None for no alarm)")
            alarm = WindowAlarm.from_calibration(calibration, window=window, significance=significance)
        return cls(model, monitor, s=s, z=z, alarm=alarm, latch=latch, on_alarm=on_alarm, typicality=typicality)

    # --- hooks ---------------------------------------------------------------

    @property
    def attached(self) -> bool:
        """Whether the hooks are installed."""
        return self._tap.attached

    def attach(self) -> Watcher:
        """Installs the hooks (once; attaching again changes nothing) and
        returns the watcher. The monitor's network is put in evaluation mode;
        a model in training mode gets a `UserWarning`, since dropout and
        batch statistics make clean inputs score high. A coverage's
        monitors are all put in evaluation mode."""
        return self._attach(stacklevel=3)

    def _attach(self, stacklevel: int) -> Watcher:
        if self.model.training:
            warnings.warn("the watched model is in training mode; call model.eval() before serving it",
                          UserWarning, stacklevel=stacklevel)
        for monitor in (self.coverage.monitors if self.coverage is not None else [self.monitor]):
            monitor._model.eval()
        self._tap.attach()
        return self

    def detach(self) -> None:
        """Removes every hook the watcher installed; the counters, the alarm
        and the events stay."""
        self._tap.detach()

    def __enter__(self) -> Watcher:
        return self._attach(stacklevel=3)

    def __exit__(self, *exc: Any) -> None:
        self.detach()

    # --- state ---------------------------------------------------------------

    @property
    def inputs_seen(self) -> int:
        """Inputs scored so far (rows of all forward passes)."""
        return self._inputs_seen

    @property
    def inputs_above_tau(self) -> int:
        """Inputs scored above `tau` so far (NaN and inf count as above)."""
        return self._above_tau

    @property
    def alarms(self) -> int:
        """Firings so far."""
        return self._alarms

    @property
    def firing(self) -> bool:
        """Whether the watcher is firing: latched since the last firing
        until `acknowledge()`, or, with `latch=False`, while the alarm's
        window fires."""
        return self._firing

    @property
    def drifting(self) -> bool:
        """Whether a typicality window fires now: the inputs' S (for a
        coverage: some link's S) is improbably unusual. Always False without
        a typicality or an alarm."""
        return self._drifting

    @property
    def cause(self) -> str | None:
        """What the current state means: None when neither `firing` nor
        `drifting`; "input_drift" when only drifting; while firing, the
        cause of the firing ("model_fault" or "both"), "both" too when the
        inputs drift now."""
        with self._lock:
            if self._firing:
                return BOTH if self._drifting else self._fault_cause
            return INPUT_DRIFT if self._drifting else None

    @property
    def alarms_by_cause(self) -> dict[str, int]:
        """Firings so far per cause ("model_fault", "input_drift", "both")."""
        with self._lock:
            return dict(self._alarms_by_cause)

    @property
    def events(self) -> list[AlarmEvent]:
        """The firings so far, oldest first (the latest 1000)."""
        with self._lock:
            return list(self._events)

    @property
    def last_scores(self) -> np.ndarray | None:
        """The scores of the latest forward pass run by the calling thread
        (one float64 per row), or None if this thread ran none."""
        return getattr(self._local, "scores", None)

    def acknowledge(self, *, reset: bool = False) -> None:
        """Clears the firing state (logged as a clearing if it was firing).
        The watcher fires again at the next input after which the alarm's
        window still holds an improbable count; `reset=True` also empties
        the window, for a model that was repaired or replaced."""
        if not isinstance(reset, bool):
            raise TypeError(f"reset must be a bool, got {type(reset).__name__}")
        with self._lock:
            was_firing = self._firing
            self._firing = False
            # Judge the next input afresh: a window that still fires then
            # fires the watcher again.
            self._rearm = True
            if reset:
                if self.alarm is not None:
                    self.alarm.reset()
                self._recent.clear()
                for drift_alarm, recent in zip(self._drift_alarms, self._drift_recent):
                    drift_alarm.reset()
                    recent.clear()
                for evidence, kept_scores in zip(self._evidence, self._drift_scores):
                    evidence.reset()
                    kept_scores.clear()
                self._drift_state = [False] * len(self._drift_alarms)
                self._evidence_state = [False] * len(self._evidence)
                self._drifting = False
            index = self._inputs_seen
        if was_firing:
            _log_clearing(index, "acknowledged")

    # --- scoring -------------------------------------------------------------

    def _score(self, rows: list[np.ndarray]) -> None:
        S, Z = rows
        scores = self.monitor.score_batch(S, Z)
        drift = [t.score(S) for t in self.typicalities] if self._drift_alarms else []
        self._record(scores, (S, Z), drift)

    def _score_coverage(self, rows: list[np.ndarray]) -> None:
        """One minus each input's smallest p-value over the links: above
        `1 - p_threshold` exactly where the coverage alarms (p-values are
        multiples of 1 / (n + 1), far apart compared with the rounding of
        the subtraction)."""
        assert self.coverage is not None
        report = self.coverage.score_outputs(dict(zip(self.coverage.layers, rows)))
        scores = 1.0 - report.p_values.min(axis=1)
        drift = list(report.typicality.T) if self._drift_alarms and report.typicality is not None else []
        self._record(scores, (report.p_values.argmin(axis=1),), drift)

    def _record(self, scores: np.ndarray, blame_data: tuple[np.ndarray, ...],
                drift: list[np.ndarray] | None = None) -> None:
        """Counts one pass's scores and updates the alarm; `blame_data`
        holds, per row, what an event's blame is computed from, `drift` the
        rows' typicality scores, one array per typicality window."""
        self._local.scores = scores
        if len(scores) == 1:  # the common serving case, without array operations
            above = None
            n_above = 0 if scores[0] <= self.tau else 1
        else:
            above = ~(scores <= self.tau)
            n_above = int(np.count_nonzero(above))
        fired: list[AlarmEvent] = []
        with self._lock:
            first = self._inputs_seen
            self._inputs_seen = first + len(scores)
            self._above_tau += n_above
            if self._histogram is not None:
                self._histogram.add(scores)
            flags = None
            if drift:
                flags, fired = self._update_drift(drift, first)
            if self.alarm is not None:
                if n_above == 0 and not self._window_firing and not self._rearm:
                    # Nothing above tau cannot start a firing.
                    self.alarm.update(scores)
                else:
                    if above is None:
                        above = ~(scores <= self.tau)
                    fired = sorted(fired + self._update_alarm(scores, above, first, blame_data, flags),
                                   key=lambda event: event.index)
        if fired and self.on_alarm is not None:
            for event in fired:
                self.on_alarm(event)

    def _update_drift(self, drift: list[np.ndarray], first: int) -> tuple[np.ndarray, list[AlarmEvent]]:
        """Feeds the typicality scores to their windows. Returns, per row
        and window, (rows, windows), whether the inputs looked drifted after
        that row (the window or its looser twin fired), and an
        "input_drift" event for each row after which some window fires
        where none did before."""
        rows = len(drift[0])
        flags = np.zeros((rows, len(drift)), dtype=bool)
        evidence = np.zeros((rows, len(drift)), dtype=bool)
        above = []
        for j, (alarm, scores) in enumerate(zip(self._drift_alarms, drift)):
            scores = np.asarray(scores, dtype=np.float64)
            above.append(np.flatnonzero(~(scores <= alarm.tau)).tolist())
            self._drift_state[j] = _states(alarm, scores, self._drift_state[j], flags[:, j])
            self._evidence_state[j] = _states(self._evidence[j], scores, self._evidence_state[j], evidence[:, j])
            kept_scores, typicality = self._drift_scores[j], self.typicalities[j]
            total = math.fsum(kept_scores)
            for position, score in enumerate(np.minimum(scores, _SCORE_CAP * abs(typicality.tau)).tolist()):
                if len(kept_scores) == kept_scores.maxlen:
                    total -= kept_scores[0]
                kept_scores.append(score)
                total += score
                evidence[position, j] |= typicality.mean_is_high(total, len(kept_scores))
        events = []
        drifting = self._drifting
        kept = [0] * len(drift)
        any_window: list[bool] = [bool(value) for value in np.any(flags, axis=1).tolist()]
        for position, now in enumerate(any_window):
            if now != drifting:
                # Keep the atypical rows up to here (the windows' deques hold
                # only the latest ones) before the event reads them.
                for j, positions in enumerate(above):
                    while kept[j] < len(positions) and positions[kept[j]] <= position:
                        at = positions[kept[j]]
                        self._drift_recent[j].append((first + at + 1, float(drift[j][at])))
                        kept[j] += 1
                if now:
                    events.append(self._fire_drift(first + position + 1, flags[position]))
                else:
                    _log_clearing(first + position + 1, "inputs typical again", cause=INPUT_DRIFT)
            drifting = now
        for j, positions in enumerate(above):
            for at in positions[kept[j]:]:
                self._drift_recent[j].append((first + at + 1, float(drift[j][at])))
        self._drifting = drifting
        return flags | evidence, events

    def _fire_drift(self, index: int, flags: np.ndarray) -> AlarmEvent:
        """Records an "input_drift" event for the earliest drifting window."""
        j = int(np.argmax(flags))
        window = self._drift_alarms[j].window
        recent = [score for at, score in self._drift_recent[j] if index - window < at <= index]
        worst = math.nan if not recent or any(math.isnan(v) for v in recent) else max(recent)
        link = self.coverage.links[j] if self.coverage is not None else None
        event = AlarmEvent(index=index, time=time.time(), count=len(recent), worst_score=worst, blamed_z=None,
                           blamed_link=link, cause=INPUT_DRIFT)
        self._alarms += 1
        self._alarms_by_cause[INPUT_DRIFT] += 1
        self._events.append(event)
        fields = {"event": "fired", "cause": INPUT_DRIFT, "index": index, "time": event.time,
                  "count": event.count, "worst_score": worst, "window": window, "tau": self.typicalities[j].tau}
        where = "the model's S" if link is None else f"the S of link {link}"
        if link is not None:
            fields["blamed_link"] = link
        logger.warning("input drift at input %d: %d of the last %d inputs atypical in %s (worst typicality "
                       "%.6g); the model's inputs changed", index, event.count, window, where, worst,
                       extra={"tarvex_watch": fields})
        return event

    def _update_alarm(self, scores: np.ndarray, above: np.ndarray, first: int,
                      blame_data: tuple[np.ndarray, ...], flags: np.ndarray | None = None) -> list[AlarmEvent]:
        """Feeds the scores to the alarm and turns the changes of its state
        into firings and clearings, keeping the rows above tau for the
        events' worst score and blame; `flags` holds the typicality
        windows' state after each row, for the firings' cause."""
        alarm = self.alarm
        assert alarm is not None
        _, changes = alarm._push(scores, False if self._rearm else self._window_firing)
        self._rearm = False
        positions = np.flatnonzero(above).tolist()
        kept = 0
        events = []
        for position, now_firing, count in changes:
            kept = self._keep(positions, kept, position, first, scores, blame_data)
            index = first + position + 1
            if now_firing and not (self.latch and self._firing):
                events.append(self._fire(index, count, None if flags is None else flags[position]))
            elif not now_firing and not self.latch and self._firing:
                self._clear(index)
            self._window_firing = now_firing
        self._keep(positions, kept, len(scores), first, scores, blame_data)
        return events

    def _keep(self, positions: list[int], kept: int, through: int, first: int, scores: np.ndarray,
              blame_data: tuple[np.ndarray, ...]) -> int:
        """Keeps the rows above tau at positions up to `through`, from the
        `kept`-th on; returns how many of `positions` are kept now. Copies:
        a view would keep the whole batch alive."""
        while kept < len(positions) and positions[kept] <= through:
            position = positions[kept]
            self._recent.append((first + position + 1, float(scores[position]),
                                 tuple(values[position].copy() for values in blame_data)))
            kept += 1
        return kept

    def _fire(self, index: int, count: int, drifting: np.ndarray | None = None) -> AlarmEvent:
        assert self.alarm is not None
        recent = [entry for entry in self._recent if index - self.alarm.window < entry[0] <= index]
        cause = MODEL_FAULT
        if drifting is not None:
            # Drift explains the firing when the inputs of the link that
            # broke, or of an earlier one, are atypical.
            link = 0 if self.coverage is None or not recent else self._cause_link(recent)
            cause = BOTH if drifting[:link + 1].any() else MODEL_FAULT
        scores = np.array([entry[1] for entry in recent])
        # Without a kept row above tau (not expected): NaN and no blame.
        worst = math.nan if not len(scores) or np.isnan(scores).any() else float(scores.max())
        if self.coverage is None:
            blamed_z, blamed_link = self._blame(recent) if recent else None, None
        else:
            blamed_z, blamed_link = None, self._blame_link(recent) if recent else None
        event = AlarmEvent(index=index, time=time.time(), count=int(count), worst_score=worst,
                           blamed_z=blamed_z, blamed_link=blamed_link, cause=cause)
        self._firing = True
        self._fault_cause = cause
        self._alarms += 1
        self._alarms_by_cause[cause] += 1
        self._events.append(event)
        fields = {"event": "fired", "cause": cause, "index": event.index, "time": event.time, "count": event.count,
                  "worst_score": event.worst_score, "blamed_z": event.blamed_z, "window": self.alarm.window,
                  "tau": self.tau}
        if self.coverage is None:
            blamed = f"blamed Z column {event.blamed_z}"
        else:
            blamed = f"blamed link {event.blamed_link}"
            fields["blamed_link"] = event.blamed_link
        meaning = _MEANINGS[cause]
        logger.warning("integrity alarm fired at input %d: %d of the last %d inputs above tau %.6g, worst score "
                       "%.6g, %s; %s", event.index, event.count, self.alarm.window, self.tau,
                       event.worst_score, blamed, meaning, extra={"tarvex_watch": fields})
        return event

    def _clear(self, index: int) -> None:
        self._firing = False
        _log_clearing(index, "window")

    def _blame(self, recent: list[tuple[int, float, Any]]) -> int | None:
        """The Z column with the largest mean share of the scores above tau
        in the window."""
        S = np.stack([entry[2][0] for entry in recent])
        Z = np.stack([entry[2][1] for entry in recent])
        with np.errstate(all="ignore"):
            contributions = explain(self.monitor, S, Z)
            shares = contributions / contributions.sum(axis=1, keepdims=True)
        shares = shares[np.isfinite(shares).all(axis=1)]
        if not len(shares):
            return None
        return int(np.argmax(shares.mean(axis=0)))

    def _cause_link(self, recent: list[tuple[int, float, Any]]) -> int:
        """The earliest link that gave the smallest p-value for at least a
        quarter of the inputs above tau in the window: a fault breaks the
        link that ends at it, and the links after it may alarm more often."""
        assert self.coverage is not None
        votes = np.bincount([int(entry[2][0]) for entry in recent], minlength=len(self.coverage.links))
        return int(np.flatnonzero(votes >= 0.25 * votes.sum())[0])

    def _blame_link(self, recent: list[tuple[int, float, Any]]) -> tuple[str, str]:
        """The link that gave the smallest p-value most often among the
        inputs above tau in the window (the earliest of equal counts)."""
        assert self.coverage is not None
        votes = np.bincount([int(entry[2][0]) for entry in recent], minlength=len(self.coverage.links))
        return self.coverage.links[int(np.argmax(votes))]

    # --- metrics -------------------------------------------------------------

    def export_prometheus(self, registry: Any = None, *, name: str = "default") -> None:
        """Registers the watcher's metrics on a `prometheus_client` registry
        (None: the default one), labelled `monitor=name`: the counters
        `tarvex_watch_inputs_total`, `tarvex_watch_inputs_above_tau_total`
        and `tarvex_watch_alarms_total` (also labelled `cause`: one series
        each for "model_fault", "input_drift" and "both"; page on
        "model_fault"), the gauges `tarvex_watch_firing` (1 while firing),
        `tarvex_watch_input_drift` (1 while the typicality window fires) and
        `tarvex_watch_tau`, and the histogram
        `tarvex_watch_score` with buckets placed around `tau` (it counts the
        scores from the first export on). Values are read when the registry
        is collected, so exporting costs a forward pass one bucket count.

        Needs `prometheus_client` (extra `serve`; `ImportError` naming it
        without). A name already exported on that registry raises
        `ValueError`, a non-str name `TypeError`."""
        from ._metrics import export

        export(self, registry, name)

    def _metric_values(self) -> dict[str, Any]:
        """A consistent snapshot for the metrics collector."""
        with self._lock:
            histogram = self._histogram
            return {"inputs": self._inputs_seen, "above_tau": self._above_tau, "alarms": self._alarms,
                    "alarms_by_cause": dict(self._alarms_by_cause), "drifting": self._drifting,
                    "firing": self._firing, "tau": self.tau,
                    "histogram": histogram.snapshot() if histogram is not None else None}


# What a firing of each cause tells the operator, for its log message.
_MEANINGS = {
    MODEL_FAULT: "cause: model fault (the inputs look as clean as ever)",
    BOTH: ("cause: both (the inputs drifted too, so this may be their echo; a fault in or before the S layer "
           "reads the same: check the weights' fingerprint)"),
}


# Typicality scores enter the window's mean capped at this multiple of tau,
# so that a non-finite one counts as very atypical without making it NaN.
_SCORE_CAP = 1e6


def _states(alarm: WindowAlarm, scores: np.ndarray, state: bool, out: np.ndarray) -> bool:
    """Feeds `scores` to `alarm`, writes its firing state after each one
    into `out` and returns the last state."""
    _, changes = alarm._push(scores, state)
    start = 0
    for position, now, _count in changes:
        out[start:position] = state
        state, start = now, position
    out[start:] = state
    return state


def _log_clearing(index: int, reason: str, cause: str | None = None) -> None:
    fields: dict[str, Any] = {"event": "cleared", "index": index, "time": time.time(), "reason": reason}
    if cause is not None:
        fields["cause"] = cause
    what = "input drift" if cause == INPUT_DRIFT else "integrity alarm"
    logger.info("%s cleared at input %d (%s)", what, index, reason, extra={"tarvex_watch": fields})
