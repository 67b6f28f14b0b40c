"""Two designs flown on the same draws: the paired difference B - A.

Each input is drawn from its own stream, keyed by the seed, the block and
the input's name (see streams): two studies that disperse the same inputs
with the same distributions and correlation, and have the same block size,
draw the very same values for every sample, whatever else differs (a fixed
property, the solver). Flying both on one seed thus gives pairs of runs on
common random numbers, and the difference B - A of an outcome, draw by
draw, carries only what the design changes: its spread is far smaller than
that of either study, and so are the runs a precise answer needs.

Per outcome the comparison reports, over the pairs in which both runs
succeeded: the mean difference with Student's t interval, percentiles of
the per-draw differences with their order-statistic intervals, P(B > A)
with its exact (Clopper-Pearson) interval, and for each tolerance TOL of
the reporting (--within miss:10) the difference of P(|outcome| <= TOL)
between the designs with Newcombe's interval for paired proportions (two
controllers flown on the same seed see the same draws and the same sensor
noise); and it counts the pairs in which only one design failed, with the
reasons. Inputs the two studies disperse
differently are named: their values differ draw by draw, so the difference
also carries that change.
"""

import math
from collections import Counter

import numpy as np

from . import domains, summary
from .errors import StudyError
from .intervals import describe, paired_difference_interval, within_interval
from .outcomes import UNITS
from .report import write_json

FORMAT = "aeso-dispersion comparison"


def _described(study, name, distributions):
    if name in distributions:
        return str(distributions[name])
    return f"fixed {study.fixed[name]!r}" if name in study.fixed else "not an input"


def dispersion_differences(a, b):
    """[(what, in A, in B)]: each input the studies `a` and `b` disperse
    differently (another distribution, or dispersed in one only), and their
    correlations if they differ. Refuses studies of different block sizes,
    whose draws have nothing in common."""
    if a.block_size != b.block_size:
        raise StudyError("compare", f"the block sizes differ (A {a.block_size}, B {b.block_size}): "
                                    f"the draws of the two studies would have nothing in common; give "
                                    f"both the same block_size")
    da, db = a.distributions, b.distributions
    differences = [(name, _described(a, name, da), _described(b, name, db))
                   for name in list(da) + [name for name in db if name not in da]
                   if da.get(name) != db.get(name)]

    def correlation(study):
        c = study.correlation
        return None if c is None else (c.names, c.matrix.tolist())

    if correlation(a) != correlation(b):
        differences.append(("correlation", *(("none" if correlation(s) is None else
                                                f"{list(correlation(s)[0])} {correlation(s)[1]}")
                                               for s in (a, b))))
    return differences


