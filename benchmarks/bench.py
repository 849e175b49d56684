"""Benchmarks of tarvex.core.resmon; prints tables, asserts nothing but that
the native engineered matrix has the bits of the NumPy composition.

    .venv/bin/python benchmarks/bench.py            # full run, a few minutes on 2 cores
    .venv/bin/python benchmarks/bench.py --quick    # smaller sizes, under a minute

"Kernel" is the engineer's transform as shipped; "NumPy" is the same monitor or
engineer with `transform` replaced, on the instance, by the whole-array NumPy
composition below. Times are the best of several rounds in which both variants
alternate, so that load from other processes hits both alike. Peak memory is
what tracemalloc sees above the memory in use before the call: every NumPy
allocation, but not PyTorch's own tensors (the same for both variants).
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import os
import platform
import sys
import time
import tracemalloc
from contextlib import contextmanager
from typing import Callable, Dict

import numpy as np
import torch

from tarvex.core import resmon

Z_DIM = 10


# --- the reference composition -----------------------------------------------


def compose(engineer, x):
    """transform written with whole-array NumPy operations: one product column
    per pair of columns, stacked, then concatenated and converted."""
    if engineer.mean_ is None or engineer.scale_ is None:
        raise RuntimeError("Feature engineer not fit")
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


@contextmanager
def composed(engineer):
    """The engineer's transform replaced by the composition while inside."""
    engineer.transform = lambda x: compose(engineer, x)
    try:
        yield
    finally:
        del engineer.transform


# --- measuring ----------------------------------------------------------------


def best_times(variants: Dict[str, Callable[[], object]], rounds: int, min_seconds: float = 0.05) -> Dict[str, float]:
    """Best seconds per call of each variant; variants alternate within a round."""
    numbers = {}
    for name, fn in variants.items():
        start = time.perf_counter()
        fn()
        once = max(time.perf_counter() - start, 1e-7)
        numbers[name] = max(1, int(min_seconds / once))
    best = {name: math.inf for name in variants}
    for _ in range(rounds):
        for name, fn in variants.items():
            number = numbers[name]
            start = time.perf_counter()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (time.perf_counter() - start) / number)
    return best


def kernel_and_composition(engineer, fn: Callable[[], object], rounds: int) -> Dict[str, float]:
    """Best seconds per call of `fn` as shipped and with the engineer's
    transform replaced by the composition, alternating round by round."""
    best = {"kernel": math.inf, "numpy": math.inf}
    for _ in range(rounds):
        best["kernel"] = min(best["kernel"], best_times({"kernel": fn}, 1)["kernel"])
        with composed(engineer):
            best["numpy"] = min(best["numpy"], best_times({"numpy": fn}, 1)["numpy"])
    return best


def peak_extra_bytes(fn: Callable[[], object]) -> int:
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = fn()
        peak = tracemalloc.get_traced_memory()[1]
        del result
    finally:
        tracemalloc.stop()
    return peak - before


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.1f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_bytes(n: int) -> str:
    if n < 1 << 20:
        return f"{n / 1024:.1f} KiB"
    return f"{n / (1 << 20):.1f} MiB"


def print_table(title: str, header, rows) -> None:
    widths = [max(len(str(c)) for c in column) for column in zip(header, *rows)]
    print(f"\n{title}")
    print("  ".join(str(h).rjust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))
    sys.stdout.flush()


def bits(a):
    return np.ascontiguousarray(a).view(np.uint32)


# --- data and monitors ----------------------------------------------------------


