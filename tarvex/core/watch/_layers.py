"""Layer names: which output of a model a name such as "hidden1",
"output", "output[0]" or "encoder[last_hidden_state]" means, how that output
is picked out of what the module returned and turned into one float32 row per
input, and persistent hooks that hand every forward pass's rows to a
callback (`LayerTap`).

A name is a submodule name of `model.named_modules()`, "output" (the
model's own output) or "input" (the model's first positional argument, as
the model receives it; a submodule called "input" takes precedence),
optionally followed by selectors in brackets that pick
an item out of a tuple, list or dict output: `[0]` or `[-1]` index a tuple
or list (or name a field of a named tuple), `[key]` takes a dict entry.
Selectors chain: "lstm[1][0]". A name that is itself a submodule name is
always taken as that submodule, brackets included.

Every captured tensor must hold the batch in its first dimension. A last
selector `[batch=k]` says that dimension k holds the batch instead; the
tensor is read with that dimension moved to the front ("dec[batch=1]" for a
module that returns (tokens, batch, features)). The outputs of PyTorch's
recurrent and transformer modules that are not batch-first are moved that
way without being asked: an `nn.LSTM`'s `h_n` and `c_n` ("lstm[1][0]",
"lstm[1][1]"), an `nn.GRU`'s or `nn.RNN`'s `h_n` ("gru[1]"), their outputs
("lstm[0]") and the outputs of transformer layers, encoders, decoders and
attention ("attn[0]") made without `batch_first=True`. An explicit
`[batch=k]` replaces that rule.
"""

from __future__ import annotations

import difflib
import re
import threading
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from typing import Any, Callable

import numpy as np
import torch

OUTPUT = "output"
INPUT = "input"

_SELECTOR = re.compile(r"\[([^\[\]]+)\]")
_BATCH_SELECTOR = re.compile(r"batch\s*=\s*(-?\d+)")


@dataclass(frozen=True)
class Layer:
    """One resolved name: `module` is the submodule to hook (None for the
    model's own output or input), `keys` the selectors applied to what it
    returns and `is_input` whether it is the model's first positional
    argument. `batch_dim` is the dimension of the selected tensor that holds
    the batch when it is not the first (None: the first); a rule that only
    holds for tensors of `batch_ndim` dimensions (a recurrent module's
    outputs, which lose their batch dimension for an unbatched input) sets
    that number too."""

    name: str
    module_name: str | None
    module: torch.nn.Module | None
    keys: tuple[str, ...] = ()
    is_input: bool = False
    batch_dim: int | None = None
    batch_ndim: int | None = None


def _split_selectors(name: str) -> tuple[str, tuple[str, ...]] | None:
    """("base", ("k1", "k2")) for "base[k1][k2]", or None if `name` does not
    end in well-formed selectors."""
    start = name.find("[")
    if start <= 0:
        return None
    tail = name[start:]
    keys = _SELECTOR.findall(tail)
    if "".join(f"[{key}]" for key in keys) != tail:
        return None
    return name[:start], tuple(key.strip() for key in keys)


def _unknown(name: str, names: list[str]) -> ValueError:
    base = _split_selectors(name)
    probe = base[0] if base else name
    candidates = [INPUT] + names + [OUTPUT]
    close = difflib.get_close_matches(probe, candidates, n=5, cutoff=0.5)
    hint = f"close matches: {close}" if close else f"available: {candidates[:20]}"
    return ValueError(f"model has no submodule named {probe!r}; {hint}")


def resolve(model: torch.nn.Module, named: Sequence[tuple[str, Any]]) -> list[Layer]:
    """Resolves each (argument label, name) pair against `model`, checking
    every name before returning. A name that is not a str raises `TypeError`,
    an unknown one `ValueError` with the close matches. A model with a
    top-level submodule called "output" gets a `UserWarning`: that name
    always means the model's own output, so the submodule cannot be read."""
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    modules = dict(model.named_modules())
    names = [name for name in modules if name]
    layers = []
    for label, name in named:
        if not isinstance(name, str):
            raise TypeError(f"{label} must be a layer name (str), got {type(name).__name__}")
        layers.append(_resolve_one(modules, names, name))
    if OUTPUT in modules:
        warnings.warn(f"model has a submodule named {OUTPUT!r}, which cannot be read: the name {OUTPUT!r} "
                      "always means the model's own output; read one of its children or the layer after it",
                      UserWarning, stacklevel=3)
    return layers


