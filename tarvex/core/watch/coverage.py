"""Full-depth coverage: a chain of conditional monitors over consecutive
layers of a model, one family-wise false-alarm rate for the whole chain, and
blame for the link whose relation broke.

A single monitor watches the computation between its S and its Z; a fault in
the layer that computes S, or before it, changes S and Z consistently and
stays out of its sight. `cover` watches every step instead: given layers
L0, L1, ..., Lk in forward order it fits one monitor per link (L(i), L(i+1)),
so a fault in any layer between L0 and Lk breaks the relation of the link
that ends at it.

Family-wise rate. Each link's score of an input is turned into a conformal
p-value against the link's scores of the clean calibration inputs,
p = (1 + #{calibration scores >= score}) / (n + 1). An input alarms when its
smallest p-value over the links falls below `p_threshold`, which is set on
the same calibration inputs from their leave-one-out p-values so that a new
clean input alarms on any link with probability at most `false_alarm_rate`.
Why this holds: the monitors and reductions are fitted on other inputs, so
the calibration inputs and a new clean input are exchangeable; each one's
smallest count of others scoring at least as high is a symmetric function of
the whole set, and the threshold is the K-th smallest of the calibration
inputs' leave-one-out counts, K = floor(rate * (n + 1)), which leaves room
for the one count the new input adds to each of theirs. At most K of the
n + 1 inputs (K - 1 calibration inputs and the new one) can then fall below
it, so the new one does with probability at most K / (n + 1) <= rate.

Wide layers are reduced before fitting (`_Reduction`), deterministically and
stored with the coverage, and the feature engineer's pair products are
switched off for S wider than `PAIR_PRODUCTS_MAX_WIDTH`. Sequences keep
their tokens: a link between two of them is monitored token by token, and
an input's score on it is the mean of its tokens' scores, a function of the
input alone, so the family-wise argument above holds for it unchanged.

Constant columns. A column of a layer that never varies in the clean fitting
data (a border pixel that is always blank, a unit that never fires) tells a
monitor nothing about Z, yet its standardised value explodes at the first
change. Where the layer is a link's S, its monitor sees such columns pinned
to their clean value, so it cannot be thrown off by them (what they change
downstream still shows in Z); a change to them is a change of the inputs,
which the link's typicality (it keeps every column) reports as input drift,
so an alarm it causes is labelled "both", never "model_fault". A widened fit
(`widened_fit=True`) moves those columns too and runs the model on them, so
its monitors learn their effect and need no pinning.

Links checked exactly. Where the guards keep a checksum link, its exact
identity catches every fault of the layer for any input; no monitor is
learned for it, and its score column is 0 for every input (p-value 1), so
only its checksum's p-value speaks for it.

Input typicality. Each link's S also gets a `Typicality` (fitted on the
training rows, calibrated on the same held-out inputs at the same rate), so
that a watcher can tell a broken link from inputs that moved its S. A
sequence's typicality is that of its per-input view (first token, last
token and mean over the tokens).
"""

from __future__ import annotations

import contextlib
import difflib
import math
import numbers
import warnings
from typing import Any, Callable, Generator, Iterable

import numpy as np
import numpy.typing as npt
import torch
import torch.nn.functional as F

from tarvex.core import resmon

from ._arguments import _eval_mode, _open_unit_interval, _positive_int, _unknown_monitor_entries
from ._layers import Layer, _resolve_one, _split_selectors, batch_hint, did_not_run_hint, needs_slow_path, select, slow_path
from .calibration import _family_rank, _rows_needed
from .capturing import _as_input, _batches, _model_device, _require_batch_dimension
from ._progress import _with_progress
from ._random_state import keeps_global_random_state
from ._version import _package_version
from .fingerprints import Fingerprint, fingerprint
from .guards import GuardBuilder, Guards
from .tuning import PAIR_PRODUCTS_MAX_WIDTH, TUNE_CANDIDATES, tune
from .typicality import BOTH, INPUT_DRIFT, MODEL_FAULT, Typicality, constant_columns, fit_typicality
from .widening import DEFAULT_STRENGTH, _check_widenable, _stacked_inputs, widened_outputs

INPUT = "input"
OUTPUT = "output"
# Layers wider than this are reduced before a monitor sees them.
DEFAULT_MAX_WIDTH = 64
# A token link's monitor is tuned on at most this many token rows, drawn at
# random from all the fitting inputs' tokens.
TOKEN_ROWS_MAX = 16_384
# How far beyond its typicality threshold (a squared distance, so a thousand
# times the distance) the first link's S must lie for an input to be blamed
# for layer outputs beyond float32's range.
EXTREME_TYPICALITY = 1e6

# The "format" tag and newest "format_version" of the files `save` writes for
# a coverage.
COVERAGE_FORMAT = "tarvex-coverage"
COVERAGE_FORMAT_VERSION = 3
# Version 2 added the token rows of sequences and each link's typicality
# with the constant columns of the reductions; a coverage with none of them
# is written as version 1, which earlier readers take. Version 1 files are
# read as coverages without them. Version 3 lets a link whose checksum is
# kept go without a monitor (a null monitor, calibration scores all 0); a
# coverage without such links is written as version 2 or 1 as before.
_READABLE_VERSIONS = (1, 2, 3)


# --- layer names and capture ---------------------------------------------------------


def _resolve_layers(model: torch.nn.Module, layers: Any) -> list[str]:
    """Checks the names: a list of at least two distinct strings, "input"
    only first, "output" only last, every other one a submodule of `model`.
    A submodule's name or "output" may end in selectors that pick a tensor
    out of a tuple, list or dict output ("lstm[0]", "output[logits]"), as
    for `capture`; "output[...]" is last only too."""
    if isinstance(layers, (str, bytes)) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a list of layer names, got {type(layers).__name__}")
    names = list(layers)
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"layer names must be str, got {type(name).__name__}")
    if len(names) < 2:
        raise ValueError(f"layers must name at least two layers (one link), got {names}")
    repeated = sorted({name for name in names if names.count(name) > 1})
    if repeated:
        raise ValueError(f"layers names {repeated} more than once")
    modules = dict(model.named_modules())
    available = [name for name in modules if name]
    for position, name in enumerate(names):
        base = _base_name(name, modules)
        if base == INPUT and position != 0:
            raise ValueError(f"{INPUT!r} is the model's input and can only be the first layer, got {names}")
        if base == OUTPUT and position != len(names) - 1:
            raise ValueError(f"{OUTPUT!r} is the model's output and can only be the last layer, got {names}")
        if name == INPUT or base == OUTPUT:
            continue
        if base == INPUT and INPUT not in modules:
            raise ValueError(f"{INPUT!r} is the model's input tensor and takes no selectors, got {name!r}")
        if not base or base not in modules:
            choices = [INPUT] + available + [OUTPUT]
            close = difflib.get_close_matches(base, choices, n=5, cutoff=0.5)
            hint = f"close matches: {close}; " if close else ""
            raise ValueError(f"model has no layer named {base!r}; {hint}available: {choices[:40]}"
                             + (" ..." if len(choices) > 40 else ""))
    return names


def _encoder_layer_inside(prefix: str, layer: torch.nn.TransformerEncoderLayer) -> list[str]:
    """The watched layers inside one encoder layer, in the order they run."""
    if layer.norm_first:  # x + attention(norm1(x)), then + linear2(linear1(norm2(x)))
        parts = ("norm1", "self_attn[0]", "norm2", "linear1", "linear2")
    else:  # norm1(x + attention(x)), then norm2(x + linear2(linear1(x)))
        parts = ("self_attn[0]", "norm1", "linear1", "linear2", "norm2")
    return [f"{prefix}.{part}" for part in parts]


def inside_layers(model: torch.nn.Module, layers: Iterable[str]) -> list[str]:
    """The layer list `layers` with every `nn.TransformerEncoderLayer` it
    names replaced by the layers inside it, for `cover` and `Watcher`.

    An encoder layer becomes its attention's output (`self_attn[0]`), its two
    norms and its two feed-forward linears, in the order they run; an
    `nn.TransformerEncoder` becomes that list for each of its layers, then
    its own final norm if it has one. Watched whole, an encoder layer is one
    link whose monitor must learn attention, feed-forward and both norms at
    once, and misses faults that move the layer's output by a few percent;
    from the inside, `cover` checks every link of a post-norm layer exactly
    (recomputed attention and norms, checksums of the linears) and learns
    no monitor for them. Other names, selectors included, are kept as they
    are; `cover` checks them.

    >>> inside_layers(model, ["input", "embed", "encoder", "norm", "output[0]"])  # doctest: +SKIP
    ['input', 'embed', 'encoder.layers.0.self_attn[0]', 'encoder.layers.0.norm1', ...]
    """
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    if isinstance(layers, (str, bytes)) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a list of layer names, got {type(layers).__name__}")
    modules = dict(model.named_modules())
    expanded: list[str] = []
    for name in layers:
        if not isinstance(name, str):
            raise TypeError(f"layer names must be str, got {type(name).__name__}")
        module = modules.get(name) if name else None
        if isinstance(module, torch.nn.TransformerEncoderLayer):
            expanded += _encoder_layer_inside(name, module)
        elif isinstance(module, torch.nn.TransformerEncoder):
            for index, layer in enumerate(module.layers):
                expanded += _encoder_layer_inside(f"{name}.layers.{index}", layer)
            if module.norm is not None:
                expanded.append(f"{name}.norm")
        else:
            expanded.append(name)
    return expanded


