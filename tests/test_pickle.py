"""Pickling, copying and the comparison-free rebuild from sorted entries."""

import copy
import math
import importlib
import pickle
import sys
from collections import namedtuple
from dataclasses import dataclass

import pytest

import quorvel.quorvel as native
from quorvel import AVLTree
from helpers import Log, RecordingKey, assert_no_leak, check_avl, refcounts, shape

build = native._avltree_from_sorted_entries
CALLS = []
S = object()


@dataclass(frozen=True)
class Item:
    k: int


class Name(str):
    pass


def neg(v):
    return -v


def counted(v):
    CALLS.append(v)
    return v


def no_leak(action):
    # Long runs: the first few hundred calls of any action fill interpreter caches.
    assert_no_leak(action, rounds=1000, warmup=200)


def pairs_of(tree):
    return tree.__reduce__()[1][0]


# Each case: key rule, four values in ascending key order, a fifth value and its key.
CASES = {"identity": (None, [1.5, 2.5, 3.5, 4.5], 0.5, 0.5),
         "attribute": ("k", [Item(1), Item(2), Item(3), Item(4)], Item(9), 9),
         "attribute-subclass": (Name("k"), [Item(1), Item(2), Item(3), Item(4)], Item(0), 0),
         "callable": (neg, [4, 3, 2, 1], 7, -7)}
TRIPS = [pytest.param(lambda t, p=p: pickle.loads(pickle.dumps(t, p)), id=f"pickle{p}")
         for p in range(pickle.HIGHEST_PROTOCOL + 1)] + [copy.copy, copy.deepcopy]


@pytest.mark.parametrize("trip", TRIPS)
@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_round_trip_keeps_entries_and_key_rule_and_builds_balanced(case, trip):
    key, values, extra, extra_key = case
    t = AVLTree(key=key)
    for v in values:
        t.insert(v)
    before = (list(t.pre_order()), pairs_of(t))
    assert before[0] == [values[i] for i in (1, 0, 2, 3)]
    u = trip(t)
    assert type(u) is AVLTree and len(u) == 4 and list(u) == values and pairs_of(u) == before[1]
    spec = u.__reduce__()[1][1]
    assert type(spec) is (str if isinstance(key, str) else type(key)) and spec == key
    assert all(u.search_key(k) == v for v, k in before[1])
    assert list(u.pre_order()) == [values[i] for i in (2, 1, 0, 3)]
    assert list(u.level_order()) == [values[i] for i in (2, 1, 3, 0)]
    assert u.height == t.height == 3
    if trip is copy.copy:
        assert all(a is b for p, q in zip(pairs_of(u), before[1]) for a, b in zip(p, q))
    assert u.insert(extra) and u.search_key(extra_key) == extra and not u.insert(extra)
    assert (list(t.pre_order()), pairs_of(t)) == before
    assert len(t) == 4


@pytest.mark.parametrize("n, expected", [
    (0, None), (1, (0, None, None)), (2, (1, (0, None, None), None)),
    (4, (2, (1, (0, None, None), None), (3, None, None))),
    (7, (3, (1, (0, None, None), (2, None, None)), (5, (4, None, None), (6, None, None))))])
def test_builder_shape_roots_at_upper_middle(n, expected):
    u = build([(i, i) for i in range(n)], None)
    assert shape(u) == expected and len(u) == n and list(u) == list(range(n))
    check_avl(u)
    assert u.height == n.bit_length()


def test_reduce_value_holds_the_stored_objects():
    values = [object() for _ in range(3)]
    t = AVLTree(values, key=id)
    before = refcounts(*values)
    func, (pairs, spec) = t.__reduce__()
    assert func is importlib.import_module("quorvel.quorvel")._avltree_from_sorted_entries
    assert spec is id and type(pairs) is list and all(type(p) is tuple for p in pairs)
    assert [(v, k) for v, k in pairs] == sorted(((v, id(v)) for v in values), key=lambda p: p[1])
    assert all(v is k for v, k in pairs_of(AVLTree([(2,), (1,)])))
    assert AVLTree().__reduce__()[1] == ([], None)
    assert refcounts(*values) != before
    del func, pairs, spec
    assert refcounts(*values) == before
    no_leak(t.__reduce__)


