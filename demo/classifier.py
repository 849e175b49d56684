"""The monitored models and their data: scikit-learn's bundled 8x8 digit
images and breast-cancer measurements (both ship with scikit-learn: nothing is
downloaded), a small multilayer perceptron and a small convolutional network."""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import torch
import torch.nn as nn
import torch.nn.functional as F
from sklearn.datasets import load_breast_cancer, load_digits
from sklearn.model_selection import train_test_split


@dataclass
class Split:
    """Three disjoint parts of a data set, standardised with the training
    part's statistics (float32 rows, int64 labels): `train` fits the
    classifier and the monitor, `calib` sets the monitor's threshold, `test`
    is touched by nothing but the final scoring."""

    X_train: np.ndarray
    y_train: np.ndarray
    X_calib: np.ndarray
    y_calib: np.ndarray
    X_test: np.ndarray
    y_test: np.ndarray

    @property
    def n_classes(self) -> int:
        return int(max(self.y_train.max(), self.y_calib.max(), self.y_test.max())) + 1


def split_data(X: np.ndarray, y: np.ndarray, seed: int, calib_share: float, test_share: float,
               subset: int | None = None, scale_floor: float = 0.0) -> Split:
    """Keeps a stratified `subset` of the rows if given, then splits them,
    stratified by label, into ceil(test_share * n) test rows,
    ceil(calib_share * n) calibration rows and the rest for training.
    Each column is standardised with the training mean and standard deviation
    plus `scale_floor` (which keeps constant columns finite)."""
    X, y = np.asarray(X, dtype=np.float32), np.asarray(y, dtype=np.int64)
    if subset is not None and subset < len(y):
        X, _, y, _ = train_test_split(X, y, train_size=subset, stratify=y, random_state=seed)
    n = len(y)
    # (- 1e-9: 0.28 * 400 is 112.00000000000001 in floating point)
    n_test, n_calib = math.ceil(test_share * n - 1e-9), math.ceil(calib_share * n - 1e-9)
    X_rest, X_test, y_rest, y_test = train_test_split(X, y, test_size=n_test, stratify=y, random_state=seed)
    X_train, X_calib, y_train, y_calib = train_test_split(X_rest, y_rest, test_size=n_calib, stratify=y_rest,
                                                          random_state=seed)
    mean = X_train.mean(axis=0)
    scale = X_train.std(axis=0) + scale_floor
    if not (scale > 0).all():
        raise ValueError("a training column is constant; give a positive scale_floor")

    def standardise(part: np.ndarray) -> np.ndarray:
        return ((part - mean) / scale).astype(np.float32)

    return Split(standardise(X_train), y_train, standardise(X_calib), y_calib, standardise(X_test), y_test)


def digits_split(seed: int = 0, subset: int | None = None) -> Split:
    """1,797 images of 64 pixels: 897 training, 504 calibration, 396 test.
    +1 on the pixel scales: some border pixels are always 0."""
    data = load_digits()
    return split_data(data.data, data.target, seed, calib_share=0.28, test_share=0.22, subset=subset,
                      scale_floor=1.0)


def cancer_split(seed: int = 0, subset: int | None = None) -> Split:
    """569 tumours of 30 measurements, 2 classes: 252 training, 200
    calibration, 117 test."""
    data = load_breast_cancer()
    return split_data(data.data, data.target, seed, calib_share=0.35, test_share=0.205, subset=subset)


class MLPClassifier(nn.Module):
    """inputs -> hidden1 -> ReLU -> hidden2 -> ReLU -> out (the logits)."""

    def __init__(self, n_inputs: int = 64, hidden: tuple[int, int] = (16, 32), n_classes: int = 10) -> None:
        super().__init__()
        self.hidden1 = nn.Linear(n_inputs, hidden[0])
        self.hidden2 = nn.Linear(hidden[0], hidden[1])
        self.out = nn.Linear(hidden[1], n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        return self.out(F.relu(self.hidden2(F.relu(self.hidden1(x)))))


class DigitCNN(nn.Module):
    """64 pixels as one 8x8 image -> conv1 (4 channels) -> ReLU -> pool1
    (4x4x4 = 64 values) -> conv2 (16 channels) -> ReLU -> pool2 (16x2x2) -> out
    (the logits)."""

    def __init__(self, n_classes: int = 10) -> None:
        super().__init__()
        self.conv1 = nn.Conv2d(1, 4, kernel_size=3, padding=1)
        self.pool1 = nn.MaxPool2d(2)
        self.conv2 = nn.Conv2d(4, 16, kernel_size=3, padding=1)
        self.pool2 = nn.MaxPool2d(2)
        self.out = nn.Linear(16 * 2 * 2, n_classes)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        x = self.pool1(F.relu(self.conv1(x.reshape(-1, 1, 8, 8))))
        x = self.pool2(F.relu(self.conv2(x)))
        return self.out(x.flatten(1))


def train_classifier(model: nn.Module, X: np.ndarray, y: np.ndarray, epochs: int = 40, batch_size: int = 64,
                     lr: float = 3e-3, seed: int = 0) -> nn.Module:
    """Trains `model` with Adam and returns it in evaluation mode. The batch
    order comes from `seed`; the initial weights are the model's own (seed
    PyTorch before building it)."""
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
