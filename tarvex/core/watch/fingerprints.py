"""Weight fingerprints: an exact checksum of every parameter and buffer of a
model, for weights corrupted or changed at rest.

`fingerprint(model)` reads each tensor once, where it lives: the checksum is
a reduction of the tensor's bits computed by PyTorch on the tensor's own
device, so a GPU model is never copied to host memory, and a CPU and a GPU
copy of the same weights give the same fingerprint. `Fingerprint.verify`
recomputes it and names every tensor that changed, appeared or disappeared.

The checksum. A tensor's bytes, padded with zeros to whole 32-bit words, are
read as signed words w_i. Two sums, each sum_i w_i * m_i modulo 2^64 with
odd multipliers m_i (a fixed pseudo-random table, and a per-block odd factor
for tensors longer than the table), form the digest. Changing one word by
d != 0 (|d| < 2^32) changes each sum by d * m_i, which is never 0 modulo
2^64 because m_i is odd: any change confined to one 32-bit word, and so
every single flipped bit, is always found. Changes to several words cancel
only by accident (the two sums use independent multipliers). The dtype, the
shape and the byte length are compared too.

This is an integrity check against faults, not a cryptographic hash: it does
not resist a deliberate forgery.
"""

from __future__ import annotations

import json
import logging
import threading
import time
from collections import deque
from dataclasses import dataclass
from typing import Any, Callable, Iterator

import numpy as np
import torch

logger = logging.getLogger("tarvex.core.watch")

FINGERPRINT_FORMAT = "tarvex-fingerprint"
# Names the checksum above; a stored fingerprint with another one cannot be
# compared and is refused.
ALGORITHM = "wordsum64x2-v1"

# Words per block: the multiplier table's length. Larger blocks mean fewer
# kernel launches, smaller ones less scratch memory (about 24 bytes a word).
_BLOCK_WORDS = 1 << 20
_MASK64 = (1 << 64) - 1
_tables: dict[str, torch.Tensor] = {}
_tables_lock = threading.Lock()


def _multipliers(device: torch.device) -> torch.Tensor:
    """The (2, block) table of odd int64 multipliers on `device`, made once
    per device from a fixed seed (the same on every machine)."""
    key = str(device)
    with _tables_lock:
        table = _tables.get(key)
        if table is None:
            values = np.random.default_rng(0x5EED_F1A9).integers(0, 1 << 63, size=(2, _BLOCK_WORDS), dtype=np.int64)
            table = torch.from_numpy(values | 1).to(device)
            _tables[key] = table
        return table


def _block_factor(block: int, which: int) -> int:
    """An odd signed 64-bit factor for block `block` of sum `which`
    (splitmix64 of the pair), so that equal words at the same offset of two
    blocks weigh differently."""
    x = (block * 2 + which + 0x9E3779B97F4A7C15) & _MASK64
    x = ((x ^ (x >> 30)) * 0xBF58476D1CE4E5B9) & _MASK64
    x = ((x ^ (x >> 27)) * 0x94D049BB133111EB) & _MASK64
    x = (x ^ (x >> 31)) | 1
    return x - (1 << 64) if x >= 1 << 63 else x


def _words(tensor: torch.Tensor) -> torch.Tensor:
    """The tensor's bytes as int32 words on its device, zero-padded."""
    flat = tensor.detach().contiguous().reshape(-1)
    raw = flat.view(torch.uint8) if flat.dtype != torch.uint8 else flat
    pad = (-raw.numel()) % 4
    if pad:
        raw = torch.cat([raw, raw.new_zeros(pad)])
    return raw.view(torch.int32)


def _digest(tensor: torch.Tensor, name: str) -> str:
    """The checksum of one tensor as 32 hex digits."""
    if tensor.layout != torch.strided:
        raise ValueError(f"cannot fingerprint {name!r}: its layout {tensor.layout} is not a dense tensor")
    if tensor.is_quantized:
        tensor = tensor.int_repr()
    if tensor.device.type == "meta":
        raise ValueError(f"cannot fingerprint {name!r}: it lies on the meta device and holds no values")
    words = _words(tensor)
    table = _multipliers(words.device)
    total = torch.zeros(2, dtype=torch.int64, device=words.device)
    factors: list[list[int]] = []
    sums = []
    for block, start in enumerate(range(0, words.numel(), _BLOCK_WORDS)):
        part = words[start:start + _BLOCK_WORDS].to(torch.int64)
        sums.append((part * table[:, :part.numel()]).sum(dim=1))
        factors.append([_block_factor(block, 0), _block_factor(block, 1)])
        if len(sums) == 64:  # keep the pending partial sums few
            total += (torch.stack(sums) * torch.tensor(factors, device=words.device)).sum(dim=0)
            sums, factors = [], []
    if sums:
        total += (torch.stack(sums) * torch.tensor(factors, device=words.device)).sum(dim=0)
    first, second = (value & _MASK64 for value in total.tolist())
    return f"{first:016x}{second:016x}"


