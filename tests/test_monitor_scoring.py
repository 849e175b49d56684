"""Scoring on monitors whose trained attributes are set by hand."""

import numpy as np
import pytest
import torch

from tarvex.core import resmon

from helpers import hand_made_monitor

M = resmon.NeuralConditionalMonitor


def direct_scores(m, S, Z):
    S_eng = m.s_engineer.transform(S)
    Z_norm = ((np.asarray(Z, np.float32) - m.z_mean) / m.z_scale).astype(np.float32)
    with torch.no_grad():
        mu = m._model(torch.from_numpy(S_eng))[0].numpy()
    r = Z_norm - mu
    return np.array([row @ m.inv_cov @ row for row in r])


@pytest.fixture
def monitor():
    return hand_made_monitor()


@pytest.fixture
def data():
    rng = np.random.default_rng(5)
    return rng.normal(size=(6, 3)), rng.normal(size=(6, 2))


def test_score_batch_matches_direct_computation(monitor, data):
    S, Z = data
    scores = monitor.score_batch(S, Z)
    assert scores.dtype == np.float64 and scores.shape == (6,)
    np.testing.assert_allclose(scores, direct_scores(monitor, S, Z), rtol=1e-5)
    assert monitor.tau is None  # scoring works without a threshold


def test_rows_are_scored_independently(monitor, data):
    S, Z = data
    full = monitor.score_batch(S, Z)
    for i in range(len(S)):
        np.testing.assert_allclose(monitor.score_batch(S[i : i + 1], Z[i : i + 1])[0], full[i], rtol=1e-6)


def test_zero_residual_scores_zero(monitor, data):
    S, _ = data
    with torch.no_grad():
        mu = monitor._model(torch.from_numpy(monitor.s_engineer.transform(S)))[0].numpy()
    Z = mu * monitor.z_scale + monitor.z_mean
    np.testing.assert_allclose(monitor.score_batch(S, Z), 0.0, atol=1e-8)


@pytest.mark.parametrize("shape", [(3,), (1, 3), (3, 1)])
def test_score_flattens_single_inputs(monitor, data, shape):
    S, Z = data
    value = monitor.score(S[0].reshape(shape), Z[0].reshape(1, 2))
    assert type(value) is float
    assert value == monitor.score_batch(S[:1], Z[:1])[0]
    assert value == monitor.score(S[0].tolist(), Z[0])


@pytest.mark.parametrize("missing", ["_model", "z_mean", "z_scale", "inv_cov"])
def test_untrained_monitor_refuses(monitor, missing):
    setattr(monitor, missing, None)
    with pytest.raises(RuntimeError, match="^Detector not fit/loaded$"):
        monitor.score_batch(object(), object())
    with pytest.raises(RuntimeError, match="^Detector not fit/loaded$"):
        monitor.score([1, 2, 3], [1, 2])
    with pytest.raises(ValueError):  # score converts its inputs first
        monitor.score(["x"], [1, 2])


@pytest.mark.parametrize(
    "corrupt", [("S", np.nan), ("S", np.inf), ("Z", np.nan), ("Z", -np.inf)], ids=["S-nan", "S-inf", "Z-nan", "Z-inf"]
)
def test_corrupted_rows_score_infinite(monitor, data, corrupt):
    S, Z = (a.copy() for a in data)
    where, value = corrupt
    (S if where == "S" else Z)[2, 0] = value
    scores = monitor.score_batch(S, Z)
    clean = monitor.score_batch(*data)
    assert scores[2] == np.inf
    np.testing.assert_array_equal(np.delete(scores, 2), np.delete(clean, 2))
    assert (monitor.score(S[2], Z[2]) > 1e300) and not np.isnan(monitor.score(S[2], Z[2]))


@pytest.mark.parametrize("dims_stored", [False, True], ids=["by statistics", "by s_dim/z_dim"])
@pytest.mark.parametrize(
    "S_shape, Z_shape, message",
    [
        ((4, 5), (4, 2), r"^S must have shape \(n, 3\); got \(4, 5\)$"),
        ((4, 3), (4, 7), r"^Z must have shape \(n, 2\); got \(4, 7\)$"),
        ((4, 3), (5, 2), r"^S and Z must have the same number of rows; got S of shape \(4, 3\) and Z of shape \(5, 2\)$"),
        # shapes that NumPy would broadcast into a result
        ((50, 3), (1, 2), "same number of rows"),
        ((1, 3), (50, 2), "same number of rows"),
        ((6, 1), (6, 2), r"S must have shape \(n, 3\)"),
        ((6, 3), (6, 1), r"Z must have shape \(n, 2\)"),
        ((6,), (6, 2), "S must be a 2-D array"),
    ],
)
def test_shapes_that_do_not_pair_are_refused(monitor, dims_stored, S_shape, Z_shape, message):
    if dims_stored:
        monitor.s_dim, monitor.z_dim = 3, 2
    with pytest.raises(ValueError, match=message):
        monitor.score_batch(np.ones(S_shape), np.ones(Z_shape))


def test_single_inputs_must_have_the_trained_widths(monitor):
    with pytest.raises(ValueError, match=r"S must have shape \(n, 3\); got \(1, 1\)"):
        monitor.score(0.5, 0.5)
    with pytest.raises(ValueError, match=r"Z must have shape \(n, 2\); got \(1, 3\)"):
        monitor.score([1, 2, 3], [1, 2, 3])


def test_network_must_return_a_pair(monitor, data):
    monitor._model = lambda x: (x,)
    with pytest.raises(ValueError, match="unpack"):
        monitor.score_batch(*data)



@pytest.mark.parametrize(
    "call, name",
    [
        (lambda m, S, Z: m.score_batch(S + 0j, Z), "S"),
        (lambda m, S, Z: m.score_batch(S, (Z + 1j).tolist()), "Z"),
        (lambda m, S, Z: m.score(S[0], Z[0] + 1j), "z"),
        (lambda m, S, Z: m.score(complex(1, 2), Z[0]), "s"),
        (lambda m, S, Z: m.s_engineer.transform(S.astype(np.complex64)), "x"),
        (lambda m, S, Z: resmon.NeuralFeatureEngineer().fit(S + 1j), "x"),
        (lambda m, S, Z: M(hidden=(4,), epochs=1).fit(S, torch.from_numpy(Z + 1j)), "Z"),
    ],
)
def test_complex_input_is_refused(monitor, data, call, name):
    # the float32 conversion would drop the imaginary part with only a warning
    with pytest.raises(TypeError, match=f"^{name} holds complex numbers"):
        call(monitor, *data)
