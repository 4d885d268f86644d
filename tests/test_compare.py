"""Key comparisons: operand order and count, duplicates, failures, native keys."""

import math
import random

import pytest

from quorvel import AVLTree
from helpers import Log, RecordingKey, check_avl

NAN = float("nan")
ALL_FALSE = "PyAny::compare(): All comparisons returned false"


@pytest.mark.parametrize("probe, path", [
    (4, "==4"), (0, "==4 <4 ==2 <2 ==1 <1"), (8, "==4 <4 >4 ==6 <6 >6 ==7 <7 >7"), (5, "==4 <4 >4 ==6 <6 ==5"),
])
def test_probe_is_the_left_operand(probe, path):
    log = Log()
    tree = AVLTree([RecordingKey(i, log) for i in range(1, 8)])
    assert tree.height == 3 and [k.v for k in tree.pre_order()] == [4, 2, 1, 3, 6, 5, 7]
    expected = [(step[:-1], probe, int(step[-1])) for step in path.split()]
    for call in (tree.contains, tree.search, tree.insert):
        log.clear()
        call(RecordingKey(probe, log))
        assert log.calls == expected
    log.clear()
    assert AVLTree().insert(RecordingKey(1, log)) and AVLTree([RecordingKey(NAN, log)]) and log.calls == []


def test_duplicates_keep_the_stored_object():
    tree = AVLTree([1, 1.0, True])
    assert len(tree) == 1 and type(tree.first()) is int and tree.insert(1.0) is False
    stored = RecordingKey(2, Log())
    tree = AVLTree([stored, RecordingKey(2, Log())])
    assert tree.insert(RecordingKey(2, Log())) is False and tree.first() is stored and len(tree) == 1


@pytest.mark.parametrize("wrap", [lambda v: v, lambda v: RecordingKey(v, Log())], ids=["native", "python"])
def test_nan_is_incomparable_after_the_first(wrap):
    tree = AVLTree([wrap(NAN)])
    before = tree.first()
    for call, probe in ((tree.insert, 1.0), (tree.insert, NAN), (tree.insert, 1), (tree.contains, 1),
                        (tree.remove, NAN), (lambda v: AVLTree([wrap(NAN), v]), 1.0)):
        with pytest.raises(TypeError) as info:
            call(wrap(probe))
        assert str(info.value) == ALL_FALSE
    assert tree.first() is before and len(tree) == 1


class Touchy(RecordingKey):
    """A key that raises when compared with the poisoned value; its == answer may be untestable."""

    __slots__ = ()
    poison = untestable = None

    def _other(self, other):
        value = super()._other(other)
        if value == Touchy.poison:
            raise LookupError(value)
        return value

    def __eq__(self, other):
        answer = super().__eq__(other)
        if super()._other(other) == Touchy.untestable:
            return type("Untestable", (), {"__bool__": lambda s: 1 / 0})()
        return answer


@pytest.mark.parametrize("poison, new, present", [(4, 4.5, 4), (6, 9, 5), (7, 7.5, 8), (2, 1.5, 1), (3, 2.5, 3)])
@pytest.mark.parametrize("op", ["insert", "remove", "contains"])
def test_failure_mid_descent_changes_nothing(poison, new, present, op):
    log = Log()
    tree = AVLTree([Touchy(i, log) for i in (4, 2, 6, 1, 3, 5, 7, 8)])
    before = (list(tree.pre_order()), len(tree), tree.height)
    probe = Touchy(new if op == "insert" else present, log)
    for attribute, error in (("poison", LookupError), ("untestable", ZeroDivisionError)):
        setattr(Touchy, attribute, poison)
        try:
            with pytest.raises(error):
                getattr(tree, op)(probe)
        finally:
            setattr(Touchy, attribute, None)
        assert (list(tree.pre_order()), len(tree), tree.height) == before
    check_avl(tree, keys=lambda k: k.v)


def outcome(action):
    try:
        result = action()
    except Exception as error:
        return ("error", type(error), str(error))
    return ("ok", None if result is None else id(result))


NUMBERS = [0, -0.0, 0.0, 1, 1.0, True, False, -1, 2**53, 2**53 + 1, float(2**53), 2**63 - 1, 2**63, -2**63,
           -2**63 - 1, float(2**63), -float(2**63), 2**64, 2**100, -2**100, float(2**100), 1e308, -1e308,
           math.inf, -math.inf, 0.5, -0.5, 2.5, 3, 1 / 3, 5e-324, 10**30 + 1, float(10**30)]
