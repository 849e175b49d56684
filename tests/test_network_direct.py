"""The network evaluated on its parameters (no module calls) where that is
observably the same as calling it, and the module call everywhere else."""

import contextlib
import json
import sys
import warnings

import numpy as np
import pytest
import torch
from torch.nn.modules import module as torch_module
from torch.overrides import TorchFunctionMode

from tarvex.core import resmon

from helpers import hand_made_monitor, linear_pairs

M = resmon.NeuralConditionalMonitor


@contextlib.contextmanager
def module_calls():
    """Counts nn.Module._call_impl frames while inside."""
    calls = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_name == "_call_impl":
            calls.append(frame.f_code.co_name)

    previous = sys.getprofile()
    sys.setprofile(profile)
    try:
        yield calls
    finally:
        sys.setprofile(previous)


def hand_made(hidden, dropout, s_dim=3, z_dim=2, seed=0):
    return hand_made_monitor(s_dim, z_dim, seed, hidden=hidden, dropout=dropout)


def composed_scores(m, S, Z):
    """The scores written out with the library calls, the network called as a module."""
    S_eng = m.s_engineer.transform(S)
    Z_norm = ((np.asarray(Z, np.float32) - m.z_mean) / m.z_scale).astype(np.float32)
    with torch.no_grad():
        mu, _ = m._model(torch.from_numpy(S_eng))
    r = Z_norm - mu.numpy()
    return np.einsum("ni,ij,nj->n", r, m.inv_cov, r).astype(np.float64)


@pytest.fixture
def data():
    rng = np.random.default_rng(5)
    return rng.normal(size=(40, 3)).astype(np.float32), rng.normal(size=(40, 2)).astype(np.float32)


@pytest.mark.parametrize("hidden", [(), (8,), (16, 8, 4)])
@pytest.mark.parametrize("dropout", [0.0, 0.3])
def test_direct_evaluation_gives_the_module_bits(hidden, dropout, data):
    m = hand_made(hidden, dropout)
    with module_calls() as calls:
        scores = m.score_batch(*data)
        single = m.score(data[0][3], data[1][3])
    assert calls == []  # no module was called
    np.testing.assert_array_equal(scores, composed_scores(m, *data))
    assert single == composed_scores(m, data[0][3:4], data[1][3:4])[0]


def register_forward_hook(m, seen):
    return m._model.register_forward_hook(lambda module, args, out: seen.append("hook"))


def register_layer_pre_hook(m, seen):
    return m._model.mu.register_forward_pre_hook(lambda module, args: seen.append("hook"))


def register_global_hook(m, seen):
    return torch_module.register_module_forward_hook(lambda module, args, out: seen.append("hook"))


def subclass_with_forward(m, seen):
    class Logged(resmon._ResidualHead):
        def forward(self, x):
            seen.append("hook")
            return super().forward(x)

    state = m._model.state_dict()
    m._model = Logged(m._model.backbone[0].in_features, (8,), 2, 0.3).eval()
    m._model.load_state_dict(state)


def train_mode(m, seen):
    m._model.train()
    seen.append("hook")  # nothing to observe but the module call itself


def instance_forward(m, seen):
    model = m._model
    original = type(model).forward

    def forward(x):
        seen.append("hook")
        return original(model, x)

    model.forward = forward


@pytest.mark.parametrize(
    "change",
    [register_forward_hook, register_layer_pre_hook, register_global_hook, subclass_with_forward, train_mode,
     instance_forward],
)
def test_anything_a_module_call_would_do_takes_the_module_call(change, data):
    m = hand_made((8,), 0.3)
    direct = m.score_batch(*data)  # a first call, before the change
    seen = []
    handle = change(m, seen)
    try:
        with module_calls() as calls:
            scores = m.score_batch(*data)
    finally:
        if handle is not None:
            handle.remove()
    assert calls and seen
    if change is not train_mode:
        np.testing.assert_array_equal(scores, direct)


class Logged(TorchFunctionMode):
    def __init__(self):
        super().__init__()
        self.seen = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        self.seen.append(func.__name__)
        return func(*args, **(kwargs or {}))


def test_patched_layers_and_function_modes_take_the_module_call(data, monkeypatch):
    m = hand_made((8,), 0.0)
    expected = m.score_batch(*data)
    with module_calls() as calls, Logged() as mode:
        np.testing.assert_array_equal(m.score_batch(*data), expected)
    assert calls
    assert mode.seen == ["_set_grad_enabled", "to", "linear", "relu", "linear", "linear", "clamp", "cpu", "numpy",
                         "_set_grad_enabled"]
    seen = []
    original = torch.nn.Linear.forward
    monkeypatch.setattr(torch.nn.Linear, "forward", lambda self, x: seen.append(1) or original(self, x))
    np.testing.assert_array_equal(m.score_batch(*data), expected)
    assert len(seen) == 3  # the hidden layer, mu and log_var


