"""Progress bars for the long loops (capture, tune, cover, chunked scoring),
shown only when the caller asks for them."""

from __future__ import annotations

from typing import Any, Iterator


def _progress_bar(progress: bool, total: int | None, unit: str = "rows") -> Any:
    """A tqdm bar counting `unit`, or None without `progress`."""
    if not progress:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install tqdm") from None
    return tqdm(total=total, unit=unit)


def _with_progress(items: list[Any], progress: bool, unit: str) -> Iterator[Any]:
    """Yields `items`, counting each one on a progress bar once the loop
    asks for the next; the bar closes when the loop ends."""
    bar = _progress_bar(progress, len(items), unit)
    if bar is None:
        yield from items
        return
    try:
        for item in items:
            yield item
            bar.update(1)
    finally:
        bar.close()
