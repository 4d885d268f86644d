"""One log-log panel per workload, error bars from the min–max spread over repeats."""

from __future__ import annotations

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


def plot(res: dict, path: Path) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        progress("warning: matplotlib not installed, no plot written")
        return False
    workloads = [w for w in WORKLOADS if w.name in res["workloads"]]
    panels = len(workloads) + 1
    cols = 4
    rows = -(-panels // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(5 * cols, 4 * rows), squeeze=False)
    flat = [ax for row in axes for ax in row]
    plain = FuncFormatter(lambda v, _: f"{v:g}")
    sparse = FuncFormatter(lambda v, _: f"{v:g}" if f"{v:e}"[0] in "25" else "")
    for ax, w in zip(flat, workloads):
        for label, (xs, ys) in _series(res, w).items():
            med = [y["median"] for y in ys]
            err = [[m - y["min"] for m, y in zip(med, ys)], [y["max"] - m for m, y in zip(med, ys)]]
            subject = res["workloads"][w.name]["by_n"][str(xs[0])]["impls"].get(label, {})
            ax.errorbar(xs, med, yerr=err, fmt="o-", capsize=3, label=label,
                        color=COLORS.get(label),
                        linewidth=2.2 if subject.get("role") == SUBJECT else 1.2)
        ax.set(xscale="log", yscale="log", title=w.title, xlabel="n", ylabel=f"ns per {w.unit}")
        ax.yaxis.set_major_formatter(plain)
        ax.yaxis.set_minor_formatter(sparse)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
    ax = flat[len(workloads)]
    for shape, style in (("plain", "o-"), ("keyed", "s--")):
        labels: list[str] = []
        for by_shape in res["memory"].values():
            labels += [x for x in by_shape.get(shape, {}) if x not in labels]
        for label in labels:
            xs = [n for n in res["meta"]["sizes"]
                  if label in res["memory"].get(str(n), {}).get(shape, {})]
            ys = [res["memory"][str(n)][shape][label]["total"] for n in xs]
            ax.plot(xs, ys, style, label=f"{label} ({'key' if shape == 'keyed' else 'no key'})",
                    color=COLORS.get(label))
    ax.set(xscale="log", title="memory held", xlabel="n", ylabel="bytes per element")
    ax.set_ylim(bottom=0)
    ax.grid(True, which="both", alpha=0.3)
    ax.legend(fontsize=7)
    for ax in flat[panels:]:
        ax.set_visible(False)
    meta = res["meta"]
    fig.suptitle(f"quorvel {meta['versions'].get('quorvel', '')} and its peers: median of "
                 f"{meta['repeats']} repeats, bars min–max (Python {meta['python']})")
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return True
