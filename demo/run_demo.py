"""Integrity-monitoring demo: trains a small digit classifier, fits the neural
conditional monitor on its clean behaviour, and shows how the monitor scores
inputs passed through faulted copies of the model.

Run from the repository root:  .venv/bin/python demo/run_demo.py
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

# As a script, this folder is sys.path[0] and its sibling modules import directly;
# as an imported module (tests) the caller puts the folder on the path.
DEMO_DIR = Path(__file__).resolve().parent
if str(DEMO_DIR) not in sys.path:
    sys.path.insert(0, str(DEMO_DIR))

from report import format_table  # noqa: E402
from scenario import DemoConfig, run_scenario  # noqa: E402

DEFAULT_OUTPUT = DEMO_DIR.parent / "demo_output"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output-dir", type=Path, default=DEFAULT_OUTPUT,
                        help=f"where scores.png and monitor.json go (default: {DEFAULT_OUTPUT})")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--subset", type=int, default=None, help="use only this many digit images")
    parser.add_argument("--classifier-epochs", type=int, default=DemoConfig.classifier_epochs)
    parser.add_argument("--monitor-epochs", type=int, default=DemoConfig.monitor_epochs)
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    config = DemoConfig(seed=args.seed, subset=args.subset, classifier_epochs=args.classifier_epochs,
                        monitor_epochs=args.monitor_epochs)
    started = time.perf_counter()
    result = run_scenario(config, args.output_dir)
    print()
    print(f"tau = {result.tau:.2f} (the {result.monitor.tau_quantile:.1%} quantile of the monitor's training scores); "
          "'detected' = share of held-out inputs through the faulted model scoring above tau")
    print(format_table(result.clean, result.faulted, result.tau))
    print()
    print(f"picture: {result.plot_path}")
    print(f"monitor: {result.monitor_path}")
    print(f"total: {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
