"""Ranges over large trees, which read native keys breadth first.

Each result, error and recorded comparison is checked against a plain
recursive walk of the tree's shape, the order every range is defined by.
"""

import math
import random

import pytest

import quorvel.quorvel as native
from helpers import Log, RecordingKey, shape
from quorvel import AVLTree

N = 20_000  # well above the size from which the breadth-first walk is used


def compare(a, b):
    if a == b:
        return 0
    if a < b:
        return -1
    if a > b:
        return 1
    raise TypeError("PyAny::compare(): All comparisons returned false")


_shapes = {}


def model_range(tree, start=None, end=None, include_start=True, include_end=False):
    """The values a range yields, found by recursion over the tree's shape."""
    if id(tree) not in _shapes:  # the trees here are never changed
        _shapes[id(tree)] = (tree, shape(tree))
    if start is not None and end is not None and compare(start, end) > 0:
        raise ValueError("range start must not exceed end")
    out = []

    def walk(node):
        if node is None:
            return
        value, left, right = node
        vs_start = 1 if start is None else compare(value, start)
        vs_end = -1 if end is None else compare(value, end)
        if vs_start > 0:
            walk(left)
        if (vs_start > 0 or (vs_start == 0 and include_start)) and (vs_end < 0 or (vs_end == 0 and include_end)):
            out.append(value)
        if vs_end < 0:
            walk(right)

    walk(_shapes[id(tree)][1])
    return out


def same_objects(got, want):
    got = list(got)
    assert len(got) == len(want) and all(a is b for a, b in zip(got, want))


@pytest.fixture(scope="module")
def ints():
    rng = random.Random(11)
    return AVLTree(rng.sample(range(-5 * N, 5 * N), N))


def bounds_of(tree, rng, width):
    ordered = list(tree)
    i = rng.randrange(len(ordered) - width)
    return ordered[i], ordered[i + width]


@pytest.mark.parametrize("width", [1, 100, 300, 5_000])  # the widest outgrows the breadth-first buffer
def test_int_ranges_match_the_recursive_walk(ints, width):
    rng = random.Random(width)
    for _ in range(20):
        a, b = bounds_of(ints, rng, width)
        flags = {"include_start": rng.random() < 0.5, "include_end": rng.random() < 0.5}
        for start, end in [(a, b), (a - 0.5, b + 0.5), (float(a), float(b)), (None, b), (a, None)]:
            if (start is None) + (end is None) and width < 1000:
                continue  # a one-sided range of a random start is most of the tree
            same_objects(ints.range(start, end, **flags), model_range(ints, start, end, **flags))
    assert list(ints.range(True, 3)) == [v for v in range(1, 3) if v in ints]
    assert list(ints.range(10 * N, None)) == [] and list(ints.range(None, -10 * N)) == []


def test_keys_that_call_back_see_exactly_the_recursive_walks_comparisons():
    log = Log()
    rng = random.Random(7)
    values = rng.sample(range(0, 10 * N, 2), N)
    recorded = [RecordingKey(v + 1, log) for v in values[:40]]  # odd, so no duplicates
    tree = AVLTree(values + recorded)
    queries = [(r.v - 30, r.v + 30) for r in recorded[:10]]
    queries += [(RecordingKey(a, log), b) for a, b in queries[:3]]
    for start, end in queries:
        log.clear()
        got = list(tree.range(start, end))
        seen = list(log.calls)
        log.clear()
        want = model_range(tree, start, end)
        assert seen == log.calls and seen  # same calls, same order, nothing extra
        same_objects(got, want)


def test_trusted_order_is_walked_as_stored():
    # Entries out of order are trusted: a range visits what its comparisons
    # lead to, and may then find keys on the side they would not be on.
    rng = random.Random(3)
    keys = list(range(N))
    swapped = sorted(rng.sample(range(0, N - 1, 2), 2_000))
    for i in swapped:
        keys[i], keys[i + 1] = keys[i + 1], keys[i]
    tree = native._avltree_from_sorted_entries([(k, k) for k in keys], None)
    for i in swapped[:40] + swapped[-10:]:
        for start, end in [(keys[i + 1], keys[i + 1] + 20), (keys[i + 1] - 1000, keys[i]), (keys[i], None)]:
            same_objects(tree.range(start, end), model_range(tree, start, end))
    for _ in range(20):
        a = rng.randrange(N)
        b = a + rng.choice([50, 1000])
        same_objects(tree.range(a, b), model_range(tree, a, b))


def test_a_failure_waits_for_the_keys_met_before_it():
    # Depth first, the walk meets a key that calls back before it meets the
    # NaN; breadth first the NaN comes first, and must not be what is raised.
    log = Log()
    values = [float(i) for i in range(N)]

    def middle(lo, count):  # where the builder puts the root of values[lo:lo + count]
        return lo + count // 2

    left_count = N // 2
    right_lo, right_count = N // 2 + 1, N - 1 - N // 2
    values[middle(right_lo, right_count)] = math.nan
    left_left = middle(0, left_count // 2)
    values[left_left] = RecordingKey(float(left_left), log)
    tree = native._avltree_from_sorted_entries([(v, v) for v in values], None)
    with pytest.raises(TypeError, match="All comparisons returned false"):
        tree.range(-1.0, N + 1.0)
    seen = list(log.calls)
    log.clear()
    with pytest.raises(TypeError):
        model_range(tree, -1.0, N + 1.0)
    assert seen == log.calls and seen
