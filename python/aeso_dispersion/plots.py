"""The study figures: apogee histogram with percentiles, empirical CDF, and
apogee against the most influential input (for a controlled study also the
histogram of the miss and a few samples' deployment and predicted-miss
histories, flown again with their ticks recorded); and the convergence of a
statistic's confidence interval with the number of runs."""

import os

import numpy as np

from . import files
from .errors import require
from .intervals import percentile_label
from .outcomes import UNITS


def _figure_class():
    matplotlib = require("matplotlib", "dispersion", "the figure")
    matplotlib.use("Agg", force=True)
    from matplotlib.figure import Figure

    return Figure


def save_figure(fig, path, inputs=()):
    """Saves `fig` to `path` whole (see files.replacing), in the format its
    extension names (PNG without one); never over one of `inputs`, the
    files (what, path) of the study (see Study.files)."""
    files.check_target(path, "--plot")
    files.check_distinct([("the --plot figure", str(path))], inputs)
    extension = os.path.splitext(str(path))[1].lstrip(".").lower()
    with files.replacing(path) as temporary:
        fig.savefig(temporary, dpi=100, format=extension or "png")


def supported_formats():
    """The file name extensions the figure can be saved as (png, pdf, svg, ...)."""
    return set(_figure_class()().canvas.get_supported_filetypes())


