"""Working integrity checks around a `NeuralConditionalMonitor`.

The monitor itself scores (S, Z) pairs. This module does the rest of the job
of watching a deployed model: it captures S and Z from the model with forward
hooks (`capture`), sets the threshold from held-out clean data (`calibrate`),
chooses the monitor's settings by how well they detect synthetic faults
(`tune`), says which Z column an alarm comes from (`explain`), raises a fault alarm over
a window of inputs (`WindowAlarm`), scores data larger than memory
(`score_chunks`) or spread over a Dask cluster (`score_dask`), and stores the
monitor as a JSON file (`save`, `load`).

Bad input raises a clear exception before anything is changed; a monitor that
is not trained raises the monitor's own `RuntimeError("Detector not fit/loaded")`.
"""

from __future__ import annotations

import difflib
import json
import logging
import math
import numbers
import os
import stat
import threading
import time
from collections import OrderedDict, deque
from fractions import Fraction
from typing import Any, Iterable, Iterator

import numpy as np
import torch

from tarvex.core import resmon
from tarvex.core.serialization import save_json

__all__ = ["capture", "calibrate", "tune", "TuningReport", "TUNE_CANDIDATES", "explain", "WindowAlarm",
           "score_chunks", "save", "load", "score_dask"]

# Largest monitor file `load` reads. A monitor with hidden (1024, 1024) and 64
# S columns is about 80 MiB of JSON; anything far larger is not a monitor.
_MAX_FILE_BYTES = 256 << 20

_OUTPUT = "output"

_log = logging.getLogger(__name__)


# --- argument checks -------------------------------------------------------------


def _require_trained(monitor: Any) -> None:
    if not isinstance(monitor, resmon.NeuralConditionalMonitor):
        raise TypeError(f"monitor must be a NeuralConditionalMonitor, got {type(monitor).__name__}")
    for name in ("_model", "z_mean", "z_scale", "inv_cov"):
        if getattr(monitor, name) is None:
            raise RuntimeError("Detector not fit/loaded")


def _widths(monitor: Any) -> tuple[int, int]:
    s_dim = monitor.s_dim if monitor.s_dim is not None else len(monitor.s_engineer.mean_)
    return int(s_dim), int(len(monitor.z_mean))


