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

EXPECTED = helpers.EXPECTED_KINDS
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
       st.lists(st.integers(-5, 5), max_size=4), st.booleans())
def test_random_operations_on_hostile_values(rule, initial, seed, steps, linked, collecting):
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
    # On 3.10 and 3.11 a collection may then run inside any allocation of a tracked object.
    thresholds = gc.get_threshold()
    if collecting:
        gc.set_threshold(1)
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
        gc.set_threshold(*thresholds)
        current[0] = None
    del tree
    gc.collect()
    assert all(w() is None for w in watched), "a cycle through a tree was not collected"


# Trees made without construction.  Making one replaces AVLTree.__new__ for
# the rest of the process, so they are fuzzed in a child process of their own.
BARE = """
import gc, random, sys, weakref
sys.path.insert(0, TESTS)
import helpers
from helpers import EXPECTED_KINDS, OPERATIONS, Hostile, Linked, check_native
from quorvel import AVLTree
AVLTree.__new__ = lambda cls, *a, **k: object.__new__(cls)
names = sorted(set(OPERATIONS) - {"construct", "pickle"})
rng = random.Random(SEED)
def value():
    kind = rng.randrange(4)
    if kind == 0: return rng.randrange(-50, 50)
    if kind == 1: return Hostile(rng.randrange(-50, 50), rng.choice([None, None, "raise", "false", "random"]))
    if kind == 2: return Linked(rng.randrange(-50, 50))
    return rng.random() * 100 - 50
watched = []
for round in range(ROUNDS):
    tree = AVLTree()
    assert len(tree) == 0 and tree.height == 0
    for step in range(rng.randrange(5, 60)):
        x = value()
        if isinstance(x, Linked):
            x.back = (tree, iter(tree))
            watched.append(weakref.ref(x))
        try:
            OPERATIONS[rng.choice(names)](tree, x)
        except EXPECTED_KINDS:
            pass
        check_native(tree, order=False)
        assert len(list(tree.pre_order())) == len(tree)
    if rng.random() < 0.5:
        for v in range(600):
            try:
                tree.insert(v + 0.5)
            except EXPECTED_KINDS:
                pass
    del tree, x
gc.collect()
print(sum(w() is not None for w in watched))
"""


@pytest.mark.parametrize("seed", range(4))
def test_random_operations_on_trees_made_without_construction(seed):
    code = (BARE.replace("TESTS", repr(os.path.dirname(__file__))).replace("SEED", str(seed))
            .replace("ROUNDS", str(max(EXAMPLES // 20, 5))))
    assert helpers.run_isolated(code).split() == ["0"]


# Lazy readers of large trees kept in cycles with their trees, advanced,
# dropped and handed over in random order, with collections in between: each
# yields what the tree held when it was made, and everything is collected.
def play_readers(tree, steps):
    readers = []  # (iterator, what it must still yield)
    for action, x in steps:
        if action == "read":
            snapshot = list(tree)
            readers.append((tree.descending(), snapshot[::-1]) if x % 2 else (iter(tree), snapshot))
        elif action == "advance" and readers:
            it, rest = readers[x % len(readers)]
            for _ in range(min(x, len(rest))):
                assert next(it) is rest.pop(0)
        elif action == "change":
            if tree.search_key(x) is None:
                tree.insert(Linked(x))
            else:
                tree.remove_key(x)
        elif action == "drop" and readers:
            readers.pop(x % len(readers))
        elif action == "collect":
            gc.collect()
        elif action == "cycle" and len(tree):
            value = tree.search_key(x) or tree.first()
            value.back = (tree, iter(tree), tree.descending())
    for it, rest in readers:
        assert list(it) == rest


@settings(max_examples=max(EXAMPLES // 4, 10), deadline=None, suppress_health_check=list(HealthCheck))
@given(st.integers(512, 1500), st.lists(st.tuples(st.sampled_from(
    ["read", "read", "advance", "change", "drop", "collect", "cycle"]), st.integers(0, 40)), max_size=30),
    st.booleans())
def test_random_lazy_readers_in_cycles(n, steps, collecting):
    tree = AVLTree((Linked(k) for k in range(n)), key="v")
    watched = [weakref.ref(v) for v in tree]
    thresholds = gc.get_threshold()
    if collecting:
        gc.set_threshold(1)
    try:
        play_readers(tree, steps)
    finally:
        gc.set_threshold(*thresholds)
    del tree
    gc.collect()
    assert all(w() is None for w in watched), "a cycle through a tree and its readers was not collected"


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
