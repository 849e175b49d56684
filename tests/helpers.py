"""Shared helpers for the test suite."""

import importlib
import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np
import torch

from tarvex.core import resmon


def linear_pairs(n: int, s_dim: int = 4, z_dim: int = 3, seed: int = 0, noise: float = 0.1, rows_seed=None):
    """S and Z where Z depends linearly on S plus a little noise. `seed` fixes
    the dependency, `rows_seed` the sampled rows (default: derived from seed)."""
    weights = np.random.default_rng(seed).normal(size=(s_dim, z_dim)).astype(np.float32)
    rng = np.random.default_rng(seed + 1000 if rows_seed is None else rows_seed)
    S = rng.normal(size=(n, s_dim)).astype(np.float32)
    Z = (S @ weights + noise * rng.normal(size=(n, z_dim))).astype(np.float32)
    return S, Z


def hand_made_monitor(s_dim=3, z_dim=2, seed=0, hidden=(8,), dropout=0.0):
    """A monitor whose trained state is set by hand: random engineer
    statistics, a freshly initialised network in eval mode, random Z
    statistics and a positive-definite inv_cov (no dimensions stored)."""
    rng = np.random.default_rng(seed)
    m = resmon.NeuralConditionalMonitor(hidden=hidden, dropout=dropout)
    m.s_engineer = resmon.NeuralFeatureEngineer(
        mean_=rng.normal(size=s_dim).astype(np.float32), scale_=(1 + rng.random(s_dim)).astype(np.float32)
    )
    input_dim = 3 * s_dim + s_dim * (s_dim - 1) // 2
    torch.manual_seed(seed)
    m._model = resmon._ResidualHead(input_dim, hidden, z_dim, dropout).eval()
    m.z_mean = rng.normal(size=z_dim).astype(np.float32)
    m.z_scale = (1 + rng.random(z_dim)).astype(np.float32)
    a = rng.normal(size=(z_dim, z_dim))
    m.inv_cov = a @ a.T + np.eye(z_dim)
    return m


def compose(engineer, x):
    """The engineer's transform written with whole-array NumPy operations: the
    reference the native kernel must match bit for bit (flags are read in the
    order the transform reads them)."""
    x = np.asarray(x, dtype=np.float32)
    base = (x - engineer.mean_) / engineer.scale_
    parts = [base]
    if engineer.include_square:
        parts.append(base**2)
    if engineer.include_logabs:
        parts.append(np.sign(base) * np.log1p(np.abs(base)))
    if engineer.include_interactions:
        d = base.shape[1]
        pairs = [base[:, i] * base[:, j] for i in range(d) for j in range(i + 1, d)]
        parts.append(np.stack(pairs, axis=1).astype(np.float32) if pairs else np.zeros((base.shape[0], 0), np.float32))
    return np.concatenate(parts, axis=1).astype(np.float32)


def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, away from the source tree (which would
    otherwise shadow the installed package)."""
    import tarvex

    package_root = os.path.dirname(os.path.dirname(os.path.abspath(tarvex.__file__)))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_root, env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as workdir:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=timeout, cwd=workdir, env=env,
        )


# Code that test subprocesses run before using subinterpreters. Python 3.12
# names the low-level module _xxsubinterpreters, Python 3.13 _interpreters;
# they differ in how an interpreter kind is chosen and in how a failure comes
# back (3.12 raises RunFailedError, 3.13 returns a description).
SUBINTERPRETERS = """
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None

def new_interpreter(legacy=False):
    if hasattr(interpreters, "new_config"):
        return interpreters.create("legacy" if legacy else "isolated")
    return interpreters.create(isolated=False) if legacy else interpreters.create()

# Runs code in the interpreter; gives "Type: message" of an uncaught exception, or None.
def run_in(interp, code):
    try:
        failure = interpreters.run_string(interp, code)
    except Exception as error:
        return str(error).replace("<class '", "").replace("'>", "", 1)
    return None if failure is None else f"{failure.type.__name__}: {failure.msg}"
"""


def import_script(path):
    """Imports a script of the repository (demo, benchmark, example) as the
    module named after its file, with its own folder importable while it
    loads (scripts import their siblings)."""
    folder = str(path.parent)
    sys.path.insert(0, folder)
    try:
        return importlib.import_module(path.stem)
    finally:
        sys.path.remove(folder)
