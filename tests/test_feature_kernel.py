"""The native engineered-matrix kernel against the whole-array NumPy composition:
same dtype, shape, memory order and bits, and NumPy's own errors and warnings
wherever the kernel hands the work back."""

import itertools
import warnings
from collections import deque

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from tarvex.core import resmon

from helpers import compose

E = resmon.NeuralFeatureEngineer
FLAGS = list(itertools.product([False, True], repeat=3))


def assert_same(out, expected):
    assert type(out) is np.ndarray
    assert out.dtype == expected.dtype == np.float32
    assert out.shape == expected.shape
    assert out.strides == expected.strides
    np.testing.assert_array_equal(out.view(np.uint32), expected.view(np.uint32))


# Views of one float64 matrix: contiguous, Fortran, reversed, stepped,
# transposed and broadcast rows, before and after conversion to float32.
LAYOUTS = {
    "C": lambda a: a,
    "F": np.asfortranarray,
    "rows reversed": lambda a: a[::-1],
    "columns reversed": lambda a: a[:, ::-1],
    "columns stepped": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "rows stepped": lambda a: np.repeat(a, 2, axis=0)[::2],
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
    "broadcast rows": lambda a: np.broadcast_to(a[:1], a.shape),
}
DTYPES = [np.float32, np.float64, np.int32]
SHAPES = [(1, 1), (1, 16), (2, 2), (6, 1), (6, 2), (6, 3), (9, 5), (40, 32), (0, 4), (5, 0), (0, 0)]


def sample(shape, dtype, seed=0):
    rng = np.random.default_rng(seed)
    values = rng.normal(size=shape) * 4
    if values.size:
        values.flat[::7] = 0.0
    return values.astype(dtype)


@pytest.mark.parametrize("flags", FLAGS)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_bits_shape_and_order_match_the_composition(flags, layout):
    for shape, dtype in itertools.product(SHAPES, DTYPES):
        x = LAYOUTS[layout](sample(shape, dtype))
        fitted_on = sample((8, shape[1]), np.float32, seed=1)
        engineer = E(*flags).fit(fitted_on)
        for given in (x, np.asarray(x, dtype=np.float32)):
            assert_same(engineer.transform(given), compose(engineer, given))


SPECIAL = np.array(
    [0.0, -0.0, np.nan, -np.nan, np.inf, -np.inf, 1e-30, -1e-30, 3e19, -3e19, 1e38, 1.5, -2.5,
     np.float32(1.0e-45), np.finfo(np.float32).max],
    dtype=np.float32,
)
NAN_PAYLOADS = np.array([0x7FC00001, 0xFFC00002, 0x7F800003, 0xFFA00000], dtype=np.uint32).view(np.float32)


@pytest.mark.parametrize("flags", [(True, True, True), (False, True, False), (True, False, True)])
@pytest.mark.parametrize("d", [1, 2, 3, 17])
def test_special_values_match_bit_for_bit(flags, d):
    rng = np.random.default_rng(d)
    values = np.concatenate([SPECIAL, NAN_PAYLOADS])
    x = rng.choice(values, size=(40, d)).astype(np.float32)
    x[::3] = rng.normal(size=(len(x[::3]), d))
    engineer = E(*flags, mean_=rng.normal(size=d).astype(np.float32), scale_=np.full(d, 0.5, np.float32))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = engineer.transform(x)
        # Row by row too: special values alone on the single-row path.
        rows = [engineer.transform(x[i : i + 1]) for i in range(len(x))]
        assert_same(out, compose(engineer, x))
        for i, row in enumerate(rows):
            assert_same(row, compose(engineer, x[i : i + 1]))


@pytest.mark.parametrize("corrupt", [False, True])
def test_large_batches(corrupt):
    # Large enough for the arithmetic to run without the GIL.
    x = sample((2100, 32), np.float32, seed=5)
    if corrupt:
        x[1500, 7] = np.nan
    engineer = E().fit(sample((100, 32), np.float32, seed=6))
    assert_same(engineer.transform(x), compose(engineer, x))
    assert_same(engineer.transform(x.T.copy().T), compose(engineer, x.T.copy().T))