def _resolve_one(modules: dict[str, torch.nn.Module], names: list[str], name: str) -> Layer:
    model = modules.get("")
    if name == OUTPUT:
        return _with_batch(Layer(name, None, None), model)
    if name and name in modules:
        return _with_batch(Layer(name, name, modules[name]), modules[name])
    if name == INPUT:
        return Layer(name, None, None, is_input=True)
    split = _split_selectors(name)
    if split is None:
        raise _unknown(name, names)
    base, keys = split
    batch = _batch_selector(name, keys)
    if batch is not None:
        keys = keys[:-1]
    if base == OUTPUT:
        return _with_batch(Layer(name, None, None, keys), model, batch)
    if base == INPUT and base not in modules:
        return Layer(name, None, None, keys, is_input=True, batch_dim=batch)
    if base not in modules:
        raise _unknown(name, names)
    return _with_batch(Layer(name, base, modules[base], keys), modules[base], batch)


def _batch_selector(name: str, keys: tuple[str, ...]) -> int | None:
    """The k of a last selector `[batch=k]`, or None without one; one that
    is not last raises `ValueError`."""
    found = [index for index, key in enumerate(keys) if _BATCH_SELECTOR.fullmatch(key)]
    if not found:
        return None
    if found != [len(keys) - 1]:
        raise ValueError(f"{name!r}: [batch=k] must be the last selector, once")
    match = _BATCH_SELECTOR.fullmatch(keys[-1])
    assert match is not None
    return int(match.group(1))


def _with_batch(layer: Layer, module: torch.nn.Module | None, explicit: int | None = None) -> Layer:
    """The layer with its batch dimension: `explicit` if given, else the
    known layout of PyTorch's recurrent and transformer modules."""
    if explicit is not None:
        return replace(layer, batch_dim=explicit)
    known = _known_batch_dim(module, layer.keys)
    if known is None:
        return layer
    return replace(layer, batch_dim=known[0], batch_ndim=known[1])


def _known_batch_dim(module: torch.nn.Module | None, keys: tuple[str, ...]) -> tuple[int, int | None] | None:
    """(batch dimension, tensor dimensions it holds for) of the selected
    output of a PyTorch module that puts the batch second, or None."""
    nn = torch.nn
    if isinstance(module, nn.RNNBase):
        if keys in (("0",), ("-2",)):  # the output sequence: (tokens, batch, features)
            return None if module.batch_first else (1, 3)
        # h_n (and c_n): (layers * directions, batch, hidden) even when batch_first
        if isinstance(module, nn.LSTM):
            if len(keys) == 2 and keys[0] in ("1", "-1") and keys[1] in ("0", "1", "-1", "-2"):
                return (1, 3)
        elif keys in (("1",), ("-1",)):
            return (1, 3)
        return None
    if isinstance(module, nn.MultiheadAttention):
        # the attention output only; the weights are (batch, target, source)
        return (1, 3) if keys in (("0",), ("-2",)) and not module.batch_first else None
    first: Any = None
    if isinstance(module, (nn.TransformerEncoderLayer, nn.TransformerDecoderLayer)):
        first = module
    elif isinstance(module, (nn.TransformerEncoder, nn.TransformerDecoder)) and len(module.layers):
        first = module.layers[0]
    elif isinstance(module, nn.Transformer):
        first = module.encoder.layers[0] if len(module.encoder.layers) else None
    attention = getattr(first, "self_attn", None)
    if not keys and isinstance(attention, nn.MultiheadAttention) and not attention.batch_first:
        return (1, 3)  # (tokens, batch, features)
    return None


