"""The scenario's outputs: a results table per model, the picture of the score
distributions and the picture of the window alarm over a stream."""

from __future__ import annotations

import math
from pathlib import Path
from typing import Sequence

import numpy as np
from scipy.stats import binomtest

# Scores are drawn on a log10 axis; anything above this (a broken model can
# give scores of 1e30 or inf, or NaN) is drawn in the last bin.
PLOT_MAX_LOG10 = 5.0
PLOT_MIN_LOG10 = -2.0  # and anything below in the first bin
CLEAN_COLOUR, FAULT_COLOUR, ALARM_COLOUR = "0.55", "tab:red", "tab:orange"


def wilson_interval(successes: int, trials: int, confidence: float = 0.95) -> tuple[float, float]:
    """Wilson score interval for a binomial proportion (95% by default);
    (0, 1) without trials."""
    if trials <= 0:
        return 0.0, 1.0
    if not 0 <= successes <= trials:
        raise ValueError(f"successes must be in 0..{trials}, got {successes}")
    interval = binomtest(successes, trials).proportion_ci(confidence_level=confidence, method="wilson")
    return float(interval.low), float(interval.high)


def rate_with_interval(successes: int, trials: int) -> str:
    low, high = wilson_interval(successes, trials)
    return f"{successes / trials:.1%} [{low:.1%}, {high:.1%}]" if trials else "-"


def _delay(delays: np.ndarray, length: int) -> str:
    if len(delays) == 0:
        return "-"
    median = float(np.median(delays))
    return f"> {length}" if math.isinf(median) else f"{median:g}"


def _blame(outcome) -> str:
    top = outcome.top_blame()
    return "-" if top is None else f"logit {top[0]} ({top[1]:.0%})"


