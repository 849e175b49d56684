"""Exact links: a link whose Z layer is an activation, a norm, a pooling or
self-attention recomputed from S with the clean parameters, and a checksum
after an activation. Each catches a corrupted output and a changed
parameter, stays quiet on clean and drifted inputs and survives its file;
a tampered file is refused. Transformer layers are watched from the inside
with PyTorch's fused fast path off."""

import copy
import json

import numpy as np
import pytest
import torch
import torch.nn.functional as F

from tarvex.core import watch
from tarvex.core.watch.coverage import _forward_layers
from tarvex.core.watch.guards import ExactLink, GuardBuilder, Guards

nn = torch.nn


class Pair(nn.Module):
    """`pre` then `layer`, with `between` applied in the forward code."""

    def __init__(self, pre, layer, between=None):
        super().__init__()
        self.pre, self.layer, self.between = pre, layer, between

    def forward(self, x):
        h = self.pre(x)
        if isinstance(self.layer, nn.MultiheadAttention):
            return self.layer(h, h, h, need_weights=False)[0]
        return self.layer(self.between(h) if self.between is not None else h)


def case(kind):
    """(model, input shape, parameter changed in place or None)."""
    torch.manual_seed(0)
    lin, conv = nn.Linear(10, 12), nn.Conv2d(2, 4, 3, padding=1)
    cases = {
        "relu": (lin, nn.ReLU(), (10,), None),
        "gelu": (lin, nn.GELU(approximate="tanh"), (10,), None),
        "leaky relu": (lin, nn.LeakyReLU(0.2), (10,), None),
        "flatten": (conv, nn.Flatten(), (2, 6, 6), None),
        "layer norm": (lin, nn.LayerNorm(12), (10,), "weight"),
        "batch norm": (conv, nn.BatchNorm2d(4), (2, 6, 6), "running_mean"),
        "group norm": (conv, nn.GroupNorm(2, 4), (2, 6, 6), "bias"),
        "max pool": (conv, nn.MaxPool2d(2), (2, 6, 6), None),
        "avg pool": (conv, nn.AvgPool2d(3, stride=2, padding=1), (2, 6, 6), None),
        "adaptive pool": (conv, nn.AdaptiveAvgPool2d(2), (2, 6, 6), None),
        "attention": (nn.Linear(6, 16), nn.MultiheadAttention(16, 4, batch_first=True), (5, 6), "in_proj_weight"),
        "linear after gelu": (lin, nn.Linear(12, 7), (10,), "weight"),
        "lstm": (nn.Linear(6, 8), nn.LSTM(8, 5, batch_first=True), (7, 6), "weight_hh_l0"),
        "gru": (nn.Linear(6, 8), nn.GRU(8, 5, num_layers=2, batch_first=True, bidirectional=True), (7, 6),
                "weight_ih_l1_reverse"),
    }
    pre, layer, shape, parameter = cases[kind]
    if isinstance(layer, nn.BatchNorm2d):
        with torch.no_grad():
            layer.running_mean.uniform_(-1, 1), layer.running_var.uniform_(0.5, 2), layer.weight.uniform_(0.5, 2)
    return Pair(pre, layer, F.gelu if kind == "linear after gelu" else None).eval(), shape, parameter


KINDS = ["relu", "gelu", "leaky relu", "flatten", "layer norm", "batch norm", "group norm", "max pool", "avg pool",
         "adaptive pool", "attention", "linear after gelu", "lstm", "gru"]
LAYERS = ["pre", "layer"]


def layers_of(model):
    return ["pre", "layer[0]"] if isinstance(model.layer, (nn.MultiheadAttention, nn.RNNBase)) else LAYERS


def fitted(model, shape):
    builder = GuardBuilder.for_model(model, layers_of(model), range_stage=False, checksums=True, random_state=0)
    x = torch.randn(600, *shape, generator=torch.Generator().manual_seed(1))
    for outputs in _forward_layers(model, x, layers_of(model), 200):
        builder.observe(outputs)
    assert builder.exact_links() == {0}
    clean = builder.take()
    guards, calibration = builder.fit({k: v[:400] for k, v in clean.items()}, {k: v[400:] for k, v in clean.items()})
    assert (calibration == 0).all()
    return guards


def scores(model, guards, x, hook=None):
    handle = model.layer.register_forward_hook(hook) if hook is not None else None
    try:
        outputs = next(_forward_layers(model, x, layers_of(model), len(x)))
    finally:
        if handle is not None:
            handle.remove()
    return guards.scores(outputs)[0][:, 0]


