"""Random operation sequences over random mixed values and key rules: no crash,
no exception but the expected kinds, and a sound tree after every step."""

import gc
import os
import weakref

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import helpers
from helpers import (BOOL_DEFINITIONS, LIED_ABOUT, MUTATING, OPERATIONS, TYPE_LIES, Boom, Holder, Hostile, Linked,
                     WatchedName, WatchedRule, avl_bound, check_avl, check_native, dict_emptier, expected_flag,
                     key_spec, lying_class, reenter_deeply)
from quorvel import AVLTree
from quorvel.quorvel import _avltree_from_sorted_entries

EXPECTED = (TypeError, ValueError, AttributeError, RuntimeError, RecursionError, Boom)
EXAMPLES = int(os.environ.get("QUORVEL_FUZZ_EXAMPLES", "200"))
FUZZED = sorted(set(OPERATIONS) - {"pickle"})  # hostile objects hold closures that cannot be pickled
current = [None]


def reenter():
    if current[0] is not None:
        current[0].insert(0)


def flaky_key(v):
    if isinstance(v, Hostile) and v.mode == "raise":
        raise Boom("key")
    return v


def type_key(v):  # unlike types ordered by their names; tuples as they are
    return (type(v).__name__, v) if not isinstance(v, tuple) else v


plain = (st.integers(-5, 5) | st.integers() | st.floats(allow_nan=True, allow_infinity=True)
         | st.text("ab\u00e9\u4e2d\U0001f600\ud800", max_size=12)  # a fixed alphabet needs no
         | st.binary(max_size=4) | st.none() | st.booleans())      # character tables built first
READING = sorted(set(OPERATIONS) - MUTATING - {"construct", "pickle", "copy", "from_sorted", "reduce"})
deep = reenter_deeply(current, READING)  # re-enters until RecursionError
hostile = st.builds(Hostile, st.integers(-5, 5),
                    st.sampled_from([None, "raise", "false", "badbool", "random"]),
                    st.sampled_from([None, reenter, deep]))
values = st.recursive(plain | hostile, lambda inner: st.tuples(inner, inner), max_leaves=4)
rules = st.sampled_from([None, None, "real", "v", flaky_key, type_key, repr, "holder"])


def check_structure(tree):
    # With lying comparisons one object may be stored twice and order may not
    # hold; shape, balance and counts must hold anyway.
    ordered = list(tree)
    n = len(tree)
    for walk in (tree.pre_order, tree.post_order, tree.level_order):
        assert sorted(map(id, walk())) == sorted(map(id, ordered))
    assert [id(v) for v in tree.descending()] == [id(v) for v in reversed(ordered)] and len(ordered) == n
    assert tree.height <= avl_bound(n) + 1e-9 and (n == 0) == (tree.height == 0)
    check_native(tree, order=False)
    if len(set(map(id, ordered))) == n:
        check_avl(tree)


def make_tree(rule, initial):
    if rule == "holder":  # the key rule is a bound method of the tree's holder: a cycle
        return Holder(initial).tree
    return AVLTree(initial, key=rule)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(rules, st.lists(values, max_size=12), st.integers(0, 2**32 - 1),
       st.lists(st.tuples(st.sampled_from(FUZZED), values), min_size=5, max_size=40),
       st.lists(st.integers(-5, 5), max_size=4))
def test_random_operations_on_hostile_values(rule, initial, seed, steps, linked):
    helpers.RNG.seed(seed)
    try:
        tree = make_tree(rule, initial)
    except EXPECTED:
        tree = make_tree(rule, [])
    # Values that refer back to the tree: every such cycle must be collected at the end.
    watched = []
    for v in linked:
        value = Linked(v)
        value.back = tree
        watched.append(weakref.ref(value))
        try:
            tree.insert(value)
        except EXPECTED:
            pass
        del value
    current[0] = tree
    try:
        for name, x in steps:
            try:
                result = OPERATIONS[name](tree, x)
            except EXPECTED:
                continue
            if name == "construct":
                check_structure(result)
            del result
            check_structure(tree)
    finally:
        current[0] = None
    del tree
    gc.collect()
    assert all(w() is None for w in watched), "a cycle through a tree was not collected"


