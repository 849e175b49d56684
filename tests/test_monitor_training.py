"""fit(): training, early stopping, thread limiting, calibration."""

import threading

import numpy as np
import pytest
import torch
from sklearn.covariance import LedoitWolf

from tarvex.core import resmon

from helpers import linear_pairs

M = resmon.NeuralConditionalMonitor


def reference_fit(m, S, Z):
    """The training procedure written out step by step in plain Python; it
    must consume the random streams exactly as the monitor does."""
    torch.manual_seed(m.random_state)
    np.random.seed(m.random_state)
    S = np.asarray(S, dtype=np.float32)
    Z = np.asarray(Z, dtype=np.float32)
    S_eng = resmon.NeuralFeatureEngineer().fit_transform(S)
    z_mean = Z.mean(axis=0).astype(np.float32)
    z_scale = (Z.std(axis=0) + 1e-6).astype(np.float32)
    Z_norm = ((Z - z_mean) / z_scale).astype(np.float32)
    model = resmon._ResidualHead(S_eng.shape[1], m.hidden, Z.shape[1], m.dropout)
    try:  # one fused update where this PyTorch has it for the CPU
        optimizer = torch.optim.AdamW(model.parameters(), lr=m.lr, weight_decay=m.weight_decay, fused=True)
    except (RuntimeError, TypeError):
        optimizer = torch.optim.AdamW(model.parameters(), lr=m.lr, weight_decay=m.weight_decay)
    x, z = torch.from_numpy(S_eng), torch.from_numpy(Z_norm)
    best_state, best_loss, stagnant, epochs_run, best_epoch = None, float("inf"), 0, 0, -1
    for epoch in range(m.epochs):
        epochs_run += 1
        permutation = torch.randperm(x.shape[0])
        epoch_loss, batches = 0.0, 0
        for start in range(0, x.shape[0], m.batch_size):
            idx = permutation[start : start + m.batch_size]
            optimizer.zero_grad(set_to_none=True)
            mu, log_var = model(x[idx])
            loss = ((z[idx] - mu) ** 2 * torch.exp(-log_var) + log_var).mean()
            loss.backward()
            torch.nn.utils.clip_grad_norm_(model.parameters(), max_norm=5.0)
            optimizer.step()
            epoch_loss += loss.item()
            batches += 1
        mean_loss = epoch_loss / max(1, batches)
        if mean_loss + 1e-5 < best_loss:
            best_loss, stagnant, best_epoch = mean_loss, 0, epoch
            best_state = {k: v.detach().cpu().clone() for k, v in model.state_dict().items()}
        else:
            stagnant += 1
            if stagnant >= m.patience:
                break
    model.load_state_dict(best_state)
    model.eval()
    with torch.no_grad():
        mu_pred, _ = model(x)
    inv_cov = np.linalg.inv(LedoitWolf().fit(Z_norm - mu_pred.numpy()).covariance_)
    return model, inv_cov, epochs_run, best_epoch


def state_of(model):
    return {k: v.clone() for k, v in model.state_dict().items()}


@pytest.fixture
def forward_probe(monkeypatch):
    """Records, for every training-mode forward pass, the batch size and the
    intra-op thread count in force."""
    calls = []
    original = resmon._ResidualHead.forward

    def probe(self, x):
        if self.training:
            calls.append((x.shape[0], torch.get_num_threads()))
        return original(self, x)

    monkeypatch.setattr(resmon._ResidualHead, "forward", probe)
    return calls


def test_fit_learns_the_dependency_and_flags_tampering():
    S, Z = linear_pairs(400, seed=1)
    S_test, Z_test = linear_pairs(100, seed=1, rows_seed=77)  # same dependency, fresh rows
    rng = np.random.default_rng(9)
    m = M(hidden=(32,), epochs=60, batch_size=32, lr=0.01)
    scores = m.fit(S, Z)
    assert scores.shape == (400,) and scores.dtype == np.float64
    assert m.tau == np.quantile(scores, 0.995) and type(m.tau) is float
    assert (m.s_dim, m.z_dim, m.input_dim) == (4, 3, 18)
    assert not m._model.training
    tampered = Z_test + rng.choice([-3.0, 3.0], size=Z_test.shape) * Z.std(axis=0)
    assert np.mean(m.score_batch(S_test, Z_test) > m.tau) < 0.2
    assert np.mean(m.score_batch(S_test, tampered) > m.tau) > 0.9


