"""A served classifier with the integrity watch switched on.

A FastAPI app around one of the demo's classifiers and its monitor file:

- `POST /predict` takes `{"rows": [[...], ...]}` (standardised inputs, as
  the demo's data splits give them) and returns each row's predicted class,
  score and whether it scored above tau, and the watcher's alarm state;
- `GET /health` returns the alarm state and the last alarm event: status
  "firing" for a model fault, "degraded" while the inputs drifted (a
  watcher given a typicality, `typicality=` in `load_served`'s options),
  "ok" otherwise;
- `GET /metrics` returns the watcher's Prometheus metrics.

Run the demo once (it writes `classifier-<model>.pt` and
`monitor-<model>.json` to demo_output/), then from the repository root:

    .venv/bin/python examples/serve.py --model digits-mlp --files demo_output

Needs the `serve` extra (prometheus_client, FastAPI, uvicorn).
"""

from __future__ import annotations

import argparse
import dataclasses
import math
import sys
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


class PredictRequest(BaseModel):
    rows: list[list[float]]


def _finite_or_none(value: float) -> float | None:
    """JSON has no NaN or inf: a non-finite score (a badly broken model) is
    sent as null and counts as above tau."""
    return value if math.isfinite(value) else None


def create_app(model: torch.nn.Module, watcher: watch.Watcher, *, n_inputs: int, name: str = "default",
               registry: CollectorRegistry | None = None) -> FastAPI:
    """The app serving `model` with `watcher` attached; the metrics go to
    `registry` (a fresh one by default) labelled `monitor=name`."""
    registry = registry if registry is not None else CollectorRegistry()
    watcher.export_prometheus(registry, name=name)
    watcher.attach()
    model.eval()
    app = FastAPI(title="classifier with integrity watch")

    # Plain (sync) handlers run in a thread pool: the watcher keeps each
    # thread's S, Z and scores apart.
    @app.post("/predict")
    def predict(request: PredictRequest) -> dict[str, Any]:
        x = np.asarray(request.rows, dtype=np.float32)
        if x.ndim != 2 or x.shape[0] == 0 or x.shape[1] != n_inputs:
            raise HTTPException(status_code=422, detail=f"rows must be a non-empty list of rows of {n_inputs} "
                                                         f"values, got shape {list(x.shape)}")
        with torch.inference_mode():
            logits = model(torch.from_numpy(x))
        scores = watcher.last_scores
        if scores is None or len(scores) != len(x):
            raise RuntimeError("the watcher did not score this request; is it attached?")
        return {
            "predictions": logits.argmax(dim=1).tolist(),
            "scores": [_finite_or_none(score) for score in scores.tolist()],
            "above_tau": (~(scores <= watcher.tau)).tolist(),
            "firing": watcher.firing,
        }

    @app.get("/health")
    def health() -> dict[str, Any]:
        events = watcher.events
        cause = watcher.cause
        return {
            "status": _STATUS[cause],
            "detail": _DETAIL[cause],
            "cause": cause,
            "firing": watcher.firing,
            "drifting": watcher.drifting,
            "inputs_seen": watcher.inputs_seen,
            "alarms": watcher.alarms,
            "last_event": _event_json(events[-1]) if events else None,
        }

    @app.get("/metrics")
    def metrics() -> Response:
        return Response(generate_latest(registry), media_type=CONTENT_TYPE_LATEST)

    return app


# /health's status per cause: only a model fault fires; drifted inputs
# degrade the service (the model may be fine, its answers less so).
_STATUS = {None: "ok", "model_fault": "firing", "input_drift": "degraded", "both": "degraded"}
_DETAIL = {
    None: "ok",
    "model_fault": "firing: model fault",
    "input_drift": "degraded: inputs drifted",
    "both": ("degraded: inputs drifted, and the fault alarm fired with them; a fault in or before the S layer "
             "reads the same: check the weights' fingerprint"),
}


def _event_json(event: watch.AlarmEvent) -> dict[str, Any]:
    fields = dataclasses.asdict(event)
    fields["worst_score"] = _finite_or_none(fields["worst_score"])
    return fields


def load_served(kind: str, files: Path, **watcher_options: Any) -> tuple[torch.nn.Module, watch.Watcher]:
    """The demo's classifier `kind` with the weights `files/classifier-<kind>.pt`,
    and a watcher from `files/monitor-<kind>.json`: its layers, monitor and
    an alarm from its calibration (`watcher_options` go to
    `Watcher.from_file`)."""
    build, _ = MODELS[kind]
    model = build()
    model.load_state_dict(torch.load(files / f"classifier-{kind}.pt", weights_only=True))
    model.eval()
    watcher = watch.Watcher.from_file(model, files / f"monitor-{kind}.json", **watcher_options)
    return model, watcher


def main(argv: list[str] | None = None) -> int:
    import uvicorn

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", choices=sorted(MODELS), default="digits-mlp")
    parser.add_argument("--files", type=Path, default=DEMO_DIR.parent / "demo_output",
                        help="where the demo wrote classifier-<model>.pt and monitor-<model>.json")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8000)
    args = parser.parse_args(argv)
    model, watcher = load_served(args.model, args.files)
    app = create_app(model, watcher, n_inputs=MODELS[args.model][1], name=args.model)
    uvicorn.run(app, host=args.host, port=args.port)
    return 0


if __name__ == "__main__":
    sys.exit(main())