def bumped(output):
    """One element per input off by a thousandth of the layer's scale."""
    tensor = output[0] if isinstance(output, tuple) else output
    flat = tensor.clone().reshape(len(tensor), -1)
    flat[:, 1] += 1e-3 * flat.abs().mean(dim=1) + 1e-6
    return (flat.reshape(tensor.shape),) + tuple(output[1:]) if isinstance(output, tuple) else flat.reshape(tensor.shape)


@pytest.mark.parametrize("kind", KINDS)
def test_an_exact_link_catches_corruption_and_a_changed_parameter_and_survives_its_file(kind):
    model, shape, parameter = case(kind)
    guards = fitted(model, shape)
    x = torch.randn(300, *shape, generator=torch.Generator().manual_seed(2))
    for drifted in (x, 4 * x + 1, 0.01 * x):
        assert (scores(model, guards, drifted) == 0).all()
    assert (scores(model, guards, x, lambda m, a, output: bumped(output)) > 0).all()
    if parameter is not None:
        broken = copy.deepcopy(model)
        with torch.no_grad():
            dict(broken.layer.named_parameters(), **dict(broken.layer.named_buffers()))[parameter].view(-1)[0] += 0.05
        caught = (scores(broken, guards, x) > 0).mean()
        assert caught == 1.0 if isinstance(model.layer, nn.RNNBase) else caught > 0.9
    loaded = Guards.from_dict(json.loads(json.dumps(guards.to_dict())), guards.layers, guards.shapes, 200)
    assert loaded.to_dict() == guards.to_dict()
    np.testing.assert_array_equal(scores(model, loaded, x, lambda m, a, output: bumped(output)),
                                  scores(model, guards, x, lambda m, a, output: bumped(output)))


def test_a_layer_that_is_not_its_s_recomputed_gets_no_exact_link():
    # LayerNorm of GELU(S): the stored function does not reproduce Z, so the link is dropped
    model = Pair(nn.Linear(10, 12), nn.LayerNorm(12), F.gelu).eval()
    builder = GuardBuilder.for_model(model, LAYERS, range_stage=False, checksums=True, random_state=0)
    for outputs in _forward_layers(model, torch.randn(100, 10), LAYERS, 50):
        builder.observe(outputs)
    assert builder.exact_links() == set()


class Stateful(nn.Module):
    """`pre` then a recurrent layer, optionally sequence-first or given an
    initial state."""

    def __init__(self, batch_first, state):
        super().__init__()
        torch.manual_seed(0)
        self.pre, self.layer = nn.Linear(6, 8), nn.GRU(8, 5, batch_first=batch_first)
        self.batch_first, self.state = batch_first, state

    def forward(self, x):
        h = self.pre(x if self.batch_first else x.transpose(0, 1))
        if self.state:
            return self.layer(h, torch.full((1, h.shape[0 if self.batch_first else 1], 5), 0.5))[0]
        return self.layer(h)[0]


@pytest.mark.parametrize("batch_first, state, exact", [(False, False, True), (True, True, False)])
def test_a_recurrent_layer_is_exact_either_way_round_but_not_from_a_given_state(batch_first, state, exact,
                                                                               monkeypatch):
    model = Stateful(batch_first, state).eval()
    with monkeypatch.context() as patch:  # too many parameters to copy into the file: learned
        patch.setattr("tarvex.core.watch.guards.RECURRENT_PARAMETERS_MAX", 100)
        assert ExactLink.of(0, model.layer) is None
    layers = ["pre" if batch_first else "pre[batch=1]", "layer[0]"]
    builder = GuardBuilder.for_model(model, layers, range_stage=False, checksums=True, random_state=0)
    for outputs in _forward_layers(model, torch.randn(60, 7, 6), layers, 30):
        builder.observe(outputs)
    assert builder.exact_links() == ({0} if exact else set())


TAMPERED = [
    ("layer norm", lambda d: d.update(kind="softmax"), "unknown kind"),
    ("layer norm", lambda d: d["params"].update(weight=[float("nan")] * 12), "finite"),
    ("layer norm", lambda d: d["params"].update(weight=[1.0] * 11), "inconsistent"),
    ("layer norm", lambda d: d["params"].update(scale=[1.0] * 12), "parameters"),
    ("layer norm", lambda d: d["settings"].pop("eps"), "settings"),
    ("layer norm", lambda d: d["settings"].update(normalized_shape=[5]), "inconsistent|fit"),
    ("layer norm", lambda d: d.update(tolerance=0.0), "tolerance"),
    ("layer norm", lambda d: d.update(link=True), "link"),
    ("lstm", lambda d: d["params"].update(weight_hh_l0=[[0.0] * 4] * 20), "inconsistent"),
    ("lstm", lambda d: d["params"].pop("bias_ih_l0"), "fit the settings"),
    ("lstm", lambda d: d["settings"].update(num_layers=10 ** 9), "fit the settings"),
    ("lstm", lambda d: d["settings"].update(bias=False), "fit the settings"),
    ("lstm", lambda d: d["settings"].update(proj_size=5), "proj_size"),
    ("lstm", lambda d: d["settings"].update(input_size=7), "inconsistent"),
    ("lstm", lambda d: d["settings"].update(hidden_size=True), "hidden_size"),
]


