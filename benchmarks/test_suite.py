"""Checks of the benchmark harness itself: python -m pytest benchmarks/test_suite.py"""

from __future__ import annotations

import json
import sys
from collections import Counter
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

import run  # noqa: E402
from suite import report  # noqa: E402
from suite.data import INSERT, LOOKUP, MIXED_SHARES, REMOVE, make_data  # noqa: E402
from suite.peers import (FLOOR, HASH, IDIOM, ORDERED, REFERENCE, SUBJECT, Peer,  # noqa: E402
                         SortedListPeer, available)
from suite.workloads import BY_NAME, check_agreement, plan  # noqa: E402


def test_mixed_operations_are_valid_for_a_set_and_keep_their_shares():
    d = make_data(4000)
    present = set(d.mixed_base)
    assert len(present) == len(d.mixed_base)
    kinds = Counter()
    for kind, x in d.mixed_ops:
        kinds[kind] += 1
        if kind == INSERT:
            assert x not in present
            present.add(x)
        else:
            assert x in present
            if kind == REMOVE:
                present.remove(x)
    assert len(d.mixed_ops) == d.n
    for kind, share in zip((INSERT, LOOKUP, REMOVE), MIXED_SHARES):
        assert abs(kinds[kind] / d.n - share / 100) < 0.05


def test_set_operands_share_half_their_values_and_fresh_ints_are_new():
    d = make_data(4000)
    a, b = map(set, d.halves)
    assert len(a) == len(b) == 2000 and len(a & b) == 1000
    assert len(set(d.fresh)) == len(d.fresh) == 400 and not set(d.fresh) & set(d.ints)
    assert min(d.fresh) >= -5 * d.n and max(d.fresh) < 5 * d.n


def test_range_queries_hold_the_stated_number_of_values():
    d = make_data(500)
    ordered = sorted(d.ints)
    for a, b in d.queries[:20]:
        assert len([x for x in ordered if a <= x < b]) == 100


class _EndInclusive(SortedListPeer):
    label = "wrong ranges"

    def ranges(self, s, queries):
        return [list(s.irange(a, b)) for a, b in queries]


class _Missing(Peer):
    label = "missing"

    def load(self):
        import quorvel_no_such_module  # noqa: F401


def test_agreement_check_names_a_peer_that_computes_something_else():
    d = make_data(300)
    peers = available()
    assert check_agreement(peers, d) == []
    problems = check_agreement(peers + [_EndInclusive()], d)
    assert problems == ["range: wrong ranges disagrees with quorvel"]


def test_a_missing_peer_is_absent_and_takes_part_in_nothing():
    peer = _Missing()
    assert peer.absent and "ModuleNotFoundError" in peer.absent
    d = make_data(50)
    assert all(plan(w, peer, d) is None for w in BY_NAME.values())


@pytest.mark.parametrize("peer", [p for p in available() if p.can("ranges")],
                         ids=lambda p: p.label)
def test_bounded_reads_at_the_ends_agree_with_a_sorted_list(peer):
    values = list(range(0, 60, 3))
    s = peer.make(values)
    queries = [(-10, 5), (50, 100), (57, 58), (58, 1000), (100, 200), (7, 7), (6, 7)]
    assert peer.ranges(s, queries) == [[x for x in values if a <= x < b] for a, b in queries]
    starts = [-10, 0, 1, 50, 57, 58, 1000]
    assert peer.runs(s, starts, 4) == [[x for x in values if x >= a][:4] for a in starts]


def test_short_unchanging_loops_repeat_within_a_sample_and_each_plan_gets_every_repeat():
    from suite.timing import run_plans
    from suite.workloads import Plan

    calls = Counter()

    def runner(label):
        def run(_):
            calls[label] += 1
        return run
    plans = [Plan("kept", ORDERED, lambda: None, runner("kept"), True),
             Plan("rebuilt", ORDERED, lambda: None, runner("rebuilt"), False)]
    samples, failed = run_plans(plans, [], repeats=3, min_sample_ns=10**9)
    assert failed == {}
    assert [len(v) for v in samples.values()] == [3, 3]
    # One calibration run each, then the same number of runs in every repeat.
    for label in ("kept", "rebuilt"):
        assert calls[label] > 3 and (calls[label] - 1) % 3 == 0


