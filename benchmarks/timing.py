"""Timing shared by the benchmarks."""
import time


def best_of(repeat, call):
    """The fastest of `repeat` runs of call(), in seconds: the least disturbed by the rest of the machine."""
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - t)
    return best