def _named_tensors(model: torch.nn.Module) -> Iterator[tuple[str, str, torch.Tensor]]:
    """(name, "parameter" or "buffer", tensor) of every parameter and buffer;
    a tensor shared under several names is listed under its first name."""
    for name, parameter in model.named_parameters():
        yield name, "parameter", parameter
    for name, buffer in model.named_buffers():
        yield name, "buffer", buffer


@dataclass(frozen=True)
class TensorDigest:
    """What a fingerprint keeps of one tensor: whether it is a parameter or
    a buffer, its dtype (as PyTorch names it), its shape and its checksum."""

    kind: str
    dtype: str
    shape: tuple[int, ...]
    digest: str

    def to_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "dtype": self.dtype, "shape": list(self.shape), "digest": self.digest}


@dataclass(frozen=True)
class FingerprintCheck:
    """The outcome of `Fingerprint.verify`: the names of the tensors whose
    dtype, shape or values `changed`, those the model has and the
    fingerprint does not (`added`) and those the fingerprint has and the
    model lacks (`removed`), each sorted; `seconds` is the time verifying
    took and `nbytes` the bytes of weights read."""

    changed: tuple[str, ...]
    added: tuple[str, ...]
    removed: tuple[str, ...]
    seconds: float
    nbytes: int

    @property
    def matches(self) -> bool:
        """Whether the model's weights are exactly those fingerprinted."""
        return not (self.changed or self.added or self.removed)

    def __bool__(self) -> bool:
        return self.matches

    def describe(self, limit: int = 10) -> str:
        """The differences in one line, at most `limit` names per kind."""
        if self.matches:
            return "weights match the fingerprint"

        def names(values: tuple[str, ...]) -> str:
            shown = ", ".join(values[:limit])
            return shown + (f" and {len(values) - limit} more" if len(values) > limit else "")

        parts = [f"{label} {len(values)} ({names(values)})" for label, values in
                 (("changed", self.changed), ("added", self.added), ("removed", self.removed)) if values]
        return "weights differ from the fingerprint: " + "; ".join(parts)


