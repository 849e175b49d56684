"""Widened fitting data: S moved beyond the clean data (noise, scaling,
offsets, mixtures of inputs) and the Z that the model itself computes from
that S, by running the submodules between them.

A healthy model computes Z from S by the same function whatever its inputs;
a monitor fitted on clean pairs only knows that function where the clean S
lies, so drifted inputs leave it guessing and raise its residuals. Pairs on
a wider S, with Z still computed by the model, teach the monitor the
function rather than the data. The S values are replaced inside a normal
forward pass (a forward hook returns the widened S in place of the layer's
output), so any path into Z that does not pass through S keeps its clean
values.

Every change is in units of each value's clean spread, around the clean
values. A value that never varies in the clean data (a blank border pixel)
gets noise and offsets of `CONSTANT_SHARE` of the layer's typical spread
instead, so the monitor also learns how Z answers to it.
"""

from __future__ import annotations

import math
import numbers
from typing import Any

import numpy as np
import torch

from ._arguments import _eval_mode, _positive_int
from ._layers import Layer, needs_slow_path, resolve, select, slow_path
from .capturing import _as_input, _batches, _model_device

# The kinds of change, one drawn per widened row.
WIDENING_KINDS = ("noise", "scaling", "offset", "mixture")
# Largest change, in units of each value's clean spread (scaling: factors
# from 2**-strength to 2**strength).
DEFAULT_STRENGTH = 1.0
# Spread given to constant values, as a share of the layer's root-mean-square spread.
CONSTANT_SHARE = 0.5


def _stacked_inputs(model: torch.nn.Module, inputs: Any, batch_size: int) -> torch.Tensor:
    """All of `inputs` as one tensor on the model's device (widening runs
    the model over the same inputs again for every copy)."""
    device, float_dtype = _model_device(model)
    parts = [_as_input(batch, device, float_dtype) for batch in _batches(inputs, batch_size)]
    parts = [part for part in parts if part.shape[0]]
    if not parts:
        raise ValueError("inputs held no rows")
    return torch.cat(parts)


def _check_widenable(s: Layer) -> None:
    if s.keys:
        raise ValueError(f"S layer {s.name!r} selects an item of a submodule's output; widening replaces a whole "
                         "output and needs a layer that returns one tensor")
    if s.module is None and not s.is_input:
        raise ValueError("S cannot be the model's output: nothing is computed from it")


def _run(model: torch.nn.Module, x: torch.Tensor, s: Layer, z: Layer,
         replacement: torch.Tensor | None) -> tuple[torch.Tensor, torch.Tensor]:
    """One forward pass over the batch `x`, with S's output replaced by
    `replacement` when given; returns (S, Z) as the pass saw them."""
    seen: dict[str, torch.Tensor] = {}
    handles = []

    def on_s(_module: Any, _args: Any, output: Any) -> Any:
        if not isinstance(output, torch.Tensor):
            raise TypeError(f"S layer {s.name!r} returned {type(output).__name__}, not a tensor")
        if replacement is not None:
            output = replacement.reshape(output.shape).to(dtype=output.dtype, device=output.device)
        seen["s"] = output.detach().clone()
        return output if replacement is not None else None

    def on_z(_module: Any, _args: Any, output: Any) -> None:
        seen["z"] = select(output, z).detach().clone() if z.keys else output.detach().clone()

    try:
        if s.module is not None:
            handles.append(s.module.register_forward_hook(on_s))
        if z.module is not None:
            handles.append(z.module.register_forward_hook(on_z))
        if s.is_input:
            feed = x if replacement is None else replacement.reshape(x.shape).to(dtype=x.dtype, device=x.device)
            seen["s"] = feed.detach().clone()
        else:
            feed = x
        with slow_path(needs_slow_path(model, [s.module_name, z.module_name])):
            output = model(feed)
        if z.module is None:
            value = select(output, z) if z.keys else output
            if not isinstance(value, torch.Tensor):
                raise TypeError(f"Z layer {z.name!r} returned {type(value).__name__}, not a tensor")
            seen["z"] = value.detach().clone()
    finally:
        for handle in handles:
            handle.remove()
    if "s" not in seen or "z" not in seen:
        raise ValueError(f"the forward pass did not run {s.name!r} and {z.name!r}")
    return seen["s"], seen["z"]


