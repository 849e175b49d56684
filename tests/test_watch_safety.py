"""tarvex.core.watch on hostile paths and careless use: what save may replace
and what it leaves behind, capture with in-place layers and irreversible
device moves, scores beyond float32, Dask blocks of the wrong size, networks
left in training mode and complex data."""

import fcntl
import hashlib
import json
import os
import signal
import socket
import stat
import time

import numpy as np
import pytest
import torch

from tarvex.core import resmon, serialization, watch

from helpers import hand_made_monitor, linear_pairs, run_python


@pytest.fixture(scope="module")
def pairs():
    return linear_pairs(300, s_dim=3, z_dim=2)


@pytest.fixture
def monitor():
    """A monitor with a dropout network, ready to score and to save."""
    m = hand_made_monitor(dropout=0.5)
    m.tau, m.s_dim, m.z_dim, m.input_dim = 1.0, 3, 2, 12
    return m


# --- save and load ---------------------------------------------------------------


@pytest.mark.parametrize("kind", ["fifo", "socket", "directory"])
def test_save_refuses_a_target_that_is_not_a_regular_file(monitor, tmp_path, kind):
    path = tmp_path / kind
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        server = socket.socket(socket.AF_UNIX)
        server.bind(str(path))
    else:
        path.mkdir()
    error = IsADirectoryError if kind == "directory" else ValueError
    with pytest.raises(error):
        watch.save(monitor, path)
    if kind == "socket":
        server.close()
    assert {"fifo": stat.S_ISFIFO, "socket": stat.S_ISSOCK, "directory": stat.S_ISDIR}[kind](os.lstat(path).st_mode)
    assert os.listdir(tmp_path) == [kind]


def test_save_through_a_link_replaces_its_target_and_keeps_the_permission_bits(monitor, tmp_path):
    real, link = tmp_path / "real.json", tmp_path / "link.json"
    real.write_text("{}")
    real.chmod(0o600)
    link.symlink_to(real.name)
    watch.save(monitor, link)
    assert link.is_symlink() and os.readlink(link) == real.name
    assert stat.S_IMODE(real.stat().st_mode) == 0o600
    assert watch.load(real).to_dict() == monitor.to_dict()
    assert sorted(os.listdir(tmp_path)) == ["link.json", "real.json"]


def test_save_takes_the_longest_file_name_and_removes_what_a_killed_save_left(monitor, tmp_path):
    target = tmp_path / ("m" * 250 + ".json")  # 255 bytes, the most a name may have
    # A save killed (SIGKILL) after writing its temporary file and before
    # renaming it: the file stays behind.
    killed = run_python(f"""
        import os, signal
        from tarvex.core import serialization
        os.fsync = lambda fd: os.kill(os.getpid(), signal.SIGKILL)
        serialization.save_json({{"x": [1.0] * 1000}}, {str(target)!r})
    """)
    assert killed.returncode == -signal.SIGKILL, killed.stderr
    [left] = os.listdir(tmp_path)
    os.utime(tmp_path / left, (time.time() - 60,) * 2)
    # One that another process is still writing holds its lock and stays.
    busy = tmp_path / (left[:-len("0123456789abcdef.tmp")] + "0123456789abcdef.tmp")
    with open(busy, "w") as handle:
        fcntl.flock(handle, fcntl.LOCK_EX)
        os.utime(busy, (time.time() - 60,) * 2)
        watch.save(monitor, target)
        assert sorted(os.listdir(tmp_path)) == sorted([target.name, busy.name])
    assert watch.load(target).to_dict() == monitor.to_dict()


@pytest.mark.parametrize("document", ["[" * 100_000 + "]" * 100_000, '{"a": ' * 100_000 + "1" + "}" * 100_000])
def test_load_refuses_deeply_nested_json(tmp_path, document):
    path = tmp_path / "deep.json"
    path.write_text(document)
    with pytest.raises(ValueError, match="too deeply"):
        watch.load(path)


