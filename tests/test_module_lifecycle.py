"""Import-time behaviour of tarvex.core.resmon: globals, identity, lifecycle."""

import dataclasses
import importlib
import sys
import typing

import numpy as np
import pytest
import torch

from tarvex.core import resmon

from helpers import run_python


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


@pytest.mark.parametrize("kind", SUBINTERPRETER_KINDS)
def test_second_interpreter_is_refused(kind):
    options = "isolated=False" if kind == "legacy" else ""
    result = run_python(
        f"""
        import tarvex.core.resmon
        try:
            import _xxsubinterpreters as interpreters
        except ImportError:
            print("unavailable"); raise SystemExit
        interp = interpreters.create({options})
        try:
            interpreters.run_string(interp, "import tarvex.core.resmon")
        except Exception as error:
            print(error)
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "unavailable":
        pytest.skip("no subinterpreter support in this Python")
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
        in result.stdout
    )


@pytest.mark.skipif(sys.version_info < (3, 12), reason="NumPy refuses isolated subinterpreters from Python 3.12 on")
def test_a_failed_first_import_in_a_subinterpreter_does_not_block_the_main_interpreter():
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            interpreters.run_string(interp, "import tarvex.core.resmon")
            print("sub: imported")
        except Exception:
            print("sub: failed")
        import tarvex.core.resmon as resmon
        print("main:", hasattr(resmon, "NeuralConditionalMonitor"))
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["sub:", "failed", "main:", "True"]
