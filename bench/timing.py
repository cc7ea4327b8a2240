"""Interleaved timing of Python cases, and the rows of the results table.

Every case of a group runs one batch per round, in turn (A B C, then C B A,
so that no case is always first), so that a change of machine load during the
run hits all of them alike. Each batch is timed as a whole and gives one
sample in nanoseconds per operation; a row reports the median of its samples
and the median of the per-round ratios, which compares batches that ran next
to each other.
"""

import gc
import os
import statistics
import time
from dataclasses import dataclass


def child_environment(**extra):
    """The environment for a measured child interpreter: this one's, but with
    Python's default buffering of standard output, whatever the caller's
    PYTHONUNBUFFERED says, so that every run measures the same setting."""
    environment = {name: value for name, value in os.environ.items() if name != "PYTHONUNBUFFERED"}
    return {**environment, **extra}


@dataclass
class Settings:
    rounds: int = 21  # timed rounds per group, after one warm-up round
    batch_seconds: float = 0.02  # aimed length of one batch


def _batch_size(run, seconds):
    """Operations per batch so that one batch takes about `seconds`."""
    n = 8
    while True:
        started = time.perf_counter()
        run(n)
        elapsed = time.perf_counter() - started
        if elapsed >= seconds / 4 or n >= 1 << 22:
            return max(1, round(n * seconds / max(elapsed, 1e-9)))
        n *= 4


def measure(cases, settings):
    """cases: {name: run(n)}, where run(n) performs n operations. Returns
    {name: [nanoseconds per operation, one per timed round]}."""
    sizes = {name: _batch_size(run, settings.batch_seconds) for name, run in cases.items()}
    samples = {name: [] for name in cases}
    order = list(cases)
    for round_number in range(settings.rounds + 1):
        for name in order if round_number % 2 == 0 else reversed(order):
            run, n = cases[name], sizes[name]
            gc.collect()
            gc.disable()
            started = time.perf_counter_ns()
            run(n)
            elapsed = time.perf_counter_ns() - started
            gc.enable()
            if round_number > 0:  # the first round warms caches and files
                samples[name].append(elapsed / n)
    return samples


@dataclass
class Row:
    """One line of the results table, its cells already text."""

    section: str
    operation: str
    ours: str
    peer: str = ""
    theirs: str = ""
    ratio: str = ""
    target: str = ""
    verdict: str = ""
    note: str = ""


def verdict(met):
    return "met" if met else "MISSED"


def format_time(ns):
    if ns >= 1000:
        return f"{ns / 1000:.2f} µs"
    return f"{ns:.0f} ns"


def format_ratio(ratio):
    """Our time divided by the comparison's."""
    if ratio < 1:
        return f"{ratio:.2f} ({1 / ratio:.1f}× faster)"
    return f"{ratio:.2f}×"


def timed_row(section, operation, ours_ns, peer, peer_ns, ratio, *, limit=None, target="", note=""):
    """A row comparing two timings; `limit` is the largest ratio (ours over
    theirs) that meets the target."""
    return Row(
        section=section,
        operation=operation,
        ours=format_time(ours_ns),
        peer=peer,
        theirs=format_time(peer_ns),
        ratio=format_ratio(ratio),
        target=target,
        verdict="" if limit is None else verdict(ratio <= limit),
        note=note,
    )


def row_from_samples(section, samples, ours, peer, *, labels, limit=None, target=""):
    """A row comparing case `ours` with case `peer` of one measured group:
    the median of each, and the median of the ratios of batches that ran in
    the same round, with their interquartile range as a note."""
    mine, theirs = samples[ours], samples[peer]
    ratios = [a / b for a, b in zip(mine, theirs)]
    low, _, high = statistics.quantiles(ratios, n=4) if len(ratios) > 1 else ratios * 3
    return timed_row(
        section, labels[ours], statistics.median(mine), labels[peer], statistics.median(theirs),
        statistics.median(ratios), limit=limit, target=target,
        note=f"ratio IQR {low:.2f}–{high:.2f}",
    )  # fmt: skip
