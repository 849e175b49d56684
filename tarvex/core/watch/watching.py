"""Watching a live model: persistent hooks that score forward passes with a
monitor or a coverage (`Watcher`), in the request (`mode="sync"`) or on a
background thread (`mode="background"`), on every input or a sample; the
window alarm's firings as `AlarmEvent`s with a log record each; and the
counters that metrics are exported from. Watching never fails the model
call: inputs with non-finite S are counted apart from the alarm, and errors
inside the watcher are counted and logged while the model's output is
returned."""

from __future__ import annotations

import atexit
import itertools
import logging
import math
import numbers
import random
import threading
import time
import warnings
import weakref
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import numpy.typing as npt
import torch

from tarvex.core.resmon import NeuralConditionalMonitor

from ._arguments import _positive_int, _require_trained, _widths
from ._layers import INPUT, Layer, LayerTap, check_returns_tensor, refuse_compiled, resolve
from .alarms import WindowAlarm
from .coverage import Coverage
from .explaining import explain
from .fingerprints import Fingerprint, FingerprintCheck, FingerprintEvent, PeriodicVerifier, check_model, fingerprint
from .typicality import (BOTH, CAUSES, DRIFT_EVIDENCE, EARLY_EVIDENCE_SHARE, INPUT_DRIFT, MODEL_FAULT, PENDING,
                         WINDOW_TESTS, Typicality)

logger = logging.getLogger("tarvex.core.watch")

# How many events `Watcher.events` keeps (the oldest are dropped first);
# `Watcher.alarms` counts all of them.
MAX_EVENTS = 1000

# Seconds between two log records of one kind of trouble (watch errors,
# dropped rows, invalid inputs): the first is logged at once, later ones
# are summed into the next record.
LOG_INTERVAL = 60.0

# Seconds a watcher stays degraded after its latest watch error.
DEGRADED_SECONDS = 60.0

# Most rows the background worker scores in one `score_batch` call.
WORKER_BATCH = 256

# Seconds the background worker waits, once rows are queued, for more to
# score them together: fewer, larger batches cost the requests' threads
# less (the worker wakes less often and holds the interpreter less).
WORKER_LINGER = 0.002

# Seconds the background workers still running at interpreter exit get to
# score what is queued.
EXIT_TIMEOUT = 5.0

MODES = ("sync", "background")

# Further inputs a watcher waits, by default, for the inputs' S to show
# drift when a fault firing's own inputs do not (`Watcher(cause_inputs=)`).
CAUSE_INPUTS = 15

_NOT_GIVEN: Any = object()


@dataclass(frozen=True)
class AlarmEvent:
    """One firing of a watcher's alarm.

    `index` is the number of inputs the watcher had scored when it fired
    (the firing input included), `time` the wall-clock time (`time.time()`),
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
    too, or the S of the inputs that made it fire was improbable for clean
    inputs by a window test, so the inputs changed and the fault alarm may
    be their echo, or a fault in or before the S layer moved S (a check of
    the weights' fingerprint separates the two); "input_drift" when the typicality
    window fired: the inputs changed. For an "input_drift" event `count` and
    `worst_score` are those of the typicality scores above their own tau,
    `blamed_z` is None and, for a coverage, `blamed_link` is the link whose
    S drifted (the earliest one). A watcher without a typicality only ever
    fires "model_fault".

    `settled_index` is the input after which the cause was settled: `index`
    itself, or up to `Watcher.cause_inputs` inputs later when the watcher
    held a fault firing's cause open for the inputs after it (the event is
    recorded then; `index`, `time`, `count`, the worst score and the blame
    stay those of the firing input). None for events not made by a
    watcher."""

    index: int
    time: float
    count: int
    worst_score: float
    blamed_z: int | None
    blamed_link: tuple[str, str] | None = None
    cause: str = MODEL_FAULT
    settled_index: int | None = None


@dataclass
class _OpenCause:
    """A fault firing whose cause waits for more inputs: what its event
    will carry, and what the window tests of the inputs after it need."""

    index: int
    time: float
    count: int
    worst_score: float
    blamed_z: int | None
    blamed_link: tuple[str, str] | None
    link: int  # the typicalities of links 0..link count (a monitor's: 0)
    start: int  # the earliest input above tau inside the firing's window
    checked: int  # the latest input looked at


def _callable_or_none(value: Any, name: str) -> Any:
    if value is not None and not callable(value):
        raise TypeError(f"{name} must be callable or None, got {type(value).__name__}")
    return value


def _cause_inputs(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"cause_inputs must be an int, got {type(value).__name__}")
    if value < 0:
        raise ValueError(f"cause_inputs must be 0 or more, got {value!r}")
    return int(value)


def _sample_fraction(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"sample must be a number, got {type(value).__name__}")
    fraction = float(value)
    if not 0.0 < fraction <= 1.0:  # also refuses NaN
        raise ValueError(f"sample must lie in (0, 1], the fraction of inputs scored; got {fraction!r}")
    return fraction


class _RateLimit:
    """Counts occurrences of one kind of trouble and says when to log them:
    the first at once, then at most one record per `LOG_INTERVAL` seconds
    with everything counted since. Used under the watcher's lock."""

    def __init__(self) -> None:
        self._next = -math.inf
        self._pending = 0

    def due(self, count: int) -> int:
        """Adds `count` occurrences; returns how many to log now (0: none)."""
        self._pending += count
        now = time.monotonic()
        if now < self._next:
            return 0
        self._next = now + LOG_INTERVAL
        due, self._pending = self._pending, 0
        return due


class _Worker:
    """The background scorer of one attachment: a bounded queue of captured
    passes (their rows, kept together) and a daemon thread that scores them
    in batches. It holds the watcher only weakly, so a watcher that is no
    longer used is collected, and its finaliser stops the thread."""

    def __init__(self, watcher: Watcher, queue_size: int) -> None:
        self._watcher = weakref.ref(watcher)
        self.queue_size = queue_size
        self.queue: deque[list[np.ndarray]] = deque()
        self.queued_rows = 0
        # Rows accepted into the queue, and rows taken care of since (scored,
        # kept out as invalid, or lost to an error): flush waits for these to
        # meet.
        self.accepted = 0
        self.done = 0
        self.stopping = False
        self.idle = False  # the worker waits for a first row: a put wakes it
        self.condition = threading.Condition(threading.Lock())
        self.thread = threading.Thread(target=self._run, name="tarvex-watch-scorer", daemon=True)
        self.thread.start()
        _workers.add(self)

    def put(self, rows: list[np.ndarray]) -> int:
        """Queues one pass's rows, as many as fit (the first ones); never
        waits. Returns how many rows were accepted."""
        count = int(rows[0].shape[0])
        with self.condition:
            if self.stopping:
                return 0
            room = self.queue_size - self.queued_rows
            if room <= 0:
                return 0
            if count > room:
                rows = [array[:room] for array in rows]
                count = room
            self.queue.append(rows)
            self.queued_rows += count
            self.accepted += count
            if self.idle:
                self.condition.notify()
        return count

    def flush(self, timeout: float | None) -> bool:
        """Waits until every row accepted so far is taken care of; False if
        `timeout` seconds passed first."""
        if threading.current_thread() is self.thread:  # an on_alarm callback flushing
            return True
        with self.condition:
            target = self.accepted
            self.condition.notify_all()  # ends the worker's wait for more rows
            return self.condition.wait_for(lambda: self.done >= target or not self.thread.is_alive(), timeout)

    def stop(self, timeout: float | None) -> int:
        """Scores what is queued (waiting at most `timeout` seconds), stops
        the thread and returns the rows left unscored."""
        self.flush(timeout)
        with self.condition:
            self.stopping = True
            left = self.queued_rows
            self.queue.clear()
            self.queued_rows = 0
            self.done += left
            self.condition.notify_all()
        if threading.current_thread() is not self.thread:
            self.thread.join(timeout)
        _workers.discard(self)
        return left

    def _take(self) -> list[list[np.ndarray]] | None:
        """Waits for queued passes and takes up to `WORKER_BATCH` rows of them
        (at least one pass); None once stopping."""
        with self.condition:
            while not self.queue and not self.stopping:
                self.idle = True
                self.condition.wait()
                self.idle = False
            if not self.stopping and self.queued_rows < WORKER_BATCH:
                self.condition.wait(WORKER_LINGER)  # flush and stop cut it short
            if self.stopping:
                return None
            taken = [self.queue.popleft()]
            rows = taken[0][0].shape[0]
            while self.queue and rows + self.queue[0][0].shape[0] <= WORKER_BATCH:
                rows += self.queue[0][0].shape[0]
                taken.append(self.queue.popleft())
            self.queued_rows -= rows
            return taken

    def _run(self) -> None:
        while True:
            taken = self._take()
            if taken is None:
                return
            watcher = self._watcher()
            try:
                if watcher is not None:
                    watcher._score_queued(taken)
            except BaseException:  # _score_queued contains its errors; never let the thread die
                logger.exception("the watch scorer thread failed unexpectedly; the rows it held are lost")
            finally:
                del watcher
                with self.condition:
                    self.done += sum(rows[0].shape[0] for rows in taken)
                    self.condition.notify_all()