def _selects(layer: Layer) -> bool:
    """Whether `select` changes what the layer's module returns (the hooks
    skip the call otherwise: it costs microseconds per pass)."""
    return bool(layer.keys) or layer.batch_dim is not None


def select(output: Any, layer: Layer) -> Any:
    """Applies the layer's selectors to what its module (or the model)
    returned, and moves its batch dimension to the front; a selector that
    does not fit the value raises `ValueError`."""
    value = output
    for depth, key in enumerate(layer.keys):
        value = _item(value, key, layer, depth)
    if layer.batch_dim is not None:
        value = _batch_first(value, layer)
    return value


def _batch_first(value: Any, layer: Layer) -> Any:
    """`value` with dimension `layer.batch_dim` moved to the front (a view,
    no copy)."""
    if not isinstance(value, torch.Tensor):
        return value  # refused where rows are taken, with the selector to use
    if layer.batch_ndim is not None:
        if value.ndim != layer.batch_ndim:  # an unbatched input: no batch dimension to move
            return value
    elif not -value.ndim <= layer.batch_dim < value.ndim:  # type: ignore[operator]
        raise ValueError(f"{layer.name!r}: [batch={layer.batch_dim}] names no dimension of a tensor of shape "
                         f"{tuple(value.shape)}")
    return value.movedim(layer.batch_dim, 0)  # type: ignore[arg-type]


def batch_hint(shape: Sequence[int], rows: int) -> str:
    """A hint at the selector that reads a tensor of `shape` captured for a
    batch of `rows` inputs whose first dimension is not the batch; empty
    when no other dimension has the batch's size."""
    dims = [k for k in range(1, len(shape)) if shape[k] == rows]
    if not dims:
        return ""
    if len(dims) == 1:
        return f"; dimension {dims[0]} has the batch's size: end the name with [batch={dims[0]}] to read it"
    return (f"; dimensions {dims} have the batch's size: end the name with [batch=k] for the one that holds "
            "the batch")


def _item(value: Any, key: str, layer: Layer, depth: int) -> Any:
    base = layer.module_name or (INPUT if layer.is_input else OUTPUT)
    where = base + "".join(f"[{k}]" for k in layer.keys[:depth])
    if isinstance(value, Mapping):
        if key in value:
            return value[key]
        raise ValueError(f"{layer.name!r}: {where!r} returned a mapping without the key {key!r}; "
                         f"keys: {list(value)[:20]}")
    if isinstance(value, (tuple, list)):
        fields = getattr(value, "_fields", None)
        if fields is not None and key in fields:
            return getattr(value, key)
        try:
            index = int(key)
        except ValueError:
            raise ValueError(f"{layer.name!r}: {where!r} returned a {type(value).__name__}, which takes an "
                             f"integer selector, not [{key}]{_selectors_hint(value, where)}") from None
        if not -len(value) <= index < len(value):
            raise ValueError(f"{layer.name!r}: {where!r} returned {len(value)} items, no item [{key}]"
                             f"{_selectors_hint(value, where)}")
        return value[index]
    raise ValueError(f"{layer.name!r}: {where!r} returned a {type(value).__name__}, which has no items to "
                     f"select [{key}] from")


def _selectors_hint(value: Any, where: str) -> str:
    selectors = tensor_selectors(value, where)
    return f"; tensors: {', '.join(selectors)}" if selectors else ""


def tensor_selectors(value: Any, name: str, limit: int = 6) -> list[str]:
    """Names that pick a tensor out of `value` (what `name` gave), depth
    first, with each tensor's shape: ["'output[0]' (shape (2, 10))", ...];
    at most `limit`, searched at most three selectors deep."""
    found: list[str] = []

    def walk(item: Any, path: str, depth: int) -> None:
        if len(found) >= limit:
            return
        if isinstance(item, torch.Tensor):
            found.append(f"{path!r} (shape {tuple(item.shape)})")
            return
        if depth == 3:
            return
        if isinstance(item, Mapping):
            children: Any = [(str(key), child) for key, child in item.items()]
        elif isinstance(item, (tuple, list)):
            children = list(enumerate(item))
        else:
            return
        for key, child in children:
            walk(child, f"{path}[{key}]", depth + 1)

    walk(value, name, 0)
    return found


