import numpy as np
import pytest
import torch

from tarvex.core import resmon

from helpers import linear_pairs


@pytest.fixture(scope="session")
def training_data():
    return linear_pairs(240)


@pytest.fixture(scope="session")
def trained_monitor(training_data):
    S, Z = training_data
    monitor = resmon.NeuralConditionalMonitor(hidden=(16,), epochs=15, batch_size=32, random_state=3)
    monitor.fit(S, Z)
    return monitor


@pytest.fixture(autouse=True)
def _keep_torch_threads():
    threads = torch.get_num_threads()
    yield
    torch.set_num_threads(threads)


# A small trained monitor for the watch toolkit's tests (one per test module),
# a copy of it a test may change, and held-out rows from the same relation.
@pytest.fixture(scope="module")
def monitor():
    S, Z = linear_pairs(300)
    trained = resmon.NeuralConditionalMonitor(hidden=(8,), epochs=5, batch_size=32, random_state=1)
    trained.fit(S, Z)
    return trained


@pytest.fixture
def fresh(monitor):
    """A copy that a test may change."""
    return resmon.NeuralConditionalMonitor.from_dict(monitor.to_dict())


@pytest.fixture(scope="module")
def held_out():
    return linear_pairs(400, rows_seed=77)
