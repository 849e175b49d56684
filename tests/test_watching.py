"""tarvex.core.watch for served models: layer names and selectors, the
Watcher's hooks, pairing, events, logging and Prometheus metrics."""

import collections
import logging
import threading

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch

from helpers import run_python


class Net(torch.nn.Module):
    """S = body.0, followed by an in-place ReLU; Z = the logits. With `fail`
    set, the pass raises after S ran."""

    def __init__(self):
        super().__init__()
        torch.manual_seed(0)
        self.body = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.ReLU(inplace=True))
        self.head = torch.nn.Linear(8, 3)
        self.fail = False

    def forward(self, x):
        hidden = self.body(x)
        if self.fail:
            raise RuntimeError("failed after S")
        return self.head(hidden)


def offline(net, x):
    """S and Z computed without hooks: the Linear's output before the ReLU."""
    with torch.no_grad():
        hidden = net.body[0](x)
        return hidden.numpy().copy(), net.head(torch.relu(hidden)).numpy()


@pytest.fixture(scope="module")
def trained():
    net = Net().eval()
    monitor = resmon.NeuralConditionalMonitor(hidden=(16,), epochs=8, batch_size=32, dropout=0.0, random_state=0)
    monitor.fit(*offline(net, torch.randn(600, 4, generator=torch.Generator().manual_seed(1))))
    watch.calibrate(monitor, *offline(net, torch.randn(400, 4, generator=torch.Generator().manual_seed(2))),
                    false_alarm_rate=0.05)
    return net, monitor


@pytest.fixture
def net(trained):
    return Net().eval()


@pytest.fixture
def monitor(trained):
    return trained[1]


def inputs(n, seed):
    return torch.randn(n, 4, generator=torch.Generator().manual_seed(seed))


def break_logit_0(net):
    with torch.no_grad():
        net.head.weight[0] *= -3.0


# --- layer names -----------------------------------------------------------------


class Structured(torch.nn.Module):
    """A submodule with a tuple output and a model with a dict output."""

    class Pair(torch.nn.Module):
        def forward(self, x):
            return x * 2, (x + 1, x - 1)

    def __init__(self):
        super().__init__()
        self.pair = self.Pair()

    def forward(self, x):
        doubled, (plus, minus) = self.pair(x)
        return {"logits": doubled.sum(dim=1, keepdim=True), "parts": [plus, minus]}


@pytest.mark.parametrize("name, expected", [
    ("pair[0]", lambda x: x * 2),
    ("pair[1][-1]", lambda x: x - 1),
    ("output[logits]", lambda x: (x * 2).sum(dim=1, keepdim=True)),
    ("output[parts][0]", lambda x: x + 1),
    ("input", lambda x: x),
])
def test_selectors_pick_tensors_out_of_tuple_and_dict_outputs(name, expected):
    x = torch.randn(5, 3)
    S, Z = watch.capture(Structured(), x, name, "output[logits]")
    np.testing.assert_allclose(S, expected(x).numpy(), rtol=1e-6)
    np.testing.assert_allclose(Z, (x * 2).sum(dim=1, keepdim=True).numpy(), rtol=1e-6)


@pytest.mark.parametrize("s, error, message", [
    ("pari[0]", ValueError, r"no submodule named 'pari'; close matches: \['pair'\]"),
    ("output[missing]", ValueError, r"without the key 'missing'; keys: \['logits', 'parts'\]"),
    ("pair[2]", ValueError, r"returned 2 items, no item \[2\]"),
    ("pair[0][0]", ValueError, r"returned a Tensor, which has no items"),
    ("pair[first]", ValueError, r"takes an integer selector"),
    ("output[parts]", TypeError, r"gave list, not a tensor|returned list, not a tensor"),
    (3, TypeError, r"s must be a layer name \(str\)"),
])
def test_bad_layer_names_and_selectors_raise_clear_errors(s, error, message):
    with pytest.raises(error, match=message):
        watch.capture(Structured(), torch.randn(2, 3), s, "output[logits]")


def test_a_submodule_named_output_is_reported_as_unreadable(monitor):
    model = torch.nn.Module()
    model.output = torch.nn.Linear(4, 3)
    model.forward = lambda x: model.output(x)
    with pytest.warns(UserWarning, match="submodule named 'output', which cannot be read"):
        watch.Watcher(model, monitor, s="output", z="output")


