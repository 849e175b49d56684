"""The native function objects: metadata, introspection, binding and the
argument conventions shared by every callable."""

import inspect
import pickle
import pydoc
import types

import pytest

from tarvex.core import resmon

E = resmon.NeuralFeatureEngineer
M = resmon.NeuralConditionalMonitor
H = resmon._ResidualHead

ALL_FUNCTIONS = {
    "_pairwise_products": (resmon._pairwise_products, "_pairwise_products"),
    "E.fit": (E.fit, "NeuralFeatureEngineer.fit"),
    "E.transform": (E.transform, "NeuralFeatureEngineer.transform"),
    "E.fit_transform": (E.fit_transform, "NeuralFeatureEngineer.fit_transform"),
    "E.to_dict": (E.to_dict, "NeuralFeatureEngineer.to_dict"),
    "E.from_dict": (E.from_dict, "NeuralFeatureEngineer.from_dict"),
    "H.__init__": (H.__init__, "_ResidualHead.__init__"),
    "H.forward": (H.forward, "_ResidualHead.forward"),
    "M.__init__": (M.__init__, "NeuralConditionalMonitor.__init__"),
    "M._resolve_device": (M._resolve_device, "NeuralConditionalMonitor._resolve_device"),
    "M.set_device": (M.set_device, "NeuralConditionalMonitor.set_device"),
    "M.fit": (M.fit, "NeuralConditionalMonitor.fit"),
    "M.score_batch": (M.score_batch, "NeuralConditionalMonitor.score_batch"),
    "M.score": (M.score, "NeuralConditionalMonitor.score"),
    "M.to_dict": (M.to_dict, "NeuralConditionalMonitor.to_dict"),
    "M.from_dict": (M.from_dict, "NeuralConditionalMonitor.from_dict"),
}


@pytest.mark.parametrize("key", ALL_FUNCTIONS)
def test_function_metadata(key):
    function, qualname = ALL_FUNCTIONS[key]
    assert function.__qualname__ == qualname
    assert function.__name__ == qualname.rsplit(".", 1)[-1]
    assert function.__module__ == "tarvex.core.resmon"
    assert all(isinstance(a, str) for a in function.__annotations__.values())
    assert qualname in repr(function)


@pytest.mark.parametrize(
    "function, expected",
    [
        (E.fit, "(self, x: 'np.ndarray') -> \"'NeuralFeatureEngineer'\""),
        (E.from_dict, "(d: 'Dict[str, Any]') -> \"'NeuralFeatureEngineer'\""),
        (E.to_dict, "(self) -> 'Dict[str, Any]'"),
        (resmon._pairwise_products, "(x: 'np.ndarray') -> 'np.ndarray'"),
        (H.__init__, "(self, input_dim: 'int', hidden: 'Tuple[int, ...]', z_dim: 'int', dropout: 'float')"),
        (H.forward, "(self, x: 'torch.Tensor') -> 'tuple[torch.Tensor, torch.Tensor]'"),
        (M._resolve_device, "(device: 'str') -> 'torch.device'"),
        (M.fit, "(self, S: 'np.ndarray', Z: 'np.ndarray')"),
        (M.score, "(self, s: 'np.ndarray', z: 'np.ndarray') -> 'float'"),
        (
            M,
            "(hidden: 'Tuple[int, ...]' = (64, 64), epochs: 'int' = 120, batch_size: 'int' = 64, "
            "lr: 'float' = 0.001, weight_decay: 'float' = 0.0001, dropout: 'float' = 0.05, "
            "tau_quantile: 'float' = 0.995, random_state: 'int' = 0, patience: 'int' = 20, "
            "device: 'str' = 'cpu')",
        ),
    ],
)
def test_signatures(function, expected):
    assert str(inspect.signature(function)) == expected


def test_bound_methods_are_ordinary_methods():
    engineer = E()
    bound = engineer.fit
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is engineer and bound.__func__ is E.fit
    assert str(inspect.signature(bound)) == "(x: 'np.ndarray') -> \"'NeuralFeatureEngineer'\""
    assert isinstance(inspect.getattr_static(E, "from_dict"), staticmethod)
    assert E().from_dict is E.from_dict


def test_defaults_and_annotations():
    assert M.__init__.__defaults__ == ((64, 64), 120, 64, 0.001, 0.0001, 0.05, 0.995, 0, 20, "cpu")
    assert H.__init__.__defaults__ is None
    assert M.score.__annotations__ == {"s": "np.ndarray", "z": "np.ndarray", "return": "float"}
    assert "return" not in M.fit.__annotations__


