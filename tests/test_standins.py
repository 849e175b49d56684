import json
import os

import numpy as np
import pytest
import torch

from tarvex.core import _model_utils
from tarvex.core.detector import ConditionalMahalanobis
from tarvex.core.extractors.classification import ClassificationExtractor
from tarvex.core.integrity_monitor import IntegrityMonitor, ScoreResult
from tarvex.core.serialization import load_json, save_json


@pytest.mark.parametrize("bad", [{"x": object()}, {"x": float("nan")}])
def test_save_json_replaces_atomically_and_cleans_up_on_failure(bad, tmp_path):
    path = tmp_path / "a.json"
    save_json({"format": "x", "n": [1, 2]}, path)
    assert load_json(str(path)) == {"format": "x", "n": [1, 2]}
    with pytest.raises((TypeError, ValueError)):
        save_json(bad, path)
    assert json.loads(path.read_text()) == {"format": "x", "n": [1, 2]} and os.listdir(tmp_path) == ["a.json"]


def test_detector_scores_squared_mahalanobis_and_round_trips(tmp_path):
    rng = np.random.default_rng(0)
    X, y = rng.normal(size=(60, 3)), np.repeat([2, 7], 30)
    X[y == 7] += 5.0
    det = ConditionalMahalanobis(reg=0.0).fit(X, y)
    centred = np.concatenate([X[y == c] - X[y == c].mean(axis=0) for c in (2, 7)])
    inv = np.linalg.inv(centred.T @ centred / (60 - 2))
    diff = X[:2] - X[y == 2].mean(axis=0)
    np.testing.assert_allclose(det.score(X[:2], [2, 2]), np.einsum("ij,jk,ik->i", diff, inv, diff))
    save_json(det.to_dict(), tmp_path / "d.json")
    np.testing.assert_allclose(ConditionalMahalanobis.from_dict(load_json(tmp_path / "d.json")).score(X, y),
                               det.score(X, y))
    with pytest.raises(ValueError, match="unknown class labels: \\[3\\]"):
        det.score(X[:1], [3])
    with pytest.raises(RuntimeError, match="not fit"):
        ConditionalMahalanobis.from_dict({}).score(X, y)


@pytest.mark.parametrize("classes", [1, 2, 10])
def test_extractor_width_does_not_depend_on_the_class_count(classes):
    model = torch.nn.Linear(4, classes)
    S, Z = ClassificationExtractor(model)(torch.randn(5, 4))
    assert S.shape == Z.shape == (5, 3) and S.dtype == np.float32
    max_prob, margin, entropy = S.T
    assert np.all((max_prob >= 1.0 / classes - 1e-6) & (margin >= 0) & (margin <= max_prob))
    assert np.all(entropy <= np.log(classes) + 1e-5)


def test_monitor_instrumentor_and_model_utils():
    model = torch.nn.Sequential(torch.nn.Linear(2, 2))
    assert IntegrityMonitor(object(), 3).instrumentor is None
    monitor = IntegrityMonitor(model, 3.0, extractor="e", detector_kind="v1")
    monitor.instrumentor.selected = ["missing"]
    with pytest.raises(KeyError, match="no submodule named"):
        monitor.instrumentor.enable_selected_hooks()
    with pytest.raises(LookupError):
        _model_utils.example_tensor(model)
    _model_utils.set_primary_input(model, torch.ones(1, 2))
    moved = _model_utils.to_device({"x": [_model_utils.example_tensor(model)], "n": 1}, "cpu")
    assert moved["n"] == 1 and _model_utils.forward(model, moved["x"][0]).shape == (1, 2)
    monitor.det_infer = ConditionalMahalanobis().fit([[0.0], [2.0]], [0, 0])
    assert monitor.score([2.0], 0, threshold=0.5) == ScoreResult(score=pytest.approx(0.5, rel=1e-4), threshold=0.5)


@pytest.mark.parametrize("z", [[float("nan"), 0.0], [float("inf"), 0.0], [float("inf"), float("-inf")]])
def test_non_finite_features_score_inf_and_are_flagged(z):
    monitor = IntegrityMonitor(object(), 2)
    monitor.det_infer = ConditionalMahalanobis().fit([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0], [3.0, 1.0]], [0, 0, 1, 1])
    result = monitor.score(z, 1, threshold=1e6)
    assert result.score == float("inf") and result.flagged
