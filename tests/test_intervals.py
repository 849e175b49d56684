"""The 95% Wilson intervals that the demo report and the detection benchmark
print come from SciPy and give the figures of the closed-form interval they
printed before."""

import math
from pathlib import Path

import pytest

from helpers import import_script

ROOT = Path(__file__).resolve().parent.parent


def _closed_form(k: int, n: int, z: float = 1.959964) -> tuple[float, float]:
    p = k / n
    denominator = 1 + z * z / n
    centre = (p + z * z / (2 * n)) / denominator
    half = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / denominator
    return max(0.0, centre - half), min(1.0, centre + half)


@pytest.fixture(scope="module", params=["demo", "benchmark"])
def interval(request):
    if request.param == "demo":
        return import_script(ROOT / "demo" / "report.py").wilson_interval
    return import_script(ROOT / "benchmarks" / "detection.py").wilson


@pytest.mark.parametrize("k, n", [(0, 1), (1, 1), (0, 10), (5, 10), (10, 10), (3, 117), (8, 396), (1, 1000),
                                  (499, 1000), (999, 1000)])
def test_wilson_interval_matches_the_closed_form(interval, k, n):
    assert interval(k, n) == pytest.approx(_closed_form(k, n), abs=1e-7)


def test_no_trials_give_the_whole_unit_interval(interval):
    assert interval(0, 0) == (0.0, 1.0)
