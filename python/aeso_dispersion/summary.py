"""What a study reports: the statistics of each per-run outcome with their
confidence intervals, threshold probabilities, failures, the stopping rule's
outcome and the sensitivity of an outcome to each input, as text and as the
document written by --json (see report).

`Reporting` holds the choices: the confidence level, the percentiles, the
thresholds and the tolerances. A threshold is an outcome and a value; both
P(outcome > value) and P(outcome < value) are reported. A tolerance is an
outcome and a value TOL (of the miss by default); P(|outcome| <= TOL) is
reported, the probability of landing within TOL of a controlled flight's
target.
"""

import math
import re
from typing import NamedTuple

from .intervals import (DEFAULT_LEVEL, DEFAULT_PERCENTILES, check_level, check_percentile,
                        describe, percentile_label)
from .outcomes import UNITS
from .stopping import DEFAULT_OUTCOME, WITHIN_OUTCOME


# What a controlled study's intervals do not cover, said under them.
MONTE_CARLO_ONLY = ("note: the intervals cover the Monte Carlo error only, not the model's: on the two real "
                    "flights of the documentation the model, from its estimated burnout state, missed the apogee "
                    "by 0.4 % and 10 % with the teams' drag and by 0.5-0.7 % with the drag fitted to the "
                    "flight's accelerometer (docs/real_flights.md)")

_THRESHOLD = re.compile(r"^\s*(?:(?P<outcome>[A-Za-z_][A-Za-z0-9_]*)\s*:)?\s*(?P<value>\S+)\s*$")


class Threshold(NamedTuple):
    outcome: str
    value: float

    @classmethod
    def parse(cls, text, default=DEFAULT_OUTCOME, what="a threshold"):
        """Reads H (a threshold of the `default` outcome, the apogee) or
        OUTCOME:H, e.g. 3048 or time_of_apogee:20; `what` names it in
        errors."""
        if not isinstance(text, str):
            return cls(default, _finite_threshold(text, what))
        match = _THRESHOLD.match(text)
        if match is None:
            raise ValueError(f"{what} reads H or OUTCOME:H (e.g. {default}:10), not {text!r}")
        try:
            value = float(match["value"])
        except ValueError:
            raise ValueError(f"{what} {text!r} is not a number") from None
        return cls(match["outcome"] or default, _finite_threshold(value, what))

    @classmethod
    def tolerance(cls, text):
        """Reads TOL (of the miss) or OUTCOME:TOL, a value >= 0 of
        P(|outcome| <= TOL)."""
        parsed = cls.parse(text, WITHIN_OUTCOME, "a tolerance")
        if parsed.value < 0:
            raise ValueError(f"a tolerance must be >= 0, not {parsed.value!r}")
        return parsed

    def __str__(self):
        return f"{self.value:g}" if self.outcome == DEFAULT_OUTCOME else f"{self.outcome}:{self.value:g}"


def _finite_threshold(value, what="a threshold"):
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ValueError(f"{what} must be a finite number, not {value!r}")
    return float(value)


