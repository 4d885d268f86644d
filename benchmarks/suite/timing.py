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
from typing import Any, Callable

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
              min_sample_ns: int = 0) -> tuple[dict[str, list[int]], dict[str, str]]:
    """Each plan's samples (ns per run of its loop), repeat by repeat, and the failures.

    `warm` are the same plans on small data: one untimed run each first warms
    code paths, caches and the allocator.  A loop that takes less than
    `min_sample_ns` runs several times per sample (the same number in every
    repeat, each on a fresh structure unless the loop leaves it unchanged),
    so that a short loop is not timed at the mercy of one interruption; its
    sample is the mean run.

    A plan whose build or loop raises (a peer that cannot pickle a large
    structure, say) is dropped with the reason, and keeps no samples: every
    ratio pairs the samples of complete repeats only.
    """
    failed: dict[str, str] = {}

    def attempt(p: Plan, action: Callable[..., Any], *args: Any) -> Any:
        try:
            return action(*args)
        except Exception as e:  # noqa: BLE001 - reported, never timed
            failed[p.label] = f"{type(e).__name__}: {str(e)[:120]}"
            return None

    for p in warm:
        attempt(p, _warm, p)
    kept = {p.label: attempt(p, p.build) for p in plans if p.reuse}
    loops = {p.label: 1 for p in plans}
    for p in plans:
        if min_sample_ns and p.label not in failed:
            once = attempt(p, _sample, p, kept.get(p.label), 1)
            if once is not None:
                loops[p.label] = max(1, min(MAX_LOOPS, -(-min_sample_ns // max(once, 1))))
    gc.collect()
    samples: dict[str, list[int]] = {p.label: [] for p in plans}
    for r in range(repeats):
        turn = r % len(plans)
        for p in plans[turn:] + plans[:turn]:
            if p.label in failed:
                continue
            took = attempt(p, _sample, p, kept.get(p.label), loops[p.label])
            if took is not None:
                samples[p.label].append(took)
    return {label: v for label, v in samples.items() if label not in failed}, failed


def _warm(p: Plan) -> None:
    timed_run(p, p.build())


def _sample(p: Plan, kept: Any, loops: int) -> int:
    """Mean ns of `loops` runs: on the kept structure, or each on a fresh one."""
    total = 0
    for _ in range(loops):
        if p.reuse:
            total += timed_run(p, kept)
        else:
            state = p.build()
            total += timed_run(p, state)
            del state  # released before the next build
    return total // loops


def summary(samples: list[int], count: int) -> dict[str, float]:
    """min / median / max of ns per operation."""
    return {"min": min(samples) / count, "median": statistics.median(samples) / count,
            "max": max(samples) / count}


def paired_ratios(ours: list[int], theirs: list[int]) -> dict[str, float]:
    """Ratios of the samples of each repeat: their median, min and max."""
    ratios = [a / b for a, b in zip(ours, theirs)]
    return {"min": min(ratios), "median": statistics.median(ratios), "max": max(ratios)}
