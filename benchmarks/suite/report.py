"""Reading a run: the comparisons, the Markdown tables and the Benchmarks page's part.

Everything here works on the raw results (what results.json holds), so a
report can be redone from a saved run.  Ratios are quorvel / other, each the
median of the per-repeat ratios (timing.paired_ratios) with their min–max;
lower is better.
"""

from __future__ import annotations

from dataclasses import dataclass

from .build import summary as build_summary
from .cpp import LABEL as CPP
from .peers import FLOOR, HASH, IDIOM, ORDERED, PART, SUBJECT
from .plot import MEMORY_TITLE
from .targets import MEMORY_TARGETS, TARGETS
from .timing import paired_ratios
from .workloads import BY_NAME, WORKLOADS


@dataclass
class Side:
    """One implementation set against quorvel in one cell."""

    label: str
    role: str
    ns: dict[str, float]       # min / median / max ns per operation
    ratio: dict[str, float]    # quorvel / this, paired by repeat


@dataclass
class Cell:
    ours: dict[str, float]
    sides: list[Side]
    best: Side | None          # the best ordered peer
    idiom: Side | None         # the fastest idiom (a hash lookup counts, and says so)
    floor: Side | None
    part: Side | None


def cell(raw: dict) -> Cell:
    impls = raw["impls"]
    ours = next(v for v in impls.values() if v["role"] == SUBJECT)
    sides = [Side(label, v["role"], v["ns_per_op"],
                  paired_ratios(ours["samples_ns"], v["samples_ns"]))
             for label, v in impls.items() if v["role"] != SUBJECT]

    def fastest(*roles: str) -> Side | None:
        found = [s for s in sides if s.role in roles]
        return min(found, key=lambda s: s.ns["median"]) if found else None
    return Cell(ours["ns_per_op"], sides, fastest(ORDERED), fastest(IDIOM, HASH),
                fastest(FLOOR), fastest(PART))


def sizes(res: dict) -> list[int]:
    return res["meta"]["sizes"]


def cells(res: dict):
    """(workload, n, Cell) for everything the run holds, in table order."""
    for w in WORKLOADS:
        by_n = res["workloads"].get(w.name, {}).get("by_n", {})
        for n in sizes(res):
            if str(n) in by_n:
                yield w, n, cell(by_n[str(n)])


# ---------------------------------------------------------------------------
# Formatting.

def fmt_ns(ns: float) -> str:
    return f"{ns:,.1f}" if ns < 1000 else f"{ns:,.0f}"


def spread_ns(s: dict[str, float]) -> str:
    return f"{fmt_ns(s['median'])} ({fmt_ns(s['min'])}–{fmt_ns(s['max'])})"


def fmt_ratio(r: float) -> str:
    return f"{r:.2f}" if r < 10 else f"{r:.1f}" if r < 100 else f"{r:,.0f}"


def spread_ratio(r: dict[str, float]) -> str:
    return f"{fmt_ratio(r['median'])} ({fmt_ratio(r['min'])}–{fmt_ratio(r['max'])})"


def side_label(s: Side) -> str:
    return f"{s.label} (hash set)" if s.role == HASH else s.label


def _row(*items: object) -> str:
    return "| " + " | ".join(str(i) for i in items) + " |"


def _header(names: tuple[str, ...], align: str) -> list[str]:
    """A header row and its rule; `align` has one letter per column, l or r."""
    rule = ["---:" if a == "r" else "---" for a in align]
    return [_row(*names), "|" + "|".join(rule) + "|"]


# ---------------------------------------------------------------------------
# Targets.

