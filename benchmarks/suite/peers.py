"""One small adapter per implementation, all registered in PEERS.

An adapter says what it is (its role), which values it can hold, and does
each timed loop the way a user of that library would write it.  The base
class writes the loops once in terms of `adder` and `remover`; an adapter
overrides only what its library does differently.  To add a peer, write a
subclass and add an instance to PEERS: an adapter whose library is not
installed (or is installed without its native code) reports itself absent
and is skipped.

Every loop materialises what a user would keep (a list per range query),
and returns it, so the timer keeps it alive until the clock stops.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import operator
import pickle
from itertools import islice
from typing import Any, Callable

from .data import INSERT, LOOKUP

SUBJECT = "subject"      # quorvel itself
ORDERED = "ordered"      # an ordered container: candidates for "best ordered peer"
REFERENCE = "reference"  # shown, never counted as best (native ints only)
IDIOM = "idiom"          # what a user writes instead of a container method
HASH = "hash"            # membership answered by a hash set
FLOOR = "floor"          # a lower bound the subject cannot beat by design
PART = "part"            # a share of the subject's own time

VALUE_KINDS = frozenset({"int", "float", "str", "tuple"})
# Reads and removals by position, which containers without positions skip.
POSITION_OPS = frozenset({"items", "indexes", "bisects", "pop_front", "pop_back", "pop_random", "slices"})
ALL_OPS = frozenset({"construct", "insert_all", "remove_all", "contains_all", "iterate",
                     "first", "ranges", "runs", "mixed", "round_trip", "head", "next_above",
                     "ends"}) | POSITION_OPS
# Set operations between two structures, and bulk insertion: only where the library has them.
SET_OPS = frozenset({"union", "intersection", "difference", "issubset"})
UPDATE = frozenset({"update"})


def _round_trip(obj: Any) -> Any:
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


class Peer:
    label = ""
    role = ORDERED
    dist: str | None = None          # distribution whose version is reported
    kinds = VALUE_KINDS              # value kinds it can hold without a key rule
    keyed = False                    # takes key="attribute"
    ops = ALL_OPS                    # the loops it takes part in
    native_memory = False            # keeps memory outside Python's allocators
    note = ""                        # one line for the report, if it needs saying

    def __init__(self) -> None:
        self.absent: str | None = None
        try:
            self.load()
        except Exception as e:  # noqa: BLE001 - any import failure means "absent"
            self.absent = f"{type(e).__name__}: {e}"

    def load(self) -> None:
        """Import the library; raise (ImportError, ...) when it cannot be used."""

    def version(self) -> str:
        if self.dist is None:
            return ""
        try:
            return importlib.metadata.version(self.dist)
        except importlib.metadata.PackageNotFoundError:
            return "?"

    def role_for(self, op: str) -> str:
        return self.role

    def can(self, op: str, kind: str = "int", key: str | None = None) -> bool:
        if self.absent or op not in self.ops:
            return False
        return self.keyed if key is not None else kind in self.kinds

    # -- structures --------------------------------------------------------
    def make(self, values: list, key: str | None = None) -> Any:
        raise NotImplementedError

    def adder(self, s: Any) -> Callable[[Any], Any]:
        return s.add

    def remover(self, s: Any) -> Callable[[Any], Any]:
        return s.remove

    # -- timed loops -------------------------------------------------------
    def construct(self, values: list, key: str | None = None) -> Any:
        return self.make(values, key)

    def insert_all(self, s: Any, values: list) -> Any:
        add = self.adder(s)
        for x in values:
            add(x)
        return s

    def remove_all(self, s: Any, values: list) -> Any:
        remove = self.remover(s)
        for x in values:
            remove(x)
        return s

    def contains_all(self, s: Any, values: list) -> None:
        for x in values:
            x in s  # noqa: B015 - the membership test is the work being timed

    def iterate(self, s: Any, _: Any = None) -> None:
        for _x in s:
            pass

    def first(self, s: Any, calls: int) -> Any:
        for _ in range(calls):
            x = next(iter(s))
        return x

    def ranges(self, s: Any, queries: list[tuple[Any, Any]]) -> list:
        raise NotImplementedError

    def runs(self, s: Any, starts: list, count: int) -> list:
        raise NotImplementedError

    def mixed(self, s: Any, ops: list[tuple[int, Any]]) -> Any:
        add, remove = self.adder(s), self.remover(s)
        for kind, x in ops:
            if kind == INSERT:
                add(x)
            elif kind == LOOKUP:
                x in s  # noqa: B015
            else:
                remove(x)
        return s

    def round_trip(self, s: Any, _: Any = None) -> Any:
        return _round_trip(s)

    # -- positions, as sortedcontainers spells them ------------------------
    def items(self, s: Any, positions: list[int]) -> list:
        return [s[i] for i in positions]

    def indexes(self, s: Any, values: list) -> list:
        index = s.index
        return [index(x) for x in values]

    def bisects(self, s: Any, values: list) -> list:
        bisect = s.bisect_left
        return [bisect(x) for x in values]

    def pop_front(self, s: Any, count: int) -> list:
        pop = s.pop
        return [pop(0) for _ in range(count)]

    def pop_back(self, s: Any, count: int) -> list:
        pop = s.pop
        return [pop() for _ in range(count)]

    def pop_random(self, s: Any, positions: list[int]) -> list:
        pop = s.pop
        return [pop(i) for i in positions]

    def slices(self, s: Any, positions: list[int], width: int) -> list:
        return [s[i:i + width] for i in positions]

    def head(self, s: Any, calls: int, count: int) -> list:
        return [list(islice(iter(s), count)) for _ in range(calls)]

    def next_above(self, s: Any, values: list) -> list:
        above = s.irange
        return [next(above(x, inclusive=(False, True))) for x in values]

    def ends(self, s: Any, calls: int) -> list:
        return [(s[0], s[-1]) for _ in range(calls)]

    # Two structures, (a, b): the operators and methods sets have.
    def union(self, pair: tuple[Any, Any]) -> Any:
        a, b = pair
        return a | b

    def intersection(self, pair: tuple[Any, Any]) -> Any:
        a, b = pair
        return a & b

    def difference(self, pair: tuple[Any, Any]) -> Any:
        a, b = pair
        return a - b

    def issubset(self, pair: tuple[Any, Any]) -> bool:
        a, b = pair
        return a.issubset(b)

    def update(self, s: Any, values: list) -> Any:
        s.update(values)
        return s


# ---------------------------------------------------------------------------

class Quorvel(Peer):
    label = "quorvel"
    role = SUBJECT
    dist = "quorvel"
    keyed = True
    ops = ALL_OPS | SET_OPS | UPDATE

    def load(self) -> None:
        from quorvel import AVLTree
        self.cls = AVLTree

    def make(self, values, key=None):
        return self.cls(values) if key is None else self.cls(values, key=key)

    def adder(self, s):
        return s.insert

    def ranges(self, s, queries):
        query = s.range  # include_start=True, include_end=False by default
        return [list(query(a, b)) for a, b in queries]

    def runs(self, s, starts, count):
        run = s.iter_from
        return [list(run(a, count)) for a in starts]

    def next_above(self, s, values):
        above = s.range
        return [next(above(x, None, include_start=False)) for x in values]

    def ends(self, s, calls):
        first, last = s.first, s.last
        return [(first(), last()) for _ in range(calls)]


class QuorvelShare(Quorvel):
    """quorvel's own part of a pickle round trip: `__reduce__` and the rebuild."""

    label = "quorvel reduce+rebuild"
    role = PART
    ops = frozenset({"round_trip"})

    def round_trip(self, s, _=None):
        rebuild, args = s.__reduce__()
        return rebuild(*args)


