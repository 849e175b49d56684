"""A served classifier with the integrity watch switched on.

A FastAPI app around one of the demo's classifiers and its monitor file:

- `POST /predict` takes `{"rows": [[...], ...]}` (standardised inputs, as
  the demo's data splits give them) and returns each row's predicted class
  and the watcher's alarm state; with a synchronous watcher also each row's
  score, whether it was scored (not when sampled out, or when its S is not
  finite: an invalid input, never counted against the model) and whether
  it scored above tau. Rows of the wrong or of unequal lengths, and values
  that are not finite float32 numbers (NaN, Infinity, 1e400, 3.5e38), are
  answered with 422 and never reach the model; more than `--max-rows` rows
  (default `DEFAULT_MAX_ROWS`) in one request with 413, so that one request
  cannot hold a worker for long or push thousands of rows through the
  alarm's window at once;
- `GET /health` returns the alarm state, the watcher's counters and the last
  alarm event: status "firing" for a model fault, "degraded" while the
  inputs drifted (a watcher given a typicality, `typicality=` in
  `load_served`'s options), while a fault firing's cause is still settled
  by the inputs after it (cause "pending") or after recent watch errors,
  "ok" otherwise;
- `GET /metrics` returns the watcher's Prometheus metrics;
- `POST /drill/weight-fault`, only with `--fault-drill`: breaks the served
  model's weights on purpose, so that a team can check that its alerts reach
  it (see docs/guides/operations.md). Never enable it in production.

`--mode background` scores off the request path (see `watch.Watcher`),
`--sample` scores a fraction of the inputs, `--monitor` serves another
monitor or coverage file.

Run the demo once (it writes `classifier-<model>.pt` and
`monitor-<model>.json` to demo_output/), then from the repository root:

    .venv/bin/python examples/serve.py --model digits-mlp --files demo_output

Needs the `serve` extra (prometheus_client, FastAPI, uvicorn).
"""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import math
import sys
from collections.abc import AsyncIterator
from pathlib import Path
from typing import Any

import numpy as np
import torch
from fastapi import FastAPI, HTTPException, Response
from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from pydantic import BaseModel

from tarvex.core import watch

DEMO_DIR = Path(__file__).resolve().parent.parent / "demo"
if str(DEMO_DIR) not in sys.path:
    sys.path.insert(0, str(DEMO_DIR))

from classifier import DigitCNN, MLPClassifier  # noqa: E402

# The demo's models: how each is built and its input width (the monitor
# file names the layers S and Z are read from).
MODELS: dict[str, tuple[Any, int]] = {
    "digits-mlp": (lambda: MLPClassifier(n_inputs=64, n_classes=10), 64),
    "cancer-mlp": (lambda: MLPClassifier(n_inputs=30, n_classes=2), 30),
    "digits-cnn": (lambda: DigitCNN(n_classes=10), 64),
}


# Most rows one request may carry (`create_app(max_rows=...)`, `--max-rows`).
DEFAULT_MAX_ROWS = 4096

# Largest magnitude a float32 holds; the model computes in float32.
_FLOAT32_MAX = float(np.finfo(np.float32).max)


class PredictRequest(BaseModel):
    rows: list[list[float]]


def _request_rows(rows: list[list[float]], n_inputs: int, max_rows: int) -> np.ndarray:
    """The request's rows as a float32 matrix, or an HTTP error: 413 for more
    than `max_rows` rows, 422 for an empty request, rows of the wrong or of
    unequal lengths, and values that are not finite float32 numbers. Bad
    values are the client's, not the model's: they must never reach the
    watcher, where they would count as evidence of a model fault."""
    if len(rows) > max_rows:
        raise HTTPException(status_code=413, detail=f"{len(rows)} rows in one request; at most {max_rows} "
                                                     "are taken: split the request")
    lengths = sorted({len(row) for row in rows})
    if not rows or lengths != [n_inputs]:
        raise HTTPException(status_code=422, detail=f"rows must be a non-empty list of rows of {n_inputs} "
                                                     f"values each, got {len(rows)} rows of lengths {lengths[:5]}")
    x = np.asarray(rows, dtype=np.float64)
    bad = ~(np.abs(x) <= _FLOAT32_MAX)  # NaN, infinities and values beyond float32's range
    if bad.any():
        row, column = (int(i) for i in np.argwhere(bad)[0])
        raise HTTPException(status_code=422, detail=f"rows hold {int(bad.sum())} values that are not finite "
                                                     f"float32 numbers (NaN, Infinity or beyond "
                                                     f"{_FLOAT32_MAX:.4g} in magnitude), the first in row "
                                                     f"{row}, column {column}")
    return x.astype(np.float32)


