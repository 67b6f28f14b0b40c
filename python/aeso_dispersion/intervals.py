"""Confidence intervals of the statistics a study reports.

- A percentile's interval lies between two order statistics whose ranks are
  chosen from the binomial distribution of the number of samples below the
  true percentile: it holds whatever the distribution of the values, and its
  coverage is at least the level (exact, hence a little conservative).
- The mean's interval is Student's t interval.
- The probability that a value lies beyond a threshold gets the exact
  binomial (Clopper-Pearson) interval.
- The difference of two probabilities measured on the same pairs (two
  designs flown on common draws) gets Newcombe's hybrid score interval for
  paired proportions (his method 10, from the Wilson intervals of each and
  the correlation of the pairs, its cross product continuity-corrected),
  which keeps its coverage when the designs disagree on few pairs.

Every interval is an `Interval(estimate, low, high)`. Where the samples are
too few to bound a side at the requested level (say p99 of 100 values, or
anything of one value) that side is -inf or +inf: the interval says so
instead of pretending. The functions take NumPy arrays and work along the
last axis, so many repetitions can be treated in one call.

These need SciPy (the `dispersion` extra).
"""

import math
from typing import NamedTuple

import numpy as np

from .errors import require

DEFAULT_LEVEL = 0.95
DEFAULT_PERCENTILES = (1.0, 5.0, 50.0, 95.0, 99.0)


def _stats():
    return require("scipy.stats", "dispersion", "confidence intervals")


class Interval(NamedTuple):
    """A point estimate and the bounds of its confidence interval: what the
    statistics of a result or a comparison are. An immutable value.

    Attributes
    ----------
    estimate : float
        The estimate (NaN without one, as with no successful run).
    low, high : float
        The bounds of the interval; -inf or inf where the runs are too few
        to bound that side.
    """

    estimate: float
    low: float
    high: float

    @property
    def half_width(self):
        """The larger distance from the estimate to either bound: the "±"
        of the interval (intervals of percentiles and probabilities need not
        be symmetric). +inf when a side is unbounded, NaN without estimate."""
        return np.maximum(np.subtract(self.estimate, self.low), np.subtract(self.high, self.estimate))

    def as_floats(self):
        """The interval with Python floats (rather than NumPy scalars).

        Returns
        -------
        Interval
        """
        return Interval(float(self.estimate), float(self.low), float(self.high))


def check_level(level):
    """The confidence level as a float in (0, 1), or ValueError."""
    if isinstance(level, bool) or not isinstance(level, (int, float, np.floating)):
        raise ValueError(f"the confidence level must be a number, not {type(level).__name__}")
    level = float(level)
    if not 0.0 < level < 1.0:
        raise ValueError(f"the confidence level must lie strictly between 0 and 1, got {level!r}")
    return level


def check_percentile(p):
    """A percentile as a float in (0, 100), or ValueError."""
    if isinstance(p, bool) or not isinstance(p, (int, float, np.integer, np.floating)):
        raise ValueError(f"a percentile must be a number, not {type(p).__name__}")
    p = float(p)
    if not 0.0 < p < 100.0:
        raise ValueError(f"a percentile must lie strictly between 0 and 100, got {p!r}")
    return p


def order_statistic_ranks(n, q, level=DEFAULT_LEVEL):
    """Ranks (1-based) of the order statistics that bound the q-quantile of
    n values with confidence at least `level`.

    With K ~ Binomial(n, q) the number of values at or below the true
    quantile, the lower rank l is the largest with P(K < l) <= (1-level)/2
    and the upper rank u the smallest with P(K >= u) <= (1-level)/2, so
    P(x_(l) <= quantile <= x_(u)) >= level. l = 0 means the lower side cannot
    be bounded (-inf), u = n + 1 the upper side (+inf).
    """
    binom = _stats().binom
    n = int(n)
    if n <= 0:
        return 0, 1
    tail = (1.0 - level) / 2.0
    # j = l - 1: the largest j >= -1 with P(K <= j) <= tail.
    j = int(binom.ppf(tail, n, q))
    while j >= 0 and binom.cdf(j, n, q) > tail:
        j -= 1
    while j + 1 <= n and binom.cdf(j + 1, n, q) <= tail:
        j += 1
    # m = u - 1: the smallest m >= 0 with P(K > m) <= tail (m = n always is).
    m = int(binom.ppf(1.0 - tail, n, q))
    while m > 0 and binom.sf(m - 1, n, q) <= tail:
        m -= 1
    while binom.sf(m, n, q) > tail:
        m += 1
    return j + 1, m + 1


