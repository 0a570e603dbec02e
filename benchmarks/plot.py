"""Charts of a benchmark run: PNG files drawn with matplotlib from the rows
that run_all.py prints (the same JSON it writes with --json).

- summary.png: every timed row except the '-> view' duplicates, one marker
  per comparison, ratio comparison / Zarvex on a log axis (right of 1x:
  Zarvex is faster);
- vs_<comparison>.png: one chart per comparison, every row where it was
  measured (memory rows included), as bars of the same ratio.

    PYTHONPATH=build-bench python3 benchmarks/run_all.py --quick --plot out/
    python3 benchmarks/run_all.py --show results.json --plot out/   # from a saved run
"""

from __future__ import annotations

import re
from pathlib import Path

MARKERS = ["o", "s", "D", "^", "v", "P", "X"]


def _pyplot():
    import matplotlib

    matplotlib.use("Agg")  # files only, no display
    import matplotlib.pyplot as plt

    return plt


def _slug(name: str) -> str:
    return re.sub(r"[^a-z0-9]+", "_", name.lower()).strip("_")


def _short(section: str) -> str:
    return section.split(":")[0].split(" (")[0]


def _rows(sections):
    """(section short name, row, column) for every measured comparison."""
    for sec in sections:
        for r in sec["rows"]:
            for col in sec["columns"]:
                v = r["others"].get(col)
                if v is not None and r["zarvex"]:
                    yield _short(sec["section"]), r, col, v / r["zarvex"]


def _ratio_axis(ax, ratios):
    lo = min(ratios + [1.0])
    hi = max(ratios + [1.0])
    ax.set_xscale("log")
    ax.set_xlim(lo / 2.5, hi * 2.5)
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.grid(axis="x", which="major", linestyle=":", linewidth=0.6)
    ax.xaxis.set_major_formatter(_pyplot().FuncFormatter(lambda x, _p: "%gx" % x))


def _footer(fig, meta: str):
    # the run's description without file paths (the module's location)
    words = [" ".join(w for w in m.split() if not w.startswith("/")) for m in meta.split("|")]
    words = [w for w in words if w]
    fig.text(0.01, 0.005, "  |  ".join(words), fontsize=6.5, color="0.35", ha="left", va="bottom", wrap=True)


def plot_summary(sections, meta, path: Path):
    plt = _pyplot()
    labels, points = [], {}
    for short, r, col, ratio in _rows(sections):
        if r["unit"] != "s" or r["op"].endswith("-> view"):
            continue
        label = "%s: %s" % (short, r["op"])
        if label not in labels:
            labels.append(label)
        points.setdefault(col, []).append((labels.index(label), ratio))
    if not labels:
        return None
    fig, ax = plt.subplots(figsize=(10, 0.27 * len(labels) + 1.6))
    all_ratios = []
    for i, (col, pts) in enumerate(sorted(points.items())):
        ys = [len(labels) - 1 - p[0] for p in pts]
        xs = [p[1] for p in pts]
        all_ratios += xs
        # a leading space: matplotlib leaves labels starting with "_" out of legends
        ax.scatter(xs, ys, marker=MARKERS[i % len(MARKERS)], s=28, label=" " + col, alpha=0.85, zorder=3)
    _ratio_axis(ax, all_ratios)
    ax.set_yticks(range(len(labels)))
    ax.set_yticklabels(list(reversed(labels)), fontsize=7.5)
    ax.set_ylim(-0.7, len(labels) - 0.3)
    ax.set_xlabel("comparison time / Zarvex time (log scale; right of 1x: Zarvex is faster)")
    ax.set_title("Zarvex against each comparison, every timed operation")
    ax.legend(loc="lower right", fontsize=8, framealpha=0.9)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    _footer(fig, meta)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_one(sections, meta, column: str, path: Path):
    plt = _pyplot()
    items = [(short, r, ratio) for short, r, col, ratio in _rows(sections) if col == column]
    if not items:
        return None
    fig, ax = plt.subplots(figsize=(11, 0.27 * len(items) + 1.6))
    ys = list(range(len(items)))[::-1]
    ratios = [it[2] for it in items]
    colors = ["#2b8a3e" if x >= 1 else "#c92a2a" for x in ratios]
    # bars grow from 1x: rightwards where Zarvex wins, leftwards where it loses
    ax.barh(ys, [x - 1 for x in ratios], color=colors, left=1, height=0.7, zorder=3)
    _ratio_axis(ax, ratios)
    for y, x in zip(ys, ratios):
        txt = ("%.0fx" % x) if x >= 100 else ("%.1fx" % x) if x >= 10 else ("%.2fx" % x)
        if x >= 1:
            ax.text(x * 1.08, y, txt, va="center", ha="left", fontsize=6.5)
        else:
            ax.text(x / 1.08, y, txt, va="center", ha="right", fontsize=6.5)
    ax.set_yticks(ys)
    ax.set_yticklabels(["%s: %s%s" % (s, r["op"], " (memory)" if r["unit"] == "B" and "memory" not in r["op"] else "")
                        for s, r, _x in items], fontsize=7.5)
    ax.set_ylim(-0.7, len(items) - 0.3)
    ax.set_xlabel("%s / Zarvex (log scale; green: Zarvex faster or smaller, red: %s wins)" % (column, column))
    ax.set_title("Zarvex against %s" % column)
    fig.tight_layout(rect=(0, 0.02, 1, 1))
    _footer(fig, meta)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_all(sections, meta: str, outdir) -> list[Path]:
    """Writes summary.png and one vs_<comparison>.png per comparison into
    outdir (created if needed); returns the files written."""
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    written = [plot_summary(sections, meta, out / "summary.png")]
    columns = []
    for sec in sections:
        columns += [c for c in sec["columns"] if c not in columns]
    for col in columns:
        written.append(plot_one(sections, meta, col, out / ("vs_%s.png" % _slug(col))))
    return [p for p in written if p is not None]
