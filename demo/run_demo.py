"""Integrity-monitoring demo: trains three small classifiers (an MLP on
digits, an MLP on breast-cancer measurements, a CNN on digits), fits a neural
conditional monitor on each clean model, calibrates its threshold on held-out
clean inputs, and shows how it scores inputs through faulted copies of the
models, one at a time and as streams under a window alarm; then watches every
layer of each model with a coverage (watch.cover) and scores the same inputs.

Run from the repository root:  .venv/bin/python demo/run_demo.py
"""

from __future__ import annotations

import argparse
import sys
import textwrap
import time
from pathlib import Path

# As a script, this folder is sys.path[0] and its sibling modules import directly;
# as an imported module (tests) the caller puts the folder on the path.
DEMO_DIR = Path(__file__).resolve().parent
if str(DEMO_DIR) not in sys.path:
    sys.path.insert(0, str(DEMO_DIR))

from report import format_coverage_table, format_table  # noqa: E402
from scenario import DemoConfig, default_cases, run_scenario  # noqa: E402

DEFAULT_OUTPUT = DEMO_DIR.parent / "demo_output"


def _confidence(text: str) -> float | None:
    return None if text.lower() == "none" else float(text)


def _epochs(text: str) -> int | None:
    return None if text.lower() == "none" else int(text)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    defaults = DemoConfig()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--output-dir", type=Path, default=DEFAULT_OUTPUT,
                        help=f"where the figures and monitor files go (default: {DEFAULT_OUTPUT})")
    parser.add_argument("--seed", type=int, default=defaults.seed)
    parser.add_argument("--subset", type=int, default=None, help="use only this many rows of each data set")
    parser.add_argument("--models", nargs="+", choices=[case.key for case in default_cases()], default=None,
                        help="run only these models (default: all)")
    parser.add_argument("--classifier-epochs", type=int, default=defaults.classifier_epochs)
    parser.add_argument("--monitor-epochs", type=int, default=defaults.monitor_epochs)
    parser.add_argument("--monitor-hidden", type=int, nargs="+", default=list(defaults.monitor_hidden))
    parser.add_argument("--jitter-copies", type=int, default=defaults.jitter_copies)
    parser.add_argument("--false-alarm-rate", type=float, default=defaults.false_alarm_rate)
    parser.add_argument("--confidence", type=_confidence, default=defaults.confidence,
                        help="confidence of the false-alarm rate over the calibration draw, or 'none' for the "
                             f"plain rule (default: {defaults.confidence})")
    parser.add_argument("--streams", type=int, default=defaults.streams, help="window-alarm streams per fault")
    parser.add_argument("--no-coverage", action="store_true", help="leave the full-depth coverage out")
    parser.add_argument("--coverage-epochs", type=_epochs, default=defaults.coverage_epochs,
                        help="cap the epochs of the coverage's gradient-descent tune candidates, or 'none' for "
                             f"tune's own (default: {defaults.coverage_epochs})")
    parser.add_argument("--coverage-jitter-copies", type=int, default=defaults.coverage_jitter_copies,
                        help="jittered copies of the training rows the coverage is fitted on besides them "
                             f"(default: {defaults.coverage_jitter_copies})")
    return parser.parse_args(argv)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    config = DemoConfig(seed=args.seed, subset=args.subset, classifier_epochs=args.classifier_epochs,
                        monitor_epochs=args.monitor_epochs, monitor_hidden=tuple(args.monitor_hidden),
                        jitter_copies=args.jitter_copies, false_alarm_rate=args.false_alarm_rate,
                        confidence=args.confidence,
                        streams=args.streams, coverage=not args.no_coverage, coverage_epochs=args.coverage_epochs,
                        coverage_jitter_copies=args.coverage_jitter_copies)
    cases = [case for case in default_cases() if args.models is None or case.key in args.models]
    started = time.perf_counter()
    result = run_scenario(config, args.output_dir, cases)
    print()
    legend = (
        "'above tau': share of test inputs scoring above tau, with its 95% Wilson interval (for the clean model: "
        "the false alarms). 'alarm after': median number of inputs through the faulted model until a window alarm "
        f"(watch.WindowAlarm.from_calibration, {config.window} inputs, significance {config.significance:g}) "
        f"fires, over {config.streams} streams that "
        f"start after {config.window} clean inputs; 'fired': share of those streams on which it fired within "
        f"{config.stream_length} faulted inputs (for the clean model: share of {config.streams} clean streams of "
        f"{config.window + config.stream_length} inputs with an alarm). 'blamed Z': the logit watch.explain blames "
        "most often for the alarms (share of alarms); 'logits hit': the logits whose weights the fault changed.")
    print(textwrap.fill(legend, width=110))
    for case in result.cases:
        print()
        print(format_table(case, config))
    if config.coverage:
        print()
        print(textwrap.fill(
            "Coverage: every layer watched by its own monitor, with one false-alarm rate for them all. 'share "
            "flagged': test inputs that alarmed on any link (for the clean model: the family-wise false alarms); "
            "'single monitor': the table above, for comparison; 'blamed right': share of the alarms that blame "
            "the link ending where the fault shows first ('faulted link').", width=110))
        for case in result.cases:
            print()
            print(format_coverage_table(case))
    print()
    print(f"pictures: {result.scores_plot}, {result.stream_plot}")
    print(f"monitors: {', '.join(str(case.monitor_path) for case in result.cases)}")
    print(f"total: {time.perf_counter() - started:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
