"""The `tarvex-watch` command line: what a monitor or coverage file holds
(`inspect`) and whether files are ready for `Watcher.from_file` (`check`).

    tarvex-watch inspect monitor-digits-mlp.json
    tarvex-watch inspect --json coverage.json
    tarvex-watch check demo_output/monitor-*.json

Files are read with the same checks as `watch.load` (size, strict JSON,
format version, every entry). An error is one line on stderr,
"tarvex-watch: ...", and the exit status is 1 (2 for a wrong command
line)."""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
from typing import Any, NoReturn, Sequence

from ._version import _package_version
from .calibration import Calibration
from .coverage import Coverage
from .files import load

PROG = "tarvex-watch"

# The most the envelope reader takes in: what `load` accepts.
_MAX_FILE_BYTES = 256 << 20

# Exit statuses: success, a file that failed, a wrong command line.
OK, FAILED, USAGE = 0, 1, 2


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line on stderr."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE, f"{PROG}: {_one_line(message)} (see {PROG} --help)\n")


def _one_line(text: str) -> str:
    return " ".join(text.split())


class FileError(Exception):
    """A file that cannot be read or described; the message names it."""


def _read_envelope(target: str) -> dict[str, Any]:
    """The JSON object of a file that `load` has just read: a regular file
    (no FIFO or device, which could block or never end) of bounded size,
    strict JSON."""
    try:
        flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0)
        with os.fdopen(os.open(target, flags), "rb") as handle:
            if not stat.S_ISREG(os.fstat(handle.fileno()).st_mode):
                raise FileError(f"{target!r} is not a regular file")
            data = handle.read(_MAX_FILE_BYTES + 1)
    except OSError as error:
        raise FileError(f"cannot read {target!r}: {error.strerror or error}") from None
    if len(data) > _MAX_FILE_BYTES:
        raise FileError(f"{target!r} grew past the {_MAX_FILE_BYTES} bytes a monitor file may have")

    def refuse(name: str) -> None:
        raise ValueError(f"{target!r} holds the non-standard JSON value {name}")

    try:
        document = json.loads(data.decode("utf-8"), parse_constant=refuse)
    except (UnicodeDecodeError, json.JSONDecodeError, RecursionError) as error:
        raise FileError(f"{target!r} changed while it was read: {error}") from None
    if not isinstance(document, dict):
        raise FileError(f"{target!r} changed while it was read: it holds a JSON {type(document).__name__}")
    return document


def describe(path: str | os.PathLike[str]) -> dict[str, Any]:
    """What the monitor or coverage file at `path` holds, as a JSON-ready
    dictionary: "file", "format", "format_version", "package_version" (the
    version that wrote it; None for the bare monitor dictionaries older
    versions wrote), "kind" ("monitor" or "coverage"), and:

    - for a monitor: "dimensions" ({"s": ..., "z": ...}), "tau",
      "calibration" (the record, or None), "layers" ({"s": ..., "z": ...}
      or None) and "tuning" (the number of candidates and the chosen
      settings, or None);
    - for a coverage: "layers", "links" (each with its S and Z layer and
      their widths), "reductions", "false_alarm_rate" (family-wise),
      "calibration_rows", "p_threshold" and "confidence" (None without);

    "guarantee", a sentence saying what the calibration promises (None for
    an uncalibrated monitor), and "fingerprint", the document's fingerprint
    entry as stored (None where it has none).

    The file is read and checked by `watch.load` (its errors propagate:
    `ValueError` naming the file for what it refuses, `OSError` for a file
    that cannot be opened), then read again for the entries `load` does not
    keep; a file changed in between raises `FileError`."""
    loaded = load(path)
    target = os.fspath(path)
    document = _read_envelope(target)
    enveloped = "format" in document
    described: dict[str, Any] = {
        "file": target,
        "format": document["format"] if enveloped else "bare monitor dictionary",
        "format_version": document.get("format_version") if enveloped else None,
        "package_version": document.get("package_version") if enveloped else None,
    }
    if isinstance(loaded, Coverage):
        described.update(_coverage_fields(loaded))
    else:
        described.update(_monitor_fields(loaded))
    described["fingerprint"] = document.get("fingerprint")
    return described


