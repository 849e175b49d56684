"""Memory and speed of scoring large data with tarvex.core.watch.score_chunks
against one score_batch call; prints a table, asserts only that the scores
agree to float32 rounding.

    .venv/bin/python benchmarks/bench_watch.py            # 1e5 and 1e6 rows, about a minute
    .venv/bin/python benchmarks/bench_watch.py --quick    # 1e5 and 3e5 rows

S (16 columns) and Z (10 columns) are written to .npy files in a temporary
folder. "score_batch" loads both into memory and scores them in one call;
"score_chunks" scores memory maps of the same files chunk by chunk. Peak extra
memory is the highest anonymous resident memory (RssAnon, sampled every
millisecond: NumPy's and PyTorch's allocations alike, not the file pages of
the memory maps, which the kernel can drop at any time) above what was in use
before the call, the score_batch row including the loaded arrays; the script
restarts itself with glibc's mmap threshold fixed so that freed memory is
returned at once and every call's peak is its own. Linux only.
"""

from __future__ import annotations

import argparse
import os
import platform
import sys
import tempfile
import threading
import time

import numpy as np
import torch

from tarvex.core import resmon, watch

S_DIM, Z_DIM = 16, 10


def rss_anon() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no RssAnon in /proc/self/status")


class PeakAnon:
    """Highest RssAnon above the level on entry, sampled by a thread."""

    def __enter__(self) -> "PeakAnon":
        self.baseline = self.peak = rss_anon()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)
        self._thread.start()
        return self

    def _sample(self) -> None:
        while not self._stop.wait(0.001):
            self.peak = max(self.peak, rss_anon())

    def __exit__(self, *exc) -> None:
        self._stop.set()
        self._thread.join()
        self.peak = max(self.peak, rss_anon())
        self.extra = self.peak - self.baseline


def fmt_bytes(n: int) -> str:
    return f"{n / (1 << 20):,.0f} MiB"


def write_data(folder: str, n: int, block: int = 100_000) -> tuple[str, str]:
    """S and Z as .npy files, written a block at a time."""
    weights = np.random.default_rng(1).normal(size=(S_DIM, Z_DIM)).astype(np.float32) / np.sqrt(S_DIM)
    paths = os.path.join(folder, f"S{n}.npy"), os.path.join(folder, f"Z{n}.npy")
    S_out = np.lib.format.open_memmap(paths[0], mode="w+", dtype=np.float32, shape=(n, S_DIM))
    Z_out = np.lib.format.open_memmap(paths[1], mode="w+", dtype=np.float32, shape=(n, Z_DIM))
    rng = np.random.default_rng(2)
    for start in range(0, n, block):
        S = rng.normal(size=(min(block, n - start), S_DIM)).astype(np.float32)
        S_out[start:start + len(S)] = S
        Z_out[start:start + len(S)] = np.tanh(S @ weights) + 0.1 * rng.normal(size=(len(S), Z_DIM))
    S_out.flush()
    Z_out.flush()
    del S_out, Z_out
    return paths


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes")
    parser.add_argument("--threads", type=int, default=1, help="PyTorch intra-op threads (default 1)")
    args = parser.parse_args(argv)
    if not os.path.exists("/proc/self/status"):
        sys.exit("this benchmark reads /proc/self/status (Linux)")
    if "MALLOC_MMAP_THRESHOLD_" not in os.environ:
        # glibc would serve a chunk's arrays from heap memory that earlier work
        # freed but kept resident, hiding them from RssAnon; with a fixed
        # threshold every large block is mapped on allocation and unmapped on
        # release, so each call's peak is its own.
        os.environ["MALLOC_MMAP_THRESHOLD_"] = "131072"
        os.execv(sys.executable, [sys.executable, *sys.argv])
    torch.set_num_threads(args.threads)
    sizes = [10**5, 3 * 10**5] if args.quick else [10**5, 10**6]
    chunks = [8192, 65536]

    S_fit = np.random.default_rng(0).normal(size=(2000, S_DIM)).astype(np.float32)
    weights = np.random.default_rng(1).normal(size=(S_DIM, Z_DIM)).astype(np.float32) / np.sqrt(S_DIM)
    Z_fit = (np.tanh(S_fit @ weights) + 0.1 * np.random.default_rng(3).normal(size=(2000, Z_DIM))).astype(np.float32)
    monitor = resmon.NeuralConditionalMonitor(epochs=2)  # hidden (64, 64)
    monitor.fit(S_fit, Z_fit)

    print(f"python {platform.python_version()}, numpy {np.__version__}, torch {torch.__version__} "
          f"({torch.get_num_threads()} threads), {platform.machine()}; s_dim {S_DIM}, z_dim {Z_DIM}, "
          f"hidden {monitor.hidden}, engineered width {monitor.input_dim}")
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for n in sizes:
            S_path, Z_path = write_data(folder, n)
            S_map, Z_map = np.load(S_path, mmap_mode="r"), np.load(Z_path, mmap_mode="r")
            results = {}
            for chunk in chunks:
                with PeakAnon() as peak:
                    start = time.perf_counter()
                    results[chunk] = watch.score_chunks(monitor, S_map, Z_map, chunk_size=chunk)
                    seconds = time.perf_counter() - start
                rows.append([f"{n:,}", f"score_chunks({chunk:,})", f"{seconds:.2f} s", f"{n / seconds:,.0f}",
                             fmt_bytes(peak.extra)])
            with PeakAnon() as peak:
                start = time.perf_counter()
                S, Z = np.load(S_path), np.load(Z_path)
                whole = monitor.score_batch(S, Z)
                seconds = time.perf_counter() - start
                del S, Z
            rows.append([f"{n:,}", "score_batch (loaded)", f"{seconds:.2f} s", f"{n / seconds:,.0f}",
                         fmt_bytes(peak.extra)])
            for chunk, scores in results.items():
                np.testing.assert_allclose(scores, whole, rtol=1e-5)
            del S_map, Z_map, results, whole
    header = ["rows", "variant", "time", "rows/s", "peak extra"]
    widths = [max(len(str(c)) for c in column) for column in zip(header, *rows)]
    print("\nscoring .npy files: chunked over memory maps vs loaded and scored in one call "
          "(peak extra includes the float64 scores, 8 bytes a row)")
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))


if __name__ == "__main__":
    main()