def _base_name(name: str, modules: dict[str, torch.nn.Module]) -> str:
    """The submodule name, "input" or "output" that `name` reads, without
    its selectors (a submodule's own name, brackets included, is kept)."""
    if name in modules or name in (INPUT, OUTPUT):
        return name
    split = _split_selectors(name)
    return split[0] if split is not None else name


def _layer(modules: dict[str, torch.nn.Module], name: str) -> Layer:
    """The resolved layer of a checked name; "input" is always the model's
    input, whatever the submodules are called."""
    if name == INPUT:
        return Layer(INPUT, None, None, is_input=True)
    return _resolve_one(modules, [], name)


def _copy_of(output: Any, name: str) -> torch.Tensor:
    if not isinstance(output, torch.Tensor):
        raise TypeError(f"layer {name!r} returned {type(output).__name__}, not a tensor")
    # A copy: a later in-place operation (ReLU(inplace=True)) must not change it.
    return output.detach().clone()


def _forward_layers(model: torch.nn.Module, inputs: Any, layers: list[str],
                    batch_size: int) -> Generator[dict[str, torch.Tensor], None, None]:
    """Runs `model` over `inputs` batch by batch and yields, per batch, each
    named layer's output (with "input" the batch itself and "output" the
    model's output). Refuses a layer that runs other than once per pass or
    out of the given order. Evaluation mode and no gradients inside; modes
    restored and hooks removed on every way out."""
    modules = dict(model.named_modules())
    resolved = {name: _layer(modules, name) for name in layers}
    hooked = [name for name in layers if resolved[name].module is not None]
    calls: dict[str, list[torch.Tensor]] = {name: [] for name in hooked}
    finished: list[str] = []
    device, float_dtype = _model_device(model)

    def hook(layer: Layer) -> Callable[..., None]:
        name = layer.name

        def record(_module: Any, _args: Any, output: Any) -> None:
            calls[name].append(_copy_of(select(output, layer), name))
            finished.append(name)
        return record

    handles = []
    try:
        guard = _require_batch_dimension(model)
        if guard is not None:
            handles.append(guard)
        for name in hooked:
            module = resolved[name].module
            assert module is not None
            handles.append(module.register_forward_hook(hook(resolved[name])))
        # Hooks inside a transformer layer fire only with its fused fast path off.
        with _eval_mode(model), slow_path(needs_slow_path(model, [resolved[n].module_name for n in hooked])):
            for batch in _batches(inputs, batch_size):
                x = _as_input(batch, device, float_dtype)
                if x.is_floating_point() and x.dtype != float_dtype:
                    # As NumPy input is: a float64 tensor meets float32 weights.
                    x = x.to(float_dtype)
                rows = x.shape[0]
                if rows == 0:
                    continue
                for recorded in calls.values():
                    recorded.clear()
                finished.clear()
                output = model(x)
                outputs: dict[str, torch.Tensor] = {}
                for name in hooked:
                    if len(calls[name]) != 1:
                        raise ValueError(f"layer {name!r} ran {len(calls[name])} times in one forward pass; "
                                         "it must run exactly once"
                                         + (did_not_run_hint(model, resolved[name].module_name)
                                            if not calls[name] else ""))
                    outputs[name] = calls[name][0]
                last = layers[-1]
                model_output = resolved[last].module is None and not resolved[last].is_input
                if finished != hooked:
                    order = ([INPUT] if layers[0] == INPUT else []) + finished + ([last] if model_output else [])
                    raise ValueError(f"layers must be given in the order the forward pass computes them: "
                                     f"{order}, got {layers}")
                if layers[0] == INPUT:
                    outputs[INPUT] = x.detach().clone()
                if model_output:
                    outputs[last] = _copy_of(select(output, resolved[last]), last)
                for name, tensor in outputs.items():
                    if tensor.ndim == 0 or tensor.shape[0] != rows:
                        raise ValueError(f"layer {name!r} returned shape {tuple(tensor.shape)} for a batch of "
                                         f"{rows} inputs; its first dimension must be the batch"
                                         + batch_hint(tensor.shape, rows))
                yield outputs
    finally:
        for handle in handles:
            handle.remove()


# --- reductions ----------------------------------------------------------------------


