"""Lookups, removal, clear, the ends, height and repr; re-entry; leaks of every reading member."""

import weakref

import pytest

from helpers import RecordingKey, assert_no_leak, check_avl, refcounts
from quorvel import AVLTree


class Item:
    __slots__ = ("k", "__weakref__")

    def __init__(self, k):
        self.k = k

    def __repr__(self):
        return f"Item({self.k})"


class Ord(Item):  # a weakly referenceable key
    __slots__ = ()
    __eq__, __lt__, __gt__ = (lambda s, o: s.k == o.k), (lambda s, o: s.k < o.k), (lambda s, o: s.k > o.k)
    __hash__ = None


class Boom(Exception):
    pass


def boom(*args):
    raise Boom


Bad = type("Bad", (), {"__eq__": boom, "__lt__": boom, "__gt__": boom, "__hash__": None})


def test_key_callable_len():
    ab = "".join(["a", "b"])
    tree = AVLTree([ab], key=len)
    assert tree.search("xy") is ab and tree.get("xy") is ab and tree.search_key(2) is ab
    assert not tree.contains("xyz") and "xy" in tree and tree.has_node("zz")
    with pytest.raises(TypeError, match="'<' not supported"):
        tree.contains_key("ab")
    assert tree.remove("xy") is True and len(tree) == 0


@pytest.mark.parametrize("call, result", [
    (lambda t: t.search(1), None), (lambda t: t.get(1), None), (lambda t: t.contains(1), False),
    (lambda t: t.has_node(1), False), (lambda t: 1 in t, False), (lambda t: t.remove(1), False),
])
def test_by_value_derives_even_when_empty(call, result):
    with pytest.raises(AttributeError):
        call(AVLTree(key="x"))
    seen = []
    assert call(AVLTree(key=lambda v: seen.append(v) or v)) is result and seen == [1]


def test_by_key_compares_only_when_needed():
    empty = AVLTree()
    assert empty.search_key(Bad()) is None
    assert empty.contains_key(Bad()) is False and empty.remove_key(Bad()) is False
    with pytest.raises(Boom):
        AVLTree([1]).contains_key(Bad())
    with pytest.raises(TypeError, match="'<' not supported"):
        "a" in AVLTree([1])  # membership raises rather than answering False
    with pytest.raises(AttributeError):
        1 in AVLTree([Item(1)], key="k")


def test_lookups_return_the_stored_value():
    stored = Item(3)
    tree = AVLTree([Item(1), stored, Item(5)], key="k")
    assert tree.search(Item(3)) is stored and tree.search_key(3) is stored
    assert tree.search(Item(4)) is None and tree.search_key(4) is None
    big = 10**20
    assert AVLTree([big]).search(float(big)) is big and type(AVLTree([1]).search(True)) is int
    nones = AVLTree([None])
    assert nones.search(None) is None and nones.contains(None) is True


def test_remove_and_remove_key():
    tree = AVLTree(map(Item, range(10)), key="k")
    assert tree.remove(Item(3)) is True and tree.remove(Item(3)) is False
    assert tree.remove_key(7) is True and tree.remove_key(7) is False and tree.remove_key(42) is False
    with pytest.raises(TypeError):
        tree.remove_key("x")
    with pytest.raises(AttributeError):
        tree.remove(5)
    assert [v.k for v in tree] == [0, 1, 2, 4, 5, 6, 8, 9] and len(tree) == 8
    check_avl(tree, keys=lambda v: v.k)


@pytest.mark.parametrize("by_key", [False, True])
def test_remove_releases_stored_value_and_key(by_key):
    value = Item(Ord(7))
    tree = AVLTree([value, Item(Ord(1)), Item(Ord(9))], key="k")
    refs = weakref.ref(value), weakref.ref(value.k)
    del value
    assert tree.remove_key(Ord(7)) if by_key else tree.remove(Item(Ord(7)))
    assert [r() for r in refs] == [None, None] and len(tree) == 2


def test_clear_ends_and_height():
    items = [Item(k) for k in (5, 2, 8)]
    tree = AVLTree(items, key="k")
    assert tree.first() is tree.min() is items[1] and tree.last() is tree.max() is items[2]
    refs = [weakref.ref(v) for v in items]
    snapshot = tree.in_order()
    del items
    assert tree.clear() is None and tree.clear() is None
    assert (len(tree), tree.height, bool(tree), tree.first(), tree.max()) == (0, 0, False, None, None)
    assert [v.k for v in snapshot] == [2, 5, 8]
    assert [r() for r in refs] == [None] * 3
    with pytest.raises(AttributeError):
        tree.height = 3
    assert [AVLTree(range(n)).height for n in (0, 1, 7, 8)] == [0, 1, 3, 4]


class Text:
    def __init__(self, text):
        self.text = text

    def __repr__(self):
        return boom() if self.text is None else self.text


@pytest.mark.parametrize("values, kwargs, text", [
    ([3, 1, 2], {}, "AVLTree([1, 2, 3])"), (["b", "a"], {}, "AVLTree(['a', 'b'])"),
    ([], {}, "AVLTree([])"), ([1, 2, 3], dict(key=lambda v: -v), "AVLTree([3, 2, 1])"),
    ([Item(2), Item(1)], dict(key="k"), "AVLTree([Item(1), Item(2)])"),
])
def test_repr(values, kwargs, text):
    assert repr(AVLTree(values, **kwargs)) == text


