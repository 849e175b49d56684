"""Feature extractor for classifiers: fixed-size S/Z features from logits."""

from __future__ import annotations

from typing import Any, Tuple

import numpy as np

# Three columns each, whatever the number of classes of the model.
S_FEATURES = ("max_prob", "top2_margin", "entropy")
Z_FEATURES = ("max_logit", "logsumexp", "logit_std")


class ClassificationExtractor:
    """Turns a classifier's logits into S (how confident the prediction is)
    and Z (how large the logits are), both of fixed width, so that monitors
    built on them do not depend on the model's number of classes."""

    def __init__(self, model: Any) -> None:
        self.model = model

    @property
    def dims(self) -> Tuple[int, int]:
        return len(S_FEATURES), len(Z_FEATURES)

    def __call__(self, x: Any) -> Tuple[np.ndarray, np.ndarray]:
        """Runs the model on `x` (without gradients) and extracts S and Z."""
        from tarvex.core._model_utils import forward

        return self.extract(forward(self.model, x))

    def extract(self, logits: Any) -> Tuple[np.ndarray, np.ndarray]:
        if hasattr(logits, "detach"):
            logits = logits.detach().cpu().numpy()
        logits = np.asarray(logits, dtype=np.float64)
        if logits.ndim != 2 or logits.shape[1] == 0:
            raise ValueError(f"expected logits of shape (batch, classes), got {logits.shape}")
        top = logits.max(axis=1, keepdims=True)
        lse = top + np.log(np.exp(logits - top).sum(axis=1, keepdims=True))
        probs = np.exp(logits - lse)
        ranked = -np.sort(-probs, axis=1)
        second = ranked[:, 1] if probs.shape[1] > 1 else np.zeros(len(probs))
        entropy = -(probs * np.log(np.clip(probs, 1e-300, None))).sum(axis=1)
        S = np.stack([ranked[:, 0], ranked[:, 0] - second, entropy], axis=1)
        Z = np.stack([top[:, 0], lse[:, 0], logits.std(axis=1)], axis=1)
        return S.astype(np.float32), Z.astype(np.float32)
