"""Set operations against a model of Python sets of keys in which the value that comes first wins,
with every key rule and kind of operand; their comparisons; and their atomicity under failing key
rules, comparisons and allocations, and callbacks that meet the guards."""

import copy
import operator
import os
import random
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import Boom, Hostile, Log, RecordingKey, assert_no_leak, check_avl, check_native, key_spec, \
    rebuild, refcounts
from quorvel import AVLTree


class Item:
    """A value whose key is `k`; items of equal keys are told apart by identity."""

    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"Item({self.k})"


def by_k(v):
    return v.k


def negated_k(v):
    return -v.k


BASE = 10**6  # ints made at run time from it are new objects, so that identity tells sources apart

# Per rule: the key rule, a value of key k, the model's key of a value, and another rule that
# orders the same keys differently (an operand tree with it is not of the same rule).
RULES = {
    "none": (None, lambda k: BASE + k, lambda v: v, operator.neg),
    "attribute": ("k", Item, by_k, by_k),
    "callable": (by_k, Item, by_k, negated_k),
}
NAMED = {"union": "union", "intersection": "intersection", "difference": "difference",
         "symmetric_difference": "symmetric_difference"}
OPERATORS = {"union": operator.or_, "intersection": operator.and_, "difference": operator.sub,
             "symmetric_difference": operator.xor}
IN_PLACE = {"union": operator.ior, "intersection": operator.iand, "difference": operator.isub,
            "symmetric_difference": operator.ixor}


def first_wins(values, key):
    out = {}
    for v in values:
        out.setdefault(key(v), v)
    return out


def expected(name, a, b):
    if name == "union":
        return {**a, **{k: v for k, v in b.items() if k not in a}}
    if name == "intersection":
        return {k: v for k, v in a.items() if k in b}
    if name == "difference":
        return {k: v for k, v in a.items() if k not in b}
    return {**{k: v for k, v in a.items() if k not in b}, **{k: v for k, v in b.items() if k not in a}}


def assert_holds(tree, model, rule):
    got = list(tree)
    assert [id(v) for v in got] == [id(model[k]) for k in sorted(model)], (got, model)
    spec = key_spec(tree)
    assert spec == rule if isinstance(rule, str) else spec is rule
    check_avl(tree)
    check_native(tree)


FORMS = ["list", "generator", "same_rule_tree", "other_rule_tree", "self", "empty"]


@settings(max_examples=int(os.environ.get("QUORVEL_MODEL_EXAMPLES", "300")), deadline=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(sorted(RULES)), st.lists(st.integers(-4, 12), max_size=14),
       st.lists(st.integers(-4, 12), max_size=14), st.sampled_from(FORMS))
def test_every_operation_matches_the_model(rule_name, mine, theirs, form):
    rule, make, key, other_rule = RULES[rule_name]
    values, operand_values = [make(k) for k in mine], [make(k) for k in theirs]

    def fresh():
        return AVLTree(values, key=rule)

    def operand(tree):
        return {"list": lambda: operand_values, "generator": lambda: (v for v in operand_values),
                "same_rule_tree": lambda: AVLTree(operand_values, key=rule),
                "other_rule_tree": lambda: AVLTree(operand_values, key=other_rule),
                "self": lambda: tree, "empty": lambda: []}[form]()

    # What the operand is, in its own order: a tree holds the first of equal keys, in key order.
    probe = fresh()
    a = first_wins(probe, key)
    b = first_wins(operand(probe), key)
    if form == "self":
        b = a
    for name in NAMED:
        tree = fresh()
        other = operand(tree)
        assert_holds(getattr(tree, NAMED[name])(other), expected(name, a, b), rule)
        if isinstance(other, AVLTree):
            assert_holds(OPERATORS[name](tree, other), expected(name, a, b), rule)
            changed = IN_PLACE[name](tree, other)
            assert changed is tree
            assert_holds(tree, expected(name, a, b), rule)
    tree = fresh()
    assert tree.update(operand(tree)) is None
    assert_holds(tree, expected("union", a, b), rule)
    tree = fresh()
    other = operand(tree)
    answers = (tree.issubset(other), tree.issuperset(operand(tree)), tree.isdisjoint(operand(tree)))
    assert answers == (a.keys() <= b.keys(), a.keys() >= b.keys(), not a.keys() & b.keys())