@pytest.mark.parametrize("text, error", [(None, Boom), ("\udc80", UnicodeEncodeError)])
def test_repr_failure(text, error):
    bad = Text(text)
    tree = AVLTree([Text("x"), bad, Text("y")], key=id)
    with pytest.raises(error):
        repr(tree)
    assert len(tree) == 3 and tree.contains(bad)
    itself = AVLTree()
    itself.insert(itself)
    with pytest.raises(RecursionError):  # no recursion guard: the interpreter's limit stops it
        repr(itself)
    itself.clear()


class HookLog:
    """Stands in for a comparison log: runs `hook` (not re-entrantly) on every comparison."""

    hook = None

    def __init__(self):
        self.calls, self.busy = self, False

    def append(self, call):
        if self.hook is not None and not self.busy:
            self.busy = True
            try:
                self.hook()
            finally:
                self.busy = False


LOG = HookLog()


class Hook(RecordingKey):
    __slots__ = ()

    def __init__(self, v):
        super().__init__(v, LOG)

    def __repr__(self):
        LOG.append("repr")
        return f"H{self.v}"


OUTER = {
    "search": lambda t: t.search(Hook(3)), "contains_key": lambda t: t.contains_key(Hook(9)),
    "range": lambda t: list(t.range(Hook(2), Hook(5))), "iter_from": lambda t: list(t.iter_from(Hook(3), 2)),
    "iter_to": lambda t: list(t.iter_to(Hook(3), 2)), "repr": repr,
}


@pytest.fixture
def hooked():
    yield AVLTree(map(Hook, range(1, 8)))
    LOG.hook = None


@pytest.mark.parametrize("outer", OUTER.values(), ids=OUTER)
def test_reading_reentry_is_allowed(hooked, outer):
    seen = []
    LOG.hook = lambda: seen.append((len(hooked), hooked.height, hooked.first().v,
                                     tuple(h.v for h in hooked.iter_to(6, 2)), hooked.search_key(4).v))
    expected = outer(hooked)
    assert seen and set(seen) == {(7, 3, 1, (6, 5), 4)}
    LOG.hook = None
    assert outer(hooked) == expected  # the re-entrant reads disturbed nothing


@pytest.mark.parametrize("outer", OUTER.values(), ids=OUTER)
@pytest.mark.parametrize("change", [lambda t: t.insert(Hook(10)), lambda t: t.remove(Hook(1)),
                                    lambda t: t.remove_key(1), lambda t: t.clear()])
def test_changing_reentry_is_refused(hooked, outer, change):
    LOG.hook = lambda: change(hooked)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        outer(hooked)
    LOG.hook = None
    assert [h.v for h in hooked] == list(range(1, 8))
    check_avl(hooked, keys=lambda h: h.v)


def test_removal_refuses_even_reads(hooked):
    LOG.hook = lambda: len(hooked)
    for call in (lambda: hooked.remove(Hook(5)), lambda: hooked.remove_key(Hook(5))):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            call()
    LOG.hook = None
    assert len(hooked) == 7


class Poke:
    """A value whose key is whatever `fn` returns or raises."""

    def __init__(self, fn):
        self.fn = fn


MEMBERS = {
    "search": lambda t, x: t.search(x), "get": lambda t, x: t.get(x),
    "contains": lambda t, x: t.contains(x), "has_node": lambda t, x: t.has_node(x),
    "in": lambda t, x: x in t, "search_key": lambda t, x: t.search_key(x),
    "contains_key": lambda t, x: t.contains_key(x),
    "remove": lambda t, x: t.remove(x) and t.insert(x),
    "remove_key": lambda t, x: t.remove_key(x) and t.insert(x),
    "clear": lambda t, x: [held := list(t), t.clear(), t.clear(), *map(t.insert, held)],
    "ends": lambda t, x: (t.first(), t.min(), t.last(), t.max(), t.height),
    "repr": lambda t, x: repr(t),
    "traversals": lambda t, x: [list(m()) for m in (t.__iter__, t.in_order, t.descending,
                                                     t.pre_order, t.post_order, t.level_order)],
    "partly_consumed": lambda t, x: (next(t.iter_from(x, 3)), next(iter(t)), next(t.level_order())),
    "range": lambda t, x: list(t.range(x)), "range_end": lambda t, x: list(t.range(end=x)),
    "range_flag": lambda t, x: t.range(x, include_end=1),
    "iter_from": lambda t, x: list(t.iter_from(x, 5)), "iter_to": lambda t, x: list(t.iter_to(x, 5)),
    "bad_count": lambda t, x: t.iter_from(x, -1), "float_count": lambda t, x: t.iter_to(x, 1.5),
}


@pytest.mark.parametrize("name", MEMBERS)
def test_members_do_not_leak(name):
    member = MEMBERS[name]
    stored = [10**20 + i for i in range(40)]
    tree = AVLTree(stored, key=lambda v: v.fn() if isinstance(v, Poke) else v)
    probe, raising_key, bad = stored[17], Poke(boom), Bad()
    inner = Poke(lambda: member(tree, probe))
    # Refused under the shared guard of a lookup, or the exclusive one of an insertion.
    changing = name in ("remove", "remove_key", "clear")
    guarded = (lambda: tree.search(inner)) if changing else (lambda: tree.insert(inner))
    forms = [lambda: member(tree, probe), lambda: member(tree, 10**20 - 1), lambda: member(tree, "s"),
             lambda: member(tree, raising_key), lambda: member(tree, bad), guarded]

    def action():
        for form in forms:
            try:
                form()
            except (Boom, TypeError, OverflowError, RuntimeError):
                pass

    held = (probe, raising_key, bad, stored[0], stored[-1])
    before = refcounts(*held)
    assert_no_leak(action, rounds=300, warmup=100)
    assert refcounts(*held) == before
    assert list(tree) == stored
