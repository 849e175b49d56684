"""The 95% Wilson intervals that the demo report and the detection benchmark
print come from SciPy and give the figures of the closed-form interval they
printed before."""

import importlib.util
import math
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def _load(path: Path, name: str):
    """Imports a script module by path, with its own folder importable (the
    benchmark imports its sibling detection_models)."""
    sys.path.insert(0, str(path.parent))
    try:
        spec = importlib.util.spec_from_file_location(name, path)
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module  # dataclasses look their module up there
        spec.loader.exec_module(module)
    finally:
        sys.path.remove(str(path.parent))
    return module


def _closed_form(k: int, n: int, z: float = 1.959964) -> tuple[float, float]:
    p = k / n
    denominator = 1 + z * z / n
    centre = (p + z * z / (2 * n)) / denominator
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / denominator
    return max(0.0, centre - half), min(1.0, centre + half)


@pytest.fixture(scope="module", params=["demo", "benchmark"])
def interval(request):
    if request.param == "demo":
        return _load(ROOT / "demo" / "report.py", "_report_for_intervals").wilson_interval
    return _load(ROOT / "benchmarks" / "detection.py", "_detection_for_intervals").wilson


@pytest.mark.parametrize("k, n", [(0, 1), (1, 1), (0, 10), (5, 10), (10, 10), (3, 117), (8, 396), (1, 1000),
                                  (499, 1000), (999, 1000)])
def test_wilson_interval_matches_the_closed_form(interval, k, n):
    assert interval(k, n) == pytest.approx(_closed_form(k, n), abs=1e-7)


def test_no_trials_give_the_whole_unit_interval(interval):
    assert interval(0, 0) == (0.0, 1.0)
