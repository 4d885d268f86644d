"""Two builds of quorvel side by side in one process: the suite's workloads, A/B ratios.

    python benchmarks/ab.py A B                       # n = 10^4, 10^5; 7 repeats
    python benchmarks/ab.py A B --sizes 1000000 --only iterate,insert,contains
    python benchmarks/ab.py A B --instructions        # callgrind counts instead of time

A and B are each a wheel (.whl), a built library (quorvel*.so) or a folder
holding one (a build directory, an unpacked wheel, a site-packages).  Each
library is copied to a scratch folder of its own and loaded under the name
it exports (PyInit_quorvel), so both live in one interpreter with their own
types.  Every workload of the suite (benchmarks/suite) runs on the suite's
data for A and B in turns, in an order that rotates from repeat to repeat,
so that a shared machine's drifts hit both alike; the ratio B/A is taken per
repeat, and the table shows its median (min–max): below 1, B is faster.

Time on a busy machine is noisy.  --instructions counts instead what the
workload's loop executes, under valgrind's callgrind: each (build, workload,
n) runs in a process of its own, once building the structure alone and once
building it and running the loop, and the difference is divided by the
operations.  Counts are exact and repeatable, but say nothing of cache
misses and mispredicted branches, so large sizes still need the timings.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import ModuleType
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

from suite import build  # noqa: E402
from suite.data import make_data  # noqa: E402
from suite.peers import Quorvel  # noqa: E402
from suite.timing import paired_ratios, progress, run_plans, summary  # noqa: E402
from suite.workloads import BY_NAME, WORKLOADS, Plan, check_agreement, plan  # noqa: E402

WARMUP_N = 1_000
MIN_SAMPLE_NS = 20_000_000
MODULE = "quorvel"
LIBRARY = re.compile(r"quorvel[^/]*\.so$")


def find_library(source: Path, scratch: Path) -> Path:
    """The built library `source` names: a wheel's, a folder's, or the file itself."""
    if source.suffix == ".whl":
        with zipfile.ZipFile(source) as wheel:
            names = [n for n in wheel.namelist() if LIBRARY.search(n)]
            if len(names) != 1:
                raise SystemExit(f"{source}: expected one quorvel library in the wheel, found {names}")
            scratch.mkdir(parents=True, exist_ok=True)
            target = scratch / "wheel-library.so"
            target.write_bytes(wheel.read(names[0]))
            return target
    if source.is_dir():
        found = sorted(p for p in source.rglob("*.so") if LIBRARY.search(p.name)
                       and "CMakeFiles" not in p.parts)
        if len(found) != 1:
            raise SystemExit(f"{source}: expected one quorvel library under it, found "
                             f"{[str(p) for p in found]}")
        return found[0]
    if source.is_file():
        return source
    raise SystemExit(f"{source}: no such wheel, library or folder")


def load(library: Path, scratch: Path) -> ModuleType:
    """The module of a private copy of `library`: the dynamic loader sees each
    copy as another library, so the two builds never share a symbol."""
    scratch.mkdir(parents=True, exist_ok=True)
    copy = scratch / "quorvel.abi3.so"
    shutil.copyfile(library, copy)
    loader = importlib.machinery.ExtensionFileLoader(MODULE, str(copy))
    spec = importlib.util.spec_from_file_location(MODULE, str(copy), loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


class Side(Quorvel):
    """quorvel's adapter on one loaded build.

    A pickle names the module its reconstructor lives in ("quorvel"), and
    __reduce__ imports "quorvel.quorvel": both are this build's module while
    it pickles (two assignments, nothing beside a round trip's cost)."""

    def __init__(self, label: str, module: ModuleType) -> None:
        self.label = label
        self.module = module
        super().__init__()

    def load(self) -> None:
        self.cls = self.module.AVLTree

    def round_trip(self, s: Any, _: Any = None) -> Any:
        sys.modules[MODULE] = sys.modules[f"{MODULE}.quorvel"] = self.module
        return super().round_trip(s)


# ---------------------------------------------------------------------------
# Timings.

def time_sides(sides: list[Side], workloads, sizes: list[int], repeats: int) -> list[dict]:
    rows = []
    warm = make_data(WARMUP_N)
    for n in sizes:
        d = make_data(n)
        for w in workloads:
            plans = [p for s in sides if (p := plan(w, s, d)) is not None]
            if len(plans) != 2:
                continue
            warm_plans = [p for s in sides if (p := plan(w, s, warm)) is not None]
            samples, failed = run_plans(plans, warm_plans, repeats, MIN_SAMPLE_NS)
            if failed:
                raise SystemExit(f"{w.name} n={n:,} failed: {failed}")
            count = w.count(d)
            a, b = (samples[s.label] for s in sides)
            row = {"workload": w.name, "n": n, "unit": w.unit,
                   "a_ns": summary(a, count), "b_ns": summary(b, count),
                   "ratio": paired_ratios(b, a)}
            rows.append(row)
            progress(f"{w.name} n={n:,}: A {row['a_ns']['median']:.1f} ns, "
                     f"B {row['b_ns']['median']:.1f} ns, B/A {row['ratio']['median']:.3f}")
        del d
    return rows


# ---------------------------------------------------------------------------
# Instruction counts: a process per (build, workload, n, phase) under callgrind.

def _count_child(library: str, workload: str, n: int, loops: int, run: bool) -> None:
    """Runs inside valgrind: warm up, build the structures for `loops` runs of
    the workload's loop, and run them if `run`."""
    side = Side("counted", load(Path(library), Path(tempfile.mkdtemp(prefix="quorvel-ab-"))))
    w = BY_NAME[workload]
    warm = plan(w, side, make_data(WARMUP_N))
    warm.run(warm.build())
    p = plan(w, side, make_data(n))
    states = [p.build() for _ in range(1 if p.reuse else loops)]
    if run:
        for i in range(loops):
            p.run(states[0 if p.reuse else i])


def count_instructions(library: Path, workload: str, n: int, loops: int, run: bool) -> int:
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, __file__, "--count-child", str(library), workload,
                        str(n), str(loops), str(int(run))],
                       check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        for line in out.read_text().splitlines():
            if line.startswith(("summary:", "totals:")):
                return int(line.split()[1])
    raise RuntimeError("callgrind wrote no total")


