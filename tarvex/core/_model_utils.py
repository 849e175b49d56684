"""Small helpers for running monitored PyTorch models.

PyTorch is imported only inside the helpers that need it, so importing this
module stays cheap.
"""

from __future__ import annotations

import weakref
from typing import Any

# The example input registered for each model, held without keeping the model alive.
_primary_inputs: "weakref.WeakKeyDictionary[Any, Any]" = weakref.WeakKeyDictionary()


def to_device(obj: Any, device: Any) -> Any:
    """Moves a tensor or module (anything with `.to`) to `device`, recursing
    into lists, tuples and dicts; other values are returned unchanged."""
    if isinstance(obj, dict):
        return {key: to_device(value, device) for key, value in obj.items()}
    if isinstance(obj, (list, tuple)):
        moved = [to_device(value, device) for value in obj]
        return type(obj)(*moved) if hasattr(obj, "_fields") else type(obj)(moved)
    move = getattr(obj, "to", None)
    return move(device) if callable(move) else obj


def forward(model: Any, x: Any) -> Any:
    """Runs `model` on `x` without recording gradients and returns its output."""
    import torch

    with torch.no_grad():
        return model(x)


def set_primary_input(model: Any, example: Any) -> None:
    """Registers `example` as the model's representative input (what
    `example_tensor` hands back, e.g. for tracing or a dry run of hooks)."""
    _primary_inputs[model] = example


def example_tensor(model: Any) -> Any:
    """The input registered with `set_primary_input`; LookupError if none is."""
    try:
        return _primary_inputs[model]
    except (KeyError, TypeError):
        raise LookupError("no primary input registered for this model; call set_primary_input first") from None