def test_function_dict_and_help():
    E.fit.custom = 1
    assert E.fit.__dict__["custom"] == 1
    del E.fit.custom
    text = pydoc.render_doc(M, renderer=pydoc.plaintext)
    assert "score_batch(self, S: 'np.ndarray', Z: 'np.ndarray') -> 'np.ndarray'" in text
    assert "Small neural conditional monitor:" in text


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: E().fit(), "NeuralFeatureEngineer.fit() missing 1 required positional argument: 'x'"),
        (lambda: E().fit(1, 2), "NeuralFeatureEngineer.fit() takes 2 positional arguments but 3 were given"),
        (lambda: E().fit(y=1), "NeuralFeatureEngineer.fit() got an unexpected keyword argument 'y'"),
        (lambda: E().fit(1, x=2), "NeuralFeatureEngineer.fit() got multiple values for argument 'x'"),
        (lambda: E.to_dict(), "NeuralFeatureEngineer.to_dict() missing 1 required positional argument: 'self'"),
        (
            lambda: H(),
            "_ResidualHead.__init__() missing 4 required positional arguments: "
            "'input_dim', 'hidden', 'z_dim', and 'dropout'",
        ),
        (lambda: M().score(1), "NeuralConditionalMonitor.score() missing 1 required positional argument: 'z'"),
        (
            lambda: M((1,), 1, 1, 1, 1, 1, 1, 1, 1, "cpu", 5),
            "NeuralConditionalMonitor.__init__() takes from 1 to 11 positional arguments but 12 were given",
        ),
        (lambda: resmon._pairwise_products(), "_pairwise_products() missing 1 required positional argument: 'x'"),
    ],
)
def test_binding_errors_match_python_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


class StrSub(str):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


@pytest.mark.parametrize(
    "call, name, expected, got",
    [
        (lambda: M(epochs="10"), "epochs", "int", "str"),
        (lambda: M(patience=None), "patience", "int", "NoneType"),
        (lambda: M(hidden=[64, 64]), "hidden", "tuple", "list"),
        (lambda: M(hidden=TupleSub((1,))), "hidden", "tuple", "TupleSub"),
        (lambda: M(device=None), "device", "str", "NoneType"),
        (lambda: M(device=StrSub("cpu")), "device", "str", "StrSub"),
        (lambda: M.from_dict(None), "d", "dict", "NoneType"),
        (lambda: M.from_dict(DictSub()), "d", "dict", "DictSub"),
        (lambda: E.from_dict([]), "d", "dict", "list"),
        (lambda: E.from_dict(DictSub()), "d", "dict", "DictSub"),
        (lambda: M._resolve_device(b"cpu"), "device", "str", "bytes"),
        (lambda: M().set_device(0), "device", "str", "int"),
        (lambda: H("3", (4,), 2, 0.0), "input_dim", "int", "str"),
        (lambda: H(3, None, 2, 0.0), "hidden", "tuple", "NoneType"),
    ],
)
def test_argument_type_errors(call, name, expected, got):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == f"Argument '{name}' has incorrect type (expected {expected}, got {got})"
    subclass = got.endswith("Sub")
    assert bool(getattr(info.value, "__notes__", None)) == subclass


def test_conversions_run_before_type_tests():
    # Both are wrong: the numeric conversion of epochs is reported first.
    with pytest.raises(TypeError, match="'epochs'"):
        M(hidden=[1], epochs="x")
    # float conversion failures are the host's own errors.
    with pytest.raises(TypeError, match="must be real number"):
        M(lr="0.1")
    with pytest.raises(ValueError):
        M(epochs=float("nan"))
    with pytest.raises(OverflowError):
        M(epochs=float("inf"))


def test_reassigned_metadata_is_used_and_unencodable_names_fail_cleanly():
    def make():
        return resmon.NeuralFeatureEngineer.fit

    fit = make()
    original = fit.__qualname__
    try:
        fit.__qualname__ = "Renamed.fit"
        with pytest.raises(TypeError, match=r"^Renamed\.fit\(\) missing"):
            E().fit()
        fit.__qualname__ = "bad\udc80"
        with pytest.raises(UnicodeEncodeError):
            E().fit()
        with pytest.raises(TypeError):
            fit.__name__ = 3
    finally:
        fit.__qualname__ = original
    assert E.fit.__qualname__ == "NeuralFeatureEngineer.fit"


@pytest.mark.parametrize("protocol", [2, pickle.HIGHEST_PROTOCOL])
@pytest.mark.parametrize(
    "function", [resmon._pairwise_products, resmon.NeuralConditionalMonitor.from_dict, resmon.NeuralConditionalMonitor.fit]
)
def test_functions_pickle_by_qualified_name(function, protocol):
    assert pickle.loads(pickle.dumps(function, protocol)) is function


def test_a_keyword_that_renames_the_function_cannot_free_its_name():
    function = resmon._pairwise_products
    original = function.__qualname__

    class Renaming(str):
        def __str__(self):
            function.__qualname__ = "renamed_" + "x" * 64
            return "bogus"

    try:
        with pytest.raises(TypeError, match=r"^_pairwise_products\(\) got an unexpected keyword argument 'bogus'$"):
            function(**{Renaming("bogus"): 1})
    finally:
        function.__qualname__ = original
