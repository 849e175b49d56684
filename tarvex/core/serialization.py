"""JSON files for artifacts: plain reading, and writing that never leaves a
half-written file in place of the old one."""

from __future__ import annotations

import json
import os
import uuid
from typing import Any


def load_json(path: str | os.PathLike[str]) -> Any:
    """Reads the JSON document stored at `path`."""
    with open(path, "r", encoding="utf-8") as handle:
        return json.load(handle)


def save_json(obj: Any, path: str | os.PathLike[str]) -> None:
    """Writes `obj` as strict JSON to `path`, atomically.

    The document goes to a temporary file in the target's directory, which is
    flushed to disk and then renamed over `path`; if anything fails on the way
    the temporary file is removed and `path` is left as it was.
    """
    target = os.fspath(path)
    directory = os.path.dirname(os.path.abspath(target))
    temporary = os.path.join(directory, f".{os.path.basename(target)}.{uuid.uuid4().hex}.tmp")
    # O_EXCL: never write through an existing file or link; mode 0o666 lets the
    # process umask decide the permissions, as a plain open() would.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as handle:
            json.dump(obj, handle, indent=2, allow_nan=False)
            handle.write("\n")
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
