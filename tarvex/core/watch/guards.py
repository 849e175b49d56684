"""Cheap exact checks that run beside a coverage's monitors: a range stage
(per-channel bounds of each layer's outputs, learned from clean inputs),
checksum links (an exact identity of a linear or convolution layer) and
exact links (a cheap layer computed again from its input).

Range stage. Each watched layer's output is split into channels (the units
of a flat layer, the first axis of a convolution map) and every channel's
smallest and largest value over the clean fitting inputs is kept. An input's
reach at a layer is how far its values go from the middle of those bounds,
in half-widths of the channel, over the layer's channels: 1 at the clean
extremes, inf for NaN and inf. Its excess is the reach less 1 +
`RANGE_MARGIN`, at least 0. A layer's excess counts only while the layer
before it has none: a fault makes the first layer it touches leave its
range, while an unusual input leaves the range of its own layer (the
chain's first, which is bounded but never scored) and of what follows. The
stage's score of an input is its largest counted excess, blamed on the link
that ends at that layer. The bounds are absolute: inputs far from the clean
ones (scaled up, shifted) also leave the hidden layers' ranges, which is why
the stage is offered, not on by default. It is the cheapest detector of large corruptions (exponent
bit flips, stuck large values) and says nothing about subtle ones, which the
monitors judge.

Checksum links. Where a link's Z layer is an `nn.Linear`, `nn.Conv1d` or
`nn.Conv2d` applied to the link's S layer itself (checked on the fitting
inputs), the relation is known exactly: with a random weighting r of the
output channels and c = r^T W taken from the clean weights, r^T z equals
c . s + r^T b for every input, at every output position, up to rounding. The
check costs one output channel of the layer instead of all of them, needs
no training and holds for any input, drifted or not. Its error is measured
against the rounding bound |r|^T |W| |s| + |r|^T |z| + |r^T b| and compared
with a tolerance set from the clean fitting inputs' largest such error
(times `CHECKSUM_TOLERANCE_FACTOR`, at least `CHECKSUM_TOLERANCE_FLOOR`);
every corrupted output or weight of the layer beyond rounding exceeds it.
The random signs and sizes of r keep two errors from cancelling, as they
could in a plain sum. A checksum link's score of an input is its error over
the tolerance where it exceeds it, else 0. Where the model applies an
activation between S and the layer in its forward code (`fc2(F.relu(h))`
with `h` watched, a transformer's linear1 -> GELU -> linear2), the first
fitting batch picks the one of `ACTIVATIONS` that reproduces Z, and the
identity is checked on the activated S.

Exact links. Where a link's Z layer is an elementwise activation (or a
reshape, or dropout in evaluation mode), a norm (`LayerNorm`, `BatchNorm`
with running statistics, `GroupNorm`), a pooling layer, a self-attention
`nn.MultiheadAttention` or the output sequence ("[0]") of an `nn.LSTM`,
`nn.GRU` or `nn.RNN` (any number of layers, either direction) applied to S,
the layer is computed again from S in float64, with a copy of its clean
parameters and buffers kept at fit time, and compared with Z element by
element (`ExactLink`). Its error and tolerance work as a checksum's, and it
scores in the same column: a corrupted output and a parameter changed since
the fit both break it, and no input, drifted or not, does. Like a checksum,
an exact link is kept only where the recomputed layer reproduces Z on the
fitting inputs: a recurrent layer is recomputed from a zero initial state,
so one the model hands an initial state keeps its learned monitor.

Residual adds. A norm or an elementwise activation often takes the sum of
S and an earlier layer's output rather than S alone: a post-norm
transformer layer's `norm1(x + self_attn(x))` and `norm2(h + linear2(...))`,
a residual block's `relu(out + x)`. Where such a layer does not reproduce
Z from S, the first fitting batch tries Z = f(S + A) for each earlier
watched layer A of S's shape, nearest first, and keeps the first that
reproduces Z (`ExactLink.residual` is A's index in the layer list); the
later batches and the tolerance are checked on S + A as on S. The check
then speaks for the add and the layer: a corrupted S, Z or parameter of
the layer breaks it and is blamed on the link ending at Z. A fault in A's
own layer changes A and Z consistently and is caught at the link that
ends at A. A norm that reads a sum of more than two watched outputs (the
next layer's norms in a pre-norm encoder) or of an unwatched one matches
no such sum: the link keeps its learned monitor.

Inputs beyond float32's range. An input large enough for a layer's float32
output to overflow (S finite, Z inf) breaks that layer's identity although
the model computed what it was asked to. Where the first exact check an
input breaks is one whose output may lie beyond float32's range for that
input (`checked`), the mismatch is the input's doing: `Guards.checked`
marks it, and a coverage does not alarm on it where the input is also far
outside the clean ones (`CoverageReport.out_of_range`; a watcher counts it
as an invalid input).

The stages give one score column each (checksum and exact links share one). A coverage turns them into conformal
p-values against its clean calibration inputs like its links' scores and
sets its family-wise threshold over all columns together, so their clean
false alarms count in the same family-wise rate.
"""

from __future__ import annotations

import math
from typing import Any, Iterable

import numpy as np
import torch
import torch.nn.functional as F

from ._layers import _split_selectors

# How far past the scaled bounds (in the channel's half-widths) a layer may
# reach before the range stage scores it: keeps the rare clean input just
# past the fitted extremes from spending the family-wise budget.
RANGE_MARGIN = 0.1
# Checksum tolerance: this many times the largest clean rounding error, and at
# least the floor (a float32 copy of a float64 model's rows rounds by ~6e-8).
CHECKSUM_TOLERANCE_FACTOR = 8.0
CHECKSUM_TOLERANCE_FLOOR = 2.0 ** -20
_CHECKED_TYPES = (torch.nn.Linear, torch.nn.Conv1d, torch.nn.Conv2d)
# Exact-link kinds that may read S plus an earlier layer's output (a
# residual add before a norm or an activation); the elementwise kinds are
# added below.
_RESIDUAL_KINDS = {"layer_norm", "batch_norm", "group_norm"}
# The most parameters of a recurrent layer an exact link copies: about 90 MB
# of the coverage file, which is read back only up to 256 MiB.
RECURRENT_PARAMETERS_MAX = 4_000_000
# float32's largest value, and a bound on the values whose squares or sums
# of a few thousand stay within it.
_FLOAT32_MAX = float(np.finfo(np.float32).max)
_SQUARE_SAFE = 2.0 ** 64


def _tensor(value: Any) -> torch.Tensor:
    return value if isinstance(value, torch.Tensor) else torch.from_numpy(np.asarray(value))


def _shaped(value: Any, shape: tuple[int, ...]) -> torch.Tensor:
    """The rows of a layer output in the layer's own per-input shape."""
    tensor = _tensor(value).detach()
    rows = tensor.shape[0]
    if tuple(tensor.shape[1:]) != shape:
        tensor = tensor.reshape(rows, *shape)
    return tensor


def _host_array(value: Any) -> np.ndarray | None:
    """The values as a NumPy array without a copy where they are in host
    memory already (a watcher's rows, a CPU model's outputs), else None."""
    if isinstance(value, np.ndarray):
        return value
    if isinstance(value, torch.Tensor) and value.device.type == "cpu" and value.dtype in _HOST_DTYPES:
        return value.detach().numpy()
    return None


_HOST_DTYPES = (torch.float32, torch.float64, torch.float16)


def _channel_extremes(value: Any, shape: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray]:
    """Per input, each channel's smallest and largest value (float64; NaN
    where a channel holds NaN)."""
    array = _host_array(value)
    if array is not None:  # NumPy: far less overhead per call for the small batches of serving
        rows = array.shape[0]
        grouped = array.reshape(rows, shape[0], -1) if len(shape) > 1 else array.reshape(rows, -1, 1)
        with np.errstate(invalid="ignore"):
            return grouped.min(axis=2).astype(np.float64), grouped.max(axis=2).astype(np.float64)
    tensor = _shaped(value, shape)
    rows = tensor.shape[0]
    flat = (tensor.reshape(rows, shape[0], -1) if len(shape) > 1 else tensor.reshape(rows, -1, 1)).to(torch.float64)
    nan = torch.isnan(flat).any(dim=2)
    low, high = flat.amin(dim=2), flat.amax(dim=2)
    low = torch.where(nan, torch.full_like(low, math.nan), low)
    high = torch.where(nan, torch.full_like(high, math.nan), high)
    return low.cpu().numpy(), high.cpu().numpy()


