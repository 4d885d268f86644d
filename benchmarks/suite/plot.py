"""One figure per group of workloads: a log-log panel per workload, bars min–max.

Each group is drawn twice, from the same numbers: two panels a row for a
desktop's text column and one a row for a phone's.  The sizes are chosen for
the documentation site, whose text column is about 690 CSS pixels wide on a
desktop and 360 on a phone: either image shown at that width draws its text
at about the size of the page's own small print (12 points at 150 dots an
inch, scaled to the column), and opening it gives twice that.  The colour of
an implementation is the same in every panel and every figure, so one legend
serves all the panels of a figure: in an empty place of its grid, or above.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

from .cpp import LABEL as CPP
from .peers import PEERS, SUBJECT
from .timing import progress
from .workloads import WORKLOADS

# Fixed colours so a peer looks the same in every panel and every run.
_PALETTE = ["tab:red", "tab:orange", "tab:blue", "tab:green", "tab:purple", "tab:brown",
            "tab:pink", "tab:olive", "tab:cyan", "black", "tab:gray", "gold"]
COLORS = {p.label: _PALETTE[i % len(_PALETTE)] for i, p in enumerate(PEERS)}
COLORS[CPP] = "darkgray"

MEMORY = "memory"  # the memory panel's name among a group's workloads
MEMORY_TITLE = "memory held, values excluded"


@dataclass(frozen=True)
class Group:
    slug: str      # file name stem: <slug>.png and <slug>-narrow.png
    title: str
    panels: tuple[str, ...]  # workload names, or MEMORY


GROUPS = [
    Group("changes", "Changes and lookups of one value",
          ("insert", "contains", "remove", "mixed")),
    Group("reads", "Reading in order", ("iterate", "first", "range", "run")),
    Group("kinds", "Other kinds of values and key rules",
          ("attr_insert", "str_insert", "float_insert", "int_pair_insert", "str_pair_insert")),
    Group("whole", "Whole trees: construction and pickling", ("construct", "pickle")),
    Group(MEMORY, "Memory", (MEMORY,)),
]
# A workload no group names still gets drawn, in a group of its own kind.
OTHER = Group("other", "Other workloads", ())

PANEL_INCHES = (4.8, 3.5)   # one panel, axes and labels included
TITLE_LINE_INCHES = 0.26
LEGEND_ROW_INCHES = 0.32
MARGIN_INCHES = 0.08
DPI = 150                   # a panel is 720 pixels wide
FONT = {"font.size": 12, "axes.titlesize": 13, "axes.labelsize": 12, "xtick.labelsize": 11,
        "ytick.labelsize": 11, "legend.fontsize": 12, "figure.titlesize": 13}
LAYOUTS = {"": 2, "-narrow": 1}  # file name suffix -> panels a row


@dataclass(frozen=True)
class Figure:
    group: Group
    files: dict[str, str]    # suffix ("" or "-narrow") -> file name


def groups_of(res: dict) -> list[Group]:
    """The groups with something measured in this run, each holding only what was."""
    measured = set(res["workloads"])
    if any(res["memory"].values()):
        measured.add(MEMORY)
    out = [Group(g.slug, g.title, tuple(p for p in g.panels if p in measured)) for g in GROUPS]
    named = {p for g in GROUPS for p in g.panels}
    extra = tuple(w.name for w in WORKLOADS if w.name in measured and w.name not in named)
    out.append(Group(OTHER.slug, OTHER.title, extra))
    return [g for g in out if g.panels]


def _series(res: dict, w) -> dict[str, tuple[list[int], list[dict]]]:
    by_n = res["workloads"][w.name]["by_n"]
    out: dict[str, tuple[list[int], list[dict]]] = {}
    for n in res["meta"]["sizes"]:
        for label, v in by_n.get(str(n), {}).get("impls", {}).items():
            xs, ys = out.setdefault(label, ([], []))
            xs.append(n)
            ys.append(v["ns_per_op"])
        native = res["stdset"].get(str(n), {}).get(w.cpp_phase or "")
        if native is not None and str(n) in by_n:
            xs, ys = out.setdefault(CPP, ([], []))
            xs.append(n)
            ys.append(native["ns_per_op"])
    return out


def _roles(res: dict, name: str) -> dict[str, str]:
    return {label: v["role"] for cell in res["workloads"][name]["by_n"].values()
            for label, v in cell["impls"].items()}


def _time_panel(ax, res: dict, w) -> None:
    roles = _roles(res, w.name)
    for label, (xs, ys) in _series(res, w).items():
        med = [y["median"] for y in ys]
        err = [[m - y["min"] for m, y in zip(med, ys)], [y["max"] - m for m, y in zip(med, ys)]]
        ours = roles.get(label) == SUBJECT
        ax.errorbar(xs, med, yerr=err, fmt="o-", capsize=3, label=label, color=COLORS.get(label),
                    linewidth=2.6 if ours else 1.4, markersize=6 if ours else 4.5,
                    zorder=3 if ours else 2)
    ax.set(yscale="log", title=w.title, ylabel=f"ns per {w.unit}")


def _memory_panel(ax, res: dict) -> None:
    for shape, style, suffix in (("plain", "o-", ""), ("keyed", "s--", ", key=attribute")):
        labels: list[str] = []
        for by_shape in res["memory"].values():
            labels += [x for x in by_shape.get(shape, {}) if x not in labels]
        for label in labels:
            xs = [n for n in res["meta"]["sizes"]
                  if label in res["memory"].get(str(n), {}).get(shape, {})]
            ys = [res["memory"][str(n)][shape][label]["total"] for n in xs]
            ax.plot(xs, ys, style, label=label + suffix, color=COLORS.get(label),
                    linewidth=2.6 if label == "quorvel" else 1.4)
    ax.set(title=MEMORY_TITLE, ylabel="bytes per value")
    ax.set_ylim(bottom=0)


def _draw(plt, res: dict, group: Group, cols: int):
    from matplotlib.ticker import FuncFormatter, NullLocator

    from .report import fmt_n

    by_name = {w.name: w for w in WORKLOADS}
    rows = -(-len(group.panels) // cols)
    fig, axes = plt.subplots(rows, cols, squeeze=False, layout="constrained",
                             figsize=(PANEL_INCHES[0] * cols, PANEL_INCHES[1] * rows))
    flat = [ax for row in axes for ax in row]
    plain = FuncFormatter(lambda v, _: f"{v:g}")
    sparse = FuncFormatter(lambda v, _: f"{v:g}" if f"{v:e}"[0] in "25" else "")
    sizes = res["meta"]["sizes"]
    for ax, name in zip(flat, group.panels):
        if name == MEMORY:
            _memory_panel(ax, res)
        else:
            _time_panel(ax, res, by_name[name])
            ax.yaxis.set_major_formatter(plain)
            ax.yaxis.set_minor_formatter(sparse)
        ax.set_xscale("log")
        ax.set_xticks(sizes, [fmt_n(n) for n in sizes])  # the sizes measured, as 10⁴
        ax.xaxis.set_minor_locator(NullLocator())
        if len(sizes) == 1:  # one size: room around it
            ax.set_xlim(sizes[0] / 3, sizes[0] * 3)
        ax.set_xlabel("n, values in the tree")
        ax.grid(True, which="both", alpha=0.3)
    empty = flat[len(group.panels):]
    for ax in empty:
        ax.set_axis_off()
    # One legend for the figure, in the order the labels first appear.
    seen: dict[str, object] = {}
    for ax in flat:
        for handle, label in zip(*ax.get_legend_handles_labels()):
            seen.setdefault(label, handle)
    legend = {"handles": list(seen.values()), "labels": list(seen), "frameon": False,
              "handlelength": 1.8, "columnspacing": 1.2}
    meta = res["meta"]
    what = "bytes per value" if group.panels == (MEMORY,) else \
        f"median of {meta['repeats']} repeat{'s' if meta['repeats'] != 1 else ''}, bars min–max"
    run = f"Python {meta['python']}, {meta['date']}"
    title = [group.title, what, run] if cols == 1 else [group.title, f"{what}; {run}"]
    per_row = 2 if cols == 1 else 4
    # The legend goes in an empty place of the grid if there is one, else
    # below the title; above the panels, the figure grows by their height and
    # the layout keeps the panels below them.
    in_grid = bool(empty) and len(seen) * LEGEND_ROW_INCHES < PANEL_INCHES[1]
    title_inches = MARGIN_INCHES + TITLE_LINE_INCHES * len(title)
    top = title_inches + MARGIN_INCHES
    if not in_grid:
        top += LEGEND_ROW_INCHES * -(-len(seen) // per_row)
    height = PANEL_INCHES[1] * rows + top
    fig.set_figheight(height)
    # hspace: room between a panel's n axis and the title of the panel below.
    fig.get_layout_engine().set(rect=(0, 0, 1, 1 - top / height), hspace=0.08)
    fig.text(0.5, 1 - MARGIN_INCHES / height, "\n".join(title), ha="center", va="top",
             fontsize=FONT["figure.titlesize"], linespacing=1.4)
    if in_grid:
        empty[-1].legend(loc="center", **legend)
    else:
        fig.legend(loc="upper center", ncol=per_row, borderaxespad=0, borderpad=0.2,
                   bbox_to_anchor=(0.5, 1 - title_inches / height), **legend)
    return fig


def plot(res: dict, out: Path) -> list[Figure]:
    """Writes every group's figures into `out`; returns them ([] without matplotlib)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        progress("warning: matplotlib not installed, no figures written")
        return []
    out.mkdir(parents=True, exist_ok=True)
    figures = []
    with matplotlib.rc_context(FONT):
        for group in groups_of(res):
            files = {}
            for suffix, cols in LAYOUTS.items():
                fig = _draw(plt, res, group, cols)
                files[suffix] = f"{group.slug}{suffix}.png"
                fig.savefig(out / files[suffix], dpi=DPI)
                plt.close(fig)
            figures.append(Figure(group, files))
    return figures
