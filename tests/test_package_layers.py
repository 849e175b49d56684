"""The watch package's imports follow its layers: helpers, then primitives,
then composites, then integration. A module imports only from its own layer
or below, wherever the import statement stands (inside functions too)."""

import ast
from pathlib import Path

import pytest

WATCH = Path(__file__).resolve().parent.parent / "tarvex" / "core" / "watch"

LAYERS = {
    "helpers": ["_arguments", "_layers", "_random_state", "_progress", "_version"],
    "primitives": ["capturing", "calibration", "alarms", "explaining", "chunked", "fingerprints", "guards",
                   "typicality"],
    "composites": ["tuning", "coverage", "widening"],
    "integration": ["files", "watching", "_metrics", "dask_scoring", "cli", "__init__"],
}
RANK = {module: rank for rank, modules in enumerate(LAYERS.values()) for module in modules}


def _watch_imports(path):
    """Names of the watch modules that `path` imports, relatively or absolutely."""
    for node in ast.walk(ast.parse(path.read_text())):
        if isinstance(node, ast.ImportFrom):
            if node.level == 1 and node.module:
                yield node.module.split(".")[0]
            elif node.level == 1:
                yield from (alias.name for alias in node.names)
            elif node.module and node.module.startswith("tarvex.core.watch."):
                yield node.module.split(".")[3]
        elif isinstance(node, ast.Import):
            for alias in node.names:
                if alias.name.startswith("tarvex.core.watch."):
                    yield alias.name.split(".")[3]


def test_every_module_has_a_layer():
    modules = {path.stem for path in WATCH.glob("*.py")}
    assert modules == set(RANK), "place new modules in LAYERS"


@pytest.mark.parametrize("module", sorted(RANK))
def test_imports_point_down(module):
    upward = [name for name in _watch_imports(WATCH / f"{module}.py") if RANK[name] > RANK[module]]
    assert not upward, f"{module} imports {upward} from a higher layer"