# Background workers still running, stopped at interpreter exit (before
# the modules their thread uses are torn down).
_workers: weakref.WeakSet[_Worker] = weakref.WeakSet()


def _stop_workers() -> None:
    for worker in list(_workers):
        left = worker.stop(EXIT_TIMEOUT)
        if left:
            logger.warning("%d queued inputs were left unscored at exit", left)


atexit.register(_stop_workers)


class Watcher:
    """Scores the forward passes of `model` with `monitor`, leaving the
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

    `mode="sync"` (the default) scores each pass inside the model call.
    `mode="background"` only copies the rows in the hooks and queues them;
    a daemon thread scores the queue in batches of up to `WORKER_BATCH`
    rows, one `score_batch` per batch (rows gather for up to
    `WORKER_LINGER` seconds first). The queue holds at most `queue_size`
    rows: when it is full the model call never waits, the rows that do not
    fit are dropped and counted (`inputs_dropped`, logged at most once per
    `LOG_INTERVAL`). An alarm then fires at most `queue_size` inputs later
    than it would synchronously. `flush()` waits until everything queued is
    scored; `detach()` (and leaving the context manager) flushes and stops
    the thread, which also stops when the watcher is garbage-collected or
    the interpreter exits.

    `sample` is the fraction of inputs scored, in both modes: each input is
    drawn independently with that probability from a generator seeded by
    `random_state` (an int for a reproducible draw in a given order of
    calls; None for a fresh seed). Inputs not drawn are neither captured
    nor counted as scored. The alarm counts the inputs it scores, so its
    false-alarm guarantee holds unchanged; a persistent fault is found
    after about window / sample inputs instead of window.

    Inputs whose S is not finite (NaN or infinite in any column; for a
    coverage, its first layer) are the client's doing, not the model's:
    they are counted as `inputs_invalid` (logged at most once per
    `LOG_INTERVAL`), not as inputs scored, and never reach the alarm; their
    entry in `last_scores` is NaN. (A monitor watcher checks S of the
    inputs that score above tau, which a non-finite S does, the monitor
    scoring NaN as +inf: no check on the common path.) Rows with a finite
    S and a non-finite Z are scored (as +inf) and count against the model,
    except, for a coverage, inputs so far outside the clean ones that a
    layer's output overflows float32 where an exact check recomputes it
    (`CoverageReport.out_of_range`): those are invalid inputs too.

    Monitoring never takes the model call down: an error inside the
    watcher (a selector that does not fit, layers that disagree on rows, a
    monitor that raises) is caught, the model's output is returned, the
    pass is counted in `watch_errors` and logged as an ERROR record with
    the exception (at most once per `LOG_INTERVAL`), and the watcher is
    `degraded` for `DEGRADED_SECONDS`. `raise_errors=True` lets such
    errors propagate out of the model call instead (in background mode: out
    of the next `flush()`), for tests.

    `alarm` (a `WindowAlarm`, or None for scores and counts only) decides
    when the watcher fires; its `tau` is the threshold the counters use
    (without an alarm, `monitor.tau`). With `latch=True` the watcher stays
    firing once fired until `acknowledge()`; with `latch=False` it follows
    the alarm's window. Each firing records an `AlarmEvent`, is logged as
    one WARNING record of the logger "tarvex.core.watch" (its fields in the
    record attribute `tarvex_watch`), and is handed to `on_alarm(event)`, on
    the thread that scored the firing input (in background mode, the
    worker). Every event is delivered: an exception from `on_alarm` is
    logged with the event and the next event is delivered. Each clearing is
    logged as one INFO record.

    Forward passes may run at once in several threads: each pass's S and Z
    stay paired, rows of a pass that raised are never scored, and the
    counters and the alarm are updated under a lock.

    Input typicality: given `typicality` (a `Typicality` of the monitor's S,
    from `fit_typicality`; without it, the monitor's own `typicality`
    attribute, which `load` restores from a monitor file that stores
    one), the watcher also scores how unusual each
    input's S is and keeps a typicality window of its own (the fault
    alarm's window, at `drift_significance`, by default the fault alarm's
    significance). Each rise of that window records an event of cause
    "input_drift"; each firing of the fault window is labelled
    "model_fault" while the typicality window is quiet and "both" while it
    fires. A fault firing is labelled "both" also when the S of the inputs
    that made the fault window fire (from the earliest one above tau still
    inside it through the firing one) is merely unusual: their count above
    the typicality's tau, the Hotelling-type test on their mean S, or the tests
    on their mean typicality score, high or low (see
    `Typicality.window_p_values`), improbable at `DRIFT_EVIDENCE`, 5%,
    shared among the tests (Bonferroni) rather than at the alarm's
    significance. A fault after S leaves S as it was, so such a firing is
    called "both" with probability at most about 5%; drifted inputs move
    S's mean or spread, which a window test sees long before the count of
    atypical inputs does.

    The inputs that fire the fault window are often only two or three, too
    few for the window tests to show a small shift. So when they do not
    show drift, the watcher holds the firing's cause open for up to
    `cause_inputs` further scored inputs (default `CAUSE_INPUTS`, 15; 0
    settles every cause at the firing input, as the tests of those inputs
    alone say), testing after each one the S of the inputs from the
    earliest one above tau through it: the cause becomes "both" as soon as
    a test rejects at a strict early level (or the typicality window
    fires), and otherwise is settled at the last of those inputs by one
    final test over all of them, "both" or "model_fault". The 5% is split
    between the looks (a fifth among the `cause_inputs` early ones, the
    rest for the final one), so a fault after S is still called "both"
    with probability at most about 5%. Rows later in the same batch count
    at once. Meanwhile `firing` is True from the firing input on and
    `cause` is "pending"; the event is recorded (`events`, `alarms`,
    `alarms_by_cause`, the metrics' counter), logged and handed to
    `on_alarm` once its cause is settled, with `index` the firing input and
    `settled_index` the input that settled it. An open cause is settled by
    the next inputs, or with the inputs scored so far by `flush()`,
    `detach()` (and leaving the context manager) and `acknowledge()`; a
    model that receives no more inputs leaves it open. Both modes settle
    at the same inputs, given the same `flush()` calls. A real model fault
    is thus paged up to `cause_inputs` inputs later than it fires.

    `drifting` says whether the typicality window
    fires now (it follows the window; `latch` applies to the fault alarm
    only) and `cause` what the current state means. A coverage watcher does
    the same with the coverage's own typicality of each link's S (`cover`
    fits it). Typicality scores are taken in both modes from the rows that
    are scored, and only from valid ones (an input with a non-finite S
    reaches neither window). Without an alarm there are no windows, so no
    events either. A `typicality` that is not a `Typicality`, or one given
    with a coverage, raises `TypeError`; one of another width than the
    monitor's S, or a `drift_significance` outside (0, 1), `ValueError`.

    Given a `Coverage` (from `cover`) in place of the monitor, the watcher
    hooks every layer of `coverage.layers` ("input" is the model's first
    positional argument) and takes no `s` and `z`. Each input's score is
    then one minus its smallest p-value over the links, and `tau` (without
    an alarm) `1 - coverage.p_threshold`: an input is above `tau` exactly
    where `coverage.check` alarms on it. `WindowAlarm.from_coverage` builds
    the matching alarm; events name the blamed link (`blamed_link`).

    Compiled and traced models are refused (`TypeError`, at construction
    and at `attach`): hooks do not run reliably inside compiled code, so
    watch and serve the uncompiled module.

    Raises `TypeError` for a model that is not a `torch.nn.Module` or is
    compiled or traced, a monitor that is neither a
    `NeuralConditionalMonitor` nor a `Coverage`, `s` or `z` missing for a
    monitor or given with a coverage, a name without selectors for a layer
    known to return a tuple (naming the selectors to use), an alarm that is
    not a `WindowAlarm`, a non-bool `latch` or `raise_errors`, a
    non-callable `on_alarm`, or a `mode`, `queue_size`, `sample`,
    `random_state` or `cause_inputs` of the wrong type; `ValueError` for an
    unknown layer name, a missing threshold, an unknown mode, a
    `queue_size` below 1, a `sample` outside (0, 1] or a negative
    `cause_inputs`; `RuntimeError("Detector not fit/loaded")` for
    an untrained monitor.

    Weights at rest: with `verify_every_inputs` (a count of inputs) and/or
    `verify_every_seconds`, a background thread, running while the watcher
    is attached, verifies the model's weights against `fingerprint` (default:
    the fingerprint stored with the monitor or coverage, `monitor.fingerprint`,
    else the model's own at construction). A verification that finds them
    changed records a `FingerprintEvent` (`fingerprint_events`), logs one
    WARNING record (`"event": "fingerprint_mismatch"`, naming the tensors),
    calls `on_fingerprint_mismatch(event)` and sets `fingerprint_mismatch`;
    the metrics `tarvex_watch_fingerprint_checks_total` and
    `tarvex_watch_fingerprint_mismatch` export them. It reads the weights
    once per verification (docs/guides/fingerprints.md gives the rate), off
    the serving threads; a failing verification is logged and never stops
    serving.
    """

    def __init__(self, model: torch.nn.Module, monitor: Any, *, s: str | None = None, z: str | None = None,
                 alarm: WindowAlarm | None = None, latch: bool = True,
                 on_alarm: Callable[[AlarmEvent], Any] | None = None, mode: str = "sync",
                 queue_size: int = 1024, sample: float = 1.0, random_state: int | None = None,
                 raise_errors: bool = False, fingerprint: Fingerprint | None = None,
                 verify_every_inputs: int | None = None, verify_every_seconds: float | None = None,
                 on_fingerprint_mismatch: Callable[[FingerprintEvent], Any] | None = None,
                 typicality: Typicality | None = None, drift_significance: float | None = None,
                 cause_inputs: int = CAUSE_INPUTS) -> None:
        """Checks the arguments and resolves the layer names; installs no
        hooks yet (see `attach`)."""
        reference = fingerprint
        if isinstance(model, torch.nn.Module):
            refuse_compiled(model)
        layers = self._layers(model, monitor, s, z)
        if alarm is not None and not isinstance(alarm, WindowAlarm):
            raise TypeError(f"alarm must be a WindowAlarm or None, got {type(alarm).__name__}")
        for name, flag in (("latch", latch), ("raise_errors", raise_errors)):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} must be a bool, got {type(flag).__name__}")
        if not isinstance(mode, str):
            raise TypeError(f"mode must be a str, got {type(mode).__name__}")
        if mode not in MODES:
            raise ValueError(f"mode must be one of {MODES}, got {mode!r}")
        queue_size = _positive_int(queue_size, "queue_size")
        sample = _sample_fraction(sample)
        if random_state is not None and (isinstance(random_state, bool)
                                         or not isinstance(random_state, numbers.Integral)):
            raise TypeError(f"random_state must be an int or None, got {type(random_state).__name__}")
        coverage = monitor if isinstance(monitor, Coverage) else None
        if alarm is not None:
            tau = alarm.tau
        else:
            tau = 1.0 - coverage.p_threshold if coverage is not None else monitor.tau
        if tau is None:
            raise ValueError("the monitor has no tau: calibrate it (watch.calibrate) or give an alarm")
        self.model = model
        self.monitor: NeuralConditionalMonitor | None = None if coverage is not None else monitor
        self.coverage = coverage
        self.alarm = alarm
        self.latch = latch
        self.on_alarm = _callable_or_none(on_alarm, "on_alarm")
        self.tau = float(tau)
        self.mode = mode
        self.queue_size = queue_size
        self.sample = sample
        self.raise_errors = raise_errors
        self.cause_inputs = _cause_inputs(cause_inputs)
        self._s_name = layers[0].name
        self._random = random.Random(random_state)
        background = mode == "background"
        self._tap = LayerTap(model, layers, self._enqueue if background else self._score_pass,
                             on_error=self._watch_error, begin=self._draw if sample < 1.0 else None,
                             copy_output=background)
        self._lock = threading.Lock()
        self._local = threading.local()
        self._worker: _Worker | None = None
        self._finalizer: Any = None
        self._worker_error: BaseException | None = None
        self._last_scores: np.ndarray | None = None  # background mode: the latest batch's
        self._depth = 0  # nesting of `with watcher:`
        self._attached_before_with = False
        self._inputs_received = 0
        self._inputs_seen = 0
        self._inputs_dropped = 0
        self._inputs_invalid = 0
        self._watch_errors = 0
        self._last_error_time = -math.inf
        self._last_error: BaseException | None = None
        self._error_log = _RateLimit()
        self._dropped_log = _RateLimit()
        self._invalid_log = _RateLimit()
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
        self._verifier = _periodic_verifier(model, monitor, reference, verify_every_inputs, verify_every_seconds,
                                            _callable_or_none(on_fingerprint_mismatch, "on_fingerprint_mismatch"))

    def _set_up_drift(self, typicality: Typicality | None, significance: float | None) -> None:
        """The typicality windows, one per typicality (a monitor's S, or each
        of a coverage's links' S), and their state."""
        if self.coverage is not None:
            if typicality is not None:
                raise TypeError("a coverage carries its own typicality of each link's S (cover fits it); "
                                "do not pass typicality=")
            typicalities: list[Typicality] = list(self.coverage.typicalities or [])
        elif typicality is None and not isinstance(getattr(self.monitor, "typicality", None), Typicality):
            typicalities = []
        elif typicality is not None and not isinstance(typicality, Typicality):
            raise TypeError(f"typicality must be a watch.Typicality or None, got {type(typicality).__name__}")
        else:
            # Without `typicality`, the one stored in the monitor's file.
            typicality = typicality if typicality is not None else getattr(self.monitor, "typicality", None)
            assert typicality is not None
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
        # Each typicality's `scored_rows` of the inputs inside the window and
        # the `cause_inputs` after it, for the window tests of a fault
        # firing's cause (`_window_p`); and, while a batch is recorded, the
        # index before its first row, its rows' `scored_rows` and the
        # typicality windows' state after each row.
        self._drift_rows: list[deque[np.ndarray]] = [deque(maxlen=window + self.cause_inputs)
                                                     for _ in self._drift_alarms]
        self._batch_drift: tuple[int, list[np.ndarray], np.ndarray] | None = None
        self._open: _OpenCause | None = None  # a fault firing whose cause is still open
        self._drifting = False
        # Typicality scores above their tau still inside each window, as (index, score).
        self._drift_recent: list[deque[tuple[int, float]]] = [deque(maxlen=window) for _ in self._drift_alarms]
        self._fault_cause: str = MODEL_FAULT  # the cause of the latest fault firing
        self._alarms_by_cause = dict.fromkeys(CAUSES, 0)

    @staticmethod
    def _layers(model: torch.nn.Module, monitor: Any, s: str | None, z: str | None) -> list[Layer]:
        """Resolves the layers to hook: a coverage's own, or S and Z."""
        if isinstance(monitor, Coverage):
            if s is not None or z is not None:
                raise TypeError("a coverage watches its own layers (coverage.layers); do not pass s= or z=")
            layers = resolve(model, [(f"coverage layer {i}", name) for i, name in enumerate(monitor.layers)])
            if monitor.layers[0] == INPUT:  # always the model's input for a coverage, as in `cover`
                layers[0] = Layer(INPUT, None, None, is_input=True)
        else:
            _require_trained(monitor)
            if s is None or z is None:
                raise TypeError("a monitor's watcher needs the layer names s= and z=")
            layers = resolve(model, [("s", s), ("z", z)])
        for layer in layers:
            check_returns_tensor(model, layer)
        return layers

    @classmethod
    def from_file(cls, model: torch.nn.Module, path: Any, *, s: str | None = None, z: str | None = None,
                  alarm: WindowAlarm | None = _NOT_GIVEN, window: int = 50, significance: float = 1e-3,
                  latch: bool = True, on_alarm: Callable[[AlarmEvent], Any] | None = None,
                  if_weights_differ: str = "refuse", typicality: Typicality | None = None,
                  **options: Any) -> Watcher:
        """Builds a watcher from a monitor file written by `save`: the
        monitor, the layer names stored with it (or `s` and `z`, which take
        precedence), and a `WindowAlarm` from its calibration with `window`
        and `significance` (or `alarm` as given, None for no alarm).
        `options` (mode, queue_size, sample, random_state, raise_errors,
        verify_every_inputs, verify_every_seconds, on_fingerprint_mismatch,
        drift_significance, cause_inputs)
        go to the constructor.

        A coverage file gives a watcher of the coverage, with
        `WindowAlarm.from_coverage(coverage, window=..., significance=...)`
        unless `alarm` is given; `s` or `z` raise `TypeError` for it. A
        monitor file's watcher takes `typicality` as the constructor does (a
        coverage file holds its own).

        A file that stores the fingerprint of the weights it was fitted on
        (see `save`) is checked against `model`: weights that differ (another
        model, another version of it) raise `ValueError` naming the tensors
        that differ, or with `if_weights_differ="warn"` give a `UserWarning`
        and a WARNING log record. Files without a fingerprint (written
        before they were stored) load unchecked. Periodic verification
        (`verify_every_inputs`, `verify_every_seconds`) compares with the
        file's fingerprint where it has one.

        `load`'s errors propagate; a monitor file without layer names when
        `s` or `z` is not given, or without a calibration when `alarm` is
        not given, raises `ValueError`."""
        from .files import load

        if not isinstance(model, torch.nn.Module):
            raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
        monitor = load(path)
        check_model(getattr(monitor, "fingerprint", None), model, if_weights_differ, f"{str(path)!r}")
        if isinstance(monitor, Coverage):
            if s is not None or z is not None:
                raise TypeError(f"{path!r} holds a coverage, which watches its own layers; do not pass s= or z=")
            if alarm is _NOT_GIVEN:
                alarm = WindowAlarm.from_coverage(monitor, window=window, significance=significance)
            return cls(model, monitor, alarm=alarm, latch=latch, on_alarm=on_alarm, typicality=typicality,
                       **options)
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
        return cls(model, monitor, s=s, z=z, alarm=alarm, latch=latch, on_alarm=on_alarm, typicality=typicality,
                   **options)

    # --- hooks ---------------------------------------------------------------

    @property
    def attached(self) -> bool:
        """Whether the hooks are installed."""
        return self._tap.attached

    def attach(self) -> Watcher:
        """Installs the hooks (once; attaching again changes nothing) and
        returns the watcher; in background mode it starts the scoring
        thread. The monitor's network is put in evaluation mode; a model in
        training mode gets a `UserWarning`, since dropout and batch
        statistics make clean inputs score high. A coverage's monitors are
        all put in evaluation mode. A model compiled or traced since the
        watcher was built raises `TypeError`."""
        return self._attach(stacklevel=3)

    def _attach(self, stacklevel: int) -> Watcher:
        refuse_compiled(self.model)
        if self.model.training:
            warnings.warn("the watched model is in training mode; call model.eval() before serving it",
                          UserWarning, stacklevel=stacklevel)
        monitors = self.coverage.monitors if self.coverage is not None else [self.monitor]
        for monitor in monitors:
            if monitor is not None and monitor._model is not None:
                monitor._model.eval()
        with self._lock:
            if self.mode == "background" and self._worker is None:
                self._worker = _Worker(self, self.queue_size)
                # Stops the thread if the watcher is collected while attached.
                self._finalizer = weakref.finalize(self, self._worker.stop, 0)
        self._tap.attach()
        if self._verifier is not None:
            self._verifier.start()
        return self

    def detach(self, *, timeout: float | None = None) -> None:
        """Removes every hook the watcher installed; the counters, the alarm
        and the events stay. In background mode it first scores what is
        queued (waiting at most `timeout` seconds; None: until done), then
        stops the thread; rows still queued then are counted as dropped
        and logged. A firing's cause still held open is settled with the
        inputs scored. A periodic fingerprint verification stops."""
        self._tap.detach()
        if self._verifier is not None:
            self._verifier.stop()
        with self._lock:
            worker, self._worker = self._worker, None
        if worker is not None:
            self._finalizer.detach()
            left = worker.stop(timeout)
            if left:
                self._count_dropped(left)
        self._settle_open()
        self._raise_worker_error()

    def flush(self, timeout: float | None = None) -> bool:
        """Waits until every input queued so far is scored (background
        mode; at once in sync mode), then settles a firing's cause still
        held open with the inputs scored so far. Returns False if `timeout`
        seconds passed first (nothing is settled then). With
        `raise_errors=True` an error the worker met is raised here."""
        worker = self._worker
        done = worker.flush(timeout) if worker is not None else True
        if done:
            self._settle_open()
        self._raise_worker_error()
        return done

    def _raise_worker_error(self) -> None:
        with self._lock:
            error, self._worker_error = self._worker_error, None
        if error is not None:
            raise error

    def __enter__(self) -> Watcher:
        """Attaches the watcher; blocks may nest (the hooks stay until the
        outermost block ends, and a watcher attached before it stays
        attached)."""
        with self._lock:
            if self._depth == 0:
                self._attached_before_with = self._tap.attached
            self._depth += 1
        try:
            return self._attach(stacklevel=3)
        except BaseException:
            with self._lock:
                self._depth -= 1
            raise

    def __exit__(self, *exc: Any) -> None:
        with self._lock:
            self._depth -= 1
            outermost = self._depth == 0
        if outermost and not self._attached_before_with:
            self.detach()

    # --- state ---------------------------------------------------------------

    @property
    def inputs_received(self) -> int:
        """Inputs of every forward pass completed while attached, scored,
        sampled out, invalid, dropped or lost to a watch error alike."""
        return self._inputs_received

    @property
    def inputs_seen(self) -> int:
        """Inputs scored so far (the alarm's inputs). After `flush()`,
        `inputs_seen + inputs_invalid + inputs_dropped` are the inputs
        drawn for scoring, less those of passes lost to watch errors."""
        return self._inputs_seen

    @property
    def inputs_dropped(self) -> int:
        """Inputs not scored because the background queue was full (or
        still queued when the worker was stopped)."""
        return self._inputs_dropped

    @property
    def inputs_invalid(self) -> int:
        """Inputs not scored because their S was not finite (or, for a
        coverage, drove a layer beyond float32's range): bad input, kept
        out of the alarm."""
        return self._inputs_invalid

    @property
    def watch_errors(self) -> int:
        """Passes (in background mode: queued passes) whose watching failed
        with an error; the model's output was returned all the same."""
        return self._watch_errors

    @property
    def degraded(self) -> bool:
        """Whether a watch error happened in the last `DEGRADED_SECONDS`."""
        return time.monotonic() - self._last_error_time < DEGRADED_SECONDS

    @property
    def last_watch_error(self) -> BaseException | None:
        """The latest watch error, or None."""
        return self._last_error

    @property
    def inputs_above_tau(self) -> int:
        """Inputs scored above `tau` so far (NaN and inf count as above)."""
        return self._above_tau

    @property
    def alarms(self) -> int:
        """Firings so far whose cause is settled (one held open counts once
        settled)."""
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
        cause of the firing ("model_fault" or "both"; "pending" while it is
        held open for more inputs, see `cause_inputs`), "both" too when the
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
        """The firings so far in the order they were recorded (a fault
        firing once its cause is settled: see `AlarmEvent.settled_index`),
        the latest 1000."""
        with self._lock:
            return list(self._events)

    @property
    def last_scores(self) -> np.ndarray | None:
        """Sync mode: the scores of the latest forward pass run by the
        calling thread, one float64 per row, NaN for a row not scored
        (not drawn by `sample`, or with a non-finite S); None if this
        thread ran no watched pass or its latest one failed to be watched.

        Background mode: the scores of the latest batch the worker scored
        (rows of one or more passes of any thread, in queue order), None
        before the first; a pass's own scores are not known when its model
        call returns."""
        if self.mode == "background":
            return self._last_scores
        return getattr(self._local, "scores", None)

    @property
    def fingerprint_events(self) -> list[FingerprintEvent]:
        """Periodic verifications that found the weights changed, oldest
        first (the latest 100); empty without periodic verification."""
        return self._verifier.events if self._verifier is not None else []

    @property
    def fingerprint_checks(self) -> int:
        """Periodic fingerprint verifications completed so far."""
        return self._verifier.checks if self._verifier is not None else 0

    @property
    def fingerprint_mismatch(self) -> bool:
        """Whether the latest periodic verification found the weights
        changed."""
        return self._verifier.mismatch if self._verifier is not None else False

    def verify_fingerprint(self) -> FingerprintCheck:
        """Runs one fingerprint verification now, on the calling thread,
        and records it as the periodic ones are (`FingerprintCheck`);
        `RuntimeError` without periodic verification configured."""
        if self._verifier is None:
            raise RuntimeError("this watcher verifies no fingerprint: pass verify_every_inputs= or "
                               "verify_every_seconds=")
        return self._verifier.verify_now()

    def acknowledge(self, *, reset: bool = False) -> None:
        """Clears the firing state (logged as a clearing if it was firing),
        after settling a firing's cause still held open with the inputs
        scored so far. The watcher fires again at the next input after which the alarm's
        window still holds an improbable count; `reset=True` also empties
        the window, for a model that was repaired or replaced."""
        if not isinstance(reset, bool):
            raise TypeError(f"reset must be a bool, got {type(reset).__name__}")
        with self._lock:
            # A cause still open is settled with the inputs so far.
            settled = self._advance_open(self._inputs_seen, force=True)
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
                for kept_rows in self._drift_rows:
                    kept_rows.clear()
                self._drift_state = [False] * len(self._drift_alarms)
                self._drifting = False
            index = self._inputs_seen
        if was_firing:
            _log_clearing(index, "acknowledged")
        if settled is not None and self.on_alarm is not None:
            self._deliver([settled])

    # --- the request path ----------------------------------------------------

    def _draw(self, args: tuple[Any, ...]) -> tuple[bool, Any]:
        """The tap's start of a pass when sampling: draws the inputs to
        score from the batch size of the model's first argument, and skips
        the capture when none is drawn. (capture, plan): the plan is the
        rows drawn, the number of rows of a pass not captured, or None to
        draw once the rows are known."""
        x = args[0] if args else None
        if not isinstance(x, torch.Tensor) or x.ndim == 0:
            return True, None
        drawn = self._drawn(x.shape[0])
        return (True, drawn) if len(drawn) else (False, x.shape[0])

    def _drawn(self, rows: int) -> np.ndarray:
        """Positions of the rows drawn for scoring, each with probability
        `sample`."""
        if rows <= 64:
            draw = self._random.random
            return np.array([i for i in range(rows) if draw() < self.sample], dtype=np.intp)
        generator = np.random.default_rng(self._random.getrandbits(64))
        return np.flatnonzero(generator.random(rows) < self.sample)

    def _sampled(self, plan: Any, rows: list[np.ndarray]) -> tuple[list[np.ndarray], np.ndarray | None]:
        """The drawn rows of a captured pass and their positions (None: all)."""
        if self.sample == 1.0:
            return rows, None
        count = rows[0].shape[0]
        drawn = plan if isinstance(plan, np.ndarray) and (not len(plan) or plan[-1] < count) else \
            self._drawn(count)
        return [array[drawn] for array in rows], drawn

    def _not_captured(self, plan: Any) -> None:
        """A pass without rows: sampled out (plan is its row count) or not
        watched (begun before the hooks were in place)."""
        if isinstance(plan, int):
            with self._lock:
                self._inputs_received += plan
            if self.mode == "sync":
                self._local.scores = np.full(plan, np.nan)
        elif self.mode == "sync":
            self._local.scores = None

    def _score_pass(self, plan: Any, rows: list[np.ndarray] | None) -> None:
        """Sync mode: scores one pass's drawn rows and records them; the
        calling thread's `last_scores` has NaN where a row was not scored."""
        if rows is None:
            self._not_captured(plan)
            return
        count = rows[0].shape[0]
        rows, drawn = self._sampled(plan, rows)
        if not len(rows[0]):
            self._record_invalid(received=count, invalid=0)
            self._local.scores = np.full(count, np.nan)
            return
        scores, blame_data, drift, valid = self._score_valid(rows)
        self._record_valid(scores, blame_data, drift, valid, received=count)
        if drawn is None and valid is None:
            self._local.scores = scores
            return
        full = np.full(count, np.nan)
        full[drawn if drawn is not None else slice(None)] = scores if valid is None else \
            np.where(valid, scores, np.nan)
        self._local.scores = full

    def _enqueue(self, plan: Any, rows: list[np.ndarray] | None) -> None:
        """Background mode: queues one pass's drawn rows (copies made by the
        hooks), dropping what does not fit."""
        if rows is None:
            self._not_captured(plan)
            return
        count = rows[0].shape[0]
        rows, _ = self._sampled(plan, rows)
        offered = rows[0].shape[0]
        worker = self._worker
        accepted = worker.put(rows) if worker is not None and offered else 0
        with self._lock:
            self._inputs_received += count
        if accepted < offered:
            self._count_dropped(offered - accepted)

    def _count_dropped(self, count: int) -> None:
        with self._lock:
            self._inputs_dropped += count
            due = self._dropped_log.due(count)
        if due:
            logger.warning("%d inputs were not scored: the watcher's queue of %d rows was full (scoring falls "
                           "behind the requests: raise queue_size, sample fewer inputs, or score in sync "
                           "mode)", due, self.queue_size,
                           extra={"tarvex_watch": {"event": "dropped", "count": due, "time": time.time()}})

    # --- scoring -------------------------------------------------------------

    def _score_monitor(self, rows: list[np.ndarray]) -> tuple[np.ndarray, tuple[np.ndarray, ...], list[np.ndarray]]:
        """Scores a monitor's rows: the scores, per row what an event's
        blame is computed from (S and Z), and the rows' typicality scores,
        one array per typicality window (none without windows)."""
        assert self.monitor is not None
        S, Z = rows
        drift = [t.scored_rows(S) for t in self.typicalities] if self._drift_alarms else []
        return self.monitor.score_batch(S, Z), (S, Z), drift

    def _score_valid(self, rows: list[np.ndarray]) -> tuple[np.ndarray, tuple[np.ndarray, ...], list[np.ndarray],
                                                            np.ndarray | None]:
        """Scores rows and finds the invalid inputs among them: (scores,
        blame data, typicality scores, valid), `valid` None when every row
        counts. Only rows scoring above tau (as a non-finite S does: NaN
        scores +inf) can count against the model, so S is checked only when
        one does, which keeps the check off the common path; a coverage's
        rows are all checked, and those its exact checks find beyond
        float32's range (`CoverageReport.out_of_range`) are invalid too."""
        if self.coverage is not None:  # a non-finite input's p-values need not reach the threshold
            scores, blame_data, drift, out_of_range = self._score_coverage(rows)
            valid = np.isfinite(rows[0]).all(axis=1) & ~out_of_range
            return scores, blame_data, drift, None if valid.all() else valid
        scores, blame_data, drift = self._score_monitor(rows)
        if len(scores) == 1:  # the common serving case, without array operations
            if float(scores[0]) <= self.tau or np.isfinite(rows[0]).all():
                return scores, blame_data, drift, None
            return scores, blame_data, drift, np.zeros(1, dtype=bool)
        if not (~(scores <= self.tau)).any():
            return scores, blame_data, drift, None
        valid = np.isfinite(rows[0]).all(axis=1)
        return scores, blame_data, drift, None if valid.all() else valid

    def _record_valid(self, scores: np.ndarray, blame_data: tuple[np.ndarray, ...], drift: list[np.ndarray],
                      valid: np.ndarray | None, *, received: int) -> None:
        """Records the scores (and typicality scores) of the valid rows and
        counts the others: an input with a non-finite S reaches neither the
        fault window nor a typicality window."""
        if valid is None:
            self._record(scores, blame_data, drift, received=received)
            return
        invalid = len(valid) - int(np.count_nonzero(valid))
        if invalid == len(valid):
            self._record_invalid(received=received, invalid=invalid)
        else:
            self._record(scores[valid], tuple(values[valid] for values in blame_data),
                         [values[valid] for values in drift], received=received, invalid=invalid)

    def _score_coverage(self, rows: list[np.ndarray]) -> tuple[np.ndarray, tuple[np.ndarray, ...], list[np.ndarray],
                                                               np.ndarray]:
        """One minus each input's smallest p-value over the links: above
        `1 - p_threshold` exactly where the coverage alarms (p-values are
        multiples of 1 / (n + 1), far apart compared with the rounding of
        the subtraction); each link's typicality scores of the rows,
        when the coverage carries typicalities and there are windows; and
        which rows lie beyond float32's range (`CoverageReport.out_of_range`)."""
        assert self.coverage is not None
        report = self.coverage.score_outputs(dict(zip(self.coverage.layers, rows)))
        drift = list(report._typicality_rows or []) if self._drift_alarms else []
        # Ties broken as `check` breaks them.
        return 1.0 - report.p_values.min(axis=1), (report._strongest,), drift, report.out_of_range

    def _score_queued(self, passes: list[list[np.ndarray]]) -> None:
        """Background worker: scores a batch of queued passes with one call,
        each pass's rows kept together in queue order."""
        try:
            rows = [np.concatenate(parts) for parts in zip(*passes)] if len(passes) > 1 else passes[0]
            scores, blame_data, drift, valid = self._score_valid(rows)
            self._last_scores = scores if valid is None else np.where(valid, scores, np.nan)
            self._record_valid(scores, blame_data, drift, valid, received=0)
        except Exception as error:
            self._watch_error(error, passes=len(passes), in_worker=True)

    def _record_invalid(self, *, received: int, invalid: int) -> None:
        with self._lock:
            self._inputs_received += received
            self._count_invalid(invalid)

    def _count_invalid(self, invalid: int) -> None:
        """Counts invalid inputs and logs them, rate-limited.
        Called under the lock (logging does not call back into the watcher)."""
        self._inputs_invalid += invalid
        due = self._invalid_log.due(invalid)
        if due:
            logger.warning("%d inputs had a non-finite S (%r) or drove a layer beyond float32's range: counted as "
                           "invalid inputs, not scored and kept out of the alarm", due, self._s_name,
                           extra={"tarvex_watch": {"event": "invalid", "count": due, "time": time.time()}})

    def _watch_error(self, error: BaseException, *, passes: int = 1, in_worker: bool = False) -> None:
        """Contains an error raised while watching: counts it, marks the
        watcher degraded and logs it (rate-limited); with `raise_errors` it
        propagates instead (from the worker: out of the next `flush`)."""
        if self.mode == "sync":
            self._local.scores = None
        if self.raise_errors and not in_worker:
            raise error
        with self._lock:
            self._watch_errors += passes
            self._last_error_time = time.monotonic()
            self._last_error = error
            if self.raise_errors and self._worker_error is None:
                self._worker_error = error
            due = self._error_log.due(passes)
        if due:
            logger.error("watching failed in %d forward pass(es); the model's output was returned unwatched "
                         "and the watcher is degraded: %s: %s", due, type(error).__name__, error,
                         exc_info=(type(error), error, error.__traceback__),
                         extra={"tarvex_watch": {"event": "watch_error", "count": due, "time": time.time(),
                                                 "error": repr(error)}})

    def _record(self, scores: np.ndarray, blame_data: tuple[np.ndarray, ...], drift: list[np.ndarray] | None = None,
                *, received: int, invalid: int = 0) -> None:
        """Counts one pass's (or batch's) scores and updates the alarms;
        `blame_data` holds, per row, what an event's blame is computed from,
        `drift` the rows' typicality scores, one array per typicality
        window."""
        single = len(scores) == 1
        if single:  # the common serving case, without array operations
            above = None
            n_above = 0 if float(scores[0]) <= self.tau else 1
        else:
            above = ~(scores <= self.tau)
            n_above = int(np.count_nonzero(above))
        fired: list[AlarmEvent] = []
        with self._lock:
            self._inputs_received += received
            if invalid:
                self._count_invalid(invalid)
            first = self._inputs_seen
            self._inputs_seen = first + len(scores)
            self._above_tau += n_above
            if self._histogram is not None:
                self._histogram.add(scores)
            flags = None
            if drift:
                flags, fired = self._update_drift(drift, first)
                self._batch_drift = (first, drift, flags)
            if self.alarm is not None:
                if n_above == 0 and not self._window_firing and not self._rearm:
                    # Nothing above tau cannot start a firing.
                    if single:
                        self.alarm._push_below()
                    else:
                        self.alarm._push(scores, False)
                else:
                    if above is None:
                        above = ~(scores <= self.tau)
                    fired = fired + self._update_alarm(scores, above, first, blame_data, flags)
                if self._open is not None:
                    settled = self._advance_open(first + len(scores), force=False)
                    if settled is not None:
                        fired.append(settled)
                if len(fired) > 1:
                    # The batch's events in the order of the inputs that settled them, in both modes
                    # whatever the batches (the typicality windows' events were recorded first).
                    fired.sort(key=lambda event: (event.index if event.settled_index is None else event.settled_index,
                                                 event.index))
                    for _ in range(min(len(fired), len(self._events))):
                        self._events.pop()
                    self._events.extend(fired)
            if drift:
                self._batch_drift = None
                for kept_rows, rows in zip(self._drift_rows, drift):
                    # A copy: views would keep the whole batch alive.
                    kept_rows.extend(rows[-kept_rows.maxlen:].copy() if kept_rows.maxlen else [])
        if self._verifier is not None:
            self._verifier.note_inputs(len(scores))
        if fired and self.on_alarm is not None:
            self._deliver(fired)

    def _deliver(self, events: list[AlarmEvent]) -> None:
        """Hands every event to `on_alarm`; an exception from it is logged
        with its event and does not keep the next events from it."""
        assert self.on_alarm is not None
        failed: BaseException | None = None
        for event in events:
            try:
                self.on_alarm(event)
            except Exception as error:
                failed = failed or error
                logger.error("on_alarm raised %s: %s for the event %s", type(error).__name__, error, event,
                             exc_info=(type(error), error, error.__traceback__),
                             extra={"tarvex_watch": {"event": "on_alarm_error", "index": event.index,
                                                     "error": repr(error)}})
        if failed is not None and self.raise_errors:
            raise failed

    def _update_drift(self, drift: list[np.ndarray], first: int) -> tuple[np.ndarray, list[AlarmEvent]]:
        """Feeds the typicality scores (column 0 of each typicality's
        `scored_rows`) to their windows. Returns, per row and window, (rows,
        windows), whether the window fired after that row, and an
        "input_drift" event for each row after which some window fires
        where none did before."""
        rows = len(drift[0])
        flags = np.zeros((rows, len(drift)), dtype=bool)
        above = []
        for j, (alarm, scored) in enumerate(zip(self._drift_alarms, drift)):
            scores = np.ascontiguousarray(scored[:, 0], dtype=np.float64)
            above.append(np.flatnonzero(~(scores <= alarm.tau)).tolist())
            self._drift_state[j] = _states(alarm, scores, self._drift_state[j], flags[:, j])
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
                        self._drift_recent[j].append((first + at + 1, float(drift[j][at, 0])))
                        kept[j] += 1
                if now:
                    events.append(self._fire_drift(first + position + 1, flags[position]))
                else:
                    _log_clearing(first + position + 1, "inputs typical again", cause=INPUT_DRIFT)
            drifting = now
        for j, positions in enumerate(above):
            for at in positions[kept[j]:]:
                self._drift_recent[j].append((first + at + 1, float(drift[j][at, 0])))
        self._drifting = drifting
        return flags, events

    def _fire_drift(self, index: int, flags: np.ndarray) -> AlarmEvent:
        """Records an "input_drift" event for the earliest drifting window."""
        j = int(np.argmax(flags))
        window = self._drift_alarms[j].window
        recent = [score for at, score in self._drift_recent[j] if index - window < at <= index]
        worst = math.nan if not recent or any(math.isnan(v) for v in recent) else max(recent)
        link = self.coverage.links[j] if self.coverage is not None else None
        event = AlarmEvent(index=index, time=time.time(), count=len(recent), worst_score=worst, blamed_z=None,
                           blamed_link=link, cause=INPUT_DRIFT, settled_index=index)
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
                events.extend(self._fire(index, count, None if flags is None else flags[position]))
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

    def _fire(self, index: int, count: int, drifting: np.ndarray | None = None) -> list[AlarmEvent]:
        """A rise of the fault window at input `index`: the watcher fires,
        and the firing's event is recorded now if its cause is settled, or
        once the inputs after it settle it (`_advance_open`). Settles the
        cause of an earlier firing still open first; returns the events
        recorded."""
        assert self.alarm is not None
        events = []
        if self._open is not None:  # the window fired again before the last cause settled
            settled = self._advance_open(index - 1, force=True)
            if settled is not None:
                events.append(settled)
        recent = [entry for entry in self._recent if index - self.alarm.window < entry[0] <= index]
        scores = np.array([entry[1] for entry in recent])
        # Without a kept row above tau (not expected): NaN and no blame.
        worst = math.nan if not len(scores) or np.isnan(scores).any() else float(scores.max())
        if self.coverage is None:
            blamed_z, blamed_link = self._blame(recent) if recent else None, None
        else:
            blamed_z, blamed_link = None, self._blame_link(recent) if recent else None
        fired = _OpenCause(index=index, time=time.time(), count=int(count), worst_score=worst, blamed_z=blamed_z,
                           blamed_link=blamed_link, link=0, start=index, checked=index)
        self._firing = True
        if drifting is None:
            events.append(self._fault_event(fired, MODEL_FAULT, index))
            return events
        # Drift explains the firing when the inputs of the link that broke,
        # or of an earlier one, are atypical.
        fired.link = 0 if self.coverage is None or not recent else self._cause_link(recent)
        # The inputs that made the window fire: from the earliest one above
        # tau still inside it through this one.
        fired.start = min(entry[0] for entry in recent) if recent else index - self.alarm.window + 1
        early, final = self._levels(fired.link)
        if drifting[:fired.link + 1].any() or \
                self._window_p(fired.link, index, index - fired.start + 1) < (early if self.cause_inputs else final):
            events.append(self._fault_event(fired, BOTH, index))
        elif self.cause_inputs:
            self._open = fired
            self._fault_cause = PENDING
        else:
            events.append(self._fault_event(fired, MODEL_FAULT, index))
        return events

    def _levels(self, link: int) -> tuple[float, float]:
        """The levels of one window test on the typicalities of links
        0..`link` (a monitor's: 0) for a firing's cause: (early, final).
        `DRIFT_EVIDENCE` is shared among the tests and typicalities, and,
        when causes are held open, between the early looks (at the firing
        and after each further input but the last: `cause_inputs` looks,
        `EARLY_EVIDENCE_SHARE` of it in all) and the one final look at
        settlement (the rest): a fault after S is called "both" with
        probability at most `DRIFT_EVIDENCE` whichever look settles it
        (Bonferroni). Without holding, the one look at the firing is
        final."""
        level = DRIFT_EVIDENCE / (len(WINDOW_TESTS) * (link + 1))
        if not self.cause_inputs:
            return level, level
        return level * EARLY_EVIDENCE_SHARE / self.cause_inputs, level * (1.0 - EARLY_EVIDENCE_SHARE)

    def _advance_open(self, through: int, *, force: bool) -> AlarmEvent | None:
        """Looks at the inputs after an open firing through input `through`,
        each in turn: its cause settles as "both" at the first input after
        which the typicality window of its links fires or the window tests
        on the inputs from the firing's earliest input above tau through
        this one reject at the early level, and at the final level after
        `cause_inputs` inputs ("model_fault" if they do not reject). With
        `force` an open cause is settled at the latest input looked at,
        with the final level. Returns the event recorded, if any. Called
        under the lock."""
        fired = self._open
        if fired is None:
            return None
        deadline = fired.index + self.cause_inputs
        early, final = self._levels(fired.link)
        batch = self._batch_drift
        for at in range(fired.checked + 1, min(through, deadline) + 1):
            fired.checked = at
            if batch is not None and 0 < at - batch[0] <= len(batch[2]) and \
                    batch[2][at - batch[0] - 1, :fired.link + 1].any():
                return self._settle(BOTH, at)
            p_value = self._window_p(fired.link, at, at - fired.start + 1)
            if p_value < (final if at == deadline else early):
                return self._settle(BOTH, at)
            if at == deadline:
                return self._settle(MODEL_FAULT, at)
        if not force:
            return None
        at = fired.checked
        return self._settle(BOTH if self._window_p(fired.link, at, at - fired.start + 1) < final else MODEL_FAULT, at)

    def _settle(self, cause: str, at: int) -> AlarmEvent:
        """Settles the open firing's cause at input `at`."""
        fired, self._open = self._open, None
        assert fired is not None
        return self._fault_event(fired, cause, at)

    def _settle_open(self) -> None:
        """Settles an open cause with the inputs scored so far, delivering
        its event."""
        with self._lock:
            event = self._advance_open(self._inputs_seen, force=True)
        if event is not None and self.on_alarm is not None:
            self._deliver([event])

    def _fault_event(self, fired: _OpenCause, cause: str, settled: int) -> AlarmEvent:
        """Records, counts and logs a fault firing whose cause is settled
        at input `settled`."""
        assert self.alarm is not None
        event = AlarmEvent(index=fired.index, time=fired.time, count=fired.count, worst_score=fired.worst_score,
                           blamed_z=fired.blamed_z, blamed_link=fired.blamed_link, cause=cause,
                           settled_index=settled)
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
        if settled != event.index:  # the cause was held open for the inputs after the firing
            fields["settled_index"] = settled
            meaning += f" (settled at input {settled})"
        logger.warning("integrity alarm fired at input %d: %d of the last %d inputs above tau %.6g, worst score "
                       "%.6g, %s; %s", event.index, event.count, self.alarm.window, self.tau,
                       event.worst_score, blamed, meaning, extra={"tarvex_watch": fields})
        return event

    def _window_p(self, link: int, index: int, span: int) -> float:
        """The smallest p-value of the window tests (`Typicality.window_p_values`)
        on the S of the last `span` inputs through input `index` (1-based;
        at most the alarm's window and `cause_inputs`), in the typicality
        of `link` and of each earlier one (a monitor's: 0). Inputs before
        the first one above tau would only dilute a shift that started
        with it. Reads the batch being recorded and the rows kept before
        it."""
        assert self.alarm is not None
        window = max(1, min(span, self.alarm.window + self.cause_inputs))
        if self._batch_drift is not None:
            first, drift = self._batch_drift[0], self._batch_drift[1]
        else:
            first, drift = self._inputs_seen, []
        lowest = index - window + 1  # the first input wanted
        p_value = 1.0
        for j in range(link + 1):
            kept = self._drift_rows[j]  # its last row is input `first`
            parts = []
            last_kept = min(index, first)
            begin = max(0, len(kept) - 1 - (first - lowest))
            end = len(kept) - (first - last_kept)
            if end > begin:
                parts.append(np.array(list(itertools.islice(kept, begin, end))))
            if drift and index > first:
                parts.append(drift[j][max(0, lowest - first - 1):index - first])
            rows = np.concatenate(parts) if len(parts) > 1 else parts[0] if parts else None
            if rows is not None and len(rows):
                p_value = min(p_value, *self.typicalities[j].window_p_values(rows))
        return p_value

    def _clear(self, index: int) -> None:
        self._firing = False
        _log_clearing(index, "window")

    def _blame(self, recent: list[tuple[int, float, Any]]) -> int | None:
        """The Z column with the largest mean share of the scores above tau
        in the window."""
        assert self.monitor is not None
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
        `tarvex_watch_inputs_total` (inputs scored),
        `tarvex_watch_inputs_above_tau_total`, `tarvex_watch_alarms_total`
        (also labelled `cause`: one series each for "model_fault",
        "input_drift" and "both"; page on "model_fault"),
        `tarvex_watch_inputs_dropped_total` (full queue),
        `tarvex_watch_inputs_invalid_total` (non-finite S) and
        `tarvex_watch_errors_total` (passes whose watching failed), the
        gauges `tarvex_watch_firing` (1 while firing),
        `tarvex_watch_input_drift` (1 while a typicality window fires),
        `tarvex_watch_degraded` (1 while degraded), `tarvex_watch_tau` and
        `tarvex_watch_false_alarm_rate` (the calibrated rate, where known),
        the periodic fingerprint verification's counter
        `tarvex_watch_fingerprint_checks_total` and gauge
        `tarvex_watch_fingerprint_mismatch` (0 without it), and the histogram `tarvex_watch_score` with buckets placed around
        `tau` (it counts the scores from the first export on). Values are
        read when the registry is collected, so exporting costs a forward
        pass one bucket count.

        Needs `prometheus_client` (extra `serve`; `ImportError` naming it
        without). A name already exported on that registry raises
        `ValueError`, a non-str name `TypeError`."""
        from ._metrics import export

        export(self, registry, name)

    def _metric_values(self) -> dict[str, Any]:
        """A consistent snapshot for the metrics collector."""
        degraded = self.degraded
        with self._lock:
            histogram = self._histogram
            return {"inputs": self._inputs_seen, "above_tau": self._above_tau, "alarms": self._alarms,
                    "alarms_by_cause": dict(self._alarms_by_cause), "drifting": self._drifting,
                    "firing": self._firing, "tau": self.tau, "received": self._inputs_received,
                    "dropped": self._inputs_dropped, "invalid": self._inputs_invalid,
                    "errors": self._watch_errors, "degraded": degraded,
                    "fingerprint_checks": self.fingerprint_checks,
                    "fingerprint_mismatch": self.fingerprint_mismatch,
                    "histogram": histogram.snapshot() if histogram is not None else None}


def _periodic_verifier(model: torch.nn.Module, monitor: Any, reference: Fingerprint | None,
                       every_inputs: Any, every_seconds: Any,
                       on_mismatch: Callable[[FingerprintEvent], Any] | None) -> PeriodicVerifier | None:
    """The watcher's background fingerprint verification, or None when
    neither interval is given; the reference is `reference`, else the
    monitor's stored fingerprint, else the model's weights now."""
    if every_inputs is not None:
        every_inputs = _positive_int(every_inputs, "verify_every_inputs")
    if every_seconds is not None:
        if isinstance(every_seconds, bool) or not isinstance(every_seconds, (int, float)):
            raise TypeError(f"verify_every_seconds must be a number, got {type(every_seconds).__name__}")
        if not 0 < every_seconds < math.inf:
            raise ValueError(f"verify_every_seconds must be positive and finite, got {every_seconds!r}")
        every_seconds = float(every_seconds)
    if reference is not None and not isinstance(reference, Fingerprint):
        raise TypeError(f"fingerprint must be a watch.Fingerprint or None, got {type(reference).__name__}")
    if every_inputs is None and every_seconds is None:
        return None
    if reference is None:
        reference = getattr(monitor, "fingerprint", None) or fingerprint(model)
    return PeriodicVerifier(model, reference, every_inputs=every_inputs, every_seconds=every_seconds,
                            on_mismatch=on_mismatch)


# What a firing of each cause tells the operator, for its log message.
_MEANINGS = {
    MODEL_FAULT: "cause: model fault (the inputs look as clean as ever)",
    BOTH: ("cause: both (the inputs drifted too, so this may be their echo; a fault in or before the S layer "
           "reads the same: check the weights' fingerprint)"),
}


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
