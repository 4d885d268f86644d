"""Benchmarks of quorvel.AVLTree against the ordered containers and idioms people already use.

Run it from the repository root, with quorvel (the release build) and the
packages of benchmarks/requirements.txt installed::

    python -m pip install . -r benchmarks/requirements.txt
    python benchmarks/run.py                      # n = 10^4, 10^5, 10^6, 5 repeats
    python benchmarks/run.py --sizes 100000 --repeats 7 --only insert,range
    python benchmarks/run.py --smoke --out DIR    # n = 1000, 1 repeat: checks that it all runs
    python benchmarks/run.py --wheel dist/quorvel-...-manylinux_2_17_x86_64.whl

With --wheel, the run measures that wheel (the release wheel, say) instead
of the installed quorvel: it is installed with pip into a scratch folder put
first on the path of a run of its own, the peers coming from the current
environment.  Every run records which build it measured (the wheel, and the
compiler named in the library's .comment section) and the reports say it.

Every workload runs at every n on the same random data (fixed seed) for
quorvel and every peer that is installed, in one process; a peer that is
missing is reported absent and skipped.  The implementations take turns
within each repeat, in an order that rotates from repeat to repeat.  Each
cell shows ns per operation as the median (min–max) over the repeats, and
quorvel / other as the median (min–max) of the per-repeat ratios, against
the best ordered peer and against the fastest idiom (what a user writes
instead, such as `bisect_left` plus a slice of a SortedList, or a hash
lookup in SortedSet).  Targets are shown beside the ratios, never asserted.

Besides the Python peers, benchmarks/stdset_bench.cpp runs the insert, find
and erase workloads on std::set<int64_t> as a native limit (built with g++
into the output directory), and the bytes each structure holds per element
are measured with tracemalloc.

Written to --out (default benchmarks/results/): results.md (every table,
also printed), results.json (every raw sample), and the Benchmarks page's
part: page.md (its tables, one per size, and its figures) and the folder
benchmarks/ (a figure per group of workloads, log-log panels with error bars
min–max, each in two layouts: two panels a row and, for phones, one; skipped
with a warning when matplotlib is missing).  To show a run on the page,
replace the part of docs/benchmarks.md between its markers with page.md, and
docs/benchmarks/ with the benchmarks/ folder; then bring the page's text and
the README's summary in line with the new numbers.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from suite import build, cpp, memory, report
from suite.data import make_data
from suite.peers import SUBJECT_PEER, absent, available
from suite.plot import plot
from suite.timing import progress, run_plans, summary
from suite.workloads import BY_NAME, WORKLOADS, check_agreement, plan

HERE = Path(__file__).resolve().parent
WARMUP_N = 1_000
MIN_SAMPLE_NS = 20_000_000  # shorter unchanging loops run several times per sample


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sizes", default="10000,100000,1000000",
                   help="comma-separated element counts (default: %(default)s)")
    p.add_argument("--repeats", type=int, default=5, help="timed runs per implementation (default: 5)")
    p.add_argument("--smoke", action="store_true",
                   help="a quick check that everything runs: n = 1000, 1 repeat")
    p.add_argument("--only", help="comma-separated workload names to run (default: all)")
    p.add_argument("--no-memory", action="store_true", help="skip the memory measurement")
    p.add_argument("--report", type=Path, metavar="RESULTS_JSON",
                   help="measure nothing: write the tables and plot of a saved run (or of "
                        "the results.partial.json an interrupted run leaves) to --out")
    p.add_argument("--out", type=Path, default=HERE / "results",
                   help="output directory (default: benchmarks/results)")
    p.add_argument("--wheel", type=Path,
                   help="measure this wheel of quorvel, installed into a scratch folder for the run")
    # Set by a --wheel run for the run it starts: the wheel's name and where it went.
    p.add_argument("--installed-wheel", nargs=2, metavar=("NAME", "FOLDER"), help=argparse.SUPPRESS)
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


def measure_wheel(wheel: Path, argv: list[str]) -> int:
    """Installs `wheel` into a scratch folder and runs the benchmarks there, in a
    process of its own whose path starts with that folder."""
    if not wheel.is_file():
        sys.exit(f"no such wheel: {wheel}")
    rest, skip = [], False
    for a in argv:  # every argument but --wheel's
        if skip:
            skip = False
        elif a == "--wheel":
            skip = True
        elif not a.startswith("--wheel="):
            rest.append(a)
    with tempfile.TemporaryDirectory(prefix="quorvel-wheel-") as folder:
        progress(f"installing {wheel.name} into {folder}")
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet", "--no-deps",
                        "--disable-pip-version-check", "--target", folder, str(wheel.resolve())],
                       check=True)
        path = os.pathsep.join(p for p in (folder, os.environ.get("PYTHONPATH")) if p)
        return subprocess.run([sys.executable, str(Path(__file__).resolve()), *rest,
                               "--installed-wheel", wheel.name, folder],
                              env={**os.environ, "PYTHONPATH": path}).returncode


def measured_build(args: argparse.Namespace) -> dict:
    import quorvel.quorvel as library
    wheel = None
    if args.installed_wheel:
        wheel, folder = args.installed_wheel
        if Path(folder).resolve() not in Path(library.__file__).resolve().parents:
            sys.exit(f"quorvel was imported from {library.__file__}, not from the wheel in {folder}")
    return build.describe(library, wheel)


def meta(args: argparse.Namespace, peers) -> dict:
    versions: dict[str, str] = {}
    for p in peers:
        if p.dist and p.dist not in versions:
            versions[p.dist] = p.version()
    return {
        "date": time.strftime("%Y-%m-%d %H:%M"),
        "platform": platform.platform(), "cpus": os.cpu_count(),
        "python": platform.python_version(), "cxx": cpp.compiler_version(),
        "versions": versions, "absent": absent(),
        "notes": list(dict.fromkeys(p.note for p in peers if p.note)),
        "sizes": args.sizes, "repeats": args.repeats,
        "build": measured_build(args),
    }


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    args = parse_args(argv)
    if args.wheel is not None:
        return measure_wheel(args.wheel, argv)
    args.out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    if args.report is not None:
        write(json.loads(args.report.read_text()), args.out, started)
        return 0
    if SUBJECT_PEER.absent:
        sys.exit(f"cannot import quorvel: {SUBJECT_PEER.absent}")
    import quorvel
    if hasattr(quorvel.quorvel, "_test_hooks"):
        progress("warning: this is a testing build of quorvel; install the release build to benchmark")
    peers = available()
    progress("measuring " + build.summary(measured_build(args)))
    for label, why in absent().items():
        progress(f"absent: {label} ({why})")

    warm = make_data(WARMUP_N)
    if problems := check_agreement(peers, warm):
        sys.exit("benchmark implementations disagree: " + "; ".join(problems))
    workloads = [BY_NAME[name] for name in args.only]
    exe = cpp.build(args.out) if any(w.cpp_phase for w in workloads) else None

    res: dict = {
        "meta": meta(args, peers),
        "workloads": {w.name: {"title": w.title, "unit": w.unit, "by_n": {}} for w in workloads},
        "stdset": {}, "memory": {}, "failures": [],
    }
    for n in args.sizes:
        data = make_data(n)
        for w in workloads:
            plans = [pl for p in peers if (pl := plan(w, p, data)) is not None]
            warm_plans = [pl for p in peers if (pl := plan(w, p, warm)) is not None]
            count = w.count(data)
            progress(f"{w.name} n={n:,}: {args.repeats} repeats of "
                     f"{', '.join(pl.label for pl in plans)}")
            samples, failed = run_plans(plans, warm_plans, args.repeats,
                                        0 if args.smoke else MIN_SAMPLE_NS)
            if SUBJECT_PEER.label in failed:
                sys.exit(f"quorvel failed {w.name} at n={n:,}: {failed[SUBJECT_PEER.label]}")
            for label, why in failed.items():
                progress(f"  {label} failed, left out: {why}")
                res["failures"].append({"workload": w.name, "n": n, "label": label, "error": why})
            impls = res["workloads"][w.name]["by_n"].setdefault(str(n), {"impls": {}})["impls"]
            for pl in plans:
                if pl.label in failed:
                    continue
                impls[pl.label] = {"role": pl.role, "samples_ns": samples[pl.label],
                                   "count": count, "ns_per_op": summary(samples[pl.label], count)}
            progress("  " + ", ".join(f"{label} {report.fmt_ns(v['ns_per_op']['median'])}"
                                      for label, v in impls.items()) + f" ns per {w.unit}")
        if exe is not None:
            res["stdset"][str(n)] = cpp.run(exe, data, args.repeats)
            progress(f"  std::set n={n:,}: " + ", ".join(
                f"{ph} {report.fmt_ns(v['ns_per_op']['median'])} ns"
                for ph, v in res["stdset"][str(n)].items()))
        if not args.no_memory:
            res["memory"][str(n)] = memory.measure(peers, data.ints, data.objects)
            progress(f"  memory n={n:,}: " + ", ".join(
                f"{label} {m['total']:.1f} B" for shape in res["memory"][str(n)].values()
                for label, m in shape.items()))
        del data
        # What is measured so far survives an interrupted long run.
        res["meta"]["seconds"] = round(time.perf_counter() - started, 1)
        (args.out / "results.partial.json").write_text(json.dumps(res, indent=1))

    res["meta"]["seconds"] = round(time.perf_counter() - started, 1)
    write(res, args.out, started)
    (args.out / "results.partial.json").unlink(missing_ok=True)
    return 0


FIGURES = "benchmarks"  # the folder of figures, as docs/benchmarks/ beside the page


def write(res: dict, out: Path, started: float) -> None:
    text = report.markdown(res)
    (out / "results.md").write_text(text)
    (out / "results.json").write_text(json.dumps(res, indent=1))
    for old in (out / FIGURES).glob("*.png"):  # a figure of an earlier run's groups
        old.unlink()
    figures = plot(res, out / FIGURES)
    (out / "page.md").write_text(report.page(res, figures, FIGURES))
    print(text)
    print(f"wrote results.md, results.json, page.md and {len(figures)} figures in "
          f"{FIGURES}/ to {out}; measuring took {res['meta']['seconds']} s, everything "
          f"{time.perf_counter() - started:.1f} s", file=sys.stderr)


if __name__ == "__main__":
    sys.exit(main())