def target_checks(res: dict) -> list[tuple[str, int, str, str, float, bool]]:
    """(workload title, n, against, measured, limit, met) for every target that applies."""
    out = []
    for w, n, c in cells(res):
        for against, limit in TARGETS.get((w.name, n), []):
            if against == "ns":
                value, shown = c.ours["median"], f"{fmt_ns(c.ours['median'])} ns"
                out.append((w.title, n, "quorvel ns per " + w.unit, shown, limit, value <= limit))
                continue
            if against == CPP:
                native = res["stdset"].get(str(n), {}).get(w.cpp_phase or "")
                if native is None:
                    continue
                r = c.ours["median"] / native["ns_per_op"]["median"]
                out.append((w.title, n, CPP, f"{r:.2f}", limit, r <= limit))
                continue
            side = {"best": c.best, "idiom": c.idiom, "floor": c.floor}.get(against)
            if against not in ("best", "idiom", "floor"):
                side = next((s for s in c.sides if s.label == against), None)
            if side is None:
                continue
            name = {"best": f"best ordered peer ({side.label})",
                    "idiom": f"fastest idiom ({side_label(side)})"}.get(against, side.label)
            out.append((w.title, n, name, spread_ratio(side.ratio), limit,
                        side.ratio["median"] <= limit))
    for n in sizes(res):
        for shape in ("plain", "keyed"):
            limit = MEMORY_TARGETS.get((shape, n))
            mine = res["memory"].get(str(n), {}).get(shape, {}).get("quorvel")
            if limit is None or mine is None:
                continue
            what = "memory, " + ("no key rule" if shape == "plain" else "key rule")
            # Four decimals: a tree's fixed part (its object, the chunk table)
            # adds thousandths or ten-thousandths of a byte, which fewer would hide
            # behind a "no".
            out.append((what, n, "bytes per element", f"{mine['total']:.4f}", limit,
                        mine["total"] <= limit))
    return out


# ---------------------------------------------------------------------------
# results.md

def markdown(res: dict) -> str:
    meta = res["meta"]
    lines = [
        "# quorvel benchmark results", "",
        f"- {meta['date']}, {meta['platform']}, {meta['cpus']} CPUs; measured in {meta['seconds']} s",
        f"- Python {meta['python']}, {meta['cxx'] or 'no C++ compiler'}",
        *([f"- quorvel measured: {build_summary(meta['build'])}"] if meta.get("build") else []),
        "- implementations: " + ", ".join(f"{label} {v}".strip()
                                          for label, v in meta["versions"].items()),
    ]
    for label, why in meta["absent"].items():
        lines.append(f"- absent: {label} ({why})")
    for note in meta["notes"]:
        lines.append(f"- {note}")
    for f in res.get("failures", []):
        lines.append(f"- {f['label']} failed {BY_NAME[f['workload']].title} at n={f['n']:,} "
                     f"and is left out there: {f['error']}")
    lines += [
        f"- sizes {', '.join(f'{n:,}' for n in sizes(res))}; {meta['repeats']} repeats, "
        "interleaved in rotating order; ns per operation as median (min–max) over repeats; "
        "ratio = quorvel / other, the median (min–max) of the per-repeat ratios, lower is better",
        "", "## quorvel against the best ordered peer and the fastest idiom", "",
        *_header(("workload", "n", "quorvel ns/op", "best ordered peer", "ns/op", "ratio",
                  "fastest idiom", "ns/op", "ratio"), "lrrlrrlrr"),
    ]
    for w, n, c in cells(res):
        best = [c.best.label, spread_ns(c.best.ns), spread_ratio(c.best.ratio)] if c.best \
            else ["–"] * 3
        idiom = [side_label(c.idiom), spread_ns(c.idiom.ns), spread_ratio(c.idiom.ratio)] \
            if c.idiom else ["–"] * 3
        lines.append(_row(f"{w.title} (per {w.unit})", f"{n:,}", spread_ns(c.ours), *best, *idiom))

    lines += ["", "## Every implementation", "",
              *_header(("workload", "n", "implementation", "role", "ns/op", "quorvel / it"), "lrllrr")]
    for w, n, c in cells(res):
        lines.append(_row(w.title, f"{n:,}", "quorvel", SUBJECT, spread_ns(c.ours), ""))
        for s in c.sides:
            lines.append(_row(w.title, f"{n:,}", s.label, s.role, spread_ns(s.ns),
                              spread_ratio(s.ratio)))

    if res["stdset"]:
        lines += ["", f"## Native limit: {CPP}", "",
                  *_header(("workload", "n", "quorvel ns/op", "std::set ns/op", "ratio"), "lrrrr")]
        for w, n, c in cells(res):
            native = res["stdset"].get(str(n), {}).get(w.cpp_phase or "")
            if native is None:
                continue
            ratio = c.ours["median"] / native["ns_per_op"]["median"]
            lines.append(_row(f"{w.title} ({w.cpp_phase})", f"{n:,}", spread_ns(c.ours),
                              spread_ns(native["ns_per_op"]), f"{ratio:.1f}"))

    pickled = [(n, c) for w, n, c in cells(res) if w.name == "pickle" and c.floor]
    if pickled:
        lines += ["", "## Pickling: the round trip, its floor and quorvel's own share", "",
                  "The floor is `pickle.loads(pickle.dumps(pairs))` of the bare `[(v, k), ...]` "
                  "list a tree pickles to; quorvel's share is `__reduce__` plus "
                  "`_avltree_from_sorted_entries`, timed alone in the same repeats.", "",
                  *_header(("n", "quorvel round trip ns/elem", "floor ns/elem", "quorvel / floor",
                            "own share ns/elem", "share / round trip"), "rrrrrr")]
        for n, c in pickled:
            share = [spread_ns(c.part.ns), f"{c.part.ns['median'] / c.ours['median']:.2f}"] \
                if c.part else ["–", "–"]
            lines.append(_row(f"{n:,}", spread_ns(c.ours), spread_ns(c.floor.ns),
                              spread_ratio(c.floor.ratio), *share))

    lines += ["", "## Memory held per element (values excluded)", "",
              "tracemalloc, plus, for libraries that call malloc themselves, the growth of the "
              "malloc heap during an untraced build (shown as traced + malloc).", ""]
    lines += _memory_table(res)

    checks = target_checks(res)
    lines += ["", "## Targets (median against the limit)", "",
              *_header(("workload", "n", "against", "measured", "target", "met"), "lrlrll")]
    for title, n, against, shown, limit, ok in checks:
        lines.append(_row(title, f"{n:,}", against, shown, f"≤ {limit:g}",
                          "yes" if ok else "**no**"))
    met = sum(ok for *_, ok in checks)
    lines += ["", f"Targets met: {met} of {len(checks)} that apply to the sizes run.", ""]
    return "\n".join(lines)