@pytest.mark.parametrize("kind, tamper, message", TAMPERED)
def test_a_file_with_a_tampered_exact_link_is_refused(kind, tamper, message):
    model, shape, _ = case(kind)
    guards = fitted(model, shape)
    document = json.loads(json.dumps(guards.to_dict()))
    tamper(document["checksums"][0])
    with pytest.raises(ValueError, match=message):
        Guards.from_dict(document, guards.layers, guards.shapes, 200)


def test_a_checksum_with_an_unknown_activation_or_a_repeated_link_is_refused():
    model, shape, _ = case("linear after gelu")
    guards = fitted(model, shape)
    document = guards.to_dict()
    assert document["checksums"][0]["activation"] == "gelu"
    for tampered, message in (({**document["checksums"][0], "activation": "erf"}, "activation"),):
        with pytest.raises(ValueError, match=message):
            Guards.from_dict({**document, "checksums": [tampered]}, guards.layers, guards.shapes, 200)
    with pytest.raises(ValueError, match="one exact check"):
        Guards.from_dict({**document, "checksums": document["checksums"] * 2}, guards.layers, guards.shapes, 200)
    assert isinstance(ExactLink.of(0, nn.ReLU()), ExactLink) and ExactLink.of(0, nn.Linear(2, 2)) is None


class Encoder(nn.Module):
    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.embed = nn.Linear(6, 16)
        self.encoder = nn.TransformerEncoder(
            nn.TransformerEncoderLayer(16, 4, 32, dropout=0.0, activation="gelu", batch_first=True), 1,
            enable_nested_tensor=False)
        self.head = nn.Linear(16, 3)

    def forward(self, x):
        return self.head(self.encoder(self.embed(x))[:, 0])


INSIDE = ["embed", "encoder.layers.0.self_attn[0]", "encoder.layers.0.norm1", "encoder.layers.0.linear1",
          "encoder.layers.0.linear2", "encoder.layers.0.norm2", "output"]


@pytest.mark.parametrize("before", [True, False])
def test_inner_transformer_layers_are_watched_with_the_fast_path_off_and_the_setting_restored(before):
    model = Encoder().eval()
    seen = []
    model.encoder.layers[0].linear1.register_forward_hook(
        lambda *_: seen.append(torch.backends.mha.get_fastpath_enabled()))
    x = np.random.default_rng(0).normal(size=(1200, 5, 6)).astype(np.float32)
    torch.backends.mha.set_fastpath_enabled(before)
    try:
        coverage = watch.cover(model, x, INSIDE, false_alarm_rate=0.05,
                               candidates=[{"hidden": (), "epochs": 1, "include_interactions": False}])
        assert torch.backends.mha.get_fastpath_enabled() is before
        # attention, norm1 (from attention + embed), both feed-forward linears (the second through the
        # GELU), norm2 (from linear2 + norm1)
        assert coverage.guards.checked_links == [0, 1, 2, 3, 4]
        assert seen and not any(seen)
        S, _ = watch.capture(model, x[:10], "encoder.layers.0.linear1", "output")
        assert S.shape == (10, 5 * 32) and torch.backends.mha.get_fastpath_enabled() is before
        with watch.Watcher(model, coverage), torch.no_grad():
            assert torch.backends.mha.get_fastpath_enabled() is False
            model(torch.from_numpy(x[:20]))
        assert torch.backends.mha.get_fastpath_enabled() is before
        broken = copy.deepcopy(model)
        with torch.no_grad():
            broken.encoder.layers[0].self_attn.in_proj_weight[3, 2] += 0.05
        report = coverage.check(broken, x[:200])
        assert report.alarms.mean() > 0.9 and (report.blamed_index[report.alarms] == 0).mean() > 0.9
    finally:
        torch.backends.mha.set_fastpath_enabled(True)
    with pytest.raises(ValueError, match="out_proj.*without calling"):
        watch.cover(model, x, ["embed", "encoder.layers.0.self_attn.out_proj", "output"], false_alarm_rate=0.05)


