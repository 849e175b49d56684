"""The Watcher in production: background scoring, sampling, invalid inputs,
errors contained in the hooks, pairing within one pass, nesting, alarm
delivery, and refusals of what cannot be watched."""

import gc
import logging
import re
import threading
import time

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch
from tarvex.core.watch import watching

from test_watching import Net, break_logit_0, inputs, offline


@pytest.fixture(scope="module")
def monitor():
    net = Net().eval()
    trained = resmon.NeuralConditionalMonitor(hidden=(16,), epochs=8, batch_size=32, dropout=0.0, random_state=0)
    trained.fit(*offline(net, inputs(600, 1)))
    watch.calibrate(trained, *offline(net, inputs(400, 2)), false_alarm_rate=0.05)
    return trained


@pytest.fixture
def net():
    return Net().eval()


def watcher_for(net, monitor, **options):
    return watch.Watcher(net, monitor, s="body.0", z="output", **options)


def alarm(monitor, window=20):
    return watch.WindowAlarm(tau=monitor.tau, false_alarm_rate=0.05, window=window)


def records(caplog, event):
    return [r for r in caplog.records if getattr(r, "tarvex_watch", {}).get("event") == event]


# --- pairing, nesting, delivery ------------------------------------------------------


def test_nested_with_blocks_keep_the_hooks_until_the_outermost_exit(net, monitor):
    watcher = watcher_for(net, monitor)
    with torch.no_grad(), watcher:
        with watcher:
            net(inputs(10, 0))
        net(inputs(10, 1))  # still watched after the inner block
    assert watcher.inputs_seen == 20 and not watcher.attached
    watcher.attach()
    with watcher:
        pass
    assert watcher.attached  # attached before the block: stays attached
    watcher.detach()


def test_rows_of_a_failed_pass_are_never_paired_with_a_later_one(net, monitor):
    watcher = watcher_for(net, monitor)
    watcher.attach()
    net.fail = True
    with pytest.raises(RuntimeError, match="failed after S"):
        net(inputs(1, 0))  # S was captured, the pass raised
    net.fail = False
    watcher.detach()
    plain_forward = net.forward

    def attach_mid_pass(x):
        hidden = net.body(x)  # S runs before the hooks are in place
        watcher.attach()
        return net.head(hidden)

    net.forward = attach_mid_pass
    with torch.no_grad():
        net(inputs(1, 1))
    net.forward = plain_forward
    assert watcher.inputs_seen == 0 and watcher.last_scores is None
    x = inputs(2, 2)
    with torch.no_grad():
        net(x)
    np.testing.assert_array_equal(watcher.last_scores, monitor.score_batch(*offline(net, x)))
    watcher.detach()


def test_every_alarm_event_reaches_on_alarm_even_when_it_raises(net, monitor, caplog):
    calls = []

    def on_alarm(event):
        calls.append(event)
        raise RuntimeError("pager down")

    watcher = watcher_for(net, monitor, alarm=alarm(monitor), latch=False, on_alarm=on_alarm)
    clean, wild = inputs(40, 3), 40 * inputs(20, 4)  # far outside the fitted inputs: scores above tau
    assert (monitor.score_batch(*offline(net, wild)) > monitor.tau).all()
    x = torch.cat([wild, clean, wild, clean, wild])
    with watcher, torch.no_grad():
        output = net(x)
    assert torch.equal(output, Net().eval()(x))
    assert len(watcher.events) == 3 and calls == watcher.events
    assert len([r for r in caplog.records if "pager down" in r.getMessage()]) == 3


# --- refusals ------------------------------------------------------------------------


@pytest.mark.parametrize("make, message", [
    (lambda net: torch.compile(net), r"torch\.compile\(model\).*model\._orig_mod"),
    (lambda net: net.compile() or net, r"compiled in place"),
    (lambda net: torch.jit.trace(net, inputs(2, 0)), r"TorchScript"),
])
def test_compiled_and_traced_models_are_refused_with_what_to_do(net, monitor, make, message):
    with pytest.raises(TypeError, match=message):
        watch.Watcher(make(net), monitor, s="body.0", z="output")


def test_a_model_compiled_after_the_watcher_was_built_is_refused_at_attach(net, monitor):
    watcher = watcher_for(net, monitor)
    net.compile()
    with pytest.raises(TypeError, match="compiled in place"):
        watcher.attach()
    assert not watcher.attached


class Recurrent(torch.nn.Module):
    def __init__(self):
        super().__init__()
        self.lstm = torch.nn.LSTM(4, 3, batch_first=True)

    def forward(self, x) -> tuple[torch.Tensor, torch.Tensor]:
        output, (h, _) = self.lstm(x)
        return output[:, -1], h[-1]


