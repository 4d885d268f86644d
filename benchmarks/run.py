"""Benchmarks of quorvel.AVLTree against the sorted containers people already use.

Run it from the repository root, with quorvel (the release build) and the
packages of benchmarks/requirements.txt installed::

    python -m pip install . -r benchmarks/requirements.txt
    python benchmarks/run.py                      # n = 10^4, 10^5, 10^6, 5 repeats
    python benchmarks/run.py --sizes 100000 --repeats 7
    python benchmarks/run.py --smoke              # n = 1000, 1 repeat: checks that it all runs

Every workload runs at every n on the same random data (fixed seed) for quorvel
and its peers from sortedcontainers, in one process.  The implementations take
turns within each repeat, in an order that rotates from repeat to repeat, so
slow drifts of the machine hit all of them alike.  The reported figure is the
median over the repeats of the total time divided by the number of operations
(elements or queries), and the ratio quorvel / peer; the targets below are
shown beside the ratios, never asserted.

Besides the Python peers, benchmarks/stdset_bench.cpp runs the insert, find and
erase workloads on std::set<int64_t> as a native limit (built with g++ into the
output directory when missing or stale; skipped with a warning without g++),
and tracemalloc measures the bytes each structure holds per element.

Written to --out (default benchmarks/results/): results.md (the tables, also
printed), results.json (every raw sample) and results.png (one log-log plot per
workload; skipped with a warning when matplotlib is missing).
"""

from __future__ import annotations

import argparse
import array
import gc
import json
import operator
import os
import pickle
import platform
import random
import shutil
import statistics
import string
import subprocess
import sys
import tempfile
import time
import tracemalloc
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable

import quorvel
from quorvel import AVLTree

try:
    import sortedcontainers
    from sortedcontainers import SortedKeyList, SortedList, SortedSet
except ImportError:  # pragma: no cover - a setup problem, reported plainly
    sys.exit("benchmarks need sortedcontainers: pip install -r benchmarks/requirements.txt")

HERE = Path(__file__).resolve().parent
SEED = 20_240_611
RANGE_WIDTH = 100  # values per range query
RANGE_QUERIES = 5_000
WARMUP_N = 1_000
CPP_LABEL = "std::set<int64_t>"


# ---------------------------------------------------------------------------
# Data: one set of inputs per n, shared by every implementation.

class Keyed:
    """A small record ordered by its ``k`` attribute."""

    __slots__ = ("k",)

    def __init__(self, k: int) -> None:
        self.k = k


@dataclass
class Data:
    n: int
    ints: list[int]        # distinct, random order, negatives included
    lookups: list[int]     # the same values, another random order
    removals: list[int]    # and another
    queries: list[tuple[int, int]]  # (start, end) pairs spanning RANGE_WIDTH values
    objects: list[Keyed]   # Keyed(x) for x in ints
    strs: list[str]        # distinct random ASCII-letter strings


def make_data(n: int, seed: int = SEED) -> Data:
    rng = random.Random(seed * 1_000_003 + n)
    ints = [v - 5 * n for v in rng.sample(range(10 * n), n)]
    lookups = ints[:]
    rng.shuffle(lookups)
    removals = ints[:]
    rng.shuffle(removals)

    ordered = sorted(ints)
    width = min(RANGE_WIDTH, n - 1)
    starts = [rng.randrange(n - width) for _ in range(min(n, RANGE_QUERIES))]
    # [ordered[i], ordered[i + width]) holds exactly `width` values.
    queries = [(ordered[i], ordered[i + width]) for i in starts]

    seen: set[str] = set()
    strs: list[str] = []
    letters = string.ascii_letters
    while len(strs) < n:
        s = "".join(rng.choices(letters, k=10))
        if s not in seen:
            seen.add(s)
            strs.append(s)

    return Data(n, ints, lookups, removals, queries, [Keyed(x) for x in ints], strs)


# ---------------------------------------------------------------------------
# Operations.  Each takes the structure (or factory) and the inputs and does
# the whole timed loop; what it returns is kept alive until the clock stops,
# so freeing results is never part of a measurement.

