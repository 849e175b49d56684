"""Monitor files: writing a monitor as strict JSON atomically, and reading
one back with the checks that keep hostile or oversized files out.

A monitor file is one JSON object, the envelope: the format name and
version, the package version that wrote it, the monitor's dictionary, its
calibration record, the names of the layers S and Z came from and the
tuning report's table, and optionally the fingerprint of the watched model's
weights and the typicality of S (format version 2; version 1 files, without
it, still load). Reading dispatches on the document's "format" (other
document kinds register a reader); files holding only a bare monitor
dictionary, as older versions wrote them, still load."""

from __future__ import annotations

import hashlib
import hmac
import inspect
import json
import math
import numbers
import os
import stat
from typing import Any, Callable

import numpy as np
import torch

from tarvex.core import resmon
from tarvex.core.serialization import save_json

from ._arguments import _unknown_monitor_entries, _widths
from ._version import _package_version
from .calibration import Calibration
from .fingerprints import Fingerprint, fingerprint
from .coverage import COVERAGE_FORMAT, COVERAGE_FORMAT_VERSION, Coverage
from .tuning import TuningReport
from .typicality import Typicality

MONITOR_FORMAT = "tarvex-monitor"
# Version 2 added the typicality of S; files without one are still written
# as version 1, so that older readers take them.
MONITOR_FORMAT_VERSION = 2
# What older versions of `save` wrote: the monitor dictionary alone, whose
# "type" names it.
_BARE_MONITOR_TYPE = "neural_conditional_monitor_v1"

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
            if isinstance(value, list):
                # None stands for "absent" (a link without a monitor), not for NaN
                value = [item for item in value if item is not None]
            try:
                finite = bool(np.isfinite(np.asarray(value, dtype=np.float64)).all())
            except (TypeError, ValueError):
                continue
            if not finite:
                return key
    return None


def save(monitor: Any, path: str | os.PathLike[str], *, layers: Any = None,
         model: torch.nn.Module | None = None, typicality: Typicality | None = None) -> None:
    """Writes the monitor file to `path` as strict JSON, atomically: a
    temporary file in the same directory, flushed to disk, then renamed over
    `path`. On any failure the temporary file is removed and an existing file
    at `path` is left as it was.

    The file holds the monitor dictionary (`to_dict()`), its calibration
    (`monitor.calibration`, set by `calibrate` and `tune`), the names of the
    S and Z layers (`layers`, an (s, z) pair or a {"s": ..., "z": ...}
    dictionary of the names given to `capture`; default: a `monitor.layers`
    attribute) and the table of `monitor.tuning_report`; each is null where
    absent. Other objects that describe themselves as a file document
    (a `_to_file_document()` method) are written the same way.

    The fingerprint of the watched model's weights (`watch.fingerprint`) is
    stored too: that of `model` when given, else a `monitor.fingerprint`
    attribute (`cover` sets it on a coverage; `load` restores it). A
    watcher built from the file (`Watcher.from_file`) checks it against the
    model it is given.

    The typicality of the monitor's S (`fit_typicality`) is stored too:
    `typicality` when given, else a `monitor.typicality` attribute (`load`
    restores it, and a watcher of the monitor uses it). A typicality whose
    width is not the monitor's S width raises `ValueError`; it applies to
    monitors only (a coverage holds its own).

    A symbolic link at `path` is followed: the file it points to is replaced
    and the link stays. A file that is replaced keeps its permission bits. A
    `path` that exists and is not a regular file (a FIFO, a socket, a device
    node) raises `ValueError`, a directory `IsADirectoryError`, before
    anything is written. Temporary files left by an earlier save to the same
    path whose process was killed are removed.

    A monitor with a NaN or inf anywhere (weights, `tau`, scales) raises
    `ValueError` naming the entry, since standard JSON cannot hold it, as does
    a calibration whose `tau` is no longer the monitor's (`tau` changed after
    `calibrate`: calibrate again, or set `monitor.calibration = None`); an
    untrained monitor, or one without `tau`, raises the monitor's
    `RuntimeError("Detector not fit")`; anything else `TypeError`.
    """
    target = _path(path)
    save_json(_document_for(monitor, layers, model, typicality), target)


