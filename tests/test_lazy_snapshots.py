"""Ordered iterators of large trees read the tree as they go, until it is about
to change: whatever happens to the tree, they must yield exactly what a copy
taken when they were made would have yielded."""

import gc
import sys
import weakref

import pytest

from quorvel import AVLTree

N = 2_000  # well above the size from which ordered snapshots are read lazily


class Item:
    def __init__(self, k):
        self.k = k


def items(n=N):
    return [Item(k) for k in range(n)]


MAKERS = {
    "iter": (iter, False), "in_order": (AVLTree.in_order, False),
    "descending": (AVLTree.descending, True),
}
CHANGES = {
    "insert": lambda t: [t.insert(Item(k + 0.5)) for k in range(0, N, 7)],
    "insert_duplicate": lambda t: t.insert(Item(3)),
    "remove": lambda t: [t.remove_key(k) for k in range(0, N, 3)],
    "remove_missing": lambda t: t.remove_key(-1),
    "clear": lambda t: t.clear(),
    "destroy": lambda t: None,
}
# Before the first value, inside the first part, at its end, and past it.
TAKEN = [0, 1, 16, 17, 500]


# A tree built from 4,096 values or more lies in key order, and is read by
# position rather than with a stack.
@pytest.mark.parametrize("n", [N, 5_000], ids=["walked", "in_key_order"])
@pytest.mark.parametrize("taken", TAKEN)
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
@pytest.mark.parametrize("make, backwards", MAKERS.values(), ids=MAKERS)
def test_yields_what_was_there_when_made(make, backwards, change, taken, n):
    values = items(n)
    expected = values[::-1] if backwards else values
    tree = AVLTree(values, key="k")
    it = make(tree)
    got = [next(it) for _ in range(taken)]
    change(tree)
    del tree
    gc.collect()
    got += it
    assert len(got) == n and all(a is b for a, b in zip(got, expected))


def test_many_readers_of_one_tree_and_of_two():
    values = items()
    tree, other = AVLTree(values, key="k"), AVLTree(values, key="k")
    readers = [iter(tree) for _ in range(6)]
    steps = [0, 3, 16, 17, 40, 1]
    heads = [[next(r) for _ in range(s)] for r, s in zip(readers, steps)]
    del readers[1], heads[1], readers[3], heads[3]  # readers leave from the middle of the list
    untouched = other.descending()
    next(untouched)
    tree.remove_key(0)
    for head, reader in zip(heads, readers):
        assert head + list(reader) == values
    other.insert(Item(N))
    assert list(untouched) == values[-2::-1]


def test_removed_values_live_until_yielded_or_dropped():
    tree = AVLTree(items(), key="k")
    refs = [weakref.ref(v) for v in tree]
    it, dropped = iter(tree), iter(tree)
    assert next(it) is refs[0]()
    tree.clear()
    assert all(r() is not None for r in refs)
    del dropped
    assert refs[0]() is None  # handed out by `it` before: not kept
    assert all(r() is not None for r in refs[1:])
    for i in range(1, N):
        assert next(it) is refs[i]()
        if i > 1:
            assert refs[i - 1]() is None
    del it
    assert all(r() is None for r in refs)


def test_a_reader_holds_its_tree_until_it_stops_reading():
    tree = AVLTree(range(N))
    before = sys.getrefcount(tree)
    it, other = iter(tree), tree.descending()
    assert sys.getrefcount(tree) == before + 2
    next(it)
    del other  # a dropped reader lets go
    assert sys.getrefcount(tree) == before + 1
    tree.insert(-1)  # handed its values: the reader no longer reads the tree
    assert sys.getrefcount(tree) == before
    assert list(it) == list(range(1, N))


def test_a_reader_keeps_an_otherwise_dropped_tree_until_it_is_done():
    class V:
        def __init__(self, k):
            self.k = k

    tree = AVLTree((V(k) for k in range(N)), key="k")
    refs = [weakref.ref(v) for v in tree]
    it = iter(tree)
    del tree
    assert [v.k for v in it] == list(range(N))
    assert all(r() is None for r in refs)  # the finished reader let go of the tree


class Linked:
    """A value that refers back to the tree holding it."""

    def __init__(self, k, tree):
        self.k, self.tree = k, tree


