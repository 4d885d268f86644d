"""What the module and its two types look like from Python."""

import gc
import importlib
import sys
import weakref

import pytest

import quorvel
import quorvel.quorvel as native
from quorvel import AVLTree

Iterator = native._AVLTreeIterator
METHODS = ("insert remove remove_key search get search_key contains has_node contains_key clear is_empty first "
           "min last max range iter_from iter_to in_order descending pre_order post_order level_order "
           "__reduce__").split()
SIGNATURES = {**{m: "($self)" for m in METHODS}, **{m: "($self, value)" for m in METHODS[:8]},
              **{m: "($self, key)" for m in METHODS[:9] if m.endswith("_key")},
              "range": "($self, start=None, end=None, *, include_start=True, include_end=False)",
              "iter_from": "($self, start, count)", "iter_to": "($self, end, count)"}


def test_module_attributes():
    assert native.__all__ == quorvel.__all__ == ["AVLTree", "__version__"]
    assert native.__version__ == "0.1.2" and native.__doc__ == "Python bindings for `quorvel`."
    fn = native._avltree_from_sorted_entries
    assert fn.__module__ == "quorvel.quorvel" and fn.__self__ is native
    assert fn.__text_signature__ == "(pairs, key_spec)" and "\u2014 no AVL insertion" in fn.__doc__
    # __all__ is bound first, so it leads the module's own attributes.
    own = [k for k in vars(native) if not k.startswith("__") or k in ("__all__", "__version__")]
    assert own[:5] == ["__all__", "AVLTree", "_AVLTreeIterator", "_avltree_from_sorted_entries", "__version__"]
    for source in ("quorvel", "quorvel.quorvel"):
        namespace = {}
        exec(f"from {source} import *", namespace)
        assert sorted(set(namespace) - {"__builtins__"}) == ["AVLTree", "__version__"]


def test_types_and_docstrings():
    for cls, name in ((AVLTree, "AVLTree"), (Iterator, "_AVLTreeIterator")):
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "quorvel")
    assert AVLTree.__text_signature__ == "(values=None, *, key=None)"
    assert AVLTree.__doc__.startswith("A height-balanced ordered set of comparable Python objects.\n\n")
    assert Iterator.__doc__ == ("An iterator over a snapshot of tree values.\n\n"
                                "Mutating or clearing the source tree does not invalidate this iterator.")
    for name in METHODS:
        assert getattr(AVLTree, name).__text_signature__ == SIGNATURES[name], name
    assert AVLTree.insert.__doc__ == "Insert `value` and return `True` if its key was not already present."
    assert AVLTree.is_empty.__doc__ == "Return whether the tree contains no values."
    assert AVLTree.height.__doc__ == "The height of the tree; an empty tree has height zero."
    keys = list(vars(AVLTree))
    start = keys.index("insert")
    assert keys[start:start + len(METHODS)] == METHODS and keys.index("height") > start
    assert {"__new__", "__repr__", "__iter__", "__bool__", "__len__", "__contains__"} <= set(keys[:start])


def test_instances_are_closed_plain_objects():
    with pytest.raises(TypeError):
        Iterator()
    for base in (AVLTree, Iterator):
        with pytest.raises(TypeError):
            type("Sub", (base,), {})
    a, b = AVLTree([1, 2]), AVLTree([1, 2])
    for obj in (a, iter(a)):
        with pytest.raises(TypeError):
            weakref.ref(obj)
        with pytest.raises(AttributeError):
            obj.anything = 1
        assert gc.is_tracked(obj)  # cycles through values, keys and key rules are collected
    for change in (lambda: setattr(a, "height", 3), lambda: delattr(a, "height")):
        with pytest.raises(AttributeError):
            change()
    assert a.height == 2 and a == a and a != b and hash(a) == hash(a) != hash(b)
    with pytest.raises(TypeError):
        a < b


def test_reimport_reuses_the_type_objects():
    saved = {k: sys.modules.pop(k) for k in ("quorvel", "quorvel.quorvel")}
    try:
        fresh = importlib.import_module("quorvel.quorvel")
        assert fresh is not native and fresh.AVLTree is AVLTree and fresh._AVLTreeIterator is Iterator
        assert fresh._avltree_from_sorted_entries.__self__ is fresh and list(fresh.AVLTree([2, 1])) == [1, 2]
    finally:
        sys.modules.update(saved)
