"""The native modules' type stubs ship with the installed package and agree
with the running extension modules (checked with mypy's stubtest, which
compares every stub signature, default and static method with the live
objects); the pure-Python package carries its types inline and passes mypy in
strict mode."""

import importlib
import importlib.util
import os
import subprocess
import sys
from pathlib import Path

import pytest

import tarvex

# The folder that holds the imported (built and installed) package: stubtest
# must read the stubs from there, never from the source tree.
PACKAGE_ROOT = Path(tarvex.__file__).resolve().parent.parent

# Only the stubs are under test: errors mypy might find inside the package's
# plain Python modules are not reported, and PyTorch (huge, and only needed
# for annotations here) is not analysed at all.
MYPY_CONFIG = """\
[mypy]
follow_imports = silent

[mypy-torch.*]
follow_imports = skip
follow_imports_for_stubs = True

[mypy-dask.*]
follow_imports = skip
follow_imports_for_stubs = True
ignore_missing_imports = True
"""


def integrity_present() -> bool:
    return importlib.util.find_spec("tarvex.core.integrity") is not None


MODULES = [
    pytest.param("tarvex.core.resmon", id="resmon"),
    pytest.param("tarvex.core.integrity", id="integrity",
                 marks=pytest.mark.skipif(not integrity_present(), reason="tarvex.core.integrity is not built")),
]


@pytest.fixture(scope="module")
def stubtest_run(tmp_path_factory):
    """One stubtest run over every module that is present (one mypy build is
    the slow part); returns (exit code, output)."""
    modules = ["tarvex.core.resmon"] + (["tarvex.core.integrity"] if integrity_present() else [])
    workdir = tmp_path_factory.mktemp("stubtest")
    config = workdir / "mypy.ini"
    config.write_text(MYPY_CONFIG)
    env = {key: value for key, value in os.environ.items() if key not in ("MYPYPATH", "PYTHONSTARTUP")}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PACKAGE_ROOT), env.get("PYTHONPATH")]))
    # Run away from the source tree, so neither the interpreter nor mypy (which
    # also searches the working directory) can pick up tarvex/ from there.
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", str(config), *modules],
        capture_output=True, text=True, cwd=workdir, env=env, timeout=300,
    )
    return result.returncode, result.stdout + result.stderr


@pytest.mark.parametrize("module", MODULES)
def test_stub_is_installed_next_to_the_module(module):
    extension = Path(importlib.import_module(module).__file__)
    assert extension.suffix in (".so", ".pyd"), f"{module} was not imported from the built extension: {extension}"
    assert extension.with_name(module.rsplit(".", 1)[1] + ".pyi").is_file()
    assert (PACKAGE_ROOT / "tarvex" / "py.typed").is_file()


@pytest.mark.parametrize("module", MODULES)
def test_stub_matches_runtime(stubtest_run, module):
    code, output = stubtest_run
    own_errors = [line for line in output.splitlines() if line.startswith(f"error: {module}")]
    assert not own_errors, output
    assert code == 0, output



def test_python_modules_keep_their_types_inline():
    # A stub beside a .py module would hide the module's own annotations and
    # docstrings from type checkers and documentation tools.
    source = Path(__file__).resolve().parent.parent / "tarvex"
    shadowed = [str(stub) for stub in source.rglob("*.pyi") if stub.with_suffix(".py").exists()]
    assert not shadowed


def test_package_passes_mypy_strict():
    # The settings (strict, the package, the untyped libraries) are in pyproject.toml.
    root = Path(__file__).resolve().parent.parent
    result = subprocess.run([sys.executable, "-m", "mypy"], capture_output=True, text=True, cwd=root, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
