"""User code that re-enters the tree, lies about order, or destroys other trees
while a member runs: the member raises or works, and the tree stays sound."""

import contextlib
import sys

import pytest

from helpers import (BOOL_DEFINITIONS, LIED_ABOUT, MUTATING, OPERATIONS, TYPE_LIES, Boom, Hostile, check_avl,
                     expected_flag, lying_class, reenter_deeply)
from quorvel import AVLTree
from quorvel.quorvel import _avltree_from_sorted_entries

# The operations that compare, or derive the key of, their argument.
SET_OPERATIONS = ["update", "update_tree", "union", "intersection", "difference", "symmetric_difference",
                  "issubset", "issuperset", "isdisjoint", "in_place_union", "in_place_intersection",
                  "in_place_difference", "in_place_symmetric_difference"]
COMPARING = ["construct", "insert", "remove", "remove_key", "search", "get", "search_key", "contains",
             "has_node", "in", "contains_key", "range_from", "range_to", "range_both", "iter_from", "iter_to",
             *SET_OPERATIONS, "operators"]
# ("operators" derives its operand's key while making it, before the tree's guard is taken.)
DERIVING = ["construct", "insert", "remove", "search", "get", "contains", "has_node", "in", *SET_OPERATIONS]


@contextlib.contextmanager
def unraisables():
    seen, old = [], sys.unraisablehook
    sys.unraisablehook = lambda report: seen.append(report.exc_value)
    try:
        yield seen
    finally:
        sys.unraisablehook = old


def guard_error(call):
    try:
        call()
    except RuntimeError as e:
        return str(e)
    except (ValueError, IndexError):
        pass  # a lookup by position of what is not there: the guard let it run


class Dying(Hostile):
    __slots__ = ("on_del",)

    def __init__(self, v, mode=None, on_del=None):
        super().__init__(v, mode)
        self.on_del = on_del

    def __del__(self):
        self.on_del()


@pytest.mark.parametrize("op, via", [(op, "compare") for op in COMPARING] + [(op, "key") for op in DERIVING])
def test_reentry_from_user_code_gets_the_guard_error(op, via):
    seen, other = {}, AVLTree(range(5))
    victims = [AVLTree([Dying(i, on_del=lambda: tree.insert(-1)) for i in range(3)])]

    def hook():  # every member of this tree and of another; then the last reference to a third goes
        if not seen:
            seen.update({name: guard_error(lambda: f(tree, 0.5)) for name, f in OPERATIONS.items()
                         if via == "compare" or name != "pickle"})  # a local key rule cannot be pickled
            assert all(guard_error(lambda: f(other, 0.5)) is None for f in OPERATIONS.values())
            victims.clear()  # its values call back into this tree as they go

    probe = Hostile(3.5, hook=hook) if via == "compare" else 3.5
    tree = AVLTree(range(8), key=None if via == "compare" else (lambda v: hook() or v if v == 3.5 else v))
    with unraisables() as reports:
        OPERATIONS[op](tree, probe)
    assert seen, "the user code never ran"
    for name, got in seen.items():
        if op in MUTATING:  # exclusive: nothing of the tree works
            assert got == ("Already borrowed" if name in MUTATING else "Already mutably borrowed"), name
        else:  # shared, or, for construct, no guard on `tree` at all
            assert got == ("Already borrowed" if name in MUTATING and op != "construct" else None), name
    assert [str(e) for e in reports] == ["Already borrowed"] * 3 * (op != "construct")
    check_avl(tree, lambda v: getattr(v, "v", v))
    if op not in MUTATING | {"construct"}:
        assert list(tree) == list(range(8))
    del tree  # the probe or the key rule refers back to it


@pytest.mark.parametrize("mixed", [False, True])
def test_inconsistent_comparisons_keep_the_structure(mixed):
    modes, names = [None, "raise", "false", "badbool", "random"], list(OPERATIONS)
    for round_ in range(60):
        tree = AVLTree()
        for step in range(40):
            x = Hostile(step, modes[(round_ + step) % 5] if mixed else "random")
            try:
                OPERATIONS[names[(round_ * 7 + step) % len(names)] if step % 3 == 0 else "insert"](tree, x)
            except (Boom, TypeError, ValueError, IndexError):
                pass
            check_avl(tree)  # balance, heights, one node per value; order need not hold


@pytest.mark.parametrize("how, reports, left", [
    ("remove", 2, 5), ("remove_key", 1, 5), ("clear", 6, 0), ("duplicate", 1, 6), ("failed_insert", 1, 6)])
def test_finaliser_calling_into_the_tree_under_its_guard(how, reports, left):
    holder = []

    def poke():
        if holder:
            holder[0].insert(Hostile(99))

    # Every derived key is a new object that calls back into the tree when released.
    tree = AVLTree([Hostile(i) for i in range(6)], key=lambda v: Dying(v.v, v.mode, poke))
    holder.append(tree)
    with unraisables() as seen:
        {"remove": lambda: tree.remove(Hostile(3)), "remove_key": lambda: tree.remove_key(Hostile(3)),
         "clear": tree.clear, "duplicate": lambda: tree.insert(Hostile(2)),
         "failed_insert": lambda: pytest.raises(TypeError, tree.insert, Hostile(2.5, "false"))}[how]()
    assert [(type(e), str(e)) for e in seen] == [(RuntimeError, "Already borrowed")] * reports
    check_avl(tree, lambda v: v.v)
    assert [v.v for v in tree] == ([0, 1, 2, 4, 5] if left == 5 else list(range(left)))
    holder.clear()


