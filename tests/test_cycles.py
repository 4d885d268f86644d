"""Reference cycles through trees and their iterators are collected by the
cyclic garbage collector, and a collection that runs in the middle of a
member (inside a comparison that allocates) leaves the tree sound."""

import gc
import tracemalloc
import weakref

import pytest

from helpers import check_avl
from quorvel import AVLTree


class Item:
    def __init__(self, v=0):
        self.v = v


class Index:
    """Holds a tree whose key rule is one of its own bound methods."""

    def __init__(self):
        self.index = AVLTree(key=self.rank)

    def rank(self, item):
        return item.v


def through_value(mark):  # a value that refers to the tree holding it
    tree = AVLTree(key="v")
    mark.tree = tree
    tree.insert(mark)


def through_key(mark):  # the value does not refer back; its derived key does
    class Key(Item):
        pass

    def rule(item):
        key = Key(item.v)
        key.tree = tree_ref[0]
        return key

    tree_ref = [None]
    tree = AVLTree(key=rule)
    tree_ref[0] = tree
    tree.insert(mark)
    tree_ref.clear()


def through_key_rule(mark):
    holder = Index()
    holder.index.insert(mark)


def through_snapshot(mark):  # only the iterator's snapshot is in the cycle
    iterator = iter(AVLTree([mark], key="v"))
    mark.iterator = iterator


class Mark(Item):
    """Ordered against anything by identity, so that it can share an identity tree with trees."""

    def __lt__(self, other):
        return id(self) < id(other)

    def __gt__(self, other):
        return id(self) > id(other)


def through_itself(mark):  # a tree without key rule holds itself as value and key
    tree = AVLTree()
    tree.insert(tree)
    tree.insert(mark)


def through_two_trees(mark):
    first, second = AVLTree(), AVLTree()
    first.insert(second)
    second.insert(first)
    first.insert(mark)


CYCLES = {
    "value": through_value,
    "key": through_key,
    "key rule": through_key_rule,
    "iterator snapshot": through_snapshot,
    "tree in its own values": through_itself,
    "two trees": through_two_trees,
}


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_cycles_are_collected(make):
    gc.collect()
    died = []
    mark = Mark()
    watch = weakref.ref(mark, lambda ref: died.append(True))
    make(mark)
    del mark
    assert not died, "the cycle died without the collector: it was not a cycle"
    gc.collect()
    assert died and watch() is None


@pytest.mark.parametrize("make", CYCLES.values(), ids=CYCLES.keys())
def test_collected_cycles_return_their_memory(make):
    def build(rounds):
        for _ in range(rounds):
            make(Mark())

    build(20)  # caches and free lists settle first
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        build(300)
        gc.collect()
        left = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert left < 300 * 16, f"{left} bytes left behind by 300 collected cycles"


class Collecting:
    """A key whose comparisons make garbage cycles and run the collector,
    which then also breaks cycles through other trees: the youngest
    generation every time, all of them (the tree included) now and then."""

    __hash__ = None
    calls = 0

    def __init__(self, v):
        self.v = v

    def _collect(self):
        through_value(Item())
        through_key_rule(Item())
        Collecting.calls += 1
        gc.collect(0 if Collecting.calls % 20 else 2)

    def __eq__(self, other):
        self._collect()
        return self.v == other.v

    def __lt__(self, other):
        self._collect()
        return self.v < other.v

    def __gt__(self, other):
        self._collect()
        return self.v > other.v


def test_collection_inside_comparisons_leaves_the_tree_sound():
    model = set(range(0, 40, 3))
    tree = AVLTree([Collecting(i) for i in model])
    # The tree is in a cycle too: the collector walks it while its members run.
    tree.first().tree = tree
    for i in range(40):
        assert tree.insert(Collecting(i)) == (i not in model)
        model.add(i)
        if i % 3 == 1:
            assert tree.remove(Collecting(i - 1)) == ((i - 1) in model)
            model.discard(i - 1)
        assert [v.v for v in tree.range(Collecting(5), Collecting(9))] == sorted(x for x in model if 5 <= x < 9)
        assert tree.search(Collecting(i)).v == i
    check_avl(tree, lambda v: v.v)
    assert [v.v for v in tree] == sorted(model)
    for v in tree:
        v.tree = None


def test_cleared_tree_and_iterator_stay_usable_by_finalisers():
    # Finalisers of values run while their cycle is broken; whatever they
    # reach (here, through a global) sees an intact or an empty tree.
    seen = []

    class Watcher(Item):
        def __del__(self):
            seen.append((len(self.tree), [type(v).__name__ for v in self.tree], [v.v for v in self.iterator]))

    w = Watcher(1)
    w.tree = AVLTree([w, Item(2)], key="v")
    w.iterator = iter(w.tree)
    del w
    gc.collect()
    # Finalisers run before any cycle is broken: they find everything intact.
    assert seen == [(2, ["Watcher", "Item"], [1, 2])]