class Fingerprint:
    """The checksums of every parameter and buffer of a model (see the
    module docstring), made by `fingerprint(model)`.

    `tensors` maps each name of `model.named_parameters()` and
    `model.named_buffers()` to its `TensorDigest`; `nbytes` is the size of
    the weights read. `verify(model)` compares a model with it;
    `to_dict`/`from_dict` and `to_json`/`from_json` store it."""

    def __init__(self, tensors: dict[str, TensorDigest]) -> None:
        self.tensors = dict(tensors)

    @property
    def nbytes(self) -> int:
        """Bytes of weights the fingerprint covers."""
        total = 0
        for entry in self.tensors.values():
            total += int(np.prod(entry.shape, dtype=np.int64)) * torch.empty(0, dtype=_dtype(entry.dtype)).element_size()
        return total

    def __repr__(self) -> str:
        return f"Fingerprint({len(self.tensors)} tensors, {self.nbytes} bytes)"

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Fingerprint) and self.tensors == other.tensors

    __hash__ = None  # type: ignore[assignment]

    def verify(self, model: torch.nn.Module) -> FingerprintCheck:
        """Recomputes the checksums of `model` where its tensors live and
        returns a `FingerprintCheck` naming every tensor that changed (dtype,
        shape or any bit of its values), was added or was removed.

        Raises `TypeError` for a model that is not a `torch.nn.Module` and
        `ValueError` for a tensor that holds no values (meta device) or is
        not dense."""
        started = time.perf_counter()
        current = fingerprint(model)
        changed = sorted(name for name, entry in current.tensors.items()
                         if name in self.tensors and self.tensors[name] != entry)
        added = sorted(set(current.tensors) - set(self.tensors))
        removed = sorted(set(self.tensors) - set(current.tensors))
        return FingerprintCheck(tuple(changed), tuple(added), tuple(removed), time.perf_counter() - started,
                                current.nbytes)

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dictionary: format name, checksum algorithm and one
        entry per tensor."""
        return {"format": FINGERPRINT_FORMAT, "algorithm": ALGORITHM,
                "tensors": {name: entry.to_dict() for name, entry in self.tensors.items()}}

    @classmethod
    def from_dict(cls, d: Any) -> Fingerprint:
        """Rebuilds a fingerprint from `to_dict()`'s dictionary; anything
        missing, malformed or made with another checksum raises
        `ValueError`."""
        if not isinstance(d, dict) or set(d) != {"format", "algorithm", "tensors"}:
            raise ValueError("a fingerprint is an object with the entries format, algorithm and tensors")
        if d["format"] != FINGERPRINT_FORMAT:
            raise ValueError(f"not a fingerprint: format {d['format']!r}")
        if d["algorithm"] != ALGORITHM:
            raise ValueError(f"fingerprint checksum {d['algorithm']!r} is not supported (this version "
                             f"computes {ALGORITHM!r})")
        tensors = d["tensors"]
        if not isinstance(tensors, dict):
            raise ValueError("fingerprint tensors must be an object of name -> entry")
        entries = {}
        for name, entry in tensors.items():
            entries[name] = _entry_from_dict(name, entry)
        return cls(entries)

    def to_json(self) -> str:
        """The fingerprint as a JSON text (`to_dict()`)."""
        return json.dumps(self.to_dict(), sort_keys=True)

    @classmethod
    def from_json(cls, text: str | bytes) -> Fingerprint:
        """Reads `to_json()`'s text; invalid JSON or content raises
        `ValueError`."""
        try:
            d = json.loads(text)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise ValueError(f"fingerprint is not valid JSON: {error}") from None
        return cls.from_dict(d)


def _dtype(name: str) -> torch.dtype:
    dtype = getattr(torch, name.removeprefix("torch."), None)
    if not isinstance(dtype, torch.dtype):
        raise ValueError(f"unknown dtype {name!r}")
    return dtype


def _entry_from_dict(name: Any, entry: Any) -> TensorDigest:
    where = f"fingerprint entry {name!r}"
    if not isinstance(name, str) or not isinstance(entry, dict) or set(entry) != {"kind", "dtype", "shape", "digest"}:
        raise ValueError(f"{where}: expected an object with kind, dtype, shape and digest")
    kind, dtype, shape, digest = entry["kind"], entry["dtype"], entry["shape"], entry["digest"]
    if kind not in ("parameter", "buffer"):
        raise ValueError(f"{where}: kind must be 'parameter' or 'buffer', got {kind!r}")
    if not isinstance(dtype, str):
        raise ValueError(f"{where}: dtype must be a str")
    _dtype(dtype)
    if not isinstance(shape, list) or not all(isinstance(v, int) and not isinstance(v, bool) and v >= 0
                                              for v in shape):
        raise ValueError(f"{where}: shape must be a list of non-negative ints")
    if not isinstance(digest, str) or len(digest) != 32 or any(c not in "0123456789abcdef" for c in digest):
        raise ValueError(f"{where}: digest must be 32 lowercase hex digits")
    return TensorDigest(kind, dtype, tuple(shape), digest)


def fingerprint(model: torch.nn.Module) -> Fingerprint:
    """The `Fingerprint` of every parameter and buffer of `model`, each
    checksum computed on the device the tensor lives on (nothing is copied
    to host memory but two numbers per tensor).

    Cost: the weights are read once, a few times the time of copying them
    (docs/guides/fingerprints.md gives the measured rate). Raises
    `TypeError` for a model that is not a `torch.nn.Module` and `ValueError`
    for a tensor that holds no values (meta device) or is not dense."""
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    tensors = {}
    with torch.no_grad():
        for name, kind, tensor in _named_tensors(model):
            tensors[name] = TensorDigest(kind, str(tensor.dtype).removeprefix("torch."),
                                         tuple(int(v) for v in tensor.shape), _digest(tensor, name))
    return Fingerprint(tensors)


# --- checking a model against a stored fingerprint -----------------------------------

MISMATCH_ACTIONS = ("refuse", "warn")


def check_model(stored: Fingerprint | None, model: torch.nn.Module, action: str, source: str) -> FingerprintCheck | None:
    """Compares `model` with the fingerprint stored in a file (`source`
    names it): None when the file holds none; else the check, after raising
    `ValueError` (`action="refuse"`) or warning (`"warn"`, a `UserWarning`
    and a WARNING log record) when the weights differ."""
    if action not in MISMATCH_ACTIONS:
        raise ValueError(f"if_weights_differ must be one of {MISMATCH_ACTIONS}, got {action!r}")
    if stored is None:
        return None
    check = stored.verify(model)
    if check.matches:
        return check
    message = (f"{source} was fitted on other weights than this model's: {check.describe()}; a monitor fitted on "
               "other weights gives meaningless scores")
    if action == "refuse":
        raise ValueError(message + " (pass if_weights_differ='warn' to watch anyway)")
    import warnings

    warnings.warn(message, UserWarning, stacklevel=3)
    logger.warning(message, extra={"tarvex_watch": {"event": "fingerprint_mismatch", "changed": list(check.changed),
                                                    "added": list(check.added), "removed": list(check.removed)}})
    return check


@dataclass(frozen=True)
class FingerprintEvent:
    """A periodic verification that found the watched model's weights
    changed: `index` is the number of inputs the watcher had scored, `time`
    the wall-clock time (`time.time()`) and `changed`, `added`, `removed`
    the tensors that differ (as in `FingerprintCheck`)."""

    index: int
    time: float
    changed: tuple[str, ...]
    added: tuple[str, ...]
    removed: tuple[str, ...]


# How many events a verifier keeps (the oldest are dropped first).
MAX_FINGERPRINT_EVENTS = 100


class PeriodicVerifier:
    """Verifies a model against a reference fingerprint on a background
    thread, after every `every_inputs` inputs counted by `note_inputs`
    and/or every `every_seconds` seconds.

    Each verification counts in `checks`; one that finds the weights
    changed sets `mismatch` (cleared by a later verification that finds
    them as fingerprinted), records a `FingerprintEvent` (`events`), logs
    one WARNING record of the logger "tarvex.core.watch" (fields in the
    record attribute `tarvex_watch`, "event": "fingerprint_mismatch") and
    calls `on_mismatch(event)`. An exception from a verification or from
    `on_mismatch` is logged (ERROR) and counted in `errors`; the thread
    carries on, so serving never stops for it. `start` and `stop` may be
    called repeatedly; `stop` waits for a verification in progress.
    `verify_now()` runs one verification on the calling thread."""

    def __init__(self, model: torch.nn.Module, reference: Fingerprint, *, every_inputs: int | None,
                 every_seconds: float | None, on_mismatch: Callable[[FingerprintEvent], Any] | None = None) -> None:
        if every_inputs is None and every_seconds is None:
            raise ValueError("a periodic verifier needs every_inputs or every_seconds")
        self.model = model
        self.reference = reference
        self.every_inputs = every_inputs
        self.every_seconds = every_seconds
        self.on_mismatch = on_mismatch
        self.checks = 0
        self.errors = 0
        self.mismatch = False
        self.last: FingerprintCheck | None = None
        self._events: deque[FingerprintEvent] = deque(maxlen=MAX_FINGERPRINT_EVENTS)
        self._wake = threading.Event()
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._verifying = threading.Lock()
        self._inputs = 0
        self._pending_inputs = 0
        self._thread: threading.Thread | None = None

    @property
    def events(self) -> list[FingerprintEvent]:
        """The mismatches found so far, oldest first (the latest 100)."""
        with self._lock:
            return list(self._events)

    def start(self) -> None:
        with self._lock:
            if self._thread is not None:
                return
            self._stop.clear()
            self._thread = threading.Thread(target=self._run, name="tarvex-fingerprint", daemon=True)
            self._thread.start()

    def stop(self) -> None:
        with self._lock:
            thread, self._thread = self._thread, None
        if thread is not None:
            self._stop.set()
            self._wake.set()
            thread.join()

    def note_inputs(self, count: int) -> None:
        """Counts inputs scored; wakes the thread once `every_inputs` have
        passed since the last verification."""
        with self._lock:
            self._inputs += count
            self._pending_inputs += count
            due = self.every_inputs is not None and self._pending_inputs >= self.every_inputs
        if due:
            self._wake.set()

    def verify_now(self) -> FingerprintCheck:
        """Verifies at once and records the outcome as the thread does;
        errors propagate."""
        with self._verifying:
            with self._lock:
                self._pending_inputs = 0
            check = self.reference.verify(self.model)
            event = None
            with self._lock:
                self.checks += 1
                self.last = check
                self.mismatch = not check.matches
                if not check.matches:
                    event = FingerprintEvent(self._inputs, time.time(), check.changed, check.added, check.removed)
                    self._events.append(event)
        if event is not None:
            logger.warning("fingerprint check at input %d: %s", event.index, check.describe(),
                           extra={"tarvex_watch": {"event": "fingerprint_mismatch", "index": event.index,
                                                   "time": event.time, "changed": list(event.changed),
                                                   "added": list(event.added), "removed": list(event.removed)}})
            if self.on_mismatch is not None:
                self.on_mismatch(event)
        return check

    def _run(self) -> None:
        while not self._stop.is_set():
            self._wake.wait(self.every_seconds)
            if self._stop.is_set():
                return
            self._wake.clear()
            try:
                self.verify_now()
            except Exception as error:  # noqa: BLE001 - watching must never stop serving
                with self._lock:
                    self.errors += 1
                logger.error("fingerprint verification failed: %r", error,
                             extra={"tarvex_watch": {"event": "fingerprint_error", "error": repr(error)}})
