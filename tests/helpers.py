"""Shared test helpers: comparison recorders, structural checks, leak checks."""

from __future__ import annotations

import copy
import gc
import math
import operator
import pickle
import random
import sys
from functools import partialmethod

import quorvel
import quorvel.quorvel as native
from quorvel import AVLTree

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


def check_native(tree, order=True):
    """Where the testing build's hook is present, its native check of every
    invariant: each node's recorded lean against its subtrees' heights,
    balance, the tree's height and length, the order of native keys (unless
    `order` is false) and the accounting of the node storage."""
    if HOOKS is not None:
        HOOKS("check_tree" if order else "check_tree_shape", tree)


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


def assert_no_leak(action, rounds=300, warmup=30, slack=None, attempts=6):
    """Assert that repeating `action` does not grow the interpreter's memory.

    A leak of even one block per call shows as at least `rounds` blocks in
    every measurement; free lists and caches filling up look like growth for a
    while and then settle, so the check fails only if all `attempts`
    measurements grow by more than `slack` blocks.
    """
    if slack is None:
        slack = rounds // 10
    for _ in range(attempts):
        growth = allocated_growth(action, rounds, warmup)
        if growth <= slack:
            return
    raise AssertionError(f"{growth} blocks left behind over {rounds} calls, {attempts} times over")


def refcounts(*objects):
    return [sys.getrefcount(o) for o in objects]


# --- Hostile keys and the table of operations shared by the leak loops, the
# allocation-failure sweep and the fuzzer.

RNG = random.Random(0)  # drives the "random" comparisons; seed it for repeatable runs


class Boom(Exception):
    """Raised on purpose by hostile keys."""


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class Hostile:
    """A key ordered by `v` whose comparisons misbehave as `mode` says: None
    (well-behaved), "raise", "false" (all three false), "badbool" (a result
    whose __bool__ raises) or "random".  `hook`, if set, runs first at every
    comparison (to re-enter a tree, drop references, let other threads run)."""

    __slots__ = ("v", "mode", "hook")
    __hash__ = None

    def __init__(self, v, mode=None, hook=None):
        self.v, self.mode, self.hook = v, mode, hook

    def _answer(self, op, other):
        if self.hook is not None:
            self.hook()
        if self.mode == "raise":
            raise Boom(op.__name__)
        if self.mode is None:
            return op(self.v, other.v if isinstance(other, Hostile) else other)
        return {"false": False, "badbool": BadBool(), "random": RNG.random() < 0.5}[self.mode]

    __eq__ = partialmethod(_answer, operator.eq)
    __lt__ = partialmethod(_answer, operator.lt)
    __gt__ = partialmethod(_answer, operator.gt)

    def __repr__(self):
        return f"Hostile({self.v!r}, {self.mode!r})"


def key_spec(tree):
    return tree.__reduce__()[1][1]


def rebuild(tree):
    function, arguments = tree.__reduce__()
    return function(*arguments)


# Every public operation, as f(tree, x): x is the value, key or bound it needs.
OPERATIONS = {
    "construct": lambda t, x: AVLTree([x, *t.in_order()], key=key_spec(t)),
    "insert": lambda t, x: t.insert(x),
    "remove": lambda t, x: t.remove(x),
    "remove_key": lambda t, x: t.remove_key(x),
    "search": lambda t, x: t.search(x),
    "get": lambda t, x: t.get(x),
    "search_key": lambda t, x: t.search_key(x),
    "contains": lambda t, x: t.contains(x),
    "has_node": lambda t, x: t.has_node(x),
    "in": lambda t, x: x in t,
    "contains_key": lambda t, x: t.contains_key(x),
    "clear": lambda t, x: t.clear(),
    "sizes": lambda t, x: (len(t), bool(t), t.is_empty(), t.height),
    "ends": lambda t, x: (t.first(), t.min(), t.last(), t.max()),
    "iter": lambda t, x: list(t),
    "in_order": lambda t, x: list(t.in_order()),
    "descending": lambda t, x: list(t.descending()),
    "pre_order": lambda t, x: list(t.pre_order()),
    "post_order": lambda t, x: list(t.post_order()),
    "level_order": lambda t, x: list(t.level_order()),
    "range_from": lambda t, x: list(t.range(x, include_start=False)),
    "range_to": lambda t, x: list(t.range(None, x, include_end=True)),
    "range_both": lambda t, x: list(t.range(x, x, include_end=True)),
    "iter_from": lambda t, x: list(t.iter_from(x, 3)),
    "iter_to": lambda t, x: list(t.iter_to(x, 3)),
    "repr": lambda t, x: repr(t),
    "reduce": lambda t, x: t.__reduce__(),
    "from_sorted": lambda t, x: rebuild(t),
    "copy": lambda t, x: copy.copy(t),
    "pickle": lambda t, x: pickle.loads(pickle.dumps(t)),
}
MUTATING = {"insert", "remove", "remove_key", "clear"}
