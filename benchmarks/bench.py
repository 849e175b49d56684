"""Benchmarks of tarvex.core.resmon against the plain composition: the same
monitor written directly in Python with the same NumPy, PyTorch and
scikit-learn calls (benchmarks/plain_monitor.py). Prints tables, saves the
scaling curves as a PNG, and asserts nothing but that both give the same bits.

    .venv/bin/python benchmarks/bench.py            # full run, a few minutes on 2 cores
    .venv/bin/python benchmarks/bench.py --quick    # smaller sizes, about a minute
    .venv/bin/python benchmarks/bench.py --large    # also 1e6 rows in the scaling curves

Times are the best of several rounds in which both implementations alternate,
so that load from other processes hits both alike. With one PyTorch thread
(the default) they are the calling thread's CPU time, which a shared machine
disturbs far less than wall time; CUDA rows use wall time.

Peak memory is the growth of the process's resident set (VmHWM over VmRSS
before the call, after resetting the high-water mark): NumPy's and PyTorch's
allocations alike. It is measured after all timings, with glibc's mmap
threshold fixed at 128 KiB so that every large block comes from the system and
goes back when freed, which makes the peaks repeatable; the timings run with
the allocator's default settings.
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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from plain_monitor import PlainFeatureEngineer, PlainMonitor  # noqa: E402

Z_DIM = 10


# --- the reference composition -----------------------------------------------


def compose(engineer, x):
    """transform written with whole-array NumPy operations: the plain
    engineer's transform, on the statistics and flags of `engineer`."""
    return PlainFeatureEngineer(engineer.include_square, engineer.include_logabs, engineer.include_interactions,
                                engineer.mean_, engineer.scale_).transform(x)


# --- measuring ----------------------------------------------------------------


CLOCK = time.perf_counter  # replaced by time.thread_time when PyTorch runs one thread


def best_times(variants: Dict[str, Callable[[], object]], rounds: int, min_seconds: float = 0.05,
               clock: Callable[[], float] | None = None) -> Dict[str, float]:
    """Best seconds per call of each variant; variants alternate within a round."""
    clock = clock or CLOCK
    numbers = {}
    for name, fn in variants.items():
        start = clock()
        fn()
        once = max(clock() - start, 1e-7)
        numbers[name] = max(1, int(min_seconds / once))
    best = {name: math.inf for name in variants}
    for _ in range(rounds):
        for name, fn in variants.items():
            number = numbers[name]
            start = clock()
            for _ in range(number):
                fn()
            best[name] = min(best[name], (clock() - start) / number)
    return best


def traced_peak_bytes(fn: Callable[[], object]) -> int:
    """Peak NumPy allocations above those before the call, as tracemalloc sees them."""
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


def trained_pair(s_dim: int, n: int = 2000, epochs: int = 2, device: str = "cpu"):
    """(ours, plain), trained alike on the same rows; their scores must agree bit for bit."""
    S, Z = synthetic(n, s_dim, seed=s_dim)
    ours = resmon.NeuralConditionalMonitor(epochs=epochs, device=device)
    plain = PlainMonitor(epochs=epochs, device=device)
    assert np.array_equal(ours.fit(S, Z), plain.fit(S, Z)), "training scores differ"
    return ours, plain


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
            m_kernel = traced_peak_bytes(lambda: engineer.transform(S))
            m_numpy = traced_peak_bytes(lambda: compose(engineer, S))
            rows.append([f"{n:g} x {s_dim}", fmt_time(t["kernel"]), fmt_time(t["numpy"]),
                         f"{t['numpy'] / t['kernel']:.1f}x", fmt_bytes(m_kernel), fmt_bytes(m_numpy),
                         f"{m_kernel / m_numpy:.2f}"])
    print_table("transform (engineered S; output width 3d + d(d-1)/2), bit-identical to the composition",
                ["rows x s_dim", "kernel", "numpy", "speed-up", "kernel peak", "numpy peak", "peak ratio"], rows)


# --- resident memory -------------------------------------------------------------


