"""Stopping a study once a statistic is known precisely enough.

A rule reads STAT=TOL. STAT is one of

    mean            the mean apogee
    p99, p2.5       a percentile of the apogee
    P(apogee>3048)  the probability that the apogee exceeds 3048 m
    P(apogee<2000)  ... or falls short of 2000 m
    P(|miss|<=10)   the probability that a controlled flight's apogee lies
                    within 10 m of its target

and the mean and percentiles may name another per-run outcome in
parentheses: p99(time_of_apogee). The rule is met when the half-width of
the statistic's confidence interval (the larger distance from the estimate
to either bound, see Interval.half_width) is at most TOL, in the outcome's
unit (a probability for P(...)).

The study runs in rounds: the rule is checked after the sample counts of
`round_ends`, a pure function of the maximum n and the block size, each time
on all samples before that count (in sample order). The samples that decide
are thus the same on every backend and worker count, and so are the stop n
and every result.

Checking a rule after every round and stopping at the first success is a
sequential procedure: the interval reported at the stop covers a little
less often than a fixed-n interval would. The first check comes after
FIRST_ROUND_SAMPLES samples and later checks only after the sample count
has grown by ROUND_GROWTH, which keeps the number of looks (about 25 from
10^3 to 10^6 samples) and with it that effect small.
"""

import math
import re
from typing import NamedTuple

import numpy as np

from .intervals import (DEFAULT_LEVEL, Interval, check_percentile, mean_interval,
                        percentile_interval, percentile_label, threshold_interval, within_interval)

DEFAULT_OUTCOME = "apogee"
# The outcome of a tolerance given as a number alone (--within 10).
WITHIN_OUTCOME = "miss"
# The first check of a rule comes after this many samples (rounded up to
# whole blocks), or at n when n is smaller.
FIRST_ROUND_SAMPLES = 1000
# Each further round ends at the block count of the previous one times 5/4
# (rounded up, at least one block more).
ROUND_GROWTH = (5, 4)

_NUMBER = r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?"
_NAME = r"[A-Za-z_][A-Za-z0-9_]*"
_STATISTIC = re.compile(
    rf"^(?:(?P<stat>mean|p(?P<p>{_NUMBER}))(?:\(\s*(?P<outcome>{_NAME})\s*\))?"
    rf"|P\(\s*(?P<pout>{_NAME})\s*(?P<op>[<>])\s*(?P<h>{_NUMBER})\s*\)"
    rf"|P\(\s*\|\s*(?P<wout>{_NAME})\s*\|\s*<=\s*(?P<tol>{_NUMBER})\s*\))$")