@pytest.mark.parametrize("model, s, z, message", [
    (Recurrent(), "lstm", "output[0]", r"'lstm' is a LSTM.*'lstm\[0\]', 'lstm\[1\]\[0\]'"),
    (Recurrent(), "lstm[0]", "output", r"annotated to return tuple.*'output\[0\]'"),
    (torch.nn.Sequential(torch.nn.GRU(4, 3)), "0[0]", "output", r"ending in a GRU.*'output\[0\]', 'output\[1\]'"),
])
def test_names_of_layers_that_return_tuples_are_refused_when_the_watcher_is_built(monitor, model, s, z, message):
    with pytest.raises(TypeError, match=message):
        watch.Watcher(model, monitor, s=s, z=z)


def test_capture_names_the_selectors_of_a_tuple_output():
    with pytest.raises(TypeError, match=r"'output' gave tuple, not a tensor; select a tensor with one of "
                                        r"'output\[0\]' \(shape \(2, 3\)\), 'output\[1\]' \(shape \(2, 3\)\)"):
        watch.capture(Recurrent(), torch.randn(2, 5, 4), "lstm[0]", "output")


# --- errors contained ----------------------------------------------------------------


class Pair(torch.nn.Module):
    def forward(self, x):
        return x, x


def contained_cases():
    """(build the model and watcher, the error's message): a selector that
    meets a tuple, layers whose rows disagree, a monitor that raises."""

    def tuple_at_run_time(monitor):
        model = torch.nn.Sequential(Pair(), torch.nn.Identity())
        model[1].forward = lambda pair: pair[0][:, :3]  # Z of the monitor's width, S a tuple
        return model, dict(s="0", z="output")

    def rows_disagree(monitor):
        model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Identity())
        model[1].forward = lambda h: h[:1, :3]
        return model, dict(s="0", z="output")

    def monitor_raises(monitor):
        model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Linear(8, 2))  # Z 2 wide, monitor wants 3
        return model, dict(s="0", z="output")

    return [(tuple_at_run_time, "gave tuple, not a tensor"), (rows_disagree, "different numbers of rows"),
            (monitor_raises, r"Z must have shape \(n, 3\)")]


@pytest.mark.parametrize("build, message", contained_cases())
def test_watch_errors_return_the_output_count_log_and_degrade(monitor, build, message, caplog):
    prometheus_client = pytest.importorskip("prometheus_client")
    model, layers = build(monitor)
    model.eval()
    watcher = watch.Watcher(model, monitor, **layers)
    registry = prometheus_client.CollectorRegistry()
    watcher.export_prometheus(registry, name="m")
    x = inputs(4, 0)
    with watcher, torch.no_grad():
        for _ in range(3):
            output = model(x)
    assert isinstance(output, torch.Tensor) and watcher.last_scores is None
    assert watcher.watch_errors == 3 and watcher.degraded and watcher.inputs_seen == 0
    logged = records(caplog, "watch_error")
    assert len(logged) == 1 and logged[0].levelno == logging.ERROR and logged[0].exc_info is not None
    assert re.search(message, str(watcher.last_watch_error))
    assert registry.get_sample_value("tarvex_watch_errors_total", {"monitor": "m"}) == 3
    assert registry.get_sample_value("tarvex_watch_degraded", {"monitor": "m"}) == 1
    strict = watch.Watcher(model, monitor, raise_errors=True, **layers)
    with strict, torch.no_grad(), pytest.raises((TypeError, ValueError), match=message):
        model(x)


def test_degraded_clears_once_errors_stop(monitor, monkeypatch):
    model = torch.nn.Sequential(torch.nn.Linear(4, 8), torch.nn.Linear(8, 2)).eval()
    watcher = watch.Watcher(model, monitor, s="0", z="output")
    with watcher, torch.no_grad():
        model(inputs(1, 0))
    assert watcher.degraded
    monkeypatch.setattr(watching, "DEGRADED_SECONDS", 0.0)
    assert not watcher.degraded


# --- invalid inputs --------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["sync", "background"])
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 3.5e38])
def test_non_finite_inputs_are_counted_invalid_and_never_raise_the_alarm(net, monitor, mode, value, caplog):
    watcher = watcher_for(net, monitor, alarm=alarm(monitor), mode=mode)
    bad = inputs(3, 0)
    bad[:, 1] = torch.tensor(value, dtype=torch.float32)  # 3.5e38 overflows float32
    good = inputs(2, 1)
    with watcher, torch.no_grad():
        for _ in range(30):
            net(bad[:1])
        net(torch.cat([good[:1], bad, good[1:]]))
        watcher.flush()
        if mode == "sync":
            expected = monitor.score_batch(*offline(net, good))
            np.testing.assert_allclose(watcher.last_scores[[0, 4]], expected, rtol=1e-5)
            assert np.isnan(watcher.last_scores[1:4]).all()
    assert watcher.inputs_invalid == 33 and watcher.inputs_seen == 2 and watcher.inputs_received == 35
    assert not watcher.firing and watcher.alarm.count <= 1
    assert len(records(caplog, "invalid")) == 1