def each(method: str) -> Callable[[Any, list], None]:
    def op(obj: Any, values: list) -> None:
        call = getattr(obj, method)
        for x in values:
            call(x)
    op.__name__ = f"each_{method}"
    return op


def contains_each(obj: Any, values: list) -> None:
    for x in values:
        x in obj  # noqa: B015 - the membership test is the work being timed


def iterate(obj: Any, _: Any) -> None:
    for _x in obj:
        pass


def construct(factory: Callable[[list], Any], values: list) -> Any:
    return factory(values)


def range_quorvel(tree: AVLTree, queries: list[tuple[int, int]]) -> None:
    query = tree.range
    for a, b in queries:
        list(query(a, b))  # include_start=True, include_end=False by default


def range_sortedset(ss: SortedSet, queries: list[tuple[int, int]]) -> None:
    query = ss.irange
    for a, b in queries:
        list(query(a, b, inclusive=(True, False)))


def pickle_round_trip(obj: Any, _: Any) -> Any:
    return pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL))


# ---------------------------------------------------------------------------
# The workload table.

@dataclass
class Impl:
    label: str
    build: Callable[[Data], Any]       # untimed: the structure the operation works on
    op: Callable[[Any, Any], Any]      # timed
    reuse: bool = False                # build once per n (the operation does not change it)


@dataclass
class Workload:
    name: str
    title: str
    inputs: Callable[[Data], Any]
    impls: list[Impl]
    count: Callable[[Data], int] = lambda d: d.n  # operations per run
    unit: str = "element"
    cpp_phase: str | None = None       # the std::set phase measuring the same thing


def _by_attr(d: Data) -> SortedKeyList:
    return SortedKeyList(key=operator.attrgetter("k"))


WORKLOADS = [
    Workload("insert", "insert random ints", lambda d: d.ints, [
        Impl("quorvel", lambda d: AVLTree(), each("insert")),
        Impl("SortedSet", lambda d: SortedSet(), each("add")),
    ], cpp_phase="insert"),
    Workload("contains", "x in tree, present values", lambda d: d.lookups, [
        Impl("quorvel", lambda d: AVLTree(d.ints), contains_each, reuse=True),
        Impl("SortedList", lambda d: SortedList(d.ints), contains_each, reuse=True),
        Impl("SortedSet", lambda d: SortedSet(d.ints), contains_each, reuse=True),
    ], cpp_phase="find"),
    Workload("remove", "remove all, random order", lambda d: d.removals, [
        Impl("quorvel", lambda d: AVLTree(d.ints), each("remove")),
        Impl("SortedSet", lambda d: SortedSet(d.ints), each("remove")),
    ], cpp_phase="erase"),
    Workload("iterate", "iterate all", lambda d: None, [
        Impl("quorvel", lambda d: AVLTree(d.ints), iterate, reuse=True),
        Impl("SortedSet", lambda d: SortedSet(d.ints), iterate, reuse=True),
    ]),
    Workload("construct", "construct from random list", lambda d: d.ints, [
        Impl("quorvel", lambda d: AVLTree, construct, reuse=True),
        Impl("SortedSet", lambda d: SortedSet, construct, reuse=True),
    ]),
    Workload("range", f"range of {RANGE_WIDTH} values", lambda d: d.queries, [
        Impl("quorvel", lambda d: AVLTree(d.ints), range_quorvel, reuse=True),
        Impl("SortedSet", lambda d: SortedSet(d.ints), range_sortedset, reuse=True),
    ], count=lambda d: len(d.queries), unit="query"),
    Workload("pickle", "pickle round trip", lambda d: None, [
        Impl("quorvel", lambda d: AVLTree(d.ints), pickle_round_trip, reuse=True),
        Impl("SortedSet", lambda d: SortedSet(d.ints), pickle_round_trip, reuse=True),
    ]),
    Workload("attr_insert", "insert objects, key=attribute", lambda d: d.objects, [
        Impl("quorvel", lambda d: AVLTree(key="k"), each("insert")),
        Impl("SortedKeyList", _by_attr, each("add")),
    ]),
    Workload("str_insert", "insert random strs", lambda d: d.strs, [
        Impl("quorvel", lambda d: AVLTree(), each("insert")),
        Impl("SortedSet", lambda d: SortedSet(), each("add")),
    ]),
]

