"""Window alarms over simulated streams of inputs.

A stream is a sequence of monitor scores drawn at random, with replacement,
from the scores of the held-out inputs through one model. Streams through a
faulted model start after `warmup` inputs through the clean model, so the
alarm's window holds clean inputs when the fault arrives, as it would in
service."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

from tarvex.core.watch import WindowAlarm


def alarm_delays(alarm: WindowAlarm, clean_scores: np.ndarray, faulted_scores: np.ndarray, *, streams: int,
                 length: int, warmup: int, rng: np.random.Generator) -> np.ndarray:
    """For each of `streams` streams (`warmup` clean inputs, then `length`
    inputs through the faulted model), the number of faulted inputs until the
    alarm fires: 1 when it fires on the first one, `inf` when it does not
    fire within `length`. An alarm still firing from the warm-up counts as
    firing on the first faulted input."""
    delays = np.full(streams, np.inf)
    for stream in range(streams):
        warm = rng.choice(clean_scores, size=warmup)
        faulted = rng.choice(faulted_scores, size=length)
        alarm.reset()
        alarm.update(warm)
        if not alarm.update(faulted):  # one call says whether it fires at all
            continue
        alarm.reset()
        alarm.update(warm)
        for position, score in enumerate(faulted, start=1):
            if alarm.update(score):
                delays[stream] = position
                break
    return delays


def clean_fire_rate(alarm: WindowAlarm, clean_scores: np.ndarray, *, streams: int, length: int,
                    rng: np.random.Generator) -> float:
    """Share of `streams` streams of `length` clean inputs on which the alarm
    fires at least once."""
    fired = 0
    for _ in range(streams):
        alarm.reset()
        fired += alarm.update(rng.choice(clean_scores, size=length))
    return fired / streams if streams else 0.0


@dataclass
class ExampleStream:
    """One stream for the picture: `scores` (clean inputs first, the fault
    arriving at index `fault_at`) and whether the alarm was firing after each
    input."""

    scores: np.ndarray
    firing: np.ndarray
    fault_at: int

    @property
    def first_alarm_after_fault(self) -> int | None:
        """Index of the first input at or after the fault at which the alarm
        fires, or None."""
        hits = np.flatnonzero(self.firing[self.fault_at:])
        return self.fault_at + int(hits[0]) if len(hits) else None


def example_stream(alarm: WindowAlarm, clean_scores: np.ndarray, faulted_scores: np.ndarray, *, before: int,
                   after: int, rng: np.random.Generator) -> ExampleStream:
    scores = np.concatenate([rng.choice(clean_scores, size=before), rng.choice(faulted_scores, size=after)])
    alarm.reset()
    firing = np.array([alarm.update(score) for score in scores], dtype=bool)
    return ExampleStream(scores, firing, before)
