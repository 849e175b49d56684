"""Load test of the served example over real HTTP: `examples/serve.py`'s app
on a real uvicorn server on 127.0.0.1 (a process of its own), driven by a
bounded asyncio load generator on httpx, for each watcher configuration:

- none: the model served without a watcher;
- sync: a `watch.Watcher` scoring in the request;
- background: scoring on the watcher's background thread;
- background, sample 0.1: the same, scoring a tenth of the inputs;
- coverage sync / coverage background: a coverage watcher (every layer).

Each configuration is measured in three bounded phases, single-row
requests of the digits test rows throughout:

1. saturation: `--concurrency` clients send requests back to back for
   `--seconds`: requests per second;
2. fixed rate: `--rate` requests per second (open loop; default half the
   unwatched server's saturation rate) for `--seconds`: p50 and p99
   latency, as the client sees it;
3. fault: one logit's weights flipped and scaled in the served model (a
   signal to the server), then requests at the fixed rate until the
   watcher fires or `--fault-seconds` pass: the delay from the fault to
   the alarm in inputs served and in seconds.

Dropped rows are the watcher's `inputs_dropped` at the end.

    .venv/bin/python benchmarks/bench_load.py [--quick]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Any

import numpy as np
import torch

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "demo"))
sys.path.insert(0, str(ROOT))

from classifier import MLPClassifier, digits_split, train_classifier  # noqa: E402

from tarvex.core import watch  # noqa: E402
from tarvex.core.resmon import NeuralConditionalMonitor  # noqa: E402

KIND = "digits-mlp"
# name: (monitor file, watcher options)
CONFIGS: dict[str, tuple[str | None, dict[str, Any]]] = {
    "none": (None, {}),
    "sync": ("monitor", {"mode": "sync"}),
    "background": ("monitor", {"mode": "background"}),
    "background, sample 0.1": ("monitor", {"mode": "background", "sample": 0.1, "random_state": 0}),
    "coverage sync": ("coverage", {"mode": "sync"}),
    "coverage background": ("coverage", {"mode": "background"}),
}
QUEUE_SIZE = 1024


def prepare(files: Path, quick: bool) -> np.ndarray:
    """Trains the digits MLP, fits and calibrates its monitor (hidden1 ->
    output) and a coverage of every layer, and saves them as the demo does;
    returns the test rows the load is made of."""
    split = digits_split(seed=0)
    torch.manual_seed(0)
    model = train_classifier(MLPClassifier(), split.X_train, split.y_train, epochs=5 if quick else 20)
    torch.save(model.state_dict(), files / f"classifier-{KIND}.pt")
    monitor = NeuralConditionalMonitor(hidden=(128, 128), epochs=3 if quick else 10, batch_size=256, lr=3e-3,
                                       dropout=0.0, random_state=0)
    monitor.fit(*watch.capture(model, split.X_train, "hidden1", "output"))
    watch.calibrate(monitor, *watch.capture(model, split.X_calib, "hidden1", "output"), false_alarm_rate=0.02)
    watch.save(monitor, files / f"monitor-{KIND}.json", layers=("hidden1", "output"))
    candidate = {"hidden": (64,), "epochs": 5 if quick else 15, "dropout": 0.0, "lr": 3e-3}
    coverage = watch.cover(model, split.X_train, ["input", "hidden1", "hidden2", "output"], false_alarm_rate=0.05,
                           held_out=split.X_calib, candidates=[candidate])
    watch.save(coverage, files / f"coverage-{KIND}.json")
    return split.X_test


# --- the server (a process of its own) --------------------------------------------


def serve(files: Path, config: str, port: int) -> None:
    """Runs the example's app for one configuration. SIGUSR1 injects the
    weight fault; the fault and the first alarm are printed as JSON lines."""
    import uvicorn

    sys.path.insert(0, str(ROOT / "examples"))
    import serve as example

    torch.set_num_threads(1)
    which, options = CONFIGS[config]
    alarm_seen, fault_injected = threading.Event(), threading.Event()

    def on_alarm(event: watch.AlarmEvent) -> None:
        if fault_injected.is_set() and not alarm_seen.is_set():
            alarm_seen.set()
            print(json.dumps({"alarm_time": event.time, "alarm_received": watcher.inputs_received,
                              "alarm_index": event.index}), flush=True)

    if which is None:
        build, _ = example.MODELS[KIND]
        model = build()
        model.load_state_dict(torch.load(files / f"classifier-{KIND}.pt", weights_only=True))
        watcher = None
    else:
        model, watcher = example.load_served(KIND, files, files / f"{which}-{KIND}.json", on_alarm=on_alarm,
                                             queue_size=QUEUE_SIZE, **options)
    app = example.create_app(model, watcher, n_inputs=64, name=KIND)

    def inject(_signal: int, _frame: Any) -> None:
        # False alarms of the clean phases are counted, then forgotten: the
        # delay is measured to the first alarm after the fault.
        before = watcher.alarms if watcher is not None else 0
        if watcher is not None:
            watcher.flush()
            watcher.acknowledge(reset=True)
            alarm_seen.clear()
        with torch.no_grad():
            model.out.weight[4] *= -3
        fault_injected.set()
        print(json.dumps({"fault_time": time.time(), "alarms_before": before,
                          "fault_received": watcher.inputs_received if watcher is not None else 0}), flush=True)

    signal.signal(signal.SIGUSR1, inject)
    uvicorn.run(app, host="127.0.0.1", port=port, log_level="warning", access_log=False)


# --- the load generator -----------------------------------------------------------------


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Server:
    """The server process of one configuration, and the JSON lines it prints."""

    def __init__(self, files: Path, config: str) -> None:
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        env = dict(os.environ, OMP_NUM_THREADS="1", MKL_NUM_THREADS="1",
                   PYTHONPATH=os.pathsep.join(filter(None, [str(ROOT), os.environ.get("PYTHONPATH")])))
        self.process = subprocess.Popen([sys.executable, __file__, "--serve", config, "--files", str(files),
                                         "--port", str(self.port)], stdout=subprocess.PIPE, text=True, env=env)
        self.lines: list[dict[str, Any]] = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.process.stdout is not None
        for line in self.process.stdout:
            if line.startswith("{"):
                self.lines.append(json.loads(line))

    def line(self, key: str) -> dict[str, Any] | None:
        return next((line for line in self.lines if key in line), None)

    def wait_ready(self, timeout: float = 60.0) -> None:
        import httpx

        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"the server exited with {self.process.returncode}")
            try:
                if httpx.get(self.url + "/health", timeout=1).status_code == 200:
                    return
            except httpx.HTTPError:
                time.sleep(0.1)
        raise RuntimeError("the server did not start")

    def stop(self) -> None:
        self.process.send_signal(signal.SIGINT)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def bodies(rows: np.ndarray) -> list[bytes]:
    return [json.dumps({"rows": [row.tolist()]}).encode() for row in rows]


async def saturate(url: str, payloads: list[bytes], seconds: float, concurrency: int) -> float:
    """Requests per second with `concurrency` clients sending back to back."""
    import httpx

    sent = 0
    async with httpx.AsyncClient(base_url=url, timeout=30,
                                 limits=httpx.Limits(max_connections=concurrency)) as client:
        headers = {"content-type": "application/json"}
        started = time.perf_counter()
        end = started + seconds

        async def sender(first: int) -> None:
            nonlocal sent
            turn = first
            while time.perf_counter() < end:
                reply = await client.post("/predict", content=payloads[turn % len(payloads)], headers=headers)
                reply.raise_for_status()
                sent += 1
                turn += concurrency

        await asyncio.gather(*(sender(i) for i in range(concurrency)))
        return sent / (time.perf_counter() - started)


async def at_rate(url: str, payloads: list[bytes], rate: float, seconds: float,
                  until: Any = None) -> list[float]:
    """Sends `rate` requests per second (open loop) for `seconds`, or until
    `until()` is true; returns each request's latency in seconds."""
    import httpx

    latencies: list[float] = []
    async with httpx.AsyncClient(base_url=url, timeout=30, limits=httpx.Limits(max_connections=256)) as client:
        headers = {"content-type": "application/json"}
        started = time.perf_counter()

        async def one(i: int) -> None:
            await asyncio.sleep(max(0.0, started + i / rate - time.perf_counter()))
            if until is not None and until():
                return
            sent = time.perf_counter()
            reply = await client.post("/predict", content=payloads[i % len(payloads)], headers=headers)
            reply.raise_for_status()
            latencies.append(time.perf_counter() - sent)

        await asyncio.gather(*(one(i) for i in range(int(rate * seconds))))
    return latencies