def test_first_value_wins_within_the_operand_and_against_the_tree():
    tree = AVLTree([2, 5])
    assert [(v, type(v)) for v in tree.union([3.0, 1, 3, 2.0, 1.0])] == \
        [(1, int), (2, int), (3.0, float), (5, int)]
    assert [type(v) for v in tree.symmetric_difference([5.0, 7.0, 7])] == [int, float]
    tree.update(iter([9.0, 9, 2.0]))
    assert [(v, type(v)) for v in tree] == [(2, int), (5, int), (9.0, float)]


def test_results_have_this_trees_key_rule_and_a_same_rule_operand_is_not_derived_again():
    calls = []

    def counted(v):
        calls.append(v)
        return v.k

    mine, same, other = (AVLTree(map(Item, range(0, 30, 3)), key=counted),
                         AVLTree(map(Item, range(0, 30, 2)), key=counted), AVLTree(map(Item, range(5)), key="k"))
    calls.clear()
    for result in (mine | same, mine.union(same), mine & same, mine - same, mine ^ same):
        assert key_spec(result) is counted
    assert (mine.issubset(same), mine.isdisjoint(same), calls) == (False, False, [])
    result = mine.union(other)  # another rule: each of its values' keys derived once, by this tree's rule
    assert [id(v) for v in calls] == [id(v) for v in other] and key_spec(result) is counted
    assert [v.k for v in result] == [0, 1, 2, 3, 4, 6, 9, 12, 15, 18, 21, 24, 27]
    assert key_spec(AVLTree(key="k").union(mine)) == "k"


def recording(values, log):
    return [RecordingKey(v, log) for v in values]


@pytest.mark.parametrize("name", ["union", "intersection", "difference", "symmetric_difference", "issubset",
                                  "issuperset", "isdisjoint", "update", "|", "&", "-", "^", "|=", "&=", "-=", "^="])
def test_two_trees_take_at_most_n_plus_m_minus_1_comparisons_with_this_trees_key_on_the_left(name):
    log = Log()
    n, m = 40, 25
    mine = AVLTree(recording(range(0, 2 * n, 2), log))  # evens and odds interleave: the longest walk
    theirs = AVLTree(recording(range(1, 2 * m, 2), log))
    log.clear()
    ops = {"|": operator.or_, "&": operator.and_, "-": operator.sub, "^": operator.xor, "|=": operator.ior,
           "&=": operator.iand, "-=": operator.isub, "^=": operator.ixor}
    (ops[name] if name in ops else getattr(AVLTree, name))(mine, theirs)
    walks = [call for call in log.calls if call[0] == "=="]  # every three-way comparison asks == first
    assert len(walks) <= n + m - 1
    if name == "issubset":
        assert walks == []  # a longer tree is a subset of none, without a comparison
    elif name == "issuperset":
        assert len(walks) == 2  # it stops at the first key that decides: this tree lacks 1
    if name in ("union", "|", "update", "symmetric_difference"):
        assert len(walks) == 2 * m  # the second run ends after its last key; the rest is taken as it is
    assert all(left % 2 == 0 and right % 2 == 1 for op, left, right in log.calls)


def test_an_unsorted_operand_is_sorted_stably_and_a_sorted_one_cheaply():
    log = Log()
    tree = AVLTree()
    tree.update(recording(range(300), log))
    # Each merge of two runs finds them in order with one comparison (== then <).
    assert [op for op, _, _ in log.calls] == ["==", "<"] * 299
    log.clear()
    keys = recording([5, 3, 5, 1, 3, 4, 1], log)
    tree = AVLTree().union(keys)
    assert [id(k) for k in tree] == [id(keys[i]) for i in (3, 1, 5, 0)]  # the first of equal keys