def _finite_or_none(value: float) -> float | None:
    """JSON has no NaN or inf: a non-finite score is sent as null (inf: a
    badly broken model, above tau; NaN: the row was not scored)."""
    return value if math.isfinite(value) else None


def create_app(model: torch.nn.Module, watcher: watch.Watcher | None, *, n_inputs: int, name: str = "default",
               registry: CollectorRegistry | None = None, max_rows: int = DEFAULT_MAX_ROWS,
               fault_drill: bool = False) -> FastAPI:
    """The app serving `model` with `watcher` attached (None: unwatched, for
    comparison); the metrics go to `registry` (a fresh one by default)
    labelled `monitor=name`. The watcher is detached (its queue scored) when
    the app shuts down. A request of more than `max_rows` rows is answered
    with 413. With `fault_drill`, the app also has the drill endpoint that
    breaks the model's weights (`break_weights`)."""
    if isinstance(max_rows, bool) or not isinstance(max_rows, int) or max_rows < 1:
        raise ValueError(f"max_rows must be a positive int, got {max_rows!r}")
    registry = registry if registry is not None else CollectorRegistry()
    if watcher is not None:
        watcher.export_prometheus(registry, name=name)
        watcher.attach()
    model.eval()

    @contextlib.asynccontextmanager
    async def lifespan(_app: FastAPI) -> AsyncIterator[None]:
        yield
        if watcher is not None:
            watcher.detach()

    app = FastAPI(title="classifier with integrity watch", lifespan=lifespan)

    # Plain (sync) handlers run in a thread pool: the watcher keeps each
    # thread's S, Z and scores apart.
    @app.post("/predict")
    def predict(request: PredictRequest) -> dict[str, Any]:
        x = _request_rows(request.rows, n_inputs, max_rows)
        with torch.inference_mode():
            logits = model(torch.from_numpy(x))
        reply: dict[str, Any] = {"predictions": logits.argmax(dim=1).tolist(), "scores": None, "scored": None,
                                 "above_tau": None, "firing": watcher.firing if watcher is not None else False}
        # A synchronous watcher has this request's scores (None if watching
        # it failed: the prediction stands, /health says "degraded").
        scores = watcher.last_scores if watcher is not None and watcher.mode == "sync" else None
        if scores is not None and len(scores) == len(x):
            reply["scores"] = [_finite_or_none(score) for score in scores.tolist()]
            reply["scored"] = (~np.isnan(scores)).tolist()
            reply["above_tau"] = (scores > watcher.tau).tolist()  # type: ignore[union-attr]
        return reply

    @app.get("/health")
    def health() -> dict[str, Any]:
        if watcher is None:
            return {"status": "ok", "firing": False, "degraded": False}
        events = watcher.events
        cause, degraded = watcher.cause, watcher.degraded
        status, detail = _STATUS[cause], _DETAIL[cause]
        if status == "ok" and degraded:
            status, detail = "degraded", "degraded: recent watch errors (see the log)"
        return {
            "status": status,
            "detail": detail,
            "cause": cause,
            "firing": watcher.firing,
            "drifting": watcher.drifting,
            "degraded": degraded,
            "attached": watcher.attached,
            "inputs_seen": watcher.inputs_seen,
            "inputs_received": watcher.inputs_received,
            "inputs_invalid": watcher.inputs_invalid,
            "inputs_dropped": watcher.inputs_dropped,
            "watch_errors": watcher.watch_errors,
            "alarms": watcher.alarms,
            "last_event": _event_json(events[-1]) if events else None,
        }

    @app.get("/metrics")
    def metrics() -> Response:
        return Response(generate_latest(registry), media_type=CONTENT_TYPE_LATEST)

    if fault_drill:
        @app.post("/drill/weight-fault")
        def weight_fault() -> dict[str, Any]:
            return {"changed": break_weights(model)}

    return app