def measure(files: Path, config: str, payloads: list[bytes], args: argparse.Namespace) -> dict[str, Any]:
    """The three phases on a fresh server; sets `args.rate` from the first
    saturation measured when it is not given."""
    import httpx

    server = Server(files, config)
    try:
        server.wait_ready()
        asyncio.run(at_rate(server.url, payloads, 20, 0.5))  # warm up
        rps = asyncio.run(saturate(server.url, payloads, args.seconds, args.concurrency))
        if args.rate is None:
            args.rate = round(rps / 2)
        latencies = np.array(asyncio.run(at_rate(server.url, payloads, args.rate, args.seconds)))
        result: dict[str, Any] = {"config": config, "rps": rps, "p50": float(np.percentile(latencies, 50)),
                                  "p99": float(np.percentile(latencies, 99)), "delay_inputs": None,
                                  "delay_seconds": None, "dropped": None, "false_alarms": None}
        if CONFIGS[config][0] is not None:
            server.process.send_signal(signal.SIGUSR1)
            asyncio.run(at_rate(server.url, payloads, args.rate, args.fault_seconds,
                                until=lambda: server.line("alarm_time") is not None))
            time.sleep(0.5)  # the background worker may still be scoring
            fault, alarm = server.line("fault_time"), server.line("alarm_time")
            if fault is not None:
                result["false_alarms"] = fault["alarms_before"]
            if fault is not None and alarm is not None:
                result["delay_inputs"] = alarm["alarm_received"] - fault["fault_received"]
                result["delay_seconds"] = alarm["alarm_time"] - fault["fault_time"]
            result["dropped"] = httpx.get(server.url + "/health", timeout=10).json()["inputs_dropped"]
        return result
    finally:
        server.stop()