def _document_for(obj: Any, layers: Any, model: Any = None, typicality: Any = None) -> dict[str, Any]:
    """The JSON document `save` writes for `obj`, with the fingerprint of
    `model` (or `obj.fingerprint`) and the `typicality` (or
    `obj.typicality`, monitors only) where there is one."""
    if model is not None:
        stored: Any = fingerprint(model)
    else:
        stored = getattr(obj, "fingerprint", None)
        if stored is not None and not isinstance(stored, Fingerprint):
            raise TypeError(f"monitor.fingerprint must be a watch.Fingerprint or None, got {type(stored).__name__}")
    document = _document_without_fingerprint(obj, layers)
    if stored is not None:
        document[FINGERPRINT_ENTRY] = stored.to_dict()
    if typicality is not None and not isinstance(obj, resmon.NeuralConditionalMonitor):
        raise TypeError(f"typicality applies to monitors only, not to {type(obj).__name__} (a coverage holds its "
                        "own)")
    if isinstance(obj, resmon.NeuralConditionalMonitor):
        typicality = typicality if typicality is not None else getattr(obj, "typicality", None)
        if typicality is not None:
            if not isinstance(typicality, Typicality):
                raise TypeError(f"typicality must be a watch.Typicality or None, got {type(typicality).__name__}")
            s_dim = _widths(obj)[0]
            if typicality.width != s_dim:
                raise ValueError(f"the typicality takes {typicality.width} S columns, the monitor {s_dim}")
            document[TYPICALITY_ENTRY] = typicality.to_dict()
            document["format_version"] = MONITOR_FORMAT_VERSION
    return document


def _document_without_fingerprint(obj: Any, layers: Any) -> dict[str, Any]:
    if isinstance(obj, resmon.NeuralConditionalMonitor):
        return _monitor_document(obj, layers)
    to_document = getattr(obj, "_to_file_document", None)
    if not callable(to_document):
        raise TypeError(f"monitor must be a NeuralConditionalMonitor, got {type(obj).__name__}")
    if layers is not None:
        raise TypeError(f"layers applies to monitors only, not to {type(obj).__name__}")
    document = to_document()
    if not isinstance(document, dict) or not isinstance(document.get("format"), str):
        raise TypeError(f"{type(obj).__name__}._to_file_document() must return a dict with a 'format' name")
    bad = _first_non_finite(document)
    if bad is not None:
        raise ValueError(f"{document['format']} entry {bad} holds NaN or inf; refusing to write non-standard JSON")
    return document


def _monitor_document(monitor: Any, layers: Any) -> dict[str, Any]:
    d = monitor.to_dict()
    bad = _first_non_finite(d)
    if bad is not None:
        raise ValueError(f"monitor entry {bad} holds NaN or inf; refusing to write non-standard JSON")
    calibration = getattr(monitor, "calibration", None)
    if calibration is not None:
        if not isinstance(calibration, Calibration):
            raise TypeError(f"monitor.calibration must be a watch.Calibration or None, "
                            f"got {type(calibration).__name__}")
        if calibration.tau != d["tau"]:
            raise ValueError(f"monitor.tau is {d['tau']!r} but its calibration set {calibration.tau!r}; calibrate "
                             "again, or set monitor.calibration = None to save without the record")
    report = getattr(monitor, "tuning_report", None)
    if report is not None and not isinstance(report, TuningReport):
        raise TypeError(f"monitor.tuning_report must be a watch.TuningReport or None, got {type(report).__name__}")
    return {
        "format": MONITOR_FORMAT,
        "format_version": 1,
        "package_version": _package_version(),
        "monitor": d,
        "calibration": None if calibration is None else calibration.to_dict(),
        "layers": _layer_names(getattr(monitor, "layers", None) if layers is None else layers),
        "tuning": None if report is None else _tuning_table(report),
    }


