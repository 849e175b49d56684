"""JSON files for artifacts: reading of bounded regular files only, and
writing that never leaves a half-written file in place of the old one."""

from __future__ import annotations

import errno
import json
import os
import stat
import uuid
from typing import Any

# The largest document load_json reads, and the most it asks of one read call.
MAX_JSON_BYTES = 256 * 1024 * 1024
_READ_CHUNK = 1024 * 1024


def load_json(path: str | os.PathLike[str]) -> Any:
    """Reads the JSON document stored at `path`, UTF-8 encoded.

    Only a regular file of at most MAX_JSON_BYTES is read; anything else (a
    FIFO, a device such as /dev/zero, a socket) raises ValueError, as does a
    larger file. A missing or unreadable file raises the usual OSError, a
    directory IsADirectoryError.
    """
    # O_NONBLOCK: opening a FIFO that has no writer returns at once instead of
    # waiting for one. The file is then checked through the open descriptor, so
    # it cannot be swapped between the check and the read.
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0))
    try:
        info = os.fstat(descriptor)
        if stat.S_ISDIR(info.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{os.fspath(path)!r} is not a regular file")
        # A file's size may grow after fstat, and files under /proc report 0:
        # one byte read past the limit tells those too.
        data = _read_at_most(descriptor, MAX_JSON_BYTES + 1) if info.st_size <= MAX_JSON_BYTES else None
    finally:
        os.close(descriptor)
    if data is None or len(data) > MAX_JSON_BYTES:
        raise ValueError(f"{os.fspath(path)!r} is larger than the limit of {MAX_JSON_BYTES} bytes")
    return json.loads(data.decode("utf-8"))


def _read_at_most(descriptor: int, limit: int) -> bytearray:
    """Reads from `descriptor` until end of file or `limit` bytes."""
    data = bytearray()
    while len(data) < limit:
        chunk = os.read(descriptor, min(_READ_CHUNK, limit - len(data)))
        if not chunk:
            break
        data += chunk
    return data


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
