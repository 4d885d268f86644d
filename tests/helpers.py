"""Shared test helpers: comparison recorders, structural checks, leak checks."""

from __future__ import annotations

import gc
import math
import sys

import quorvel
import quorvel.quorvel as native

HOOKS = getattr(native, "_test_hooks", None)


class Log:
    """A shared record of rich comparisons, as (operator, left, right)."""

    def __init__(self):
        self.calls = []

    def clear(self):
        self.calls.clear()

    def __len__(self):
        return len(self.calls)


class RecordingKey:
    """A key ordered by `v` that records every rich comparison made on it."""

    __slots__ = ("v", "log")

    def __init__(self, v, log):
        self.v = v
        self.log = log

    def _other(self, other):
        return other.v if isinstance(other, RecordingKey) else other

    def __eq__(self, other):
        self.log.calls.append(("==", self.v, self._other(other)))
        return self.v == self._other(other)

    def __lt__(self, other):
        self.log.calls.append(("<", self.v, self._other(other)))
        return self.v < self._other(other)

    def __gt__(self, other):
        self.log.calls.append((">", self.v, self._other(other)))
        return self.v > self._other(other)

    __hash__ = None

    def __repr__(self):
        return f"RecordingKey({self.v!r})"


def avl_bound(n: int) -> float:
    """The AVL height bound for n entries."""
    return 1.45 * math.log2(n + 2)


def shape(tree):
    """Rebuild the tree's shape from its pre-order and in-order snapshots.

    Returns a nested (value, left, right) triple, or None for an empty tree.
    Values are matched by identity, so the check works for any value type.
    """
    inorder = list(tree.in_order())
    preorder = list(tree.pre_order())
    assert len(inorder) == len(preorder) == len(tree)
    position = {id(v): i for i, v in enumerate(inorder)}
    assert len(position) == len(inorder), "a value is stored twice"
    it = iter(preorder)

    def build(lo, hi):
        if lo >= hi:
            return None
        v = next(it)
        i = position[id(v)]
        assert lo <= i < hi, "pre-order does not match in-order"
        left = build(lo, i)
        right = build(i + 1, hi)
        return (v, left, right)

    return build(0, len(inorder))


def check_avl(tree, keys=None):
    """Assert the tree is a valid AVL tree of the right height.

    With `keys` (a function from value to a comparable key), the in-order
    sequence must also be strictly ascending.
    """
    root = shape(tree)

    def height(node):
        if node is None:
            return 0
        hl, hr = height(node[1]), height(node[2])
        assert abs(hl - hr) <= 1, f"unbalanced at {node[0]!r}"
        return 1 + max(hl, hr)

    h = height(root)
    assert tree.height == h
    assert h <= avl_bound(len(tree)) + 1e-9
    if keys is not None:
        ks = [keys(v) for v in tree]
        assert all(a < b for a, b in zip(ks, ks[1:])), "in-order not strictly ascending"
    return root


def values_of(node):
    """The values of a shape in level order, None standing for empty children."""
    if node is None:
        return None
    return (node[0], values_of(node[1]), values_of(node[2]))


def allocated_growth(action, rounds=300, warmup=30):
    """How many interpreter memory blocks `action` leaves behind over `rounds` calls."""
    for _ in range(warmup):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def assert_no_leak(action, rounds=300, warmup=30, slack=None):
    """Assert that repeating `action` does not grow the interpreter's memory.

    A leak of even one block per call shows as at least `rounds` blocks; a few
    blocks of slack absorb the interpreter's own caches.
    """
    if slack is None:
        slack = rounds // 10
    growth = allocated_growth(action, rounds, warmup)
    assert growth <= slack, f"{growth} blocks left behind over {rounds} calls"


def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]
