"""Property-based fuzzing of tarvex.core.resmon: every call either succeeds or
raises a Python exception, and failures leave objects as designed."""

import copy

import numpy as np
import pytest
import torch
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tarvex.core import resmon

from helpers import linear_pairs

M = resmon.NeuralConditionalMonitor
E = resmon.NeuralFeatureEngineer
# Fuzzed values overflow, lose imaginary parts and build empty layers on purpose.
pytestmark = pytest.mark.filterwarnings("ignore")
FUZZ = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])


class Hostile:
    """An object whose conversions all fail in unusual ways."""

    def __index__(self):
        raise ZeroDivisionError("index")

    def __float__(self):
        raise ArithmeticError("float")

    def __bool__(self):
        raise RuntimeError("bool")

    def __len__(self):
        return -1


class Number:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __float__(self):
        return float(self.value)


small_arrays = hnp.arrays(
    dtype=st.sampled_from([np.float32, np.float64, np.int64, np.int8, np.bool_, np.complex64, np.uint16]),
    shape=hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=5),
)
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**80), max_value=2**80),
    st.floats(allow_nan=True, allow_infinity=True), st.complex_numbers(), st.text(max_size=8),
    st.binary(max_size=8), st.just(Hostile()), st.integers(-5, 5).map(Number),
    st.sampled_from([np.float32(1.5), np.int64(3), np.nan, object(), str, ...]),
)
anything = st.recursive(
    st.one_of(scalars, small_arrays),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.tuples(inner, inner),
                            st.dictionaries(st.text(max_size=4), inner, max_size=4)),
    max_leaves=8,
)

PARAMETERS = ["hidden", "epochs", "batch_size", "lr", "weight_decay", "dropout", "tau_quantile",
              "random_state", "patience", "device"]


@FUZZ
@given(name=st.sampled_from(PARAMETERS), value=anything)
def test_constructor_accepts_or_raises(name, value):
    try:
        m = M(**{name: value})
    except Exception:
        return
    stored = getattr(m, name)
    if name in ("epochs", "batch_size", "random_state", "patience"):
        assert type(stored) is int
    elif name in ("lr", "weight_decay", "dropout", "tau_quantile"):
        assert type(stored) is float
    else:
        assert stored is value and type(value) in (tuple, str)


@FUZZ
@given(args=st.lists(anything, max_size=12), kwargs=st.dictionaries(st.sampled_from(PARAMETERS + ["x", "self"]), anything, max_size=3))
def test_arbitrary_calls_never_crash(args, kwargs):
    for function in (M, E.from_dict, M.from_dict, M._resolve_device, resmon._pairwise_products, resmon._ResidualHead):
        try:
            function(*args, **kwargs)
        except Exception:
            pass


FITTED = E().fit(np.random.default_rng(0).normal(size=(10, 3)))


@FUZZ
@given(x=st.one_of(small_arrays, anything))
def test_transform_accepts_or_raises_and_keeps_its_state(x):
    mean, scale = FITTED.mean_, FITTED.scale_
    try:
        out = FITTED.transform(x)
    except Exception:
        pass
    else:
        assert out.dtype == np.float32 and out.shape[1] == 3 * 3 + 3  # only the fitted width passes
    assert FITTED.mean_ is mean and FITTED.scale_ is scale


@FUZZ
@given(x=st.one_of(small_arrays, anything))
def test_pairwise_products_accepts_or_raises(x):
    try:
        out = resmon._pairwise_products(x)
    except Exception:
        return
    assert out.dtype == np.float32


@pytest.fixture(scope="module")
def trained():
    m = M(hidden=(8,), epochs=2, batch_size=16)
    m.fit(*linear_pairs(30))
    return m


@FUZZ
@given(s=st.one_of(small_arrays, anything), z=st.one_of(small_arrays, anything))
def test_scoring_accepts_or_raises_never_nan(trained, s, z):
    model = trained._model
    try:
        value = trained.score(s, z)
    except Exception:
        pass
    else:
        assert not np.isnan(value)
    try:
        scores = trained.score_batch(s, z)
    except Exception:
        pass
    else:
        assert scores.dtype == np.float64 and not np.isnan(scores).any()
    assert trained._model is model and trained.tau is not None


@pytest.fixture(scope="module")
def saved(trained):
    return trained.to_dict()


def mutate(d, data):
    """Deletes keys, replaces values by arbitrary objects, or reshapes nested lists."""
    for _ in range(data.draw(st.integers(1, 3))):
        path = [d]
        target = d
        while isinstance(target, dict) and target and data.draw(st.booleans()):
            key = data.draw(st.sampled_from(sorted(target, key=str)))
            path.append(key)
            if not isinstance(target[key], dict):
                break
            target = target[key]
        container = d
        for key in path[1:-1]:
            container = container[key]
        if len(path) == 1:
            key = data.draw(st.sampled_from(sorted(d)))
            container = d
        else:
            key = path[-1]
        action = data.draw(st.sampled_from(["delete", "replace", "wrap", "truncate"]))
        if action == "delete":
            container.pop(key, None)
        elif action == "replace":
            container[key] = data.draw(anything)
        elif action == "wrap":
            container[key] = [container.get(key)]
        elif isinstance(container.get(key), list):
            container[key] = container[key][: data.draw(st.integers(0, 2))]


@FUZZ
@given(data=st.data())
def test_from_dict_with_damaged_dictionaries(saved, data):
    d = copy.deepcopy(saved)
    mutate(d, data)
    try:
        m = M.from_dict(d)
    except Exception:
        return
    assert type(m) is M and not m._model.training
    try:
        scores = m.score_batch(np.zeros((2, 4)), np.zeros((2, 3)))
    except Exception:
        return
    assert scores.shape == (2,) and not np.isnan(scores).any()


@FUZZ
@given(
    dims=st.dictionaries(
        st.sampled_from(["s_dim", "z_dim", "input_dim", "hidden"]),
        st.one_of(st.integers(-(2**40), 2**40), st.lists(st.integers(-(2**31), 2**31), max_size=3)),
        min_size=1,
    )
)
def test_from_dict_with_wild_dimensions_fails_cleanly(saved, dims):
    d = dict(saved, **dims)
    try:
        M.from_dict(d)
    except Exception:
        pass


@FUZZ
@given(device=st.text(max_size=12))
def test_device_texts_resolve_or_raise(device):
    try:
        resolved = M._resolve_device(device)
    except Exception:
        return
    assert isinstance(resolved, torch.device)
