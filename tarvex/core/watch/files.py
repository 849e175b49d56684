"""Monitor files: writing a monitor as strict JSON atomically, and reading
one back with the checks that keep hostile or oversized files out."""

from __future__ import annotations

import json
import os
import stat
from typing import Any

import numpy as np

from tarvex.core import resmon
from tarvex.core.serialization import save_json

# Largest monitor file `load` reads. A monitor with hidden (1024, 1024) and 64
# S columns is about 80 MiB of JSON; anything far larger is not a monitor.
_MAX_FILE_BYTES = 256 << 20


def _path(path: Any) -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path must be str or os.PathLike, got {type(path).__name__}")
    text = os.fspath(path)
    if not isinstance(text, str):
        raise TypeError("path must be a text path (str or os.PathLike[str]), not bytes")
    return text


def _first_non_finite(d: dict[str, Any]) -> str | None:
    """Names the first entry of the monitor dictionary that holds NaN or inf."""
    for key, value in d.items():
        if isinstance(value, dict):
            inner = _first_non_finite(value)
            if inner is not None:
                return f"{key}[{inner!r}]" if not inner.startswith("[") else f"{key}{inner}"
        elif isinstance(value, (float, list)):
            try:
                finite = bool(np.isfinite(np.asarray(value, dtype=np.float64)).all())
            except (TypeError, ValueError):
                continue
            if not finite:
                return key
    return None


def save(monitor: Any, path: str | os.PathLike[str]) -> None:
    """Writes the monitor dictionary (`to_dict()`) to `path` as strict JSON,
    atomically: a temporary file in the same directory, flushed to disk, then
    renamed over `path`. On any failure the temporary file is removed and an
    existing file at `path` is left as it was.

    A symbolic link at `path` is followed: the file it points to is replaced
    and the link stays. A file that is replaced keeps its permission bits. A
    `path` that exists and is not a regular file (a FIFO, a socket, a device
    node) raises `ValueError`, a directory `IsADirectoryError`, before
    anything is written. Temporary files left by an earlier save to the same
    path whose process was killed are removed.

    A monitor with a NaN or inf anywhere (weights, `tau`, scales) raises
    `ValueError` naming the entry, since standard JSON cannot hold it; an
    untrained monitor, or one without `tau`, raises the monitor's
    `RuntimeError("Detector not fit")`.
    """
    target = _path(path)
    if not isinstance(monitor, resmon.NeuralConditionalMonitor):
        raise TypeError(f"monitor must be a NeuralConditionalMonitor, got {type(monitor).__name__}")
    d = monitor.to_dict()
    bad = _first_non_finite(d)
    if bad is not None:
        raise ValueError(f"monitor entry {bad} holds NaN or inf; refusing to write non-standard JSON")
    save_json(d, target)


def _refuse_constant(name: str) -> None:
    raise ValueError(f"monitor file holds the non-standard JSON value {name}")


def _parse_document(data: bytes, target: str) -> Any:
    """The JSON document in `data`: strict JSON in UTF-8, nested no deeper
    than the parser's recursion allows (a monitor dictionary nests a few
    levels; thousands are not a monitor)."""
    try:
        return json.loads(data.decode("utf-8"), parse_constant=_refuse_constant)
    except UnicodeDecodeError as error:
        raise ValueError(f"{target!r} is not UTF-8 text: {error}") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{target!r} is not valid JSON: {error}") from None
    except RecursionError:
        raise ValueError(f"{target!r} nests JSON arrays or objects too deeply to be a monitor file") from None


def load(path: str | os.PathLike[str], *, device: str = "cpu") -> Any:
    """Reads a monitor written by `save` and returns it on `device`.

    Only regular files (or links to them) of at most 256 MiB are read; other
    files, larger ones, text that is not strict JSON (NaN, Infinity), JSON
    nested thousands of levels deep or a document that is not a JSON object
    raise `ValueError`. The dictionary goes through
    `NeuralConditionalMonitor.from_dict`, whose errors propagate, and the
    monitor is then moved with `set_device(device)`.
    """
    target = _path(path)
    if not isinstance(device, str):
        raise TypeError(f"device must be a str, got {type(device).__name__}")
    info = os.stat(target)
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"{target!r} is not a regular file")
    # O_NONBLOCK: should the path be swapped for a FIFO after the check, open
    # must not wait for a writer; fstat below refuses it.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    descriptor = os.open(target, flags)
    with os.fdopen(descriptor, "rb") as handle:
        info = os.fstat(handle.fileno())
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{target!r} is not a regular file")
        if info.st_size > _MAX_FILE_BYTES:
            raise ValueError(f"{target!r} is {info.st_size} bytes, more than the {_MAX_FILE_BYTES} a monitor "
                             "file may have")
        data = handle.read(_MAX_FILE_BYTES + 1)
    if len(data) > _MAX_FILE_BYTES:
        raise ValueError(f"{target!r} is more than the {_MAX_FILE_BYTES} bytes a monitor file may have")
    d = _parse_document(data, target)
    if not isinstance(d, dict):
        raise ValueError(f"{target!r} holds a JSON {type(d).__name__}, not a monitor dictionary")
    return resmon.NeuralConditionalMonitor.from_dict(d).set_device(device)