class ResidentPeaks:
    """Peak growth of the resident set during a call, from /proc/self/status.
    `start()` fixes glibc's mmap and trim thresholds (see the module notes);
    only the memory phase, after all timings, calls it."""

    def __init__(self):
        self.libc = None
        self.available = os.path.exists("/proc/self/clear_refs")

    def start(self) -> None:
        try:
            import ctypes

            self.libc = ctypes.CDLL("libc.so.6")
            self.libc.mallopt(-3, 128 * 1024)  # M_MMAP_THRESHOLD
            self.libc.mallopt(-1, 128 * 1024)  # M_TRIM_THRESHOLD
        except (OSError, AttributeError):
            self.libc = None

    @staticmethod
    def _status(key: str) -> int:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith(key):
                    return int(line.split()[1]) * 1024
        raise KeyError(key)

    def __call__(self, fn: Callable[[], object], repeats: int = 2) -> float:
        """Smallest peak growth over `repeats` calls, in bytes (NaN where unmeasurable)."""
        if not self.available:
            return math.nan
        best = math.inf
        for _ in range(repeats):
            gc.collect()
            if self.libc is not None:
                self.libc.malloc_trim(0)
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")  # resets VmHWM to the current resident size
            before = self._status("VmRSS:")
            result = fn()
            best = min(best, self._status("VmHWM:") - before)
            del result
        return best


# --- ours against the plain composition ---------------------------------------------------------

TARGETS = {
    "score (one input)": 0.20,
    "score_batch, time": 0.45,
    "score_batch, peak memory, s_dim 16": 0.50,
    "score_batch, peak memory, s_dim 32": 0.50,
    "to_dict": 0.90,
    "from_dict": 0.90,
    "fit": 0.75,
    "fit on CUDA": 1.00,
}


def pair_times(ours_fn, plain_fn, rounds, clock=None):
    t = best_times({"ours": ours_fn, "plain": plain_fn}, rounds, clock=clock)
    return t["ours"], t["plain"]


def measure_targets(pairs, batch_rows, fit_rows, rounds, memory_jobs):
    """Ratios of tarvex.core.resmon to the plain composition; fills
    `memory_jobs` with the peak measurements to make after all timings."""
    results = {}
    ours, plain = pairs[16]
    S, Z = synthetic(64, 16, seed=3)
    s, z = S[0], Z[0]
    assert ours.score(s, z) == plain.score(s, z)
    results["score (one input)"] = ("time", *pair_times(lambda: ours.score(s, z), lambda: plain.score(s, z), 4 * rounds))

    S, Z = synthetic(batch_rows, 16, seed=4)
    assert np.array_equal(ours.score_batch(S, Z), plain.score_batch(S, Z)), "batch scores differ"
    results["score_batch, time"] = (
        "time", *pair_times(lambda: ours.score_batch(S, Z), lambda: plain.score_batch(S, Z), rounds))
    for s_dim in (16, 32):
        o, p = pairs[s_dim]
        Sb, Zb = (S, Z) if s_dim == 16 else synthetic(batch_rows, s_dim, seed=4)
        assert np.array_equal(o.score_batch(Sb, Zb), p.score_batch(Sb, Zb)), "batch scores differ"
        memory_jobs[f"score_batch, peak memory, s_dim {s_dim}"] = (
            lambda o=o, Sb=Sb, Zb=Zb: o.score_batch(Sb, Zb), lambda p=p, Sb=Sb, Zb=Zb: p.score_batch(Sb, Zb))

    d = ours.to_dict()
    assert json.dumps(d) == json.dumps(plain.to_dict()), "dictionaries differ"
    results["to_dict"] = ("time", *pair_times(ours.to_dict, plain.to_dict, rounds))
    back = resmon.NeuralConditionalMonitor.from_dict(d)
    assert np.array_equal(back.score_batch(S[:500], Z[:500]), PlainMonitor.from_dict(d).score_batch(S[:500], Z[:500]))
    results["from_dict"] = ("time", *pair_times(lambda: resmon.NeuralConditionalMonitor.from_dict(d),
                                                lambda: PlainMonitor.from_dict(d), rounds))

    for device, name in [("cpu", "fit"), ("cuda", "fit on CUDA")]:
        if device == "cuda" and not torch.cuda.is_available():
            continue
        Sf, Zf = synthetic(fit_rows, 16, seed=5)
        fit_ours = lambda: resmon.NeuralConditionalMonitor(epochs=3, patience=9, device=device).fit(Sf, Zf)  # noqa: E731
        fit_plain = lambda: PlainMonitor(epochs=3, patience=9, device=device).fit(Sf, Zf)  # noqa: E731
        if device == "cpu":
            assert np.array_equal(fit_ours(), fit_plain()), "training scores differ"
        else:
            fit_ours(), fit_plain()  # warm-up; CUDA kernels need not repeat their bits across implementations
        results[name] = ("time", *pair_times(fit_ours, fit_plain, 3, clock=None if device == "cpu" else time.perf_counter))
    return results


