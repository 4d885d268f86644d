"""Random operation sequences checked step by step against a plain sorted-set model."""

import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import HOOKS, check_avl, check_native
from quorvel import AVLTree


class Obj:
    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k


keys = st.integers(-2, 24)
bounds = st.one_of(keys, keys.map(lambda k: k + 0.5))
counts = st.integers(0, 12)
flags = st.booleans()
ARGS = {
    "insert": (keys,), "remove": (keys,), "remove_key": (keys,), "search": (keys,),
    "contains": (keys,), "range": (st.none() | bounds, st.none() | bounds, flags, flags),
    "iter_from": (bounds, counts), "iter_to": (bounds, counts),
    "first": (), "last": (), "snapshot": (), "ordered": (flags, counts), "clear": (),
    "item": (st.integers(-30, 30),), "pop": (st.none() | st.integers(-30, 30),),
    "slice": (st.none() | st.integers(-30, 30), st.none() | st.integers(-30, 30), st.sampled_from([None, 1, 2, -1, -3])),
    "index": (keys,), "bisect": (bounds,),
}
# Drawing the name first keeps every operation about equally likely.
ops = st.sampled_from(sorted(ARGS)).flatmap(lambda name: st.tuples(st.just(name), *ARGS[name]))


def in_range(k, start, end, include_start, include_end):
    lower = start is None or k > start or (k == start and include_start)
    upper = end is None or k < end or (k == end and include_end)
    return lower and upper


@settings(max_examples=int(os.environ.get("QUORVEL_MODEL_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.booleans(), st.lists(ops, min_size=10, max_size=60), st.booleans(), st.booleans())
def test_matches_sorted_set_model(by_attribute, steps, lazy, deep):
    # Where the testing build allows, ordered snapshots of even the smallest
    # trees read the tree as they go, and descents read two levels ahead.
    restore = None
    if HOOKS is not None:
        restore = (HOOKS("lazy_snapshots_from", 0 if lazy else 2**63),
                   HOOKS("deep_descents_from", 0 if deep else 2**63))
    try:
        check_against_model(by_attribute, steps)
    finally:
        if restore is not None:
            HOOKS("lazy_snapshots_from", restore[0])
            HOOKS("deep_descents_from", restore[1])


def check_against_model(by_attribute, steps):
    if by_attribute:
        tree, store, probe, key_of = AVLTree(key="k"), Obj, Obj, (lambda v: v.k)
    else:  # float probes tell the stored int apart from the probe
        tree, store, probe, key_of = AVLTree(), int, float, (lambda v: v)
    model = {}  # key -> the stored value
    snapshots = []

    def ordered(ks):
        return [model[k] for k in ks]

    def same(got, expected):
        got = list(got)
        assert len(got) == len(expected) and all(a is b for a, b in zip(got, expected))

    for op, *args in steps:
        if op == "insert":
            value = store(args[0])
            fresh = args[0] not in model
            assert tree.insert(value) is fresh
            if fresh:
                model[args[0]] = value
        elif op == "remove":
            assert tree.remove(probe(args[0])) is (model.pop(args[0], None) is not None)
        elif op == "remove_key":
            assert tree.remove_key(args[0]) is (model.pop(args[0], None) is not None)
        elif op == "search":
            assert tree.search(probe(args[0])) is model.get(args[0])
        elif op == "contains":
            assert tree.contains(probe(args[0])) is (args[0] in model)
        elif op == "range":
            start, end, bounds_flags = args[0], args[1], dict(include_start=args[2], include_end=args[3])
            if start is not None and end is not None and start > end:
                with pytest.raises(ValueError, match="^range start must not exceed end$"):
                    tree.range(start, end, **bounds_flags)
            else:
                inside = [k for k in sorted(model) if in_range(k, *args)]
                same(tree.range(start, end, **bounds_flags), ordered(inside))
        elif op == "iter_from":
            same(tree.iter_from(*args), ordered([k for k in sorted(model) if k >= args[0]][:args[1]]))
        elif op == "iter_to":
            below = [k for k in sorted(model, reverse=True) if k <= args[0]]
            same(tree.iter_to(*args), ordered(below[:args[1]]))
        elif op == "first":
            assert tree.first() is (model[min(model)] if model else None)
        elif op == "last":
            assert tree.last() is (model[max(model)] if model else None)
        elif op == "item":
            ks = sorted(model)
            if -len(ks) <= args[0] < len(ks):
                assert tree[args[0]] is model[ks[args[0]]]
            else:
                with pytest.raises(IndexError, match="^AVLTree index out of range$"):
                    tree[args[0]]
        elif op == "pop":
            ks = sorted(model)
            index = -1 if args[0] is None else args[0]
            if not ks or not -len(ks) <= index < len(ks):
                message = "pop from empty AVLTree" if not ks else "pop index out of range"
                with pytest.raises(IndexError, match=f"^{message}$"):
                    tree.pop() if args[0] is None else tree.pop(index)
            else:
                assert (tree.pop() if args[0] is None else tree.pop(index)) is model.pop(ks[index])
        elif op == "slice":
            same(tree[args[0]:args[1]:args[2]], ordered(sorted(model)[args[0]:args[1]:args[2]]))
        elif op == "index":
            ks = sorted(model)
            if args[0] in model:
                assert tree.index(probe(args[0])) == tree.index_key(args[0]) == ks.index(args[0])
            else:
                with pytest.raises(ValueError, match=" is not in tree$"):
                    tree.index(probe(args[0]))
        elif op == "bisect":
            ks = sorted(model)
            below, not_above = sum(k < args[0] for k in ks), sum(k <= args[0] for k in ks)
            assert (tree.bisect_left_key(args[0]), tree.bisect_right_key(args[0])) == (below, not_above)
            if by_attribute:
                assert (tree.bisect_left(Obj(args[0])), tree.bisect_right(Obj(args[0]))) == (below, not_above)
        elif op == "snapshot":
            snapshots.append((tree.level_order(), list(tree.level_order())))
        elif op == "ordered":  # partly taken, the rest checked at the end
            backwards, taken = args
            expected = ordered(sorted(model, reverse=backwards))
            it = tree.descending() if backwards else iter(tree)
            same([next(it) for _ in expected[:taken]], expected[:taken])
            snapshots.append((it, expected[taken:]))
        else:
            tree.clear()
            model.clear()
        assert len(tree) == len(model)
        same(tree, ordered(sorted(model)))
        check_avl(tree, keys=key_of)
        check_native(tree)

    for it, expected in snapshots:
        same(it, expected)
