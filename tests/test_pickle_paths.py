"""The short cuts of pickling: pairs the collector need not watch, exact lists
read in place, and 64-bit int keys shared with their values."""

import gc
import pickle
import weakref

import pytest

import quorvel.quorvel as native
from quorvel import AVLTree

build = native._avltree_from_sorted_entries


def pairs_of(tree):
    return tree.__reduce__()[1][0]


def test_pairs_of_atoms_are_untracked_and_every_other_pair_is_watched():
    atoms = AVLTree([3, -(2**80), 2.5, "s"], key=lambda v: (type(v) is str, v))
    plain = AVLTree([5, 2**70, 1.5, -0.0])
    strs = AVLTree(["a", "b"])
    for tree in (plain, strs):
        assert not any(gc.is_tracked(p) for p in pairs_of(tree))
    # A separate key that is a tuple keeps its pair watched.
    assert all(gc.is_tracked(p) for p in pairs_of(atoms))
    # Subclasses of the atoms can hold references, and so can any object.
    for tree in (AVLTree([Int(4), Int(9)]), AVLTree([Str("x")]), AVLTree([Box(1)], key="k"),
                 AVLTree([(1, 2)]), AVLTree([True, None], key=lambda v: v is None)):
        assert all(gc.is_tracked(p) for p in pairs_of(tree))
    assert list(pickle.loads(pickle.dumps(plain))) == list(plain)


freed = []


class Int(int):
    def __del__(self):
        freed.append(int(self))


class Str(str):
    def __del__(self):
        freed.append(str(self))


class Box:
    def __init__(self, k):
        self.k = k

    def __del__(self):
        freed.append(self.k)


@pytest.mark.parametrize("make, key", [(lambda: Int(7), None), (lambda: Str("held"), None),
                                       (lambda: Box(7), "k"), (lambda: Box(8), lambda b: b.k)])
def test_a_cycle_through_a_pair_is_collected(make, key):
    # An untracked pair would hide the reference it holds from the collector,
    # and the cycle would never be freed.
    value = make()
    tree = AVLTree([value], key=key)
    pairs = pairs_of(tree)
    value.pairs = pairs
    label = value.k if isinstance(value, Box) else type(value).__mro__[1](value)
    freed.clear()
    del tree, pairs, value
    gc.collect()
    assert freed == [label]


class ListWithOwnIteration(list):
    def __iter__(self):
        yield (1, 1)


def test_lists_and_other_sequences_rebuild_alike():
    items = [(i, i) for i in range(0, 60, 3)]
    for pairs in (items, tuple(items), ListWithOwnIteration(items), iter_only(items)):
        tree = build(pairs, None)
        expected = [1] if isinstance(pairs, ListWithOwnIteration) else [v for v, _ in items]
        assert list(tree) == expected
    # The first bad item decides, whichever way the pairs are read.
    bad = [(1, 1), (2, 2), 3, (4, 4, 4)]
    worse = [(1, 1), (2, 2, 2), 3]
    for pairs, exc, message in ((bad, TypeError, "'int' object is not an instance of 'tuple'"),
                                (worse, ValueError, "expected tuple of length 2, but got tuple of length 3")):
        for given in (pairs, tuple(pairs), iter_only(pairs)):
            with pytest.raises(exc) as info:
                build(given, None)
            assert str(info.value) == message


class iter_only:
    """A sequence read only through its iterator."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)


def test_int_keys_are_shared_exactly_when_equal_at_the_64_bit_edges():
    edges = [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 2**64, 2**64 + 1, 10**6 + 1]
    # Equal objects made apart, as unpickling makes them.
    shared = [(v, int(str(v))) for v in edges]
    kept = [(2**63 - 1, 2**63), (-(2**63), -(2**63) - 1), (2**64, 0), (0, 2**64), (2**64 + 1, 1),
            (-1, 2**64 - 1), (2**63, -(2**63))]
    for pairs, is_shared in ((shared, True), (kept, False)):
        for (v, k), (v2, k2) in zip(pairs, pairs_of(build(pairs, None))):
            assert v2 is v and (k2 is v) == is_shared
            assert type(k2) is int and k2 == k
