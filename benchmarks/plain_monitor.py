"""The plain composition: the monitor written directly in Python with the same
NumPy, PyTorch and scikit-learn calls, as a user of those libraries would
write it without the native module. The benchmark measures tarvex.core.resmon
against it and checks that both give the same bits."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Tuple

import numpy as np
import torch
from torch import nn


def _pairwise_products(x):
    feats = []
    for i in range(x.shape[1]):
        for j in range(i + 1, x.shape[1]):
            feats.append(x[:, i] * x[:, j])
    if not feats:
        return np.zeros((x.shape[0], 0), dtype=np.float32)
    return np.stack(feats, axis=1).astype(np.float32)


@dataclass
class PlainFeatureEngineer:
    include_square: bool = True
    include_logabs: bool = True
    include_interactions: bool = True
    mean_: np.ndarray | None = None
    scale_: np.ndarray | None = None

    def fit(self, x):
        x = np.asarray(x, dtype=np.float32)
        self.mean_ = x.mean(axis=0)
        self.scale_ = x.std(axis=0) + 1e-6
        return self

    def transform(self, x):
        if self.mean_ is None or self.scale_ is None:
            raise RuntimeError("Feature engineer not fit")
        x = np.asarray(x, dtype=np.float32)
        base = (x - self.mean_) / self.scale_
        parts = [base]
        if self.include_square:
            parts.append(base**2)
        if self.include_logabs:
            parts.append(np.sign(base) * np.log1p(np.abs(base)))
        if self.include_interactions:
            parts.append(_pairwise_products(base))
        return np.concatenate(parts, axis=1).astype(np.float32)

    def fit_transform(self, x):
        return self.fit(x).transform(x)

    def to_dict(self):
        return {
            "include_square": self.include_square,
            "include_logabs": self.include_logabs,
            "include_interactions": self.include_interactions,
            "mean": None if self.mean_ is None else self.mean_.tolist(),
            "scale": None if self.scale_ is None else self.scale_.tolist(),
        }

    @staticmethod
    def from_dict(d):
        engineer = PlainFeatureEngineer(
            include_square=bool(d.get("include_square", True)),
            include_logabs=bool(d.get("include_logabs", True)),
            include_interactions=bool(d.get("include_interactions", True)),
        )
        if d.get("mean") is not None:
            engineer.mean_ = np.asarray(d["mean"], dtype=np.float32)
        if d.get("scale") is not None:
            engineer.scale_ = np.asarray(d["scale"], dtype=np.float32)
        return engineer


class PlainResidualHead(nn.Module):
    def __init__(self, input_dim, hidden, z_dim, dropout):
        super().__init__()
        layers = []
        prev = input_dim
        for width in hidden:
            layers += [nn.Linear(prev, width), nn.ReLU()]
            if dropout > 0:
                layers.append(nn.Dropout(dropout))
            prev = width
        self.backbone = nn.Sequential(*layers)
        self.mu = nn.Linear(prev, z_dim)
        self.log_var = nn.Linear(prev, z_dim)

    def forward(self, x):
        h = self.backbone(x)
        return self.mu(h), torch.clamp(self.log_var(h), min=-4.0, max=4.0)


class PlainMonitor:
    def __init__(self, hidden: Tuple[int, ...] = (64, 64), epochs=120, batch_size=64, lr=1e-3, weight_decay=1e-4,
                 dropout=0.05, tau_quantile=0.995, random_state=0, patience=20, device="cpu"):
        self.hidden, self.epochs, self.batch_size = hidden, int(epochs), int(batch_size)
        self.lr, self.weight_decay, self.dropout = float(lr), float(weight_decay), float(dropout)
        self.tau_quantile, self.random_state, self.patience = float(tau_quantile), int(random_state), int(patience)
        self.device = device
        self.s_engineer = PlainFeatureEngineer()
        self._model = None
        self.z_mean = self.z_scale = self.inv_cov = self.tau = None
        self.s_dim = self.z_dim = self.input_dim = None
        self._torch_device = self._resolve_device(device)

    @staticmethod
    def _resolve_device(device):
        text = device.strip().lower()
        if text.startswith("cuda") and torch.cuda.is_available():
            return torch.device(device)
        return torch.device("cpu")

    def set_device(self, device):
        self.device = device
        self._torch_device = self._resolve_device(device)
        if self._model is not None:
            self._model.to(self._torch_device)
        return self

    def fit(self, S, Z):
        torch.manual_seed(self.random_state)
        np.random.seed(self.random_state)
        S = np.asarray(S, dtype=np.float32)
        Z = np.asarray(Z, dtype=np.float32)
        self.s_dim, self.z_dim = int(S.shape[1]), int(Z.shape[1])
        S_eng = self.s_engineer.fit_transform(S)
        self.input_dim = int(S_eng.shape[1])
        self.z_mean = Z.mean(axis=0).astype(np.float32)
        self.z_scale = (Z.std(axis=0) + 1e-6).astype(np.float32)
        Z_norm = ((Z - self.z_mean) / self.z_scale).astype(np.float32)

        model = PlainResidualHead(self.input_dim, self.hidden, self.z_dim, self.dropout).to(self._torch_device)
        optimizer = torch.optim.AdamW(model.parameters(), lr=self.lr, weight_decay=self.weight_decay)
        x_tensor = torch.from_numpy(S_eng).to(self._torch_device)
        z_tensor = torch.from_numpy(Z_norm).to(self._torch_device)

        best_state, best_loss, previous_threads = None, float("inf"), None
        should_limit_threads = self._torch_device.type == "cpu"
        if should_limit_threads:
            previous_threads = torch.get_num_threads()
            torch.set_num_threads(1)
        stagnant = 0
        try:
            for _ in range(self.epochs):
                permutation = torch.randperm(x_tensor.shape[0])
                epoch_loss, batches = 0.0, 0
                for start in range(0, x_tensor.shape[0], self.batch_size):
                    idx = permutation[start:start + self.batch_size]
                    xb, zb = x_tensor[idx], z_tensor[idx]
                    optimizer.zero_grad(set_to_none=True)
                    mu, log_var = model(xb)
                    loss = ((zb - mu) ** 2 * torch.exp(-log_var) + log_var).mean()
                    loss.backward()
                    torch.nn.utils.clip_grad_norm_(model.parameters(), max_norm=5.0)
                    optimizer.step()
                    epoch_loss += loss.item()
                    batches += 1
                mean_loss = epoch_loss / max(1, batches)
                if mean_loss + 1e-5 < best_loss:
                    best_loss, stagnant = mean_loss, 0
                    best_state = {k: v.detach().cpu().clone() for k, v in model.state_dict().items()}
                else:
                    stagnant += 1
                    if stagnant >= self.patience:
                        break
        finally:
            if should_limit_threads and previous_threads is not None:
                torch.set_num_threads(previous_threads)
        if best_state is None:
            raise RuntimeError("Neural monitor failed to train")
        model.load_state_dict(best_state)
        model.eval()
        self._model = model

        with torch.no_grad():
            mu_pred, _ = model(x_tensor)
        residuals = Z_norm - mu_pred.cpu().numpy()
        from sklearn.covariance import LedoitWolf

        cov = LedoitWolf().fit(residuals).covariance_
        self.inv_cov = np.linalg.inv(cov)
        scores = self.score_batch(S, Z)
        self.tau = float(np.quantile(scores, self.tau_quantile))
        return scores

    def score_batch(self, S, Z):
        if self._model is None or self.z_mean is None or self.z_scale is None or self.inv_cov is None:
            raise RuntimeError("Detector not fit/loaded")
        S_eng = self.s_engineer.transform(S)
        Z_norm = ((np.asarray(Z, dtype=np.float32) - self.z_mean) / self.z_scale).astype(np.float32)
        with torch.no_grad():
            x_tensor = torch.from_numpy(S_eng).to(self._torch_device)
            mu, _ = self._model(x_tensor)
            r = Z_norm - mu.cpu().numpy()
        scores = np.einsum("ni,ij,nj->n", r, self.inv_cov, r)
        return scores.astype(np.float64)

    def score(self, s, z):
        S = np.asarray(s, dtype=np.float32).reshape(1, -1)
        Z = np.asarray(z, dtype=np.float32).reshape(1, -1)
        return float(self.score_batch(S, Z)[0])

    def to_dict(self) -> Dict[str, Any]:
        if self._model is None or self.tau is None or self.z_mean is None or self.z_scale is None or self.inv_cov is None:
            raise RuntimeError("Detector not fit")
        return {
            "type": "neural_conditional_monitor_v1",
            "hidden": list(self.hidden),
            "epochs": int(self.epochs),
            "batch_size": int(self.batch_size),
            "lr": float(self.lr),
            "weight_decay": float(self.weight_decay),
            "dropout": float(self.dropout),
            "tau_quantile": float(self.tau_quantile),
            "random_state": int(self.random_state),
            "patience": int(self.patience),
            "device": "cpu",
            "tau": float(self.tau),
            "s_dim": int(self.s_dim),
            "z_dim": int(self.z_dim),
            "input_dim": int(self.input_dim),
            "s_engineer": self.s_engineer.to_dict(),
            "z_mean": self.z_mean.tolist(),
            "z_scale": self.z_scale.tolist(),
            "inv_cov": self.inv_cov.tolist(),
            "state_dict": {k: v.detach().cpu().numpy().tolist() for k, v in self._model.state_dict().items()},
        }

    @staticmethod
    def from_dict(d: Dict[str, Any]) -> "PlainMonitor":
        m = PlainMonitor(
            hidden=tuple(d.get("hidden", (64, 64))), epochs=int(d.get("epochs", 250)),
            batch_size=int(d.get("batch_size", 64)), lr=float(d.get("lr", 0.001)),
            weight_decay=float(d.get("weight_decay", 0.0001)), dropout=float(d.get("dropout", 0.05)),
            tau_quantile=float(d.get("tau_quantile", 0.995)), random_state=int(d.get("random_state", 0)),
            patience=int(d.get("patience", 20)), device=str(d.get("device", "cpu")),
        )
        m.tau = float(d["tau"])
        m.s_dim, m.z_dim, m.input_dim = int(d["s_dim"]), int(d["z_dim"]), int(d["input_dim"])
        m.s_engineer = PlainFeatureEngineer.from_dict(d["s_engineer"])
        m.z_mean = np.asarray(d["z_mean"], dtype=np.float32)
        m.z_scale = np.asarray(d["z_scale"], dtype=np.float32)
        inv_cov = d.get("inv_cov")
        m.inv_cov = np.asarray(inv_cov, dtype=np.float64) if inv_cov is not None else None
        model = PlainResidualHead(m.input_dim, m.hidden, m.z_dim, m.dropout).to(m._torch_device)
        state_dict = {}
        for key, value in d["state_dict"].items():
            state_dict[key] = torch.tensor(value, dtype=model.state_dict()[key].dtype)
        model.load_state_dict(state_dict)
        model.eval()
        m._model = model
        return m