# --- the watcher -----------------------------------------------------------------


@pytest.mark.parametrize("grad_mode", [torch.enable_grad, torch.no_grad, torch.inference_mode])
def test_watcher_scores_every_pass_as_offline_scoring_and_leaves_the_output(net, monitor, grad_mode):
    batches = [inputs(n, seed) for seed, n in enumerate([1, 5, 3])]
    unwatched = [net(x).detach() for x in batches]
    watcher = watch.Watcher(net, monitor, s="body.0", z="output")
    with watcher, grad_mode():
        for x, expected_output in zip(batches, unwatched):
            output = net(x)
            assert torch.equal(output.detach(), expected_output)
            np.testing.assert_array_equal(watcher.last_scores, monitor.score_batch(*offline(net, x)))
    all_scores = monitor.score_batch(*offline(net, torch.cat(batches)))
    assert watcher.inputs_seen == 9
    assert watcher.inputs_above_tau == int(np.count_nonzero(all_scores > monitor.tau))
    assert not watcher.firing and watcher.events == [] and watcher.alarms == 0


def test_detach_leaves_no_hook_after_an_error_and_a_failed_pass_pairs_nothing(net, monitor):
    watcher = watch.Watcher(net, monitor, s="body.0", z="output")

    def hooks():
        return sum(len(m._forward_hooks) + len(m._forward_pre_hooks) for m in net.modules())

    with watcher:
        assert watcher.attached and hooks() == 3
        net.fail = True
        with pytest.raises(RuntimeError, match="failed after S"):
            net(inputs(2, 1))
        net.fail = False
        x = inputs(3, 2)
        net(x)  # the failed pass's S must not be paired with this one
        np.testing.assert_array_equal(watcher.last_scores, monitor.score_batch(*offline(net, x)))
        assert watcher.inputs_seen == 3
    assert hooks() == 0 and not watcher.attached
    net.fail = True
    with pytest.raises(RuntimeError, match="failed after S"), watcher:
        net(x)
    assert hooks() == 0 and watcher.inputs_seen == 3


def test_a_layer_that_does_not_run_once_per_pass_is_refused(net, monitor):
    net.forward = lambda x: net.head(net.body(x - net.body[0](x)[:, :4]))
    watcher = watch.Watcher(net, monitor, s="body.0", z="output", raise_errors=True)
    with watcher, pytest.raises(ValueError, match="ran more than once"):
        net(inputs(2, 0))


def expected_firing(scores, window, tau, rate):
    """Feeds the scores one at a time to a fresh alarm: the number of inputs
    (1-based) at its first firing, its count and the worst score then."""
    alarm = watch.WindowAlarm(tau=tau, false_alarm_rate=rate, window=window)
    for i, score in enumerate(scores):
        if alarm.update(score):
            return i + 1, alarm.count, float(scores[max(0, i + 1 - window):i + 1].max())
    raise AssertionError("the fault never fired")


@pytest.mark.parametrize("latch", [True, False])
def test_alarm_events_fire_once_log_and_clear(net, monitor, latch, caplog):
    clean, faulty = inputs(30, 10), inputs(40, 11)
    alarm = watch.WindowAlarm(tau=monitor.tau, false_alarm_rate=0.05, window=20)
    fired = []
    watcher = watch.Watcher(net, monitor, s="body.0", z="output", alarm=alarm, latch=latch, on_alarm=fired.append)
    healthy = Net().eval()
    caplog.set_level(logging.INFO, logger="tarvex.core.watch")
    with watcher, torch.no_grad():
        net(clean)
        assert not watcher.firing
        break_logit_0(net)
        for start in range(0, 40, 4):  # batches of 4: the firing input is found inside a batch
            net(faulty[start:start + 4])
        assert watcher.firing and len(fired) == 1 and watcher.events == fired
        net.load_state_dict(healthy.state_dict())
        for start in range(0, 60, 3):
            net(inputs(3, 100 + start))
    broken = Net().eval()
    break_logit_0(broken)
    scores = np.concatenate([monitor.score_batch(*offline(healthy, clean)),
                             monitor.score_batch(*offline(broken, faulty))])
    index, count, worst = expected_firing(scores, 20, monitor.tau, 0.05)
    event = fired[0]
    assert (event.index, event.count, event.blamed_z) == (index, count, 0)
    assert event.worst_score == pytest.approx(worst, rel=1e-6)
    def records():
        return [r.tarvex_watch for r in caplog.records if hasattr(r, "tarvex_watch")]

    assert records()[0] == {"event": "fired", "cause": "model_fault", "index": event.index, "time": event.time, "count": count,
                            "worst_score": event.worst_score, "blamed_z": 0, "window": 20, "tau": monitor.tau}
    if latch:  # stays firing through the clean inputs until acknowledged
        assert watcher.firing and len(records()) == 1
        watcher.acknowledge(reset=True)
        assert alarm.count == 0
    assert not watcher.firing and watcher.alarms == 1
    assert [(r["event"], r.get("reason")) for r in records()] == [
        ("fired", None), ("cleared", "acknowledged" if latch else "window")]


