"""Tree shapes seen through the traversals, and the bounded queries."""

import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from helpers import Log, RecordingKey, check_avl, shape
from quorvel import AVLTree


def leaf(v):
    return (v, None, None)


def built(order, removed=()):
    tree = AVLTree()
    for v in order:
        assert tree.insert(v)
    for v in removed:
        assert tree.remove(v)
    return tree


PERFECT = (4, (2, leaf(1), leaf(3)), (6, leaf(5), leaf(7)))


@pytest.mark.parametrize("order, removed, expected, height", [
    (range(1, 8), (), PERFECT, 3),
    ([3, 1, 2], (), (2, leaf(1), leaf(3)), 2),                     # left-right case
    ([1, 3, 2], (), (2, leaf(1), leaf(3)), 2),                     # right-left case
    ([2, 1, 4, 3, 5], [1], (4, (2, None, leaf(3)), leaf(5)), 3),   # balanced child: single rotation
    ([4, 5, 2, 3, 1], [5], (2, leaf(1), (4, leaf(3), None)), 3),   # the mirror image
    (range(1, 8), [4], (5, (2, leaf(1), leaf(3)), (6, None, leaf(7))), 3),  # successor, not predecessor
    (range(1, 8), [2], (4, (3, leaf(1), None), (6, leaf(5), leaf(7))), 3),
    ([1], [1], None, 0),
])
def test_shapes(order, removed, expected, height):
    tree = built(order, removed)
    assert shape(tree) == expected
    assert tree.height == height
    check_avl(tree, keys=lambda v: v)


# A plain recursive AVL tree that rebalances every node on the way back up
# and replaces a removed inner node by its in-order successor: whatever
# shortcuts the tree takes, its shapes must be exactly these.
def _h(n):
    return n[3] if n else 0


def _node(k, left, right):
    return [k, left, right, 1 + max(_h(left), _h(right))]


def _rebalance(n):
    def rot_left(x):
        r = x[2]
        return _node(r[0], _node(x[0], x[1], r[1]), r[2])

    def rot_right(x):
        left = x[1]
        return _node(left[0], left[1], _node(x[0], left[2], x[2]))

    k, left, right, _ = n
    balance = _h(left) - _h(right)
    if balance > 1:
        if _h(left[1]) < _h(left[2]):
            left = rot_left(left)
        return rot_right(_node(k, left, right))
    if balance < -1:
        if _h(right[1]) > _h(right[2]):
            right = rot_right(right)
        return rot_left(_node(k, left, right))
    return _node(k, left, right)


def _insert(n, k):
    if n is None:
        return _node(k, None, None)
    if k == n[0]:
        return n
    if k < n[0]:
        return _rebalance(_node(n[0], _insert(n[1], k), n[2]))
    return _rebalance(_node(n[0], n[1], _insert(n[2], k)))


def _take_min(n):
    if n[1] is None:
        return n[2], n
    rest, minimum = _take_min(n[1])
    return _rebalance(_node(n[0], rest, n[2])), minimum


def _remove(n, k):
    if n is None:
        return None
    if k < n[0]:
        return _rebalance(_node(n[0], _remove(n[1], k), n[2]))
    if k > n[0]:
        return _rebalance(_node(n[0], n[1], _remove(n[2], k)))
    if n[1] is None or n[2] is None:
        return n[1] or n[2]
    rest, successor = _take_min(n[2])
    return _rebalance(_node(successor[0], n[1], rest))


def _plain(n):
    return None if n is None else (n[0], _plain(n[1]), _plain(n[2]))


@settings(max_examples=200, deadline=None)
@given(st.lists(st.tuples(st.booleans(), st.integers(0, 40)), max_size=150))
def test_shapes_match_the_plain_algorithm(steps):
    tree, reference = AVLTree(), None
    for is_insert, k in steps:
        if is_insert:
            tree.insert(k)
            reference = _insert(reference, k)
        else:
            tree.remove(k)
            reference = _remove(reference, k)
        assert shape(tree) == _plain(reference)
        assert tree.height == _h(reference)


# 6000 is past the size from which construction lays the nodes out again in key order.
@pytest.mark.parametrize("n", [2000, 6000])
def test_large_shapes_match_the_plain_algorithm(n):
    rng = random.Random(7)
    values = rng.sample(range(3 * n), n)
    tree, reference = AVLTree(values), None
    for v in values:
        reference = _insert(reference, v)
    assert shape(tree) == _plain(reference)
    for v in values[::2]:
        tree.remove(v)
        reference = _remove(reference, v)
    assert shape(tree) == _plain(reference)


@pytest.mark.parametrize("method, expected", [
    ("in_order", [1, 2, 3, 4, 5, 6, 7]), ("__iter__", [1, 2, 3, 4, 5, 6, 7]),
    ("descending", [7, 6, 5, 4, 3, 2, 1]), ("pre_order", [4, 2, 1, 3, 6, 5, 7]),
    ("post_order", [1, 3, 2, 5, 7, 6, 4]), ("level_order", [4, 2, 6, 1, 3, 5, 7]),
])
def test_traversal_orders(method, expected):
    assert list(getattr(built(range(1, 8)), method)()) == expected
    assert list(getattr(AVLTree(), method)()) == []