def test_signed_zeros_and_constant_columns():
    x = np.array([[0.0, -0.0, 5.0], [0.0, 1.0, 5.0], [-0.0, -1.0, 5.0]], dtype=np.float32)
    engineer = E().fit(x)  # columns 0 and 2 are constant: scale 1e-6
    zero_mean = E(mean_=np.zeros(3, np.float32), scale_=np.ones(3, np.float32))
    for e in (engineer, zero_mean):
        assert_same(e.transform(x), compose(e, x))
    out = zero_mean.transform(x)
    assert np.signbit(out[0, 1]) and not np.signbit(out[0, 3 + 1])  # -0 squared is +0
    assert not np.signbit(out[2, 6])  # sign(-0.0) is 0, so the log block holds +0


def unaligned(values):
    values = np.asarray(values, dtype=np.float32)
    raw = bytearray(values.nbytes + 1)
    out = np.frombuffer(raw, dtype=np.float32, offset=1, count=values.size).reshape(values.shape)
    out[...] = values
    assert not out.flags.aligned
    return out


def test_unaligned_and_strided_operands():
    x = sample((9, 5), np.float32)
    mean, scale = sample((5,), np.float32, seed=3), np.abs(sample((5,), np.float32, seed=4)) + 0.1
    engineers = [
        E(mean_=unaligned(mean), scale_=unaligned(scale)),
        E(mean_=mean[::-1].copy()[::-1], scale_=np.repeat(scale, 3)[::3]),
    ]
    for engineer, given in itertools.product(engineers, (x, unaligned(x))):
        assert_same(engineer.transform(given), compose(engineer, given))


def test_floating_point_errors_follow_numpy_error_state():
    engineer = E(mean_=np.zeros(3, np.float32), scale_=np.ones(3, np.float32))
    overflow = np.array([[3e19, 1.0, 2.0]], dtype=np.float32)
    inf_times_zero = np.array([[np.inf, 0.0, 2.0]], dtype=np.float32)
    for x in (overflow, inf_times_zero):
        with np.errstate(all="raise"):
            with pytest.raises(FloatingPointError) as kernel_error:
                engineer.transform(x)
            with pytest.raises(FloatingPointError) as numpy_error:
                compose(engineer, x)
        assert str(kernel_error.value) == str(numpy_error.value)
    divide = E(mean_=np.zeros(2, np.float32), scale_=np.array([0.0, 1.0], np.float32))
    with pytest.warns(RuntimeWarning, match="divide by zero"):
        out = divide.transform(np.ones((2, 2), np.float32))
    assert np.isinf(out[:, 0]).all()
    # Ordinary data raises nothing, not even an underflow.
    with np.errstate(all="raise"), warnings.catch_warnings():
        warnings.simplefilter("error")
        E().fit(sample((50, 8), np.float32)).transform(sample((50, 8), np.float32, seed=2))


class Sub(np.ndarray):
    pass


def raising_pairs(x):
    raise LookupError("composition used")


KERNEL_INPUTS = {
    "one row": (E, np.ones((1, 4))),
    "batch": (E, sample((30, 5), np.float64)),
    "Fortran, no pairs": (lambda: E(include_interactions=False), np.asfortranarray(sample((30, 5), np.float32))),
}
COMPOSED_INPUTS = {
    "NaN": (E, np.array([[np.nan, 1.0, 2.0]])),
    "inf": (E, np.array([[np.inf, 1.0, 2.0]])),
    "float64 statistics": (lambda: E(mean_=np.zeros(3), scale_=np.ones(3)), np.ones((2, 3))),
    "list statistics": (lambda: E(mean_=[0.0, 0.0, 0.0], scale_=np.ones(3, np.float32)), np.ones((2, 3))),
    "subclass statistics": (lambda: E(mean_=np.zeros(3, np.float32).view(Sub), scale_=np.ones(3, np.float32)),
                            np.ones((2, 3))),
}


@pytest.mark.parametrize("case", list(KERNEL_INPUTS) + list(COMPOSED_INPUTS))
def test_kernel_runs_exactly_where_it_can(case, monkeypatch):
    make, x = {**KERNEL_INPUTS, **COMPOSED_INPUTS}[case]
    engineer = make()
    if engineer.mean_ is None:
        engineer.fit(sample((10, x.shape[1]), np.float32))
    monkeypatch.setattr(resmon, "_pairwise_products", raising_pairs)
    if case in KERNEL_INPUTS:
        assert engineer.transform(x).shape[0] == x.shape[0]
    else:
        with pytest.raises(LookupError, match="composition used"):
            engineer.transform(x)


def outcome(transform, x):
    try:
        return transform(x)
    except Exception as error:  # the error itself is the outcome compared
        return type(error), str(error)