# Lying metaclasses: every message names the real type, and a flag is what
# bool(x) makes of it, found the way bool(x) finds __bool__.
lies = st.lists(st.tuples(st.sampled_from(LIED_ABOUT), st.sampled_from(sorted(TYPE_LIES))), max_size=4)
SITES = ["flag", "count", "sequence", "pair", "value", "key rule", "repr"]


def real_qualname(cls):
    return type.__dict__["__qualname__"].__get__(cls)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(lies, st.booleans(), st.sampled_from(sorted(BOOL_DEFINITIONS)), st.booleans(), st.sampled_from(SITES))
def test_random_lying_types(lies, numpy, bool_definition, on_metaclass, site):
    cls = lying_class(lies, numpy, bool_definition, on_metaclass)
    x = cls()
    tree = AVLTree(range(5))
    if site == "flag":
        kind, expected = expected_flag(x)
        if kind == "flag":
            assert list(tree.range(1, 3, include_end=x)) == ([1, 2, 3] if expected else [1, 2])
        else:
            with pytest.raises(expected) as info:
                tree.range(1, 3, include_end=x)
            if not numpy:
                assert info.value.args == (f"'{real_qualname(cls)}' object is not an instance of 'bool'",)
    elif site in ("sequence", "pair"):
        with pytest.raises(TypeError) as info:
            _avltree_from_sorted_entries(x if site == "sequence" else [x], None)
        target = "Sequence" if site == "sequence" else "tuple"
        assert info.value.args == (f"'{real_qualname(cls)}' object is not an instance of '{target}'",)
    elif site == "count":
        with pytest.raises(TypeError):
            tree.iter_from(0, x)
    elif site == "value":
        with pytest.raises(TypeError):
            tree.insert(x)
        assert AVLTree([x]).first() is x
    elif site == "key rule":
        keyed = AVLTree([x], key=lambda v: 1)
        assert keyed.search(x) is x and list(keyed) == [x]
    else:
        assert repr(AVLTree([x])).startswith("AVLTree([<")
    assert list(tree) == list(range(5))


# Argument containers emptied by the call's own callbacks: the constructor's
# keyword dict while its values are iterated, and the call's dicts while a
# flag or count converts.
@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(["callable", "attribute"]), st.lists(st.integers(-5, 5), max_size=6),
       st.integers(0, 6), st.sampled_from(["constructor", "range", "iter_from"]))
def test_random_arguments_emptied_while_in_use(rule_kind, items, drop_at, member):
    seen = []
    if member == "constructor":
        arguments = {"key": WatchedRule() if rule_kind == "callable" else WatchedName("real")}
        expected_rule = weakref.ref(arguments["key"])

        def values():
            for i, item in enumerate(items):
                if i == drop_at:
                    seen.append(dict_emptier(arguments, "key"))
                    assert seen[-1]() is not None, "the key rule went while the constructor held it"
                yield item

        tree = AVLTree(values(), **arguments)
        assert list(tree) == sorted(set(items))
        assert key_spec(tree) is expected_rule() if rule_kind == "callable" else key_spec(tree) == "real"
        return
    tree = AVLTree(items)

    class bool_:  # numpy's boolean scalar, as far as the module can tell
        __module__ = "numpy"

        def __init__(self, answer):
            self.answer = answer

        def __bool__(self):
            for name in ("start", "end") if member == "range" else ("start",):
                if name in arguments:
                    seen.append(dict_emptier(arguments, name))
            return self.answer

        __index__ = lambda self: int(self.__bool__())  # noqa: E731

    start, end = Hostile(drop_at - 3), Hostile(drop_at)
    if member == "range":
        arguments = {"start": start, "end": end, "include_start": bool_(True), "include_end": bool_(False)}
        expected = [v for v in sorted(set(items)) if drop_at - 3 <= v < drop_at]
        del start, end
        assert list(tree.range(**arguments)) == expected
    else:
        arguments = {"start": start, "count": bool_(True)}
        expected = [v for v in sorted(set(items)) if v >= drop_at - 3][:1]
        del start, end
        assert list(tree.iter_from(**arguments)) == expected
