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
