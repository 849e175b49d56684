"""The four architectures of benchmarks/architectures.py under `cover`,
`capture` and `Watcher`: the reduction each layer gets, the family-wise rate
on clean inputs, a large fault caught and blamed on its link, batch-second
recurrent outputs, the `[batch=k]` selector, and blame on tied links."""

from pathlib import Path

import numpy as np
import pytest
import torch

from helpers import import_script
from tarvex.core import resmon, watch
from tarvex.core.watch import coverage as coverage_module
from tarvex.core.watch.coverage import CoverageReport

architectures = import_script(Path(__file__).resolve().parent.parent / "benchmarks" / "architectures.py")

RATE = 0.05
# One small network, or the least-squares linear model, keeps each link's tune short.
FAST = [{"hidden": (32,), "epochs": 8, "dropout": 0.0, "lr": 3e-3, "include_square": False,
         "include_logabs": False, "include_interactions": False},
        {"hidden": (), "epochs": 1, "include_interactions": False}]
# per architecture: the reduction of each covered layer, which links are
# monitored token by token, and a large fault that must be caught and blamed
EXPECTED = {
    "resnet": ({"input": "none", "stem": "channel pooling", "block1": "channel pooling",
                "block2": "channel pooling", "output": "none"}, [False] * 4, "head exponent flip"),
    "transformer": ({"input": "token rows", "embed": "token rows", "encoder.layers.0": "token rows",
                     "encoder.layers.1": "token rows", "norm": "token rows", "output[0]": "none"},
                    [False, True, True, True, False], "final-norm channel sign"),
    "lstm": ({"input": "token rows", "lstm1[0]": "token rows", "lstm2[0]": "token rows", "output": "none"},
             [True, True, False], "head exponent flip"),
    "regressor": ({name: "none" for name in ["input", "fc1", "fc2", "fc3", "output"]}, [False] * 4,
                  "fc2 exponent flip"),
}


@pytest.fixture(scope="module")
def built():
    torch.set_num_threads(1)
    cache = {}

    def get(name, checksums=True):
        if (name, checksums) not in cache:
            arch = architectures.build(name, seed=0, size="test")
            with pytest.MonkeyPatch.context() as patch:  # fewer token rows: a faster tune
                patch.setattr(coverage_module, "TOKEN_ROWS_MAX", 4096)
                coverage = watch.cover(arch.model, arch.fit, arch.layers, false_alarm_rate=RATE,
                                       held_out=arch.calibration, candidates=FAST, checksums=checksums)
            cache[name, checksums] = arch, coverage
        return cache[name, checksums]
    return get


@pytest.mark.parametrize("name", architectures.NAMES)
def test_each_architecture_is_covered_and_a_large_fault_blamed_on_its_link(built, name):
    arch, coverage = built(name)
    reductions, token_links, fault_name = EXPECTED[name]
    assert coverage.reductions == reductions and coverage.token_links == token_links
    clean = coverage.check(arch.model, arch.test)
    # 300 inputs: the binomial standard error at 5% is 1.3 points
    assert clean.alarms.mean() <= RATE + 0.04
    fault = next(f for f in arch.faults if f.name == fault_name)
    with np.errstate(all="ignore"):
        report = coverage.check(fault.applied_to(arch.model), arch.test)
    assert report.alarms.mean() >= 0.5
    link = arch.layers.index(fault.layer) - 1
    assert np.mean(report.blamed_index[report.alarms] == link) >= 0.8


def test_a_token_row_coverage_round_trips_and_is_watched_as_it_checks(built, tmp_path):
    arch, coverage = built("transformer")
    path = tmp_path / "coverage.json"
    watch.save(coverage, path)
    reloaded = watch.load(path)
    assert reloaded.token_links == coverage.token_links
    document = coverage._to_file_document()
    # links left to their exact checks have no monitor, which needs version 3
    assert document["format_version"] == (3 if coverage.exact_links else 2)
    with pytest.raises(ValueError, match="token-row reductions need format version 2"):
        watch.Coverage._from_file_document(dict(document, format_version=1))
    broken = arch.faults[0].applied_to(arch.model)  # some alarms, some clean inputs
    X = arch.test[:120]
    report = coverage.check(broken, X)
    np.testing.assert_allclose(reloaded.check(broken, X).scores, report.scores, rtol=1e-4)
    watcher = watch.Watcher(broken, coverage)
    above = []
    with watcher, torch.no_grad():
        for start in range(0, len(X), 25):
            broken(torch.from_numpy(X[start:start + 25]))
            above.append(watcher.last_scores > watcher.tau)
    np.testing.assert_array_equal(np.concatenate(above), report.alarms)


