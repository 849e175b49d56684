"""Argument checks shared by the watch toolkit: trained monitors, matrices of
the monitor's widths, counts and rates, the evaluation-mode context that
every function running a model uses, and the warning about engineered S
matrices too wide to fit comfortably."""

from __future__ import annotations

import inspect
import numbers
import os
import sys
import types
import warnings
from typing import Any

import numpy as np
import torch

from tarvex.core import resmon


def _require_trained(monitor: Any) -> None:
    if not isinstance(monitor, resmon.NeuralConditionalMonitor):
        raise TypeError(f"monitor must be a NeuralConditionalMonitor, got {type(monitor).__name__}")
    for name in ("_model", "z_mean", "z_scale", "inv_cov"):
        if getattr(monitor, name) is None:
            raise RuntimeError("Detector not fit/loaded")


# The entries of a monitor dictionary besides the constructor's settings,
# and those of its feature engineer, as `to_dict` writes them.
_MONITOR_STATE_ENTRIES = ("type", "tau", "s_dim", "z_dim", "input_dim", "s_engineer", "z_mean", "z_scale",
                          "inv_cov", "state_dict")
_ENGINEER_ENTRIES = ("include_square", "include_logabs", "include_interactions", "mean", "scale")


def _unknown_monitor_entries(d: dict[str, Any]) -> list[str]:
    """Entries of a monitor dictionary that `from_dict` would ignore, as
    "name" or "s_engineer.name" (a misspelt "tua" next to "tau", say). The
    network's weights are matched against the network by `from_dict`."""
    settings = inspect.signature(resmon.NeuralConditionalMonitor).parameters
    known = set(settings) | set(_MONITOR_STATE_ENTRIES)
    unknown = sorted(str(key) for key in d if key not in known)
    engineer = d.get("s_engineer")
    if isinstance(engineer, dict):
        unknown += sorted(f"s_engineer.{key}" for key in engineer if key not in _ENGINEER_ENTRIES)
    return unknown


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
    """A rate, confidence or significance as a Python float in (0, 1).

    A NumPy float is read as the decimal it prints as, which is what the
    caller wrote: np.float32(0.05) is 0.05, not its binary value
    0.05000000074505806, so records and files keep the rate that was asked
    for."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {type(value).__name__}")
    number = float(str(value)) if isinstance(value, np.floating) else float(value)
    if not 0.0 < number < 1.0:  # also refuses NaN
        raise ValueError(f"{name} must lie strictly between 0 and 1, got {number!r}")
    return number


def _refuse_complex(dtype: Any, name: str) -> None:
    """Complex data would lose their imaginary part in the float32
    conversion, with no more than a NumPy warning."""
    if isinstance(dtype, torch.dtype):
        complex_ = dtype.is_complex
    else:
        try:
            complex_ = np.dtype(dtype).kind == "c"
        except TypeError:  # not a dtype NumPy knows: the conversion decides
            complex_ = False
    if complex_:
        raise TypeError(f"{name} is complex ({dtype}) and cannot be converted to float32 without "
                         "losing its imaginary part; pass real values (the real part, the magnitude, or both "
                         "parts as separate columns)")


def _matrix(x: Any, name: str) -> np.ndarray:
    try:
        array = np.asarray(x)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} cannot be converted to a float32 array: {error}") from None
    _refuse_complex(array.dtype, name)
    try:
        return np.asarray(array, dtype=np.float32)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{name} cannot be converted to a float32 array: {error}") from None


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


def _scoring(monitor: Any) -> _eval_mode:
    """The context every watch function scores in: the monitor's network in
    evaluation mode, so that dropout is off even on a network left in
    training mode; its own modes come back afterwards."""
    return _eval_mode(monitor._model)


def _scores(monitor: Any, S: Any, Z: Any) -> np.ndarray:
    """`score_batch` with the network in evaluation mode."""
    with _scoring(monitor):
        scores: np.ndarray = monitor.score_batch(S, Z)
    return scores


def _finite_matrix(x: Any, name: str) -> np.ndarray:
    array = _matrix(x, name)
    if array.ndim != 2 or array.shape[0] == 0 or array.shape[1] == 0:
        raise ValueError(f"{name} must be a non-empty 2-D array (rows, columns), got shape {array.shape}")
    bad = int(np.count_nonzero(~np.isfinite(array)))
    if bad:
        raise ValueError(f"{name} holds {bad} non-finite values; tune on clean data")
    return array


# Engineered S columns above which fitting gets slow and memory-hungry: the
# engineered matrix takes 16 KiB per row here (160 MiB per 10,000 rows), and
# the network's first layer, its training time and the matrix grow with it.
ENGINEERED_WIDTH_LIMIT = 4096


def engineered_width(s_dim: int, include_square: bool = True, include_logabs: bool = True,
                     include_interactions: bool = True) -> int:
    """Columns the monitor's feature engineer makes from `s_dim` S columns:
    the standardised columns, their squares and signed log-magnitudes when
    switched on, and one product per pair of columns with interactions."""
    pairs = s_dim * (s_dim - 1) // 2 if s_dim >= 2 else 0
    return s_dim * (1 + bool(include_square) + bool(include_logabs)) + (pairs if include_interactions else 0)


def _first_frame_outside_package() -> int:
    """The `stacklevel` that points a warning at the first caller outside
    this package (counted from the function that calls `warnings.warn`)."""
    package = os.path.dirname(os.path.abspath(__file__))
    frame: types.FrameType | None = sys._getframe(2)
    level = 2
    while frame is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == package:
        frame, level = frame.f_back, level + 1
    return level


def warn_if_engineered_width_large(s_dim: int, include_square: bool = True, include_logabs: bool = True,
                                   include_interactions: bool = True, *, rows: int | None = None,
                                   what: str = "the monitor") -> int:
    """Warns (`UserWarning`) when the engineered width of `s_dim` S columns
    passes `ENGINEERED_WIDTH_LIMIT`, naming the setting that avoids it;
    returns the width. `rows` adds the memory of the engineered matrix."""
    width = engineered_width(s_dim, include_square, include_logabs, include_interactions)
    if width <= ENGINEERED_WIDTH_LIMIT:
        return width
    size = f" ({width * rows * 4 / 2**30:.2f} GiB as float32 for {rows:,} rows)" if rows else ""
    without_pairs = engineered_width(s_dim, include_square, include_logabs, False)
    if include_interactions and without_pairs <= ENGINEERED_WIDTH_LIMIT:
        remedy = (f"set include_interactions=False on the engineer to fit on {without_pairs:,} columns "
                  "(monitor.s_engineer.include_interactions = False; in tune, a candidate's "
                  "\"include_interactions\": False)")
    else:
        remedy = "read S from a narrower layer (pooled, or fewer units)"
    warnings.warn(f"{what}: {s_dim:,} S columns engineer {width:,} columns{size}, above {ENGINEERED_WIDTH_LIMIT:,}; "
                  f"fitting will be slow and memory-hungry; {remedy}",
                  UserWarning, stacklevel=_first_frame_outside_package())
    return width
