"""The constructor, the key rule, insert and the size queries; no references leak."""

import gc
import math
import random
import sys
from types import SimpleNamespace as NS

import pytest

from quorvel import AVLTree
from helpers import Log, RecordingKey, assert_no_leak, check_avl, refcounts

BAD_KEY = "key must be an attribute name, a callable, or None"


def notes(error):
    return getattr(error, "__notes__", None)


def note(name):
    return [f"while processing '{name}'"] if sys.version_info >= (3, 11) else None


@pytest.mark.parametrize("make", [AVLTree, lambda: AVLTree(None), lambda: AVLTree(values=None, key=None),
                                  lambda: AVLTree(key="x")])
def test_empty_trees(make):
    tree = make()
    assert (len(tree), bool(tree), tree.is_empty(), tree.height) == (0, False, True, 0)
    assert tree.insert(NS(x=object())) is True  # the first key is never compared
    assert (len(tree), bool(tree), tree.is_empty()) == (1, True, False)


@pytest.mark.parametrize("values, expected", [
    ([3, 1, 2, 1], [1, 2, 3]), ("banana", ["a", "b", "n"]), ({"b": 1, "a": 2}, ["a", "b"]), (b"\3\1\3", [1, 3]),
    ((v for v in [5, 4, 5]), [4, 5]), (AVLTree([2, 9, 1]), [1, 2, 9]), (range(99, 0, -1), list(range(1, 100))),
])
def test_values_are_iterated(values, expected):
    tree = AVLTree(values)
    assert list(tree) == expected and len(tree) == len(expected)
    check_avl(tree, keys=lambda v: v)
    assert tree.insert(expected[-1]) is False and len(tree) == len(expected)


def test_key_forms():
    people = [NS(name=n) for n in "cab"]
    for spec in ("name", type("Name", (str,), {})("name")):
        assert [p.name for p in AVLTree(people, key=spec)] == ["a", "b", "c"]
    assert list(AVLTree([3, 1.5, 2, 2.0], key="real")) == [1.5, 2, 3]
    odd = NS(**{"": 1, "a.b": 2})  # the whole text is one attribute name
    assert len(AVLTree([odd], key="")) == 1 and len(AVLTree([odd], key="a.b")) == 1
    with pytest.raises(AttributeError):
        AVLTree([object()], key="")
    assert list(AVLTree(["3", "1", "2", "01"], key=int)) == ["1", "2", "3"]
    assert list(AVLTree(["b", "A", "a"], key=str.lower)) == ["A", "b"]
    assert list(AVLTree([1, 2, 3], key=type("Neg", (), {"__call__": lambda s, v: -v})())) == [3, 2, 1]
    assert list(AVLTree([1, 2], key={1: "z", 2: "y"}.get)) == [2, 1]
    assert list(AVLTree([1, 2], key=lambda v: None)) == [1]


def test_failed_insert_changes_nothing():
    getter = property(lambda s: {}[s.v] if s.v == -1 else s.v)
    Keyed = type("Keyed", (), {"__init__": lambda s, v: setattr(s, "v", v), "k": getter})
    tree = AVLTree([Keyed(1), Keyed(2)], key="k")
    for value, error in ((Keyed(-1), KeyError), (3, AttributeError), (Keyed("x"), TypeError)):
        with pytest.raises(error) as info:
            tree.insert(value)
        assert notes(info.value) is None  # user exceptions pass through untouched
        assert [p.v for p in tree] == [1, 2] and len(tree) == 2


@pytest.mark.parametrize("call, error, message, name", [
    (lambda: AVLTree([1, 2], key=5), TypeError, BAD_KEY, "key"),
    (lambda: AVLTree([], key=5), TypeError, BAD_KEY, "key"),
    (lambda: AVLTree(key=b"name"), TypeError, BAD_KEY, "key"),
    (lambda: AVLTree([1], key="\ud800"), UnicodeEncodeError, None, "key"),
    (lambda: AVLTree(5, key=5), TypeError, "'int' object is not iterable", "values"),
])
def test_argument_conversion_errors(call, error, message, name):
    with pytest.raises(error) as info:
        call()
    assert message is None or str(info.value) == message
    assert notes(info.value) == note(name)