class _Reduction:
    """How one layer's output becomes the columns a monitor sees.

    A convolution map (batch, channels, height, width) wider than `max_width`
    is average-pooled per channel to the largest square grid that fits; what
    is still wider is standardised per column (training statistics) and
    multiplied by a seeded Gaussian projection to `max_width` columns. All of
    it is fixed at fit time and stored.

    A sequence (batch, tokens, features) wider than `max_width`, with at
    least two tokens, keeps its tokens (`sequence`): only its features are
    standardised and projected, per token, when there are more than
    `max_width` of them. A link between two sequences of the same length is
    then monitored token by token (`_link_rows`); a link to or from another
    kind of layer sees the sequence's summary, its first token, last token
    and mean over the tokens. The sequence of a recurrent module
    (`recurrent`) is predicted token by token from the previous token's
    output too, the state the recurrence carries."""

    def __init__(self, shape: tuple[int, ...], grid: int | None, mean: np.ndarray | None,
                 scale: np.ndarray | None, projection: np.ndarray | None, sequence: bool = False,
                 recurrent: bool = False) -> None:
        self.shape = shape  # one input's output shape, as the layer gives it
        self.grid = grid  # pooled grid side, or None
        self.mean, self.scale, self.projection = mean, scale, projection
        self.sequence = sequence
        self.recurrent = recurrent and sequence
        # Pooled columns that never varied in the fitting rows, and their
        # value there: pinned where the layer is a link's S.
        self.constant: np.ndarray = np.zeros(0, dtype=np.int64)
        self.constant_values: np.ndarray = np.zeros(0, dtype=np.float32)

    def fit_constant(self, rows: np.ndarray) -> None:
        """Finds the pooled columns of the fitting `rows` that never vary."""
        mask = constant_columns(rows) if len(rows) > 1 else np.zeros(rows.shape[1], dtype=bool)
        self.constant = np.flatnonzero(mask).astype(np.int64)
        self.constant_values = rows[0, self.constant].astype(np.float32) if len(rows) else \
            np.zeros(0, dtype=np.float32)

    def pin(self, rows: np.ndarray) -> np.ndarray:
        """Pooled rows with the constant columns set to their clean value
        (a copy; the rows themselves when there are none)."""
        if not len(self.constant):
            return rows
        pinned = np.array(rows, dtype=np.float32, copy=True)
        pinned[:, self.constant] = self.constant_values
        return pinned

    @property
    def pooled_width(self) -> int:
        """Columns of the pooled rows (`pool`), all tokens of a sequence
        together."""
        return int(np.prod(self.shape, dtype=np.int64)) if self.grid is None else \
            int(self.shape[0]) * self.grid * self.grid

    @staticmethod
    def for_shape(shape: tuple[int, ...], max_width: int) -> _Reduction:
        """The reduction, projection not yet fitted, of a layer whose output
        for one input has `shape`."""
        wide = int(np.prod(shape, dtype=np.int64)) > max_width
        sequence = len(shape) == 2 and shape[0] >= 2 and wide
        return _Reduction(shape, _Reduction.grid_for(shape, max_width), None, None, None, sequence)

    @property
    def tokens(self) -> int:
        """Tokens of a sequence; 1 for other layers."""
        return int(self.shape[0]) if self.sequence else 1

    @property
    def features(self) -> int:
        """Columns per token before any projection (per input for other
        layers)."""
        if self.sequence:
            return int(self.shape[1])
        if self.grid is not None:
            return int(self.shape[0]) * self.grid * self.grid
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def width(self) -> int:
        """Columns the monitors see (per token for a sequence)."""
        return int(self.projection.shape[1]) if self.projection is not None else self.features

    @property
    def summary_width(self) -> int:
        """Columns of the per-input view (`summary`)."""
        return 3 * self.width if self.sequence else self.width

    @property
    def kind(self) -> str:
        parts = (["channel pooling"] if self.grid is not None else []) + \
            (["token rows"] if self.sequence else []) + \
            (["random projection"] if self.projection is not None else [])
        return " + ".join(parts) or "none"

    @staticmethod
    def grid_for(shape: tuple[int, ...], max_width: int) -> int | None:
        """Grid side for a convolution map of `shape` (channels, height,
        width) wider than `max_width`: the largest g <= min(height, width)
        with channels * g * g <= max_width, at least 1; None for other
        shapes and narrow maps."""
        if len(shape) != 3 or int(np.prod(shape)) <= max_width:
            return None
        channels, height, width = shape
        grid = 1
        while grid < min(height, width) and channels * (grid + 1) ** 2 <= max_width:
            grid += 1
        return grid

    def pool(self, tensor: torch.Tensor) -> np.ndarray:
        """Pooled (if so set) and flattened rows, float32, before any
        projection."""
        rows = tensor.shape[0]
        if tuple(tensor.shape[1:]) != self.shape:
            if tensor.ndim > 2 or tensor.numel() != rows * int(np.prod(self.shape)):
                raise ValueError(f"layer output has shape {tuple(tensor.shape[1:])} per input, the coverage was "
                                 f"fitted on {self.shape}")
            tensor = tensor.reshape(rows, *self.shape)  # flattened rows, or one value per input
        tensor = tensor.to(dtype=torch.float32)
        if self.grid is not None:
            tensor = F.adaptive_avg_pool2d(tensor, self.grid)
        return tensor.reshape(rows, -1).cpu().numpy()

    def fit_projection(self, rows: np.ndarray, max_width: int, seed: int) -> None:
        """Sets the projection for pooled training `rows` wider than
        `max_width` (nothing otherwise); a sequence's tokens are the rows of
        its projection."""
        if self.sequence:
            rows = rows.reshape(-1, self.features)
        if rows.shape[1] <= max_width:
            return
        self.mean = rows.mean(axis=0, dtype=np.float64).astype(np.float32)
        # A column that never varies is standardised by a small share of the
        # typical spread rather than by nothing: a change to it reads as large
        # but cannot swamp every projected column.
        spread = rows.std(axis=0, dtype=np.float64)
        typical = math.sqrt(float(np.mean(spread ** 2)))
        self.scale = np.maximum(spread, max(1e-3 * typical, 1e-6)).astype(np.float32)
        generator = np.random.default_rng(seed)
        self.projection = (generator.standard_normal((rows.shape[1], max_width)) / math.sqrt(max_width)
                           ).astype(np.float32)

    def project(self, rows: np.ndarray) -> np.ndarray:
        """Pooled rows to the columns the monitors see: (inputs, width), or
        (inputs, tokens * width) for a sequence, token after token."""
        if self.projection is None:
            return np.ascontiguousarray(rows, dtype=np.float32)
        flat = rows.reshape(-1, self.features) if self.sequence else rows
        with np.errstate(over="ignore", invalid="ignore"):
            projected = ((flat - self.mean) / self.scale) @ self.projection
        return np.ascontiguousarray(projected.reshape(len(rows), -1), dtype=np.float32)

    def token_rows(self, rows: np.ndarray) -> np.ndarray:
        """Projected rows of a sequence as (inputs, tokens, width)."""
        return rows.reshape(len(rows), self.tokens, self.width)

    def summary(self, rows: np.ndarray) -> np.ndarray:
        """The per-input view of projected rows: a sequence's first token,
        last token and mean over the tokens side by side; other layers'
        rows as they are."""
        if not self.sequence:
            return rows
        tokens = self.token_rows(rows)
        return np.ascontiguousarray(np.concatenate([tokens[:, 0], tokens[:, -1], tokens.mean(axis=1)], axis=1),
                                    dtype=np.float32)

    def to_dict(self, constant: bool = True) -> dict[str, Any]:
        """The reduction as a JSON-ready dictionary; `constant` adds the
        constant columns (format version 2)."""
        d: dict[str, Any] = {"shape": list(self.shape), "grid": self.grid,
                             "mean": None if self.mean is None else self.mean.tolist(),
                             "scale": None if self.scale is None else self.scale.tolist(),
                             "projection": None if self.projection is None else self.projection.tolist()}
        if self.sequence:  # absent otherwise: the document of a coverage without sequences is unchanged
            d["sequence"] = True
        if self.recurrent:
            d["recurrent"] = True
        if constant:
            d["constant"] = self.constant.tolist()
            d["constant_values"] = self.constant_values.tolist()
        return d

    @classmethod
    def from_dict(cls, d: Any, name: str) -> _Reduction:
        where = f"reduction of {name!r}"
        keys = {"shape", "grid", "mean", "scale", "projection"}
        optional = {"sequence", "recurrent", "constant", "constant_values"}
        if not isinstance(d, dict) or not keys <= set(d) or not set(d) <= keys | optional \
                or ("constant" in d) != ("constant_values" in d):
            raise ValueError(f"{where}: expected the keys shape, grid, mean, scale, projection (and sequence, "
                             "recurrent, constant with constant_values)")
        shape = d["shape"]
        if not isinstance(shape, list) or not shape or not all(_is_int(v) and v >= 1 for v in shape):
            raise ValueError(f"{where}: shape must be a list of positive ints, got {shape!r}")
        shape_t = tuple(int(v) for v in shape)
        sequence = d.get("sequence", False)
        if not isinstance(sequence, bool) or (sequence and (len(shape_t) != 2 or shape_t[0] < 2)):
            raise ValueError(f"{where}: sequence must be a bool, true only for a shape (tokens >= 2, features)")
        grid = d["grid"]
        if grid is not None and (sequence or not _is_int(grid) or len(shape_t) != 3
                                 or not 1 <= grid <= min(shape_t[1:])):
            raise ValueError(f"{where}: grid {grid!r} does not fit the shape {shape_t}")
        recurrent = d.get("recurrent", False)
        if not isinstance(recurrent, bool) or (recurrent and not sequence):
            raise ValueError(f"{where}: recurrent must be a bool, true only for a sequence")
        reduction = cls(shape_t, grid, None, None, None, sequence, recurrent)
        if "constant" in d:
            reduction._read_constant(d["constant"], d["constant_values"], where)
        pooled = reduction.features
        parts = [d["mean"], d["scale"], d["projection"]]
        if any(part is None for part in parts):
            if any(part is not None for part in parts):
                raise ValueError(f"{where}: mean, scale and projection are set together or not at all")
            return reduction
        mean, scale = _float_array(parts[0], (pooled,), where), _float_array(parts[1], (pooled,), where)
        projection = np.asarray(_float_array(parts[2], None, where))
        if projection.ndim != 2 or projection.shape[0] != pooled or projection.shape[1] < 1:
            raise ValueError(f"{where}: projection must be ({pooled}, width), got {projection.shape}")
        if not (scale > 0).all():
            raise ValueError(f"{where}: scale must be positive")
        reduction.mean, reduction.scale, reduction.projection = mean, scale, projection
        return reduction

    def _read_constant(self, columns: Any, values: Any, where: str) -> None:
        pooled = self.pooled_width
        if not isinstance(columns, list) or not all(_is_int(c) and 0 <= c < pooled for c in columns) \
                or len(set(columns)) != len(columns):
            raise ValueError(f"{where}: constant must list distinct column indices below {pooled}")
        self.constant = np.asarray(columns, dtype=np.int64)
        self.constant_values = _float_array(values, (len(columns),), where)


def _is_token_link(s: _Reduction, z: _Reduction) -> bool:
    """Whether the link between layers of these reductions is monitored
    token by token: both are sequences of the same length."""
    return s.sequence and z.sequence and s.tokens == z.tokens


def _link_rows(s: _Reduction, z: _Reduction, S: np.ndarray, Z: np.ndarray) -> tuple[np.ndarray, np.ndarray, int]:
    """The (S, Z) rows a link's monitor sees for projected rows `S` and `Z`
    of its two layers, and the number of monitor rows per input.

    A token link has one row per token: S is the token's features before
    the link beside the mean of all the tokens before it (the context the
    token's attention reads) and, for a recurrent Z layer, the previous
    token's features after the link (zeros for the first: the state the
    recurrence carries); Z is the same token's features after it. Other
    links have one row per input, sequences summarised."""
    if not _is_token_link(s, z):
        return s.summary(S), z.summary(Z), 1
    before, after = s.token_rows(S), z.token_rows(Z)
    n, tokens, _ = before.shape
    parts = [before, np.broadcast_to(before.mean(axis=1, keepdims=True), before.shape)]
    if z.recurrent:
        previous = np.zeros_like(after)
        previous[:, 1:] = after[:, :-1]
        parts.append(previous)
    S_rows = np.concatenate(parts, axis=2).reshape(n * tokens, -1)
    return np.ascontiguousarray(S_rows, dtype=np.float32), np.ascontiguousarray(
        after.reshape(n * tokens, -1), dtype=np.float32), tokens


def _link_widths(s: _Reduction, z: _Reduction) -> tuple[int, int]:
    """Columns of a link's S and Z rows (see `_link_rows`)."""
    if _is_token_link(s, z):
        return 2 * s.width + (z.width if z.recurrent else 0), z.width
    return s.summary_width, z.summary_width


def _is_int(value: Any) -> bool:
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _float_array(value: Any, shape: tuple[int, ...] | None, where: str) -> np.ndarray:
    try:
        array = np.asarray(value, dtype=np.float32)
    except (TypeError, ValueError):
        raise ValueError(f"{where}: expected numbers, got {type(value).__name__}") from None
    if shape is not None and array.shape != shape:
        raise ValueError(f"{where}: expected shape {shape}, got {array.shape}")
    if not np.isfinite(array).all():
        raise ValueError(f"{where}: holds non-finite values")
    return array


# --- the family-wise threshold -------------------------------------------------------


def _counts_at_least(sorted_scores: np.ndarray, scores: np.ndarray) -> np.ndarray:
    """For each score, how many calibration scores are at least as high; a
    NaN or inf score has none."""
    counts = len(sorted_scores) - np.searchsorted(sorted_scores, scores, side="left")
    return np.where(np.isnan(scores), 0, counts)


def _family_count_threshold(calibration: np.ndarray, rate: float, confidence: float | None = None) -> int:
    """The count t such that a new input alarms when, on some link, fewer
    than t calibration inputs score at least as high (see the module
    docstring): the K-th smallest leave-one-out count, K = floor(rate (n+1)),
    or with `confidence` the smaller K that holds the rate with it."""
    n = calibration.shape[0]
    ordered = np.sort(calibration, axis=0)
    leave_one_out = np.stack([_counts_at_least(ordered[:, link], calibration[:, link]) - 1
                              for link in range(calibration.shape[1])], axis=1).min(axis=1)
    k = _family_rank(n, rate, confidence)
    if k < 1:  # the callers check the rows first; never take np.partition's -1 (the largest count)
        raise ValueError(f"{n} held-out inputs cannot reach confidence {confidence!r} at rate {rate!r}")
    threshold = int(np.partition(leave_one_out, k - 1)[k - 1])
    if threshold == 0:
        # At least K inputs each score highest of all on some link (or
        # guard): no new input could then be counted below the threshold,
        # and a coverage that can never alarm must not pass for a watch.
        raise ValueError(f"the family-wise threshold on {n} held-out inputs is 0, so no input could ever alarm: "
                         f"at least {k} of them score highest on one of the {calibration.shape[1]} link and guard "
                         "scores; hold out more inputs" + (", or ask for a lower confidence" if confidence else ""))
    return threshold


