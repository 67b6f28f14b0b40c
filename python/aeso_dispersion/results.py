"""The outcome of a study: arrays, summary, sensitivity ranking, export."""

import csv
import math
from collections import Counter

import numpy as np

from .errors import require

PERCENTILES = (1, 5, 50, 95, 99)


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


class DispersionResult:
    """Samples, outcomes and failures of a study run.

    - `names`: the dispersed inputs, "section.key", in study order;
    - `samples`: their drawn values, shape (n, len(names));
    - `apogees`, `apogee_times` (s), `downrange` (x at apogee, m) and
      `apogee_speeds` (horizontal speed at apogee, m/s): shape (n,), NaN
      where the run failed; the last two are NaN for the 1-DOF model;
    - `steps`: integration steps each run took;
    - `failure_codes`: shape (n,), 0 for a successful run, else a 1-based
      index into `failure_reasons`;
    - `seed`, `n`, `backend`, `workers`, `elapsed` (seconds).
    """

    percentiles = PERCENTILES

    def __init__(self, study, n, seed, inputs, outcomes, steps, codes, reasons, backend, workers, elapsed):
        self.study = study
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
        """The failure reason of sample i, or None when its run succeeded."""
        code = int(self.failure_codes[i])
        return self.failure_reasons[code - 1] if code else None

    def failure_counts(self):
        """{reason: number of samples}, most frequent first."""
        counts = Counter(self.failure_codes[self.failed].tolist())
        return {self.failure_reasons[c - 1]: k for c, k in counts.most_common()}

    def outcomes(self):
        """[(attribute, export column, summary label)] of the outcomes this
        study's model gives (no downrange and speed for 1-DOF)."""
        return [o for o in OUTCOMES if self.study.model == "3dof" or o[0] in ("apogees", "apogee_times")]

    def summary(self, outcome="apogees"):
        """Statistics of an outcome (by attribute name) over the successful
        runs, with the failure count."""
        ok = getattr(self, outcome)[~self.failed]
        out = {"n": self.n, "succeeded": int(ok.size), "failed": int(self.n - ok.size)}
        if ok.size:
            out.update(mean=float(ok.mean()), std=float(ok.std(ddof=1)) if ok.size > 1 else math.nan,
                       min=float(ok.min()), max=float(ok.max()))
            out.update({f"p{p}": float(v) for p, v in zip(PERCENTILES, np.percentile(ok, PERCENTILES))})
        else:
            out.update({k: math.nan for k in ("mean", "std", "min", "max")})
            out.update({f"p{p}": math.nan for p in PERCENTILES})
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
        outcomes = self.outcomes()
        summaries = [self.summary(attribute) for attribute, _, _ in outcomes]
        s = summaries[0]
        lines = [f"outcomes over {s['succeeded']} of {s['n']} runs "
                 f"(seed {self.seed}, {self.backend}, {self.workers} workers, {self.elapsed:.2f} s)",
                 "        " + "".join(f"{label:>15}" for _, _, label in outcomes)]
        keys = ["mean", "std", "min"] + [f"p{p}" for p in PERCENTILES] + ["max"]
        lines += [f"  {key:<6}" + "".join(f"{summary[key]:>15.3f}" for summary in summaries)
                  for key in keys]
        lines.append(f"  failed{s['failed']:>12d}")
        for reason, count in self.failure_counts().items():
            lines.append(f"    {count:>8d}  {reason}")
        return "\n".join(lines)

    def format_sensitivity(self):
        table = self.sensitivity()
        if not table:
            return "sensitivity: no dispersed input"
        width = max(len("input"), *(len(name) for name, _ in table))
        lines = ["sensitivity (Spearman rank correlation with apogee)",
                 f"  {'rank':<6}{'input':<{width}}  {'rho':>7}"]
        lines += [f"  {i:<6}{name:<{width}}  {rho:>+7.3f}" for i, (name, rho) in enumerate(table, 1)]
        return "\n".join(lines)

    def __str__(self):
        return self.format_summary() + "\n\n" + self.format_sensitivity()

    def columns(self):
        """(names, columns): the dispersed inputs, the outcomes, the steps and
        the failure reason ("" when the run succeeded) as export columns."""
        reasons = np.array(("",) + self.failure_reasons, dtype=object)[self.failure_codes]
        outcomes = self.outcomes()
        names = list(self.names) + [column for _, column, _ in outcomes] + ["steps", "failure"]
        columns = [self.samples[:, i] for i in range(len(self.names))]
        columns += [getattr(self, attribute) for attribute, _, _ in outcomes]
        return names, columns + [self.steps, reasons]

    def to_csv(self, path):
        """Writes one row per sample; floats round-trip exactly."""
        names, columns = self.columns()
        with open(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(names)
            writer.writerows(zip(*(c.tolist() for c in columns)))

    def to_parquet(self, path):
        pa = require("pyarrow", "parquet", "Parquet export")
        pq = require("pyarrow.parquet", "parquet", "Parquet export")
        names, columns = self.columns()
        pq.write_table(pa.table({name: list(c) if c.dtype == object else c
                                 for name, c in zip(names, columns)}), path)

    def save(self, path):
        """Writes CSV, or Parquet when the path ends in .parquet."""
        (self.to_parquet if str(path).endswith(".parquet") else self.to_csv)(path)

    def plot(self, path):
        """Saves the PNG figure (histogram, empirical CDF, scatter against
        the most influential input) to `path`."""
        from .plots import plot_result

        plot_result(self, path)