class Comparison:
    """The paired comparison of two results on the same draws (the same n
    and seed): what :func:`aeso_dispersion.compare` returns.

    ``print(comparison)`` prints it as ``aeso-dispersion compare`` does.

    Parameters
    ----------
    a, b : DispersionResult
        The reference design's results and the variant's.
    differences : list of (str, str, str)
        The inputs the two studies disperse differently: (input, in A, in B).
    reporting : Reporting
        The confidence level, percentiles and tolerances of the comparison.

    Attributes
    ----------
    a, b : DispersionResult
        The two results.
    dispersion_differences : list of (str, str, str)
        The inputs the two studies disperse differently (another
        distribution, or dispersed in one only) and their correlations if
        they differ: (what, in A, in B). Their values differ draw by draw,
        so B - A also carries that change.
    reporting : Reporting
        A :class:`~aeso_dispersion.summary.Reporting`: the level of the
        intervals, the percentiles of the differences and the tolerances of
        ``P(|outcome| <= TOL)``.
    outcome_names : list of str
        The outcomes both studies give.
    """

    def __init__(self, a, b, differences, reporting):
        self.a, self.b = a, b
        self.dispersion_differences = differences
        self.reporting = reporting
        self.outcome_names = [name for name in a.outcomes() if name in b.outcomes()]

    def differences(self, outcome):
        """B - A of one outcome, draw by draw.

        Parameters
        ----------
        outcome : str
            The outcome, by name (see ``outcome_names``).

        Returns
        -------
        numpy.ndarray
            Shape (n,), NaN where either run failed.

        Raises
        ------
        KeyError
            An outcome one of the two studies does not give.
        """
        return self.b.outcomes()[outcome] - self.a.outcomes()[outcome]

    def pairs(self):
        """How the pairs of runs ended.

        Returns
        -------
        dict
            The number of pairs in which both runs succeeded
            (``both_succeeded``), only A's or only B's failed
            (``only_a_failed``, ``only_b_failed``), and both failed
            (``both_failed``).
        """
        fa, fb = self.a.failed, self.b.failed
        return {"both_succeeded": int(np.count_nonzero(~fa & ~fb)),
                "only_a_failed": int(np.count_nonzero(fa & ~fb)),
                "only_b_failed": int(np.count_nonzero(~fa & fb)),
                "both_failed": int(np.count_nonzero(fa & fb))}

    def one_sided_failures(self):
        """Why runs failed in the pairs in which only one design's run failed.

        Returns
        -------
        dict
            {"a": {reason: count}, "b": {reason: count}}, most frequent
            first.
        """
        out = {}
        for side, this, other in (("a", self.a, self.b), ("b", self.b, self.a)):
            only = this.failed & ~other.failed
            counts = Counter(this.failure_codes[only].tolist())
            out[side] = {domains.fill(this.reason_of(code)): k for code, k in counts.most_common()}
        return out

    def statistics(self):
        """The paired statistics of every outcome, over the pairs in which
        both runs succeeded.

        Returns
        -------
        dict
            {outcome: {"n", "mean_difference", "percentiles",
            "p_b_greater", "within"}}: the number of pairs, the mean of B - A
            with its t interval, the percentiles of the differences with
            their order-statistic intervals ({"p50": Interval, ...}), P(B > A)
            with its exact interval, each an
            :class:`~aeso_dispersion.intervals.Interval`; and per tolerance TOL
            of `reporting` ``within[TOL]``: ``P(|outcome| <= TOL)`` of A
            (``a``) and of B (``b``) with their exact intervals and their
            paired difference B - A (``difference``) with Newcombe's interval.

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.
        """
        level, percentiles = self.reporting.level, self.reporting.percentiles
        out = {}
        both = ~self.a.failed & ~self.b.failed
        for name in self.outcome_names:
            described = describe(self.differences(name), percentiles, (0.0,), level)
            a, b = self.a.outcomes()[name][both], self.b.outcomes()[name][both]
            out[name] = {"n": described["n"], "mean_difference": described["mean"],
                         "percentiles": described["percentiles"],
                         "p_b_greater": described["thresholds"][0.0]["above"],
                         "within": {tolerance: {
                             "a": within_interval(a, tolerance, level).as_floats(),
                             "b": within_interval(b, tolerance, level).as_floats(),
                             "difference": paired_difference_interval(np.abs(a) <= tolerance, np.abs(b) <= tolerance,
                                                                      level)}
                                    for tolerance in self.reporting.within_of(name)}}
        return out

    def format(self):
        """The comparison as text, as ``aeso-dispersion compare`` prints it.

        Returns
        -------
        str
        """
        pairs = self.pairs()
        lines = [f"B - A over {self.a.n} paired draws (seed {self.a.seed}): A {self.a.study.source or 'A'}, "
                 f"B {self.b.study.source or 'B'}",
                 f"  pairs: {pairs['both_succeeded']} both succeeded, {pairs['only_a_failed']} only A "
                 f"failed, {pairs['only_b_failed']} only B failed, {pairs['both_failed']} both failed"]
        for side, reasons in self.one_sided_failures().items():
            lines += [f"    {count:>8d}  only {side.upper()}: {reason}" for reason, count in reasons.items()]
        if self.dispersion_differences:
            lines.append("note: the studies disperse these inputs differently, so B - A also carries "
                         "the change of their values:")
            lines += [f"  {what}: A {in_a}, B {in_b}" for what, in_a, in_b in self.dispersion_differences]
        if not pairs["both_succeeded"]:
            lines.append("warning: no pair in which both runs succeeded; there are no statistics")
            return "\n".join(lines)
        lines.append(f"{summary.level_label(self.reporting.level)} confidence intervals of B - A, over "
                     f"the {pairs['both_succeeded']} pairs in which both runs succeeded")
        for name, stats in self.statistics().items():
            unit = UNITS[name]
            lines.append(f"  {name}{f' ({unit})' if unit else ''}")
            rows = [("mean", stats["mean_difference"], 3)]
            rows += [(label, interval, 3) for label, interval in stats["percentiles"].items()]
            rows.append(("P(B > A)", stats["p_b_greater"], 4))
            lines += [f"    {label:<9}{summary.value_text(i.estimate, d):>12}  "
                      f"({summary.interval_text(i, d)})" for label, i, d in rows]
            for tolerance, p in stats["within"].items():
                lines.append(f"    P(|{name}| <= {tolerance:g}): A {summary.value_text(p['a'].estimate, 4)}, "
                             f"B {summary.value_text(p['b'].estimate, 4)}; B - A "
                             f"{p['difference'].estimate:+.4f} ({summary.interval_text(p['difference'], 4)})")
        return "\n".join(lines)

    def __str__(self):
        return self.format()

    def document(self, version):
        """The comparison as the plain document ``to_json`` writes.

        Parameters
        ----------
        version : str
            The package version the document names.

        Returns
        -------
        dict
            JSON-ready: the two study files, n, the seed, the level, the
            pairs, the one-sided failures, the dispersion differences and
            per outcome its statistics (an interval as {"estimate", "low",
            "high"}).
        """
        return {
            "format": FORMAT, "version": version, "a": self.a.study.source, "b": self.b.study.source,
            "n": self.a.n, "seed": self.a.seed, "confidence": self.reporting.level,
            "pairs": self.pairs(), "one_sided_failures": self.one_sided_failures(),
            "dispersion_differences": [{"input": what, "a": in_a, "b": in_b}
                                       for what, in_a, in_b in self.dispersion_differences],
            "outcomes": {name: {"unit": UNITS[name], **stats,
                                "within": [{"tolerance": tolerance, **p} for tolerance, p in stats["within"].items()]}
                         for name, stats in self.statistics().items()},
        }

    def to_json(self, path):
        """Writes the comparison as JSON (``aeso-dispersion compare --json``).

        Parameters
        ----------
        path : str or os.PathLike
            The file to write, replaced whole.

        Raises
        ------
        StudyError
            The path is not a regular file or a link to one, or its
            directory does not exist.
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.
        OSError
            The file cannot be written.
        """
        from .output import package_version

        write_json(path, self.document(package_version()), self.a.study.files + self.b.study.files)