def not_a_tensor(value: Any, name: str) -> TypeError:
    """The error for a layer name that gave something other than a tensor,
    naming the selectors that would pick one."""
    selectors = tensor_selectors(value, name)
    hint = (f"select a tensor with one of {', '.join(selectors)}" if selectors
            else "select a tensor with [index] or [key]")
    return TypeError(f"{name!r} gave {type(value).__name__}, not a tensor; {hint}")


# Modules known to return a tuple, with the selectors that pick their tensors.
_TUPLE_OUTPUTS: tuple[tuple[type[torch.nn.Module], str, tuple[str, ...]], ...] = (
    (torch.nn.LSTM, "(output, (h_n, c_n))", ("[0]", "[1][0]", "[1][1]")),
    (torch.nn.RNNBase, "(output, h_n)", ("[0]", "[1]")),
    (torch.nn.MultiheadAttention, "(attn_output, attn_weights)", ("[0]", "[1]")),
)


def check_returns_tensor(model: torch.nn.Module, layer: Layer) -> None:
    """Refuses, before anything runs, a name without selectors whose module
    is known to return a tuple: a recurrent layer, an attention layer, a
    `Sequential` model ending in one, or a model whose `forward` is annotated
    to return a tuple, list or dict. Raises `TypeError` naming the selectors
    to use. Other names are checked when they run."""
    if layer.keys or layer.is_input:
        return
    module = layer.module
    if module is None and isinstance(model, torch.nn.Sequential) and len(model):
        module = model[-1]
    for kind, returns, selectors in _TUPLE_OUTPUTS:
        if isinstance(module, kind):
            what = f"a {type(module).__name__}" if layer.module is not None else \
                f"the output of a Sequential ending in a {type(module).__name__}"
            raise TypeError(f"{layer.name!r} is {what}, which returns a tuple {returns}; select a tensor with "
                            + ", ".join(f"{layer.name + selector!r}" for selector in selectors))
    if layer.module is None:
        annotation = _return_annotation(model)
        if annotation is not None:
            raise TypeError(f"{layer.name!r}: the model's forward is annotated to return {annotation}, not a "
                            f"tensor; select a tensor with '{layer.name}[index]' or '{layer.name}[key]', "
                            f"e.g. '{layer.name}[0]'")


def _return_annotation(model: torch.nn.Module) -> str | None:
    """The return annotation of `model.forward` as written, if it names a
    tuple, list or dict type; else None."""
    annotation = getattr(type(model).forward, "__annotations__", {}).get("return")
    if annotation is None:
        return None
    text = annotation if isinstance(annotation, str) else getattr(annotation, "__name__", repr(annotation))
    text = text.replace("typing.", "")
    head = re.split(r"[\[|\s]", text.strip(), maxsplit=1)[0]
    if head in ("tuple", "Tuple", "list", "List", "dict", "Dict"):
        return text
    return None


def refuse_compiled(model: torch.nn.Module) -> None:
    """Refuses a model whose forward pass runs as compiled or traced code:
    the watcher's hooks do not run reliably inside it (`torch.compile` runs
    hooks it traced, not those added later, and a TorchScript module's
    submodules run no Python hooks at all). Raises `TypeError` saying what
    to do instead."""
    if isinstance(model, torch.jit.ScriptModule):
        raise TypeError("the model is a TorchScript module (torch.jit.trace or torch.jit.script): its submodules "
                        "run no Python hooks, so it cannot be watched; watch and serve the original "
                        "torch.nn.Module instead")
    original = getattr(model, "_orig_mod", None)
    if isinstance(original, torch.nn.Module) and type(model).__name__ == "OptimizedModule":
        raise TypeError("the model was compiled with torch.compile(model): the watcher's hooks do not run "
                        "reliably inside compiled code; watch and serve the original module (the "
                        "uncompiled model, here model._orig_mod) instead")
    if getattr(model, "_compiled_call_impl", None) is not None:
        raise TypeError("the model was compiled in place (model.compile()): the watcher's hooks do not run "
                        "reliably inside compiled code; watch and serve an uncompiled model (build it again "
                        "without calling .compile())")


