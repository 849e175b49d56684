"""The served example: the real app under uvicorn on a loopback port, real
HTTP requests, and a weight fault injected into the served model."""

import re
import socket
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest
import torch

from tarvex.core import resmon, watch

from helpers import import_script

for package in ("fastapi", "uvicorn", "httpx", "prometheus_client"):
    pytest.importorskip(package)

import httpx  # noqa: E402
import uvicorn  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent


def load_example():
    return import_script(ROOT / "examples" / "serve.py")  # puts demo/ on sys.path


@pytest.fixture(scope="module")
def served_files(tmp_path_factory):
    """A quickly trained digits MLP and its calibrated monitor, saved as the
    demo saves them."""
    serve = load_example()
    classifier = sys.modules["classifier"]
    split = classifier.digits_split(seed=0)
    torch.manual_seed(0)
    model = classifier.train_classifier(classifier.MLPClassifier(), split.X_train, split.y_train, epochs=4)
    monitor = resmon.NeuralConditionalMonitor(hidden=(32,), epochs=6, dropout=0.0, lr=3e-3, random_state=0)
    monitor.fit(*watch.capture(model, split.X_train, "hidden1", "output"))
    watch.calibrate(monitor, *watch.capture(model, split.X_calib, "hidden1", "output"), false_alarm_rate=0.02)
    files = tmp_path_factory.mktemp("served")
    torch.save(model.state_dict(), files / "classifier-digits-mlp.pt")
    watch.save(monitor, files / "monitor-digits-mlp.json", layers=("hidden1", "output"))
    return serve, files, split


class Server:
    """uvicorn in a thread of this process, on a loopback port of its own."""

    def __init__(self, app):
        self.socket = socket.socket()
        self.socket.bind(("127.0.0.1", 0))
        self.url = "http://127.0.0.1:%d" % self.socket.getsockname()[1]
        self.server = uvicorn.Server(uvicorn.Config(app, log_level="warning"))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [self.socket]}, daemon=True)

    def __enter__(self):
        self.thread.start()
        deadline = time.monotonic() + 30
        while not self.server.started:
            assert time.monotonic() < deadline and self.thread.is_alive(), "the server did not start"
            time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.server.should_exit = True
        self.thread.join(timeout=30)
        self.socket.close()


def test_served_model_reports_a_weight_fault_on_health_and_metrics(served_files):
    serve, files, split = served_files
    model, watcher = serve.load_served("digits-mlp", files)  # layers and alarm from the file
    app = serve.create_app(model, watcher, n_inputs=64, name="digits-mlp")
    rows = split.X_test
    with Server(app) as server, httpx.Client(base_url=server.url, timeout=30) as client:
        reply = client.post("/predict", json={"rows": rows[:5].tolist()}).json()
        assert reply["predictions"] == model(torch.from_numpy(rows[:5])).argmax(dim=1).tolist()
        S, Z = watch.capture(model, rows[:5], "hidden1", "output")
        np.testing.assert_allclose(reply["scores"], watcher.monitor.score_batch(S, Z), rtol=1e-5)
        assert reply["firing"] is False and len(reply["above_tau"]) == 5
        assert client.post("/predict", json={"rows": [[0.0] * 63]}).status_code == 422
        assert client.get("/health").json()["status"] == "ok"

        with torch.no_grad():  # one logit's weights flipped and scaled, in the served object
            model.out.weight[4] *= -3
        for request in range(40):
            start = 5 + 5 * request
            client.post("/predict", json={"rows": rows[start:start + 5].tolist()})
            health = client.get("/health").json()
            if health["firing"]:
                break
        assert health["status"] == "firing" and health["alarms"] == 1 and health["cause"] == "model_fault"
        assert health["last_event"]["index"] <= health["inputs_seen"] and health["last_event"]["count"] >= 1
        metrics = client.get("/metrics").text
    assert 'tarvex_watch_alarms_total{cause="model_fault",monitor="digits-mlp"} 1.0' in metrics
    assert 'tarvex_watch_firing{monitor="digits-mlp"} 1.0' in metrics
    assert f'tarvex_watch_inputs_total{{monitor="digits-mlp"}} {float(health["inputs_seen"])}' in metrics


def test_drifted_inputs_degrade_health_without_a_model_fault(served_files):
    serve, files, split = served_files
    model, _ = serve.load_served("digits-mlp", files)
    S_train, _ = watch.capture(model, split.X_train, "hidden1", "output")
    S_calib, _ = watch.capture(model, split.X_calib, "hidden1", "output")
    typicality = watch.fit_typicality(S_train, S_calib, false_alarm_rate=0.05)
    model, watcher = serve.load_served("digits-mlp", files, typicality=typicality)
    app = serve.create_app(model, watcher, n_inputs=64, name="digits-mlp")
    drifted = 3.0 * split.X_test + 1.0  # the same model, other inputs
    with Server(app) as server, httpx.Client(base_url=server.url, timeout=30) as client:
        for start in range(0, 100, 5):
            client.post("/predict", json={"rows": drifted[start:start + 5].tolist()})
        health = client.get("/health").json()
        metrics = client.get("/metrics").text
    assert health["status"] == "degraded" and health["detail"].startswith("degraded: inputs drifted")
    assert health["cause"] in ("input_drift", "both") and health["drifting"] is True
    assert set(serve._STATUS) == set(serve._DETAIL) == {None, "pending", *watch.CAUSES}  # every cause answers
    assert 'tarvex_watch_input_drift{monitor="digits-mlp"} 1.0' in metrics
    assert 'tarvex_watch_alarms_total{cause="model_fault",monitor="digits-mlp"} 0.0' in metrics
