"""Ranges over large trees, which read native keys breadth first.

Results, errors and recorded comparisons must be those of a plain recursive
walk of the tree's shape, the order every range is defined by.
"""

import bisect
import math
import pickle
import random

import pytest

import quorvel.quorvel as native
from helpers import Log, RecordingKey, shape
from quorvel import AVLTree

N = 20_000  # well above the size from which the breadth-first walk is used


def compare(a, b):
    for outcome, holds in ((0, lambda: a == b), (-1, lambda: a < b), (1, lambda: a > b)):
        if holds():
            return outcome
    raise TypeError("PyAny::compare(): All comparisons returned false")


def model_range(root, start=None, end=None, include_start=True, include_end=False):
    if start is not None and end is not None and compare(start, end) > 0:
        raise ValueError("range start must not exceed end")
    out = []

    def walk(node):
        if node is not None:
            value, left, right = node
            vs_start = 1 if start is None else compare(value, start)
            vs_end = -1 if end is None else compare(value, end)
            if vs_start > 0:
                walk(left)
            if (vs_start > 0 or vs_start == 0 and include_start) and (vs_end < 0 or vs_end == 0 and include_end):
                out.append(value)
            if vs_end < 0:
                walk(right)

    walk(root)
    return out


def check(tree, root, start, end, **flags):
    got = list(tree.range(start, end, **flags))
    want = model_range(root, start, end, **flags)
    assert len(got) == len(want) and all(a is b for a, b in zip(got, want))


@pytest.mark.parametrize("width", [1, 100, 300, 5_000])  # the widest outgrows the breadth-first buffer
def test_native_ranges_match_the_recursive_walk(width):
    rng = random.Random(width)
    tree = AVLTree(rng.sample(range(-5 * N, 5 * N), N))
    root, ordered = shape(tree), list(tree)
    for _ in range(20):
        i = rng.randrange(N - width)
        a, b = ordered[i], ordered[i + width]
        flags = {"include_start": rng.random() < 0.5, "include_end": rng.random() < 0.5}
        for start, end in [(a, b), (a - 0.5, b + 0.5), (float(a), b), (False, abs(b)), (None, b), (a, None)]:
            check(tree, root, start, end, **flags)


def test_trusted_order_is_walked_as_stored():
    # Entries out of order are trusted: a range follows its comparisons and
    # may then find keys on the side they would not be on.
    rng = random.Random(3)
    keys = list(range(N))
    swapped = sorted(rng.sample(range(0, N - 1, 2), 2_000))
    for i in swapped:
        keys[i], keys[i + 1] = keys[i + 1], keys[i]
    tree = native._avltree_from_sorted_entries([(k, k) for k in keys], None)
    root = shape(tree)
    for i in swapped[:40] + swapped[-10:]:
        for start, end in [(keys[i + 1], keys[i + 1] + 20), (keys[i + 1] - 1000, keys[i]), (keys[i], None)]:
            check(tree, root, start, end)