class RangeStage:
    """Per-channel bounds of every layer of a coverage (see the module
    docstring); `lows[j]` and `highs[j]` belong to `layers[j]`."""

    def __init__(self, layers: list[str], shapes: dict[str, tuple[int, ...]], lows: list[np.ndarray],
                 highs: list[np.ndarray]) -> None:
        self.layers = list(layers)
        self.shapes = dict(shapes)
        self.lows = [np.asarray(v, dtype=np.float64) for v in lows]
        self.highs = [np.asarray(v, dtype=np.float64) for v in highs]
        self._middles = [(low + high) / 2 for low, high in zip(self.lows, self.highs)]
        self._halves = []
        for low, high in zip(self.lows, self.highs):
            half = (high - low) / 2
            floor = max(float(half.max(initial=0.0)) * 1e-3, 1e-12)
            self._halves.append(np.maximum(half, floor))

    @classmethod
    def fit(cls, layers: list[str], shapes: dict[str, tuple[int, ...]],
            extremes: dict[str, tuple[np.ndarray, np.ndarray]]) -> RangeStage:
        """Bounds from per-input channel extremes of clean inputs."""
        return cls(layers, shapes, [extremes[name][0].min(axis=0) for name in layers],
                   [extremes[name][1].max(axis=0) for name in layers])

    def reach(self, extremes: dict[str, tuple[np.ndarray, np.ndarray]]) -> np.ndarray:
        """(inputs, layers): how far each layer's values go from the middle
        of its bounds, in half-widths (1 at the clean extremes; inf for
        NaN)."""
        columns = []
        for j, name in enumerate(self.layers):
            low, high = extremes[name]
            with np.errstate(invalid="ignore", over="ignore"):
                worst = np.maximum((high - self._middles[j]) / self._halves[j],
                                   (self._middles[j] - low) / self._halves[j])
                worst = np.where(np.isnan(worst), np.inf, worst)
            columns.append(worst.max(axis=1))
        return np.stack(columns, axis=1)

    def scores(self, extremes: dict[str, tuple[np.ndarray, np.ndarray]]) -> tuple[np.ndarray, np.ndarray]:
        """Per input, the largest layer score (see the module docstring)
        and the index of the link ending at that layer."""
        excess = np.maximum(self.reach(extremes) - (1.0 + RANGE_MARGIN), 0.0)
        counted = np.where(excess[:, :-1] == 0.0, excess[:, 1:], 0.0)
        owner = counted.argmax(axis=1)
        return counted[np.arange(len(counted)), owner], owner

    def to_dict(self) -> dict[str, Any]:
        return {"lows": [v.tolist() for v in self.lows], "highs": [v.tolist() for v in self.highs]}

    @classmethod
    def from_dict(cls, d: Any, layers: list[str], shapes: dict[str, tuple[int, ...]]) -> RangeStage:
        if not isinstance(d, dict) or set(d) != {"lows", "highs"}:
            raise ValueError("range stage: expected the keys lows and highs")
        bounds = []
        for key in ("lows", "highs"):
            values = d[key]
            if not isinstance(values, list) or len(values) != len(layers):
                raise ValueError(f"range stage: {key} must hold one list per layer")
            arrays = []
            for name, value in zip(layers, values):
                channels = shapes[name][0] if len(shapes[name]) > 1 else shapes[name][0]
                array = _finite_vector(value, f"range stage {key} of {name!r}")
                if array.shape != (channels,):
                    raise ValueError(f"range stage {key} of {name!r}: expected {channels} values")
                arrays.append(array)
            bounds.append(arrays)
        if any((high < low).any() for low, high in zip(*bounds)):
            raise ValueError("range stage: a high bound lies below its low bound")
        return cls(layers, shapes, bounds[0], bounds[1])


def _finite_vector(value: Any, where: str) -> np.ndarray:
    try:
        array = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError):
        raise ValueError(f"{where}: expected a list of numbers") from None
    if array.ndim != 1 or not np.isfinite(array).all():
        raise ValueError(f"{where}: expected a list of finite numbers")
    return array


# --- checksum links -------------------------------------------------------------------