def compare(a, b, n=None, seed=None, reporting=None, **run_options):
    """Flies two designs on the same draws and compares them pair by pair.

    Both studies are run with one seed: their inputs are drawn from the
    same per-input streams, so where they disperse the same inputs with the
    same distributions and correlation every sample flies the same values
    in both, and the difference B - A of an outcome carries only what the
    design changes.

    Parameters
    ----------
    a, b : Study
        The reference design and the variant; the same block size.
    n : int, optional
        Number of paired draws (default: A's n).
    seed : int, optional
        Seed of the draws of both (default: A's seed, else a fresh one).
    reporting : Reporting, optional
        Confidence level and percentiles of the differences (default: A's),
        a :class:`~aeso_dispersion.summary.Reporting`.
    **run_options
        Passed to :meth:`Study.run` of both: ``backend``, ``workers``,
        ``progress``.

    Returns
    -------
    Comparison
        A :class:`~aeso_dispersion.comparison.Comparison`.
        ``statistics()``: per outcome, over the pairs in which both runs
        succeeded, the mean difference with its t interval
        (``mean_difference``), the percentiles of the differences with
        their order-statistic intervals (``percentiles``) and P(B > A) with
        its exact interval (``p_b_greater``), each an
        ``Interval(estimate, low, high)``, and per tolerance of the
        reporting (``within``) ``P(|outcome| <= TOL)`` of A and of B with their
        exact intervals and the paired difference B - A with Newcombe's
        interval; ``differences(outcome)``: B - A
        per draw, NaN where either run failed; ``pairs()`` and
        ``one_sided_failures()``: the pairs in which one design or both
        failed, and why; ``dispersion_differences``: the inputs the two
        disperse differently; ``a`` and ``b``: the two results;
        ``format()``, ``to_json(path)``.

    Raises
    ------
    StudyError
        The block sizes differ (the draws would have nothing in common), or
        an invalid n or seed.

    Examples
    --------
    >>> from aeso_dispersion import Study, compare, normal, uniform
    >>> def design(area_drag):
    ...     return Study(rocket=dict(mass=normal(20.0, 0.4), cd=0.45, area_drag=area_drag,
    ...                              area_lift=0.0081, moment_of_inertia=8.5,
    ...                              stab_margin_dimensional=0.25, cl_a=2.0),
    ...                  initial_state=dict(angle=0.05, speed=uniform(240.0, 260.0)),
    ...                  solver=dict(method="RK45"))
    >>> comparison = compare(design(0.0081), design(0.0078), n=500, seed=1, workers=2)
    >>> mean = comparison.statistics()["apogee"]["mean_difference"]
    >>> 0 < mean.low < mean.estimate < mean.high
    True
    """
    differences = dispersion_differences(a, b)
    seed = a.seed if seed is None else seed
    if seed is None:
        seed = int(np.random.SeedSequence().entropy)
    n = a.n if n is None else n
    result_a = a.run(n=n, seed=seed, **run_options)
    result_b = b.run(n=n, seed=seed, **run_options)
    return Comparison(result_a, result_b, differences, reporting or a.reporting)


def runs_ratio(comparison, outcome="apogee"):
    """How many times more runs two separate studies need than a paired
    comparison for the same interval of the mean difference:
    (Var A + Var B) / Var(B - A), over the pairs in which both succeeded."""
    d = comparison.differences(outcome)
    both = ~np.isnan(d)
    a, b = comparison.a.outcomes()[outcome][both], comparison.b.outcomes()[outcome][both]
    return float((a.var(ddof=1) + b.var(ddof=1)) / d[both].var(ddof=1)) if both.sum() > 1 else math.nan