def test_a_plan_that_raises_is_dropped_with_its_reason_and_keeps_no_samples():
    from suite.timing import run_plans
    from suite.workloads import Plan

    runs = Counter()

    def fragile(_):
        runs["fragile"] += 1
        if runs["fragile"] == 2:
            raise RecursionError("too deep")
    plans = [Plan("steady", ORDERED, lambda: None, lambda _: None, False),
             Plan("fragile", ORDERED, lambda: None, fragile, False)]
    samples, failed = run_plans(plans, [], repeats=4)
    assert failed == {"fragile": "RecursionError: too deep"}
    assert list(samples) == ["steady"] and len(samples["steady"]) == 4
    assert runs["fragile"] == 2


def _impl(role, samples):
    return {"role": role, "samples_ns": samples, "count": 1,
            "ns_per_op": {"min": min(samples), "median": sorted(samples)[1], "max": max(samples)}}


def test_best_peer_and_idiom_are_chosen_by_role_and_ratios_pair_repeats():
    raw = {"impls": {
        "quorvel": _impl(SUBJECT, [100, 200, 300]),
        "slow": _impl(ORDERED, [400, 400, 400]),
        "fast": _impl(ORDERED, [100, 400, 150]),
        "native ints": _impl(REFERENCE, [1, 1, 1]),
        "hash": _impl(HASH, [50, 50, 50]),
        "idiom": _impl(IDIOM, [90, 90, 90]),
    }}
    c = report.cell(raw)
    assert c.best.label == "fast"          # the reference is never the best peer
    assert c.idiom.label == "hash"         # a hash lookup counts as an idiom
    assert report.side_label(c.idiom) == "hash (hash set)"
    # Repeat by repeat: 100/100, 200/400, 300/150.
    assert c.best.ratio == {"min": 0.5, "median": 1.0, "max": 2.0}


def test_a_target_is_met_only_at_or_below_its_limit():
    res = {"meta": {"sizes": [10**5]}, "stdset": {}, "memory": {},
           "workloads": {"insert": {"by_n": {"100000": {"impls": {
               "quorvel": _impl(SUBJECT, [60, 60, 60]),
               "SortedSet": _impl(ORDERED, [100, 100, 100]),
           }}}}}}
    checks = report.target_checks(res)
    assert [(against, limit, ok) for _, _, against, _, limit, ok in checks] == \
        [("SortedSet", 0.5, False)]


def test_targets_against_the_idiom_the_floor_and_an_absolute_limit():
    res = {"meta": {"sizes": [10**6]}, "stdset": {}, "memory": {"1000000": {"plain": {
               "quorvel": {"traced": 20.0, "malloc": None, "total": 20.0}}}},
           "workloads": {
               "range": {"by_n": {"1000000": {"impls": {
                   "quorvel": _impl(SUBJECT, [40, 40, 40]),
                   "OOTreeSet": _impl(ORDERED, [50, 50, 50]),
                   "bisect": _impl(IDIOM, [100, 100, 100])}}}},
               "pickle": {"by_n": {"1000000": {"impls": {
                   "quorvel": _impl(SUBJECT, [130, 130, 130]),
                   "pairs": _impl(FLOOR, [100, 100, 100])}}}},
               "first": {"by_n": {"1000000": {"impls": {
                   "quorvel": _impl(SUBJECT, [6000, 6000, 6000])}}}}}}
    got = {(title, against.split(" (")[0]): ok for title, _, against, _, _, ok in
           report.target_checks(res)}
    assert got == {
        ("range(a, b) of 100 values", "fastest idiom"): True,   # 0.4 <= 0.5
        ("pickle round trip", "pairs"): False,                   # 1.3 > 1.25
        ("next(iter(x)): time to first value", "quorvel ns per call"): False,
        ("memory, no key rule", "bytes per element"): True,
    }