def format_table(result, config) -> str:
    """A heading (model, threshold, the false-alarm rate and the confidence it
    was calibrated for) and one
    line per model, the clean one first: what was faulted and where, number
    of test inputs, accuracy and its change, the share of test inputs scoring
    above tau with its 95% interval, the median number of faulted inputs
    until the window alarm fires and the share of streams on which it fired,
    the Z column the alarms blame most, and the logits the fault changed
    directly."""
    clean = result.clean
    rows = [("fault", "where", "inputs", "accuracy", "change", "above tau [95% interval]", "alarm after",
             "fired", "blamed Z", "logits hit"),
            (clean.name, "-", str(clean.inputs), f"{clean.accuracy:.1%}", "",
             rate_with_interval(clean.alarms, clean.inputs), "-", f"{result.clean_stream_fire_rate:.1%}", "", "")]
    for outcome in result.faulted:
        change = 100.0 * (outcome.accuracy - clean.accuracy)
        fired = float(np.mean(np.isfinite(outcome.delays))) if len(outcome.delays) else 0.0
        rows.append((outcome.name, outcome.target, str(outcome.inputs), f"{outcome.accuracy:.1%}",
                     f"{change:+.1f} pt", rate_with_interval(outcome.alarms, outcome.inputs),
                     _delay(outcome.delays, config.stream_length), f"{fired:.0%}", _blame(outcome),
                     ", ".join(map(str, outcome.rows_hit)) or "-"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    left = {0, 1, 8, 9}
    confidence = ("on average over calibrations" if result.confidence is None
                  else f"with confidence {result.confidence:.0%}")
    lines = [f"{result.case.key}: {result.case.title}",
             f"tau = {result.tau:.2f}, calibrated on {result.rows['calib']} held-out clean inputs for at most "
             f"{result.false_alarm_rate:.1%} false alarms {confidence}; monitor fitted on {result.rows['fit']} rows",
             ""]
    for number, row in enumerate(rows):
        cells = [cell.ljust(width) if i in left else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
        if number == 0:
            lines.append("  ".join("-" * width for width in widths))
    return "\n".join(lines)


def format_coverage_table(result) -> str:
    """The coverage of one model: a heading (layers and their widths, the
    family-wise rate, fitting and checking time) and one line per model, the
    clean one first: the share of test inputs that alarmed on any link with
    its 95% interval, the single monitor's share for comparison, the link the
    fault should be blamed on and the share of alarms that blame it."""
    cov = result.coverage
    coverage = cov.coverage
    rows = [("fault", "share flagged [95% interval]", "single monitor", "faulted link", "blamed right"),
            (cov.clean.name, rate_with_interval(int(cov.clean.alarms.sum()), len(cov.clean.alarms)),
             f"{result.clean.rate:.1%}", "-", "")]
    for outcome, single in zip(cov.faulted, result.faulted):
        right = outcome.blamed_right
        s, z = coverage.links[outcome.link]
        rows.append((outcome.name, rate_with_interval(int(outcome.alarms.sum()), len(outcome.alarms)),
                     f"{single.rate:.1%}", f"{s} -> {z}", "-" if right is None else f"{right:.0%}"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    left = {0, 3}
    layers = ", ".join(f"{name} {width}" + ("" if kind == "none" else f" ({kind})")
                       for (name, width), kind in zip(coverage.widths.items(), coverage.reductions.values()))
    lines = [f"{result.case.key}, coverage {' -> '.join(coverage.layers)}: {len(coverage.links)} links; "
             f"columns per layer: {layers}",
             f"one false-alarm rate of {coverage.false_alarm_rate:.1%} for all links, set on "
             f"{coverage.calibration_rows} held-out clean inputs; fitted in {cov.fit_seconds:.1f} s, "
             f"checks of {len(cov.faulted) + 1} x {len(cov.clean.alarms)} inputs in {cov.check_seconds:.1f} s",
             ""]
    for number, row in enumerate(rows):
        cells = [cell.ljust(width) if i in left else cell.rjust(width)
                 for i, (cell, width) in enumerate(zip(row, widths))]
        lines.append("  ".join(cells).rstrip())
        if number == 0:
            lines.append("  ".join("-" * width for width in widths))
    return "\n".join(lines)


def _log_scores(scores: np.ndarray) -> np.ndarray:
    scores = np.asarray(scores, dtype=np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        logs = np.log10(np.maximum(scores, 10.0 ** PLOT_MIN_LOG10))
    logs[~np.isfinite(logs)] = PLOT_MAX_LOG10  # inf and NaN scores
    return np.clip(logs, PLOT_MIN_LOG10, PLOT_MAX_LOG10)


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def plot_scores(results: Sequence, path: Path) -> Path:
    """One row per model, one panel per fault: the test inputs' scores through
    the clean model against those through the faulted copy, on a log count
    axis (so a handful of undetected inputs stays visible), tau marked. The
    legend sits above the panels, clear of the data."""
    plt = _pyplot()
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch
    from matplotlib.ticker import NullLocator

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    columns = max(len(result.faulted) for result in results)
    width, height = 3.3 * columns, 2.9 * len(results) + 0.9
    figure, axes = plt.subplots(len(results), columns, figsize=(width, height), squeeze=False)
    bins = np.linspace(PLOT_MIN_LOG10, PLOT_MAX_LOG10, 57)
    for row, result in enumerate(results):
        clean_logs = _log_scores(result.clean.scores)
        tau_log = np.log10(result.tau) if result.tau > 0 else PLOT_MIN_LOG10
        for column, ax in enumerate(axes[row]):
            if column >= len(result.faulted):
                ax.axis("off")
                continue
            outcome = result.faulted[column]
            ax.hist(clean_logs, bins=bins, histtype="stepfilled", color=CLEAN_COLOUR, alpha=0.75)
            ax.hist(_log_scores(outcome.scores), bins=bins, histtype="stepfilled", color=FAULT_COLOUR, alpha=0.55)
            ax.axvline(tau_log, color="black", linestyle="--", linewidth=1.1)
            ax.set_yscale("log")
            ax.yaxis.set_minor_locator(NullLocator())  # fewer ticks: much faster to lay out
            ax.set_ylim(0.7, result.clean.inputs * 1.5)
            ax.set_xlim(PLOT_MIN_LOG10, PLOT_MAX_LOG10 + 0.15)
            ax.set_title(f"{outcome.name}, {outcome.target}\nabove tau: {outcome.rate:.1%}, "
                         f"accuracy {outcome.accuracy:.1%}", fontsize=8)
            ax.tick_params(labelsize=7)
            if column == 0:
                ax.set_ylabel(f"{result.case.key}\ntest inputs (log)", fontsize=8)
            if row == len(results) - 1:
                ax.set_xlabel(f"log10(score); last bin: >= 1e{PLOT_MAX_LOG10:.0f}, inf or NaN", fontsize=7)
    handles = [Patch(color=CLEAN_COLOUR, alpha=0.75, label="clean model"),
               Patch(color=FAULT_COLOUR, alpha=0.55, label="faulted copy"),
               Line2D([], [], color="black", linestyle="--", label="tau (calibrated)")]
    figure.legend(handles=handles, loc="upper center", ncol=3, fontsize=9, frameon=False,
                  bbox_to_anchor=(0.5, 1.0 - 0.3 / height))
    figure.suptitle("Monitor scores of the test inputs, clean model vs faulted copies "
                    f"(clean: {', '.join(f'{r.case.key} {r.clean.rate:.1%}' for r in results)} above tau)",
                    fontsize=10, y=0.995)
    # Fixed margins in inches: tight_layout takes seconds on this many log axes.
    figure.subplots_adjust(left=0.6 / width, right=1 - 0.15 / width, bottom=0.5 / height, top=1 - 1.05 / height,
                           wspace=0.22, hspace=0.5)
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path


def plot_streams(results: Sequence, config, path: Path) -> Path:
    """One panel per model: a stream of inputs, clean at first, then through
    the faulted copy; each input's score (log axis), tau, where the fault
    arrives and where the window alarm fires."""
    plt = _pyplot()
    from matplotlib.ticker import NullFormatter

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    figure, axes = plt.subplots(len(results), 1, figsize=(10, 2.6 * len(results) + 0.4), squeeze=False)
    for ax, result in zip(axes[:, 0], results):
        stream = result.example
        positions = np.arange(len(stream.scores))
        scores = np.where(np.isfinite(stream.scores), stream.scores, 10.0 ** PLOT_MAX_LOG10)
        scores = np.clip(scores, 10.0 ** PLOT_MIN_LOG10, 10.0 ** PLOT_MAX_LOG10)
        above = ~(stream.scores <= result.tau)
        ax.scatter(positions[~above], scores[~above], s=7, color=CLEAN_COLOUR, label="score at or below tau")
        ax.scatter(positions[above], scores[above], s=9, color=FAULT_COLOUR, label="score above tau")
        ax.axhline(result.tau, color="black", linestyle="--", linewidth=1.0, label=f"tau = {result.tau:.1f}")
        ax.axvline(stream.fault_at - 0.5, color="tab:blue", linewidth=1.2, label="fault arrives")
        ax.fill_between(positions, 0, 1, where=stream.firing, step="mid", color=ALARM_COLOUR, alpha=0.25,
                        transform=ax.get_xaxis_transform(), label="window alarm firing")
        first = stream.first_alarm_after_fault
        when = (f"the alarm fires after {first - stream.fault_at + 1} faulted inputs" if first is not None
                else f"no alarm within {len(stream.scores) - stream.fault_at} faulted inputs")
        if first is not None:
            ax.axvline(first, color=ALARM_COLOUR, linewidth=1.5, label="alarm fires")
        ax.set_yscale("log")
        # At least a decade either side, so the axis gets labelled powers of ten.
        ax.set_ylim(min(scores.min(), result.tau) / 3, max(scores.max(), result.tau) * 3)
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.set_xlim(-1, len(stream.scores))
        ax.set_title(f"{result.case.key}: inputs 0-{stream.fault_at - 1} through the clean model, then through "
                     f"the copy with {result.example_fault}; {when}", fontsize=9)
        ax.set_ylabel("score", fontsize=8)
        ax.tick_params(labelsize=7)
        ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.005, 1.0), frameon=False)
    axes[-1, 0].set_xlabel("input number in the stream", fontsize=8)
    figure.suptitle(f"Window alarm ({config.window} inputs, significance {config.significance:g}) "
                    "over a stream of inputs", fontsize=10)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return path
