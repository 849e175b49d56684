"""Capturing S and Z from a PyTorch model with forward hooks."""

from typing import Any, Iterable

import numpy as np
import numpy.typing as npt
import torch

def capture(
    model: torch.nn.Module,
    inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any],
    s: str,
    z: str,
    *,
    batch_size: int = 256,
    device: str | torch.device | None = None,
    progress: bool = False,
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Runs `model` over `inputs` and returns (S, Z): the outputs of the
    submodules named `s` and `z`, one float32 row per input.

    Names are those of `model.named_modules()`; "output" means the model's own
    output. `inputs` is a tensor or a NumPy array (split into batches of
    `batch_size` rows), or an iterable of batches, each a tensor, an array, or
    a tuple or list whose first item is the input (as a DataLoader yields).
    Each captured output must have the batch as its first dimension and is
    flattened per input. The model runs in evaluation mode without gradients,
    on `device` (None: where it is); its modes, hooks and device are restored
    afterwards, also after an error. `progress=True` shows a tqdm progress bar
    over the input rows.

    Raises `TypeError` for a model that is not a `torch.nn.Module`, names that
    are not str or batches that are not tensors or arrays; `ValueError` for an
    unknown name (listing close matches), a hooked submodule that runs other
    than once per forward pass, an output without the batch as its first
    dimension, widths that change between batches, or inputs without rows.
    """
