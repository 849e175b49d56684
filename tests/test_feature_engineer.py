"""NeuralFeatureEngineer and _pairwise_products against direct NumPy."""

import numpy as np
import pytest

from tarvex.core import resmon

from helpers import compose

E = resmon.NeuralFeatureEngineer


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


@pytest.mark.parametrize("d", [0, 1, 2, 3, 17])
@pytest.mark.parametrize("flags", [(True, True, True), (False, False, False), (True, False, True), (0, "yes", [])])
def test_transform_matches_numpy(d, flags):
    rng = np.random.default_rng(d)
    x = rng.normal(size=(7, d)) * 3
    engineer = E(*flags).fit(x)
    expected = compose(E(*map(bool, flags), engineer.mean_, engineer.scale_), x)
    out = engineer.transform(x)
    assert out.dtype == np.float32 and out.shape == expected.shape
    width = d + bool(flags[0]) * d + bool(flags[1]) * d + bool(flags[2]) * d * (d - 1) // 2
    assert out.shape == (7, width)
    np.testing.assert_array_equal(bits(out), bits(expected))


def test_interaction_column_order():
    x = np.array([[1.0, 2.0, 3.0], [-1.0, 0.5, 2.0]], dtype=np.float32)
    engineer = E(False, False, True, np.zeros(3, np.float32), np.ones(3, np.float32))
    out = engineer.transform(x)
    np.testing.assert_array_equal(out[:, 3:], np.stack([x[:, 0] * x[:, 1], x[:, 0] * x[:, 2], x[:, 1] * x[:, 2]], 1))


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.int8, np.float16])
def test_statistics_and_output_are_float32(dtype):
    x = (np.arange(24).reshape(6, 4) % 5).astype(dtype)
    engineer = E().fit(x)
    assert engineer.mean_.dtype == np.float32 and engineer.scale_.dtype == np.float32
    assert engineer.transform(x).dtype == np.float32
    x32 = x.astype(np.float32)
    np.testing.assert_array_equal(engineer.mean_, x32.mean(axis=0))
    np.testing.assert_array_equal(engineer.scale_, x32.std(axis=0) + 1e-6)


def test_constant_column_gets_tiny_scale_and_standardises_to_zero():
    x = np.column_stack([np.full(5, 7.0), np.arange(5.0)])
    engineer = E()
    assert engineer.fit(x) is engineer
    assert engineer.scale_[0] == np.float32(1e-6)
    assert np.all(engineer.transform(x)[:, 0] == 0)


def test_fit_transform_equals_fit_then_transform():
    x = np.random.default_rng(1).normal(size=(9, 4))
    a = E().fit_transform(x)
    b = E().fit(x).transform(x)
    np.testing.assert_array_equal(bits(a), bits(b))


@pytest.mark.parametrize("engineer", [E(), E.from_dict({}), E(mean_=np.zeros(2, np.float32))])
def test_transform_requires_both_statistics(engineer):
    with pytest.raises(RuntimeError, match="^Feature engineer not fit$"):
        engineer.transform("not even an array")
    assert engineer.scale_ is None


@pytest.mark.parametrize(
    "engineer, x, message",
    [
        (E().fit(np.ones((3, 4))), np.ones((3, 5)), r"^x must have shape \(n, 4\); got \(3, 5\)$"),
        (E().fit(np.ones((3, 4))), np.ones((3, 1)), r"got \(3, 1\)"),  # would broadcast
        (E(mean_=np.zeros(1, np.float32), scale_=np.ones(1, np.float32)), np.ones((2, 3)), r"\(n, 1\)"),
        (E().fit(np.ones((3, 4))), np.ones(4), r"^x must be a 2-D array .*got shape \(4,\)$"),
        (E().fit(np.ones((3, 4))), np.ones((2, 2, 4)), "2-D"),
        (E().fit(np.ones((3, 4))), [["a", "b", "c", "d"]], "could not convert"),
    ],
)
def test_shapes_that_would_broadcast_are_refused(engineer, x, message):
    mean = engineer.mean_
    with pytest.raises(ValueError, match=message):
        engineer.transform(x)
    assert engineer.mean_ is mean


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
def test_fit_refuses_a_column_whose_statistics_overflow():
    x = np.ones((2000, 3), np.float32)
    x[7, 1] = 1e30
    engineer = E()
    with pytest.raises(ValueError, match="^S column 1 is too large for float32 statistics"):
        engineer.fit(x)
    assert engineer.mean_ is None
    x[8, 2] = np.nan  # data that hold NaN keep NaN statistics, as before
    assert np.isnan(E().fit(x).mean_[2])


def test_dictionary_round_trip_is_exact():
    x = np.random.default_rng(2).normal(size=(11, 5)) * 1e3
    engineer = E(True, False, True).fit(x)
    d = engineer.to_dict()
    assert list(d) == ["include_square", "include_logabs", "include_interactions", "mean", "scale"]
    assert all(type(v) is float for v in d["mean"] + d["scale"])
    back = E.from_dict(d)
    assert (back.include_square, back.include_logabs, back.include_interactions) == (True, False, True)
    np.testing.assert_array_equal(bits(back.mean_), bits(engineer.mean_))
    np.testing.assert_array_equal(bits(back.scale_), bits(engineer.scale_))
    np.testing.assert_array_equal(bits(back.transform(x)), bits(engineer.transform(x)))


def test_unfitted_dictionary_and_flag_conversion():
    d = E(include_square=1, include_logabs=False).to_dict()
    assert d == {"include_square": 1, "include_logabs": False, "include_interactions": True, "mean": None, "scale": None}
    assert d["include_square"] is not True
    back = E.from_dict({"include_square": 0, "include_logabs": "no", "extra": 1})
    assert (back.include_square, back.include_logabs, back.include_interactions) == (False, True, True)
    assert back.mean_ is None and back.scale_ is None


def test_from_dict_builds_the_module_class_even_through_a_subclass():
    class Sub(E):
        pass

    assert type(Sub.from_dict({})) is E


@pytest.mark.parametrize("d", [0, 1])
def test_pairwise_products_with_fewer_than_two_columns(d):
    out = resmon._pairwise_products(np.ones((4, d)))
    assert out.shape == (4, 0) and out.dtype == np.float32


def test_pairwise_products_values_and_dtype():
    x = np.arange(12, dtype=np.int64).reshape(3, 4)
    out = resmon._pairwise_products(x)
    assert out.dtype == np.float32 and out.shape == (3, 6)
    assert out[2].tolist() == [8 * 9, 8 * 10, 8 * 11, 9 * 10, 9 * 11, 10 * 11]
    with pytest.raises(IndexError):
        resmon._pairwise_products(np.ones(3))
