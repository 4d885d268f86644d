"""Random operation sequences over random mixed values and key rules: no crash,
no exception but the expected kinds, and a sound tree after every step."""

import os

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import helpers
from helpers import OPERATIONS, Boom, Hostile, avl_bound, check_avl, check_native
from quorvel import AVLTree

EXPECTED = (TypeError, ValueError, AttributeError, RuntimeError, Boom)
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
hostile = st.builds(Hostile, st.integers(-5, 5),
                    st.sampled_from([None, "raise", "false", "badbool", "random"]),
                    st.sampled_from([None, reenter]))
values = st.recursive(plain | hostile, lambda inner: st.tuples(inner, inner), max_leaves=4)
rules = st.sampled_from([None, None, "real", "v", flaky_key, type_key, repr])


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


@settings(max_examples=int(os.environ.get("QUORVEL_FUZZ_EXAMPLES", "200")), deadline=None,
          suppress_health_check=list(HealthCheck))
@given(rules, st.lists(values, max_size=12), st.integers(0, 2**32 - 1),
       st.lists(st.tuples(st.sampled_from(FUZZED), values), min_size=5, max_size=40))
def test_random_operations_on_hostile_values(rule, initial, seed, steps):
    helpers.RNG.seed(seed)
    try:
        tree = AVLTree(initial, key=rule)
    except EXPECTED:
        tree = AVLTree(key=rule)
    current[0] = tree
    try:
        for name, x in steps:
            try:
                result = OPERATIONS[name](tree, x)
            except EXPECTED:
                continue
            if name == "construct":
                check_structure(result)
            check_structure(tree)
    finally:
        current[0] = None