def print_targets(results, batch_rows, fit_rows):
    rows = []
    for name, target in TARGETS.items():
        if name not in results:
            rows.append([name, "-", "-", "-", f"<= {target:.2f}", "not measured (no CUDA here)" if "CUDA" in name else "-"])
            continue
        kind, ours, plain = results[name]
        fmt = fmt_time if kind == "time" else fmt_bytes
        ratio = ours / plain
        rows.append([name, fmt(ours), fmt(plain), f"{ratio:.2f}", f"<= {target:.2f}", "met" if ratio <= target else "MISSED"])
    print_table(f"targets: tarvex.core.resmon against the plain composition (ratio = ours / plain); score_batch on "
                f"{batch_rows:g} rows, fit on {fit_rows:g} rows for 3 epochs; s_dim 16 unless stated",
                ["measure", "ours", "plain", "ratio", "target", ""], rows)


# --- scaling ------------------------------------------------------------------------


def measure_scaling(pairs_by_width, row_counts, widths, width_rows, rounds, memory_jobs):
    """score_batch time by rows (s_dim 16) and by S width (`width_rows` rows)."""
    times = {"rows": {}, "width": {}}
    for n in row_counts:
        ours, plain = pairs_by_width[16]
        S, Z = synthetic(n, 16, seed=7)
        assert np.array_equal(ours.score_batch(S, Z), plain.score_batch(S, Z))
        times["rows"][n] = pair_times(lambda: ours.score_batch(S, Z), lambda: plain.score_batch(S, Z),
                                      rounds if n < 10**6 else 2)
        memory_jobs[("rows", n)] = (lambda o=ours, S=S, Z=Z: o.score_batch(S, Z),
                                    lambda p=plain, S=S, Z=Z: p.score_batch(S, Z))
    for width in widths:
        ours, plain = pairs_by_width[width]
        S, Z = synthetic(width_rows, width, seed=8)
        assert np.array_equal(ours.score_batch(S, Z), plain.score_batch(S, Z))
        times["width"][width] = pair_times(lambda: ours.score_batch(S, Z), lambda: plain.score_batch(S, Z), rounds)
        memory_jobs[("width", width)] = (lambda o=ours, S=S, Z=Z: o.score_batch(S, Z),
                                         lambda p=plain, S=S, Z=Z: p.score_batch(S, Z))
    return times


def print_scaling(times, peaks, width_rows):
    for axis, label in [("rows", "rows (s_dim 16)"), ("width", f"S columns ({width_rows:g} rows)")]:
        rows = []
        for key, (t_ours, t_plain) in times[axis].items():
            m_ours, m_plain = peaks.get((axis, key), (math.nan, math.nan))
            rows.append([f"{key:g}", fmt_time(t_ours), fmt_time(t_plain), f"{t_ours / t_plain:.2f}",
                         fmt_bytes(m_ours), fmt_bytes(m_plain), f"{m_ours / m_plain:.2f}"])
        print_table(f"score_batch scaling by {label}", [axis, "ours", "plain", "time ratio", "ours peak", "plain peak",
                                                          "peak ratio"], rows)