def test_the_breadth_first_reading_of_large_trees_is_unobservable(hooks):
    """Trees of 2**14 entries or more are read into an array first: straight from their storage
    while it lies in key order, else breadth first if memory allows.  With every choice of that
    memory failing, the comparisons and the result are those of the plain walk."""
    log = Log()
    mine = AVLTree(recording(range(0, 40000, 2), log))
    theirs = AVLTree(recording(range(0, 40000, 3), log))

    def run():
        log.clear()
        result = mine ^ theirs
        return [(op, a, b) for op, a, b in log.calls], [k.v for k in result]

    reference = run()
    for tree in (mine, theirs):  # an entry that comes and goes ends the key-ordered storage
        extra = recording([-1], log)[0]
        tree.insert(extra)
        tree.remove(extra)
    assert run() == reference
    fallbacks = 0
    for n in range(1, 8):
        hooks("fail_allocation", n)
        try:
            got = run()
        except MemoryError:
            continue
        finally:
            hooks("fail_allocation", 0)
        fallbacks += 1
        assert got == reference
    assert fallbacks >= 2


def test_the_tree_as_its_own_operand_works_as_for_set_without_comparing():
    log = Log()
    keys = recording([3, 1, 2], log)
    tree = AVLTree(keys)
    log.clear()
    assert [list(r) for r in (tree | tree, tree & tree, tree - tree, tree ^ tree, tree.union(tree))] == \
        [keys[1:2] + keys[2:] + keys[:1], keys[1:2] + keys[2:] + keys[:1], [], [], keys[1:2] + keys[2:] + keys[:1]]
    assert (tree.issubset(tree), tree.issuperset(tree), tree.isdisjoint(tree), AVLTree().isdisjoint(AVLTree()))\
        == (True, True, False, True)
    shape = list(tree.pre_order())
    tree.update(tree)
    tree |= tree
    tree &= tree
    assert list(tree.pre_order()) == shape and log.calls == []
    tree -= tree
    assert list(tree) == [] and log.calls == []
    tree = AVLTree(range(600))  # large enough for lazy iterators, which are handed their values first
    it = iter(tree)
    next(it)
    tree ^= tree
    assert list(tree) == [] and list(it) == list(range(1, 600))


def test_changing_members_that_change_nothing_keep_the_shape_and_the_others_rebuild_minimally():
    tree = AVLTree(range(100))  # inserted in order: not the shape the builder gives
    shape = list(tree.pre_order())
    tree.update([5, 17.0, 99])
    tree &= AVLTree(range(-5, 200))
    tree -= AVLTree([-1, 1000])
    tree ^= AVLTree()
    assert list(tree.pre_order()) == shape
    # A few values are inserted one at a time, in key order, as insert would; many are merged and
    # the tree rebuilt at minimal height.
    few, by_insert = AVLTree(range(100)), AVLTree(range(100))
    few |= AVLTree([100, -3, 50.5])
    for v in (-3, 50.5, 100):
        by_insert.insert(v)
    assert list(few.pre_order()) == list(by_insert.pre_order())
    tree |= AVLTree(range(100, 160))
    assert list(tree.pre_order()) == list(rebuild(tree).pre_order()) == list(tree.copy().pre_order())
    for result in (tree | AVLTree([-1]), tree.copy(), tree.difference([3])):
        assert list(result.pre_order()) == list(rebuild(result).pre_order())


def own_key_for_odd(v):
    """An int value as its own key if even, else an equal int of its own."""
    return v if v % 2 == 0 else int(str(v))