def test_keys_that_call_back_and_failures_follow_the_recursive_walk():
    # Depth first, the walk meets the keys that call back in the left half
    # before the NaN at the root's right child; breadth first the NaN comes
    # first, and must not be what is raised, nor keep any call from being made.
    log = Log()
    values = [float(i) for i in range(N)]
    values[N // 2 + 1 + (N - 1 - N // 2) // 2] = math.nan  # the builder's root of the right half
    recorded = range(N // 8 + 7, N // 2, N // 40)  # deeper than the root's children
    for i in recorded:
        values[i] = RecordingKey(float(i), log)
    tree = native._avltree_from_sorted_entries([(v, v) for v in values], None)
    root = shape(tree)
    queries = [(i - 30.0, i + 30.0) for i in recorded] + [(RecordingKey(N / 4, log), N / 3), (-1.0, N + 1.0)]
    for start, end in queries:
        log.clear()
        try:
            got = list(tree.range(start, end))
        except TypeError as error:
            got = error
        seen = list(log.calls)
        log.clear()
        try:
            want = model_range(root, start, end)
        except TypeError as error:
            assert isinstance(got, TypeError) and str(got) == str(error)
        else:
            assert len(got) == len(want) and all(a is b for a, b in zip(got, want))
        assert seen == log.calls and seen
    assert isinstance(got, TypeError)  # the last query reaches the NaN


def outcome_of(walk):
    try:
        return list(walk())
    except (TypeError, ValueError) as error:
        return (type(error), str(error))


def test_tuple_keys_follow_the_recursive_walk():
    # Leads repeat, so many comparisons read the later items; some of those
    # call back or fail, and must be met as the recursive walk meets them.
    log = Log()
    rng = random.Random(17)
    keys = sorted({(rng.randrange(N // 3) * 2, rng.choice([0, 1.5, 2]), rng.choice(["abcdefgh", "abcdefgh!"]))
                   for _ in range(2 * N)})
    assert len(keys) > N  # large enough to be read breadth first
    for i in range(300, len(keys) - 300, len(keys) // 25):
        keys[i] = keys[i][:2] + (RecordingKey(keys[i][2], log),)
    keys[len(keys) // 3] = keys[len(keys) // 3][:1] + (math.nan,)
    middle = len(keys) // 2
    lead = keys[middle][0]
    keys[middle:middle + 60] = [(lead, RecordingKey(float(j), log)) for j in range(60)]  # many callbacks in one range
    tree = native._avltree_from_sorted_entries([(k, k) for k in keys], None)
    root = shape(tree)
    queries = [((k[0],), (k[0] + 1,)) for k in keys[::len(keys) // 15]]
    for i in range(0, len(keys) - 400, len(keys) // 12):
        a, b = keys[i], keys[i + rng.choice([1, 40, 350])]
        # Odd leads are absent: bounds told from every key by its first item alone.
        queries += [(a, b), (a[:2], b[:1]), ((a[0] - 0.5,), (b[0] + 0.5, "")), (a[:1], None), (None, b[:2]),
                    ((a[0] + 1, "x"), (b[0] + 1,))]
    queries += [((lead, RecordingKey(10.5, log)), (lead, RecordingKey(40.5, log))), ((lead,), (lead, RecordingKey(30, log)))]
    queries += [(("a",), None), ((keys[9][0], "x"), (keys[900][0],)), (None, (keys[-5][0], 1, math.nan))]
    for start, end in queries:
        log.clear()
        got = outcome_of(lambda: tree.range(start, end))
        seen = list(log.calls)
        log.clear()
        want = outcome_of(lambda: model_range(root, start, end))
        assert seen == log.calls
        assert type(got) is type(want) and len(got) == len(want)
        assert got == want if type(got) is tuple else all(a is b for a, b in zip(got, want))
    assert {type(outcome_of(lambda: tree.range(s, e))) for s, e in queries} == {list, tuple}


# Runs from a bound take the subtrees that fit in what is left of the count
# whole, breadth first, using heights derived from each node's lean: trees
# built in different ways (one at a time, linearly by unpickling, thinned by
# removals) give every pattern of leans.
@pytest.fixture(scope="module")
def run_trees():
    rng = random.Random(11)
    keys = rng.sample(range(10 * N), N)
    thinned = AVLTree(keys)
    for k in rng.sample(keys, N // 3):
        thinned.remove(k)
    inserted = AVLTree(keys)
    return [inserted, pickle.loads(pickle.dumps(inserted)), thinned]


@pytest.mark.parametrize("count", [0, 1, 2, 3, 7, 8, 63, 100, 511, 512, 1000, 5000, 10**9])
def test_runs_from_a_bound(run_trees, count):
    rng = random.Random(count)
    for tree in run_trees:
        ordered = list(tree)
        for _ in range(40):
            bound = rng.randrange(-5, 10 * N + 5) + rng.choice([0, 0.5])
            at = bisect.bisect_left(ordered, bound)
            assert list(tree.iter_from(bound, count)) == ordered[at:at + count]
            at = bisect.bisect_right(ordered, bound)
            assert list(tree.iter_to(bound, count)) == ordered[max(0, at - count):at][::-1]