class Reporting(NamedTuple):
    """The confidence level, percentiles, thresholds and tolerances of a
    summary: a study's (``Study.reporting``), a result's
    (``DispersionResult.reporting``, which may be replaced) and a
    comparison's. An immutable value; :meth:`make` checks the choices.

    Attributes
    ----------
    level : float
        The confidence level of every interval, in (0, 1); default 0.95.
    percentiles : tuple of float
        The percentiles reported, in (0, 100), increasing; default 1, 5,
        50, 95, 99.
    thresholds : tuple
        The thresholds H of P(outcome > H) and P(outcome < H), each an
        (outcome, value) pair.
    within : tuple
        The tolerances TOL of ``P(|outcome| <= TOL)``, each an (outcome,
        value) pair.
    """

    level: float = DEFAULT_LEVEL
    percentiles: tuple = DEFAULT_PERCENTILES
    thresholds: tuple = ()
    within: tuple = ()

    @classmethod
    def make(cls, level=None, percentiles=None, thresholds=None, within=None, defaults=None):
        """Checked choices; what is None comes from `defaults`.

        Parameters
        ----------
        level : float, optional
            The confidence level, in (0, 1).
        percentiles : iterable of float, optional
            The percentiles, each in (0, 100); sorted, repeats dropped.
        thresholds : iterable, optional
            Thresholds "H" (of the apogee) or "OUTCOME:H", or numbers.
        within : iterable, optional
            Tolerances "TOL" (of the miss) or "OUTCOME:TOL", each >= 0.
        defaults : Reporting, optional
            Where what is not given comes from (default: the defaults above).

        Returns
        -------
        Reporting

        Raises
        ------
        ValueError
            A level outside (0, 1), a percentile outside (0, 100), no
            percentile, a threshold or tolerance that is not a finite number
            (or is negative, for a tolerance).

        Examples
        --------
        >>> from aeso_dispersion.summary import Reporting
        >>> Reporting.make(0.9, [99, 50], ["3048"]).percentiles
        (50.0, 99.0)
        """
        defaults = defaults or cls()
        level = defaults.level if level is None else check_level(level)
        if percentiles is None:
            percentiles = defaults.percentiles
        else:
            percentiles = tuple(sorted({check_percentile(p) for p in percentiles}))
            if not percentiles:
                raise ValueError("give at least one percentile")
        thresholds = defaults.thresholds if thresholds is None else \
            tuple(dict.fromkeys(t if isinstance(t, Threshold) else Threshold.parse(t) for t in thresholds))
        within = defaults.within if within is None else \
            tuple(dict.fromkeys(t if isinstance(t, Threshold) else Threshold.tolerance(t) for t in within))
        return cls(level, percentiles, thresholds, within)

    def thresholds_of(self, outcome):
        """The thresholds of one outcome.

        Parameters
        ----------
        outcome : str
            The outcome, by name.

        Returns
        -------
        list of float
        """
        return [t.value for t in self.thresholds if t.outcome == outcome]

    def within_of(self, outcome):
        """The tolerances of ``P(|outcome| <= TOL)`` of one outcome (by
        name, as for :meth:`thresholds_of`).

        Parameters
        ----------
        outcome : str

        Returns
        -------
        list of float
        """
        return [t.value for t in self.within if t.outcome == outcome]


def level_label(level):
    return f"{100 * level:g} %"


def statistics(outcomes, reporting):
    """{outcome: describe(...)} of each outcome's values ({name: values},
    NaN for a failed run)."""
    return {name: describe(values, reporting.percentiles, reporting.thresholds_of(name), reporting.level,
                           reporting.within_of(name))
            for name, values in outcomes.items()}


def value_text(x, digits):
    if math.isfinite(x):
        return f"{x:.{digits}f}"
    return "nan" if math.isnan(x) else ("-inf" if x < 0 else "inf")


def interval_text(interval, digits):
    return f"{value_text(interval.low, digits)} to {value_text(interval.high, digits)}"


def format_intervals(stats, level, labels, digits=3):
    """The confidence intervals of the mean and the percentiles, one column
    per outcome ({name: describe(...)}, headed by labels[name]), then each
    threshold probability with its interval."""
    names = [name for name in stats if stats[name]["n"]]
    if not names:
        return []
    rows = [("mean", [stats[name]["mean"] for name in names])]
    rows += [(label, [stats[name]["percentiles"][label] for name in names])
             for label in stats[names[0]]["percentiles"]]
    cells = [[interval_text(interval, digits) for interval in row] for _, row in rows]
    widths = [max(len(labels.get(name, name)), *(len(line[j]) for line in cells)) for j, name in enumerate(names)]
    lines = [f"{level_label(level)} confidence intervals",
             "        " + "".join(f"  {labels.get(name, name):>{w}}" for name, w in zip(names, widths))]
    lines += [f"  {label:<6}" + "".join(f"  {cell:>{w}}" for cell, w in zip(line, widths))
              for (label, _), line in zip(rows, cells)]
    for name in names:
        for h, both in stats[name]["thresholds"].items():
            for sign, interval in ((">", both["above"]), ("<", both["below"])):
                lines.append(f"  P({name} {sign} {h:g}) = {value_text(interval.estimate, 4)}  "
                             f"({interval_text(interval, 4)})")
        for tolerance, interval in stats[name]["within"].items():
            lines.append(f"  P(|{name}| <= {tolerance:g}) = {value_text(interval.estimate, 4)}  "
                         f"({interval_text(interval, 4)})")
    return lines


