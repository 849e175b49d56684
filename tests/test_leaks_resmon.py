"""Leak loops over every callable of tarvex.core.resmon, on success and on
each error path."""

import numpy as np
import pytest
import torch

from tarvex.core import resmon

from helpers import linear_pairs
from leakcheck import assert_flat, raising

M = resmon.NeuralConditionalMonitor
E = resmon.NeuralFeatureEngineer
H = resmon._ResidualHead

S, Z = linear_pairs(32)
S_ENG_INPUT = np.random.default_rng(0).normal(size=(8, 4)).astype(np.float32)
ENGINEER = E().fit(S)


@pytest.fixture(scope="module")
def monitor():
    m = M(hidden=(8,), epochs=2, batch_size=16)
    m.fit(S, Z)
    return m


@pytest.fixture(scope="module")
def saved(monitor):
    return monitor.to_dict()


def engineer_cases():
    return {
        "pairwise": (lambda: resmon._pairwise_products(S_ENG_INPUT), [S_ENG_INPUT]),
        "pairwise-1d": (raising(lambda: resmon._pairwise_products(S_ENG_INPUT[0]), IndexError), [S_ENG_INPUT]),
        "construct": (lambda: E(True, False, 1), []),
        "fit": (lambda: E().fit(S), [S]),
        "transform": (lambda: ENGINEER.transform(S), [S, ENGINEER, ENGINEER.mean_, ENGINEER.scale_]),
        "transform-general": (lambda: ENGINEER.transform(S.astype(np.float64)[:, :4].T.copy().T), [ENGINEER]),
        "transform-unfit": (raising(lambda: E().transform(S), RuntimeError), [S]),
        "transform-width": (raising(lambda: ENGINEER.transform(S[:, :3]), ValueError), [ENGINEER]),
        "fit_transform": (lambda: E().fit_transform(S), [S]),
        "to_dict": (lambda: ENGINEER.to_dict(), [ENGINEER]),
        "from_dict": (lambda: E.from_dict({"mean": [0.0], "scale": [1.0]}), []),
        "from_dict-type": (raising(lambda: E.from_dict([1]), TypeError), []),
        "missing-arg": (raising(lambda: ENGINEER.fit(), TypeError), [ENGINEER]),
        "unexpected-kw": (raising(lambda: ENGINEER.fit(S, y=1), TypeError), [ENGINEER, S]),
        "multiple-values": (raising(lambda: ENGINEER.fit(S, x=S), TypeError), [ENGINEER, S]),
    }


@pytest.mark.parametrize("case", list(engineer_cases()))
def test_engineer_callables_do_not_leak(case):
    call, watch = engineer_cases()[case]
    assert_flat(call, watch)


HIDDEN = (4,)


def monitor_cases(monitor, saved):
    bad_saved = dict(saved, z_mean=[0.0])
    sub = type("Sub", (str,), {})("cpu")
    return {
        "construct": (lambda: M(HIDDEN, 3.5, True, 1, 0.1, 0.0, 0.9, 2, 3, "cpu"), [HIDDEN]),
        "construct-int-error": (raising(lambda: M(epochs="x"), TypeError), []),
        "construct-float-error": (raising(lambda: M(lr=None), TypeError), []),
        "construct-type-error": (raising(lambda: M(hidden=[1]), TypeError), []),
        "construct-subclass-note": (raising(lambda: M(device=sub), TypeError), [sub]),
        "construct-too-many": (raising(lambda: M(*range(11)), TypeError), []),
        "resolve": (lambda: M._resolve_device("cuda:0"), []),
        "set_device": (lambda: monitor.set_device("cpu"), [monitor, monitor._model]),
        "score": (lambda: monitor.score(S[0], Z[0]), [monitor, S, Z, monitor.inv_cov, monitor._model]),
        "score_batch": (lambda: monitor.score_batch(S, Z), [monitor, S, Z, monitor.z_mean, monitor.z_scale]),
        "score_batch-nan": (lambda: monitor.score_batch(S * np.nan, Z), [monitor, Z]),
        "score-untrained": (raising(lambda: M().score_batch(S, Z), RuntimeError), [S, Z]),
        "score-width": (raising(lambda: monitor.score_batch(S[:, :2], Z), ValueError), [monitor, S, Z]),
        "to_dict": (lambda: monitor.to_dict(), [monitor, monitor._model]),
        "to_dict-untrained": (raising(lambda: M().to_dict(), RuntimeError), []),
        "from_dict": (lambda: M.from_dict(saved), [saved]),
        "from_dict-missing": (raising(lambda: M.from_dict({"tau": 1.0}), KeyError), []),
        "from_dict-inconsistent": (raising(lambda: M.from_dict(bad_saved), ValueError), [bad_saved]),
        "from_dict-type": (raising(lambda: M.from_dict(None), TypeError), []),
        "head": (lambda: H(3, HIDDEN, 2, 0.5), [HIDDEN]),
        "head-forward": (lambda: monitor._model(torch.zeros(2, monitor.input_dim)), [monitor._model]),
        "head-error": (raising(lambda: H(3, None, 2, 0.5), TypeError), []),
    }


@pytest.mark.parametrize(
    "case",
    [
        "construct", "construct-int-error", "construct-float-error", "construct-type-error",
        "construct-subclass-note", "construct-too-many", "resolve", "set_device", "score", "score_batch",
        "score_batch-nan", "score-untrained", "score-width", "to_dict", "to_dict-untrained", "from_dict",
        "from_dict-missing", "from_dict-inconsistent", "from_dict-type", "head", "head-forward", "head-error",
    ],
)
def test_monitor_callables_do_not_leak(monitor, saved, case):
    call, watch = monitor_cases(monitor, saved)[case]
    slow = case.startswith(("from_dict", "to_dict", "head", "construct"))
    assert_flat(call, watch, iterations=200 if slow else 2000, bytes_per_call=64 if slow else 8,
                noise_bytes=32768 if slow else 16384)


def test_fit_does_not_leak():
    m = M(hidden=(4,), epochs=1, batch_size=32)
    assert_flat(lambda: m.fit(S, Z), [m, S, Z], iterations=40, bytes_per_call=256, noise_bytes=32768)
    assert_flat(raising(lambda: M(epochs=0).fit(S, Z), RuntimeError), [S, Z], iterations=40, bytes_per_call=256, noise_bytes=32768)


def test_the_leak_check_catches_one_reference_per_call():
    import ctypes

    held = object()
    with pytest.raises(AssertionError, match="reference counts moved"):
        assert_flat(lambda: ctypes.pythonapi.Py_IncRef(ctypes.py_object(held)), [held], iterations=50)
    kept = []
    with pytest.raises(AssertionError, match="memory grew"):
        assert_flat(lambda: kept.append(float(len(kept)) + 0.5), iterations=2000)