STRINGS = ["", "a", "a\0", "a\0\0", "ab", "abcdefgh", "abcdefghi", "abcdefgg\uffff", "\xe9", "e\u0301", "\ud800",
           "\udfff", "\ue000", "\U0001f600", "\uffff", "aaaaaaa\U0001f600", "aaaaaaa\ud800", "aaaaaaa\xff",
           "aaaaaaaa\0", "aaaaaaaa", "zz", "Z", "\xff", "\x7f", "\x80", "\u0100x", "\u00ffx"]


@pytest.mark.parametrize("values, probes", [
    # The str, int and None probes must fail with the interpreter's own TypeError, tree unchanged.
    (NUMBERS, [NAN, 0.25, -5e-324, 2.0**64, 2**64 - 1, 10**30, "1", None]),
    (STRINGS, ["aaaaaaa", "\U0010ffff", "\udbff\udfff", 1, 2**70, None]),
    (NUMBERS + [NAN], []), ([3, 1, NAN, 2], []), ([1, 2, "a"], []), (["a", 2**70], []), ([1.5, "a"], []),
])
def test_native_keys_order_as_the_interpreter(values, probes):
    """Exact int, float and str keys must give the interpreter's answers, call for call."""
    def model(order):
        return AVLTree(order, key=lambda v: RecordingKey(v, Log()))

    for seed in range(4):
        order = random.Random(seed).sample(values, len(values))
        native, python = outcome(lambda: AVLTree(order)), outcome(lambda: model(order))
        assert native[0] == python[0] and (native[0] == "ok" or native == python)
        if native[0] == "error":
            continue
        plain, wrapped = AVLTree(order), model(order)
        for probe in order + probes:
            assert outcome(lambda: plain.search_key(probe)) == outcome(lambda: wrapped.search(probe))
            assert outcome(lambda: plain.insert(probe)) == outcome(lambda: wrapped.insert(probe))
        assert [id(v) for v in plain.pre_order()] == [id(v) for v in wrapped.pre_order()]


class RevInt(int):
    calls = []

    def _log(op, answer):
        return lambda s, o: RevInt.calls.append(op) or answer(int(s), int(o))

    __eq__, __lt__, __gt__ = _log("==", int.__eq__), _log("<", int.__gt__), _log(">", int.__lt__)
    __hash__ = int.__hash__


def test_subclasses_use_their_own_comparisons():
    tree = AVLTree([RevInt(i) for i in range(50)])
    assert list(tree) == list(range(49, -1, -1)) and RevInt.calls
    RevInt.calls.clear()
    assert all(tree.contains(i) for i in range(50)) and not tree.contains(50) and RevInt.calls  # reflected
    RevInt.calls.clear()
    assert AVLTree(range(7)).contains(RevInt(3)) and RevInt.calls == ["=="]
    RevStr = type("RevStr", (str,), {"__lt__": str.__gt__, "__gt__": str.__lt__})
    assert list(AVLTree(map(RevStr, "acb"))) == ["c", "b", "a"]


class Boom(Exception):
    pass


class FailingKey(RecordingKey):
    """Fails its comparisons with one stored key."""

    __slots__ = ()

    def __lt__(self, other):
        if self._other(other) == 40:
            raise Boom
        return super().__lt__(other)


def test_descents_that_read_ahead_compare_as_the_plain_ones(hooks):
    # Large trees' descents also load the grandchildren: that must make the
    # same comparisons in the same order, with the same results and errors.
    def run(deep):
        restore = hooks("deep_descents_from", 0 if deep else 2**63)
        try:
            rng, log = random.Random(5), Log()
            tree, outcomes = AVLTree(), []
            for v in rng.sample(range(200), 120):
                outcomes.append(tree.insert(RecordingKey(v, log)))
            for v in rng.sample(range(-5, 205), 150):
                probe = RecordingKey(v, log)
                outcomes += [tree.contains(probe), tree.search(probe) is not None, probe in tree]
                if v % 3 == 0:
                    outcomes.append(tree.remove(probe))
            for call in (tree.insert, tree.remove, tree.contains):
                with pytest.raises(Boom):
                    call(FailingKey(41, log))
            check_avl(tree, keys=lambda k: k.v)
            return log.calls, outcomes, [k.v for k in tree.pre_order()]
        finally:
            hooks("deep_descents_from", restore)

    assert run(True) == run(False)