def synthetic(n: int, s_dim: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    S = rng.normal(size=(n, s_dim)).astype(np.float32)
    weights = np.random.default_rng(1000 + s_dim).normal(size=(s_dim, Z_DIM)).astype(np.float32) / np.sqrt(s_dim)
    Z = (np.tanh(S @ weights) + 0.1 * rng.normal(size=(n, Z_DIM))).astype(np.float32)
    return S, Z


def trained_monitor(s_dim: int):
    S, Z = synthetic(2000, s_dim, seed=s_dim)
    monitor = resmon.NeuralConditionalMonitor(epochs=2)
    monitor.fit(S, Z)
    return monitor


# --- sections --------------------------------------------------------------------


def bench_transform(row_counts, s_dims, rounds):
    rows = []
    for s_dim in s_dims:
        fit_rows, _ = synthetic(2000, s_dim, seed=1)
        engineer = resmon.NeuralFeatureEngineer().fit(fit_rows)
        for n in row_counts:
            S, _ = synthetic(n, s_dim, seed=2)
            kernel_out, numpy_out = engineer.transform(S), compose(engineer, S)
            assert np.array_equal(bits(kernel_out), bits(numpy_out)), "engineered matrices differ"
            del kernel_out, numpy_out
            t = best_times({"kernel": lambda: engineer.transform(S), "numpy": lambda: compose(engineer, S)},
                           rounds if n < 10**5 else max(2, rounds // 2))
            m_kernel = peak_extra_bytes(lambda: engineer.transform(S))
            m_numpy = peak_extra_bytes(lambda: compose(engineer, S))
            rows.append([f"{n:g} x {s_dim}", fmt_time(t["kernel"]), fmt_time(t["numpy"]),
                         f"{t['numpy'] / t['kernel']:.1f}x", fmt_bytes(m_kernel), fmt_bytes(m_numpy),
                         f"{m_kernel / m_numpy:.2f}"])
    print_table("transform (engineered S; output width 3d + d(d-1)/2), bit-identical to the composition",
                ["rows x s_dim", "kernel", "numpy", "speed-up", "kernel peak", "numpy peak", "peak ratio"], rows)


def bench_score(monitors, rounds):
    rows, anatomy = [], []
    for s_dim, monitor in monitors.items():
        S, Z = synthetic(64, s_dim, seed=3)
        s, z = S[0], Z[0]
        engineer = monitor.s_engineer
        kernel_score = monitor.score(s, z)
        with composed(engineer):
            assert monitor.score(s, z) == kernel_score
        best = kernel_and_composition(engineer, lambda: monitor.score(s, z), rounds)
        rows.append([s_dim, fmt_time(best["kernel"]), fmt_time(best["numpy"]),
                     f"{best['numpy'] / best['kernel']:.2f}x"])

        # Where the single-input time goes.
        S1 = np.asarray(s, dtype=np.float32).reshape(1, -1)
        x_tensor = torch.from_numpy(engineer.transform(S1))
        parts = best_times({
            "transform (kernel)": lambda: engineer.transform(S1),
            "transform (numpy)": lambda: compose(engineer, S1),
            "network forward": lambda: torch_forward(monitor, x_tensor),
            "einsum": lambda: np.einsum("ni,ij,nj->n", S1[:, :Z_DIM], monitor.inv_cov, S1[:, :Z_DIM]),
        }, rounds)
        anatomy.append([s_dim, fmt_time(best["kernel"])] + [fmt_time(v) for v in parts.values()] +
                       [fmt_time(best["kernel"] - parts["transform (kernel)"] - parts["network forward"])])
    print_table("score (one input), kernel vs the composition in place of transform",
                ["s_dim", "kernel", "numpy", "speed-up"], rows)
    print_table("where one score's time goes (network forward under no_grad; rest = glue, Z, einsum, NaN check)",
                ["s_dim", "score", "transform (kernel)", "transform (numpy)", "network forward", "einsum", "rest"],
                anatomy)


def torch_forward(monitor, x_tensor):
    with torch.no_grad():
        return monitor._model(x_tensor)


def bench_score_batch(monitors, row_counts, rounds):
    rows = []
    for s_dim, monitor in monitors.items():
        for n in row_counts:
            S, Z = synthetic(n, s_dim, seed=4)
            engineer = monitor.s_engineer
            kernel_scores = monitor.score_batch(S, Z)
            with composed(engineer):
                assert np.array_equal(monitor.score_batch(S, Z), kernel_scores)
            del kernel_scores
            best = kernel_and_composition(engineer, lambda: monitor.score_batch(S, Z),
                                          rounds if n < 10**5 else max(2, rounds // 2))
            m_kernel = peak_extra_bytes(lambda: monitor.score_batch(S, Z))
            with composed(engineer):
                m_numpy = peak_extra_bytes(lambda: monitor.score_batch(S, Z))
            rows.append([f"{n:g} x {s_dim}", fmt_time(best["kernel"]), fmt_time(best["numpy"]),
                         f"{best['kernel'] / best['numpy']:.2f}", f"{n / best['kernel']:,.0f}",
                         fmt_bytes(m_kernel), fmt_bytes(m_numpy), f"{m_kernel / m_numpy:.2f}"])
    print_table("score_batch, kernel vs the composition in place of transform",
                ["rows x s_dim", "kernel", "numpy", "time ratio", "kernel rows/s", "kernel peak", "numpy peak",
                 "peak ratio"], rows)


@contextmanager
def epoch_clock(stamps):
    """Records the time at which each epoch starts: fit draws one fresh
    permutation of the rows per epoch through torch.randperm."""
    original = torch.randperm

    def stamped(*args, **kwargs):
        stamps.append(time.perf_counter())
        return original(*args, **kwargs)

    torch.randperm = stamped
    try:
        yield
    finally:
        torch.randperm = original


def bench_fit(row_counts, epochs=3):
    rows = []
    for n in row_counts:
        S, Z = synthetic(n, 16, seed=5)
        monitor = resmon.NeuralConditionalMonitor(epochs=epochs, patience=epochs + 1)
        stamps = []
        with epoch_clock(stamps):
            start = time.perf_counter()
            monitor.fit(S, Z)
            total = time.perf_counter() - start
        assert len(stamps) == epochs
        per_epoch = (stamps[-1] - stamps[0]) / (epochs - 1)
        rows.append([f"{n:g}", fmt_time(per_epoch), fmt_time(per_epoch / math.ceil(n / 64)),
                     fmt_time(stamps[0] - start), fmt_time(total - (stamps[-1] - start) - per_epoch),
                     fmt_time(total)])
    print_table(f"fit (s_dim 16, z_dim {Z_DIM}, batch 64, {epochs} epochs): epoch = time between the starts of "
                "successive epochs; after = last epoch's end to return, estimated (calibration)",
                ["rows", "per epoch", "per batch", "before 1st epoch", "after", "total"], rows)


def bench_persistence(monitor, rounds):
    d = monitor.to_dict()
    text = json.dumps(d)
    t = best_times({
        "to_dict": monitor.to_dict,
        "from_dict": lambda: resmon.NeuralConditionalMonitor.from_dict(d),
        "json.dumps(to_dict())": lambda: json.dumps(monitor.to_dict()),
        "from_dict(json.loads())": lambda: resmon.NeuralConditionalMonitor.from_dict(json.loads(text)),
    }, rounds)
    print_table(f"persistence (s_dim 16, hidden (64, 64); JSON {len(text) / 1024:.0f} KiB)",
                ["operation", "time"], [[name, fmt_time(v)] for name, v in t.items()])


@contextmanager
def quiet_stderr():
    """Silences the profiler's start/stop lines, written straight to fd 2."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def profile_fit(n: int, epochs: int):
    from torch.profiler import ProfilerActivity, profile

    S, Z = synthetic(n, 16, seed=6)
    monitor = resmon.NeuralConditionalMonitor(epochs=epochs, patience=epochs + 1)
    with quiet_stderr(), profile(activities=[ProfilerActivity.CPU]) as prof:
        start = time.perf_counter()
        monitor.fit(S, Z)
        wall = time.perf_counter() - start
    # Self time of every PyTorch operator, summed: time spent inside PyTorch's
    # own operations; the rest is our glue, module-call machinery in Python,
    # NumPy and scikit-learn.
    events = prof.key_averages()
    torch_seconds = sum(e.self_cpu_time_total for e in events) / 1e6
    top = sorted(events, key=lambda e: e.self_cpu_time_total, reverse=True)[:6]
    rows = [["all PyTorch operators", fmt_time(torch_seconds), f"{100 * torch_seconds / wall:.0f}%"],
            ["everything else", fmt_time(wall - torch_seconds), f"{100 * (wall - torch_seconds) / wall:.0f}%"]]
    rows += [[f"  {e.key}", fmt_time(e.self_cpu_time_total / 1e6), f"{100 * e.self_cpu_time_total / 1e6 / wall:.0f}%"]
             for e in top]
    print_table(f"fit profile (n={n:g}, {epochs} epochs, profiler on: wall {wall:.2f} s)", ["part", "time", "share"], rows)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer rounds")
    parser.add_argument("--sections", default="transform,score,batch,fit,persistence,profile",
                        help="comma-separated subset of: transform,score,batch,fit,persistence,profile")
    parser.add_argument("--threads", type=int, default=1,
                        help="PyTorch intra-op threads for scoring (default 1: on a small shared machine more "
                             "threads mostly measure contention; fit holds 1 during its loop anyway)")
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)

    rounds = 3 if args.quick else 5
    big = [1, 10**3, 10**4] if args.quick else [1, 10**3, 10**5]
    batches = [10**3, 10**4] if args.quick else [10**3, 10**4, 10**5]
    fits = [10**3, 10**4] if args.quick else [10**3, 10**4, 10**5]

    print(f"python {platform.python_version()}, numpy {np.__version__}, torch {torch.__version__} "
          f"({torch.get_num_threads()} threads), {platform.machine()}")
    started = time.perf_counter()
    wanted = set(args.sections.split(","))
    if "transform" in wanted:
        bench_transform(big, [16, 32], rounds)
    if wanted & {"score", "batch"}:
        monitors = {s_dim: trained_monitor(s_dim) for s_dim in (16, 32)}
        if "score" in wanted:
            bench_score(monitors, 4 * rounds)  # short calls: more rounds to find quiet moments
        if "batch" in wanted:
            bench_score_batch(monitors, batches, rounds)
    if "fit" in wanted:
        bench_fit(fits)
    if "persistence" in wanted:
        bench_persistence(trained_monitor(16), rounds)
    if "profile" in wanted:
        profile_fit(10**3 if args.quick else 10**4, 2)
    print(f"\ntotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
