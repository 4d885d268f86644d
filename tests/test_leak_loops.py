"""Every operation, succeeding and in each of its failing forms, repeated: the
interpreter's memory and the reference counts of the objects involved stay flat."""

import gc

import pytest

from helpers import OPERATIONS, Boom, Hostile, assert_no_leak, rebuild, refcounts
from quorvel import AVLTree
from quorvel.quorvel import _avltree_from_sorted_entries as from_sorted

# Ints outside the interpreter's shared small ones, so that their counts are ours alone.
BIG = 10**9
BASE = AVLTree(range(BIG, BIG + 16, 2))


def strict_key(v):
    if not isinstance(v, int):
        raise Boom("key")
    return v


CALLABLE_BASE = AVLTree(range(BIG, BIG + 16, 2), key=strict_key)
ATTRIBUTE_BASE = AVLTree(range(BIG, BIG + 16, 2), key="real")
current = [BASE]  # the tree the running round works on, for probes that re-enter it


def reenter():
    current[0].insert(-1)


# The probe x handed to each operation, and the tree it works on.
FORMS = {
    "present": (BASE, lambda: BIG + 4),
    "absent": (BASE, lambda: BIG + 5.5),
    "comparison_raises": (BASE, lambda: Hostile(BIG + 5, "raise")),
    "all_false": (BASE, lambda: Hostile(BIG + 5, "false")),
    "bool_raises": (BASE, lambda: Hostile(BIG + 5, "badbool")),
    "incomparable": (BASE, lambda: "text"),
    "guard_error": (BASE, lambda: Hostile(BIG + 5, hook=reenter)),
    "key_raises": (CALLABLE_BASE, lambda: BIG + 5.5),
    "no_attribute": (ATTRIBUTE_BASE, lambda: object()),
}
FAILURES = (Boom, TypeError, RuntimeError, AttributeError, ValueError)


def assert_flat(action, rounds=100):
    assert_no_leak(action, rounds=rounds, warmup=50, slack=rounds // 10 - 1)


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("name", OPERATIONS)
def test_operation_leaves_nothing_behind(name, form):
    base, make_probe = FORMS[form]
    probe = make_probe()
    operation = OPERATIONS[name]
    values = list(base)
    gc.collect()  # what earlier tests left for the collector would change the counts
    before = refcounts(base, probe, *values)

    def action():
        tree = current[0] = rebuild(base)
        try:
            operation(tree, probe)
        except FAILURES:
            pass
        finally:
            current[0] = BASE

    assert_flat(action)
    assert refcounts(base, probe, *values) == before


BAD_CALLS = {  # one of each way a call is refused
    "binding": lambda t: t.insert(1, 2, val=3),
    "keyword_name": lambda t: t.search_key(1, **{"\ud800": 1}),
    "flag": lambda t: t.range(include_start=1),
    "reversed_range": lambda t: t.range(5, 2),
    "count": lambda t: t.iter_from(1, -1),
    "count_type": lambda t: t.iter_to(1, 1.5),
    "values_not_iterable": lambda t: AVLTree(5),
    "values_raise": lambda t: AVLTree(1 // (5 - v) for v in range(9)),
    "key_rule": lambda t: AVLTree(list(t), key=5),
    "surrogate_key_rule": lambda t: AVLTree(list(t), key="\ud800"),
    "pairs_str": lambda t: from_sorted("ab", None),
    "pairs_lists": lambda t: from_sorted([(1, 1), [2, 2]], None),
    "pairs_triples": lambda t: from_sorted([(1, 1), (2, 2, 2)], None),
    "pairs_key_spec": lambda t: from_sorted(list(t.__reduce__()[1][0]), 42),
    "iterator_type": lambda t: type(iter(t))(),
}


@pytest.mark.parametrize("name", BAD_CALLS)
def test_refused_call_leaves_nothing_behind(name):
    call = BAD_CALLS[name]
    values = list(BASE)
    gc.collect()  # what earlier tests left for the collector would change the counts
    before = refcounts(BASE, *values)

    def action():
        try:
            call(BASE)
        except (TypeError, ValueError, OverflowError, ZeroDivisionError, UnicodeEncodeError):
            return
        raise AssertionError("accepted")

    assert_flat(action)
    assert refcounts(BASE, *values) == before