@pytest.mark.parametrize("key", [None, "k", own_key_for_odd])
def test_a_merged_update_moves_the_trees_entries_and_takes_the_new_ones_once(key):
    # Many values are merged in and the tree rebuilt in place: its own entries
    # move to the new storage with their references as they were, each new
    # entry is taken once, and nothing is released until the tree is dropped.
    def make(k):
        return Item(k) if key == "k" else BASE + k

    def sort_key(v):
        return v.k if key == "k" else v

    def held(v):  # an entry whose value is its own key holds it twice
        return 1 if key == "k" or (key is own_key_for_odd and v % 2) else 2

    values = [make(k) for k in range(0, 4000, 2)]  # own_key_for_odd: no key apart from its value yet
    fresh = [make(k) for k in range(1, 4000, 6)]
    tree = AVLTree(values, key=key)
    mine, theirs = refcounts(*values), refcounts(*fresh)
    tree.update(fresh + values[:50])
    assert [id(v) for v in tree] == [id(v) for v in sorted(values + fresh, key=sort_key)]
    check_native(tree)
    assert refcounts(*values) == mine
    assert refcounts(*fresh) == [c + held(v) for c, v in zip(theirs, fresh)]
    del tree
    assert refcounts(*values) == [c - held(v) for c, v in zip(mine, values)]
    assert refcounts(*fresh) == theirs


def test_operands_of_ints_keep_the_first_of_equal_keys_with_or_without_other_numbers():
    # Operands whose keys are all ints are sorted without the comparing sort;
    # the result must be the same, bools and repeats included.
    rng = random.Random(5)
    for trial in range(30):
        ints = [BASE + rng.randrange(-40, 40) for _ in range(rng.randrange(0, 120))]
        ints += [True, False, BASE + 3, 1, 0][: rng.randrange(6)]
        rng.shuffle(ints)
        for operand in (ints, ints + [0.5]):  # a float sends the sort down the comparing path
            first = {}
            for v in operand:
                first.setdefault(v, v)
            got = AVLTree().union(operand)
            assert [id(v) for v in got] == [id(first[k]) for k in sorted(first)]
            tree = AVLTree(range(BASE - 50, BASE + 50, 7))
            kept = {v: v for v in tree}
            tree.update(operand)
            expected = dict(first)
            expected.update((k, v) for k, v in kept.items())
            assert [id(v) for v in tree] == [id(expected[k]) for k in sorted(expected)], trial


def test_copy_is_a_new_tree_without_comparisons():
    log = Log()
    tree = AVLTree(recording(range(20), log))
    log.clear()
    duplicate = tree.copy()
    assert log.calls == [] and duplicate is not tree and list(duplicate) == list(tree)
    assert list(duplicate.pre_order()) == list(copy.copy(tree).pre_order())
    keyed = AVLTree(map(Item, range(5)), key=negated_k)
    twin = keyed.copy()
    twin.insert(Item(7))
    assert key_spec(twin) is negated_k and [v.k for v in twin] == [7, 4, 3, 2, 1, 0] and len(keyed) == 5


def test_operators_take_two_trees_and_trees_compare_by_identity_only():
    tree, other = AVLTree([1, 2]), AVLTree([2, 3])
    for op in (operator.or_, operator.and_, operator.sub, operator.xor):
        for left, right in ((tree, [2]), ([2], tree), (tree, {2}), ({2}, tree), (tree, 5)):
            pytest.raises(TypeError, op, left, right)
    for op in (operator.ior, operator.iand, operator.isub, operator.ixor):
        pytest.raises(TypeError, op, tree, [3])
        pytest.raises(TypeError, op, tree, {3})
    assert list(tree) == [1, 2]
    assert tree.__or__([3]) is NotImplemented and tree.__rsub__({3}) is NotImplemented
    assert list(tree.__rsub__(other)) == [3] and list(tree.__ror__(other)) == [1, 2, 3]
    assert tree != tree.copy() and not tree == AVLTree([1, 2]) and hash(tree) != hash(other)
    for op in (operator.lt, operator.le, operator.gt, operator.ge):
        pytest.raises(TypeError, op, tree, other)