def _family_rows_needed(rate: float, confidence: float | None) -> tuple[int, str]:
    """Fewest calibration inputs for a family-wise threshold, with the rule
    that sets it for messages: 10 / rate, and with `confidence` also enough
    for K >= 1 (the threshold itself can still come out 0 with many links;
    `_family_count_threshold` refuses that)."""
    needed = _rows_needed(rate, None)
    if confidence is not None and _rows_needed(rate, confidence) > needed:
        return _rows_needed(rate, confidence), f"for confidence {confidence!r}"
    return needed, "(10 / rate)"


def _check_family_threshold(scores: np.ndarray, threshold: int, rate: float,
                            confidence: float | None = None) -> None:
    """Refuses a stored count threshold, rate and number of calibration
    inputs that `cover` could not have produced together (a file edited by
    hand, whose alarm would silently be far off the rate it states).

    The file keeps each link's calibration scores sorted on their own, so
    which scores belonged to one input is gone and the threshold cannot be
    recomputed; it can be bounded. With c[i, j] input i's leave-one-out
    count on link j and m[i] = min over j, the threshold t is the K-th
    smallest m, K = floor(rate (n + 1)). Since m[i] <= c[i, j], t is at most
    the K-th smallest count of every link; since {m <= t} is the union over
    links of {c[:, j] <= t}, t is at least the K-th smallest of all links'
    counts together. `scores` is (links, n), each row sorted."""
    links, n = scores.shape
    needed, rule = _family_rows_needed(rate, confidence)
    if n < needed:
        raise ValueError(f"inconsistent calibration: {n} calibration inputs cannot resolve a false-alarm rate of "
                         f"{rate!r}; cover needs at least {needed} {rule}")
    k = _family_rank(n, rate, confidence)
    counts = [_counts_at_least(scores[j], scores[j]) - 1 for j in range(links)]
    highest = min(int(np.partition(c, k - 1)[k - 1]) for c in counts)
    lowest = int(np.partition(np.concatenate(counts), k - 1)[k - 1])
    if not lowest <= threshold <= highest:
        raise ValueError(f"inconsistent calibration: count_threshold {threshold} cannot come from these "
                         f"{n} calibration inputs at a false-alarm rate of {rate!r} (it lies between "
                         f"{lowest} and {highest})")


def _split_candidates(candidates: Any, s_width: int) -> list[dict[str, Any]]:
    chosen = TUNE_CANDIDATES if candidates is None else candidates
    if isinstance(chosen, (str, bytes, dict)) or not isinstance(chosen, Iterable):
        raise TypeError(f"candidates must be a list of dicts, got {type(chosen).__name__}")
    listed = list(chosen)
    if s_width <= PAIR_PRODUCTS_MAX_WIDTH:
        return listed
    return [dict(c, include_interactions=False) if isinstance(c, dict) else c for c in listed]


# --- the coverage --------------------------------------------------------------------


def _excess(calibration: np.ndarray, scores: np.ndarray) -> np.ndarray:
    """How far each score lies beyond its link's largest calibration score,
    in units of that link's spread of calibration scores (largest minus
    median; 1 where that is 0): comparable across links whose scores have
    different scales. NaN and inf scores are infinitely far."""
    largest = calibration[-1]
    spread = largest - np.median(calibration, axis=0)
    spread = np.where(spread > 0, spread, 1.0)
    with np.errstate(over="ignore", invalid="ignore"):
        excess = (scores - largest) / spread
    return np.where(np.isnan(excess), np.inf, excess)


class CoverageReport:
    """What `Coverage.check` found for a batch of inputs.

    `alarms[i]` says whether input i alarmed on any link; `scores[i, j]` is
    link j's monitor score and `p_values[i, j]` its conformal p-value against
    the clean calibration inputs (NaN and inf scores get the smallest p-value,
    1 / (n + 1)); `blamed[i]` is the link with the smallest p-value as its
    pair of layer names where input i alarmed, else None; `blamed_index[i]`
    the same link's index, -1 without an alarm. `links` lists the links and
    `p_threshold` is the threshold under which the smallest p-value alarms.

    Large faults often give several links the smallest possible p-value,
    1 / (n + 1). Such ties are broken by evidence. First, a tied link after
    a link that alarmed too (p-value below the threshold) may read an input
    already broken, since a fault's effect flows forward through every later
    layer: it loses to the tied links with no alarm before them. Then
    `excess[i, j]`, how far link j's score of input i lies beyond the
    link's largest calibration score in units of the link's own spread of
    calibration scores (largest minus median; NaN and inf scores are
    infinitely far), decides; the earliest of equal ones wins. `ties[i]`
    counts the links that shared input i's smallest p-value where it
    alarmed (1: no tie; 0 without an alarm).

    With a coverage that has typicalities, `typicality[i, j]` is how
    unusual input i's S of link j is (a squared Mahalanobis distance against
    the clean S), `atypical[i, j]` whether it scored above that link's
    calibrated threshold, and `causes[i]` the cause rule applied to input i
    alone: "model_fault" where it alarmed and the S of the blamed link and
    of every earlier link were typical, "both" where it alarmed and one of
    them was atypical, "input_drift" where it did not alarm but some S was
    atypical, else None. Single inputs are noisy (each link's S is atypical
    for about `false_alarm_rate` of clean inputs); a watcher's windows
    decide over many. Without typicalities these are None and every alarm's
    cause is "model_fault".

    `out_of_range[i]` says that input i broke an exact check (see
    `watch.guards`) only because a layer's output lies beyond float32's
    range for it, and (with typicalities) that the S of the first link lies
    far outside the clean inputs (a typicality score above
    `EXTREME_TYPICALITY` times the link's threshold): values that large are
    the input's doing, so the input never alarms (its p-values are kept as
    they are); a watcher counts it as an invalid input. Values beyond
    float32's range from an ordinary input come from a layer without an
    exact check, and alarm."""

    def __init__(self, *, links: list[tuple[str, str]], scores: np.ndarray, p_values: np.ndarray,
                 p_threshold: float, excess: np.ndarray | None = None, typicality: np.ndarray | None = None,
                 typicality_tau: np.ndarray | None = None, out_of_range: np.ndarray | None = None) -> None:
        """`excess` defaults to the scores themselves (ties then go to the
        highest score); `typicality` and `typicality_tau` are the inputs'
        typicality scores of each link's S and each link's threshold (None
        without typicalities); `out_of_range` marks the inputs that never
        alarm (default: none)."""
        self.links = links
        self.scores = scores
        self.p_values = p_values
        self.p_threshold = p_threshold
        self.excess = np.asarray(scores if excess is None else excess, dtype=np.float64)
        if p_values.shape[0]:
            smallest = p_values.min(axis=1)
            tied = p_values == smallest[:, None]
            # A link after one that alarmed too reads an input that may already be broken: a fault's effect
            # flows forward through every later layer, so its surprise may be inherited. Such links come
            # after the tied links with no alarm before them.
            inherited = np.zeros_like(tied)
            inherited[:, 1:] = np.logical_or.accumulate(p_values[:, :-1] < p_threshold, axis=1)
            sound = tied & ~inherited
            candidates = np.where(sound.any(axis=1, keepdims=True), sound, tied)
            excess = np.nan_to_num(self.excess, nan=np.inf, posinf=np.finfo(np.float64).max,
                                   neginf=np.finfo(np.float64).min)
            evidence = np.where(candidates, excess, -np.inf)
            # argmax takes the first of equal values: the earliest link when the evidence ties too
            strongest = np.where(tied.sum(axis=1) > 1, evidence.argmax(axis=1), p_values.argmin(axis=1))
        else:
            smallest, tied = np.zeros(0), np.zeros((0, len(links)), dtype=bool)
            strongest = np.zeros(0, dtype=np.intp)
        rows = p_values.shape[0]
        self.out_of_range = (np.zeros(rows, dtype=bool) if out_of_range is None
                             else np.asarray(out_of_range, dtype=bool).reshape(rows))
        self.alarms = (smallest < p_threshold) & ~self.out_of_range
        # every input's link with the smallest p-value, ties broken; a watcher keeps it for its events
        self._strongest = strongest.astype(np.int64)
        self.blamed_index = np.where(self.alarms, strongest, -1).astype(np.int64)
        self.ties = np.where(self.alarms, tied.sum(axis=1), 0).astype(np.int64)
        self.blamed: list[tuple[str, str] | None] = [
            links[j] if j >= 0 else None for j in self.blamed_index.tolist()]
        self.typicality = typicality
        # Each link's `Typicality.scored_rows` of the inputs, where the
        # report was made for a watcher (`score_outputs`).
        self._typicality_rows: list[np.ndarray] | None = None
        self.atypical: np.ndarray | None = None
        self.causes: list[str | None]
        if typicality is None or typicality_tau is None:
            self.causes = [MODEL_FAULT if alarm else None for alarm in self.alarms.tolist()]
            return
        self.atypical = ~(typicality <= typicality_tau)
        # Whether the S of link j or of an earlier one is atypical.
        so_far = np.logical_or.accumulate(self.atypical, axis=1)
        causes: list[str | None] = []
        for i, j in enumerate(self.blamed_index.tolist()):
            if j >= 0:
                causes.append(BOTH if so_far[i, j] else MODEL_FAULT)
            else:
                causes.append(INPUT_DRIFT if so_far[i, -1] else None)
        self.causes = causes

    def __len__(self) -> int:
        """Number of inputs."""
        return len(self.alarms)

    def __repr__(self) -> str:
        tied = int(np.count_nonzero(self.ties > 1))
        beyond = int(np.count_nonzero(self.out_of_range))
        return (f"CoverageReport({len(self)} inputs, {int(self.alarms.sum())} alarms over "
                f"{len(self.links)} links" + (f", {tied} with tied links" if tied else "")
                + (f", {beyond} beyond float32's range" if beyond else "") + ")")


