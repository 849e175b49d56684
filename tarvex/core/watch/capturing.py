"""Capturing S and Z from a model: forward hooks on the named submodules (or
the model's output), batching of the inputs, and the model's device and
training modes restored afterwards."""

from __future__ import annotations

from typing import Any, Iterable, Iterator

import numpy as np
import numpy.typing as npt
import torch

from ._arguments import _eval_mode, _positive_int
from ._layers import batch_hint, did_not_run_hint, needs_slow_path, not_a_tensor, resolve, select, slow_path
from ._progress import _progress_bar


def _batches(inputs: Any, batch_size: int) -> Iterator[Any]:
    if isinstance(inputs, (torch.Tensor, np.ndarray)):
        if inputs.ndim == 0:
            raise ValueError("inputs must have one row per input, got a 0-d array")
        for start in range(0, inputs.shape[0], batch_size):
            yield inputs[start:start + batch_size]
        return
    if isinstance(inputs, (str, bytes, dict)) or not isinstance(inputs, Iterable):
        raise TypeError(f"inputs must be a tensor, an array or an iterable of batches, got {type(inputs).__name__}")
    for batch in inputs:
        if isinstance(batch, (tuple, list)):
            if not batch:
                raise ValueError("a batch given as a tuple or list must hold the input as its first item")
            batch = batch[0]
        yield batch


def _as_input(batch: Any, device: torch.device | None, float_dtype: torch.dtype) -> torch.Tensor:
    if isinstance(batch, np.ndarray):
        batch = torch.from_numpy(np.ascontiguousarray(batch))
        if batch.is_floating_point():
            batch = batch.to(float_dtype)
    elif not isinstance(batch, torch.Tensor):
        raise TypeError(f"a batch must be a tensor or a NumPy array, got {type(batch).__name__}")
    if batch.ndim == 0:
        raise ValueError("a batch must have one row per input, got a 0-d tensor")
    return batch.to(device) if device is not None else batch  # type: ignore[no-any-return]


def _unbatched_ndim(module: torch.nn.Module) -> int | None:
    """Dimensions of one input without its batch dimension, for the layers
    that say it: 1 for a linear layer, 2 to 4 for 1-d to 3-d convolutions."""
    if isinstance(module, torch.nn.Linear):
        return 1
    if isinstance(module, torch.nn.modules.conv._ConvNd):
        return len(module.kernel_size) + 1
    return None


def _require_batch_dimension(model: torch.nn.Module) -> torch.utils.hooks.RemovableHandle | None:
    """Hooks the model's first layer with weights (in registration order) so
    that a pass whose input reaches it without a batch dimension raises
    `ValueError`. PyTorch's linear and convolution layers also take a single
    unbatched input: `torch.randn(8)` into `Linear(8, ...)` would otherwise
    be captured as 8 inputs of one value each. Returns the hook's handle,
    or None where the first such layer takes inputs of any shape."""
    for name, module in model.named_modules():
        if next(module.children(), None) is not None or next(module.parameters(recurse=False), None) is None:
            continue
        ndim = _unbatched_ndim(module)
        if ndim is None:
            return None
        where = f"layer {name!r}" if name else "the model"

        def check(_module: torch.nn.Module, args: tuple[Any, ...]) -> None:
            if args and isinstance(args[0], torch.Tensor) and args[0].ndim == ndim:
                raise ValueError(f"{where} ({type(_module).__name__}) received an input of shape "
                                 f"{tuple(args[0].shape)}, one input without a batch dimension; inputs need "
                                 f"one row per input: pass x[None] for a single input")
        handle: torch.utils.hooks.RemovableHandle = module.register_forward_pre_hook(check)
        return handle
    return None


def _rows(output: Any, name: str, rows: int) -> np.ndarray:
    if not isinstance(output, torch.Tensor):
        raise not_a_tensor(output, name)
    if output.ndim == 0 or output.shape[0] != rows:
        raise ValueError(f"{name!r} returned shape {tuple(output.shape)} for a batch of {rows} inputs; "
                         "its first dimension must be the batch" + batch_hint(output.shape, rows))
    return output.detach().reshape(rows, -1).to(device="cpu", dtype=torch.float32).numpy()


def _row_count(inputs: Any) -> int | None:
    """Rows of an array or tensor input; None for an iterable of batches."""
    if isinstance(inputs, (torch.Tensor, np.ndarray)) and inputs.ndim > 0:
        return int(inputs.shape[0])
    return None


def _model_device(model: torch.nn.Module) -> tuple[torch.device | None, torch.dtype]:
    for tensor in list(model.parameters()) + list(model.buffers()):
        if tensor.is_floating_point():
            return tensor.device, tensor.dtype
    return None, torch.float32


def _copied(output: Any) -> Any:
    """A copy of a hooked output, taken while the hook runs: a later in-place
    operation in the forward pass (an `nn.ReLU(inplace=True)` after the
    hooked layer) must not change what was captured."""
    if isinstance(output, torch.Tensor):
        return output.detach().to(device="cpu", copy=True)
    return output


def _check_reversible_move(model: torch.nn.Module, target: torch.device | None, moved: bool) -> None:
    """Refuses a device the model could not be moved back from: the meta
    device keeps no values, and a model whose tensors lie on several devices
    would come back with all of them on one."""
    if target is not None and target.type == "meta":
        raise ValueError("capture cannot run on the meta device: it holds no values, and the model's weights "
                         "could not be moved back from it")
    if not moved:
        return
    devices = {str(tensor.device) for tensor in [*model.parameters(), *model.buffers()]}
    if len(devices) > 1:
        raise ValueError(f"the model's tensors lie on several devices ({', '.join(sorted(devices))}); moving it "
                         f"to {target} for the capture could not be undone: move it yourself or leave device=None")