class Statistic(NamedTuple):
    """One reported statistic of one outcome: the statistic of a stopping
    rule or of a convergence figure. An immutable value.

    Attributes
    ----------
    kind : str
        "mean", "percentile", "above" or "below" (the probability that the
        outcome exceeds or falls short of a threshold), or "within" (the
        probability that the outcome's absolute value is at most a
        tolerance).
    outcome : str
        The outcome, by name.
    value : float
        The percentile, the threshold or the tolerance (NaN for the mean).
    """

    kind: str
    outcome: str
    value: float = math.nan

    @classmethod
    def parse(cls, text):
        """Reads a statistic as a stopping rule names it.

        Parameters
        ----------
        text : str
            mean, p99, p99(time_of_apogee), P(apogee>3048), P(apogee<2000)
            or ``P(|miss|<=10)``.

        Returns
        -------
        Statistic

        Raises
        ------
        ValueError
            Not a statistic, or a percentile outside (0, 100), a threshold
            that is not finite, a negative tolerance.
        """
        match = _STATISTIC.match(text.strip())
        if match is None:
            raise ValueError(f"unknown statistic {text.strip()!r} (expected mean, pNN, "
                             f"pNN(OUTCOME), P(OUTCOME>VALUE), P(OUTCOME<VALUE) or P(|OUTCOME|<=TOL))")
        if match["wout"]:
            tolerance = float(match["tol"])
            if not (math.isfinite(tolerance) and tolerance >= 0):
                raise ValueError(f"the tolerance of {text.strip()!r} must be a finite number >= 0")
            return cls("within", match["wout"], tolerance)
        if match["op"]:
            h = float(match["h"])
            if not math.isfinite(h):
                raise ValueError(f"the threshold of {text.strip()!r} must be finite")
            return cls("above" if match["op"] == ">" else "below", match["pout"], h)
        outcome = match["outcome"] or DEFAULT_OUTCOME
        if match["stat"] == "mean":
            return cls("mean", outcome)
        return cls("percentile", outcome, check_percentile(float(match["p"])))

    @property
    def is_probability(self):
        """Whether the statistic is a probability (kinds "above", "below"
        and "within")."""
        return self.kind in ("above", "below", "within")

    @property
    def label(self):
        """The statistic as the summary names it: "p99", "mean",
        "P(apogee>3048)", "p50(time_of_apogee)"."""
        if self.kind == "within":
            return f"P(|{self.outcome}|<={self.value:g})"
        if self.kind == "above":
            return f"P({self.outcome}>{self.value:g})"
        if self.kind == "below":
            return f"P({self.outcome}<{self.value:g})"
        name = "mean" if self.kind == "mean" else percentile_label(self.value)
        return name if self.outcome == DEFAULT_OUTCOME else f"{name}({self.outcome})"

    def interval(self, values, level=DEFAULT_LEVEL):
        """The statistic with its confidence interval over some values.

        Parameters
        ----------
        values : array_like
            The outcome's values; NaN values (failed runs) are left out.
        level : float, default 0.95
            The confidence level.

        Returns
        -------
        Interval

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.
        """
        values = np.asarray(values, dtype=np.float64)
        values = values[~np.isnan(values)]
        if self.kind == "mean":
            return mean_interval(values, level).as_floats()
        if self.kind == "percentile":
            return percentile_interval(np.sort(values), self.value, level).as_floats()
        if self.kind == "within":
            return within_interval(values, self.value, level).as_floats()
        return threshold_interval(values, self.value, self.kind == "above", level).as_floats()


class StoppingRule(NamedTuple):
    """Stop once the statistic's interval lies within ± `tolerance` of its
    estimate (``--until STAT=TOL``). An immutable value.

    Attributes
    ----------
    statistic : Statistic
        The statistic, a :class:`~aeso_dispersion.stopping.Statistic`.
    tolerance : float
        The largest half-width of its interval that meets the rule, in the
        outcome's unit (a probability for a probability).
    """

    statistic: Statistic
    tolerance: float

    @classmethod
    def parse(cls, text):
        """Reads a rule as ``--until`` gives it.

        Parameters
        ----------
        text : str
            STAT=TOL, for example p99=1.0 or P(apogee>3048)=0.005.

        Returns
        -------
        StoppingRule

        Raises
        ------
        ValueError
            Not STAT=TOL, an unknown statistic, or a tolerance that is not
            a positive finite number.
        """
        stat, sep, tol = text.rpartition("=")
        if stat.endswith("<"):  # P(|miss|<=10) alone: no tolerance of the rule
            stat, sep, tol = text, "", ""
        if not sep or not stat.strip():
            raise ValueError(f"a stopping rule reads STAT=TOL (e.g. p99=1.0), not {text!r}")
        try:
            tolerance = float(tol)
        except ValueError:
            raise ValueError(f"the tolerance of {text!r} is not a number: {tol.strip()!r}") from None
        if not (math.isfinite(tolerance) and tolerance > 0):
            raise ValueError(f"the tolerance of {text!r} must be a positive finite number")
        return cls(Statistic.parse(stat), tolerance)

    def __str__(self):
        return f"{self.statistic.label}={self.tolerance:g}"

    def check(self, values, level=DEFAULT_LEVEL):
        """Whether the rule holds over some values.

        Parameters
        ----------
        values, level
            As for :meth:`Statistic.interval`.

        Returns
        -------
        tuple of (Interval, bool)
            The statistic's interval, and whether the rule is met.

        Raises
        ------
        MissingExtra
            SciPy (the ``dispersion`` extra) is not installed.
        """
        interval = self.statistic.interval(values, level)
        return interval, bool(interval.half_width <= self.tolerance)