class Coverage:
    """Conditional monitors over consecutive layers of a model, with one
    family-wise false-alarm rate; built by `cover`.

    `layers` are the watched layer names in forward order, `links` the pairs
    (S layer, Z layer) of consecutive ones, `monitors[j]` link j's trained
    monitor (chosen by `tune`; None for a link its checksum alone watches,
    listed by `exact_links`), `widths` the columns each layer is reduced
    to, `false_alarm_rate` the family-wise rate, `calibration_rows` the
    number of clean calibration inputs and `p_threshold` the threshold of the
    smallest p-value. `guards` holds the range stage and checksum links
    (`watch.guards.Guards`, None without them) and `fingerprint` the
    `watch.Fingerprint` of the covered model's weights (None for coverages
    stored before fingerprints were), which `Watcher.from_file` checks.
    `typicalities[j]` is the `Typicality` of link j's S (reduced as its
    monitor sees it, constant columns kept; a sequence's per-input view),
    None for a coverage read from a file written before they existed.
    `confidence` is the confidence the threshold was set with
    (`cover(..., confidence=)`), None for a threshold that holds the rate on
    average over the draw of the calibration inputs.
    """

    def __init__(self, *, layers: list[str], monitors: list[Any], reductions: dict[str, _Reduction],
                 calibration_scores: np.ndarray, count_threshold: int, false_alarm_rate: float,
                 random_state: int, max_width: int, typicalities: list[Typicality] | None = None,
                 confidence: float | None = None) -> None:
        """Built by `cover` or read by `load`, not directly."""
        self.layers = list(layers)
        self.links = list(zip(self.layers[:-1], self.layers[1:]))
        self.monitors = list(monitors)
        self._reductions = reductions
        self._calibration = np.sort(np.asarray(calibration_scores, dtype=np.float64), axis=0)
        self._count_threshold = int(count_threshold)
        self.false_alarm_rate = float(false_alarm_rate)
        self.confidence = None if confidence is None else float(confidence)
        self.random_state = int(random_state)
        self.max_width = int(max_width)
        # The fingerprint of the covered model's weights (set by `cover`,
        # stored in and restored from coverage files), or None.
        self.fingerprint: Fingerprint | None = None
        # The range stage and checksum links (`guards.Guards`), or None.
        self.guards: Guards | None = None
        self.typicalities = list(typicalities) if typicalities is not None else None

    @property
    def calibration_rows(self) -> int:
        """Number of clean inputs the family-wise threshold was set on."""
        return int(self._calibration.shape[0])

    @property
    def p_threshold(self) -> float:
        """An input alarms when its smallest p-value is below this."""
        return (1 + self._count_threshold) / (self.calibration_rows + 1)

    @property
    def widths(self) -> dict[str, int]:
        """Columns each layer is reduced to before a monitor sees it (per
        token for a sequence kept as token rows)."""
        return {name: self._reductions[name].width for name in self.layers}

    @property
    def reductions(self) -> dict[str, str]:
        """How each layer is reduced: "none", "channel pooling", "token
        rows", "random projection" or a combination joined by " + "."""
        return {name: self._reductions[name].kind for name in self.layers}

    @property
    def exact_links(self) -> list[int]:
        """Indices of the links watched by their checksum alone, without a
        learned monitor (`monitors[j]` is None for them; see `cover`)."""
        return [j for j, monitor in enumerate(self.monitors) if monitor is None]

    @property
    def token_links(self) -> list[bool]:
        """Per link, whether it is monitored token by token (both layers
        sequences of the same length, see `cover`)."""
        return [_is_token_link(self._reductions[s], self._reductions[z]) for s, z in self.links]

    def __repr__(self) -> str:
        confidence = "" if self.confidence is None else f" with confidence {self.confidence:g}"
        return (f"Coverage({' -> '.join(self.layers)}; family-wise false-alarm rate {self.false_alarm_rate:g}"
                f"{confidence}, {self.calibration_rows} calibration inputs)")

    def _rows(self, outputs: dict[str, Any]) -> tuple[dict[str, np.ndarray], dict[str, np.ndarray]]:
        """Each layer's projected rows, and each link's S as its monitor sees
        it: the same rows, except that the constant columns of a layer are
        pinned to their clean value."""
        rows: dict[str, np.ndarray] = {}
        s_rows: dict[str, np.ndarray] = {}
        for position, name in enumerate(self.layers):
            value = outputs[name]
            tensor = torch.from_numpy(np.asarray(value)) if not isinstance(value, torch.Tensor) else value
            reduction = self._reductions[name]
            pooled = reduction.pool(tensor)
            rows[name] = reduction.project(pooled)
            if position < len(self.layers) - 1:
                s_rows[name] = reduction.project(reduction.pin(pooled)) if len(reduction.constant) else rows[name]
        return rows, s_rows

    def _scores(self, rows: dict[str, np.ndarray], s_rows: dict[str, np.ndarray] | None = None) -> np.ndarray:
        """Each link's score of each input: (inputs, links), S taken from
        `s_rows` (default: `rows`). A token link's score of an input is the
        mean of its tokens' scores."""
        s_rows = rows if s_rows is None else s_rows
        columns = []
        inputs = len(rows[self.layers[0]])
        for (s, z), monitor in zip(self.links, self.monitors):
            if monitor is None:  # checked exactly by its checksum: the link's own score says nothing
                columns.append(np.zeros(inputs))
                continue
            S, Z, tokens = _link_rows(self._reductions[s], self._reductions[z], s_rows[s], rows[z])
            with np.errstate(over="ignore", invalid="ignore"):
                scores = np.asarray(monitor.score_batch(S, Z), dtype=np.float64)
                if tokens > 1:
                    scores = scores.reshape(-1, tokens).mean(axis=1)
            columns.append(scores)
        return np.stack(columns, axis=1)

    def _guard_scores(self, outputs: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray] | None:
        """The range stage's and checksum links' scores of a batch, the
        links they blame and which inputs lie outside float32's reach (see
        `Guards.checked`), or None without them."""
        return None if self.guards is None else self.guards.checked(outputs)

    def _typicality(self, rows: dict[str, np.ndarray]) -> tuple[np.ndarray | None, list[np.ndarray] | None]:
        """Each input's typicality score of every link's S, (inputs, links)
        (a sequence's per-input view), and each link's `scored_rows` (what
        a watcher's window tests keep); None, None without typicalities."""
        if self.typicalities is None:
            return None, None
        scored = [typicality.scored_rows(self._reductions[s].summary(rows[s]))
                  for (s, _), typicality in zip(self.links, self.typicalities)]
        return np.stack([values[:, 0] for values in scored], axis=1), scored

    def _report(self, scores: np.ndarray, guarded: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None,
                typicality: np.ndarray | None = None) -> CoverageReport:
        n = self.calibration_rows
        counts = np.stack([_counts_at_least(self._calibration[:, j], scores[:, j])
                           for j in range(len(self.links))], axis=1)
        if guarded is not None and self.guards is not None:
            # A stage's p-value joins the link it blames: the link's p-value
            # is the smaller of the two.
            rows = np.arange(len(counts))
            for column in range(guarded[0].shape[1]):
                stage = _counts_at_least(self.guards.calibration[:, column], guarded[0][:, column])
                owner = guarded[1][:, column]
                counts[rows, owner] = np.minimum(counts[rows, owner], stage)
        taus = None if self.typicalities is None else np.array([t.tau for t in self.typicalities])
        out_of_range = None if guarded is None else guarded[2]
        if out_of_range is not None and typicality is not None and taus is not None:
            # Only an extreme input is to blame for values beyond float32's range; from an ordinary one
            # they come from a layer without an exact check, which may be faulty.
            out_of_range = out_of_range & ~(typicality[:, 0] <= EXTREME_TYPICALITY * taus[0])
        return CoverageReport(links=list(self.links), scores=scores, p_values=(1.0 + counts) / (n + 1),
                              p_threshold=self.p_threshold, excess=_excess(self._calibration, scores),
                              typicality=typicality, typicality_tau=taus, out_of_range=out_of_range)

    def score_outputs(self, outputs: dict[str, Any]) -> CoverageReport:
        """Scores one batch of already-captured layer outputs: `outputs`
        maps every name of `layers` to that layer's output for the batch (a
        tensor or an array, batch first, in the layer's own shape or
        flattened per input). Returns the same report as `check`.

        Raises `ValueError` for a missing layer, a shape other than the one
        the coverage was fitted on, or layers with different numbers of rows.
        """
        if not isinstance(outputs, dict):
            raise TypeError(f"outputs must be a dict of layer name -> output, got {type(outputs).__name__}")
        missing = [name for name in self.layers if name not in outputs]
        if missing:
            raise ValueError(f"outputs lack the layers {missing}; the coverage watches {self.layers}")
        rows, s_rows = self._rows(outputs)
        lengths = {name: len(value) for name, value in rows.items()}
        if len(set(lengths.values())) != 1:
            raise ValueError(f"layer outputs hold different numbers of inputs: {lengths}")
        typicality, typicality_rows = self._typicality(rows)
        report = self._report(self._scores(rows, s_rows), self._guard_scores(outputs), typicality)
        report._typicality_rows = typicality_rows
        return report

    def check(self, model: torch.nn.Module, inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any], *,
              batch_size: int = 256) -> CoverageReport:
        """Runs `model` once over `inputs` (a tensor, an array or an
        iterable of batches, as `capture` takes them), scores every link and
        returns a `CoverageReport`: per input whether it alarmed, each link's
        score and p-value, and the blamed link. Floating inputs, tensors
        and NumPy arrays alike, are converted to the model's floating dtype
        (a float64 tensor meets float32 weights).

        `model` must have the watched layers, computed in the same order and
        with the same shapes; an unknown name raises `ValueError` listing the
        close matches, a wrong order or shape `ValueError`, as does an input
        without a batch dimension (see `capture`).
        """
        if not isinstance(model, torch.nn.Module):
            raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
        batch_size = _positive_int(batch_size, "batch_size")
        _resolve_layers(model, self.layers)
        parts: list[np.ndarray] = []
        guard_parts: list[tuple[np.ndarray, np.ndarray, np.ndarray]] = []
        typical: list[np.ndarray] = []
        with contextlib.closing(_forward_layers(model, inputs, self.layers, batch_size)) as batches:
            for outputs in batches:
                rows, s_rows = self._rows(outputs)
                parts.append(self._scores(rows, s_rows))
                guard_scores = self._guard_scores(outputs)
                if guard_scores is not None:
                    guard_parts.append(guard_scores)
                typicality_rows, _ = self._typicality(rows)
                if typicality_rows is not None:
                    typical.append(typicality_rows)
        scores = np.concatenate(parts) if parts else np.zeros((0, len(self.links)))
        guarded = None
        if guard_parts:
            guarded = (np.concatenate([p[0] for p in guard_parts]), np.concatenate([p[1] for p in guard_parts]),
                       np.concatenate([p[2] for p in guard_parts]))
        typicality = None
        if self.typicalities is not None:
            typicality = np.concatenate(typical) if typical else np.zeros((0, len(self.links)))
        return self._report(scores, guarded, typicality)

    def _to_file_document(self) -> dict[str, Any]:
        """The coverage as a JSON-ready dictionary: format tag and version,
        layers, each layer's reduction, each link's monitor dictionary and
        the family-wise calibration; with format version 2, each link's
        typicality (None without them) and the reductions' constant columns,
        and the range stage and checksum links where there are any."""
        # Version 1 where it can be, so that earlier readers take coverages
        # without sequences and typicalities.
        reductions = self._reductions.values()
        exact = set(self.exact_links)
        if exact:
            version = COVERAGE_FORMAT_VERSION
        elif self.typicalities is not None or any(r.sequence or len(r.constant) for r in reductions):
            version = 2
        else:
            version = 1
        calibration: dict[str, Any] = {"count_threshold": self._count_threshold,
                                       "scores": self._calibration.T.tolist()}
        if self.confidence is not None:  # only where set: an older reader refuses the key, never misreads it
            calibration["confidence"] = self.confidence
        document = {
            "format": COVERAGE_FORMAT,
            "format_version": version,
            "package_version": _package_version(),
            "layers": list(self.layers),
            "false_alarm_rate": self.false_alarm_rate,
            "random_state": self.random_state,
            "max_width": self.max_width,
            "reductions": {name: self._reductions[name].to_dict(constant=version >= 2) for name in self.layers},
            "monitors": [None if monitor is None else monitor.to_dict() for monitor in self.monitors],
            "calibration": calibration,
        }
        if version >= 2:
            document["typicality"] = None if self.typicalities is None else [t.to_dict() for t in self.typicalities]
        if self.guards is not None:
            document["guards"] = self.guards.to_dict()
        return document

    @classmethod
    def _from_file_document(cls, document: Any) -> Coverage:
        """Rebuilds a coverage from `_to_file_document()`'s dictionary;
        raises `ValueError` for anything missing or inconsistent."""
        if not isinstance(document, dict):
            raise ValueError(f"a coverage document is a JSON object, got {type(document).__name__}")
        if document.get("format") != COVERAGE_FORMAT:
            raise ValueError(f"not a coverage document: format {document.get('format')!r}")
        version: Any = document.get("format_version")
        if not _is_int(version) or version not in _READABLE_VERSIONS:
            raise ValueError(f"coverage format version {version!r} is not supported "
                             f"(this version reads {', '.join(map(str, _READABLE_VERSIONS))})")
        expected = {"format", "format_version", "package_version", "layers", "false_alarm_rate", "random_state",
                    "max_width", "reductions", "monitors", "calibration"}
        # Optional: the guards, and each link's typicality (version 2 only,
        # checked below; absent from files of coverages without them).
        if set(document) - {"guards", "typicality"} != expected:
            raise ValueError(f"coverage document keys differ: missing {sorted(expected - set(document))}, "
                             f"unknown {sorted(set(document) - expected - {'guards', 'typicality'})}")
        if not isinstance(document["package_version"], str):
            raise ValueError("package_version must be a str")
        layers = document["layers"]
        if not isinstance(layers, list) or len(layers) < 2 or not all(isinstance(n, str) for n in layers) \
                or len(set(layers)) != len(layers):
            raise ValueError("layers must be a list of at least two distinct names")
        rate = document["false_alarm_rate"]
        if isinstance(rate, bool) or not isinstance(rate, (int, float)) or not 0 < rate < 1:
            raise ValueError(f"false_alarm_rate must lie in (0, 1), got {rate!r}")
        for key in ("random_state", "max_width"):
            if not _is_int(document[key]):
                raise ValueError(f"{key} must be an int, got {document[key]!r}")
        if document["max_width"] < 1:
            raise ValueError("max_width must be at least 1")
        reductions_d = document["reductions"]
        if not isinstance(reductions_d, dict) or set(reductions_d) != set(layers):
            raise ValueError("reductions must hold one entry per layer")
        reductions = {name: _Reduction.from_dict(reductions_d[name], name) for name in layers}
        if int(version) < 2 and any(r.sequence for r in reductions.values()):
            raise ValueError(f"token-row reductions need format version 2, the document says {version}")
        if int(version) < 2 and any("constant" in d for d in reductions_d.values()):
            raise ValueError(f"constant columns need format version 2, the document says {version}")
        if int(version) < 2 and "typicality" in document:
            raise ValueError(f"link typicalities need format version 2, the document says {version}")
        monitors_d = document["monitors"]
        if not isinstance(monitors_d, list) or len(monitors_d) != len(layers) - 1:
            raise ValueError(f"monitors must hold one dictionary per link ({len(layers) - 1})")
        exact = [j for j, d in enumerate(monitors_d) if d is None]
        if exact and int(version) < 3:
            raise ValueError(f"links without a monitor need format version 3, the document says {version}")
        monitors: list[Any] = []
        for j, d in enumerate(monitors_d):
            if d is None:
                monitors.append(None)
                continue
            if not isinstance(d, dict):
                raise ValueError(f"monitor {j} is not a dictionary")
            unknown = _unknown_monitor_entries(d)
            if unknown:
                raise ValueError(f"monitor {j} has entries the monitor does not read: {unknown}")
            try:
                monitor = resmon.NeuralConditionalMonitor.from_dict(d)
            except (KeyError, TypeError, RuntimeError) as error:
                raise ValueError(f"monitor {j}: {error}") from None
            s_dim = len(monitor.s_engineer.mean_) if monitor.s_engineer.mean_ is not None else -1
            s_width, z_width = _link_widths(reductions[layers[j]], reductions[layers[j + 1]])
            if s_dim != s_width or monitor.z_mean is None or len(monitor.z_mean) != z_width:
                raise ValueError(f"monitor {j} does not take the widths of {layers[j]!r} and {layers[j + 1]!r}")
            monitors.append(monitor)
        calibration = document["calibration"]
        if not isinstance(calibration, dict) or set(calibration) - {"confidence"} != {"count_threshold", "scores"}:
            raise ValueError("calibration must hold count_threshold and scores (and optionally confidence)")
        confidence = calibration.get("confidence")
        if confidence is not None and (isinstance(confidence, bool) or not isinstance(confidence, (int, float))
                                       or not 0 < confidence < 1):
            raise ValueError(f"confidence must lie in (0, 1), got {confidence!r}")
        scores = _calibration_scores(calibration["scores"], len(monitors), exact)
        threshold = calibration["count_threshold"]
        if not _is_int(threshold) or not 1 <= threshold < scores.shape[1]:
            # 0 would be a coverage under which no input could ever alarm
            raise ValueError(f"count_threshold must be an int in [1, {scores.shape[1]}), got {threshold!r}")
        _check_family_threshold(scores, int(threshold), float(rate), None if confidence is None else float(confidence))
        typicalities = _read_typicalities(document.get("typicality"), layers, reductions)
        coverage = cls(layers=layers, monitors=monitors, reductions=reductions, calibration_scores=scores.T,
                       count_threshold=int(threshold), false_alarm_rate=float(rate),
                       random_state=int(document["random_state"]), max_width=int(document["max_width"]),
                       typicalities=typicalities, confidence=confidence)
        if document.get("guards") is not None:
            coverage.guards = Guards.from_dict(document["guards"], layers,
                                               {name: reductions[name].shape for name in layers}, scores.shape[1])
        # A link without a monitor is watched by its checksum alone; without one it would go unwatched.
        checked = set(coverage.guards.checked_links) if coverage.guards is not None else set()
        unchecked = sorted(set(exact) - checked)
        if unchecked:
            raise ValueError(f"links {unchecked} have neither a monitor nor a checksum")
        return coverage


