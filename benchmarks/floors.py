"""What the reads and the pickle round trip are up against: the parts any implementation pays.

Run it from the repository root, with quorvel (the release build) and
sortedcontainers installed::

    python benchmarks/floors.py                  # the sizes below, 9 repeats
    python benchmarks/floors.py --smoke          # small sizes, 2 repeats: checks that it runs

benchmarks/run.py compares whole workloads.  This script takes four of them
apart, in one process, on the same data (benchmarks/suite/data.py), so that a
ratio can be read against what no implementation of the same interface can
avoid:

- iterating 10^4 values, against a for loop over a plain list, and each
  consumed in C (deque(..., maxlen=0)), which leaves out the loop's own cost:
  for the tree that is the in-order walk and next() alone;
- range(a, b) of 100 values and iter_from(a, 100) at 10^5 and 10^6, against
  one lookup (the descent), a slice of a plain list (the values' reference
  writes, and a list) and list() of an iterator;
- the pickle round trip, against its floor (pickling the bare pairs list) and
  the parts a round trip adds to it: __reduce__, freeing the pairs it made
  (which pickle.dumps does, after writing them) and the rebuild.

Every line is a median over repeats, timed with the collector off, and its
share of the line its section is measured against.  The cases of a section
take turns within each repeat, except two lines: freeing the pairs is timed
in repeats of its own (the pairs are made before the clock starts), and
list() of range's iterator is the difference of two lines.
"""

from __future__ import annotations

import argparse
import gc
import pickle
import statistics
import sys
import time
from collections import deque
from pathlib import Path
from typing import Any, Callable

sys.path.insert(0, str(Path(__file__).resolve().parent))

from quorvel import AVLTree  # noqa: E402
from sortedcontainers import SortedList  # noqa: E402
from suite.data import RANGE_WIDTH, Data, make_data  # noqa: E402

PROTOCOL = pickle.HIGHEST_PROTOCOL
Case = tuple[str, Callable[[], Any]]


def medians(cases: list[Case], repeats: int, per: int) -> dict[str, float]:
    """Median ns per `per` items of each case; the cases take turns within each repeat.

    What a case returns is released after the clock stops, as in run.py."""
    samples: dict[str, list[float]] = {label: [] for label, _ in cases}
    for _ in range(repeats):
        for label, run in cases:
            gc.collect()
            gc.disable()
            try:
                start = time.perf_counter_ns()
                result = run()
                samples[label].append((time.perf_counter_ns() - start) / per)
            finally:
                gc.enable()
            del result
    return {label: statistics.median(times) for label, times in samples.items()}


def table(title: str, times: dict[str, float], base: str, unit: str) -> str:
    scale = {"ns": 1.0, "µs": 1e3, "ms": 1e6}[unit]
    lines = [f"### {title}", "", f"| part | {unit} | share of {base} |", "|---|---:|---:|"]
    for label, t in times.items():
        lines.append(f"| {label} | {t / scale:,.2f} | {t / times[base]:.2f} |")
    return "\n".join(lines) + "\n"


def iteration(d: Data, repeats: int) -> str:
    tree, listed, plain = AVLTree(d.ints), SortedList(d.ints), sorted(d.ints)
    loops = max(1, 1_000_000 // d.n)

    def looped(body: Callable[[], Any]) -> Callable[[], None]:
        def run() -> None:
            for _ in range(loops):
                body()
        return run

    def loop(s: Any) -> Callable[[], None]:
        def body() -> None:
            for _x in s:
                pass
        return looped(body)

    def drain(s: Any) -> Callable[[], None]:
        return looped(lambda: deque(s, maxlen=0))

    base = "SortedList"
    times = medians([("a plain list", loop(plain)), (base, loop(listed)), ("quorvel", loop(tree)),
                     ("a plain list, consumed in C", drain(plain)),
                     ("quorvel, consumed in C (the walk and next())", drain(tree))], repeats, d.n * loops)
    return table(f"Iterating {d.n:,} values, ns a value", times, base, "ns")


def reads(d: Data, repeats: int) -> str:
    tree, listed, plain = AVLTree(d.ints), SortedList(d.ints), sorted(d.ints)
    queries, starts = d.queries, d.starts
    rank = {x: i for i, x in enumerate(plain)}
    at = [rank[a] for a in starts]
    bisect, span, run = listed.bisect_left, tree.range, tree.iter_from
    base = "bisect_left + slice"
    cases: list[Case] = [
        (base, lambda: [listed[bisect(a):bisect(b)] for a, b in queries]),
        ("list(range(a, b))", lambda: [list(span(a, b)) for a, b in queries]),
        ("range(a, b), not listed", lambda: [span(a, b) for a, b in queries]),
        ("bisect_left + slice of 100 (iter_from's idiom)",
         lambda: [listed[i:i + RANGE_WIDTH] for i in map(bisect, starts)]),
        ("list(iter_from(a, 100))", lambda: [list(run(a, RANGE_WIDTH)) for a in starts]),
        ("a in tree (one descent)", lambda: [a in tree for a in starts]),
        ("a slice of a plain list", lambda: [plain[i:i + RANGE_WIDTH] for i in at]),
    ]
    times = medians(cases, repeats, len(queries))
    times["list() of range's iterator"] = times["list(range(a, b))"] - times["range(a, b), not listed"]
    return table(f"{RANGE_WIDTH} values from a bound, n = {d.n:,}, µs a query", times, base, "µs")


def pickling(d: Data, repeats: int) -> str:
    tree = AVLTree(d.ints)
    pairs = [(x, x) for x in sorted(d.ints)]
    rebuild, (given, key_spec) = tree.__reduce__()
    loaded = pickle.loads(pickle.dumps(given, PROTOCOL))
    del given

    base = "floor: dumps + loads of the pairs"
    times = medians([
        (base, lambda: pickle.loads(pickle.dumps(pairs, PROTOCOL))),
        ("round trip of the tree", lambda: pickle.loads(pickle.dumps(tree, PROTOCOL))),
        ("__reduce__", tree.__reduce__),
        ("rebuild from the loaded pairs", lambda: rebuild(loaded, key_spec)),
    ], repeats, 1)
    frees = []
    for _ in range(repeats):
        reduced = tree.__reduce__()  # made before the clock starts: only the release is timed
        gc.disable()
        start = time.perf_counter_ns()
        del reduced
        frees.append(time.perf_counter_ns() - start)
        gc.enable()
    times["freeing the pairs __reduce__ made"] = statistics.median(frees)
    return table(f"Pickling {d.n:,} values, ms a round trip", times, base, "ms")


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--repeats", type=int, default=9, help="interleaved repeats (default: %(default)s)")
    p.add_argument("--smoke", action="store_true", help="small sizes and 2 repeats: checks that it runs")
    args = p.parse_args(argv)
    small, large = (2_000, [5_000]) if args.smoke else (10_000, [100_000, 1_000_000])
    repeats = 2 if args.smoke else args.repeats
    print(iteration(make_data(small), repeats))
    for n in large:
        d = make_data(n)
        print(reads(d, repeats))
        print(pickling(d, max(3, repeats // 2)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