@pytest.mark.parametrize("dropout, lr, patience", [(0.0, 0.05, 3), (0.2, 0.001, 20)])
def test_fit_matches_the_plain_training_procedure(dropout, lr, patience):
    S, Z = linear_pairs(130, seed=2)
    m = M(hidden=(8, 8), epochs=25, batch_size=64, lr=lr, dropout=dropout, patience=patience, random_state=7)
    m.fit(S, Z)
    model, inv_cov, epochs_run, best_epoch = reference_fit(m, S, Z)
    for key, value in model.state_dict().items():
        assert torch.equal(m._model.state_dict()[key], value), key
    np.testing.assert_array_equal(m.inv_cov, inv_cov)
    if patience == 3:  # the kept weights are those of the last improving epoch, not the last epoch
        assert best_epoch < epochs_run - 1


def test_two_fits_are_identical():
    S, Z = linear_pairs(150, seed=3)
    first = M(hidden=(8,), epochs=8, random_state=11)
    second = M(hidden=(8,), epochs=8, random_state=11)
    a, b = first.fit(S, Z), second.fit(S, Z)
    np.testing.assert_array_equal(a, b)
    assert first.tau == second.tau
    np.testing.assert_array_equal(first.inv_cov, second.inv_cov)
    for key, value in state_of(first._model).items():
        assert torch.equal(value, second._model.state_dict()[key])
    np.random.seed(123)
    first.fit(S, Z)  # every call reseeds
    np.testing.assert_array_equal(first.score_batch(S, Z), a)
    assert np.random.get_state()[1][0] == np.random.RandomState(11).get_state()[1][0]


def test_threads_are_limited_during_training_and_restored(forward_probe):
    torch.set_num_threads(2)
    S, Z = linear_pairs(40)
    M(hidden=(4,), epochs=2, batch_size=16).fit(S, Z)
    assert forward_probe and {threads for _, threads in forward_probe} == {1}
    assert torch.get_num_threads() == 2


@pytest.mark.parametrize(
    "n, batch_size, sizes", [(130, 64, [64, 64, 2]), (10, 64, [10]), (64, 64, [64])]
)
def test_batches_per_epoch(forward_probe, n, batch_size, sizes):
    S, Z = linear_pairs(n)
    M(hidden=(4,), epochs=1, batch_size=batch_size).fit(S, Z)
    assert [size for size, _ in forward_probe] == sizes


def test_zero_epochs_fail_with_partial_state_kept():
    torch.set_num_threads(2)
    S, Z = linear_pairs(20)
    m = M(epochs=0)
    with pytest.raises(RuntimeError, match="^Neural monitor failed to train$"):
        m.fit(S, Z)
    assert (m.s_dim, m.z_dim, m.input_dim) == (4, 3, 18)
    assert m.z_mean.dtype == np.float32 and m.z_scale.shape == (3,)
    assert m._model is None and m.inv_cov is None and m.tau is None
    assert torch.get_num_threads() == 2


def test_nan_training_data_fails_to_train():
    S, Z = linear_pairs(30)
    Z[0, 0] = np.nan
    with pytest.raises(RuntimeError, match="^Neural monitor failed to train$"):
        M(hidden=(4,), epochs=50, patience=3).fit(S, Z)


def test_errors_in_the_loop_restore_threads(monkeypatch):
    torch.set_num_threads(2)

    def broken(self, x):
        raise FloatingPointError("boom")

    monkeypatch.setattr(resmon._ResidualHead, "forward", broken)
    with pytest.raises(FloatingPointError):
        M(hidden=(4,), epochs=3).fit(*linear_pairs(20))
    assert torch.get_num_threads() == 2