def _memory_table(res: dict) -> list[str]:
    labels: list[str] = []
    for by_shape in res["memory"].values():
        for entries in by_shape.values():
            labels += [x for x in entries if x not in labels]
    if not labels:
        return ["(not measured)"]
    lines = _header(("n", "shape", *[f"{x} B/elem" for x in labels]), "rl" + "r" * len(labels))
    for n in sizes(res):
        for shape, entries in res["memory"].get(str(n), {}).items():
            if not entries:
                continue
            shown = []
            for x in labels:
                m = entries.get(x)
                if m is None:
                    shown.append("–")
                elif m["malloc"] is None:
                    shown.append(f"{m['traced']:.1f}")
                else:
                    shown.append(f"{m['total']:.1f} ({m['traced']:.1f} + {m['malloc']:.1f})")
            what = "no key rule" if shape == "plain" else "key=attribute"
            lines.append(_row(f"{n:,}", what, *shown))
    return lines


# ---------------------------------------------------------------------------
# page.md: the generated part of docs/benchmarks.md.  Laid out for a phone as
# well as a desktop: one narrow table per size rather than a column per size.

_SUPERSCRIPT = str.maketrans("0123456789", "⁰¹²³⁴⁵⁶⁷⁸⁹")
PAGE_START = "<!-- From here to the end marker: page.md of benchmarks/run.py. -->"
PAGE_END = "<!-- End of the part benchmarks/run.py writes. -->"


def fmt_n(n: int) -> str:
    """10⁴ for a power of ten from 100 on, 25,000 for any other count."""
    power = len(str(n)) - 1
    return "10" + str(power).translate(_SUPERSCRIPT) if power >= 2 and n == 10**power \
        else f"{n:,}"


def against(w, c: Cell) -> list[tuple[str, Side]]:
    """What a cell is compared with on the page, each named once: the best
    ordered peer, the fastest idiom, the floor, then the peers the workload
    always names unless one of those already is it."""
    out = []
    for what, side in (("best ordered peer", c.best), ("fastest idiom", c.idiom),
                       ("floor", c.floor)):
        if side is not None:
            out.append((f"{what}: {side_label(side)}", side))
    named = {s.label for _, s in out}
    for label in w.also:
        side = next((s for s in c.sides if s.label == label), None)
        if side is not None and label not in named:
            out.append((label, side))
    return out


def _workloads_at(res: dict, n: int):
    for w in WORKLOADS:
        raw = res["workloads"].get(w.name, {}).get("by_n", {}).get(str(n))
        if raw is not None:
            yield w, cell(raw)