def rank_coverage(n, q, low_rank, high_rank):
    """The exact probability that order statistics low_rank and high_rank
    of n values from a continuous distribution enclose its q-quantile
    (rank 0 and n + 1 stand for -inf and +inf)."""
    binom = _stats().binom
    return float(binom.cdf(high_rank - 1, n, q) - binom.cdf(low_rank - 1, n, q))


def _unknown(shape):
    """No values: no estimate, nothing bounded."""
    return Interval(np.full(shape, math.nan)[()], np.full(shape, -math.inf)[()],
                    np.full(shape, math.inf)[()])


def _order_statistic(ordered, rank, sign):
    n = ordered.shape[-1]
    if 1 <= rank <= n:
        return ordered[..., rank - 1][()]
    return np.full(ordered.shape[:-1], sign * math.inf)[()]


def percentile_interval(ordered, p, level=DEFAULT_LEVEL):
    """Interval of percentile p (0 < p < 100) of sorted values (last axis).

    The estimate is NumPy's default (linear interpolation) percentile, the
    bounds are order statistics (see order_statistic_ranks), moved out to
    the estimate where it lies beyond one. No values give a NaN estimate and
    an unbounded interval."""
    ordered = np.asarray(ordered, dtype=np.float64)
    n = ordered.shape[-1]
    if n == 0:
        return _unknown(ordered.shape[:-1])
    low_rank, high_rank = order_statistic_ranks(n, p / 100.0, level)
    estimate = np.percentile(ordered, p, axis=-1)[()]
    # With few values the interpolated estimate can fall outside the
    # bounding order statistics (p99.9 of 20 values lies below the largest,
    # the only lower bound): the interval is widened to hold it.
    return Interval(estimate, np.minimum(_order_statistic(ordered, low_rank, -1.0), estimate)[()],
                    np.maximum(_order_statistic(ordered, high_rank, +1.0), estimate)[()])


def mean_interval(values, level=DEFAULT_LEVEL):
    """Student's t interval of the mean of values (last axis); unbounded
    with fewer than two values."""
    values = np.asarray(values, dtype=np.float64)
    n = values.shape[-1]
    if n == 0:
        return _unknown(values.shape[:-1])
    mean = values.mean(axis=-1)[()]
    if n < 2:
        return Interval(mean, mean - math.inf, mean + math.inf)
    t = float(_stats().t.ppf(0.5 + level / 2.0, n - 1))
    margin = t * values.std(axis=-1, ddof=1) / math.sqrt(n)
    return Interval(mean, mean - margin, mean + margin)


def proportion_interval(k, n, level=DEFAULT_LEVEL):
    """Clopper-Pearson interval of a probability from k successes in n
    trials (k may be an array). n = 0 gives a NaN estimate and [0, 1]."""
    beta = _stats().beta
    k = np.asarray(k, dtype=np.float64)
    if n == 0:
        return Interval(np.full(k.shape, math.nan)[()], np.zeros(k.shape)[()], np.ones(k.shape)[()])
    tail = (1.0 - level) / 2.0
    # Parameters kept valid where the closed form (0 or 1) applies.
    low = np.where(k > 0, beta.ppf(tail, np.maximum(k, 1.0), n - k + 1.0), 0.0)
    high = np.where(k < n, beta.ppf(1.0 - tail, k + 1.0, np.maximum(n - k, 1.0)), 1.0)
    return Interval((k / n)[()], low[()], high[()])


def threshold_interval(values, threshold, above=True, level=DEFAULT_LEVEL):
    """Interval of P(value > threshold) (or P(value < threshold) with
    above=False) from values along the last axis."""
    values = np.asarray(values, dtype=np.float64)
    beyond = values > threshold if above else values < threshold
    return proportion_interval(np.count_nonzero(beyond, axis=-1), values.shape[-1], level)