def test_patience_stops_at_the_first_stagnant_epoch(forward_probe):
    S, Z = linear_pairs(20)
    m = M(hidden=(4,), epochs=40, batch_size=32, patience=0, lr=0.5)
    model, _, epochs_run, _ = reference_fit(m, S, Z)
    forward_probe.clear()
    m.fit(S, Z)
    assert len(forward_probe) == epochs_run < 40


def test_constant_z_column():
    S, Z = linear_pairs(50)
    Z[:, 1] = 4.0
    m = M(hidden=(4,), epochs=3)
    m.fit(S, Z)
    assert m.z_scale[1] == np.float32(1e-6)


@pytest.mark.parametrize(
    "S, Z, error",
    [
        (np.ones(5), np.ones((5, 2)), "S must be a 2-D array"),
        (np.ones((5, 2)), np.ones(5), "Z must be a 2-D array"),
        ([["a", "b"]], [[1.0]], "could not convert"),
        (np.ones((5, 2)), np.ones((6, 2)), r"same number of rows; got S of shape \(5, 2\) and Z of shape \(6, 2\)"),
        (np.ones((1, 4)), np.ones((300, 3)), "same number of rows"),
        (np.ones((0, 4)), np.ones((0, 3)), "at least one row"),
    ],
)
def test_bad_training_input_changes_nothing(trained_monitor, S, Z, error):
    m = M.from_dict(trained_monitor.to_dict())
    state = dict(vars(m))
    with pytest.raises(ValueError, match=error):
        m.fit(S, Z)
    assert all(vars(m)[name] is value for name, value in state.items())


@pytest.mark.parametrize("batch_size", [0, -4])
def test_non_positive_batch_size_is_refused(batch_size):
    with pytest.raises(ValueError, match="batch_size"):
        M(hidden=(4,), epochs=2, batch_size=batch_size).fit(*linear_pairs(20))


def test_refit_replaces_everything(trained_monitor):
    m = M(hidden=(4,), epochs=2)
    m.fit(*linear_pairs(30, s_dim=2, z_dim=2))
    first_model, first_engineer_mean = m._model, m.s_engineer.mean_
    m.fit(*linear_pairs(30, s_dim=5, z_dim=1))
    assert m._model is not first_model and m.s_engineer.mean_.shape == (5,)
    assert (m.s_dim, m.z_dim, m.inv_cov.shape) == (5, 1, (1, 1))
    assert first_engineer_mean.shape == (2,)


def test_counts_beyond_machine_integers_saturate(forward_probe):
    S, Z = linear_pairs(20)
    m = M(hidden=(4,), epochs=2**70, batch_size=2**70, patience=1, lr=0.5)
    m.fit(S, Z)
    assert {size for size, _ in forward_probe} == {20}


@pytest.mark.filterwarnings("ignore:overflow:RuntimeWarning")
def test_z_column_whose_statistics_overflow_is_refused():
    S, Z = linear_pairs(2000)
    Z[5, 2] = 1e30  # finite, but its float32 square overflows the standard deviation
    m = M(hidden=(4,), epochs=2)
    with pytest.raises(ValueError, match="^Z column 2 is too large for float32 statistics"):
        m.fit(S, Z)
    assert m.z_scale is None


def test_failed_refit_leaves_a_monitor_that_refuses_to_score(trained_monitor, training_data):
    m = M.from_dict(trained_monitor.to_dict())
    S, Z = (a.copy() for a in training_data)
    Z[0, 0] = np.nan
    with pytest.raises(RuntimeError, match="^Neural monitor failed to train$"):
        m.fit(S, Z)
    assert m._model is None and m.inv_cov is None and m.tau is None
    with pytest.raises(RuntimeError, match="^Detector not fit/loaded$"):
        m.score_batch(*training_data)
    with pytest.raises(RuntimeError, match="^Detector not fit$"):
        m.to_dict()


