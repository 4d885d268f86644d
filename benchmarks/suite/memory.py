"""Bytes a structure holds per element; the values themselves exist before it is built.

tracemalloc sees everything the Python allocators hand out.  A library that
calls malloc itself (BTrees does, for its buckets) is invisible to it, so for
an adapter that says so (Peer.native_memory) the growth of glibc's heap
during a second, untraced build is added.  Python's small-object arenas come
from mmap, not from that heap, so the second figure holds only what went to
malloc directly or as a large block; the adapters that set native_memory are
those whose traced figure holds no large blocks worth speaking of.
"""

from __future__ import annotations

import ctypes
import gc
import tracemalloc
from typing import Any, Callable

from .peers import ORDERED, REFERENCE, SUBJECT, Peer


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                 "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_probe() -> Callable[[], int] | None:
    try:
        libc = ctypes.CDLL(None)
        probe = libc.mallinfo2
    except (OSError, AttributeError):  # not glibc, or older than 2.33
        return None
    probe.restype = _MallInfo2
    probe.argtypes = []

    def in_use() -> int:
        info = probe()
        return info.uordblks + info.hblkhd
    return in_use


HEAP_IN_USE = _heap_probe()


def traced_bytes(build: Callable[[], Any]) -> int:
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        structure = build()
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    del structure
    return held


def heap_bytes(build: Callable[[], Any]) -> int | None:
    if HEAP_IN_USE is None:
        return None
    gc.collect()
    before = HEAP_IN_USE()
    structure = build()
    held = HEAP_IN_USE() - before
    del structure
    return max(held, 0)


def measure(peers: list[Peer], values: list, objects: list) -> dict[str, dict[str, dict]]:
    """{"plain" | "keyed": {label: {"traced", "malloc", "total"} in bytes per element}}."""
    out: dict[str, dict[str, dict]] = {"plain": {}, "keyed": {}}
    for peer in peers:
        if peer.role not in (SUBJECT, ORDERED, REFERENCE):
            continue
        for shape, vals, key in (("plain", values, None), ("keyed", objects, "k")):
            if not peer.can("construct", "int", key):
                continue

            def build(peer: Peer = peer, vals: list = vals, key: str | None = key) -> Any:
                return peer.make(vals, key)
            traced = traced_bytes(build) / len(vals)
            untraced = None
            if peer.native_memory:
                raw = heap_bytes(build)
                untraced = None if raw is None else raw / len(vals)
            out[shape][peer.label] = {"traced": traced, "malloc": untraced,
                                      "total": traced + (untraced or 0.0)}
    return out