def _widen(values: np.ndarray, rng: np.random.Generator, strength: float) -> np.ndarray:
    """A widened copy of clean rows (rows, values): each row gets one kind of
    change of a random size up to `strength`."""
    n = values.shape[0]
    mean = values.mean(axis=0)
    spread = values.std(axis=0)
    typical = math.sqrt(float(np.mean(spread ** 2))) if spread.size else 0.0
    spread = np.maximum(spread, CONSTANT_SHARE * typical)
    kinds = rng.integers(0, len(WIDENING_KINDS), size=n)
    levels = rng.uniform(0.0, strength, size=(n, 1))
    out = values.copy()
    noise = kinds == 0
    out[noise] += levels[noise] * spread * rng.standard_normal((int(noise.sum()), values.shape[1]))
    scaling = kinds == 1
    factors = 2.0 ** (levels[scaling] * rng.uniform(-1.0, 1.0, size=(int(scaling.sum()), 1)))
    out[scaling] = mean + (values[scaling] - mean) * factors
    offset = kinds == 2
    # Half the offsets move every value the same way, half along a random direction.
    same_way = rng.random(int(offset.sum())) < 0.5
    directions = np.where(same_way[:, None], rng.choice([-1.0, 1.0], size=(len(same_way), 1)),
                          rng.standard_normal((len(same_way), values.shape[1])))
    out[offset] += levels[offset] * spread * directions
    mixture = kinds == 3
    partners = values[rng.integers(0, n, size=int(mixture.sum()))]
    weights = rng.uniform(-0.5 * strength, 1.0 + 0.5 * strength, size=(int(mixture.sum()), 1))
    out[mixture] = partners + weights * (values[mixture] - partners)
    return out


def widened_outputs(model: torch.nn.Module, x: torch.Tensor, s: Layer, z: Layer, *, copies: int,
                    strength: float, rng: np.random.Generator,
                    batch_size: int) -> tuple[torch.Tensor, torch.Tensor]:
    """`copies` widened versions of S over the inputs `x`, and the Z the
    model computes from each, in the layers' own shapes, batch first."""
    _check_widenable(s)
    S_parts, Z_parts = [], []
    with _eval_mode(model):
        clean = torch.cat([_run(model, x[start:start + batch_size], s, z, None)[0]
                           for start in range(0, x.shape[0], batch_size)])
        flat = clean.reshape(clean.shape[0], -1).to(dtype=torch.float64, device="cpu").numpy()
        for _ in range(copies):
            wide = torch.from_numpy(_widen(flat, rng, strength)).reshape(clean.shape)
            for start in range(0, x.shape[0], batch_size):
                S_batch, Z_batch = _run(model, x[start:start + batch_size], s, z, wide[start:start + batch_size])
                S_parts.append(S_batch)
                Z_parts.append(Z_batch)
    return torch.cat(S_parts), torch.cat(Z_parts)


def widened_pairs(model: torch.nn.Module, inputs: Any, s: str, z: str, *, copies: int = 1,
                  strength: float = DEFAULT_STRENGTH, random_state: int = 0,
                  batch_size: int = 256) -> tuple[np.ndarray, np.ndarray]:
    """Widened (S, Z) rows for fitting a monitor of the link S -> Z of
    `model`, one float32 row per input and copy, flattened as `capture`
    gives them.

    For each of `copies` rounds every input's S (captured from `model` over
    `inputs`) gets one change drawn from `WIDENING_KINDS`: Gaussian noise,
    scaling around the clean mean by 2**(-strength..strength), an offset
    (every value the same way, or along a random direction), or a mixture
    with another input's S beyond the segment between them, each of a random
    size up to `strength` times every value's clean spread; Z is what the
    model computes from that S (the S layer's output replaced in a normal
    forward pass). Add the rows to the clean training rows of `tune` or a
    monitor's `fit` (not to the rows that calibrate it).

    `s` must be "input" or a submodule returning one tensor, `z` any layer
    name as for `capture`. Raises `ValueError` for unknown names, an S that
    selects an item or is the model's output, or empty inputs; `TypeError`
    for a model that is not a module or a non-int `random_state`.
    """
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    copies = _positive_int(copies, "copies")
    batch_size = _positive_int(batch_size, "batch_size")
    if isinstance(strength, bool) or not isinstance(strength, numbers.Real) or not 0 < float(strength) < math.inf:
        raise ValueError(f"strength must be a positive finite number, got {strength!r}")
    s_layer, z_layer = resolve(model, [("s", s), ("z", z)])
    x = _stacked_inputs(model, inputs, batch_size)
    S, Z = widened_outputs(model, x, s_layer, z_layer, copies=copies, strength=float(strength),
                           rng=np.random.default_rng(int(random_state)), batch_size=batch_size)
    rows = S.shape[0]
    return (S.reshape(rows, -1).to(device="cpu", dtype=torch.float32).numpy(),
            Z.reshape(rows, -1).to(device="cpu", dtype=torch.float32).numpy())