def copy_rows(value: Any, name: str, copy: bool = True) -> np.ndarray:
    """A float32 array of a captured tensor, one flattened row per input (the
    first dimension is the batch). With `copy` (the default) it is a copy,
    so later in-place operations of the model cannot change it; without, a
    float32 CPU tensor's rows share its memory."""
    if not isinstance(value, torch.Tensor):
        raise not_a_tensor(value, name)
    if value.dtype is torch.float32 and value.is_cpu:
        array = (value.detach() if value.requires_grad else value).numpy()
        if copy:
            array = array.copy()
    else:
        # A new tensor whenever the dtype or the device changes.
        array = value.detach().to(device="cpu", dtype=torch.float32).numpy()
    if array.ndim == 2:
        return array
    if array.ndim == 0:
        raise ValueError(f"{name!r} gave a 0-d tensor; its first dimension must be the batch")
    return array.reshape(array.shape[0], -1)


class _Repeated:
    """Marks a layer that ran more than once in one forward pass."""


_REPEATED = _Repeated()


class LayerTap:
    """Persistent forward hooks that capture the rows of several layers on
    every forward pass of `model` and hand them, in the order of `layers`, to
    `on_pass(plan, rows)` once the pass is complete.

    `begin(args)`, if given, runs first in each pass with the model's
    positional arguments and returns (capture, plan): the pass's rows are
    captured only if `capture` is true, and `plan` is handed to `on_pass`.
    `on_pass` runs at the end of every pass that completes while the hooks
    are in place, with `rows` None when nothing was captured (`begin` said
    so, or the pass began before the hooks were installed).

    Only rows captured within one pass are ever handed on together: each
    thread's pass keeps its own rows, a new pass starts afresh, and rows
    from before the latest `attach` or `detach` (a pass that raised, or one
    under way while hooks were added or removed) are dropped. A layer that
    did not run exactly once in the pass, layers that disagree on the number
    of rows, or any error inside the hooks or `on_pass` go to
    `on_error(error)` (which may raise it out of the model call) and end
    the pass's capture. Calls through `model(...)` only (hooks do not run
    for `model.forward(...)`). The model's input is copied by a forward
    pre-hook, before any layer can change it in place; a call without a
    positional argument is an error when the input is one of the layers.
    With `copy_output=False` the model's own output is read without a copy
    (for a caller done with the rows before the model call returns). While
    the hooks are attached, PyTorch's fused transformer fast path is held
    off where a layer lies inside a module that has one (`slow_path`)."""

    def __init__(self, model: torch.nn.Module, layers: Sequence[Layer],
                 on_pass: Callable[[Any, list[np.ndarray] | None], None], *,
                 on_error: Callable[[BaseException], None],
                 begin: Callable[[tuple[Any, ...]], tuple[bool, Any]] | None = None,
                 copy_output: bool = True) -> None:
        self.model = model
        self.layers = list(layers)
        self.on_pass = on_pass
        self.on_error = on_error
        self.begin = begin
        self.copy_output = copy_output
        self._local = threading.local()
        self._handles: list[Any] = []
        # Hooks inside a transformer layer fire only with its fused fast path
        # off: held off while the hooks are in place.
        self._slow = slow_path(needs_slow_path(model, [layer.module_name for layer in self.layers]))
        # Changes at every attach and detach: a thread's rows begun under
        # another epoch are never completed by this pass's end.
        self._epoch = 0
        self._lock = threading.Lock()
        self._inputs = [(index, layer) for index, layer in enumerate(self.layers) if layer.is_input]
        self._outputs = [(index, layer) for index, layer in enumerate(self.layers)
                         if layer.module is None and not layer.is_input]
        self._modules = [(index, layer) for index, layer in enumerate(self.layers) if layer.module is not None]

    @property
    def attached(self) -> bool:
        return bool(self._handles)

    def attach(self) -> None:
        """Installs the hooks (nothing happens if they are in place). The
        pre-hook that starts a pass goes in last, so that every pass it
        starts finds the other hooks in place."""
        with self._lock:
            if self._handles:
                return
            self._epoch += 1
            try:
                self._slow.__enter__()
                for index, layer in self._modules:
                    self._handles.append(layer.module.register_forward_hook(  # type: ignore[union-attr]
                        self._layer_hook(index, layer)))
                self._handles.append(self.model.register_forward_hook(self._finish))
                self._handles.append(self.model.register_forward_pre_hook(self._begin))
            except BaseException:
                self._remove()
                raise

    def detach(self) -> None:
        """Removes every hook this tap installed; passes under way are not
        handed on."""
        with self._lock:
            self._remove()

    def _remove(self) -> None:
        self._epoch += 1
        handles, self._handles = self._handles, []
        for handle in reversed(handles):  # the pre-hook first: no pass starts half-hooked
            handle.remove()
        self._slow.__exit__()

    def _begin(self, _module: Any, args: tuple[Any, ...]) -> None:
        local = self._local
        # A pass that raised inside the model never reached _finish; starting
        # afresh here keeps its rows out of this pass.
        local.state = None
        try:
            capture, plan = self.begin(args) if self.begin is not None else (True, None)
            rows: list[Any] | None = None
            if capture:
                rows = [None] * len(self.layers)
                for index, layer in self._inputs:
                    if not args:
                        raise ValueError(f"{layer.name!r} is the model's first positional argument, and the "
                                         "model was called without one")
                    rows[index] = copy_rows(select(args[0], layer) if _selects(layer) else args[0], layer.name)
            local.state = (self._epoch, plan, rows)
        except Exception as error:
            self.on_error(error)

    def _layer_hook(self, index: int, layer: Layer) -> Callable[..., None]:
        local = self._local
        name = layer.name
        selects = _selects(layer)

        def hook(_module: Any, _args: Any, output: Any) -> None:
            state = getattr(local, "state", None)
            if state is None or state[2] is None:  # outside a captured pass
                return
            rows = state[2]
            try:
                if rows[index] is not None:
                    rows[index] = _REPEATED
                else:
                    rows[index] = copy_rows(select(output, layer) if selects else output, name)
            except Exception as error:
                local.state = None
                self.on_error(error)

        return hook

    def _finish(self, _module: Any, _args: Any, output: Any) -> None:
        local = self._local
        state = getattr(local, "state", None)
        local.state = None
        try:
            if state is None or state[0] != self._epoch:
                # Begun before the hooks were in place (or not begun): the
                # rows held are not this pass's.
                self.on_pass(None, None)
                return
            _, plan, rows = state
            if rows is not None:
                self._complete(rows, output)
            self.on_pass(plan, rows)
        except Exception as error:
            self.on_error(error)

    def _complete(self, rows: list[Any], output: Any) -> None:
        """Reads the model's output into `rows` and checks that every layer
        ran once and that all give the same number of rows."""
        for index, layer in self._outputs:
            rows[index] = copy_rows(select(output, layer) if _selects(layer) else output, layer.name,
                                    self.copy_output)
        for index, layer in self._modules:
            if rows[index] is None or rows[index] is _REPEATED:
                if rows[index] is None:
                    hint = did_not_run_hint(self.model, layer.module_name) or (
                        " (a model compiled or traced after the watcher was attached runs without its submodules' "
                        "hooks: watch an uncompiled model)")
                    raise ValueError(f"submodule {layer.module_name!r} did not run in one forward pass; it must "
                                     f"run exactly once{hint}")
                raise ValueError(f"submodule {layer.module_name!r} ran more than once in one forward pass; "
                                 "it must run exactly once")
        if len(rows) > 1:
            count = rows[0].shape[0]
            for array in rows:
                if array.shape[0] != count:
                    raise ValueError(f"the layers {[layer.name for layer in self.layers]} gave different numbers "
                                     f"of rows in one forward pass: {[array.shape[0] for array in rows]}; the "
                                     "first dimension of each must be the batch (end the name of a layer whose "
                                     "dimension k holds the batch with [batch=k])")