@pytest.mark.parametrize("flags", [(True, True, True), (False, False, False), (False, False, True)])
@pytest.mark.parametrize(
    "x",
    [[[1.0, "a", 2.0]], [[1.0], [2.0, 3.0]]],
    ids=["not numeric", "ragged"],
)
def test_other_inputs_get_numpys_result_or_error(flags, x):
    engineer = E(*flags).fit(np.ones((4, 3), np.float32))
    got, expected = outcome(engineer.transform, x), outcome(lambda v: compose(engineer, v), x)
    if isinstance(expected, np.ndarray):
        assert_same(got, expected)
    else:
        assert got == expected


class Flag:
    """A flag whose truth test is logged, and raises when its value is an exception type."""

    def __init__(self, name, value, log):
        self.name, self.value, self.log = name, value, log

    def __bool__(self):
        self.log.append(self.name)
        if isinstance(self.value, type):
            raise self.value(self.name)
        return self.value


def test_flags_read_once_in_order_and_errors_propagate():
    log = []
    engineer = E(Flag("square", True, log), Flag("logabs", ValueError, log), Flag("pairs", True, log))
    engineer.fit(np.ones((3, 2), np.float32))
    with pytest.raises(ValueError, match="logabs"):
        engineer.transform(np.ones((3, 2)))
    assert log == ["square", "logabs"]
    log.clear()
    engineer.include_logabs = Flag("logabs", False, log)
    assert engineer.transform(np.ones((3, 2))).shape == (3, 2 + 2 + 1)
    assert log == ["square", "logabs", "pairs"]


def test_no_leaks_on_any_exit():
    from leakcheck import assert_flat, raising

    engineer = E().fit(sample((20, 6), np.float32))
    x, corrupt = sample((3, 6), np.float32), np.full((2, 6), np.nan, np.float32)
    failing_flag = E(True, Flag("logabs", KeyError, deque(maxlen=1)), True, engineer.mean_, engineer.scale_)
    watch = [x, corrupt, engineer, engineer.mean_, engineer.scale_]
    assert_flat(lambda: engineer.transform(x), watch)
    assert_flat(lambda: engineer.transform(corrupt), watch)
    assert_flat(raising(lambda: failing_flag.transform(x), KeyError), watch)
    big = sample((400, 200), np.float32)
    assert_flat(lambda: E(mean_=np.zeros(200, np.float32), scale_=np.ones(200, np.float32), include_interactions=False)
                .transform(big), [big], iterations=200)


def test_pairwise_products_keeps_its_behaviour():
    x = sample((5, 4), np.float64)
    pairs = resmon._pairwise_products(x)
    expected = np.stack([x[:, i] * x[:, j] for i in range(4) for j in range(i + 1, 4)], axis=1).astype(np.float32)
    assert pairs.dtype == np.float32
    np.testing.assert_array_equal(pairs, expected)
    assert resmon._pairwise_products(np.ones((3, 1))).shape == (3, 0)


def test_scores_equal_those_with_the_composition(trained_monitor, training_data):
    S, Z = training_data
    native = trained_monitor.score_batch(S, Z)
    native_one = trained_monitor.score(S[0], Z[0])
    engineer = trained_monitor.s_engineer
    engineer.transform = lambda x: compose(engineer, x)
    try:
        composed = trained_monitor.score_batch(S, Z)
        composed_one = trained_monitor.score(S[0], Z[0])
    finally:
        del engineer.transform
    np.testing.assert_array_equal(native, composed)
    assert native_one == composed_one


finite_or_special = st.floats(width=32, allow_subnormal=True) | st.sampled_from([float(v) for v in NAN_PAYLOADS])


@settings(max_examples=150, deadline=None)
@given(
    x=hnp.arrays(np.float32, hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=7), elements=finite_or_special),
    flags=st.tuples(st.booleans(), st.booleans(), st.booleans()),
    layout=st.sampled_from(sorted(LAYOUTS)),
    stats_seed=st.integers(0, 2**16),
)
def test_property_matches_composition(x, flags, layout, stats_seed):
    rng = np.random.default_rng(stats_seed)
    d = x.shape[1]
    engineer = E(*flags, mean_=(rng.normal(size=d) * 3).astype(np.float32),
                 scale_=rng.uniform(1e-6, 5.0, size=d).astype(np.float32))
    view = LAYOUTS[layout](x)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_same(engineer.transform(view), compose(engineer, view))