def test_reduce_guard_and_lookup_failures(monkeypatch):
    t, seen = AVLTree([1, 2, 3]), []

    class Probe:
        def __eq__(self, other):
            seen.append(pairs_of(t))  # a reading member may reduce the tree
            return False
        __lt__ = __gt__ = lambda self, other: True
    t.search_key(Probe())
    assert seen[0] == [(1, 1), (2, 2), (3, 3)]

    def key(v):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            t.__reduce__()
        return v
    t = AVLTree(key=key)
    assert t.insert(1) and t.insert(2) and len(t) == 2

    class FakeModule:  # the function is looked up while the tree is still borrowed
        def __getattr__(self, name):
            if name != "_avltree_from_sorted_entries":
                raise AttributeError(name)
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                t.insert(5)
            return seen.append(len(t)) or build
    monkeypatch.setitem(sys.modules, "quorvel.quorvel", FakeModule())
    assert t.__reduce__()[0] is build and seen[-1] == 2 and len(t) == 2
    monkeypatch.setitem(sys.modules, "quorvel.quorvel", None)
    pytest.raises(ImportError, t.__reduce__)
    monkeypatch.setitem(sys.modules, "quorvel.quorvel", native)
    monkeypatch.delattr(native, "_avltree_from_sorted_entries")
    assert "_avltree_from_sorted_entries" in str(pytest.raises(AttributeError, t.__reduce__).value)


def test_rebuild_makes_no_comparison_and_derives_no_key():
    log = Log()
    t = AVLTree([RecordingKey(i, log) for i in (5, 1, 4, 2, 3)])
    log.clear()
    assert [k.v for k in copy.copy(t)] == [1, 2, 3, 4, 5] and not log.calls
    u = pickle.loads(pickle.dumps(t))
    assert [k.v for k in u] == [1, 2, 3, 4, 5] and not next(iter(u)).log.calls and not log.calls
    c = AVLTree(range(20), key=counted)
    CALLS.clear()
    for u in (copy.copy(c), pickle.loads(pickle.dumps(c))):
        assert list(u) == list(range(20)) and CALLS == []
    assert u.insert(20) and CALLS == [20]


def test_rebuild_keeps_pairs_as_given():
    Pair = namedtuple("Pair", "value key")
    assert list(build(((3, 3), Pair(1, 1), (2, 2)), None)) == [3, 1, 2]
    assert len(build([(1, 1), (1, 1)], None)) == 2
    assert list(build([(1, 1), ("a", "a"), (None, None), (2.5, 2.5)], None)) == [1, "a", None, 2.5]
    u = build([(Item(1), 50)], "k")
    assert u.search_key(50) == Item(1) and u.search(Item(1)) is None
    assert u.insert(Item(60)) and list(u) == [Item(1), Item(60)]
    items = [(Item(i), i) for i in range(5)]
    for length in (2**62, None, 0):  # the reported length is only a hint, whatever it says
        try:
            u = build(Pairs(items, length), key_spec="k")
        except MemoryError:
            continue
        assert list(u) == [v for v, _ in items] and u.search_key(3) == Item(3)
        check_avl(u)


class Pairs:
    """A sequence of pairs with a chosen length report; iteration may fail midway."""

    def __init__(self, items, length=None, fail_after=None):
        self.items, self.length, self.fail_after = items, length, fail_after

    def __len__(self):
        return self.length if self.length is not None else {}["no length"]

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.fail_after:
                raise ZeroDivisionError("midway")
            yield item


B = "_avltree_from_sorted_entries() "
FAILURES = [  # arguments, keywords, exception, message, note
    (("abc", None), {}, TypeError, "Can't extract `str` to `Vec`", "pairs"),
    ((Name("ab"), 42), {}, TypeError, "Can't extract `str` to `Vec`", "pairs"),
    (({1: 1}, None), {}, TypeError, "'dict' object is not an instance of 'Sequence'", "pairs"),
    (((p for p in [(S, S)]), None), {}, TypeError, "'generator' object is not an instance of 'Sequence'", "pairs"),
    (([(S, S), [S, S]], None), {}, TypeError, "'list' object is not an instance of 'tuple'", "pairs"),
    (([(S, S), (S, S, S)], None), {}, ValueError, "expected tuple of length 2, but got tuple of length 3", "pairs"),
    (([()], None), {}, ValueError, "expected tuple of length 2, but got tuple of length 0", "pairs"),
    ((Pairs([(S, S)] * 3, 3, fail_after=2), 42), {}, ZeroDivisionError, "midway", "pairs"),
    (([(S, S), (S, S)], 42), {}, TypeError, "key must be an attribute name, a callable, or None", "key_spec"),
    (([(S, S)], "\ud800"), {}, UnicodeEncodeError, None, "key_spec"),
    ((), {}, TypeError, B + "missing 2 required positional arguments: 'pairs' and 'key_spec'", None),
    (([(S, S)],), {}, TypeError, B + "missing 1 required positional argument: 'key_spec'", None),
    (([(S, S)], None), {"key": S}, TypeError, B + "got an unexpected keyword argument 'key'", None),
    (([], None, S), {}, TypeError, B + "takes 2 positional arguments but 3 were given", None),
    (([],), {"pairs": [(S, S)]}, TypeError, B + "got multiple values for argument 'pairs'", None),
]


