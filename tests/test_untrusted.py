"""Objects from user code that change under the module or lie about themselves:
arguments whose last reference goes while the call still needs them, types
whose metaclass reports any object as their name, and the flag conversion's
`__bool__`, which must be found exactly as `bool(x)` finds it."""

import gc
import sys
import weakref

import pytest

import quorvel.quorvel as native
from helpers import run_isolated
from quorvel import AVLTree

# --- Arguments held while user code runs


def drop_everywhere(holder, name):
    """Take `name` out of `holder` and out of every other dict that holds it
    (the interpreter's copy of the call's keyword arguments among them), so
    that only what the module itself holds keeps the object alive."""
    target = holder.pop(name)
    for referrer in gc.get_referrers(target):
        if type(referrer) is dict and referrer.get(name) is target:
            referrer.clear()
    return weakref.ref(target)


class Rule:
    def __call__(self, v):
        return -v


class AttributeName(str):  # an attribute name that weak references can watch
    pass


@pytest.mark.parametrize("rule", [Rule, lambda: AttributeName("real")], ids=["callable", "attribute"])
def test_key_rule_outlives_the_values_that_drop_it(rule):
    arguments = {"key": rule()}
    seen = []

    def values():
        seen.append(drop_everywhere(arguments, "key"))
        if seen[0]() is None:  # stop before the constructor reads the freed rule
            raise LookupError("the key rule was released while the constructor needed it")
        yield from (1, 3, 2)

    tree = AVLTree(values(), **arguments)
    assert list(tree) == ([3, 2, 1] if rule is Rule else [1, 2, 3])
    assert tree.__reduce__()[1][1] is seen[0]() or rule is not Rule
    del tree
    assert seen[0]() is None  # and nothing keeps it once the tree is gone


def test_unprintable_keyword_name_that_drops_itself():
    # str() of the name empties the dict it came from and fails; the message
    # and the unraisable report still see the name.
    out = run_isolated("""
        import gc, sys
        from quorvel import AVLTree
        events = []
        class Name(str):
            __hash__ = str.__hash__
            def __str__(self):
                for referrer in gc.get_referrers(self):
                    if type(referrer) is dict:
                        referrer.clear()
                raise ValueError("no text")
            def __del__(self):
                events.append("released")
        sys.unraisablehook = lambda report: events.append(type(report.object).__name__)
        arguments = {Name("bad"): 1}
        try:
            AVLTree(**arguments)
        except TypeError as e:
            events.append(str(e))
        print(events)
    """)
    # Released once the message is made, not while its str() runs.
    assert out.strip() == str(["Name", "released", "AVLTree.__new__() got an unexpected keyword argument "
                               "'<unprintable Name object>'"])


# --- Type names and other facts of types, read without trusting the metaclass


def lying_class(**answers):
    class Meta(type):
        def __getattribute__(cls, name):
            if name in answers:
                answer = answers[name]
                return answer() if callable(answer) else answer
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    return Odd


NAME_MESSAGES = {
    "flag": (lambda x: AVLTree([1]).range(include_start=x), "bool"),
    "sequence": (lambda x: native._avltree_from_sorted_entries(x, None), "Sequence"),
    "tuple": (lambda x: native._avltree_from_sorted_entries([x], None), "tuple"),
}
REAL_NAME = "'lying_class.<locals>.Odd' object is not an instance of '{}'"


@pytest.mark.parametrize("qualname", [12345, b"Odd", ["O", "dd"], None, "Pretend", lambda: 1 / 0])
@pytest.mark.parametrize("site", NAME_MESSAGES)
def test_messages_name_the_real_type_whatever_the_metaclass_says(site, qualname):
    call, target = NAME_MESSAGES[site]
    odd = lying_class(__qualname__=qualname)()
    with pytest.raises(TypeError) as info:
        call(odd)
    assert info.value.args == (REAL_NAME.format(target),)


def test_unprintable_keyword_name_shows_the_real_type_name():
    class Meta(type):
        def __getattribute__(cls, name):
            return 7 if name == "__name__" else super().__getattribute__(name)

    class Name(str, metaclass=Meta):
        __hash__ = str.__hash__

        def __str__(self):
            raise ValueError("no text")

    reports = []
    old, sys.unraisablehook = sys.unraisablehook, reports.append
    try:
        with pytest.raises(TypeError, match=r"argument '<unprintable Name object>'$"):
            AVLTree(**{Name("bad"): 1})
    finally:
        sys.unraisablehook = old
    assert [type(r.exc_value) for r in reports] == [ValueError]


def test_metaclass_cannot_pass_for_numpy_or_swap_the_class_away():
    # Only the real module and name count; the metaclass is never asked, so
    # it cannot reassign the argument's class (releasing the type) mid-lookup.
    asked = []
    holder = []

    def swap():
        asked.append(1)
        holder[0].__class__ = Plain
        return "numpy"

    class Plain:
        pass

    Odd = lying_class(__module__=swap, __name__="bool_")
    holder.append(Odd())
    Odd_ref = weakref.ref(Odd)
    del Odd
    with pytest.raises(TypeError) as info:
        AVLTree([1]).range(include_end=holder[0])
    assert info.value.args == (REAL_NAME.format("bool"),)
    assert asked == [] and Odd_ref() is not None


# --- __bool__ of the flag conversion, found as bool(x) finds it


class Meta(type):
    def __bool__(cls):
        return False


def numpy_bool(namespace, metaclass=type, bases=()):
    namespace = {"__module__": "numpy", **namespace}
    return metaclass("bool_", bases, namespace)


class Base:
    def __bool__(self):
        return False


BOOL_CASES = {
    "method": lambda: numpy_bool({"__bool__": lambda self: False}),
    "staticmethod": lambda: numpy_bool({"__bool__": staticmethod(lambda: True)}),
    "classmethod": lambda: numpy_bool({"__bool__": classmethod(lambda cls: cls.__name__ == "bool_")}),
    "inherited": lambda: numpy_bool({}, bases=(Base,)),
    "none": lambda: numpy_bool({"__bool__": None}),
    "raises": lambda: numpy_bool({"__bool__": lambda self: 1 / 0}),
    "callable object": lambda: numpy_bool({"__bool__": type("C", (), {"__call__": lambda s, self: True})()}),
    "lying mro": lambda: numpy_bool({"__bool__": lambda self: True}, type("M", (type,), {
        "__getattribute__": lambda c, n: () if n == "__mro__" else type.__getattribute__(c, n)})),
}


@pytest.mark.parametrize("case", BOOL_CASES)
def test_flag_bool_is_found_as_bool_finds_it(case):
    x = BOOL_CASES[case]()()
    tree = AVLTree(range(5))
    try:
        expected = bool(x)
    except Exception as e:  # the same kind of failure, from the same method
        with pytest.raises(type(e)):
            tree.range(1, 3, include_end=x)
        return
    assert list(tree.range(1, 3, include_end=x)) == ([1, 2, 3] if expected else [1, 2])


def test_flag_bool_ignores_the_metaclass_and_the_instance():
    only_on_metaclass = numpy_bool({}, Meta)()
    with pytest.raises(TypeError) as info:
        AVLTree([1]).range(include_start=only_on_metaclass)
    assert info.value.args == ("object of type '<class 'numpy.bool_'>' does not define a '__bool__' conversion",)
    instance_only = numpy_bool({})()
    instance_only.__bool__ = lambda: False
    with pytest.raises(TypeError, match="does not define a '__bool__' conversion"):
        AVLTree([1]).range(include_start=instance_only)