# --- PyTorch's fused transformer fast path -------------------------------------------

# Modules whose evaluation-mode forward may run as one fused call that calls
# none of their submodules, so that hooks on them never fire.
_FUSED_TYPES = (torch.nn.TransformerEncoderLayer, torch.nn.TransformerEncoder, torch.nn.MultiheadAttention)
_fast_path_lock = threading.Lock()
_fast_path_holds = 0
_fast_path_before = True


def _fused_parents(model: torch.nn.Module, module_name: str) -> list[tuple[str, torch.nn.Module]]:
    """The modules with a fused fast path that `module_name` lies inside."""
    return [(name, module) for name, module in model.named_modules()
            if isinstance(module, _FUSED_TYPES) and module_name != name
            and (name == "" or module_name.startswith(name + "."))]


def needs_slow_path(model: torch.nn.Module, module_names: Sequence[str | None]) -> bool:
    """Whether a watched submodule lies inside a module whose fused fast
    path would skip its hooks."""
    return any(name is not None and _fused_parents(model, name) for name in module_names)


def fast_path_switch() -> bool:
    """Whether this PyTorch lets the fused fast path be turned off."""
    mha = getattr(torch.backends, "mha", None)
    return hasattr(mha, "set_fastpath_enabled") and hasattr(mha, "get_fastpath_enabled")


