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
) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]: ...