def _monitor_fields(monitor: Any) -> dict[str, Any]:
    calibration = monitor.calibration
    report = monitor.tuning_report
    tuning = None
    if report is not None:
        chosen = report.settings[report.chosen]
        tuning = {"candidates": len(report.settings), "chosen": report.chosen,
                  "settings": {key: list(value) if isinstance(value, tuple) else value
                               for key, value in chosen.items()}}
    return {
        "kind": "monitor",
        "dimensions": {"s": monitor.s_dim, "z": monitor.z_dim},
        "tau": monitor.tau,
        "calibration": None if calibration is None else calibration.to_dict(),
        "guarantee": None if calibration is None else calibration_guarantee(calibration),
        "layers": monitor.layers,
        "tuning": tuning,
    }


def _coverage_fields(coverage: Coverage) -> dict[str, Any]:
    widths = coverage.widths
    return {
        "kind": "coverage",
        "layers": list(coverage.layers),
        "links": [{"s": s, "z": z, "s_width": widths[s], "z_width": widths[z]} for s, z in coverage.links],
        "reductions": coverage.reductions,
        "false_alarm_rate": coverage.false_alarm_rate,
        "calibration_rows": coverage.calibration_rows,
        "p_threshold": coverage.p_threshold,
        "confidence": coverage.confidence,
        "guarantee": _coverage_guarantee(coverage),
    }


def _coverage_guarantee(coverage: Coverage) -> str:
    rows, links, rate = coverage.calibration_rows, len(coverage.links), coverage.false_alarm_rate
    if coverage.confidence is not None:
        return (f"family-wise: with probability at least {coverage.confidence:g} over the draw of the {rows} "
                f"calibration inputs, at most {rate:g} of clean inputs alarm on any of the {links} links")
    return (f"family-wise: on average over the draw of the {rows} calibration inputs, a clean input alarms on "
            f"any of the {links} links with probability at most {rate:g}")


def calibration_guarantee(calibration: Calibration) -> str:
    """What a calibration promises about clean inputs above its `tau`, in
    one sentence: with a `confidence`, a bound that holds for this very
    calibration with that probability; without, the bound (k + 1) / (n + 1)
    on average over the draw of the n calibration rows, k being the number
    of them allowed above `tau`."""
    rows, rate = calibration.rows, calibration.false_alarm_rate
    if calibration.confidence is not None:
        return (f"with probability at least {calibration.confidence:g} over the draw of the {rows} calibration "
                f"rows, at most {rate:g} of clean inputs score above tau")
    bound = (rows - calibration.rank + 1) / (rows + 1)
    return (f"clean inputs score above tau with probability at most {bound:.4g} (the requested {rate:g} plus at "
            f"most 1/{rows}), on average over the draw of the {rows} calibration rows; a single calibration "
            "can be above that")


def _text(described: dict[str, Any]) -> str:
    """The description as aligned "name  value" lines."""
    version = described["format_version"]
    lines = [("file", described["file"]),
             ("format", described["format"] + (f", version {version}" if version is not None else "")),
             ("written by", f"tarvex-core {described['package_version']}" if described["package_version"]
              else "(not recorded)")]
    if described["kind"] == "monitor":
        dimensions = described["dimensions"]
        calibration = described["calibration"]
        layers = described["layers"]
        tuning = described["tuning"]
        lines += [
            ("kind", "monitor"),
            ("dimensions", f"S {dimensions['s']} columns, Z {dimensions['z']} columns"),
            ("tau", f"{described['tau']:.6g}"),
            ("calibration", "none (Watcher.from_file needs alarm= then)" if calibration is None else
             f"false-alarm rate {calibration['false_alarm_rate']:g} on {calibration['rows']} rows, "
             f"tau the score of rank {calibration['rank']}"
             + (f", confidence {calibration['confidence']:g}" if calibration["confidence"] is not None else "")),
            ("guarantee", described["guarantee"] or "none"),
            ("layers", "not recorded (Watcher.from_file needs s= and z= then)" if layers is None else
             f"S = {layers['s']}, Z = {layers['z']}"),
            ("tuning", "none" if tuning is None else
             f"{tuning['candidates']} candidates, chose #{tuning['chosen']}: "
             + json.dumps(tuning["settings"], sort_keys=True)),
        ]
    else:
        lines += [("kind", f"coverage of {len(described['layers'])} layers")]
        lines += [("link" if i == 0 else "", f"{link['s']} ({link['s_width']}) -> {link['z']} ({link['z_width']})")
                  for i, link in enumerate(described["links"])]
        lines += [("reductions", ", ".join(f"{name}: {kind}" for name, kind in described["reductions"].items())),
                  ("calibration", f"family-wise false-alarm rate {described['false_alarm_rate']:g} on "
                                  f"{described['calibration_rows']} inputs, p threshold "
                                  f"{described['p_threshold']:.6g}"
                                  + (f", confidence {described['confidence']:g}"
                                     if described["confidence"] is not None else "")),
                  ("guarantee", described["guarantee"])]
    fingerprint = described["fingerprint"]
    lines.append(("fingerprint", "none" if fingerprint is None else json.dumps(fingerprint, sort_keys=True)))
    width = max(len(name) for name, _ in lines)
    return "\n".join(f"{name:<{width}}  {value}" for name, value in lines)