def inside(layers=1, **options):
    model = Encoder()
    if options or layers > 1:
        model.encoder = nn.TransformerEncoder(nn.TransformerEncoderLayer(
            16, 4, 32, activation="gelu", batch_first=True, **options), layers, enable_nested_tensor=False)
    return model


class Block(nn.Module):
    """A residual block, `act(bn(conv(stem(x))) + stem(x))`."""

    def __init__(self):
        super().__init__()
        self.stem, self.conv = nn.Conv2d(1, 4, 3, padding=1), nn.Conv2d(4, 4, 3, padding=1)
        self.bn, self.act = nn.BatchNorm2d(4), nn.ReLU()

    def forward(self, x):
        h = self.stem(x)
        return self.act(self.bn(self.conv(h)) + h)


PRE_NORM = ["embed"] + [f"encoder.layers.{i}.{part}" for i in (0, 1)
                        for part in ("norm1", "self_attn[0]", "norm2", "linear1", "linear2")] + ["output"]


@pytest.mark.parametrize("model, layers, shape, exact, residuals", [
    (lambda: inside(), INSIDE, (5, 6), [0, 1, 2, 3, 4], {1: 0, 4: 2}),  # post-norm: embed + attention, norm1 + linear2
    # pre-norm: the first norm2 reads the input plus the attention; the next layer's norms read longer sums
    (lambda: inside(2, norm_first=True, dropout=0.0), PRE_NORM, (5, 6), [0, 1, 2, 3, 4, 6, 8, 9], {2: 0}),
    # conv has S's shape too but does not complete the sum: the next one, stem, does
    (Block, ["stem", "conv", "bn", "act"], (1, 6, 6), [0, 1, 2], {2: 0}),
])
def test_a_residual_add_of_two_watched_layers_becomes_exact(model, layers, shape, exact, residuals):
    torch.manual_seed(0)
    model = model().eval()
    builder = GuardBuilder.for_model(model, layers, range_stage=False, checksums=True, random_state=0)
    for outputs in _forward_layers(model, torch.randn(300, *shape), layers, 100):
        builder.observe(outputs)
    assert sorted(builder.exact_links()) == exact
    assert {c.link: c.residual for c in builder.checksums if getattr(c, "residual", None) is not None
            and c.link in exact} == residuals


@pytest.mark.parametrize("model, expected", [(lambda: inside(), INSIDE),
                                             (lambda: inside(2, norm_first=True, dropout=0.0), PRE_NORM)])
def test_inside_layers_names_each_encoder_layer_from_the_inside_in_running_order(model, expected):
    model = model()
    per_layer = ["embed"] + [f"encoder.layers.{i}" for i in range(len(model.encoder.layers))] + ["output"]
    assert watch.inside_layers(model, ["embed", "encoder", "output"]) == expected
    assert watch.inside_layers(model, per_layer) == expected
    model.encoder.norm = nn.LayerNorm(16)  # an encoder's own final norm follows its layers
    assert watch.inside_layers(model, ("input", "encoder", "head[0]")) == ["input", *expected[1:-1], "encoder.norm",
                                                                            "head[0]"]
    with pytest.raises(TypeError, match="list of layer names"):
        watch.inside_layers(model, "encoder")


def test_residual_exact_links_catch_a_corrupted_element_and_survive_their_file(tmp_path):
    x = np.random.default_rng(0).normal(size=(1200, 5, 6)).astype(np.float32)
    model = inside().eval()
    coverage = watch.cover(model, x, INSIDE, false_alarm_rate=0.05,
                           candidates=[{"hidden": (), "epochs": 1, "include_interactions": False}])
    watch.save(coverage, tmp_path / "coverage.json")
    coverages = (coverage, watch.load(tmp_path / "coverage.json"))
    for cov in coverages:
        assert cov.check(model, x[:300]).alarms.mean() <= 0.1
    for link, norm in ((1, "norm1"), (4, "norm2")):
        handle = getattr(model.encoder.layers[0], norm).register_forward_hook(lambda m, a, out: bumped(out))
        try:
            for report in [cov.check(model, x[:300]) for cov in coverages]:
                assert report.alarms.all() and (report.blamed_index == link).all()
        finally:
            handle.remove()
    document = json.loads(json.dumps(coverage.guards.to_dict()))
    assert document["checksums"][-1]["residual"] == 2
    for residual, message in ((4, "before the link's S"), (True, "before the link's S"),
                              (3, "shape is not its S's")):  # linear1: 32 features against linear2's 16
        with pytest.raises(ValueError, match=message):
            Guards.from_dict({**document, "checksums": document["checksums"][:-1] + [
                {**document["checksums"][-1], "residual": residual}]}, coverage.layers, coverage.guards.shapes, 200)
    document["checksums"][0]["residual"] = 0  # attention reads no residual
    with pytest.raises(ValueError, match="reads no residual"):
        Guards.from_dict(document, coverage.layers, coverage.guards.shapes, 200)