def capture(model: torch.nn.Module, inputs: torch.Tensor | npt.NDArray[Any] | Iterable[Any], s: str, z: str, *,
            batch_size: int = 256, device: str | torch.device | None = None,
            progress: bool = False) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """Runs `model` over `inputs` and returns (S, Z): the outputs of the
    submodules named `s` and `z`, one float32 row per input.

    Names are those of `model.named_modules()`; "input" means the model's
    input (each batch as the model receives it); "output" means the model's own
    output (so a submodule named "output" cannot be read, and a model that
    has one gets a `UserWarning`). A name may end in selectors that pick a
    tensor out of a tuple, list or dict output: "output[0]",
    "output[logits]", "lstm[0]"; a last selector `[batch=k]` reads a tensor
    whose dimension k holds the batch, and the recurrent and transformer
    modules of PyTorch that put the batch second are read batch-first
    without it (`"lstm[1][0]"` is an LSTM's `h_n`, one row per input).
    `inputs` is a tensor or a NumPy array (split into batches of
    `batch_size` rows), or an iterable of batches,
    each a tensor, an array, or a tuple or list whose first item is the input
    (as a DataLoader yields).
    Floating NumPy inputs are converted to the model's floating dtype; tensors
    are passed as they are. Each captured output must have the batch as its
    first dimension and is flattened per input. Every input needs its batch
    dimension, a single one too (`x[None]`): where the model's first layer
    with weights (in registration order) is a linear or convolution layer,
    a pass that hands it one input without a batch dimension (a 1-D tensor
    for a linear layer) raises `ValueError`, since PyTorch would run it as
    one input and its values would be read as separate rows.

    While it runs every submodule is in evaluation mode and gradients are off;
    afterwards each submodule's mode is restored and the hooks are removed,
    also after an error. `device` (None: where the model is) is where the
    model runs; a model moved for the capture is moved back afterwards, also
    after an error. A move that could not be undone raises `ValueError`
    before anything runs: to the meta device, or of a model whose parameters
    and buffers lie on several devices. Hooked outputs are copied as their
    hook runs, so in-place operations later in the forward pass (an
    `nn.ReLU(inplace=True)`) do not change them. `progress=True` shows a tqdm
    progress bar over the input rows.
    An unknown name raises `ValueError` listing the close matches; a hooked
    submodule that runs other than once per forward pass, or a selector that
    does not fit the output, raises `ValueError`; a name that is not a str,
    or an output that is not a tensor, raises `TypeError`.
    """
    if not isinstance(model, torch.nn.Module):
        raise TypeError(f"model must be a torch.nn.Module, got {type(model).__name__}")
    batch_size = _positive_int(batch_size, "batch_size")
    s_layer, z_layer = resolve(model, [("s", s), ("z", z)])
    target = torch.device(device) if device is not None else None
    home, float_dtype = _model_device(model)
    moved = target is not None and home is not None and target != home
    _check_reversible_move(model, target, moved)

    layers = {layer.name: layer for layer in (s_layer, z_layer)}
    captured: dict[str, list[Any]] = {name: [] for name, layer in layers.items() if layer.module is not None}
    handles = []
    parts: dict[str, list[np.ndarray]] = {s: [], z: []}
    bar = _progress_bar(progress, _row_count(inputs))
    try:
        guard = _require_batch_dimension(model)
        if guard is not None:
            handles.append(guard)
        for name in captured:
            handles.append(layers[name].module.register_forward_hook(  # type: ignore[union-attr]
                lambda _module, _args, output, name=name: captured[name].append(
                    _copied(select(output, layers[name])))))
        if moved:
            model.to(target)
        # Hooks inside a transformer layer fire only with its fused fast path off.
        with _eval_mode(model), slow_path(needs_slow_path(model, [layer.module_name for layer in layers.values()])):
            for batch in _batches(inputs, batch_size):
                x = _as_input(batch, target, float_dtype)
                if x.shape[0] == 0:
                    continue
                for calls in captured.values():
                    calls.clear()
                output = model(x)
                rows = x.shape[0]
                for name in (s, z) if s != z else (s,):
                    if layers[name].module is None:
                        value = x if layers[name].is_input else output
                        parts[name].append(_rows(select(value, layers[name]), name, rows))
                        continue
                    calls = captured[name]
                    if len(calls) != 1:
                        raise ValueError(f"submodule {layers[name].module_name!r} ran {len(calls)} times in one "
                                         "forward pass; it must run exactly once"
                                         + (did_not_run_hint(model, layers[name].module_name) if not calls else ""))
                    parts[name].append(_rows(calls[0], name, rows))
                if bar is not None:
                    bar.update(rows)
    finally:
        if bar is not None:
            bar.close()
        for handle in handles:
            handle.remove()
        if moved:
            model.to(home)
    if not parts[s]:
        raise ValueError("inputs held no rows")
    S = _concatenate(parts[s], s)
    Z = S.copy() if z == s else _concatenate(parts[z], z)
    return S, Z


def _concatenate(parts: list[np.ndarray], name: str) -> np.ndarray:
    widths = {part.shape[1] for part in parts}
    if len(widths) != 1:
        raise ValueError(f"{name!r} gave a different number of values per input in different batches: "
                         f"{sorted(widths)}")
    return np.ascontiguousarray(np.concatenate(parts, axis=0), dtype=np.float32)
