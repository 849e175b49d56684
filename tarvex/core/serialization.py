"""JSON files for artifacts: reading of bounded regular files only, and
writing that never leaves a half-written file in place of the old one, never
replaces anything but a regular file, and cleans up after killed writers."""

from __future__ import annotations

import errno
import hashlib
import json
import os
import stat
import time
import uuid
from typing import Any

try:
    import fcntl
except ImportError:  # Windows: no locks there, and leftovers of killed saves stay
    fcntl = None  # type: ignore[assignment]

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

    A symbolic link at `path` is followed: the file it points to is replaced
    and the link stays. An existing file keeps its permission bits (a new one
    gets 0o666 less the umask). A target that exists and is not a regular
    file (a FIFO, a socket, a device) raises ValueError and a directory
    IsADirectoryError, both before anything is written. Temporary files that
    an earlier save to the same target left behind when its process was
    killed are removed first.
    """
    target, mode = _replaceable_target(path)
    directory, name = os.path.split(target)
    prefix = _temporary_prefix(name)
    _remove_abandoned_temporaries(directory, prefix)
    temporary = os.path.join(directory, f"{prefix}{uuid.uuid4().hex[:_TOKEN_LENGTH]}{_TEMPORARY_SUFFIX}")
    # O_EXCL: never write through an existing file or link; mode 0o666 lets the
    # process umask decide the permissions, as a plain open() would.
    descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as handle:
            # The lock is held until the file is renamed and closed: it tells
            # a later save that this temporary is still being written.
            _lock(handle.fileno())
            if mode is not None:
                os.fchmod(handle.fileno(), mode)
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


# Temporary files are named <prefix><token>.tmp, where the prefix depends only
# on the target's name: a dot, at most _NAME_HEAD characters of that name (so
# a listing shows what they belong to) and a digest of the whole name, which
# keeps the temporary's name short for any target name a file system allows.
_NAME_HEAD = 24
_DIGEST_LENGTH = 16
_TOKEN_LENGTH = 16
_TEMPORARY_SUFFIX = ".tmp"
# A temporary is taken for abandoned only when nobody holds its lock and it is
# older than this: the age covers the instant between a writer creating the
# file and locking it.
_ABANDONED_AFTER_SECONDS = 2.0


def _replaceable_target(path: str | os.PathLike[str]) -> tuple[str, int | None]:
    """The file that saving to `path` replaces, with symbolic links resolved,
    and the permission bits of the file there now (None when there is none).

    Refuses a target that exists and is not a regular file, so that a FIFO, a
    socket or a device node is never replaced by a JSON file.
    """
    original = os.fspath(path)
    target = os.path.realpath(original)
    try:
        info = os.stat(target)  # a loop of links raises OSError (ELOOP) here
    except FileNotFoundError:
        return target, None
    if stat.S_ISDIR(info.st_mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), original)
    if not stat.S_ISREG(info.st_mode):
        raise ValueError(f"{original!r} is not a regular file; refusing to replace it")
    return target, stat.S_IMODE(info.st_mode)


def _temporary_prefix(name: str) -> str:
    """The start of every temporary file's name for a target named `name`."""
    digest = hashlib.sha256(os.fsencode(name)).hexdigest()[:_DIGEST_LENGTH]
    return f".{name[:_NAME_HEAD]}.{digest}."


def _lock(descriptor: int) -> None:
    if fcntl is not None:
        fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)


def _remove_abandoned_temporaries(directory: str, prefix: str) -> None:
    """Removes the temporaries of earlier saves to the same target whose
    writers are gone (killed before they could clean up). A temporary that
    another process is still writing is locked and left alone."""
    if fcntl is None:
        return
    length = len(prefix) + _TOKEN_LENGTH + len(_TEMPORARY_SUFFIX)
    try:
        entries = list(os.scandir(directory or "."))
    except OSError:
        return
    for entry in entries:
        if len(entry.name) == length and entry.name.startswith(prefix) and entry.name.endswith(_TEMPORARY_SUFFIX):
            _remove_if_abandoned(entry.path)


def _remove_if_abandoned(path: str) -> None:
    flags = os.O_RDONLY | os.O_NOFOLLOW | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        descriptor = os.open(path, flags)
    except OSError:
        return
    try:
        info = os.fstat(descriptor)
        if (not stat.S_ISREG(info.st_mode) or info.st_uid != os.geteuid()
                or time.time() - info.st_mtime < _ABANDONED_AFTER_SECONDS):
            return
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return  # its writer is still at work
        now = os.lstat(path)
        if (now.st_dev, now.st_ino) == (info.st_dev, info.st_ino):
            os.unlink(path)
    except OSError:
        pass  # removing a leftover is a courtesy; the save itself goes on
    finally:
        os.close(descriptor)
