"""The outcome of a study: arrays, summary, sensitivity ranking, export."""

import math
from collections import Counter

import numpy as np

from . import domains, reach, real_air, summary
from .engine import failure_table
from .errors import require
from .intervals import percentile_label
from .outcomes import OUTCOMES, of_study
from .report import write_json
from .stopping import Statistic, StoppingRule, apply_rule
from .variance_indices import MIN_SAMPLES, first_order_index


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


class DispersionResult:
    """Samples, outcomes and failures of a study run.

    Made by :meth:`Study.run`, not constructed directly. ``print(result)``
    prints the summary and the sensitivity table, as the command line does.

    Attributes
    ----------
    names : tuple of str
        The dispersed inputs, "section.key", in study order.
    samples : numpy.ndarray
        Their drawn values, shape (n, len(names)).
    apogees, apogee_times, downrange, apogee_speeds : numpy.ndarray
        Per run, shape (n,): the apogee (m), the time of apogee (s), the
        downrange position x (m) and the horizontal speed (m/s) at apogee;
        NaN where the run failed, and the last two NaN for the 1-DOF model.
    misses, final_deployments, deployment_travels : numpy.ndarray
        Per run of a controlled study: the apogee minus the target (m), the
        brakes' deployment at apogee and the deployment's total movement
        (sampled at the ticks); NaN where the run failed, and for a study
        without a controller.
    steps : numpy.ndarray
        Integration steps each run took.
    failure_codes : numpy.ndarray
        Per run, 0 for a successful run, else a 1-based index into
        `failure_reasons`.
    failure_reasons : tuple of str
        The reason texts; an input a reason is about appears as
        "{section.key}" (:meth:`reason` fills in a sample's values).
    n, seed : int
        The number of samples and the seed.
    backend : str
        "threads" or "dask".
    workers : int
        Threads or Dask workers that ran the study.
    elapsed : float
        The study's wall time (s).
    study : Study
        The study that was run.
    reporting : Reporting
        The confidence level, percentiles and thresholds of the summary (the
        study's; assign ``Reporting.make(level, percentiles, thresholds)`` to
        change them): a :class:`~aeso_dispersion.summary.Reporting`.
    stopping : stopping.Outcome or None
        How the stopping rule ended (a
        :class:`~aeso_dispersion.stopping.Outcome`): ``met``, ``n``, ``rule``
        and the ``checkpoints``; None without a rule.
    runs : Runs
        The runs as the results file holds them (failure codes as the
        engine gives them): an :class:`~aeso_dispersion.output.Runs`.

    Examples
    --------
    The examples of the methods below use this result:

    >>> from aeso_dispersion import Threads, load_study
    >>> result = load_study("examples/dispersion_study.toml").run(
    ...     n=2000, seed=1, backend=Threads(workers=2))
    >>> result.samples.shape, result.apogees.shape
    ((2000, 7), (2000,))
    >>> result.names[:2]
    ('rocket.mass', 'rocket.cd')
    """

    def __init__(self, study, runs, seed, backend, workers, elapsed, stopping=None):
        self.study = study
        self.reporting = study.reporting
        self.stopping = stopping
        # Computed once each (the summary, the JSON file and the figures share them).
        self._statistics, self._indices = None, {}
        self.runs = runs
        self.names = study.dispersed
        self.n, self.seed = runs.codes.shape[0], seed
        self.samples = runs.inputs.T
        for outcome, values in zip(OUTCOMES, runs.outcomes):
            setattr(self, outcome.attribute, values)
        self.steps = runs.steps
        self.failure_codes, self.failure_reasons, _ = failure_table(study.plan, runs.codes)
        self.backend, self.workers, self.elapsed = backend, workers, elapsed

    def sample(self, name):
        """The drawn values of one dispersed input.

        Parameters
        ----------
        name : str
            The input, "section.key" or the key alone.

        Returns
        -------
        numpy.ndarray
            Its values, shape (n,).

        Raises
        ------
        KeyError
            `name` is not a dispersed input.

        Examples
        --------
        >>> result.sample("mass")[:3].round(3)
        array([19.929, 20.807, 20.011])
        """
        for i, full in enumerate(self.names):
            if name in (full, full.split(".", 1)[1]):
                return self.samples[:, i]
        raise KeyError(f"{name!r} is not a dispersed input; these are: {', '.join(self.names)}")

    def refly(self, i):
        """Flies sample `i` of a controlled study again, recording every tick.

        A controlled flight is deterministic given the sample's inputs, the
        seed and the sample's number (its sensor noise is drawn from them),
        so this is the study's flight to the bit, with its history.

        Parameters
        ----------
        i : int
            The sample's index; its run succeeded.

        Returns
        -------
        aeso_flight.ControlledFlight
            The apogee, the target, the final deployment and travel, and per
            tick (``ticks``) the time, the true and sensed state, the
            controller's predicted apogee, the commanded and the actual
            deployment; ``plot()`` draws it.

        Raises
        ------
        ValueError
            The study is not controlled, or the sample's run failed.
        """
        if not self.study.controlled:
            raise ValueError("refly: only a controlled study's flights have a history to record")
        i = int(i)
        if self.failed[i]:
            raise ValueError(f"refly: sample {i}'s run failed ({self.reason(i)})")
        plan = self.study.plan
        row = plan.values.copy()
        row[plan.dispersed] = self.samples[i]
        return real_air.refly(plan, row, self.seed, i)

    @property
    def failed(self):
        """Boolean mask, shape (n,), of the samples whose run failed."""
        return self.failure_codes != 0

    def reason(self, i):
        """The failure reason of one sample.

        Parameters
        ----------
        i : int
            The sample's index.

        Returns
        -------
        str or None
            The reason, with the values of the inputs it names, such as
            "rocket.mass = -0.52 outside its domain (> 0)"; None when the
            run succeeded.

        Raises
        ------
        IndexError
            `i` is not a sample's index (0 to n - 1, or -n to -1).

        Examples
        --------
        >>> result.reason(0) is None
        True
        """
        code = int(self.failure_codes[i])
        if not code:
            return None
        return domains.fill(self.reason_of(code), dict(zip(self.names, self.samples[i].tolist())))

    def reason_of(self, code):
        """The reason text of a failure code, inputs shown as "{section.key}".

        Parameters
        ----------
        code : int
            A non-zero entry of `failure_codes`.

        Returns
        -------
        str

        Raises
        ------
        IndexError
            `code` is beyond the table of reasons.
        """
        return self.failure_reasons[code - 1]

    def failure_counts(self):
        """How often each failure reason occurred.

        Returns
        -------
        dict
            {reason: number of samples}, most frequent first; empty when
            every run succeeded.

        Examples
        --------
        >>> result.failure_counts()
        {}
        """
        counts = Counter(self.failure_codes[self.failed].tolist())
        return {domains.fill(self.failure_reasons[c - 1]): k for c, k in counts.most_common()}

    @property
    def failed_fraction(self):
        """The fraction of the runs that failed, from 0 to 1."""
        return int(np.count_nonzero(self.failed)) / self.n

    @property
    def failed_share(self):
        """The failed fraction as a percentage, for text, e.g. "0 %"."""
        return f"{100 * self.failed_fraction:.3g} %"

    def outcomes(self):
        """The per-run outcomes this study's model gives.

        Returns
        -------
        dict
            {name: values, shape (n,), NaN where the run failed}, named
            apogee, time_of_apogee, and for 3-DOF downrange and
            speed_at_apogee.

        Examples
        --------
        >>> list(result.outcomes())
        ['apogee', 'time_of_apogee', 'downrange', 'speed_at_apogee']
        """
        study = self.study
        return {outcome.name: getattr(self, outcome.attribute) for outcome in of_study(study.model, study.controlled)}

    def statistics(self):
        """Every statistic of every outcome, with its confidence interval.

        Over the successful runs, at the level, percentiles and thresholds
        of `reporting`.

        Returns
        -------
        dict
            {outcome: {"n", "mean", "std", "min", "max", "percentiles",
            "thresholds"}}: ``mean`` an
            :class:`~aeso_dispersion.intervals.Interval` (estimate, low, high),
            ``percentiles`` {"p99": Interval, ...}, ``thresholds`` {H:
            {"above": Interval, "below": Interval}} of the probabilities
            P(outcome > H) and P(outcome < H). A side the runs are too few to
            bound is -inf or inf.

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.

        Examples
        --------
        >>> p99 = result.statistics()["apogee"]["percentiles"]["p99"]
        >>> p99.low < p99.estimate < p99.high
        True
        """
        if self._statistics is None or self._statistics[0] != self.reporting:
            self._statistics = self.reporting, summary.statistics(self.outcomes(), self.reporting)
        return self._statistics[1]

    def _outcome(self, outcome):
        """The per-run values of an outcome by name, NaN where the run failed."""
        outcomes = self.outcomes()
        if outcome not in outcomes:
            raise KeyError(f"no outcome {outcome!r} in a {self.study.kind} study (these are: "
                           f"{', '.join(outcomes)})")
        return outcomes[outcome]

    def variance_indices(self, outcome="apogee"):
        """The first-order variance-based index (S1) of each input on an outcome.

        The share of the outcome's variance that the input explains on its
        own, estimated from the successful runs by fitting a line within
        bins of the input, with a jackknife standard error; NaN with fewer
        than 100 runs.

        Parameters
        ----------
        outcome : str, default "apogee"
            The outcome, by name (see `outcomes`).

        Returns
        -------
        dict
            {input: :class:`~aeso_dispersion.variance_indices.Index`}, the
            estimate and its standard error.

        Raises
        ------
        KeyError
            No outcome of that name in this study.

        Examples
        --------
        >>> s1 = result.variance_indices()["initial_state.speed"]
        >>> round(s1.estimate, 2)
        0.79
        """
        if outcome not in self._indices:
            ok = ~self.failed
            y = self._outcome(outcome)[ok]
            self._indices[outcome] = {name: first_order_index(self.samples[ok, i], y)
                                      for i, name in enumerate(self.names)}
        return self._indices[outcome]

    def summary(self, outcome="apogees"):
        """Point statistics of one outcome over the successful runs.

        Parameters
        ----------
        outcome : str, default "apogees"
            The attribute name of the outcome: "apogees", "apogee_times",
            "downrange" or "apogee_speeds".

        Returns
        -------
        dict
            n, succeeded, failed, mean, std, min, max, and each percentile of
            `reporting` ("p1", "p99", ...); NaN statistics when no run
            succeeded.

        Raises
        ------
        AttributeError
            `outcome` is not one of those attribute names.

        Examples
        --------
        >>> summary = result.summary()
        >>> summary["n"], summary["failed"], round(summary["p50"], 1)
        (2000, 0, 2395.9)
        """
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

    def sensitivity(self, outcome="apogee"):
        """The dispersed inputs ranked by their rank correlation with an outcome.

        Parameters
        ----------
        outcome : str, default "apogee"
            The outcome, by name (see `outcomes`).

        Returns
        -------
        list of (str, float)
            (input, Spearman's rank correlation with the apogee) over the
            successful runs, strongest first; an input whose correlation is
            NaN (it did not vary) comes last.

        Raises
        ------
        KeyError
            No outcome of that name in this study.

        Examples
        --------
        >>> [(name, round(rho, 2)) for name, rho in result.sensitivity()[:2]]
        [('initial_state.speed', 0.88), ('rocket.cd', -0.43)]
        """
        ok = ~self.failed
        y = self._outcome(outcome)[ok]
        table = [(name, spearman(self.samples[ok, i], y)) for i, name in enumerate(self.names)]
        return sorted(table, key=lambda row: -abs(row[1]) if not math.isnan(row[1]) else math.inf)

    def format_summary(self):
        """The summary as the command line prints it: the statistics of
        every outcome, the failures, the confidence intervals and the
        stopping rule's line.

        Returns
        -------
        str

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.

        Examples
        --------
        >>> print(result.format_summary().splitlines()[1])
                     apogee (m)       time (s)  downrange (m)    speed (m/s)
        """
        outcomes = of_study(self.study.model, self.study.controlled)
        summaries = [self.summary(outcome.attribute) for outcome in outcomes]
        s = summaries[0]
        workers = f"{self.workers} worker{'s' if self.workers != 1 else ''}"
        lines = [f"outcomes over {s['succeeded']} of {s['n']} runs "
                 f"(seed {self.seed}, {self.backend}, {workers}, {self.elapsed:.2f} s)"]
        # With no successful run every statistic is NaN: the table is left out
        # rather than printed as rows of nan.
        if s["succeeded"]:
            keys = ["mean", "std", "min"] + [percentile_label(p) for p in self.reporting.percentiles] + ["max"]
            cells = [[f"{summary[key]:.3f}" for summary in summaries] for key in keys]
            # Columns of at least 15 characters, wider for wide numbers, so they never run together.
            widths = [max(15, 2 + max(len(outcome.label), *(len(row[j]) for row in cells)))
                      for j, outcome in enumerate(outcomes)]
            lines.append("        " + "".join(f"{outcome.label:>{w}}" for outcome, w in zip(outcomes, widths)))
            lines += [f"  {key:<6}" + "".join(f"{cell:>{w}}" for cell, w in zip(row, widths))
                      for key, row in zip(keys, cells)]
        lines.append(f"  failed{s['failed']:>12d}  ({self.failed_share} of the runs)")
        for reason, count in self.failure_counts().items():
            lines.append(f"    {count:>8d}  {reason}")
        if self.study.controlled:
            lines += [line for line in (reach.out_of_reach(self.study),) if line]
        if s["failed"] == s["n"]:
            lines.append("warning: every run failed; there are no statistics")
        elif s["failed"]:
            lines.append(f"warning: the statistics cover the {s['succeeded']} successful runs only; "
                         f"they are biased when whether a run fails depends on its inputs")
        if s["failed"] < s["n"]:
            labels = {outcome.name: outcome.label for outcome in outcomes}
            lines += summary.format_intervals(self.statistics(), self.reporting.level, labels)
            if self.study.controlled:
                lines.append(summary.MONTE_CARLO_ONLY)
        lines += summary.format_stopping(self.stopping, self.reporting.level, self.n)
        return "\n".join(lines)

    def format_sensitivity(self, outcome="apogee"):
        """The sensitivity table of an outcome as the command line prints it:
        rank, input, Spearman's rho, S1 and its standard error.

        Parameters
        ----------
        outcome : str, default "apogee"
            The outcome, by name (see `outcomes`).

        Returns
        -------
        str

        Raises
        ------
        KeyError
            No outcome of that name in this study.
        """
        table = self.sensitivity(outcome)
        if not table:
            return "sensitivity: no dispersed input"
        if not (~self.failed).any():
            return "sensitivity: no successful run"
        indices = self.variance_indices(outcome)
        width = max(len("input"), *(len(name) for name, _ in table))
        correlated = self.study.correlation
        what = "± its standard error" if correlated else "share of the variance explained, ± its standard error"
        lines = [f"sensitivity of the {outcome.replace('_', ' ')}: Spearman rank correlation (rho) and "
                 f"first-order variance-based index (S1, {what})"]
        if correlated:
            lines.append(f"note: {', '.join(correlated.names)} are correlated: the rho and S1 of each "
                         f"also carry the effect of the inputs correlated with it; they are not causal "
                         f"shares (an input without effect can rank high, and S1 can sum to more than 1)")
        lines.append(f"  {'rank':<6}{'input':<{width}}  {'rho':>7}  {'S1':>6}  {'±':>5}")
        for i, (name, rho) in enumerate(table, 1):
            index = indices[name]
            if math.isnan(rho) and not np.ptp(self.sample(name)) > 0:
                lines.append(f"  {i:<6}{name:<{width}}  (drawn from a distribution of zero width: "
                             f"it does not vary)")
            elif math.isnan(index.estimate):
                lines.append(f"  {i:<6}{name:<{width}}  {rho:>+7.3f}  {'-':>6}  {'-':>5}  (S1 needs "
                             f"{MIN_SAMPLES} successful runs)")
            else:
                lines.append(f"  {i:<6}{name:<{width}}  {rho:>+7.3f}  {index.estimate:>6.3f}  "
                             f"{index.standard_error:>5.3f}")
        return "\n".join(lines)

    def __str__(self):
        return self.format_summary() + "\n\n" + self.format_sensitivity()

    def to_pandas(self):
        """The runs as a pandas DataFrame, one row per sample.

        Its columns are those of the results file (the dispersed inputs, the
        outcomes, the steps, the failure code and the failure reason, "" for
        a run that succeeded), and its ``attrs`` the file's metadata.

        Returns
        -------
        pandas.DataFrame

        Raises
        ------
        MissingExtra
            pandas (the ``dispersion`` extra) is not installed.

        Examples
        --------
        >>> frame = result.to_pandas()
        >>> frame.shape, frame.attrs["seed"]
        ((2000, 14), '1')
        """
        from .output import column_names, export_rows, study_metadata

        pandas = require("pandas", "dispersion", "DispersionResult.to_pandas")
        columns, failures = export_rows(self.runs, 0, self.n)
        frame = pandas.DataFrame(dict(zip(column_names(self.study), columns + [failures])))
        frame.attrs.update(study_metadata(self.study, self.seed))
        return frame


    def save(self, path):
        """Writes the results file: CSV, or Parquet when the path ends in .parquet.

        The same file ``Study.run(output=path)`` writes while the study
        runs: metadata and fixed inputs, then one row per sample.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write.

        Raises
        ------
        StudyError
            The path is not a regular file (a directory, a device) or a link
            to one, or its directory does not exist.
        MissingExtra
            A Parquet path without pyarrow (the ``parquet`` extra).
        OSError
            The file cannot be written.

        Examples
        --------
        >>> import os, tempfile
        >>> path = os.path.join(tempfile.mkdtemp(), "runs.csv")
        >>> result.save(path)
        >>> open(path).readline().strip()
        '# tool: aeso-dispersion'
        """
        from .output import save

        save(self, path)

    def plot(self, path):
        """Saves the figure of the study: the histogram of the apogees with
        the percentiles, the empirical CDF, and the apogee against the most
        influential input.

        Parameters
        ----------
        path : str or os.PathLike
            The image file; its extension gives the format (.png, .svg, .pdf, ...).

        Raises
        ------
        StudyError
            As for :meth:`save`.
        ValueError
            matplotlib cannot write the format the extension names.
        MissingExtra
            matplotlib or SciPy (the ``dispersion`` extra) is not installed.
        OSError
            The file cannot be written.

        Examples
        --------
        >>> result.plot(os.path.join(tempfile.mkdtemp(), "dispersion.png"))
        """
        from .plots import plot_result

        plot_result(self, path)

    def convergence(self):
        """A statistic and its interval after each round of blocks.

        The rounds are those a stopping rule is checked after: the first
        after 1000 runs, each next a quarter larger, the last at n.

        Returns
        -------
        tuple of (Statistic, tuple of Checkpoint)
            The stopping rule's statistic (p99 of the apogee without a rule)
            and a :class:`~aeso_dispersion.stopping.Checkpoint` per round.

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.

        Examples
        --------
        >>> statistic, checkpoints = result.convergence()
        >>> statistic.label, [c.n for c in checkpoints]
        ('p99', [1000, 2000])
        """
        if self.stopping is not None:
            return self.stopping.rule.statistic, self.stopping.checkpoints
        rule = StoppingRule(Statistic("percentile", "apogee", 99.0), -math.inf)  # never met
        outcome = apply_rule(rule, self.apogees, self.n, self.study.block_size, self.reporting.level)
        return rule.statistic, outcome.checkpoints

    def plot_convergence(self, path):
        """Saves the convergence figure: the statistic of :meth:`convergence`
        and its interval against n.

        Parameters
        ----------
        path : str or os.PathLike
            The image file.

        Raises
        ------
        StudyError
            As for :meth:`save`.
        ValueError
            matplotlib cannot write the format the extension names.
        MissingExtra
            matplotlib or SciPy (the ``dispersion`` extra) is not installed.
        OSError
            The file cannot be written.
        """
        from .plots import plot_convergence

        plot_convergence(self, path)

    def to_json(self, path, sensitivity="apogee"):
        """Writes the summary as JSON: every statistic and interval (an
        unbounded side as null), the threshold probabilities, the failure
        counts, n, the seed, the stopping rule's outcome and checkpoints, the
        sensitivities of one outcome and the package version.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write, replaced whole.
        sensitivity : str, default "apogee"
            The outcome whose sensitivities are written.

        Raises
        ------
        StudyError
            As for :meth:`save`.
        KeyError
            No outcome named `sensitivity` in this study.
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.
        OSError
            The file cannot be written.

        Examples
        --------
        >>> import json
        >>> path = os.path.join(tempfile.mkdtemp(), "summary.json")
        >>> result.to_json(path)
        >>> json.load(open(path))["n"]
        2000
        """
        from .output import package_version

        write_json(path, summary.document(self, package_version(), sensitivity), self.study.files)