@pytest.mark.parametrize("args, kwargs, exc, message, note", FAILURES)
def test_rebuild_failures(args, kwargs, exc, message, note):
    before = refcounts(S)
    with pytest.raises(exc) as info:
        build(*args, **kwargs)
    assert message is None or str(info.value) == message
    if sys.version_info >= (3, 11) or note is None:
        assert getattr(info.value, "__notes__", None) == (note and [f"while processing '{note}'"])
    del info
    assert refcounts(S) == before

    def fail():
        with pytest.raises(exc):
            build(*args, **kwargs)
    no_leak(fail)


def test_lambda_key_reduces_but_does_not_pickle():
    key = lambda v: v  # noqa: E731
    t = AVLTree([1, 2], key=key)
    assert t.__reduce__()[1][1] is key
    with pytest.raises((pickle.PicklingError, AttributeError), match="lambda"):
        pickle.dumps(t)
    assert list(t) == [1, 2]


def test_round_trips_release_everything():
    values = [Item(i) for i in range(30)]
    t = AVLTree(values, key="k")
    before = refcounts(*values)
    for trip in (copy.copy, copy.deepcopy, lambda t: pickle.loads(pickle.dumps(t))):
        u = trip(t)
        del u
        assert refcounts(*values) == before
        no_leak(lambda: trip(t))


class Int(int):
    pass


def assert_same_keys(given, back):
    """Keys equal to, and of the type and sign of, the keys given."""
    for (_, k), (_, k2) in zip(given, back):
        assert type(k2) is type(k) and (k2 == k or k2 != k2 and k != k)
        if type(k) is float:
            assert math.copysign(1.0, k2) == math.copysign(1.0, k)


def test_rebuild_without_key_rule_keeps_one_object_for_interchangeable_keys():
    nan = float("nan")
    # Equal objects made apart, as unpickling makes them.
    shared = [(10**3, int("1000")), (-1e300, float("-1e300")), (2.5, float("2.5")), (10**30, int("1" + "0" * 30)),
              (-(2**70), -int(str(2**70))), ("text" * 3, "".join(["text"] * 3)), ("\ud800", ("\ud800" + "x")[:1]),
              (float("inf"), float("inf")), (0.0, float("0.0"))]
    kept = [(0.0, -0.0), (-0.0, 0.0), (nan, float("nan")), (nan, -nan), (True, 1), (1, True), (1, 1.0), (1.0, 1),
            (Int(5), int("5")), (int("5"), Int(5)), (Name("a"), "a"), ("a", Name("a")), ((1,), tuple([1])), (7, 8),
            ("a", "b"), (2.5, 2.5000000000000004)]
    for pairs, is_shared in ((shared, True), (kept, False)):
        given = [(v, k) for v, k in pairs]
        keys = [k for _, k in given]
        key_counts = refcounts(*keys)
        tree = build(given, None)
        if is_shared:  # fresh objects, no longer held by the tree
            assert refcounts(*keys) == key_counts
        back = pairs_of(tree)
        assert all((k2 is v) == is_shared and v2 is v for (v, k), (v2, k2) in zip(given, back))
        assert_same_keys(given, back)
        del tree, back
        assert refcounts(*keys) == key_counts
    # Keyed trees keep both objects, even where they are equal.
    for rule in (abs, "real"):
        pairs = [(10**3, int("1000")), (2.5, float("2.5"))]
        assert all(k2 is k for (_, k), (_, k2) in zip(pairs, pairs_of(build(pairs, rule))))


def test_round_trip_of_numbers_keeps_one_object_an_entry():
    values = [10**6 + i for i in range(0, 3000, 3)] + [i / 7 for i in range(1, 1000)] + [str(i) for i in range(500)]
    values.sort(key=lambda v: (type(v) is str, v))
    for tree in (AVLTree(values[:1000]), AVLTree(values[1000:1999]), AVLTree(values[1999:])):
        back = pickle.loads(pickle.dumps(tree))
        assert list(back) == list(tree) and all(k is v for v, k in pairs_of(back))
        middle = list(back)[len(back) // 2]
        assert back.search(middle) is middle and back.remove(middle) and middle not in back
        check_avl(back)
    keyed = AVLTree(values[:1000], key=neg)
    back = pickle.loads(pickle.dumps(keyed))
    assert list(back) == list(keyed) and not any(k is v for v, k in pairs_of(back))
