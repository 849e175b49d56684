"""Class-conditional Mahalanobis detector over NumPy feature matrices."""

from __future__ import annotations

from typing import Any, Dict

import numpy as np


class ConditionalMahalanobis:
    """One mean per class and a shared (pooled) covariance; a feature vector's
    score is its squared Mahalanobis distance to the mean of its class."""

    def __init__(self, reg: float = 1e-6) -> None:
        self.reg = float(reg)  # added to the covariance diagonal before inverting
        self.classes_: np.ndarray | None = None  # (k,) sorted class labels
        self.means_: np.ndarray | None = None  # (k, d)
        self.inv_cov_: np.ndarray | None = None  # (d, d)

    @property
    def is_fit(self) -> bool:
        return self.means_ is not None

    def fit(self, X: Any, y: Any) -> "ConditionalMahalanobis":
        X = _as_matrix(X)
        y = np.asarray(y)
        if y.shape != (X.shape[0],) or X.shape[0] == 0:
            raise ValueError(f"need one label per row and at least one row (X {X.shape}, y {y.shape})")
        classes, index = np.unique(y, return_inverse=True)
        means = np.stack([X[index == k].mean(axis=0) for k in range(len(classes))])
        centred = X - means[index]
        dof = max(X.shape[0] - len(classes), 1)
        cov = centred.T @ centred / dof + self.reg * np.eye(X.shape[1])
        self.classes_, self.means_ = classes, means
        self.inv_cov_ = np.linalg.pinv(cov, hermitian=True)
        return self

    def score(self, X: Any, y: Any) -> np.ndarray:
        """Squared Mahalanobis distance of each row to the mean of its class;
        +inf for a row whose distance is undefined (NaN or inf features)."""
        if self.classes_ is None or self.means_ is None or self.inv_cov_ is None:
            raise RuntimeError("ConditionalMahalanobis is not fit")
        X = _as_matrix(X)
        y = np.asarray(y)
        if y.shape != (X.shape[0],):
            raise ValueError(f"need one label per row (X {X.shape}, y {y.shape})")
        if X.shape[1] != self.means_.shape[1]:
            raise ValueError(f"expected {self.means_.shape[1]} features, got {X.shape[1]}")
        index = np.searchsorted(self.classes_, y)
        known = (index < len(self.classes_)) & (self.classes_[np.minimum(index, len(self.classes_) - 1)] == y)
        if not np.all(known):
            raise ValueError(f"unknown class labels: {np.unique(y[~known]).tolist()}")
        diff = X - self.means_[index]
        scores = np.einsum("ij,jk,ik->i", diff, self.inv_cov_, diff)
        # A NaN or inf feature makes the distance NaN (inf - inf, 0 * inf), and
        # NaN compares false with every threshold. Such a vector is as far from
        # the class as a vector can be: it scores +inf, so any threshold flags it.
        return np.where(np.isnan(scores), np.inf, scores)

    def to_dict(self) -> Dict[str, Any]:
        d: Dict[str, Any] = {"reg": self.reg}
        if self.classes_ is not None and self.means_ is not None and self.inv_cov_ is not None:
            d["classes"] = self.classes_.tolist()
            d["means"] = self.means_.tolist()
            d["inv_cov"] = self.inv_cov_.tolist()
        return d

    @classmethod
    def from_dict(cls, d: Dict[str, Any]) -> "ConditionalMahalanobis":
        """Rebuilds a detector from `to_dict`'s form: unfitted without the
        fitted keys, fitted with all three. Raises ValueError for a partial or
        inconsistently shaped set, duplicate class labels, or an inv_cov that
        is not finite and positive definite with eigenvalues in float32's
        normal range (with which the detector could never flag anything)."""
        detector = cls(reg=d.get("reg", 1e-6))
        fitted = [key for key in ("classes", "means", "inv_cov") if key in d]
        if not fitted:
            return detector
        if len(fitted) != 3:
            raise ValueError("a fitted detector needs 'classes', 'means' and 'inv_cov' together")
        classes = np.asarray(d["classes"])
        means = _as_matrix(d["means"])
        inv_cov = _as_matrix(d["inv_cov"])
        k, dim = means.shape
        if classes.shape != (k,) or inv_cov.shape != (dim, dim):
            raise ValueError(
                f"inconsistent detector shapes: classes {classes.shape}, means {means.shape}, inv_cov {inv_cov.shape}"
            )
        labels, counts = np.unique(classes, return_counts=True)
        if np.any(counts > 1):
            raise ValueError(f"duplicate class labels: {labels[counts > 1].tolist()}")
        problem = _inverse_covariance_problem(inv_cov)
        if problem is not None:
            raise ValueError(problem)
        order = np.argsort(classes, kind="stable")
        detector.classes_, detector.means_, detector.inv_cov_ = classes[order], means[order], inv_cov
        return detector


_FLOAT32 = np.finfo(np.float32)


def _inverse_covariance_problem(inv_cov: np.ndarray) -> str | None:
    """What keeps `inv_cov` from measuring distances, or None. A score is a
    quadratic form, which sees only the symmetric part: it must be positive
    definite, or some points score zero or less however far they are, and its
    eigenvalues must lie in float32's normal range, or every distance of
    float32 features shrinks to nothing."""
    if not np.all(np.isfinite(inv_cov)):
        return "inv_cov must be a finite positive-definite matrix"
    if inv_cov.size == 0:
        return None
    try:
        eigenvalues = np.linalg.eigvalsh(inv_cov * 0.5 + inv_cov.T * 0.5)
    except np.linalg.LinAlgError:
        return "inv_cov must be a finite positive-definite matrix"
    smallest, largest = float(eigenvalues[0]), float(eigenvalues[-1])
    if not smallest > 0:
        return "inv_cov must be a finite positive-definite matrix"
    if smallest < _FLOAT32.tiny or not largest <= _FLOAT32.max:
        return (
            f"the eigenvalues of inv_cov must lie within float32's normal range [{_FLOAT32.tiny:.8g}, "
            f"{_FLOAT32.max:.8g}]; got {smallest:.8g} to {largest:.8g}"
        )
    return None


def _as_matrix(X: Any) -> np.ndarray:
    X = np.asarray(X, dtype=np.float64)
    assert isinstance(X, np.ndarray)
    if X.ndim != 2:
        raise ValueError(f"expected a two-dimensional array, got shape {X.shape}")
    return X
