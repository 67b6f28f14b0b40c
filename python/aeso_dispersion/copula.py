"""Correlated inputs through a Gaussian copula.

The user gives the rank (Spearman) correlation between named inputs. Each
correlated input is drawn as a standard normal variable from its own
stream; the variables of a group are mixed by the Cholesky factor of their
normal correlation, and each input's value is its own distribution's
quantile of the mixed variable. Every input thus keeps its own distribution
while the group gets the requested rank correlation: for normal variables of
correlation r the rank correlation is (6/pi) asin(r/2), so the normal
correlation used is r = 2 sin(pi rho / 6).

The arithmetic is written out element by element (no BLAS call whose
summation order could differ between builds), so the same draws give the
same bits everywhere.
"""

import math
from typing import NamedTuple

import numpy as np

from .distributions import LOGNORMAL, NORMAL, TRIANGULAR, UNIFORM
from .errors import require
from .streams import input_rng

# Entries of a factor's diagonal below this count as zero: the matrix is
# singular there and that input is a combination of the ones before it.
SINGULAR = 1e-12


class CorrelationError(ValueError):
    """A matrix that is not a valid correlation matrix, with the reason."""


def check_correlation(names, matrix):
    """Checks a rank-correlation matrix between the named inputs and returns
    it as a float64 array. Refuses, with the reason, a matrix of the wrong
    shape, with repeated names, non-finite entries, entries outside [-1, 1],
    a diagonal other than 1, asymmetry, or one that is not positive
    semi-definite (neither as given nor once turned into the normal
    correlation the copula uses)."""
    names = tuple(names)
    if len(set(names)) != len(names):
        raise CorrelationError(f"an input is named twice: {', '.join(names)}")
    for i, row in enumerate(matrix if isinstance(matrix, (list, tuple, np.ndarray)) else ()):
        for j, entry in enumerate(row if isinstance(row, (list, tuple, np.ndarray)) else ()):
            if isinstance(entry, (bool, np.bool_)) or not isinstance(entry, (int, float, np.number)):
                raise CorrelationError(f"entries must be numbers, not {type(entry).__name__} "
                                       f"({entry!r} at row {i + 1}, column {j + 1})")
    try:
        m = np.array(matrix, dtype=np.float64)
    except (TypeError, ValueError):
        raise CorrelationError("the matrix must be a square table of numbers") from None
    k = len(names)
    if m.shape != (k, k):
        raise CorrelationError(f"the matrix must be {k} x {k} for {k} inputs, not "
                               f"{' x '.join(map(str, m.shape)) or 'a number'}")
    if not np.isfinite(m).all():
        raise CorrelationError("every entry must be finite")
    if np.any(np.diag(m) != 1.0):
        i = int(np.flatnonzero(np.diag(m) != 1.0)[0])
        raise CorrelationError(f"the diagonal must be 1 ({names[i]} has {m[i, i]:g})")
    if np.any(np.abs(m) > 1.0):
        i, j = map(int, np.argwhere(np.abs(m) > 1.0)[0])
        raise CorrelationError(f"entries must lie in [-1, 1] ({names[i]}, {names[j]}: {m[i, j]:g})")
    if np.any(m != m.T):
        i, j = map(int, np.argwhere(m != m.T)[0])
        raise CorrelationError(f"the matrix must be symmetric ({names[i]}, {names[j]}: "
                               f"{float(m[i, j])!r} but {names[j]}, {names[i]}: {float(m[j, i])!r})")
    for what, candidate in (("", m), (" once turned into the normal correlation of the copula",
                                      normal_correlation(m))):
        smallest = float(np.linalg.eigvalsh(candidate)[0])
        if smallest < -SINGULAR * k:
            raise CorrelationError(f"the matrix is not positive semi-definite{what} (smallest "
                                   f"eigenvalue {smallest:.3g}): these correlations cannot "
                                   f"hold together")
    cholesky(normal_correlation(m))  # refuses what rounding left indefinite
    return m


def normal_correlation(rank_correlation):
    """The normal correlation whose rank correlation is the given one:
    2 sin(pi rho / 6) entry by entry (exactly 1 on the diagonal)."""
    r = 2.0 * np.sin(np.pi * np.asarray(rank_correlation, dtype=np.float64) / 6.0)
    np.fill_diagonal(r, 1.0)
    return r