def _read_typicalities(value: Any, layers: list[str], reductions: dict[str, _Reduction]) -> list[Typicality] | None:
    """The stored typicality of each link's S, checked against the widths."""
    if value is None:
        return None
    if not isinstance(value, list) or len(value) != len(layers) - 1:
        raise ValueError(f"typicality must hold one dictionary per link ({len(layers) - 1})")
    typicalities = [Typicality.from_dict(d) for d in value]
    for name, typicality in zip(layers, typicalities):
        if typicality.width != reductions[name].summary_width:
            raise ValueError(f"the typicality of {name!r} takes {typicality.width} columns, the layer is "
                             f"reduced to {reductions[name].summary_width}")
    return typicalities


def _calibration_scores(value: Any, links: int, exact: list[int]) -> np.ndarray:
    """Stored calibration scores, one sorted list per link, as float64 (a
    float32 round trip would move ties and so change p-values); those of a
    link without a monitor (`exact`) are all 0."""
    try:
        scores = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError("calibration scores must be one list of numbers per link, of equal lengths") from None
    if scores.ndim != 2 or scores.shape[0] != links or scores.shape[1] < 1:
        raise ValueError(f"calibration scores must be one list of numbers per link ({links}), of equal lengths")
    if not np.isfinite(scores).all():
        raise ValueError("calibration scores hold non-finite values")
    if (np.diff(scores, axis=1) < 0).any():
        raise ValueError("calibration scores must be sorted")
    if exact and (scores[exact] != 0).any():
        raise ValueError("calibration scores of a link without a monitor must all be 0")
    return scores