def hold_fast_path_off() -> bool:
    """Turns PyTorch's fused transformer fast path off (process-wide) until
    every hold is released; the setting found at the first hold comes back
    with the last release. False where this PyTorch has no such switch."""
    global _fast_path_holds, _fast_path_before
    if not fast_path_switch():
        return False
    with _fast_path_lock:
        if _fast_path_holds == 0:
            _fast_path_before = bool(torch.backends.mha.get_fastpath_enabled())
            torch.backends.mha.set_fastpath_enabled(False)
        _fast_path_holds += 1
    return True


def release_fast_path() -> None:
    """Ends one `hold_fast_path_off` that returned True."""
    global _fast_path_holds
    with _fast_path_lock:
        _fast_path_holds -= 1
        if _fast_path_holds == 0:
            torch.backends.mha.set_fastpath_enabled(_fast_path_before)


class slow_path:
    """Context manager: the fused fast path off while `needed` (see
    `hold_fast_path_off`)."""

    def __init__(self, needed: bool) -> None:
        self.needed = needed
        self.held = False

    def __enter__(self) -> slow_path:
        self.held = self.needed and hold_fast_path_off()
        return self

    def __exit__(self, *_exc: Any) -> None:
        if self.held:
            self.held = False
            release_fast_path()


def did_not_run_hint(model: torch.nn.Module, module_name: str | None) -> str:
    """Why a watched submodule may not have run in a forward pass: it lies
    inside a module that computes without calling it."""
    if module_name is None:
        return ""
    for name, parent in _fused_parents(model, module_name):
        if isinstance(parent, torch.nn.MultiheadAttention):
            return (f" ({name!r} is an nn.MultiheadAttention, which uses the weights of its submodules without "
                    f"calling them: watch its output, {name + '[0]'!r}, instead)")
    parents = _fused_parents(model, module_name)
    if parents and not fast_path_switch():
        return (f" (it lies inside {parents[-1][0]!r}, a {type(parents[-1][1]).__name__} whose fused fast path "
                "runs in evaluation mode without calling its submodules, and this PyTorch cannot turn that path "
                "off: use PyTorch 2.2 or later, or watch the enclosing module)")
    if parents:
        return (f" (it lies inside {parents[-1][0]!r}, a {type(parents[-1][1]).__name__}; its fused fast path was "
                "turned off, so the module's own forward code skipped it)")
    return ""
