"""Snapshot iterators: independence from the tree, lifetime of values, exhaustion."""

import gc
import pickle
import random
import weakref

import pytest

from helpers import check_avl, refcounts, shape
from quorvel import AVLTree


class Item:
    __slots__ = ("k", "__weakref__")

    def __init__(self, k):
        self.k = k


MAKERS = {
    "iter": iter, "in_order": AVLTree.in_order, "descending": AVLTree.descending,
    "pre_order": AVLTree.pre_order, "post_order": AVLTree.post_order,
    "level_order": AVLTree.level_order, "range": lambda t: t.range(2, 6),
    "iter_from": lambda t: t.iter_from(3, 4), "iter_to": lambda t: t.iter_to(5, 4),
}
CHANGES = {
    "insert": lambda t: [t.insert(Item(k)) for k in (0, 2.5, 4.5, 9)],
    "remove": lambda t: [t.remove_key(k) for k in (1, 3, 4, 5, 7)],
    "clear": lambda t: t.clear(),
    "destroy": lambda t: None,
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES)
@pytest.mark.parametrize("make", MAKERS.values(), ids=MAKERS)
def test_snapshot_is_independent(make, change):
    tree = AVLTree(map(Item, range(1, 8)), key="k")
    expected = list(make(tree))
    it = make(tree)
    next_value = next(it)
    change(tree)
    del tree
    gc.collect()
    assert [next_value, *it] == expected and expected


def test_values_live_exactly_as_long_as_the_iterator_holds_them():
    tree = AVLTree(map(Item, range(5)), key="k")
    refs = [weakref.ref(v) for v in tree]
    it = tree.descending()
    tree.remove_key(4)
    del tree  # the iterator is now the only owner
    assert all(r() is not None for r in refs)
    v = next(it)
    assert v is refs[4]()
    del v  # handed out: the iterator keeps no reference of its own
    assert refs[4]() is None
    assert next(it) is refs[3]()
    assert all(r() is not None for r in refs[:3])
    del it
    assert [r() for r in refs] == [None] * 5


@pytest.mark.parametrize("values", [[], [1], [1, 2, 3]])
def test_exhaustion_is_permanent(values):
    it = AVLTree(values).iter_from(0, 10)
    assert iter(it) is it
    assert list(it) == values
    for _ in range(3):
        with pytest.raises(StopIteration) as info:
            next(it)
        assert info.value.args == ()
        assert next(it, "done") == "done"
    assert list(it) == []


@pytest.mark.parametrize("how", ["remove", "remove_key", "clear"])
def test_changing_the_tree_while_looping_over_it(how):
    tree = AVLTree(range(20))
    seen = []
    for v in tree:
        seen.append(v)
        if how == "clear":
            if v == 7:
                tree.clear()
            continue
        assert getattr(tree, how)(v)
        if v < 3:
            tree.insert(100 + v)  # the running loop must not see it
    assert seen == list(range(20))
    assert list(tree) == ([] if how == "clear" else [100, 101, 102])


# Trees this large are read by a different walk (breadth first, then in
# order off a copy of the links); it must give the same sequences.
LARGE = 40_000


@pytest.fixture(scope="module")
def large():
    rng = random.Random(3)
    items = [Item(k) for k in rng.sample(range(10 * LARGE), LARGE)]
    return AVLTree(items, key="k"), sorted(items, key=lambda v: v.k)


@pytest.mark.parametrize("make, expected", [
    (iter, lambda s: s), (AVLTree.in_order, lambda s: s),
    (AVLTree.descending, lambda s: s[::-1]),
    (lambda t: pickle.loads(pickle.dumps(t)).in_order(), None),
])
def test_large_trees_walk_in_order(large, make, expected):
    tree, ordered = large
    got = list(make(tree))
    if expected is None:  # a copy: equal keys, other objects
        assert [v.k for v in got] == [v.k for v in ordered]
    else:
        want = expected(ordered)
        assert len(got) == len(want) and all(a is b for a, b in zip(got, want))


def test_large_snapshots_take_one_reference_each(large):
    tree, ordered = large
    sample = ordered[::997]
    before = refcounts(*sample)
    snapshot = tree.in_order()
    taken = [next(snapshot) for _ in range(17)]  # past the first part: the rest is read, still the tree's
    extra = Item(-1)
    tree.insert(extra)  # hands the snapshot its own references first
    tree.remove(extra)
    assert refcounts(*sample) == [c + 1 for c in before]
    del snapshot, taken
    assert refcounts(*sample) == before
    pairs = tree.__reduce__()[1][0]
    assert all(p[0] is v for p, v in zip(pairs, ordered))
    del pairs
    assert refcounts(*sample) == before


def test_large_trees_walk_in_their_shape(large):
    tree, _ = large
    check_avl(tree, keys=lambda v: v.k)  # pre-order and in-order agree on one valid shape
    root = shape(tree)
    post, level, queue = [], [], [root]

    def walk_post(node):
        if node is not None:
            walk_post(node[1])
            walk_post(node[2])
            post.append(node[0])

    walk_post(root)
    for node in queue:
        if node is not None:
            level.append(node[0])
            queue += node[1:]
    for walk, expected in ((tree.post_order, post), (tree.level_order, level)):
        got = list(walk())
        assert len(got) == len(expected) and all(a is b for a, b in zip(got, expected))


@pytest.mark.parametrize("make, allocations", [
    (AVLTree.in_order, 2), (AVLTree.descending, 2),  # the snapshot's room, the reading
    (AVLTree.__reduce__, 2),  # the snapshot, then the walk's work array
])
def test_large_walks_fail_cleanly(hooks, large, make, allocations):
    tree, ordered = large
    sample = ordered[::997]
    before = refcounts(*sample)
    for n in range(1, allocations + 1):
        hooks("fail_allocation", n)
        with pytest.raises(MemoryError):
            make(tree)
        hooks("fail_allocation", 0)
        assert refcounts(*sample) == before
    assert list(tree) == ordered