@pytest.mark.parametrize("taken", [0, 3, 17])
def test_collected_cycles_leave_the_iterator_intact(taken):
    tree = AVLTree(key="k")
    for k in range(N):
        tree.insert(Linked(k, tree))
    ref = weakref.ref(tree.last())
    it = iter(tree)
    got = [next(it) for _ in range(taken)]
    del tree  # only the tree refers to the values still to come
    gc.collect()  # the cycles must not be broken under the iterator
    rest = got + list(it)
    assert [v.k for v in rest] == list(range(N)) and all(type(v.tree) is AVLTree for v in rest)
    del it, rest, got
    gc.collect()  # and once the iterator is done, they are collected
    assert ref() is None


def test_a_tree_collected_through_its_key_rule_hands_over_first():
    class Owner:
        def key(self, v):
            return v

    owner = Owner()
    owner.tree = AVLTree(range(N), key=owner.key)
    it = owner.tree.descending()
    next(it)
    del owner
    gc.collect()
    assert list(it) == list(range(N - 2, -1, -1))


class Probe:
    """A key whose comparisons advance an iterator of the tree being searched or changed."""

    reader = None
    seen = []

    def __init__(self, k):
        self.k = k

    def __lt__(self, other):
        if Probe.reader is not None:
            Probe.seen.append(next(Probe.reader, None))
        return self.k < other.k

    def __eq__(self, other):
        return self.k == other.k


@pytest.mark.parametrize("member", ["insert", "remove", "contains", "search"])
def test_advanced_from_inside_the_trees_own_comparisons(member):
    values = [Probe(k) for k in range(N)]
    tree = AVLTree(values)
    Probe.reader, Probe.seen = iter(tree), []
    try:
        getattr(tree, member)(Probe(N // 3 + 0.5))
    finally:
        reader, Probe.reader = Probe.reader, None
    got = Probe.seen + list(reader)
    assert Probe.seen and len(got) == N and all(a is b for a, b in zip(got, values))


def test_long_runs_are_read_even_when_their_work_memory_fails(hooks):
    # Work arrays make long runs of a large tree faster; without them a run
    # is still read, by the plain walk: both where next() reads ahead and
    # where a change hands a reader its rest.
    values = list(range(40_000))
    tree = AVLTree(values)
    tree.insert(-1)  # a tree just built is read from its storage, with no work arrays
    tree.remove(-1)
    it, changed = iter(tree), iter(tree)
    got = [next(it) for _ in range(4096)]  # runs of 16, 16, 32, ..., 2048: the lent values are used up
    hooks("fail_allocation", 1)
    got.append(next(it))  # a run of 4096, breadth first
    assert hooks("allocations_left") == 0
    hooks("fail_allocation", 1)
    tree.clear()  # hands `changed` its 40,000 values, and `it` the rest of its own
    assert hooks("allocations_left") == 0
    assert got + list(it) == values and list(changed) == values


def test_a_read_rest_is_handed_over_without_allocating(hooks):
    # Past the first part the rest is read but still the tree's: handing it
    # over takes references in place, so no allocation can fail it.
    values = [10**9 + k for k in range(N)]
    tree = AVLTree(values)
    readers = [iter(tree), tree.descending()]
    got = [[next(r) for _ in range(20)] for r in readers]
    last = values[-1]
    hooks("fail_allocation", 1)
    tree.remove(last)
    del values[-1]
    tree.clear()
    assert hooks("allocations_left") == 1  # the armed failure was never reached
    hooks("fail_allocation", 0)
    # `last`, the argument, what the descending reader handed out, and the
    # ascending reader, which has still to hand it out.
    assert sys.getrefcount(last) == 4
    assert got[0] + list(readers[0]) == values + [last]
    assert got[1] + list(readers[1]) == [last] + values[::-1]


def test_readers_leave_nothing_behind():
    from helpers import assert_no_leak, refcounts

    values = [10**9 + k for k in range(N)]
    tree = AVLTree(values)
    sample = values[::97]
    before = refcounts(*sample)

    def action():
        dropped, partial, changed, done = iter(tree), iter(tree), tree.descending(), tree.in_order()
        next(partial)
        [next(changed) for _ in range(20)]
        tree.insert(-1)  # hands `dropped`, `partial` and `changed` their rests
        tree.remove(-1)
        assert sum(1 for _ in done) == N
        del dropped, partial, changed

    assert_no_leak(action, rounds=50, warmup=10, slack=4)
    assert refcounts(*sample) == before
