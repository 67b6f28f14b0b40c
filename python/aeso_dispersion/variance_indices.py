"""First-order variance-based sensitivity indices from the study's samples.

The first-order index of input X on output Y is S = Var(E[Y | X]) / Var(Y):
the share of Y's variance that X explains on its own, whatever the shape of
the dependence (a rank correlation misses an effect that is not monotone,
such as Y = X^2). It is estimated without further runs: the samples are put
into bins of equal count by their value of X, and the spread of Y's bin
means measures Var(E[Y | X]).

The plain ratio of between-bin to total sum of squares is biased upwards
by about (bins - 1) / n (bin means of an input without effect still
scatter); the estimator here subtracts that part, as the omega-squared
statistic of a one-way analysis of variance does:

    S = (SSB - (B - 1) MSW) / (SST + MSW)

with SSB, SST the between-bin and total sums of squares and MSW the
within-bin mean square. Bins also smooth E[Y | X] within each bin, which
biases S downwards by a share of order 1/B^2 for a smooth dependence. The
standard error is the delete-a-group jackknife over GROUPS groups of
consecutive samples, with the bins kept fixed, which costs one pass over
the data. With correlated inputs an index also carries the effect of the
inputs correlated with X; with independent inputs the indices add up to at
most about 1, and the rest is the share of interactions.
"""

import math
from typing import NamedTuple

import numpy as np

# Fewer samples than this per input give no index (NaN).
MIN_SAMPLES = 100
MAX_BINS = 50
GROUPS = 20


class Index(NamedTuple):
    """A first-order index and its standard error."""

    estimate: float
    standard_error: float


def default_bins(n):
    """Bins for n samples: about sqrt(n) / 2, from 5 to MAX_BINS."""
    return int(min(MAX_BINS, max(5, math.isqrt(n) // 2)))


def _omega_squared(counts, sums, total_sq):
    """The estimator from per-bin counts and sums (last axis: bins) and the
    total sum of squares of Y (centred), for one or several subsets."""
    n = counts.sum(axis=-1)
    s = sums.sum(axis=-1)
    filled = counts > 0
    bins = filled.sum(axis=-1)
    between = (np.divide(sums**2, counts, out=np.zeros_like(sums), where=filled).sum(axis=-1)
               - s**2 / n)
    total = total_sq - s**2 / n
    within_mean_square = (total - between) / (n - bins)
    return (between - (bins - 1) * within_mean_square) / (total + within_mean_square)


def first_order_index(x, y, bins=None, groups=GROUPS):
    """Index(estimate, standard_error) of input values x on outputs y;
    NaN with fewer than MIN_SAMPLES values or when x or y does not vary."""
    x = np.asarray(x, dtype=np.float64)
    y = np.asarray(y, dtype=np.float64)
    n = y.size
    if n < MIN_SAMPLES or not np.ptp(x) > 0 or not np.ptp(y) > 0:
        return Index(math.nan, math.nan)
    bins = bins or default_bins(n)
    # Equal-count bins by rank; tied values share a bin.
    below = np.searchsorted(np.sort(x), x, side="left")
    which = below * bins // n
    group = np.arange(n) * groups // n
    y = y - y.mean()
    cell = group * bins + which
    counts = np.bincount(cell, minlength=groups * bins).reshape(groups, bins).astype(np.float64)
    sums = np.bincount(cell, weights=y, minlength=groups * bins).reshape(groups, bins)
    squares = np.bincount(group, weights=y * y, minlength=groups)
    estimate = float(_omega_squared(counts.sum(axis=0), sums.sum(axis=0), squares.sum()))
    # Leave each group out in turn.
    partial = _omega_squared(counts.sum(axis=0) - counts, sums.sum(axis=0) - sums,
                             squares.sum() - squares)
    spread = float(((partial - partial.mean())**2).sum())
    return Index(estimate, math.sqrt((groups - 1) / groups * spread))