@pytest.mark.parametrize("edit, message", [
    (lambda text: text.replace('"format_version": 1', '"format_version": 99, "format_version": 1'),
     "'format_version' appears more than once"),
    (lambda text: text.replace('"tau": 1.0', '"tau": 1.0, "tau": 1e6', 1), "'tau' appears more than once"),
    (lambda text: text.replace('"tau": 1.0', '"tau": 1.0, "tua": 5.0', 1), "does not read: \\['tua'\\]"),
    (lambda text: text.replace('"include_square"', '"include_sqare": false, "include_square"'),
     "s_engineer.include_sqare"),
])
def test_load_refuses_repeated_keys_and_entries_the_monitor_does_not_read(monitor, tmp_path, edit, message):
    path = tmp_path / "m.json"
    watch.save(monitor, path)
    path.write_text(edit(path.read_text()))
    with pytest.raises(ValueError, match=message):
        watch.load(path)


def test_a_bare_monitor_dictionary_keeps_ignoring_unknown_entries(monitor, tmp_path):
    path = tmp_path / "bare.json"
    path.write_text(json.dumps({**monitor.to_dict(), "tua": 5.0}))
    assert watch.load(path).tau == 1.0


@pytest.mark.parametrize("key", [None, b"deployment secret"])
def test_load_with_a_recorded_digest_refuses_a_changed_file(monitor, tmp_path, key):
    path = tmp_path / "m.json"
    watch.save(monitor, path)
    digest = watch.file_digest(path, key=key)
    assert watch.load(path, digest=digest, key=key).to_dict() == monitor.to_dict()
    if key is None:
        assert digest == hashlib.sha256(path.read_bytes()).hexdigest()
    else:  # another key does not match
        with pytest.raises(ValueError, match="HMAC-SHA256"):
            watch.load(path, digest=digest, key=b"guess")
    # A blinded monitor: every check of the values accepts it.
    path.write_text(path.read_text().replace('"tau": 1.0', '"tau": 1e30', 1))
    watch.load(path)
    with pytest.raises(ValueError, match="does not match its recorded"):
        watch.load(path, digest=digest, key=key)
    with pytest.raises(ValueError, match="64 hex digits"):
        watch.load(path, digest=digest[:-1])


def test_save_json_keeps_writing_new_files_with_the_umask(tmp_path):
    previous = os.umask(0o027)
    try:
        serialization.save_json({"a": 1}, tmp_path / "new.json")
    finally:
        os.umask(previous)
    assert stat.S_IMODE((tmp_path / "new.json").stat().st_mode) == 0o640


# --- capture ---------------------------------------------------------------------


def test_capture_keeps_a_layer_output_that_an_in_place_relu_changes_later():
    torch.manual_seed(0)
    net = torch.nn.Sequential(torch.nn.Linear(4, 6), torch.nn.ReLU(inplace=True), torch.nn.Linear(6, 2))
    x = torch.randn(20, 4)
    S, _ = watch.capture(net, x, "0", "output")
    with torch.no_grad():
        expected = net[0](x).numpy()
    assert (expected < 0).any()
    np.testing.assert_allclose(S, expected, rtol=1e-6)


@pytest.mark.parametrize("net, x", [
    (torch.nn.Sequential(torch.nn.Linear(8, 4), torch.nn.ReLU(), torch.nn.Linear(4, 2)), torch.randn(8)),
    (torch.nn.Sequential(torch.nn.Conv2d(1, 2, 3), torch.nn.Flatten(), torch.nn.Linear(72, 2)),
     np.zeros((1, 8, 8), np.float32)),
], ids=["linear", "convolution"])
def test_capture_refuses_one_input_without_a_batch_dimension(net, x):
    with pytest.raises(ValueError, match="without a batch dimension.*x\\[None\\]"):
        watch.capture(net, x, "input", "output")
    S, Z = watch.capture(net, x[None], "input", "output")
    assert S.shape == (1, 64 if x.ndim == 3 else 8) and Z.shape == (1, 2)


