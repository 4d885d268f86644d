"""Tuple keys: every answer, error and rich-comparison call is the interpreter's own.

Exact tuples of native items are compared without calling the interpreter;
a tree whose keys are wrapped in a Python class takes the plain path, and
Python's own ==, <, > is the reference for both.
"""

import math
import random
import sys

import pytest
from hypothesis import given, settings, strategies as st

from helpers import Log, RecordingKey
from quorvel import AVLTree

ALL_FALSE = "PyAny::compare(): All comparisons returned false"
NAN = float("nan")  # one object, so that tuples can hold the very same NaN


class Plain:
    """Compares by the key it holds, through Python code: the interpreter's path."""

    __slots__ = ("k",)

    def __init__(self, k):
        self.k = k

    def __eq__(self, other):
        return self.k == other.k

    def __lt__(self, other):
        return self.k < other.k

    def __gt__(self, other):
        return self.k > other.k

    __hash__ = None


class Int(int):
    pass


def outcome(call):
    try:
        return ("ok", call())
    except Exception as error:  # noqa: BLE001 - the error itself is the answer
        return ("raise", type(error), str(error))


def interpreter_order(a, b):
    """The three questions compare asks, asked by Python."""
    if a == b:
        return 0
    if a < b:
        return -1
    if a > b:
        return 1
    raise TypeError(ALL_FALSE)


def tree_order(a, b, key=None):
    """compare(a, b) as a tree of the one key b answers it on inserting a."""
    tree = AVLTree([b], key=key)
    if not tree.insert(a):
        return 0
    return -1 if tree.first() is a else 1


def check_pair(a, b):
    want = outcome(lambda: interpreter_order(a, b))
    assert outcome(lambda: tree_order(a, b)) == want
    assert outcome(lambda: tree_order(a, b, key=Plain)) == want
    return want


@pytest.mark.parametrize("a, b, want", [
    # the same NaN object is equal to itself inside a tuple; distinct NaNs decide as all-false
    ((NAN, 1), (NAN, 1), 0), ((NAN, 1), (NAN, 2), -1), ((1, NAN), (1, NAN), 0),
    ((float("nan"),), (float("nan"),), ALL_FALSE), ((1, float("nan")), (1, 2.0), ALL_FALSE),
    ((NAN,), (1,), ALL_FALSE), ((1, NAN), (2, NAN), -1), (((NAN,),), ((float("nan"),),), ALL_FALSE),
    # mixed int and float items compare exactly
    ((2**53 + 1, 0), (float(2**53), 9), 1), ((2**53, "a"), (float(2**53), "b"), -1), ((1, 2.5), (1.0, 2), 1),
    ((0.0, 1), (-0.0, 0), 1), ((-0.0,), (0.0,), 0), ((True, 1), (1, 0), 1), ((2**63 - 1, 0), (2.0**63, 0), -1),
    ((-2**63, 0), (-2.0**63, 1), -1), ((math.inf, 0), (2**63 - 1, 0), 1), ((-math.inf,), (-2**63,), -1),
    # lengths decide after equal items
    ((), (), 0), ((), (0,), -1), ((1, 2), (1,), 1), (("a",), ("a", ""), -1), ((1, (2,)), (1, (2, 3)), -1),
    # strings beyond the first 8 bytes, and ties of distinct equal objects
    (("abcdefgh1", 0), ("abcdefgh0", 9), 1), (("abcdefgh", 2), ("abcdefgh", 1), 1), (("\U0001F600",), ("\uffff",), 1),
    (("a\x00",), ("a",), 1), (("\ud800", 1), ("\ud800", 1), 0), ((1, "abcdefghij" * 3), (1, "abcdefghij" * 3), 0),
    # nested tuples recurse; an inner identity counts as equal
    (((1, 2), 3), ((1, 3), 0), -1), (((1, 2), 3), ((1, 2), 3), 0), ((((0,),), 1), (((0,),), 0), 1),
    # big ints anywhere, where they matter and where they do not
    ((2**64, 1), (2**64, 2), -1), ((1, 2**70), (1, 2**70 + 1), -1), ((2**70,), (1.5,), 1), ((2, 2**70), (1, 0), 1),
    ((-2**70, 0), (-2**63, 0), -1), ((2**64 + 0.0, 1), (2**64, 0), 1),
])
def test_answers_match_the_interpreter(a, b, want):
    got = check_pair(a, b)
    assert got == (("raise", TypeError, want) if want == ALL_FALSE else ("ok", want))
    assert check_pair(b, a)[0] == got[0]


