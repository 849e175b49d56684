"""The scenario's outputs: the results table and the picture of the score
distributions."""

from __future__ import annotations

from pathlib import Path
from typing import Sequence

import numpy as np

# Scores are drawn on a log10 axis; anything above this (a broken model can
# give scores of 1e30 or inf, or NaN) is drawn in the last bin.
PLOT_MAX_LOG10 = 5.0
PLOT_MIN_LOG10 = -1.0


def format_table(clean, faulted: Sequence, tau: float) -> str:
    """One line per model, the clean one first: what was faulted and where,
    held-out accuracy and its change, the share of held-out inputs scoring
    above tau (the detection rate) and the clean model's false-alarm rate."""
    false_alarms = f"{clean.rate(tau):.1%}"
    rows = [("fault", "where", "accuracy", "change", "detected", "false alarms"),
            (clean.name, clean.target, f"{clean.accuracy:.1%}", "", "", false_alarms)]
    for outcome in faulted:
        change = 100.0 * (outcome.accuracy - clean.accuracy)
        rows.append((outcome.name, outcome.target, f"{outcome.accuracy:.1%}", f"{change:+.1f} pt",
                     f"{outcome.rate(tau):.1%}", false_alarms))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = []
    for number, row in enumerate(rows):
        cells = [cell.ljust(width) if i < 2 else cell.rjust(width) for i, (cell, width) in enumerate(zip(row, widths))]
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


def plot_scores(clean, faulted: Sequence, tau: float, path: Path) -> Path:
    """Saves one panel per fault (clean held-out scores against that fault's
    scores, tau marked) as a PNG at `path`, creating its folder."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    columns = min(3, max(1, len(faulted)))
    rows = max(1, -(-len(faulted) // columns))
    figure, axes = plt.subplots(rows, columns, figsize=(4.4 * columns, 3.5 * rows), squeeze=False)
    bins = np.linspace(PLOT_MIN_LOG10, PLOT_MAX_LOG10, 49)
    clean_logs = _log_scores(clean.scores)
    tau_log = np.log10(tau) if tau > 0 else PLOT_MIN_LOG10
    for index, ax in enumerate(axes.flat):
        if index >= len(faulted):
            ax.axis("off")
            continue
        outcome = faulted[index]
        ax.hist(clean_logs, bins=bins, color="0.6", alpha=0.8, label=f"clean ({clean.rate(tau):.1%} above tau)")
        ax.hist(_log_scores(outcome.scores), bins=bins, color="tab:red", alpha=0.55,
                label=f"faulted ({outcome.rate(tau):.1%} above tau)")
        ax.axvline(tau_log, color="black", linestyle="--", linewidth=1.2, label=f"tau = {tau:.1f}")
        ax.set_title(f"{outcome.name} in {outcome.target}\n{outcome.description}\naccuracy {outcome.accuracy:.1%}",
                     fontsize=8.5)
        ax.set_xlabel(f"log10(score)  (last bin: >= 1e{PLOT_MAX_LOG10:.0f}, inf or NaN)", fontsize=8)
        ax.set_ylabel("held-out inputs", fontsize=8)
        ax.legend(fontsize=7, loc="upper left")
    figure.suptitle("Monitor scores of held-out inputs: clean model vs faulted copies", fontsize=11)
    figure.tight_layout()
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return path