def test_level_order_is_breadth_first():
    # 100 values make the queue wrap around and grow several times.
    tree = AVLTree(range(100))
    levels, frontier = [], [shape(tree)]
    while frontier:
        levels += [n[0] for n in frontier]
        frontier = [c for n in frontier for c in n[1:] if c is not None]
    assert list(tree.level_order()) == levels


SEVEN, ALL = AVLTree(range(1, 8)), list(range(1, 8))


@pytest.mark.parametrize("args, flags, expected", [
    ((2, 5), {}, [2, 3, 4]), ((2, 5), dict(include_end=True), [2, 3, 4, 5]),
    ((2, 5), dict(include_start=False), [3, 4]),
    ((2, 5), dict(include_start=False, include_end=True), [3, 4, 5]),
    ((5, 5), {}, []), ((5, 5), dict(include_end=True), [5]),
    ((5, 5), dict(include_start=False, include_end=True), []),
    ((5,), {}, [5, 6, 7]), ((5,), dict(include_start=False), [6, 7]), ((None, 5), {}, [1, 2, 3, 4]),
    ((), dict(end=5, include_end=True), [1, 2, 3, 4, 5]), ((None, None), dict(include_start=False), ALL),
    ((), dict(include_start=False, include_end=True), ALL), ((0, 100), {}, ALL),
    ((4.5, 6.5), {}, [5, 6]), ((8, 9), {}, []), ((-5, 1), {}, []),
])
def test_range(args, flags, expected):
    assert list(SEVEN.range(*args, **flags)) == expected


@pytest.mark.parametrize("tree", [SEVEN, AVLTree()])
def test_range_start_after_end(tree):
    with pytest.raises(ValueError, match="^range start must not exceed end$"):
        tree.range(5, 2)
    with pytest.raises(TypeError):  # the bounds are compared with each other first
        tree.range(1, "a")


def test_bounds_are_compared_only_when_needed():
    with pytest.raises(TypeError, match="'<' not supported"):
        SEVEN.range("a")
    with pytest.raises(TypeError):  # None is a real bound for iter_to, not "no bound"
        SEVEN.iter_to(None, 1)
    assert list(AVLTree().range("a")) == list(AVLTree().range(end=object())) == []
    assert list(AVLTree().iter_to(None, 3)) == list(AVLTree().iter_from(object(), 3)) == []
    assert list(SEVEN.iter_from(object(), 0)) == list(SEVEN.iter_to(None, 0)) == []


@pytest.mark.parametrize("method, bound, count, expected", [
    ("iter_from", 4, 2, [4, 5]), ("iter_from", 4.5, 2, [5, 6]), ("iter_from", 8, 5, []),
    ("iter_from", 0, 3, [1, 2, 3]), ("iter_from", 4, 100, [4, 5, 6, 7]), ("iter_from", 4, 0, []),
    ("iter_to", 4, 2, [4, 3]), ("iter_to", 3.5, 2, [3, 2]), ("iter_to", 0, 5, []),
    ("iter_to", 100, 3, [7, 6, 5]), ("iter_to", 4, 2**64 - 1, [4, 3, 2, 1]),
])
def test_counted_runs(method, bound, count, expected):
    assert list(getattr(SEVEN, method)(bound, count)) == expected


def recorded(n):
    log = Log()
    return log, AVLTree(RecordingKey(v, log) for v in range(1, n + 1))


@pytest.mark.parametrize("call, first", [
    (lambda t, k: t.range(k(2.5), k(5.5)), ("==", 2.5, 5.5)),  # the bounds first, start on the left
    (lambda t, k: t.range(k(4.5)), ("==", 4, 4.5)),            # then the stored key on the left
    (lambda t, k: t.range(end=k(4.5)), ("==", 4, 4.5)),
    (lambda t, k: t.iter_from(k(4.5), 2), ("==", 4, 4.5)),
    (lambda t, k: t.iter_to(k(4.5), 2), ("==", 4, 4.5)),
])
def test_bound_operand_order(call, first):
    log, tree = recorded(7)
    log.clear()
    call(tree, lambda v: RecordingKey(v, log))
    assert log.calls[0] == first
    rest = [c for c in log.calls if not (c[1] % 1 and c[2] % 1)]  # all but bound-with-bound
    assert rest and all(left in range(1, 8) and right % 1 for _, left, right in rest)


def test_bounded_queries_prune():
    log, tree = recorded(1000)
    h = tree.height
    log.clear()
    got = [k.v for k in tree.range(RecordingKey(500, log), RecordingKey(505, log))]
    assert got == [500, 501, 502, 503, 504]
    assert len(log) <= 6 * (2 * h + len(got))  # boundary paths and results only, not n
    log.clear()
    assert len(list(tree.iter_from(RecordingKey(300.5, log), 50))) == 50
    assert len(log) <= 3 * h  # one descent, nothing per value handed out
    log.clear()
    assert len(list(tree.iter_to(RecordingKey(300.5, log), 50))) == 50
    assert len(log) <= 3 * h
