"""The caller's global random state around the toolkit's functions that fit
monitors: `NeuralConditionalMonitor.fit` reseeds NumPy's and PyTorch's global
generators, and a function that fits on the caller's behalf puts them back as
it found them, so code around it draws the same numbers with or without it."""

from __future__ import annotations

import functools
from typing import Any, Callable, TypeVar

import numpy as np
import torch

_F = TypeVar("_F", bound=Callable[..., Any])


def _snapshot() -> tuple[Any, torch.Tensor, list[torch.Tensor] | None]:
    # CUDA generators exist only once CUDA is initialised; reading them
    # earlier would initialise CUDA as a side effect.
    cuda = torch.cuda.get_rng_state_all() if torch.cuda.is_initialized() else None
    return np.random.get_state(), torch.get_rng_state(), cuda


def _restore(snapshot: tuple[Any, torch.Tensor, list[torch.Tensor] | None]) -> None:
    numpy_state, torch_state, cuda_states = snapshot
    np.random.set_state(numpy_state)
    torch.set_rng_state(torch_state)
    if cuda_states is not None:
        torch.cuda.set_rng_state_all(cuda_states)


def keeps_global_random_state(function: _F) -> _F:
    """Decorates `function` so that NumPy's legacy global generator
    (`np.random.seed` and friends), PyTorch's CPU generator and, when CUDA is
    initialised at the call, every CUDA device's generator are restored when
    it returns or raises. A CUDA first initialised during the call keeps what
    the call left in it."""

    @functools.wraps(function)
    def wrapper(*args: Any, **kwargs: Any) -> Any:
        snapshot = _snapshot()
        try:
            return function(*args, **kwargs)
        finally:
            _restore(snapshot)

    return wrapper  # type: ignore[return-value]
