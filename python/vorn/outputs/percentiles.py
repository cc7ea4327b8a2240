"""Nearest-rank percentiles of many durations, in bounded memory.

The p-th percentile of n values is the value at rank ceil(p / 100 * n) in
ascending order (rank 1 the smallest): always one of the values, never an
interpolation between two. p50 of 10, 20, 30 is 20, p95 is 30.

The values are kept by the caller in an ``array("d")``, 8 bytes each.
Sorting them with ``sorted`` would make a Python float and a list slot of
each, some 32 bytes more per value, so a row of tens of millions of
durations is ranked in chunks instead: each chunk of CHUNK values is sorted
in place, and a rank is then found by bisection across the sorted chunks
(the rank of a value is the sum of its insertion points in them). What is
held on top of the array is one chunk's sort.
"""

from __future__ import annotations

import bisect
import math
from array import array
from collections.abc import Sequence
from typing import Final

__all__ = ["nearest_ranks"]

CHUNK: Final = 1 << 20


def nearest_ranks(values: array[float], percents: Sequence[int], chunk: int = CHUNK) -> list[float]:
    """The nearest-rank `percents` (1 to 100) of `values`, which must not be
    empty; reorders `values` when there are more than `chunk` of them.
      nearest_ranks(array("d", [30, 10, 20]), [50, 95]) => [20.0, 30.0]"""
    size = len(values)
    ranks = [max(1, -(-percent * size // 100)) for percent in percents]
    if size <= chunk:
        ordered = sorted(values)
        return [ordered[rank - 1] for rank in ranks]
    for start in range(0, size, chunk):
        values[start : start + chunk] = array("d", sorted(values[start : start + chunk]))
    with memoryview(values) as view:
        chunks = [view[start : start + chunk] for start in range(0, size, chunk)]
        try:
            return [_ranked(chunks, rank) for rank in ranks]
        finally:
            for part in chunks:
                part.release()


def _ranked(chunks: list[memoryview], rank: int) -> float:
    """The value of `rank` (from 1) among the sorted `chunks`: the least
    value of any chunk that at least `rank` values do not exceed. Each
    chunk holds it or a larger one first at the index found by bisection."""
    found = math.inf
    for part in chunks:
        low, high = 0, len(part)
        while low < high:
            middle = (low + high) // 2
            if sum(bisect.bisect_right(other, part[middle]) for other in chunks) >= rank:
                high = middle
            else:
                low = middle + 1
        if low < len(part):
            found = min(found, part[low])
    return found
