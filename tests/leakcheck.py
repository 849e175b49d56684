"""Leak detection for native callables: run a call many times and check that
reference counts of the objects it touches, the number of live container
objects and traced memory all stay flat."""

import gc
import sys
import tracemalloc

WARMUP = 30


def _census(watch):
    gc.collect()
    return [sys.getrefcount(o) for o in watch], len(gc.get_objects())


def _traced_growth(call, iterations):
    gc.collect()
    before = tracemalloc.get_traced_memory()[0]
    for _ in range(iterations):
        call()
    gc.collect()
    return tracemalloc.get_traced_memory()[0] - before


def assert_flat(call, watch=(), iterations=2000, bytes_per_call=8, noise_bytes=16384):
    """Fails if `call` leaks a reference to any object in `watch`, leaves
    container objects behind, or keeps more than `bytes_per_call` bytes per
    call (a leaked float or small int is 24-32 bytes). Memory is measured over
    rounds of calls after a first one has filled one-time caches."""
    tracemalloc.start()
    try:
        for _ in range(WARMUP):
            call()
        refs_before, objects_before = _census(watch)
        _traced_growth(call, iterations)
        # A leak grows memory in every round; allocator and cache noise does not.
        growth = min(_traced_growth(call, iterations), _traced_growth(call, iterations))
    finally:
        tracemalloc.stop()
    refs_after, objects_after = _census(watch)
    assert refs_after == refs_before, f"reference counts moved: {refs_before} -> {refs_after}"
    assert objects_after - objects_before < iterations // 10, f"objects grew by {objects_after - objects_before}"
    allowed = max(iterations * bytes_per_call, noise_bytes)  # allocator pools fluctuate by a few KiB
    assert growth < allowed, f"memory grew by {growth} bytes over {iterations} calls"


def raising(call, exception):
    """Wraps a call that must raise `exception`."""

    def run():
        try:
            call()
        except exception:
            return
        raise AssertionError(f"{call} did not raise {exception.__name__}")

    return run