def within_interval(values, tolerance, level=DEFAULT_LEVEL):
    """Interval of P(|value| <= tolerance) from values along the last axis."""
    values = np.asarray(values, dtype=np.float64)
    return proportion_interval(np.count_nonzero(np.abs(values) <= tolerance, axis=-1), values.shape[-1], level)


def _corrected(cross, n):
    """The continuity correction of the cross product ad - bc of a paired
    table of n pairs, as phi takes it in Newcombe's method: less n/2 when
    it exceeds n/2, 0 from 0 to n/2, unchanged when negative."""
    if cross > n / 2:
        return cross - n / 2
    return 0 if cross >= 0 else cross


def paired_difference_interval(a, b, level=DEFAULT_LEVEL):
    """Interval of P(b) - P(a) from paired booleans `a` and `b` (1-D, the
    same pairs): Newcombe's hybrid score interval (Statistics in Medicine
    17, 1998, method 10), with the continuity correction of phi's ad - bc
    (as in Altman et al., Statistics with Confidence, 2000). NaN estimate
    and [-1, 1] without pairs."""
    stats = _stats()
    a, b = np.asarray(a, dtype=bool), np.asarray(b, dtype=bool)
    n = a.size
    if n == 0:
        return Interval(math.nan, -1.0, 1.0)
    both, only_b, only_a = (int(np.count_nonzero(x)) for x in (a & b, b & ~a, a & ~b))
    neither = n - both - only_b - only_a
    pb, pa = (both + only_b) / n, (both + only_a) / n

    def wilson(k):
        ci = stats.binomtest(k, n).proportion_ci(confidence_level=level, method="wilson")
        return ci.low, ci.high

    lb, ub = wilson(both + only_b)
    la, ua = wilson(both + only_a)
    margins = (both + only_b) * (only_a + neither) * (both + only_a) * (only_b + neither)
    phi = _corrected(both * neither - only_b * only_a, n) / math.sqrt(margins) if margins else 0.0
    below = math.sqrt(max(0.0, (pb - lb) ** 2 - 2 * phi * (pb - lb) * (ua - pa) + (ua - pa) ** 2))
    above = math.sqrt(max(0.0, (ub - pb) ** 2 - 2 * phi * (ub - pb) * (pa - la) + (pa - la) ** 2))
    difference = pb - pa
    return Interval(difference, max(-1.0, difference - below), min(1.0, difference + above))


def percentile_label(p):
    """p99, p2.5, p99.9: the name of percentile p in summaries and rules."""
    return f"p{p:g}"


def describe(values, percentiles=DEFAULT_PERCENTILES, thresholds=(), level=DEFAULT_LEVEL, within=()):
    """Every statistic of one outcome with its interval, as a dict:

    n, mean (Interval), std, min, max, percentiles {label: Interval}, per
    threshold h "P(>h)" and "P(<h)" (Interval) in `thresholds`
    {h: {"above": Interval, "below": Interval}}, and per tolerance t
    P(|value| <= t) in `within` {t: Interval}. NaN values are left out
    (the failed runs); the caller counts those."""
    values = np.asarray(values, dtype=np.float64)
    values = values[~np.isnan(values)]
    ordered = np.sort(values)
    n = values.size
    out = {
        "n": int(n),
        # In sample order, as NumPy and a stopping rule on the mean sum them.
        "mean": mean_interval(values, level).as_floats(),
        "std": float(values.std(ddof=1)) if n > 1 else math.nan,
        "min": float(ordered[0]) if n else math.nan,
        "max": float(ordered[-1]) if n else math.nan,
        "percentiles": {percentile_label(p): percentile_interval(ordered, p, level).as_floats()
                        for p in percentiles},
        "thresholds": {float(h): {"above": threshold_interval(values, h, True, level).as_floats(),
                                  "below": threshold_interval(values, h, False, level).as_floats()}
                       for h in thresholds},
        "within": {float(t): within_interval(values, t, level).as_floats() for t in within},
    }
    return out