# /health's status per cause: only a model fault fires; drifted inputs
# degrade the service (the model may be fine, its answers less so).
# While the fault alarm's cause is held open ("pending"), the inputs after
# the firing decide between the two: degraded until they do.
_STATUS = {None: "ok", "model_fault": "firing", "input_drift": "degraded", "both": "degraded",
           "pending": "degraded"}
_DETAIL = {
    None: "ok",
    "model_fault": "firing: model fault",
    "pending": ("degraded: the fault alarm fired; the next inputs settle whether the model is faulty or the "
                "inputs drifted"),
    "input_drift": "degraded: inputs drifted",
    "both": ("degraded: inputs drifted, and the fault alarm fired with them; a fault in or before the S layer "
             "reads the same: check the weights' fingerprint"),
}
def break_weights(model: torch.nn.Module) -> str:
    """A weight fault for alert drills: the first output row of the model's
    last linear layer is flipped and tripled, in place, in the served object.
    Returns the changed parameter's name."""
    name, layer = [(name, module) for name, module in model.named_modules()
                   if isinstance(module, torch.nn.Linear)][-1]
    with torch.no_grad():
        layer.weight[0] *= -3
    return f"{name}.weight[0]"


def _event_json(event: watch.AlarmEvent) -> dict[str, Any]:
    fields = dataclasses.asdict(event)
    fields["worst_score"] = _finite_or_none(fields["worst_score"])
    return fields


def load_served(kind: str, files: Path, monitor: Path | None = None,
                **watcher_options: Any) -> tuple[torch.nn.Module, watch.Watcher]:
    """The demo's classifier `kind` with the weights `files/classifier-<kind>.pt`,
    and a watcher from `monitor` (default `files/monitor-<kind>.json`): its
    layers, monitor (or coverage) and an alarm from its calibration
    (`watcher_options` go to `Watcher.from_file`: mode, sample, ...)."""
    build, _ = MODELS[kind]
    model = build()
    model.load_state_dict(torch.load(files / f"classifier-{kind}.pt", weights_only=True))
    model.eval()
    path = monitor if monitor is not None else files / f"monitor-{kind}.json"
    watcher = watch.Watcher.from_file(model, path, **watcher_options)
    return model, watcher


def main(argv: list[str] | None = None) -> int:
    import uvicorn

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", choices=sorted(MODELS), default="digits-mlp")
    parser.add_argument("--files", type=Path, default=DEMO_DIR.parent / "demo_output",
                        help="where the demo wrote classifier-<model>.pt and monitor-<model>.json")
    parser.add_argument("--monitor", type=Path, default=None,
                        help="a monitor or coverage file to serve instead of monitor-<model>.json")
    parser.add_argument("--mode", choices=watch.watching.MODES, default="sync",
                        help="score in the request (sync) or on a background thread")
    parser.add_argument("--queue-size", type=int, default=1024, help="background mode: most rows queued")
    parser.add_argument("--sample", type=float, default=1.0, help="fraction of the inputs scored")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    parser.add_argument("--max-rows", type=int, default=DEFAULT_MAX_ROWS,
                        help="most rows one request may carry; larger requests get 413")
    parser.add_argument("--fault-drill", action="store_true",
                        help="add POST /drill/weight-fault, which breaks the served weights (alert drills only)")
    args = parser.parse_args(argv)
    model, watcher = load_served(args.model, args.files, args.monitor, mode=args.mode,
                                 queue_size=args.queue_size, sample=args.sample)
    app = create_app(model, watcher, n_inputs=MODELS[args.model][1], name=args.model, max_rows=args.max_rows,
                     fault_drill=args.fault_drill)
    uvicorn.run(app, host=args.host, port=args.port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
