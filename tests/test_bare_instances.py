"""Instances that never went through construction: a replaced `__new__` that
calls `object.__new__`, for both types.  Every state Python can reach must be
a valid one, so such a tree is an empty tree without key rule and such an
iterator is exhausted; each case runs in a child process, since the failure
this guards against is memory corruption."""

import pytest

from helpers import run_isolated

PRELUDE = """
import copy, gc, pickle, weakref
import quorvel.quorvel as native
from quorvel import AVLTree
Iterator = native._AVLTreeIterator

def bare_tree():
    original = AVLTree.__dict__["__new__"]
    AVLTree.__new__ = lambda cls, *a, **k: object.__new__(cls)
    try:
        return AVLTree()
    finally:
        AVLTree.__new__ = original

def bare_iterator():
    Iterator.__new__ = lambda cls, *a, **k: object.__new__(cls)
    try:
        return Iterator()
    finally:
        del Iterator.__new__
"""


def run(body):
    return run_isolated(PRELUDE + body)


def test_a_bare_tree_is_an_empty_tree_without_key_rule():
    out = run("""
        t = bare_tree()
        assert type(t) is AVLTree and len(t) == 0 and not t and t.is_empty() and t.height == 0
        assert list(t) == [] and repr(t) == "AVLTree([])" and t.first() is None
        assert t.__reduce__()[1] == ([], None)
        assert t.insert(5) is True and t.insert(5) is False and t.insert(3) is True
        assert [t.insert(v) for v in range(2000)].count(True) == 1998
        assert len(t) == 2000 and list(t) == list(range(2000)) and t.height == 11
        assert t.search(7) == 7 and 9 in t and t.contains_key(10) and t.search_key(-1) is None
        assert list(t.range(3, 6)) == [3, 4, 5] and list(t.iter_to(2, 5)) == [2, 1, 0]
        assert list(t.iter_from(1998, 5)) == [1998, 1999] and list(t.descending())[:2] == [1999, 1998]
        assert list(t.pre_order())[0] == list(t.level_order())[0] and len(list(t.post_order())) == 2000
        it = iter(t)
        assert next(it) == 0
        for v in range(0, 2000, 2):
            assert t.remove(v) and not t.remove_key(v)
        assert list(it) == list(range(1, 2000)) and len(t) == 1000
        again = pickle.loads(pickle.dumps(t))
        assert list(again) == list(t) and list(copy.copy(t)) == list(t) and list(copy.deepcopy(t)) == list(t)
        t.clear()
        assert len(t) == 0 and t.insert("a") and list(t) == ["a"]
        print("ok")
    """.replace("\n        ", "\n"))
    assert out.split() == ["ok"]


def test_bare_trees_take_part_in_collection_and_are_destroyed():
    out = run("""
        class Holder:
            pass
        refs = []
        for n in (0, 1, 600):
            t, h = bare_tree(), None
            for v in range(n):
                h = Holder(); h.tree = t
                t.insert((v, h))
                refs.append(weakref.ref(h))
            holder = Holder(); holder.tree = t; holder.it = iter(t)
            t.insert((-1, holder))
            refs.append(weakref.ref(holder))
            del t, h, holder
        gc.collect()
        assert all(r() is None for r in refs), "a cycle through a bare tree was kept"
        for _ in range(50):
            t = bare_tree(); t.insert(1); del t
        print("ok")
    """.replace("\n        ", "\n"))
    assert out.split() == ["ok"]


@pytest.mark.parametrize("touch", ["next", "list", "iter", "length hint", "collect", "drop"])
def test_a_bare_iterator_is_exhausted(touch):
    out = run("""
        it = bare_iterator()
        assert type(it) is Iterator
        TOUCH
        del it
        gc.collect()
        print("ok")
    """.replace("\n        ", "\n").replace("TOUCH", {
        "next": "assert next(it, 'end') == 'end' and next(it, 'end') == 'end'",
        "list": "assert list(it) == []",
        "iter": "assert iter(it) is it",
        "length hint": "import operator; assert operator.length_hint(it, 7) in (0, 7)",
        "collect": "gc.collect(); assert list(it) == []",
        "drop": "pass",
    }[touch]))
    assert out.split() == ["ok"]