class Recurrent(torch.nn.Module):
    """Two LSTM layers in one module (h_n is (2, batch, 5)) and a GRU made
    without batch_first."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.lstm = torch.nn.LSTM(4, 5, num_layers=2, batch_first=True)
        self.gru = torch.nn.GRU(5, 3)
        self.head = torch.nn.Linear(3, 2)

    def forward(self, x):
        out, _ = self.lstm(x)
        seq, h = self.gru(out.transpose(0, 1))
        return self.head(h[0])


@pytest.mark.parametrize("name, expected", [
    ("lstm[1][0]", lambda lstm, gru: lstm[1][0].transpose(0, 1)),
    ("lstm[1][1]", lambda lstm, gru: lstm[1][1].transpose(0, 1)),
    ("lstm[1][0][batch=1]", lambda lstm, gru: lstm[1][0].transpose(0, 1)),
    ("lstm[0]", lambda lstm, gru: lstm[0]),  # batch_first: as it is
    ("gru[0]", lambda lstm, gru: gru[0].transpose(0, 1)),
    ("gru[1]", lambda lstm, gru: gru[1].transpose(0, 1)),
])
def test_recurrent_outputs_are_read_batch_first(name, expected):
    model = Recurrent().eval()
    X = torch.randn(7, 6, 4)
    S, _ = watch.capture(model, X, name, "output", batch_size=3)
    with torch.no_grad():
        lstm = model.lstm(X)
        gru = model.gru(lstm[0].transpose(0, 1))
    np.testing.assert_allclose(S, expected(lstm, gru).reshape(7, -1).numpy(), rtol=1e-6)


def test_a_watcher_on_h_n_serves_any_batch_size():
    model = Recurrent().eval()
    X = torch.randn(300, 6, 4)
    S, Z = watch.capture(model, X, "lstm[1][0]", "output")
    monitor = resmon.NeuralConditionalMonitor(hidden=(8,), epochs=2, random_state=0)
    monitor.fit(S, Z)
    watch.calibrate(monitor, S, Z, false_alarm_rate=0.1)
    with watch.Watcher(model, monitor, s="lstm[1][0]", z="output") as watcher, torch.no_grad():
        for batch in (1, 2, 5):
            model(X[:batch])
    assert watcher.inputs_seen == 8
    # a batch of 5 against the 300 of the capture: float32 rounding differs
    np.testing.assert_allclose(watcher.last_scores, monitor.score_batch(S[:5], Z[:5]), rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("name, message", [
    ("lstm[1][0][batch=0]", r"first dimension must be the batch; dimension 1 has the batch's size: end the "
                            r"name with \[batch=1\]"),
    ("lstm[1][0][batch=5]", r"\[batch=5\] names no dimension of a tensor of shape \(2, 7, 5\)"),
    ("lstm[batch=1][0]", "must be the last selector"),
])
def test_batch_selectors_that_do_not_fit_are_refused_with_the_selector_to_use(name, message):
    with pytest.raises(ValueError, match=message):
        watch.capture(Recurrent().eval(), torch.randn(7, 6, 4), name, "output")


class SequenceFirst(torch.nn.Module):
    """Takes (batch, tokens, features) and runs an encoder layer made
    without batch_first on (tokens, batch, features)."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.layer = torch.nn.TransformerEncoderLayer(8, 2, 16, dropout=0.0)

    def forward(self, x):
        return self.layer(x.transpose(0, 1)).mean(dim=0)


def test_a_sequence_first_encoder_layer_is_read_batch_first():
    model = SequenceFirst().eval()
    X = torch.randn(3, 5, 8)  # a batch of 3 sequences of 5 tokens
    rows, _ = watch.capture(model, X, "layer", "output")
    with torch.no_grad():
        expected = model.layer(X.transpose(0, 1)).transpose(0, 1).reshape(3, -1)
    np.testing.assert_allclose(rows, expected.numpy(), rtol=1e-5, atol=1e-6)


def tie_report(p_values, excess, threshold=0.1):
    p_values = np.asarray(p_values, dtype=float)
    links = [(str(j), str(j + 1)) for j in range(p_values.shape[1])]
    return CoverageReport(links=links, scores=np.asarray(excess, float), p_values=p_values,
                          p_threshold=threshold, excess=np.asarray(excess, float))


@pytest.mark.parametrize("p_values, excess, blamed, ties", [
    ([[0.01, 0.01, 0.01, 0.5]], [[1.0, 9.0, np.inf, 0.0]], 0, 3),  # the first alarm of the chain
    ([[0.01, 0.5, 0.01, 0.5]], [[1.0, 0.0, 9.0, 0.0]], 0, 2),  # an alarm before link 2, though apart
    ([[0.5, 0.5, 0.01, 0.01]], [[0.0, 0.0, 3.0, np.nan]], 2, 2),
    ([[0.05, 0.5, 0.01, 0.01]], [[0.0, 0.0, 3.0, 5.0]], 3, 2),  # both after an alarm: the larger excess
    ([[0.05, 0.5, 0.01, 0.01]], [[0.0, 0.0, 3.0, np.nan]], 3, 2),  # NaN: the largest excess
    ([[0.01, 0.5, 0.02, 0.5]], [[1.0, 0.0, 9.0, 0.0]], 0, 1),  # no tie: the smallest p-value
    ([[0.5, 0.5, 0.5, 0.5]], [[0.0, 0.0, 0.0, 0.0]], -1, 0),  # no alarm
])
def test_ties_are_broken_by_evidence_and_counted(p_values, excess, blamed, ties):
    report = tie_report(p_values, excess)
    assert report.blamed_index[0] == blamed and report.ties[0] == ties


def test_a_fault_spreading_over_several_links_is_blamed_where_it_enters(built):
    # learned monitors only: exact checks would leave the later links no monitor to tie with
    arch, coverage = built("regressor", checksums=False)
    fault = next(f for f in arch.faults if f.name == "fc2 exponent flip")
    with np.errstate(all="ignore"):
        report = coverage.check(fault.applied_to(arch.model), arch.test)
    alarmed = report.alarms
    assert alarmed.mean() >= 0.5 and np.mean(report.ties[alarmed] > 1) >= 0.5
    assert np.mean(report.blamed_index[alarmed] == arch.layers.index("fc2") - 1) >= 0.8
