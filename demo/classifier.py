"""The monitored model: a small multilayer perceptron for scikit-learn's
bundled 8x8 digit images, and the data it is trained and tested on."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from sklearn.datasets import load_digits
from sklearn.model_selection import train_test_split


@dataclass
class DigitsSplit:
    """Standardised images (float32, one row of 64 pixels each) and labels
    (int64) of a training part and a disjoint held-out part."""

    X_train: np.ndarray
    y_train: np.ndarray
    X_test: np.ndarray
    y_test: np.ndarray


def load_split(seed: int = 0, subset: int | None = None, test_share: float = 0.25) -> DigitsSplit:
    """Loads the digits (they ship with scikit-learn: nothing is downloaded),
    keeps a stratified `subset` of them if given, and splits them stratified
    by label. Pixels are standardised with the training part's statistics."""
    data = load_digits()
    X = data.data.astype(np.float32)
    y = data.target.astype(np.int64)
    if subset is not None and subset < len(y):
        X, _, y, _ = train_test_split(X, y, train_size=subset, stratify=y, random_state=seed)
    X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=test_share, stratify=y, random_state=seed)
    mean = X_train.mean(axis=0)
    scale = X_train.std(axis=0) + 1.0  # +1: some border pixels are always 0
    return DigitsSplit(((X_train - mean) / scale).astype(np.float32), y_train,
                       ((X_test - mean) / scale).astype(np.float32), y_test)


class DigitClassifier(nn.Module):
    """pixels -> hidden1 -> ReLU -> hidden2 -> ReLU -> out (the logits)."""

    def __init__(self, n_inputs: int = 64, hidden: tuple[int, int] = (16, 32), n_classes: int = 10) -> None:
        super().__init__()
        self.hidden1 = nn.Linear(n_inputs, hidden[0])
        self.hidden2 = nn.Linear(hidden[0], hidden[1])
        self.out = nn.Linear(hidden[1], n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.out(F.relu(self.hidden2(F.relu(self.hidden1(x)))))


def train_classifier(X: np.ndarray, y: np.ndarray, epochs: int = 40, batch_size: int = 64,
                     lr: float = 3e-3, seed: int = 0, n_classes: int = 10) -> DigitClassifier:
    """Trains a fresh classifier with Adam and returns it in evaluation mode.
    The weights and the batch order come from `seed` alone (PyTorch's global
    generator is reseeded with it for the initial weights)."""
    torch.manual_seed(seed)
    model = DigitClassifier(n_inputs=X.shape[1], n_classes=n_classes)
    generator = torch.Generator().manual_seed(seed)
    optimiser = torch.optim.Adam(model.parameters(), lr=lr, weight_decay=1e-4)
    inputs, labels = torch.from_numpy(np.asarray(X, dtype=np.float32)), torch.from_numpy(np.asarray(y))
    model.train()
    for _ in range(epochs):
        order = torch.randperm(len(labels), generator=generator)
        for start in range(0, len(labels), batch_size):
            idx = order[start:start + batch_size]
            optimiser.zero_grad(set_to_none=True)
            F.cross_entropy(model(inputs[idx]), labels[idx]).backward()
            optimiser.step()
    model.eval()
    return model


def predict(model: nn.Module, X: np.ndarray) -> np.ndarray:
    with torch.no_grad():
        return model(torch.from_numpy(np.asarray(X, dtype=np.float32))).argmax(dim=1).numpy()


def accuracy(model: nn.Module, X: np.ndarray, y: np.ndarray) -> float:
    return float((predict(model, X) == y).mean())
