"""How often a calibrated threshold and its window alarm cry wolf on clean
data, over many draws of the calibration rows.

Scores are synthetic and exchangeable: calibration rows and fresh clean
inputs score U(0, 1), so the fresh per-input rate above a threshold tau is
exactly 1 - tau. For each draw of `rows` calibration scores the threshold is
set as `watch.calibrate` sets it (without and with `confidence`), and clean
streams, each input above tau with that fresh rate, run through two window
alarms: `WindowAlarm(tau=..., false_alarm_rate=...)`, which takes the rate
as exact, and `WindowAlarm.from_calibration`, which counts with the
beta-binomial law of the calibration.

Run from the repository root:  nice .venv/bin/python benchmarks/bench_calibration.py
(--draws 100 --streams 5 for a quick look).
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from tarvex.core import watch
from tarvex.core.watch.calibration import _rank


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--draws", type=int, default=1000, help="calibration draws per setting")
    parser.add_argument("--streams", type=int, default=10, help="clean streams per draw and alarm")
    parser.add_argument("--rows", type=int, nargs="+", default=[200, 1000, 5000], help="calibration rows")
    parser.add_argument("--rate", type=float, default=0.05)
    parser.add_argument("--confidence", type=float, default=0.9)
    parser.add_argument("--length", type=int, default=300, help="inputs per clean stream")
    parser.add_argument("--window", type=int, default=50)
    parser.add_argument("--significance", type=float, default=1e-3)
    parser.add_argument("--seed", type=int, default=0)
    return parser.parse_args()


def measure(rows: int, confidence: float | None, args: argparse.Namespace, rng: np.random.Generator) -> dict:
    """Fresh per-input rates over the draws and the share of clean streams on
    which each alarm fires."""
    rank = _rank(rows, args.rate, confidence)
    fresh = np.empty(args.draws)
    fired = {"binomial": 0, "from_calibration": 0}
    for draw in range(args.draws):
        scores = rng.random(rows)
        tau = float(np.partition(scores, rank - 1)[rank - 1])
        fresh[draw] = 1.0 - tau
        calibration = watch.Calibration(tau=tau, false_alarm_rate=args.rate, rows=rows, rank=rank,
                                        confidence=confidence)
        alarms = {"binomial": watch.WindowAlarm(tau=tau, false_alarm_rate=args.rate, window=args.window,
                                                significance=args.significance),
                  "from_calibration": watch.WindowAlarm.from_calibration(calibration, window=args.window,
                                                                         significance=args.significance)}
        for _ in range(args.streams):
            stream = rng.random(args.length)  # a fresh clean input's score is U(0, 1) too
            for name, alarm in alarms.items():
                alarm.reset()
                fired[name] += alarm.update(stream)
    total = args.draws * args.streams
    return {"rows": rows, "confidence": confidence, "rank": rank, "mean": fresh.mean(),
            "p90": np.quantile(fresh, 0.9), "over": np.mean(fresh > args.rate),
            "over_plus": np.mean(fresh > args.rate + 1.0 / rows),
            "binomial": fired["binomial"] / total, "from_calibration": fired["from_calibration"] / total}


def main() -> None:
    args = parse_args()
    rng = np.random.default_rng(args.seed)
    started = time.perf_counter()
    results = [measure(rows, confidence, args, rng) for rows in args.rows for confidence in (None, args.confidence)]
    print(f"{args.draws} calibration draws per row, U(0, 1) scores, false-alarm rate {args.rate:g}; "
          f"{args.streams} clean streams of {args.length} inputs per draw, window {args.window}, "
          f"significance {args.significance:g}")
    header = ("rows", "confidence", "rank", "mean fresh rate", "90% of draws below", "draws above rate",
              "above rate + 1/n", "streams fired: binomial", "from_calibration")
    table = [header] + [(str(r["rows"]), "-" if r["confidence"] is None else f"{r['confidence']:g}", str(r["rank"]),
                         f"{r['mean']:.2%}", f"{r['p90']:.2%}", f"{r['over']:.1%}", f"{r['over_plus']:.1%}",
                         f"{r['binomial']:.2%}", f"{r['from_calibration']:.2%}") for r in results]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for number, row in enumerate(table):
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)))
        if number == 0:
            print("  ".join("-" * width for width in widths))
    print(f"total: {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