def test_an_operand_that_is_no_iterable_is_an_argument_error():
    tree = AVLTree([1])
    for member, parameter in (("update", "values"), ("union", "other"), ("issubset", "other")):
        with pytest.raises(TypeError, match="not iterable") as info:
            getattr(tree, member)(5)
        if sys.version_info >= (3, 11):
            assert info.value.__notes__ == [f"while processing '{parameter}'"]
    with pytest.raises(TypeError, match="'<' not supported"):
        tree.update([1, "a"])
    assert list(tree) == [1]


# --- Atomicity: every failure leaves this tree and every operand exactly as they were.

CHANGING = {
    "update_list": lambda t, o: t.update(list(o)),
    "update_tree": lambda t, o: t.update(o),
    "|=": operator.ior, "&=": operator.iand, "-=": operator.isub, "^=": operator.ixor,
    # Few beside the tree's size: inserted one at a time instead of merged.
    "update_few": lambda t, o: t.update(list(o)[::-1][: len(t) // 8]),
    "update_few_tree": lambda t, o: t.update(AVLTree(list(o)[: len(t) // 8])),
}


def snapshot(*trees):
    return [(len(t), t.height, [id(v) for v in t.pre_order()]) for t in trees]


class FailingComparison:
    """A hook for Hostile keys that raises Boom at comparison number `at`."""

    def __init__(self):
        self.count, self.at = 0, None

    def __call__(self):
        self.count += 1
        if self.count == self.at:
            raise Boom("comparison")


def fail_at_each_comparison(hook, call, after_failure=lambda at: None):
    """call() with its comparisons failing at the first, then the second, ...,
    until one goes through: its result, and how many calls failed."""
    failed = 0
    for at in range(1, 1000):
        hook.count, hook.at = 0, at
        try:
            result = call()
        except Boom:
            failed += 1
            after_failure(at)
            continue
        assert hook.count < hook.at  # it failed at every comparison it makes, then went through
        return result, failed
    raise AssertionError("still failing after 1000 comparisons")


@pytest.mark.parametrize("name", CHANGING)
def test_a_comparison_failing_at_any_point_leaves_both_trees_as_they_were(name):
    hook = FailingComparison()
    tree = AVLTree([Hostile(v, hook=hook) for v in range(0, 60, 3)])
    other = AVLTree([Hostile(v, hook=hook) for v in (range(50, 0, -4))])
    before = snapshot(tree, other)

    def unchanged(at):
        assert snapshot(tree, other) == before, at

    _, failed = fail_at_each_comparison(hook, lambda: CHANGING[name](tree, other), unchanged)
    assert failed >= 20
    check_avl(tree, lambda v: v.v)


@pytest.mark.parametrize("name", ["issubset", "issuperset", "isdisjoint"])
@pytest.mark.parametrize("as_tree", [True, False], ids=["tree", "list"])
def test_a_comparison_failing_at_any_point_of_an_answer_raises(name, as_tree):
    # The walks that only answer must hand the error on, never a bool.
    hook = FailingComparison()
    # Operands for which each answer is True, found only at the end of the walk.
    tree = AVLTree([Hostile(v, hook=hook) for v in range(0, 40, 2)])
    keys = {"issubset": [*range(0, 40, 2), 41], "issuperset": range(2, 40, 2), "isdisjoint": range(1, 40, 2)}[name]
    values = [Hostile(v, hook=hook) for v in keys]
    other = AVLTree(values) if as_tree else values
    answer, failed = fail_at_each_comparison(hook, lambda: getattr(tree, name)(other))
    assert answer is True and failed >= 3


def test_a_key_rule_failing_at_any_value_leaves_the_tree_as_it_was():
    state = {"left": None}

    def rule(v):
        if state["left"] is not None:
            state["left"] -= 1
            if state["left"] == 0:
                raise Boom("key")
        return v.k

    tree = AVLTree(map(Item, range(0, 40, 2)), key=rule)
    other = AVLTree(map(Item, range(30)), key="k")  # another rule: this tree's derives each key
    before = snapshot(tree, other)
    for at in range(1, 31):
        for change in (lambda: tree.update(list(other)), lambda: tree.__ixor__(other)):
            state["left"] = at
            pytest.raises(Boom, change)
            assert snapshot(tree, other) == before
    state["left"] = None
    tree ^= other
    assert [v.k for v in tree] == [*range(1, 30, 2), 30, 32, 34, 36, 38]


@pytest.mark.parametrize("size", [20, 20000])
@pytest.mark.parametrize("name", CHANGING)
def test_allocation_failures_leave_both_trees_as_they_were(hooks, name, size):
    failures = 0
    for n in range(1, 100):
        tree = AVLTree([BASE + v for v in range(0, 3 * size, 3)])
        other = AVLTree([BASE + v for v in range(0, 2 * size, 2)])
        before = snapshot(tree, other)
        hooks("fail_allocation", n)
        try:
            CHANGING[name](tree, other)
        except MemoryError:
            failures += 1
            assert snapshot(tree, other) == before
            continue
        finally:
            left = hooks("allocations_left")
            hooks("fail_allocation", 0)
        if left > 0:  # done before the armed allocation
            break
        # Only the breadth-first reading's memory may fail without an error: the walk serves instead;
        # and the storage hint of the small operand tree that update_few_tree builds first.
        assert size == 20000 or name == "update_few_tree", n
    assert failures > 0


def test_callbacks_meet_the_guards_of_both_trees():
    seen, armed = {}, [False]

    def hook():
        if armed[0] and not seen:
            seen.update({
                "read mine": guard_error(lambda: len(mine)), "change mine": guard_error(lambda: mine.insert(-1)),
                "read theirs": guard_error(lambda: list(theirs)),
                "change theirs": guard_error(lambda: theirs.insert(-1)),
                "theirs |= mine": guard_error(lambda: operator.ior(theirs, mine))})

    def fresh():
        seen.clear()
        armed[0] = False
        trees = AVLTree([Hostile(v, hook=hook) for v in range(5)]), AVLTree([Hostile(v) for v in range(3, 9)])
        armed[0] = True
        return trees

    mine, theirs = fresh()
    mine.union(theirs)
    assert seen == {"read mine": None, "change mine": "Already borrowed", "read theirs": None,
                    "change theirs": "Already borrowed", "theirs |= mine": "Already borrowed"}
    mine, theirs = fresh()
    mine |= theirs
    assert seen == {"read mine": "Already mutably borrowed", "change mine": "Already borrowed",
                    "read theirs": None, "change theirs": "Already borrowed", "theirs |= mine": "Already borrowed"}
    assert [h.v for h in mine] == list(range(9)) and [h.v for h in theirs] == list(range(3, 9))
    # A tree that a member of its own holds exclusively is no operand.
    mine, theirs = fresh()
    refused = []
    theirs.insert(Hostile(5.5, hook=lambda: refused.append(guard_error(lambda: mine.update(theirs)))))
    assert refused and set(refused) == {"Already mutably borrowed"} and [h.v for h in mine] == list(range(5))


def guard_error(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)


def test_nothing_leaks_on_success_or_failure():
    values = [BASE + v for v in range(0, 60, 3)]
    others = [BASE + v for v in range(0, 60, 2)]
    before = refcounts(*values, *others)

    def action():
        t = AVLTree(values, key=abs)
        t.union(others)
        t.intersection(AVLTree(others, key=abs))
        t ^= AVLTree(others)
        try:
            t.update([*others, Hostile(5, "raise")])
        except (Boom, TypeError):
            pass
        try:
            t.symmetric_difference([Hostile(7, "false"), *others])
        except TypeError:
            pass

    assert_no_leak(action, rounds=100, warmup=20)
    assert refcounts(*values, *others) == before

