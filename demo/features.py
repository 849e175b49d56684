"""S and Z of a classifier for a batch of inputs.

S is the output of one named submodule (by default the first hidden layer,
before its activation), captured with a forward hook; Z is the model's output,
the logits. Both come back as float32 matrices with one row per input, which
is what the monitor's fit and score_batch take.
"""

from __future__ import annotations

import numpy as np
import torch
import torch.nn as nn

DEFAULT_S_LAYER = "hidden1"


def extract_sz(model: nn.Module, X: np.ndarray, s_layer: str = DEFAULT_S_LAYER,
               batch_size: int = 1024) -> tuple[np.ndarray, np.ndarray]:
    """Runs `model` in evaluation mode on `X` and returns (S, Z)."""
    modules = dict(model.named_modules())
    if s_layer not in modules:
        raise KeyError(f"model has no submodule named {s_layer!r}")
    captured: list[torch.Tensor] = []
    handle = modules[s_layer].register_forward_hook(
        lambda _module, _inputs, output: captured.append(output.detach()))
    was_training = model.training
    model.eval()
    S_parts, Z_parts = [], []
    try:
        with torch.no_grad():
            inputs = torch.as_tensor(np.asarray(X, dtype=np.float32))
            for start in range(0, len(inputs), batch_size):
                captured.clear()
                logits = model(inputs[start:start + batch_size])
                if len(captured) != 1:
                    raise RuntimeError(f"submodule {s_layer!r} ran {len(captured)} times in one forward pass")
                S_parts.append(captured[0].reshape(len(logits), -1).cpu().numpy())
                Z_parts.append(logits.reshape(len(logits), -1).cpu().numpy())
    finally:
        handle.remove()
        model.train(was_training)
    S = np.concatenate(S_parts, axis=0).astype(np.float32) if S_parts else np.zeros((0, 0), np.float32)
    Z = np.concatenate(Z_parts, axis=0).astype(np.float32) if Z_parts else np.zeros((0, 0), np.float32)
    return S, Z