def test_acknowledge_fires_again_while_the_fault_persists_and_reset_forgets_it(net, monitor):
    watcher = watch.Watcher(net, monitor, s="body.0", z="output",
                            alarm=watch.WindowAlarm(tau=monitor.tau, false_alarm_rate=0.05, window=20))
    break_logit_0(net)
    with watcher, torch.no_grad():
        net(inputs(40, 11))
        assert watcher.firing and watcher.alarms == 1
        watcher.acknowledge()
        assert not watcher.firing
        net(inputs(1, 12))
        assert watcher.firing and watcher.alarms == 2
        watcher.acknowledge(reset=True)
        net(inputs(1, 13))
    assert not watcher.firing and watcher.alarms == 2 and watcher.alarm.count <= 1


@pytest.mark.parametrize("window", [3, 7, 30])
def test_batched_alarm_updates_report_every_change_as_single_updates_do(window):
    rng = np.random.default_rng(window)
    batched = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.05, window=window)
    single = watch.WindowAlarm(tau=1.0, false_alarm_rate=0.05, window=window)
    state = False
    for _ in range(40):
        scores = np.where(rng.random(int(rng.integers(1, 60))) < rng.random() * 0.6, 2.0, 0.5)
        scores[rng.random(len(scores)) < 0.03] = np.nan
        fired, changes = batched._push(scores)
        expected, any_firing = [], False
        for position, score in enumerate(scores):
            now = single.update(score)
            any_firing = any_firing or now
            if now != state:
                expected.append((position, now, single.count))
                state = now
        assert changes == expected and fired == any_firing
        assert batched.count == single.count


