"""Conventions around the package and the watch toolkit: the package imports
from the repository root, functions that fit leave the caller's global random
state alone, long work shows progress on request, and fitting on an
engineered S too wide to fit comfortably is warned about."""

import os
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch
from tarvex.core.watch._arguments import (ENGINEERED_WIDTH_LIMIT, engineered_width,
                                          warn_if_engineered_width_large)
from tarvex.core.watch._random_state import keeps_global_random_state

from helpers import linear_pairs

ROOT = Path(__file__).resolve().parent.parent
SMALL = {"hidden": (4,), "epochs": 2, "batch_size": 32}


def test_package_imports_from_the_repository_root():
    # `python -c` puts the working directory first on sys.path, so the source
    # tree's tarvex/ is the one imported and must hold the compiled modules.
    code = "import tarvex.core.resmon as m, tarvex.core.integrity as i; print(m.__file__); print(i.__file__)"
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    for path in result.stdout.split():
        assert Path(path).suffix == ".so" and Path(path).parent == ROOT / "tarvex" / "core"


def _draws():
    return np.random.rand(3).tolist(), torch.rand(3).tolist()


def test_tune_restores_the_global_random_state_and_shows_progress(capsys):
    S, Z = linear_pairs(120)
    np.random.seed(11)
    torch.manual_seed(11)
    expected = _draws()
    np.random.seed(11)
    torch.manual_seed(11)
    watch.tune(S, Z, false_alarm_rate=0.5, candidates=[SMALL, {**SMALL, "hidden": (6,)}], random_state=3,
               progress=True)
    assert _draws() == expected
    assert "2/2" in capsys.readouterr().err  # tqdm writes its bar to stderr


@pytest.mark.parametrize("fails", [False, True])
def test_keeps_global_random_state_restores_on_return_and_on_error(fails):
    @keeps_global_random_state
    def reseeds():
        np.random.seed(0)
        torch.manual_seed(0)
        if fails:
            raise RuntimeError("failed after reseeding")
        return "done"

    np.random.seed(5)
    torch.manual_seed(5)
    expected = _draws()
    np.random.seed(5)
    torch.manual_seed(5)
    if fails:
        with pytest.raises(RuntimeError, match="after reseeding"):
            reseeds()
    else:
        assert reseeds() == "done"
    assert _draws() == expected


def test_capture_progress_counts_rows_and_changes_nothing(capsys):
    model = torch.nn.Sequential(torch.nn.Linear(3, 4), torch.nn.ReLU(), torch.nn.Linear(4, 2))
    x = torch.randn(25, 3)
    quiet = watch.capture(model, x, "0", "output", batch_size=10)
    shown = watch.capture(model, x, "0", "output", batch_size=10, progress=True)
    assert all(np.array_equal(a, b) for a, b in zip(quiet, shown))
    assert "25/25" in capsys.readouterr().err


@pytest.mark.parametrize("s_dim", [1, 2, 5])
@pytest.mark.parametrize("flags", [(True, True, True), (False, False, False), (True, False, True),
                                   (False, True, False)])
def test_engineered_width_is_the_width_the_engineer_makes(s_dim, flags):
    x = np.random.default_rng(0).normal(size=(4, s_dim)).astype(np.float32)
    engineer = resmon.NeuralFeatureEngineer(*flags)
    assert engineered_width(s_dim, *flags) == engineer.fit_transform(x).shape[1]


@pytest.mark.parametrize("s_dim, flags, remedy", [
    (88, (True, True, True), None),  # 4,092 columns: at the limit
    (89, (True, True, True), "include_interactions=False"),
    (256, (True, True, False), None),
    (ENGINEERED_WIDTH_LIMIT + 1, (False, False, False), "narrower layer"),
    (1400, (True, True, False), "narrower layer"),
])
def test_width_warning_names_the_setting_that_avoids_it(s_dim, flags, remedy):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        width = warn_if_engineered_width_large(s_dim, *flags, rows=10_000)
    assert width == engineered_width(s_dim, *flags)
    if remedy is None:
        assert not caught
    else:
        assert len(caught) == 1 and remedy in str(caught[0].message) and f"{width:,}" in str(caught[0].message)


def test_tune_warns_about_a_wide_candidate_at_the_callers_line():
    rng = np.random.default_rng(0)
    # tune leaves pair products out past 32 S columns; squares and logs of
    # 1,400 columns still make 4,200
    S = rng.normal(size=(60, 1400)).astype(np.float32)
    Z = S[:, :2] + 0.1 * rng.normal(size=(60, 2)).astype(np.float32)
    plain = {**SMALL, "epochs": 1, "include_square": False, "include_logabs": False}
    with pytest.warns(UserWarning, match="tune candidate 1: 1,400 S columns engineer 4,200") as caught:
        watch.tune(S, Z, false_alarm_rate=0.5, candidates=[plain, {**SMALL, "epochs": 1}])
    assert len(caught) == 1 and caught[0].filename == __file__