def page(res: dict, figures: list, image_dir: str = "benchmarks") -> str:
    """The tables and figures of the Benchmarks page; `figures` as plot.plot returns
    them, their files found in `image_dir` relative to the page."""
    meta = res["meta"]
    ns = sizes(res)
    lines = [
        PAGE_START, "",
        "## Time against the peers", "",
        f"Ratios quorvel / other: lower is better, below 1 quorvel is faster. Each is the median "
        f"(min–max) of the per-repeat ratios of {_repeats(meta)} interleaved in one run, "
        f"on Python {meta['python']}, {meta['date']}. The best ordered peer and the fastest idiom "
        "are the fastest of their kind at that size.",
    ]
    if meta.get("build"):
        lines += ["", f"The quorvel measured is {build_summary(meta['build'])}."]
    for n in ns:
        rows = [(w.title, name, spread_ratio(side.ratio))
                for w, c in _workloads_at(res, n) for name, side in against(w, c)]
        if rows:
            lines += ["", f"### n = {fmt_n(n)}", "",
                      *_header(("workload", "against", "quorvel / other"), "llr"),
                      *[_row(*r) for r in rows]]
    lines += ["", "## quorvel's own time", "",
              "Nanoseconds per operation, median (min–max) over the repeats."]
    for n in ns:
        rows = [(f"{w.title} (per {w.unit})", spread_ns(c.ours)) for w, c in _workloads_at(res, n)]
        if rows:
            lines += ["", f"### n = {fmt_n(n)}", "",
                      *_header(("workload", "ns"), "lr"), *[_row(*r) for r in rows]]
    memory = _page_memory(res)
    if memory:
        lines += ["", "## Memory held per value", "",
                  "Bytes a container allocates per value, the values themselves excluded "
                  "(tracemalloc); for a library that calls malloc itself, the growth of the malloc "
                  "heap is added, and the two parts follow the table.", "", *memory]
    if figures:
        lines += ["", "## Figures", "",
                  "Median time per operation against n, both on log scales, with bars from the "
                  f"fastest to the slowest of the {_repeats(meta)}; quorvel is the thick "
                  "red line. Select a figure to open it at full size."]
        for fig in figures:
            lines += ["", f"### {fig.group.title}", ""]
            alt = fig.group.title + ": " + "; ".join(
                BY_NAME[p].title if p in BY_NAME else MEMORY_TITLE for p in fig.group.panels)
            # Two panels a row on a wide screen, one on a phone (docs/stylesheets/extra.css).
            for suffix, shown in (("", "figure-wide"), ("-narrow", "figure-narrow")):
                src = f"{image_dir}/{fig.files[suffix]}"
                lines.append(f"[![{alt}]({src}){{ loading=lazy }}]({src}){{ .{shown} }}")
    lines += ["", PAGE_END, ""]
    return "\n".join(lines)


def _repeats(meta: dict) -> str:
    return f"{meta['repeats']} repeat" + ("s" if meta["repeats"] != 1 else "")


def _page_memory(res: dict) -> list[str]:
    """Bytes per value, a row per container and key rule, a column per size; the
    traced + malloc split of the libraries that call malloc follows the table,
    which stays narrow enough for a phone."""
    ns = [n for n in sizes(res) if res["memory"].get(str(n))]
    rows: dict[tuple[str, str], dict[int, dict]] = {}
    for n in ns:
        for shape, entries in res["memory"][str(n)].items():
            for label, m in entries.items():
                rows.setdefault((label, shape), {})[n] = m
    if not rows:
        return []
    order = sorted(rows, key=lambda k: k[1] != "plain")  # no key rule first, stable otherwise
    lines = _header(("container", *[f"n = {fmt_n(n)}" for n in ns]), "l" + "r" * len(ns))
    splits = []
    for label, shape in order:
        name = label if shape == "plain" else f"{label}, key=attribute"
        by_n = rows[(label, shape)]
        lines.append(_row(name, *[f"{by_n[n]['total']:.1f}" if n in by_n else "–" for n in ns]))
        split = [f"{by_n[n]['traced']:.1f} + {by_n[n]['malloc']:.1f}" for n in ns
                 if n in by_n and by_n[n]["malloc"] is not None]
        if split:
            splits.append(f"{name} {_and(split)}")
    if splits:
        lines += ["", "Traced + malloc, at " + _and([fmt_n(n) for n in ns]) + ": "
                  + "; ".join(splits) + "."]
    return lines


def _and(items: list[str]) -> str:
    return items[0] if len(items) == 1 else ", ".join(items[:-1]) + " and " + items[-1]