def plot_scaling(times, peaks, width_rows, path):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print(f"\n(matplotlib is not installed: no plot written to {path})")
        return
    fig, axes = plt.subplots(2, 2, figsize=(10, 7.5))
    for column, (axis, xlabel) in enumerate([("rows", "rows (s_dim 16)"), ("width", f"S columns ({width_rows:g} rows)")]):
        keys = list(times[axis])
        for row, (what, ylabel) in enumerate([("time", "seconds per call"), ("memory", "peak extra memory (MiB)")]):
            ax = axes[row][column]
            for index, (name, style) in enumerate([("tarvex.core.resmon", "o-"), ("plain composition", "s--")]):
                if what == "time":
                    values = [times[axis][k][index] for k in keys]
                else:
                    values = [peaks.get((axis, k), (math.nan, math.nan))[index] / (1 << 20) for k in keys]
                ax.plot(keys, values, style, label=name)
            ax.set_xscale("log", base=2 if axis == "width" else 10)
            ax.set_yscale("log")
            ax.set_xlabel(xlabel)
            ax.set_ylabel(ylabel)
            ax.grid(True, which="both", alpha=0.3)
            ax.legend()
    fig.suptitle(f"score_batch, z_dim {Z_DIM}, hidden (64, 64), {torch.get_num_threads()} PyTorch thread(s)")
    fig.tight_layout()
    os.makedirs(os.path.dirname(path), exist_ok=True)
    fig.savefig(path, dpi=110)
    print(f"\nscaling plot written to {path}")

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
    global CLOCK
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes and fewer rounds")
    parser.add_argument("--large", action="store_true", help="also 1e6 rows in the scaling curves (about 3 GiB)")
    parser.add_argument("--sections", default="transform,targets,scaling,profile",
                        help="comma-separated subset of: transform,targets,scaling,profile")
    parser.add_argument("--threads", type=int, default=1,
                        help="PyTorch intra-op threads for scoring (default 1: on a small shared machine more "
                             "threads mostly measure contention; fit holds 1 during its loop anyway)")
    parser.add_argument("--plot", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "docs",
                                                       "scaling.png"),
                        help="where the scaling plot goes (default docs/scaling.png)")
    args = parser.parse_args(argv)
    torch.set_num_threads(args.threads)
    if args.threads == 1:
        CLOCK = time.thread_time

    rounds = 3 if args.quick else 5
    big = [1, 10**3, 10**4] if args.quick else [1, 10**3, 10**5]
    batch_rows = 10**4 if args.quick else 10**5
    fit_rows = 2000 if args.quick else 10**4
    row_counts = [10**3, 10**4] if args.quick else [10**3, 10**4, 10**5] + ([10**6] if args.large else [])
    widths = [4, 8, 16, 32] if args.quick else [4, 8, 16, 32, 64, 128]
    width_rows = 1000 if args.quick else 2000

    print(f"python {platform.python_version()}, numpy {np.__version__}, torch {torch.__version__} "
          f"({torch.get_num_threads()} threads), {platform.machine()}, CUDA "
          f"{'available' if torch.cuda.is_available() else 'not available'}; timed with "
          f"{'thread CPU time' if CLOCK is time.thread_time else 'wall time'}")
    started = time.perf_counter()
    wanted = set(args.sections.split(","))
    if "transform" in wanted:
        bench_transform(big, [16, 32], rounds)

    memory_jobs, results, scaling = {}, {}, None
    if wanted & {"targets", "scaling"}:
        needed = {16, 32} if "targets" in wanted else set()
        if "scaling" in wanted:
            needed |= set(widths) | {16}
        pairs = {s_dim: trained_pair(s_dim, epochs=1 if s_dim > 32 else 2) for s_dim in sorted(needed)}
        if "targets" in wanted:
            results = measure_targets(pairs, batch_rows, fit_rows, rounds, memory_jobs)
        if "scaling" in wanted:
            scaling = measure_scaling(pairs, row_counts, widths, width_rows, rounds, memory_jobs)

        # The memory phase, after every timing (it changes the allocator's settings).
        peak = ResidentPeaks()
        peak.start()
        peaks = {key: (peak(ours), peak(plain)) for key, (ours, plain) in memory_jobs.items()}
        for key, (m_ours, m_plain) in peaks.items():
            if isinstance(key, str):
                results[key] = ("memory", m_ours, m_plain)
        if "targets" in wanted:
            print_targets(results, batch_rows, fit_rows)
        if scaling is not None:
            print_scaling(scaling, peaks, width_rows)
            plot_scaling(scaling, peaks, width_rows, os.path.normpath(args.plot))
    if "profile" in wanted:
        profile_fit(10**3 if args.quick else 10**4, 2)
    print(f"\ntotal {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