# --- fitting -------------------------------------------------------------------------


def _captured_rows(model: torch.nn.Module, inputs: Any, layers: list[str], batch_size: int,
                   max_width: int, observe: Callable[[dict[str, torch.Tensor]], None] | None = None,
                   ) -> tuple[dict[str, _Reduction], dict[str, np.ndarray]]:
    """Pooled rows of every layer over `inputs` (projection not yet fitted)
    and the reduction of each layer, its pooling fixed from the shapes;
    `observe` also sees every batch's raw layer outputs."""
    reductions: dict[str, _Reduction] = {}
    parts: dict[str, list[np.ndarray]] = {name: [] for name in layers}
    modules = dict(model.named_modules())
    with contextlib.closing(_forward_layers(model, inputs, layers, batch_size)) as batches:
        for outputs in batches:
            if observe is not None:
                observe(outputs)
            for name in layers:
                tensor = outputs[name]
                if name not in reductions:
                    shape = tuple(int(v) for v in tensor.shape[1:]) or (1,)
                    reductions[name] = _Reduction.for_shape(shape, max_width)
                    layer = _layer(modules, name)
                    module = model if layer.module is None and not layer.is_input else layer.module
                    reductions[name].recurrent = reductions[name].sequence and isinstance(module, torch.nn.RNNBase)
                parts[name].append(reductions[name].pool(tensor))
    if not reductions:
        raise ValueError("inputs held no rows")
    return reductions, {name: np.concatenate(parts[name]) for name in layers}


def _pooled_rows(model: torch.nn.Module, inputs: Any, layers: list[str], reductions: dict[str, _Reduction],
                 batch_size: int, observe: Callable[[dict[str, torch.Tensor]], None] | None = None,
                 ) -> dict[str, np.ndarray]:
    """Pooled rows of every layer over `inputs`, with fitted reductions;
    `observe` also sees every batch's raw layer outputs."""
    parts: dict[str, list[np.ndarray]] = {name: [] for name in layers}
    with contextlib.closing(_forward_layers(model, inputs, layers, batch_size)) as batches:
        for outputs in batches:
            if observe is not None:
                observe(outputs)
            for name in layers:
                parts[name].append(reductions[name].pool(outputs[name]))
    if not parts[layers[0]]:
        raise ValueError("held_out held no rows")
    return {name: np.concatenate(parts[name]) for name in layers}