def round_ends(n_max, block_size, first_samples=FIRST_ROUND_SAMPLES):
    """The increasing sample counts after which a rule is checked; the last
    is n_max. Every count but the last is a whole number of blocks."""
    if n_max <= 0 or block_size <= 0:
        raise ValueError(f"need n_max > 0 and block_size > 0, got {n_max}, {block_size}")
    total_blocks = -(-n_max // block_size)
    blocks = max(1, -(-first_samples // block_size))
    grow, by = ROUND_GROWTH
    ends = []
    while blocks < total_blocks:
        ends.append(blocks * block_size)
        blocks = max(blocks + 1, -(-blocks * grow // by))
    ends.append(n_max)
    return ends


class Checkpoint(NamedTuple):
    """A stopping rule's statistic after the first `n` samples, as the
    rule checked it. An immutable value.

    Attributes
    ----------
    n : int
        The samples checked (the first n).
    interval : Interval
        The statistic with its interval over them, an
        :class:`~aeso_dispersion.intervals.Interval`.
    met : bool
        Whether the rule held there.
    """

    n: int
    interval: Interval
    met: bool


class Outcome(NamedTuple):
    """How a study with a stopping rule ended (``DispersionResult.stopping``).
    An immutable value.

    Attributes
    ----------
    rule : StoppingRule
        The rule, a :class:`~aeso_dispersion.stopping.StoppingRule`.
    met : bool
        Whether the rule held when the study stopped.
    n : int
        The stop n: where the rule was first met, else the maximum. The
        study keeps the first n samples, or more when a resumed results
        file held more.
    checkpoints : tuple of Checkpoint
        The rule's statistic after each round, up to the last (each a
        :class:`~aeso_dispersion.stopping.Checkpoint`).
    """

    rule: StoppingRule
    met: bool
    n: int
    checkpoints: tuple

    @property
    def interval(self):
        """The statistic's interval at the last checkpoint (None without
        one)."""
        return self.checkpoints[-1].interval if self.checkpoints else None


class Tracker:
    """Checks a rule on a growing prefix of samples in sample order.

    Call `advance(values)` with the outcome values of the samples finished
    so far without gap (NaN for a failed run); it checks every round end
    the prefix has reached and returns the stop n once the rule is met (or
    n_max is reached), else None."""

    def __init__(self, rule, n_max, block_size, level=DEFAULT_LEVEL,
                 first_samples=FIRST_ROUND_SAMPLES):
        self.rule, self.level = rule, level
        self.ends = round_ends(n_max, block_size, first_samples)
        self.checkpoints = []
        self.stop = None

    @property
    def next_end(self):
        return self.ends[len(self.checkpoints)] if self.stop is None else None

    def advance(self, values):
        while self.stop is None and len(values) >= self.next_end:
            end = self.next_end
            interval, met = self.rule.check(values[:end], self.level)
            self.checkpoints.append(Checkpoint(end, interval, met))
            if met or end == self.ends[-1]:
                self.stop = end
        return self.stop

    def outcome(self):
        last = self.checkpoints[-1] if self.checkpoints else None
        return Outcome(self.rule, bool(last and last.met), self.stop or 0, tuple(self.checkpoints))


def apply_rule(rule, values, n_max, block_size, level=DEFAULT_LEVEL,
               first_samples=FIRST_ROUND_SAMPLES):
    """The Outcome of `rule` over values already in hand, in sample order
    (values beyond n_max are ignored)."""
    tracker = Tracker(rule, n_max, block_size, level, first_samples)
    tracker.advance(np.asarray(values, dtype=np.float64)[:n_max])
    return tracker.outcome()