def table(results: list[dict[str, Any]]) -> str:
    alone = results[0]
    lines = ["| watcher | requests/s at saturation | vs. none | p50 ms | p99 ms | p50 added ms | dropped rows "
             "| false alarms before the fault | fault to alarm: inputs | fault to alarm: s |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    for result in results:
        def show(value: Any, form: str) -> str:
            return "n/a" if value is None else format(value, form)

        lines.append(f"| {result['config']} | {result['rps']:.0f} | {result['rps'] / alone['rps']:.0%} "
                     f"| {result['p50'] * 1e3:.2f} | {result['p99'] * 1e3:.2f} "
                     f"| {(result['p50'] - alone['p50']) * 1e3:+.2f} | {show(result['dropped'], 'd')} "
                     f"| {show(result['false_alarms'], 'd')} "
                     f"| {show(result['delay_inputs'], 'd')} | {show(result['delay_seconds'], '.2f')} |")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="shorter phases and training")
    parser.add_argument("--seconds", type=float, default=None, help="length of each load phase (default 4; 2 quick)")
    parser.add_argument("--rate", type=float, default=None,
                        help="requests per second of the fixed-rate phase (default: half the unwatched saturation)")
    parser.add_argument("--concurrency", type=int, default=8, help="clients of the saturation phase")
    parser.add_argument("--fault-seconds", type=float, default=15.0, help="longest wait for the alarm")
    parser.add_argument("--configs", nargs="*", default=list(CONFIGS), help="configurations to run")
    parser.add_argument("--serve", help=argparse.SUPPRESS)
    parser.add_argument("--files", type=Path, help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.serve is not None:
        serve(args.files, args.serve, args.port)
        return 0
    args.seconds = args.seconds if args.seconds is not None else (2.0 if args.quick else 4.0)
    torch.set_num_threads(1)
    with tempfile.TemporaryDirectory() as folder:
        files = Path(folder)
        started = time.perf_counter()
        rows = prepare(files, args.quick)
        print(f"trained the model, its monitor and its coverage in {time.perf_counter() - started:.0f} s",
              flush=True)
        payloads = bodies(rows)
        results = []
        # The unwatched server first and last: on a shared machine the load drifts.
        for config in ["none"] + [config for config in args.configs if config != "none"] + ["none"]:
            results.append(measure(files, config, payloads, args))
            print(f"{config}: {results[-1]}", flush=True)
    print(f"\nload average {open('/proc/loadavg').read().split()[:3]}, {os.cpu_count()} cores; single-row requests, "
          f"{args.concurrency} clients at saturation, {args.rate:.0f} requests/s for the latencies\n")
    print(table(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
