"""Targets, shown beside the measured ratios and never asserted.

Each entry: (workload, n) -> [(against, limit)], where `against` is "best"
(the best ordered peer), "idiom" (the fastest idiom), "floor", a peer label,
the std::set label, or "ns" for an absolute limit on quorvel's ns per
operation.  Memory limits are bytes per element (tracemalloc).
"""

from __future__ import annotations

from .cpp import LABEL as CPP

TARGETS: dict[tuple[str, int], list[tuple[str, float]]] = {
    ("insert", 10**5): [("SortedSet", 0.5)],
    ("insert", 10**6): [("best", 0.35), (CPP, 2.0)],
    ("remove", 10**5): [("SortedSet", 0.5)],
    ("remove", 10**6): [("best", 0.5)],
    ("contains", 10**5): [("SortedList", 0.5)],
    ("contains", 10**6): [("best", 0.5)],
    ("iterate", 10**4): [("SortedList", 2.0)],
    ("iterate", 10**5): [("SortedList", 2.0)],
    ("iterate", 10**6): [("SortedList", 2.0)],
    ("first", 10**6): [("ns", 5_000.0)],
    ("construct", 10**5): [("SortedSet", 1.0)],
    ("construct", 10**6): [("SortedSet", 1.0)],
    ("range", 10**5): [("idiom", 0.5)],
    ("range", 10**6): [("idiom", 0.5)],
    ("run", 10**5): [("idiom", 0.5)],
    ("run", 10**6): [("idiom", 0.5)],
    ("pickle", 10**5): [("floor", 1.25)],
    ("pickle", 10**6): [("floor", 1.25)],
    ("attr_insert", 10**5): [("SortedKeyList", 0.5)],
    ("str_insert", 10**5): [("SortedSet", 0.6)],
    ("int_pair_insert", 10**5): [("SortedList", 0.5)],
    ("str_pair_insert", 10**5): [("SortedList", 0.6)],
    ("union", 10**5): [("SortedSet", 0.5)],
    ("union", 10**6): [("SortedSet", 0.5)],
    ("intersection", 10**5): [("SortedSet", 0.5)],
    ("intersection", 10**6): [("SortedSet", 0.5)],
    ("difference", 10**5): [("SortedSet", 0.5)],
    ("difference", 10**6): [("SortedSet", 0.5)],
    ("update", 10**5): [("SortedList", 0.5)],
    ("update", 10**6): [("SortedList", 0.5)],
    ("issubset", 10**5): [("SortedSet", 0.5)],
    ("issubset", 10**6): [("SortedSet", 0.5)],
    ("item", 10**5): [("SortedList", 1.0)],
    ("item", 10**6): [("SortedList", 1.0)],
    ("index", 10**5): [("SortedList", 0.6)],
    ("index", 10**6): [("SortedList", 0.6)],
    ("bisect", 10**5): [("SortedList", 0.6)],
    ("bisect", 10**6): [("SortedList", 0.6)],
    ("pop_front", 10**5): [("SortedList", 0.6)],
    ("pop_front", 10**6): [("SortedList", 0.6)],
    ("pop_back", 10**5): [("SortedList", 0.6)],
    ("pop_back", 10**6): [("SortedList", 0.6)],
    ("pop_random", 10**5): [("SortedList", 0.6)],
    ("pop_random", 10**6): [("SortedList", 0.6)],
    ("slice", 10**5): [("SortedList", 1.0)],
    ("slice", 10**6): [("SortedList", 1.0)],
    ("head", 10**6): [("ns", 5_000.0)],
    ("next_above", 10**6): [("ns", 3_000.0)],
    ("ends", 10**6): [("OOTreeSet", 1.0)],
}
MEMORY_TARGETS: dict[tuple[str, int], float] = {
    ("plain", 10**5): 32.0, ("plain", 10**6): 32.0,
    ("keyed", 10**5): 40.0, ("keyed", 10**6): 40.0,
}