def test_values_are_collected_before_the_key_is_examined():
    seen = []

    def values(fail):
        yield from (seen.append(v) or v for v in (1, 2, 3))
        if fail:
            raise ValueError("iteration broke")

    with pytest.raises(TypeError, match=BAD_KEY):
        AVLTree(values(False), key=5)
    assert seen == [1, 2, 3]
    with pytest.raises(ValueError, match="iteration broke") as info:
        AVLTree(values(True), key=5)
    assert notes(info.value) == note("values")


def test_derivation_alternates_with_insertion():
    log = Log()

    def key(v):
        log.calls.append(("key", v))
        return RecordingKey(v, log) if v != "stop" else {}[v]

    assert list(AVLTree([2, 1, 3], key=key)) == [1, 2, 3]
    assert log.calls == [("key", 2), ("key", 1), ("==", 1, 2), ("<", 1, 2),
                         ("key", 3), ("==", 3, 2), ("<", 3, 2), (">", 3, 2)]
    log.clear()
    with pytest.raises(KeyError) as info:
        AVLTree([5, 6, "stop", 7, 8], key=key)
    assert notes(info.value) is None
    assert [c for c in log.calls if c[0] == "key"] == [("key", 5), ("key", 6), ("key", "stop")]


class Item:
    def __init__(self, v):
        self.v = v


def by_v(item):
    return item.v if item.v != "boom" else 1 / 0


def build_and_fail():
    tree = AVLTree([Item(i) for i in (5, 3, 8, 3, 1)], key=by_v)
    AVLTree(["fresh %d" % i for i in range(40)]).insert("fresh 41")
    for call in (lambda: tree.insert(Item(9)), lambda: tree.insert(Item(5)), lambda: tree.insert(Item("boom")),
                 lambda: tree.insert(Item("str vs int")), lambda: tree.insert(7), lambda: AVLTree([[1], [2]]),
                 lambda: AVLTree([Item(1), Item(2), Item("boom"), Item(4)], key=by_v),
                 lambda: AVLTree([Item(1), Item("x")], key="v"), lambda: AVLTree([Item(1), Item(2)], key=5),
                 lambda: AVLTree([Item(1)], None), lambda: AVLTree([Item(float("nan")), Item(1)], key="v"),
                 lambda: AVLTree((Item(i) if i < 3 else 1 / 0 for i in range(5)), key="v")):
        try:
            call()
        except (ZeroDivisionError, TypeError, AttributeError):
            pass


def test_nothing_is_left_behind():
    assert_no_leak(build_and_fail, rounds=200, warmup=20)
    values = [Item(i) for i in range(6)] + [Item("boom")]
    before = refcounts(*values, by_v)
    for keep in (6, 7):
        tree = AVLTree(values[:6], key=by_v)
        for i in range(len(values)):
            try:
                tree.insert(values[i])
            except ZeroDivisionError:
                pass
        del tree
        for key in (by_v, 5):
            try:
                AVLTree(values[:keep], key=key)
            except (ZeroDivisionError, TypeError):
                pass
    gc.collect()
    assert refcounts(*values, by_v) == before


def test_large_constructions_match_insertion_one_at_a_time():
    # Large trees of values that are their own keys load the paths of the
    # next few values ahead; they must still build exactly what inserting one
    # value at a time builds, with exactly the same comparisons.
    log = Log()
    rng = random.Random(9)
    n = 140_000
    values = rng.sample(range(-n, 4 * n), n)
    values[::9973] = [v + 0.5 for v in values[::9973]]
    values[5::20011] = [RecordingKey(v + 0.25, log) for v in values[5::20011]]
    values += [True, 2**70, -(2**70), values[77], float(values[78])]
    built = AVLTree(values)
    seen = list(log.calls)
    log.clear()
    inserted = AVLTree()
    for v in values:
        inserted.insert(v)
    assert seen == log.calls and seen
    assert len(built) == len(inserted) > n
    assert all(a is b for a, b in zip(built.pre_order(), inserted.pre_order()))

    sample = values[1000:1010]
    before = refcounts(*sample)
    with pytest.raises(TypeError, match="^PyAny::compare\\(\\): All comparisons returned false$"):
        AVLTree(values[:n - 5] + [math.nan] + values[n - 5:])
    assert refcounts(*sample) == before
