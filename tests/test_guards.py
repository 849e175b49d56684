"""The range stage and checksum links of a coverage: exact checks of linear
and convolution layers that catch a corrupted output and stay quiet on clean
and drifted inputs, range bounds that catch large corruptions, and both
inside the coverage's family-wise false-alarm rate and its files."""

import json

import numpy as np
import pytest
import torch

from tarvex.core import watch
from tarvex.core.watch.coverage import _forward_layers
from tarvex.core.watch.guards import GuardBuilder

FAST = [{"hidden": (32,), "epochs": 12, "dropout": 0.0, "lr": 3e-3, "include_square": False,
         "include_logabs": False, "include_interactions": False}]


def layer_and_input(kind):
    """A layer with an awkward configuration and a batch of inputs for it."""
    torch.manual_seed(0)
    if kind == "linear":
        return torch.nn.Linear(40, 30), (40,)
    if kind == "linear over tokens":
        return torch.nn.Linear(16, 8), (5, 16)
    if kind == "conv1d":
        return torch.nn.Conv1d(6, 9, 5, stride=2, padding=3, dilation=2, groups=3), (6, 30)
    return torch.nn.Conv2d(4, 6, 3, stride=(1, 2), padding=1, bias=False), (4, 12, 10)


class Wrapped(torch.nn.Module):
    def __init__(self, layer):
        super().__init__()
        self.layer = layer

    def forward(self, x):
        return self.layer(x)


def fitted_checksum(kind):
    layer, shape = layer_and_input(kind)
    model = Wrapped(layer).eval()
    builder = GuardBuilder.for_model(model, ["input", "layer"], range_stage=False, checksums=True, random_state=0)
    x = torch.randn(600, *shape, generator=torch.Generator().manual_seed(1))
    for outputs in _forward_layers(model, x, ["input", "layer"], 200):
        builder.observe(outputs)
    clean = builder.take()
    guards, calibration = builder.fit({k: v[:400] for k, v in clean.items()}, {k: v[400:] for k, v in clean.items()})
    assert guards.columns() == ["checksum"] and (calibration == 0).all()
    return model, shape, guards


def scores(model, guards, x, hook=None):
    handle = model.layer.register_forward_hook(hook) if hook is not None else None
    try:
        outputs = next(_forward_layers(model, x, ["input", "layer"], len(x)))
    finally:
        if handle is not None:
            handle.remove()
    return guards.scores(outputs)[0][:, 0]


