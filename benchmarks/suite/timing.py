"""Interleaved repeats: every implementation runs once per repeat, in a rotating order.

Slow drifts of a shared machine then hit all implementations alike, and the
samples of one repeat were taken close together in time, so a ratio of two
samples of the same repeat is the fairest single comparison there is.
"""

from __future__ import annotations

import gc
import statistics
import sys
import time
from typing import Any

from .workloads import Plan

MAX_LOOPS = 50


def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def timed_run(p: Plan, state: Any) -> int:
    """Run one loop with the collector off; returns nanoseconds.

    No collection right before the run: a full collection walks the whole heap
    and would leave every run with a cold cache, which is not how any of these
    structures is used (run_plans collects once, before its repeats).  What the
    loop returns is released after the clock stops.
    """
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = p.run(state)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del result
    return elapsed


def run_plans(plans: list[Plan], warm: list[Plan], repeats: int,
              min_sample_ns: int = 0) -> dict[str, list[int]]:
    """Each plan's samples (ns per run of its loop), repeat by repeat.

    `warm` are the same plans on small data: one untimed run each first warms
    code paths, caches and the allocator.  A loop that leaves its structure
    unchanged and takes less than `min_sample_ns` runs several times per
    sample (the same number in every repeat), so that a short loop is not
    timed at the mercy of one interruption; its sample is the mean run.
    """
    for p in warm:
        timed_run(p, p.build())
    kept = {p.label: p.build() for p in plans if p.reuse}
    loops = {p.label: 1 for p in plans}
    for p in plans:
        if p.reuse and min_sample_ns:
            once = max(timed_run(p, kept[p.label]), 1)
            loops[p.label] = max(1, min(MAX_LOOPS, -(-min_sample_ns // once)))
    gc.collect()
    samples: dict[str, list[int]] = {p.label: [] for p in plans}
    for r in range(repeats):
        turn = r % len(plans)
        for p in plans[turn:] + plans[:turn]:
            if p.reuse:
                state = kept[p.label]
                k = loops[p.label]
                samples[p.label].append(sum(timed_run(p, state) for _ in range(k)) // k)
            else:
                state = p.build()
                samples[p.label].append(timed_run(p, state))
            del state
    return samples


def summary(samples: list[int], count: int) -> dict[str, float]:
    """min / median / max of ns per operation."""
    return {"min": min(samples) / count, "median": statistics.median(samples) / count,
            "max": max(samples) / count}


def paired_ratios(ours: list[int], theirs: list[int]) -> dict[str, float]:
    """Ratios of the samples of each repeat: their median, min and max."""
    ratios = [a / b for a, b in zip(ours, theirs)]
    return {"min": min(ratios), "median": statistics.median(ratios), "max": max(ratios)}
