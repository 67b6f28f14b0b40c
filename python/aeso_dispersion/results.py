"""The outcome of a study: arrays, summary, sensitivity ranking, export."""

import math
from collections import Counter

import numpy as np

from . import domains, summary
from .intervals import percentile_label
from .report import write_json
from .stopping import Statistic, StoppingRule, apply_rule
from .variance_indices import first_order_index


def ranks(values):
    """Ranks 1..n of `values`, ties sharing the mean of their ranks."""
    order = np.argsort(values, kind="mergesort")
    ordered = values[order]
    starts = np.concatenate(([True], ordered[1:] != ordered[:-1]))
    group = np.cumsum(starts) - 1                      # tie group of each sorted value
    bounds = np.append(np.flatnonzero(starts), len(values))
    mean_rank = 0.5 * (bounds[:-1] + 1 + bounds[1:])  # mean of ranks start+1..end
    result = np.empty(len(values))
    result[order] = mean_rank[group]
    return result


def spearman(x, y):
    """Spearman's rank correlation of x and y: the Pearson correlation of
    their ranks. NaN when either is constant or there are fewer than 2 values."""
    if len(x) < 2:
        return math.nan
    rx, ry = ranks(x), ranks(y)
    rx -= rx.mean()
    ry -= ry.mean()
    denominator = math.sqrt(float(rx @ rx) * float(ry @ ry))
    return float(rx @ ry) / denominator if denominator > 0 else math.nan


# The outcomes of a run, as (attribute, export column, label in the summary).
OUTCOMES = (
    ("apogees", "apogee", "apogee (m)"),
    ("apogee_times", "time_of_apogee", "time (s)"),
    ("downrange", "downrange", "downrange (m)"),
    ("apogee_speeds", "speed_at_apogee", "speed (m/s)"),
)


def model_outcomes(model):
    """The export names of the outcomes a model gives (no downrange and
    speed for 1-DOF)."""
    return tuple(column for attribute, column, _ in OUTCOMES
                 if model == "3dof" or attribute in ("apogees", "apogee_times"))