@pytest.mark.parametrize("a, b, names", [
    ((1, "a"), (1, 2), ("str", "int")), (("a",), (1,), ("str", "int")), ((1.5,), ("x",), ("float", "str")),
    ((True, 0), ("a", 0), ("bool", "str")), (((1,), 0), (1, 0), ("tuple", "int")), ((0, (1, None)), (0, (1, 2)), ("NoneType", "int")),
    ((1,), 1, ("tuple", "int")), ("a", ("a",), ("str", "tuple")), ((NAN, 1), ("n", 1), ("float", "str")),
    (((("a",),),), (((1,),),), ("str", "int")),
])
def test_unordered_items_raise_the_interpreters_error(a, b, names):
    message = "'<' not supported between instances of '%s' and '%s'" % names
    assert check_pair(a, b) == ("raise", TypeError, message)


def test_user_items_are_asked_call_for_call():
    log = Log()

    def calls(a, b, key=None):
        log.clear()
        result = outcome(lambda: tree_order(a, b, key))
        return result, list(log.calls)

    same = RecordingKey(5, log)
    pairs = [
        ((1, 2, RecordingKey(3, log)), (1, 2, RecordingKey(4, log))),  # reached: asked as the interpreter asks
        ((1, 3, RecordingKey(3, log)), (1, 2, RecordingKey(4, log))),  # decided before: never asked
        (("a", RecordingKey(1, log)), ("a", RecordingKey(1, log))),
        ((same, 1), (same, 2)), ((1, same), (1, same)),  # the same object is equal without being asked
        ((Int(1), 0), (1, 1)), ((1, RecordingKey(NAN, log)), (1, RecordingKey(NAN, log))),
        (((1, RecordingKey(2, log)),), ((1, RecordingKey(2.5, log)),)),
    ]
    for a, b in pairs:
        log.clear()
        want = outcome(lambda: interpreter_order(a, b)), list(log.calls)
        assert calls(a, b) == want == calls(a, b, Plain)
    assert calls(*pairs[1])[1] == [] and calls(*pairs[3])[1] == []


class Tuple(tuple):
    """A tuple subclass with comparisons of its own: never compared natively."""

    __hash__ = None
    calls = 0


def _counted(compare):
    def method(self, other):
        Tuple.calls += 1
        return compare(tuple(self), tuple(other))
    return method


Tuple.__eq__, Tuple.__lt__, Tuple.__gt__ = map(_counted, (tuple.__eq__, tuple.__lt__, tuple.__gt__))


def test_tuple_subclasses_and_deep_nesting_take_the_interpreters_path():
    Tuple.calls = 0
    assert tree_order(Tuple((1, 2)), (1, 3)) == -1 and Tuple.calls == 2
    assert tree_order((1, Tuple((2,))), (1, Tuple((2,)))) == 0 and Tuple.calls == 3

    def nested(depth, leaf):
        key = leaf
        for _ in range(depth):
            key = (key,)
        return key

    for depth in (15, 16, 17, 60):
        for a, b in [(nested(depth, 1), nested(depth, 2)), (nested(depth, NAN), nested(depth, NAN)),
                     (nested(depth, (1, "a")), nested(depth, (1, 2)))]:
            check_pair(a, b)
            check_pair(nested(3, a), nested(3, a))
    # Far deeper than the interpreter's own limit: its RecursionError, not a crash.
    deep_a, deep_b = nested(sys.getrecursionlimit() * 50, 0), nested(sys.getrecursionlimit() * 50, 0)
    for key in (None, Plain):
        with pytest.raises(RecursionError):
            tree_order(deep_a, deep_b, key)
    assert tree_order(deep_a, deep_a) == 0  # the very same tuple: equal, as the interpreter says