# (workload, peer, n) -> largest acceptable median ratio quorvel / peer.
TARGETS: dict[tuple[str, str, int], float] = {
    ("insert", "SortedSet", 10**5): 0.5,
    ("insert", "SortedSet", 10**6): 0.5,
    ("remove", "SortedSet", 10**5): 0.5,
    ("remove", "SortedSet", 10**6): 0.6,
    ("contains", "SortedList", 10**5): 0.5,
    ("contains", "SortedList", 10**6): 0.8,
    ("iterate", "SortedSet", 10**5): 1.0,
    ("construct", "SortedSet", 10**5): 1.5,
    ("range", "SortedSet", 10**5): 0.5,
    ("pickle", "SortedSet", 10**5): 0.8,
    ("attr_insert", "SortedKeyList", 10**5): 0.5,
    ("str_insert", "SortedSet", 10**5): 0.6,
    ("insert", CPP_LABEL, 10**6): 2.0,
}
MEMORY_TARGETS = {10**5: 56.0}  # n -> most bytes per element


# ---------------------------------------------------------------------------
# Timing.

def progress(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def timed_run(impl: Impl, state: Any, inputs: Any) -> int:
    """Run one operation with the collector off; returns nanoseconds.

    No collection right before the run: a full collection walks the whole heap
    and would leave every run with a cold cache, which is not how either
    structure is used (run_workload collects once, before its repeats).
    """
    gc.disable()
    try:
        start = time.perf_counter_ns()
        result = impl.op(state, inputs)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    del result
    return elapsed


def run_workload(w: Workload, data: Data, warm: Data, repeats: int) -> dict[str, list[int]]:
    """Returns each implementation's samples (total ns per run)."""
    for impl in w.impls:  # warm-up: code paths, caches and the allocator
        timed_run(impl, impl.build(warm), w.inputs(warm))
    inputs = w.inputs(data)
    kept = {impl.label: impl.build(data) for impl in w.impls if impl.reuse}
    gc.collect()
    samples: dict[str, list[int]] = {impl.label: [] for impl in w.impls}
    for r in range(repeats):
        turn = r % len(w.impls)
        for impl in w.impls[turn:] + w.impls[:turn]:
            state = kept[impl.label] if impl.reuse else impl.build(data)
            samples[impl.label].append(timed_run(impl, state, inputs))
            del state
    return samples


def check_agreement(d: Data) -> None:
    """Make sure every implementation computes the same thing before timing it."""
    tree, ss = AVLTree(d.ints), SortedSet(d.ints)
    problems = []
    if list(tree) != list(ss):
        problems.append("iteration order differs")
    if not all(x in tree for x in d.lookups):
        problems.append("a present value is not found")
    for a, b in d.queries[:50]:
        if list(tree.range(a, b)) != list(ss.irange(a, b, inclusive=(True, False))):
            problems.append(f"range({a}, {b}) differs")
            break
    if list(pickle_round_trip(tree, None)) != list(ss):
        problems.append("pickle round trip changes the values")
    by_attr, skl = AVLTree(key="k"), _by_attr(d)
    each("insert")(by_attr, d.objects)
    each("add")(skl, d.objects)
    if [o.k for o in by_attr] != [o.k for o in skl]:
        problems.append("attribute-key order differs")
    if list(AVLTree(d.strs)) != sorted(d.strs):
        problems.append("str order differs")
    each("remove")(tree, d.removals)
    if len(tree) != 0:
        problems.append("remove left values behind")
    if problems:
        sys.exit("benchmark implementations disagree: " + "; ".join(problems))


# ---------------------------------------------------------------------------
# std::set<int64_t>.

def build_cpp(out: Path) -> Path | None:
    source = HERE / "stdset_bench.cpp"
    exe = out / "stdset_bench"
    if exe.exists() and exe.stat().st_mtime >= source.stat().st_mtime:
        return exe
    compiler = shutil.which("g++")
    if compiler is None:
        progress("warning: g++ not found, skipping the std::set baseline")
        return None
    progress(f"building {exe} ...")
    subprocess.run([compiler, "-O2", "-std=c++20", "-o", str(exe), str(source)], check=True)
    return exe


def run_cpp(exe: Path, d: Data, repeats: int) -> dict[str, list[int]]:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "numbers.bin"
        numbers = array.array("q", [d.n])
        for block in (d.ints, d.lookups, d.removals):
            numbers.extend(block)
        if sys.byteorder != "little":
            numbers.byteswap()
        with path.open("wb") as f:
            numbers.tofile(f)
        done = subprocess.run([str(exe), str(path), str(repeats)],
                              check=True, capture_output=True, text=True)
    raw = json.loads(done.stdout)
    return {phase: raw[f"{phase}_ns"] for phase in ("insert", "find", "erase")}


# ---------------------------------------------------------------------------
# Memory.

def bytes_per_element(factory: Callable[[list], Any], values: list) -> float:
    """Bytes the structure allocates per element; the values themselves exist before."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        structure = factory(values)
        held = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    del structure
    return held / len(values)


MEMORY_IMPLS: dict[str, Callable[[list], Any]] = {
    "quorvel": AVLTree, "SortedSet": SortedSet, "SortedList": SortedList,
}


# ---------------------------------------------------------------------------
# Results.

def median_per_op(samples: list[int], count: int) -> float:
    return statistics.median(samples) / count


def verdict(ratio: float, target: float | None) -> tuple[str, str]:
    if target is None:
        return "", ""
    return f"≤ {target:g}", "yes" if ratio <= target else "**no**"


def fmt_ns(ns: float) -> str:
    return f"{ns:,.1f}" if ns < 1000 else f"{ns:,.0f}"


def shown(res: dict) -> list[Workload]:
    return [w for w in WORKLOADS if w.name in res["workloads"]]


def render_markdown(res: dict) -> str:
    meta = res["meta"]
    lines = [
        "# quorvel benchmark results",
        "",
        f"- {meta['date']}, {meta['platform']}, {meta['cpus']} CPUs",
        f"- Python {meta['python']}, quorvel {meta['quorvel']}, "
        f"sortedcontainers {meta['sortedcontainers']}, {meta['cxx'] or 'no C++ compiler'}",
        f"- sizes {', '.join(map(str, meta['sizes']))}; {meta['repeats']} repeats; "
        f"medians of total time / operations; ratio = quorvel / peer (lower is better)",
        "",
        "## Python peers",
        "",
        "| workload | n | quorvel ns/op | peer | peer ns/op | ratio | target | met |",
        "|---|---:|---:|---|---:|---:|---|---|",
    ]
    met = total = 0
    for w in shown(res):
        for n in meta["sizes"]:
            cell = res["workloads"][w.name]["by_n"].get(str(n))
            if cell is None:
                continue
            ours = cell["quorvel"]["ns_per_op"]
            for impl in w.impls[1:]:
                theirs = cell[impl.label]["ns_per_op"]
                ratio = ours / theirs
                target, ok = verdict(ratio, TARGETS.get((w.name, impl.label, n)))
                total += bool(target)
                met += ok == "yes"
                lines.append(f"| {w.title} (per {w.unit}) | {n:,} | {fmt_ns(ours)} | {impl.label} "
                             f"| {fmt_ns(theirs)} | {ratio:.2f} | {target} | {ok} |")
    if res["stdset"]:
        lines += ["", f"## Native limit: {CPP_LABEL}", "",
                  "| workload | n | quorvel ns/op | std::set ns/op | ratio | target | met |",
                  "|---|---:|---:|---:|---:|---|---|"]
        for w in shown(res):
            if w.cpp_phase is None:
                continue
            for n in meta["sizes"]:
                cell = res["workloads"][w.name]["by_n"].get(str(n))
                native = res["stdset"].get(str(n))
                if cell is None or native is None:
                    continue
                ours, theirs = cell["quorvel"]["ns_per_op"], native[w.cpp_phase]["ns_per_op"]
                ratio = ours / theirs
                target, ok = verdict(ratio, TARGETS.get((w.name, CPP_LABEL, n)))
                total += bool(target)
                met += ok == "yes"
                lines.append(f"| {w.title} ({w.cpp_phase}) | {n:,} | {fmt_ns(ours)} "
                             f"| {fmt_ns(theirs)} | {ratio:.1f} | {target} | {ok} |")
    labels = list(MEMORY_IMPLS)
    lines += ["", "## Memory held per element (tracemalloc, values excluded)", "",
              "| n | " + " | ".join(f"{x} B/elem" for x in labels) + " | quorvel / SortedSet | target | met |",
              "|---:|" + "---:|" * len(labels) + "---:|---|---|"]
    for n in meta["sizes"]:
        mem = res["memory"].get(str(n))
        if mem is None:
            continue
        target, ok = verdict(mem["quorvel"], MEMORY_TARGETS.get(n))
        total += bool(target)
        met += ok == "yes"
        lines.append(f"| {n:,} | " + " | ".join(f"{mem[x]:.1f}" for x in labels)
                     + f" | {mem['quorvel'] / mem['SortedSet']:.2f} | {target} | {ok} |")
    lines += ["", f"Targets met: {met} of {total} that apply to the sizes run.", ""]
    return "\n".join(lines)


COLORS = {"quorvel": "tab:red", "SortedSet": "tab:blue", "SortedList": "tab:green",
          "SortedKeyList": "tab:purple", CPP_LABEL: "tab:gray"}


def plot(res: dict, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        progress("warning: matplotlib not installed, no plot written")
        return False
    sizes = res["meta"]["sizes"]
    workloads = shown(res)
    panels = len(workloads) + 1
    cols = 3
    rows = -(-panels // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 3.8 * rows), squeeze=False)
    flat = [ax for row in axes for ax in row]
    # Plain numbers (350, not 3.5×10^2); minor ticks labelled only at 2 and 5.
    plain = FuncFormatter(lambda v, _: f"{v:g}")
    sparse = FuncFormatter(lambda v, _: f"{v:g}" if f"{v:e}"[0] in "25" else "")
    for ax, w in zip(flat, workloads):
        by_n = res["workloads"][w.name]["by_n"]
        lines = {impl.label: [by_n[str(n)][impl.label]["ns_per_op"] for n in sizes if str(n) in by_n]
                 for impl in w.impls}
        xs = [n for n in sizes if str(n) in by_n]
        if w.cpp_phase and res["stdset"]:
            lines[CPP_LABEL] = [res["stdset"][str(n)][w.cpp_phase]["ns_per_op"]
                                for n in xs if str(n) in res["stdset"]]
        for label, ys in lines.items():
            if len(ys) == len(xs) and xs:
                ax.plot(xs, ys, "o-", label=label, color=COLORS.get(label))
        ax.set(xscale="log", yscale="log", title=w.title, xlabel="n",
               ylabel=f"ns per {w.unit}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_formatter(sparse)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8)
    ax = flat[len(workloads)]
    xs = [n for n in sizes if str(n) in res["memory"]]
    for label in MEMORY_IMPLS:
        ax.plot(xs, [res["memory"][str(n)][label] for n in xs], "o-", label=label,
                color=COLORS.get(label))
    ax.set(xscale="log", title="memory held", xlabel="n", ylabel="bytes per element")
    ax.set_ylim(bottom=0)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=8)
    for ax in flat[panels:]:
        ax.set_visible(False)
    fig.suptitle(f"quorvel {res['meta']['quorvel']} vs sortedcontainers "
                 f"{res['meta']['sortedcontainers']} (median of {res['meta']['repeats']}, "
                 f"Python {res['meta']['python']})")
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


# ---------------------------------------------------------------------------

def compiler_version() -> str | None:
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    out = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout
    return out.splitlines()[0] if out else "g++"


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="10000,100000,1000000",
                   help="comma-separated element counts (default: %(default)s)")
    p.add_argument("--repeats", type=int, default=5, help="timed runs per implementation (default: 5)")
    p.add_argument("--smoke", action="store_true",
                   help="a quick check that everything runs: n = 1000, 1 repeat")
    p.add_argument("--only", help="comma-separated workload names to run (default: all)")
    p.add_argument("--out", type=Path, default=HERE / "results",
                   help="output directory (default: benchmarks/results)")
    args = p.parse_args(argv)
    args.sizes = [1000] if args.smoke else [int(s.replace("_", "")) for s in args.sizes.split(",")]
    if args.smoke:
        args.repeats = 1
    if args.repeats < 1 or min(args.sizes) < 2:
        p.error("--repeats must be at least 1 and every size at least 2")
    known = [w.name for w in WORKLOADS]
    args.only = args.only.split(",") if args.only else known
    if unknown := set(args.only) - set(known):
        p.error(f"unknown workloads {sorted(unknown)}; known: {', '.join(known)}")
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    if hasattr(quorvel.quorvel, "_test_hooks"):
        progress("warning: this is a testing build of quorvel; install the release build to benchmark")

    warm = make_data(WARMUP_N)
    check_agreement(warm)
    workloads = [w for w in WORKLOADS if w.name in args.only]
    exe = build_cpp(args.out) if any(w.cpp_phase for w in workloads) else None

    res: dict = {
        "meta": {
            "date": time.strftime("%Y-%m-%d %H:%M"),
            "platform": platform.platform(), "cpus": os.cpu_count(),
            "python": platform.python_version(), "quorvel": quorvel.__version__,
            "quorvel_path": str(Path(quorvel.__file__).parent),
            "sortedcontainers": sortedcontainers.__version__, "cxx": compiler_version(),
            "sizes": args.sizes, "repeats": args.repeats, "seed": SEED,
        },
        "workloads": {w.name: {"title": w.title, "unit": w.unit, "by_n": {}} for w in workloads},
        "stdset": {}, "memory": {},
    }
    for n in args.sizes:
        data = make_data(n)
        for w in workloads:
            count = w.count(data)
            progress(f"{w.name} n={n:,}: {args.repeats} repeats of "
                     f"{', '.join(i.label for i in w.impls)}")
            samples = run_workload(w, data, warm, args.repeats)
            cell = res["workloads"][w.name]["by_n"][str(n)] = {}
            for impl in w.impls:
                ns = median_per_op(samples[impl.label], count)
                cell[impl.label] = {"samples_ns": samples[impl.label], "count": count, "ns_per_op": ns}
                progress(f"  {w.name} n={n:,} {impl.label}: {fmt_ns(ns)} ns per {w.unit}")
        if exe is not None:
            native = run_cpp(exe, data, args.repeats)
            res["stdset"][str(n)] = {phase: {"samples_ns": s, "count": n,
                                             "ns_per_op": median_per_op(s, n)}
                                     for phase, s in native.items()}
            progress(f"  std::set n={n:,}: " + ", ".join(
                f"{p} {fmt_ns(v['ns_per_op'])} ns" for p, v in res["stdset"][str(n)].items()))
        res["memory"][str(n)] = {label: bytes_per_element(f, data.ints)
                                 for label, f in MEMORY_IMPLS.items()}
        progress(f"  memory n={n:,}: " + ", ".join(
            f"{label} {b:.1f} B" for label, b in res["memory"][str(n)].items()))
        del data

    res["meta"]["seconds"] = round(time.perf_counter() - started, 1)
    text = render_markdown(res)
    (args.out / "results.md").write_text(text)
    (args.out / "results.json").write_text(json.dumps(res, indent=1))
    wrote_plot = plot(res, args.out / "results.png")
    print(text)
    print(f"wrote {args.out / 'results.md'}, {args.out / 'results.json'}"
          + (f", {args.out / 'results.png'}" if wrote_plot else "")
          + f" in {res['meta']['seconds']} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
