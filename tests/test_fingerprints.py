"""watch.fingerprint: every flipped bit of every parameter and buffer is
found and named, the fingerprint survives JSON and monitor files, a watcher
built from a file refuses (or warns about) other weights, and the periodic
verification reports changed weights with an event, a log record and
metrics."""

import logging
import time

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch


class Net(torch.nn.Module):
    def __init__(self, extra=False):
        super().__init__()
        torch.manual_seed(0)
        self.conv = torch.nn.Conv1d(2, 3, 3)
        self.norm = torch.nn.BatchNorm1d(3)  # buffers: float running stats and an int64 counter
        self.head = torch.nn.Linear(12, 2)
        if extra:
            self.extra = torch.nn.Linear(2, 2)
        self.register_buffer("mask", torch.tensor([True, False, True]))  # 3 bytes: a padded word

    def forward(self, x):
        return self.head(torch.relu(self.norm(self.conv(x.reshape(-1, 2, 8)))).flatten(1)[:, :12])


def flip_bit(tensor, index, bit):
    """Flips one bit of element `index` of `tensor` in place, whatever its dtype."""
    with torch.no_grad():
        raw = tensor.view(-1).view(torch.uint8)
        byte = index * tensor.element_size() + bit // 8
        raw[byte] ^= 1 << (bit % 8)


NAMES = [name for name, _ in list(Net().named_parameters()) + list(Net().named_buffers())]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("position", ["first", "last", "random"])
def test_a_single_flipped_bit_in_any_tensor_is_found_and_named(name, position):
    net = Net().eval()
    reference = watch.fingerprint(net)
    tensor = dict(list(net.named_parameters()) + list(net.named_buffers()))[name]
    rng = np.random.default_rng(hash((name, position)) % 2**32)
    index = {"first": 0, "last": tensor.numel() - 1, "random": int(rng.integers(tensor.numel()))}[position]
    bits = 8 * tensor.element_size() if tensor.dtype != torch.bool else 1
    for bit in sorted({0, bits - 1, int(rng.integers(bits))}):
        flip_bit(tensor, index, bit)
        check = reference.verify(net)
        assert (check.changed, check.added, check.removed) == ((name,), (), ()), (bit, check)
        assert not check and name in check.describe()
        flip_bit(tensor, index, bit)  # back
        assert reference.verify(net).matches


def test_added_removed_and_retyped_tensors_are_named():
    reference = watch.fingerprint(Net(extra=True))
    check = reference.verify(Net())
    assert check.removed == ("extra.bias", "extra.weight") and not check.added and not check.changed
    assert watch.fingerprint(Net()).verify(Net(extra=True)).added == ("extra.bias", "extra.weight")
    check = watch.fingerprint(Net()).verify(Net().double())
    assert set(check.changed) == {name for name in NAMES if name not in ("norm.num_batches_tracked", "mask")}
    # the same weights give the same fingerprint, wherever they lie
    assert watch.fingerprint(Net()) == watch.fingerprint(Net())


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs a GPU")
def test_a_gpu_copy_has_the_fingerprint_of_the_cpu_weights():
    net = Net()
    reference = watch.fingerprint(net)
    on_gpu = Net().cuda()
    assert watch.fingerprint(on_gpu) == reference and reference.verify(on_gpu).matches
    big = torch.nn.Linear(2048, 1024)  # several blocks of words
    assert watch.fingerprint(big.cuda()) == watch.fingerprint(big.cpu())


def test_json_round_trip_and_refused_documents():
    reference = watch.fingerprint(Net())
    again = watch.Fingerprint.from_json(reference.to_json())
    assert again == reference and again.verify(Net()).matches
    d = reference.to_dict()
    for bad, message in [({**d, "algorithm": "md5"}, "not supported"), ({**d, "format": "x"}, "not a fingerprint"),
                         ({**d, "tensors": {"w": {"kind": "parameter", "dtype": "float32", "shape": [2],
                                                  "digest": "zz"}}}, "32 lowercase hex"),
                         ({**d, "tensors": {"w": {"kind": "p", "dtype": "float32", "shape": [2],
                                                  "digest": "0" * 32}}}, "kind")]:
        with pytest.raises(ValueError, match=message):
            watch.Fingerprint.from_dict(bad)
    with pytest.raises(ValueError, match="not valid JSON"):
        watch.Fingerprint.from_json("{")
    with pytest.raises(ValueError, match="meta device"):
        watch.fingerprint(torch.nn.Linear(2, 2, device="meta"))
    with pytest.raises(TypeError):
        watch.fingerprint("model")


# --- files and watchers ----------------------------------------------------------------