def test_non_finite_inputs_never_turn_health_to_firing(served_files):
    serve, files, split = served_files
    model, watcher = serve.load_served("digits-mlp", files, window=10)
    app = serve.create_app(model, watcher, n_inputs=64, name="digits-mlp")
    row = ", ".join(["0.5"] * 63)
    accepted = 0
    with Server(app) as server, httpx.Client(base_url=server.url, timeout=30) as client:
        for value in ["NaN", "Infinity", "-Infinity", "1e400", "3.5e38"] * 4:
            reply = client.post("/predict", content=f'{{"rows": [[{value}, {row}], [{value}, {row}]]}}',
                                headers={"content-type": "application/json"})
            assert reply.status_code in (200, 422), reply.text  # refused or served, never a server error
            if reply.status_code == 200:
                accepted += 2
                assert reply.json()["above_tau"] == [False, False] and reply.json()["scored"] == [False, False]
        health = client.get("/health").json()
        metrics = client.get("/metrics").text
    assert health["status"] == "ok" and health["alarms"] == 0
    assert health["inputs_invalid"] == accepted and health["inputs_seen"] == 0
    assert f'tarvex_watch_inputs_invalid_total{{monitor="digits-mlp"}} {float(accepted)}' in metrics


def test_background_mode_serves_and_reports_a_weight_fault(served_files):
    serve, files, split = served_files
    model, watcher = serve.load_served("digits-mlp", files, mode="background", queue_size=64)
    app = serve.create_app(model, watcher, n_inputs=64, name="digits-mlp")
    rows = split.X_test
    with Server(app) as server, httpx.Client(base_url=server.url, timeout=30) as client:
        reply = client.post("/predict", json={"rows": rows[:5].tolist()}).json()
        assert reply["predictions"] == model(torch.from_numpy(rows[:5])).argmax(dim=1).tolist()
        assert reply["scores"] is None  # scored off the request path
        with torch.no_grad():
            model.out.weight[4] *= -3
        for request in range(40):
            start = 5 + 5 * request
            client.post("/predict", json={"rows": rows[start:start + 5].tolist()})
            watcher.flush(timeout=30)
            health = client.get("/health").json()
            if health["firing"]:
                break
        metrics = client.get("/metrics").text
    assert health["status"] == "firing" and health["alarms"] == 1 and health["inputs_dropped"] == 0
    assert health["inputs_seen"] == health["inputs_received"] == 10 + 5 * (request + 1)  # the check of the predictions ran the model too
    assert 'tarvex_watch_inputs_dropped_total{monitor="digits-mlp"} 0.0' in metrics
    assert not watcher.attached  # the app's shutdown detached it
ZEROS = ", ".join(["0"] * 63)


BAD_REQUESTS = [  # rows as JSON text, status, detail
    (f"[[{ZEROS}, 0], [{ZEROS}]]", 422, "rows of 64 values each, got 2 rows of lengths \\[63, 64\\]"),
    (f"[[{ZEROS}, NaN]]", 422, "not finite float32 numbers"),
    (f"[[{ZEROS}, 0], [{ZEROS}, -Infinity]]", 422, "the first in row 1, column 63"),
    (f"[[{ZEROS}, 1e400]]", 422, "not finite float32"),
    (f"[[{ZEROS}, 3.5e38]]", 422, "not finite float32"),  # finite, but infinite in float32
    (", ".join([f"[{ZEROS}, 0]"] * 4).join("[]"), 413, "4 rows in one request; at most 3"),
]


def test_bad_requests_are_refused_before_the_model_and_the_watcher_see_them(served_files):
    serve, files, split = served_files
    model, watcher = serve.load_served("digits-mlp", files)
    app = serve.create_app(model, watcher, n_inputs=64, max_rows=3)
    with Server(app) as server, httpx.Client(base_url=server.url, timeout=30) as client:
        for rows, status, message in BAD_REQUESTS:
            reply = client.post("/predict", content='{"rows": %s}' % rows,
                                headers={"content-type": "application/json"})
            assert reply.status_code == status and re.search(message, reply.json()["detail"]), rows[-40:]
        assert watcher.inputs_seen == 0
        assert client.post("/predict", json={"rows": split.X_test[:3].tolist()}).status_code == 200
    assert watcher.inputs_seen == 3
