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


# What hostile input may make a member raise.
EXPECTED_KINDS = (TypeError, ValueError, IndexError, AttributeError, RuntimeError, RecursionError, Boom)


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


def same_rule_tree(tree, x):
    """A tree holding x with the key rule of `tree`: set operations between them use stored keys."""
    return AVLTree([x], key=key_spec(tree))


def binary_operators(tree, other):
    return tree | other, tree & other, tree - other, tree ^ other


# One change each, so that a failure of any of them must leave the tree as it was.
def in_place_union(tree, other):
    tree |= other
    return tree


def in_place_intersection(tree, other):
    tree &= other
    return tree


def in_place_difference(tree, other):
    tree -= other
    return tree


def in_place_symmetric_difference(tree, other):
    tree ^= other
    return tree


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
    "item": lambda t, x: (t[len(t) // 2], t[-1]) if t else t[:],
    "slices": lambda t, x: (t[1:-1], t[::-2], t[len(t) // 3::3]),
    "reversed": lambda t, x: list(reversed(t)),
    "pop": lambda t, x: t.pop(),
    "length_hint": lambda t, x: operator.length_hint(iter(t)),
    "copy_method": lambda t, x: t.copy(),
    "update": lambda t, x: t.update([x]),
    # The changing members take a tree without key rule: reading t's rule would meet t's guard first.
    "update_tree": lambda t, x: t.update(AVLTree([x])),
    "union": lambda t, x: t.union(v for v in [x]),
    "intersection": lambda t, x: t.intersection([x, *t]),
    "difference": lambda t, x: t.difference([x]),
    "symmetric_difference": lambda t, x: t.symmetric_difference([x]),
    "issubset": lambda t, x: t.issubset([x, *t]),
    "issuperset": lambda t, x: t.issuperset([x]),
    "isdisjoint": lambda t, x: t.isdisjoint([x]),
    "operators": lambda t, x: binary_operators(t, same_rule_tree(t, x)),
    # NotImplemented for anything but a tree; the last is t ^ t.
    "reflected": lambda t, x: (t.__ror__(x), t.__rand__(x), t.__rsub__(x), t.__rxor__(t)),
    "in_place_union": lambda t, x: in_place_union(t, AVLTree([x])),
    "in_place_intersection": lambda t, x: in_place_intersection(t, AVLTree([x])),
    "in_place_difference": lambda t, x: in_place_difference(t, AVLTree([x])),
    "in_place_symmetric_difference": lambda t, x: in_place_symmetric_difference(t, AVLTree([x])),
}
MUTATING = {"insert", "remove", "remove_key", "clear", "pop", "update", "update_tree", "in_place_union",
            "in_place_intersection", "in_place_difference", "in_place_symmetric_difference"}


class Lookup:
    """An operation calling one member with the value or key it is given."""

    def __init__(self, name):
        self.name, self.covers = name, {name}

    def __call__(self, tree, x):
        return getattr(tree, self.name)(x)


# Every other member that takes one value or one key and changes nothing is
# an operation of its own, found by its text signature: a new lookup joins
# the tables without being typed into them.
for _name, _member in vars(AVLTree).items():
    if (not _name.startswith("_") and _name not in OPERATIONS and _name not in MUTATING
            and getattr(_member, "__text_signature__", None) in ("($self, value)", "($self, key)")):
        OPERATIONS[_name] = Lookup(_name)


def run_isolated(code, timeout=300):
    """Run `code` in a child interpreter that imports this same package, so
    that a crash fails the calling test rather than ending the suite; its
    standard output is returned."""
    import os
    import subprocess
    import textwrap

    env = dict(os.environ)
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(quorvel.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [package_parent, env.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert done.returncode == 0, f"exit status {done.returncode}\n{done.stdout}\n{done.stderr[-3000:]}"
    return done.stdout


# --- Generators for the classes of objects that lie or vanish under the
# module, shared by the hostile tests and the fuzzer: types whose metaclass
# lies, argument containers emptied while the call still runs, deep re-entry
# and reference cycles.

# What a metaclass may answer for an attribute of its class; a callable
# answer is called (and may raise, or change things).
TYPE_LIES = {
    "int": 12345,
    "bytes": b"Odd",
    "list": ["O", "dd"],
    "none": None,
    "str": "Pretend",
    "numpy": "numpy",
    "bool_": "bool_",
    "empty tuple": (),
    "raises": lambda: (_ for _ in ()).throw(Boom("metaclass")),
}
LIED_ABOUT = ["__qualname__", "__name__", "__module__", "__mro__", "__dict__", "__bool__", "__len__"]

# How a class in numpy's clothes defines __bool__ (None: not at all).
BOOL_DEFINITIONS = {
    "none": None,
    "method true": lambda self: True,
    "method false": lambda self: False,
    "staticmethod": staticmethod(lambda: True),
    "classmethod": classmethod(lambda cls: False),
    "returns int": lambda self: 1,
    "raises": lambda self: (_ for _ in ()).throw(Boom("__bool__")),
    "is None": "None",
}


def lying_class(lies=(), numpy=False, bool_definition="none", on_metaclass=False):
    """A class whose metaclass answers each (attribute, lie) of `lies` with
    TYPE_LIES[lie] for attribute lookups on the class.  With `numpy` it is
    named and placed as numpy's boolean scalar; its __bool__ is
    BOOL_DEFINITIONS[bool_definition], defined on the metaclass instead when
    `on_metaclass`."""
    answers = {attribute: TYPE_LIES[lie] for attribute, lie in lies}
    definition = BOOL_DEFINITIONS[bool_definition]
    meta_namespace = {}

    def __getattribute__(cls, name):
        if name in answers:
            answer = answers[name]
            return answer() if callable(answer) else answer
        return type.__getattribute__(cls, name)

    meta_namespace["__getattribute__"] = __getattribute__
    namespace = {"__module__": "numpy" if numpy else __name__}
    if bool_definition == "is None":
        namespace["__bool__"] = None
    elif definition is not None:
        (meta_namespace if on_metaclass else namespace)["__bool__"] = definition
    meta = type("Meta", (type,), meta_namespace)
    return meta("bool_" if numpy else "Odd", (), namespace)


def expected_flag(x):
    """What the flag conversion must make of `x`: ("flag", b) or ("error", kind).
    Exactly a bool is itself; numpy's boolean scalar (by its type's real module
    and name) gives what its __bool__, found as bool(x) finds it, returns when
    that is a bool; everything else is a TypeError."""
    if type(x) is bool:
        return ("flag", x)
    real = type.__dict__
    t = type(x)
    if real["__module__"].__get__(t) != "numpy" or real["__name__"].__get__(t) not in ("bool_", "bool"):
        return ("error", TypeError)
    if not any("__bool__" in real["__dict__"].__get__(c) for c in real["__mro__"].__get__(t)):
        return ("error", TypeError)
    try:
        return ("flag", bool(x))
    except Exception as e:  # bool() itself refuses a non-bool result with TypeError
        return ("error", type(e))


def dict_emptier(victim, name):
    """Takes `name` out of `victim` and out of every other dict holding the
    same object (the interpreter's copy of a call's keywords among them);
    returns a weak reference to it where the object allows one."""
    target = victim.pop(name)
    for referrer in gc.get_referrers(target):
        if type(referrer) is dict and referrer.get(name) is target:
            referrer.clear()
    try:
        import weakref

        return weakref.ref(target)
    except TypeError:
        return None


class WatchedName(str):
    """An attribute name that weak references can watch."""


class WatchedRule:
    def __call__(self, v):
        return v


def reenter_deeply(tree_cell, operations):
    """A comparison hook that calls reading operations, in turn, on the tree
    in `tree_cell` with a probe carrying the same hook, so that re-entry goes
    on until RecursionError."""
    import itertools

    names = itertools.cycle(operations)

    def hook():
        if tree_cell[0] is not None:
            OPERATIONS[next(names)](tree_cell[0], Hostile(0.5, hook=hook))

    return hook


class Linked(Hostile):
    """A hostile value that can refer back to the tree that holds it."""

    __slots__ = ("back", "__weakref__")

    def __init__(self, v, mode=None, hook=None):
        super().__init__(v, mode, hook)
        self.back = None


class Holder:
    """Holds a tree whose key rule is one of its own bound methods."""

    def __init__(self, values):
        self.tree = AVLTree(values, key=self.rank)

    def rank(self, v):
        return flaky_rank(v)


def flaky_rank(v):
    if isinstance(v, Hostile) and v.mode == "raise":
        raise Boom("key")
    return v