def test_training_without_module_calls_gives_the_same_network():
    S, Z = linear_pairs(150)
    settings = dict(hidden=(16, 8), dropout=0.2, epochs=4, batch_size=32, random_state=4)
    direct = M(**settings)
    with module_calls() as calls:
        scores = direct.fit(S, Z)
    assert calls == []
    called = M(**settings)
    handle = torch_module.register_module_forward_hook(lambda module, args, out: None)
    try:
        np.testing.assert_array_equal(called.fit(S, Z), scores)
    finally:
        handle.remove()
    for (name, a), b in zip(direct._model.state_dict().items(), called._model.state_dict().values()):
        assert torch.equal(a, b), name


@pytest.mark.parametrize("layout", ["C", "F"])
@pytest.mark.parametrize("statistics", [np.float32, np.float64])
def test_standardising_in_one_pass_keeps_the_composed_bits(layout, statistics, data):
    m = hand_made((8,), 0.0)
    m.z_mean, m.z_scale = m.z_mean.astype(statistics), m.z_scale.astype(statistics)
    S, Z = data
    Z = np.asarray(Z, order=layout)
    np.testing.assert_array_equal(m.score_batch(S, Z), composed_scores(m, S, Z))


def test_floating_point_warnings_are_still_reported(data):
    m = hand_made((8,), 0.0)
    m.z_scale = np.array([1e-30, 1.0], dtype=np.float32)
    S, Z = data
    Z = Z.copy()
    Z[0, 0] = 1e30
    with pytest.warns(RuntimeWarning, match="overflow"):
        scores = m.score_batch(S, Z)
    assert scores[0] == np.inf
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        composed = composed_scores(m, S, Z)
    np.testing.assert_array_equal(scores, np.where(np.isnan(composed), np.inf, composed))


def test_stored_weights_convert_like_torch_tensor(trained_monitor):
    d = json.loads(json.dumps(trained_monitor.to_dict()))
    row = d["state_dict"]["mu.weight"][0]
    tricky = [0.1, 1 / 3, 1e-40, -0.0, 3.4028235e38, 1.0000000596046448, 2.0000001192092896, 7e-46]
    row[: len(tricky)] = tricky
    d["state_dict"]["mu.bias"] = tuple(int(v) for v in range(len(d["state_dict"]["mu.bias"])))  # ints: torch.tensor
    back = M.from_dict(d)
    for key in ("mu.weight", "mu.bias"):
        expected = torch.tensor(d["state_dict"][key], dtype=torch.float32)
        assert torch.equal(back._model.state_dict()[key].view(torch.int32), expected.view(torch.int32)), key


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cuda_training_matches_the_per_batch_loop():
    """On CUDA the epoch losses are summed on the device; the result must be
    what reading every batch loss (loss.item()) gives."""
    S, Z = linear_pairs(300)
    m = M(hidden=(16,), dropout=0.1, epochs=6, batch_size=32, random_state=2, device="cuda")
    scores = m.fit(S, Z)
    torch.manual_seed(2)
    S_eng = resmon.NeuralFeatureEngineer().fit_transform(S)
    Z_norm = ((Z - m.z_mean) / m.z_scale).astype(np.float32)
    device = torch.device("cuda")
    model = resmon._ResidualHead(S_eng.shape[1], (16,), 3, 0.1).to(device)
    optimizer = torch.optim.AdamW(model.parameters(), lr=m.lr, weight_decay=m.weight_decay)
    x, z = torch.from_numpy(S_eng).to(device), torch.from_numpy(Z_norm).to(device)
    best, best_state = float("inf"), None
    for _ in range(6):
        permutation = torch.randperm(x.shape[0])
        total, batches = 0.0, 0
        for start in range(0, x.shape[0], 32):
            idx = permutation[start : start + 32]
            optimizer.zero_grad(set_to_none=True)
            mu, log_var = model(x[idx])
            loss = ((z[idx] - mu) ** 2 * torch.exp(-log_var) + log_var).mean()
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), max_norm=5.0)
            optimizer.step()
            total += loss.item()
            batches += 1
        if total / batches + 1e-5 < best:
            best, best_state = total / batches, {k: v.detach().cpu().clone() for k, v in model.state_dict().items()}
    for key, value in m._model.state_dict().items():
        assert torch.equal(value.cpu(), best_state[key]), key
    assert scores.shape == (300,)
