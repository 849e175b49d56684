"""Import-time behaviour of tarvex.core.resmon: globals, identity, lifecycle."""

import dataclasses
import importlib
import sys
import textwrap
import typing

import numpy as np
import pytest
import torch

from tarvex.core import resmon

from helpers import SUBINTERPRETERS, run_python


def test_globals_in_binding_order():
    names = [n for n in vars(resmon) if not n.startswith("__")]
    assert names == [
        "dataclass", "Any", "Dict", "Iterable", "Tuple", "np", "torch", "nn",
        "_pairwise_products", "NeuralFeatureEngineer", "_ResidualHead", "NeuralConditionalMonitor",
    ]
    assert resmon.dataclass is dataclasses.dataclass
    assert resmon.Tuple is typing.Tuple and resmon.Iterable is typing.Iterable
    assert resmon.np is np and resmon.torch is torch and resmon.nn is torch.nn
    assert resmon.__doc__ is None


def test_classes_and_bases():
    assert resmon.NeuralFeatureEngineer.__bases__ == (object,)
    assert resmon.NeuralConditionalMonitor.__bases__ == (object,)
    assert resmon._ResidualHead.__bases__ == (torch.nn.Module,)
    assert resmon.NeuralConditionalMonitor.__doc__ == (
        "\n    Small neural conditional monitor:\n"
        "      engineered S -> predict mean/variance of Z -> score residual surprise.\n    "
    )
    assert [f.name for f in dataclasses.fields(resmon.NeuralFeatureEngineer)] == [
        "include_square", "include_logabs", "include_interactions", "mean_", "scale_",
    ]
    for cls in (resmon.NeuralFeatureEngineer, resmon._ResidualHead, resmon.NeuralConditionalMonitor):
        assert cls.__module__ == "tarvex.core.resmon"


def test_reimport_and_reload_give_the_same_module():
    engineer_class = resmon.NeuralFeatureEngineer
    assert importlib.reload(resmon) is resmon
    del sys.modules["tarvex.core.resmon"]
    try:
        again = importlib.import_module("tarvex.core.resmon")
    finally:
        sys.modules["tarvex.core.resmon"] = resmon
    assert again is resmon
    assert resmon.NeuralFeatureEngineer is engineer_class


def test_creating_the_module_again_returns_the_same_object():
    module_spec = importlib.util.find_spec("tarvex.core.resmon")
    assert module_spec.loader.create_module(module_spec) is resmon
    assert importlib.util.module_from_spec(module_spec) is resmon


def test_import_does_not_load_sklearn_or_siblings():
    result = run_python(
        """
        import sys
        import tarvex.core.resmon
        loaded = [m for m in sys.modules if m.startswith("sklearn") or m.startswith("tarvex.core.")]
        print(sorted(loaded))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "['tarvex.core.resmon']"


def test_failed_import_leaves_nothing_behind():
    result = run_python(
        """
        import sys
        sys.modules["torch"] = None          # makes `import torch` fail
        try:
            import tarvex.core.resmon
        except ImportError:
            print("first: failed")
        print("left:", "tarvex.core.resmon" in sys.modules)
        del sys.modules["torch"]
        import tarvex.core.resmon as r
        print("second:", hasattr(r, "NeuralConditionalMonitor"))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["first:", "failed", "left:", "False", "second:", "True"]


# Python 3.12 distinguishes isolated subinterpreters (its default) from
# legacy ones; both must reach the module's own refusal.
SUBINTERPRETER_KINDS = ["legacy", "isolated"] if sys.version_info >= (3, 12) else ["default"]


def run_with_subinterpreters(code):
    result = run_python(SUBINTERPRETERS + textwrap.dedent(code), timeout=60)
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("this Python has neither _interpreters nor _xxsubinterpreters")
    return result.stdout


@pytest.mark.parametrize("kind", SUBINTERPRETER_KINDS)
def test_second_interpreter_is_refused(kind):
    output = run_with_subinterpreters(
        f"""
        import tarvex.core.resmon
        if interpreters is None:
            print("unavailable"); raise SystemExit
        print(run_in(new_interpreter(legacy={kind == "legacy"}), "import tarvex.core.resmon"))
        """
    )
    assert output.strip() == (
        "ImportError: Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


LEGACY_FIRST_IMPORT_CRASHES = pytest.mark.skipif(
    sys.version_info >= (3, 13),
    reason="on Python 3.13 PyTorch's own import breaks in a legacy subinterpreter (a garbled SystemError from "
    "torch._C, or a crash), before this module runs",
)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="NumPy refuses isolated subinterpreters from Python 3.12 on")
@pytest.mark.parametrize("kind", ["isolated", pytest.param("legacy", marks=LEGACY_FIRST_IMPORT_CRASHES)])
def test_a_first_import_in_a_subinterpreter_decides_the_modules_home(kind):
    # A failed first import leaves the module free for the main interpreter;
    # a successful one makes the subinterpreter its home.
    output = run_with_subinterpreters(
        f"""
        if interpreters is None:
            print("unavailable"); raise SystemExit
        failure = run_in(new_interpreter(legacy={kind == "legacy"}), "import tarvex.core.resmon")
        print("sub:", "imported" if failure is None else "failed")
        try:
            import tarvex.core.resmon as resmon
            print("main:", hasattr(resmon, "NeuralConditionalMonitor"))
        except ImportError as error:
            print("main:", error)
        """
    )
    sub, main = output.splitlines()[-2:]
    if kind == "isolated":
        assert sub == "sub: failed"
    if sub == "sub: failed":
        assert main == "main: True"
    else:
        assert main.startswith("main: Interpreter change detected")
