"""Checks that a cost grows linearly with the size of the input.

``assert_linear(make, run, small)`` times ``run(make(small))`` and ``run(make(10 * small))`` (the best
of three each) and fails when ten times the input costs more than thirty times as much: a linear
cost stays near ten, a quadratic one reaches a hundred. Inputs are made before timing.
"""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TypeVar

T = TypeVar("T")

FACTOR = 10
ALLOWED_GROWTH = 30


def best_seconds(run: Callable[[T], object], data: T, rounds: int = 3) -> float:
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        run(data)
        best = min(best, time.perf_counter() - start)
    return best


def assert_linear(make: Callable[[int], T], run: Callable[[T], object], small: int) -> None:
    small_input, large_input = make(small), make(small * FACTOR)
    small_cost = best_seconds(run, small_input)
    large_cost = best_seconds(run, large_input)
    growth = large_cost / max(small_cost, 1e-6)
    assert growth < ALLOWED_GROWTH, (
        f"{FACTOR}x the input cost {growth:.0f}x as much ({small_cost * 1e3:.2f} ms -> {large_cost * 1e3:.2f} ms)"
    )
