"""What is timed: the workload table.

A workload names the peer loop it times (a method of peers.Peer), the values
the structure holds, how the structure starts (empty, holding the values,
holding the mixed workload's base, or as two structures for a set operation)
and the loop's arguments.  `plan` turns a
workload and a peer into two callables: an untimed `build` and the timed
`run`.  To add a workload, add one entry to WORKLOADS (and, if no peer loop
does it yet, one method to peers.Peer).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable

from . import data as D
from .data import Data
from .peers import Peer

EMPTY, FULL, MIXED_BASE, NOTHING, PAIR = "empty", "full", "mixed base", "nothing", "pair"


@dataclass
class Workload:
    name: str
    title: str
    op: str                                   # the peer loop timed
    start: str                                # EMPTY | FULL | MIXED_BASE | NOTHING | PAIR
    args: Callable[[Data], tuple]             # the loop's arguments after the structure
    values: Callable[[Data], list] = lambda d: d.ints  # what the structure holds
    kind: str = "int"                         # value kind, for Peer.can
    key: str | None = None                    # attribute key rule, if any
    count: Callable[[Data], int] = lambda d: d.n  # operations per run
    unit: str = "element"
    reuse: bool = False                       # the loop leaves the structure unchanged
    cpp_phase: str | None = None              # the std::set phase timing the same thing
    also: tuple[str, ...] = ()                # peers the README table always names
    operands: Callable[[Data], tuple[list, list]] = lambda d: d.halves  # what a PAIR holds


@dataclass
class Plan:
    label: str
    role: str
    build: Callable[[], Any]
    run: Callable[[Any], Any]
    reuse: bool


def _attr(d: Data) -> list:
    return d.objects


WORKLOADS: list[Workload] = [
    Workload("insert", "insert random ints", "insert_all", EMPTY, lambda d: (d.ints,),
             cpp_phase="insert"),
    Workload("contains", "x in tree, present values", "contains_all", FULL,
             lambda d: (d.lookups,), reuse=True, cpp_phase="find", also=("SortedList",)),
    Workload("remove", "remove all, random order", "remove_all", FULL,
             lambda d: (d.removals,), cpp_phase="erase"),
    Workload("mixed", "mixed 50/30/20 insert/lookup/remove", "mixed", MIXED_BASE,
             lambda d: (d.mixed_ops,), count=lambda d: len(d.mixed_ops), unit="operation"),
    Workload("iterate", "iterate all", "iterate", FULL, lambda d: (None,), reuse=True,
             also=("SortedList", "SortedSet")),
    Workload("first", "next(iter(x)): time to first value", "first", FULL,
             lambda d: (D.FIRST_CALLS,), count=lambda d: D.FIRST_CALLS, unit="call", reuse=True),
    Workload("construct", "construct from random list", "construct", NOTHING,
             lambda d: (d.ints,), also=("SortedSet",)),
    Workload("range", f"range(a, b) of {D.RANGE_WIDTH} values", "ranges", FULL,
             lambda d: (d.queries,), count=lambda d: len(d.queries), unit="query", reuse=True),
    Workload("run", f"iter_from(a, {D.RANGE_WIDTH})", "runs", FULL,
             lambda d: (d.starts, D.RANGE_WIDTH), count=lambda d: len(d.starts),
             unit="query", reuse=True),
    Workload("pickle", "pickle round trip", "round_trip", FULL, lambda d: (None,), reuse=True),
    Workload("attr_insert", "insert objects, key=attribute", "insert_all", EMPTY,
             lambda d: (d.objects,), values=_attr, key="k"),
    Workload("str_insert", "insert random strs", "insert_all", EMPTY, lambda d: (d.strs,),
             values=lambda d: d.strs, kind="str"),
    Workload("float_insert", "insert random floats", "insert_all", EMPTY,
             lambda d: (d.floats,), values=lambda d: d.floats, kind="float"),
    Workload("int_pair_insert", "insert (int, int) tuples", "insert_all", EMPTY,
             lambda d: (d.int_pairs,), values=lambda d: d.int_pairs, kind="tuple",
             also=("SortedList",)),
    Workload("str_pair_insert", "insert (str, int) tuples", "insert_all", EMPTY,
             lambda d: (d.str_pairs,), values=lambda d: d.str_pairs, kind="tuple",
             also=("SortedList",)),
    Workload("item", "tree[i], random i", "items", FULL, lambda d: (d.positions,),
             count=lambda d: len(d.positions), unit="query", reuse=True, also=("SortedList",)),
    Workload("index", "index(value)", "indexes", FULL, lambda d: (d.lookups[:D.POSITION_QUERIES],),
             count=lambda d: min(d.n, D.POSITION_QUERIES), unit="query", reuse=True, also=("SortedList",)),
    Workload("bisect", "bisect_left(value)", "bisects", FULL, lambda d: (d.lookups[:D.POSITION_QUERIES],),
             count=lambda d: min(d.n, D.POSITION_QUERIES), unit="query", reuse=True, also=("SortedList",)),
    Workload("pop_front", "pop(0)", "pop_front", FULL, lambda d: (len(d.pop_positions),),
             count=lambda d: len(d.pop_positions), unit="pop", also=("SortedList",)),
    Workload("pop_back", "pop()", "pop_back", FULL, lambda d: (len(d.pop_positions),),
             count=lambda d: len(d.pop_positions), unit="pop", also=("SortedList",)),
    Workload("pop_random", "pop(i), random i", "pop_random", FULL, lambda d: (d.pop_positions,),
             count=lambda d: len(d.pop_positions), unit="pop", also=("SortedList",)),
    Workload("slice", f"tree[i:i+{D.RANGE_WIDTH}]", "slices", FULL, lambda d: (d.positions, D.RANGE_WIDTH),
             count=lambda d: len(d.positions), unit="query", reuse=True, also=("SortedList",)),
    Workload("head", f"first {D.HEAD} values of a fresh iterator", "head", FULL,
             lambda d: (D.FIRST_CALLS, D.HEAD), count=lambda d: D.FIRST_CALLS, unit="call", reuse=True,
             also=("SortedList",)),
    Workload("next_above", "next value above v", "next_above", FULL, lambda d: (d.starts,),
             count=lambda d: len(d.starts), unit="query", reuse=True, also=("SortedList",)),
    Workload("ends", "first() and last()", "ends", FULL, lambda d: (D.ENDS_CALLS,),
             count=lambda d: D.ENDS_CALLS, unit="pair", reuse=True, also=("OOTreeSet",)),
    # Two sets of n / 2 random ints sharing half their values, by operator; ns per element of both.
    Workload("union", "union of two sets of n/2 ints", "union", PAIR, lambda d: (),
             reuse=True, also=("SortedSet",)),
    Workload("intersection", "intersection of two sets of n/2 ints", "intersection", PAIR, lambda d: (),
             reuse=True, also=("SortedSet",)),
    Workload("difference", "difference of two sets of n/2 ints", "difference", PAIR, lambda d: (),
             reuse=True, also=("SortedSet",)),
    Workload("update", "update with n/10 new ints", "update", FULL, lambda d: (d.fresh,),
             count=lambda d: len(d.fresh), unit="new value", also=("SortedList",)),
    Workload("issubset", "issubset: n/2 ints in n", "issubset", PAIR, lambda d: (),
             operands=lambda d: (d.ints[: d.n // 2], d.ints), reuse=True, also=("SortedSet",)),
]
BY_NAME = {w.name: w for w in WORKLOADS}


def plan(w: Workload, peer: Peer, d: Data) -> Plan | None:
    """The peer's build and run for this workload, or None if it does not take part."""
    if not peer.can(w.op, w.kind, w.key):
        return None
    loop = getattr(peer, w.op)
    args = w.args(d)
    key = w.key
    if w.start == NOTHING:
        values = w.values(d)

        def build() -> Any:
            return None

        def run(_: Any) -> Any:
            return loop(values, key)
    elif w.start == PAIR:
        first, second = w.operands(d)

        def build() -> Any:
            return peer.make(first, key), peer.make(second, key)

        def run(s: Any) -> Any:
            return loop(s, *args)
    else:
        if w.start == EMPTY:
            values = []
        elif w.start == FULL:
            values = w.values(d)
        else:
            values = d.mixed_base

        def build() -> Any:
            return peer.make(values, key)

        def run(s: Any) -> Any:
            return loop(s, *args)
    return Plan(peer.label, peer.role_for(w.op), build, run, w.reuse)


