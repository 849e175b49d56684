"""Prometheus metrics of watchers: one collector per registry that reads
every exported watcher's counters when the registry is collected, and the
score histogram a watcher fills once it is exported."""

from __future__ import annotations

import math
import threading
import weakref
from typing import Any

import numpy as np

# Bucket bounds as multiples of tau: dense around tau, where clean and
# faulted inputs part, and reaching far above it, where broken models land.
_TAU_MULTIPLES = (0.1, 0.25, 0.5, 0.75, 0.9, 1.0, 1.1, 1.25, 1.5, 2.0, 3.0, 5.0, 10.0, 100.0)
# For tau <= 0 (every input alarms; kept loud): tau itself, then fixed bounds.
_FIXED_BOUNDS = (1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0, 1000.0)


def bucket_bounds(tau: float) -> np.ndarray:
    """Strictly increasing finite histogram bounds around `tau`, `tau`
    itself among them."""
    if tau > 0:
        bounds = [tau * multiple for multiple in _TAU_MULTIPLES]
    else:
        bounds = [tau] + [bound for bound in _FIXED_BOUNDS if bound > tau]
    finite = sorted({bound for bound in bounds if math.isfinite(bound)})
    return np.array(finite, dtype=np.float64)


class ScoreHistogram:
    """Counts of scores per bucket (a score equal to a bound falls in that
    bound's bucket; NaN and inf in the last, unbounded one) and the sum of
    the finite scores. Updated under the watcher's lock."""

    def __init__(self, tau: float) -> None:
        self.bounds = bucket_bounds(tau)
        self.counts = np.zeros(len(self.bounds) + 1, dtype=np.int64)
        self.total = 0.0

    def add(self, scores: np.ndarray) -> None:
        self.counts += np.bincount(np.searchsorted(self.bounds, scores, side="left"), minlength=len(self.counts))
        total = float(scores.sum())
        if not math.isfinite(total):
            total = float(scores[np.isfinite(scores)].sum())
        self.total += total

    def snapshot(self) -> tuple[np.ndarray, np.ndarray, float]:
        return self.bounds, self.counts.copy(), self.total