def servable_problem(described: dict[str, Any]) -> str | None:
    """Why `Watcher.from_file` cannot build a watcher from the described
    file without further arguments, or None when it can."""
    if described["kind"] != "monitor":
        return None
    if described["layers"] is None:
        return "names no S and Z layers (save it with layers=, or pass s= and z= to Watcher.from_file)"
    if described["calibration"] is None:
        return "holds no calibration to build the alarm from (calibrate the monitor before saving it)"
    return None


def _inspect(args: argparse.Namespace) -> int:
    described = describe(args.file)
    print(json.dumps(described, indent=2) if args.json else _text(described))
    return OK


def _check(args: argparse.Namespace) -> int:
    status = OK
    for path in args.files:
        try:
            described = describe(path)
        except Exception as error:  # noqa: BLE001 (each file's failure is reported, the others still checked)
            _report(_message(error, path))
            status = FAILED
            continue
        problem = servable_problem(described)
        if problem is not None:
            _report(f"{path!r} {problem}")
            status = FAILED
        else:
            print(f"{path}: ok ({described['kind']}, {described['format']} version {described['format_version']})")
    return status


def _report(message: str) -> None:
    print(f"{PROG}: {_one_line(message)}", file=sys.stderr)


def _message(error: Exception, path: str) -> str:
    """The error's message; for errors other than the file checks' own
    (a hostile file can make the monitor's rebuilding fail in other ways),
    with its type and the file."""
    if isinstance(error, (FileError, ValueError)):
        return str(error)
    if isinstance(error, OSError):
        return f"cannot read {error.filename or path!r}: {error.strerror or error}"
    return f"{path!r}: {type(error).__name__}: {error}"


def parser() -> argparse.ArgumentParser:
    """The command line's argument parser."""
    main_parser = _Parser(prog=PROG, description="Inspect and check the integrity watch's monitor and "
                                                 "coverage files.")
    main_parser.add_argument("--version", action="version", version=f"{PROG} (tarvex-core {_package_version()})")
    commands = main_parser.add_subparsers(dest="command", required=True, metavar="COMMAND", parser_class=_Parser)
    inspect = commands.add_parser("inspect", help="show what a monitor or coverage file holds",
                                  description="Show a monitor or coverage file's format, versions, dimensions, "
                                              "tau, calibration and its guarantee, layers or links, and "
                                              "fingerprint.")
    inspect.add_argument("file", metavar="FILE")
    inspect.add_argument("--json", action="store_true", help="print the description as a JSON object")
    inspect.set_defaults(run=_inspect)
    check = commands.add_parser("check", help="check that files load and are ready for Watcher.from_file",
                                description="Check that each file loads and, for a monitor file, names its "
                                            "layers and holds a calibration. Exit status 1 if any fails.")
    check.add_argument("files", metavar="FILE", nargs="+")
    check.set_defaults(run=_check)
    return main_parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on `argv` (default: the process's arguments)
    and returns the exit status: 0 on success, 1 when a file fails, 2 for a
    wrong command line."""
    args = parser().parse_args(argv)
    try:
        status: int = args.run(args)
        sys.stdout.flush()
    except BrokenPipeError:  # the reader went away (`| head`): not an error of ours
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return FAILED
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001 (one line on stderr, never a traceback)
        _report(_message(error, getattr(args, "file", "")))
        return FAILED
    return status


if __name__ == "__main__":
    sys.exit(main())