def test_threads_lose_nothing_and_keep_each_pass_paired(net, monitor):
    alarm = watch.WindowAlarm(tau=monitor.tau, false_alarm_rate=0.05, window=50)
    watcher = watch.Watcher(net, monitor, s="body.0", z="output", alarm=alarm)
    results = collections.defaultdict(list)

    def serve(thread):
        rng = np.random.default_rng(thread)
        for call in range(150):
            x = torch.from_numpy(rng.normal(size=(int(rng.integers(1, 5)), 4)).astype(np.float32))
            with torch.inference_mode():
                net(x)
            results[thread].append((x, watcher.last_scores))

    with watcher:
        threads = [threading.Thread(target=serve, args=(i,)) for i in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    calls = [call for thread in results.values() for call in thread]
    assert len(calls) == 600
    x_all = torch.cat([x for x, _ in calls])
    scores = np.concatenate([scores for _, scores in calls])
    # Each call's scores belong to its own inputs (a mispaired S and Z
    # scores far off); batching changes the last float bits at most.
    np.testing.assert_allclose(scores, monitor.score_batch(*offline(net, x_all)), rtol=1e-5, atol=1e-6)
    assert watcher.inputs_seen == len(scores)
    assert watcher.inputs_above_tau == int(np.count_nonzero(scores > monitor.tau))


# --- metrics and files -----------------------------------------------------------


def test_prometheus_metrics_per_monitor(net, monitor):
    prometheus_client = pytest.importorskip("prometheus_client")
    registry = prometheus_client.CollectorRegistry()
    first = watch.Watcher(net, monitor, s="body.0", z="output",
                          alarm=watch.WindowAlarm(tau=monitor.tau, false_alarm_rate=0.05, window=10))
    second = watch.Watcher(net, monitor, s="body.0", z="output")
    first.export_prometheus(registry, name="first")
    second.export_prometheus(registry, name="second")
    with pytest.raises(ValueError, match="'first' is already exported"):
        second.export_prometheus(registry, name="first")
    break_logit_0(net)
    x = inputs(30, 5)
    with first, torch.no_grad():
        net(x)
    scores = monitor.score_batch(*offline(net, x))
    value = registry.get_sample_value
    labels = {"monitor": "first"}
    assert value("tarvex_watch_inputs_total", labels) == 30
    assert value("tarvex_watch_inputs_above_tau_total", labels) == np.count_nonzero(scores > monitor.tau)
    assert value("tarvex_watch_firing", labels) == 1 and value("tarvex_watch_input_drift", labels) == 0
    assert [value("tarvex_watch_alarms_total", {**labels, "cause": cause})
            for cause in ("model_fault", "input_drift", "both")] == [1, 0, 0]
    assert value("tarvex_watch_inputs_total", {"monitor": "second"}) == 0
    at_tau = value("tarvex_watch_score_bucket", {**labels, "le": prometheus_client.utils.floatToGoString(monitor.tau)})
    assert at_tau == np.count_nonzero(scores <= monitor.tau)
    assert value("tarvex_watch_score_count", labels) == 30
    assert value("tarvex_watch_score_sum", labels) == pytest.approx(scores.sum())


def test_the_package_imports_without_the_serve_packages():
    result = run_python("""
        import sys
        class Block:
            def find_spec(self, name, path=None, target=None):
                if name.split(".")[0] in ("prometheus_client", "fastapi", "uvicorn", "httpx"):
                    raise ImportError(f"blocked {name}")
        sys.meta_path.insert(0, Block())
        import torch
        from tarvex.core import resmon, watch
        m = resmon.NeuralConditionalMonitor(hidden=(4,), epochs=1)
        m.fit(torch.randn(50, 2).numpy(), torch.randn(50, 2).numpy())
        w = watch.Watcher(torch.nn.Sequential(torch.nn.Linear(2, 2)), m, s="0", z="output")
        try:
            w.export_prometheus()
        except ImportError as error:
            print("ImportError:", error)
    """)
    assert result.returncode == 0, result.stderr
    assert "ImportError: export_prometheus needs prometheus_client" in result.stdout


@pytest.mark.parametrize("stored, message", [
    ({"calibration": None}, "names no S and Z layers"),
    ({"layers": {"s": "body.0", "z": "output"}, "calibration": None}, "holds no calibration"),
])
def test_from_file_refuses_a_file_without_layers_or_calibration(monitor, monkeypatch, stored, message):
    loaded = resmon.NeuralConditionalMonitor.from_dict(monitor.to_dict())
    for key, value in stored.items():
        setattr(loaded, key, value)
    monkeypatch.setattr(watch.files, "load", lambda path: loaded)
    with pytest.raises(ValueError, match=message):
        watch.Watcher.from_file(Net(), "monitor.json")


@pytest.mark.skipif(not hasattr(watch, "Calibration"), reason="needs monitor files with a calibration")
def test_from_file_takes_layers_monitor_and_alarm_from_the_file(net, monitor, tmp_path):
    S, Z = offline(net, inputs(400, 3))
    loaded = resmon.NeuralConditionalMonitor.from_dict(monitor.to_dict())
    watch.calibrate(loaded, S, Z, false_alarm_rate=0.05)
    loaded.layers = {"s": "body.0", "z": "output"}
    path = tmp_path / "monitor.json"
    watch.save(loaded, path)
    watcher = watch.Watcher.from_file(net, path, window=30)
    reloaded = watch.load(path)
    assert reloaded.layers == loaded.layers and reloaded.calibration is not None
    assert watcher.alarm.window == 30 and watcher.tau == reloaded.calibration.tau
    with watcher, torch.no_grad():
        net(inputs(4, 0))
    np.testing.assert_allclose(watcher.last_scores, reloaded.score_batch(*offline(net, inputs(4, 0))), rtol=1e-6)
