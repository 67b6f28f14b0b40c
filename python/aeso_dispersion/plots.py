"""The study figure: apogee histogram with percentiles, empirical CDF, and
apogee against the most influential input."""

import numpy as np

from .errors import require


def _figure_class():
    matplotlib = require("matplotlib", "dispersion", "the figure")
    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    return Figure


def supported_formats():
    """The file name extensions the figure can be saved as (png, pdf, svg, ...)."""
    return set(_figure_class()().canvas.get_supported_filetypes())


def plot_result(result, path):
    Figure = _figure_class()

    ok = ~result.failed
    apogees = result.apogees[ok]
    summary = result.summary()
    fig = Figure(figsize=(13, 4.2), layout="constrained")
    hist, cdf, scatter = fig.subplots(1, 3)
    title = f"{result.n} runs, seed {result.seed}"
    if summary["failed"]:
        title += (f"; {summary['failed']} failed ({result.failed_share}), "
                  f"shown: the {summary['succeeded']} successful runs only")
    fig.suptitle(f"Apogee dispersion ({title})")

    hist.hist(apogees, bins=min(80, max(10, apogees.size // 50)), color="#4c72b0")
    hist.set_ylim(top=hist.get_ylim()[1] * 1.12)  # room for the percentile labels
    for p in result.percentiles:
        value = summary[f"p{p}"]
        hist.axvline(value, color="#c44e52", linestyle="--" if p != 50 else "-", linewidth=1)
        hist.annotate(f"p{p}", (value, 1), xycoords=("data", "axes fraction"),
                      rotation=90, va="top", ha="right", fontsize=8, color="#c44e52")
    hist.set_xlabel("apogee (m)")
    hist.set_ylabel("runs")
    hist.set_title("histogram, percentiles 1/5/50/95/99")

    ordered = np.sort(apogees)
    cdf.step(ordered, np.arange(1, ordered.size + 1) / max(ordered.size, 1), where="post", color="#4c72b0")
    cdf.set_xlabel("apogee (m)")
    cdf.set_ylabel("fraction of the successful runs at or below" if summary["failed"]
                   else "fraction of runs at or below")
    cdf.set_title("empirical CDF")
    cdf.grid(alpha=0.3)

    ranking = [(name, rho) for name, rho in result.sensitivity() if rho == rho]
    if ranking:
        name, rho = ranking[0]
        x = result.sample(name)[ok]
        shown = slice(None, None, max(1, x.size // 20000))  # keep the file small
        scatter.scatter(x[shown], apogees[shown], s=2, alpha=0.3, color="#4c72b0", rasterized=True)
        scatter.set_xlabel(name)
        scatter.set_title(f"most influential input (rho = {rho:+.3f})")
    else:
        scatter.set_title("no varying input")
    scatter.set_ylabel("apogee (m)")
    fig.savefig(path, dpi=100)
