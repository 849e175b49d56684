"""Storing a monitor as a strict JSON file."""

import os
from typing import Any

MONITOR_FORMAT: str
MONITOR_FORMAT_VERSION: int

def save(monitor: Any, path: str | os.PathLike[str], *, layers: Any = None) -> None:
    """Writes the monitor file (format, versions, monitor dictionary,
    calibration, layer names, tuning table) to `path` atomically.

    Raises `ValueError` for NaN or inf entries or a calibration that no
    longer matches `tau`, the monitor's `RuntimeError` when untrained, and
    `TypeError` for anything that is not a monitor or a file document."""

def load(path: str | os.PathLike[str], *, device: str = "cpu") -> Any:
    """Reads a monitor file (or a bare monitor dictionary) and returns the
    `NeuralConditionalMonitor` on `device` with `calibration`, `layers` and
    `tuning_report` restored (None where absent); a coverage file gives the
    `Coverage`, its monitors on `device`.

    Raises `ValueError` naming the file for what is not a monitor file, a
    newer format version, or invalid entries."""