def plot_result(result, path):
    Figure = _figure_class()

    ok = ~result.failed
    apogees = result.apogees[ok]
    summary = result.summary()
    controlled = result.study.controlled and bool(ok.any())
    fig = Figure(figsize=(13, 8.4 if controlled else 4.2), layout="constrained")
    axes = fig.subplots(2 if controlled else 1, 3)
    hist, cdf, scatter = axes[0] if controlled else axes
    title = f"{result.n} runs, seed {result.seed}"
    if summary["failed"]:
        title += (f"; {summary['failed']} failed ({result.failed_share}), "
                  f"shown: the {summary['succeeded']} successful runs only")
    fig.suptitle(f"Apogee dispersion ({title})")

    hist.hist(apogees, bins=min(80, max(10, apogees.size // 50)), color="#4c72b0")
    hist.set_ylim(top=hist.get_ylim()[1] * 1.12)  # room for the percentile labels
    percentiles = result.reporting.percentiles
    for p in percentiles:
        value = summary[percentile_label(p)]
        hist.axvline(value, color="#c44e52", linestyle="--" if p != 50 else "-", linewidth=1)
        hist.annotate(percentile_label(p), (value, 1), xycoords=("data", "axes fraction"),
                      rotation=90, va="top", ha="right", fontsize=8, color="#c44e52")
    hist.set_xlabel("apogee (m)")
    hist.set_ylabel("runs")
    hist.set_title(f"histogram, percentiles {'/'.join(f'{p:g}' for p in percentiles)}")

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
    if controlled:
        _plot_control(result, *axes[1])
    save_figure(fig, path, result.study.files)


# The samples whose histories the figure of a controlled study shows: those
# nearest these percentiles of the miss, and the largest |miss|.
HISTORY_PERCENTILES = (5.0, 50.0, 95.0)
HISTORY_COLORS = ("#4c72b0", "#55a868", "#dd8452", "#c44e52")


def history_samples(result):
    """The samples shown: nearest the HISTORY_PERCENTILES of the miss, then
    the largest |miss|, each once."""
    ok = np.flatnonzero(~result.failed)
    miss = result.misses[ok]
    chosen = [int(ok[np.argmin(np.abs(miss - np.percentile(miss, p)))]) for p in HISTORY_PERCENTILES]
    chosen.append(int(ok[np.argmax(np.abs(miss))]))
    return list(dict.fromkeys(chosen))


def _plot_control(result, misses, deployments, predicted):
    """The miss histogram, and for a few samples the deployment and the
    controller's predicted miss against time."""
    miss = result.misses[~result.failed]
    misses.hist(miss, bins=min(80, max(10, miss.size // 50)), color="#4c72b0")
    tolerances = result.reporting.within_of("miss")
    stats = result.statistics()["miss"]["within"]
    for tolerance in tolerances:
        for side in (-tolerance, tolerance):
            misses.axvline(side, color="#55a868", linestyle="--", linewidth=1)
    misses.axvline(0.0, color="#c44e52", linewidth=1)
    computer = result.study.plan.setting.control.computer
    barometric = computer is not None and computer.barometric
    apogee = "altimeter's apogee" if barometric else "apogee"
    misses.set_xlabel(f"miss: {apogee} - target (m)")
    misses.set_ylabel("runs")
    misses.set_title("miss" + "".join(f", P(|miss| <= {t:g}) = {stats[t].estimate:.3f}" for t in tolerances),
                     fontsize=10)
    for i, color in zip(history_samples(result), HISTORY_COLORS):
        flight = result.refly(i)
        ticks = flight.ticks
        label = f"sample {i}: miss {flight.miss:+.1f} m"
        deployments.plot(ticks.time, ticks.actual, color=color, label=label)
        deployments.step(ticks.time, ticks.commanded, where="post", color=color, linewidth=0.6, alpha=0.5)
        predicted.plot(ticks.time, ticks.predicted_apogee - flight.target, color=color, linewidth=1, label=label)
    deployments.set_ylim(-0.05, 1.05)
    deployments.set_xlabel("time (s)")
    deployments.set_ylabel("deployment")
    deployments.set_title("deployment: actual (thick), commanded (thin)", fontsize=10)
    deployments.legend(fontsize=7)
    predicted.axhline(0.0, color="#555555", linewidth=0.8)
    predicted.set_xlabel("time (s)")
    predicted.set_ylabel("predicted apogee - target (m)")
    predicted.set_title("the controller's predicted miss", fontsize=10)
    predicted.legend(fontsize=7)


def convergence_path(path):
    """Where the convergence figure goes beside the figure at `path`:
    dispersion.png -> dispersion-convergence.png."""
    stem, extension = os.path.splitext(str(path))
    return f"{stem}-convergence{extension}"


def plot_convergence(result, path):
    """The statistic of the stopping rule (p99 of the apogee without one)
    and its confidence interval after each round of blocks, against n."""
    Figure = _figure_class()
    statistic, checkpoints = result.convergence()
    n = np.array([c.n for c in checkpoints], dtype=float)
    estimate = np.array([c.interval.estimate for c in checkpoints])
    low = np.array([c.interval.low for c in checkpoints])
    high = np.array([c.interval.high for c in checkpoints])
    fig = Figure(figsize=(7, 4.2), layout="constrained")
    ax = fig.subplots()
    bounded = np.isfinite(low) & np.isfinite(high)
    level = f"{100 * result.reporting.level:g} %"
    ax.fill_between(n[bounded], low[bounded], high[bounded], color="#4c72b0", alpha=0.25, step=None,
                    label=f"{level} confidence interval")
    ax.plot(n, estimate, "o-", color="#4c72b0", markersize=3, label=statistic.label)
    title = f"{statistic.label} against the number of runs (seed {result.seed})"
    outcome = result.stopping
    if outcome is not None:
        final = outcome.interval.estimate
        ax.axhspan(final - outcome.rule.tolerance, final + outcome.rule.tolerance, color="#55a868",
                   alpha=0.15, label=f"final estimate ± tolerance {outcome.rule.tolerance:g}")
        ax.axvline(outcome.n, color="#c44e52", linewidth=1,
                   label=f"{'stopped' if outcome.met else 'maximum reached'} at n = {outcome.n}")
        title = f"until {outcome.rule}: {'met' if outcome.met else 'not met'} at n = {outcome.n}"
    ax.set_xscale("log")
    ax.set_xlabel("runs (checked after each round of blocks)")
    ax.set_ylabel(statistic.label if statistic.is_probability
                  else f"{statistic.label} ({UNITS[statistic.outcome]})")
    ax.set_title(title, fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    save_figure(fig, path, result.study.files)
