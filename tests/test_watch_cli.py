"""The tarvex-watch command line: inspect and check of monitor and coverage
files, and its errors (one line on stderr, non-zero exit status)."""

import json
import subprocess
import sys
import tomllib
from pathlib import Path

import pytest
import torch

from tarvex.core import resmon, watch
from tarvex.core.watch import cli, files

from helpers import linear_pairs

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def calibrated():
    S, Z = linear_pairs(400)
    monitor = resmon.NeuralConditionalMonitor(hidden=(8,), epochs=4, batch_size=32, random_state=1)
    monitor.fit(S, Z)
    watch.calibrate(monitor, *linear_pairs(300, rows_seed=6), false_alarm_rate=0.05)
    return monitor


@pytest.fixture(scope="module")
def folder(calibrated, tmp_path_factory):
    """Files of every kind the command reads: monitors with and without
    layers or calibration, a bare monitor dictionary, a coverage."""
    folder = tmp_path_factory.mktemp("cli")
    watch.save(calibrated, folder / "monitor.json", layers=("body.0", "output"))
    watch.save(calibrated, folder / "no-layers.json")
    uncalibrated = resmon.NeuralConditionalMonitor.from_dict(calibrated.to_dict())
    watch.save(uncalibrated, folder / "uncalibrated.json", layers=("body.0", "output"))
    (folder / "bare.json").write_text(json.dumps(calibrated.to_dict()))
    torch.manual_seed(0)
    net = torch.nn.Sequential(torch.nn.Linear(6, 5), torch.nn.Tanh(), torch.nn.Linear(5, 3)).eval()
    coverage = watch.cover(net, torch.randn(600, 6, generator=torch.Generator().manual_seed(0)),
                           ["input", "1", "output"], false_alarm_rate=0.1,
                           candidates=[{"hidden": (8,), "epochs": 3, "dropout": 0.0}])
    watch.save(coverage, folder / "coverage.json")
    return folder


def run_cli(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


def test_inspect_a_monitor_file_from_the_command_line(folder, calibrated):
    """Through the interpreter, as the console script runs it."""
    result = subprocess.run([sys.executable, "-m", "tarvex.core.watch.cli", "inspect", folder / "monitor.json"],
                            capture_output=True, text=True, timeout=120, cwd=ROOT)
    assert result.returncode == 0 and result.stderr == ""
    lines = dict(line.split(None, 1) if not line.startswith("written") else ("written", line.split(None, 2)[2])
                 for line in result.stdout.splitlines())
    assert lines["format"] == "tarvex-monitor, version 1"
    assert lines["dimensions"] == "S 4 columns, Z 3 columns"
    assert float(lines["tau"]) == pytest.approx(calibrated.tau, rel=1e-5)
    assert lines["layers"] == "S = body.0, Z = output"
    # 300 rows at 5%: 15 may be above tau, so the bound is 16 / 301.
    assert "at most 0.05316 " in lines["guarantee"]
    assert lines["fingerprint"] == "none"


def test_inspect_json_describes_monitors_and_coverages(folder, calibrated, capsys):
    status, out, _ = run_cli(capsys, "inspect", "--json", folder / "monitor.json")
    described = json.loads(out)
    assert status == 0
    assert described["calibration"] == calibrated.calibration.to_dict()
    assert (described["kind"], described["dimensions"], described["tuning"]) == ("monitor", {"s": 4, "z": 3}, None)

    status, out, _ = run_cli(capsys, "inspect", "--json", folder / "coverage.json")
    described = json.loads(out)
    assert status == 0 and described["kind"] == "coverage"
    assert [(link["s"], link["z"]) for link in described["links"]] == [("input", "1"), ("1", "output")]
    assert [(link["s_width"], link["z_width"]) for link in described["links"]] == [(6, 5), (5, 3)]
    assert described["false_alarm_rate"] == 0.1 and "at most 0.1" in described["guarantee"]
    status, out, _ = run_cli(capsys, "inspect", folder / "coverage.json")
    assert "input (6) -> 1 (5)" in out and "1 (5) -> output (3)" in out


def test_inspect_shows_a_fingerprint_entry(folder, tmp_path, capsys):
    """A file's "fingerprint" entry (the watched model's weight checksums) is shown as stored."""
    document = json.loads((folder / "monitor.json").read_text())
    document["fingerprint"] = watch.fingerprint(torch.nn.Linear(3, 2)).to_dict()
    (tmp_path / "fingerprinted.json").write_text(json.dumps(document))
    status, out, _ = run_cli(capsys, "inspect", tmp_path / "fingerprinted.json")
    assert status == 0
    assert json.loads(out.splitlines()[-1].split(None, 1)[1]) == document["fingerprint"]


def test_check_reports_each_file(folder, capsys):
    status, out, err = run_cli(capsys, "check", folder / "monitor.json", folder / "coverage.json",
                               folder / "no-layers.json", folder / "uncalibrated.json", folder / "bare.json",
                               folder / "missing.json")
    assert status == 1
    assert out.splitlines() == [f"{folder / 'monitor.json'}: ok (monitor, tarvex-monitor version 1)",
                                f"{folder / 'coverage.json'}: ok (coverage, tarvex-coverage version 2)"]
    errors = err.splitlines()
    assert len(errors) == 4 and all(line.startswith("tarvex-watch: ") for line in errors)
    assert "names no S and Z layers" in errors[0] and "holds no calibration" in errors[1]
    assert "names no S and Z layers" in errors[2] and "No such file" in errors[3]
    assert run_cli(capsys, "check", folder / "monitor.json")[0] == 0


def _edited(document):
    document["format_version"] = 3
    return json.dumps(document)


def _miscalibrated(document):
    document["calibration"]["rank"] -= 1
    return json.dumps(document)


@pytest.mark.parametrize("content, message", [
    (None, "is not a regular file"),
    ("[1, 2]", "holds a JSON list, not a monitor file"),
    ('{"format": "tarvex-monitor", "tau": NaN}', "non-standard JSON value NaN"),
    (b"\xff\xfe", "is not UTF-8 text"),
    (_edited, "format version 3; this package reads versions up to 2"),
    (_miscalibrated, "the calibration entry is invalid: inconsistent calibration"),
], ids=["directory", "list", "nan", "binary", "newer-version", "edited-calibration"])
def test_errors_are_one_line_on_stderr(folder, tmp_path, capsys, content, message):
    path = tmp_path / "file.json"
    if content is None:
        path.mkdir()
    elif isinstance(content, bytes):
        path.write_bytes(content)
    elif callable(content):
        path.write_text(content(json.loads((folder / "monitor.json").read_text())))
    else:
        path.write_text(content)
    status, out, err = run_cli(capsys, "inspect", path)
    assert (status, out) == (1, "")
    assert err.count("\n") == 1 and err.startswith("tarvex-watch: ") and message in err


@pytest.mark.parametrize("argv", [[], ["inspect"], ["frobnicate", "x"], ["inspect", "a", "b"], ["check"]])
def test_a_wrong_command_line_is_one_line_and_status_2(capsys, argv):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    out, err = capsys.readouterr()
    assert exit_info.value.code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("tarvex-watch: ")


def test_the_console_script_is_registered():
    scripts = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]["scripts"]
    module, function = scripts["tarvex-watch"].split(":")
    assert module == cli.__name__ and getattr(cli, function) is cli.main