class WatchCollector:
    """Yields the metric families of every watcher exported on one registry,
    one sample per watcher labelled `monitor`."""

    def __init__(self) -> None:
        self.watchers: dict[str, Any] = {}
        self.lock = threading.Lock()

    def describe(self) -> list[Any]:
        return self._families({})

    def collect(self) -> list[Any]:
        with self.lock:
            watchers = dict(self.watchers)
        values = {}
        for name, watcher in watchers.items():
            values[name] = watcher._metric_values()
            values[name]["false_alarm_rate"] = calibrated_rate(watcher)
        return self._families(values)

    @staticmethod
    def _families(values: dict[str, dict[str, Any]]) -> list[Any]:
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily
        from prometheus_client.utils import floatToGoString

        labels = ["monitor"]
        inputs = CounterMetricFamily("tarvex_watch_inputs", "Inputs scored by the watcher.", labels=labels)
        above = CounterMetricFamily("tarvex_watch_inputs_above_tau", "Inputs that scored above tau.", labels=labels)
        alarms = CounterMetricFamily("tarvex_watch_alarms", "Firings of the watcher's alarm, by cause "
                                     "(model_fault, input_drift, both).", labels=labels + ["cause"])
        drift = GaugeMetricFamily("tarvex_watch_input_drift", "1 while the input-typicality window fires.",
                                  labels=labels)
        firing = GaugeMetricFamily("tarvex_watch_firing", "1 while the watcher's alarm is firing.", labels=labels)
        tau = GaugeMetricFamily("tarvex_watch_tau", "The threshold scores are compared with.", labels=labels)
        dropped = CounterMetricFamily("tarvex_watch_inputs_dropped",
                                      "Inputs not scored because the watcher's queue was full.", labels=labels)
        invalid = CounterMetricFamily("tarvex_watch_inputs_invalid",
                                      "Inputs with a non-finite S, kept out of the alarm.", labels=labels)
        errors = CounterMetricFamily("tarvex_watch_errors",
                                     "Forward passes whose watching failed (the model's output was returned).",
                                     labels=labels)
        degraded = GaugeMetricFamily("tarvex_watch_degraded", "1 while the watcher is degraded by recent watch "
                                     "errors.", labels=labels)
        checks = CounterMetricFamily("tarvex_watch_fingerprint_checks",
                                     "Periodic verifications of the model's weight fingerprint.", labels=labels)
        mismatch = GaugeMetricFamily("tarvex_watch_fingerprint_mismatch",
                                     "1 while the latest fingerprint verification found the weights changed.",
                                     labels=labels)
        scores = HistogramMetricFamily("tarvex_watch_score", "Scores of the inputs, from the export on.",
                                       labels=labels)
        rate = GaugeMetricFamily("tarvex_watch_false_alarm_rate",
                                 "The calibrated per-input rate of clean inputs scoring above tau.", labels=labels)
        for name, value in values.items():
            inputs.add_metric([name], value["inputs"])
            above.add_metric([name], value["above_tau"])
            for cause, count in value["alarms_by_cause"].items():
                alarms.add_metric([name, cause], count)
            drift.add_metric([name], 1.0 if value["drifting"] else 0.0)
            firing.add_metric([name], 1.0 if value["firing"] else 0.0)
            tau.add_metric([name], value["tau"])
            dropped.add_metric([name], value["dropped"])
            invalid.add_metric([name], value["invalid"])
            errors.add_metric([name], value["errors"])
            degraded.add_metric([name], 1.0 if value["degraded"] else 0.0)
            if value.get("false_alarm_rate") is not None:
                rate.add_metric([name], value["false_alarm_rate"])
            checks.add_metric([name], value.get("fingerprint_checks", 0))
            mismatch.add_metric([name], 1.0 if value.get("fingerprint_mismatch") else 0.0)
            if value["histogram"] is not None:
                bounds, counts, total = value["histogram"]
                cumulative = np.cumsum(counts).tolist()
                buckets = [(floatToGoString(bound), count) for bound, count in zip(bounds.tolist(), cumulative)]
                buckets.append(("+Inf", cumulative[-1]))
                scores.add_metric([name], buckets, sum_value=total)
        return [inputs, above, alarms, firing, drift, tau, dropped, invalid, errors, degraded, checks, mismatch, scores,
                rate]


def calibrated_rate(watcher: Any) -> float | None:
    """The per-input rate of clean inputs above the watcher's `tau` that its
    calibration promises: its alarm's rate, else the rate its monitor was
    calibrated for (while the monitor's `tau` is still the calibrated one)
    or its coverage's family-wise rate; None when nothing gives one (no
    sample is exported then)."""
    alarm = getattr(watcher, "alarm", None)
    if alarm is not None:
        return float(alarm.false_alarm_rate)
    coverage = getattr(watcher, "coverage", None)
    if coverage is not None:
        return float(coverage.false_alarm_rate)
    calibration = getattr(getattr(watcher, "monitor", None), "calibration", None)
    if calibration is not None and calibration.tau == watcher.tau:
        return float(calibration.false_alarm_rate)
    return None


_collectors: weakref.WeakKeyDictionary[Any, WatchCollector] = weakref.WeakKeyDictionary()
_collectors_lock = threading.Lock()


def export(watcher: Any, registry: Any, name: str) -> None:
    """Adds `watcher` under `name` to the registry's collector, registering
    the collector on first use."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, got {type(name).__name__}")
    try:
        import prometheus_client
    except ImportError:
        raise ImportError("export_prometheus needs prometheus_client: pip install 'tarvex-core[serve]'") from None
    if registry is None:
        registry = prometheus_client.REGISTRY
    if not isinstance(registry, prometheus_client.CollectorRegistry):
        raise TypeError(f"registry must be a prometheus_client CollectorRegistry, got {type(registry).__name__}")
    with _collectors_lock:
        collector = _collectors.get(registry)
        if collector is None:
            collector = WatchCollector()
            registry.register(collector)
            _collectors[registry] = collector
    with collector.lock:
        if name in collector.watchers:
            raise ValueError(f"a watcher named {name!r} is already exported on this registry")
        with watcher._lock:
            if watcher._histogram is None:
                watcher._histogram = ScoreHistogram(watcher.tau)
        collector.watchers[name] = watcher
