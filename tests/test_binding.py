"""Argument binding, argument conversion and the per-object re-entry guard."""

import inspect
import re
import sys
import types

import pytest

import quorvel.quorvel as native
from quorvel import AVLTree

rebuild = native._avltree_from_sorted_entries


def assert_note(error, name):
    expected = [f"while processing '{name}'"] if sys.version_info >= (3, 11) else None
    assert getattr(error, "__notes__", None) == expected


@pytest.mark.parametrize("call, message", [
    (lambda t: t.insert(), "AVLTree.insert() missing 1 required positional argument: 'value'"),
    (lambda t: t.insert(1, 2, val=3), "AVLTree.insert() takes 1 positional arguments but 2 were given"),
    (lambda t: t.insert(value=1, val=2), "AVLTree.insert() got an unexpected keyword argument 'val'"),
    (lambda t: t.insert(val=1), "AVLTree.insert() got an unexpected keyword argument 'val'"),
    (lambda t: t.insert(1, value=2, val=3), "AVLTree.insert() got multiple values for argument 'value'"),
    (lambda t: t.insert(1, **{"value": 2}), "AVLTree.insert() got multiple values for argument 'value'"),
    (lambda t: t.contains_key(), "AVLTree.contains_key() missing 1 required positional argument: 'key'"),
    (lambda t: t.range(1, 2, 3), "AVLTree.range() takes from 0 to 2 positional arguments but 3 were given"),
    (lambda t: t.range(1, start=2), "AVLTree.range() got multiple values for argument 'start'"),
    (lambda t: t.iter_to(), "AVLTree.iter_to() missing 2 required positional arguments: 'end' and 'count'"),
    (lambda t: t.iter_from(count=1), "AVLTree.iter_from() missing 1 required positional argument: 'start'"),
    (lambda t: t.iter_from(1, 2, 3), "AVLTree.iter_from() takes 2 positional arguments but 3 were given"),
    (lambda t: AVLTree([1], None), "AVLTree.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda t: AVLTree([1], **{"values": [2]}), "AVLTree.__new__() got multiple values for argument 'values'"),
    (lambda t: AVLTree(keys=len), "AVLTree.__new__() got an unexpected keyword argument 'keys'"),
    (lambda t: rebuild(), "_avltree_from_sorted_entries() missing 2 required positional arguments: "
                          "'pairs' and 'key_spec'"),
    (lambda t: rebuild([], None, 1), "_avltree_from_sorted_entries() takes 2 positional arguments but 3 were given"),
])
def test_binding_messages(call, message):
    tree = AVLTree([1, 2])
    with pytest.raises(TypeError) as info:
        call(tree)
    assert str(info.value) == message and not hasattr(info.value, "__notes__")
    assert list(tree) == [1, 2]


def test_keywords_bind_and_noargs_methods_refuse_arguments():
    tree = AVLTree(key=None, values=[3, 2, 1])
    assert tree.insert(value=0) and list(tree.range(end=2, start=1, include_end=True)) == [1, 2]
    for name in ("clear", "is_empty", "first", "max", "in_order", "__reduce__"):
        with pytest.raises(TypeError, match="takes no arguments"):
            getattr(tree, name)(1)
    assert len(tree) == 4


Outer = type("Outer", (), {"Inner": type("Inner", (), {"__qualname__": "Outer.Inner"})})


def numpy_bool(**body):
    return type("bool_", (), {"__module__": "numpy", **body})()


@pytest.mark.parametrize("kwargs, name, message", [
    ({"include_start": 1}, "include_start", "'int' object is not an instance of 'bool'"),
    ({"include_end": None}, "include_end", "'None' is not an instance of 'bool'"),
    ({"include_start": 1, "include_end": None}, "include_start", "'int' object is not an instance of 'bool'"),
    ({"include_end": Outer.Inner()}, "include_end", "'Outer.Inner' object is not an instance of 'bool'"),
    ({"include_start": numpy_bool(__bool__=lambda s: 1)}, "include_start", "'int' object is not an instance of 'bool'"),
    ({"include_start": numpy_bool()}, "include_start",
     "object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion"),
])
def test_flag_conversion_errors(kwargs, name, message):
    tree = AVLTree([1, 2, 3])
    with pytest.raises(TypeError) as info:
        tree.range(**kwargs)
    assert str(info.value) == message
    assert_note(info.value, name)
    assert tree.insert(4)  # the guard was given back
    no, yes = numpy_bool(__bool__=lambda s: False), numpy_bool(__bool__=lambda s: True)
    assert list(tree.range(1, 3, include_start=no, include_end=yes)) == [2, 3]


@pytest.mark.parametrize("count, expected", [
    (True, 1), (False, 0), (type("I", (), {"__index__": lambda s: 2})(), 2), (2**64 - 1, 3),
    (-1, OverflowError), (2**64, OverflowError), (1.5, TypeError), ("2", TypeError), (None, TypeError),
])
def test_count_conversion(count, expected):
    tree = AVLTree([0, 1, 2, 3])
    if isinstance(expected, int):
        assert list(tree.iter_from(1, count)) == [1, 2, 3][:expected]
        assert list(tree.iter_to(2, count)) == [2, 1, 0][:expected]
        return
    for method in (tree.iter_from, tree.iter_to):
        with pytest.raises(expected) as info:
            method(1, count)
        assert_note(info.value, "count")
    assert tree.insert(4)


class Reentrant:
    """A key callable that, once armed with a tree, runs `action` on it and records the outcome."""

    def __init__(self, action, swallow=False):
        self.action, self.swallow, self.tree, self.seen = action, swallow, None, []

    def __call__(self, value):
        tree, self.tree = self.tree, None  # the nested call may derive keys too
        try:
            if tree is not None:
                self.seen.append(("ok", self.action(tree)))
        except RuntimeError as error:
            self.seen.append(("error", str(error)))
            if not self.swallow:
                raise
        finally:
            self.tree = tree
        return value


@pytest.mark.parametrize("action, message", [
    (len, "Already mutably borrowed"), (lambda t: t.insert(9), "Already borrowed"),
    (lambda t: t.iter_from(0, "x"), "Already mutably borrowed"),  # the guard comes before the conversion
])
@pytest.mark.parametrize("swallow", [True, False])
def test_members_refused_during_insert(action, message, swallow):
    key = Reentrant(action, swallow)
    tree = AVLTree([1, 2, 3], key=key)
    key.tree = tree
    if swallow:
        assert tree.insert(5) is True
    else:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            tree.insert(5)
    assert key.seen == [("error", message)]
    assert list(tree) == ([1, 2, 3, 5] if swallow else [1, 2, 3])
    key.tree = None
    assert tree.insert(6)


def test_shared_guard_admits_readers_only():
    key = Reentrant(lambda t: (t.contains(2), len(t), list(t.iter_from(2, 1))))
    tree = AVLTree([1, 2, 3], key=key)
    key.tree = tree
    assert tree.search(3) == 3 and key.seen == [("ok", (True, 3, [2]))]
    key.action = lambda t: t.insert(7)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        tree.contains(1)
    key.action = lambda t: t.iter_from(0, "x")  # a shared guard is granted, so the conversion fails
    with pytest.raises(TypeError) as info:
        tree.search(1)
    assert_note(info.value, "count")
    key.tree = None
    assert list(tree) == [1, 2, 3] and tree.insert(7)


def bound_members():
    """(the name binding errors show, a callable) for every member that binds its own arguments."""
    tree = AVLTree()
    for name, member in vars(AVLTree).items():
        if isinstance(member, types.MethodDescriptorType) and inspect.signature(getattr(tree, name)).parameters:
            yield f"AVLTree.{name}()", getattr(tree, name)
    yield "AVLTree.__new__()", AVLTree
    yield "_avltree_from_sorted_entries()", native._avltree_from_sorted_entries


@pytest.mark.parametrize("shown, function", list(bound_members()), ids=lambda x: x if isinstance(x, str) else "")
def test_every_member_binds_what_its_text_signature_shows(shown, function):
    parameters = list(inspect.signature(function).parameters.values())
    positional = [p for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    required = [p.name for p in positional if p.default is p.empty]
    with pytest.raises(TypeError, match=rf"^{re.escape(shown)} got an unexpected keyword argument 'unknown'$"):
        function(unknown=1)
    given = len(positional) + 1
    takes = f"{len(positional)}" if len(required) == len(positional) else f"from {len(required)} to {len(positional)}"
    with pytest.raises(TypeError, match=rf"^{re.escape(shown)} takes {takes} positional arguments but {given} were"):
        function(*range(given))
    if required:
        with pytest.raises(TypeError, match=rf"^{re.escape(shown)} missing {len(required)} required positional"):
            function()
    # Every parameter binds by its own name; what fails after binding is the arguments' values.
    try:
        function(**{p.name: None for p in parameters})
    except (TypeError, ValueError, IndexError) as error:  # None as a value: absent, or not an index
        assert "keyword argument" not in str(error) and "positional" not in str(error), error