def test_a_float64_model_watched_as_float32_rows_stays_quiet():
    torch.manual_seed(0)
    model = nn.Sequential(nn.Linear(6, 16), nn.LayerNorm(16), nn.GELU(), nn.Linear(16, 3)).double().eval()
    with torch.no_grad():
        model[0].bias += 30.0  # a large mean over a small spread: the norm magnifies float32 rounding of S
    x = np.random.default_rng(0).normal(size=(1200, 6))
    coverage = watch.cover(model, x, ["input", "0", "1", "2", "3"], false_alarm_rate=0.05,
                           candidates=[{"hidden": (), "epochs": 1, "include_interactions": False}])
    assert coverage.guards.checked_links == [0, 1, 2, 3]
    test = torch.from_numpy(np.random.default_rng(1).normal(size=(400, 6)))
    with watch.Watcher(model, coverage) as watcher, torch.no_grad():
        for start in range(0, 400, 50):
            model(test[start:start + 50])
    assert watcher.inputs_above_tau <= 0.1 * 400
    assert coverage.check(model, test).alarms.mean() <= 0.1


def test_fast_path_holds_nest_and_a_pytorch_without_the_switch_gets_a_reason(monkeypatch):
    from tarvex.core.watch import _layers
    model = Encoder().eval()
    x = np.random.default_rng(0).normal(size=(1200, 5, 6)).astype(np.float32)
    coverage = watch.cover(model, x, INSIDE[:4], false_alarm_rate=0.05,
                           candidates=[{"hidden": (), "epochs": 1, "include_interactions": False}])
    first, second = watch.Watcher(model, coverage), watch.Watcher(model, coverage)
    with first:
        with second:
            assert not torch.backends.mha.get_fastpath_enabled()
        assert not torch.backends.mha.get_fastpath_enabled()  # the first watcher still needs it off
    assert torch.backends.mha.get_fastpath_enabled()
    # (recent PyTorch also leaves the fused path when a submodule has hooks; older versions do not)
    monkeypatch.setattr(_layers, "fast_path_switch", lambda: False)
    assert "cannot turn that path off" in _layers.did_not_run_hint(model, "encoder.layers.0.linear1")
    assert _layers.did_not_run_hint(model, "embed") == ""


class Gain(nn.Module):
    """Per-feature gains: a layer without an exact check."""

    def __init__(self):
        super().__init__()
        self.gain = nn.Parameter(torch.ones(4))

    def forward(self, x):
        return x * self.gain


def test_inputs_beyond_float32_range_are_invalid_not_a_fault():
    torch.manual_seed(0)
    model = nn.Sequential(Gain(), nn.Linear(4, 8), nn.ReLU()).eval()
    with torch.no_grad():
        model[1].weight *= 1e9  # inputs of 1e30 overflow the layer's float32 output
    x = np.random.default_rng(0).normal(size=(1200, 4)).astype(np.float32)
    coverage = watch.cover(model, x, ["input", "0", "1", "2"], false_alarm_rate=0.05,
                           candidates=[{"hidden": (), "epochs": 1, "include_interactions": False}])
    assert coverage.exact_links == [1, 2]  # a checksum on the Linear, an exact ReLU
    test = torch.from_numpy(np.random.default_rng(1).normal(size=(100, 4)).astype(np.float32))
    test[::5] = 1e30 * test[::5].sign()
    overflowed = ~torch.isfinite(model(test)).all(dim=1).numpy()
    assert overflowed.sum() == 20
    report = coverage.check(model, test)
    assert report.out_of_range.tolist() == overflowed.tolist() and not report.alarms[overflowed].any()
    assert (report.p_values[overflowed, 1:].min(axis=1) < report.p_threshold).all()  # they broke the identity
    with watch.Watcher(model, coverage) as watcher, torch.no_grad():
        for start in range(0, 100, 10):
            model(test[start:start + 10])
    assert watcher.inputs_invalid == 20 and watcher.inputs_seen == 80
    # faults still alarm: one in the checked Linear on every input within range, and one in the
    # unchecked layer that overflows the Linear from typical inputs
    for layer, parameter, factor in ((1, "weight", 1.5), (0, "gain", 1e30)):
        broken = copy.deepcopy(model)
        with torch.no_grad():
            getattr(broken[layer], parameter).view(-1)[0] *= factor
        report = coverage.check(broken, test)
        assert report.alarms.tolist() == (~overflowed).tolist()