class Small(torch.nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.body = torch.nn.Linear(4, 8)
        self.head = torch.nn.Linear(8, 3)

    def forward(self, x):
        return self.head(torch.relu(self.body(x)))


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A calibrated monitor of Small saved with its fingerprint, and one
    saved without (as files written before fingerprints were stored)."""
    net = Small().eval()
    x = torch.randn(600, 4, generator=torch.Generator().manual_seed(1))
    S, Z = watch.capture(net, x, "body", "output")
    monitor = resmon.NeuralConditionalMonitor(hidden=(8,), epochs=4, dropout=0.0, random_state=0)
    monitor.fit(S[:400], Z[:400])
    watch.calibrate(monitor, S[400:], Z[400:], false_alarm_rate=0.05)
    monitor.layers = {"s": "body", "z": "output"}
    folder = tmp_path_factory.mktemp("files")
    watch.save(monitor, folder / "with.json", model=net)
    watch.save(monitor, folder / "without.json")
    return folder


def test_the_fingerprint_survives_save_and_load(saved):
    loaded = watch.load(saved / "with.json")
    assert loaded.fingerprint == watch.fingerprint(Small())
    assert watch.load(saved / "without.json").fingerprint is None
    watch.save(loaded, saved / "again.json")  # kept from the loaded monitor
    assert watch.load(saved / "again.json").fingerprint == loaded.fingerprint


def test_from_file_refuses_or_warns_about_other_weights(saved, caplog):
    other = Small()
    with torch.no_grad():
        other.head.bias[1] += 1e-3
    with pytest.raises(ValueError, match=r"changed 1 \(head.bias\)"):
        watch.Watcher.from_file(other, saved / "with.json")
    with caplog.at_level(logging.WARNING, logger="tarvex.core.watch"), pytest.warns(UserWarning, match="head.bias"):
        watcher = watch.Watcher.from_file(other, saved / "with.json", if_weights_differ="warn")
    assert watcher.tau > 0 and any(r.tarvex_watch["changed"] == ["head.bias"] for r in caplog.records)
    watch.Watcher.from_file(Small(), saved / "with.json")  # the same weights pass
    watch.Watcher.from_file(other, saved / "without.json")  # no fingerprint: not checked
    with pytest.raises(ValueError, match="if_weights_differ"):
        watch.Watcher.from_file(Small(), saved / "with.json", if_weights_differ="ignore")


def test_periodic_verification_reports_changed_weights(saved, caplog):
    prometheus_client = pytest.importorskip("prometheus_client")
    net = Small().eval()
    seen = []
    watcher = watch.Watcher.from_file(net, saved / "with.json", verify_every_inputs=20,
                                      on_fingerprint_mismatch=seen.append)
    registry = prometheus_client.CollectorRegistry()
    watcher.export_prometheus(registry, name="m")
    value = registry.get_sample_value

    def wait_for_checks(count):
        deadline = time.monotonic() + 20
        while watcher.fingerprint_checks < count and time.monotonic() < deadline:
            time.sleep(0.01)
        assert watcher.fingerprint_checks >= count

    with caplog.at_level(logging.WARNING, logger="tarvex.core.watch"), watcher, torch.no_grad():
        net(torch.randn(25, 4))
        wait_for_checks(1)
        assert not watcher.fingerprint_mismatch and value("tarvex_watch_fingerprint_mismatch", {"monitor": "m"}) == 0
        with torch.no_grad():
            net.body.weight.view(-1).view(torch.int32)[5] ^= 1 << 3
        net(torch.randn(25, 4))
        wait_for_checks(2)
    assert watcher.fingerprint_mismatch and len(seen) == 1 and seen[0].changed == ("body.weight",)
    assert watcher.fingerprint_events == seen and seen[0].index == 50
    assert value("tarvex_watch_fingerprint_checks_total", {"monitor": "m"}) == 2
    assert value("tarvex_watch_fingerprint_mismatch", {"monitor": "m"}) == 1
    assert [r.tarvex_watch["changed"] for r in caplog.records
            if getattr(r, "tarvex_watch", {}).get("event") == "fingerprint_mismatch"] == [["body.weight"]]
    # the thread stopped with detach; a check on demand still runs
    assert watcher.verify_fingerprint().changed == ("body.weight",) and watcher.fingerprint_checks == 3


def test_periodic_verification_by_time_and_its_arguments(saved):
    net = Small().eval()
    for bad, error in [({"verify_every_seconds": -1.0}, ValueError), ({"verify_every_inputs": 0}, ValueError),
                       ({"verify_every_seconds": "1"}, TypeError)]:
        with pytest.raises(error, match="verify_every"):
            watch.Watcher.from_file(net, saved / "with.json", **bad)
    watcher = watch.Watcher.from_file(net, saved / "with.json", verify_every_seconds=0.01)
    with watcher:
        deadline = time.monotonic() + 20
        while watcher.fingerprint_checks < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
    assert watcher.fingerprint_checks >= 2 and not watcher.fingerprint_mismatch
    with pytest.raises(RuntimeError, match="verifies no fingerprint"):
        watch.Watcher.from_file(net, saved / "with.json").verify_fingerprint()
