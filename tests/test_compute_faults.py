"""The compute faults of benchmarks/compute_faults.py change a layer's output
exactly as the benchmark describes them, and leave the weights alone."""

from pathlib import Path

import numpy as np
import pytest
import torch

from helpers import import_script

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def bench():
    return import_script(ROOT / "benchmarks" / "compute_faults.py")


LAYERS = {"linear": (lambda: torch.nn.Linear(6, 40), (6,)),
          "conv": (lambda: torch.nn.Conv2d(2, 5, 3, padding=1), (2, 6, 6))}


def outputs(bench, kind, layer_kind):
    """Clean and faulted outputs of a layer for 30 inputs, the channel
    statistics the fault used, and whether the weights stayed as they were."""
    torch.manual_seed(0)
    make, shape = LAYERS[layer_kind]
    layer = make()
    x = torch.randn(30, *shape)
    weights = [p.detach().clone() for p in layer.parameters()]
    with torch.no_grad():
        clean = layer(x)
        stats = bench.LayerStats(float(clean.abs().max()), float(clean.std()), clean.shape[1], clean[0].numel())
        handle = layer.register_forward_hook(bench.fault_hook(kind, stats, np.random.default_rng(3)))
        faulted = layer(x)
        handle.remove()
    untouched = all(torch.equal(a, b) for a, b in zip(weights, layer.parameters()))
    return clean, faulted, stats, untouched


@pytest.mark.parametrize("layer_kind", list(LAYERS))
@pytest.mark.parametrize("kind", ["bit 31 (sign)", "bit 30 (exp)", "bit 26 (exp)", "bit 22 (mant)", "bit 10 (mant)"])
def test_a_bit_flip_changes_one_bit_of_one_activation_per_input(bench, kind, layer_kind):
    clean, faulted, _, untouched = outputs(bench, kind, layer_kind)
    flips = clean.reshape(30, -1).view(torch.int32) ^ faulted.reshape(30, -1).view(torch.int32)
    assert untouched and ((flips != 0).sum(dim=1) == 1).all()
    bit = bench.BITS[kind]
    assert (flips[flips != 0] == torch.tensor(1 << bit, dtype=torch.int64).to(torch.int32)).all()
    assert len(set((flips != 0).int().argmax(dim=1).tolist())) > 1  # a new element per input


@pytest.mark.parametrize("layer_kind", list(LAYERS))
@pytest.mark.parametrize("kind", ["stuck 0", "stuck large", "sign flip", "PE", "PE stride"])
def test_persistent_faults_change_their_unit_or_elements_for_every_input(bench, kind, layer_kind):
    clean, faulted, stats, untouched = outputs(bench, kind, layer_kind)
    changed = (clean != faulted).reshape(30, -1)
    assert untouched and changed.any(dim=1).all()
    assert (changed == changed[0]).all()  # the same elements for every input
    if kind in ("stuck 0", "stuck large", "sign flip"):
        unit = int(torch.nonzero((clean != faulted).any(dim=0).reshape(clean.shape[1], -1).any(dim=1))[0])
        expected = {"stuck 0": torch.zeros_like(clean[:, unit]),
                    "stuck large": torch.full_like(clean[:, unit], 8 * stats.largest),
                    "sign flip": -clean[:, unit]}[kind]
        assert torch.equal(faulted[:, unit], expected)
        others = torch.ones(clean.shape[1], dtype=torch.bool)
        others[unit] = False
        assert torch.equal(faulted[:, others], clean[:, others])
    else:
        positions = torch.nonzero(changed[0]).flatten()
        if kind == "PE":
            assert len(positions) == 1
        else:
            assert (positions.diff() == 16).all() and positions[0] < 16 and positions[-1] + 16 >= stats.width
        difference = (faulted - clean).reshape(30, -1)[:, positions]
        torch.testing.assert_close(difference, torch.full_like(difference, stats.std))