def check_agreement(peers: list[Peer], d: Data, workloads: list[Workload] | None = None) -> list[str]:
    """Every peer's loops must give what quorvel's give before any of them is timed."""
    problems: list[str] = []
    reference: dict[str, Any] = {}
    for w in WORKLOADS if workloads is None else workloads:
        for peer in peers:
            p = plan(w, peer, d)
            if p is None:
                continue
            got = _observe(w, p, d)
            if w.name not in reference:
                reference[w.name] = got
            elif got != reference[w.name]:
                problems.append(f"{w.name}: {peer.label} disagrees with {peers[0].label}")
    return problems


def _observe(w: Workload, p: Plan, d: Data) -> Any:
    """What a loop computed, in a form every implementation can be compared by."""
    s = p.build()
    out = p.run(s)
    if w.op in ("ranges", "runs", "slices", "head"):
        return [list(r) for r in out]
    if w.op in ("items", "indexes", "bisects", "pop_front", "pop_back", "pop_random", "next_above", "ends"):
        return list(out)
    if w.op == "first":
        return out
    if w.op == "issubset":
        return out
    if w.op == "contains_all":
        return [x in s for x in w.args(d)[0]] + [x + 0.5 in s for x in w.args(d)[0][:50]]
    if w.op == "iterate":
        return list(s)
    if w.op == "round_trip" and isinstance(out, list):  # the bare pairs
        return [v for v, _ in out]
    if w.key is not None:
        return [getattr(o, w.key) for o in out]
    return list(out)
