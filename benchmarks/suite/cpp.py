"""std::set<int64_t>: the native limit for the insert, find and erase workloads.

benchmarks/stdset_bench.cpp is built with g++ into the output directory when
missing or stale; without g++ the reference is skipped with a warning.
"""

from __future__ import annotations

import array
import json
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

from .data import Data
from .timing import progress, summary

LABEL = "std::set<int64_t>"
SOURCE = Path(__file__).resolve().parent.parent / "stdset_bench.cpp"
PHASES = ("insert", "find", "erase")


def compiler_version() -> str | None:
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    out = subprocess.run([compiler, "--version"], capture_output=True, text=True).stdout
    return out.splitlines()[0] if out else "g++"


def build(out: Path) -> Path | None:
    exe = out / "stdset_bench"
    if exe.exists() and exe.stat().st_mtime >= SOURCE.stat().st_mtime:
        return exe
    compiler = shutil.which("g++")
    if compiler is None:
        progress("warning: g++ not found, skipping the std::set reference")
        return None
    progress(f"building {exe} ...")
    subprocess.run([compiler, "-O2", "-std=c++20", "-o", str(exe), str(SOURCE)], check=True)
    return exe


def run(exe: Path, d: Data, repeats: int) -> dict[str, dict]:
    """{phase: {"samples_ns", "count", "ns_per_op": {min, median, max}}}."""
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
    return {phase: {"samples_ns": raw[f"{phase}_ns"], "count": d.n,
                    "ns_per_op": summary(raw[f"{phase}_ns"], d.n)}
            for phase in PHASES}
