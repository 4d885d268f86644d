"""The operation table of the leak, allocation-failure and fuzz suites reaches every public member.

The members are read from the classes themselves, so a member added to either type (or a function added
to the module) fails here until an operation in helpers.OPERATIONS calls it.
"""

import dis
import types

import pytest

import helpers
import quorvel.quorvel as native
from helpers import OPERATIONS
from quorvel import AVLTree

Iterator = native._AVLTreeIterator
NOT_MEMBERS = {"__doc__", "__module__"}
TEST_ONLY = {"_test_hooks"}

# What a builtin, a module or a piece of syntax in an operation calls on the tree it is given, or on
# what the tree returned.  list() asks for an iterator, then calls next() on it until it is done; copy
# and pickle reduce the tree, and loading calls what __reduce__ names (checked below).
PROTOCOLS = {
    "CONTAINS_OP": {"__contains__"},
    "AVLTree": {"__new__"},
    "len": {"__len__"},
    "bool": {"__bool__"},
    "repr": {"__repr__"},
    "list": {"__iter__", "_AVLTreeIterator.__iter__", "_AVLTreeIterator.__next__"},
    "BINARY_SUBSCR": {"__getitem__"},
    "BINARY_SLICE": {"__getitem__"},
    "reversed": {"__reversed__", "_AVLTreeIterator.__iter__", "_AVLTreeIterator.__next__"},
    "length_hint": {"_AVLTreeIterator.__length_hint__"},
    "copy": {"__reduce__", "_avltree_from_sorted_entries"},
    "pickle": {"__reduce__", "_avltree_from_sorted_entries"},
    "rebuild": {"_avltree_from_sorted_entries"},
    # A binary operator may reach the left operand's slot or the right one's reflected one.
    "|": {"__or__", "__ror__"}, "&": {"__and__", "__rand__"}, "-": {"__sub__", "__rsub__"},
    "^": {"__xor__", "__rxor__"}, "|=": {"__ior__"}, "&=": {"__iand__"}, "-=": {"__isub__"}, "^=": {"__ixor__"},
}
# The operator opcodes of 3.10; later versions have one BINARY_OP that names its operator.
OPERATOR_OPCODES = {"BINARY_OR": "|", "BINARY_AND": "&", "BINARY_SUBTRACT": "-", "BINARY_XOR": "^",
                    "INPLACE_OR": "|=", "INPLACE_AND": "&=", "INPLACE_SUBTRACT": "-=", "INPLACE_XOR": "^="}


def public_members():
    members = {name for name in vars(AVLTree) if name not in NOT_MEMBERS}
    members |= {f"_AVLTreeIterator.{name}" for name in vars(Iterator) if name not in NOT_MEMBERS}
    members |= {name for name, value in vars(native).items()
                if isinstance(value, types.BuiltinFunctionType) and name not in TEST_ONLY}
    return members


def names_used(code, seen=None):
    """Attribute and global names, and the `in` test, in `code`, its nested code and the helpers it calls."""
    seen = set() if seen is None else seen
    seen.add(code)
    names = set()
    for instruction in dis.get_instructions(code):
        if instruction.opname in ("LOAD_ATTR", "LOAD_METHOD", "LOAD_GLOBAL", "LOAD_NAME"):
            names.add(instruction.argval)
        elif instruction.opname in ("CONTAINS_OP", "BINARY_SUBSCR", "BINARY_SLICE"):
            names.add(instruction.opname)
        elif instruction.opname == "BINARY_OP":
            names.add(instruction.argrepr)
        elif instruction.opname in OPERATOR_OPCODES:
            names.add(OPERATOR_OPCODES[instruction.opname])
    nested = [const for const in code.co_consts if isinstance(const, types.CodeType)]
    nested += [f.__code__ for name in names if isinstance(f := vars(helpers).get(name), types.FunctionType)]
    for inner in nested:
        if inner not in seen:
            names |= names_used(inner, seen)
    return names


def reached(operation):
    if isinstance(operation, helpers.Lookup):
        return set(operation.covers)
    names = names_used(operation.__code__)
    members = public_members()
    return {name for name in names if name in members} | set().union(*(PROTOCOLS.get(name, ()) for name in names))


def test_the_member_list_is_read_from_the_types():
    members = public_members()
    assert {"insert", "height", "__new__", "__contains__", "_AVLTreeIterator.__next__",
            "_avltree_from_sorted_entries"} <= members
    assert not members & {"__doc__", "__module__", "_test_hooks"}
    # The protocol map names only real members, and reduction names the module's rebuild function.
    assert set().union(*PROTOCOLS.values()) <= members
    assert AVLTree([1]).__reduce__()[0] is native._avltree_from_sorted_entries


def test_every_public_member_is_reached_by_an_operation():
    covered = set().union(*(reached(operation) for operation in OPERATIONS.values()))
    assert public_members() - covered == set()


@pytest.mark.parametrize("name, expected", [
    ("in", {"__contains__"}),
    ("sizes", {"__len__", "__bool__", "is_empty", "height"}),
    ("from_sorted", {"__reduce__", "_avltree_from_sorted_entries"}),
    ("construct", {"__new__", "in_order", "__reduce__"}),
    ("operators", {"__or__", "__ror__", "__and__", "__sub__", "__xor__", "__rxor__"}),
    ("in_place_difference", {"__isub__", "__new__"}),
])
def test_operations_are_read_through_helpers_and_syntax(name, expected):
    assert expected <= reached(OPERATIONS[name])


def test_an_operation_missing_from_the_table_is_noticed():
    without_in = {name: f for name, f in OPERATIONS.items() if name != "in"}
    covered = set().union(*(reached(operation) for operation in without_in.values()))
    assert public_members() - covered == {"__contains__"}