def test_a_non_finite_z_from_finite_inputs_is_a_model_fault(net, monitor):
    watcher = watcher_for(net, monitor, alarm=alarm(monitor))
    with torch.no_grad():
        net.head.weight[0, 0] = float("inf")
    with watcher, torch.no_grad():
        net(inputs(30, 0) + 1.0)
    assert watcher.firing and watcher.inputs_invalid == 0


# --- background mode and sampling -------------------------------------------------------


def test_background_threads_keep_every_pass_paired(net, monitor):
    prometheus_client = pytest.importorskip("prometheus_client")
    watcher = watcher_for(net, monitor, alarm=alarm(monitor, window=50), mode="background", queue_size=100_000)
    registry = prometheus_client.CollectorRegistry()
    watcher.export_prometheus(registry, name="m")
    sent = [[] for _ in range(8)]

    def serve(thread):
        rng = np.random.default_rng(thread)
        for _ in range(60):
            x = torch.from_numpy(rng.normal(size=(int(rng.integers(1, 5)), 4)).astype(np.float32))
            with torch.inference_mode():
                net(x)
            sent[thread].append(x)

    with watcher:
        threads = [threading.Thread(target=serve, args=(i,)) for i in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert watcher.flush(timeout=60)
    offline_scores = monitor.score_batch(*offline(net, torch.cat([x for part in sent for x in part])))
    assert watcher.inputs_seen == len(offline_scores) and watcher.inputs_dropped == 0
    assert watcher.inputs_above_tau == np.count_nonzero(offline_scores > monitor.tau)
    # A mispaired S and Z scores far off: the sum of all scores tells.
    assert registry.get_sample_value("tarvex_watch_score_sum", {"monitor": "m"}) == pytest.approx(
        offline_scores.sum(), rel=1e-5)


def test_a_full_queue_drops_and_counts_without_blocking_the_model(net, monitor, caplog):
    release = threading.Event()
    watcher = watcher_for(net, monitor, alarm=alarm(monitor), mode="background", queue_size=10,
                          on_alarm=lambda event: release.wait(30))  # holds the worker once fired
    break_logit_0(net)
    with torch.no_grad():
        watcher.attach()
        net(inputs(10, 0))  # fires: the worker waits in on_alarm
        deadline = time.monotonic() + 30
        while not watcher.firing:
            assert time.monotonic() < deadline
            time.sleep(0.01)
        started = time.monotonic()
        for seed in range(30):
            net(inputs(1, seed))
        assert time.monotonic() - started < 10  # no call waited for the stuck worker
        release.set()
        watcher.detach()  # flushes
    assert watcher.inputs_dropped == 20 and watcher.inputs_seen == 20
    assert watcher.inputs_seen + watcher.inputs_dropped == watcher.inputs_received == 40
    assert len(records(caplog, "dropped")) == 1


def test_detach_scores_everything_queued_and_stops_the_thread(net, monitor):
    watcher = watcher_for(net, monitor, mode="background")
    with watcher, torch.no_grad():
        thread = watcher._worker.thread
        for seed in range(50):
            net(inputs(2, seed))
    assert watcher.inputs_seen == 100 and not thread.is_alive()


def test_the_thread_stops_when_the_watcher_is_collected(monitor):
    def attached_and_forgotten():
        net = Net().eval()
        watcher = watcher_for(net, monitor, mode="background").attach()
        return watcher._worker.thread

    thread = attached_and_forgotten()
    gc.collect()
    thread.join(timeout=10)
    assert not thread.is_alive()


@pytest.mark.parametrize("mode", ["sync", "background"])
def test_sampling_scores_a_seeded_fraction_of_the_inputs(net, monitor, mode):
    def run(seed):
        watcher = watcher_for(net, monitor, mode=mode, sample=0.25, random_state=seed)
        partial = []
        with watcher, torch.no_grad():
            for start in range(300):
                net(inputs(1, start))
            x = inputs(40, 1000)
            net(x)
            partial = watcher.last_scores
        return watcher, partial, x

    first, scores, x = run(0)
    assert first.inputs_received == 340 and 60 <= first.inputs_seen <= 110
    assert run(0)[0].inputs_seen == first.inputs_seen
    if mode == "sync":  # rows not drawn are NaN, drawn rows scored as offline
        drawn = ~np.isnan(scores)
        assert 0 < drawn.sum() < 40
        np.testing.assert_allclose(scores[drawn], monitor.score_batch(*offline(net, x))[drawn], rtol=1e-5)