def _at_most(S: np.ndarray, Z: np.ndarray, count: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """At most `count` paired rows of S and Z, drawn without replacement."""
    if len(S) <= count:
        return S, Z
    chosen = np.sort(np.random.default_rng(seed).choice(len(S), size=count, replace=False))
    return S[chosen], Z[chosen]


def _check_finite(rows: dict[str, np.ndarray], where: str) -> None:
    for name, values in rows.items():
        bad = int(np.count_nonzero(~np.isfinite(values)))
        if bad:
            raise ValueError(f"layer {name!r} gives {bad} non-finite values on the {where} inputs; "
                             "cover a model on clean inputs")


@keeps_global_random_state
def cover(model: torch.nn.Module, inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any], layers: Iterable[str], *,
          false_alarm_rate: float = 0.01, random_state: int = 0,
          held_out: torch.Tensor | npt.NDArray[Any] | Iterable[Any] | None = None,
          candidates: Iterable[dict[str, Any]] | None = None, max_width: int = DEFAULT_MAX_WIDTH,
          batch_size: int = 256, progress: bool = False, range_stage: bool = False,
          checksums: bool = True, widened_fit: bool = False, learn_exact_links: bool = False,
          early_stopping: bool = True, confidence: float | None = None) -> Coverage:
    """Fits one conditional monitor per link of consecutive `layers` of the
    clean `model` and sets one family-wise false-alarm rate for them all.

    `layers` is an ordered list of names: "input" (the model's input, first
    only), submodule names as in `model.named_modules()`, and "output" (the
    model's output, last only); submodule names and "output" may end in
    selectors that pick a tensor out of a tuple, list or dict output
    ("lstm[0]", "output[logits]"), as for `capture`. The forward pass must
    compute them in that
    order, each exactly once. A layer inside an `nn.TransformerEncoderLayer`
    or `nn.MultiheadAttention` is captured with PyTorch's fused fast path
    turned off (it would skip the layer's hook), and the setting restored. Each link (layers[j], layers[j + 1]) gets a
    monitor chosen by `tune` (with `candidates`, default `TUNE_CANDIDATES`,
    `random_state` and `early_stopping`) on the fitting inputs; the engineer's pair products
    are switched off for S wider than `PAIR_PRODUCTS_MAX_WIDTH` columns.

    Layers wider than `max_width` values are reduced first, the same way at
    fit and check time: a convolution map (channels, height, width) is
    average-pooled per channel to the largest square grid with at most
    `max_width` values; what is still wider is standardised per column and
    multiplied by a Gaussian projection to `max_width` columns, seeded by
    `random_state` and the layer's position. A sequence (batch, tokens,
    features) with at least two tokens keeps its tokens, only its features
    reduced that way: a link between two sequences of the same length is
    monitored token by token (S a token's features and the mean of all
    tokens before the link, plus the previous token's output for a
    recurrent Z layer; Z the token's features after it; an input's score the
    mean of its tokens' scores; tuned on at most `TOKEN_ROWS_MAX` token
    rows), and a link to or from another kind of layer sees the sequence's
    first token, last token and mean. All of it is stored with the
    coverage; `Coverage.reductions` and `Coverage.token_links` say what was
    chosen.

    `held_out` (clean inputs in the form of `inputs`) sets the family-wise
    threshold; none of them trains anything. Without it a random quarter of
    `inputs`, at least 10 / rate, is held out. A new clean input, exchangeable
    with the held-out ones, then alarms on any link with probability at most
    `false_alarm_rate` (see `Coverage`), on average over the draw of the
    held-out inputs. With `confidence` c in (0, 1), e.g. 0.9, the threshold
    is chosen so that, with probability at least c over that draw, this
    very coverage lets at most `false_alarm_rate` of clean inputs alarm
    (for c above 1/2 a lower threshold than without),
    as `calibrate(..., confidence=)` does for one monitor; a
    `WindowAlarm.from_coverage` then counts with both laws. It needs the
    fewest n held-out inputs with 1 - (1 - rate)^n >= c, and at least
    10 / rate. A threshold under which no input could ever alarm (more
    links and guards that each put a different held-out input highest than
    the rank allows) raises `ValueError` asking for more held-out inputs.

    `range_stage` adds the range stage (per-channel bounds of every layer
    from the fitting inputs; the first layer, the model's input, is bounded
    but never checked) and `checksums` an exact check for every link whose
    Z layer is known from its S layer: a checksum link where it is an
    `nn.Linear`, `nn.Conv1d` or `nn.Conv2d` applied to S (or to a ReLU, GELU,
    tanh, sigmoid or SiLU of S), an exact link where it is an activation,
    norm, pooling or self-attention module, or the output sequence of an
    `nn.LSTM`, `nn.GRU` or `nn.RNN` called without an initial state,
    applied to S, or a norm or activation applied to S plus an earlier
    watched layer (a residual add; checked on the fitting inputs; other
    links keep their monitor only). Both score every input beside the monitors, their scores
    join the family-wise threshold, and their alarms blame the link ending
    at the layer that broke (see `watch.guards`); `coverage.guards` holds
    them (None with both off or where neither applies). A link whose
    checksum is kept gets no monitor: its exact check catches every fault of
    that layer, so `tune` is not run for it (`monitors[j]` is None, its score
    0; `Coverage.exact_links` lists them), unless `learn_exact_links=True`.

    A column of a layer that never varies in the fitting inputs is pinned
    to its clean value where the layer is a link's S (see the module notes);
    each link's S also gets a `Typicality` (of a sequence: of its first
    token, last token and mean), fitted on the fitting inputs and
    calibrated on the held-out ones at `false_alarm_rate`, which watchers
    and `Coverage.check` use to tell a broken link from drifted inputs.

    `widened_fit=True` also fits each link's monitor on S widened beyond the
    clean data, with the Z the model computes from it (`widened_pairs`: one
    copy of the fitting inputs' S with noise, scaling, offsets or mixtures),
    so that drifted inputs stay within what the monitors know. Links whose S
    selects an item of a submodule's output are fitted on clean pairs only.
    It holds all inputs in memory as one tensor and costs two more forward
    passes per link; the held-out inputs stay clean.

    Cost: one forward pass over the inputs, one `tune` per link not checked
    exactly, and one scoring of the held-out inputs per link. Links that
    `tune`'s least-squares candidates fit well (a linear layer, or a linear
    layer after a ReLU) take about a second each on thousands of rows; the
    others also train its gradient-descent networks, each for a quarter of
    its epochs first (`early_stopping`, see `tune`). `progress=True` shows a tqdm
    progress bar over the links. Like `tune`, it restores
    NumPy's and PyTorch's global random generators, which every `fit`
    reseeds, to the caller's state on return, also after an error.

    Floating inputs, tensors and NumPy arrays alike, are converted to the
    model's floating dtype.

    Raises `TypeError`/`ValueError` before any training for a model that is
    not a module, unknown layer names (listing close matches and the
    available names), names in another order than the forward pass computes
    them, a rate outside (0, 1), too few inputs, non-finite layer outputs on
    the clean inputs, or bad candidates.
    """
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    rate = _open_unit_interval(false_alarm_rate, "false_alarm_rate")
    if confidence is not None:
        confidence = _open_unit_interval(confidence, "confidence")
    if isinstance(random_state, bool) or not isinstance(random_state, numbers.Integral):
        raise TypeError(f"random_state must be an int, got {type(random_state).__name__}")
    random_state = int(random_state)
    max_width = _positive_int(max_width, "max_width")
    batch_size = _positive_int(batch_size, "batch_size")
    names = _resolve_layers(model, layers)
    _split_candidates(candidates, 0)  # type checks before the forward pass
    if not isinstance(widened_fit, bool):
        raise TypeError(f"widened_fit must be a bool, got {type(widened_fit).__name__}")
    if not isinstance(learn_exact_links, bool):
        raise TypeError(f"learn_exact_links must be a bool, got {type(learn_exact_links).__name__}")
    if not isinstance(early_stopping, bool):
        raise TypeError(f"early_stopping must be a bool, got {type(early_stopping).__name__}")
    x = _stacked_inputs(model, inputs, batch_size) if widened_fit else None
    if x is not None:
        inputs = x

    builder = GuardBuilder.for_model(model, names, range_stage=range_stage, checksums=checksums,
                                     random_state=random_state)
    observe = builder.observe if builder is not None else None
    reductions, rows = _captured_rows(model, inputs, names, batch_size, max_width, observe)
    fitted = builder.take() if builder is not None else {}
    _check_finite(rows, "fitting")
    n = len(rows[names[0]])
    needed = _rows_needed(rate, None)
    held_needed, rule = _family_rows_needed(rate, confidence)
    if held_out is None:
        held = max(held_needed, n // 4)
        if n - held < 2 * needed:
            raise ValueError(f"{n} inputs are too few to cover at a false-alarm rate of {rate!r}: {held} are "
                             f"held out and tuning needs {2 * needed} more, or pass held_out")
        order = np.random.default_rng(random_state).permutation(n)
        if x is not None:
            x = x[torch.from_numpy(order[held:]).to(x.device)]
        train = {name: values[order[held:]] for name, values in rows.items()}
        calibration = {name: values[order[:held]] for name, values in rows.items()}
    else:
        train = rows
        calibration = _pooled_rows(model, held_out, names, reductions, batch_size, observe)
        _check_finite(calibration, "held-out")
        if len(calibration[names[0]]) < held_needed:
            raise ValueError(f"{len(calibration[names[0]])} held-out inputs cannot resolve a false-alarm rate of "
                             f"{rate!r}: at least {held_needed} {rule} are needed")
        if n < 2 * needed:
            raise ValueError(f"{n} inputs are too few to tune at a false-alarm rate of {rate!r}: at least "
                             f"{2 * needed} are needed")

    # Each layer as a link's S sees it (constant columns pinned), and as a Z.
    train_s, calibration_s = {}, {}
    for position, name in enumerate(names):
        reduction = reductions[name]
        if x is None:  # a widened fit teaches the monitors the constant columns instead
            reduction.fit_constant(train[name])
        reduction.fit_projection(train[name], max_width, random_state + position)
        train_s[name] = reduction.project(reduction.pin(train[name]))
        calibration_s[name] = reduction.project(reduction.pin(calibration[name]))
        train[name] = reduction.project(train[name])
        calibration[name] = reduction.project(calibration[name])

    # The guards first: a link whose Z they check exactly needs no learned monitor.
    guards, guard_scores = None, None
    if builder is not None:
        if held_out is None:
            held = len(calibration[names[0]])
            guard_train = {key: value[order[held:]] for key, value in fitted.items()}
            guard_calibration = {key: value[order[:held]] for key, value in fitted.items()}
        else:
            guard_train, guard_calibration = fitted, builder.take()
        built = builder.fit(guard_train, guard_calibration)
        if built is not None:
            guards, guard_scores = built
    exact = set() if builder is None or learn_exact_links else builder.exact_links()

    monitors: list[Any] = []
    modules = dict(model.named_modules())
    rng = np.random.default_rng(random_state)
    for j, (s, z) in enumerate(_with_progress(list(zip(names[:-1], names[1:])), progress, unit="link")):
        if j in exact:
            monitors.append(None)
            continue
        S, Z, tokens = _link_rows(reductions[s], reductions[z], train_s[s], train[z])
        if x is not None:
            S, Z = _with_widened(model, x, _layer(modules, s), _layer(modules, z), reductions, S, Z, rng,
                                 batch_size)
        if tokens > 1:
            S, Z = _at_most(S, Z, TOKEN_ROWS_MAX, random_state)
        link_candidates = _split_candidates(candidates, S.shape[1])
        monitors.append(tune(S, Z, false_alarm_rate=rate, candidates=link_candidates,
                             random_state=random_state, early_stopping=early_stopping))
    typicalities = [fit_typicality(reductions[name].summary(train[name]),
                                   reductions[name].summary(calibration[name]), false_alarm_rate=rate)
                    for name in names[:-1]]
    coverage = Coverage(layers=names, monitors=monitors, reductions=reductions,
                        calibration_scores=np.zeros((1, len(monitors))), count_threshold=0,
                        false_alarm_rate=rate, random_state=random_state, max_width=max_width,
                        typicalities=typicalities, confidence=confidence)
    scores = coverage._scores(calibration, calibration_s)
    bad = int(np.count_nonzero(~np.isfinite(scores)))
    if bad:
        raise ValueError(f"{bad} held-out scores are non-finite; the held-out inputs must be clean")
    coverage._calibration = np.sort(scores, axis=0)
    family = scores
    if guards is not None and guard_scores is not None:
        coverage.guards = guards
        family = np.hstack([scores, guard_scores])
    coverage._count_threshold = _family_count_threshold(family, rate, confidence)
    try:
        coverage.fingerprint = fingerprint(model)
    except ValueError as error:  # a tensor without values or not dense: the coverage is sound without it
        warnings.warn(f"the coverage stores no fingerprint of the model's weights: {error}", UserWarning,
                      stacklevel=3)
    return coverage


def _with_widened(model: torch.nn.Module, x: torch.Tensor, s: Layer, z: Layer, reductions: dict[str, _Reduction],
                  S_fit: np.ndarray, Z_fit: np.ndarray, rng: np.random.Generator,
                  batch_size: int) -> tuple[np.ndarray, np.ndarray]:
    """A link's fitting rows (as `_link_rows` gives them) with those of one
    widened copy of the fitting inputs' S and the Z the model computes from
    it, reduced as the link sees them; the clean rows alone where S cannot
    be widened (it selects an item)."""
    try:
        _check_widenable(s)
    except ValueError:
        return S_fit, Z_fit
    S_wide, Z_wide = widened_outputs(model, x, s, z, copies=1, strength=DEFAULT_STRENGTH, rng=rng,
                                     batch_size=batch_size)
    s_reduction, z_reduction = reductions[s.name], reductions[z.name]
    S_rows = s_reduction.project(s_reduction.pin(s_reduction.pool(S_wide)))
    Z_rows = z_reduction.project(z_reduction.pool(Z_wide))
    finite = np.isfinite(S_rows).all(axis=1) & np.isfinite(Z_rows).all(axis=1)
    S_link, Z_link, _ = _link_rows(s_reduction, z_reduction, S_rows[finite], Z_rows[finite])
    return np.concatenate([S_fit, S_link]), np.concatenate([Z_fit, Z_link])