class SortedSetPeer(Peer):
    label = "SortedSet"
    dist = "sortedcontainers"
    ops = ALL_OPS | SET_OPS | UPDATE
    note = "SortedSet keeps a hash set beside its sorted list: `x in SortedSet` is a hash lookup"

    def load(self):
        from sortedcontainers import SortedSet
        self.cls = SortedSet

    def role_for(self, op):
        return HASH if op == "contains_all" else self.role

    def make(self, values, key=None):
        return self.cls(values)

    def ranges(self, s, queries):
        query = s.irange
        return [list(query(a, b, inclusive=(True, False))) for a, b in queries]

    def runs(self, s, starts, count):
        query = s.irange
        return [list(islice(query(a), count)) for a in starts]


class SortedListPeer(SortedSetPeer):
    label = "SortedList"
    note = ""
    ops = ALL_OPS | UPDATE

    def load(self):
        from sortedcontainers import SortedList
        self.cls = SortedList

    def role_for(self, op):
        return self.role


class SortedKeyListPeer(SortedListPeer):
    label = "SortedKeyList"
    keyed = True
    kinds = frozenset()  # only with a key rule; without one it is a SortedList

    def load(self):
        from sortedcontainers import SortedKeyList
        self.cls = SortedKeyList

    def make(self, values, key=None):
        return self.cls(values, key=operator.attrgetter(key))


class BisectSlice(SortedListPeer):
    """The idiom: a SortedList, `bisect_left` for the bounds, a slice for the values."""

    label = "SortedList bisect_left+slice"
    role = IDIOM
    ops = frozenset({"ranges", "runs"})

    def ranges(self, s, queries):
        bisect = s.bisect_left
        return [s[bisect(a):bisect(b)] for a, b in queries]

    def runs(self, s, starts, count):
        bisect = s.bisect_left
        out = []
        for a in starts:
            i = bisect(a)
            out.append(s[i:i + count])
        return out


