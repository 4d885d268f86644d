"""Internal faults and allocation failures surface as exceptions, never as crashes."""

import sys

import pytest

from quorvel import AVLTree
from helpers import check_avl, refcounts


def throw(error):
    raise error


def test_panic_exception_is_a_base_exception(hooks):
    panic = hooks("panic_type")
    assert panic.__name__ == "PanicException" and hooks("panic_type") is panic
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    with pytest.raises(panic) as info:
        try:
            hooks("fault", "rotation went wrong")
        except Exception:
            pytest.fail("caught as an ordinary exception")
    assert info.value.args == ("rotation went wrong",)


def test_fault_from_user_code_is_resumed(hooks, capfd):
    panic = hooks("panic_type")
    Derived = type("Derived", (panic,), {})
    Unprintable = type("Unprintable", (), {"__str__": lambda s: throw(ValueError())})
    armed = []
    tree = AVLTree([1, 2, 3], key=lambda v: armed[0]() if armed else v)
    for trigger, error, message, notice in (
            (lambda: hooks("fault", "deep fault"), panic, "deep fault", True),
            (lambda: AVLTree([0], key=lambda v: hooks("fault", "two deep")), panic, "two deep", True),
            (lambda: throw(panic(Unprintable())), panic, "Unwrapped panic from Python code", True),
            (lambda: throw(Derived("ordinary")), Derived, "ordinary", False)):  # only the exact type resumes
        armed[:] = [trigger]
        capfd.readouterr()
        with pytest.raises(error) as info:
            tree.insert(10)
        assert type(info.value) is error and info.value.args == (message,)
        assert ("Python stack trace below:" in capfd.readouterr().err) is notice
        assert list(tree) == [1, 2, 3]
    armed.clear()
    assert tree.insert(10) and len(tree) == 4


@pytest.mark.parametrize("make", [lambda: AVLTree([1, 2]), lambda: iter(AVLTree([1, 2]))], ids=["tree", "iterator"])
def test_destructor_fault_is_unraisable(hooks, monkeypatch, make):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, u.object)))
    victim = make()
    hooks("fault_in_next_destructor")
    del victim  # reported, not raised
    assert reports == [(hooks("panic_type"), None)]


class Item:
    def __init__(self, v):
        self.v = v


def test_allocation_failure_leaves_everything_usable(hooks):
    values = [Item(i) for i in (5, 2, 8, 1, 8)]
    before = refcounts(*values)
    raised = 0
    for n in range(1, 100):  # until construction gets past the armed allocation
        hooks("fail_allocation", n)
        try:
            AVLTree(values, key="v")
        except MemoryError:
            raised += 1
            assert hooks("allocations_left") == 0
            continue
        if hooks("allocations_left") > 0:
            break
        # the reservation of the nodes' storage is a hint: they grow as needed
    hooks("fail_allocation", 0)
    assert raised >= 3  # the values' array, the text of the key rule, the nodes' storage
    assert refcounts(*values) == before
    tree = AVLTree(values, key="v")
    shape, value = list(tree.pre_order()), Item(3)
    count = sys.getrefcount(value)
    hooks("fail_allocation", 1)
    with pytest.raises(MemoryError):
        tree.insert(value)
    assert hooks("allocations_left") == 0 and sys.getrefcount(value) == count
    assert list(tree.pre_order()) == shape and len(tree) == 4
    assert tree.insert(value) is True and tree.insert(Item(9)) is True
    check_avl(tree, keys=lambda v: v.v)