def _layer_names(layers: Any) -> dict[str, str] | None:
    """{"s": name, "z": name} from an (s, z) pair or such a dictionary."""
    if layers is None:
        return None
    if isinstance(layers, dict):
        if set(layers) != {"s", "z"}:
            raise ValueError(f"layers must have exactly the keys 's' and 'z', got {sorted(map(str, layers))}")
        s, z = layers["s"], layers["z"]
    elif isinstance(layers, (tuple, list)) and len(layers) == 2:
        s, z = layers
    else:
        raise TypeError(f"layers must be an (s, z) pair of layer names or a dict, got {type(layers).__name__}")
    if not isinstance(s, str) or not isinstance(z, str):
        raise TypeError("layer names must be str")
    return {"s": s, "z": z}


def _tuning_fields() -> list[str]:
    """The fields that rebuild a `TuningReport`: its constructor's."""
    return [name for name in inspect.signature(TuningReport.__init__).parameters if name != "self"]


def _tuning_table(report: TuningReport) -> dict[str, Any]:
    return {name: _plain(getattr(report, name), f"tuning_report.{name}") for name in _tuning_fields()}


def _plain(value: Any, where: str) -> Any:
    """`value` as plain JSON values: tuples become lists, NumPy values plain
    numbers, and NaN or inf figures (a candidate that could not be judged)
    null."""
    if value is None or isinstance(value, (str, bool)):
        return value
    if isinstance(value, numbers.Integral):
        return int(value)
    if isinstance(value, numbers.Real):
        return float(value) if math.isfinite(value) else None
    if isinstance(value, dict):
        if not all(isinstance(key, str) for key in value):
            raise ValueError(f"{where} has keys that are not str")
        return {key: _plain(item, f"{where}[{key!r}]") for key, item in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [_plain(item, f"{where}[{i}]") for i, item in enumerate(value)]
    raise ValueError(f"{where} holds a {type(value).__name__}, which a monitor file cannot store")


def _refuse_constant(name: str) -> None:
    raise ValueError(f"monitor file holds the non-standard JSON value {name}")


class _DuplicateKey(ValueError):
    pass


def _object_without_duplicates(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    """A JSON object as a dict, refusing a key given twice: Python's parser
    would keep the last silently, so a file could show one value to a reader
    and load another."""
    d = dict(pairs)
    if len(d) != len(pairs):
        seen: set[str] = set()
        for key, _ in pairs:
            if key in seen:
                raise _DuplicateKey(f"the key {key!r} appears more than once in one JSON object")
            seen.add(key)
    return d


def _parse_document(data: bytes, target: str) -> Any:
    """The JSON document in `data`: strict JSON in UTF-8 without repeated
    keys in an object, nested no deeper than the parser's recursion allows
    (a monitor dictionary nests a few levels; thousands are not a monitor)."""
    try:
        return json.loads(data.decode("utf-8"), parse_constant=_refuse_constant,
                          object_pairs_hook=_object_without_duplicates)
    except _DuplicateKey as error:
        raise ValueError(f"{target!r} is not valid for a monitor file: {error}") from None
    except UnicodeDecodeError as error:
        raise ValueError(f"{target!r} is not UTF-8 text: {error}") from None
    except json.JSONDecodeError as error:
        raise ValueError(f"{target!r} is not valid JSON: {error}") from None
    except RecursionError:
        raise ValueError(f"{target!r} nests JSON arrays or objects too deeply to be a monitor file") from None


def load(path: str | os.PathLike[str], *, device: str = "cpu", digest: str | None = None,
         key: bytes | None = None) -> Any:
    """Reads a monitor written by `save` and returns it on `device`, with
    `monitor.calibration` (a `Calibration`), `monitor.layers` (a dict of the
    S and Z layer names), `monitor.tuning_report` (a `TuningReport`) and
    `monitor.fingerprint` (a `Fingerprint` of the watched model's weights)
    restored, each None where the file holds none (files written before
    fingerprints were stored load with None). A file holding a bare
    monitor dictionary, as older versions of `save` wrote, loads with all
    four None. A coverage's fingerprint is restored as `coverage.fingerprint`.

    Only regular files (or links to them) of at most 256 MiB are read; other
    files, larger ones, text that is not strict JSON (NaN, Infinity), JSON
    nested thousands of levels deep, a
    document that is not a monitor file, one written by a newer format
    version than this package reads, and invalid entries (a calibration out
    of range or not matching the monitor's `tau`, for instance) raise
    `ValueError` naming the file. The monitor dictionary goes through
    `NeuralConditionalMonitor.from_dict`, whose `ValueError`s propagate (a
    missing entry raises `ValueError` too), and the monitor is then moved
    with `set_device(device)`. A coverage file (`watch.save` of a `Coverage`)
    gives the `Coverage`, each link's monitor on `device`.

    A JSON object that names a key twice, and an entry of a monitor
    dictionary that the monitor does not read (a misspelt "tua", say), raise
    `ValueError` too; a bare monitor dictionary, as older versions wrote it,
    keeps `from_dict`'s leniency about unknown entries.

    `digest` (64 hex digits, from `file_digest`) makes `load` check the bytes
    it reads, before parsing them, against that SHA-256, or with `key`
    against that HMAC-SHA256, and raise `ValueError` when they differ: a
    monitor file is not otherwise protected against deliberate changes
    (anyone who can write it can blind the monitor, with values every check
    accepts).
    """
    target = _path(path)
    if not isinstance(device, str):
        raise TypeError(f"device must be a str, got {type(device).__name__}")
    if key is not None:
        if digest is None:
            raise TypeError("key is used to check a digest: pass digest= with it")
        key = _key_bytes(key)
    expected = None if digest is None else _digest_text(digest)
    data = _read_file(target)
    if expected is not None and not hmac.compare_digest(_digest_of(data, key), expected):
        kind = "HMAC-SHA256 signature" if key is not None else "SHA-256"
        raise ValueError(f"{target!r} does not match its recorded {kind}: the file was changed since it was "
                         "recorded; it is not loaded")
    d = _parse_document(data, target)
    if not isinstance(d, dict):
        raise ValueError(f"{target!r} holds a JSON {type(d).__name__}, not a monitor file")
    return _read_document(d, target, device)


def _read_file(target: str) -> bytes:
    """The bytes of the regular file `target`, of at most `_MAX_FILE_BYTES`;
    anything else raises `ValueError`."""
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
    return data


def _key_bytes(key: Any) -> bytes:
    if not isinstance(key, (bytes, bytearray)) or not key:
        raise TypeError(f"key must be non-empty bytes, got {type(key).__name__}")
    return bytes(key)


def _digest_of(data: bytes, key: Any) -> str:
    if key is None:
        return hashlib.sha256(data).hexdigest()
    return hmac.new(_key_bytes(key), data, hashlib.sha256).hexdigest()


def _digest_text(digest: Any) -> str:
    if not isinstance(digest, str):
        raise TypeError(f"digest must be a str of 64 hex digits, got {type(digest).__name__}")
    text = digest.strip().lower()
    if len(text) != 64 or any(ch not in "0123456789abcdef" for ch in text):
        raise ValueError(f"digest must be 64 hex digits (a SHA-256 or HMAC-SHA256), got {digest!r}")
    return text


def file_digest(path: str | os.PathLike[str], *, key: bytes | None = None) -> str:
    """The SHA-256 of the file at `path` as 64 hex digits, or with `key`
    (bytes) its HMAC-SHA256 under that key: record it when the file is
    written, and pass it to `load(path, digest=..., key=...)`, which refuses
    a file whose bytes no longer match.

    A recorded SHA-256 detects any change to the file, provided the record
    is kept where whoever could change the file cannot change it too (next
    to the model's own checksum, in the deployment's configuration). An
    HMAC needs no protected record but a secret key: without it, nobody can
    make a changed file match. The file is read as `load` reads it (a
    regular file of at most 256 MiB, else `ValueError`)."""
    if key is not None:
        key = _key_bytes(key)
    return _digest_of(_read_file(_path(path)), key)


# --- reading documents by their format ----------------------------------------

# A reader turns a parsed document into its object: (document, target, device).
_Reader = Callable[[dict[str, Any], str, str], Any]
# Format name -> (newest format version the reader understands, reader).
_READERS: dict[str, tuple[int, _Reader]] = {}


def _register_reader(format_name: str, newest_version: int, reader: _Reader) -> None:
    """Lets `load` read documents whose "format" is `format_name`, up to
    `newest_version`."""
    _READERS[format_name] = (newest_version, reader)


def _read_document(d: dict[str, Any], target: str, device: str) -> Any:
    if "format" not in d:
        if d.get("type") == _BARE_MONITOR_TYPE:
            return _read_bare_monitor(d, target, device)
        raise ValueError(f"{target!r} is not a monitor file: it has no 'format' entry")
    name = d["format"]
    if not isinstance(name, str) or name not in _READERS:
        raise ValueError(f"{target!r} is not a monitor file: format {name!r} is unknown (known: {sorted(_READERS)})")
    newest, reader = _READERS[name]
    version = d.get("format_version")
    if isinstance(version, bool) or not isinstance(version, int) or version < 1:
        raise ValueError(f"{target!r}: format_version must be a positive int, got {version!r}")
    if version > newest:
        raise ValueError(f"{target!r} was written in {name} format version {version}; this package reads "
                         f"versions up to {newest}: update the package to read it")
    return reader(d, target, device)


def _monitor_from_dictionary(d: Any, target: str, device: str) -> Any:
    if not isinstance(d, dict):
        raise ValueError(f"{target!r}: the monitor entry is a {type(d).__name__}, not a monitor dictionary")
    try:
        monitor = resmon.NeuralConditionalMonitor.from_dict(d)
    except KeyError as error:
        raise ValueError(f"{target!r}: the monitor dictionary lacks {error}") from None
    return monitor.set_device(device)


def _read_bare_monitor(d: dict[str, Any], target: str, device: str) -> Any:
    monitor = _monitor_from_dictionary(d, target, device)
    monitor.calibration = monitor.layers = monitor.tuning_report = monitor.fingerprint = None
    monitor.typicality = None
    return monitor


_MONITOR_ENTRIES = ("format", "format_version", "package_version", "monitor", "calibration", "layers", "tuning")
# An entry of monitor and coverage files that files written before it existed
# lack: the fingerprint of the watched model's weights.
FINGERPRINT_ENTRY = "fingerprint"
# The optional entry of monitor files of version 2: the typicality of S.
TYPICALITY_ENTRY = "typicality"


def _stored_fingerprint(d: dict[str, Any], target: str) -> Fingerprint | None:
    """The document's fingerprint, or None where it holds none."""
    stored: Fingerprint | None = _entry(target, FINGERPRINT_ENTRY, d.get(FINGERPRINT_ENTRY), Fingerprint.from_dict)
    return stored


def _read_monitor_file(d: dict[str, Any], target: str, device: str) -> Any:
    missing = [key for key in _MONITOR_ENTRIES if key not in d]
    unknown = sorted(set(d) - set(_MONITOR_ENTRIES) - {FINGERPRINT_ENTRY, TYPICALITY_ENTRY})
    if missing or unknown:
        raise ValueError(f"{target!r}: a monitor file has the entries {list(_MONITOR_ENTRIES)}; "
                         f"missing {missing}, unknown {unknown}")
    if isinstance(d["monitor"], dict):
        unknown = _unknown_monitor_entries(d["monitor"])
        if unknown:
            raise ValueError(f"{target!r}: the monitor dictionary has entries the monitor does not read: {unknown}")
    calibration = _entry(target, "calibration", d["calibration"], lambda c: Calibration(**c))
    layers = _entry(target, "layers", d["layers"], _layer_names)
    report = _entry(target, "tuning", d["tuning"], _tuning_report)
    monitor = _monitor_from_dictionary(d["monitor"], target, device)
    if calibration is not None and calibration.tau != monitor.tau:
        raise ValueError(f"{target!r}: the calibration's tau {calibration.tau!r} is not the monitor's "
                         f"{monitor.tau!r}")
    if TYPICALITY_ENTRY in d and d["format_version"] < 2:
        raise ValueError(f"{target!r}: a typicality needs monitor format version 2, the file says "
                         f"{d['format_version']}")
    typicality = _entry(target, TYPICALITY_ENTRY, d.get(TYPICALITY_ENTRY), Typicality.from_dict)
    if typicality is not None and typicality.width != _widths(monitor)[0]:
        raise ValueError(f"{target!r}: the typicality takes {typicality.width} S columns, the monitor "
                         f"{_widths(monitor)[0]}")
    monitor.calibration, monitor.layers, monitor.tuning_report = calibration, layers, report
    monitor.fingerprint = _stored_fingerprint(d, target)
    monitor.typicality = typicality
    return monitor


def _entry(target: str, name: str, value: Any, build: Callable[[dict[str, Any]], Any]) -> Any:
    """None for null, else the object `build` makes of the entry's object;
    any error becomes a `ValueError` naming the file and the entry."""
    if value is None:
        return None
    if not isinstance(value, dict):
        raise ValueError(f"{target!r}: the {name} entry must be an object or null, got {type(value).__name__}")
    try:
        return build(value)
    except (TypeError, ValueError) as error:
        raise ValueError(f"{target!r}: the {name} entry is invalid: {error}") from None


def _tuning_report(table: dict[str, Any]) -> TuningReport:
    fields = _tuning_fields()
    if set(table) != set(fields):
        raise ValueError(f"expected the fields {fields}, got {sorted(table)}")
    values = {name: _figures(value) for name, value in table.items()}
    # Settings are constructor arguments, where sequences are tuples.
    if isinstance(values.get("settings"), list):
        values["settings"] = [{key: tuple(item) if isinstance(item, list) else item for key, item in s.items()}
                              if isinstance(s, dict) else s for s in table["settings"]]
    return TuningReport(**values)


def _figures(value: Any) -> Any:
    """Null figures inside lists back to NaN (what `_plain` wrote as null)."""
    if isinstance(value, list):
        return [math.nan if item is None else _figures(item) for item in value]
    return value


def _read_coverage_file(document: dict[str, Any], target: str, device: str) -> Coverage:
    """`load`'s reader for coverage files: the coverage with every link's
    monitor on `device`; errors name the file."""
    stored = _stored_fingerprint(document, target)
    try:
        coverage = Coverage._from_file_document({k: v for k, v in document.items() if k != FINGERPRINT_ENTRY})
    except ValueError as error:
        raise ValueError(f"{target!r}: {error}") from None
    coverage.fingerprint = stored
    for monitor in coverage.monitors:
        if monitor is not None:  # a link checked by its checksum alone has none
            monitor.set_device(device)
    return coverage


_register_reader(MONITOR_FORMAT, MONITOR_FORMAT_VERSION, _read_monitor_file)
_register_reader(COVERAGE_FORMAT, COVERAGE_FORMAT_VERSION, _read_coverage_file)
