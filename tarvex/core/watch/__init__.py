"""Working integrity checks around a `NeuralConditionalMonitor`.

The monitor itself scores (S, Z) pairs. This module does the rest of the job
of watching a deployed model: it captures S and Z from the model with forward
hooks (`capture`), sets the threshold from held-out clean data (`calibrate`)
and keeps what it decided (`Calibration`), chooses the monitor's settings by
how well they detect synthetic faults (`tune`), says which Z column an alarm
comes from (`explain`), raises a fault alarm over a window of inputs
(`WindowAlarm`), scores data larger than memory (`score_chunks`) or spread
over a Dask cluster (`score_dask`), stores the monitor with its calibration as
a JSON file (`save`, `load`; `file_digest` detects a changed file), watches
every layer of a model with a chain of monitors under one false-alarm rate (`cover`, `Coverage`;
`inside_layers` names the layers inside transformer encoder layers), and watches a
served model's every forward pass (`Watcher`, with `AlarmEvent`s and
Prometheus metrics), and checks the model's weights at rest against an exact
checksum of every tensor (`fingerprint`, `Fingerprint`). Beside the fault
score, the typicality of S (`fit_typicality`, `Typicality`) tells a broken
model from changed inputs: every alarm event names its cause (`CAUSES`), and
`widened_pairs` gives fitting pairs beyond the clean data so monitors hold up
under drift.

Bad input raises a clear exception before anything is changed; a monitor that
is not trained raises the monitor's own `RuntimeError("Detector not fit/loaded")`.
"""

from .alarms import WindowAlarm
from .calibration import Calibration, calibrate
from .capturing import capture
from .chunked import score_chunks
from .coverage import Coverage, CoverageReport, cover, inside_layers
from .dask_scoring import score_dask
from .explaining import explain
from .files import file_digest, load, save
from .fingerprints import Fingerprint, FingerprintCheck, FingerprintEvent, fingerprint
from .tuning import TUNE_CANDIDATES, TuningReport, tune
from .typicality import CAUSES, WINDOW_TESTS, Typicality, fit_typicality
from .watching import AlarmEvent, Watcher
from .widening import widened_pairs

__all__ = ["capture", "calibrate", "Calibration", "tune", "TuningReport", "TUNE_CANDIDATES", "explain",
           "WindowAlarm", "score_chunks", "save", "load", "file_digest", "score_dask", "cover", "inside_layers",
           "Coverage", "CoverageReport", "Watcher", "AlarmEvent", "fingerprint", "Fingerprint", "FingerprintCheck",
           "FingerprintEvent", "Typicality", "fit_typicality", "CAUSES", "WINDOW_TESTS", "widened_pairs"]
