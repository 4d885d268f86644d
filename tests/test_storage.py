"""The node storage: memory per entry, compaction after removals, growth that
fails, the entry limit, and trees whose entries gain keys of their own."""

import gc
import random
import sys
import tracemalloc

import pytest

import quorvel.quorvel as native
from helpers import check_avl, check_native, shape
from quorvel import AVLTree
from test_shapes import _insert, _plain, _remove


class Item:
    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k


def traced(make):
    """What `make()` leaves allocated, in bytes, and its result."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        made = make()
        return tracemalloc.get_traced_memory()[0] - before, made
    finally:
        tracemalloc.stop()


N = 30000
VALUES = random.Random(3).sample(range(10**12, 2 * 10**12), N)


@pytest.mark.parametrize("key, most", [(None, 28.1), ("k", 36.1)])
def test_memory_per_entry(key, most):
    values = VALUES if key is None else [Item(v) for v in VALUES]
    held, tree = traced(lambda: AVLTree(values, key=key))
    assert held / N <= most
    # Inserted one at a time, the storage grows by doubling within a chunk
    # of 4096 nodes: at most half of one chunk is spare.
    def one_by_one():
        grown = AVLTree(key=key)
        for v in values:
            grown.insert(v)
        return grown
    held, grown = traced(one_by_one)
    assert held / N <= most + 2048 * most / N
    assert list(grown) == list(tree)
    check_native(grown)


@pytest.mark.parametrize("key", [None, "k"])
def test_removals_give_storage_back(key):
    values = VALUES if key is None else [Item(v) for v in VALUES]
    kept, removed = values[: N // 10], values[N // 10:]
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        tree = AVLTree(values, key=key)
        for v in removed:
            tree.remove(v)
        after = tracemalloc.get_traced_memory()[0] - base
        fresh = AVLTree(kept, key=key)
        fresh_held = tracemalloc.get_traced_memory()[0] - base - after
    finally:
        tracemalloc.stop()
    assert after <= 2 * fresh_held
    assert list(tree) == list(fresh)
    check_native(tree)


def test_compaction_keeps_shapes():
    # Removals far past the point where the storage is compacted, against
    # the plain recursive algorithm, and the tree still grows afterwards.
    rng = random.Random(11)
    values = rng.sample(range(100000), 12000)
    tree, reference = AVLTree(), None
    for v in values:
        tree.insert(v)
        reference = _insert(reference, v)
    removed = rng.sample(values, 11000)
    for i, v in enumerate(removed):
        assert tree.remove(v)
        reference = _remove(reference, v)
        if i % 1000 == 999:
            assert shape(tree) == _plain(reference)
            check_native(tree)
    for v in rng.sample(range(100000, 110000), 3000):
        tree.insert(v)
        reference = _insert(reference, v)
    assert shape(tree) == _plain(reference)
    check_avl(tree, keys=lambda v: v)


def test_storage_growth_that_fails_changes_nothing(hooks):
    # Every size up to past the first chunk: the insertion that needs more
    # storage fails at its first allocation and leaves the tree as it was.
    tree, failures = AVLTree(), 0
    for i in range(4200):
        hooks("fail_allocation", 1)
        try:
            tree.insert(i)
        except MemoryError:
            failures += 1
            assert hooks("allocations_left") == 0
            assert len(tree) == i and i not in tree
            check_native(tree)
            hooks("fail_allocation", 0)
            assert tree.insert(i)
        hooks("fail_allocation", 0)
    assert failures >= 12  # a few doublings, the second chunk and its doublings
    assert list(tree) == list(range(4200))
    check_native(tree)


def test_entry_limit_is_an_error(hooks):
    hooks("index_limit", 100)
    try:
        tree = AVLTree(range(100))
        value = 10**12 + 1
        count = sys.getrefcount(value)
        with pytest.raises(OverflowError, match="at most 2\\*\\*32 - 1 entries"):
            tree.insert(value)
        assert sys.getrefcount(value) == count and len(tree) == 100 and list(tree) == list(range(100))
        check_native(tree)
        # A freed slot is taken again; the limit counts slots, not insertions.
        assert tree.remove(50) and tree.insert(value) and not tree.insert(value)
        with pytest.raises(OverflowError):
            tree.insert(-1)
        check_avl(tree, keys=lambda v: v)
        check_native(tree)
    finally:
        hooks("index_limit", 0)


def half_up(v):
    return v if v >= 0 else 0.5 - v


def test_entries_gain_a_key_slot(hooks):
    # A rebuild whose keys are their values stores one object per node; the
    # first entry with a key of its own gives every node a value slot.  A
    # twin that had separate keys from the start takes the same steps.
    values = list(range(200))
    tree = native._avltree_from_sorted_entries([(v, v) for v in values], half_up)
    twin = native._avltree_from_sorted_entries([(v, float(v)) for v in values], half_up)
    assert hooks("tree_storage", tree)[0] == 28 and hooks("tree_storage", twin)[0] == 36
    for t in (tree, twin):  # reused slots: nodes no longer lie in key order
        for v in values[::3]:
            t.remove(v)
        for v in values[::3]:
            t.insert(v)
    before = shape(tree)
    hooks("fail_allocation", 1)
    with pytest.raises(MemoryError):
        tree.insert(-100)  # its key, 100.5, is not the value
    hooks("fail_allocation", 0)
    assert hooks("tree_storage", tree)[0] == 28 and shape(tree) == before
    check_native(tree)
    for t in (tree, twin):
        assert t.insert(-100) is True and t.insert(-150) is True
    assert hooks("tree_storage", tree)[0] == 36
    assert shape(tree) == shape(twin)
    assert list(tree) == values[:101] + [-100] + values[101:151] + [-150] + values[151:]
    assert [key for _, key in tree.__reduce__()[1][0]] == list(map(half_up, tree))
    check_native(tree)
    for t in (tree, twin):
        assert t.search(-100) == -100 and t.remove(-100) is True and t.remove(-150) is True
    assert shape(tree) == shape(twin)
    check_native(tree)


def test_every_reference_is_released_once():
    # Without a key rule a node holds its one object twice; with one, the
    # value and the key.  Each path that drops entries drops both.
    numbers = [10**12 + i for i in range(10000)]
    items = [Item(v) for v in numbers]
    def counts_of(values):
        return [sys.getrefcount(v) for v in values]

    counts = counts_of(numbers) + counts_of(items)
    def remove_half(tree, values):
        for v in values[::2]:
            tree.remove(v)  # past the point of compaction
        check_native(tree)

    remove_half(AVLTree(numbers), numbers)
    remove_half(AVLTree(items, key="k"), items)
    assert counts_of(numbers) + counts_of(items) == counts
    tree = AVLTree(numbers)
    assert counts_of(numbers) == [c + 2 for c in counts[:10000]]
    tree.clear()
    assert counts_of(numbers) == counts[:10000]