def count_sides(libraries: list[Path], workloads, sizes: list[int], loops: int,
                jobs: int) -> list[dict]:
    if shutil.which("valgrind") is None:
        raise SystemExit("--instructions needs valgrind")
    cases = [(n, w) for n in sizes for w in workloads]
    runs = [(lib, w.name, n, loops, run) for n, w in cases for lib in libraries for run in (True, False)]
    with ThreadPoolExecutor(max_workers=jobs) as pool:  # each run is a process of its own
        counts = iter(list(pool.map(lambda r: count_instructions(*r), runs)))
    data = {n: make_data(n) for n in sizes}
    rows = []
    for n, w in cases:
        ops = loops * w.count(data[n])
        per_op = [(next(counts) - next(counts)) / ops for _ in libraries]
        rows.append({"workload": w.name, "n": n, "unit": w.unit,
                     "a_instructions": per_op[0], "b_instructions": per_op[1],
                     "ratio": per_op[1] / per_op[0]})
    return rows


def table(rows: list[dict], names: tuple[str, str], instructions: bool) -> str:
    what = "instructions" if instructions else "ns"
    lines = [f"A: {names[0]}", f"B: {names[1]}", "",
             f"| workload | n | A {what}/op | B {what}/op | B/A |", "|---|---:|---:|---:|---:|"]
    for r in rows:
        title = f"{BY_NAME[r['workload']].title} (per {r['unit']})"
        if instructions:
            lines.append(f"| {title} | {r['n']:,} | {r['a_instructions']:.1f} | "
                         f"{r['b_instructions']:.1f} | {r['ratio']:.3f} |")
        else:
            q = r["ratio"]
            lines.append(f"| {title} | {r['n']:,} | {r['a_ns']['median']:.1f} | "
                         f"{r['b_ns']['median']:.1f} | {q['median']:.3f} "
                         f"({q['min']:.2f}–{q['max']:.2f}) |")
    ratios = [r["ratio"] if instructions else r["ratio"]["median"] for r in rows]
    if ratios:
        geo = statistics.geometric_mean(ratios)
        lines += ["", f"B/A over all {len(ratios)} cells: geometric mean {geo:.3f}, "
                      f"lowest {min(ratios):.3f}, highest {max(ratios):.3f}"]
    return "\n".join(lines)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("a", type=Path, help="build A: a wheel, a library or a folder holding one")
    p.add_argument("b", type=Path, help="build B, the same")
    p.add_argument("--sizes", default="10000,100000",
                   help="comma-separated element counts (default: %(default)s)")
    p.add_argument("--repeats", type=int, default=7, help="timed runs of each build (default: 7)")
    p.add_argument("--only", help="comma-separated workload names (default: all)")
    p.add_argument("--instructions", action="store_true",
                   help="count instructions under callgrind instead of timing")
    p.add_argument("--loops", type=int, default=3,
                   help="runs of each loop counted with --instructions (default: 3)")
    p.add_argument("--jobs", type=int, default=2,
                   help="callgrind processes at once with --instructions (default: 2)")
    p.add_argument("--json", type=Path, help="also write the rows to this file")
    args = p.parse_args(argv)
    args.sizes = [int(s.replace("_", "")) for s in args.sizes.split(",")]
    known = [w.name for w in WORKLOADS]
    args.only = args.only.split(",") if args.only else known
    if unknown := set(args.only) - set(known):
        p.error(f"unknown workloads {sorted(unknown)}; known: {', '.join(known)}")
    if args.repeats < 1 or args.loops < 1 or min(args.sizes) < 2:
        p.error("--repeats and --loops must be at least 1 and every size at least 2")
    return args


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--count-child"]:
        _count_child(argv[1], argv[2], int(argv[3]), int(argv[4]), argv[5] == "1")
        return 0
    args = parse_args(argv)
    workloads = [BY_NAME[name] for name in args.only]
    scratch = Path(tempfile.mkdtemp(prefix="quorvel-ab-"))
    try:
        libraries = [find_library(src, scratch / f"source-{i}") for i, src in enumerate((args.a, args.b))]
        names = tuple(f"{src} ({'; '.join(build.elf_comment(lib)) or 'no .comment'})"
                      for src, lib in zip((args.a, args.b), libraries))
        if args.instructions:
            rows = count_sides(libraries, workloads, args.sizes, args.loops, args.jobs)
        else:
            sides = [Side(label, load(lib, scratch / label)) for label, lib in zip("AB", libraries)]
            # Both builds must compute the same things before either is timed.
            if problems := check_agreement(sides, make_data(WARMUP_N), workloads):
                raise SystemExit("the builds disagree: " + "; ".join(problems))
            rows = time_sides(sides, workloads, args.sizes, args.repeats)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    text = table(rows, names, args.instructions)
    print(text)
    if args.json:
        args.json.write_text(json.dumps({"a": names[0], "b": names[1], "rows": rows}, indent=1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