class PairsFloor(Peer):
    """What any pickle of (value, key) pairs costs: the bare list of pairs, round-tripped."""

    label = "pickle of the bare pairs list"
    role = FLOOR
    ops = frozenset({"round_trip"})

    def make(self, values, key=None):
        return [(v, v) for v in sorted(values)]


class OOTreeSetPeer(Peer):
    label = "OOTreeSet"
    dist = "BTrees"
    native_memory = True
    note = "BTrees keeps its buckets in malloc memory, which tracemalloc does not see"
    ops = (ALL_OPS - POSITION_OPS) | (SET_OPS - {"issubset"}) | UPDATE
    module = "BTrees.OOBTree"
    set_class = "OOTreeSet"

    def load(self):
        module = importlib.import_module(self.module)
        self.cls = getattr(module, self.set_class)
        self.functions = module  # the set operations are the module's functions of two sets

    def union(self, pair):
        return self.functions.union(*pair)

    def intersection(self, pair):
        return self.functions.intersection(*pair)

    def difference(self, pair):
        return self.functions.difference(*pair)

    def make(self, values, key=None):
        return self.cls(values)

    def ranges(self, s, queries):
        keys = s.keys
        return [list(keys(a, b, excludemax=True)) for a, b in queries]

    def runs(self, s, starts, count):
        keys = s.keys
        return [list(islice(keys(a), count)) for a in starts]

    def next_above(self, s, values):
        keys = s.keys
        return [next(iter(keys(x, excludemin=True))) for x in values]

    def ends(self, s, calls):
        first, last = s.minKey, s.maxKey
        return [(first(), last()) for _ in range(calls)]


class LLTreeSetPeer(OOTreeSetPeer):
    label = "LLTreeSet"
    role = REFERENCE
    kinds = frozenset({"int"})
    note = "LLTreeSet stores native 64-bit ints, not objects: a reference, never the best peer"
    module = "BTrees.LLBTree"
    set_class = "LLTreeSet"


class BintreesPeer(Peer):
    """bintrees' Cython trees; a build without its native code is reported absent."""

    dist = "bintrees"
    ops = ALL_OPS - POSITION_OPS - {"next_above", "ends"}
    name = ""
    note = ("bintrees' key_slice walks from the smallest key (O(n) a query): its range "
            "reads step with ceiling_key and succ_key")

    def load(self):
        import bintrees
        if not bintrees.has_fast_tree_support():
            raise ImportError("bintrees is installed without its Cython trees")
        self.cls = getattr(importlib.import_module("bintrees"), self.name)

    def make(self, values, key=None):
        return self.cls.fromkeys(values)

    # A map: a set is its keys, each with the value None.
    def insert_all(self, s, values):
        for x in values:
            s[x] = None
        return s

    def mixed(self, s, ops):
        remove = s.remove
        for kind, x in ops:
            if kind == INSERT:
                s[x] = None
            elif kind == LOOKUP:
                x in s  # noqa: B015
            else:
                remove(x)
        return s

    # key_slice and iter_items walk from the smallest key, O(n) a query, so a
    # bounded read steps from the ceiling of its start with succ_key instead.
    def ranges(self, s, queries):
        ceiling, succ = s.ceiling_key, s.succ_key
        out = []
        for a, b in queries:
            got = []
            try:
                k = ceiling(a)
                while k < b:
                    got.append(k)
                    k = succ(k)
            except KeyError:  # no key at or after a, or the largest key passed
                pass
            out.append(got)
        return out

    def runs(self, s, starts, count):
        ceiling, succ = s.ceiling_key, s.succ_key
        out = []
        for a in starts:
            got = []
            try:
                k = ceiling(a)
                while len(got) < count:
                    got.append(k)
                    if len(got) < count:
                        k = succ(k)
            except KeyError:
                pass
            out.append(got)
        return out


class FastAVLTreePeer(BintreesPeer):
    label = "FastAVLTree"
    name = "FastAVLTree"


class FastRBTreePeer(BintreesPeer):
    label = "FastRBTree"
    name = "FastRBTree"


# The registry: the subject first, then every peer in the order the report shows them.
PEERS: list[Peer] = [
    Quorvel(), QuorvelShare(),
    SortedSetPeer(), SortedListPeer(), SortedKeyListPeer(),
    OOTreeSetPeer(), LLTreeSetPeer(), FastAVLTreePeer(), FastRBTreePeer(),
    BisectSlice(), PairsFloor(),
]
SUBJECT_PEER = PEERS[0]


def available() -> list[Peer]:
    return [p for p in PEERS if not p.absent]


def absent() -> dict[str, str]:
    return {p.label: p.absent for p in PEERS if p.absent}
