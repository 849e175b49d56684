"""Storing a monitor as a strict JSON file."""

import os

from tarvex.core.resmon import NeuralConditionalMonitor

def save(monitor: NeuralConditionalMonitor, path: str | os.PathLike[str]) -> None:
    """Writes the monitor dictionary (`to_dict()`) to `path` as strict JSON,
    atomically: a temporary file in the same directory, flushed to disk, then
    renamed over `path`; on failure an existing file is left as it was.

    Raises `ValueError` naming the entry for a NaN or inf anywhere (weights,
    `tau`, scales), `TypeError` for a monitor of another type or a path that is
    not text, and the monitor's `RuntimeError("Detector not fit")` for an
    untrained monitor or one without `tau`; `OSError` from writing propagates.
    """

def load(path: str | os.PathLike[str], *, device: str = "cpu") -> NeuralConditionalMonitor:
    """Reads a monitor written by `save` and returns it on `device`.

    Raises `ValueError` for anything but a regular file (or a link to one) of
    at most 256 MiB, text that is not strict JSON (NaN, Infinity) or a
    document that is not a JSON object; `TypeError` for a path that is not
    text or a `device` that is not a str. Errors of
    `NeuralConditionalMonitor.from_dict` propagate.
    """