def test_capture_still_takes_a_batch_of_token_ids():
    net = torch.nn.Sequential(torch.nn.Embedding(10, 4), torch.nn.Linear(4, 2))
    S, Z = watch.capture(net, torch.arange(6), "0", "output")
    assert S.shape == (6, 4) and Z.shape == (6, 2)


@pytest.mark.parametrize("layout, device", [("cpu", "meta"), ("meta, cpu", "cpu")])
def test_capture_refuses_a_device_move_it_could_not_undo(layout, device):
    torch.manual_seed(0)
    net = torch.nn.Sequential(torch.nn.Linear(4, 6), torch.nn.Linear(6, 2))
    if layout == "meta, cpu":  # the first layer elsewhere, as in a model split over devices
        net[0].to("meta")
    before = {name: (t.device, t.detach().clone()) for name, t in net.state_dict().items()}
    with pytest.raises(ValueError, match="meta device|several devices"):
        watch.capture(net, torch.randn(5, 4), "0", "output", device=device)
    for name, tensor in net.state_dict().items():
        assert tensor.device == before[name][0]
        if tensor.device.type != "meta":
            assert torch.equal(tensor, before[name][1])


# --- scores ----------------------------------------------------------------------


@pytest.mark.parametrize("value", [1e30, np.inf])
def test_explain_rows_sum_to_an_infinite_score(monitor, pairs, value):
    monitor.inv_cov = monitor.inv_cov.astype(np.float32)  # as fit leaves it: scores in float32
    S, Z = pairs[0][:6].copy(), pairs[1][:6].copy()
    Z[2, 1] = value
    scores = monitor.score_batch(S, Z)
    assert scores[2] == np.inf and np.isfinite(np.delete(scores, 2)).all()
    contributions = watch.explain(monitor, S, Z)
    assert contributions[2, 1] == np.inf
    np.testing.assert_allclose(contributions.sum(axis=1), scores, rtol=1e-4)


def test_score_dask_refuses_a_block_with_fewer_rows_than_declared(monitor, pairs):
    da = pytest.importorskip("dask.array")
    S = da.from_array(pairs[0], chunks=(100, -1)).map_blocks(lambda block: block[:-1])  # breaks its chunks
    lazy = watch.score_dask(monitor, S, da.from_array(pairs[1], chunks=(100, -1)))
    with pytest.raises(ValueError, match="computed 99 rows where its chunk declares 100"):
        lazy.compute(scheduler="sync")


def _score_dask(monitor, S, Z):
    da = pytest.importorskip("dask.array")
    return watch.score_dask(monitor, da.from_array(S, chunks=(100, -1)),
                            da.from_array(Z, chunks=(100, -1))).compute(scheduler="sync")


SCORING_CALLS = {
    "calibrate": lambda m, S, Z: watch.calibrate(m, S, Z, false_alarm_rate=0.1),
    "explain": lambda m, S, Z: watch.explain(m, S, Z).sum(axis=1),
    "score_chunks": lambda m, S, Z: watch.score_chunks(m, S, Z, chunk_size=64),
    "score_chunks pairs": lambda m, S, Z: watch.score_chunks(m, [(S, Z)], chunk_size=64),
    "score_dask": _score_dask,
}


@pytest.mark.parametrize("call", SCORING_CALLS.values(), ids=SCORING_CALLS)
def test_scoring_runs_a_network_left_in_training_mode_without_dropout(monitor, pairs, call):
    expected = call(monitor, *pairs)
    monitor._model.train()
    monitor._model.mu.eval()  # a mixed mode comes back as it was
    np.testing.assert_allclose(call(monitor, *pairs), expected, rtol=1e-5)
    assert monitor._model.training and monitor._model.backbone.training and not monitor._model.mu.training


@pytest.mark.parametrize("call", SCORING_CALLS.values(), ids=SCORING_CALLS)
@pytest.mark.parametrize("which", ["S", "Z"])
def test_complex_data_are_refused(monitor, pairs, call, which):
    S, Z = pairs
    S, Z = (S + 1j, Z) if which == "S" else (S, Z.astype(np.complex64))
    with pytest.raises(TypeError, match=f"{which} is complex"):
        call(monitor, S, Z)
