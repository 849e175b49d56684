"""Which candidates one architecture's single monitor should be tuned with:
each candidate list's cost and detection, averaged over several seeds.

    OMP_NUM_THREADS=1 python benchmarks/candidates.py                  # the regressor, 10 seeds, about 2 minutes
    OMP_NUM_THREADS=1 python benchmarks/candidates.py --name lstm --seeds 3

For every seed the architecture of architectures.py is trained again (its
data, weights and faults change with the seed), S and Z are captured at the
single monitor's layers, and `watch.tune` is run with each candidate list on
the fit rows, with the calibration rows held out, as `detection.py
--architectures` runs it. Per list: tune's CPU seconds (one thread), the
share of clean test inputs above the threshold tune set, and per fault the
share of faulted test inputs above it; then the same shares at the 99th
percentile of the clean test scores, which compares the lists at exactly 1%
of clean inputs, free of the noise of each threshold's calibration. One
seed decides little: which weights a fault hits changes with it, and a
fault's rate spans several times its mean across seeds.
"""

from __future__ import annotations

import argparse
import platform
import sys
import time
import warnings
from pathlib import Path
from typing import Any

import numpy as np
import torch

HERE = Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import architectures  # noqa: E402
from detection import ARCHITECTURE_CANDIDATES, ARCHITECTURE_SETTINGS, RATE  # noqa: E402
from tarvex.core import watch  # noqa: E402

# The lists compared: the benchmark's two candidates, the architecture's own
# (where `ARCHITECTURE_SETTINGS` gives one) and tune's defaults.
LISTS: dict[str, list[dict[str, Any]]] = {
    "network + linear": ARCHITECTURE_CANDIDATES,
    "defaults": list(watch.TUNE_CANDIDATES),
}


def candidate_lists(name: str) -> dict[str, list[dict[str, Any]]]:
    own = ARCHITECTURE_SETTINGS.get(name, {}).get("tune")
    return {**LISTS, "benchmark's": own} if own is not None else dict(LISTS)


def measure(name: str, seed: int, lists: dict[str, list[dict[str, Any]]]
            ) -> tuple[list[str], dict[str, list[float]]]:
    """The faults' names, and per list: [tune seconds, clean share at tau,
    one share per fault at tau, one share per fault at the clean 99th
    percentile]."""
    arch = architectures.build(name, seed, "bench")
    S, Z = watch.capture(arch.model, arch.fit, arch.s, arch.z)
    held_out = watch.capture(arch.model, arch.calibration, arch.s, arch.z)
    captured = [watch.capture(m, arch.test, arch.s, arch.z)
                for m in [arch.model] + [fault.applied_to(arch.model) for fault in arch.faults]]
    rows = {}
    for label, candidates in lists.items():
        started = time.process_time()
        monitor = watch.tune(S, Z, false_alarm_rate=RATE, candidates=candidates, random_state=seed,
                             held_out=held_out)
        seconds = time.process_time() - started
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            scores = [monitor.score_batch(*pair) for pair in captured]
        assert monitor.tau is not None  # tune returns a calibrated monitor
        tau = float(monitor.tau)
        at_tau = [float(np.mean(~(s <= tau))) for s in scores]
        level = np.quantile(scores[0], 1 - RATE)
        rows[label] = [seconds] + at_tau + [float(np.mean(~(s <= level))) for s in scores[1:]]
    return [fault.name for fault in arch.faults], rows


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--name", default="regressor", choices=list(architectures.NAMES))
    parser.add_argument("--seeds", type=int, default=10)
    args = parser.parse_args(argv)
    torch.set_num_threads(1)
    lists = candidate_lists(args.name)
    print(f"Python {platform.python_version()}, PyTorch {torch.__version__}; {args.name}, seeds 0-{args.seeds - 1}, "
          f"false-alarm rate {RATE:.0%}; means over the seeds, rates in %")
    results: dict[str, list[list[float]]] = {label: [] for label in lists}
    faults: list[str] = []
    for seed in range(args.seeds):
        faults, measured = measure(args.name, seed, lists)
        for label, row in measured.items():
            results[label].append(row)
    print(f"\n{'candidates':<18} {'tune s':>6} {'clean':>6}  " + "  ".join(f"{f[:24]:>24}" for f in faults))
    for label, seeds in results.items():
        mean = np.mean(seeds, axis=0)
        n = len(faults)
        print(f"{label:<18} {mean[0]:6.2f} {100 * mean[1]:6.2f}  "
              + "  ".join(f"{100 * mean[2 + j]:10.1f} ({100 * mean[2 + n + j]:5.1f} at 1%)" for j in range(n)))
    print("\nper fault: share above tune's threshold (share above the clean test scores' 99th percentile)")
    for label, candidates in lists.items():
        print(f"{label}: {candidates}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
