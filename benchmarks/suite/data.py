"""The inputs: one set per n, built from a fixed seed and shared by every implementation."""

from __future__ import annotations

import random
import string
from dataclasses import dataclass, field

SEED = 20_240_611
RANGE_WIDTH = 100   # values per range query and per counted run
RANGE_QUERIES = 5_000
FIRST_CALLS = 20    # next(iter(x)) calls per timed run
POSITION_QUERIES = 5_000  # tree[i], index, bisect and slice queries per timed run
POPS = 5_000        # pops per timed run (at most half the values)
HEAD = 17           # values taken from the front of a fresh iterator
ENDS_CALLS = 2_000  # first()/last() pairs per timed run
# The mixed workload: shares of inserts, lookups and removals, in that order.
MIXED_SHARES = (50, 30, 20)
INSERT, LOOKUP, REMOVE = 0, 1, 2


class Keyed:
    """A small record ordered by its ``k`` attribute."""

    __slots__ = ("k",)

    def __init__(self, k: int) -> None:
        self.k = k


@dataclass
class Data:
    n: int
    ints: list[int]          # distinct, random order, negatives included
    lookups: list[int]       # the same values, another random order
    removals: list[int]      # and another
    queries: list[tuple[int, int]]  # (start, end) spanning RANGE_WIDTH values
    starts: list[int]        # the starts alone, for counted runs
    objects: list[Keyed]     # Keyed(x) for x in ints
    strs: list[str]          # distinct random ASCII-letter strings
    floats: list[float]      # distinct, random order
    int_pairs: list[tuple[int, int]]  # distinct; equal first items are common
    str_pairs: list[tuple[str, int]]  # distinct; equal first items are common
    mixed_base: list[int]    # present before the mixed workload starts
    mixed_ops: list[tuple[int, int]] = field(repr=False)  # (INSERT | LOOKUP | REMOVE, value)
    positions: list[int] = field(default_factory=list, repr=False)  # random i with i + RANGE_WIDTH < n
    pop_positions: list[int] = field(default_factory=list, repr=False)  # the j-th valid after j pops
    fresh: list[int] = field(repr=False, default_factory=list)  # n // 10 ints not in `ints`, random order

    @property
    def halves(self) -> tuple[list[int], list[int]]:
        """Two sets of n / 2 of the ints, sharing half their values (n / 4)."""
        n = self.n
        return self.ints[: n // 2], self.ints[n // 4: n // 4 + n // 2]


def _distinct_strs(rng: random.Random, n: int) -> list[str]:
    seen: set[str] = set()
    out: list[str] = []
    letters = string.ascii_letters
    while len(out) < n:
        s = "".join(rng.choices(letters, k=10))
        if s not in seen:
            seen.add(s)
            out.append(s)
    return out


def _mixed(rng: random.Random, ints: list[int]) -> tuple[list[int], list[tuple[int, int]]]:
    """n operations on a structure that starts with half the values.

    Inserts take values not yet present (the other half), lookups and removals
    take values present at that moment, so every operation is valid for a set
    and every implementation does exactly the same work.
    """
    n = len(ints)
    present = ints[: n // 2]
    fresh = ints[n // 2:]
    base = present[:]
    kinds = [INSERT] * MIXED_SHARES[0] + [LOOKUP] * MIXED_SHARES[1] + [REMOVE] * MIXED_SHARES[2]
    ops: list[tuple[int, int]] = []
    while len(ops) < n:
        kind = rng.choice(kinds)
        if kind == INSERT and fresh:
            x = fresh.pop()
            present.append(x)
        elif kind != INSERT and present:
            i = rng.randrange(len(present))
            x = present[i]
            if kind == REMOVE:  # swap-remove keeps the choice O(1)
                present[i] = present[-1]
                present.pop()
        else:
            continue
        ops.append((kind, x))
    return base, ops


def make_data(n: int, seed: int = SEED) -> Data:
    rng = random.Random(seed * 1_000_003 + n)
    ints = [v - 5 * n for v in rng.sample(range(10 * n), n)]
    lookups = ints[:]
    rng.shuffle(lookups)
    removals = ints[:]
    rng.shuffle(removals)

    ordered = sorted(ints)
    width = min(RANGE_WIDTH, n - 1)
    picks = [rng.randrange(n - width) for _ in range(min(n, RANGE_QUERIES))]
    # [ordered[i], ordered[i + width]) holds exactly `width` values.
    queries = [(ordered[i], ordered[i + width]) for i in picks]

    strs = _distinct_strs(rng, n)
    # v // 4 puts several values' first items together, so the second item decides often.
    int_pairs = [(v // 4, v % 4) for v in ints]
    str_pairs = [(s[:3], v) for s, v in zip(strs, ints)]
    floats = [v / 3.0 for v in ints]
    base, ops = _mixed(rng, ints)
    positions = [rng.randrange(n - width) for _ in range(min(n, POSITION_QUERIES))]
    pops = min(n // 2, POPS)
    pop_positions = [rng.randrange(n - j) for j in range(pops)]
    return Data(n, ints, lookups, removals, queries, [a for a, _ in queries],
                [Keyed(x) for x in ints], strs, floats, int_pairs, str_pairs, base, ops,
                positions, pop_positions, _fresh(rng, ints, n // 10))


def _fresh(rng: random.Random, ints: list[int], count: int) -> list[int]:
    """`count` distinct ints from the same range as `ints` but not among them."""
    n = len(ints)
    taken = set(ints)
    out: list[int] = []
    while len(out) < count:
        x = rng.randrange(10 * n) - 5 * n
        if x not in taken:
            taken.add(x)
            out.append(x)
    return out
