"""Plots of the figures recorded in docs/performance.md, made at build time.

The tables in docs/performance.md are the one record of the measured figures
(they come from bench/compare.py and bench/thread_scaling.py); this script
reads them from there and draws:

- performance_time_per_call.png: time per apogee prediction of the module
  and of the alternatives, 1-DOF and 3-DOF;
- performance_thread_scaling.png: throughput of 2 and 4 threads relative to
  1 thread, on the GIL and the free-threaded build.

Figures are drawn at about the width of the page's column (8 inches at
110 dpi), so that their text reads at the size of the page's own; the
two-panel one also in a phone's width (phone_figures).

    python docs/scripts/performance_figures.py --out docs/_generated
"""

import argparse
from pathlib import Path

from phone_figures import save_with_narrow_variant

PAGE = Path(__file__).resolve().parents[1] / "performance.md"
WIDTH, DPI = 8.0, 110


def table_after(lines, heading):
    """Rows (lists of cell strings) of the first Markdown table after the
    line that starts with `heading`; the header row first."""
    start = next(i for i, line in enumerate(lines) if line.startswith(heading))
    rows = []
    for line in lines[start + 1:]:
        if line.startswith("|"):
            cells = [c.strip() for c in line.strip().strip("|").split("|")]
            if not set("".join(cells)) <= set("-: "):
                rows.append(cells)
        elif rows:
            break
    if not rows:
        raise ValueError(f"no table after {heading!r} in {PAGE}")
    return rows


def number(cell):
    return float(cell.replace(",", "").rstrip("x"))


def time_per_call(lines):
    """{model: [(implementation, microseconds)]} from the prediction tables."""
    out = {}
    for model in ("1-DOF", "3-DOF"):
        header, *rows = table_after(lines, f"### {model} apogee prediction")
        name, us = header.index("implementation"), header.index("time/call (us)")
        out[model] = [(r[name], number(r[us])) for r in rows if not r[name].startswith("same run")]
    return out


def scaling(lines):
    """[(label, 2 threads, 4 threads)] for the prediction rows of the scaling table."""
    header, *rows = table_after(lines, "### Thread scaling")
    col = {h: i for i, h in enumerate(header)}
    out = []
    for r in rows:
        if "predict_apogee_3dof" not in r[col["workload"]]:
            continue
        label = f"{r[col['build']]}, {r[col['sharing']].replace('`', '')}"
        out.append((label, number(r[col["2 threads"]]), number(r[col["4 threads"]])))
    return out


def figure(height, rows=1):
    import matplotlib
    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    fig = Figure(figsize=(WIDTH, height), layout="constrained")
    return fig, fig.subplots(rows, 1, squeeze=False)[:, 0]


def plot_time_per_call(path, data):
    fig, axes = figure(8.0, rows=2)
    for ax, (model, rows) in zip(axes, data.items()):
        names = [n for n, _ in rows][::-1]
        values = [v for _, v in rows][::-1]
        colors = ["#55a868" if n.startswith("aeso") else "#8c8c8c" for n in names]
        ax.barh(names, values, color=colors)
        ax.set_xscale("log")
        for y, v in enumerate(values):
            ax.annotate(f"{v:,.0f} µs" if v >= 100 else f"{v:.1f} µs", (v, y), xytext=(3, 0), textcoords="offset points",
                        va="center", fontsize=9)
        ax.set_xlabel("time per apogee prediction (µs, log scale)")
        ax.set_title(f"{model} reference flight", fontsize=11)
        ax.set_xlim(right=max(values) * 8)
    save_with_narrow_variant(fig, path, DPI)


def plot_scaling(path, rows):
    fig, (ax,) = figure(4.0)
    y = range(len(rows))
    ax.barh([i - 0.2 for i in y], [r[1] for r in rows], height=0.4, label="2 threads", color="#4c72b0")
    ax.barh([i + 0.2 for i in y], [r[2] for r in rows], height=0.4, label="4 threads", color="#dd8452")
    ax.set_yticks(list(y), [r[0] for r in rows])
    ax.invert_yaxis()
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.axvline(2.0, color="grey", linestyle=":", linewidth=0.8, label="2 cores: the most")
    ax.set_xlim(0, 2.3)
    ax.set_xlabel("throughput relative to 1 thread (predict_apogee_3dof, RK45)")
    ax.set_title("Thread scaling on a 2-core machine", fontsize=11)
    fig.legend(fontsize=9, loc="outside lower center", ncols=3)
    fig.savefig(path, dpi=DPI)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, required=True, help="directory for the PNGs")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    lines = PAGE.read_text().splitlines()
    plot_time_per_call(args.out / "performance_time_per_call.png", time_per_call(lines))
    plot_scaling(args.out / "performance_thread_scaling.png", scaling(lines))


if __name__ == "__main__":
    main()