ints = st.sampled_from([0, 1, -1, 2, True, False, 2**53, 2**53 + 1, 2**63 - 1, -2**63]) | st.integers(-3, 3)
bigs = st.sampled_from([2**63, -2**63 - 1, 2**64, 2**100])
floats = st.sampled_from([0.0, -0.0, 0.5, 1.0, 2.0, math.inf, -math.inf, float(2**53), 2.0**63, -2.0**63, NAN])
fresh_nan = st.builds(lambda: float("nan"))
strs = st.sampled_from(["", "a", "b", "ab", "abcdefgh", "abcdefgh\x00", "abcdefghi", "abcdefghj", "\xe9", "\ud800",
                        "\U0001F600", "\uffff"])
others = st.sampled_from([None, Int(1), Int(2)]) | st.builds(lambda v: RecordingKey(v, Log()), st.integers(0, 2))
scalars = ints | floats | strs
leaves = scalars | st.one_of(bigs, fresh_nan, others)
keys = st.recursive(leaves, lambda inner: st.lists(inner, max_size=4).map(tuple), max_leaves=8)
tuples = st.lists(scalars | st.one_of(bigs, fresh_nan) |
                  st.lists(scalars, max_size=3).map(tuple), max_size=4).map(tuple)


@settings(max_examples=600, deadline=None)
@given(keys, keys)
def test_generated_pairs_match_the_interpreter(a, b):
    check_pair(a, b)
    check_pair(b, a)
    check_pair(a, a)


@settings(max_examples=150, deadline=None)
@given(st.lists(tuples | st.sampled_from([(1, 2), (1, 2.0), ("abcdefgh", 1), ("abcdefgh", 2)]), max_size=40),
       st.lists(tuples, max_size=10))
def test_generated_trees_match_the_plain_path(values, probes):
    native_tree, plain_tree = AVLTree(), AVLTree(key=Plain)
    for value in values:
        assert outcome(lambda: native_tree.insert(value)) == outcome(lambda: plain_tree.insert(value))
    assert len(native_tree) == len(plain_tree)
    assert all(a is b for a, b in zip(native_tree, plain_tree))
    for probe in probes:
        for name in ("contains", "search", "remove"):
            got = outcome(lambda: getattr(native_tree, name)(probe))
            assert got == outcome(lambda: getattr(plain_tree, name)(probe))
    assert list(map(id, native_tree.pre_order())) == list(map(id, plain_tree.pre_order()))
    built = outcome(lambda: list(map(id, AVLTree(values))))
    assert built == outcome(lambda: list(map(id, AVLTree(values, key=Plain))))


@pytest.mark.parametrize("poison", [None, (7, NAN), ("x",)])
def test_construction_looking_ahead_makes_only_the_comparisons_of_plain_inserts(poison):
    # From 2**17 entries the constructor loads the paths of the next keys
    # first; keys whose comparisons would call back or fail must not be
    # compared there, and what is raised is what the inserts raise.
    log = Log()
    rng = random.Random(5)
    start = 2**17
    values = [divmod(x, 10) for x in rng.sample(range(start * 3), start + 200)]
    tail = values[start:]
    for i in range(0, len(tail), 9):
        tail[i] = (tail[i][0], RecordingKey(tail[i][1], log))
    if poison is not None:
        tail[150] = poison
    values[start:] = tail
    built = outcome(lambda: AVLTree(values))
    seen = list(log.calls)
    log.clear()
    tree = AVLTree(values[:start])
    reference = outcome(lambda: [tree.insert(v) for v in tail] and tree)
    assert seen == log.calls and seen
    assert reference[0] == ("ok" if poison is None else "raise")
    if reference[0] == "raise":
        assert built == reference
    else:
        assert list(map(id, built[1].pre_order())) == list(map(id, tree.pre_order()))