def test_memory_adds_malloc_only_for_peers_that_allocate_outside_python():
    from suite import memory
    d = make_data(20_000)
    got = memory.measure(available(), d.ints, d.objects)
    mine = got["plain"]["quorvel"]
    assert mine["malloc"] is None and mine["total"] == mine["traced"] > 8
    assert set(got["keyed"]) <= {"quorvel", "SortedKeyList"}
    native = got["plain"].get("OOTreeSet")
    if native is None or memory.HEAP_IN_USE is None:
        pytest.skip("BTrees or glibc's mallinfo2 is not available")
    assert native["malloc"] > 0 and native["total"] > native["traced"]


def test_the_std_set_reference_times_every_phase(tmp_path):
    from suite import cpp
    exe = cpp.build(tmp_path)
    if exe is None:
        pytest.skip("no g++")
    got = cpp.run(exe, make_data(500), repeats=2)
    assert set(got) == {"insert", "find", "erase"}
    assert all(len(v["samples_ns"]) == 2 and v["count"] == 500 for v in got.values())


def test_a_small_run_writes_every_output(tmp_path):
    out = tmp_path / "results"
    assert run.main(["--sizes", "200", "--repeats", "2", "--only", "contains,pickle",
                     "--out", str(out)]) == 0
    res = json.loads((out / "results.json").read_text())
    cell = res["workloads"]["contains"]["by_n"]["200"]["impls"]
    assert cell["SortedSet"]["role"] == HASH and len(cell["quorvel"]["samples_ns"]) == 2
    page = (out / "page.md").read_text()
    assert "| x in tree, present values | fastest idiom: SortedSet (hash set) |" in page
    assert "| pickle round trip | floor: pickle of the bare pairs list |" in page
    assert res["memory"]["200"]["plain"]["quorvel"]["traced"] > 0
    assert "## Pickling" in (out / "results.md").read_text()
    pytest.importorskip("matplotlib")
    for suffix in ("", "-narrow"):  # each group's figure, in both layouts, shown on the page
        for group in ("changes", "whole", "memory"):
            assert (out / "benchmarks" / f"{group}{suffix}.png").stat().st_size > 0
            assert f"(benchmarks/{group}{suffix}.png)" in page
    assert not (out / "benchmarks" / "reads.png").exists()  # nothing of it was measured


def test_the_page_names_sizes_as_powers_of_ten_and_each_comparison_once():
    assert [report.fmt_n(n) for n in (10**4, 10**6, 25_000, 10, 1000)] == \
        ["10⁴", "10⁶", "25,000", "10", "10³"]
    raw = {"impls": {
        "quorvel": _impl(SUBJECT, [100, 100, 100]),
        "SortedList": _impl(ORDERED, [50, 50, 50]),
        "SortedSet": _impl(ORDERED, [80, 80, 80]),
    }}
    named = [name for name, _ in report.against(BY_NAME["iterate"], report.cell(raw))]
    # SortedList is the best ordered peer, so it is not named again on its own.
    assert named == ["best ordered peer: SortedList", "SortedSet"]


def test_the_compiler_is_read_from_the_comment_section_as_pyelftools_reads_it(tmp_path):
    from suite import build
    elftools = pytest.importorskip("elftools.elf.elffile")
    import quorvel.quorvel
    for path in (Path(quorvel.quorvel.__file__), Path(sys.executable).resolve()):
        with path.open("rb") as f:
            section = elftools.ELFFile(f).get_section_by_name(".comment")
            expected = [] if section is None else \
                list(dict.fromkeys(t.decode() for t in section.data().split(b"\0") if t))
        assert build.elf_comment(path) == expected
    not_elf = tmp_path / "quorvel.abi3.so"
    not_elf.write_bytes(b"#!/bin/sh\n" * 20)
    assert build.elf_comment(not_elf) == []