def format_stopping(outcome, level, n=None):
    """The line on the stopping rule: met or not, at which n, how precise;
    and when the study kept more runs (`n`, those of a resumed file), a
    line that says so."""
    if outcome is None:
        return []
    last = outcome.interval
    digits = 4 if outcome.rule.statistic.is_probability else 3
    if last is None:
        return [f"until {outcome.rule}: no round finished"]
    state = f"met at n = {outcome.n}" if outcome.met else f"not met by n = {outcome.n} (the maximum)"
    lines = [f"until {outcome.rule}: {state}: {outcome.rule.statistic.label} "
             f"{value_text(last.estimate, digits)}, {level_label(level)} interval {interval_text(last, digits)} "
             f"(half-width {value_text(float(last.half_width), digits)}, tolerance {outcome.rule.tolerance:g})"]
    if n is not None and n > outcome.n:
        lines.append(f"  the results file held {n} finished runs: all are kept, and the statistics above "
                     f"cover them all")
    return lines


def document(result, version, sensitivity="apogee"):
    """Everything the summary says, as a plain document for the JSON file,
    with the sensitivity of the outcome `sensitivity`."""
    reporting = result.reporting
    stats = result.statistics()
    outcome = result.stopping
    failures = [{"reason": reason, "count": count} for reason, count in result.failure_counts().items()]
    indices = result.variance_indices(sensitivity)
    return {
        "format": "aeso-dispersion summary", "version": version,
        "seed": result.seed, "n": result.n, "block_size": result.study.block_size,
        "backend": result.backend, "workers": result.workers, "elapsed_s": result.elapsed,
        "confidence": reporting.level, "percentiles": list(reporting.percentiles),
        "succeeded": int(result.n - result.failed.sum()), "failed": int(result.failed.sum()),
        "failed_fraction": result.failed_fraction, "failures": failures,
        "outcomes": {name: {
            "n": s["n"], "unit": UNITS[name], "mean": s["mean"], "std": s["std"],
            "min": s["min"], "max": s["max"],
            "percentiles": {label: s["percentiles"][label] for label in s["percentiles"]},
            "thresholds": [{"value": h, "above": both["above"], "below": both["below"]}
                           for h, both in s["thresholds"].items()],
            "within": [{"tolerance": tolerance, "probability": interval}
                       for tolerance, interval in s["within"].items()],
        } for name, s in stats.items()},
        "stopping": None if outcome is None else {
            "rule": str(outcome.rule), "statistic": outcome.rule.statistic.label,
            "tolerance": outcome.rule.tolerance, "met": outcome.met, "n": outcome.n,
            "interval": outcome.interval,
            "half_width": None if outcome.interval is None else float(outcome.interval.half_width),
            "checkpoints": [{"n": c.n, "interval": c.interval, "met": c.met} for c in outcome.checkpoints],
        },
        "sensitivity_outcome": sensitivity,
        "sensitivity": [{"rank": rank, "input": name, "spearman": rho, "first_order": indices[name].estimate,
                         "first_order_standard_error": indices[name].standard_error}
                        for rank, (name, rho) in enumerate(result.sensitivity(sensitivity), 1)],
        "correlation": None if result.study.correlation is None else {
            "inputs": list(result.study.correlation.names),
            "rank_correlation": result.study.correlation.matrix.tolist(),
        },
    }