class DispersionResult:
    """Samples, outcomes and failures of a study run.

    - `names`: the dispersed inputs, "section.key", in study order;
    - `samples`: their drawn values, shape (n, len(names));
    - `apogees`, `apogee_times` (s), `downrange` (x at apogee, m) and
      `apogee_speeds` (horizontal speed at apogee, m/s): shape (n,), NaN
      where the run failed; the last two are NaN for the 1-DOF model;
    - `steps`: integration steps each run took;
    - `failure_codes`: shape (n,), 0 for a successful run, else a 1-based
      index into `failure_reasons`, whose texts name the inputs a reason is
      about as "{section.key}" (`reason(i)` fills in the sample's values);
    - `seed`, `n`, `backend`, `workers`, `elapsed` (seconds);
    - `reporting`: the confidence level, percentiles and thresholds of the
      summary (the study's; assign another summary.Reporting to change them);
    - `stopping`: how the stopping rule ended (stopping.Outcome), or None.
    """

    def __init__(self, study, n, seed, inputs, outcomes, steps, codes, reasons, backend, workers, elapsed,
                 stopping=None):
        self.study = study
        self.reporting = study.reporting
        self.stopping = stopping
        # Computed once each (the summary, the JSON file and the figures share them).
        self._statistics = self._indices = None
        self.names = study.dispersed
        self.n, self.seed = n, seed
        self.samples = inputs.T
        self.apogees, self.apogee_times, self.downrange, self.apogee_speeds = outcomes
        self.steps = steps
        self.failure_codes = codes
        self.failure_reasons = reasons
        self.backend, self.workers, self.elapsed = backend, workers, elapsed

    def sample(self, name):
        """The drawn values of one dispersed input, by "section.key" or key."""
        for i, full in enumerate(self.names):
            if name in (full, full.split(".", 1)[1]):
                return self.samples[:, i]
        raise KeyError(f"{name!r} is not a dispersed input; these are: {', '.join(self.names)}")

    @property
    def failed(self):
        """Boolean mask of the samples whose run failed."""
        return self.failure_codes != 0

    def reason(self, i):
        """The failure reason of sample i, with the values of the inputs it
        names, or None when its run succeeded."""
        code = int(self.failure_codes[i])
        if not code:
            return None
        return domains.fill(self.reason_of(code), dict(zip(self.names, self.samples[i].tolist())))

    def reason_of(self, code):
        """The reason template of failure code `code` (see domains.fill)."""
        return self.failure_reasons[code - 1]

    def failure_counts(self):
        """{reason: number of samples}, most frequent first."""
        counts = Counter(self.failure_codes[self.failed].tolist())
        return {domains.fill(self.failure_reasons[c - 1]): k for c, k in counts.most_common()}

    @property
    def failed_fraction(self):
        """The fraction of the runs that failed."""
        return int(np.count_nonzero(self.failed)) / self.n

    @property
    def failed_share(self):
        """The failed fraction as a percentage, for text."""
        return f"{100 * self.failed_fraction:.3g} %"

    def outcomes(self):
        """{export name: per-run values, NaN where the run failed} of the
        outcomes this study's model gives (no downrange and speed for 1-DOF)."""
        names = model_outcomes(self.study.model)
        return {column: getattr(self, attribute) for attribute, column, _ in OUTCOMES if column in names}

    def statistics(self):
        """{outcome: statistics with confidence intervals} over the
        successful runs (see intervals.describe and `reporting`)."""
        if self._statistics is None or self._statistics[0] != self.reporting:
            self._statistics = self.reporting, summary.statistics(self.outcomes(), self.reporting)
        return self._statistics[1]

    def variance_indices(self):
        """{input: variance_indices.Index}: the first-order variance-based
        index of each input on the apogee, over the successful runs."""
        if self._indices is None:
            ok = ~self.failed
            y = self.apogees[ok]
            self._indices = {name: first_order_index(self.samples[ok, i], y)
                             for i, name in enumerate(self.names)}
        return self._indices

    def summary(self, outcome="apogees"):
        """Statistics of an outcome (by attribute name) over the successful
        runs, with the failure count."""
        ok = getattr(self, outcome)[~self.failed]
        out = {"n": self.n, "succeeded": int(ok.size), "failed": int(self.n - ok.size)}
        if ok.size:
            out.update(mean=float(ok.mean()), std=float(ok.std(ddof=1)) if ok.size > 1 else math.nan,
                       min=float(ok.min()), max=float(ok.max()))
            percentiles = self.reporting.percentiles
            out.update({percentile_label(p): float(v)
                        for p, v in zip(percentiles, np.percentile(ok, percentiles))})
        else:
            out.update({k: math.nan for k in ("mean", "std", "min", "max")})
            out.update({percentile_label(p): math.nan for p in self.reporting.percentiles})
        return out

    def sensitivity(self):
        """[(input, Spearman rank correlation with apogee)], strongest first.

        Over the successful runs; an input whose correlation is NaN (it did
        not vary) comes last."""
        ok = ~self.failed
        y = self.apogees[ok]
        table = [(name, spearman(self.samples[ok, i], y)) for i, name in enumerate(self.names)]
        return sorted(table, key=lambda row: -abs(row[1]) if not math.isnan(row[1]) else math.inf)

    def format_summary(self):
        outcomes = [o for o in OUTCOMES if o[1] in model_outcomes(self.study.model)]
        summaries = [self.summary(attribute) for attribute, _, _ in outcomes]
        s = summaries[0]
        lines = [f"outcomes over {s['succeeded']} of {s['n']} runs "
                 f"(seed {self.seed}, {self.backend}, {self.workers} workers, {self.elapsed:.2f} s)"]
        # With no successful run every statistic is NaN: the table is left out
        # rather than printed as rows of nan.
        if s["succeeded"]:
            keys = ["mean", "std", "min"] + [percentile_label(p) for p in self.reporting.percentiles] + ["max"]
            lines.append("        " + "".join(f"{label:>15}" for _, _, label in outcomes))
            lines += [f"  {key:<6}" + "".join(f"{summary[key]:>15.3f}" for summary in summaries)
                      for key in keys]
        lines.append(f"  failed{s['failed']:>12d}  ({self.failed_share} of the runs)")
        for reason, count in self.failure_counts().items():
            lines.append(f"    {count:>8d}  {reason}")
        if s["failed"] == s["n"]:
            lines.append("warning: every run failed; there are no statistics")
        elif s["failed"]:
            lines.append(f"warning: the statistics cover the {s['succeeded']} successful runs only; "
                         f"they are biased when whether a run fails depends on its inputs")
        if s["failed"] < s["n"]:
            labels = {column: label for _, column, label in outcomes}
            lines += summary.format_intervals(self.statistics(), self.reporting.level, labels)
        lines += summary.format_stopping(self.stopping, self.reporting.level)
        return "\n".join(lines)

    def format_sensitivity(self):
        table = self.sensitivity()
        if not table:
            return "sensitivity: no dispersed input"
        if not (~self.failed).any():
            return "sensitivity: no successful run"
        indices = self.variance_indices()
        width = max(len("input"), *(len(name) for name, _ in table))
        correlated = self.study.correlation
        what = "± its standard error" if correlated else "share of the variance explained, ± its standard error"
        lines = [f"sensitivity of the apogee: Spearman rank correlation (rho) and first-order "
                 f"variance-based index (S1, {what})"]
        if correlated:
            lines.append(f"note: {', '.join(correlated.names)} are correlated: the rho and S1 of each "
                         f"also carry the effect of the inputs correlated with it; they are not causal "
                         f"shares (an input without effect can rank high, and S1 can sum to more than 1)")
        lines.append(f"  {'rank':<6}{'input':<{width}}  {'rho':>7}  {'S1':>6}  {'±':>5}")
        lines += [f"  {i:<6}{name:<{width}}  {rho:>+7.3f}  {indices[name].estimate:>6.3f}  "
                  f"{indices[name].standard_error:>5.3f}" for i, (name, rho) in enumerate(table, 1)]
        return "\n".join(lines)

    def __str__(self):
        return self.format_summary() + "\n\n" + self.format_sensitivity()

    # The arrays as a collector holds them, for the export (see output).
    @property
    def inputs(self):
        return self.samples.T

    def outcome_block(self, lo, hi):
        return np.stack([a[lo:hi] for a in (self.apogees, self.apogee_times, self.downrange,
                                             self.apogee_speeds)])

    @property
    def codes(self):
        return self.failure_codes

    @property
    def model(self):
        return self.study.model

    def save(self, path):
        """Writes CSV, or Parquet when the path ends in .parquet (see output
        for the format), a block of rows at a time."""
        from .output import save

        save(self, path)

    def plot(self, path):
        """Saves the PNG figure (histogram, empirical CDF, scatter against
        the most influential input) to `path`."""
        from .plots import plot_result

        plot_result(self, path)

    def convergence(self):
        """(statistic, checkpoints): the stopping rule's statistic (p99 of
        the apogee without a rule) and its interval after each round of
        blocks up to n (see stopping.round_ends)."""
        if self.stopping is not None:
            return self.stopping.rule.statistic, self.stopping.checkpoints
        rule = StoppingRule(Statistic("percentile", "apogee", 99.0), -math.inf)  # never met
        outcome = apply_rule(rule, self.apogees, self.n, self.study.block_size, self.reporting.level)
        return rule.statistic, outcome.checkpoints

    def plot_convergence(self, path):
        """Saves the convergence figure (see plots.plot_convergence)."""
        from .plots import plot_convergence

        plot_convergence(self, path)

    def to_json(self, path):
        """Writes the machine-readable summary (see report and summary)."""
        from .output import package_version

        write_json(path, summary.document(self, package_version()))