@pytest.mark.parametrize("kind", ["linear", "linear over tokens", "conv1d", "conv2d"])
def test_a_checksum_catches_every_corrupted_output_and_stays_quiet_on_clean_and_drifted_inputs(kind):
    model, shape, guards = fitted_checksum(kind)
    rng = torch.Generator().manual_seed(2)
    x = torch.randn(300, *shape, generator=rng)
    for drifted in (x, 30 * x, x + 5, torch.rand(300, *shape, generator=rng) ** 4 * 100):
        assert (scores(model, guards, drifted) == 0).all()

    def corrupt(position, change):
        def hook(_module, _args, output):
            output = output.clone()
            flat = output.reshape(len(output), -1)
            flat[:, position] = change(flat[:, position])
            return flat.reshape(output.shape)
        return hook

    width = int(np.prod(model(x[:1]).shape[1:]))
    for position in (0, width // 2, width - 1):
        for change in (lambda v: -v, lambda v: v + 0.01, lambda v: torch.zeros_like(v) + 7.0):
            caught = scores(model, guards, x, corrupt(position, change))
            assert (caught > 0).all(), (position, caught.min())
    with torch.no_grad():  # a weight changed after fitting: c no longer matches (unless its input is ~0)
        model.layer.weight.view(-1)[3] += 0.05
    assert (scores(model, guards, x) > 0).mean() > 0.9


class Chain(torch.nn.Module):
    """Linear and ReLU modules, so that every Linear's input is a watched layer."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.net = torch.nn.Sequential(torch.nn.Linear(6, 16), torch.nn.ReLU(), torch.nn.Linear(16, 12),
                                       torch.nn.ReLU(), torch.nn.Linear(12, 3))

    def forward(self, x):
        return self.net(x)


LAYERS = ["input", "net.0", "net.1", "net.2", "net.3", "net.4"]
RATE = 0.05


def inputs(n, seed):
    return np.random.default_rng(seed).normal(size=(n, 6)).astype(np.float32)


@pytest.fixture(scope="module")
def chain():
    return Chain().eval()


@pytest.fixture(scope="module")
def guarded(chain):
    return watch.cover(chain, inputs(2400, 0), LAYERS, false_alarm_rate=RATE, candidates=FAST, range_stage=True)


def test_stages_apply_where_they_fit_and_hold_the_family_rate_on_clean_inputs(chain, guarded):
    assert guarded.guards.columns() == ["range", "checksum"]
    # each Linear applied to the layer before it, each ReLU recomputed from it
    assert guarded.guards.checked_links == [0, 1, 2, 3, 4]
    report = guarded.check(chain, inputs(6000, 1))
    # binomial standard error at 6,000 inputs is 0.28 points
    assert report.alarms.mean() <= RATE + 0.008
    # without a ReLU among the layers, the next Linear's checksum goes through it; the model's output has none
    no_relu = watch.cover(chain, inputs(2400, 0), ["input", "net.0", "net.2", "output"], false_alarm_rate=RATE,
                          candidates=FAST)
    assert no_relu.guards.checked_links == [0, 1]
    assert no_relu.guards.checksums[1].activation == "relu" and no_relu.guards.checksums[0].activation is None
    off = watch.cover(chain, inputs(2400, 0), ["input", "net.0", "net.2"], false_alarm_rate=RATE,
                      candidates=FAST, checksums=False)
    assert off.guards is None


def exponent_flip(unit):
    def hook(_module, _args, output):
        output = output.clone()
        output[:, unit] = (output[:, unit].view(torch.int32) ^ (1 << 30)).view(torch.float32)
        return output
    return hook


@pytest.mark.parametrize("layer, link", [("net.1", 1), ("net.3", 3)])
def test_the_range_stage_catches_large_corruptions_of_layers_without_a_checksum(chain, guarded, layer, link):
    handle = dict(chain.named_modules())[layer].register_forward_hook(exponent_flip(4))
    try:
        report = guarded.check(chain, inputs(500, 2))
        outputs = next(_forward_layers(chain, inputs(500, 2), LAYERS, 500))
    finally:
        handle.remove()
    stage, owner = guarded.guards.scores(outputs)
    hit = stage[:, 0] > 0
    assert hit.mean() > 0.2 and (owner[hit, 0] == link).mean() > 0.8
    assert report.alarms[hit].all() and (report.blamed_index[hit] == link).mean() > 0.8


def test_stages_survive_save_and_load_and_score_in_the_watcher(chain, guarded, tmp_path):
    path = tmp_path / "coverage.json"
    watch.save(guarded, path)
    loaded = watch.load(path)
    assert loaded.guards.to_dict() == guarded.guards.to_dict()
    bump = torch.nn.functional.one_hot(torch.tensor(5), 12) * 0.05  # one output element off by 0.05
    handle = chain.net[2].register_forward_hook(lambda m, a, output: output + bump)
    try:
        x = torch.from_numpy(inputs(50, 3))
        report = loaded.check(chain, x)
        with watch.Watcher(chain, loaded) as watcher, torch.no_grad():
            chain(x)
    finally:
        handle.remove()
    assert report.alarms.all() and (report.blamed_index == 2).all()
    np.testing.assert_allclose(watcher.last_scores, 1 - report.p_values.min(axis=1))
    assert loaded.fingerprint == guarded.fingerprint == watch.fingerprint(chain)
    other = Chain()
    with torch.no_grad():
        other.net[4].bias[0] += 1.0
    with pytest.raises(ValueError, match=r"net\.4\.bias"):
        watch.Watcher.from_file(other, path)


@pytest.fixture(scope="module")
def learned(chain):
    """The same coverage with a monitor learned on every link, as files before links could go without one."""
    return watch.cover(chain, inputs(2400, 0), LAYERS, false_alarm_rate=RATE, candidates=FAST, range_stage=True,
                       learn_exact_links=True)


def test_links_with_a_kept_checksum_go_without_a_monitor_unless_asked(guarded, learned):
    # every link of the chain is a Linear or a ReLU applied to the layer before
    assert guarded.exact_links == [0, 1, 2, 3, 4] and learned.exact_links == []
    assert all(m is None for m in guarded.monitors) and all(m is not None for m in learned.monitors)
    assert guarded._to_file_document()["format_version"] == 3
    assert learned._to_file_document()["format_version"] == 2  # written as before


@pytest.mark.parametrize("parameter", ["net.2.weight", "net.4.bias"])
def test_a_weight_fault_on_a_link_without_a_monitor_is_caught_by_its_checksum(chain, guarded, tmp_path, parameter):
    path = tmp_path / "coverage.json"
    watch.save(guarded, path)
    loaded = watch.load(path)
    assert loaded.exact_links == guarded.exact_links
    x = inputs(300, 4)
    np.testing.assert_array_equal(loaded.check(chain, x).p_values, guarded.check(chain, x).p_values)
    faulty = Chain().eval()
    with torch.no_grad():
        dict(faulty.named_parameters())[parameter].view(-1)[1] += 0.05
    report = loaded.check(faulty, x)
    link = int(parameter[4])
    with torch.no_grad():  # the inputs whose Z the fault changed (a weight times a ReLU's 0 changes nothing)
        t = torch.from_numpy(x)
        changed = (faulty.net[:link + 1](t) != chain.net[:link + 1](t)).any(dim=1).numpy()
    assert changed.mean() > 0.3 and report.alarms[changed].all()
    assert (report.blamed_index[changed] == link).all()


def test_coverage_files_without_stages_or_fingerprint_still_load(guarded, learned, tmp_path):
    document = json.loads(json.dumps(learned._to_file_document()))
    del document["guards"]
    path = tmp_path / "old.json"
    path.write_text(json.dumps(document))
    old = watch.load(path)
    assert old.guards is None and old.fingerprint is None and old.layers == learned.layers
    document["guards"] = {"ranges": None, "checksums": [], "calibration": []}
    path.write_text(json.dumps(document))
    with pytest.raises(ValueError, match="guards"):
        watch.load(path)
    # A link without a monitor needs its checksum, and format version 3.
    document = json.loads(json.dumps(guarded._to_file_document()))
    for change, message in [(lambda d: d.pop("guards"), "neither a monitor nor a checksum"),
                            (lambda d: d.update(format_version=2), "format version 3")]:
        changed = json.loads(json.dumps(document))
        change(changed)
        path.write_text(json.dumps(changed))
        with pytest.raises(ValueError, match=message):
            watch.load(path)
