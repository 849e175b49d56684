"""Working integrity checks around a NeuralConditionalMonitor: capture S and Z
from a model, calibrate, tune, explain, window alarms, large-data scoring,
files, full-depth coverage, and a watcher for served models."""

from .alarms import WindowAlarm as WindowAlarm
from .calibration import Calibration as Calibration, calibrate as calibrate
from .capturing import capture as capture
from .chunked import score_chunks as score_chunks
from .coverage import Coverage as Coverage, CoverageReport as CoverageReport, cover as cover
from .dask_scoring import score_dask as score_dask
from .explaining import explain as explain
from .files import load as load, save as save
from .tuning import TUNE_CANDIDATES as TUNE_CANDIDATES, TuningReport as TuningReport, tune as tune
from .watching import AlarmEvent as AlarmEvent, Watcher as Watcher

__all__ = [
    "capture",
    "calibrate",
    "Calibration",
    "tune",
    "TuningReport",
    "TUNE_CANDIDATES",
    "explain",
    "WindowAlarm",
    "score_chunks",
    "save",
    "load",
    "score_dask",
    "cover",
    "Coverage",
    "CoverageReport",
    "Watcher",
    "AlarmEvent",
]
