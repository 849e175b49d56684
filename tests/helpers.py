"""Shared helpers for the test suite."""

import os
import subprocess
import sys
import tempfile
import textwrap

import numpy as np


def linear_pairs(n: int, s_dim: int = 4, z_dim: int = 3, seed: int = 0, noise: float = 0.1, rows_seed=None):
    """S and Z where Z depends linearly on S plus a little noise. `seed` fixes
    the dependency, `rows_seed` the sampled rows (default: derived from seed)."""
    weights = np.random.default_rng(seed).normal(size=(s_dim, z_dim)).astype(np.float32)
    rng = np.random.default_rng(seed + 1000 if rows_seed is None else rows_seed)
    S = rng.normal(size=(n, s_dim)).astype(np.float32)
    Z = (S @ weights + noise * rng.normal(size=(n, z_dim))).astype(np.float32)
    return S, Z


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