class ChecksumLink:
    """The exact identity of one linear or convolution layer (see the module
    docstring): `link` is the link's index, `kind` "linear", "conv1d" or
    "conv2d", `r` the output weighting, `c` = r^T W and `a` = |r|^T |W|
    (shaped as one output channel's kernel for a convolution), `rb` = r^T b,
    `settings` the convolution's stride, padding and dilation, and
    `tolerance` the largest error that counts as rounding. `activation`
    (a key of `ACTIVATIONS`, None for none) is the elementwise function the
    model applies to S before the layer: the identity is then checked on
    the activated S."""

    def __init__(self, link: int, kind: str, r: np.ndarray, c: np.ndarray, a: np.ndarray, rb: float,
                 settings: dict[str, list[int]], tolerance: float, activation: str | None = None) -> None:
        self.link, self.kind = int(link), kind
        self.activation = activation
        self.r = np.asarray(r, dtype=np.float64)
        self.c = np.asarray(c, dtype=np.float64)
        self.a = np.asarray(a, dtype=np.float64)
        self.rb = float(rb)
        self.settings = {key: [int(v) for v in value] for key, value in settings.items()}
        self.tolerance = float(tolerance)
        self._cache: dict[str, tuple[torch.Tensor, torch.Tensor, torch.Tensor]] = {}

    @classmethod
    def of(cls, link: int, module: torch.nn.Module, seed: int) -> ChecksumLink | None:
        """The checksum of `module` with a weighting drawn from `seed`, or
        None for a module it does not apply to (another type, a padding
        other than zeros, weights that are not floating point)."""
        if not isinstance(module, _CHECKED_TYPES) or not module.weight.is_floating_point():
            return None
        if isinstance(module, (torch.nn.Conv1d, torch.nn.Conv2d)) and module.padding_mode != "zeros":
            return None
        if isinstance(module, (torch.nn.Conv1d, torch.nn.Conv2d)) and isinstance(module.padding, str):
            return None
        weight = module.weight.detach().to(device="cpu", dtype=torch.float64).numpy()
        bias = (module.bias.detach().to(device="cpu", dtype=torch.float64).numpy()
                if module.bias is not None else np.zeros(weight.shape[0]))
        rng = np.random.default_rng(seed)
        outputs = weight.shape[0]
        signs = np.where(rng.random(outputs) < 0.5, -1.0, 1.0)
        r: np.ndarray = signs * (1.0 + rng.random(outputs))
        if isinstance(module, torch.nn.Linear):
            c, a = r @ weight, np.abs(r) @ np.abs(weight)
            return cls(link, "linear", r, c, a, float(r @ bias), {}, 0.0)
        groups = module.groups
        per_out, per_in = outputs // groups, weight.shape[1]
        c = np.zeros((per_in * groups,) + weight.shape[2:])
        a = np.zeros_like(c)
        for q in range(groups):
            rows = slice(q * per_out, (q + 1) * per_out)
            c[q * per_in:(q + 1) * per_in] = np.tensordot(r[rows], weight[rows], axes=1)
            a[q * per_in:(q + 1) * per_in] = np.tensordot(np.abs(r[rows]), np.abs(weight[rows]), axes=1)
        kind = "conv1d" if isinstance(module, torch.nn.Conv1d) else "conv2d"
        settings = {"stride": [int(v) for v in module.stride],
                    "padding": [int(v) for v in module.padding],  # a str padding was refused above
                    "dilation": [int(v) for v in module.dilation]}
        return cls(link, kind, r, c, a, float(r @ bias), settings, 0.0)

    def _on(self, device: torch.device) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        key = str(device)
        if key not in self._cache:
            self._cache[key] = tuple(torch.from_numpy(v).to(device)  # type: ignore[assignment]
                                     for v in (self.r, self.c, self.a))
        return self._cache[key]

    def errors(self, s: Any, z: Any, s_shape: tuple[int, ...], z_shape: tuple[int, ...]) -> np.ndarray:
        """Per input, the largest error of the identity over the output
        positions, relative to its rounding bound (float64; inf for NaN)."""
        return self.checked(s, z, s_shape, z_shape)[0]

    def checked(self, s: Any, z: Any, s_shape: tuple[int, ...],
                z_shape: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray]:
        """`errors`, and per input whether the layer's output may lie beyond
        float32's range: a non-finite output where |W| |s| (bounded by the
        clean |r|^T |W| |s|, as |r| >= 1) reaches half of float32's largest
        value, so that the float32 layer may overflow on that input."""
        if self.kind == "linear" and self.activation is None:
            s_a, z_a = _host_array(s), _host_array(z)
            if s_a is not None and z_a is not None:
                return self._linear_errors(s_a, z_a, s_shape, z_shape)
        s_t = _shaped(s, s_shape).to(torch.float64)
        if self.activation is not None:
            function, settings = ACTIVATIONS[self.activation]
            s_t = _ELEMENTWISE[function][0](s_t, settings)
        z_t = _shaped(z, z_shape).to(device=s_t.device, dtype=torch.float64)
        r, c, a = self._on(s_t.device)
        rows = s_t.shape[0]
        if self.kind == "linear":
            left = z_t @ r
            right = s_t @ c + self.rb
            bound = s_t.abs() @ a + z_t.abs() @ r.abs()
        else:
            view = (1, -1) + (1,) * (z_t.ndim - 2)
            left = (z_t * r.reshape(view)).sum(dim=1)
            right = self._convolve(s_t, c) + self.rb
            bound = self._convolve(s_t.abs(), a) + (z_t.abs() * r.abs().reshape(view)).sum(dim=1)
        if right.shape != left.shape:
            raise ValueError(f"checksum of link {self.link}: the layer's input and output shapes do not fit it")
        with torch.no_grad():
            error = (left - right).abs() / (bound + abs(self.rb) + 1e-300)
            error = torch.where(torch.isnan(error), torch.full_like(error, math.inf), error)
            if self.kind == "linear":
                reach, broken = s_t.abs() @ a, ~torch.isfinite(z_t).all(dim=-1)
            else:
                reach, broken = self._convolve(s_t.abs(), a), ~torch.isfinite(z_t).all(dim=1)
            beyond = (broken & ~(reach < _FLOAT32_MAX / 2)).reshape(rows, -1).any(dim=1)
            return error.reshape(rows, -1).amax(dim=1).cpu().numpy(), beyond.cpu().numpy()

    def _linear_errors(self, s: np.ndarray, z: np.ndarray, s_shape: tuple[int, ...],
                       z_shape: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray]:
        """`checked` of a linear layer on host arrays, with NumPy."""
        rows = s.shape[0]
        with np.errstate(all="ignore"):
            s64 = s.reshape(rows, *s_shape).astype(np.float64)
            z64 = z.reshape(rows, *z_shape).astype(np.float64)
            left = z64 @ self.r
            right = s64 @ self.c + self.rb
            if left.shape != right.shape:
                raise ValueError(f"checksum of link {self.link}: the layer's input and output shapes do not fit it")
            reach = np.abs(s64) @ self.a
            bound = reach + np.abs(z64) @ np.abs(self.r) + abs(self.rb) + 1e-300
            error = np.abs(left - right) / bound
            beyond = ~np.isfinite(z64).all(axis=-1) & ~(reach < _FLOAT32_MAX / 2)
        error = np.where(np.isnan(error), np.inf, error)
        return (np.asarray(error.reshape(rows, -1).max(axis=1), dtype=np.float64),
                np.asarray(beyond.reshape(rows, -1).any(axis=1), dtype=bool))

    def _convolve(self, s: torch.Tensor, kernel: torch.Tensor) -> torch.Tensor:
        """The one-output-channel convolution of `s` with `kernel`, with
        the layer's stride, padding and dilation."""
        stride, padding, dilation = (self.settings[key] for key in ("stride", "padding", "dilation"))
        if self.kind == "conv1d":
            return F.conv1d(s, kernel.unsqueeze(0), None, stride, padding, dilation)[:, 0]
        return F.conv2d(s, kernel.unsqueeze(0), None, stride, padding, dilation)[:, 0]

    def to_dict(self) -> dict[str, Any]:
        d = {"link": self.link, "kind": self.kind, "r": self.r.tolist(), "c": self.c.tolist(),
             "a": self.a.tolist(), "rb": self.rb, "settings": self.settings, "tolerance": self.tolerance}
        if self.activation is not None:  # files without it are read as before
            d["activation"] = self.activation
        return d

    @classmethod
    def from_dict(cls, d: Any) -> ChecksumLink:
        keys = {"link", "kind", "r", "c", "a", "rb", "settings", "tolerance"}
        if not isinstance(d, dict) or set(d) not in (keys, keys | {"activation"}):
            raise ValueError(f"checksum link: expected the keys {sorted(keys)} (and optionally activation)")
        activation = d.get("activation")
        if activation is not None and activation not in ACTIVATIONS:
            raise ValueError(f"checksum link: unknown activation {activation!r}")
        if d["kind"] not in ("linear", "conv1d", "conv2d"):
            raise ValueError(f"checksum link: unknown kind {d['kind']!r}")
        if not isinstance(d["link"], int) or isinstance(d["link"], bool) or d["link"] < 0:
            raise ValueError("checksum link: link must be a non-negative int")
        r = _finite_vector(d["r"], "checksum link r")
        try:
            c, a = np.asarray(d["c"], dtype=np.float64), np.asarray(d["a"], dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError("checksum link: c and a must be arrays of numbers") from None
        dims = {"linear": 1, "conv1d": 2, "conv2d": 3}[d["kind"]]
        if c.shape != a.shape or c.ndim != dims or not (np.isfinite(c).all() and np.isfinite(a).all()):
            raise ValueError("checksum link: c and a must be finite arrays of the same, fitting shape")
        settings = d["settings"]
        expected = set() if d["kind"] == "linear" else {"stride", "padding", "dilation"}
        if not isinstance(settings, dict) or set(settings) != expected or not all(
                isinstance(v, list) and len(v) == dims - 1 and all(isinstance(i, int) and i >= 0 for i in v)
                for v in settings.values()):
            raise ValueError("checksum link: bad convolution settings")
        for key in ("rb", "tolerance"):
            if isinstance(d[key], bool) or not isinstance(d[key], (int, float)) or not math.isfinite(d[key]):
                raise ValueError(f"checksum link: {key} must be a finite number")
        if d["tolerance"] <= 0:
            raise ValueError("checksum link: tolerance must be positive")
        return cls(d["link"], d["kind"], r, c, a, d["rb"], settings, d["tolerance"], activation)


# --- exact links: layers recomputed from S ---------------------------------------------

# Elementwise functions a link's Z layer may apply to its S, by kind: the
# function of a float64 tensor and the settings it reads.
_ELEMENTWISE: dict[str, tuple[Any, tuple[str, ...]]] = {
    "identity": (lambda x, s: x, ()),
    "relu": (lambda x, s: F.relu(x), ()),
    "leaky_relu": (lambda x, s: F.leaky_relu(x, s["negative_slope"]), ("negative_slope",)),
    "hardtanh": (lambda x, s: F.hardtanh(x, s["min_val"], s["max_val"]), ("min_val", "max_val")),
    "gelu": (lambda x, s: F.gelu(x, approximate=s["approximate"]), ("approximate",)),
    "silu": (lambda x, s: F.silu(x), ()),
    "tanh": (lambda x, s: torch.tanh(x), ()),
    "sigmoid": (lambda x, s: torch.sigmoid(x), ()),
    "elu": (lambda x, s: F.elu(x, s["alpha"]), ("alpha",)),
    "celu": (lambda x, s: F.celu(x, s["alpha"]), ("alpha",)),
    "selu": (lambda x, s: F.selu(x), ()),
    "softplus": (lambda x, s: F.softplus(x, s["beta"], s["threshold"]), ("beta", "threshold")),
    "mish": (lambda x, s: F.mish(x), ()),
    "hardswish": (lambda x, s: F.hardswish(x), ()),
    "hardsigmoid": (lambda x, s: F.hardsigmoid(x), ()),
    "softsign": (lambda x, s: F.softsign(x), ()),
}
# What a linear or convolution layer's input may be, as a function of its S:
# the activations a model commonly applies in its forward code between two
# watched layers (`fc2(F.relu(fc1(x)))`, a transformer's feed-forward block).
ACTIVATIONS: dict[str, tuple[str, dict[str, Any]]] = {
    "relu": ("relu", {}), "gelu": ("gelu", {"approximate": "none"}), "gelu_tanh": ("gelu", {"approximate": "tanh"}),
    "tanh": ("tanh", {}), "sigmoid": ("sigmoid", {}), "silu": ("silu", {}),
}
_FLOAT, _INT, _BOOL, _INTS, _OPTIONAL_INT, _COUNT = "float", "int", "bool", "ints", "optional int", "count"
# Per kind of a parameterised exact link: its settings (name: type) and
# the names of its stored parameters (those in parentheses optional).
_SETTINGS: dict[str, dict[str, str]] = {
    "layer_norm": {"normalized_shape": _INTS, "eps": _FLOAT},
    "batch_norm": {"eps": _FLOAT},
    "group_norm": {"num_groups": _INT, "eps": _FLOAT},
    "max_pool": {"kernel_size": _INTS, "stride": _INTS, "padding": _INTS, "dilation": _INTS, "ceil_mode": _BOOL},
    "avg_pool": {"kernel_size": _INTS, "stride": _INTS, "padding": _INTS, "ceil_mode": _BOOL,
                 "count_include_pad": _BOOL, "divisor_override": _OPTIONAL_INT},
    "adaptive_avg_pool": {"output_size": _INTS},
    "adaptive_max_pool": {"output_size": _INTS},
    "attention": {"num_heads": _INT},
    "lstm": {"input_size": _INT, "hidden_size": _INT, "num_layers": _INT, "bias": _BOOL, "bidirectional": _BOOL,
             "proj_size": _COUNT},
    "gru": {"input_size": _INT, "hidden_size": _INT, "num_layers": _INT, "bias": _BOOL, "bidirectional": _BOOL},
}
_SETTINGS["rnn_tanh"] = _SETTINGS["rnn_relu"] = _SETTINGS["gru"]
_RESIDUAL_KINDS |= set(_ELEMENTWISE)
# Recurrent kinds: the module that computes them and its gates per hidden unit.
_RECURRENT: dict[str, tuple[str, int]] = {"lstm": ("LSTM", 4), "gru": ("GRU", 3), "rnn_tanh": ("RNN", 1),
                                          "rnn_relu": ("RNN", 1)}
_PARAMETERS: dict[str, tuple[set[str], set[str]]] = {  # (required, optional)
    "layer_norm": (set(), {"weight", "bias"}),
    "batch_norm": ({"running_mean", "running_var"}, {"weight", "bias"}),
    "group_norm": (set(), {"weight", "bias"}),
    "attention": ({"in_proj_weight", "out_proj_weight"}, {"in_proj_bias", "out_proj_bias"}),
}


def _elementwise_kind(module: Any) -> tuple[str, dict[str, Any]] | None:
    """The elementwise function an activation module applies, or None."""
    nn = torch.nn
    simple = [(nn.ReLU, "relu"), (nn.SiLU, "silu"), (nn.Tanh, "tanh"), (nn.Sigmoid, "sigmoid"), (nn.SELU, "selu"),
              (nn.Mish, "mish"), (nn.Hardswish, "hardswish"), (nn.Hardsigmoid, "hardsigmoid"),
              (nn.Softsign, "softsign"), (nn.Identity, "identity"), (nn.Flatten, "identity"),
              (nn.Unflatten, "identity"), (nn.Dropout, "identity"), (nn.Dropout1d, "identity"),
              (nn.Dropout2d, "identity"), (nn.Dropout3d, "identity"), (nn.AlphaDropout, "identity")]
    for kind_type, kind in simple:
        if type(module) is kind_type:  # a subclass may compute something else
            return kind, {}
    if type(module) in (nn.Hardtanh, nn.ReLU6):
        return "hardtanh", {"min_val": float(module.min_val), "max_val": float(module.max_val)}
    if type(module) is nn.LeakyReLU:
        return "leaky_relu", {"negative_slope": float(module.negative_slope)}
    if type(module) is nn.GELU:
        return "gelu", {"approximate": str(module.approximate)}
    if type(module) in (nn.ELU, nn.CELU):
        return ("elu" if type(module) is nn.ELU else "celu"), {"alpha": float(module.alpha)}
    if type(module) is nn.Softplus:
        return "softplus", {"beta": float(module.beta), "threshold": float(module.threshold)}
    return None


def _ints(value: Any, dims: int) -> list[int]:
    return [int(v) for v in (value if isinstance(value, (tuple, list)) else (value,) * dims)]


def _float64(tensor: torch.Tensor | None) -> np.ndarray | None:
    return None if tensor is None else tensor.detach().to(device="cpu", dtype=torch.float64).numpy().copy()


def _parameterised(module: Any) -> tuple[str, dict[str, Any], dict[str, np.ndarray | None]] | None:
    """(kind, settings, clean parameters) of a module an exact link can
    recompute with stored parameters, or None."""
    nn = torch.nn
    if type(module) is nn.LayerNorm:
        return "layer_norm", {"normalized_shape": [int(v) for v in module.normalized_shape],
                              "eps": float(module.eps)}, {"weight": _float64(module.weight),
                                                          "bias": _float64(module.bias)}
    if type(module) in (nn.BatchNorm1d, nn.BatchNorm2d, nn.BatchNorm3d):
        if module.running_mean is None or module.running_var is None:
            return None  # batch statistics even in evaluation mode
        return "batch_norm", {"eps": float(module.eps)}, {
            "running_mean": _float64(module.running_mean), "running_var": _float64(module.running_var),
            "weight": _float64(module.weight), "bias": _float64(module.bias)}
    if type(module) is nn.GroupNorm:
        return "group_norm", {"num_groups": int(module.num_groups), "eps": float(module.eps)}, {
            "weight": _float64(module.weight), "bias": _float64(module.bias)}
    if type(module) in (nn.MaxPool1d, nn.MaxPool2d) and not module.return_indices:
        dims = 1 if type(module) is nn.MaxPool1d else 2
        return "max_pool", {"kernel_size": _ints(module.kernel_size, dims),
                            "stride": _ints(module.stride or module.kernel_size, dims),
                            "padding": _ints(module.padding, dims), "dilation": _ints(module.dilation, dims),
                            "ceil_mode": bool(module.ceil_mode)}, {}
    if type(module) in (nn.AvgPool1d, nn.AvgPool2d):
        dims = 1 if type(module) is nn.AvgPool1d else 2
        override = getattr(module, "divisor_override", None)
        return "avg_pool", {"kernel_size": _ints(module.kernel_size, dims),
                            "stride": _ints(module.stride or module.kernel_size, dims),
                            "padding": _ints(module.padding, dims), "ceil_mode": bool(module.ceil_mode),
                            "count_include_pad": bool(module.count_include_pad),
                            "divisor_override": None if override is None else int(override)}, {}
    if type(module) in (nn.AdaptiveAvgPool1d, nn.AdaptiveAvgPool2d, nn.AdaptiveMaxPool1d, nn.AdaptiveMaxPool2d):
        if getattr(module, "return_indices", False):
            return None
        dims = 1 if type(module) in (nn.AdaptiveAvgPool1d, nn.AdaptiveMaxPool1d) else 2
        size = module.output_size if isinstance(module.output_size, (tuple, list)) else (module.output_size,) * dims
        if any(v is None for v in size):
            return None
        kind = "adaptive_avg_pool" if type(module) in (nn.AdaptiveAvgPool1d, nn.AdaptiveAvgPool2d) else \
            "adaptive_max_pool"
        return kind, {"output_size": [int(v) for v in size]}, {}
    if type(module) in (nn.LSTM, nn.GRU, nn.RNN):
        if sum(getattr(module, name).numel() for name in module._flat_weights_names) > RECURRENT_PARAMETERS_MAX:
            return None  # its copy would make the coverage file too large to read back
        if isinstance(module, nn.RNN):
            kind = "rnn_tanh" if module.nonlinearity == "tanh" else "rnn_relu"
        else:
            kind = "lstm" if isinstance(module, nn.LSTM) else "gru"
        settings: dict[str, Any] = {"input_size": int(module.input_size), "hidden_size": int(module.hidden_size),
                                    "num_layers": int(module.num_layers), "bias": bool(module.bias),
                                    "bidirectional": bool(module.bidirectional)}
        if kind == "lstm":
            settings["proj_size"] = int(module.proj_size)
        return kind, settings, {name: _float64(getattr(module, name)) for name in module._flat_weights_names}
    if type(module) is nn.MultiheadAttention:
        # Self-attention with one packed projection (checked on the fitting inputs).
        if not (module._qkv_same_embed_dim and module.bias_k is None
                and not module.add_zero_attn and module.in_proj_weight is not None):
            return None
        return "attention", {"num_heads": int(module.num_heads)}, {
            "in_proj_weight": _float64(module.in_proj_weight), "in_proj_bias": _float64(module.in_proj_bias),
            "out_proj_weight": _float64(module.out_proj.weight), "out_proj_bias": _float64(module.out_proj.bias)}
    return None


class ExactLink:
    """A link whose Z layer is recomputed from its S: an elementwise
    activation (`kind` one of the elementwise kinds; reshapes such as
    `nn.Flatten` and dropout in evaluation mode are "identity"), or a norm,
    pooling, self-attention or recurrent layer ("lstm", "gru", "rnn_tanh",
    "rnn_relu": its output sequence from a zero initial state, batch first)
    recomputed in float64 with a stored copy of its clean parameters and
    buffers (`params`, by PyTorch's names). `settings` holds what
    else the function reads; `tolerance` the largest error that counts as
    rounding. The error of an input is the largest over its elements of
    |z - f(s)| / (|z| + |f(s)| + the root mean square of f(s) over the
    input), so rounding of values near zero does not count, and any
    corrupted element or changed parameter beyond rounding does.
    `residual` is None where the layer reads S alone, else the index (in
    the coverage's layer list, below the link's S) of the earlier layer A
    whose output the model adds to S before the layer: Z = f(S + A)."""

    def __init__(self, link: int, kind: str, settings: dict[str, Any], params: dict[str, np.ndarray],
                 tolerance: float, residual: int | None = None) -> None:
        self.link, self.kind = int(link), kind
        self.residual = None if residual is None else int(residual)
        self.settings = dict(settings)
        self.params = {key: np.asarray(value, dtype=np.float64) for key, value in params.items()}
        self.tolerance = float(tolerance)
        self._cache: dict[str, dict[str, torch.Tensor]] = {}
        self._recurrent: dict[str, torch.nn.RNNBase] = {}

    @classmethod
    def of(cls, link: int, module: torch.nn.Module) -> ExactLink | None:
        """The exact link of a module it can recompute, or None."""
        elementwise = _elementwise_kind(module)
        if elementwise is not None:
            return cls(link, elementwise[0], elementwise[1], {}, 0.0)
        found = _parameterised(module)
        if found is None:
            return None
        kind, settings, params = found
        return cls(link, kind, settings, {key: value for key, value in params.items() if value is not None}, 0.0)

    def _on(self, device: torch.device) -> dict[str, torch.Tensor]:
        key = str(device)
        if key not in self._cache:
            self._cache[key] = {name: torch.from_numpy(value).to(device) for name, value in self.params.items()}
        return self._cache[key]

    def _recurrent_module(self, device: torch.device) -> torch.nn.RNNBase:
        """The clean recurrent layer in float64 on `device`, batch first
        (the guards read every layer batch first)."""
        key = str(device)
        if key not in self._recurrent:
            settings = self.settings
            name = _RECURRENT[self.kind][0]
            extra: dict[str, Any] = {"proj_size": settings["proj_size"]} if self.kind == "lstm" else {}
            if name == "RNN":
                extra["nonlinearity"] = self.kind[len("rnn_"):]
            # Built on the meta device: no random initialisation, so the global generator is left alone.
            module = getattr(torch.nn, name)(
                settings["input_size"], settings["hidden_size"], settings["num_layers"], bias=settings["bias"],
                batch_first=True, bidirectional=settings["bidirectional"], device="meta", dtype=torch.float64,
                **extra).to_empty(device=device)
            with torch.no_grad():
                for parameter, value in self._on(device).items():
                    getattr(module, parameter).copy_(value)
            self._recurrent[key] = module.eval()
        return self._recurrent[key]

    def recompute(self, s: torch.Tensor) -> torch.Tensor:
        """Z as the clean layer computes it from a float64 batch of S."""
        kind, settings = self.kind, self.settings
        if kind in _ELEMENTWISE:
            return _ELEMENTWISE[kind][0](s, settings)  # type: ignore[no-any-return]
        if kind in _RECURRENT:
            # The output sequence from a zero initial state, as the layer gives it when called without one.
            if s.ndim != 3:
                raise ValueError(f"{kind} of link {self.link}: S must be a batch of sequences")
            output: torch.Tensor = self._recurrent_module(s.device)(s)[0]
            return output
        p = self._on(s.device)
        if kind == "layer_norm":
            return F.layer_norm(s, settings["normalized_shape"], p.get("weight"), p.get("bias"), settings["eps"])
        if kind == "batch_norm":
            return F.batch_norm(s, p["running_mean"], p["running_var"], p.get("weight"), p.get("bias"), False, 0.0,
                                settings["eps"])
        if kind == "group_norm":
            return F.group_norm(s, settings["num_groups"], p.get("weight"), p.get("bias"), settings["eps"])
        dims = s.ndim - 2
        if kind == "max_pool":
            pool = F.max_pool1d if dims == 1 else F.max_pool2d
            return pool(s, settings["kernel_size"], settings["stride"], settings["padding"],
                        settings["dilation"], ceil_mode=settings["ceil_mode"])
        if kind == "avg_pool":
            if dims == 1:
                return F.avg_pool1d(s, settings["kernel_size"], settings["stride"], settings["padding"],
                                    settings["ceil_mode"], settings["count_include_pad"])
            return F.avg_pool2d(s, settings["kernel_size"], settings["stride"], settings["padding"],
                                settings["ceil_mode"], settings["count_include_pad"], settings["divisor_override"])
        if kind == "adaptive_avg_pool":
            adaptive = F.adaptive_avg_pool1d if dims == 1 else F.adaptive_avg_pool2d
            return adaptive(s, settings["output_size"])
        if kind == "adaptive_max_pool":
            adaptive = F.adaptive_max_pool1d if dims == 1 else F.adaptive_max_pool2d
            return adaptive(s, settings["output_size"])
        assert kind == "attention"
        if s.ndim != 3:
            raise ValueError(f"attention of link {self.link}: S must be a batch of sequences")
        x = s.transpose(0, 1)  # the (tokens, batch, features) layout of the functional form
        out, _ = F.multi_head_attention_forward(
            x, x, x, x.shape[-1], settings["num_heads"], p["in_proj_weight"], p.get("in_proj_bias"), None, None,
            False, 0.0, p["out_proj_weight"], p.get("out_proj_bias"), training=False, need_weights=False)
        return out.transpose(0, 1)

    def _compare(self, again: torch.Tensor, z: torch.Tensor) -> np.ndarray:
        rows = z.shape[0]
        if again.numel() != z.numel():
            raise ValueError(f"exact link {self.link} ({self.kind}): the layer's input and output shapes do not "
                             "fit it")
        f, z = again.reshape(rows, -1), z.reshape(rows, -1).to(device=again.device, dtype=torch.float64)
        with torch.no_grad():
            scale = f.square().mean(dim=1, keepdim=True).sqrt() if f.shape[1] else f.sum(dim=1, keepdim=True)
            error = (z - f).abs() / (z.abs() + f.abs() + scale + 1e-300)
            error = torch.where(torch.isnan(error), torch.full_like(error, math.inf), error)
            if not error.shape[1]:
                return np.zeros(rows)
            return error.amax(dim=1).cpu().numpy().astype(np.float64)

    def errors(self, s: Any, z: Any, s_shape: tuple[int, ...], z_shape: tuple[int, ...]) -> np.ndarray:
        """Per input, the largest relative error of Z against the layer
        recomputed from S (float64; inf for NaN)."""
        return self.checked(s, z, s_shape, z_shape)[0]

    def checked(self, s: Any, z: Any, s_shape: tuple[int, ...],
                z_shape: tuple[int, ...]) -> tuple[np.ndarray, np.ndarray]:
        """`errors`, and per input whether the layer's output may lie beyond
        float32's range: the recomputed Z does, or Z is not finite where S
        holds values beyond 2^64 (about the square root of float32's
        largest value), so that the float32 layer's own sums or products
        (a norm's variance, a pooling sum, attention's or a recurrent
        layer's weighted sums) may overflow though its result would not."""
        s_t = _shaped(s, s_shape).to(torch.float64)
        z_t = _tensor(z).detach()
        with torch.no_grad():
            again = self.recompute(s_t)
            errors = self._compare(again, z_t)
            rows = z_t.shape[0]
            beyond = ~(again.reshape(rows, -1).abs() <= _FLOAT32_MAX).all(dim=1)
            huge = ~(s_t.reshape(rows, -1).abs() <= _SQUARE_SAFE).all(dim=1)
            broken = ~torch.isfinite(z_t.reshape(rows, -1).to(again.device)).all(dim=1)
        return errors, (beyond | (huge & broken)).cpu().numpy()

    def reproduces(self, s: torch.Tensor, z: torch.Tensor) -> np.ndarray | None:
        """The errors of a clean batch where the recomputed Z matches the
        layer's (up to rounding), else None (S is not the layer's input)."""
        try:
            with torch.no_grad():
                again = self.recompute(s.detach().to(torch.float64))
        except (RuntimeError, ValueError, TypeError, IndexError):
            return None
        if again.numel() != z.numel():
            return None
        z64 = z.detach().reshape(again.shape).to(device=again.device, dtype=torch.float64)
        scale = float(z64.abs().max()) if z64.numel() else 0.0
        if not torch.allclose(again, z64, rtol=1e-4, atol=1e-5 * max(scale, 1e-30)):
            return None
        return self._compare(again, z64)

    def to_dict(self) -> dict[str, Any]:
        d = {"link": self.link, "kind": self.kind, "settings": dict(self.settings),
             "params": {key: value.tolist() for key, value in self.params.items()},
             "tolerance": self.tolerance}
        if self.residual is not None:  # links without it are written as before
            d["residual"] = self.residual
        return d

    @classmethod
    def from_dict(cls, d: Any) -> ExactLink:
        """An exact link from its dictionary; whether its residual layer is
        an earlier layer of S's shape is checked by `Guards.from_dict`."""
        keys = {"link", "kind", "settings", "params", "tolerance"}
        if not isinstance(d, dict) or set(d) not in (keys, keys | {"residual"}):
            raise ValueError(f"exact link: expected the keys {sorted(keys)} (and optionally residual)")
        kind = d["kind"]
        if not isinstance(kind, str) or (kind not in _ELEMENTWISE and kind not in _SETTINGS):
            raise ValueError(f"exact link: unknown kind {kind!r}")
        if not isinstance(d["link"], int) or isinstance(d["link"], bool) or d["link"] < 0:
            raise ValueError("exact link: link must be a non-negative int")
        residual = d.get("residual")
        if residual is not None:
            if kind not in _RESIDUAL_KINDS:
                raise ValueError(f"exact link ({kind}): this kind reads no residual")
            if not isinstance(residual, int) or isinstance(residual, bool) or not 0 <= residual < d["link"]:
                raise ValueError("exact link: residual must be the index of a layer before the link's S")
        tolerance = d["tolerance"]
        if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or not math.isfinite(tolerance) \
                or tolerance <= 0:
            raise ValueError("exact link: tolerance must be a positive finite number")
        settings = _checked_settings(kind, d["settings"])
        params = d["params"]
        if kind in _RECURRENT:
            if not isinstance(params, dict) or len(params) != _recurrent_count(settings):
                raise ValueError(f"exact link ({kind}): the parameters do not fit the settings")
            required, optional = set(_recurrent_shapes(kind, settings)), set[str]()
        else:
            required, optional = _PARAMETERS.get(kind, (set(), set()))
        if not isinstance(params, dict) or not required <= set(params) <= required | optional:
            raise ValueError(f"exact link ({kind}): expected the parameters {sorted(required)} "
                             f"(and optionally {sorted(optional)})")
        arrays = {}
        for name, value in params.items():
            try:
                array = np.asarray(value, dtype=np.float64)
            except (TypeError, ValueError):
                raise ValueError(f"exact link ({kind}): parameter {name} must be an array of numbers") from None
            if array.ndim == 0 or not np.isfinite(array).all():
                raise ValueError(f"exact link ({kind}): parameter {name} must be an array of finite numbers")
            arrays[name] = array
        _check_parameter_shapes(kind, settings, arrays)
        return cls(d["link"], kind, settings, arrays, tolerance, residual)


def _checked_settings(kind: str, settings: Any) -> dict[str, Any]:
    """The settings of a stored exact link, checked against its kind."""
    if kind in _ELEMENTWISE:
        names = _ELEMENTWISE[kind][1]
        if not isinstance(settings, dict) or set(settings) != set(names):
            raise ValueError(f"exact link ({kind}): expected the settings {sorted(names)}")
        for name in names:
            value = settings[name]
            if name == "approximate":
                if value not in ("none", "tanh"):
                    raise ValueError("exact link (gelu): approximate must be 'none' or 'tanh'")
            elif isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
                raise ValueError(f"exact link ({kind}): {name} must be a finite number")
        return dict(settings)
    expected = _SETTINGS[kind]
    if not isinstance(settings, dict) or set(settings) != set(expected):
        raise ValueError(f"exact link ({kind}): expected the settings {sorted(expected)}")
    for name, form in expected.items():
        value = settings[name]
        ok = {_FLOAT: lambda v: not isinstance(v, bool) and isinstance(v, (int, float)) and math.isfinite(v)
              and v >= 0,
              _INT: lambda v: isinstance(v, int) and not isinstance(v, bool) and v > 0,
              _BOOL: lambda v: isinstance(v, bool),
              _INTS: lambda v: isinstance(v, list) and 1 <= len(v) <= 3 and all(
                  isinstance(i, int) and not isinstance(i, bool) and i >= 0 for i in v),
              _OPTIONAL_INT: lambda v: v is None or (isinstance(v, int) and not isinstance(v, bool) and v > 0),
              _COUNT: lambda v: isinstance(v, int) and not isinstance(v, bool) and v >= 0,
              }[form](value)
        if not ok:
            raise ValueError(f"exact link ({kind}): bad setting {name}={value!r}")
    if kind == "lstm" and settings["proj_size"] >= settings["hidden_size"]:
        raise ValueError("exact link (lstm): proj_size must be smaller than hidden_size")
    return dict(settings)


def _recurrent_count(settings: dict[str, Any]) -> int:
    """How many parameter tensors a recurrent layer with `settings` has."""
    per_direction = 2 + (2 if settings["bias"] else 0) + (1 if settings.get("proj_size", 0) else 0)
    return int(settings["num_layers"]) * (2 if settings["bidirectional"] else 1) * per_direction


def _recurrent_shapes(kind: str, settings: dict[str, Any]) -> dict[str, tuple[int, ...]]:
    """Each parameter's name and shape in a recurrent layer of `kind` with
    `settings` (PyTorch's names: weight_ih_l0, bias_hh_l1_reverse, ...)."""
    gates, hidden = _RECURRENT[kind][1] * settings["hidden_size"], settings["hidden_size"]
    projected = settings.get("proj_size", 0)
    out = projected or hidden
    suffixes = ("", "_reverse") if settings["bidirectional"] else ("",)
    shapes: dict[str, tuple[int, ...]] = {}
    for layer in range(settings["num_layers"]):
        width = settings["input_size"] if layer == 0 else out * len(suffixes)
        for suffix in suffixes:
            shapes[f"weight_ih_l{layer}{suffix}"] = (gates, width)
            shapes[f"weight_hh_l{layer}{suffix}"] = (gates, out)
            if settings["bias"]:
                shapes[f"bias_ih_l{layer}{suffix}"] = (gates,)
                shapes[f"bias_hh_l{layer}{suffix}"] = (gates,)
            if projected:
                shapes[f"weight_hr_l{layer}{suffix}"] = (projected, hidden)
    return shapes


def _check_parameter_shapes(kind: str, settings: dict[str, Any], params: dict[str, np.ndarray]) -> None:
    def fail() -> ValueError:
        return ValueError(f"exact link ({kind}): parameters of inconsistent shapes")

    shapes = {name: array.shape for name, array in params.items()}
    if kind in _RECURRENT and shapes != _recurrent_shapes(kind, settings):
        raise fail()
    if kind == "layer_norm" and any(shape != tuple(settings["normalized_shape"]) for shape in shapes.values()):
        raise fail()
    if kind in ("batch_norm", "group_norm") and (len(set(shapes.values())) > 1
                                                or any(len(shape) != 1 for shape in shapes.values())):
        raise fail()
    if kind == "batch_norm" and (params["running_var"] < 0).any():
        raise ValueError("exact link (batch_norm): running_var must not be negative")
    if kind == "attention":
        width = shapes["out_proj_weight"][0] if len(shapes["out_proj_weight"]) == 2 else -1
        expected = {"in_proj_weight": (3 * width, width), "in_proj_bias": (3 * width,),
                    "out_proj_weight": (width, width), "out_proj_bias": (width,)}
        if width <= 0 or width % settings["num_heads"] or any(shapes[name] != expected[name] for name in shapes):
            raise fail()


# --- both stages, as score columns of a coverage -----------------------------------


class Guards:
    """A coverage's range stage and checksum links: `columns()` names the
    score columns they add ("range", "checksum"); `scores(outputs)` gives,
    per input, each column's score and the index of the link it blames;
    `calibration` holds each column's sorted scores of the coverage's clean
    calibration inputs."""

    def __init__(self, layers: list[str], shapes: dict[str, tuple[int, ...]], ranges: RangeStage | None,
                 checksums: list[ChecksumLink | ExactLink], calibration: np.ndarray) -> None:
        self.layers = list(layers)
        self.shapes = dict(shapes)
        self.ranges = ranges
        self.checksums = list(checksums)
        self.calibration = np.sort(np.asarray(calibration, dtype=np.float64), axis=0)

    def columns(self) -> list[str]:
        return (["range"] if self.ranges is not None else []) + (["checksum"] if self.checksums else [])

    @property
    def checked_links(self) -> list[int]:
        """Indices of the links with an exact check (a checksum or an
        exact link), in the "checksum" column."""
        return [checksum.link for checksum in self.checksums]

    def scores(self, outputs: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        """(inputs, columns) scores and the blamed link of each."""
        scores, owners, _ = self.checked(outputs)
        return scores, owners

    def checked(self, outputs: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """`scores`, and per input whether it lies outside float32's reach:
        the first exact check in link order that it breaks is one whose
        layer output may lie beyond float32's range for it (see
        `ExactLink.checked`). Its mismatch is then the input's doing (values
        too large for the model's float32 arithmetic), not the model's; an
        exact check it breaks before that, within range, still speaks for a
        fault."""
        parts, owners = [], []
        rows = len(_tensor(outputs[self.layers[0]]))
        outside = np.zeros(rows, dtype=bool)
        if self.ranges is not None:
            score, owner = self.ranges.scores(
                {name: _channel_extremes(outputs[name], self.shapes[name]) for name in self.layers})
            parts.append(score)
            owners.append(owner)
        if self.checksums:
            score, owner, outside = self._checksum_scores(outputs)
            parts.append(score)
            owners.append(owner)
        return np.stack(parts, axis=1), np.stack(owners, axis=1).astype(np.int64), outside

    def _checksum_scores(self, outputs: dict[str, Any]) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        checked = [self._checked(checksum, outputs) for checksum in self.checksums]
        ratios = np.stack([errors / checksum.tolerance for (errors, _), checksum in zip(checked, self.checksums)],
                          axis=1)
        beyond = np.stack([flags for _, flags in checked], axis=1)
        ratios = np.where(ratios > 1.0, ratios, 0.0)
        rows = np.arange(len(ratios))
        # checksums are kept in link order: the first one broken or beyond range decides
        first = ((ratios > 0) | beyond).argmax(axis=1)
        outside = beyond[rows, first]
        best = ratios.argmax(axis=1)
        links = np.array(self.checked_links)
        return ratios[rows, best], links[best], outside

    def _checked(self, checksum: ChecksumLink | ExactLink, outputs: dict[str, Any]) -> tuple[np.ndarray, np.ndarray]:
        s, z = self.layers[checksum.link], self.layers[checksum.link + 1]
        return checksum.checked(_link_input(checksum, outputs, self.layers, self.shapes), outputs[z], self.shapes[s],
                                self.shapes[z])

    def to_dict(self) -> dict[str, Any]:
        return {"ranges": None if self.ranges is None else self.ranges.to_dict(),
                "checksums": [checksum.to_dict() for checksum in self.checksums],
                "calibration": self.calibration.T.tolist()}

    @classmethod
    def from_dict(cls, d: Any, layers: list[str], shapes: dict[str, tuple[int, ...]], rows: int) -> Guards:
        """Rebuilds the stages of a coverage file; `rows` is the coverage's
        number of calibration inputs. Raises `ValueError` for anything
        missing or inconsistent."""
        if not isinstance(d, dict) or set(d) != {"ranges", "checksums", "calibration"}:
            raise ValueError("guards: expected the keys ranges, checksums and calibration")
        ranges = None if d["ranges"] is None else RangeStage.from_dict(d["ranges"], layers, shapes)
        if not isinstance(d["checksums"], list):
            raise ValueError("guards: checksums must be a list")
        checksums: list[ChecksumLink | ExactLink] = [
            ChecksumLink.from_dict(item) if isinstance(item, dict) and item.get("kind") in _CHECKSUM_KINDS
            else ExactLink.from_dict(item) for item in d["checksums"]]
        if any(checksum.link >= len(layers) - 1 for checksum in checksums):
            raise ValueError("guards: a checksum names a link the coverage does not have")
        links = [checksum.link for checksum in checksums]
        if links != sorted(set(links)):
            raise ValueError("guards: each link has at most one exact check, in link order")
        for checksum in checksums:
            if isinstance(checksum, ExactLink):
                if checksum.residual is not None and shapes[layers[checksum.residual]] != shapes[layers[checksum.link]]:
                    raise ValueError(f"guards: exact link {checksum.link} adds a layer whose shape is not its S's")
                _check_fits(checksum, shapes[layers[checksum.link]], shapes[layers[checksum.link + 1]])
        guards = cls(layers, shapes, ranges, checksums, np.zeros((0, 0)))
        try:
            calibration = np.asarray(d["calibration"], dtype=np.float64)
        except (TypeError, ValueError):
            raise ValueError("guards: calibration must be one list of numbers per column") from None
        columns = len(guards.columns())
        if columns == 0 or calibration.shape != (columns, rows) or not np.isfinite(calibration).all():
            raise ValueError(f"guards: calibration must be {columns} lists of {rows} finite numbers")
        guards.calibration = np.sort(calibration.T, axis=0)
        return guards


_CHECKSUM_KINDS = ("linear", "conv1d", "conv2d")


def _link_input(checksum: ChecksumLink | ExactLink, outputs: dict[str, Any], layers: list[str],
                shapes: dict[str, tuple[int, ...]]) -> Any:
    """What the link's layer reads: its S, or for an exact link across a
    residual add, S plus the residual layer's output (float64, S's shape)."""
    s = outputs[layers[checksum.link]]
    if not isinstance(checksum, ExactLink) or checksum.residual is None:
        return s
    shape = shapes[layers[checksum.link]]
    s_t = _shaped(s, shape).to(torch.float64)
    return s_t + _shaped(outputs[layers[checksum.residual]], shape).to(device=s_t.device, dtype=torch.float64)


def _check_fits(link: ExactLink, s_shape: tuple[int, ...], z_shape: tuple[int, ...]) -> None:
    """Refuses a stored exact link that cannot map its S layer's shape to
    its Z layer's."""
    try:
        with torch.no_grad():
            again = link.recompute(torch.zeros((1, *s_shape), dtype=torch.float64))
    except (RuntimeError, ValueError, TypeError, IndexError) as error:
        raise ValueError(f"guards: exact link {link.link} ({link.kind}) does not fit its layers: {error}") from None
    if again.numel() != math.prod(z_shape):
        raise ValueError(f"guards: exact link {link.link} ({link.kind}) does not fit its layers' shapes")


def _module_of(named: dict[str, torch.nn.Module], name: str) -> torch.nn.Module | None:
    """The module whose output the layer `name` is, or None: a layer that
    selects an item of a module's output has one only where it is the
    attention output, "[0]", of an `nn.MultiheadAttention`, or the output
    sequence, "[0]", of a recurrent layer."""
    if name in ("", "input", "output"):
        return None
    if name in named:
        return named[name]
    split = _split_selectors(name)
    if split is not None and split[1] == ("0",) and isinstance(named.get(split[0]),
                                                               (torch.nn.MultiheadAttention, torch.nn.RNNBase)):
        return named[split[0]]
    return None


class GuardBuilder:
    """Collects, batch by batch of a model's clean layer outputs
    (`observe`), what the stages are fitted on: each layer's per-input
    channel extremes and each checksum's per-input errors; `take` returns
    them and starts afresh. A checksum whose layer does not reproduce its Z
    from its S (the S layer is not the layer's own input) is dropped."""

    def __init__(self, layers: list[str], modules: dict[str, torch.nn.Module | None], *, range_stage: bool,
                 checksums: bool, random_state: int) -> None:
        self.layers, self.range_stage = list(layers), range_stage
        self.modules = modules
        self.shapes: dict[str, tuple[int, ...]] = {}
        self.checksums: list[ChecksumLink | ExactLink] = []
        self.dropped: set[int] = set()
        # Links whose checksum still needs its activation chosen, or whose
        # exact link its input (S alone or S plus an earlier layer: first batch).
        self._undecided: set[int] = set()
        if checksums:
            for j, name in enumerate(self.layers[1:]):
                module = modules.get(name)
                if module is None:
                    continue
                checksum: ChecksumLink | ExactLink | None = ChecksumLink.of(j, module, random_state + 7919 * (j + 1))
                if checksum is None:
                    checksum = ExactLink.of(j, module)
                if checksum is not None:
                    self._undecided.add(j)
                    self.checksums.append(checksum)
        self._parts: dict[str, list[np.ndarray]] = {}

    @classmethod
    def for_model(cls, model: torch.nn.Module, layers: list[str], *, range_stage: bool, checksums: bool,
                  random_state: int) -> GuardBuilder | None:
        """A builder for the named layers of `model` (names as `cover` takes
        them: a submodule, "input", "output", with selectors), or None with
        both stages off."""
        if not (range_stage or checksums):
            return None
        named = dict(model.named_modules())
        modules = {name: _module_of(named, name) for name in layers}
        return cls(layers, modules, range_stage=range_stage, checksums=checksums, random_state=random_state)

    def observe(self, outputs: dict[str, torch.Tensor]) -> None:
        """Takes one batch of raw layer outputs (batch first)."""
        for name in self.layers:
            if name not in self.shapes:
                self.shapes[name] = tuple(int(v) for v in outputs[name].shape[1:]) or (1,)
        if self.range_stage:
            for name in self.layers:
                low, high = _channel_extremes(outputs[name], self.shapes[name])
                self._parts.setdefault(f"extremes:{name}", []).append(np.stack([low, high], axis=1))
        for checksum in self.checksums:
            if checksum.link in self.dropped:
                continue
            s, z = self.layers[checksum.link], self.layers[checksum.link + 1]
            if isinstance(checksum, ExactLink):
                if checksum.link in self._undecided:
                    self._undecided.discard(checksum.link)
                    errors = checksum.reproduces(outputs[s], outputs[z])
                    if errors is None:
                        errors = self._residual(checksum, outputs)
                else:
                    errors = checksum.reproduces(_link_input(checksum, outputs, self.layers, self.shapes),
                                                 outputs[z])
                if errors is None:
                    self.dropped.add(checksum.link)
                    continue
            else:
                if checksum.link in self._undecided:
                    self._undecided.discard(checksum.link)
                    checksum.activation = self._activation(checksum.link, outputs[s], outputs[z])
                if checksum.activation == "" or not self._reproduces(checksum.link, outputs[s], outputs[z],
                                                                       checksum.activation):
                    self.dropped.add(checksum.link)
                    continue
                errors = checksum.errors(outputs[s], outputs[z], self.shapes[s], self.shapes[z])
            if outputs[s].dtype == torch.float64 or outputs[z].dtype == torch.float64:
                # A watcher reads the layers as float32 rows: their rounding counts as clean too.
                read = [s, z] + ([self.layers[checksum.residual]]
                                 if isinstance(checksum, ExactLink) and checksum.residual is not None else [])
                rows = {name: outputs[name].float() for name in read}
                errors = np.maximum(errors, checksum.errors(_link_input(checksum, rows, self.layers, self.shapes),
                                                            rows[z], self.shapes[s], self.shapes[z]))
            self._parts.setdefault(f"checksum:{checksum.link}", []).append(errors)

    def exact_links(self) -> set[int]:
        """The links whose exact check (a checksum or an exact link) held on
        every batch observed so far: their Z is known exactly from their S."""
        return {checksum.link for checksum in self.checksums if checksum.link not in self.dropped}

    def _residual(self, link: ExactLink, outputs: dict[str, torch.Tensor]) -> np.ndarray | None:
        """The clean errors of `link` recomputed from S plus the nearest
        earlier layer of S's shape that reproduces Z (kept as the link's
        `residual`), or None where none does or the layer reads no sum."""
        if link.kind not in _RESIDUAL_KINDS:
            return None
        s = outputs[self.layers[link.link]]
        for index in range(link.link - 1, -1, -1):
            a = outputs[self.layers[index]]
            if a.shape != s.shape or not a.is_floating_point():
                continue
            errors = link.reproduces(s.detach().to(torch.float64) + a.detach().to(device=s.device,
                                                                                dtype=torch.float64),
                                     outputs[self.layers[link.link + 1]])
            if errors is not None:
                link.residual = index
                return errors
        return None

    def _activation(self, link: int, s: torch.Tensor, z: torch.Tensor) -> str | None:
        """The activation between S and the link's layer that reproduces Z:
        None for none, a key of `ACTIVATIONS`, or "" where none does."""
        if self._reproduces(link, s, z, None):
            return None
        for name in ACTIVATIONS:
            if self._reproduces(link, s, z, name):
                return name
        return ""

    def take(self) -> dict[str, np.ndarray]:
        """Per-input summaries observed since the last `take`:
        "extremes:<layer>" (inputs, 2, channels) and "checksum:<link>"
        (inputs,)."""
        parts, self._parts = self._parts, {}
        return {key: np.concatenate(values) for key, values in parts.items()}

    def _reproduces(self, link: int, s: torch.Tensor, z: torch.Tensor, activation: str | None) -> bool:
        """Whether the link's Z layer applied to S (after `activation`)
        gives Z (up to rounding)."""
        module = self.modules[self.layers[link + 1]]
        assert module is not None
        try:
            with torch.no_grad():
                if activation is not None:
                    function, settings = ACTIVATIONS[activation]
                    s = _ELEMENTWISE[function][0](s, settings)
                again = module(s)
        except (RuntimeError, ValueError, TypeError):
            return False
        if not isinstance(again, torch.Tensor) or again.shape != z.shape:
            return False
        scale = float(z.abs().max()) if z.numel() else 0.0
        return bool(torch.allclose(again, z, rtol=1e-4, atol=1e-5 * max(scale, 1e-30)))

    def fit(self, train: dict[str, np.ndarray], calibration: dict[str, np.ndarray]) -> tuple[Guards, np.ndarray] | None:
        """The fitted stages and their (unsorted) scores of the calibration
        inputs, or None when neither stage applies."""
        ranges = None
        if self.range_stage:
            ranges = RangeStage.fit(self.layers, self.shapes, {
                name: (train[f"extremes:{name}"][:, 0], train[f"extremes:{name}"][:, 1]) for name in self.layers})
        checksums = []
        for checksum in self.checksums:
            key = f"checksum:{checksum.link}"
            if checksum.link in self.dropped or key not in train or key not in calibration:
                self.dropped.add(checksum.link)
                continue
            largest = float(np.max(train[key], initial=0.0))
            if not math.isfinite(largest):
                self.dropped.add(checksum.link)
                continue
            checksum.tolerance = max(CHECKSUM_TOLERANCE_FACTOR * largest, CHECKSUM_TOLERANCE_FLOOR)
            checksums.append(checksum)
        if ranges is None and not checksums:
            return None
        guards = Guards(self.layers, self.shapes, ranges, checksums, np.zeros((1, 1)))
        columns = []
        if ranges is not None:
            columns.append(ranges.scores({name: (calibration[f"extremes:{name}"][:, 0],
                                                 calibration[f"extremes:{name}"][:, 1]) for name in self.layers})[0])
        if checksums:
            ratios = np.stack([calibration[f"checksum:{c.link}"] / c.tolerance for c in checksums], axis=1)
            columns.append(np.where(ratios > 1.0, ratios, 0.0).max(axis=1))
        scores = np.stack(columns, axis=1)
        guards.calibration = np.sort(scores, axis=0)
        return guards, scores