class Shown:
    def __init__(self, show):
        self.show = show

    def __repr__(self):
        return self.show()


OTHER = AVLTree(range(3))


@pytest.mark.parametrize("show, expected", [
    (lambda t: t.insert(0), RuntimeError), (lambda t: t.clear(), RuntimeError),
    (lambda t: repr(t.search(1)) + str(len(t)) + repr(list(t.iter_to(1, 5))), None),
    (lambda t: OTHER.clear() or "cleared", None), (lambda t: Boom(), TypeError),
    (lambda t: "\ud800", UnicodeEncodeError), (lambda t: repr(t), RecursionError),
])
def test_hostile_repr(show, expected):
    rule = lambda v: v if isinstance(v, int) else 1.5  # noqa: E731
    tree = AVLTree([1, 2], key=rule)
    tree.insert(Shown(lambda: show(tree)))
    if expected is None:
        assert repr(tree).startswith("AVLTree([1, ")
    else:
        pytest.raises(expected, repr, tree)
    check_avl(tree, rule)
    assert len(tree) == 3
    tree.clear()


@pytest.mark.parametrize("op", COMPARING)
def test_internal_fault_raised_from_user_code(hooks, op):
    tree = AVLTree(range(8))
    with pytest.raises(hooks("panic_type"), match="injected"):
        try:
            OPERATIONS[op](tree, Hostile(3.5, hook=lambda: hooks("fault", "injected")))
        except Exception:  # a PanicException is no Exception
            pytest.fail("caught as an Exception")
    assert list(tree) == list(range(8))
    check_avl(tree)


def test_argument_conversions_that_reenter():
    tree = AVLTree(range(8))

    class bool_:  # taken for numpy's boolean scalar
        __module__ = "numpy"

        def __init__(self, action):
            self.action = action

        def __bool__(self):
            return self.action()

        __index__ = __bool__

    assert list(tree.range(2, 4, include_start=bool_(lambda: len(tree) > 0))) == [2, 3]
    assert list(tree.iter_from(2, bool_(lambda: len(tree) - 6))) == [2, 3]
    with pytest.raises(RuntimeError, match="Already borrowed") as info:
        tree.range(2, include_end=bool_(lambda: tree.insert(9)))
    if sys.version_info >= (3, 11):
        assert info.value.__notes__ == ["while processing 'include_end'"]
    with pytest.raises(RuntimeError, match="Already borrowed"):
        tree.iter_to(5, bool_(lambda: tree.clear()))
    assert list(tree) == list(range(8))


@pytest.mark.parametrize("lie", sorted(TYPE_LIES))
@pytest.mark.parametrize("attribute", LIED_ABOUT)
def test_metaclass_lies_change_no_message(attribute, lie):
    cls = lying_class([(attribute, lie)])
    real = type.__dict__["__qualname__"].__get__(cls)
    calls = {"bool": lambda x: AVLTree([1]).range(include_start=x),
             "Sequence": lambda x: _avltree_from_sorted_entries(x, None),
             "tuple": lambda x: _avltree_from_sorted_entries([x], None)}
    for target, call in calls.items():
        with pytest.raises(TypeError) as info:
            call(cls())
        assert info.value.args == (f"'{real}' object is not an instance of '{target}'",)


@pytest.mark.parametrize("lie", [None, ("__bool__", "raises"), ("__mro__", "empty tuple"), ("__dict__", "none")])
@pytest.mark.parametrize("on_metaclass", [False, True])
@pytest.mark.parametrize("definition", sorted(BOOL_DEFINITIONS))
def test_flag_conversion_agrees_with_bool(definition, on_metaclass, lie):
    x = lying_class([lie] if lie else [], numpy=True, bool_definition=definition, on_metaclass=on_metaclass)()
    kind, expected = expected_flag(x)
    tree = AVLTree(range(4))
    if kind == "flag":
        assert list(tree.range(1, 2, include_end=x)) == ([1, 2] if expected else [1])
    else:
        pytest.raises(expected, tree.range, 1, 2, include_end=x)


READING_COMPARING = [op for op in COMPARING if op not in MUTATING and op != "construct"]


@pytest.mark.parametrize("op", READING_COMPARING)
def test_deep_reentry_from_every_reading_member(op):
    cell = [None]
    tree = AVLTree([Hostile(i) for i in range(6)])
    cell[0] = tree
    deep, calls = reenter_deeply(cell, [op, *READING_COMPARING]), []

    def hook():
        calls.append(1)
        deep()

    for v in tree:  # the bounded walks compare the stored key on the left
        v.hook = hook
    before = list(tree)
    # The interpreter turns a RecursionError met while it looks up a
    # comparison method into NotImplemented, hence a TypeError.
    with pytest.raises((RecursionError, TypeError)):
        OPERATIONS[op](tree, Hostile(2.5, hook=hook))
    cell[0] = None
    assert len(calls) > 20  # many levels deep, however many frames each level costs
    assert list(tree) == before
    check_avl(tree, lambda v: v.v)
    for v in tree:
        v.hook = None