def _repacked_wheel(folder: Path) -> Path:
    """The quorvel this run imports, packed as a wheel of its own."""
    import zipfile
    import quorvel
    package = Path(quorvel.__file__).parent
    wheel = folder / f"quorvel-{quorvel.__version__}-py3-none-any.whl"
    info = f"quorvel-{quorvel.__version__}.dist-info"
    with zipfile.ZipFile(wheel, "w") as z:
        for f in package.iterdir():
            if f.is_file() and (f.suffix in (".py", ".so", ".pyi") or f.name == "py.typed"):
                z.write(f, f"quorvel/{f.name}")
        z.writestr(f"{info}/METADATA", f"Metadata-Version: 2.1\nName: quorvel\nVersion: {quorvel.__version__}\n")
        z.writestr(f"{info}/WHEEL", "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: false\n"
                                    "Tag: py3-none-any\n")
        z.writestr(f"{info}/RECORD", "")
    return wheel


def test_a_run_against_a_wheel_measures_that_wheel_and_names_it(tmp_path):
    wheel = _repacked_wheel(tmp_path)
    out = tmp_path / "results"
    assert run.main(["--wheel", str(wheel), "--sizes", "300", "--repeats", "1", "--only", "contains",
                     "--no-memory", "--out", str(out)]) == 0
    measured = json.loads((out / "results.json").read_text())["meta"]["build"]
    assert measured["wheel"] == wheel.name and measured["tags"] == ["py3-none-any"]
    import quorvel.quorvel
    from suite import build
    assert measured["compiler"] == build.elf_comment(Path(quorvel.quorvel.__file__))
    assert f"The quorvel measured is the wheel {wheel.name}, built by " in (out / "page.md").read_text()
    assert f"quorvel measured: the wheel {wheel.name}" in (out / "results.md").read_text()


def test_a_run_without_a_wheel_names_the_library_it_imported(tmp_path):
    out = tmp_path / "results"
    assert run.main(["--sizes", "200", "--repeats", "1", "--only", "first", "--no-memory",
                     "--out", str(out)]) == 0
    measured = json.loads((out / "results.json").read_text())["meta"]["build"]
    import quorvel.quorvel
    assert measured["wheel"] is None
    assert measured["library"] == Path(quorvel.quorvel.__file__).name


def test_ab_loads_two_copies_of_a_build_side_by_side_and_pickles_with_each(tmp_path, capsys):
    import ab
    import quorvel.quorvel
    library = Path(quorvel.quorvel.__file__)
    a, b = (ab.load(library, tmp_path / side) for side in "ab")
    assert a is not b and a.AVLTree is not b.AVLTree and a.AVLTree is not quorvel.AVLTree
    sides = [ab.Side("A", a), ab.Side("B", b)]
    tree = sides[1].make([3, 1, 2])
    back = sides[1].round_trip(tree)
    assert type(back) is b.AVLTree and list(back) == [1, 2, 3]
    out = tmp_path / "ab.json"
    assert ab.main([str(library), str(library.parent), "--sizes", "300,400", "--repeats", "1",
                    "--only", "contains,pickle", "--json", str(out)]) == 0
    rows = json.loads(out.read_text())["rows"]
    assert [(r["workload"], r["n"]) for r in rows] == \
        [("contains", 300), ("pickle", 300), ("contains", 400), ("pickle", 400)]
    assert all(r["ratio"]["min"] <= r["ratio"]["median"] <= r["ratio"]["max"] for r in rows)
    assert "| pickle round trip (per element) | 400 |" in capsys.readouterr().out


if __name__ == "__main__":
    sys.exit(pytest.main([__file__, "-q"]))