def _positive_int(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {type(value).__name__}")
    if value < 1:
        raise ValueError(f"{name} must be at least 1, got {value}")
    return int(value)


def _open_unit_interval(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    value = float(value)
    if not 0.0 < value < 1.0:  # also refuses NaN
        raise ValueError(f"{name} must lie strictly between 0 and 1, got {value!r}")
    return value


def _matrix(x: Any, name: str) -> np.ndarray:
    try:
        array = np.asarray(x, dtype=np.float32)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} cannot be converted to a float32 array: {error}") from None
    return array


def _check_shapes(monitor: Any, S_shape: tuple[int, ...], Z_shape: tuple[int, ...], where: str = "") -> None:
    """S must be (n, s_dim) and Z (n, z_dim) for the monitor's widths."""
    s_dim, z_dim = _widths(monitor)
    if len(S_shape) != 2:
        raise ValueError(f"S{where} must be 2-D (rows, {s_dim}), got shape {tuple(S_shape)}")
    if len(Z_shape) != 2:
        raise ValueError(f"Z{where} must be 2-D (rows, {z_dim}), got shape {tuple(Z_shape)}")
    if S_shape[1] != s_dim:
        raise ValueError(f"S{where} has {S_shape[1]} columns, the monitor takes {s_dim}")
    if Z_shape[1] != z_dim:
        raise ValueError(f"Z{where} has {Z_shape[1]} columns, the monitor takes {z_dim}")
    if S_shape[0] != Z_shape[0]:
        raise ValueError(f"S{where} has {S_shape[0]} rows but Z{where} has {Z_shape[0]}")


def _pair(monitor: Any, S: Any, Z: Any) -> tuple[np.ndarray, np.ndarray]:
    _require_trained(monitor)
    S, Z = _matrix(S, "S"), _matrix(Z, "Z")
    _check_shapes(monitor, S.shape, Z.shape)
    return S, Z


class _eval_mode:
    """Puts every submodule of `model` in evaluation mode and switches off
    gradients while inside; restores each submodule's own mode on the way out,
    also after an error."""

    def __init__(self, model: torch.nn.Module) -> None:
        self.model = model
        self.modes: list[tuple[torch.nn.Module, bool]] = []
        self.no_grad = torch.no_grad()

    def __enter__(self) -> None:
        self.modes = [(module, module.training) for module in self.model.modules()]
        self.model.eval()
        self.no_grad.__enter__()

    def __exit__(self, *exc: Any) -> None:
        self.no_grad.__exit__(*exc)
        for module, training in self.modes:
            module.training = training


# --- capture ---------------------------------------------------------------------


def _batches(inputs: Any, batch_size: int) -> Iterator[Any]:
    if isinstance(inputs, (torch.Tensor, np.ndarray)):
        if inputs.ndim == 0:
            raise ValueError("inputs must have one row per input, got a 0-d array")
        for start in range(0, inputs.shape[0], batch_size):
            yield inputs[start:start + batch_size]
        return
    if isinstance(inputs, (str, bytes, dict)) or not isinstance(inputs, Iterable):
        raise TypeError(f"inputs must be a tensor, an array or an iterable of batches, got {type(inputs).__name__}")
    for batch in inputs:
        if isinstance(batch, (tuple, list)):
            if not batch:
                raise ValueError("a batch given as a tuple or list must hold the input as its first item")
            batch = batch[0]
        yield batch


def _as_input(batch: Any, device: torch.device | None, float_dtype: torch.dtype) -> torch.Tensor:
    if isinstance(batch, np.ndarray):
        batch = torch.from_numpy(np.ascontiguousarray(batch))
        if batch.is_floating_point():
            batch = batch.to(float_dtype)
    elif not isinstance(batch, torch.Tensor):
        raise TypeError(f"a batch must be a tensor or a NumPy array, got {type(batch).__name__}")
    if batch.ndim == 0:
        raise ValueError("a batch must have one row per input, got a 0-d tensor")
    return batch.to(device) if device is not None else batch


def _rows(output: Any, name: str, rows: int) -> np.ndarray:
    if not isinstance(output, torch.Tensor):
        raise TypeError(f"{name!r} returned {type(output).__name__}, not a tensor")
    if output.ndim == 0 or output.shape[0] != rows:
        raise ValueError(f"{name!r} returned shape {tuple(output.shape)} for a batch of {rows} inputs; "
                         "its first dimension must be the batch")
    return output.detach().reshape(rows, -1).to(device="cpu", dtype=torch.float32).numpy()


def _model_device(model: torch.nn.Module) -> tuple[torch.device | None, torch.dtype]:
    for tensor in list(model.parameters()) + list(model.buffers()):
        if tensor.is_floating_point():
            return tensor.device, tensor.dtype
    return None, torch.float32


def capture(model: torch.nn.Module, inputs: Any, s: str, z: str, *, batch_size: int = 256,
            device: str | torch.device | None = None) -> tuple[np.ndarray, np.ndarray]:
    """Runs `model` over `inputs` and returns (S, Z): the outputs of the
    submodules named `s` and `z`, one float32 row per input.

    Names are those of `model.named_modules()`; "output" means the model's own
    output. `inputs` is a tensor or a NumPy array (split into batches of
    `batch_size` rows), or an iterable of batches, each a tensor, an array, or
    a tuple or list whose first item is the input (as a DataLoader yields).
    Floating NumPy inputs are converted to the model's floating dtype; tensors
    are passed as they are. Each captured output must have the batch as its
    first dimension and is flattened per input.

    While it runs every submodule is in evaluation mode and gradients are off;
    afterwards each submodule's mode is restored and the hooks are removed,
    also after an error. `device` (None: where the model is) is where the
    model runs; a model moved for the capture is moved back afterwards.
    An unknown name raises `ValueError` listing the close matches; a hooked
    submodule that runs other than once per forward pass raises `ValueError`.
    """
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    batch_size = _positive_int(batch_size, "batch_size")
    modules = dict(model.named_modules())
    names = [name for name in modules if name]
    for label, name in (("s", s), ("z", z)):
        if not isinstance(name, str):
            raise TypeError(f"{label} must be a submodule name (str), got {type(name).__name__}")
        if name != _OUTPUT and (not name or name not in modules):
            close = difflib.get_close_matches(name, names + [_OUTPUT], n=5, cutoff=0.5)
            hint = f"close matches: {close}" if close else f"available: {(names + [_OUTPUT])[:20]}"
            raise ValueError(f"model has no submodule named {name!r}; {hint}")
    target = torch.device(device) if device is not None else None
    home, float_dtype = _model_device(model)

    captured: dict[str, list[Any]] = {name: [] for name in {s, z} if name != _OUTPUT}
    handles = []
    parts: dict[str, list[np.ndarray]] = {s: [], z: []}
    try:
        for name in captured:
            handles.append(modules[name].register_forward_hook(
                lambda _module, _args, output, name=name: captured[name].append(output)))
        if target is not None and home is not None and target != home:
            model.to(target)
        with _eval_mode(model):
            for batch in _batches(inputs, batch_size):
                x = _as_input(batch, target, float_dtype)
                if x.shape[0] == 0:
                    continue
                for calls in captured.values():
                    calls.clear()
                output = model(x)
                rows = x.shape[0]
                for name in (s, z) if s != z else (s,):
                    if name == _OUTPUT:
                        parts[name].append(_rows(output, name, rows))
                        continue
                    calls = captured[name]
                    if len(calls) != 1:
                        raise ValueError(f"submodule {name!r} ran {len(calls)} times in one forward pass; "
                                         "it must run exactly once")
                    parts[name].append(_rows(calls[0], name, rows))
    finally:
        for handle in handles:
            handle.remove()
        if target is not None and home is not None and target != home:
            model.to(home)
    if not parts[s]:
        raise ValueError("inputs held no rows")
    S = _concatenate(parts[s], s)
    Z = S.copy() if z == s else _concatenate(parts[z], z)
    return S, Z


def _concatenate(parts: list[np.ndarray], name: str) -> np.ndarray:
    widths = {part.shape[1] for part in parts}
    if len(widths) != 1:
        raise ValueError(f"{name!r} gave a different number of values per input in different batches: "
                         f"{sorted(widths)}")
    return np.ascontiguousarray(np.concatenate(parts, axis=0), dtype=np.float32)


# --- calibrate --------------------------------------------------------------------


def calibrate(monitor: Any, S: Any, Z: Any, *, false_alarm_rate: float) -> float:
    """Sets `monitor.tau` from held-out clean data and returns it.

    `tau` becomes the smallest of the calibration scores for which the share
    of calibration rows scoring strictly above it is at most
    `false_alarm_rate`: with k = floor(rate * n), the (n - k)-th smallest
    score. New inputs from the same distribution then score above it with
    probability at most (k + 1) / (n + 1), the rate plus at most 1/n, which is
    why at least 10 / rate rows are required. The new `tau` is saved by
    `to_dict` as usual.

    A rate outside (0, 1), fewer rows than that, wrong shapes or non-finite
    calibration scores raise `ValueError`, leaving `tau` unchanged.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    S, Z = _pair(monitor, S, Z)
    n = S.shape[0]
    needed = math.ceil(10 / rate)
    if n < needed:
        raise ValueError(f"{n} calibration rows cannot resolve a false-alarm rate of {rate!r}: "
                         f"at least {needed} (10 / rate) are needed")
    scores = monitor.score_batch(S, Z)
    bad = int(np.count_nonzero(~np.isfinite(scores)))
    if bad:
        raise ValueError(f"{bad} of {n} calibration rows score non-finite (non-finite or extreme S/Z values); "
                         "calibrate on clean data")
    tau = _conformal_tau(scores, rate)
    monitor.tau = tau
    return tau


def _conformal_tau(scores: np.ndarray, rate: float) -> float:
    """The smallest score with at most floor(rate * n) scores strictly above it."""
    n = len(scores)
    allowed = math.floor(Fraction(rate) * n)  # exact: no rounding up past the rate
    return float(np.partition(scores, n - 1 - allowed)[n - 1 - allowed])


# --- tune -------------------------------------------------------------------------

_ENGINEER_FLAGS = ("include_square", "include_logabs", "include_interactions")
_PLAIN_S = dict.fromkeys(_ENGINEER_FLAGS, False)

# Settings `tune` tries when given none. Without dropout and on S as it is
# (standardised, without the engineered squares, logs and products) the
# network predicts Z more precisely for new inputs of small classifiers, and
# a learning rate of 3e-3 gets there within the default epochs; two layers
# suit deeper models, one wide layer few distinct training inputs. The last
# is the constructor's defaults, for S that determines Z only loosely. Equal
# figures go to the earlier candidate.
TUNE_CANDIDATES: tuple[dict[str, Any], ...] = (
    {"hidden": (64, 64), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {"hidden": (512,), "dropout": 0.0, "lr": 3e-3, **_PLAIN_S},
    {},
)

# Synthetic faults: Z moved along a random direction per row, by these
# multiples of each Z column's spread, and Z paired with another row's S.
_SHIFTS = (0.01, 0.03, 0.1, 0.3, 1.0)
_MISMATCH = "mismatched S"


# Constructor settings a candidate may set besides `device` (a str, checked
# by the constructor), with the range of their values: (lower bound, lower
# bound allowed, upper bound not allowed). random_state is tune's own.
_SETTING_RANGES: dict[str, tuple[float, bool, float]] = {
    "hidden": (1, True, math.inf),  # every width
    "epochs": (1, True, math.inf),
    "batch_size": (1, True, math.inf),
    "lr": (0.0, False, math.inf),
    "weight_decay": (0.0, True, math.inf),
    "dropout": (0.0, True, 1.0),
    "tau_quantile": (0.0, False, 1.0),
    "patience": (1, True, math.inf),
}
_MONITOR_SETTINGS = (*_SETTING_RANGES, "device")


def _candidate_monitor(candidate: Any, index: int, random_state: int) -> Any:
    """A fresh monitor with the candidate's settings; refuses unknown keys,
    values of the wrong type and values out of range."""
    if not isinstance(candidate, dict):
        raise TypeError(f"candidate {index} must be a dict of settings, got {type(candidate).__name__}")
    settings = dict(candidate)
    flags = {name: settings.pop(name) for name in _ENGINEER_FLAGS if name in settings}
    unknown = sorted(set(settings) - set(_MONITOR_SETTINGS))
    if unknown:
        raise ValueError(f"candidate {index} has unknown settings {unknown}; known: "
                         f"{sorted(_MONITOR_SETTINGS) + list(_ENGINEER_FLAGS)}")
    for name, value in flags.items():
        if not isinstance(value, bool):
            raise TypeError(f"candidate {index}: {name} must be a bool, got {type(value).__name__}")
    try:
        monitor = resmon.NeuralConditionalMonitor(random_state=random_state, **settings)
    except (TypeError, ValueError) as error:
        raise type(error)(f"candidate {index}: {error}") from None
    for name, (low, inclusive, high) in _SETTING_RANGES.items():
        value = getattr(monitor, name)
        values = value if name == "hidden" else (value,)
        if not values or any(not (v >= low if inclusive else v > low) or not v < high for v in values):
            raise ValueError(f"candidate {index}: {name} = {value!r} is out of range")
    monitor.s_engineer = resmon.NeuralFeatureEngineer(**flags)
    return monitor


def _finite_matrix(x: Any, name: str) -> np.ndarray:
    array = _matrix(x, name)
    if array.ndim != 2 or array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError(f"{name} must be a non-empty 2-D array (rows, columns), got shape {array.shape}")
    bad = int(np.count_nonzero(~np.isfinite(array)))
    if bad:
        raise ValueError(f"{name} holds {bad} non-finite values; tune on clean data")
    return array


class TuningReport:
    """What `tune` measured: one row per candidate, in the order given.

    `settings[i]` is candidate i's dictionary, `fit_seconds[i]` its training
    time, `detection[i][j]` the share of held-out rows with synthetic fault
    `faults[j]` that score above the candidate's threshold at
    `false_alarm_rate` (set on the clean held-out rows as `calibrate` sets
    it), and `criterion[i]` the mean of those shares, which `tune` maximises;
    `chosen` is the winner's index (the first of equal ones). `str(report)`
    is a table.
    """

    def __init__(self, *, settings: list[dict[str, Any]], faults: list[str], detection: list[list[float]],
                 fit_seconds: list[float], chosen: int, training_rows: int, held_out_rows: int,
                 false_alarm_rate: float) -> None:
        self.settings = settings
        self.faults = faults
        self.detection = detection
        self.criterion = [float(np.mean(row)) if row else math.nan for row in detection]
        self.fit_seconds = fit_seconds
        self.chosen = chosen
        self.training_rows = training_rows
        self.held_out_rows = held_out_rows
        self.false_alarm_rate = false_alarm_rate

    def __str__(self) -> str:
        lines = [f"tune: {len(self.settings)} candidates trained on {self.training_rows} rows, judged on "
                 f"{self.held_out_rows} held-out rows at a false-alarm rate of {self.false_alarm_rate:g}; "
                 "% of rows with each synthetic fault above the threshold"]
        header = ["#", "fit s"] + self.faults + ["mean", "settings"]
        rows = []
        for i, settings in enumerate(self.settings):
            mark = "*" if i == self.chosen else ""
            rates = [f"{100 * rate:.1f}" for rate in self.detection[i]]
            rows.append([f"{i}{mark}", f"{self.fit_seconds[i]:.1f}", *rates,
                         f"{100 * self.criterion[i]:.1f}", repr(settings) if settings else "(defaults)"])
        widths = [max(len(header[k]), *(len(row[k]) for row in rows)) for k in range(len(header) - 1)]
        lines.append("  ".join(h.rjust(w) for h, w in zip(header, widths)) + "  " + header[-1])
        lines += ["  ".join(c.rjust(w) for c, w in zip(row, widths)) + "  " + row[-1] for row in rows]
        return "\n".join(lines)


def _synthetic_faults(S: np.ndarray, Z: np.ndarray, spread: np.ndarray,
                      rng: np.random.Generator) -> list[tuple[str, np.ndarray, np.ndarray]]:
    """(name, S, Z) of each synthetic fault, built from held-out clean rows."""
    n = len(S)
    directions = rng.standard_normal(Z.shape)
    directions /= np.linalg.norm(directions, axis=1, keepdims=True)
    faults = [(f"shift {level:g}", S, (Z + level * spread * directions).astype(np.float32)) for level in _SHIFTS]
    order = rng.permutation(n)
    partner = np.empty(n, dtype=np.intp)
    partner[order] = np.roll(order, 1)  # every row gets another row's S
    faults.append((_MISMATCH, S[partner], Z))
    return faults


def _share_above(monitor: Any, S: np.ndarray, Z: np.ndarray, tau: float) -> float:
    with np.errstate(over="ignore", invalid="ignore"):
        scores = monitor.score_batch(S, Z)
    return float(np.mean(~(scores <= tau)))  # non-finite scores count as above


def tune(S: Any, Z: Any, *, false_alarm_rate: float = 0.01, candidates: Any = None, random_state: int = 0,
         held_out: Any = None) -> Any:
    """Trains a monitor for each candidate setting and returns the one that
    detects synthetic faults best at `false_alarm_rate`, calibrated.

    Each candidate is a dict of `NeuralConditionalMonitor` settings (`hidden`,
    `epochs`, `batch_size`, `lr`, `weight_decay`, `dropout`, `patience`,
    `tau_quantile`, `device`) and the engineer's flags (`include_square`,
    `include_logabs`, `include_interactions`); what it leaves out keeps its
    default. Without `candidates`, `TUNE_CANDIDATES` is tried: two networks
    without dropout on plain S (no engineered columns), and the defaults.

    Every candidate is trained with `random_state` on the training rows and
    judged on held-out clean rows. A candidate's threshold is set on those
    rows as `calibrate` sets it; then the held-out rows are changed in ways
    that need no knowledge of the monitored model, and the share of changed
    rows above the threshold is counted: Z moved along a random direction per
    row by 0.01, 0.03, 0.1, 0.3 and 1 times each Z column's standard deviation
    (the same directions for every candidate), and Z paired with the S of
    another held-out row. The candidate with the highest mean share wins (the
    first of equal ones); it is calibrated with `calibrate` on the held-out
    rows and returned, with the figures of every candidate in its
    `tuning_report` attribute (a `TuningReport`; print it for a table). The
    report is not saved with the monitor.

    `held_out`, an (S, Z) pair, gives the held-out rows; all of S and Z then
    train. Without it a random quarter of the rows, but at least 10 / rate
    (1,000 at 1%), is held out, and at least as many must remain to train:
    rows of one input (copies, augmentations, a session) are better kept
    together by passing `held_out`, or the held-out rows look more familiar
    than new inputs will.

    Cost: one `fit` per candidate on the training rows (three for the
    default candidates, each about as long as a default `fit`) and seven
    scorings of the held-out rows per candidate, which take far less. The
    result depends only on the data, `candidates` and `random_state`; like
    `fit`, it reseeds PyTorch's and NumPy's global generators.

    Bad input raises before any training: `TypeError` or `ValueError` for a
    rate outside (0, 1), S and Z (or the held-out pair) that are not finite 2-D
    arrays of matching shapes, too few rows, an empty candidate list, or a
    candidate with unknown settings or values of the wrong type or range.
    A candidate that fails to train raises the monitor's `RuntimeError`.
    """
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    random_state = int(random_state)
    S, Z = _finite_matrix(S, "S"), _finite_matrix(Z, "Z")
    if S.shape[0] != Z.shape[0]:
        raise ValueError(f"S has {S.shape[0]} rows but Z has {Z.shape[0]}")
    if candidates is None:
        candidates = TUNE_CANDIDATES
    if isinstance(candidates, (str, bytes, dict)) or not isinstance(candidates, Iterable):
        raise TypeError(f"candidates must be a list of dicts, got {type(candidates).__name__}")
    candidates = list(candidates)
    if not candidates:
        raise ValueError("candidates must hold at least one dict of settings")
    monitors = [_candidate_monitor(candidate, i, random_state) for i, candidate in enumerate(candidates)]
    needed = math.ceil(10 / rate)
    rng = np.random.default_rng(random_state)
    if held_out is None:
        n = S.shape[0]
        held = max(needed, n // 4)
        if n - held < held:
            raise ValueError(f"{n} rows are too few to tune at a false-alarm rate of {rate!r}: {held} are held "
                             f"out and as many must train ({2 * held} rows), or pass held_out")
        order = rng.permutation(n)
        S_train, Z_train = S[order[held:]], Z[order[held:]]
        S_held, Z_held = S[order[:held]], Z[order[:held]]
    else:
        if not isinstance(held_out, (tuple, list)) or len(held_out) != 2:
            raise TypeError("held_out must be an (S, Z) pair")
        S_train, Z_train = S, Z
        S_held, Z_held = _finite_matrix(held_out[0], "held-out S"), _finite_matrix(held_out[1], "held-out Z")
        if S_held.shape[1:] != S.shape[1:] or Z_held.shape[1:] != Z.shape[1:] or len(S_held) != len(Z_held):
            raise ValueError(f"held-out S and Z have shapes {S_held.shape} and {Z_held.shape}; they need "
                             f"(rows, {S.shape[1]}) and (rows, {Z.shape[1]}) with the same rows")
        if len(S_held) < needed:
            raise ValueError(f"{len(S_held)} held-out rows cannot resolve a false-alarm rate of {rate!r}: "
                             f"at least {needed} (10 / rate) are needed")
    spread = Z_train.std(axis=0, dtype=np.float64) + 1e-12
    faults = _synthetic_faults(S_held, Z_held, spread, rng)

    detection: list[list[float]] = []
    fit_seconds: list[float] = []
    for monitor in monitors:
        started = time.perf_counter()
        monitor.fit(S_train, Z_train)
        fit_seconds.append(time.perf_counter() - started)
        with np.errstate(over="ignore", invalid="ignore"):
            clean = monitor.score_batch(S_held, Z_held)
        if not np.isfinite(clean).all():  # cannot be calibrated: never chosen
            detection.append([math.nan] * len(faults))
            continue
        tau = _conformal_tau(clean, rate)
        detection.append([_share_above(monitor, S_f, Z_f, tau) for _, S_f, Z_f in faults])
    report = TuningReport(settings=[dict(c) for c in candidates], faults=[name for name, _, _ in faults],
                          detection=detection, fit_seconds=fit_seconds, chosen=-1,
                          training_rows=len(S_train), held_out_rows=len(S_held), false_alarm_rate=rate)
    usable = [i for i, value in enumerate(report.criterion) if not math.isnan(value)]
    if not usable:
        raise ValueError("every candidate scores some clean held-out rows non-finite; none can be calibrated")
    report.chosen = max(usable, key=lambda i: (report.criterion[i], -i))
    winner = monitors[report.chosen]
    calibrate(winner, S_held, Z_held, false_alarm_rate=rate)
    winner.tuning_report = report
    _log.info("%s", report)
    return winner


# --- explain ----------------------------------------------------------------------


def _residuals(monitor: Any, S: np.ndarray, Z: np.ndarray) -> np.ndarray:
    """Standardised Z minus the network's predicted mean, computed as
    `score_batch` computes it (float32, on the monitor's device)."""
    S_eng = monitor.s_engineer.transform(S)
    Z_norm = ((Z - monitor.z_mean) / monitor.z_scale).astype(np.float32)
    with _eval_mode(monitor._model):
        mu, _ = monitor._model(torch.from_numpy(S_eng).to(monitor._torch_device))
        return Z_norm - mu.cpu().numpy()


def explain(monitor: Any, S: Any, Z: Any) -> np.ndarray:
    """Per-Z-column contributions to the score: `r_i * (inv_cov @ r)_i` for
    the residual `r` of each input, so each row sums to the input's score.

    A large positive entry names the output that moved. Given a batch (S and Z
    2-D) the result has shape (n, z_dim); given one input (s and z 1-D) shape
    (z_dim,). Float64; sums agree with `score_batch` to float rounding. An
    input with non-finite Z gives non-finite contributions (it scores inf).
    """
    _require_trained(monitor)
    S, Z = _matrix(S, "S"), _matrix(Z, "Z")
    single = S.ndim == 1 and Z.ndim == 1
    if single:
        S, Z = S.reshape(1, -1), Z.reshape(1, -1)
    elif S.ndim == 1 or Z.ndim == 1:
        raise ValueError(f"give S and Z both 2-D (a batch) or both 1-D (one input), got shapes "
                         f"{S.shape} and {Z.shape}")
    _check_shapes(monitor, S.shape, Z.shape)
    inv_cov = np.asarray(monitor.inv_cov, dtype=np.float64)
    # Z near the float32 limit overflows when standardised; such rows score
    # inf anyway, so their non-finite contributions need no warning.
    with np.errstate(invalid="ignore", over="ignore"):
        r = _residuals(monitor, S, Z).astype(np.float64)
        contributions = r * (r @ inv_cov.T)
    return contributions[0] if single else contributions


# --- window alarm -----------------------------------------------------------------


def _binomial_tail(m: int, p: float, c: int) -> float:
    """P(X >= c) for X ~ Binomial(m, p), summed term by term in log space
    (exact up to float rounding; no normal approximation)."""
    if c <= 0:
        return 1.0
    if c > m:
        return 0.0
    log_p, log_q = math.log(p), math.log1p(-p)
    log_m = math.lgamma(m + 1)
    total = 0.0
    for j in range(c, m + 1):
        term = math.exp(log_m - math.lgamma(j + 1) - math.lgamma(m - j + 1) + j * log_p + (m - j) * log_q)
        total += term
        # Past the mode the terms shrink geometrically: stop once they no
        # longer change the sum.
        if j > m * p and term < total * 1e-17:
            break
    return min(total, 1.0)


class WindowAlarm:
    """A fault alarm over a sliding window of inputs.

    A single input through a faulted model is often not flagged, but a fault
    raises the share of scores above `tau`. The alarm keeps whether each of
    the last `window` scores was above `tau` (NaN and inf count as above) and
    fires while the count is improbable for a clean model: when the binomial
    upper tail P(X >= count), X ~ Binomial(inputs in the window,
    `false_alarm_rate`), is at most `significance`. This holds before the
    window is full too, so a burst at the start fires at once.
    """

    def __init__(self, *, tau: float, false_alarm_rate: float, window: int = 50,
                 significance: float = 1e-3) -> None:
        """Checks the settings and precomputes, for every number of inputs in
        the window, the smallest count above `tau` that fires."""
        if isinstance(tau, bool) or not isinstance(tau, numbers.Real) or not math.isfinite(tau):
            raise ValueError(f"tau must be a finite number, got {tau!r}")
        self.tau = float(tau)
        self.false_alarm_rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
        self.window = _positive_int(window, "window")
        self.significance = _open_unit_interval(significance, "significance")
        # _critical[m]: smallest count that fires with m inputs in the window
        # (m + 1 when none can). Nondecreasing in m, so each search starts at
        # the previous answer.
        self._critical = [1]
        c = 0
        for m in range(1, self.window + 1):
            while c <= m and _binomial_tail(m, self.false_alarm_rate, c) > self.significance:
                c += 1
            self._critical.append(c)
        self._above: deque[bool] = deque(maxlen=self.window)
        self._count = 0

    @property
    def count(self) -> int:
        """Number of scores above `tau` among the last `window` inputs."""
        return self._count

    def reset(self) -> None:
        """Forgets every score seen so far (after the model was replaced)."""
        self._above.clear()
        self._count = 0

    def update(self, score_or_scores: Any) -> bool:
        """Adds one score or a 1-D sequence of scores, oldest first, and
        returns True if the window's count was improbable after any of them
        (so a burst inside one call is never missed), else False. An empty
        sequence returns the current state."""
        scores = np.asarray(score_or_scores, dtype=np.float64)
        if scores.ndim > 1:
            raise ValueError(f"update takes one score or a 1-D sequence of scores, got shape {scores.shape}")
        above = ~(np.isfinite(scores) & (scores <= self.tau))
        if above.size == 0:
            return self._firing()
        fired = False
        for flag in above.reshape(-1).tolist():
            if len(self._above) == self.window:
                self._count -= self._above[0]
            self._above.append(flag)
            self._count += flag
            fired = fired or self._firing()
        return fired

    def _firing(self) -> bool:
        return bool(self._above) and self._count >= self._critical[len(self._above)]


# --- scoring large data -----------------------------------------------------------


def _sliceable(x: Any, name: str) -> Any:
    """Arrays, memory maps and other sliceable arrays (HDF5 or Dask arrays)
    stay as they are, so only one chunk at a time is read; anything else is
    converted."""
    if hasattr(x, "shape") and hasattr(x, "__getitem__") and hasattr(x, "ndim"):
        return x
    return _matrix(x, name)


def _progress_bar(progress: bool, total: int | None) -> Any:
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm") from None
    return tqdm(total=total, unit="rows")


def score_chunks(monitor: Any, S: Any, Z: Any = None, *, chunk_size: int = 65536,
                 progress: bool = False) -> np.ndarray:
    """`score_batch` in bounded memory: scores `chunk_size` rows at a time.

    With `Z` given, S and Z are arrays of the same number of rows, typically
    memory maps (`np.load(..., mmap_mode="r")`) or other arrays that read a
    slice at a time; with `Z` left out, `S` is an iterable of (S, Z) chunks
    (each split further if longer than `chunk_size`). Returns the float64
    scores of all rows; the extra memory besides them is that of one chunk,
    whatever the size of the data. `progress=True` shows a tqdm progress bar.

    The scores agree with one `score_batch` call to float32 rounding, not
    always bit for bit: the network's matrix products may sum in a different
    order for a different number of rows (the math libraries pick blocking
    and vector kernels by shape), which changes the last bits of a float32
    result.
    """
    _require_trained(monitor)
    chunk_size = _positive_int(chunk_size, "chunk_size")
    if Z is None:
        if isinstance(S, (str, bytes, dict, np.ndarray)) or not isinstance(S, Iterable):
            raise TypeError("with Z left out, S must be an iterable of (S, Z) chunks")
        bar = _progress_bar(progress, None)
        try:
            parts = [scores for scores in _score_pairs(monitor, S, chunk_size, bar)]
        finally:
            if bar is not None:
                bar.close()
        return np.concatenate(parts) if parts else np.zeros(0, dtype=np.float64)
    S, Z = _sliceable(S, "S"), _sliceable(Z, "Z")
    _check_shapes(monitor, tuple(S.shape), tuple(Z.shape))
    n = int(S.shape[0])
    scores = np.empty(n, dtype=np.float64)
    bar = _progress_bar(progress, n)
    try:
        for start in range(0, n, chunk_size):
            stop = min(start + chunk_size, n)
            scores[start:stop] = monitor.score_batch(np.asarray(S[start:stop], dtype=np.float32),
                                                     np.asarray(Z[start:stop], dtype=np.float32))
            if bar is not None:
                bar.update(stop - start)
    finally:
        if bar is not None:
            bar.close()
    return scores


def _score_pairs(monitor: Any, chunks: Iterable[Any], chunk_size: int, bar: Any) -> Iterator[np.ndarray]:
    for index, chunk in enumerate(chunks):
        if not isinstance(chunk, (tuple, list)) or len(chunk) != 2:
            raise ValueError(f"chunk {index} is not an (S, Z) pair")
        S, Z = _sliceable(chunk[0], "S"), _sliceable(chunk[1], "Z")
        _check_shapes(monitor, tuple(S.shape), tuple(Z.shape), where=f" of chunk {index}")
        for start in range(0, int(S.shape[0]), chunk_size):
            S_part = np.asarray(S[start:start + chunk_size], dtype=np.float32)
            yield monitor.score_batch(S_part, np.asarray(Z[start:start + chunk_size], dtype=np.float32))
            if bar is not None:
                bar.update(S_part.shape[0])


# --- files ------------------------------------------------------------------------


def _path(path: Any) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be str or os.PathLike, got {type(path).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError("path must be a text path (str or os.PathLike[str]), not bytes")
    return text


def _first_non_finite(d: dict[str, Any]) -> str | None:
    """Names the first entry of the monitor dictionary that holds NaN or inf."""
    for key, value in d.items():
        if isinstance(value, dict):
            inner = _first_non_finite(value)
            if inner is not None:
                return f"{key}[{inner!r}]" if not inner.startswith("[") else f"{key}{inner}"
        elif isinstance(value, (float, list)):
            try:
                finite = bool(np.isfinite(np.asarray(value, dtype=np.float64)).all())
            except (TypeError, ValueError):
                continue
            if not finite:
                return key
    return None


def save(monitor: Any, path: str | os.PathLike[str]) -> None:
    """Writes the monitor dictionary (`to_dict()`) to `path` as strict JSON,
    atomically: a temporary file in the same directory, flushed to disk, then
    renamed over `path`. On any failure the temporary file is removed and an
    existing file at `path` is left as it was.

    A monitor with a NaN or inf anywhere (weights, `tau`, scales) raises
    `ValueError` naming the entry, since standard JSON cannot hold it; an
    untrained monitor, or one without `tau`, raises the monitor's
    `RuntimeError("Detector not fit")`.
    """
    target = _path(path)
    if not isinstance(monitor, resmon.NeuralConditionalMonitor):
        raise TypeError(f"monitor must be a NeuralConditionalMonitor, got {type(monitor).__name__}")
    d = monitor.to_dict()
    bad = _first_non_finite(d)
    if bad is not None:
        raise ValueError(f"monitor entry {bad} holds NaN or inf; refusing to write non-standard JSON")
    save_json(d, target)


def _refuse_constant(name: str) -> None:
    raise ValueError(f"monitor file holds the non-standard JSON value {name}")


def load(path: str | os.PathLike[str], *, device: str = "cpu") -> Any:
    """Reads a monitor written by `save` and returns it on `device`.

    Only regular files (or links to them) of at most 256 MiB are read; other
    files, larger ones, text that is not strict JSON (NaN, Infinity) or a
    document that is not a JSON object raise `ValueError`. The dictionary goes
    through `NeuralConditionalMonitor.from_dict`, whose errors propagate, and
    the monitor is then moved with `set_device(device)`.
    """
    target = _path(path)
    if not isinstance(device, str):
        raise TypeError(f"device must be a str, got {type(device).__name__}")
    info = os.stat(target)
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"{target!r} is not a regular file")
    # O_NONBLOCK: should the path be swapped for a FIFO after the check, open
    # must not wait for a writer; fstat below refuses it.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    descriptor = os.open(target, flags)
    with os.fdopen(descriptor, "rb") as handle:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{target!r} is not a regular file")
        if info.st_size > _MAX_FILE_BYTES:
            raise ValueError(f"{target!r} is {info.st_size} bytes, more than the {_MAX_FILE_BYTES} a monitor "
                             "file may have")
        data = handle.read(_MAX_FILE_BYTES + 1)
    if len(data) > _MAX_FILE_BYTES:
        raise ValueError(f"{target!r} is more than the {_MAX_FILE_BYTES} bytes a monitor file may have")
    try:
        d = json.loads(data.decode("utf-8"), parse_constant=_refuse_constant)
    except UnicodeDecodeError as error:
        raise ValueError(f"{target!r} is not UTF-8 text: {error}") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{target!r} is not valid JSON: {error}") from None
    if not isinstance(d, dict):
        raise ValueError(f"{target!r} holds a JSON {type(d).__name__}, not a monitor dictionary")
    return resmon.NeuralConditionalMonitor.from_dict(d).set_device(device)


# --- Dask -------------------------------------------------------------------------

# Monitors rebuilt from their dictionaries in this process, by token, so that a
# worker rebuilds each monitor once and not once per block.
_rebuilt: OrderedDict[str, Any] = OrderedDict()
_rebuilt_lock = threading.Lock()
_REBUILT_KEPT = 4


def _rebuilt_monitor(state: dict[str, Any], token: str) -> Any:
    with _rebuilt_lock:
        monitor = _rebuilt.get(token)
        if monitor is None:
            monitor = resmon.NeuralConditionalMonitor.from_dict(state)
            _rebuilt[token] = monitor
            while len(_rebuilt) > _REBUILT_KEPT:
                _rebuilt.popitem(last=False)
        else:
            _rebuilt.move_to_end(token)
        return monitor


def _score_block(S_block: np.ndarray, Z_block: np.ndarray, *, monitor_state: dict[str, Any],
                 monitor_token: str) -> np.ndarray:
    return _rebuilt_monitor(monitor_state, monitor_token).score_batch(S_block, Z_block)


def score_dask(monitor: Any, S: Any, Z: Any) -> Any:
    """Scores Dask arrays block by block; returns a lazy float64 Dask array
    of one score per row, chunked like the rows of S.

    S and Z must be 2-D Dask arrays chunked by rows only (one chunk across the
    columns; `rechunk({1: -1})` otherwise); Z is rechunked to S's row chunks
    if they differ. The monitor travels as its plain dictionary (`to_dict()`,
    so `tau` must be set), as one task of the graph: each worker receives it
    once and rebuilds the monitor once per process, then scores its blocks
    with `score_batch`. Needs the `dask` extra (`pip install tarvex-core[dask]`).
    """
    try:
        import dask
        import dask.array as da
        from dask.base import tokenize
    except ImportError:
        raise ImportError("score_dask needs Dask: pip install 'tarvex-core[dask]'") from None
    _require_trained(monitor)
    for name, x in (("S", S), ("Z", Z)):
        if not isinstance(x, da.Array):
            raise TypeError(f"{name} must be a dask.array.Array, got {type(x).__name__}")
        if any(math.isnan(size) for size in x.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() first")
    _check_shapes(monitor, tuple(S.shape), tuple(Z.shape))
    for name, x in (("S", S), ("Z", Z)):
        if len(x.chunks[1]) != 1:
            raise ValueError(f"{name} is chunked across its columns ({x.chunks[1]}); chunk by rows only: "
                             f"{name}.rechunk({{1: -1}})")
    if Z.chunks[0] != S.chunks[0]:
        Z = Z.rechunk({0: S.chunks[0]})
    state = monitor.to_dict()
    token = tokenize(state)
    shipped = dask.delayed(state, pure=True, traverse=False, name=f"tarvex-monitor-{token}")
    return da.blockwise(_score_block, "i", S, "ij", Z, "ik", dtype=np.float64, concatenate=True,
                        meta=np.empty((0,), dtype=np.float64), monitor_state=shipped,
                        monitor_token=token)