def test_overlapping_fits_restore_the_thread_count(monkeypatch):
    """Fit A enters first and leaves first while fit B is still training: the
    count saved by A must come back once B has left too."""
    torch.set_num_threads(2)
    a_training, b_training, a_done = threading.Event(), threading.Event(), threading.Event()
    original = resmon._ResidualHead.forward

    def forward(self, x):
        if self.training and threading.current_thread().name == "A":
            a_training.set()
            b_training.wait(30)
        if self.training and threading.current_thread().name == "B":
            b_training.set()
            a_done.wait(30)
        return original(self, x)

    monkeypatch.setattr(resmon._ResidualHead, "forward", forward)
    errors = []

    def fit_in(name, after=None):
        def run():
            try:
                if after is not None:
                    after.wait(30)
                M(hidden=(4,), epochs=1).fit(*linear_pairs(20))
            except Exception as error:  # reported below
                errors.append(error)
            finally:
                if name == "A":
                    a_done.set()
        return threading.Thread(target=run, name=name)

    threads = [fit_in("A"), fit_in("B", after=a_training)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert not errors and b_training.is_set()
    assert torch.get_num_threads() == 2


def test_replacing_the_device_while_the_network_is_built(training_data):
    """A width's __index__ runs while the network is built; moving the monitor
    then must not free the device the training already uses."""
    m = M(epochs=2, hidden=(4,))

    class Width:
        def __index__(self):
            m.set_device("cpu")
            return 4

    m.hidden = (Width(),)
    m.fit(*training_data)
    assert m._model.mu.weight.device.type == "cpu" and m.tau is not None


def repeated(n, z_dim=3, distinct=1):
    S, Z = linear_pairs(distinct, z_dim=z_dim)
    return np.resize(S, (n, S.shape[1])), np.resize(Z, (n, z_dim))


@pytest.mark.parametrize(
    "data, error",
    [
        (repeated(1), "at least 3 distinct rows .*; got 1 row$"),
        (repeated(1, z_dim=1), "at least 2 distinct rows .*; got 1 row$"),
        (repeated(30), "got 30 rows, all identical$"),
        # two rows span one direction: for several Z columns the inverse covariance was garbage
        (repeated(30, distinct=2), "got only 2 distinct rows among 30$"),
    ],
)
def test_too_few_distinct_rows_are_refused_before_anything_changes(trained_monitor, data, error):
    m = M.from_dict(trained_monitor.to_dict())
    state = dict(vars(m))
    with pytest.raises(ValueError, match=error):
        m.fit(*data)
    assert all(vars(m)[name] is value for name, value in state.items())


def test_two_distinct_rows_suffice_for_one_z_column():
    m = M(hidden=(4,), epochs=2)
    m.fit(*repeated(10, z_dim=1, distinct=2))
    assert np.isfinite(m.tau)


@pytest.mark.parametrize(
    "hidden, error",
    [((0,), ValueError), ((8, 0), ValueError), ((-1,), ValueError), ((2.5,), TypeError), ((True,), TypeError)],
)
def test_widths_that_make_no_layer_are_refused_before_anything_changes(trained_monitor, hidden, error):
    m = M.from_dict(trained_monitor.to_dict())
    m.hidden = hidden
    state = dict(vars(m))
    with pytest.raises(error, match="hidden widths must be"):
        m.fit(*linear_pairs(20))
    assert all(vars(m)[name] is value for name, value in state.items())


def test_a_calibration_that_could_not_be_loaded_back_is_refused(monkeypatch):
    import sklearn.covariance

    class Degenerate:
        covariance_ = np.diag([1.0, 1.0, 1e-60])

        def fit(self, residuals):
            return self

    monkeypatch.setattr(sklearn.covariance, "LedoitWolf", Degenerate)
    m = M(hidden=(4,), epochs=2)
    with pytest.raises(ValueError, match=r"covariance of the training residuals is degenerate \(the eigenvalues"):
        m.fit(*linear_pairs(20))
    assert m._model is None and m.inv_cov is None and m.tau is None