def cholesky(m):
    """The lower factor L of L L^T = m for a positive semi-definite m,
    computed in a fixed order. A zero pivot (a singular matrix) gives a
    zero column; CorrelationError when m is not semi-definite."""
    k = m.shape[0]
    factor = np.zeros((k, k))
    for j in range(k):
        d = m[j, j] - sum(factor[j, c] * factor[j, c] for c in range(j))
        if d < -SINGULAR:
            raise CorrelationError("the matrix is not positive semi-definite")
        pivot = math.sqrt(d) if d > SINGULAR else 0.0
        factor[j, j] = pivot
        for i in range(j + 1, k):
            rest = m[i, j] - sum(factor[i, c] * factor[j, c] for c in range(j))
            if pivot:
                factor[i, j] = rest / pivot
            elif abs(rest) > math.sqrt(SINGULAR):
                raise CorrelationError("the matrix is not positive semi-definite")
    return factor


def mix(normals, factor):
    """Correlated standard normals from independent ones, shape (k, size):
    row i is sum_j factor[i, j] * normals[j], summed in order of j."""
    out = np.zeros_like(normals)
    for i in range(factor.shape[0]):
        for j in range(i + 1):
            if factor[i, j]:
                out[i] += factor[i, j] * normals[j]
    return out


def _ndtr():
    return require("scipy.special", "dispersion", "correlated inputs")


def _truncated_standard_normal(z, alpha, beta):
    """The value of a standard normal truncated to [alpha, beta] at the
    quantile Phi(z); computed from the nearer tail to keep its precision."""
    special = _ndtr()
    if alpha == -math.inf and beta == math.inf:
        return z
    if alpha > 0.0:
        # Upper tail: work with survival functions, Phi(-x) = 1 - Phi(x).
        s_alpha, s_beta = special.ndtr(-alpha), special.ndtr(-beta)
        return -special.ndtri(s_beta + special.ndtr(-z) * (s_alpha - s_beta))
    p_alpha, p_beta = special.ndtr(alpha), special.ndtr(beta)
    return special.ndtri(p_alpha + special.ndtr(z) * (p_beta - p_alpha))


def quantile_of_normal(code, params, z):
    """Values of the distribution (code, params) at the quantiles Phi(z) of
    standard normal values z: its inverse CDF applied to Phi(z). A normal
    input is mean + std * z directly (no round trip through Phi), a
    lognormal one exp(log_mean + log_std * z); with bounds, the same within
    them."""
    a, b, c, d = (float(v) for v in tuple(params) + (0.0,) * (4 - len(params)))
    if code in (NORMAL, LOGNORMAL):
        low, high = c, d
        if code == LOGNORMAL:
            low = math.log(low) if low > 0.0 else -math.inf
            high = math.log(high) if high < math.inf else math.inf
        if b > 0.0:
            x = a + b * _truncated_standard_normal(z, (low - a) / b, (high - a) / b)
        else:
            x = np.full_like(z, a)
        return np.exp(x) if code == LOGNORMAL else x
    u = _ndtr().ndtr(z)
    if code == UNIFORM:
        return a + (b - a) * u
    if code == TRIANGULAR:
        low, mode, high = a, b, c
        split = (mode - low) / (high - low)
        left = low + np.sqrt(u * (high - low) * (mode - low))
        right = high - np.sqrt((1.0 - u) * (high - low) * (high - mode))
        return np.where(u < split, left, right)
    raise ValueError(f"no quantile function for distribution code {code}")


class Correlation(NamedTuple):
    """Rank correlations between dispersed inputs: their names, the checked
    matrix, and the Cholesky factor of the copula's normal correlation."""

    names: tuple
    matrix: np.ndarray
    factor: np.ndarray

    @classmethod
    def make(cls, names, matrix):
        matrix = check_correlation(names, matrix)
        return cls(tuple(names), matrix, cholesky(normal_correlation(matrix)))


def draw_correlated(names, codes, params, factor, seed, block, size):
    """The values of a correlated group of inputs in one block, shape
    (len(names), size): a standard normal stream per input (its own, keyed by
    its name), mixed by `factor`, through each input's quantile function."""
    normals = np.empty((len(names), size))
    for j, name in enumerate(names):
        normals[j] = input_rng(seed, block, name).standard_normal(size)
    mixed = mix(normals, np.asarray(factor, dtype=np.float64))
    return np.array([quantile_of_normal(code, row, mixed[j])
                     for j, (code, row) in enumerate(zip(codes, params))]).reshape(len(names), size)
